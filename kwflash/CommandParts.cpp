#include "kwflash/CommandParts.h"

#include <cctype>
#include <cstdio>

#include "image/IntelHexLoader.h"
#include "kwflash/Commands.h"
#include "kwflash/Interrupts.h"
#include "kwflash/Wording.h"
#include "programmer/ChipTransfer.h"

namespace kw::cli {

std::string quoted(const std::filesystem::path& file) {
    return "\"" + file.string() + "\"";
}

std::string hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string addressRange(std::uint32_t first, std::uint32_t last) {
    return hex(first, 4) + "-" + hex(last, 4);
}

std::string lowerFirst(std::string text) {
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::string chipName(const Options& options) {
    return std::string(options.chip->name);
}

void sayProgrammer(ConsoleHost& host) {
    if (!host.lastSession().empty() && host.newSession(host.lastSession()))
        host.say("Programmer: " + host.lastSession());
}

namespace {

// The blocks of a part as the messages name them.
struct PartWords {
    const char* doing;  // "writing", "reading"
    const char* block;  // "block", "EEPROM block"
    std::uint32_t base; // chip address of the part's first byte
    int blockSize;
};

PartWords partWords(TransferKind kind) {
    switch (kind) {
    case TransferKind::Download:
        return {"writing", "block", kHexFlashBase, download::kBlockSize};
    case TransferKind::ReadBack:
        return {"reading", "block", kHexFlashBase, readback::kBlockSize};
    case TransferKind::EepromWrite:
        return {"writing", "EEPROM block", kHexEepromBase, eeprom::kBlockSize};
    case TransferKind::EepromRead:
        return {"reading", "EEPROM block", kHexEepromBase, eeprom::kBlockSize};
    case TransferKind::OptionWrite:
        return {"writing", "option byte", kHexOptionBase, 1};
    case TransferKind::OptionRead:
        return {"reading", "the option bytes", kHexOptionBase, kOptionByteCount};
    case TransferKind::Unlock:
        break;
    }
    return {"removing", "read-out protection", kHexOptionBase, 1};
}

int plannedCount(const TransferPlan& plan, TransferKind kind) {
    switch (kind) {
    case TransferKind::Download:
    case TransferKind::ReadBack:
        return plan.flashBlocks;
    case TransferKind::EepromWrite:
    case TransferKind::EepromRead:
        return plan.eepromBlocks;
    case TransferKind::OptionWrite:
        return static_cast<int>(plan.optionWrites.size());
    case TransferKind::OptionRead:
    case TransferKind::Unlock:
        break;
    }
    return 1;
}

// Where a failure happened: "block 5 (0x8280-0x82FF)", "option byte UBC (0x4801)".
std::string where(const TransferFailure& failure, const TransferPlan& plan) {
    const PartWords words = partWords(failure.kind);
    if (failure.kind == TransferKind::OptionWrite) {
        const auto at = static_cast<std::size_t>(failure.block);
        if (at >= plan.optionWrites.size())
            return words.block;
        const int index = plan.optionWrites[at].first;
        return std::string(words.block) + " " + optionByteName(index) + " (" +
               hex(kHexOptionBase + static_cast<std::uint32_t>(index), 4) + ")";
    }
    if (failure.kind == TransferKind::OptionRead || failure.kind == TransferKind::Unlock)
        return words.block;
    const std::uint32_t first = words.base + static_cast<std::uint32_t>(failure.block) *
                                                 static_cast<std::uint32_t>(words.blockSize);
    return std::string(words.block) + " " + std::to_string(failure.block) + " (" +
           addressRange(first, first + static_cast<std::uint32_t>(words.blockSize) - 1) + ")";
}

bool firstPart(const TransferPlan& plan, TransferKind kind) {
    switch (kind) {
    case TransferKind::Download:
    case TransferKind::ReadBack:
        return true;
    case TransferKind::EepromWrite:
    case TransferKind::EepromRead:
        return plan.flashBlocks == 0;
    default:
        return plan.flashBlocks == 0 && plan.eepromBlocks == 0;
    }
}

std::string interruptedMessage(const TransferFailure& failure, const TransferPlan& plan) {
    const std::string block = partWords(failure.kind).block;
    const std::string count = " of " + std::to_string(plannedCount(plan, failure.kind));
    if (failure.block == 0)
        return "interrupted before " + block + " 1" + count + "; " +
               (firstPart(plan, failure.kind) ? plan.whenUntouched : plan.whenStopped);
    return "interrupted after " + block + " " + std::to_string(failure.block) + count + "; " +
           plan.whenStopped;
}

} // namespace

std::string failedBlock(const TransferFailure& failure, const TransferPlan& plan) {
    return std::string(partWords(failure.kind).doing) + " " + where(failure, plan);
}

void checkTransfer(const TransferResult& result, const TransferPlan& plan) {
    const TransferFailure& failure = result.failure;
    switch (result.outcome) {
    case TransferOutcome::Completed:
        return;
    case TransferOutcome::LibraryMissing:
    case TransferOutcome::OptionRefused:
        throw Failure{kNoProgrammer, openFailureText(failure)};
    case TransferOutcome::Stopped:
        throw Failure{kInternalError, stoppedText(*failure.stop)};
    case TransferOutcome::ExportMissing:
        throw Failure{kNoProgrammer, exportMissingText(failure.kind, failure.exportName)};
    case TransferOutcome::BlockFailed:
        break;
    case TransferOutcome::Cancelled:
        throw Failure{kInterruptedBase + interruption(), interruptedMessage(failure, plan)};
    }
    const std::string doing = partWords(failure.kind).doing;
    const std::string text = failure.libraryText.empty() ? "" : ": " + failure.libraryText;
    if (failure.code == kProgrammerNotFound)
        throw Failure{kNoProgrammer,
                      "no programmer found: code 1 " + doing + " " + where(failure, plan) + text,
                      failure.code, failure.libraryText};
    throw Failure{kProgrammerFailed,
                  "the programmer failed " + doing + " " + where(failure, plan) + " with code " +
                      std::to_string(failure.code) + text,
                  failure.code, failure.libraryText};
}

ReplaceOptions outputOptions(const Options& options) {
    ReplaceOptions replace;
    replace.followLinks = false;
    replace.replaceReadOnly = options.force;
    replace.removeStaleTemporaries = true;
    return replace;
}

void checkOutcome(const Options& options, const ReplaceOutcome& outcome) {
    std::string why;
    switch (outcome.status) {
    case ReplaceOutcome::Status::Replaced:
        return;
    case ReplaceOutcome::Status::NotRegular:
        why = ": it is not a regular file";
        break;
    case ReplaceOutcome::Status::ForeignLink:
        why = ": it is a symbolic link of another user in a shared (sticky) folder";
        break;
    case ReplaceOutcome::Status::ReadOnly:
        why = ": it is read-only (--force replaces it)";
        break;
    case ReplaceOutcome::Status::Failed:
        if (outcome.error != 0)
            why = ": " + std::generic_category().message(outcome.error);
        break;
    }
    throw Failure{kBadImageFile, "cannot write " + quoted(options.file) + why};
}

} // namespace kw::cli
