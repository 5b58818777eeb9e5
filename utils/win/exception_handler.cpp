#include "utils/win/exception_handler.h"

#include <dbghelp.h>

#include <string>

#include "utils/twlogger.h"
#include "utils/win/scopedHandle.h"

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// DataSegs, HandleData, UnloadedModules, ProcessThreadData,
// PrivateReadWriteMemory, FullMemoryInfo and ThreadInfo.
constexpr MINIDUMP_TYPE kDumpType = static_cast<MINIDUMP_TYPE>(0x1B25);

// Written once by the constructor before the filter is installed, then only
// read by the filter on the crashing thread.
struct DumpState {
    HANDLE process = nullptr;
    HMODULE dbgHelp = nullptr;  // never freed: the filter may need it at any time
    DWORD processId = 0;
    MiniDumpWriteDumpFn writeDump = nullptr;
    std::string path;
};

DumpState g_dump;

// "\<program name>-<pid>.mdmp", or empty when the program path has no
// extension or no folder.
std::string dumpFileName(DWORD processId) {
    char modulePath[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    std::string name(modulePath, length);
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) return std::string();
    name = name.substr(0, dot) + "-" + std::to_string(processId) + ".mdmp";
    const size_t slash = name.find_last_of('\\');
    if (slash == std::string::npos) return std::string();
    return name.substr(slash);
}

}  // namespace

exception_handler::exception_handler() {
    g_dump.process = GetCurrentProcess();
    if (g_dump.dbgHelp == nullptr) g_dump.dbgHelp = LoadLibraryA("DbgHelp.dll");
    g_dump.processId = GetCurrentProcessId();

    const std::string fileName = dumpFileName(g_dump.processId);
    if (fileName.empty()) return;

    char currentDirectory[MAX_PATH];
    const DWORD length = GetCurrentDirectoryA(MAX_PATH, currentDirectory);
    if (length == 0 || length >= MAX_PATH) {
        TWLOG(LOG_ERROR, "GetCurrentDirectory failed: " << GetLastError());
        return;
    }
    g_dump.path = std::string(currentDirectory, length) + "\\logs" + fileName;

    if (g_dump.dbgHelp == nullptr) return;
    g_dump.writeDump = reinterpret_cast<MiniDumpWriteDumpFn>(GetProcAddress(g_dump.dbgHelp, "MiniDumpWriteDump"));
    if (g_dump.writeDump != nullptr) SetUnhandledExceptionFilter(exception_filter);
}

std::string exception_handler::dumpPath() { return g_dump.writeDump != nullptr ? g_dump.path : std::string(); }

LONG WINAPI exception_handler::exception_filter(EXCEPTION_POINTERS* pointers) {
    TWLOG(LOG_CRIT, "Caught exception in handler");
    if (g_dump.writeDump == nullptr) return EXCEPTION_EXECUTE_HANDLER;

    UniqueHandle file(CreateFileA(g_dump.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
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
