// Conversions between the system's ANSI, wide and UTF-8 strings.
#pragma once

#include <string>

// The text in the system's ANSI code page as a wide string.
bool toWide(const std::string& text, std::wstring& result);
// The wide text in UTF-8.
bool toUtf8(const std::wstring& text, std::string& result);
// The same, returning the result (empty when the conversion fails).
std::wstring toWide(const std::string& text);
std::string toUtf8(const std::wstring& text);
// Equality without regard to letter case.
bool iequals(const std::string& a, const std::string& b);
