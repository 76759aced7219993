#pragma once

#include <array>
#include <memory>

#include "programmer/Programmer.h"
#include "programmer/ProgrammerLibrary.h"

namespace kw {

// The programmer library loaded into this process: each session loads it through the loader
// and releases it at close(). A library that crashes takes this process with it.
class DlProgrammer final : public Programmer {
public:
    explicit DlProgrammer(std::shared_ptr<LibraryLoader> loader);
    ~DlProgrammer() override;
    DlProgrammer(const DlProgrammer&) = delete;
    DlProgrammer& operator=(const DlProgrammer&) = delete;

    bool open(const SessionOptions& options) override;
    std::string openFailure() const override { return openFailure_; }
    std::optional<OptionRefusal> refusedOption() const override { return refusal_; }
    bool offers(Operation operation) const override;

    ResultCode writeBlock(std::int32_t offset,
                          std::span<const std::uint8_t, kSetFlashDataBlockSize> block) override;
    ResultCode readBlock(std::int32_t offset,
                         std::span<std::uint8_t, kGetFlashDataBlockSize> block) override;
    std::string errorText(ResultCode code) override;
    std::string report(const std::string& topic, ResultCode& code) override;
    ResultCode writeEepromBlock(std::int32_t offset,
                                std::span<const std::uint8_t, kEepromBlockSize> block) override;
    ResultCode readEepromBlock(std::int32_t offset,
                               std::span<std::uint8_t, kEepromBlockSize> block) override;
    ResultCode readOptionBytes(std::span<std::uint8_t, kOptionByteCount> bytes) override;
    ResultCode writeOptionByte(std::int32_t index, std::uint8_t value) override;
    ResultCode removeReadoutProtection() override;
    bool needsBlockPauses() override;
    void close() override;

private:
    std::shared_ptr<LibraryLoader> loader_;
    std::unique_ptr<ProgrammerLibrary> library_;
    BlockFunction setFlashData_ = nullptr;
    BlockFunction getFlashData_ = nullptr;
    ErrorTextFunction getErrorText_ = nullptr;
    ProgrammerOptionFunction setOption_ = nullptr;
    ProgrammerReportFunction getReport_ = nullptr;
    EndTransferFunction endTransfer_ = nullptr;
    EepromBlockFunction setEepromData_ = nullptr;
    EepromBlockFunction getEepromData_ = nullptr;
    OptionBytesReadFunction getOptionBytes_ = nullptr;
    OptionByteWriteFunction setOptionByte_ = nullptr;
    RemoveProtectionFunction removeProtection_ = nullptr;
    BlockPausesFunction needsBlockPauses_ = nullptr;
    std::string openFailure_;
    std::optional<OptionRefusal> refusal_;
    // The library gets a block of its own, never a pointer into the caller's data.
    std::array<std::uint8_t, kSetFlashDataBlockSize> writeStaging_{};
    std::array<std::uint8_t, kEepromBlockSize> eepromStaging_{};
};

} // namespace kw
