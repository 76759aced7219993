#include "kwflash/ChipCommands.h"

#include "kwflash/Production.h"

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>

#include "image/IntelHexWriter.h"
#include "kwflash/Commands.h"
#include "kwflash/Wording.h"
#include "programmer/ChipTransfer.h"

namespace kw::cli {

namespace {

constexpr int kReadsPerBlock = download::kBlockSize / readback::kBlockSize;

std::string byteCount(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// "8192 bytes." for flash alone, else each area: "256 bytes of flash, 4 of EEPROM, 2 option
// bytes."
std::string amounts(std::size_t flash, std::size_t eeprom, std::size_t options) {
    if (eeprom == 0 && options == 0)
        return byteCount(flash) + ".";
    std::string text;
    const auto add = [&text](const std::string& part) {
        text += (text.empty() ? "" : ", ") + part;
    };
    if (flash != 0)
        add(byteCount(flash) + " of flash");
    if (eeprom != 0)
        add((flash != 0 ? std::to_string(eeprom) : byteCount(eeprom)) + " of EEPROM");
    if (options != 0)
        add(std::to_string(options) + (options == 1 ? " option byte" : " option bytes"));
    return text + ".";
}

// The bytes a comparison found different, counted over every area.
class Comparison {
public:
    void add(std::uint32_t address, std::uint8_t expected, std::uint8_t actual) {
        ++compared_;
        if (expected == actual)
            return;
        if (differing_++ == 0)
            first_ = {address, expected, actual};
    }
    // Throws the verify failure when a byte differs.
    void check() const {
        if (differing_ == 0)
            return;
        throw Failure{kVerifyMismatch, "verify failed: " + std::to_string(differing_) + " of " +
                                           std::to_string(compared_) +
                                           " bytes differ, the first at " + hex(first_.address, 4) +
                                           " (chip " + hex(first_.actual, 2) + ", image " +
                                           hex(first_.expected, 2) + ")"};
    }

private:
    struct Difference {
        std::uint32_t address = 0;
        std::uint8_t expected = 0;
        std::uint8_t actual = 0;
    };
    std::size_t compared_ = 0;
    std::size_t differing_ = 0;
    Difference first_;
};

// The 32-byte read blocks covering the 128-byte download blocks.
std::vector<int> readBlocksOf(const std::vector<int>& downloadBlocks) {
    std::vector<int> blocks;
    for (const int block : downloadBlocks)
        for (int k = 0; k < kReadsPerBlock; ++k)
            blocks.push_back(block * kReadsPerBlock + k);
    return blocks;
}

std::unique_ptr<ImageBuffer> bufferOf(const std::vector<std::uint8_t>& bytes) {
    auto buffer = std::make_unique<ImageBuffer>(static_cast<std::int64_t>(bytes.size()));
    buffer->copyIn(0, bytes);
    return buffer;
}

TransferPlan planOf(const ChipReadPlan& read, const char* whenStopped) {
    TransferPlan plan;
    plan.flashBlocks = static_cast<int>(read.flashBlocks.size());
    plan.eepromBlocks = static_cast<int>(read.eepromBlocks.size());
    plan.whenStopped = whenStopped;
    plan.whenUntouched = whenStopped;
    return plan;
}

// Reads the option bytes aside, to tell why a block failed; nothing when they cannot be read.
std::optional<OptionBytes> optionsForDiagnosis(Session& session) {
    ChipReadPlan plan;
    plan.options = true;
    const auto programmer = session.programmer();
    ConsoleHost quiet(stdout, ProgressStyle::Quiet);
    ChipReadResult result = runChipRead(*programmer, plan, quiet, session.options);
    return result.outcome == TransferOutcome::Completed ? result.options : std::nullopt;
}

// A block the chip refused: when its protection is why, say that and what lifts it; else
// the library's words. `sent` lists the flash blocks a write sent: a library that programs
// while the next call goes out reports a refused block with the call after it (an EEPROM
// block, say), so any of them may be the one UBC refused.
void checkBlocks(const TransferResult& result, const TransferPlan& plan, const Options& options,
                 Session& session, const std::vector<int>& sent = {}) {
    const TransferFailure& failure = result.failure;
    const bool chipBlock =
        failure.kind == TransferKind::Download || failure.kind == TransferKind::ReadBack ||
        failure.kind == TransferKind::EepromWrite || failure.kind == TransferKind::EepromRead;
    if (result.outcome == TransferOutcome::BlockFailed && failure.code > kProgrammerNotFound &&
        chipBlock) {
        if (const auto bytes = optionsForDiagnosis(session)) {
            if (readoutProtected(*bytes))
                throw Failure{kProgrammerFailed,
                              "the chip is read-out protected (ROP 0xAA at 0x4800): it refused " +
                                  failedBlock(failure, plan) + " with code " +
                                  std::to_string(failure.code) +
                                  "; kwflash unlock removes the protection, erasing flash and "
                                  "EEPROM"};
            const BootArea boot = bootArea(*bytes, *options.chip);
            for (const int block : sent) {
                const std::uint32_t first =
                    kHexFlashBase + static_cast<std::uint32_t>(block * download::kBlockSize);
                if (boot.pages > 0 && first <= boot.last)
                    throw Failure{kProgrammerFailed,
                                  "block " + std::to_string(block) + " (" +
                                      addressRange(first, first + download::kBlockSize - 1) +
                                      ") lies in the write-protected boot area (UBC, " +
                                      addressRange(boot.first, boot.last) +
                                      "): kwflash options set UBC=0 lifts the protection"};
            }
        }
    }
    checkTransfer(result, plan);
}

ChipReadResult readChip(const ChipReadPlan& read, const char* label, const char* whenStopped,
                        const Options& options, Session& session) {
    ConsoleHost& host = session.host;
    host.begin(label);
    ChipReadResult result;
    {
        const auto programmer = session.programmer();
        result = runChipRead(*programmer, read, host, session.options);
    }
    host.endLine();
    sayProgrammer(host);
    checkBlocks(result, planOf(read, whenStopped), options, session);
    return result;
}

void writeParts(const ChipWritePlan& write, const char* label, const Options& options,
                Session& session) {
    ConsoleHost& host = session.host;
    host.begin(label);
    TransferResult result;
    {
        const auto programmer = session.programmer();
        result = runChipWrite(*programmer, write, host, session.options);
    }
    host.endLine();
    sayProgrammer(host);
    TransferPlan plan;
    plan.flashBlocks = static_cast<int>(write.flashBlocks.size());
    plan.eepromBlocks = static_cast<int>(write.eepromBlocks.size());
    plan.optionWrites = write.optionWrites;
    checkBlocks(result, plan, options, session, write.flashBlocks);
}

std::string areaName(Area area) {
    switch (area) {
    case Area::Flash:
        break;
    case Area::Eeprom:
        return "EEPROM";
    case Area::Option:
        return "option bytes";
    case Area::All:
        return "flash, EEPROM and option bytes";
    }
    return "flash";
}

void sayOptions(ConsoleHost& host, const OptionBytes& bytes, const Options& options) {
    for (const std::string& line : optionLines(bytes, *options.chip))
        host.say(line);
}

OptionBytes readOptionBytes(const char* label, const char* whenStopped, const Options& options,
                            Session& session) {
    ChipReadPlan plan;
    plan.options = true;
    return *readChip(plan, label, whenStopped, options, session).options;
}

} // namespace

std::string contents(const ChipImage& image) {
    std::string text;
    const auto add = [&text](const char* name, const HexArea& area) {
        if (area.count() == 0)
            return;
        text += (text.empty() ? "" : ", ") + std::string(name) + " " +
                addressRange(area.first(), area.last()) + " (" + byteCount(area.count()) + ")";
    };
    add("flash", image.flash);
    add("EEPROM", image.eeprom);
    add("option bytes", image.options);
    return text;
}

std::string writeChip(const Options& options, const ChipImage& image, Session& session) {
    const Chip& chip = *options.chip;
    const auto flash = bufferOf(areaBytes(image.flash, chip.flashSize));
    const auto eepromImage = bufferOf(areaBytes(image.eeprom, chip.eepromSize));
    ChipWritePlan write;
    write.flash = flash.get();
    write.flashBlocks = definedBlocks(image.flash, download::kBlockSize);
    write.eeprom = eepromImage.get();
    write.eepromBlocks = definedBlocks(image.eeprom, eeprom::kBlockSize);
    write.pad = 0x00;
    write.optionWrites = optionWritesOf(image.options);
    // Protection goes on last, once the chip has been checked: after it nothing reads back.
    std::optional<std::pair<int, std::uint8_t>> protect;
    if (!write.optionWrites.empty() && write.optionWrites.back().first == kRopIndex) {
        protect = write.optionWrites.back();
        write.optionWrites.pop_back();
    }

    if (!write.flashBlocks.empty() || !write.eepromBlocks.empty() || !write.optionWrites.empty())
        writeParts(write, "Writing", options, session);
    std::string summary = "Written, not verified.";
    if (options.verify) {
        ChipReadPlan read;
        read.flashBlocks = readBlocksOf(write.flashBlocks);
        read.eepromBlocks = write.eepromBlocks;
        read.options = !write.optionWrites.empty();
        if (!read.flashBlocks.empty() || !read.eepromBlocks.empty() || read.options) {
            const ChipReadResult back = readChip(
                read, "Verifying", "the chip was written but not verified", options, session);
            // What was written: the blocks whole, padding included, and each option byte
            // with its complement.
            Comparison comparison;
            for (const int block : write.flashBlocks)
                for (int i = 0; i < download::kBlockSize; ++i) {
                    const int at = block * download::kBlockSize + i;
                    comparison.add(chip.flashBase + static_cast<std::uint32_t>(at),
                                   *flash->read(at), *back.flash->read(at));
                }
            for (const int block : write.eepromBlocks)
                for (int i = 0; i < eeprom::kBlockSize; ++i) {
                    const int at = block * eeprom::kBlockSize + i;
                    comparison.add(chip.eepromBase + static_cast<std::uint32_t>(at),
                                   *eepromImage->read(at), *back.eeprom->read(at));
                }
            for (const auto& [index, value] : write.optionWrites) {
                const auto i = static_cast<std::size_t>(index);
                comparison.add(chip.optionBase + static_cast<std::uint32_t>(index), value,
                               (*back.options)[i]);
                comparison.add(chip.optionBase + static_cast<std::uint32_t>(index) + 1,
                               static_cast<std::uint8_t>(~value), (*back.options)[i + 1]);
            }
            comparison.check();
        }
        // A file's ROP is written after the check, or not at all.
        const bool rop = image.options.defined(chip.optionBase);
        summary = "Written and verified: " + amounts(image.flash.count(), image.eeprom.count(),
                                                     image.options.count() - (rop ? 1 : 0));
    }
    if (protect) {
        ChipWritePlan rop;
        rop.optionWrites = {*protect};
        writeParts(rop, "Protecting", options, session);
        summary += " Read-out protection set (ROP 0xAA from the file): the chip no longer "
                   "reads back; kwflash unlock removes it, erasing flash and EEPROM.";
    }
    return summary;
}

void runWrite(const Options& options, Session& session) {
    ConsoleHost& host = session.host;
    const ChipImage image = loadChipImage(options);
    host.say("Image " + quoted(options.file) + ": " + image.description + ", for the " +
             chipName(options) + ": " + contents(image));
    for (const std::string& line : crcLines(options, image))
        host.say(line);
    host.say(writeChip(options, image, session));
}

void runVerify(const Options& options, Session& session) {
    ConsoleHost& host = session.host;
    const Chip& chip = *options.chip;
    const ChipImage image = loadChipImage(options);
    ChipReadPlan read;
    read.flashBlocks = definedBlocks(image.flash, readback::kBlockSize);
    read.eepromBlocks = definedBlocks(image.eeprom, eeprom::kBlockSize);
    read.options = image.options.count() != 0;
    const ChipReadResult back =
        readChip(read, "Verifying", "nothing was verified", options, session);
    // Only what the file defines: the rest of the chip may hold anything.
    Comparison comparison;
    for (std::uint32_t at = chip.flashBase; at < chip.flashEnd(); ++at)
        if (image.flash.defined(at))
            comparison.add(at, image.flash.value(at), *back.flash->read(at - chip.flashBase));
    for (std::uint32_t at = chip.eepromBase; at < chip.eepromEnd(); ++at)
        if (image.eeprom.defined(at))
            comparison.add(at, image.eeprom.value(at), *back.eeprom->read(at - chip.eepromBase));
    for (std::uint32_t at = chip.optionBase; at < chip.optionEnd(); ++at)
        if (image.options.defined(at))
            comparison.add(at, image.options.value(at), (*back.options)[at - chip.optionBase]);
    comparison.check();
    std::string what = quoted(options.file);
    if (options.eepromFile)
        what += " and " + quoted(*options.eepromFile);
    host.say("The " + chipName(options) + " matches " + what + ": " +
             amounts(image.flash.count(), image.eeprom.count(), image.options.count()));
}

void runRead(const Options& options, Session& session) {
    ConsoleHost& host = session.host;
    const Chip& chip = *options.chip;
    // A read that cannot be saved should not touch the probe at all.
    checkOutcome(options, checkReplaceable(options.file, outputOptions(options)));
    const bool flash = options.area == Area::Flash || options.area == Area::All;
    const bool eepromArea = options.area == Area::Eeprom || options.area == Area::All;
    const bool optionArea = options.area == Area::Option || options.area == Area::All;
    ChipReadPlan read;
    if (flash)
        read.flashBlocks = allBlocks(readback::kBlockCount);
    if (eepromArea)
        read.eepromBlocks = allBlocks(chip.eepromSize / eeprom::kBlockSize);
    read.options = optionArea;
    const ChipReadResult back = readChip(read, "Reading", "nothing was saved", options, session);

    const auto flashBytes = back.flash->bytes().first(static_cast<std::size_t>(chip.flashSize));
    const auto eepromBytes = back.eeprom->bytes().first(static_cast<std::size_t>(chip.eepromSize));
    const std::span<const std::uint8_t> optionBytes =
        back.options ? std::span<const std::uint8_t>(*back.options)
                     : std::span<const std::uint8_t>();
    std::string content;
    if (options.format == ImageFormat::IntelHex) {
        // Each area at its chip address, in address order.
        IntelHexWriter writer;
        if (eepromArea)
            writer.add(eepromBytes, chip.eepromBase);
        if (optionArea)
            writer.add(optionBytes, chip.optionBase);
        if (flash)
            writer.add(flashBytes, chip.flashBase);
        content = std::move(writer).finish();
    } else {
        const auto bytes = flash ? flashBytes : eepromArea ? eepromBytes : optionBytes;
        content.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    checkOutcome(options, replaceFile(options.file, content, outputOptions(options)));
    if (options.area == Area::Flash)
        host.say("Read " + std::to_string(chip.flashSize) + " bytes of the " + chipName(options) +
                 " into " + quoted(options.file) + ".");
    else
        host.say("Read the " + chipName(options) + "'s " + areaName(options.area) + " into " +
                 quoted(options.file) + ": " +
                 amounts(flash ? flashBytes.size() : 0, eepromArea ? eepromBytes.size() : 0,
                         optionBytes.size()));
}

void runOptions(const Options& options, Session& session) {
    ConsoleHost& host = session.host;
    if (options.optionSettings.empty()) {
        sayOptions(host, readOptionBytes("Reading", "nothing was read", options, session), options);
        return;
    }
    const OptionBytes before = readOptionBytes("Reading", "nothing was changed", options, session);
    OptionBytes wanted = before;
    for (const auto& [field, value] : options.optionSettings)
        setOptionField(wanted, *field, value);
    if (readoutProtected(before) && !readoutProtected(wanted))
        throw Failure{kWrongUsage, "clearing ROP erases the chip: kwflash unlock does that, "
                                   "after asking"};
    // Changed bytes only, and every pair whose complement is wrong; ROP last, since it ends
    // access to the rest.
    ChipWritePlan write;
    for (const int index : kOptionPairIndexes) {
        const auto i = static_cast<std::size_t>(index);
        if (wanted[i] != before[i] || !complementMatches(before, index))
            write.optionWrites.emplace_back(index, wanted[i]);
    }
    if (wanted[kRopIndex] != before[kRopIndex])
        write.optionWrites.emplace_back(kRopIndex, wanted[kRopIndex]);
    if (write.optionWrites.empty()) {
        host.say("The option bytes already hold these values; nothing was written.");
        sayOptions(host, before, options);
        return;
    }
    writeParts(write, "Writing", options, session);
    const OptionBytes after = readOptionBytes(
        "Reading", "the option bytes were written but not read back", options, session);
    std::string written;
    for (const auto& [index, value] : write.optionWrites)
        written += (written.empty() ? "" : ", ") + optionByteName(index) + "=" + hex(value, 2);
    host.say("Written: " + written + " (in effect after the chip's next reset).");
    sayOptions(host, after, options);
    for (const auto& [index, value] : write.optionWrites) {
        const auto i = static_cast<std::size_t>(index);
        if (after[i] != value || (index != kRopIndex && !complementMatches(after, index)))
            throw Failure{kVerifyMismatch,
                          "verify failed: option byte " + optionByteName(index) + " at " +
                              hex(options.chip->optionBase + static_cast<std::uint32_t>(index), 4) +
                              " reads " + hex(after[i], 2) + " after writing " + hex(value, 2)};
    }
}

void runUnlock(const Options& options, Session& session) {
    ConsoleHost& host = session.host;
    const OptionBytes before = readOptionBytes("Reading", "nothing was changed", options, session);
    if (!readoutProtected(before)) {
        host.say("The chip is not read-out protected (ROP " + hex(before[kRopIndex], 2) +
                 "); nothing was changed.");
        sayOptions(host, before, options);
        return;
    }
    const std::string warning =
        "Removing the read-out protection makes the chip erase its whole flash and EEPROM.";
    if (!options.yes) {
        if (::isatty(STDIN_FILENO) == 0)
            throw Failure{kWrongUsage,
                          "unlock erases the chip's flash and EEPROM: confirm it on a terminal, "
                          "or add --yes"};
        std::fprintf(stdout, "%s\nErase the chip and remove the protection? [y/N] ",
                     warning.c_str());
        std::fflush(stdout);
        char answer[16] = {};
        if (std::fgets(answer, sizeof answer, stdin) == nullptr ||
            (answer[0] != 'y' && answer[0] != 'Y')) {
            host.say("Nothing was changed.");
            return;
        }
    } else {
        host.say(warning);
    }
    host.begin("Unlocking");
    ChipReadResult result;
    {
        const auto programmer = session.programmer();
        result = kw::runUnlock(*programmer, host, session.options);
    }
    host.endLine();
    sayProgrammer(host);
    TransferPlan plan;
    plan.whenStopped = plan.whenUntouched = "the chip may be erased and still protected";
    checkTransfer(result, plan);
    host.say(readoutProtected(*result.options)
                 ? "The chip is still read-out protected."
                 : "Read-out protection removed; flash and EEPROM are erased (0x00).");
    sayOptions(host, *result.options, options);
    if (readoutProtected(*result.options))
        throw Failure{kProgrammerFailed, "ROP still reads 0xAA after removing the protection"};
}

} // namespace kw::cli
