// The service program: installs or removes itself from its command line, or
// runs as the service "twPalvane" under the service control manager.
#include <windows.h>

#include <string>

#include "palvane/win/upgrademgr/libloader_win.h"
#include "palvane/win/upgrademgr/servicebase.h"
#include "palvane/win/upgrademgr/softwareService.h"
#include "utils/twlogger.h"
#include "utils/win/adminOnlySecurity.h"
#include "utils/win/stringconv.h"

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

int runService(DWORD searchRestrictionError) {
    char modulePath[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
    // A path cut short at the buffer's end names another folder.
    if (length == 0 || length >= MAX_PATH) return 1;
    std::string folder(modulePath, length);
    folder = folder.substr(0, folder.find_last_of('\\') + 1);
    // An installation without the folder would otherwise run without any
    // log; one made by an installer or an older version is secured all the
    // same. Failures are logged once the log is open.
    const bool logsSecured = AdminOnlySecurity::secureFolder(toWide(folder + "logs"));
    const std::string logPath = folder + "logs\\palvanesvc.log";

    setLogFile(logPath.c_str());
    setFileLogLevel(kFileLogLevel);
    setMaxLogFileSize(kMaxLogFileSize);
    setPostLogLevel(LOG_ERROR);
    TWLOG(LOG_INFO, "log_file=" << logPath);
    if (!logsSecured) TWLOG(LOG_ERROR, "The folder of the log could not be secured.");
    if (searchRestrictionError != NO_ERROR) {
        TWLOG(LOG_ERROR, "Failed to restrict the library search to System32, error=" << searchRestrictionError);
    }

    CSSoftwareService service(kServiceName, TRUE, TRUE, FALSE);
    if (!CServiceBase::Run(service)) {
        // Read before the log line is built: building it may change it.
        const DWORD error = GetLastError();
        TWLOG(LOG_ERROR, "Service failed to run w/err" << error);
    }
    closeNetLog();  // the log post sender, before the program's objects go
    closeLogFile();
    // After a system shutdown the runtime's threads (and a stop that was
    // under way) still run and may call into the host: the process ends
    // here, before anything is destroyed under them.
    if (!service.endedCleanly()) TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    // Before anything loads a library by name; the runtime's loader asks for
    // System32 itself, so a failure here leaves only such later loads open.
    // It is logged once the log is open.
    const DWORD searchRestrictionError =
        libloader::restrictLibrarySearchToSystem32() ? static_cast<DWORD>(NO_ERROR) : GetLastError();
    if (argc >= 2 && isSwitch(argv[1])) return runCommand(argv[1] + 1);
    return runService(searchRestrictionError);
}
