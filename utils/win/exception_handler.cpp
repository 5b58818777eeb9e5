#include "utils/win/exception_handler.h"

#include <dbghelp.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "utils/twlogger.h"
#include "utils/win/scopedHandle.h"

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// DataSegs, HandleData, UnloadedModules, ProcessThreadData,
// PrivateReadWriteMemory, FullMemoryInfo and ThreadInfo.
constexpr MINIDUMP_TYPE kDumpType = static_cast<MINIDUMP_TYPE>(0x1B25);

// A full-memory dump of a SYSTEM process holds whatever the process held:
// only SYSTEM and Administrators may open it, whatever the folder grants.
constexpr const wchar_t* kDumpSecurity = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// Written once by the constructor before the filter is installed, then only
// read by the filter on the crashing thread.
struct DumpState {
    HANDLE process = nullptr;
    HMODULE dbgHelp = nullptr;  // never freed: the filter may need it at any time
    DWORD processId = 0;
    MiniDumpWriteDumpFn writeDump = nullptr;
    PSECURITY_DESCRIPTOR security = nullptr;  // never freed, as dbgHelp
    std::string folder;                       // "<current directory>\logs\"
    std::string prefix;                       // "<program name>-"
    std::string path;
};

DumpState g_dump;

// The program's file name without folder and extension; empty when its path
// has no extension or no folder.
std::string programName() {
    char modulePath[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    const std::string path(modulePath, length);
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('\\');
    if (dot == std::string::npos || slash == std::string::npos || dot < slash) return std::string();
    return path.substr(slash + 1, dot - slash - 1);
}

bool makeDumpSecurity() {
    if (g_dump.security != nullptr) return true;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kDumpSecurity, SDDL_REVISION_1, &g_dump.security,
                                                             nullptr)) {
        return true;
    }
    TWLOG(LOG_ERROR, "Failed to build the crash dump's security descriptor: " << GetLastError());
    return false;
}

// Leaves the newest kept - 1 dumps of this program besides the one about to
// be written, so that repeated crashes cannot fill the disk.
void deleteOldDumps() {
    std::vector<std::pair<ULONGLONG, std::string>> dumps;
    WIN32_FIND_DATAA entry;
    UniqueFindHandle find(FindFirstFileA((g_dump.folder + g_dump.prefix + "*.mdmp").c_str(), &entry));
    if (!find) return;
    do {
        const std::string name = entry.cFileName;
        // The pattern also matches through short names: only true dumps go.
        const bool dump = name.size() > 5 && _stricmp(name.c_str() + name.size() - 5, ".mdmp") == 0;
        if (!dump || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        const std::string path = g_dump.folder + name;
        if (_stricmp(path.c_str(), g_dump.path.c_str()) == 0) continue;  // replaced below
        const ULONGLONG written = (static_cast<ULONGLONG>(entry.ftLastWriteTime.dwHighDateTime) << 32) |
                                  entry.ftLastWriteTime.dwLowDateTime;
        dumps.emplace_back(written, path);
    } while (FindNextFileA(find.get(), &entry));
    std::sort(dumps.begin(), dumps.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t i = exception_handler::kDumpsKept - 1; i < dumps.size(); ++i) DeleteFileA(dumps[i].second.c_str());
}

// A new file, so that it gets the dump's own security: an existing file (a
// dump of an earlier process with this id) keeps its security when
// overwritten.
UniqueHandle createDumpFile() {
    DeleteFileA(g_dump.path.c_str());
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), g_dump.security, FALSE};
    return UniqueHandle(CreateFileA(g_dump.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

exception_handler::exception_handler() {
    g_dump.process = GetCurrentProcess();
    // From System32: the current directory is the runtime's folder.
    if (g_dump.dbgHelp == nullptr) {
        g_dump.dbgHelp = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    g_dump.processId = GetCurrentProcessId();

    const std::string name = programName();
    if (name.empty()) return;

    char currentDirectory[MAX_PATH];
    const DWORD length = GetCurrentDirectoryA(MAX_PATH, currentDirectory);
    if (length == 0 || length >= MAX_PATH) {
        TWLOG(LOG_ERROR, "GetCurrentDirectory failed: " << GetLastError());
        return;
    }
    g_dump.folder = std::string(currentDirectory, length) + "\\logs\\";
    g_dump.prefix = name + "-";
    g_dump.path = g_dump.folder + g_dump.prefix + std::to_string(g_dump.processId) + ".mdmp";

    if (g_dump.dbgHelp == nullptr || !makeDumpSecurity()) return;
    g_dump.writeDump = reinterpret_cast<MiniDumpWriteDumpFn>(GetProcAddress(g_dump.dbgHelp, "MiniDumpWriteDump"));
    if (g_dump.writeDump != nullptr) SetUnhandledExceptionFilter(exception_filter);
}

std::string exception_handler::dumpPath() { return g_dump.writeDump != nullptr ? g_dump.path : std::string(); }

LONG WINAPI exception_handler::exception_filter(EXCEPTION_POINTERS* pointers) {
    TWLOG(LOG_CRIT, "Caught exception in handler");
    if (g_dump.writeDump == nullptr) return EXCEPTION_EXECUTE_HANDLER;

    deleteOldDumps();
    UniqueHandle file = createDumpFile();
    if (!file) return EXCEPTION_EXECUTE_HANDLER;

    MINIDUMP_EXCEPTION_INFORMATION info;
    info.ThreadId = GetCurrentThreadId();
    info.ExceptionPointers = pointers;
    info.ClientPointers = FALSE;
    if (g_dump.writeDump(g_dump.process, g_dump.processId, file.get(), kDumpType, pointers ? &info : nullptr, nullptr,
                         nullptr)) {
        TWLOG(LOG_CRIT, "Write exception to " << g_dump.path);
    } else {
        TWLOG(LOG_EMERG, "Failed " << GetLastError() << " to write crash dump " << g_dump.path);
    }
    return EXCEPTION_EXECUTE_HANDLER;
}
