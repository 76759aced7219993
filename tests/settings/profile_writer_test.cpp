#include "settings/ProfileWriter.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>

#include "settings/ProfileSyntax.h"
#include "support/ReturnsInTime.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const std::string kNewFileBreak = "\r\n";
#else
const std::string kNewFileBreak = "\n";
#endif

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class ProfileWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::path(::testing::TempDir()) / "profile-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        ini_ = dir_ / "TOLVANEX.INI";
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }

    fs::path dir_;
    fs::path ini_;
};

struct EditCase {
    const char* name;
    std::optional<std::string> before; // nullopt: no file yet
    const char* key;
    const char* value;
    std::string after;
};

// Keeps test listings readable: the case is named by its name, not its bytes.
void PrintTo(const EditCase& c, std::ostream* os) {
    *os << c.name;
}

class ProfileEditTest : public ProfileWriterTest, public ::testing::WithParamInterface<EditCase> {};

TEST_P(ProfileEditTest, WritesKeyAndKeepsEverythingElse) {
    const EditCase& c = GetParam();
    if (c.before) {
        writeFile(ini_, *c.before);
    }
    ASSERT_TRUE(kw::writeProfileString(ini_, "System", c.key, c.value));
    EXPECT_EQ(readFile(ini_), c.after);
    EXPECT_EQ(entries(dir_), std::set<std::string>{"TOLVANEX.INI"});
}

const EditCase kEditCases[] = {
    {"AbsentFileIsCreated", std::nullopt, "lastopenhex", "/home/u/fw.hex",
     "[System]" + kNewFileBreak + "lastopenhex=/home/u/fw.hex" + kNewFileBreak},
    {"EmptyFileTakesPlatformBreak", "", "SWIMSCK", "1",
     "[System]" + kNewFileBreak + "SWIMSCK=1" + kNewFileBreak},
    {"ExistingKeyInOtherCaseTakesCallersSpelling", "[system]\nLASTOPENHEX=/old.hex\nSWIMSCK=0\n",
     "lastopenhex", "/new.hex", "[system]\nlastopenhex=/new.hex\nSWIMSCK=0\n"},
    {"BlanksAroundNamesTolerated", "  [ System ]  \n  LastOpenHex = /old.hex  \n", "lastopenhex",
     "/new.hex", "  [ System ]  \nlastopenhex=/new.hex\n"},
    {"KeyWithSameStartIsAnotherKey", "[System]\nlastopenhexfile=a\nx=lastopenhex\n", "lastopenhex",
     "b", "[System]\nlastopenhexfile=a\nx=lastopenhex\nlastopenhex=b\n"},
    {"NewKeyBeforeBlankLinesAndNextSection", "[System]\nSWIMSCK=1\n\n\n[Other]\nk=v\n",
     "lastopenbin", "/a.bin", "[System]\nSWIMSCK=1\nlastopenbin=/a.bin\n\n\n[Other]\nk=v\n"},
    {"NewKeyInEmptySectionAtEnd", "[System]\n", "SWIMSCK", "0", "[System]\nSWIMSCK=0\n"},
    {"NewSectionAppended", "; settings\n[Other]\nlastopenhex=keep\n", "lastopenhex", "/n.hex",
     "; settings\n[Other]\nlastopenhex=keep\n[System]\nlastopenhex=/n.hex\n"},
    {"CommentsAndOtherSectionsKeptByteForByte",
     "; top comment\n[Tools]\n A = b \t\n\n[System]\n; the last hex\nlastopenhex=/old.hex ; x\n"
     "# hash\n\n[Tail]\nlastopenhex=other\n",
     "lastopenhex", "/new.hex",
     "; top comment\n[Tools]\n A = b \t\n\n[System]\n; the last hex\nlastopenhex=/new.hex\n"
     "# hash\n\n[Tail]\nlastopenhex=other\n"},
    {"FirstOfDuplicateKeysReplaced", "[System]\nk=1\nK=2\n", "k", "3", "[System]\nk=3\nK=2\n"},
    {"FirstOfDuplicateSectionsUsed", "[System]\na=1\n[Other]\n[SYSTEM]\nk=2\n", "k", "3",
     "[System]\na=1\nk=3\n[Other]\n[SYSTEM]\nk=2\n"},
    {"CrLfReplaced", "[System]\r\nSWIMSCK=0\r\n", "SWIMSCK", "1", "[System]\r\nSWIMSCK=1\r\n"},
    {"CrLfNewKey", "[System]\r\nSWIMSCK=0\r\n[B]\r\n", "lastopenhex", "/h",
     "[System]\r\nSWIMSCK=0\r\nlastopenhex=/h\r\n[B]\r\n"},
    {"CrLfNewSection", "[Other]\r\nx=1\r\n", "SWIMSCK", "1",
     "[Other]\r\nx=1\r\n[System]\r\nSWIMSCK=1\r\n"},
    {"NoFinalBreakUntouched", "[System]\nk=1\n[Other]\nx=1", "k", "2",
     "[System]\nk=2\n[Other]\nx=1"},
    {"NoFinalBreakReplacedLastLine", "[System]\nk=1", "k", "2", "[System]\nk=2"},
    {"NoFinalBreakNewKey", "[System]\nSWIMSCK=0", "k", "v", "[System]\nSWIMSCK=0\nk=v"},
    {"NoFinalBreakNewSection", "[Other]\r\nx=1", "k", "v", "[Other]\r\nx=1\r\n[System]\r\nk=v"},
    {"ValueWrittenAsGiven", "[System]\nk=old\n", "k", " /home/u/固件 v1;=#.hex ",
     "[System]\nk= /home/u/固件 v1;=#.hex \n"},
    {"EmptyValue", "[System]\nk=old\n", "k", "", "[System]\nk=\n"},
    {"Utf8BomKept", "\xEF\xBB\xBF[System]\nk=1\n", "k", "2", "\xEF\xBB\xBF[System]\nk=2\n"},
    {"KeysBeforeAnySectionIgnored", "k=top\n", "k", "v", "k=top\n[System]\nk=v\n"},
};

INSTANTIATE_TEST_SUITE_P(Cases, ProfileEditTest, ::testing::ValuesIn(kEditCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProfileWriterTest, SuccessiveWritesKeepEachOther) {
    ASSERT_TRUE(kw::writeProfileString(ini_, "System", "lastopenhex", "/a.hex"));
    ASSERT_TRUE(kw::writeProfileString(ini_, "System", "lastopenbin", "/b.bin"));
    ASSERT_TRUE(kw::writeProfileString(ini_, "System", "SWIMSCK", "0"));
    ASSERT_TRUE(kw::writeProfileString(ini_, "System", "SWIMSCK", "1"));
    const std::string& n = kNewFileBreak;
    EXPECT_EQ(readFile(ini_), "[System]" + n + "lastopenhex=/a.hex" + n + "lastopenbin=/b.bin" + n +
                                  "SWIMSCK=1" + n);
}

// Text that would add lines or change how the line reads back is refused, not written.
TEST_F(ProfileWriterTest, RefusesNamesAndValuesThatBreakTheFormat) {
    const std::string before = "[System]\nk=1\n";
    writeFile(ini_, before);
    struct Bad {
        std::string_view section, key, value;
    };
    const Bad bad[] = {
        {"System", "k", "a\n[Other]\nx=y"},
        {"System", "k", "a\rb"},
        {"System", "k\nj", "v"},
        {"System", "k=j", "v"},
        {"System", "", "v"},
        {"System", " k", "v"},
        {"System", "[k]", "v"},
        {"", "k", "v"},
        {"Sys]tem", "k", "v"},
        {"System\n", "k", "v"},
    };
    for (const Bad& b : bad) {
        EXPECT_FALSE(kw::writeProfileString(ini_, b.section, b.key, b.value))
            << b.section << " / " << b.key << " / " << b.value;
    }
    EXPECT_EQ(readFile(ini_), before);
    EXPECT_EQ(entries(dir_), std::set<std::string>{"TOLVANEX.INI"});
}

TEST_F(ProfileWriterTest, ParentIsARegularFile) {
    writeFile(dir_ / "notadir", "x");
    EXPECT_FALSE(kw::writeProfileString(dir_ / "notadir" / "TOLVANEX.INI", "System", "k", "v"));
    EXPECT_EQ(readFile(dir_ / "notadir"), "x");
    EXPECT_EQ(entries(dir_), std::set<std::string>{"notadir"});
}

TEST_F(ProfileWriterTest, MissingParentFolder) {
    EXPECT_FALSE(kw::writeProfileString(dir_ / "absent" / "TOLVANEX.INI", "System", "k", "v"));
    EXPECT_TRUE(entries(dir_).empty());
}

TEST_F(ProfileWriterTest, TargetIsAFolder) {
    fs::create_directory(ini_);
    EXPECT_FALSE(kw::writeProfileString(ini_, "System", "k", "v"));
    EXPECT_TRUE(fs::is_directory(ini_));
    EXPECT_EQ(entries(dir_), std::set<std::string>{"TOLVANEX.INI"});
}

TEST_F(ProfileWriterTest, ReadOnlyFolder) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "folder permissions do not stop root";
    }
    const std::string before = "[System]\nk=1\n";
    fs::create_directory(dir_ / "empty");
    writeFile(ini_, before);
    fs::permissions(dir_ / "empty", fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);

    EXPECT_FALSE(kw::writeProfileString(dir_ / "empty" / "TOLVANEX.INI", "System", "k", "v"));
    EXPECT_FALSE(kw::writeProfileString(ini_, "System", "k", "2"));

    fs::permissions(dir_, fs::perms::owner_all);
    fs::permissions(dir_ / "empty", fs::perms::owner_all);
    EXPECT_TRUE(entries(dir_ / "empty").empty());
    EXPECT_EQ(readFile(ini_), before);
    EXPECT_EQ(entries(dir_), (std::set<std::string>{"TOLVANEX.INI", "empty"}));
}

// A write that fails half way (here: the file size limit, which binds root as well) leaves the
// old file as it was and no temporary file behind.
TEST_F(ProfileWriterTest, FailedWriteLeavesFileUnchanged) {
    const std::string before = "[System]\nlastopenhex=" + std::string(300, 'a') + "\n";
    writeFile(ini_, before);

    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written =
        kw::writeProfileString(ini_, "System", "lastopenhex", std::string(300, 'b'));
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(readFile(ini_), before);
    EXPECT_EQ(entries(dir_), std::set<std::string>{"TOLVANEX.INI"});
}

TEST_F(ProfileWriterTest, KeepsPermissionsOfExistingFile) {
    writeFile(ini_, "[System]\nk=1\n");
    fs::permissions(ini_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(kw::writeProfileString(ini_, "System", "k", "2"));
    EXPECT_EQ(fs::status(ini_).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(ProfileWriterTest, NewFileFollowsUmask) {
    const mode_t old = ::umask(027);
    const bool written = kw::writeProfileString(ini_, "System", "k", "v");
    ::umask(old);
    ASSERT_TRUE(written);
    EXPECT_EQ(fs::status(ini_).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(ProfileWriterTest, WritesThroughSymbolicLink) {
    fs::create_directory(dir_ / "real");
    writeFile(dir_ / "real" / "TOLVANEX.INI", "[System]\nk=1\n");
    fs::create_symlink(fs::path("real") / "TOLVANEX.INI", ini_);
    ASSERT_TRUE(kw::writeProfileString(ini_, "System", "k", "2"));
    EXPECT_TRUE(fs::is_symlink(ini_));
    EXPECT_EQ(readFile(dir_ / "real" / "TOLVANEX.INI"), "[System]\nk=2\n");
    EXPECT_EQ(entries(dir_ / "real"), std::set<std::string>{"TOLVANEX.INI"});
}

// A FIFO in place of the settings file, or a link to one, would stall the window if it were
// opened for reading; the write is skipped at once and the FIFO and the link stay as they are.
TEST_F(ProfileWriterTest, SkipsAFifoOrALinkToOneWithoutWaiting) {
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("fifo", ini_);
    for (const fs::path& file : {fifo, ini_}) {
        SCOPED_TRACE(file);
        EXPECT_TRUE(kw::test::returnsTrueWithin(
            10, [&] { return !kw::writeProfileString(file, "System", "SWIMSCK", "1"); }));
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(fs::is_symlink(ini_));
    EXPECT_EQ(entries(dir_), (std::set<std::string>{"TOLVANEX.INI", "fifo"}));
}

// Rewriting only part of a huge file would cut it; it is left alone instead.
TEST_F(ProfileWriterTest, LeavesAFileTooLargeForSettingsAlone) {
    const std::string before = "[System]\nk=1\n" + std::string(kw::profile::kLargestFile, ';');
    writeFile(ini_, before);
    EXPECT_FALSE(kw::writeProfileString(ini_, "System", "k", "2"));
    EXPECT_EQ(readFile(ini_), before);
}

} // namespace
