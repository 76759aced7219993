#include "programmer/DlProgrammer.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace kw {

namespace {

// What the library reports is read in one call: asking again would probe the chip again.
constexpr int kReportBufferSize = 64 * 1024;
constexpr ResultCode kUnknownTopic = 2;

} // namespace

DlProgrammer::DlProgrammer(std::shared_ptr<LibraryLoader> loader) : loader_(std::move(loader)) {}

DlProgrammer::~DlProgrammer() {
    close();
}

bool DlProgrammer::open(const SessionOptions& options) {
    close();
    openFailure_.clear();
    refusal_.reset();
    library_ = loader_->load();
    if (!library_) {
        openFailure_ = loader_->lastError();
        return false;
    }
    setFlashData_ = library_->lookup<BlockFunction>(kSetFlashDataName);
    getFlashData_ = library_->lookup<BlockFunction>(kGetFlashDataName);
    getErrorText_ = library_->lookup<ErrorTextFunction>(kGetErrorTextName);
    setOption_ = library_->lookup<ProgrammerOptionFunction>(kSetProgrammerOptionName);
    getReport_ = library_->lookup<ProgrammerReportFunction>(kGetProgrammerReportName);
    endTransfer_ = library_->lookup<EndTransferFunction>(kEndTransferName);
    setEepromData_ = library_->lookup<EepromBlockFunction>(kSetEepromDataName);
    getEepromData_ = library_->lookup<EepromBlockFunction>(kGetEepromDataName);
    getOptionBytes_ = library_->lookup<OptionBytesReadFunction>(kGetOptionBytesName);
    setOptionByte_ = library_->lookup<OptionByteWriteFunction>(kSetOptionByteName);
    removeProtection_ = library_->lookup<RemoveProtectionFunction>(kRemoveReadoutProtectionName);
    needsBlockPauses_ = library_->lookup<BlockPausesFunction>(kNeedsBlockPausesName);

    for (const auto& [name, value] : options.settings) {
        const bool noExport = setOption_ == nullptr;
        if (noExport || setOption_(name.c_str(), value.c_str()) != 0) {
            refusal_ = OptionRefusal{name, value, noExport};
            openFailure_ = noExport
                               ? std::string(kLibraryFileName) + " has no " +
                                     kSetProgrammerOptionName + " export"
                               : std::string(kLibraryFileName) + " refuses " + name + " = " + value;
            close();
            return false;
        }
    }
    if (setOption_ != nullptr)
        for (const auto& [name, value] : options.preferences)
            static_cast<void>(setOption_(name.c_str(), value.c_str()));
    return true;
}

bool DlProgrammer::offers(Operation operation) const {
    switch (operation) {
    case Operation::WriteBlock:
        return setFlashData_ != nullptr;
    case Operation::ReadBlock:
        return getFlashData_ != nullptr;
    case Operation::ErrorText:
        return getErrorText_ != nullptr;
    case Operation::Options:
        return setOption_ != nullptr;
    case Operation::Report:
        return getReport_ != nullptr;
    case Operation::EndTransfer:
        return endTransfer_ != nullptr;
    case Operation::WriteEeprom:
        return setEepromData_ != nullptr;
    case Operation::ReadEeprom:
        return getEepromData_ != nullptr;
    case Operation::ReadOptionBytes:
        return getOptionBytes_ != nullptr;
    case Operation::WriteOptionByte:
        return setOptionByte_ != nullptr;
    case Operation::RemoveProtection:
        return removeProtection_ != nullptr;
    case Operation::BlockPauses:
        return needsBlockPauses_ != nullptr;
    }
    return false;
}

ResultCode DlProgrammer::writeBlock(std::int32_t offset,
                                    std::span<const std::uint8_t, kSetFlashDataBlockSize> block) {
    if (setFlashData_ == nullptr)
        return kProgrammerNotFound;
    std::copy(block.begin(), block.end(), writeStaging_.begin());
    return setFlashData_(offset, writeStaging_.data());
}

ResultCode DlProgrammer::readBlock(std::int32_t offset,
                                   std::span<std::uint8_t, kGetFlashDataBlockSize> block) {
    if (getFlashData_ == nullptr)
        return kProgrammerNotFound;
    // Exactly the 32 bytes the library may write: an overrun is a fault for the sanitizers
    // to report, not something to absorb quietly.
    return getFlashData_(offset, block.data());
}

std::string DlProgrammer::errorText(ResultCode code) {
    if (getErrorText_ == nullptr)
        return {};
    std::array<char, 512> buffer{};
    const int length = getErrorText_(code, buffer.data(), static_cast<int>(buffer.size()));
    if (length <= 0)
        return {};
    // Only what the library may have written, up to its terminator, whatever it returned.
    const std::size_t limit =
        std::min<std::size_t>(static_cast<std::size_t>(length), buffer.size() - 1);
    const char* begin = buffer.data();
    std::string text(begin, std::find(begin, begin + limit, '\0'));
    // It becomes one line of a log.
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

std::string DlProgrammer::report(const std::string& topic, ResultCode& code) {
    if (getReport_ == nullptr) {
        code = kUnknownTopic;
        return {};
    }
    std::vector<char> buffer(kReportBufferSize, '\0');
    int length = 0;
    code = getReport_(topic.c_str(), buffer.data(), static_cast<int>(buffer.size()), &length);
    buffer.back() = '\0';
    return buffer.data();
}

ResultCode DlProgrammer::writeEepromBlock(std::int32_t offset,
                                          std::span<const std::uint8_t, kEepromBlockSize> block) {
    if (setEepromData_ == nullptr)
        return kProgrammerNotFound;
    std::copy(block.begin(), block.end(), eepromStaging_.begin());
    return setEepromData_(offset, eepromStaging_.data());
}

ResultCode DlProgrammer::readEepromBlock(std::int32_t offset,
                                         std::span<std::uint8_t, kEepromBlockSize> block) {
    if (getEepromData_ == nullptr)
        return kProgrammerNotFound;
    // As readBlock: exactly the bytes the library may write.
    return getEepromData_(offset, block.data());
}

ResultCode DlProgrammer::readOptionBytes(std::span<std::uint8_t, kOptionByteCount> bytes) {
    if (getOptionBytes_ == nullptr)
        return kProgrammerNotFound;
    return getOptionBytes_(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

ResultCode DlProgrammer::writeOptionByte(std::int32_t index, std::uint8_t value) {
    if (setOptionByte_ == nullptr)
        return kProgrammerNotFound;
    return setOptionByte_(index, value);
}

ResultCode DlProgrammer::removeReadoutProtection() {
    if (removeProtection_ == nullptr)
        return kProgrammerNotFound;
    return removeProtection_();
}

bool DlProgrammer::needsBlockPauses() {
    return needsBlockPauses_ == nullptr || needsBlockPauses_() != 0;
}

void DlProgrammer::close() {
    if (library_ && endTransfer_ != nullptr)
        endTransfer_();
    setFlashData_ = getFlashData_ = nullptr;
    getErrorText_ = nullptr;
    setOption_ = nullptr;
    getReport_ = nullptr;
    endTransfer_ = nullptr;
    setEepromData_ = getEepromData_ = nullptr;
    getOptionBytes_ = nullptr;
    setOptionByte_ = nullptr;
    removeProtection_ = nullptr;
    needsBlockPauses_ = nullptr;
    library_.reset();
}

} // namespace kw
