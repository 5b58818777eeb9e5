// Programs started for a test and ended when it ends, and what Tool Help
// says is running.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testutil {

// Starts `program` (quoted) with `arguments`; ends every started process when
// destroyed.
class ChildProcesses {
public:
    ChildProcesses() = default;
    ~ChildProcesses();
    ChildProcesses(const ChildProcesses&) = delete;
    ChildProcesses& operator=(const ChildProcesses&) = delete;

    // The process id, 0 when the program could not be started.
    DWORD start(const std::wstring& program, const std::wstring& arguments = L"");
    // Ends the process and waits for it.
    bool end(DWORD processId);

private:
    std::vector<HANDLE> processes_;
};

// Ids of the running processes whose image path equals `imagePath` (ignoring
// letter case).
std::vector<DWORD> processesWithImage(const std::wstring& imagePath);
// Ends every running process whose image path equals `imagePath`.
void endProcessesWithImage(const std::wstring& imagePath);

}  // namespace testutil
