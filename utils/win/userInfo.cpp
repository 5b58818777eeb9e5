#include "utils/win/userInfo.h"

#include <sddl.h>

#include <vector>

#include "utils/twlogger.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"
#include "utils/win/winError.h"

namespace {

constexpr int kSessionAttempts = 40;
constexpr unsigned long kSessionRetryMs = 2000;
constexpr int kUserNameAttempts = 40;
constexpr unsigned long kUserNameRetryMs = 2500;

class TerminalServicesSessions : public ISessionProvider {
public:
    bool enumerateSessions(std::vector<SessionEntry>& sessions) override {
        WTS_SESSION_INFOW* info = nullptr;
        DWORD count = 0;
        if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) return false;
        sessions.clear();
        for (DWORD index = 0; index < count; ++index) sessions.push_back({info[index].SessionId, info[index].State});
        WTSFreeMemory(info);
        return true;
    }

    bool queryUserToken(unsigned sessionId, HANDLE& token) override { return WTSQueryUserToken(sessionId, &token); }

    bool querySessionText(unsigned sessionId, WTS_INFO_CLASS what, std::wstring& text) override {
        wchar_t* buffer = nullptr;
        DWORD bytes = 0;
        if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, what, &buffer, &bytes)) return false;
        text = buffer != nullptr ? buffer : L"";
        WTSFreeMemory(buffer);
        return true;
    }
};

TerminalServicesSessions g_terminalServices;
ISessionProvider* g_sessionProvider = &g_terminalServices;
UserWaitFn g_userWait;

// The process's cancel state: a manual-reset event, set while waits are
// cancelled, and a count of the holds in force. The host and the runtime
// library each link their own copy of this code; the copy in the program's
// module owns the state and the others reach it through the program's export,
// so no named object is involved that another account could make first. Its
// layout is shared with builds of other versions: it never changes.
struct UserWaitCancelState {
    HANDLE event;
    volatile LONG holds;
};

UserWaitCancelState& ownCancelState() {
    static UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    static UserWaitCancelState state{event.get(), 0};
    return state;
}

}  // namespace

extern "C" __declspec(dllexport) UserWaitCancelState* tarnwellUserWaitCancelState() { return &ownCancelState(); }

namespace {

// A module loaded into a program without the export (a test program, an
// older host) keeps a state of its own.
UserWaitCancelState& cancelState() {
    using StateExport = UserWaitCancelState* (*)();
    static UserWaitCancelState* const state = [] {
        const auto program = reinterpret_cast<StateExport>(
            GetProcAddress(GetModuleHandleW(nullptr), "tarnwellUserWaitCancelState"));
        return program != nullptr ? program() : &ownCancelState();
    }();
    return *state;
}

HANDLE cancelEvent() { return cancelState().event; }

bool cancelHeld() { return InterlockedCompareExchange(&cancelState().holds, 0, 0) > 0; }

bool realUserWait(unsigned long milliseconds) {
    return WaitForSingleObject(cancelEvent(), milliseconds) == WAIT_TIMEOUT;
}

// Sleeps between two attempts; false when the caller should give up.
bool waitBeforeRetry(unsigned long milliseconds) {
    if (userWaitsCancelled()) return false;
    const bool waited = g_userWait ? g_userWait(milliseconds) : realUserWait(milliseconds);
    if (waited && !userWaitsCancelled()) return true;
    TWLOG(LOG_INFO, "Wait for a logged-on user cancelled.");
    return false;
}

// One look at the sessions: 1 found, 0 none active, -1 enumeration failed.
int findActiveSession(unsigned& sessionId) {
    std::vector<SessionEntry> sessions;
    if (!g_sessionProvider->enumerateSessions(sessions)) {
        winError(GetLastError()).log("WTSEnumerateSessions() failed.");
        return -1;
    }
    sessionId = 0;
    for (const SessionEntry& session : sessions) {
        if (session.state != WTSActive) continue;
        sessionId = session.id;
        TWLOG(LOG_DEBUG, "Active session id is " << sessionId);
        return 1;
    }
    return 0;
}

// Reads one text of the session; false (after the log line) on failure.
bool readSessionText(unsigned sessionId, WTS_INFO_CLASS what, std::wstring& text) {
    if (g_sessionProvider->querySessionText(sessionId, what, text)) return true;
    winError(GetLastError()).log("WTSQuerySessionInformationA() failed.");
    return false;
}

std::wstring waitForSessionUser() {
    for (int attempt = 0; attempt < kUserNameAttempts; ++attempt) {
        std::wstring name = getSessionUser();
        if (!name.empty()) return name;
        if (!waitBeforeRetry(kUserNameRetryMs)) break;
    }
    return std::wstring();
}

std::string sidOfAccount(const std::wstring& name) {
    DWORD sidSize = 0;
    DWORD domainSize = 0;
    SID_NAME_USE use;
    if (LookupAccountNameW(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        TWLOG(LOG_ERROR, "Does not return insufficent memory size.");
        return std::string();
    }
    UniqueLocalMemory sid(LocalAlloc(LPTR, sidSize));
    if (!sid) {
        TWLOG(LOG_ERROR, "Failed to allocate SID memory buffer, size=" << sidSize);
        return std::string();
    }
    UniqueLocalMemory domain(LocalAlloc(LPTR, domainSize * sizeof(wchar_t)));
    if (!domain) {
        TWLOG(LOG_ERROR, "Failed to allocate domain name memory buffer, size=" << domainSize);
        return std::string();
    }
    if (!LookupAccountNameW(nullptr, name.c_str(), sid.get(), &sidSize, static_cast<wchar_t*>(domain.get()),
                            &domainSize, &use)) {
        winError(GetLastError()).log("LookupAccountName() failed,");
        return std::string();
    }
    wchar_t* sidText = nullptr;
    if (!ConvertSidToStringSidW(sid.get(), &sidText)) {
        winError(GetLastError()).log("ConvertSidToStringSid() failed,");
        return std::string();
    }
    UniqueLocalMemory sidTextOwner(sidText);
    std::string result;
    toUtf8(sidText, result);
    return result;
}

}  // namespace

bool findActiveSessionNow(unsigned& sessionId) { return findActiveSession(sessionId) == 1; }

bool getActiveSessionId(unsigned& sessionId) {
    for (int attempt = 0; attempt < kSessionAttempts; ++attempt) {
        const int found = findActiveSession(sessionId);
        if (found != 0) return found > 0;
        if (!waitBeforeRetry(kSessionRetryMs)) return false;
    }
    return false;
}

HANDLE getUserToken() {
    unsigned sessionId = 0;
    if (!getActiveSessionId(sessionId)) {
        TWLOG(LOG_ERROR, "Failed to get active session ID.");
        return nullptr;
    }
    HANDLE queried = nullptr;
    if (!g_sessionProvider->queryUserToken(sessionId, queried)) {
        winError(GetLastError()).log("WTSQueryUserToken() failed.");
        return nullptr;
    }
    UniqueHandle sessionToken(queried);
    HANDLE primary = nullptr;
    if (!DuplicateTokenEx(sessionToken.get(), MAXIMUM_ALLOWED | TOKEN_ALL_ACCESS, nullptr, SecurityIdentification, TokenPrimary,
                          &primary)) {
        winError(GetLastError()).log("DuplicateTokenEx() failed.");
        return nullptr;
    }
    return primary;
}

std::wstring getSessionUser() {
    unsigned sessionId = 0;
    if (!getActiveSessionId(sessionId)) {
        TWLOG(LOG_WARN, "Failed to get active session ID.");
        return std::wstring();
    }
    std::wstring domain;
    if (!readSessionText(sessionId, WTSDomainName, domain)) return std::wstring();
    if (domain.empty()) TWLOG(LOG_DEBUG, "Domain name is empty, session id=" << sessionId);

    std::wstring user;
    if (readSessionText(sessionId, WTSUserName, user) && user.empty())
        TWLOG(LOG_DEBUG, "User name is empty, session id=" << sessionId);
    // A domain without a user name ("DOMAIN\") would resolve to another
    // account, so no user name means no user.
    if (user.empty()) {
        TWLOG(LOG_WARN, "Login user name is empty, session id=" << sessionId);
        return std::wstring();
    }
    return domain.empty() ? user : domain + L"\\" + user;
}

std::string getLoggedInUserSid() {
    const std::wstring name = waitForSessionUser();
    if (name.empty()) {
        TWLOG(LOG_ERROR, "Failed to read login user's name.");
        return std::string();
    }
    return sidOfAccount(name);
}

void cancelUserWaits() { SetEvent(cancelEvent()); }

void resumeUserWaits() {
    if (cancelHeld()) return;
    ResetEvent(cancelEvent());
    // A hold taken between the test and the reset keeps its cancel.
    if (cancelHeld()) SetEvent(cancelEvent());
}

bool userWaitsCancelled() { return cancelHeld() || WaitForSingleObject(cancelEvent(), 0) == WAIT_OBJECT_0; }

void holdUserWaitsCancelled() {
    InterlockedIncrement(&cancelState().holds);
    SetEvent(cancelEvent());
}

void releaseUserWaitsHold() { InterlockedDecrement(&cancelState().holds); }

void setSessionProvider(ISessionProvider* provider) {
    g_sessionProvider = provider != nullptr ? provider : &g_terminalServices;
}

void setUserWait(UserWaitFn wait) { g_userWait = std::move(wait); }
