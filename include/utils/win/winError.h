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

class winError {
public:
    static constexpr DWORD kSystemFlags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    static constexpr DWORD kModuleFlags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_HMODULE;

    // A Windows error from the system's message table.
    explicit winError(DWORD code) : flags_(kSystemFlags), module_(nullptr), code_(code) {}

    // An error whose text lives in the message table of `module` (owned).
    winError(DWORD code, HMODULE module) : flags_(module ? kModuleFlags : kSystemFlags), module_(module), code_(code) {}

    // A WinHTTP error (12000..12175): its texts are in wininet.dll's table.
    static winError forWinHttp(DWORD code) { return winError(code, LoadLibraryW(L"wininet.dll")); }

    virtual ~winError() {
        if (module_ != nullptr) FreeLibrary(module_);
    }

    winError(const winError&) = delete;
    winError& operator=(const winError&) = delete;

    DWORD code() const { return code_; }

    std::wstring text() const {
        wchar_t* buffer = nullptr;
        const DWORD length = FormatMessageW(flags_, module_, code_, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                            reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
        if (length > 0 && buffer != nullptr) {
            std::wstring result(buffer, length);
            LocalFree(buffer);
            return result;
        }
        const DWORD formatError = GetLastError();
        if (buffer != nullptr) LocalFree(buffer);
        if (module_ != nullptr) return L"WinHttp error!, error=" + std::to_wstring(code_);
        return L"FormatMessage() failed, error=" + std::to_wstring(formatError);
    }

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
    DWORD flags_;
    HMODULE module_;
    DWORD code_;
};
