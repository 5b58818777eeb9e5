// The service framework and the host's service without the service control
// manager: state reports, the worker's races with stop and shutdown.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "fakeRuntime.h"
#include "installFolder.h"
#include "palvane/win/upgrademgr/softwareService.h"
#include "support/serviceSandbox.h"
#include "support/testUtil.h"
#include "utils/configKeys.h"
#include "utils/win/stringconv.h"

using namespace std::chrono_literals;

namespace {

struct Report {
    DWORD state;
    DWORD checkPoint;
    DWORD exitCode;
    DWORD waitHint;
};

class StatusLog {
public:
    CServiceBase::StatusReporter reporter() {
        return [this](SERVICE_STATUS_HANDLE, const SERVICE_STATUS& status) {
            std::lock_guard<std::mutex> lock(mutex_);
            reports_.push_back({status.dwCurrentState, status.dwCheckPoint, status.dwWin32ExitCode, status.dwWaitHint});
            return TRUE;
        };
    }
    std::vector<Report> reports() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }
    bool waitForState(DWORD state) const {
        return testutil::waitUntil([&] {
            const std::vector<Report> all = reports();
            return !all.empty() && all.back().state == state;
        });
    }

private:
    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

class HostServiceTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (std::thread& worker : workers_) {
            if (worker.joinable()) worker.detach();
        }
    }

    // Work queued by the service runs on a thread the test can hold back.
    softwareServiceHooks hooks(bool runAtOnce = true) {
        softwareServiceHooks result;
        result.makeManager = [this] {
            ++managersMade_;
            palvaneMgrHooks managerHooks;
            managerHooks.makeLoader = fakert::makeLoader;
            managerHooks.reloadPause = 100ms;
            managerHooks.shutdownStopLimit = 200ms;
            managerHooks.startThread = [](std::function<void()> body) { return std::thread(std::move(body)); };
            managerHooks.trust = [](HANDLE, const std::string&) { return true; };
            return std::make_unique<palvaneMgr>(managerHooks);
        };
        result.queueWork = [this, runAtOnce](std::function<void()> work) {
            if (runAtOnce) {
                workers_.emplace_back(std::move(work));
            } else {
                held_ = std::move(work);
            }
            return true;
        };
        return result;
    }

    void runHeldWork() { workers_.emplace_back(std::move(held_)); }
    void joinWorkers() {
        for (std::thread& worker : workers_) worker.join();
        workers_.clear();
    }

    InstallFolder install_;
    const bool runtimePlaced_ = CopyFileA((testutil::exeDirectoryA() + "palvane_test1.dll").c_str(),
                                          (install_.library + "palvane_test1.dll").c_str(), FALSE) != FALSE;
    std::vector<std::thread> workers_;
    std::function<void()> held_;
    std::atomic<int> managersMade_{0};
    StatusLog status_;
};

TEST_F(HostServiceTest, StartAndStopReportTheStatesInOrderAndDriveTheRuntime) {
    CSSoftwareService service(L"twPalvane", TRUE, TRUE, FALSE, hooks());
    service.setStatusReporter(status_.reporter());
    EXPECT_EQ(service.status().dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));

    service.Start(0, nullptr);
    ASSERT_TRUE(fakert::runtime().journal.waitFor("StartMonitoring palvane_test1.dll")) << fakert::runtime().journal.text();
    service.Stop();
    ASSERT_TRUE(status_.waitForState(SERVICE_STOPPED));
    EXPECT_TRUE(service.worker()->waitFinished(5000));
    joinWorkers();
    EXPECT_TRUE(service.endedCleanly());

    const std::vector<Report> reports = status_.reports();
    ASSERT_GE(reports.size(), 4u);
    EXPECT_EQ(reports[0].state, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(reports[1].state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(reports[2].state, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(reports.back().state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_GE(reports[0].checkPoint, 1u);
    EXPECT_EQ(reports[2].checkPoint, reports[0].checkPoint + 1);
    EXPECT_EQ(reports[1].checkPoint, 0u);
    EXPECT_EQ(reports.back().checkPoint, 0u);
    for (const Report& report : reports) {
        EXPECT_EQ(report.exitCode, 0u);
        const bool pending = report.state == SERVICE_STOP_PENDING;
        EXPECT_EQ(report.waitHint, pending ? CServiceBase::kStopWaitHintMs : 0u);
    }
    EXPECT_EQ(fakert::runtime().journal.events().back(), "close palvane_test1.dll");
}

TEST_F(HostServiceTest, WorkThatCannotBeQueuedStopsTheServiceWithTheError) {
    softwareServiceHooks failing = hooks();
    failing.queueWork = [](std::function<void()>) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    };
    testutil::LogCapture log(7);
    CSSoftwareService service(L"twPalvane", TRUE, TRUE, FALSE, failing);
    service.setStatusReporter(status_.reporter());
    service.Start(0, nullptr);

    EXPECT_TRUE(log.contains(" Service Start8")) << log.text();
    const std::vector<Report> reports = status_.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(reports[1].exitCode, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

TEST_F(HostServiceTest, StopBeforeTheWorkerRunsCreatesNoManager) {
    CSSoftwareService service(L"twPalvane", TRUE, TRUE, FALSE, hooks(false));
    service.setStatusReporter(status_.reporter());
    service.Start(0, nullptr);
    service.Stop();
    ASSERT_TRUE(status_.waitForState(SERVICE_STOPPED));
    runHeldWork();
    EXPECT_TRUE(service.worker()->waitFinished(5000));
    joinWorkers();
    EXPECT_EQ(managersMade_, 0);
    EXPECT_TRUE(fakert::runtime().journal.events().empty()) << fakert::runtime().journal.text();
}

// The runtime gets a bounded chance to stop; the process then ends with it
// loaded, so the manager stays, and records a library asked for meanwhile.
TEST_F(HostServiceTest, ShutdownStopsTheRuntimeBrieflyAndLeavesItsManagerInPlace) {
    testutil::LogCapture log(6);
    {
        CSSoftwareService service(L"twPalvane", TRUE, TRUE, FALSE, hooks());
        service.setStatusReporter(status_.reporter());
        service.Start(0, nullptr);
        ASSERT_TRUE(fakert::runtime().journal.waitFor("StartMonitoring palvane_test1.dll"));
        fakert::runtime().blockedAt = "StopMonitoring palvane_test1.dll";
        service.Control(SERVICE_CONTROL_SHUTDOWN);
        EXPECT_EQ(status_.reports().back().state, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(fakert::runtime().journal.count("StopMonitoring palvane_test1.dll"), 1u);
        EXPECT_EQ(fakert::runtime().journal.count("StopMonitoring palvane_test1.dll released"), 0u)
            << "the shutdown waited for the runtime without a bound";
        EXPECT_FALSE(service.endedCleanly());
    }
    fakert::runtime().release();
    ASSERT_TRUE(CopyFileA((testutil::exeDirectoryA() + "palvane_test2.dll").c_str(),
                          (install_.library + "palvane_test2.dll").c_str(), FALSE));
    install_.settings.set(configKeys::INSTALL_LIBRARY, install_.library + "palvane_test2.dll");
    ASSERT_TRUE(fakert::runtime().callBackFromRuntimeThread());
    ASSERT_TRUE(fakert::runtime().journal.waitFor("callback returned palvane_test1.dll promptly"));
    EXPECT_EQ(fakert::runtime().journal.count("Destructor palvane_test1.dll"), 0u);
    EXPECT_EQ(fakert::runtime().journal.count("load palvane_test2.dll"), 0u);
    std::string recorded;
    install_.settings.get(configKeys::DLL_TRIAL, recorded);
    EXPECT_EQ(recorded, "0 " + install_.library + "palvane_test2.dll");
    EXPECT_TRUE(log.contains("The runtime was not stopped")) << log.text();
}

// A runtime that never returns from its stop: the stop ends after its limit
// with STOPPED reported and the process ended.
TEST_F(HostServiceTest, AHungRuntimeStopStillEndsInStopped) {
    CSSoftwareService service(L"twPalvane", TRUE, TRUE, FALSE, hooks());
    service.setStatusReporter(status_.reporter());
    std::atomic<bool> processEnded{false};
    service.setHungStopLimit(300ms, [&] { processEnded = true; });
    service.Start(0, nullptr);
    ASSERT_TRUE(fakert::runtime().journal.waitFor("StartMonitoring palvane_test1.dll"));
    fakert::runtime().blockedAt = "StopMonitoring palvane_test1.dll";
    service.Stop();
    ASSERT_TRUE(status_.waitForState(SERVICE_STOPPED));
    EXPECT_TRUE(processEnded);
    EXPECT_EQ(status_.reports().back().exitCode, static_cast<DWORD>(ERROR_TIMEOUT)) << "a hung stop is no clean one";
    fakert::runtime().release();
    joinWorkers();
}

// A service whose hooks fail on request.
class FailingService : public CServiceBase {
public:
    FailingService() : CServiceBase(nullptr, TRUE, TRUE, FALSE) {}
    DWORD stopError = 0;
    DWORD shutdownError = 0;
    std::shared_future<void> stopHeld;

protected:
    void OnStop() override {
        if (stopHeld.valid()) stopHeld.wait_for(30s);
        if (stopError != 0) throw stopError;
    }
    void OnShutdown() override {
        if (shutdownError != 0) throw shutdownError;
    }
};

TEST(ServiceFrameworkTest, StopReturnsAtOnceAndReportsProgressUntilTheHookHasReturned) {
    StatusLog status;
    FailingService service;
    std::promise<void> release;
    service.stopHeld = release.get_future().share();
    service.setStatusReporter(status.reporter());
    service.Start(0, nullptr);
    service.Control(SERVICE_CONTROL_STOP);  // returns while the hook is held
    service.Control(SERVICE_CONTROL_STOP);  // a second stop changes nothing
    EXPECT_TRUE(service.stopUnderWay());
    ASSERT_TRUE(testutil::waitUntil([&] { return status.reports().size() >= 5; }));
    release.set_value();
    ASSERT_TRUE(status.waitForState(SERVICE_STOPPED));

    const std::vector<Report> reports = status.reports();
    for (size_t i = 2; i + 1 < reports.size(); ++i) {
        EXPECT_EQ(reports[i].state, static_cast<DWORD>(SERVICE_STOP_PENDING));
        EXPECT_EQ(reports[i].waitHint, CServiceBase::kStopWaitHintMs);
        if (i > 2) {
            EXPECT_GT(reports[i].checkPoint, reports[i - 1].checkPoint);
        }
    }
    EXPECT_FALSE(service.stopUnderWay());
}

TEST(ServiceFrameworkTest, FailedStopReportsThePreviousStateAgainAndOtherControlsAreIgnored) {
    StatusLog status;
    testutil::LogCapture log(3);
    FailingService service;
    EXPECT_STREQ(service.name(), L"");
    service.setStatusReporter(status.reporter());
    service.Start(0, nullptr);
    service.stopError = ERROR_ACCESS_DENIED;
    service.Control(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(testutil::waitUntil([&] { return status.reports().size() == 4; }));
    EXPECT_TRUE(log.contains("Service Stop error=5")) << log.text();
    std::vector<Report> reports = status.reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[2].state, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(reports[3].state, static_cast<DWORD>(SERVICE_RUNNING));

    service.Control(SERVICE_CONTROL_INTERROGATE);
    service.Control(6);
    service.Control(255);
    EXPECT_EQ(status.reports().size(), 4u);

    // A shutdown reports STOPPED whatever its hook does, and the failure of
    // a stop still under way reports nothing after it.
    std::promise<void> release;
    service.stopHeld = release.get_future().share();
    service.shutdownError = ERROR_BUSY;
    service.Control(SERVICE_CONTROL_STOP);
    service.Control(SERVICE_CONTROL_SHUTDOWN);
    release.set_value();
    ASSERT_TRUE(testutil::waitUntil([&] { return !service.stopUnderWay(); }));
    EXPECT_EQ(status.reports().back().state, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(ServiceRemovalTest, TheWaitForAStopIsBounded) {
    unsigned queries = 0;
    const auto alwaysPending = [&](SERVICE_STATUS& status) {
        ++queries;
        status.dwCurrentState = SERVICE_STOP_PENDING;
        return true;
    };
    StopWaitLimits limits;
    limits.polls = 3;
    limits.intervalMs = 1;
    EXPECT_EQ(waitWhileStopPending(alwaysPending, SERVICE_STOP_PENDING, limits),
              static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(queries, 4u);

    const auto stopsOnSecondQuery = [&](SERVICE_STATUS& status) {
        status.dwCurrentState = ++queries > 5 ? SERVICE_STOPPED : SERVICE_STOP_PENDING;
        return true;
    };
    EXPECT_EQ(waitWhileStopPending(stopsOnSecondQuery, SERVICE_STOP_PENDING, limits),
              static_cast<DWORD>(SERVICE_STOPPED));

    const auto failingQuery = [](SERVICE_STATUS&) { return false; };
    EXPECT_EQ(waitWhileStopPending(failingQuery, SERVICE_RUNNING, limits), static_cast<DWORD>(SERVICE_RUNNING));

    // The removal itself keeps the bound with a service that never stops.
    testutil::TempDir folder;
    testutil::ServiceSandbox sandbox({"twHungStop"});
    ASSERT_TRUE(testutil::placeTestService(folder.path(), "hungstop.exe", "stop=hang\n"));
    {
        service_helper service("twHungStop", SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS);
        ASSERT_TRUE(service.createService(L"hung stop", L"", toWide(folder.file("hungstop.exe")), service_config()));
        ASSERT_TRUE(service.startService());
    }
    const auto began = std::chrono::steady_clock::now();
    UninstallService(L"twHungStop", limits);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
}

}  // namespace
