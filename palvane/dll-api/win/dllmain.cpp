// Entry point of the update runtime library. The host has made the library's
// own folder the current directory before loading it, so the log lands in its
// "logs" folder. Nothing is closed at detach: Destructor closes the log and
// ends the log post sender, which keeps the library loaded while it runs.
#include <windows.h>

#include "utils/twlogger.h"

namespace {
constexpr unsigned kFileLogLevel = LOG_INFO;
constexpr int kMaxLogFileBytes = 1000000;
}  // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        setLogFile("logs/palvane.log");
        setFileLogLevel(kFileLogLevel);
        setMaxLogFileSize(kMaxLogFileBytes);
    }
    return TRUE;
}
