// The crash-dump handler writes its dump into "logs" under the current
// directory, named after the program and the process id, readable by SYSTEM
// and Administrators only, and keeps the newest few dumps.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include "support/testUtil.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/exception_handler.h"
#include "utils/win/stringconv.h"

namespace {

class CrashDumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        GetCurrentDirectoryA(MAX_PATH, saved_);
        ASSERT_TRUE(SetCurrentDirectoryA(folder_.path().c_str()));
    }
    void TearDown() override { SetCurrentDirectoryA(saved_); }

    std::string dumpName(unsigned long id) const { return "test_upgrademgr-" + std::to_string(id) + ".mdmp"; }

    testutil::TempDir folder_;
    char saved_[MAX_PATH] = {};
};

// True when the file's DACL lets none of the groups every user belongs to
// open it. (Wine keeps no DACL: it reads one back from the file's mode.)
bool closedToUsers(const std::string& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    UniqueLocalMemory owner(descriptor);
    if (dacl == nullptr) return false;  // a null DACL grants everyone everything
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        for (WELL_KNOWN_SID_TYPE everyone :
             {WinBuiltinUsersSid, WinWorldSid, WinAuthenticatedUserSid, WinInteractiveSid}) {
            if (IsWellKnownSid(sid, everyone)) return false;
        }
    }
    return true;
}

TEST_F(CrashDumpTest, FilterWritesAProtectedDumpIntoTheLogsFolderOrNothingWithoutIt) {
    exception_handler handler;
    const std::string expected = folder_.file("logs\\" + dumpName(GetCurrentProcessId()));
    EXPECT_TRUE(iequals(exception_handler::dumpPath(), expected)) << exception_handler::dumpPath();
    wchar_t dbgHelp[MAX_PATH];
    wchar_t system[MAX_PATH];
    GetModuleFileNameW(GetModuleHandleW(L"dbghelp.dll"), dbgHelp, MAX_PATH);
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(_wcsnicmp(dbgHelp, system, wcslen(system)), 0) << "DbgHelp not from System32";

    // No "logs" folder: nothing can be written, the process would just end.
    EXPECT_EQ(exception_handler::exception_filter(nullptr), EXCEPTION_EXECUTE_HANDLER);
    EXPECT_FALSE(testutil::fileExists(expected));

    ASSERT_TRUE(CreateDirectoryA(folder_.file("logs").c_str(), nullptr));
    // A dump left by an earlier process with this id is replaced, security included.
    ASSERT_TRUE(testutil::writeFile(expected, "old"));
    testutil::LogCapture log(2);
    EXPECT_EQ(exception_handler::exception_filter(nullptr), EXCEPTION_EXECUTE_HANDLER);
    std::string dump;
    ASSERT_TRUE(testutil::readFile(expected, dump));
    EXPECT_EQ(dump.substr(0, 4), "MDMP");
    EXPECT_TRUE(closedToUsers(expected));
    EXPECT_TRUE(log.contains("Caught exception in handler"));
    EXPECT_TRUE(log.contains("Write exception to ")) << log.text();
}

TEST_F(CrashDumpTest, OnlyTheNewestDumpsRemainAfterACrash) {
    ASSERT_TRUE(CreateDirectoryA(folder_.file("logs").c_str(), nullptr));
    // Dumps of earlier crashes, oldest first, and files that are not this program's dumps.
    const size_t earlier = exception_handler::kDumpsKept;
    for (unsigned long id = 1; id <= earlier; ++id) {
        const std::string path = folder_.file("logs\\" + dumpName(id));
        ASSERT_TRUE(testutil::writeFile(path, "MDMP"));
        UniqueHandle file(CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        const ULONGLONG written = 130000000000000000ULL + id * 10000000ULL;
        FILETIME time{static_cast<DWORD>(written), static_cast<DWORD>(written >> 32)};
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &time));
    }
    ASSERT_TRUE(testutil::writeFile(folder_.file("logs\\other-1.mdmp"), "MDMP"));
    ASSERT_TRUE(testutil::writeFile(folder_.file("logs\\test_upgrademgr-1.log"), "log"));

    exception_handler handler;
    exception_handler::exception_filter(nullptr);

    EXPECT_FALSE(testutil::fileExists(folder_.file("logs\\" + dumpName(1))));
    for (unsigned long id = 2; id <= earlier; ++id) {
        EXPECT_TRUE(testutil::fileExists(folder_.file("logs\\" + dumpName(id)))) << id;
    }
    EXPECT_TRUE(testutil::fileExists(exception_handler::dumpPath()));
    EXPECT_TRUE(testutil::fileExists(folder_.file("logs\\other-1.mdmp")));
    EXPECT_TRUE(testutil::fileExists(folder_.file("logs\\test_upgrademgr-1.log")));
}

}  // namespace
