#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <chrono>
#include <future>
#include <string>

#include "support/fakeSessions.h"
#include "support/testUtil.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"
#include "utils/win/userInfo.h"

using namespace std::chrono_literals;

namespace {

std::string ownSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    UniqueHandle owner(token);
    BYTE buffer[256];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) return "";
    wchar_t* text = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
    std::string result;
    toUtf8(text, result);
    LocalFree(text);
    return result;
}

size_t countOf(const std::vector<unsigned long>& waits, unsigned long value) {
    size_t count = 0;
    for (unsigned long wait : waits) count += wait == value ? 1 : 0;
    return count;
}

}  // namespace

TEST(UserInfo, FindsTheActiveSessionAndItsUser) {
    testutil::SessionSeams seams;
    seams.sessions.logOnCurrentUser();
    unsigned sessionId = 99;
    EXPECT_TRUE(getActiveSessionId(sessionId));
    EXPECT_EQ(sessionId, 1u);
    EXPECT_EQ(getSessionUser(), testutil::currentAccountName());

    seams.sessions.domain.clear();
    EXPECT_EQ(getSessionUser(), seams.sessions.user) << "an empty domain gives the user name alone";
    EXPECT_TRUE(seams.waits().empty());
}

TEST(UserInfo, MissingUserNameGivesNoUserRatherThanTheDomainAlone) {
    testutil::LogCapture log;
    testutil::SessionSeams seams;
    seams.sessions.logOnCurrentUser();
    seams.sessions.userNameFails = true;
    EXPECT_EQ(getSessionUser(), L"");
    seams.sessions.userNameFails = false;
    seams.sessions.user.clear();
    EXPECT_EQ(getSessionUser(), L"");
    EXPECT_TRUE(log.contains("User name is empty, session id=1"));
    EXPECT_TRUE(log.contains("Login user name is empty, session id=1"));
}

TEST(UserInfo, NoActiveSessionRetriesFortyTimesTwoSecondsApart) {
    testutil::LogCapture log;
    testutil::SessionSeams seams;
    seams.sessions.sessions = {{0, WTSDisconnected}, {2, WTSConnected}};
    unsigned sessionId = 7;
    EXPECT_FALSE(getActiveSessionId(sessionId));
    EXPECT_EQ(seams.sessions.enumerations, 40);
    EXPECT_EQ(seams.waits(), std::vector<unsigned long>(40, 2000));

    EXPECT_EQ(getUserToken(), nullptr);
    EXPECT_TRUE(log.contains("Failed to get active session ID."));
}

TEST(UserInfo, FailedEnumerationGivesUpAtOnce) {
    testutil::LogCapture log;
    testutil::SessionSeams seams;
    seams.sessions.enumerateFails = true;
    unsigned sessionId = 0;
    EXPECT_FALSE(getActiveSessionId(sessionId));
    EXPECT_EQ(seams.sessions.enumerations, 1);
    EXPECT_TRUE(seams.waits().empty());
    EXPECT_TRUE(log.contains("WTSEnumerateSessions() failed.:"));
}

TEST(UserInfo, UserTokenIsAPrimaryTokenOwnedByTheCaller) {
    testutil::SessionSeams seams;
    seams.sessions.logOnCurrentUser();
    UniqueHandle token(getUserToken());
    ASSERT_TRUE(token);
    TOKEN_TYPE type{};
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenType, &type, sizeof(type), &size));
    EXPECT_EQ(type, TokenPrimary);
}

TEST(UserInfo, LoggedInUserSidIsTheAccountsSid) {
    testutil::SessionSeams seams;
    seams.sessions.logOnCurrentUser();
    const std::string sid = getLoggedInUserSid();
    EXPECT_EQ(sid.rfind("S-1-5-", 0), 0u) << sid;
    EXPECT_EQ(sid, ownSid());
}

TEST(UserInfo, NoUserWaitsItsWholeBudgetThenGivesAnEmptySid) {
    testutil::LogCapture log;
    testutil::SessionSeams seams;
    EXPECT_EQ(getLoggedInUserSid(), "");
    const auto waits = seams.waits();
    EXPECT_EQ(countOf(waits, 2000), 40u * 40u);
    EXPECT_EQ(countOf(waits, 2500), 40u);
    EXPECT_TRUE(log.contains("Failed to read login user's name."));
}

TEST(UserInfo, UnknownAccountGivesAnEmptySid) {
    testutil::SessionSeams seams;
    seams.sessions.logOnCurrentUser();
    seams.sessions.user = L"nobody-by-this-name-here";
    EXPECT_EQ(getLoggedInUserSid(), "");
}

TEST(UserInfo, CancelReleasesAWaitingSidLookupWithinOneSecond) {
    testutil::SessionSeams seams;
    seams.useRealWait();
    auto lookup = std::async(std::launch::async, [] { return getLoggedInUserSid(); });
    ASSERT_EQ(lookup.wait_for(300ms), std::future_status::timeout) << "the lookup did not wait";
    const auto cancelledAt = std::chrono::steady_clock::now();
    cancelUserWaits();
    ASSERT_EQ(lookup.wait_for(1s), std::future_status::ready) << "the lookup ignored the cancel";
    EXPECT_EQ(lookup.get(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, 1s);

    // While cancelled, lookups make one attempt and do not wait.
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(getLoggedInUserSid(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    seams.sessions.logOnCurrentUser();
    EXPECT_EQ(getLoggedInUserSid(), ownSid()) << "a logged-on user is still found while cancelled";

    resumeUserWaits();
    EXPECT_FALSE(userWaitsCancelled());
}

// Another module of the process (the runtime library's own copy of the
// utilities) takes the program's state through the program's export.
// A library with its own copy of these utilities, as the runtime library is,
// sees the program's cancel.
TEST(UserInfo, CancelStateIsHandedOutByTheProgram) {
    testutil::SessionSeams seams;
    UniqueModule library(LoadLibraryA((testutil::exeDirectoryA() + "unloadlibrary.dll").c_str()));
    const auto cancelledThere = reinterpret_cast<bool (*)()>(GetProcAddress(library.get(), "libraryUserWaitsCancelled"));
    ASSERT_NE(cancelledThere, nullptr);
    cancelUserWaits();
    EXPECT_TRUE(cancelledThere());
    unsigned sessionId = 0;
    EXPECT_FALSE(getActiveSessionId(sessionId));
    EXPECT_EQ(seams.sessions.enumerations, 1);
    resumeUserWaits();
    EXPECT_FALSE(cancelledThere());
}

// A stop cancels the waits of a start it runs alongside, whose resume may come
// after the cancel.
TEST(UserInfo, AHeldCancelOutlastsResumesAndEndsAsAPlainCancel) {
    testutil::SessionSeams seams;
    holdUserWaitsCancelled();
    resumeUserWaits();
    EXPECT_TRUE(userWaitsCancelled());
    unsigned sessionId = 0;
    EXPECT_FALSE(getActiveSessionId(sessionId));
    EXPECT_TRUE(seams.waits().empty());
    releaseUserWaitsHold();
    EXPECT_TRUE(userWaitsCancelled());
    resumeUserWaits();
    EXPECT_FALSE(userWaitsCancelled());
}

// Another account could set or reset an event it made first under the name.
TEST(UserInfo, ANameTakenByAnotherAccountIsNotUsed) {
    const std::wstring name = L"Local\\TarnwellUserWaitCancel." + std::to_wstring(GetCurrentProcessId());
    PSECURITY_DESCRIPTOR foreign = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:LSD:(A;;GA;;;WD)", SDDL_REVISION_1, &foreign,
                                                                     nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), foreign, FALSE};
    UniqueHandle squatter(CreateEventW(&attributes, TRUE, FALSE, name.c_str()));
    const DWORD error = GetLastError();
    LocalFree(foreign);
    // Naming another owner takes the restore privilege on Windows.
    if (!squatter && error == ERROR_INVALID_OWNER) GTEST_SKIP() << "no right to name another owner";
    ASSERT_TRUE(squatter) << error;

    testutil::SessionSeams seams;
    cancelUserWaits();
    EXPECT_TRUE(userWaitsCancelled());
    EXPECT_EQ(WaitForSingleObject(squatter.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    resumeUserWaits();
    SetEvent(squatter.get());
    EXPECT_FALSE(userWaitsCancelled());
}

TEST(UserInfo, LookingForASessionNowNeverWaits) {
    testutil::SessionSeams seams;
    unsigned session = 99;
    EXPECT_FALSE(findActiveSessionNow(session));
    EXPECT_TRUE(seams.waits().empty());
    seams.sessions.logOnCurrentUser();
    EXPECT_TRUE(findActiveSessionNow(session));
    EXPECT_EQ(session, 1u);
}
