#include "programmer/Transfer.h"

#include <array>
#include <string>
#include <vector>

#include "programmer/TransferSession.h"

namespace kw {

namespace detail {

void blockFailed(Programmer& programmer, TransferHost& host, TransferKind kind, int block,
                 ResultCode code, TransferResult& result) {
    result.outcome = TransferOutcome::BlockFailed;
    result.failure.kind = kind;
    result.failure.block = block;
    result.failure.code = code;
    // Asked while the session is still open: the text may depend on the library's state.
    result.failure.libraryText = programmer.errorText(code);
    host.blockFailed(kind, block, code, result.failure.libraryText);
}

void exportMissing(TransferHost& host, TransferKind kind, const char* exportName,
                   TransferResult& result) {
    result.outcome = TransferOutcome::ExportMissing;
    result.failure.kind = kind;
    result.failure.exportName = exportName;
    host.exportMissing(kind, exportName);
}

bool cancelledAt(TransferHost& host, TransferKind kind, int done, TransferResult& result) {
    if (!host.cancelled())
        return false;
    result.outcome = TransferOutcome::Cancelled;
    result.failure.kind = kind;
    result.failure.block = done;
    return true;
}

bool sendFlashBlocks(Programmer& programmer, const std::function<const ImageBuffer*()>& flash,
                     std::span<const int> blocks, std::uint8_t pad, TransferHost& host,
                     TransferResult& result) {
    constexpr TransferKind kind = TransferKind::Download;
    // Asked only for a host that would act on the answer, so the window's calls stay exactly
    // as they were.
    const bool pauses = !host.skipsNeedlessPauses() || programmer.needsBlockPauses();
    host.setProgressMaximum(static_cast<int>(blocks.size()) - 1);
    // The block is copied out of the image just before the call, so that edits made
    // between blocks are sent.
    std::array<std::uint8_t, download::kBlockSize> staging{};
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (cancelledAt(host, kind, static_cast<int>(i), result))
            return false;
        const std::int32_t offset = blocks[i] * download::kBlockSize;
        const ImageBuffer* image = flash ? flash() : nullptr;
        if (image != nullptr)
            image->copyOut(offset, staging, pad);
        else
            staging.fill(pad);

        const ResultCode code = programmer.writeBlock(offset, staging);
        if (code > 0) {
            blockFailed(programmer, host, kind, blocks[i], code, result);
            return false;
        }
        if (pauses)
            host.pause(offset % 1024 == 0 ? download::kLongPauseMs : download::kShortPauseMs);
        host.blockDone(kind, static_cast<int>(i));
        host.processEvents();
    }
    return true;
}

bool readFlashBlocks(Programmer& programmer, std::span<const int> blocks, ImageBuffer& image,
                     TransferHost& host, TransferResult& result) {
    constexpr TransferKind kind = TransferKind::ReadBack;
    host.setProgressMaximum(static_cast<int>(blocks.size()) - 1);
    std::array<std::uint8_t, readback::kBlockSize> staging{};
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (cancelledAt(host, kind, static_cast<int>(i), result))
            return false;
        const std::int32_t offset = blocks[i] * readback::kBlockSize;
        const ResultCode code = programmer.readBlock(offset, staging);
        if (code != 0) {
            blockFailed(programmer, host, kind, blocks[i], code, result);
            return false;
        }
        image.copyIn(offset, staging);
        host.blockDone(kind, static_cast<int>(i));
        host.processEvents();
    }
    return true;
}

} // namespace detail

std::vector<int> allBlocks(int count) {
    std::vector<int> blocks(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        blocks[static_cast<std::size_t>(i)] = i;
    return blocks;
}

TransferResult runDownload(Programmer& programmer, const std::function<const ImageBuffer*()>& flash,
                           TransferHost& host, const SessionOptions& options) {
    return runDownload(programmer, flash, allBlocks(download::kBlockCount), download::kPadByte,
                       host, options);
}

TransferResult runDownload(Programmer& programmer, const std::function<const ImageBuffer*()>& flash,
                           std::span<const int> blocks, std::uint8_t pad, TransferHost& host,
                           const SessionOptions& options) {
    constexpr TransferKind kind = TransferKind::Download;
    TransferResult result;
    detail::runSession(programmer, options, kind, host, result, [&] {
        host.started(kind);
        if (!programmer.offers(Operation::WriteBlock)) {
            detail::exportMissing(host, kind, kSetFlashDataName, result);
            return;
        }
        if (!detail::sendFlashBlocks(programmer, flash, blocks, pad, host, result))
            return;
        result.outcome = TransferOutcome::Completed;
        host.finished(kind);
    });
    return result;
}

ReadBackResult runReadBack(Programmer& programmer, TransferHost& host,
                           const SessionOptions& options) {
    return runReadBack(programmer, allBlocks(readback::kBlockCount), host, options);
}

ReadBackResult runReadBack(Programmer& programmer, std::span<const int> blocks, TransferHost& host,
                           const SessionOptions& options) {
    constexpr TransferKind kind = TransferKind::ReadBack;
    ReadBackResult result;
    detail::runSession(programmer, options, kind, host, result, [&] {
        host.started(kind);
        if (!programmer.offers(Operation::ReadBlock)) {
            detail::exportMissing(host, kind, kGetFlashDataName, result);
            return;
        }
        // Filled aside and handed out only when every block has arrived, so a failed
        // read-back never leaves a half-read image in place of the one the user had.
        auto image = std::make_unique<ImageBuffer>(readback::kImageLength);
        if (!detail::readFlashBlocks(programmer, blocks, *image, host, result))
            return;
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
