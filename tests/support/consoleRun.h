// Runs a console program and captures its standard output through a pipe
// (under Wine a file redirection may arrive empty).
#pragma once

#include <windows.h>

#include <string>

namespace testutil {

struct ConsoleResult {
    bool started = false;
    bool finished = false;  // false when it was still running at the time-out (it is then ended)
    DWORD exitCode = 0;
    std::string output;     // line ends as "\n"
};

ConsoleResult runConsole(const std::wstring& commandLine, DWORD timeoutMs = 60000);

}  // namespace testutil
