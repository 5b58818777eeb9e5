#include <gtest/gtest.h>

#include "utils/win/stringconv.h"

TEST(StringConversions, EmptyInputsGiveEmptyResults) {
    std::string narrow = "old";
    std::wstring wide = L"old";
    EXPECT_TRUE(toUtf8(L"", narrow));
    EXPECT_EQ(narrow, "");
    EXPECT_TRUE(toWide("", wide));
    EXPECT_EQ(wide, L"");
}

TEST(StringConversions, WideToUtf8KeepsNonAsciiAndStopsAtEmbeddedNul) {
    std::string narrow;
    ASSERT_TRUE(toUtf8(L"C:\\D\u00e9p\u00f4t\\\u65e5\u672c", narrow));
    EXPECT_EQ(narrow, "C:\\D\xc3\xa9p\xc3\xb4t\\\xe6\x97\xa5\xe6\x9c\xac");
    ASSERT_TRUE(toUtf8(std::wstring(L"ab\0cd", 5), narrow));
    EXPECT_EQ(narrow, "ab");
    std::wstring wide;
    ASSERT_TRUE(toWide("plain ascii", wide));
    EXPECT_EQ(wide, L"plain ascii");
}

TEST(Iequals, IgnoresCaseAndTreatsBytesAsUnsigned) {
    EXPECT_TRUE(iequals("ABC", "abc"));
    EXPECT_FALSE(iequals("abc", "abcd"));
    EXPECT_FALSE(iequals("abc", "abd"));
    EXPECT_TRUE(iequals("", ""));
    // Bytes above 0x7F must not reach toupper as negative values.
    EXPECT_TRUE(iequals("\xff\xe9Z", "\xff\xe9z"));
    EXPECT_FALSE(iequals("\xe9", "\xe8"));
}
