#include <gtest/gtest.h>

#include "support/testUtil.h"
#include <winhttp.h>

#include "utils/win/stringconv.h"
#include "utils/win/twexception.h"
#include "utils/win/winError.h"

TEST(TwException, BuildsWhatTextOnceFromNumberSystemTextAndMessage) {
    const twexception none(3, 0, "Failed to open service manager.");
    EXPECT_STREQ(none.what(), "Error 0: : Failed to open service manager.");
    EXPECT_EQ(none.level(), 3);

    const twexception negative(3, -5, "m");
    EXPECT_STREQ(negative.what(), "Error -5: : m");

    const twexception noMessage(4, 0, nullptr);
    EXPECT_STREQ(noMessage.what(), "Error 0: : ");

    const twexception denied(3, ERROR_ACCESS_DENIED, "m");
    EXPECT_FALSE(denied.systemText().empty());
    EXPECT_EQ(std::string(denied.what()), "Error 5: " + denied.systemText() + ": m");

    const twexception copy = denied;
    EXPECT_STREQ(copy.what(), denied.what());
    EXPECT_EQ(copy.win32Error(), 5);
}

// Every error text ends a log record, so none may carry a line break or
// trailing blanks; texts with inserts are passed through with the inserts.
TEST(ErrorTexts, AreOneLineWithoutTrailingBreak) {
    struct Case {
        const char* name;
        DWORD code;
        bool winHttp;
    };
    const Case cases[] = {
        {"file not found", ERROR_FILE_NOT_FOUND, false},
        {"sharing violation", ERROR_SHARING_VIOLATION, false},
        {"with an insert", ERROR_BAD_EXE_FORMAT, false},
        {"winhttp", ERROR_WINHTTP_CANNOT_CONNECT, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text;
        toUtf8(c.winHttp ? winError::forWinHttp(c.code).text() : winError(c.code).text(), text);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
        EXPECT_NE(text.back(), ' ') << text;
        if (c.winHttp) continue;
        const twexception error(3, static_cast<int>(c.code), "m");
        EXPECT_EQ(error.systemText(), text);
        EXPECT_EQ(std::string(error.what()).find_first_of("\r\n"), std::string::npos) << error.what();
    }
}

TEST(ErrorTexts, LoggedErrorIsOneLine) {
    testutil::LogCapture log(8);
    winError(ERROR_FILE_NOT_FOUND).log("SetupCommitFileQueue() failed.");
    std::string systemText;
    toUtf8(winError(ERROR_FILE_NOT_FOUND).text(), systemText);
    const std::string text = log.text();
    EXPECT_NE(text.find("SetupCommitFileQueue() failed.:" + systemText + "\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\r\n\r\n"), std::string::npos) << "an empty line in the log: " << text;
}

TEST(WinError, SystemTextFallsBackToFormatMessagesOwnError) {
    const std::wstring known = winError(ERROR_ACCESS_DENIED).text();
    EXPECT_FALSE(known.empty());
    EXPECT_EQ(known.find(L"FormatMessage() failed"), std::wstring::npos);

    const std::wstring unknown = winError(0x2FFFFFFF).text();
    EXPECT_EQ(unknown.rfind(L"FormatMessage() failed, error=", 0), 0u) << std::string(unknown.begin(), unknown.end());
    EXPECT_NE(unknown, L"FormatMessage() failed, error=0");
}

TEST(WinError, ModuleTextFallsBackToWinHttpText) {
    const std::wstring unknown = winError::forWinHttp(12999).text();
    // Without a message table entry the module error names the number; Wine's
    // wininet may lack the table altogether, which gives the same text.
    EXPECT_EQ(unknown, L"WinHttp error!, error=12999");
}

TEST(WinError, LogWritesFormattedTextColonAndSystemText) {
    testutil::LogCapture log(8);
    EXPECT_TRUE(winError(ERROR_ACCESS_DENIED).log("Failed to delete %s", "C:\\x"));
    std::string expectedText;
    toUtf8(winError(ERROR_ACCESS_DENIED).text(), expectedText);
    EXPECT_TRUE(winError(0x2FFFFFFF).log("%s", std::string(600, 'a').c_str()));
    const std::string text = log.text();
    EXPECT_NE(text.find("< Error  > winError.h:"), std::string::npos) << text;
    EXPECT_NE(text.find("Failed to delete C:\\x:" + expectedText.substr(0, 10)), std::string::npos) << text;
    EXPECT_NE(text.find(std::string(511, 'a') + ":FormatMessage() failed"), std::string::npos)
        << "long messages are cut to 511 characters";
}

TEST(WinError, LogIsSilentButTrueWhenLevelThreeIsOff) {
    g_fileLogLevel.store(-1);
    EXPECT_TRUE(winError(ERROR_ACCESS_DENIED).log("x"));
}
