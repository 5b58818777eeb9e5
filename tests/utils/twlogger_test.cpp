#include <gtest/gtest.h>

#include "support/testUtil.h"
#include "utils/twlogger.h"

TEST(Logger, WritesPrefixedLineWithCrLf) {
    testutil::LogCapture capture(6);
    TWLOG(LOG_INFO, "hello " << 42);
    closeLogFile();
    const std::string text = capture.text();
    EXPECT_NE(text.find("< Info   > twlogger_test.cpp:"), std::string::npos) << text;
    EXPECT_NE(text.find("hello 42\r\n"), std::string::npos) << text;
}
