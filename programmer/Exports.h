#pragma once

#include <cstdint>

// Calling convention of the programmer library's exports: __stdcall on 32-bit Windows,
// the platform default elsewhere.
#if defined(_WIN32) && !defined(_WIN64)
#define KW_STDCALL __stdcall
#else
#define KW_STDCALL
#endif

#if defined(_WIN32)
#define KW_EXPORT extern "C" __declspec(dllexport)
#else
#define KW_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace kw {

// Result of a library call: 0 done, 1 programmer not found, other positive values failures;
// a negative value is success for a download and failure for a read-back.
using ResultCode = std::int32_t;
// The one code with a meaning of its own to the caller: no programmer to talk to.
inline constexpr ResultCode kProgrammerNotFound = 1;

// SetFlashData(offset, 128 bytes to write) and GetFlashData(offset, 32 bytes to fill).
using BlockFunction = ResultCode(KW_STDCALL*)(std::int32_t offset, std::uint8_t* block);

// Bytes each export moves per call: SetFlashData receives 128, GetFlashData fills 32.
inline constexpr int kSetFlashDataBlockSize = 128;
inline constexpr int kGetFlashDataBlockSize = 32;

// Optional: GetErrorText(code, buffer, size) writes the library's own text for a result
// code it returned, in UTF-8 and NUL-terminated, cut to fit `size` bytes without splitting a
// character. It returns the length of the whole text in bytes, or 0 when the code has no
// text (nothing is written then). Libraries without it are used as before.
using ErrorTextFunction = int(KW_STDCALL*)(int code, char* buffer, int size);

// Optional: SetProgrammerOption(name, value) passes a caller's wish to the library for the
// transfers that follow, both strings UTF-8 and NUL-terminated. It returns 0 when the library
// takes it and non-zero when it does not know the name or the value (nothing changes then).
// Libraries without it are used as before, with their own defaults. Known to the ST-LINK
// library: "swim" = "auto" (high speed when the chip offers it, low speed after repeated
// errors), "low" (for long wires), "high" (never falls back); "probe" = a serial number or a
// USB port path as Linux writes it, bus then ports ("1-1", "3-2.4"), or "" for the first
// usable probe. A serial that several probes share (clones) fails the transfer with code 1
// and a text naming their port paths; "language" = "zh" (the default) or "en": the language
// of the texts GetErrorText and GetProgrammerReport give from then on.
using ProgrammerOptionFunction = int(KW_STDCALL*)(const char* name, const char* value);

// Optional: GetProgrammerReport(topic, buffer, size, length) writes a UTF-8 text of lines
// about the programmer, NUL-terminated and cut to fit `size` bytes without splitting a
// character, and sets *length (when not null) to the length of the whole text in bytes. It
// returns a result code as SetFlashData does. Topics: "probes" looks at every programmer
// attached and the chip of the first usable one (a bug report's first lines; the code is what
// a download would meet; a transfer in progress ends first; asking again looks again);
// "session" names the programmer and link of the current or last transfer without touching
// them (empty before one); "list" writes one line per probe on the bus without touching any
// chip (a transfer in progress ends first): `PATH serial=S product=0483:PID generation=G firmware=F
// swim=yes|no|- usable=U`, each value one token (S with %XX escapes, "-" for unknown); "chip"
// looks for a chip on the session's probe as a transfer would reach it, leaving it running and
// unchanged, and answers quickly (a loop that waits for boards asks it a few times a second):
// code 0 and one line `chip=present rop=yes|no` when a chip answers, the library's code for a
// silent target (the text says which) when none does, 1 without a probe. An unknown topic
// returns 2 with an empty text.
using ProgrammerReportFunction = int(KW_STDCALL*)(const char* topic, char* buffer, int size,
                                                  int* length);

// Optional: EndTransfer() tells the library a transfer is over, just before the host releases
// it, so that it ends what it started for the transfer (threads, the chip's session, the
// probe) while its code is still loaded rather than in its static destructors: on Windows
// those run under the loader lock, where waiting for a thread deadlocks. Called once per
// transfer, also after a failure or an interruption; libraries without it are used as before.
using EndTransferFunction = void(KW_STDCALL*)();

// Optional: the chip's data EEPROM, in blocks of kEepromBlockSize bytes (the chip's own
// programming block), `offset` counted from the EEPROM's first byte (0x4000 on the chip's bus)
// and a multiple of the block size below kEepromMaxSize. SetEepromData(offset, 64 bytes)
// programs one block and leaves a block that already holds those bytes alone;
// GetEepromData(offset, 64 bytes to fill) reads one. Results as SetFlashData's, 0 for done
// (no negative success). The library does not know which chip it talks to: the caller keeps
// to its chip's EEPROM (128 or 640 bytes).
using EepromBlockFunction = ResultCode(KW_STDCALL*)(std::int32_t offset, std::uint8_t* block);
inline constexpr int kEepromBlockSize = 64;
inline constexpr int kEepromMaxSize = 640;

// Optional: the option bytes from 0x4800: ROP, then OPT1 NOPT1 ... OPT5 NOPT5 (UBC, AFR,
// clock options, HSE clock options, HSECNT, each followed by its complement).
// GetOptionBytes(buffer, size) fills the first kOptionByteCount bytes of `buffer` (size must
// be at least that, else 2 and nothing read). SetOptionByte(index, value) writes one: index 0
// is ROP, written alone (0xAA protects the chip); an odd index 1..9 writes OPTn = value and
// NOPTn = ~value, so the pair always matches; any other index returns 2 and writes nothing.
// A byte that already holds its value is not written again. The new values take effect at the
// chip's next reset (which the library does when the transfer ends). 0 for done.
using OptionBytesReadFunction = ResultCode(KW_STDCALL*)(std::uint8_t* buffer, std::int32_t size);
using OptionByteWriteFunction = ResultCode(KW_STDCALL*)(std::int32_t index, std::uint8_t value);
inline constexpr int kOptionByteCount = 11;

// Optional: RemoveReadoutProtection() on a chip whose ROP byte is 0xAA writes ROP = 0x00,
// which makes the chip erase its flash and EEPROM (both then read 0x00); the other option
// bytes keep their values. On a chip without protection it changes nothing. 0 for done, after
// which flash, EEPROM and option bytes can be read and written in the same transfer.
using RemoveProtectionFunction = ResultCode(KW_STDCALL*)();

// Optional: NeedsBlockPauses() returns non-zero when the host must pause between the blocks
// of a download as the window does (30 ms after every eighth block, 5 ms after the others),
// 0 when the library paces itself and the pauses only cost time. Libraries without
// it are paused.
using BlockPausesFunction = int(KW_STDCALL*)();

inline constexpr const char* kLibraryFileName = "TOLVANEX.dll";
inline constexpr const char* kSetFlashDataName = "SetFlashData";
inline constexpr const char* kGetFlashDataName = "GetFlashData";
inline constexpr const char* kGetErrorTextName = "GetErrorText";
inline constexpr const char* kSetProgrammerOptionName = "SetProgrammerOption";
inline constexpr const char* kGetProgrammerReportName = "GetProgrammerReport";
inline constexpr const char* kEndTransferName = "EndTransfer";
inline constexpr const char* kSetEepromDataName = "SetEepromData";
inline constexpr const char* kGetEepromDataName = "GetEepromData";
inline constexpr const char* kGetOptionBytesName = "GetOptionBytes";
inline constexpr const char* kSetOptionByteName = "SetOptionByte";
inline constexpr const char* kRemoveReadoutProtectionName = "RemoveReadoutProtection";
inline constexpr const char* kNeedsBlockPausesName = "NeedsBlockPauses";

} // namespace kw
