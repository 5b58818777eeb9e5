#include "utils/win/twexception.h"

#include <windows.h>

twexception::twexception(int level, int win32Error, const char* message)
    : level_(level), win32Error_(win32Error), message_(message ? message : "") {
    if (win32Error_ > 0) {
        char* buffer = nullptr;
        const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                            static_cast<DWORD>(win32Error_), 0, reinterpret_cast<LPSTR>(&buffer), 0,
                                            nullptr);
        if (length > 0 && buffer != nullptr) systemText_.assign(buffer, length);
        if (buffer != nullptr) LocalFree(buffer);
    }
    whatText_ = "Error " + std::to_string(win32Error_) + ": " + systemText_ + ": " + message_;
}
