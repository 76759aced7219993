#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <unistd.h>

#include "RecordingHost.h"
#include "programmer/Pause.h"
#include "programmer/ProgrammerLibrary.h"
#include "programmer/TestLibraries.h"
#include "programmer/Transfer.h"

namespace kw {
namespace {

using test::RecordingHost;
using testlib::RecordingSession;

const std::string kStartLine = "stamped:正在下载芯片数据......";
const std::string kEndLine = "stamped:下载芯片数据完成。";

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
    RecordingSession session;
    RecordingHost host;
    SystemLibraryLoader loader{testlib::recordingDir()};

    TransferOutcome download(const ImageBuffer* image) {
        return runDownload(
                   loader, [image] { return image; }, host)
            .outcome;
    }
};

TEST_F(TransferTest, DownloadSendsEveryBlockInOrderWithPausesAndProgress) {
    const auto image = distinctImage(8192);
    ASSERT_EQ(download(image.get()), TransferOutcome::Completed);

    const auto log = session.log();
    EXPECT_EQ(log.loads, 1);
    EXPECT_EQ(log.unloads, 1);
    ASSERT_EQ(log.calls.size(), 64u);
    for (int i = 0; i < 64; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log.calls[i].exportName, "SetFlashData");
        EXPECT_EQ(log.calls[i].offset, i * 128);
        EXPECT_EQ(log.calls[i].data, slice(*image, std::int64_t{i} * 128, 128));
    }

    std::vector<std::string> expected{kStartLine, "max:63"};
    for (int i = 0; i < 64; ++i) {
        expected.push_back(i % 8 == 0 ? "pause:30" : "pause:5");
        expected.push_back("progress:" + std::to_string(i));
        expected.push_back("events");
    }
    expected.push_back(kEndLine);
    EXPECT_EQ(host.events, expected);
}

TEST_F(TransferTest, DownloadTakesNegativeResultsAsSuccess) {
    session.setResult(-1);
    const auto image = distinctImage(8192);
    EXPECT_EQ(download(image.get()), TransferOutcome::Completed);
    EXPECT_EQ(session.log().calls.size(), 64u);
    EXPECT_EQ(host.events.back(), kEndLine);
}

TEST_F(TransferTest, DownloadStopsAtTheFirstFailedBlock) {
    struct Case {
        int block;
        std::int32_t code;
        bool message;
    };
    const auto image = distinctImage(8192);
    for (const Case c :
         {Case{0, 1, true}, Case{63, 7, false}, Case{10, 2, false}, Case{5, 1000000, false}}) {
        SCOPED_TRACE("block " + std::to_string(c.block) + " code " + std::to_string(c.code));
        session.clearLog();
        session.failCall(c.block, c.code);
        host.events.clear();

        EXPECT_EQ(download(image.get()), TransferOutcome::BlockFailed);

        const auto log = session.log();
        EXPECT_EQ(log.calls.size(), static_cast<std::size_t>(c.block + 1));
        EXPECT_EQ(log.unloads, 1);

        std::vector<std::string> tail;
        if (c.message)
            tail.push_back("message:未发现KALIWIRE设备!");
        tail.push_back("line:出错代码:" + std::to_string(c.code));
        tail.push_back("line:出错进度:" + std::to_string(c.block));
        ASSERT_GE(host.events.size(), tail.size());
        EXPECT_TRUE(std::equal(tail.rbegin(), tail.rend(), host.events.rbegin()));
        EXPECT_EQ(host.only("stamped:"), std::vector<std::string>{kStartLine});
        EXPECT_EQ(host.only("message:").size(), c.message ? 1u : 0u);
        // The bar stays at the last block that went through.
        const auto progress = host.only("progress:");
        EXPECT_EQ(progress.size(), static_cast<std::size_t>(c.block));
        if (c.block > 0) {
            EXPECT_EQ(progress.back(), "progress:" + std::to_string(c.block - 1));
        }
    }
}

TEST_F(TransferTest, DownloadPadsBytesPastAShortOrMissingImageWithErasedValue) {
    const auto shortImage = distinctImage(4096);
    for (const ImageBuffer* image : {static_cast<const ImageBuffer*>(shortImage.get()),
                                     static_cast<const ImageBuffer*>(nullptr)}) {
        SCOPED_TRACE(image ? "4096-byte image" : "no image");
        session.clearLog();
        EXPECT_EQ(download(image), TransferOutcome::Completed);
        const auto log = session.log();
        ASSERT_EQ(log.calls.size(), 64u);
        for (int i = 0; i < 64; ++i) {
            const std::vector<std::uint8_t> expected =
                image && i < 32 ? slice(*image, std::int64_t{i} * 128, 128)
                                : std::vector<std::uint8_t>(128, 0xFF);
            EXPECT_EQ(log.calls[i].data, expected) << "block " << i;
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
                  loader, [&flash] { return flash.get(); }, host)
                  .outcome,
              TransferOutcome::Completed);

    const auto log = session.log();
    ASSERT_EQ(log.calls.size(), 64u);
    EXPECT_EQ(log.calls[5].data, slice(*original, 5 * 128, 128));
    EXPECT_EQ(log.calls[20].data[3], 0xAA);
    EXPECT_EQ(log.calls[30].data, slice(*original, 30 * 128, 128));
    EXPECT_EQ(log.calls[31].data, std::vector<std::uint8_t>(128, 0xFF));
    EXPECT_EQ(log.calls[40].data[0], 0x55);
}

TEST_F(TransferTest, TransfersWithoutTheLibraryOrItsExportOnlyTellTheUser) {
    const auto image = distinctImage(8192);
    SystemLibraryLoader missing(testlib::emptyDir());
    EXPECT_EQ(runDownload(
                  missing, [&] { return image.get(); }, host)
                  .outcome,
              TransferOutcome::LibraryMissing);
    EXPECT_EQ(host.events, std::vector<std::string>{"message:TOLVANEX.dll没有找到"});

    host.events.clear();
    const auto readBack = runReadBack(missing, host);
    EXPECT_EQ(readBack.outcome, TransferOutcome::LibraryMissing);
    EXPECT_FALSE(readBack.image);
    EXPECT_EQ(host.events, std::vector<std::string>{"message:TOLVANEX.dll没有找到"});

    host.events.clear();
    SystemLibraryLoader noSet(testlib::noSetDir());
    EXPECT_EQ(runDownload(
                  noSet, [&] { return image.get(); }, host)
                  .outcome,
              TransferOutcome::ExportMissing);
    EXPECT_EQ(host.events,
              (std::vector<std::string>{kStartLine, "message:SetFlashData函数没有找到"}));

    host.events.clear();
    SystemLibraryLoader noGet(testlib::noGetDir());
    const auto noExport = runReadBack(noGet, host);
    EXPECT_EQ(noExport.outcome, TransferOutcome::ExportMissing);
    EXPECT_FALSE(noExport.image);
    EXPECT_EQ(host.events, std::vector<std::string>{"message:GetFlashData函数没有找到"});

    const auto log = session.log();
    EXPECT_TRUE(log.calls.empty());
    EXPECT_EQ(log.loads, 2);
    EXPECT_EQ(log.unloads, 2);
}

TEST_F(TransferTest, ALibraryThatIsThereButDoesNotLoadIsLoggedWithTheReason) {
    const auto image = distinctImage(8192);
    const struct {
        std::filesystem::path dir;
        std::string reasonMentions;
    } cases[] = {{testlib::brokenDir(), ""},
                 {testlib::noDependencyDir(), "libtestlib_dependency.so"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir.string());
        SystemLibraryLoader broken(c.dir);
        for (const bool download : {true, false}) {
            host.events.clear();
            if (download)
                EXPECT_EQ(runDownload(
                              broken, [&] { return image.get(); }, host)
                              .outcome,
                          TransferOutcome::LibraryMissing);
            else
                EXPECT_EQ(runReadBack(broken, host).outcome, TransferOutcome::LibraryMissing);
            ASSERT_EQ(host.events.size(), 2u);
            EXPECT_EQ(host.events[0], "message:TOLVANEX.dll没有找到");
            // One line that names the file and carries the loader's own reason.
            const std::string& line = host.events[1];
            const std::string file = "line:" + (c.dir / "TOLVANEX.dll").string() + ": ";
            EXPECT_EQ(line.rfind(file, 0), 0u) << line;
            EXPECT_GT(line.size(), file.size());
            EXPECT_NE(line.find(c.reasonMentions, file.size()), std::string::npos) << line;
        }
    }
}

TEST_F(TransferTest, FailedBlockEndsWithTheLibrarysOwnTextWhileItIsLoaded) {
    SystemLibraryLoader withText(testlib::errorTextDir());
    const auto image = distinctImage(8192);
    session.failCall(5, 9);
    EXPECT_EQ(runDownload(
                  withText, [&] { return image.get(); }, host)
                  .outcome,
              TransferOutcome::BlockFailed);
    EXPECT_EQ(host.only("line:"), (std::vector<std::string>{"line:出错代码:9", "line:出错进度:5",
                                                            "line:测试库错误 9: 说明"}));

    host.events.clear();
    session.failCall(0, 1);
    EXPECT_EQ(runReadBack(withText, host).outcome, TransferOutcome::BlockFailed);
    EXPECT_EQ(host.events,
              (std::vector<std::string>{"max:255", "message:未发现KALIWIRE设备!", "line:出错代码:1",
                                        "line:出错位置:0", "line:测试库错误 1: 说明"}));

    // Asked once per failure, before the library was released.
    const auto lines = session.log().lines;
    std::vector<std::string> tail;
    for (const auto& line : lines)
        if (line.rfind("set", 0) != 0 && line.rfind("get", 0) != 0)
            tail.push_back(line);
    EXPECT_EQ(tail,
              (std::vector<std::string>{"load", "text 9", "unload", "load", "text 1", "unload"}));

    // A library without the export logs the two lines only.
    host.events.clear();
    session.failCall(0, 9);
    EXPECT_EQ(runReadBack(loader, host).outcome, TransferOutcome::BlockFailed);
    EXPECT_EQ(host.only("line:"), (std::vector<std::string>{"line:出错代码:9", "line:出错位置:0"}));
}

TEST_F(TransferTest, ReadBackBuildsTheImageFromTheReplies) {
    const auto result = runReadBack(loader, host);
    ASSERT_EQ(result.outcome, TransferOutcome::Completed);
    ASSERT_TRUE(result.image);
    ASSERT_EQ(result.image->size(), 8192u);
    for (std::int64_t p = 0; p < 8192; ++p)
        ASSERT_EQ(result.image->read(p), testlib::patternByte(p)) << "position " << p;

    const auto log = session.log();
    EXPECT_EQ(log.unloads, 1);
    ASSERT_EQ(log.calls.size(), 256u);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(log.calls[i].exportName, "GetFlashData");
        EXPECT_EQ(log.calls[i].offset, i * 32);
    }

    std::vector<std::string> expected{"max:255"};
    for (int i = 0; i < 256; ++i) {
        expected.push_back("progress:" + std::to_string(i));
        expected.push_back("events");
    }
    EXPECT_EQ(host.events, expected);
}

TEST_F(TransferTest, ReadBackFailureReturnsNoImage) {
    struct Case {
        int block;
        std::int32_t code;
        bool message;
    };
    for (const Case c : {Case{0, 1, true}, Case{100, 5, false}, Case{255, -1, false},
                         Case{3, -2147483647 - 1, false}}) {
        SCOPED_TRACE("block " + std::to_string(c.block) + " code " + std::to_string(c.code));
        session.clearLog();
        session.failCall(c.block, c.code);
        host.events.clear();

        const auto result = runReadBack(loader, host);
        EXPECT_EQ(result.outcome, TransferOutcome::BlockFailed);
        EXPECT_FALSE(result.image);

        const auto log = session.log();
        EXPECT_EQ(log.calls.size(), static_cast<std::size_t>(c.block + 1));
        EXPECT_EQ(log.unloads, 1);
        std::vector<std::string> expected{"line:出错代码:" + std::to_string(c.code),
                                          "line:出错位置:" + std::to_string(c.block)};
        if (c.message)
            expected.insert(expected.begin(), "message:未发现KALIWIRE设备!");
        EXPECT_EQ(host.only("line:"),
                  (std::vector<std::string>{expected.end() - 2, expected.end()}));
        EXPECT_EQ(host.only("message:").size(), c.message ? 1u : 0u);
        EXPECT_TRUE(std::equal(expected.rbegin(), expected.rend(), host.events.rbegin()));
    }
}

TEST_F(TransferTest, LibraryIsReleasedWhenTheHostThrowsInsideTheLoop) {
    const auto throwAtBlock3 = [](int block) {
        if (block == 3)
            throw std::runtime_error("window gone");
    };
    host.onProcessEvents = throwAtBlock3;
    const auto image = distinctImage(8192);
    EXPECT_THROW(download(image.get()), std::runtime_error);
    RecordingHost readBackHost;
    readBackHost.onProcessEvents = throwAtBlock3;
    EXPECT_THROW(runReadBack(loader, readBackHost), std::runtime_error);

    const auto log = session.log();
    EXPECT_EQ(log.loads, 2);
    EXPECT_EQ(log.unloads, 2);
    EXPECT_EQ(log.calls.size(), 8u);
}

// --- The order of release against what the user sees, with in-process doubles ---------

std::vector<std::string>* g_events = nullptr;
ResultCode g_result = 0;

ResultCode KW_STDCALL fakeBlock(std::int32_t, std::uint8_t*) {
    return g_result;
}

class FakeLibrary : public ProgrammerLibrary {
public:
    explicit FakeLibrary(bool hasExport) : hasExport_(hasExport) {}
    ~FakeLibrary() override { g_events->push_back("release"); }

protected:
    AnyFunction exportAddress(const char* name) override {
        g_events->push_back(std::string("lookup:") + name);
        const bool blockExport = std::string(name) != kGetErrorTextName;
        return hasExport_ && blockExport ? reinterpret_cast<AnyFunction>(&fakeBlock) : nullptr;
    }

private:
    bool hasExport_;
};

class FakeLoader : public LibraryLoader {
public:
    bool hasExport = true;
    std::unique_ptr<ProgrammerLibrary> load() override {
        g_events->push_back("load");
        return std::make_unique<FakeLibrary>(hasExport);
    }
};

TEST(TransferReleaseTest, ReleaseComesLastOnEveryWayOut) {
    struct Case {
        const char* name;
        bool hasExport;
        ResultCode result;
        bool hostThrows;
        const char* lastBeforeRelease;
    };
    const Case cases[] = {
        {"completed", true, 0, false, nullptr},
        {"programmer not found", true, 1, false, nullptr},
        {"export missing", false, 0, false, nullptr},
        {"host throws", true, 0, true, "throw"},
    };
    const ImageBuffer image(8192);
    for (const Case& c : cases) {
        for (const bool download : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (download ? " download" : " read-back"));
            RecordingHost host;
            g_events = &host.events;
            g_result = c.result;
            FakeLoader loader;
            loader.hasExport = c.hasExport;
            if (c.hostThrows)
                host.onProcessEvents = [&host](int) {
                    host.events.push_back("throw");
                    throw std::runtime_error("thrown by the window");
                };

            try {
                if (download)
                    runDownload(
                        loader, [&] { return &image; }, host)
                        .outcome;
                else
                    runReadBack(loader, host);
                EXPECT_FALSE(c.hostThrows);
            } catch (const std::runtime_error&) {
                EXPECT_TRUE(c.hostThrows);
            }

            const auto& events = host.events;
            EXPECT_EQ(std::count(events.begin(), events.end(), "release"), 1);
            EXPECT_EQ(std::count(events.begin(), events.end(), "load"), 1);
            ASSERT_GE(events.size(), 2u);
            EXPECT_EQ(events.back(), "release");
            if (c.lastBeforeRelease) {
                EXPECT_EQ(events[events.size() - 2], c.lastBeforeRelease);
            }
            // Only the block export this transfer needs is looked up, and the error text
            // only after a failed block.
            std::vector<std::string> lookups{download ? "lookup:SetFlashData"
                                                      : "lookup:GetFlashData"};
            if (c.hasExport && c.result > 0)
                lookups.emplace_back("lookup:GetErrorText");
            EXPECT_EQ(host.only("lookup:"), lookups);
            g_events = nullptr;
        }
    }
}

TEST(PreciseSleepTest, NeverEndsEarly) {
    for (const int ms : {0, 1, 5, 30}) {
        const auto start = std::chrono::steady_clock::now();
        preciseSleep(ms);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms));
    }
}

// --- Loading ------------------------------------------------------------------------------

TEST(SystemLibraryLoaderTest, LoadsTheLibraryBesideTheExecutableAndUnloadsItOnce) {
    RecordingSession session;
    {
        SystemLibraryLoader loader(testlib::recordingDir());
        auto library = loader.load();
        ASSERT_TRUE(library) << loader.lastError();
        EXPECT_NE(library->lookup("SetFlashData"), nullptr);
        EXPECT_NE(library->lookup("GetFlashData"), nullptr);
        EXPECT_EQ(library->lookup("setflashdata"), nullptr);
        EXPECT_EQ(library->lookup("TestLib_NoSuchExport"), nullptr);
        EXPECT_EQ(session.log().unloads, 0);
    }
    const auto log = session.log();
    EXPECT_EQ(log.loads, 1);
    EXPECT_EQ(log.unloads, 1);
}

TEST(SystemLibraryLoaderTest, SaysWhyOnlyWhenALibraryFileWasThere) {
    SystemLibraryLoader nowhere(testlib::emptyDir());
    EXPECT_FALSE(nowhere.load());
    EXPECT_EQ(nowhere.lastError(), "");

    SystemLibraryLoader broken(testlib::brokenDir());
    EXPECT_FALSE(broken.load());
    EXPECT_EQ(broken.lastError().rfind((testlib::brokenDir() / "TOLVANEX.dll").string() + ": ", 0),
              0u)
        << broken.lastError();

    // A successful load forgets the earlier failure.
    RecordingSession session;
    SystemLibraryLoader recording(testlib::recordingDir());
    EXPECT_TRUE(recording.load());
    EXPECT_EQ(recording.lastError(), "");
}

TEST(SystemLibraryLoaderTest, ForFileLoadsThatFileAndNoOther) {
    RecordingSession session;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(testlib::recordingDir());
    // Relative to the folder current when the loader is made, not when it loads.
    auto relative = SystemLibraryLoader::forFile("TOLVANEX.dll");
    std::filesystem::current_path(previous);
    auto library = relative.load();
    ASSERT_TRUE(library) << relative.lastError();
    EXPECT_NE(library->lookup("GetFlashData"), nullptr);

    // A missing file is not looked for elsewhere, and says so.
    const auto absent = testlib::emptyDir() / "TOLVANEX.dll";
    auto missing = SystemLibraryLoader::forFile(absent);
    EXPECT_FALSE(missing.load());
    EXPECT_EQ(missing.lastError().rfind(absent.string() + ": ", 0), 0u) << missing.lastError();
}

TEST(SystemLibraryLoaderTest, NeverLoadsFromTheCurrentDirectory) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(testlib::recordingDir());
    SystemLibraryLoader beside(testlib::emptyDir());
    SystemLibraryLoader noDir{std::filesystem::path{}};
    const bool besideLoaded = beside.load() != nullptr;
    const bool bareLoaded = noDir.load() != nullptr;
    std::filesystem::current_path(previous);
    EXPECT_FALSE(besideLoaded);
    EXPECT_FALSE(bareLoaded);
    EXPECT_EQ(noDir.lastError(), ""); // the search found no file: nothing to explain
}

} // namespace
} // namespace kw
