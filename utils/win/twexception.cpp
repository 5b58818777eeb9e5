#include "utils/win/twexception.h"

#include <windows.h>

#include "utils/win/winError.h"

twexception::twexception(int level, int win32Error, const char* message)
    : level_(level), win32Error_(win32Error), message_(message ? message : "") {
    if (win32Error_ > 0) {
        char* buffer = nullptr;
        // No arguments are passed, so a text with inserts ("%1") must keep them.
        constexpr DWORD kFlags =
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
        const DWORD length = FormatMessageA(kFlags, nullptr, static_cast<DWORD>(win32Error_), 0,
                                            reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
        if (length > 0 && buffer != nullptr) systemText_.assign(buffer, length);
        if (buffer != nullptr) LocalFree(buffer);
        // The text sits between two separators of what(), which is logged.
        trimMessageEnd(systemText_);
    }
    whatText_ = "Error " + std::to_string(win32Error_) + ": " + systemText_ + ": " + message_;
}
