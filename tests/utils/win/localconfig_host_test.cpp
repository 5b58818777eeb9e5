#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "support/fakeSessions.h"
#include "support/testUtil.h"
#include "utils/win/localconfig_host.h"
#include "utils/win/userInfo.h"

namespace {

constexpr const char* kUsersKey = "Software\\Tarnwell\\Users";

std::set<std::string> usersValueNames() {
    std::set<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUsersKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof(name);
        if (RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.insert(std::string(name, length));
    }
    RegCloseKey(key);
    return names;
}

// Gives "Users" an open DACL again, so the sandbox can remove it.
struct UsersKeyAccessRestorer {
    ~UsersKeyAccessRestorer() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUsersKey, 0, WRITE_DAC, &key) != ERROR_SUCCESS) return;
        SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
    }
};

class UserConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_.set("Path", "C:\\Tarnwell\\");
        sandbox_.set("dll_version", "1.2.3");
    }

    // The machine settings beside "Users" are never touched.
    void expectMachineSettingsKept() {
        std::string value;
        EXPECT_TRUE(sandbox_.get("Path", value));
        EXPECT_TRUE(sandbox_.get("dll_version", value));
    }

    testutil::MachineSettingsSandbox sandbox_;
    testutil::SessionSeams seams_;
};

}  // namespace

TEST_F(UserConfigTest, DeletesEveryUsersValueButTheLoggedInUsers) {
    seams_.sessions.logOnCurrentUser();
    const std::string sid = getLoggedInUserSid();
    ASSERT_FALSE(sid.empty());
    userConfig users(false);
    ASSERT_TRUE(users.setString(sid.c_str(), "mine"));
    ASSERT_TRUE(users.setString("S-1-5-21-1-2-3-1001", "other"));
    ASSERT_TRUE(users.setString((sid + "0").c_str(), "a longer name"));

    EXPECT_TRUE(users.deleteUserValues());
    EXPECT_EQ(usersValueNames(), std::set<std::string>{sid});
    std::string value;
    EXPECT_TRUE(users.getString(sid.c_str(), value));
    EXPECT_EQ(value, "mine");
    expectMachineSettingsKept();
}

TEST_F(UserConfigTest, WithoutALoggedInUserNothingIsDeleted) {
    userConfig users(false);
    ASSERT_TRUE(users.setString("S-1-5-21-1-2-3-1001", "other"));
    EXPECT_FALSE(users.deleteUserValues());
    EXPECT_EQ(usersValueNames(), std::set<std::string>{"S-1-5-21-1-2-3-1001"});
}

TEST_F(UserConfigTest, TheBaseKeyObjectRemovesOnlyTheUsersTree) {
    seams_.sessions.logOnCurrentUser();
    {
        userConfig users(false);
        ASSERT_TRUE(users.setString("S-1-5-21-1-2-3-1001", "other"));
    }
    userConfig base(true);
    EXPECT_FALSE(base.deleteUserValues()) << "the machine settings are not per-user values";
    expectMachineSettingsKept();

    EXPECT_TRUE(base.deleteUsersTree());
    HKEY users = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUsersKey, 0, KEY_READ, &users), ERROR_FILE_NOT_FOUND);
    expectMachineSettingsKept();
    EXPECT_FALSE(base.deleteUsersTree());
}

TEST_F(UserConfigTest, AnInaccessibleUsersKeyIsNotReplacedByTheMachineSettings) {
    // "Users" with a DACL that grants nobody anything.
    UsersKeyAccessRestorer restorer;
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUsersKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created,
                              nullptr),
              ERROR_SUCCESS);
    ACL emptyAcl;
    InitializeAcl(&emptyAcl, sizeof(emptyAcl), ACL_REVISION);
    SetSecurityInfo(created, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                    nullptr, nullptr, &emptyAcl, nullptr);
    RegCloseKey(created);
    HKEY probe = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUsersKey, 0, KEY_ALL_ACCESS, &probe) == ERROR_SUCCESS) {
        RegCloseKey(probe);
        GTEST_SKIP() << "the registry here does not enforce the key's DACL";
    }

    testutil::LogCapture log;
    {
        userConfig users(false);
        EXPECT_FALSE(users.setString("S-1-5-21-1-2-3-1001", "other"));
        EXPECT_FALSE(users.deleteUserValues());
    }
    EXPECT_TRUE(log.contains("Couldn't open user subkey: 5"));
    std::string value;
    EXPECT_FALSE(sandbox_.get("S-1-5-21-1-2-3-1001", value));
    expectMachineSettingsKept();
}
