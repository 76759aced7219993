#pragma once

#include <functional>
#include <memory>
#include <string>

#include "image/ImageBuffer.h"
#include "programmer/ProgrammerLibrary.h"
#include "target/Chip.h"

namespace kw {

// What a transfer needs from the window around it. Every call happens on the caller's thread.
class TransferHost {
public:
    virtual ~TransferHost() = default;
    virtual void showMessage(const std::string& text) = 0;       // modal, returns when closed
    virtual void appendLine(const std::string& text) = 0;        // log line without time stamp
    virtual void appendStampedLine(const std::string& text) = 0; // time, three blanks, text
    virtual void setProgressMaximum(int maximum) = 0;
    virtual void setProgress(int position) = 0;
    virtual void processEvents() = 0;
    virtual void pause(int milliseconds) = 0;
    // Asked before each block: true stops the transfer there, with the blocks before it done
    // and the library released as after a failure. A window never stops a transfer halfway.
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

enum class TransferOutcome { Completed, LibraryMissing, ExportMissing, BlockFailed, Cancelled };

// Why a transfer did not complete, for callers that word the failure themselves. The host
// gets its messages and log lines all the same.
struct TransferFailure {
    std::string loaderReason; // LibraryMissing: the loader's lastError(), often empty
    int block = -1;           // BlockFailed: index of the block that failed; Cancelled: of
                              // the block that was not sent, so also how many were
    ResultCode code = 0;      // BlockFailed: what the library returned for it
    std::string libraryText;  // BlockFailed: the library's own text for the code, often empty
};

struct TransferResult {
    TransferOutcome outcome = TransferOutcome::LibraryMissing;
    TransferFailure failure; // when outcome is not Completed
};

// Sends kTransferLength (8192) bytes in 64 blocks of 128. `flash` is asked for the image before
// each block, so the bytes sent are those of the image at that moment; it may return nullptr.
TransferResult runDownload(LibraryLoader& loader, const std::function<const ImageBuffer*()>& flash,
                           TransferHost& host);

struct ReadBackResult : TransferResult {
    std::unique_ptr<ImageBuffer> image; // kTransferLength bytes, only when outcome is Completed
};

// Reads kTransferLength (8192) bytes in 256 blocks of 32 into a fresh image. The library is
// released before this returns.
ReadBackResult runReadBack(LibraryLoader& loader, TransferHost& host);

} // namespace kw
