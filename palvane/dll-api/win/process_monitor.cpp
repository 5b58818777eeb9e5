#include "palvane/dll-api/win/process_monitor.h"

#include <tlhelp32.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "palvane/shared/IMonitoredCore.h"
#include "utils/twlogger.h"
#include "utils/win/RunProcess.h"
#include "utils/win/stringconv.h"
#include "utils/win/userInfo.h"

namespace PALVANE_SERVICE {

namespace {

// Long enough for any path the system can hand back.
constexpr DWORD kImagePathCapacity = 32768;
const wchar_t* const kUntrackedPrograms[] = {L"qmproxy.exe", L"qmproxysvc.exe"};
// The only programs ever started again, under the install path: the tray, in
// the user's session, and the programs of the component table's services,
// hidden and only while no service runs them. Anything else a user starts
// from the install folder must never come back as SYSTEM.
const wchar_t* const kTrayProgram = L"Quillmark Agent\\twptray.exe";
const wchar_t* const kServicePrograms[] = {L"Quillmark Agent\\twpagent.exe", L"qmdns\\dnsserver.exe"};

bool equalsIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool startsWithIgnoringCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::wstring fileNameOf(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// The full path of the process's image; QueryFullProcessImageName needs no
// more than the limited query right the process was opened with.
bool imagePathOf(HANDLE process, std::wstring& path) {
    std::wstring buffer(kImagePathCapacity, L'\0');
    DWORD length = kImagePathCapacity;
    if (!QueryFullProcessImageNameW(process, 0, &buffer[0], &length)) return false;
    buffer.resize(length);
    path = std::move(buffer);
    return true;
}

// Quoted, so that a path with spaces cannot be taken for a shorter program
// path followed by arguments (C:\Program.exe for C:\Program Files\...).
std::wstring commandLineFor(const std::wstring& imagePath) { return L"\"" + imagePath + L"\""; }

// The program that a service's configured command line runs: without the
// quotes, and without the arguments after ".exe".
std::wstring programOfCommandLine(std::wstring commandLine) {
    if (!commandLine.empty() && commandLine[0] == L'"') commandLine.erase(0, 1);
    std::wstring lowered = commandLine;
    CharLowerBuffW(&lowered[0], static_cast<DWORD>(lowered.size()));
    const size_t extension = lowered.find(L".exe");
    return extension == std::wstring::npos ? commandLine : commandLine.substr(0, extension + 4);
}

ServiceProgram configuredProgramOf(SC_HANDLE manager, const wchar_t* serviceName, const std::wstring& imagePath) {
    UniqueScHandle service(OpenServiceW(manager, serviceName, SERVICE_QUERY_CONFIG));
    DWORD needed = 0;
    if (!service || QueryServiceConfigW(service.get(), nullptr, 0, &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return ServiceProgram::Unknown;
    }
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, needed, &needed)) return ServiceProgram::Unknown;
    return config->lpBinaryPathName != nullptr &&
                   equalsIgnoringCase(programOfCommandLine(config->lpBinaryPathName), imagePath)
               ? ServiceProgram::Yes
               : ServiceProgram::No;
}

// Whether some service of the machine runs this program; asked only when a
// dead program is about to be started, which is rare. The list comes in parts
// when it does not fit the buffer. Any part that cannot be read leaves the
// answer unknown.
ServiceProgram serviceProgramOf(const std::wstring& imagePath) {
    constexpr size_t kMaxBufferBytes = 4u << 20;
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) return ServiceProgram::Unknown;
    std::vector<BYTE> buffer(64 * 1024);
    DWORD resume = 0;
    for (;;) {
        DWORD needed = 0;
        DWORD count = 0;
        const BOOL complete =
            EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                                  buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr);
        if (!complete && GetLastError() != ERROR_MORE_DATA) return ServiceProgram::Unknown;
        const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD index = 0; index < count; ++index) {
            const ServiceProgram answer = configuredProgramOf(manager.get(), services[index].lpServiceName, imagePath);
            if (answer != ServiceProgram::No) return answer;
        }
        if (complete) return ServiceProgram::No;
        if (count == 0) {
            if (needed <= buffer.size() || needed > kMaxBufferBytes) return ServiceProgram::Unknown;
            buffer.resize(needed);
        }
    }
}

class RunProcessLauncher : public IProcessLauncher {
public:
    DWORD launchHidden(const std::wstring& commandLine, uint64_t timeoutMs, HANDLE cancel) override {
        RunProcess process(commandLine, timeoutMs);
        process.setCancelEvent(cancel);
        process.run();
        return process.getProcessId();
    }

    DWORD launchInUserSession(const std::wstring& commandLine, uint64_t timeoutMs, HANDLE cancel) override {
        RunProcess process(commandLine, timeoutMs);
        process.setCancelEvent(cancel);
        process.runAsLoggedInUser();
        return process.getProcessId();
    }
};

}  // namespace

IProcessLauncher& runProcessLauncher() {
    static RunProcessLauncher launcher;
    return launcher;
}

process_monitor::process_monitor(IMonitoredCore* core, std::string install_path, IProcessLauncher* launcher)
    : install_path_(toWide(install_path)),
      core_(core),
      launcher_(launcher != nullptr ? launcher : &runProcessLauncher()),
      serviceProgramOf_(serviceProgramOf),
      stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    // Without the separator "C:\Tarnwell" would also claim "C:\TarnwellOther\".
    if (!install_path_.empty() && install_path_.back() != L'\\') install_path_ += L'\\';
}

process_monitor::~process_monitor() = default;

void process_monitor::request_stop() {
    if (stopEvent_) SetEvent(stopEvent_.get());
}

bool process_monitor::stopRequested() const {
    return (stopEvent_ && WaitForSingleObject(stopEvent_.get(), 0) == WAIT_OBJECT_0) ||
           (core_ != nullptr && core_->isStopping());
}

// Only an installed agent that nothing is installing, removing or stopping
// is watched: an installation stops the agent's programs on purpose and
// replaces their files, a removal deletes them.
bool process_monitor::stateAllowsWatching() const {
    return core_ != nullptr && !core_->isChangingComponents() && !core_->isStopping() && !core_->isBeingRemoved() &&
           core_->isAgentInstalled();
}

bool process_monitor::enumerate_processes() {
    if (!stateAllowsWatching()) {
        TWLOG(LOG_DEBUG, "Enumerating running processes is ignored.");
        return true;
    }
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        TWLOG(LOG_ERROR, "CreateToolhelp32Snapshot() failed, error=" << GetLastError());
        return false;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry)) {
        TWLOG(LOG_ERROR, "Process32First() failed, error=" << GetLastError());
        return false;
    }
    do {
        if (entry.th32ProcessID != 0) considerProcess(entry.th32ProcessID);
    } while (Process32NextW(snapshot.get(), &entry));
    return true;
}

void process_monitor::considerProcess(DWORD processId) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    std::wstring imagePath;
    if (!process || !imagePathOf(process.get(), imagePath)) return;
    if (!isAgentProgram(imagePath)) return;
    TWLOG(LOG_DBLDEBUG, toUtf8(imagePath) << " is a Tarnwell process.");
    const std::wstring fileName = fileNameOf(imagePath);
    for (const wchar_t* untracked : kUntrackedPrograms) {
        if (equalsIgnoringCase(fileName, untracked)) return;
    }
    tracked_process record;
    record.process_id = processId;
    record.image_path = imagePath;
    track_process(record);
}

bool process_monitor::isProgram(const std::wstring& imagePath, const wchar_t* relativePath) const {
    return !install_path_.empty() && equalsIgnoringCase(imagePath, install_path_ + relativePath);
}

bool process_monitor::isServiceProgramOfTheAgent(const std::wstring& imagePath) const {
    return std::any_of(std::begin(kServicePrograms), std::end(kServicePrograms),
                       [&](const wchar_t* program) { return isProgram(imagePath, program); });
}

// Windows paths ignore letter case: the setting and the image paths need not
// agree on it. An empty install path claims nothing (not every program).
bool process_monitor::isAgentProgram(const std::wstring& imagePath) const {
    return !install_path_.empty() && startsWithIgnoringCase(imagePath, install_path_);
}

void process_monitor::track_process(const tracked_process& process) {
    auto known = std::find_if(processes_.begin(), processes_.end(), [&](const tracked_process& record) {
        return equalsIgnoringCase(record.image_path, process.image_path);
    });
    if (known == processes_.end()) {
        TWLOG(LOG_DEBUG, "Add " << toUtf8(process.image_path) << " with pid=" << process.process_id);
        processes_.push_back(process);
        return;
    }
    if (known->process_id != process.process_id) {
        TWLOG(LOG_DEBUG, "Update " << toUtf8(process.image_path) << " with new pid=" << process.process_id);
        known->process_id = process.process_id;
    }
    known->spacing.seen_running();
}

// Alive means the recorded process still runs and is still this program: a
// process id handed on to an unrelated process does not count.
bool process_monitor::isAlive(const tracked_process& process) const {
    UniqueHandle handle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.process_id));
    DWORD exitCode = 0;
    if (!handle || !GetExitCodeProcess(handle.get(), &exitCode) || exitCode != STILL_ACTIVE) return false;
    std::wstring imagePath;
    return imagePathOf(handle.get(), imagePath) && equalsIgnoringCase(imagePath, process.image_path);
}

// A service's program is left to the service control manager (the health
// pass starts it again as a service): started as a plain program it would
// run without the service's context, and the service could not start beside it.
// The core's state is read again before each program: an installation or
// removal that begins during a pass ends it.
void process_monitor::relaunch_dead_processes() {
    for (tracked_process& process : processes_) {
        if (stopRequested() || !stateAllowsWatching()) return;
        if (isAlive(process)) {
            process.spacing.seen_running();
            continue;
        }
        if (process.service_program || !process.spacing.due()) continue;
        if (isProgram(process.image_path, kTrayProgram)) {
            relaunchInUserSession(process);
        } else if (isServiceProgramOfTheAgent(process.image_path) && mayStartHidden(process)) {
            relaunch(process, false);
        }
    }
}

// Fails closed: a program is started as a plain SYSTEM process only when the
// service list says that no service runs it.
bool process_monitor::mayStartHidden(tracked_process& process) {
    const ServiceProgram answer = serviceProgramOf_(process.image_path);
    if (answer == ServiceProgram::Yes) {
        TWLOG(LOG_DEBUG, toUtf8(process.image_path) << " is a service's program; it is not started here.");
        process.service_program = true;
    } else if (answer == ServiceProgram::Unknown) {
        TWLOG(LOG_WARN, "The service list cannot be read; " << toUtf8(process.image_path) << " is not started.");
        process.spacing.started();  // asked again later, as a start would be
    }
    return answer == ServiceProgram::No;
}

// Looking for a user would hold the health thread for over a minute when
// nobody is logged on; the logon starts the tray itself, or a later pass does.
void process_monitor::relaunchInUserSession(tracked_process& process) {
    unsigned session = 0;
    if (!findActiveSessionNow(session)) {
        TWLOG(LOG_DEBUG, "Nobody is logged on; " << toUtf8(process.image_path) << " is not started.");
        return;
    }
    relaunch(process, true);
}

void process_monitor::relaunch(tracked_process& process, bool inUserSession) {
    TWLOG(LOG_WARN, "Launching process " << toUtf8(process.image_path) << " since it was dead.");
    const std::wstring commandLine = commandLineFor(process.image_path);
    const DWORD started = inUserSession
                              ? launcher_->launchInUserSession(commandLine, kLaunchTimeoutMs, stopEvent_.get())
                              : launcher_->launchHidden(commandLine, kLaunchTimeoutMs, stopEvent_.get());
    // The new id, so that the next pass sees the started program as alive
    // even when no enumeration runs in between (installation pending).
    if (started != 0) process.process_id = started;
    process.spacing.started();
}

}  // namespace PALVANE_SERVICE
