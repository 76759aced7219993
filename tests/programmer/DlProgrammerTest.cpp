// The programmer library loaded the real way, from the test libraries' folders.
#include <gtest/gtest.h>

#include <stdexcept>

#include "RecordingHost.h"
#include "programmer/DlProgrammer.h"
#include "programmer/TestLibraries.h"
#include "programmer/Transfer.h"

namespace kw {
namespace {

using test::RecordingHost;
using testlib::RecordingSession;

DlProgrammer programmerIn(const std::filesystem::path& dir) {
    return DlProgrammer(std::make_shared<SystemLibraryLoader>(dir));
}

// The lines of the test library's log that are not block calls.
std::vector<std::string> sessionLines(const RecordingSession& session) {
    std::vector<std::string> lines;
    for (const auto& line : session.log().lines)
        if (line.rfind("set", 0) != 0 && line.rfind("get", 0) != 0)
            lines.push_back(line);
    return lines;
}

TEST(DlProgrammerTest, EachTransferLoadsTheLibraryOnceAndReleasesItAfterItsLastEvent) {
    RecordingSession session;
    DlProgrammer programmer = programmerIn(testlib::recordingDir());
    const ImageBuffer image(8192);
    RecordingHost host;
    int unloadsDuringEvents = 0;
    host.onProcessEvents = [&](int) { unloadsDuringEvents += session.log().unloads; };
    host.onSessionEnding = [&](Programmer&) { unloadsDuringEvents += session.log().unloads; };
    ASSERT_EQ(runDownload(
                  programmer, [&] { return &image; }, host)
                  .outcome,
              TransferOutcome::Completed);
    EXPECT_EQ(unloadsDuringEvents, 0);
    EXPECT_EQ(session.log().unloads, 1);

    // A failed block and a host that throws release it all the same.
    session.failCall(3, 7);
    EXPECT_EQ(runReadBack(programmer, host).outcome, TransferOutcome::BlockFailed);
    RecordingHost throwing;
    throwing.onProcessEvents = [](int block) {
        if (block == 2)
            throw std::runtime_error("window gone");
    };
    EXPECT_THROW(runReadBack(programmer, throwing), std::runtime_error);
    const auto log = session.log();
    EXPECT_EQ(log.loads, 3);
    EXPECT_EQ(log.unloads, 3);
}

TEST(DlProgrammerTest, NoLibraryABrokenOneAndAMissingExportAreToldApart) {
    RecordingSession session;
    DlProgrammer nowhere = programmerIn(testlib::emptyDir());
    EXPECT_FALSE(nowhere.open({}));
    EXPECT_EQ(nowhere.openFailure(), "");
    EXPECT_FALSE(nowhere.refusedOption());
    EXPECT_FALSE(nowhere.offers(Operation::WriteBlock));

    const struct {
        std::filesystem::path dir;
        std::string reasonMentions;
    } broken[] = {{testlib::brokenDir(), ""},
                  {testlib::noDependencyDir(), "libtestlib_dependency.so"}};
    for (const auto& c : broken) {
        SCOPED_TRACE(c.dir.string());
        DlProgrammer programmer = programmerIn(c.dir);
        RecordingHost host;
        EXPECT_EQ(runReadBack(programmer, host).outcome, TransferOutcome::LibraryMissing);
        // One line that names the file and carries the loader's own reason.
        ASSERT_EQ(host.events.size(), 1u);
        const std::string& event = host.events[0];
        const std::string file = "missing:" + (c.dir / "TOLVANEX.dll").string() + ": ";
        EXPECT_EQ(event.rfind(file, 0), 0u) << event;
        EXPECT_GT(event.size(), file.size());
        EXPECT_NE(event.find(c.reasonMentions, file.size()), std::string::npos) << event;
    }

    DlProgrammer noSet = programmerIn(testlib::noSetDir());
    ASSERT_TRUE(noSet.open({}));
    EXPECT_FALSE(noSet.offers(Operation::WriteBlock));
    EXPECT_TRUE(noSet.offers(Operation::ReadBlock));
    EXPECT_FALSE(noSet.offers(Operation::ErrorText));
    noSet.close();
    const ImageBuffer image(8192);
    RecordingHost host;
    EXPECT_EQ(runDownload(
                  noSet, [&] { return &image; }, host)
                  .outcome,
              TransferOutcome::ExportMissing);
    EXPECT_TRUE(session.log().calls.empty());
    EXPECT_EQ(session.log().loads, session.log().unloads);
}

TEST(DlProgrammerTest, TheLibrarysTextIsAskedWhileLoadedAndBecomesOneLine) {
    RecordingSession session;
    DlProgrammer programmer = programmerIn(testlib::errorTextDir());
    RecordingHost host;
    session.failCall(5, 9);
    const auto result = runReadBack(programmer, host);
    EXPECT_EQ(result.failure.libraryText, "测试库错误 9: 说明");
    EXPECT_EQ(sessionLines(session), (std::vector<std::string>{"load", "text 9", "unload"}));

    session.setErrorText("first\nsecond\r\nthird");
    ASSERT_TRUE(programmer.open({}));
    EXPECT_EQ(programmer.errorText(4), "first second  third");
    programmer.close();

    // Without the export there is no text, and nothing is asked.
    DlProgrammer plain = programmerIn(testlib::recordingDir());
    ASSERT_TRUE(plain.open({}));
    EXPECT_EQ(plain.errorText(4), "");
    ResultCode code = 0;
    EXPECT_EQ(plain.report("probes", code), "");
    EXPECT_EQ(code, 2);
}

TEST(DlProgrammerTest, OptionsReachTheLibraryAndARefusalReleasesIt) {
    RecordingSession session;
    // A library that cannot be told options at all.
    DlProgrammer plain = programmerIn(testlib::recordingDir());
    EXPECT_FALSE(plain.open({{{"swim", "low"}}}));
    ASSERT_TRUE(plain.refusedOption());
    EXPECT_TRUE(plain.refusedOption()->noOptionExport);
    EXPECT_NE(plain.openFailure().find("SetProgrammerOption"), std::string::npos);
    EXPECT_EQ(session.log().unloads, 1);

    session.clearLog();
    DlProgrammer programmer = programmerIn(testlib::sessionDir());
    EXPECT_FALSE(programmer.open({{{"swim", "low"}, {"probe", "1-1"}, {"swim", "high"}}}));
    ASSERT_TRUE(programmer.refusedOption());
    EXPECT_EQ(programmer.refusedOption()->name, "probe");
    EXPECT_FALSE(programmer.refusedOption()->noOptionExport);
    // In order, stopping at the refusal; the library still ends its transfer before release.
    EXPECT_EQ(
        sessionLines(session),
        (std::vector<std::string>{"load", "option swim low", "option probe 1-1", "end", "unload"}));

    // A session it accepts ends with EndTransfer, once, however often it is closed.
    session.clearLog();
    ASSERT_TRUE(programmer.open({{{"swim", "high"}}}));
    EXPECT_FALSE(programmer.refusedOption());
    EXPECT_TRUE(programmer.offers(Operation::EndTransfer));
    programmer.close();
    programmer.close();
    EXPECT_EQ(sessionLines(session),
              (std::vector<std::string>{"load", "option swim high", "end", "unload"}));
}

// A preference is told after the settings, and neither a library that refuses it nor one
// that cannot be told options keeps the session from opening.
TEST(DlProgrammerTest, APreferenceTheLibraryRefusesStillOpens) {
    RecordingSession session;
    SessionOptions options;
    options.settings = {{"swim", "low"}};
    options.preferences = {{"language", "en"}};
    DlProgrammer programmer = programmerIn(testlib::sessionDir());
    ASSERT_TRUE(programmer.open(options));
    EXPECT_FALSE(programmer.refusedOption());
    programmer.close();
    EXPECT_EQ(sessionLines(session),
              (std::vector<std::string>{"load", "option swim low", "option language en", "end",
                                        "unload"}));

    DlProgrammer plain = programmerIn(testlib::recordingDir());
    EXPECT_TRUE(plain.open(SessionOptions{{}, {{"language", "en"}}}));
    EXPECT_FALSE(plain.refusedOption());
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
