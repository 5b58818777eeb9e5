#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/fakeSessions.h"
#include "support/testUtil.h"
#include "utils/win/RunProcess.h"
#include "utils/win/scopedHandle.h"

using namespace std::chrono_literals;

namespace {

std::wstring childCommand(const std::wstring& arguments) {
    return L"\"" + testutil::exeDirectory() + L"exitwith.exe\" " + arguments;
}

// Ends a child that the test left running on purpose.
void endChild(DWORD processId) {
    UniqueHandle child(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!child) return;
    TerminateProcess(child.get(), 1);
    WaitForSingleObject(child.get(), 5000);
}

// A wait that ended early reports the child as still active and leaves it
// running; the child is ended afterwards.
void expectLeftRunningThenEnd(const RunProcess& process) {
    EXPECT_EQ(process.getExitCode(), static_cast<DWORD>(STILL_ACTIVE));
    UniqueHandle child(OpenProcess(SYNCHRONIZE, FALSE, process.getProcessId()));
    ASSERT_TRUE(child);
    EXPECT_EQ(WaitForSingleObject(child.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the child was ended";
    child.reset();
    endChild(process.getProcessId());
}

}  // namespace

TEST(RunProcess, ExitCodeZeroIsSuccessAndOtherCodesAreNot) {
    RunProcess good(childCommand(L"0"), 15000);
    EXPECT_TRUE(good.run());
    EXPECT_EQ(good.getExitCode(), 0u);
    EXPECT_NE(good.getProcessId(), 0u);

    RunProcess bad(childCommand(L"3"), 15000);
    EXPECT_FALSE(bad.run());
    EXPECT_EQ(bad.getExitCode(), 3u);
}

TEST(RunProcess, TimeOutLeavesTheChildRunning) {
    RunProcess slow(childCommand(L"0 20000"), 300);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(slow.run());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    expectLeftRunningThenEnd(slow);
}

TEST(RunProcess, StartsAProgramFromANonAsciiPath) {
    testutil::TempDir temp;
    const std::wstring folder = temp.wpath() + L"Pr\u00fcfung \u00e9t\u00e9 \u8a66\u9a13";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring program = folder + L"\\exitwith.exe";
    ASSERT_TRUE(CopyFileW((testutil::exeDirectory() + L"exitwith.exe").c_str(), program.c_str(), TRUE));

    RunProcess child(L"\"" + program + L"\" 5", 15000);
    EXPECT_FALSE(child.run());
    EXPECT_EQ(child.getExitCode(), 5u) << "the program was not started";
}

TEST(RunProcess, MissingProgramIsLogged) {
    testutil::LogCapture log;
    RunProcess missing(L"no-such-program-here.exe", 1000);
    EXPECT_FALSE(missing.run());
    EXPECT_TRUE(log.contains("Failed to run no-such-program-here.exe error: 2"));
}

TEST(RunProcess, AsLoggedInUserIsTrueWhenStartedWhateverTheExitCode) {
    testutil::SessionSeams seams;
    seams.sessions.logOnCurrentUser();
    RunProcess child(childCommand(L"4"), 15000);
    EXPECT_TRUE(child.runAsLoggedInUser());
    EXPECT_EQ(child.getExitCode(), 4u);
    HANDLE threadToken = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &threadToken))
        << "the thread still impersonates";
    if (threadToken != nullptr) CloseHandle(threadToken);
}

TEST(RunProcess, AsLoggedInUserWithoutAUserFails) {
    testutil::LogCapture log;
    testutil::SessionSeams seams;
    RunProcess child(childCommand(L"0"), 15000);
    EXPECT_FALSE(child.runAsLoggedInUser());
    EXPECT_TRUE(log.contains("Failed to get active session ID."));
    EXPECT_TRUE(log.contains("Failed to get user token."));
    EXPECT_EQ(seams.waits().size(), 40u);
}

TEST(RunProcess, CancelEventEndsTheWaitButNotTheChild) {
    UniqueHandle cancel(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(cancel);
    RunProcess slow(childCommand(L"0 20000"), 15000);
    slow.setCancelEvent(cancel.get());
    SetEvent(cancel.get());
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(slow.run());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    expectLeftRunningThenEnd(slow);

    RunProcess quick(childCommand(L"0"), 15000);
    ResetEvent(cancel.get());
    quick.setCancelEvent(cancel.get());
    EXPECT_TRUE(quick.run()) << "an unsignalled event must not cut the wait";
}
