#include "utils/win/service_helper.h"

#include <gtest/gtest.h>

#include <numeric>

#include "support/logLines.h"
#include "support/serviceSandbox.h"
#include "support/testUtil.h"


namespace {

const char* const kServiceName = "twtest_helper";

class ServiceHelperTest : public ::testing::Test {
protected:
    // Creates the test service as an own-process, demand-start service.
    std::unique_ptr<service_helper> createTestService(const std::string& behaviour) {
        EXPECT_TRUE(testutil::placeTestService(dir_.path(), "helpersvc.exe", behaviour));
        auto helper = std::make_unique<service_helper>(kServiceName, SC_MANAGER_ALL_ACCESS,
                                                       DELETE | SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS);
        service_config config;
        EXPECT_TRUE(helper->createService(L"Palvane test service", L"Started by the tests",
                                          L"\"" + dir_.wpath() + L"helpersvc.exe\"", config));
        return helper;
    }

    std::string events() {
        std::string content;
        testutil::readFile(dir_.file("helpersvc.events"), content);
        return content;
    }

    testutil::ServiceSandbox sandbox_{kServiceName};
    testutil::TempDir dir_;
};

}  // namespace

TEST(ServicePause, FollowsATenthOfTheWaitHintBetweenOneAndTenSeconds) {
    EXPECT_EQ(servicePauseFor(0), 1000u);
    EXPECT_EQ(servicePauseFor(9999), 1000u);
    EXPECT_EQ(servicePauseFor(50000), 5000u);
    EXPECT_EQ(servicePauseFor(100000), 10000u);
    EXPECT_EQ(servicePauseFor(0xFFFFFFFFu), 10000u);
}

TEST_F(ServiceHelperTest, CreatesStartsStopsAndDeletesAService) {
    testutil::FastPauseClock clock;
    testutil::LogCapture log;
    auto helper = createTestService("");
    ASSERT_TRUE(helper->hasServiceHandle());
    DWORD state = 0;
    ASSERT_TRUE(helper->queryService(state));
    EXPECT_EQ(state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(testutil::readServiceConfig(kServiceName).description, "Started by the tests");

    ASSERT_TRUE(helper->startService()) << log.text();
    EXPECT_TRUE(testutil::loggedAt(log.text(), "Service started successfully", "Debug"));
    EXPECT_EQ(testutil::serviceState(kServiceName), static_cast<DWORD>(SERVICE_RUNNING));

    EXPECT_TRUE(helper->startService());
    EXPECT_TRUE(testutil::loggedAt(log.text(), std::string(kServiceName) + " is already running.", "Info"));
    EXPECT_EQ(events(), "start\n") << "a running service is not started again";

    ASSERT_TRUE(helper->stopService());
    EXPECT_TRUE(testutil::loggedAt(log.text(), "Service stopped successfully.", "Info"));
    EXPECT_TRUE(helper->stopService());
    EXPECT_TRUE(testutil::loggedAt(log.text(), "Service is already stopped", "Debug"));

    ASSERT_TRUE(helper->deleteService());
    EXPECT_FALSE(helper->hasServiceHandle());
    EXPECT_FALSE(helper->deleteService());
    EXPECT_TRUE(testutil::loggedAt(log.text(), std::string("Failed to open service: ") + kServiceName, "Error"));
}

TEST_F(ServiceHelperTest, OpenServiceKeepsTheErrorOfAMissingService) {
    service_helper helper("twtest_no_such_service", SC_MANAGER_ALL_ACCESS, SERVICE_QUERY_STATUS);
    EXPECT_EQ(helper.lastError(), 0u);
    helper.openService();
    EXPECT_FALSE(helper.hasServiceHandle());
    EXPECT_EQ(helper.lastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    DWORD state = 0;
    EXPECT_FALSE(helper.queryService(state));
}

TEST_F(ServiceHelperTest, AServiceThatFailsToStartIsReportedWithItsState) {
    testutil::FastPauseClock clock;
    testutil::LogCapture log;
    auto helper = createTestService("start=fail\n");
    EXPECT_FALSE(helper->startService());
    // Windows starts it and sees it stop; Wine fails the start itself (1053).
    const std::string name = kServiceName;
    EXPECT_TRUE(testutil::loggedAt(log.text(), name + " is not in running state, state=1", "Error") ||
                testutil::loggedAt(log.text(), name + " :startService failed: 1053", "Error"))
        << log.text();
}

TEST_F(ServiceHelperTest, ASlowStartIsWaitedForWhileItsCheckpointAdvances) {
    testutil::FastPauseClock clock;
    auto helper = createTestService("start=slow\ndelay=1500\nhint=1000\n");
    EXPECT_TRUE(helper->startService());
    EXPECT_EQ(testutil::serviceState(kServiceName), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServiceHelperTest, AStartThatMakesNoProgressEndsAfterTheWaitHint) {
    testutil::FastPauseClock clock;
    testutil::LogCapture log;
    auto helper = createTestService("start=stuck\nhint=500\n");
    const DWORD begin = GetTickCount();
    EXPECT_FALSE(helper->startService());
    EXPECT_LT(GetTickCount() - begin, 5000u);
    EXPECT_TRUE(testutil::loggedAt(log.text(), std::string(kServiceName) + " is not in running state, state=2", "Error"));
}

// A start that keeps reporting progress, and a stop under way before it, end
// within the start budget.
TEST_F(ServiceHelperTest, AStartThatKeepsProgressingEndsWithinTheBudget) {
    auto helper = createTestService("start=slow\ndelay=600000\nhint=600000\n");
    testutil::VirtualClock clock;
    testutil::LogCapture log;
    EXPECT_FALSE(helper->startService());
    EXPECT_TRUE(testutil::loggedAt(log.text(), std::string(kServiceName) + " is not in running state, state=2", "Error"));
    const uint32_t waited = std::accumulate(clock.pauses().begin(), clock.pauses().end(), 0u);
    EXPECT_EQ(waited, service_helper::kStartBudgetMs);
}

// A service that never stops: whatever its wait hint (none, or ten minutes)
// or when it ignores the command, the stop ends within its 30 s budget and no
// pause is longer than the pause rule allows.
class ServiceThatDoesNotStop : public ServiceHelperTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ServiceThatDoesNotStop, StopTimesOutWithinTheBudget) {
    auto helper = createTestService(GetParam());
    {
        testutil::FastPauseClock clock;
        ASSERT_TRUE(helper->startService());
    }
    testutil::VirtualClock clock;
    testutil::LogCapture log;
    EXPECT_FALSE(helper->stopService());
    EXPECT_TRUE(testutil::loggedAt(log.text(), "Service stop timed out.", "Warn"));
    ASSERT_FALSE(clock.pauses().empty());
    for (uint32_t pause : clock.pauses()) EXPECT_LE(pause, 10000u);
    const uint32_t waited = std::accumulate(clock.pauses().begin(), clock.pauses().end(), 0u);
    EXPECT_GE(waited, service_helper::kStopBudgetMs);
    EXPECT_LE(waited, service_helper::kStopBudgetMs);
}

INSTANTIATE_TEST_SUITE_P(WaitHints, ServiceThatDoesNotStop,
                         ::testing::Values("stop=hang\nhint=600000\n", "stop=hang\nhint=0\n", "stop=refuse\n"));

TEST_F(ServiceHelperTest, AFailedDescriptionStillCountsAsCreated) {
    ASSERT_TRUE(testutil::placeTestService(dir_.path(), "helpersvc.exe"));
    service_helper helper(kServiceName, SC_MANAGER_ALL_ACCESS, SERVICE_QUERY_STATUS);
    service_config config;
    config.desiredAccess = SERVICE_QUERY_STATUS | DELETE;  // no right to change the description
    testutil::LogCapture log;
    EXPECT_TRUE(helper.createService(L"Palvane test service", L"never set", L"\"" + dir_.wpath() + L"helpersvc.exe\"",
                                     config));
    EXPECT_NE(helper.lastError(), 0u);
    EXPECT_TRUE(testutil::loggedAt(log.text(), "ChangeServiceConfig2 - description - failed: ", "Error"));
}

TEST_F(ServiceHelperTest, AStartWaitsForAStopUnderWayAndGivesUpWhenItMakesNoProgress) {
    auto helper = createTestService("stop=hang\nhint=0\n");
    {
        testutil::FastPauseClock clock;
        ASSERT_TRUE(helper->startService());
    }
    {
        testutil::VirtualClock clock;
        ASSERT_FALSE(helper->stopService());
    }
    ASSERT_EQ(testutil::serviceState(kServiceName), static_cast<DWORD>(SERVICE_STOP_PENDING));
    testutil::FastPauseClock clock;
    testutil::LogCapture log;
    EXPECT_FALSE(helper->startService());
    EXPECT_TRUE(testutil::loggedAt(log.text(), std::string(kServiceName) + ":timeout waiting for service to stop.",
                                   "Error"));
}
