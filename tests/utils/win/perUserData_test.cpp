#include <gtest/gtest.h>

#include <string>

#include "support/fakeSessions.h"
#include "support/testUtil.h"
#include "utils/win/perUserData.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/userInfo.h"

namespace {

constexpr const char* kUserSettings = "\\SOFTWARE\\Tarnwell";

// The logged-on user's "\SOFTWARE\Tarnwell" read straight from HKEY_USERS,
// removed at the end.
class UserHive {
public:
    explicit UserHive(const std::string& sid) : path_(sid + kUserSettings) {}
    ~UserHive() { RegDeleteTreeA(HKEY_USERS, path_.c_str()); }

    bool read(const char* name, DWORD& type, std::string& data) const {
        HKEY opened = nullptr;
        if (RegOpenKeyExA(HKEY_USERS, path_.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
        UniqueRegKey key(opened);
        // The raw data, as stored (RegGetValue would add a NUL to a string).
        BYTE buffer[256] = {};
        DWORD size = sizeof(buffer);
        if (RegQueryValueExA(key.get(), name, nullptr, &type, buffer, &size) != ERROR_SUCCESS) return false;
        data.assign(reinterpret_cast<const char*>(buffer), size);
        return true;
    }

private:
    std::string path_;
};

}  // namespace

TEST(PerUserData, RoundTripsUnderTheUsersHive) {
    testutil::SessionSeams seams;
    seams.sessions.logOnCurrentUser();
    const std::string sid = getLoggedInUserSid();
    ASSERT_FALSE(sid.empty());
    UserHive hive(sid);

    perUserData settings;
    ASSERT_TRUE(settings.openUserKey(kUserSettings));
    EXPECT_TRUE(settings.setString("reboot-mode", "TRUE"));
    EXPECT_TRUE(settings.setDword("EnableLegacyBalloonNotifications", 1));

    bool flag = false;
    EXPECT_TRUE(settings.getBool("reboot-mode", flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(settings.setString("reboot-mode", "false"));
    EXPECT_TRUE(settings.getBool("reboot-mode", flag));
    EXPECT_FALSE(flag);

    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(hive.read("reboot-mode", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    // Written without its terminating NUL; Wine stores (or reports) one anyway.
    EXPECT_STREQ(data.c_str(), "false");
    ASSERT_TRUE(hive.read("EnableLegacyBalloonNotifications", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, std::string("\x01\x00\x00\x00", 4));

    settings.deleteValue("reboot-mode");
    EXPECT_FALSE(hive.read("reboot-mode", type, data));
}

TEST(PerUserData, OnlyTrueAndFalseReadAsBooleans) {
    testutil::SessionSeams seams;
    seams.sessions.logOnCurrentUser();
    UserHive hive(getLoggedInUserSid());
    perUserData settings;
    ASSERT_TRUE(settings.openUserKey(kUserSettings));
    EXPECT_TRUE(settings.setString("flag", "1"));
    bool flag = true;
    EXPECT_FALSE(settings.getBool("flag", flag));
    EXPECT_TRUE(flag) << "a refused text leaves the value unchanged";

    testutil::LogCapture log;
    EXPECT_FALSE(settings.getBool("missing", flag));
    EXPECT_TRUE(log.contains("Failed to read key missing error 2"));
}

TEST(PerUserData, NoUserFailsQuietlyAndQuickly) {
    testutil::SessionSeams seams;
    testutil::LogCapture log;
    perUserData settings;
    bool flag = false;
    EXPECT_FALSE(settings.getBool("reboot-mode", flag));
    EXPECT_EQ(log.text(), "") << "a read before opening logs nothing";

    EXPECT_FALSE(settings.openUserKey(kUserSettings));
    EXPECT_TRUE(log.contains("Couldn't create subkey: \\SOFTWARE\\Tarnwell reason:"));
    EXPECT_FALSE(settings.setString("reboot-mode", "false"));
    EXPECT_FALSE(settings.setDword("x", 1));
    EXPECT_FALSE(settings.getBool("reboot-mode", flag));
    settings.deleteValue("reboot-mode");

    HKEY stray = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_USERS, "SOFTWARE\\Tarnwell", 0, KEY_READ, &stray), ERROR_SUCCESS)
        << "nothing may be written outside a user's hive";
    if (stray != nullptr) RegCloseKey(stray);
}
