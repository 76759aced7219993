#include "programmer/ChipTransfer.h"

#include <span>

#include "programmer/TransferSession.h"

namespace kw {

namespace {

using detail::blockFailed;
using detail::cancelledAt;

// The export each part needs, checked before the first byte is written.
bool offersAll(Programmer& programmer, std::span<const std::pair<Operation, bool>> needs,
               TransferHost& host, TransferResult& result) {
    for (const auto& [operation, needed] : needs) {
        if (!needed || programmer.offers(operation))
            continue;
        TransferKind kind = TransferKind::Download;
        const char* name = kSetFlashDataName;
        switch (operation) {
        case Operation::ReadBlock:
            kind = TransferKind::ReadBack;
            name = kGetFlashDataName;
            break;
        case Operation::WriteEeprom:
            kind = TransferKind::EepromWrite;
            name = kSetEepromDataName;
            break;
        case Operation::ReadEeprom:
            kind = TransferKind::EepromRead;
            name = kGetEepromDataName;
            break;
        case Operation::ReadOptionBytes:
            kind = TransferKind::OptionRead;
            name = kGetOptionBytesName;
            break;
        case Operation::WriteOptionByte:
            kind = TransferKind::OptionWrite;
            name = kSetOptionByteName;
            break;
        case Operation::RemoveProtection:
            kind = TransferKind::Unlock;
            name = kRemoveReadoutProtectionName;
            break;
        default:
            break;
        }
        host.started(kind);
        detail::exportMissing(host, kind, name, result);
        return false;
    }
    return true;
}

bool sendEepromBlocks(Programmer& programmer, const ChipWritePlan& plan, TransferHost& host,
                      TransferResult& result) {
    constexpr TransferKind kind = TransferKind::EepromWrite;
    host.started(kind);
    host.setProgressMaximum(static_cast<int>(plan.eepromBlocks.size()) - 1);
    std::array<std::uint8_t, eeprom::kBlockSize> staging{};
    for (std::size_t i = 0; i < plan.eepromBlocks.size(); ++i) {
        if (cancelledAt(host, kind, static_cast<int>(i), result))
            return false;
        const std::int32_t offset = plan.eepromBlocks[i] * eeprom::kBlockSize;
        if (plan.eeprom != nullptr)
            plan.eeprom->copyOut(offset, staging, plan.pad);
        else
            staging.fill(plan.pad);
        const ResultCode code = programmer.writeEepromBlock(offset, staging);
        if (code != 0) {
            blockFailed(programmer, host, kind, plan.eepromBlocks[i], code, result);
            return false;
        }
        host.blockDone(kind, static_cast<int>(i));
        host.processEvents();
    }
    return true;
}

bool writeOptions(Programmer& programmer, const ChipWritePlan& plan, TransferHost& host,
                  TransferResult& result) {
    constexpr TransferKind kind = TransferKind::OptionWrite;
    host.started(kind);
    host.setProgressMaximum(static_cast<int>(plan.optionWrites.size()) - 1);
    for (std::size_t i = 0; i < plan.optionWrites.size(); ++i) {
        if (cancelledAt(host, kind, static_cast<int>(i), result))
            return false;
        const auto [index, value] = plan.optionWrites[i];
        const ResultCode code = programmer.writeOptionByte(index, value);
        if (code != 0) {
            blockFailed(programmer, host, kind, static_cast<int>(i), code, result);
            return false;
        }
        host.blockDone(kind, static_cast<int>(i));
        host.processEvents();
    }
    return true;
}

bool readEepromBlocks(Programmer& programmer, std::span<const int> blocks, ImageBuffer& image,
                      TransferHost& host, TransferResult& result) {
    constexpr TransferKind kind = TransferKind::EepromRead;
    host.started(kind);
    host.setProgressMaximum(static_cast<int>(blocks.size()) - 1);
    std::array<std::uint8_t, eeprom::kBlockSize> staging{};
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (cancelledAt(host, kind, static_cast<int>(i), result))
            return false;
        const std::int32_t offset = blocks[i] * eeprom::kBlockSize;
        const ResultCode code = programmer.readEepromBlock(offset, staging);
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

bool readOptions(Programmer& programmer, TransferHost& host, ChipReadResult& result) {
    constexpr TransferKind kind = TransferKind::OptionRead;
    host.started(kind);
    OptionBytes bytes{};
    const ResultCode code = programmer.readOptionBytes(bytes);
    if (code != 0) {
        blockFailed(programmer, host, kind, 0, code, result);
        return false;
    }
    result.options = bytes;
    return true;
}

} // namespace

TransferResult runChipWrite(Programmer& programmer, const ChipWritePlan& plan, TransferHost& host,
                            const SessionOptions& options) {
    const TransferKind first = !plan.flashBlocks.empty()    ? TransferKind::Download
                               : !plan.eepromBlocks.empty() ? TransferKind::EepromWrite
                                                            : TransferKind::OptionWrite;
    TransferResult result;
    detail::runSession(programmer, options, first, host, result, [&] {
        const std::pair<Operation, bool> needs[] = {
            {Operation::WriteBlock, !plan.flashBlocks.empty()},
            {Operation::WriteEeprom, !plan.eepromBlocks.empty()},
            {Operation::WriteOptionByte, !plan.optionWrites.empty()},
        };
        if (!offersAll(programmer, needs, host, result))
            return;
        if (!plan.flashBlocks.empty()) {
            host.started(TransferKind::Download);
            if (!detail::sendFlashBlocks(
                    programmer, [&plan] { return plan.flash; }, plan.flashBlocks, plan.pad, host,
                    result))
                return;
        }
        if (!plan.eepromBlocks.empty() && !sendEepromBlocks(programmer, plan, host, result))
            return;
        if (!plan.optionWrites.empty() && !writeOptions(programmer, plan, host, result))
            return;
        result.outcome = TransferOutcome::Completed;
        host.finished(first);
    });
    return result;
}

ChipReadResult runChipRead(Programmer& programmer, const ChipReadPlan& plan, TransferHost& host,
                           const SessionOptions& options) {
    const TransferKind first = !plan.flashBlocks.empty()    ? TransferKind::ReadBack
                               : !plan.eepromBlocks.empty() ? TransferKind::EepromRead
                                                            : TransferKind::OptionRead;
    ChipReadResult result;
    detail::runSession(programmer, options, first, host, result, [&] {
        const std::pair<Operation, bool> needs[] = {
            {Operation::ReadBlock, !plan.flashBlocks.empty()},
            {Operation::ReadEeprom, !plan.eepromBlocks.empty()},
            {Operation::ReadOptionBytes, plan.options},
        };
        if (!offersAll(programmer, needs, host, result))
            return;
        auto flash = std::make_unique<ImageBuffer>(readback::kImageLength);
        auto eepromImage = std::make_unique<ImageBuffer>(kEepromMaxSize);
        if (!plan.flashBlocks.empty()) {
            host.started(TransferKind::ReadBack);
            if (!detail::readFlashBlocks(programmer, plan.flashBlocks, *flash, host, result))
                return;
        }
        if (!plan.eepromBlocks.empty() &&
            !readEepromBlocks(programmer, plan.eepromBlocks, *eepromImage, host, result))
            return;
        if (plan.options && !readOptions(programmer, host, result))
            return;
        result.outcome = TransferOutcome::Completed;
        result.flash = std::move(flash);
        result.eeprom = std::move(eepromImage);
        host.finished(first);
    });
    // Nothing half-read is handed out.
    if (result.outcome != TransferOutcome::Completed) {
        result.flash.reset();
        result.eeprom.reset();
        result.options.reset();
    }
    return result;
}

ChipReadResult runUnlock(Programmer& programmer, TransferHost& host,
                         const SessionOptions& options) {
    constexpr TransferKind kind = TransferKind::Unlock;
    ChipReadResult result;
    detail::runSession(programmer, options, kind, host, result, [&] {
        const std::pair<Operation, bool> needs[] = {
            {Operation::RemoveProtection, true},
            {Operation::ReadOptionBytes, true},
        };
        if (!offersAll(programmer, needs, host, result))
            return;
        host.started(kind);
        const ResultCode code = programmer.removeReadoutProtection();
        if (code != 0) {
            blockFailed(programmer, host, kind, 0, code, result);
            return;
        }
        if (!readOptions(programmer, host, result))
            return;
        result.outcome = TransferOutcome::Completed;
        host.finished(kind);
    });
    if (result.outcome != TransferOutcome::Completed)
        result.options.reset();
    return result;
}

} // namespace kw
