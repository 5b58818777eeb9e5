#include "utils/win/stringUtils_host.h"

#include <windows.h>

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789abcdef";

// The 6-bit value of a base64 character, or -1.
int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Appends the bytes of `count` (2 to 4) collected 6-bit values: count - 1 bytes.
void appendGroup(const int* values, int count, std::string& out) {
    const unsigned bits = (static_cast<unsigned>(values[0]) << 18) | (static_cast<unsigned>(values[1]) << 12) |
                          (static_cast<unsigned>(count > 2 ? values[2] : 0) << 6) |
                          static_cast<unsigned>(count > 3 ? values[3] : 0);
    out += static_cast<char>((bits >> 16) & 0xFF);
    if (count > 2) out += static_cast<char>((bits >> 8) & 0xFF);
    if (count > 3) out += static_cast<char>(bits & 0xFF);
}

bool convert(UINT codePage, DWORD flags, const std::string& text, std::wstring& wide) {
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    std::wstring result(static_cast<size_t>(needed), L'\0');
    if (MultiByteToWideChar(codePage, flags, text.data(), length, &result[0], needed) != needed) return false;
    wide.swap(result);
    return true;
}

}  // namespace

int boundedCompare(const char* a, const char* b, size_t maxLength) {
    const unsigned char* left = reinterpret_cast<const unsigned char*>(a ? a : "");
    const unsigned char* right = reinterpret_cast<const unsigned char*>(b ? b : "");
    for (size_t i = 0; i < maxLength; ++i) {
        if (left[i] != right[i]) return static_cast<int>(left[i]) - static_cast<int>(right[i]);
        if (left[i] == 0) return 0;
    }
    return 0;
}

int base64Decode(const std::string& encoded, std::string& decoded) {
    decoded.clear();
    decoded.reserve(encoded.size() / 4 * 3 + 2);
    int group[4];
    int count = 0;
    for (const char c : encoded) {
        const int value = base64Value(static_cast<unsigned char>(c));
        if (value < 0) break;
        group[count++] = value;
        if (count == 4) {
            appendGroup(group, 4, decoded);
            count = 0;
        }
    }
    if (count >= 2) appendGroup(group, count, decoded);
    return 0;
}

int base64Encode(const unsigned char* data, size_t length, std::string& encoded) {
    encoded.clear();
    if (data == nullptr) length = 0;
    encoded.reserve((length + 2) / 3 * 4);
    for (size_t i = 0; i < length; i += 3) {
        const size_t remaining = length - i;
        const unsigned bits = (static_cast<unsigned>(data[i]) << 16) |
                              (remaining > 1 ? static_cast<unsigned>(data[i + 1]) << 8 : 0u) |
                              (remaining > 2 ? static_cast<unsigned>(data[i + 2]) : 0u);
        encoded += kBase64Alphabet[(bits >> 18) & 0x3F];
        encoded += kBase64Alphabet[(bits >> 12) & 0x3F];
        encoded += remaining > 1 ? kBase64Alphabet[(bits >> 6) & 0x3F] : '=';
        encoded += remaining > 2 ? kBase64Alphabet[bits & 0x3F] : '=';
    }
    return 0;
}

void toHexString(const unsigned char* data, size_t length, std::string& hex) {
    hex.clear();
    if (data == nullptr) return;
    hex.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        hex += kHexDigits[data[i] >> 4];
        hex += kHexDigits[data[i] & 0x0F];
    }
}

bool utf8OrAcpToWide(const std::string& text, std::wstring& wide) {
    if (text.empty()) {
        wide.clear();
        return true;
    }
    // Without MB_ERR_INVALID_CHARS bad UTF-8 would "succeed" as U+FFFD and the
    // ANSI code page would never be tried.
    return convert(CP_UTF8, MB_ERR_INVALID_CHARS, text, wide) || convert(CP_ACP, 0, text, wide);
}

bool utf8ToWide(const std::string& text, std::wstring& wide) {
    if (text.empty()) {
        wide.clear();
        return true;
    }
    return convert(CP_UTF8, MB_ERR_INVALID_CHARS, text, wide);
}
