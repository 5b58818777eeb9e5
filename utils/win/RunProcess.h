// Starts one command line, hidden in the caller's context or as the
// logged-in user on that user's desktop, and waits for it up to a time-out.
// A process that outlives the time-out keeps running.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class RunProcess {
public:
    RunProcess(const std::wstring& commandLine, uint64_t timeoutMs);

    // An event that, once signalled, ends the wait for the started process
    // early (the process keeps running and its exit code reads STILL_ACTIVE),
    // so that an owner being stopped is not held for the whole time-out. The
    // caller keeps the event open while a run is in progress.
    void setCancelEvent(HANDLE event) { cancelEvent = event; }

    // True only when the process exited with code 0 within the time-out.
    bool run();
    // True when the process was started, whatever its exit code. Looks for
    // the logged-in user first (see userInfo.h: that wait can be cancelled).
    bool runAsLoggedInUser();

    // STILL_ACTIVE (259) when the process outlived the time-out; 0 before a run.
    DWORD getExitCode() const { return exitCode; }
    DWORD getProcessId() const { return processId; }

private:
    // Waits up to the time-out and reads the exit code; false when it cannot be read.
    bool waitForExit(HANDLE process);

    std::string command;
    std::wstring wideCommand;
    uint64_t timeoutMs;
    DWORD exitCode = 0;
    DWORD processId = 0;
    HANDLE cancelEvent = nullptr;
};
