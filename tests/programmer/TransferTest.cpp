#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "RecordingHost.h"
#include "programmer/Pause.h"
#include "programmer/Transfer.h"
#include "support/FakeProgrammer.h"

namespace kw {
namespace {

using test::FakeProgrammer;
using test::RecordingHost;

std::unique_ptr<ImageBuffer> distinctImage(std::int64_t length) {
    auto image = std::make_unique<ImageBuffer>(length);
    for (std::int64_t p = 0; p < length; ++p)
        image->write(p, static_cast<std::uint8_t>(p * 13 + p / 256));
    return image;
}

std::vector<std::uint8_t> slice(const ImageBuffer& image, std::int64_t offset, std::size_t n) {
    std::vector<std::uint8_t> out(n);
    image.copyOut(offset, out, 0xFF);
    return out;
}

class TransferTest : public ::testing::Test {
protected:
    FakeProgrammer fake;
    RecordingHost host;

    TransferOutcome download(const ImageBuffer* image) {
        return runDownload(
                   fake, [image] { return image; }, host)
            .outcome;
    }
};

TEST_F(TransferTest, DownloadSendsEveryBlockInOrderWithPausesAndProgress) {
    const auto image = distinctImage(8192);
    ASSERT_EQ(download(image.get()), TransferOutcome::Completed);

    EXPECT_EQ(fake.opens, 1);
    EXPECT_EQ(fake.closes, 1);
    ASSERT_EQ(fake.writes.size(), 64u);
    for (int i = 0; i < 64; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(fake.writes[i].offset, i * 128);
        EXPECT_EQ(fake.writes[i].data, slice(*image, std::int64_t{i} * 128, 128));
    }
    EXPECT_EQ(fake.calls.front(), "open");
    EXPECT_EQ(fake.calls.back(), "close");

    std::vector<std::string> expected{"started", "max:63"};
    for (int i = 0; i < 64; ++i) {
        expected.push_back(i % 8 == 0 ? "pause:30" : "pause:5");
        expected.push_back("done:" + std::to_string(i));
        expected.push_back("events");
    }
    expected.push_back("finished");
    expected.push_back("ending");
    EXPECT_EQ(host.events, expected);
}

TEST_F(TransferTest, DownloadTakesNegativeResultsAsSuccess) {
    for (int i = 0; i < 64; ++i)
        fake.failWrite(i, -1);
    const auto image = distinctImage(8192);
    EXPECT_EQ(download(image.get()), TransferOutcome::Completed);
    EXPECT_EQ(fake.writes.size(), 64u);
}

TEST_F(TransferTest, DownloadStopsAtTheFirstFailedBlockWithTheLibrarysText) {
    const auto image = distinctImage(8192);
    fake.errorTextFor = "code %d";
    for (const auto& [block, code] : {std::pair{0, 1}, {63, 7}, {10, 2}, {5, 1000000}}) {
        SCOPED_TRACE("block " + std::to_string(block) + " code " + std::to_string(code));
        fake = FakeProgrammer();
        fake.errorTextFor = "code %d";
        fake.failWrite(block, code);
        host.events.clear();

        const auto result = runDownload(
            fake, [&] { return image.get(); }, host);
        EXPECT_EQ(result.outcome, TransferOutcome::BlockFailed);
        EXPECT_EQ(result.failure.block, block);
        EXPECT_EQ(result.failure.code, code);
        EXPECT_EQ(result.failure.libraryText, "code " + std::to_string(code));

        EXPECT_EQ(fake.writes.size(), static_cast<std::size_t>(block + 1));
        // The text is asked while the session is open, and the session then ends.
        const std::vector<std::string> tail{"write " + std::to_string(block * 128),
                                            "text " + std::to_string(code), "close"};
        EXPECT_TRUE(std::equal(tail.rbegin(), tail.rend(), fake.calls.rbegin()));
        const std::string failed = "failed:" + std::to_string(block) + ":" + std::to_string(code) +
                                   ":code " + std::to_string(code);
        EXPECT_EQ(host.events.back(), "ending");
        EXPECT_EQ(host.events[host.events.size() - 2], failed);
        EXPECT_TRUE(host.only("finished").empty());
        // The bar stays at the last block that went through.
        const auto done = host.only("done:");
        EXPECT_EQ(done.size(), static_cast<std::size_t>(block));
    }
}

TEST_F(TransferTest, DownloadPadsBytesPastAShortOrMissingImageWithErasedValue) {
    const auto shortImage = distinctImage(4096);
    for (const ImageBuffer* image : {static_cast<const ImageBuffer*>(shortImage.get()),
                                     static_cast<const ImageBuffer*>(nullptr)}) {
        SCOPED_TRACE(image ? "4096-byte image" : "no image");
        fake.writes.clear();
        EXPECT_EQ(download(image), TransferOutcome::Completed);
        ASSERT_EQ(fake.writes.size(), 64u);
        for (int i = 0; i < 64; ++i) {
            const std::vector<std::uint8_t> expected =
                image && i < 32 ? slice(*image, std::int64_t{i} * 128, 128)
                                : std::vector<std::uint8_t>(128, 0xFF);
            EXPECT_EQ(fake.writes[i].data, expected) << "block " << i;
        }
    }
}

TEST_F(TransferTest, DownloadSendsEachBlockAsTheImageIsWhenItGoes) {
    ImageField flash = distinctImage(8192);
    const auto original = distinctImage(8192);
    host.onProcessEvents = [&flash](int block) {
        if (block == 9) { // an edit between blocks, ahead of and behind the transfer
            flash->write(5 * 128, 0xAA);
            flash->write(20 * 128 + 3, 0xAA);
        }
        if (block == 30) { // the image replaced wholesale
            flash = std::make_unique<ImageBuffer>(8192);
            flash->erase(8192);
            flash->write(40 * 128, 0x55);
        }
    };
    ASSERT_EQ(runDownload(
                  fake, [&flash] { return flash.get(); }, host)
                  .outcome,
              TransferOutcome::Completed);

    ASSERT_EQ(fake.writes.size(), 64u);
    EXPECT_EQ(fake.writes[5].data, slice(*original, 5 * 128, 128));
    EXPECT_EQ(fake.writes[20].data[3], 0xAA);
    EXPECT_EQ(fake.writes[30].data, slice(*original, 30 * 128, 128));
    EXPECT_EQ(fake.writes[31].data, std::vector<std::uint8_t>(128, 0xFF));
    EXPECT_EQ(fake.writes[40].data[0], 0x55);
}

TEST_F(TransferTest, ReadBackBuildsTheImageFromTheReplies) {
    fake.readPattern();
    const auto result = runReadBack(fake, host);
    ASSERT_EQ(result.outcome, TransferOutcome::Completed);
    ASSERT_TRUE(result.image);
    ASSERT_EQ(result.image->size(), 8192u);
    for (std::int64_t p = 0; p < 8192; ++p)
        ASSERT_EQ(result.image->read(p), testlib::patternByte(p)) << "position " << p;

    EXPECT_EQ(fake.closes, 1);
    ASSERT_EQ(fake.reads.size(), 256u);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(fake.reads[i], i * 32);

    std::vector<std::string> expected{"started", "max:255"};
    for (int i = 0; i < 256; ++i) {
        expected.push_back("done:" + std::to_string(i));
        expected.push_back("events");
    }
    expected.push_back("finished");
    expected.push_back("ending");
    EXPECT_EQ(host.events, expected);
}

TEST_F(TransferTest, ReadBackFailureReturnsNoImage) {
    // Any code but 0 fails a read-back, negative ones included.
    for (const auto& [block, code] : {std::pair{0, 1}, {100, 5}, {255, -1}, {3, -2147483647 - 1}}) {
        SCOPED_TRACE("block " + std::to_string(block) + " code " + std::to_string(code));
        fake = FakeProgrammer();
        fake.failRead(block, code);
        host.events.clear();

        const auto result = runReadBack(fake, host);
        EXPECT_EQ(result.outcome, TransferOutcome::BlockFailed);
        EXPECT_FALSE(result.image);
        EXPECT_EQ(fake.reads.size(), static_cast<std::size_t>(block + 1));
        EXPECT_EQ(fake.closes, 1);
        EXPECT_EQ(host.only("failed:"), std::vector<std::string>{"failed:" + std::to_string(block) +
                                                                 ":" + std::to_string(code) + ":"});
    }
}

TEST_F(TransferTest, WithoutALibraryOrItsExportNothingIsSent) {
    const auto image = distinctImage(8192);
    fake.libraryPresent = false;
    fake.loadFailure = "/x/TOLVANEX.dll: broken";
    auto result = runDownload(
        fake, [&] { return image.get(); }, host);
    EXPECT_EQ(result.outcome, TransferOutcome::LibraryMissing);
    EXPECT_EQ(result.failure.loaderReason, "/x/TOLVANEX.dll: broken");
    EXPECT_EQ(host.events, std::vector<std::string>{"missing:/x/TOLVANEX.dll: broken"});
    host.events.clear();
    EXPECT_EQ(runReadBack(fake, host).outcome, TransferOutcome::LibraryMissing);
    EXPECT_EQ(host.events, std::vector<std::string>{"missing:/x/TOLVANEX.dll: broken"});

    fake.libraryPresent = true;
    fake.missing = {Operation::WriteBlock, Operation::ReadBlock};
    host.events.clear();
    EXPECT_EQ(download(image.get()), TransferOutcome::ExportMissing);
    EXPECT_EQ(host.events, (std::vector<std::string>{"started", "export:SetFlashData", "ending"}));
    host.events.clear();
    const auto readBack = runReadBack(fake, host);
    EXPECT_EQ(readBack.outcome, TransferOutcome::ExportMissing);
    EXPECT_FALSE(readBack.image);
    EXPECT_EQ(host.events, (std::vector<std::string>{"started", "export:GetFlashData", "ending"}));
    EXPECT_TRUE(fake.writes.empty());
    EXPECT_TRUE(fake.reads.empty());
    EXPECT_EQ(fake.closes, 2);
}

TEST_F(TransferTest, TheSessionGetsTheOptionsAndARefusalEndsItBeforeAnyBlock) {
    const auto image = distinctImage(8192);
    fake.knownOptions = {"swim"};
    const SessionOptions options{{{"swim", "low"}, {"probe", "1-1"}}};
    const auto result = runDownload(
        fake, [&] { return image.get(); }, host, options);
    EXPECT_EQ(result.outcome, TransferOutcome::OptionRefused);
    ASSERT_TRUE(result.failure.refusal);
    EXPECT_EQ(result.failure.refusal->name, "probe");
    EXPECT_EQ(result.failure.refusal->value, "1-1");
    EXPECT_EQ(fake.options, options.settings);
    EXPECT_EQ(host.events, std::vector<std::string>{"refused:probe"});
    EXPECT_TRUE(fake.writes.empty());

    fake.knownOptions = {"swim", "probe"};
    host.events.clear();
    EXPECT_EQ(runReadBack(fake, host, options).outcome, TransferOutcome::Completed);
    EXPECT_EQ(fake.reads.size(), 256u);
}

TEST_F(TransferTest, CancelStopsBeforeTheNextBlockAndCountsWhatWasSent) {
    const auto image = distinctImage(8192);
    host.cancelBefore = 10;
    const auto result = runDownload(
        fake, [&] { return image.get(); }, host);
    EXPECT_EQ(result.outcome, TransferOutcome::Cancelled);
    EXPECT_EQ(result.failure.block, 10);
    EXPECT_EQ(fake.writes.size(), 10u);
    EXPECT_EQ(fake.calls.back(), "close");

    RecordingHost readHost;
    readHost.cancelBefore = 0;
    const auto read = runReadBack(fake, readHost);
    EXPECT_EQ(read.outcome, TransferOutcome::Cancelled);
    EXPECT_FALSE(read.image);
    EXPECT_TRUE(fake.reads.empty());
}

TEST_F(TransferTest, AProgrammerThatWentAwayEndsTheTransferAsStopped) {
    const auto image = distinctImage(8192);
    fake.stopAtCall = ProgrammerStopped(StopKind::Signal, 11);
    fake.stopCall = 5; // the sixth write
    const auto result = runDownload(
        fake, [&] { return image.get(); }, host);
    EXPECT_EQ(result.outcome, TransferOutcome::Stopped);
    ASSERT_TRUE(result.failure.stop);
    EXPECT_EQ(result.failure.stop->kind(), StopKind::Signal);
    EXPECT_EQ(result.failure.stop->value(), 11);
    EXPECT_EQ(host.events.back(), "stopped:killed by signal 11");
    // Nothing more is asked of a programmer that is gone, not even the session's report.
    EXPECT_TRUE(host.only("ending").empty());
    EXPECT_EQ(fake.calls.back(), "write 640");
    EXPECT_EQ(host.only("done:").size(), 5u);

    // A read-back that got every block but lost the programmer after them hands out nothing.
    fake = FakeProgrammer();
    fake.stopAtCall = ProgrammerStopped(StopKind::Timeout, 5);
    fake.stopCall = 256; // the session's report after the last block
    RecordingHost readHost;
    readHost.onSessionEnding = [](Programmer& programmer) {
        ResultCode code = 0;
        programmer.report("session", code);
    };
    const auto read = runReadBack(fake, readHost);
    EXPECT_EQ(read.outcome, TransferOutcome::Stopped);
    EXPECT_FALSE(read.image);
    EXPECT_EQ(readHost.events.back(), "stopped:no answer within 5 s");
}

TEST_F(TransferTest, TheSessionEndsLastOnEveryWayOutAThrowingHostIncluded) {
    const auto image = distinctImage(8192);
    for (const bool download : {true, false}) {
        SCOPED_TRACE(download ? "download" : "read-back");
        fake = FakeProgrammer();
        RecordingHost throwing;
        throwing.onProcessEvents = [](int block) {
            if (block == 3)
                throw std::runtime_error("window gone");
        };
        if (download)
            EXPECT_THROW(runDownload(
                             fake, [&] { return image.get(); }, throwing),
                         std::runtime_error);
        else
            EXPECT_THROW(runReadBack(fake, throwing), std::runtime_error);
        EXPECT_EQ(fake.closes, 1);
        EXPECT_EQ(fake.calls.back(), "close");
        EXPECT_EQ(fake.writes.size() + fake.reads.size(), 4u);
    }
}

TEST(StopTest, KindAndValueSurviveACopy) {
    const ProgrammerStopped exited(StopKind::Exit, 3);
    const ProgrammerStopped copy = exited;
    EXPECT_EQ(copy.kind(), StopKind::Exit);
    EXPECT_EQ(copy.value(), 3);
    EXPECT_STREQ(copy.what(), "exited with status 3");
    EXPECT_EQ(signalName(11), "Segmentation fault");
    EXPECT_EQ(signalName(9999), "");
}

TEST(PreciseSleepTest, NeverEndsEarly) {
    for (const int ms : {0, 1, 5, 30}) {
        const auto start = std::chrono::steady_clock::now();
        preciseSleep(ms);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms));
    }
}

} // namespace
} // namespace kw
