// Programmer library for tests. Every load, unload and call is appended as one line to the
// file named by KW_TESTLIB_LOG (nothing is recorded without it):
//   load | unload | set <offset> <128 bytes in hex> | get <offset>
// Behaviour, read at every call:
//   KW_TESTLIB_RESULT=<code>        result of every call (default 0)
//   KW_TESTLIB_FAIL=<call>:<code>   the call with that index (counted from 0 per export
//                                   since load) returns <code> instead
//   KW_TESTLIB_DELAY_MS=<ms>        time each call takes
//   KW_TESTLIB_SIGNAL=<call>:<signal>:<times>  that call signals its process group, as
//                                   Ctrl+C in a terminal reaches the whole job
//   KW_TESTLIB_EXIT=<call>:<status> that call ends the process with exit(status)
//   KW_TESTLIB_TEXT=<text>          GetErrorText's text instead of its own
// GetFlashData fills its 32 bytes with kw::testlib::patternByte of the image positions.
// Built in variants: complete, without SetFlashData (KW_TESTLIB_NO_SET), without GetFlashData
// (KW_TESTLIB_NO_GET), with GetErrorText (KW_TESTLIB_ERROR_TEXT, recorded as
// "text <code>"), needing a library the system loader cannot find
// (KW_TESTLIB_NEEDS_DEPENDENCY), and with SetProgrammerOption and EndTransfer
// (KW_TESTLIB_SESSION, recorded as "option <name> <value>" and "end"; it takes "swim" only)
// and GetProgrammerReport (KW_TESTLIB_TEXT, or a line naming the topic); with the whole-chip
// exports (KW_TESTLIB_CHIP: all six; KW_TESTLIB_EEPROM: SetEepromData and GetEepromData only),
// recorded as "eeprom-set <offset> <64 bytes in hex>", "eeprom-get <offset>",
// "options-get <size>", "option-set <index> <value in hex>", "unprotect" and "pauses".
// GetEepromData fills its block with kw::testlib::patternByte of the bus addresses from 0x4000,
// GetOptionBytes with those from 0x4800; NeedsBlockPauses returns KW_TESTLIB_PAUSES (default
// 0). Their results and disturbances count calls per export as the block exports do.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <signal.h>
#include <unistd.h>

#include "programmer/Exports.h"
#include "programmer/TestPattern.h"

namespace {

constexpr std::int64_t kEepromBus = 0x4000;
constexpr std::int64_t kOptionBus = 0x4800;

void record(const std::string& line) {
    const char* path = std::getenv("KW_TESTLIB_LOG");
    if (path == nullptr || *path == '\0')
        return;
    if (std::FILE* file = std::fopen(path, "a")) {
        std::fputs((line + "\n").c_str(), file);
        std::fclose(file);
    }
}

long envNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

kw::ResultCode resultFor(int call) {
    if (const char* fail = std::getenv("KW_TESTLIB_FAIL")) {
        char* colon = nullptr;
        const long failCall = std::strtol(fail, &colon, 10);
        if (colon != fail && *colon == ':' && failCall == call)
            return static_cast<kw::ResultCode>(std::strtol(colon + 1, nullptr, 10));
    }
    return static_cast<kw::ResultCode>(envNumber("KW_TESTLIB_RESULT", 0));
}

// Two or three numbers separated by ':'; false when `name` is not set.
bool envNumbers(const char* name, long (&numbers)[3]) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    for (long& number : numbers) {
        number = std::strtol(text, &end, 10);
        if (*end != ':')
            break;
        text = end + 1;
    }
    return true;
}

// What a misbehaving library or an impatient user does in the middle of a call.
void disturb(int call) {
    long signal[3] = {-1, 0, 1};
    if (envNumbers("KW_TESTLIB_SIGNAL", signal) && signal[0] == call)
        for (long k = 0; k < signal[2]; ++k) {
            // Apart, as a user's presses are: a signal sent again before the other process
            // took the first one would merge with it.
            if (k > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ::kill(0, static_cast<int>(signal[1]));
        }
    long exitAt[3] = {-1, 0, 0};
    if (envNumbers("KW_TESTLIB_EXIT", exitAt) && exitAt[0] == call)
        std::exit(static_cast<int>(exitAt[1]));
}

void spendTime() {
    const long ms = envNumber("KW_TESTLIB_DELAY_MS", 0);
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

#ifdef KW_TESTLIB_NEEDS_DEPENDENCY
extern "C" int kw_testlib_dependency();
#endif

__attribute__((constructor)) void onLoad() {
#ifdef KW_TESTLIB_NEEDS_DEPENDENCY
    if (kw_testlib_dependency() != 0)
        return;
#endif
    record("load");
}
__attribute__((destructor)) void onUnload() {
    record("unload");
}

[[maybe_unused]] std::string hex(const std::uint8_t* bytes, int count) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (int k = 0; k < count; ++k) {
        text += kDigits[bytes[k] >> 4];
        text += kDigits[bytes[k] & 0x0F];
    }
    return text;
}

// The end of every call: its time, its disturbance, its result.
[[maybe_unused]] kw::ResultCode finish(int& calls) {
    spendTime();
    disturb(calls);
    return resultFor(calls++);
}

} // namespace

#ifndef KW_TESTLIB_NO_SET
KW_EXPORT kw::ResultCode KW_STDCALL SetFlashData(std::int32_t offset, std::uint8_t* block) {
    static int calls = 0;
    record("set " + std::to_string(offset) + " " + hex(block, 128));
    return finish(calls);
}
#endif

#ifndef KW_TESTLIB_NO_GET
KW_EXPORT kw::ResultCode KW_STDCALL GetFlashData(std::int32_t offset, std::uint8_t* block) {
    static int calls = 0;
    record("get " + std::to_string(offset));
    for (int k = 0; k < 32; ++k)
        block[k] = kw::testlib::patternByte(offset + k);
    return finish(calls);
}
#endif

#ifdef KW_TESTLIB_ERROR_TEXT
// "测试库错误 <code>: 说明" for every non-zero code, cut to fit `size` at a character boundary.
KW_EXPORT int KW_STDCALL GetErrorText(int code, char* buffer, int size) {
    record("text " + std::to_string(code));
    if (code == 0)
        return 0;
    const char* given = std::getenv("KW_TESTLIB_TEXT");
    const std::string text = given != nullptr && *given != '\0'
                                 ? std::string(given)
                                 : "测试库错误 " + std::to_string(code) + ": 说明";
    if (buffer != nullptr && size > 0) {
        std::size_t fits = std::min(text.size(), static_cast<std::size_t>(size - 1));
        while (fits > 0 && fits < text.size() &&
               (static_cast<unsigned char>(text[fits]) & 0xC0) == 0x80)
            --fits; // never end inside a UTF-8 character
        std::copy_n(text.data(), fits, buffer);
        buffer[fits] = '\0';
    }
    return static_cast<int>(text.size());
}
#endif

#ifdef KW_TESTLIB_SESSION
KW_EXPORT int KW_STDCALL SetProgrammerOption(const char* name, const char* value) {
    record(std::string("option ") + name + " " + value);
    return std::string(name) == "swim" ? 0 : 1;
}

KW_EXPORT void KW_STDCALL EndTransfer() {
    record("end");
}

KW_EXPORT int KW_STDCALL GetProgrammerReport(const char* topic, char* buffer, int size,
                                             int* length) {
    const char* given = std::getenv("KW_TESTLIB_TEXT");
    const std::string text = given != nullptr && *given != '\0'
                                 ? std::string(given)
                                 : "test library report on " + std::string(topic);
    if (buffer != nullptr && size > 0) {
        const std::size_t fits = std::min(text.size(), static_cast<std::size_t>(size - 1));
        std::copy_n(text.data(), fits, buffer);
        buffer[fits] = '\0';
    }
    if (length != nullptr)
        *length = static_cast<int>(text.size());
    return 0;
}
#endif

#if defined(KW_TESTLIB_CHIP) || defined(KW_TESTLIB_EEPROM)
KW_EXPORT kw::ResultCode KW_STDCALL SetEepromData(std::int32_t offset, std::uint8_t* block) {
    static int calls = 0;
    record("eeprom-set " + std::to_string(offset) + " " + hex(block, kw::kEepromBlockSize));
    return finish(calls);
}

KW_EXPORT kw::ResultCode KW_STDCALL GetEepromData(std::int32_t offset, std::uint8_t* block) {
    static int calls = 0;
    record("eeprom-get " + std::to_string(offset));
    for (int k = 0; k < kw::kEepromBlockSize; ++k)
        block[k] = kw::testlib::patternByte(kEepromBus + offset + k);
    return finish(calls);
}
#endif

#ifdef KW_TESTLIB_CHIP
KW_EXPORT kw::ResultCode KW_STDCALL GetOptionBytes(std::uint8_t* buffer, std::int32_t size) {
    static int calls = 0;
    record("options-get " + std::to_string(size));
    for (int k = 0; k < kw::kOptionByteCount && k < size; ++k)
        buffer[k] = kw::testlib::patternByte(kOptionBus + k);
    return finish(calls);
}

KW_EXPORT kw::ResultCode KW_STDCALL SetOptionByte(std::int32_t index, std::uint8_t value) {
    static int calls = 0;
    record("option-set " + std::to_string(index) + " " + hex(&value, 1));
    return finish(calls);
}

KW_EXPORT kw::ResultCode KW_STDCALL RemoveReadoutProtection() {
    static int calls = 0;
    record("unprotect");
    return finish(calls);
}

KW_EXPORT int KW_STDCALL NeedsBlockPauses() {
    record("pauses");
    return static_cast<int>(envNumber("KW_TESTLIB_PAUSES", 0));
}
#endif
