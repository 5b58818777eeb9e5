#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/fakeSessions.h"
#include "support/testUtil.h"
#include "utils/win/perUserData.h"
#include "utils/win/userInfo.h"

TEST(PerUserDataString, ReadsLongTextsWholeAndFailsQuietlyWithoutAKey) {
    testutil::SessionSeams seams;
    testutil::LogCapture log;
    perUserData settings;
    std::string value = "kept";
    EXPECT_FALSE(settings.getString("anything", value));
    EXPECT_EQ(value, "kept");
    EXPECT_EQ(log.text(), "");

    seams.sessions.logOnCurrentUser();
    const std::string path = getLoggedInUserSid() + "\\SOFTWARE\\Tarnwell";
    ASSERT_TRUE(settings.openUserKey("\\SOFTWARE\\Tarnwell"));
    const std::string longText(700, 'x');
    ASSERT_TRUE(settings.setString("long", longText.c_str()));
    EXPECT_TRUE(settings.getString("long", value));
    EXPECT_EQ(value, longText);

    EXPECT_FALSE(settings.getString("missing", value));
    EXPECT_EQ(value, longText);
    EXPECT_TRUE(log.contains("Failed to read key missing error 2"));
    RegDeleteTreeA(HKEY_USERS, path.c_str());
}
