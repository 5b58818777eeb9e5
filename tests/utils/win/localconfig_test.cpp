#include <gtest/gtest.h>

#include "support/testUtil.h"
#include "utils/win/localconfig.h"

TEST(LocalConfig, RoundTripsAString) {
    testutil::MachineSettingsSandbox sandbox;
    {
        localConfig config(false);
        ASSERT_TRUE(config.setString("Path", "C:\\Program Files\\Tarnwell\\"));
    }
    localConfig config(true);
    std::string value;
    ASSERT_TRUE(config.getString("Path", value));
    EXPECT_EQ(value, "C:\\Program Files\\Tarnwell\\");
}
