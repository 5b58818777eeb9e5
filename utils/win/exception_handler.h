// Writes a minidump into the "logs" folder under the current directory (made
// when missing) when an exception reaches no handler, readable by SYSTEM and
// Administrators only, and keeps the newest few of the program's dumps. The
// folder is opened once, at installation, and must be a plain folder there
// and then (not a link); dumps are made relative to it. Linked only into the
// service host.
#pragma once

#include <windows.h>

#include <string>

class exception_handler {
public:
    // The dumps of the program that remain after a crash, its own included.
    static constexpr size_t kDumpsKept = 5;

    // Sets up the process-wide dump state, trims the program's older dumps
    // and installs the filter when DbgHelp offers MiniDumpWriteDump and the
    // folder is there. Create it after the current directory is set.
    exception_handler();

    static LONG WINAPI exception_filter(EXCEPTION_POINTERS* pointers);

    // The file a crash is written to; empty while no filter is installed.
    static std::string dumpPath();
};
