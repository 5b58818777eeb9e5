#include "utils/win/stringconv.h"

#include <windows.h>

#include <cctype>
#include <vector>

bool toWide(const std::string& text, std::wstring& result) {
    if (text.empty()) {
        result.clear();
        return true;
    }
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length == 0) return false;
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), buffer.data(), length) == 0) {
        return false;
    }
    result.assign(buffer.data());
    return true;
}

bool toUtf8(const std::wstring& text, std::string& result) {
    if (text.empty()) {
        result.clear();
        return true;
    }
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (length == 0) return false;
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), buffer.data(), length, nullptr,
                            nullptr) == 0) {
        return false;
    }
    result.assign(buffer.data());
    return true;
}

std::wstring toWide(const std::string& text) {
    std::wstring result;
    toWide(text, result);
    return result;
}

std::string toUtf8(const std::wstring& text) {
    std::string result;
    toUtf8(text, result);
    return result;
}

bool iequals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const unsigned char ca = static_cast<unsigned char>(a[i]);
        const unsigned char cb = static_cast<unsigned char>(b[i]);
        if (ca != cb && std::toupper(ca) != std::toupper(cb)) return false;
    }
    return true;
}
