#include "programmer/Transfer.h"

#include <array>
#include <string>

namespace kw {

namespace {

// Closes the session on every way out, after every event of it, an exception included.
class SessionCloser {
public:
    explicit SessionCloser(Programmer& programmer) : programmer_(programmer) {}
    ~SessionCloser() { programmer_.close(); }
    SessionCloser(const SessionCloser&) = delete;
    SessionCloser& operator=(const SessionCloser&) = delete;

private:
    Programmer& programmer_;
};

// One session around `body`: opened with the options, every way out told to the host.
template <class Body>
void runSession(Programmer& programmer, const SessionOptions& options, TransferKind kind,
                TransferHost& host, TransferResult& result, Body&& body) {
    const SessionCloser closer(programmer);
    try {
        if (!programmer.open(options)) {
            result.failure.loaderReason = programmer.openFailure();
            result.failure.refusal = programmer.refusedOption();
            if (result.failure.refusal) {
                result.outcome = TransferOutcome::OptionRefused;
                host.optionRefused(kind, *result.failure.refusal, result.failure.loaderReason);
            } else {
                result.outcome = TransferOutcome::LibraryMissing;
                host.libraryMissing(kind, result.failure.loaderReason);
            }
            return;
        }
        body();
        host.sessionEnding(kind, programmer);
    } catch (const ProgrammerStopped& stop) {
        // Whatever the transfer had reached, the programmer is gone: nothing it did last is
        // confirmed.
        result.outcome = TransferOutcome::Stopped;
        result.failure.stop = stop;
        host.stopped(kind, stop);
    }
}

void blockFailed(Programmer& programmer, TransferHost& host, TransferKind kind, int block,
                 ResultCode code, TransferResult& result) {
    result.outcome = TransferOutcome::BlockFailed;
    result.failure.block = block;
    result.failure.code = code;
    // Asked while the session is still open: the text may depend on the library's state.
    result.failure.libraryText = programmer.errorText(code);
    host.blockFailed(kind, block, code, result.failure.libraryText);
}

} // namespace

TransferResult runDownload(Programmer& programmer, const std::function<const ImageBuffer*()>& flash,
                           TransferHost& host, const SessionOptions& options) {
    constexpr TransferKind kind = TransferKind::Download;
    TransferResult result;
    runSession(programmer, options, kind, host, result, [&] {
        host.started(kind);
        if (!programmer.offers(Operation::WriteBlock)) {
            result.outcome = TransferOutcome::ExportMissing;
            host.exportMissing(kind, kSetFlashDataName);
            return;
        }
        // Asked only for a host that would act on the answer, so the window's calls stay
        // exactly as they were.
        const bool pauses = !host.skipsNeedlessPauses() || programmer.needsBlockPauses();
        host.setProgressMaximum(download::kBlockCount - 1);

        // The block is copied out of the image just before the call, so that edits made
        // between blocks are sent.
        std::array<std::uint8_t, download::kBlockSize> staging{};
        for (int i = 0; i < download::kBlockCount; ++i) {
            if (host.cancelled()) {
                result.failure.block = i;
                result.outcome = TransferOutcome::Cancelled;
                return;
            }
            const std::int32_t offset = i * download::kBlockSize;
            const ImageBuffer* image = flash ? flash() : nullptr;
            if (image != nullptr)
                image->copyOut(offset, staging, download::kPadByte);
            else
                staging.fill(download::kPadByte);

            const ResultCode code = programmer.writeBlock(offset, staging);
            if (code > 0) {
                blockFailed(programmer, host, kind, i, code, result);
                return;
            }
            if (pauses)
                host.pause(offset % 1024 == 0 ? download::kLongPauseMs : download::kShortPauseMs);
            host.blockDone(kind, i);
            host.processEvents();
        }
        result.outcome = TransferOutcome::Completed;
        host.finished(kind);
    });
    return result;
}

ReadBackResult runReadBack(Programmer& programmer, TransferHost& host,
                           const SessionOptions& options) {
    constexpr TransferKind kind = TransferKind::ReadBack;
    ReadBackResult result;
    runSession(programmer, options, kind, host, result, [&] {
        host.started(kind);
        if (!programmer.offers(Operation::ReadBlock)) {
            result.outcome = TransferOutcome::ExportMissing;
            host.exportMissing(kind, kGetFlashDataName);
            return;
        }
        // Filled aside and handed out only when every block has arrived, so a failed
        // read-back never leaves a half-read image in place of the one the user had.
        auto image = std::make_unique<ImageBuffer>(readback::kImageLength);
        host.setProgressMaximum(readback::kBlockCount - 1);

        std::array<std::uint8_t, readback::kBlockSize> staging{};
        for (int i = 0; i < readback::kBlockCount; ++i) {
            if (host.cancelled()) {
                result.failure.block = i;
                result.outcome = TransferOutcome::Cancelled;
                return;
            }
            const std::int32_t offset = i * readback::kBlockSize;
            const ResultCode code = programmer.readBlock(offset, staging);
            if (code != 0) {
                blockFailed(programmer, host, kind, i, code, result);
                return;
            }
            image->copyIn(offset, staging);
            host.blockDone(kind, i);
            host.processEvents();
        }
        result.outcome = TransferOutcome::Completed;
        result.image = std::move(image);
        host.finished(kind);
    });
    // A stop after the last block leaves nothing trustworthy to hand out.
    if (result.outcome != TransferOutcome::Completed)
        result.image.reset();
    return result;
}

} // namespace kw
