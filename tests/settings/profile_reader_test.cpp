#include "settings/ProfileReader.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "image/TempDir.h"
#include "settings/ProfileWriter.h"

namespace {

using kw::readProfileString;

TEST(ProfileReaderTest, FindsKeysAsTheWriterPlacesThem) {
    const kw::test::TempDir dir;
    const auto ini = dir.write("TOLVANEX.INI", "\xEF\xBB\xBF[Other]\r\nSWIMSCK=7\r\n"
                                               " [ system ] \r\n"
                                               "lastopenhex=/a b.hex\r\n"
                                               "  swimsck =  1  \r\n"
                                               "SWIMSCK=0\r\n"
                                               "[System]\r\nextra=2\r\n");
    EXPECT_EQ(readProfileString(ini, "System", "SWIMSCK"), "1");
    EXPECT_EQ(readProfileString(ini, "SYSTEM", "LastOpenHex"), "/a b.hex");
    EXPECT_EQ(readProfileString(ini, "Other", "swimsck"), "7");
    // Only the first section of a name is searched, as by the writer.
    EXPECT_EQ(readProfileString(ini, "System", "extra"), std::nullopt);
    EXPECT_EQ(readProfileString(ini, "Missing", "SWIMSCK"), std::nullopt);
    EXPECT_EQ(readProfileString(dir.path() / "absent.ini", "System", "SWIMSCK"), std::nullopt);
}

TEST(ProfileReaderTest, ReadsBackEveryWrite) {
    const kw::test::TempDir dir;
    const auto ini = dir.path() / "TOLVANEX.INI";
    ASSERT_TRUE(kw::writeProfileString(ini, "System", "SWIMSCK", "0"));
    ASSERT_TRUE(kw::writeProfileString(ini, "System", "lastopenbin", "/tmp/x.bin"));
    ASSERT_TRUE(kw::writeProfileString(ini, "System", "SWIMSCK", "1"));
    EXPECT_EQ(readProfileString(ini, "System", "SWIMSCK"), "1");
    EXPECT_EQ(readProfileString(ini, "System", "lastopenbin"), "/tmp/x.bin");
}

TEST(ProfileReaderTest, SpecialFilesAreNotRead) {
    const kw::test::TempDir dir;
    const auto fifo = dir.path() / "TOLVANEX.INI";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opening a FIFO for reading would wait for a writer; the reader must return at once.
    EXPECT_EQ(readProfileString(fifo, "System", "SWIMSCK"), std::nullopt);
    EXPECT_EQ(readProfileString(dir.path(), "System", "SWIMSCK"), std::nullopt);
    EXPECT_EQ(readProfileString("/dev/zero", "System", "SWIMSCK"), std::nullopt);
}

} // namespace
