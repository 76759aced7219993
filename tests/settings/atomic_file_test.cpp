#include "settings/AtomicFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "image/TempDir.h"
#include "support/ReturnsInTime.h"

namespace {

namespace fs = std::filesystem;
using kw::replaceFileAtomically;

std::string contentOf(const fs::path& file) {
    const auto read = kw::readRegularFile(file, 1 << 20);
    EXPECT_EQ(read.status, kw::FileContent::Status::Read) << file;
    return read.bytes;
}

std::size_t entryCount(const fs::path& dir) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir))
        ++count;
    return count;
}

// The shape of the target decides: a FIFO (directly or through a link) is refused without
// being opened, and a link to a missing file creates the linked file.
TEST(AtomicFileTest, ReplacesOnlyRegularFilesAndFollowsLinks) {
    const kw::test::TempDir dir;
    const fs::path fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("fifo", dir.path() / "to-fifo");
    for (const char* name : {"fifo", "to-fifo"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(kw::test::returnsTrueWithin(
            10, [&] { return !replaceFileAtomically(dir.path() / name, "x"); }));
        EXPECT_EQ(kw::readRegularFile(dir.path() / name, 10).status,
                  kw::FileContent::Status::NotRegular);
    }
    EXPECT_TRUE(fs::is_fifo(fifo));

    fs::create_directory(dir.path() / "real");
    fs::create_symlink("real/state.bin", dir.path() / "dangling");
    fs::create_symlink("dangling", dir.path() / "chain");
    const std::string bytes("\0\xFF\n\r\0", 5);
    ASSERT_TRUE(replaceFileAtomically(dir.path() / "chain", bytes));
    EXPECT_TRUE(fs::is_symlink(dir.path() / "chain"));
    EXPECT_EQ(contentOf(dir.path() / "real" / "state.bin"), bytes);
    EXPECT_EQ(entryCount(dir.path()), 5u);
    EXPECT_EQ(entryCount(dir.path() / "real"), 1u);
}

// Writers in several threads never share a temporary file: every reader sees one whole
// version, and nothing is left beside the file.
TEST(AtomicFileTest, ConcurrentWritersEachReplaceTheWholeFile) {
    const kw::test::TempDir dir;
    const fs::path file = dir.path() / "store.bin";
    std::atomic<int> failures{0};
    constexpr int kWriters = 4;
    std::vector<std::thread> writers;
    writers.reserve(kWriters);
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            const std::string content(10000, static_cast<char>('a' + w));
            for (int i = 0; i < 50; ++i)
                if (!replaceFileAtomically(file, content))
                    ++failures;
        });
    }
    for (auto& writer : writers)
        writer.join();
    EXPECT_EQ(failures, 0);
    const std::string last = contentOf(file);
    ASSERT_EQ(last.size(), 10000u);
    EXPECT_EQ(std::set<char>(last.begin(), last.end()).size(), 1u);
    EXPECT_EQ(entryCount(dir.path()), 1u);
}

TEST(AtomicFileTest, KeepsTheOwnerOfTheFileItReplaces) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user";
    const kw::test::TempDir dir;
    const fs::path file = dir.path() / "owned";
    ASSERT_TRUE(replaceFileAtomically(file, "old"));
    ASSERT_EQ(::chown(file.c_str(), 4321, 4321), 0);
    ASSERT_EQ(::chmod(file.c_str(), 02640), 0); // set-group-ID survives the change of owner
    ASSERT_TRUE(replaceFileAtomically(file, "new"));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 4321u);
    EXPECT_EQ(info.st_gid, 4321u);
    EXPECT_EQ(info.st_mode & 07777, 02640u);
    EXPECT_EQ(contentOf(file), "new");
}

// Run as root in a shared folder, a link that another user planted at the output name is
// refused, and what it names stays as it was.
TEST(AtomicFileTest, RefusesALinkOfAnotherUserInAStickyFolder) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give a link to another user";
    const kw::test::TempDir dir;
    const fs::path shared = dir.path() / "shared";
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const fs::path secret = dir.path() / "secret";
    ASSERT_TRUE(replaceFileAtomically(secret, "root only"));
    fs::create_symlink(secret, shared / "out.hex");
    ASSERT_EQ(::lchown((shared / "out.hex").c_str(), 4321, 4321), 0);

    kw::ReplaceOptions options;
    options.followLinks = false;
    EXPECT_EQ(kw::replaceFile(shared / "out.hex", "flash", options).status,
              kw::ReplaceOutcome::Status::ForeignLink);
    EXPECT_EQ(kw::checkReplaceable(shared / "out.hex", options).status,
              kw::ReplaceOutcome::Status::ForeignLink);
    EXPECT_EQ(contentOf(secret), "root only");
    EXPECT_TRUE(fs::is_symlink(shared / "out.hex"));
    EXPECT_EQ(entryCount(shared), 1u);

    // The caller's own link there is replaced itself, never followed.
    ASSERT_EQ(::lchown((shared / "out.hex").c_str(), 0, 0), 0);
    EXPECT_TRUE(kw::replaceFile(shared / "out.hex", "flash", options).replaced());
    EXPECT_FALSE(fs::is_symlink(shared / "out.hex"));
    EXPECT_EQ(contentOf(shared / "out.hex"), "flash");
    EXPECT_EQ(contentOf(secret), "root only");
}

} // namespace
