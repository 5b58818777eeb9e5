#include "utils/win/winError.h"

#include "utils/win/scopedHandle.h"

namespace {

template <typename Text>
void trimTrailingBreaks(Text& text) {
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ' ||
                       text[end - 1] == '\t')) {
        --end;
    }
    text.resize(end);
}

// wininet.dll's message table, mapped as data: no code of it runs, and the
// file comes from the system folder whatever the search path holds.
class WinInetMessageTable {
public:
    WinInetMessageTable() {
        wchar_t folder[MAX_PATH];
        const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return;
        const std::wstring path = std::wstring(folder, length) + L"\\wininet.dll";
        module_.reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    }

    HMODULE module() const { return module_.get(); }

private:
    UniqueModule module_;
};

}  // namespace

void trimMessageEnd(std::wstring& text) { trimTrailingBreaks(text); }
void trimMessageEnd(std::string& text) { trimTrailingBreaks(text); }

HMODULE winError::winInetMessages() {
    static const WinInetMessageTable table;  // loaded once, safely from any thread
    return table.module();
}

std::wstring winError::text() const {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(flags_, module_, code_, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                        reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length > 0 && buffer != nullptr) {
        std::wstring result(buffer, length);
        LocalFree(buffer);
        trimMessageEnd(result);
        return result;
    }
    const DWORD formatError = GetLastError();
    if (buffer != nullptr) LocalFree(buffer);
    if (module_ != nullptr) return L"WinHttp error!, error=" + std::to_wstring(code_);
    return L"FormatMessage() failed, error=" + std::to_wstring(formatError);
}
