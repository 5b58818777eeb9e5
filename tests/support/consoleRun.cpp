#include "support/consoleRun.h"

#include <thread>
#include <vector>

#include "utils/win/scopedHandle.h"

namespace testutil {

namespace {

std::string withoutCarriageReturns(const std::string& text) {
    std::string result;
    for (char c : text) {
        if (c != '\r') result += c;
    }
    return result;
}

}  // namespace

ConsoleResult runConsole(const std::wstring& commandLine, DWORD timeoutMs) {
    ConsoleResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return result;
    UniqueHandle reader(readEnd);
    UniqueHandle writer(writeEnd);
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.get();
    startup.hStdError = writer.get();
    startup.hStdInput = nullptr;
    PROCESS_INFORMATION process{};
    std::vector<wchar_t> command(commandLine.begin(), commandLine.end());
    command.push_back(L'\0');
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        return result;
    }
    result.started = true;
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    writer.reset();  // the child holds the only write end now

    std::string output;
    std::thread drain([&] {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(reader.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) output.append(buffer, read);
    });
    result.finished = WaitForSingleObject(processHandle.get(), timeoutMs) == WAIT_OBJECT_0;
    if (!result.finished) TerminateProcess(processHandle.get(), 1);
    WaitForSingleObject(processHandle.get(), 5000);
    drain.join();
    GetExitCodeProcess(processHandle.get(), &result.exitCode);
    result.output = withoutCarriageReturns(output);
    return result;
}

}  // namespace testutil
