#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/ImageBuffer.h"
#include "programmer/Programmer.h"
#include "target/Chip.h"

namespace kw {

// Download and ReadBack move flash; the others are the whole-chip calls.
enum class TransferKind {
    Download,
    ReadBack,
    EepromWrite,
    EepromRead,
    OptionRead,
    OptionWrite,
    Unlock,
};

// What a transfer tells the window or console around it, and asks of it. The core writes no
// wording: each host says what the events mean in its own language. Every call happens on
// the caller's thread, and the programmer's session is still open during each of them.
class TransferHost {
public:
    virtual ~TransferHost() = default;

    // Events, in the order a transfer meets them.
    // open() failed: `reason` is the programmer's one line, empty when no library file was
    // found anywhere.
    virtual void libraryMissing(TransferKind kind, const std::string& reason) = 0;
    // open() failed because the library does not take one of the session's options.
    virtual void optionRefused(TransferKind kind, const OptionRefusal& refusal,
                               const std::string& reason) = 0;
    virtual void started(TransferKind kind) = 0;
    virtual void exportMissing(TransferKind kind, const char* exportName) = 0;
    virtual void blockDone(TransferKind kind, int block) = 0;
    // `libraryText` is the library's own text for the code, often empty.
    virtual void blockFailed(TransferKind kind, int block, ResultCode code,
                             const std::string& libraryText) = 0;
    // The programmer went away in the middle; the session is over.
    virtual void stopped(TransferKind kind, const ProgrammerStopped& stop) = 0;
    virtual void finished(TransferKind kind) = 0;
    // Last of every way out of an open session but a stop or an exception, just before
    // close(): the place to ask the library about the session.
    virtual void sessionEnding(TransferKind, Programmer&) {}

    // What the host does for the transfer.
    virtual void setProgressMaximum(int maximum) = 0;
    virtual void processEvents() = 0;
    virtual void pause(int milliseconds) = 0;
    // true: the download leaves out pause() when the programmer says it paces itself
    // (needsBlockPauses() false). The window keeps its pauses whatever the library says.
    virtual bool skipsNeedlessPauses() const { return false; }
    // Asked before each block: true stops the transfer there, with the blocks before it done
    // and the session closed as after a failure. A window never stops a transfer halfway.
    virtual bool cancelled() { return false; }
};

// Both transfers cover the whole flash of the largest chip, whichever chip is chosen.
inline constexpr int kTransferLength = kLargestChip.flashSize;

namespace download {
inline constexpr int kBlockSize = kSetFlashDataBlockSize;
inline constexpr int kBlockCount = kTransferLength / kBlockSize;
inline constexpr int kLongPauseMs = 30;
inline constexpr int kShortPauseMs = 5;
inline constexpr std::uint8_t kPadByte = 0xFF; // sent for bytes past the end of the image
} // namespace download

namespace readback {
inline constexpr int kBlockSize = kGetFlashDataBlockSize;
inline constexpr int kBlockCount = kTransferLength / kBlockSize;
inline constexpr int kImageLength = kTransferLength;
} // namespace readback

enum class TransferOutcome {
    Completed,
    LibraryMissing,
    OptionRefused,
    ExportMissing,
    BlockFailed,
    Stopped,
    Cancelled,
};

// Why a transfer did not complete, for callers that word the failure from the result rather
// than from the events.
struct TransferFailure {
    // The part that failed or was cancelled, for a transfer of several (runChipWrite).
    TransferKind kind = TransferKind::Download;
    const char* exportName = nullptr; // ExportMissing: the export the library lacks
    std::string loaderReason; // LibraryMissing, OptionRefused: the programmer's openFailure()
    std::optional<OptionRefusal> refusal; // OptionRefused
    int block = -1;          // BlockFailed: index of the block that failed (on the chip, by
                             // its offset); Cancelled: how many blocks of the part were done
    ResultCode code = 0;     // BlockFailed: what the library returned for it
    std::string libraryText; // BlockFailed: the library's own text for the code, often empty
    std::optional<ProgrammerStopped> stop; // Stopped
};

struct TransferResult {
    TransferOutcome outcome = TransferOutcome::LibraryMissing;
    TransferFailure failure; // when outcome is not Completed
};

// Sends kTransferLength (8192) bytes in 64 blocks of 128 in one session. `flash` is asked for
// the image before each block, so the bytes sent are those of the image at that moment; it
// may return nullptr. The session is closed before this returns, an exception included.
TransferResult runDownload(Programmer& programmer, const std::function<const ImageBuffer*()>& flash,
                           TransferHost& host, const SessionOptions& options = {});

struct ReadBackResult : TransferResult {
    std::unique_ptr<ImageBuffer> image; // kTransferLength bytes, only when outcome is Completed
};

// Reads kTransferLength (8192) bytes in 256 blocks of 32 into a fresh image, in one session.
ReadBackResult runReadBack(Programmer& programmer, TransferHost& host,
                           const SessionOptions& options = {});

// Only the blocks numbered in `blocks`, in that order, each a download::kBlockSize block
// padded with `pad` past the image: progress counts those blocks, and a failure names the
// chip's block. The console sends just the blocks a file defines.
TransferResult runDownload(Programmer& programmer, const std::function<const ImageBuffer*()>& flash,
                           std::span<const int> blocks, std::uint8_t pad, TransferHost& host,
                           const SessionOptions& options = {});

// Only the readback::kBlockSize blocks numbered in `blocks`; the rest of the image is 0.
ReadBackResult runReadBack(Programmer& programmer, std::span<const int> blocks, TransferHost& host,
                           const SessionOptions& options = {});

// 0, 1 ... count-1.
std::vector<int> allBlocks(int count);

} // namespace kw
