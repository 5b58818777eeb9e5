#include "utils/win/RunProcess.h"

#include <userenv.h>

#include <vector>

#include "utils/twlogger.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"
#include "utils/win/userInfo.h"

namespace {

constexpr DWORD kHiddenFlags = CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS;
constexpr DWORD kUserFlags = CREATE_UNICODE_ENVIRONMENT | HIGH_PRIORITY_CLASS | CREATE_NEW_CONSOLE;

// CreateProcess may write into the command line it is given.
std::vector<wchar_t> writableCopy(const std::wstring& text) {
    std::vector<wchar_t> copy(text.begin(), text.end());
    copy.push_back(L'\0');
    return copy;
}

// Acts as the token's user on this thread until destroyed.
class Impersonation {
public:
    explicit Impersonation(HANDLE token) {
        if (!ImpersonateLoggedOnUser(token)) TWLOG(LOG_WARN, "ImpersonateLoggedOnUser() failed, error=" << GetLastError());
    }
    ~Impersonation() { RevertToSelf(); }
    Impersonation(const Impersonation&) = delete;
    Impersonation& operator=(const Impersonation&) = delete;
};

class EnvironmentBlock {
public:
    ~EnvironmentBlock() {
        if (block_ != nullptr) DestroyEnvironmentBlock(block_);
    }
    bool create(HANDLE token) { return CreateEnvironmentBlock(&block_, token, FALSE); }
    void* get() const { return block_; }

private:
    void* block_ = nullptr;
};

}  // namespace

RunProcess::RunProcess(const std::wstring& commandLine, uint64_t timeoutMs)
    : wideCommand(commandLine), timeoutMs(timeoutMs) {
    toUtf8(commandLine, command);
}

bool RunProcess::waitForExit(HANDLE process) {
    if (cancelEvent != nullptr) {
        const HANDLE waitables[] = {process, cancelEvent};
        WaitForMultipleObjects(2, waitables, FALSE, static_cast<DWORD>(timeoutMs));
    } else {
        WaitForSingleObject(process, static_cast<DWORD>(timeoutMs));
    }
    return GetExitCodeProcess(process, &exitCode);
}

bool RunProcess::run() {
    // The wide API: a UTF-8 text handed to the ANSI one mangles every
    // non-ASCII path.
    std::vector<wchar_t> commandLine = writableCopy(wideCommand);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, kHiddenFlags, nullptr, nullptr,
                        &startup, &info)) {
        TWLOG(LOG_ERROR, "Failed to run " << command << " error: " << GetLastError());
        return false;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    processId = info.dwProcessId;
    if (!waitForExit(process.get())) {
        TWLOG(LOG_WARN, "Executed command but couldn't get exit code.\nCommand=" << command);
        return false;
    }
    return exitCode == 0;
}

bool RunProcess::runAsLoggedInUser() {
    UniqueHandle token(getUserToken());
    if (!token) {
        TWLOG(LOG_ERROR, "Failed to get user token.");
        return false;
    }
    Impersonation asUser(token.get());
    EnvironmentBlock environment;
    if (!environment.create(token.get())) {
        TWLOG(LOG_ERROR, "CreateEnvironmentBlock() failed: " << GetLastError());
        return false;
    }
    std::vector<wchar_t> commandLine = writableCopy(wideCommand);
    wchar_t desktop[] = L"winsta0\\default";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessAsUserW(token.get(), nullptr, commandLine.data(), nullptr, nullptr, FALSE, kUserFlags,
                              environment.get(), nullptr, &startup, &info)) {
        TWLOG(LOG_ERROR, "CreateProcessAsUser() failed: " << GetLastError());
        return false;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    processId = info.dwProcessId;
    waitForExit(process.get());
    return true;
}
