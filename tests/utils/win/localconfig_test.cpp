#include <gtest/gtest.h>

#include "support/testUtil.h"
#include "utils/win/localconfig.h"

namespace {

class LocalConfigTest : public ::testing::Test {
protected:
    testutil::MachineSettingsSandbox sandbox_;
};

DWORD rawValue(const char* name, DWORD& type, std::string& data) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tarnwell", 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    char buffer[4096];
    DWORD size = sizeof(buffer);
    const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return static_cast<DWORD>(-1);
    data.assign(buffer, size);
    return size;
}

}  // namespace

TEST_F(LocalConfigTest, RoundTripsStringsAsRegSz) {
    {
        localConfig config(false);
        ASSERT_TRUE(config.setString("Path", "C:\\Program Files\\Tarnwell\\"));
        ASSERT_TRUE(config.setString("empty", ""));
    }
    DWORD type = 0;
    std::string data;
    // The registry itself adds the terminator the writer leaves out.
    EXPECT_GE(rawValue("Path", type, data), strlen("C:\\Program Files\\Tarnwell\\"));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(rawValue("empty", type, data), 0u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    localConfig config(true);
    std::string value = "unchanged";
    ASSERT_TRUE(config.getString("Path", value));
    EXPECT_EQ(value, "C:\\Program Files\\Tarnwell\\");
    ASSERT_TRUE(config.getString("empty", value));
    EXPECT_EQ(value, "");
}

TEST_F(LocalConfigTest, ReadsValuesLongerThanTheFirstBuffer) {
    const std::string longText(1000, 'v');
    sandbox_.set("long", longText);
    localConfig config(true);
    std::string value;
    ASSERT_TRUE(config.getString("long", value));
    EXPECT_EQ(value, longText);
}

TEST_F(LocalConfigTest, MissingValueFailsWithOneDebugLine) {
    testutil::LogCapture log(8);
    localConfig config(true);
    std::string value = "unchanged";
    EXPECT_FALSE(config.getString("nothing-here", value));
    EXPECT_EQ(value, "unchanged");
    EXPECT_TRUE(log.contains("< Debug  > localconfig.cpp:")) << log.text();
    EXPECT_TRUE(log.contains("Failed to read key nothing-here error 2")) << log.text();
}

TEST_F(LocalConfigTest, BooleansAreTrueOrFalseInAnyCase) {
    sandbox_.set("a", "TRUE");
    sandbox_.set("b", "False");
    sandbox_.set("c", "yes");
    sandbox_.set("d", "1");
    localConfig config(true);
    bool value = false;
    ASSERT_TRUE(config.getBool("a", value));
    EXPECT_TRUE(value);
    ASSERT_TRUE(config.getBool("b", value));
    EXPECT_FALSE(value);
    value = true;
    EXPECT_FALSE(config.getBool("c", value));
    EXPECT_TRUE(value);
    EXPECT_FALSE(config.getBool("d", value));
    EXPECT_TRUE(value);
    EXPECT_FALSE(config.getBool("missing", value));
}

TEST_F(LocalConfigTest, IntegersFollowAtoi) {
    sandbox_.set("digits", "42abc");
    sandbox_.set("letters", "abc");
    // A number set by hand as a DWORD reads as its decimal text.
    const DWORD level = 7;
    ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, "Software\\Tarnwell", "level", REG_DWORD, &level, sizeof(level)),
              ERROR_SUCCESS);
    localConfig config(true);
    int value = -1;
    ASSERT_TRUE(config.getInt("digits", value));
    EXPECT_EQ(value, 42);
    ASSERT_TRUE(config.getInt("letters", value));
    EXPECT_EQ(value, 0);
    ASSERT_TRUE(config.getInt("level", value));
    EXPECT_EQ(value, 7);
    std::string text;
    ASSERT_TRUE(config.getString("level", text));
    EXPECT_EQ(text, "7");
    value = 7;
    EXPECT_FALSE(config.getInt("missing", value));
    EXPECT_EQ(value, 7);
}

TEST_F(LocalConfigTest, DeleteValueRemovesAndToleratesMissing) {
    sandbox_.set("gone", "x");
    localConfig config(false);
    config.deleteValue("gone");
    config.deleteValue("never-there");
    std::string value;
    EXPECT_FALSE(sandbox_.get("gone", value));
}

TEST(LocalConfigWithoutKey, LogsOnceAndFailsQuietly) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Tarnwell");
    testutil::LogCapture log(8);
    {
        localConfig config(false);
        std::string value;
        EXPECT_FALSE(config.isOpen());
        EXPECT_FALSE(config.getString("Path", value));
        EXPECT_FALSE(config.setString("Path", "x"));
        config.deleteValue("Path");
    }
    const std::string text = log.text();
    EXPECT_NE(text.find("< Error  > localconfig.cpp:"), std::string::npos) << text;
    EXPECT_NE(text.find("Couldn't open base registry key 2"), std::string::npos) << text;
    EXPECT_EQ(text.find("Failed to read key"), std::string::npos) << text;
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tarnwell", 0, KEY_READ, &key), ERROR_SUCCESS)
        << "the key is opened, never created";
}

TEST(RegKeyPair, ReadsStringsOnlyAndWritesTheDefaultView) {
    testutil::MachineSettingsSandbox sandbox;
    sandbox.set("text", "value");
    const DWORD number = 5;
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, "Software\\Tarnwell", "number", REG_DWORD, &number, sizeof(number));

    regKeyPair pair;
    pair.open(HKEY_LOCAL_MACHINE, "Software\\Tarnwell", regKeyPair::kDefaultView);
    EXPECT_FALSE(pair.wow64) << "a 64-bit process has no separate view";
    std::string value;
    ASSERT_TRUE(pair.readValue("text", value, 0));
    EXPECT_EQ(value, "value");
    EXPECT_FALSE(pair.readValue("number", value, 0));
    EXPECT_FALSE(pair.readValue("missing", value, 0));
    EXPECT_FALSE(pair.readValue("text", value, regKeyPair::k64BitView)) << "view not opened";
    pair.close();

    regKeyPair both;
    both.open(HKEY_LOCAL_MACHINE, "Software\\Tarnwell", 3);
    EXPECT_EQ(both.key2, nullptr);
    EXPECT_EQ(both.writeValue("written", "abc", 0), 3);
    both.close();
    ASSERT_TRUE(sandbox.get("written", value));
    EXPECT_EQ(value, "abc");

    regKeyPair onlyWide;
    onlyWide.open(HKEY_LOCAL_MACHINE, "Software\\Tarnwell", regKeyPair::k64BitView);
    EXPECT_EQ(onlyWide.key1, nullptr);
    EXPECT_EQ(onlyWide.key2, nullptr);
}
