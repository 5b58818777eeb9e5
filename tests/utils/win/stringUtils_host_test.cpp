#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "utils/win/stringUtils_host.h"

namespace {

// Two pages, the second inaccessible: a string placed flush against the end
// of the first faults on any read past its terminator.
class GuardedPage {
public:
    GuardedPage() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        pageSize_ = info.dwPageSize;
        base_ = static_cast<char*>(VirtualAlloc(nullptr, pageSize_ * 2, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + pageSize_, pageSize_, PAGE_NOACCESS, &old);
    }
    ~GuardedPage() { VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;

    const char* placeAtEnd(const char* text) {
        const size_t size = strlen(text) + 1;
        char* at = base_ + pageSize_ - size;
        memcpy(at, text, size);
        return at;
    }

private:
    size_t pageSize_ = 0;
    char* base_ = nullptr;
};

std::string decode(const std::string& text) {
    std::string out = "previous";
    EXPECT_EQ(base64Decode(text, out), 0);
    return out;
}

std::string encode(const std::string& bytes) {
    std::string out;
    EXPECT_EQ(base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out), 0);
    return out;
}

}  // namespace

TEST(BoundedCompare, ComparesUpToTheLimitOrACommonEnd) {
    EXPECT_EQ(boundedCompare("abcdefghij", "abcdefghij", 100), 0);
    EXPECT_EQ(boundedCompare("abcdefghiX", "abcdefghiY", 9), 0);
    EXPECT_EQ(boundedCompare("abcdefghiX", "abcdefghiY", 10), 'X' - 'Y');
    EXPECT_EQ(boundedCompare("ab", "abc", 10), -'c');
    EXPECT_EQ(boundedCompare("\xff", "a", 1), 0xff - 'a');
    EXPECT_EQ(boundedCompare("same", "same", 0), 0);
    EXPECT_EQ(boundedCompare(nullptr, "", 4), 0);
    EXPECT_LT(boundedCompare(nullptr, "a", 4), 0);
}

TEST(BoundedCompare, NeverReadsPastEitherTerminator) {
    GuardedPage left;
    GuardedPage right;
    for (const char* text : {"", "a", "abcdefg", "abcdefgh", "abcdefghi"}) {
        EXPECT_EQ(boundedCompare(left.placeAtEnd(text), right.placeAtEnd(text), 4096), 0) << text;
    }
    EXPECT_GT(boundedCompare(left.placeAtEnd("abcdefgh1"), right.placeAtEnd("abcdefgh"), 4096), 0);
}

TEST(Base64, KnownTextsAndRoundTrips) {
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("f"), "Zg==");
    EXPECT_EQ(encode("fo"), "Zm8=");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(decode("Zm9vYmFy"), "foobar");
    EXPECT_EQ(decode("Zm8="), "fo");
    EXPECT_EQ(decode("Zg"), "f");

    std::mt19937 random(11);
    for (size_t length = 0; length < 40; ++length) {
        std::string bytes;
        for (size_t i = 0; i < length; ++i) bytes += static_cast<char>(random() & 0xFF);
        EXPECT_EQ(decode(encode(bytes)), bytes) << length;
    }
}

TEST(Base64, MalformedInputDecodesOnlyItsValidStart) {
    EXPECT_EQ(decode("Zm9v YmFy"), "foo");
    EXPECT_EQ(decode("=Zm9v"), "");
    EXPECT_EQ(decode("Z"), "");
    EXPECT_EQ(decode("Zm9vY"), "foo");
    EXPECT_EQ(decode(std::string("Zm9v\0YmFy", 9)), "foo");
    EXPECT_EQ(decode("\x80\xff\xc3\xa9Zm9v"), "");

    // Any bytes at all: the output never outgrows three bytes per four characters.
    std::mt19937 random(5);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const size_t length = random() % 64;
        for (size_t i = 0; i < length; ++i) text += static_cast<char>(random() & 0xFF);
        const std::string out = decode(text);
        EXPECT_LE(out.size(), text.size() * 3 / 4 + 1);
    }
}

TEST(HexString, TwoLowerCaseDigitsPerByte) {
    const unsigned char bytes[] = {0x00, 0xAB};
    std::string hex = "previous";
    toHexString(bytes, sizeof(bytes), hex);
    EXPECT_EQ(hex, "00ab");
    toHexString(bytes, 0, hex);
    EXPECT_EQ(hex, "");
}

TEST(WideConversion, Utf8FirstThenTheAnsiCodePage) {
    std::wstring wide = L"previous";
    EXPECT_TRUE(utf8OrAcpToWide("", wide));
    EXPECT_EQ(wide, L"");
    EXPECT_TRUE(utf8OrAcpToWide("M\xC3\xBCller", wide));
    EXPECT_EQ(wide, L"M\u00FCller");
    EXPECT_TRUE(utf8ToWide(std::string("a\0b", 3), wide));
    EXPECT_EQ(wide, std::wstring(L"a\0b", 3));

    // Not UTF-8: utf8ToWide refuses it rather than altering it.
    const std::string ansi = "M\xFCller";
    wide = L"kept";
    EXPECT_FALSE(utf8ToWide(ansi, wide));
    EXPECT_EQ(wide, L"kept");
    if (GetACP() == CP_UTF8) GTEST_SKIP() << "the ANSI code page is UTF-8";
    wchar_t expected[16] = {};
    const int length = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), expected, 16);
    EXPECT_TRUE(utf8OrAcpToWide(ansi, wide));
    EXPECT_EQ(wide, std::wstring(expected, static_cast<size_t>(length)));
    EXPECT_EQ(wide.find(L'\uFFFD'), std::wstring::npos);
}
