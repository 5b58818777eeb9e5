// main() of every test program: Winsock is up for the whole run, as it is in
// the service host, and a crash fails the run.
#include <winsock2.h>

#include <cstdio>

#include <gtest/gtest.h>

namespace {

// Under Wine an unhandled exception starts the debugger, after which the
// program ends with exit code 0: without this, a crash would count as a pass.
LONG WINAPI failTheRun(EXCEPTION_POINTERS* exception) {
    std::fprintf(stderr, "Unhandled exception 0x%08lx\n",
                 static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(failTheRun);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    WSACleanup();
    return result;
}
