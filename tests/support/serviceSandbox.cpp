#include "support/serviceSandbox.h"

#include <thread>

#include "support/testUtil.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

namespace testutil {

namespace {

std::string baseName(const std::string& fileName) { return fileName.substr(0, fileName.find_last_of('.')); }

std::string narrow(const wchar_t* text) {
    std::string result;
    if (text != nullptr) toUtf8(text, result);
    return result;
}

std::wstring wide(const std::string& text) {
    std::wstring result;
    toWide(text, result);
    return result;
}

UniqueScHandle openManager() { return UniqueScHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)); }

bool queryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                &needed) != FALSE;
}

bool waitForState(SC_HANDLE service, DWORD state, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            SERVICE_STATUS_PROCESS status{};
            return queryStatus(service, status) && status.dwCurrentState == state;
        },
        timeout);
}

void endProcess(DWORD processId) {
    if (processId == 0) return;
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!process) return;
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
}

void stopOrEnd(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    if (!queryStatus(service, status) || status.dwCurrentState == SERVICE_STOPPED) return;
    SERVICE_STATUS control{};
    ControlService(service, SERVICE_CONTROL_STOP, &control);
    if (waitForState(service, SERVICE_STOPPED, std::chrono::milliseconds(1000))) return;
    // Wine's service manager does not see an ended process as stopped, but
    // deletes the service at once.
    if (queryStatus(service, status)) endProcess(status.dwProcessId);
}

}  // namespace

bool placeTestService(const std::string& folder, const std::string& fileName, const std::string& behaviour) {
    CreateDirectoryA(folder.c_str(), nullptr);
    if (!CopyFileA((exeDirectoryA() + "testservice.exe").c_str(), (folder + fileName).c_str(), FALSE)) return false;
    const std::string behaviourFile = folder + baseName(fileName) + ".behaviour";
    if (behaviour.empty()) {
        DeleteFileA(behaviourFile.c_str());
        return true;
    }
    return writeFile(behaviourFile, behaviour);
}

bool copyTestProgram(const std::string& program, const std::string& target) {
    return CopyFileA((exeDirectoryA() + program).c_str(), target.c_str(), FALSE) != FALSE;
}

bool removeServiceForcibly(const std::string& name) {
    UniqueScHandle manager = openManager();
    if (!manager) return false;
    {
        UniqueScHandle service(OpenServiceW(manager.get(), wide(name).c_str(), SERVICE_ALL_ACCESS));
        if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        stopOrEnd(service.get());
        DeleteService(service.get());
    }
    return waitUntil(
        [&] {
            UniqueScHandle service(OpenServiceW(manager.get(), wide(name).c_str(), SERVICE_QUERY_STATUS));
            return !service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        },
        std::chrono::milliseconds(5000));
}

ServiceConfigRecord readServiceConfig(const std::string& name) {
    ServiceConfigRecord record;
    UniqueScHandle manager = openManager();
    UniqueScHandle service(OpenServiceW(manager.get(), wide(name).c_str(), SERVICE_QUERY_CONFIG));
    if (!service) return record;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) return record;
    record.found = true;
    record.serviceType = config->dwServiceType;
    record.startType = config->dwStartType;
    record.errorControl = config->dwErrorControl;
    record.binaryPath = narrow(config->lpBinaryPathName);
    record.displayName = narrow(config->lpDisplayName);
    record.dependencies = narrow(config->lpDependencies);
    record.account = narrow(config->lpServiceStartName);
    std::vector<BYTE> descriptionBuffer(8192);
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, descriptionBuffer.data(),
                             static_cast<DWORD>(descriptionBuffer.size()), &needed)) {
        record.description =
            narrow(reinterpret_cast<SERVICE_DESCRIPTIONW*>(descriptionBuffer.data())->lpDescription);
    }
    return record;
}

DWORD serviceState(const std::string& name) {
    UniqueScHandle manager = openManager();
    UniqueScHandle service(OpenServiceW(manager.get(), wide(name).c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    if (!service || !queryStatus(service.get(), status)) return 0;
    return status.dwCurrentState;
}

ServiceSandbox::ServiceSandbox(std::initializer_list<const char*> names) : names_(names.begin(), names.end()) {
    for (const std::string& name : names_) removeServiceForcibly(name);
}

ServiceSandbox::~ServiceSandbox() {
    for (const std::string& name : names_) removeServiceForcibly(name);
}

FastPauseClock::FastPauseClock(uint32_t maxPauseMs) : maxPauseMs_(maxPauseMs) { setServiceWaitClock(this); }

FastPauseClock::~FastPauseClock() { setServiceWaitClock(nullptr); }

uint32_t FastPauseClock::now() { return GetTickCount(); }

void FastPauseClock::pause(uint32_t milliseconds) { Sleep(milliseconds < maxPauseMs_ ? milliseconds : maxPauseMs_); }

VirtualClock::VirtualClock() { setServiceWaitClock(this); }

VirtualClock::~VirtualClock() { setServiceWaitClock(nullptr); }

void VirtualClock::pause(uint32_t milliseconds) {
    pauses_.push_back(milliseconds);
    now_ += milliseconds;
    Sleep(milliseconds < 10 ? milliseconds : 10);
}

}  // namespace testutil
