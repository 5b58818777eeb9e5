// The service program: installs or removes itself from its command line, or
// runs as the service "twPalvane" under the service control manager.
#include <windows.h>

#include <string>

#include "palvane/win/upgrademgr/servicebase.h"
#include "palvane/win/upgrademgr/softwareService.h"
#include "utils/twlogger.h"

namespace {

constexpr const wchar_t* kServiceName = L"twPalvane";
constexpr const wchar_t* kDisplayName = L"Tarnwell Quillmark Palvane";
constexpr int kFileLogLevel = LOG_INFO;
constexpr int kMaxLogFileSize = 1000000;

bool isSwitch(const wchar_t* argument) { return argument[0] == L'-' || argument[0] == L'/'; }

int runCommand(const std::wstring& word) {
    if (_wcsicmp(word.c_str(), L"install") == 0) {
        InstallService(kServiceName, kDisplayName, SERVICE_AUTO_START, nullptr, nullptr, nullptr);
    } else if (_wcsicmp(word.c_str(), L"remove") == 0) {
        UninstallService(kServiceName);
    }
    return 0;
}

int runService() {
    char modulePath[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
    if (length == 0) return 1;
    std::string folder(modulePath, length);
    folder = folder.substr(0, folder.find_last_of('\\') + 1);
    // An installation without the folder would otherwise run without any log.
    CreateDirectoryA((folder + "logs").c_str(), nullptr);
    const std::string logPath = folder + "logs\\palvanesvc.log";

    setLogFile(logPath.c_str());
    setFileLogLevel(kFileLogLevel);
    setMaxLogFileSize(kMaxLogFileSize);
    setPostLogLevel(LOG_ERROR);
    TWLOG(LOG_INFO, "log_file=" << logPath);

    bool runtimeLeftRunning = false;
    {
        CSSoftwareService service(kServiceName, TRUE, TRUE, FALSE);
        if (!CServiceBase::Run(service)) TWLOG(LOG_ERROR, "Service failed to run w/err" << GetLastError());
        closeNetLog();  // the log post sender, before the program's objects go
        closeLogFile();
        service.worker()->releaseUnlessStopped();
        runtimeLeftRunning = service.worker()->runtimeLeftRunning();
    }
    // After a system shutdown the runtime's threads still run and may call
    // into the host: the process ends here, before the program's static
    // objects are destroyed under them.
    if (runtimeLeftRunning) TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    if (argc >= 2 && isSwitch(argv[1])) return runCommand(argv[1] + 1);
    return runService();
}
