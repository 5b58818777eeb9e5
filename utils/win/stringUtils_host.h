// String and encoding routines that only the service host carries.
#pragma once

#include <cstddef>
#include <string>

// Compares at most `maxLength` bytes of two zero-terminated strings, never
// reading past either terminator. Returns the difference of the first unequal
// bytes (as unsigned values), 0 when they agree up to a common end or the
// limit. A null pointer counts as the empty string.
int boundedCompare(const char* a, const char* b, size_t maxLength);

// Standard alphabet with "=" padding. Decoding stops at the first "=" or at
// the first character outside the alphabet; a last group of k characters
// gives k - 1 bytes (nothing for a single one). Both always return 0.
int base64Decode(const std::string& encoded, std::string& decoded);
int base64Encode(const unsigned char* data, size_t length, std::string& encoded);

// Two lower-case hex digits per byte, high nibble first.
void toHexString(const unsigned char* data, size_t length, std::string& hex);

// UTF-8 when the text is valid UTF-8, otherwise the ANSI code page. An empty
// text gives an empty result and true.
bool utf8OrAcpToWide(const std::string& text, std::wstring& wide);
// UTF-8 only: text that is not valid UTF-8 fails rather than being altered.
bool utf8ToWide(const std::string& text, std::wstring& wide);
