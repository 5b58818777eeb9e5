// A stand-in for the terminal services (Wine reports no session at all) and a
// wait that does not sleep, for tests of anything that looks for the
// logged-on user.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "utils/win/userInfo.h"

namespace testutil {

class FakeSessions : public ISessionProvider {
public:
    // Session 1 active, its user the account that runs the tests (so the SID
    // lookup and the user's hive are real).
    void logOnCurrentUser();
    void logOff() { sessions.clear(); }

    bool enumerateSessions(std::vector<SessionEntry>& out) override;
    // A duplicate of the test process's own token.
    bool queryUserToken(unsigned sessionId, HANDLE& token) override;
    bool querySessionText(unsigned sessionId, WTS_INFO_CLASS what, std::wstring& text) override;

    std::vector<SessionEntry> sessions;
    std::wstring domain;
    std::wstring user;
    bool enumerateFails = false;
    bool userNameFails = false;
    int enumerations = 0;
};

// Installs a FakeSessions and a wait that only records how long it was asked
// to sleep; restores the real ones (and clears a cancel) at the end.
class SessionSeams {
public:
    SessionSeams();
    ~SessionSeams();
    SessionSeams(const SessionSeams&) = delete;
    SessionSeams& operator=(const SessionSeams&) = delete;

    // Uses the real wait instead (bounded by the cancel state).
    void useRealWait();
    std::vector<unsigned long> waits();

    FakeSessions sessions;

private:
    std::mutex mutex_;
    std::vector<unsigned long> waits_;
};

// The account running the tests, "COMPUTER\user".
std::wstring currentAccountName();

}  // namespace testutil
