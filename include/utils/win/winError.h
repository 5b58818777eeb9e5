// A Windows or WinHTTP error number with its message text. Built on the stack
// right after a failed call; log() writes the caller's text, ":" and the
// system's text at level 3.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "utils/twlogger.h"
#include "utils/win/stringconv.h"

// Cuts the line break (and blanks) that FormatMessage leaves at the end of a
// system message.
void trimMessageEnd(std::wstring& text);
void trimMessageEnd(std::string& text);

class winError {
public:
    static constexpr DWORD kSystemFlags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    static constexpr DWORD kModuleFlags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_HMODULE;

    // A Windows error from the system's message table.
    explicit winError(DWORD code) : flags_(kSystemFlags), module_(nullptr), code_(code) {}

    // An error whose text lives in the message table of `module`, which the
    // caller keeps loaded for as long as this object lives.
    winError(DWORD code, HMODULE module) : flags_(module ? kModuleFlags : kSystemFlags), module_(module), code_(code) {}

    // A WinHTTP error (12000..12175): its texts are in wininet.dll's table,
    // loaded once per process as data from the system folder.
    static winError forWinHttp(DWORD code) { return winError(code, winInetMessages()); }

    virtual ~winError() = default;

    winError(const winError&) = delete;
    winError& operator=(const winError&) = delete;

    DWORD code() const { return code_; }

    // The message text on one line: the system's trailing line break and
    // blanks are cut, since the text ends a log record.
    std::wstring text() const;

    bool log(const char* format, ...) const __attribute__((format(printf, 2, 3))) {
        char message[512];
        va_list args;
        va_start(args, format);
        const int written = vsnprintf(message, sizeof(message), format, args);
        va_end(args);
        if (written < 0) message[0] = '\0';
        std::string errorText;
        toUtf8(text(), errorText);
        TWLOG(LOG_ERROR, message << ":" << errorText);
        return true;
    }

private:
    static HMODULE winInetMessages();

    DWORD flags_;
    HMODULE module_;
    DWORD code_;
};
