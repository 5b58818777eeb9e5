#include "support/childProcesses.h"

#include <tlhelp32.h>

#include "utils/win/scopedHandle.h"

namespace testutil {

namespace {

bool imagePathOf(HANDLE process, std::wstring& path) {
    std::wstring buffer(32768, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process, 0, &buffer[0], &length)) return false;
    buffer.resize(length);
    path = buffer;
    return true;
}

bool samePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

}  // namespace

ChildProcesses::~ChildProcesses() {
    for (HANDLE process : processes_) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
}

DWORD ChildProcesses::start(const std::wstring& program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &info)) {
        return 0;
    }
    CloseHandle(info.hThread);
    processes_.push_back(info.hProcess);
    return info.dwProcessId;
}

bool ChildProcesses::end(DWORD processId) {
    for (HANDLE process : processes_) {
        if (GetProcessId(process) != processId) continue;
        TerminateProcess(process, 1);
        return WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
    }
    return false;
}

std::vector<DWORD> processesWithImage(const std::wstring& imagePath) {
    std::vector<DWORD> found;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return found;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        std::wstring path;
        if (process && imagePathOf(process.get(), path) && samePath(path, imagePath)) {
            found.push_back(entry.th32ProcessID);
        }
    }
    return found;
}

void endProcessesWithImage(const std::wstring& imagePath) {
    for (DWORD id : processesWithImage(imagePath)) {
        UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (!process) continue;
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
    }
}

}  // namespace testutil
