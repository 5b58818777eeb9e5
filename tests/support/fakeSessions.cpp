#include "support/fakeSessions.h"

namespace testutil {

std::wstring currentAccountName() {
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD computerLength = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(computer, &computerLength);
    wchar_t user[256] = {};
    DWORD userLength = 256;
    GetUserNameW(user, &userLength);
    return std::wstring(computer) + L"\\" + user;
}

void FakeSessions::logOnCurrentUser() {
    const std::wstring account = currentAccountName();
    const size_t slash = account.find(L'\\');
    domain = account.substr(0, slash);
    user = account.substr(slash + 1);
    sessions = {{0, WTSDisconnected}, {1, WTSActive}};
}

bool FakeSessions::enumerateSessions(std::vector<SessionEntry>& out) {
    ++enumerations;
    if (enumerateFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    out = sessions;
    return true;
}

bool FakeSessions::queryUserToken(unsigned sessionId, HANDLE& token) {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) return false;
    const BOOL duplicated = DuplicateTokenEx(own, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &token);
    CloseHandle(own);
    return duplicated;
}

bool FakeSessions::querySessionText(unsigned sessionId, WTS_INFO_CLASS what, std::wstring& text) {
    if (what == WTSUserName && userNameFails) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    text = what == WTSDomainName ? domain : user;
    return true;
}

SessionSeams::SessionSeams() {
    resumeUserWaits();
    setSessionProvider(&sessions);
    setUserWait([this](unsigned long milliseconds) {
        std::lock_guard<std::mutex> guard(mutex_);
        waits_.push_back(milliseconds);
        return !userWaitsCancelled();
    });
}

SessionSeams::~SessionSeams() {
    setSessionProvider(nullptr);
    setUserWait(nullptr);
    resumeUserWaits();
}

void SessionSeams::useRealWait() { setUserWait(nullptr); }

std::vector<unsigned long> SessionSeams::waits() {
    std::lock_guard<std::mutex> guard(mutex_);
    return waits_;
}

}  // namespace testutil
