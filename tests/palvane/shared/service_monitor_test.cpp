#include "palvane/shared/service_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "palvane/dll-api/win/driver_operations.h"
#include "palvane/dll-api/win/process_monitor.h"
#include "palvane/dll-api/win/service.h"
#include "palvane/shared/IServiceOperation.h"
#include "palvane/dll-api/win/windows_upgrade_monitor.h"
#include "support/agentMachine.h"
#include "support/childProcesses.h"
#include "support/fakeMonitoredCore.h"
#include "support/logLines.h"
#include "support/serviceSandbox.h"
#include "support/testUtil.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

using namespace std::chrono_literals;
using PALVANE_SERVICE::IProcessLauncher;
using PALVANE_SERVICE::IServiceOperation;
using PALVANE_SERVICE::service_monitor;
using testutil::loggedAt;

namespace {

class CountingOperations : public IServiceOperation {
public:
    bool start_service() override { return true; }
    bool stop_service() override { return ++stops, !stopFails; }
    bool launch_tray() override { return true; }
    bool set_tray_autorun() override { return true; }
    bool kill_process(std::string&) override { return true; }
    int get_status() override { return 0; }
    bool remove_service() override { return true; }
    bool uninstall_drivers() override { return true; }
    std::atomic<int> stops{0};
    bool stopFails = false;
};

// Blocks every launch until released, standing in for a relaunch that waits
// for the started program.
class BlockingLauncher : public IProcessLauncher {
public:
    DWORD launchHidden(const std::wstring&, uint64_t, HANDLE cancel) override { return block(cancel); }
    DWORD launchInUserSession(const std::wstring&, uint64_t, HANDLE cancel) override { return block(cancel); }
    DWORD block(HANDLE cancel) {
        entered = true;
        const HANDLE waitables[] = {release.get(), cancel};
        WaitForMultipleObjects(cancel != nullptr ? 2 : 1, waitables, FALSE, 20000);
        return 0;
    }
    UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> entered{false};
};

service_monitor::Options fastOptions(IProcessLauncher* launcher = nullptr) {
    service_monitor::Options options;
    options.interval = 50ms;
    options.launcher = launcher;
    options.makeUpgradeMonitor = [](std::function<void()>) {
        return std::unique_ptr<PALVANE_SERVICE::windows_upgrade_monitor>();
    };
    return options;
}

std::shared_ptr<Installed_services> component(const InstalledServiceList& table, const std::string& name) {
    for (const auto& entry : table) {
        if (entry->name == name) return entry;
    }
    return nullptr;
}

Installed_drivers& driverOf(const InstalledServiceList& table, const std::string& name) {
    return dynamic_cast<Installed_drivers&>(*component(table, name));
}

bool stateIs(const char* name, DWORD state) { return testutil::serviceState(name) == state; }

FILETIME lastWriteOf(const std::string& path) {
    FILETIME written = {};
    UniqueHandle file(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    if (file) GetFileTime(file.get(), nullptr, nullptr, &written);
    return written;
}

uint64_t asNumber(const FILETIME& time) { return (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

// An agent program running from an install folder of its own.
struct AgentProgram {
    AgentProgram() {
        CreateDirectoryA(install.file("qmdns").c_str(), nullptr);
        if (CopyFileA((testutil::exeDirectoryA() + "idlegui.exe").c_str(), program.c_str(), FALSE)) {
            original = children.start(toWide(program));
        }
    }
    testutil::TempDir install;
    const std::string program = install.path() + "qmdns\\dnsserver.exe";
    testutil::ChildProcesses children;
    DWORD original = 0;
};

class ServiceMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_.placeAll();
        table_ = get_installed_services(10);
    }

    // Installs the named components (stopped).
    void install(std::initializer_list<const char*> names) {
        for (const char* name : names) ASSERT_TRUE(component(table_, name)->install(machine_.path())) << name;
    }

    testutil::FastPauseClock clock_;
    testutil::MachineSettingsSandbox settings_;
    testutil::AgentMachine machine_;
    testutil::FakeMonitoredCore core_;
    InstalledServiceList table_;
};

}  // namespace

TEST_F(ServiceMonitorTest, RestartsStoppedServicesButNotTheProtectionDriverNorMissingOnes) {
    install({"twprotect", "twQuillmark"});
    driverOf(table_, "twprotect").is_running = true;
    testutil::LogCapture log;
    {
        service_monitor monitor(&core_, machine_.path(), table_, fastOptions());
        ASSERT_TRUE(testutil::waitUntil([] { return stateIs("twQuillmark", SERVICE_RUNNING); }, 20s)) << log.text();
        ASSERT_TRUE(testutil::waitUntil([&] { return monitor.passes() >= 3; }, 20s));
    }
    const std::string text = log.text();
    EXPECT_TRUE(loggedAt(text, "Restart service twQuillmark", "Warn"));
    EXPECT_TRUE(loggedAt(text, "Protection is disabled and do not restart twprotect", "DblDebug"));
    EXPECT_TRUE(stateIs("twprotect", SERVICE_STOPPED));
    EXPECT_EQ(testutil::countLines(text, "Failed to open"), 0u) << "a missing service must be skipped silently";
    EXPECT_TRUE(loggedAt(text, "Failed to read the value of tcp_driver", "Warn"));
    EXPECT_TRUE(loggedAt(text, "service_health_thread is terminated.", "Info"));
}

// A service, and the packet-filter driver the setting asks for, that fail at
// every start.
TEST_F(ServiceMonitorTest, ComponentThatFailsAtEveryStartIsStartedLessAndLessOften) {
    machine_.placeService("Quillmark Agent", "twpagent.exe", "start=fail\n");
    install({"twQuillmark", "PacketFilter"});
    const std::string filterBehaviour = testutil::AgentMachine::driverTarget("PacketFilterDriver.behaviour");
    ASSERT_TRUE(testutil::writeFile(filterBehaviour, "start=fail\n"));
    settings_.set("tcp_driver", "true");
    testutil::LogCapture log;
    {
        service_monitor monitor(&core_, machine_.path(), table_, fastOptions());
        ASSERT_TRUE(testutil::waitUntil([&] { return monitor.passes() >= 40; }, 60s));
    }
    DeleteFileA(filterBehaviour.c_str());
    // Passes 1, 2, 4, 8, 16 and 32 of the first forty (one more may have begun).
    for (const char* started : {"Restart service twQuillmark", "Failed to start PacketFilter error"}) {
        const size_t starts = testutil::countLines(log.text(), started);
        EXPECT_GE(starts, 6u) << started;
        EXPECT_LE(starts, 7u) << started;
    }
}

// The monitor is deleted while a pass waits for a service whose start takes
// minutes: the wait ends on the stop.
TEST_F(ServiceMonitorTest, DeletionCutsAServiceStartOfARunningPassShort) {
    machine_.placeService("Quillmark Agent", "twpagent.exe", "start=slow\ndelay=120000\nhint=600000\n");
    install({"twQuillmark"});
    testutil::LogCapture log;
    {
        service_monitor monitor(&core_, machine_.path(), table_, fastOptions());
        ASSERT_TRUE(testutil::waitUntil([] { return stateIs("twQuillmark", SERVICE_START_PENDING); }, 20s));
    }
    EXPECT_TRUE(stateIs("twQuillmark", SERVICE_START_PENDING));
    EXPECT_TRUE(loggedAt(log.text(), "The wait for twQuillmark was cut short by a stop.", "Info")) << log.text();
}

// A pass held by the service manager (a service program that never answers
// it) or by an installation that holds the component: the deletion ends it.
TEST_F(ServiceMonitorTest, DeletionCutsAStartHeldByTheServiceManagerOrAnInstallation) {
    machine_.placeService("Quillmark Agent", "twpagent.exe", "start=silent\n");
    install({"twQuillmark"});
    for (const bool installing : {false, true}) {
        SCOPED_TRACE(installing ? "installing" : "service manager");
        auto installation = component(table_, "twQuillmark")->lock();
        if (!installing) installation.unlock();
        const int asked = core_.asked;
        auto monitor = std::make_unique<service_monitor>(&core_, machine_.path(), table_, fastOptions());
        ASSERT_TRUE(testutil::waitUntil([&] { return core_.asked > asked; }));
        ASSERT_TRUE(installing || testutil::waitUntil([] { return stateIs("twQuillmark", SERVICE_START_PENDING); }));
        auto deletion = std::async(std::launch::async, [&] { monitor.reset(); });
        EXPECT_EQ(deletion.wait_for(3s), std::future_status::ready);
        if (installing) installation.unlock();
        deletion.wait();
        testutil::endProcessesWithImage(toWide(machine_.path() + "Quillmark Agent\\twpagent.exe"));
    }
}

// The stops of a Windows upgrade wait for a service whose stop never ends.
TEST_F(ServiceMonitorTest, DeletionCutsTheStopsOfAnUpgradeReaction) {
    machine_.placeService("Quillmark Agent", "twpagent.exe", "stop=hang\nhint=600000\n");
    install({"twQuillmark"});
    ASSERT_TRUE(component(table_, "twQuillmark")->start());
    PALVANE_SERVICE::Services operations(table_, machine_.path());
    core_.operations = &operations;
    auto monitor = std::make_unique<service_monitor>(&core_, machine_.path(), table_, fastOptions());
    auto reaction = std::async(std::launch::async, [&, watched = monitor.get()] { watched->handle_windows_os_upgrade(); });
    ASSERT_TRUE(testutil::waitUntil([] { return stateIs("twQuillmark", SERVICE_STOP_PENDING); }, 20s));
    auto deletion = std::async(std::launch::async, [&] { monitor.reset(); });
    EXPECT_EQ(deletion.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(reaction.wait_for(3s), std::future_status::ready);
}

TEST_F(ServiceMonitorTest, DoesNothingWhileTheCoreIsIdleInstallingRemovingOrStopping) {
    install({"twQuillmark", "PacketFilter"});
    settings_.set("tcp_driver", "true");
    struct State {
        bool installed, changing, stopping, removing;
    };
    for (const State state : {State{false, false, false, false}, State{true, true, false, false},
                              State{true, false, true, false}, State{true, false, false, true}}) {
        core_.agentInstalled = state.installed;
        core_.changingComponents = state.changing;
        core_.stopping = state.stopping;
        core_.beingRemoved = state.removing;
        testutil::LogCapture log;
        {
            service_monitor monitor(&core_, machine_.path(), table_, fastOptions());
            ASSERT_TRUE(testutil::waitUntil([&] { return monitor.passes() >= 2; }, 10s));
        }
        EXPECT_TRUE(loggedAt(log.text(), "Service health check is ignored.", "Debug"));
        EXPECT_TRUE(loggedAt(log.text(), "Unload tcp filter driver ignored.", "Debug"));
        EXPECT_TRUE(stateIs("twQuillmark", SERVICE_STOPPED));
        EXPECT_TRUE(stateIs("PacketFilter", SERVICE_STOPPED));
    }
}

TEST_F(ServiceMonitorTest, PacketFilterFollowsTheSettingAndItsStartTouchesTheSettingsFile) {
    install({"PacketFilter"});
    Installed_drivers& filter = driverOf(table_, "PacketFilter");
    const std::string settingsFile = machine_.path() + "tarnwell.json";
    ASSERT_TRUE(testutil::writeFile(settingsFile, "{}"));
    FILETIME old = {};
    old.dwHighDateTime = 0x01000000;  // 1670s: far in the past
    {
        UniqueHandle file(CreateFileA(settingsFile.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &old));
    }
    // The agent holds the file open for writing.
    UniqueHandle agentsHandle(CreateFileA(settingsFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(agentsHandle);

    settings_.set("tcp_driver", "true");
    testutil::LogCapture log;
    service_monitor monitor(&core_, machine_.path(), table_, fastOptions());
    ASSERT_TRUE(testutil::waitUntil([&] { return filter.is_running.load(); }, 20s)) << log.text();
    EXPECT_TRUE(stateIs("PacketFilter", SERVICE_RUNNING));
    ASSERT_TRUE(testutil::waitUntil([&] { return asNumber(lastWriteOf(settingsFile)) != asNumber(old); }, 5s))
        << log.text();
    SYSTEMTIME nowSystem;
    GetSystemTime(&nowSystem);
    FILETIME now;
    SystemTimeToFileTime(&nowSystem, &now);
    EXPECT_LT(asNumber(now) - asNumber(lastWriteOf(settingsFile)), 600000000ull) << "not within a minute of now";

    settings_.set("tcp_driver", "false");
    ASSERT_TRUE(testutil::waitUntil([&] { return !filter.is_running.load(); }, 40s)) << log.text();
    EXPECT_TRUE(stateIs("PacketFilter", SERVICE_STOPPED));
}

TEST_F(ServiceMonitorTest, MissingSettingsFileIsReportedNotCreated) {
    install({"PacketFilter"});
    settings_.set("tcp_driver", "true");
    testutil::LogCapture log;
    service_monitor monitor(&core_, machine_.path(), table_, fastOptions());
    ASSERT_TRUE(testutil::waitUntil([&] { return log.contains("Failed to open " + machine_.path() + "tarnwell.json"); },
                                    20s));
    EXPECT_FALSE(testutil::fileExists(machine_.path() + "tarnwell.json"));
}

TEST_F(ServiceMonitorTest, PassesLeaveNoHandlesBehind) {
    install({"twQuillmark", "PacketFilter"});
    settings_.set("tcp_driver", "true");
    ASSERT_TRUE(testutil::writeFile(machine_.path() + "tarnwell.json", "{}"));
    service_monitor monitor(&core_, machine_.path(), table_, fastOptions());
    ASSERT_TRUE(testutil::waitUntil([&] { return monitor.passes() >= 5; }, 20s));
    ASSERT_TRUE(stateIs("twQuillmark", SERVICE_RUNNING));
    DWORD before = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    const unsigned start = monitor.passes();
    ASSERT_TRUE(testutil::waitUntil([&] { return monitor.passes() >= start + 40; }, 30s));
    DWORD after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_LE(after, before + 3);
}

TEST(ServiceMonitor, WithoutThePacketFilterEntryPassesSayItIsNotFound) {
    testutil::LogCapture log;
    testutil::FakeMonitoredCore core;
    service_monitor monitor(&core, "C:\\NoAgent\\", InstalledServiceList(), fastOptions());
    ASSERT_TRUE(testutil::waitUntil([&] { return monitor.passes() >= 1; }, 10s));
    EXPECT_TRUE(testutil::waitUntil([&] { return loggedAt(log.text(), "Packet filter driver is not found.", "Info"); }));
}

TEST(ServiceMonitor, DestructionDoesNotWaitOutTheInterval) {
    testutil::FakeMonitoredCore core;
    service_monitor::Options options = fastOptions();
    options.interval = service_monitor::kHealthInterval;
    auto monitor = std::make_unique<service_monitor>(&core, "C:\\NoAgent\\", InstalledServiceList(), options);
    const auto begin = std::chrono::steady_clock::now();
    monitor.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);

    // Stopped right after the start, before the thread began its wait.
    for (int round = 0; round < 20; ++round) {
        const auto again = std::chrono::steady_clock::now();
        monitor = std::make_unique<service_monitor>(&core, "C:\\NoAgent\\", InstalledServiceList(), options);
        monitor.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - again, 2s) << "round " << round;
    }
}

TEST(ServiceMonitor, DestructionCutsARelaunchWaitShort) {
    AgentProgram agent;
    ASSERT_NE(agent.original, 0u);

    testutil::FakeMonitoredCore core;
    // The real launcher, which waits fifteen seconds for the started program.
    auto monitor =
        std::make_unique<service_monitor>(&core, agent.install.path(), InstalledServiceList(), fastOptions());
    ASSERT_TRUE(testutil::waitUntil([&] { return monitor->passes() >= 1; }, 10s));
    ASSERT_TRUE(agent.children.end(agent.original));
    const bool relaunched =
        testutil::waitUntil([&] { return testutil::processesWithImage(toWide(agent.program)).size() == 1; }, 10s);
    const auto begin = std::chrono::steady_clock::now();
    monitor.reset();
    const auto took = std::chrono::steady_clock::now() - begin;
    testutil::endProcessesWithImage(toWide(agent.program));
    ASSERT_TRUE(relaunched);
    EXPECT_LT(took, 3s);
}

TEST(ServiceMonitor, UpgradeStopsTheComponentsOnceAndEndsTheChecks) {
    testutil::LogCapture log;
    testutil::FakeMonitoredCore core;
    CountingOperations operations;
    core.operations = &operations;
    service_monitor monitor(&core, "C:\\NoAgent\\", InstalledServiceList(), fastOptions());
    ASSERT_TRUE(testutil::waitUntil([&] { return monitor.passes() >= 1; }, 10s));

    monitor.handle_windows_os_upgrade();
    monitor.handle_windows_os_upgrade();
    EXPECT_EQ(operations.stops.load(), 1);
    EXPECT_TRUE(loggedAt(log.text(), "handle_windows_os_upgrade", "Notice"));
    EXPECT_TRUE(loggedAt(log.text(), "handle_windows_os_upgrade() is called already.", "Warn"));
    ASSERT_TRUE(testutil::waitUntil([&] { return monitor.healthThreadEnded(); }, 10s));
    const unsigned passes = monitor.passes();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(monitor.passes(), passes);
}

TEST(ServiceMonitor, UpgradeReportsComponentsThatDidNotStop) {
    testutil::LogCapture log;
    testutil::FakeMonitoredCore core;
    CountingOperations operations;
    operations.stopFails = true;
    core.operations = &operations;
    service_monitor monitor(&core, "C:\\NoAgent\\", InstalledServiceList(), fastOptions());
    monitor.handle_windows_os_upgrade();
    EXPECT_TRUE(loggedAt(log.text(), "Failed to stop the agent's components before the Windows upgrade, status=0",
                         "Error"));
}

TEST(ServiceMonitor, UpgradeWithoutAnAgentStopsNothing) {
    testutil::LogCapture log;
    testutil::FakeMonitoredCore core;
    core.agentInstalled = false;
    CountingOperations operations;
    core.operations = &operations;
    service_monitor monitor(&core, "C:\\NoAgent\\", InstalledServiceList(), fastOptions());
    monitor.handle_windows_os_upgrade();
    EXPECT_EQ(operations.stops.load(), 0);
    EXPECT_TRUE(loggedAt(log.text(), "Ignoring stop_all_services() since agent is not installed.", "Notice"));
}

TEST(ServiceMonitor, UpgradeWaitsForARunningPassAndNoPassFollows) {
    AgentProgram agent;
    ASSERT_NE(agent.original, 0u);

    testutil::FakeMonitoredCore core;
    CountingOperations operations;
    core.operations = &operations;
    BlockingLauncher launcher;
    service_monitor monitor(&core, agent.install.path(), InstalledServiceList(), fastOptions(&launcher));
    ASSERT_TRUE(testutil::waitUntil([&] { return monitor.passes() >= 1; }, 10s));
    ASSERT_TRUE(agent.children.end(agent.original));
    // The next pass relaunches the program and stays in the launch.
    ASSERT_TRUE(testutil::waitUntil([&] { return launcher.entered.load(); }, 10s));

    auto reaction = std::async(std::launch::async, [&] { monitor.handle_windows_os_upgrade(); });
    EXPECT_EQ(reaction.wait_for(300ms), std::future_status::timeout) << "stopped while a pass was working";
    EXPECT_EQ(operations.stops.load(), 0);
    const unsigned passes = monitor.passes();
    SetEvent(launcher.release.get());
    ASSERT_EQ(reaction.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(operations.stops.load(), 1);
    ASSERT_TRUE(testutil::waitUntil([&] { return monitor.healthThreadEnded(); }, 10s));
    EXPECT_EQ(monitor.passes(), passes + 1) << "a pass ran after the upgrade was handled";
}

TEST(ServiceMonitor, RealUpgradeWatchIsMadeAndEndedWithTheMonitor) {
    testutil::LogCapture log;
    testutil::FakeMonitoredCore core;
    service_monitor::Options options = fastOptions();
    options.makeUpgradeMonitor = nullptr;
    const auto begin = std::chrono::steady_clock::now();
    {
        service_monitor monitor(&core, "C:\\NoAgent\\", InstalledServiceList(), options);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 15s);
    EXPECT_FALSE(log.contains("Failed to allocate"));
}
