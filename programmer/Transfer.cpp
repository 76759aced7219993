#include "programmer/Transfer.h"

#include <algorithm>
#include <array>
#include <string>

namespace kw {

namespace {

constexpr const char* kLibraryMissingText = "TOLVANEX.dll没有找到";
constexpr const char* kProgrammerMissingText = "未发现KALIWIRE设备!";

std::string exportMissingText(const char* exportName) {
    return std::string(exportName) + "函数没有找到";
}

// Tells the user that no library could be loaded, and why when a file was there but did not
// load: the box alone would send them looking for a file they already have.
void reportLibraryMissing(const LibraryLoader& loader, TransferHost& host,
                          TransferFailure& failure) {
    host.showMessage(kLibraryMissingText);
    failure.loaderReason = loader.lastError();
    if (!failure.loaderReason.empty())
        host.appendLine(failure.loaderReason);
}

// The library's own text for a result code, from its optional GetErrorText; empty when it
// has none for this code.
std::string libraryErrorText(ProgrammerLibrary& library, ResultCode code) {
    const auto getErrorText = library.lookup<ErrorTextFunction>(kGetErrorTextName);
    if (getErrorText == nullptr)
        return {};
    std::array<char, 512> buffer{};
    const int length = getErrorText(code, buffer.data(), static_cast<int>(buffer.size()));
    if (length <= 0)
        return {};
    // Only what the library may have written, up to its terminator, whatever it returned.
    const std::size_t limit =
        std::min<std::size_t>(static_cast<std::size_t>(length), buffer.size() - 1);
    const char* begin = buffer.data();
    std::string text(begin, std::find(begin, begin + limit, '\0'));
    // It becomes one line of the log.
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

// A block failed: the box for a missing programmer, then the code, the block and the
// library's own text, all while the library is still loaded.
void reportBlockFailure(ProgrammerLibrary& library, TransferHost& host, ResultCode code,
                        const char* blockLabel, int block, TransferFailure& failure) {
    if (code == kProgrammerNotFound)
        host.showMessage(kProgrammerMissingText);
    host.appendLine("出错代码:" + std::to_string(code));
    host.appendLine(blockLabel + std::to_string(block));
    failure.block = block;
    failure.code = code;
    failure.libraryText = libraryErrorText(library, code);
    if (!failure.libraryText.empty())
        host.appendLine(failure.libraryText);
}

} // namespace

TransferResult runDownload(LibraryLoader& loader, const std::function<const ImageBuffer*()>& flash,
                           TransferHost& host) {
    TransferResult result;
    // Declared first so that it is released last, after every message and log line of the
    // way out, an exception included.
    const std::unique_ptr<ProgrammerLibrary> library = loader.load();
    if (!library) {
        reportLibraryMissing(loader, host, result.failure);
        return result;
    }

    host.appendStampedLine("正在下载芯片数据......");

    const BlockFunction setFlashData = library->lookup<BlockFunction>(kSetFlashDataName);
    if (setFlashData == nullptr) {
        host.showMessage(exportMissingText(kSetFlashDataName));
        result.outcome = TransferOutcome::ExportMissing;
        return result;
    }

    host.setProgressMaximum(download::kBlockCount - 1);

    // The library gets its own copy of each block, never a pointer into the image, and the
    // copy is taken just before the call so that edits made between blocks are sent.
    std::array<std::uint8_t, download::kBlockSize> staging{};
    for (int i = 0; i < download::kBlockCount; ++i) {
        if (host.cancelled()) {
            result.failure.block = i;
            result.outcome = TransferOutcome::Cancelled;
            return result;
        }
        const std::int32_t offset = i * download::kBlockSize;
        const ImageBuffer* image = flash ? flash() : nullptr;
        if (image != nullptr)
            image->copyOut(offset, staging, download::kPadByte);
        else
            staging.fill(download::kPadByte);

        const ResultCode code = setFlashData(offset, staging.data());
        if (code > 0) {
            reportBlockFailure(*library, host, code, "出错进度:", i, result.failure);
            result.outcome = TransferOutcome::BlockFailed;
            return result;
        }

        host.pause(offset % 1024 == 0 ? download::kLongPauseMs : download::kShortPauseMs);
        host.setProgress(i);
        host.processEvents();
    }

    host.appendStampedLine("下载芯片数据完成。");
    result.outcome = TransferOutcome::Completed;
    return result;
}

ReadBackResult runReadBack(LibraryLoader& loader, TransferHost& host) {
    ReadBackResult result;
    const std::unique_ptr<ProgrammerLibrary> library = loader.load();
    if (!library) {
        reportLibraryMissing(loader, host, result.failure);
        result.outcome = TransferOutcome::LibraryMissing;
        return result;
    }

    const BlockFunction getFlashData = library->lookup<BlockFunction>(kGetFlashDataName);
    if (getFlashData == nullptr) {
        host.showMessage(exportMissingText(kGetFlashDataName));
        result.outcome = TransferOutcome::ExportMissing;
        return result;
    }

    // Filled aside and handed out only when every block has arrived, so a failed read-back
    // never leaves a half-read image in place of the one the user had.
    auto image = std::make_unique<ImageBuffer>(readback::kImageLength);

    host.setProgressMaximum(readback::kBlockCount - 1);

    // Exactly the 32 bytes the library may write: an overrun is a fault for the sanitizers
    // to report, not something to absorb quietly.
    std::array<std::uint8_t, readback::kBlockSize> staging{};
    for (int i = 0; i < readback::kBlockCount; ++i) {
        if (host.cancelled()) {
            result.failure.block = i;
            result.outcome = TransferOutcome::Cancelled;
            return result;
        }
        const std::int32_t offset = i * readback::kBlockSize;
        const ResultCode code = getFlashData(offset, staging.data());
        if (code != 0) {
            reportBlockFailure(*library, host, code, "出错位置:", i, result.failure);
            result.outcome = TransferOutcome::BlockFailed;
            return result;
        }
        image->copyIn(offset, staging);
        host.setProgress(i);
        host.processEvents();
    }

    result.outcome = TransferOutcome::Completed;
    result.image = std::move(image);
    return result;
}

} // namespace kw
