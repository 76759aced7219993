// Runs with the recording test library's folder on LD_LIBRARY_PATH, so that the bare
// library name resolves through the system search.

#include <gtest/gtest.h>

#include "programmer/ProgrammerLibrary.h"
#include "programmer/TestLibraries.h"

namespace kw {
namespace {

TEST(SystemLibrarySearchTest, FallsBackToTheSystemSearchWhenNothingIsBesideTheExecutable) {
    for (const auto& dir : {testlib::emptyDir(), std::filesystem::path{}}) {
        SCOPED_TRACE(dir.string());
        testlib::RecordingSession session;
        {
            SystemLibraryLoader loader(dir);
            auto library = loader.load();
            ASSERT_TRUE(library) << loader.lastError();
            EXPECT_NE(library->lookup("SetFlashData"), nullptr);
        }
        EXPECT_EQ(session.log().loads, 1);
        EXPECT_EQ(session.log().unloads, 1);
    }
}

TEST(SystemLibrarySearchTest, TheLibraryBesideTheExecutableWins) {
    SystemLibraryLoader loader(testlib::noSetDir());
    auto library = loader.load();
    ASSERT_TRUE(library) << loader.lastError();
    EXPECT_EQ(library->lookup("SetFlashData"), nullptr);
    EXPECT_NE(library->lookup("GetFlashData"), nullptr);
}

TEST(SystemLibrarySearchTest, ABrokenLibraryBesideTheExecutableIsNotReplacedByAnother) {
    SystemLibraryLoader loader(testlib::brokenDir());
    EXPECT_FALSE(loader.load());
}

} // namespace
} // namespace kw
