#include "palvane/dll-api/win/service.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include "palvane/dll-api/win/driver_operations.h"
#include "support/agentMachine.h"
#include "support/fakeSessions.h"
#include "support/logLines.h"
#include "support/serviceSandbox.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

using PALVANE_SERVICE::Services;
using testutil::loggedAt;

namespace {

const char* const kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

class ServicesTest : public ::testing::Test {
protected:
    ServicesTest() { deleteRunValue(); }
    ~ServicesTest() override { deleteRunValue(); }

    Services services(unsigned osMajorVersion = 10) {
        table_ = get_installed_services(osMajorVersion);
        return Services(table_, machine_.path());
    }

    std::shared_ptr<Installed_services> component(const std::string& name) {
        for (const auto& row : table_) {
            if (row->name == name) return row;
        }
        return nullptr;
    }

    void expectState(DWORD state) {
        for (const char* name : testutil::AgentMachine::kComponentNames) {
            EXPECT_EQ(testutil::serviceState(name), state) << name;
        }
    }

    static void deleteRunValue() { RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kRunKey, Services::kTrayRunValue); }

    static bool readRunValue(std::string& value) {
        char buffer[1024];
        DWORD size = sizeof(buffer);
        if (RegGetValueA(HKEY_LOCAL_MACHINE, kRunKey, Services::kTrayRunValue, RRF_RT_REG_SZ, nullptr, buffer,
                         &size) != ERROR_SUCCESS) {
            return false;
        }
        value = buffer;
        return true;
    }

    std::string trayPath() const { return machine_.path() + "Quillmark Agent\\twptray.exe"; }

    testutil::FastPauseClock clock_;
    testutil::AgentMachine machine_;
    InstalledServiceList table_;
};

// Starts a copy of the tray stand-in under `fileName` in the agent's folder.
DWORD startProgram(const std::string& path) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + path + "\"";
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &process)) {
        return 0;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return process.dwProcessId;
}

bool processAlive(DWORD processId) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

void endProcess(DWORD processId) {
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    if (process) TerminateProcess(process.get(), 0);
}

}  // namespace

TEST_F(ServicesTest, StartOnAnEmptyMachineInstallsAndStartsEveryComponentThenStopsAndRemovesThem) {
    machine_.placeAll();
    testutil::LogCapture log;
    Services operations = services();
    ASSERT_TRUE(operations.start_service()) << log.text();
    EXPECT_EQ(operations.get_status(), Services::kSuccess);
    EXPECT_EQ(testutil::countLines(log.text(), " is not found, install it"), 5u);
    expectState(SERVICE_RUNNING);
    for (const char* name : {"twprotect", "PacketFilter"}) {
        auto driver = std::dynamic_pointer_cast<Installed_drivers>(component(name));
        ASSERT_NE(driver, nullptr);
        EXPECT_TRUE(driver->is_running.load()) << name;
    }

    ASSERT_TRUE(operations.stop_service());
    expectState(SERVICE_STOPPED);

    EXPECT_TRUE(operations.remove_service());
    for (const char* name : testutil::AgentMachine::kComponentNames) {
        EXPECT_FALSE(testutil::readServiceConfig(name).found) << name;
    }
    EXPECT_FALSE(testutil::fileExists(testutil::AgentMachine::driverTarget("twprotect.exe")));
    EXPECT_TRUE(loggedAt(log.text(), "Exit remove_service()", "Info"));
}

TEST_F(ServicesTest, AComponentThatDoesNotStartFailsTheStartEvenWhenLaterOnesStart) {
    machine_.placeAll({{"twpagent.exe", "start=fail\n"}});
    testutil::LogCapture log;
    Services operations = services(6);
    EXPECT_FALSE(operations.start_service());
    EXPECT_EQ(operations.get_status(), Services::kComponentNotStarted);
    EXPECT_EQ(testutil::countLines(machine_.events("Quillmark Agent", "twpagent.exe"), "start"), 3u)
        << "three attempts";
    EXPECT_EQ(testutil::serviceState("qmdns"), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServicesTest, AServiceThatCannotBeInstalledFailsTheStart) {
    machine_.placeAll();
    // Another service already carries the DNS server's display name.
    testutil::ServiceSandbox sandbox{"twtest_name_taken"};
    {
        testutil::placeTestService(machine_.path(), "taken.exe");
        service_helper taken("twtest_name_taken", SC_MANAGER_ALL_ACCESS, SERVICE_QUERY_STATUS);
        ASSERT_TRUE(taken.createService(L"Tarnwell DNS Server", L"", L"\"" + toWide(machine_.path()) + L"taken.exe\"",
                                        service_config()));
    }
    testutil::LogCapture log;
    Services operations = services();
    EXPECT_FALSE(operations.start_service());
    EXPECT_EQ(operations.get_status(), Services::kComponentNotStarted);
    EXPECT_TRUE(loggedAt(log.text(), "Failed to install qmdns", "Error"));
    EXPECT_EQ(testutil::serviceState("twQuillmark"), static_cast<DWORD>(SERVICE_RUNNING));
}

// Part of the agent missing is never a successful start: not a driver whose
// INF cannot be installed, nor a component that cannot be opened.
TEST_F(ServicesTest, ADriverThatCannotBeInstalledOrAComponentThatCannotBeOpenedFailsTheStart) {
    machine_.placeAll();
    DeleteFileA((machine_.path() + "Quillmark Drivers\\twprotect.inf").c_str());
    testutil::LogCapture log;
    Services withoutDriver = services();
    EXPECT_FALSE(withoutDriver.start_service());
    EXPECT_EQ(withoutDriver.get_status(), Services::kComponentNotStarted);
    EXPECT_TRUE(loggedAt(log.text(), "Failed to install twprotect", "Warn"));
    EXPECT_EQ(testutil::serviceState("qmdns"), static_cast<DWORD>(SERVICE_RUNNING)) << "the walk went on";

    // A name the service control manager refuses (no service name holds a
    // slash) fails the open with another error than "does not exist".
    const std::string refusedName = "twtest/refused";
    auto unopenable = std::make_shared<Installed_services>(refusedName, "x", "x", "qmdns", "dnsserver.exe");
    Services withUnopenable({unopenable}, machine_.path());
    EXPECT_FALSE(withUnopenable.start_service());
    EXPECT_TRUE(loggedAt(log.text(), "Failed to open " + refusedName + " error code=", "Error")) << log.text();
}

TEST_F(ServicesTest, StopCountsAMissingComponentAsStoppedAndAStuckOneAsAFailure) {
    machine_.placeAll({{"qmproxysvc.exe", "stop=refuse\n"}});
    Services operations = services(6);
    ASSERT_TRUE(operations.start_service());
    ASSERT_TRUE(table_.front()->stop());  // the mini-filter driver is gone
    ASSERT_TRUE(table_.front()->remove());
    Services fresh = services(6);
    testutil::LogCapture log;
    {
        testutil::VirtualClock virtualClock;
        EXPECT_FALSE(fresh.stop_service());
    }
    EXPECT_EQ(fresh.get_status(), Services::kComponentNotStopped);
    EXPECT_TRUE(loggedAt(log.text(), "twprotect is not installed yet.", "Warn"));
    EXPECT_EQ(testutil::serviceState("qmdns"), static_cast<DWORD>(SERVICE_STOPPED)) << "the walk went on";
    EXPECT_EQ(testutil::serviceState("twQuillmark"), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServicesTest, StopWithNothingInstalledSucceeds) {
    testutil::LogCapture log;
    Services operations = services();
    EXPECT_TRUE(operations.stop_service());
    EXPECT_EQ(testutil::countLines(log.text(), " is not installed yet."), 5u);
}

TEST_F(ServicesTest, UninstallDriversFailsWhenNoneIsInstalled) {
    machine_.placeAll();
    Services operations = services();
    EXPECT_FALSE(operations.uninstall_drivers());
    EXPECT_EQ(operations.get_status(), Services::kDriversNotUninstalled);
    EXPECT_TRUE(testutil::fileExists(machine_.path() + "Quillmark Drivers\\PacketFilterDriver.inf"));
}

TEST_F(ServicesTest, UninstallDriversRemovesTheDriversAndTheirFiles) {
    machine_.placeAll();
    Services operations = services();
    ASSERT_TRUE(operations.start_service());
    ASSERT_TRUE(operations.stop_service());
    EXPECT_TRUE(operations.uninstall_drivers());
    EXPECT_EQ(operations.get_status(), Services::kSuccess);
    EXPECT_FALSE(testutil::readServiceConfig("twprotect").found);
    EXPECT_FALSE(testutil::readServiceConfig("PacketFilter").found);
    EXPECT_FALSE(testutil::fileExists(machine_.path() + "Quillmark Drivers\\PacketFilterDriver.inf"));
    EXPECT_TRUE(testutil::fileExists(machine_.path() + "Quillmark Drivers\\twprotect.inf"));
    EXPECT_TRUE(testutil::readServiceConfig("twQuillmark").found) << "services are not touched";
}

TEST_F(ServicesTest, UninstallDriversFailsWhenAnEarlierDriverFails) {
    machine_.placeAll();
    Services operations = services();
    ASSERT_TRUE(operations.start_service());
    ASSERT_TRUE(operations.stop_service());
    DeleteFileA((machine_.path() + "Quillmark Drivers\\twprotect.inf").c_str());
    EXPECT_FALSE(operations.uninstall_drivers());
    EXPECT_EQ(operations.get_status(), Services::kDriversNotUninstalled);
    EXPECT_FALSE(testutil::readServiceConfig("PacketFilter").found) << "the later driver was uninstalled";
    EXPECT_TRUE(testutil::fileExists(machine_.path() + "Quillmark Drivers\\PacketFilterDriver.inf"))
        << "files stay while a driver is left";
}

TEST_F(ServicesTest, KillProcessEndsEveryTrayProcessAndOnlyThoseOfThatExactName) {
    machine_.placeTray();
    // Another folder: the file system ignores letter case.
    const std::string folder = machine_.path() + "other\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    ASSERT_TRUE(testutil::copyTestProgram("traystandin.exe", folder + "TwPTray.exe"));
    const DWORD first = startProgram(trayPath());
    const DWORD second = startProgram(trayPath());
    const DWORD otherCase = startProgram(folder + "TwPTray.exe");
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    ASSERT_NE(otherCase, 0u);

    Services operations = services();
    std::string name = "twptray";
    EXPECT_TRUE(operations.kill_process(name));
    EXPECT_EQ(name, "twptray.exe");
    EXPECT_EQ(operations.get_status(), Services::kSuccess);
    EXPECT_TRUE(testutil::waitUntil([&] { return !processAlive(first) && !processAlive(second); },
                                    std::chrono::seconds(5)));
    EXPECT_TRUE(processAlive(otherCase));
    endProcess(otherCase);

    std::string again = "twptray";
    EXPECT_TRUE(operations.kill_process(again)) << "nothing left to end";
}

TEST_F(ServicesTest, LaunchTrayStartsTheQuotedTrayPathInTheUsersSession) {
    machine_.placeTray(200);
    testutil::SessionSeams seams;
    seams.sessions.logOnCurrentUser();
    Services operations = services();
    EXPECT_TRUE(operations.launch_tray());
    EXPECT_EQ(operations.get_status(), Services::kSuccess);
    std::string recorded;
    ASSERT_TRUE(testutil::readFile(trayPath() + ".cmdline", recorded));
    const std::wstring commandLine(reinterpret_cast<const wchar_t*>(recorded.data()), recorded.size() / 2);
    EXPECT_EQ(toUtf8(commandLine), "\"" + trayPath() + "\"");
}

TEST_F(ServicesTest, LaunchTrayWithoutAUserFailsAtOnceWithStatusZero) {
    machine_.placeTray(200);
    testutil::SessionSeams seams;
    testutil::LogCapture log;
    Services operations = services();
    EXPECT_FALSE(operations.launch_tray());
    EXPECT_EQ(operations.get_status(), Services::kSuccess);
    EXPECT_TRUE(seams.waits().empty()) << "the launch waited for somebody to log on";
    EXPECT_TRUE(loggedAt(log.text(), "Nobody is logged on; " + trayPath() + " starts at the next logon.", "Notice"));
}

TEST_F(ServicesTest, LaunchTrayThatCannotCreateTheProcessFailsWithStatusZero) {
    testutil::SessionSeams seams;
    seams.sessions.logOnCurrentUser();
    testutil::LogCapture log;
    Services operations = services();  // no tray program in the install folder
    EXPECT_FALSE(operations.launch_tray());
    EXPECT_EQ(operations.get_status(), Services::kSuccess);
    EXPECT_TRUE(loggedAt(log.text(), "Failed to launch " + trayPath(), "Error"));
}

TEST_F(ServicesTest, TrayAutorunWritesTheQuotedPathAndKeepsAnotherValue) {
    Services operations = services();
    std::string value;
    EXPECT_TRUE(operations.set_tray_autorun());
    ASSERT_TRUE(readRunValue(value));
    EXPECT_EQ(value, "\"" + trayPath() + "\"");

    RegSetKeyValueA(HKEY_LOCAL_MACHINE, kRunKey, Services::kTrayRunValue, REG_SZ, "C:\\elsewhere\\tray.exe", 22);
    EXPECT_TRUE(operations.set_tray_autorun());
    ASSERT_TRUE(readRunValue(value));
    EXPECT_EQ(value, "C:\\elsewhere\\tray.exe");

    RegSetKeyValueA(HKEY_LOCAL_MACHINE, kRunKey, Services::kTrayRunValue, REG_SZ, "", 1);
    EXPECT_TRUE(operations.set_tray_autorun());
    ASSERT_TRUE(readRunValue(value));
    EXPECT_EQ(value, "\"" + trayPath() + "\"") << "an empty value is replaced";

    const std::string unquoted = trayPath();
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, kRunKey, Services::kTrayRunValue, REG_SZ, unquoted.c_str(),
                    static_cast<DWORD>(unquoted.size() + 1));
    EXPECT_TRUE(operations.set_tray_autorun());
    ASSERT_TRUE(readRunValue(value));
    EXPECT_EQ(value, "\"" + trayPath() + "\"") << "our own unquoted path is quoted";
}

TEST_F(ServicesTest, RemoveSucceedsEvenWhenNothingCanBeRemoved) {
    testutil::LogCapture log;
    Services operations = services();
    EXPECT_TRUE(operations.remove_service());
    EXPECT_EQ(testutil::countLines(log.text(), "Failed to open "), 5u);
}
