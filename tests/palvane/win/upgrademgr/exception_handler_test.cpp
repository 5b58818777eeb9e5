// The crash-dump handler writes its dump into "logs" under the current
// directory, named after the program and the process id, closed to users,
// and keeps only the newest dumps.
#include <gtest/gtest.h>

#include <windows.h>

#include "support/fileTreeUtil.h"
#include "support/testUtil.h"
#include "utils/win/exception_handler.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

namespace {

std::string dumpName(unsigned long id) { return "logs\\test_upgrademgr-" + std::to_string(id) + ".mdmp"; }

void writeDumpOfTime(const std::string& path, ULONGLONG time) {
    ASSERT_TRUE(testutil::writeFile(path, "old"));
    UniqueHandle file(CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    const FILETIME written{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &written));
}

TEST(CrashDumpTest, FilterWritesAClosedDumpIntoTheLogsFolderAndKeepsTheNewest) {
    testutil::TempDir folder;
    testutil::CurrentDirectory inFolder(folder.path());
    const std::string expected = folder.file(dumpName(GetCurrentProcessId()));
    {
        // No "logs" folder: the handler makes it.
        exception_handler handler;
        EXPECT_TRUE(iequals(exception_handler::dumpPath(), expected)) << exception_handler::dumpPath();
    }

    // Earlier crashes, oldest first, one of them of a process with this id,
    // and files that are no dumps of this program.
    for (unsigned long id = 1; id <= exception_handler::kDumpsKept; ++id) {
        writeDumpOfTime(folder.file(dumpName(id)), 130000000000000000ULL + id * 10000000ULL);
    }
    writeDumpOfTime(expected, 140000000000000000ULL);
    ASSERT_TRUE(testutil::writeFile(folder.file("logs\\other-1.mdmp"), "old"));
    ASSERT_TRUE(testutil::writeFile(folder.file("logs\\test_upgrademgr-1.log"), "old"));
    exception_handler handler;
    EXPECT_TRUE(iequals(exception_handler::dumpPath(), expected)) << exception_handler::dumpPath();
    EXPECT_FALSE(testutil::fileExists(expected));
    EXPECT_FALSE(testutil::fileExists(folder.file(dumpName(1))));
    for (unsigned long id = 2; id <= exception_handler::kDumpsKept; ++id) {
        EXPECT_TRUE(testutil::fileExists(folder.file(dumpName(id)))) << id;
    }
    EXPECT_TRUE(testutil::fileExists(folder.file("logs\\other-1.mdmp")));
    EXPECT_TRUE(testutil::fileExists(folder.file("logs\\test_upgrademgr-1.log")));

    testutil::LogCapture log(2);
    EXPECT_EQ(exception_handler::exception_filter(nullptr), EXCEPTION_EXECUTE_HANDLER);
    std::string dump;
    ASSERT_TRUE(testutil::readFile(expected, dump));
    EXPECT_EQ(dump.substr(0, 4), "MDMP");
    EXPECT_TRUE(testutil::closedToUsers(expected));
    EXPECT_TRUE(log.contains("Caught exception in handler"));
    EXPECT_TRUE(log.contains("Write exception to ")) << log.text();
}

// A link in the folder's place would make the dump a SYSTEM write elsewhere.
TEST(CrashDumpTest, ALinkInPlaceOfTheLogsFolderGetsNoDump) {
    testutil::TempDir folder;
    testutil::TempDir elsewhere;
    testutil::CurrentDirectory inFolder(folder.path());
    ASSERT_TRUE(testutil::makeFolderLink(folder.file("logs"), elsewhere.path()));
    exception_handler handler;
    EXPECT_EQ(exception_handler::dumpPath(), "");
    exception_handler::exception_filter(nullptr);
    EXPECT_FALSE(testutil::fileExists(elsewhere.file(dumpName(GetCurrentProcessId()).substr(5))));
}

}  // namespace
