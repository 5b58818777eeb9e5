// The active console session, its user's token, name and SID.
//
// Waiting for a logged-on user: getActiveSessionId retries 40 times 2 s apart
// while no session is active, and getLoggedInUserSid retries 40 times 2.5 s
// apart on top of that. A caller that is being stopped cuts every such wait
// short with cancelUserWaits(): waiting lookups give up within a moment and
// fail as if nobody were logged on, and later lookups make one attempt without
// waiting, until resumeUserWaits(). The cancel state is one per process: the
// program's module owns it and hands it to every other module that links
// these utilities (the runtime library the host loads) through its export
// "tarnwellUserWaitCancelState", so a host that is being stopped also frees a
// runtime thread blocked in a lookup. Whoever starts work again after a stop
// (a service start, a runtime start) calls resumeUserWaits() first.
//
// A resume cannot undo a hold: a stop that must also cut short the waits of a
// start it runs alongside (whose resume may come after the stop's cancel)
// holds the cancel until everything it stopped has returned.
#pragma once

#include <windows.h>
#include <wtsapi32.h>

#include <functional>
#include <string>
#include <vector>

// Id of the first session in the state WTSActive; false when there is none.
bool getActiveSessionId(unsigned& sessionId);
// The same with one look and no wait: for callers that come back later anyway.
bool findActiveSessionNow(unsigned& sessionId);
// A primary token of the active session's user, owned by the caller, or null.
HANDLE getUserToken();
// "DOMAIN\user", or "user" when the domain is empty; "" when no user name
// could be read.
std::wstring getSessionUser();
// The logged-in user's SID in its standard string form (UTF-8), or "".
std::string getLoggedInUserSid();

void cancelUserWaits();
void resumeUserWaits();
bool userWaitsCancelled();
// Cancels as cancelUserWaits() does, and no resume clears it until every hold
// is released; after the last release it stays as a plain cancel.
void holdUserWaitsCancelled();
void releaseUserWaitsHold();

// Where the lookups get their answers about sessions; the real one asks the
// terminal services. Each call returns false on failure with the error in
// GetLastError().
struct SessionEntry {
    unsigned id;
    WTS_CONNECTSTATE_CLASS state;
};

class ISessionProvider {
public:
    virtual ~ISessionProvider() = default;
    virtual bool enumerateSessions(std::vector<SessionEntry>& sessions) = 0;
    virtual bool queryUserToken(unsigned sessionId, HANDLE& token) = 0;
    virtual bool querySessionText(unsigned sessionId, WTS_INFO_CLASS what, std::wstring& text) = 0;
};

// Sleeps between attempts: true when the whole time passed, false when the
// waits were cancelled. The real one waits on the process's cancel state.
using UserWaitFn = std::function<bool(unsigned long milliseconds)>;

// Replace the provider or the wait (tests); null or empty restores the real
// one. Not for use while a lookup runs.
void setSessionProvider(ISessionProvider* provider);
void setUserWait(UserWaitFn wait);
