#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "palvane/dll-api/win/process_monitor.h"
#include "support/childProcesses.h"
#include "support/fakeMonitoredCore.h"
#include "support/fakeSessions.h"
#include "support/serviceSandbox.h"
#include "support/testUtil.h"
#include "utils/win/stringconv.h"

using namespace std::chrono_literals;
using PALVANE_SERVICE::IProcessLauncher;
using PALVANE_SERVICE::process_monitor;
using PALVANE_SERVICE::tracked_process;

namespace {

// The real launcher with a short wait, so that a started program that keeps
// running does not hold the test for fifteen seconds.
class ShortWaitLauncher : public IProcessLauncher {
public:
    DWORD launchHidden(const std::wstring& commandLine, uint64_t, HANDLE cancel) override {
        hidden.push_back(commandLine);
        return PALVANE_SERVICE::runProcessLauncher().launchHidden(commandLine, 300, cancel);
    }
    DWORD launchInUserSession(const std::wstring& commandLine, uint64_t, HANDLE cancel) override {
        inUserSession.push_back(commandLine);
        return PALVANE_SERVICE::runProcessLauncher().launchInUserSession(commandLine, 300, cancel);
    }
    std::vector<std::wstring> hidden;
    std::vector<std::wstring> inUserSession;
};

// Starts nothing; counts.
class CountingLauncher : public IProcessLauncher {
public:
    DWORD launchHidden(const std::wstring&, uint64_t, HANDLE) override { return ++launches, 0; }
    DWORD launchInUserSession(const std::wstring&, uint64_t, HANDLE) override { return ++launches, 0; }
    int launches = 0;
};

// An install folder whose path holds a space, with copies of the idle program
// standing in for the agent's programs.
class AgentFolder {
public:
    AgentFolder() : root(temp.wpath() + L"Inst Path\\") { CreateDirectoryW(root.c_str(), nullptr); }
    ~AgentFolder() {
        for (const std::wstring& program : programs) testutil::endProcessesWithImage(program);
    }

    std::wstring place(const std::wstring& relativePath, const wchar_t* fixture = L"idlegui.exe") {
        const std::wstring target = root + relativePath;
        CreateDirectoryW(target.substr(0, target.find_last_of(L'\\')).c_str(), nullptr);
        CopyFileW((testutil::exeDirectory() + fixture).c_str(), target.c_str(), FALSE);
        programs.push_back(target);
        return target;
    }

    std::string installPath() const { return toUtf8(root); }

    testutil::TempDir temp;
    std::wstring root;
    std::vector<std::wstring> programs;
};

std::vector<std::wstring> trackedPaths(const process_monitor& monitor) {
    std::vector<std::wstring> paths;
    for (const tracked_process& record : monitor.tracked()) paths.push_back(record.image_path);
    return paths;
}

std::wstring upperCase(std::wstring text) {
    CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

}  // namespace

TEST(ProcessMonitor, TracksTheAgentsProgramsOnceEachWhateverTheLetterCase) {
    testutil::LogCapture log;
    AgentFolder folder;
    const std::wstring agent = folder.place(L"Agent\\agent.exe");
    const std::wstring proxy = folder.place(L"qmproxy\\qmproxysvc.exe");
    testutil::TempDir elsewhere;
    const std::wstring outside = elsewhere.wpath() + L"outside.exe";
    ASSERT_TRUE(CopyFileW((testutil::exeDirectory() + L"idlegui.exe").c_str(), outside.c_str(), FALSE));
    testutil::ChildProcesses children;
    ASSERT_NE(children.start(agent), 0u);
    const DWORD second = children.start(agent);
    ASSERT_NE(second, 0u);
    ASSERT_NE(children.start(proxy), 0u);
    ASSERT_NE(children.start(outside), 0u);

    testutil::FakeMonitoredCore core;
    // The setting's letter case differs from the image paths' case.
    process_monitor monitor(&core, toUtf8(upperCase(folder.root)));
    ASSERT_TRUE(monitor.enumerate_processes());

    ASSERT_EQ(trackedPaths(monitor).size(), 1u) << "one record for both instances; proxy and outsider untracked";
    EXPECT_TRUE(CompareStringOrdinal(trackedPaths(monitor)[0].c_str(), -1, agent.c_str(), -1, TRUE) == CSTR_EQUAL);
    EXPECT_TRUE(log.contains("qmproxysvc.exe is a Tarnwell process."));
    EXPECT_FALSE(log.contains("outside.exe"));
}

// An installation stops the agent's programs and replaces their files, a
// removal deletes them: neither is undone by a relaunch.
TEST(ProcessMonitor, NothingIsTrackedOrStartedUnlessTheInstalledAgentIsLeftAlone) {
    AgentFolder folder;
    const std::wstring agent = folder.place(L"Agent\\agent.exe");
    testutil::ChildProcesses children;
    ASSERT_NE(children.start(agent), 0u);

    struct State {
        bool installed, pending, stopping, removing;
    };
    for (const State state : {State{false, false, false, false}, State{true, true, false, false},
                              State{true, false, true, false}, State{true, false, false, true}}) {
        testutil::LogCapture log;
        testutil::FakeMonitoredCore core;
        core.agentInstalled = state.installed;
        core.changingComponents = state.pending;
        core.stopping = state.stopping;
        core.beingRemoved = state.removing;
        CountingLauncher launcher;
        process_monitor monitor(&core, folder.installPath(), &launcher);
        EXPECT_TRUE(monitor.enumerate_processes());
        EXPECT_TRUE(monitor.tracked().empty());
        EXPECT_TRUE(log.contains("Enumerating running processes is ignored."));
        monitor.track_process({0, folder.root + L"Agent\\gone.exe"});
        monitor.relaunch_dead_processes();
        EXPECT_EQ(launcher.launches, 0);
    }
}

TEST(ProcessMonitor, AServicesProgramIsLeftToTheServiceControlManager) {
    AgentFolder folder;
    const std::wstring program = folder.place(L"Quillmark Agent\\twpagent.exe");
    testutil::ServiceSandbox sandbox{"twtest_pm_service"};
    {
        service_helper service("twtest_pm_service", SC_MANAGER_ALL_ACCESS, SERVICE_QUERY_STATUS);
        ASSERT_TRUE(service.createService(L"twtest", L"", L"\"" + program + L"\" -run", service_config()));
    }
    testutil::FakeMonitoredCore core;
    CountingLauncher launcher;
    process_monitor monitor(&core, folder.installPath(), &launcher);
    monitor.track_process({0, upperCase(program)});
    monitor.track_process({0, folder.root + L"qmdns\\dnsserver.exe"});
    monitor.track_process({0, folder.root + L"Quillmark Agent\\helper.exe"});  // not the agent's
    for (int pass = 0; pass < 3; ++pass) monitor.relaunch_dead_processes();
    EXPECT_EQ(launcher.launches, 2) << "only the plain program, at the first and second pass";
    // Nothing runs as a plain program while the service list cannot be read.
    monitor.setServiceProgramQuery([](const std::wstring&) { return PALVANE_SERVICE::ServiceProgram::Unknown; });
    for (int pass = 0; pass < 10; ++pass) monitor.relaunch_dead_processes();
    EXPECT_EQ(launcher.launches, 2);
}

TEST(ProcessMonitor, EmptyInstallPathClaimsNoProgram) {
    testutil::FakeMonitoredCore core;
    process_monitor monitor(&core, "");
    ASSERT_TRUE(monitor.enumerate_processes());
    EXPECT_TRUE(monitor.tracked().empty());
}

TEST(ProcessMonitor, DeadProgramIsStartedAgainFromItsQuotedPath) {
    testutil::LogCapture log;
    AgentFolder folder;
    const std::wstring agent = folder.place(L"Quillmark Agent\\twpagent.exe");
    // What an unquoted command line would start instead.
    const std::wstring impostor = folder.place(L"Quillmark.exe");
    testutil::ChildProcesses children;
    const DWORD original = children.start(agent);
    ASSERT_NE(original, 0u);

    testutil::FakeMonitoredCore core;
    ShortWaitLauncher launcher;
    process_monitor monitor(&core, folder.installPath(), &launcher);
    ASSERT_TRUE(monitor.enumerate_processes());
    monitor.relaunch_dead_processes();
    EXPECT_TRUE(launcher.hidden.empty()) << "a live program was started again";

    ASSERT_TRUE(children.end(original));
    monitor.relaunch_dead_processes();
    ASSERT_EQ(launcher.hidden.size(), 1u);
    EXPECT_EQ(launcher.hidden[0], L"\"" + agent + L"\"");
    const std::vector<DWORD> running = testutil::processesWithImage(agent);
    ASSERT_EQ(running.size(), 1u);
    EXPECT_TRUE(testutil::processesWithImage(impostor).empty());
    EXPECT_EQ(monitor.tracked().front().process_id, running[0]) << "the record keeps the dead id";
    EXPECT_TRUE(log.contains("Launching process " + toUtf8(agent) + " since it was dead."));

    monitor.relaunch_dead_processes();
    EXPECT_EQ(launcher.hidden.size(), 1u) << "the started program was not seen as alive";
}

TEST(ProcessMonitor, TrayProgramIsStartedInTheUsersSession) {
    testutil::SessionSeams seams;
    seams.sessions.logOnCurrentUser();
    AgentFolder folder;
    const std::wstring tray = folder.place(L"Quillmark Agent\\twptray.exe");
    testutil::FakeMonitoredCore core;
    ShortWaitLauncher launcher;
    process_monitor monitor(&core, folder.installPath(), &launcher);
    monitor.track_process({0, tray});

    monitor.relaunch_dead_processes();
    EXPECT_TRUE(launcher.hidden.empty());
    ASSERT_EQ(launcher.inUserSession.size(), 1u);
    EXPECT_EQ(testutil::processesWithImage(tray).size(), 1u);
}

TEST(ProcessMonitor, TrayIsNotStartedWhileNobodyIsLoggedOnAndNothingWaits) {
    testutil::SessionSeams seams;
    testutil::FakeMonitoredCore core;
    CountingLauncher launcher;
    process_monitor monitor(&core, "C:\\Agent\\", &launcher);
    monitor.track_process({0, L"C:\\Agent\\Quillmark Agent\\twptray.exe"});
    monitor.relaunch_dead_processes();
    EXPECT_EQ(launcher.launches, 0);
    EXPECT_TRUE(seams.waits().empty());

    seams.sessions.logOnCurrentUser();
    monitor.relaunch_dead_processes();
    EXPECT_EQ(launcher.launches, 1) << "the logon is answered at the next pass";
}

TEST(ProcessMonitor, ProgramThatKeepsDyingIsStartedLessAndLessOften) {
    testutil::FakeMonitoredCore core;
    CountingLauncher launcher;
    process_monitor monitor(&core, "C:\\Agent\\", &launcher);
    monitor.track_process({0, L"C:\\Agent\\qmdns\\dnsserver.exe"});

    std::vector<int> launchedAtPass;
    for (int pass = 1; pass <= 200; ++pass) {
        const int before = launcher.launches;
        monitor.relaunch_dead_processes();
        if (launcher.launches != before) launchedAtPass.push_back(pass);
    }
    const std::vector<int> expectedStart = {1, 2, 4, 8, 16, 32, 64, 96};
    ASSERT_GE(launchedAtPass.size(), expectedStart.size());
    EXPECT_TRUE(std::equal(expectedStart.begin(), expectedStart.end(), launchedAtPass.begin()));
    EXPECT_EQ(launchedAtPass.back(), 192) << "the spacing stays at its cap";

    // Seen running again: the next death is answered at the next pass.
    monitor.track_process({GetCurrentProcessId(), L"C:\\Agent\\qmdns\\dnsserver.exe"});
    monitor.track_process({0, L"C:\\Agent\\qmdns\\dnsserver.exe"});
    const int before = launcher.launches;
    monitor.relaunch_dead_processes();
    EXPECT_EQ(launcher.launches, before + 1);
}

TEST(ProcessMonitor, ProcessIdHandedOnToAnotherProgramCountsAsDead) {
    testutil::FakeMonitoredCore core;
    CountingLauncher launcher;
    process_monitor monitor(&core, "C:\\Agent\\", &launcher);
    // This test program is alive, but it is not the agent's program.
    monitor.track_process({GetCurrentProcessId(), L"C:\\Agent\\qmdns\\dnsserver.exe"});
    monitor.relaunch_dead_processes();
    EXPECT_EQ(launcher.launches, 1);
}

TEST(ProcessMonitor, StopEndsARelaunchWaitAndSkipsTheRest) {
    AgentFolder folder;
    const std::wstring first = folder.place(L"Quillmark Agent\\twpagent.exe");
    const std::wstring second = folder.place(L"qmdns\\dnsserver.exe");
    testutil::FakeMonitoredCore core;
    // The real launcher and its fifteen-second wait for the started program.
    process_monitor monitor(&core, folder.installPath());
    monitor.track_process({0, first});
    monitor.track_process({0, second});

    std::atomic<bool> done{false};
    const auto begin = std::chrono::steady_clock::now();
    std::thread pass([&] {
        monitor.relaunch_dead_processes();
        done = true;
    });
    ASSERT_TRUE(testutil::waitUntil([&] { return !testutil::processesWithImage(first).empty(); }, 10s));
    monitor.request_stop();
    const bool ended = testutil::waitUntil([&] { return done.load(); }, 10s);
    if (!ended) pass.detach();
    ASSERT_TRUE(ended) << "the relaunch wait was not cut short";
    pass.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 8s);
    EXPECT_TRUE(testutil::processesWithImage(second).empty()) << "relaunches went on after the stop";
}

TEST(ProcessMonitor, PassesLeaveNoHandlesBehind) {
    AgentFolder folder;
    const std::wstring agent = folder.place(L"Agent\\agent.exe");
    testutil::ChildProcesses children;
    ASSERT_NE(children.start(agent), 0u);
    testutil::FakeMonitoredCore core;
    CountingLauncher launcher;
    process_monitor monitor(&core, folder.installPath(), &launcher);
    monitor.track_process({0, folder.root + L"qmdns\\dnsserver.exe"});
    ASSERT_TRUE(monitor.enumerate_processes());
    monitor.relaunch_dead_processes();

    DWORD before = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    for (int pass = 0; pass < 50; ++pass) {
        monitor.enumerate_processes();
        monitor.relaunch_dead_processes();
    }
    DWORD after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_LE(after, before + 2);
    EXPECT_EQ(monitor.tracked().size(), 2u);
}
