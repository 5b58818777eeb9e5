#include "utils/win/exception_handler.h"

#include <winternl.h>
#include <dbghelp.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "utils/twlogger.h"
#include "utils/win/adminOnlySecurity.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                        ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);

// DataSegs, HandleData, UnloadedModules, ProcessThreadData,
// PrivateReadWriteMemory, FullMemoryInfo and ThreadInfo.
constexpr MINIDUMP_TYPE kDumpType = static_cast<MINIDUMP_TYPE>(0x1B25);

// Written once by the constructor before the filter is installed, then only
// read by the filter on the crashing thread, which allocates nothing: after a
// heap corruption the heap cannot be trusted.
struct DumpState {
    HANDLE process = nullptr;
    HMODULE dbgHelp = nullptr;  // never freed: the filter may need it at any time
    DWORD processId = 0;
    MiniDumpWriteDumpFn writeDump = nullptr;
    NtCreateFileFn createFile = nullptr;
    // The "logs" folder, held open without delete sharing so that it cannot
    // be swapped for a link while the process runs; dumps are made in it by
    // name relative to this handle.
    UniqueHandle folder;
    std::wstring prefix;    // "<program name>-"
    std::wstring fileName;  // "<program name>-<process id>.mdmp"
    UNICODE_STRING fileNameText{};
    std::string path;
};

DumpState g_dump;

// The program's file name without folder and extension; empty when its path
// has no extension or no folder.
std::wstring programName() {
    wchar_t modulePath[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    const std::wstring path(modulePath, length);
    const size_t dot = path.find_last_of(L'.');
    const size_t slash = path.find_last_of(L'\\');
    if (dot == std::wstring::npos || slash == std::wstring::npos || dot < slash) return std::wstring();
    return path.substr(slash + 1, dot - slash - 1);
}

// A full-memory dump of a SYSTEM process holds whatever the process held:
// only SYSTEM and Administrators may open it, whatever the folder grants.
// Never freed, as DbgHelp: the filter may need it at any time.
PSECURITY_DESCRIPTOR dumpSecurity() {
    static AdminOnlySecurity security(AdminOnlySecurity::Scope::Object);
    return security.descriptor();
}

bool isPlainFolder(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The folder itself, never what a link there points to. The path is asked
// too, once the folder is held: some systems open what a link points to
// even when asked for the link, and only its path shows the link.
UniqueHandle openDumpFolder(const std::wstring& folder) {
    UniqueHandle handle(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || !GetFileInformationByHandle(handle.get(), &info)) return UniqueHandle();
    if (!isPlainFolder(info.dwFileAttributes) || !isPlainFolder(GetFileAttributesW(folder.c_str()))) {
        TWLOG(LOG_ERROR, toUtf8(folder) << " is no plain folder; no crash dump is written there.");
        return UniqueHandle();
    }
    return handle;
}

// Opens or makes `name` in the dump folder; a link of that name is opened as
// itself.
UniqueHandle openInFolder(const std::wstring& name, ACCESS_MASK access, ULONG disposition, ULONG options) {
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, g_dump.folder.get(), nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE file = nullptr;
    const NTSTATUS result = g_dump.createFile(&file, access | SYNCHRONIZE, &attributes, &status, nullptr, 0,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                                              options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                                              nullptr, 0);
    return UniqueHandle(NT_SUCCESS(result) ? file : nullptr);
}

bool deleteInFolder(const std::wstring& name) {
    return static_cast<bool>(openInFolder(name, DELETE, FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE));
}

bool isDumpOfThisProgram(const FILE_ID_BOTH_DIR_INFO& entry, std::wstring& name) {
    name.assign(entry.FileName, entry.FileNameLength / sizeof(wchar_t));
    const std::wstring suffix = L".mdmp";
    return !(entry.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.size() > g_dump.prefix.size() + suffix.size() &&
           _wcsnicmp(name.c_str(), g_dump.prefix.c_str(), g_dump.prefix.size()) == 0 &&
           _wcsicmp(name.c_str() + name.size() - suffix.size(), suffix.c_str()) == 0;
}

// The program's dumps in the folder, newest first.
std::vector<std::pair<LONGLONG, std::wstring>> listDumps() {
    std::vector<std::pair<LONGLONG, std::wstring>> dumps;
    std::vector<BYTE> buffer(64 * 1024);
    FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
    while (
        GetFileInformationByHandleEx(g_dump.folder.get(), request, buffer.data(), static_cast<DWORD>(buffer.size()))) {
        request = FileIdBothDirectoryInfo;
        for (BYTE* at = buffer.data();;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            std::wstring name;
            if (isDumpOfThisProgram(*entry, name)) dumps.emplace_back(entry->LastWriteTime.QuadPart, name);
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
    std::sort(dumps.begin(), dumps.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    return dumps;
}

// Leaves the newest kept - 1 dumps of this program, so that repeated crashes
// cannot fill the disk, and none under this process's dump name: a file made
// anew gets the dump's own security, an overwritten one would keep its own.
void trimOldDumps() {
    deleteInFolder(g_dump.fileName);
    const auto dumps = listDumps();
    for (size_t i = exception_handler::kDumpsKept - 1; i < dumps.size(); ++i) deleteInFolder(dumps[i].second);
}

UniqueHandle createDumpFile() {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &g_dump.fileNameText, OBJ_CASE_INSENSITIVE, g_dump.folder.get(),
                               dumpSecurity());
    IO_STATUS_BLOCK status{};
    HANDLE file = nullptr;
    // A link planted under the dump's name is met as itself (and the name is
    // then taken), never followed to where it points.
    const NTSTATUS result = g_dump.createFile(
        &file, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, 0,
        FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    return UniqueHandle(NT_SUCCESS(result) ? file : nullptr);
}

bool prepareDumpFolder(const std::wstring& name) {
    wchar_t currentDirectory[MAX_PATH];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, currentDirectory);
    if (length == 0 || length >= MAX_PATH) {
        const DWORD error = length == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
        TWLOG(LOG_ERROR, "GetCurrentDirectory failed: " << error);
        return false;
    }
    const std::wstring folder = std::wstring(currentDirectory, length) + L"\\logs";
    g_dump.prefix = name + L"-";
    g_dump.fileName = g_dump.prefix + std::to_wstring(g_dump.processId) + L".mdmp";
    g_dump.fileNameText.Buffer = &g_dump.fileName[0];
    g_dump.fileNameText.Length = static_cast<USHORT>(g_dump.fileName.size() * sizeof(wchar_t));
    g_dump.fileNameText.MaximumLength = g_dump.fileNameText.Length;
    g_dump.path = toUtf8(folder + L"\\" + g_dump.fileName);
    // Nobody else makes it; what is found there is secured as what is made.
    AdminOnlySecurity::secureFolder(folder);
    g_dump.folder = openDumpFolder(folder);
    return static_cast<bool>(g_dump.folder);
}

}  // namespace

exception_handler::exception_handler() {
    g_dump.writeDump = nullptr;
    g_dump.process = GetCurrentProcess();
    // From System32: the current directory is the runtime's folder.
    if (g_dump.dbgHelp == nullptr) {
        g_dump.dbgHelp = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    g_dump.processId = GetCurrentProcessId();
    g_dump.createFile =
        reinterpret_cast<NtCreateFileFn>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateFile"));

    const std::wstring name = programName();
    if (name.empty() || g_dump.createFile == nullptr || !prepareDumpFolder(name)) return;
    if (g_dump.dbgHelp == nullptr || dumpSecurity() == nullptr) return;
    g_dump.writeDump = reinterpret_cast<MiniDumpWriteDumpFn>(GetProcAddress(g_dump.dbgHelp, "MiniDumpWriteDump"));
    if (g_dump.writeDump == nullptr) return;
    trimOldDumps();
    SetUnhandledExceptionFilter(exception_filter);
}

std::string exception_handler::dumpPath() { return g_dump.writeDump != nullptr ? g_dump.path : std::string(); }

// The dump is written before anything is logged: the logger allocates, which
// a corrupted heap may not survive.
LONG WINAPI exception_handler::exception_filter(EXCEPTION_POINTERS* pointers) {
    if (g_dump.writeDump == nullptr) {
        TWLOG(LOG_CRIT, "Caught exception in handler");
        return EXCEPTION_EXECUTE_HANDLER;
    }
    UniqueHandle file = createDumpFile();
    MINIDUMP_EXCEPTION_INFORMATION info;
    info.ThreadId = GetCurrentThreadId();
    info.ExceptionPointers = pointers;
    info.ClientPointers = FALSE;
    const bool written = file && g_dump.writeDump(g_dump.process, g_dump.processId, file.get(), kDumpType,
                                                  pointers ? &info : nullptr, nullptr, nullptr);
    const DWORD error = GetLastError();
    TWLOG(LOG_CRIT, "Caught exception in handler");
    if (written) {
        TWLOG(LOG_CRIT, "Write exception to " << g_dump.path);
    } else if (file) {
        TWLOG(LOG_EMERG, "Failed " << error << " to write crash dump " << g_dump.path);
    }
    return EXCEPTION_EXECUTE_HANDLER;
}
