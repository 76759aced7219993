// Programmer libraries that take their process down in the middle of a transfer, as a
// faulty vendor library would. Each works normally (every call 0, reads filled with
// kw::testlib::patternByte; SetOptionByte too) until the call with the index KW_TESTLIB_STOP_AT
// (counted from 0 per export since load; default 3, the fourth block), which then, by variant:
//   KW_TESTLIB_SEGFAULT  writes to address 16, unmapped
//   KW_TESTLIB_EXIT3     calls exit(3)
//   KW_TESTLIB_HANG      sleeps 60 s, then answers as if nothing happened

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include <csignal>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "programmer/Exports.h"
#include "programmer/TestPattern.h"

namespace {

int stopAt() {
    const char* text = std::getenv("KW_TESTLIB_STOP_AT");
    return text != nullptr && *text != '\0' ? std::atoi(text) : 3;
}

void misbehave(int call) {
    if (call != stopAt())
        return;
#if defined(KW_TESTLIB_SEGFAULT)
    // A sanitizer's handler would turn the crash into an exit, and it intercepts signal():
    // the kernel is told directly, so that every build dies of the signal as a release build
    // does. No core file for a crash made on purpose.
    struct {
        void* handler = nullptr; // SIG_DFL
        unsigned long flags = 0;
        void* restorer = nullptr;
        unsigned long mask = 0;
    } byDefault;
    syscall(SYS_rt_sigaction, SIGSEGV, &byDefault, nullptr, sizeof byDefault.mask);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    // Not null itself, which the undefined-behaviour sanitizer would catch first.
    volatile std::uintptr_t address = 16;
    volatile int* nowhere = reinterpret_cast<volatile int*>(address);
    *nowhere = 1;
#elif defined(KW_TESTLIB_EXIT3)
    std::exit(3);
#elif defined(KW_TESTLIB_HANG)
    std::this_thread::sleep_for(std::chrono::seconds(60));
#endif
}

} // namespace

KW_EXPORT kw::ResultCode KW_STDCALL SetFlashData(std::int32_t, std::uint8_t*) {
    static int calls = 0;
    misbehave(calls++);
    return 0;
}

KW_EXPORT kw::ResultCode KW_STDCALL GetFlashData(std::int32_t offset, std::uint8_t* block) {
    static int calls = 0;
    misbehave(calls++);
    for (int k = 0; k < kw::kGetFlashDataBlockSize; ++k)
        block[k] = kw::testlib::patternByte(offset + k);
    return 0;
}

KW_EXPORT kw::ResultCode KW_STDCALL SetOptionByte(std::int32_t, std::uint8_t) {
    static int calls = 0;
    misbehave(calls++);
    return 0;
}
