#pragma once

// An in-process programmer for tests that need no real shared object: it keeps an 8 KB flash,
// records every call and fails on command.
//
//   FakeProgrammer fake;
//   fake.failWrite(5, 7);                  // the sixth write of a session returns 7
//   runDownload(fake, flash, host);
//   fake.writes[5].offset, fake.calls      // what the transfer asked, in order
#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "programmer/Programmer.h"
#include "programmer/TestPattern.h"

namespace kw::test {

class FakeProgrammer final : public Programmer {
public:
    static constexpr std::int32_t kFlashSize = 8192;

    struct Write {
        std::int32_t offset;
        std::vector<std::uint8_t> data;
    };

    // Set up by the test.
    bool libraryPresent = true;
    std::string loadFailure;                    // openFailure() when the library is missing
    std::vector<Operation> missing;             // operations the library does not offer
    std::vector<std::string> knownOptions;      // SetProgrammerOption takes only these names
    std::string errorTextFor;                   // errorText(): this text, "%d" replaced by the code
    std::map<std::string, std::string> reports; // topic -> text, code 0
    std::optional<ProgrammerStopped> stopAtCall; // thrown at call number stopCall
    int stopCall = -1;                           // counted over the session's calls
    std::array<std::uint8_t, kFlashSize> flash = erased();
    std::array<std::uint8_t, kEepromMaxSize> eeprom{};
    // ROP, OPT1 NOPT1 ... OPT5 NOPT5 as a new chip has them.
    std::array<std::uint8_t, kOptionByteCount> optionBytes{0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                                                           0xFF, 0x00, 0xFF, 0x00, 0xFF};
    bool pauses = true; // needsBlockPauses()

    // Recorded. `calls` names each call in order: "open", "write 128", "read 0",
    // "text 7", "report probes", "eeprom-write 64", "eeprom-read 0", "options-read",
    // "option-write 1 170", "unlock", "pauses", "close" ("close" only for an open session).
    std::vector<std::string> calls;
    std::vector<Write> writes;
    std::vector<Write> eepromWrites;
    std::vector<std::int32_t> reads;
    std::vector<std::pair<std::string, std::string>> options;
    int opens = 0;
    int closes = 0;

    void failWrite(int index, ResultCode code) { writeFailures_[index] = code; }
    void failRead(int index, ResultCode code) { readFailures_[index] = code; }
    // The named whole-chip call ("eeprom-write", "eeprom-read", "options-read",
    // "option-write", "unlock") returns `code` from its `index`-th use in a session on.
    void failChipCall(const std::string& name, int index, ResultCode code) {
        chipFailures_[name] = {index, code};
    }
    // Reads return the test libraries' pattern instead of what was written.
    void readPattern() {
        for (std::int32_t p = 0; p < kFlashSize; ++p)
            flash[static_cast<std::size_t>(p)] = testlib::patternByte(p);
    }

    bool open(const SessionOptions& session) override {
        close();
        calls.push_back("open");
        ++opens;
        refusal_.reset();
        if (!libraryPresent)
            return false;
        open_ = true;
        sessionCalls_ = 0;
        sessionWrites_ = sessionReads_ = 0;
        chipCalls_.clear();
        for (const auto& [name, value] : session.settings) {
            options.emplace_back(name, value);
            const bool noExport = !offers(Operation::Options);
            if (noExport ||
                std::find(knownOptions.begin(), knownOptions.end(), name) == knownOptions.end()) {
                refusal_ = OptionRefusal{name, value, noExport};
                close();
                return false;
            }
        }
        return true;
    }
    std::string openFailure() const override {
        if (refusal_)
            return "refuses " + refusal_->name;
        return libraryPresent ? std::string() : loadFailure;
    }
    std::optional<OptionRefusal> refusedOption() const override { return refusal_; }
    bool offers(Operation operation) const override {
        return open_ && std::find(missing.begin(), missing.end(), operation) == missing.end();
    }

    ResultCode writeBlock(std::int32_t offset,
                          std::span<const std::uint8_t, kSetFlashDataBlockSize> block) override {
        if (!offers(Operation::WriteBlock))
            return kProgrammerNotFound;
        call("write " + std::to_string(offset));
        writes.push_back({offset, {block.begin(), block.end()}});
        if (const auto failure = writeFailures_.find(sessionWrites_++);
            failure != writeFailures_.end())
            return failure->second;
        if (!fits(offset, kSetFlashDataBlockSize))
            return 2;
        std::copy(block.begin(), block.end(), flash.begin() + offset);
        return 0;
    }
    ResultCode readBlock(std::int32_t offset,
                         std::span<std::uint8_t, kGetFlashDataBlockSize> block) override {
        if (!offers(Operation::ReadBlock))
            return kProgrammerNotFound;
        call("read " + std::to_string(offset));
        reads.push_back(offset);
        if (const auto failure = readFailures_.find(sessionReads_++);
            failure != readFailures_.end())
            return failure->second;
        if (!fits(offset, kGetFlashDataBlockSize))
            return 2;
        std::copy_n(flash.begin() + offset, block.size(), block.begin());
        return 0;
    }
    ResultCode writeEepromBlock(std::int32_t offset,
                                std::span<const std::uint8_t, kEepromBlockSize> block) override {
        if (!offers(Operation::WriteEeprom))
            return kProgrammerNotFound;
        call("eeprom-write " + std::to_string(offset));
        eepromWrites.push_back({offset, {block.begin(), block.end()}});
        if (const ResultCode code = chipFailure("eeprom-write"); code != 0)
            return code;
        if (!fitsEeprom(offset))
            return 2;
        std::copy(block.begin(), block.end(), eeprom.begin() + offset);
        return 0;
    }
    ResultCode readEepromBlock(std::int32_t offset,
                               std::span<std::uint8_t, kEepromBlockSize> block) override {
        if (!offers(Operation::ReadEeprom))
            return kProgrammerNotFound;
        call("eeprom-read " + std::to_string(offset));
        if (const ResultCode code = chipFailure("eeprom-read"); code != 0)
            return code;
        if (!fitsEeprom(offset))
            return 2;
        std::copy_n(eeprom.begin() + offset, block.size(), block.begin());
        return 0;
    }
    ResultCode readOptionBytes(std::span<std::uint8_t, kOptionByteCount> bytes) override {
        if (!offers(Operation::ReadOptionBytes))
            return kProgrammerNotFound;
        call("options-read");
        if (const ResultCode code = chipFailure("options-read"); code != 0)
            return code;
        std::copy(optionBytes.begin(), optionBytes.end(), bytes.begin());
        return 0;
    }
    ResultCode writeOptionByte(std::int32_t index, std::uint8_t value) override {
        if (!offers(Operation::WriteOptionByte))
            return kProgrammerNotFound;
        call("option-write " + std::to_string(index) + " " + std::to_string(value));
        if (const ResultCode code = chipFailure("option-write"); code != 0)
            return code;
        if (index == 0) {
            optionBytes[0] = value;
        } else if (index > 0 && index < kOptionByteCount && index % 2 == 1) {
            optionBytes[static_cast<std::size_t>(index)] = value;
            optionBytes[static_cast<std::size_t>(index) + 1] = static_cast<std::uint8_t>(~value);
        } else {
            return 2;
        }
        return 0;
    }
    ResultCode removeReadoutProtection() override {
        if (!offers(Operation::RemoveProtection))
            return kProgrammerNotFound;
        call("unlock");
        if (const ResultCode code = chipFailure("unlock"); code != 0)
            return code;
        if (optionBytes[0] == 0xAA) {
            flash.fill(0x00);
            eeprom.fill(0x00);
            optionBytes[0] = 0x00;
        }
        return 0;
    }
    bool needsBlockPauses() override {
        if (!offers(Operation::BlockPauses))
            return true;
        call("pauses");
        return pauses;
    }
    std::string errorText(ResultCode code) override {
        call("text " + std::to_string(code));
        std::string text = errorTextFor;
        if (const auto at = text.find("%d"); at != std::string::npos)
            text.replace(at, 2, std::to_string(code));
        return text;
    }
    std::string report(const std::string& topic, ResultCode& code) override {
        call("report " + topic);
        const auto found = reports.find(topic);
        code = found == reports.end() ? 2 : 0;
        return found == reports.end() ? std::string() : found->second;
    }
    void close() override {
        if (!open_)
            return;
        open_ = false;
        calls.push_back("close");
        ++closes;
    }

private:
    static std::array<std::uint8_t, kFlashSize> erased() {
        std::array<std::uint8_t, kFlashSize> bytes;
        bytes.fill(0xFF);
        return bytes;
    }
    static bool fits(std::int32_t offset, std::int32_t size) {
        return offset >= 0 && offset % size == 0 && offset <= kFlashSize - size;
    }
    static bool fitsEeprom(std::int32_t offset) {
        return offset >= 0 && offset % kEepromBlockSize == 0 &&
               offset <= kEepromMaxSize - kEepromBlockSize;
    }
    ResultCode chipFailure(const std::string& name) {
        const int use = chipCalls_[name]++;
        const auto failure = chipFailures_.find(name);
        return failure != chipFailures_.end() && use >= failure->second.first
                   ? failure->second.second
                   : 0;
    }
    void call(std::string name) {
        calls.push_back(std::move(name));
        if (stopAtCall && sessionCalls_++ == stopCall) {
            open_ = false; // the programmer is gone: nothing to close
            throw *stopAtCall;
        }
    }

    bool open_ = false;
    int sessionCalls_ = 0;
    int sessionWrites_ = 0;
    int sessionReads_ = 0;
    std::map<int, ResultCode> writeFailures_;
    std::map<int, ResultCode> readFailures_;
    std::map<std::string, std::pair<int, ResultCode>> chipFailures_;
    std::map<std::string, int> chipCalls_;
    std::optional<OptionRefusal> refusal_;
};

// A factory for a host, handing out the one fake the test looks at.
inline ProgrammerFactory factoryOf(std::shared_ptr<FakeProgrammer> fake) {
    struct Handle final : Programmer {
        std::shared_ptr<FakeProgrammer> fake;
        bool open(const SessionOptions& o) override { return fake->open(o); }
        std::string openFailure() const override { return fake->openFailure(); }
        std::optional<OptionRefusal> refusedOption() const override {
            return fake->refusedOption();
        }
        bool offers(Operation op) const override { return fake->offers(op); }
        ResultCode writeBlock(std::int32_t offset,
                              std::span<const std::uint8_t, kSetFlashDataBlockSize> b) override {
            return fake->writeBlock(offset, b);
        }
        ResultCode readBlock(std::int32_t offset,
                             std::span<std::uint8_t, kGetFlashDataBlockSize> b) override {
            return fake->readBlock(offset, b);
        }
        ResultCode writeEepromBlock(std::int32_t offset,
                                    std::span<const std::uint8_t, kEepromBlockSize> b) override {
            return fake->writeEepromBlock(offset, b);
        }
        ResultCode readEepromBlock(std::int32_t offset,
                                   std::span<std::uint8_t, kEepromBlockSize> b) override {
            return fake->readEepromBlock(offset, b);
        }
        ResultCode readOptionBytes(std::span<std::uint8_t, kOptionByteCount> b) override {
            return fake->readOptionBytes(b);
        }
        ResultCode writeOptionByte(std::int32_t index, std::uint8_t value) override {
            return fake->writeOptionByte(index, value);
        }
        ResultCode removeReadoutProtection() override { return fake->removeReadoutProtection(); }
        bool needsBlockPauses() override { return fake->needsBlockPauses(); }
        std::string errorText(ResultCode code) override { return fake->errorText(code); }
        std::string report(const std::string& topic, ResultCode& code) override {
            return fake->report(topic, code);
        }
        void close() override { fake->close(); }
    };
    return [fake] {
        auto handle = std::make_unique<Handle>();
        handle->fake = fake;
        return handle;
    };
}

} // namespace kw::test
