// The crash-dump handler writes its dump into "logs" under the current
// directory, named after the program and the process id.
#include <gtest/gtest.h>

#include <windows.h>

#include "support/testUtil.h"
#include "utils/win/exception_handler.h"
#include "utils/win/stringconv.h"

namespace {

TEST(CrashDumpTest, FilterWritesTheDumpIntoTheLogsFolderOrNothingWithoutIt) {
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    testutil::TempDir folder;
    ASSERT_TRUE(SetCurrentDirectoryA(folder.path().c_str()));
    exception_handler handler;
    const std::string expected =
        folder.path() + "logs\\test_upgrademgr-" + std::to_string(GetCurrentProcessId()) + ".mdmp";
    EXPECT_TRUE(iequals(exception_handler::dumpPath(), expected)) << exception_handler::dumpPath();

    // No "logs" folder: nothing can be written, the process would just end.
    EXPECT_EQ(exception_handler::exception_filter(nullptr), EXCEPTION_EXECUTE_HANDLER);
    EXPECT_FALSE(testutil::fileExists(expected));

    ASSERT_TRUE(CreateDirectoryA((folder.path() + "logs").c_str(), nullptr));
    testutil::LogCapture log(2);
    EXPECT_EQ(exception_handler::exception_filter(nullptr), EXCEPTION_EXECUTE_HANDLER);
    std::string dump;
    ASSERT_TRUE(testutil::readFile(expected, dump));
    EXPECT_EQ(dump.substr(0, 4), "MDMP");
    EXPECT_TRUE(log.contains("Caught exception in handler"));
    EXPECT_TRUE(log.contains("Write exception to ")) << log.text();

    SetCurrentDirectoryA(saved);
}

}  // namespace
