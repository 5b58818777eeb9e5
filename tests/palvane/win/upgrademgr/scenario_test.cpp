// The service program end to end under the real service control manager,
// with the test runtime library: install, start, a reload asked for by the
// runtime, stop, removal, and a crash that leaves a dump. This test program
// stays alive throughout: the service would be ended with the last ordinary
// program of the Wine prefix.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/consoleRun.h"
#include "support/testUtil.h"
#include "utils/configKeys.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

using namespace std::chrono_literals;

namespace {

const wchar_t* const kServiceName = L"twPalvane";

// One line of the test runtime's record: "<file> <call> pid=<n> tick=<ms>".
struct Call {
    std::string line;
    unsigned long long tick = 0;
    unsigned long pid = 0;
};

class ServiceScenarioTest : public ::testing::Test {
protected:
    void SetUp() override {
        removeService();
        // A blank in the folder name: the service must still be started from
        // the right program.
        root_ = base_.path() + "Tarnwell Agent\\";
        library_ = root_ + "Quillmark Palvane\\";
        for (const std::string& folder : {root_, root_ + "logs", library_, library_ + "logs"}) {
            ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr)) << folder;
        }
        ASSERT_TRUE(copyFixture("palvanesvc.exe", root_));
        ASSERT_TRUE(copyFixture("palvane_test1.dll", library_));
        settings_.set(configKeys::PATH, root_);
    }

    void TearDown() override { removeService(); }

    static bool copyFixture(const std::string& name, const std::string& folder) {
        return CopyFileA((testutil::exeDirectoryA() + name).c_str(), (folder + name).c_str(), FALSE) != FALSE;
    }

    testutil::ConsoleResult host(const std::wstring& argument) {
        std::wstring program;
        toWide(root_ + "palvanesvc.exe", program);
        return testutil::runConsole(L"\"" + program + L"\" " + argument, 60000);
    }

    // Stops and deletes a service left behind by a failed run; bounded.
    static void removeService() {
        UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager) return;
        UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (!service) return;
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        testutil::waitUntil([&] { return state(service.get()) == SERVICE_STOPPED; }, 15s);
        DeleteService(service.get());
    }

    static DWORD state(SC_HANDLE service) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status)) return 0;
        return status.dwCurrentState;
    }

    bool startService() {
        UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_START));
        return service && StartServiceW(service.get(), 0, nullptr);
    }

    DWORD serviceState() {
        UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
        return service ? state(service.get()) : 0;
    }

    std::vector<Call> calls() const {
        std::string text;
        testutil::readFile(library_ + "palvane_test_calls.txt", text);
        std::vector<Call> result;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            Call call;
            call.line = line.substr(0, line.find(" pid="));
            sscanf(line.c_str() + line.find(" pid="), " pid=%lu tick=%llu", &call.pid, &call.tick);
            result.push_back(call);
        }
        return result;
    }

    // Index of the first recorded call starting with `what`, or -1.
    int indexOf(const std::string& what) const {
        const std::vector<Call> all = calls();
        for (size_t i = 0; i < all.size(); ++i) {
            if (all[i].line.rfind(what, 0) == 0) return static_cast<int>(i);
        }
        return -1;
    }

    Call call(const std::string& what) const {
        const int index = indexOf(what);
        return index < 0 ? Call() : calls()[index];
    }

    bool waitForCall(const std::string& what, std::chrono::milliseconds timeout = 30s) const {
        return testutil::waitUntil([&] { return indexOf(what) >= 0; }, timeout);
    }

    void command(const std::string& text) { ASSERT_TRUE(testutil::writeFile(library_ + "palvane_test_command.txt", text)); }

    std::string setting(const char* name) {
        std::string value;
        settings_.get(name, value);
        return value;
    }

    std::string recordText() const {
        std::string text;
        testutil::readFile(library_ + "palvane_test_calls.txt", text);
        std::string log;
        testutil::readFile(root_ + "logs\\palvanesvc.log", log);
        return text + "---- host log\n" + log;
    }

    testutil::TempDir base_;
    testutil::MachineSettingsSandbox settings_;
    std::string root_;
    std::string library_;
};

TEST_F(ServiceScenarioTest, InstallStartReloadStopAndRemove) {
    const testutil::ConsoleResult installed = host(L"-install");
    EXPECT_EQ(installed.output, "twPalvane is installed.\n");
    EXPECT_EQ(installed.exitCode, 0u);

    {
        UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
        ASSERT_TRUE(service);
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                        static_cast<DWORD>(buffer.size()), &needed));
        const auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        std::string imagePath;
        toUtf8(config->lpBinaryPathName, imagePath);
        EXPECT_EQ(imagePath, "\"" + root_ + "palvanesvc.exe\"");
        EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        // Restarted after a crash, spaced out (Wine keeps no failure actions: its query fails).
        const auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer.data());
        if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), 8192, &needed)) {
            ASSERT_EQ(failure->cActions, 3u);
            EXPECT_EQ(failure->lpsaActions[0].Delay + failure->lpsaActions[2].Delay, 960000u);
        }
    }

    ASSERT_TRUE(startService()) << GetLastError();
    ASSERT_TRUE(waitForCall("palvane_test1.dll StartMonitoring")) << recordText();
    EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), library_ + "palvane_test1.dll");
    EXPECT_EQ(setting(configKeys::DLL_VERSION), "1.2.3");

    // The runtime places a newer copy of itself and asks for it.
    ASSERT_TRUE(copyFixture("palvane_test2.dll", library_));
    settings_.set(configKeys::INSTALL_LIBRARY, library_ + "palvane_test2.dll");
    command("callback");
    ASSERT_TRUE(waitForCall("palvane_test2.dll StartMonitoring")) << recordText();
    unsigned long callbackMs = 99999;
    sscanf(call("palvane_test1.dll callback returned").line.c_str(), "palvane_test1.dll callback returned ms=%lu",
           &callbackMs);
    EXPECT_LT(callbackMs, 1000u) << recordText();
    const int stopped = indexOf("palvane_test1.dll StopMonitoring");
    const int destroyed = indexOf("palvane_test1.dll Destructor");
    const int constructed = indexOf("palvane_test2.dll Constructor");
    EXPECT_LT(stopped, destroyed);
    EXPECT_LT(destroyed, constructed);
    EXPECT_GE(call("palvane_test1.dll Destructor").tick - call("palvane_test1.dll StopMonitoring").tick, 4980u)
        << recordText();
    EXPECT_TRUE(testutil::waitUntil(
        [&] { return setting(configKeys::DLL_FILE_NAME) == library_ + "palvane_test2.dll"; }, 5s));
    EXPECT_TRUE(testutil::fileExists(library_ + "palvane_test1.dll")) << "kept until its successor has proved itself";
    EXPECT_EQ(setting(configKeys::DLL_VERSION), "1.2.4");

    const testutil::ConsoleResult removed = host(L"-remove");
    EXPECT_EQ(removed.output.rfind("Stopping twPalvane.", 0), 0u) << removed.output;
    const std::string tail = "\ntwPalvane is stopped.\ntwPalvane is removed.\n";
    ASSERT_GE(removed.output.size(), tail.size());
    EXPECT_EQ(removed.output.substr(removed.output.size() - tail.size()), tail) << removed.output;
    EXPECT_EQ(removed.exitCode, 0u);
    EXPECT_GT(indexOf("palvane_test2.dll StopMonitoring"), constructed) << recordText();
    EXPECT_GT(indexOf("palvane_test2.dll Destructor"), constructed);

    const testutil::ConsoleResult again = host(L"/Remove");
    EXPECT_EQ(again.output, "OpenService failed w/err 0x00000424\n");
    EXPECT_EQ(again.exitCode, 0u);
}

// A stop while the runtime's start (the service's own, or a reload's new
// library's) still runs: the control returns at once, the service shows the
// stop's progress and stops once the runtime's start has returned.
TEST_F(ServiceScenarioTest, StopDuringARuntimeStartReturnsAtOnceAndShowsProgress) {
    for (const bool reload : {false, true}) {
        SCOPED_TRACE(reload ? "during a reload" : "during the service's start");
        const std::string library = reload ? "palvane_test2.dll" : "palvane_test1.dll";
        const std::string slowStart = library_ + "palvane_test_slow_start.txt";
        removeService();
        for (const char* file : {"palvane_test_calls.txt", "palvane_test_slow_start.txt", "palvane_test2.dll"}) {
            DeleteFileA((library_ + file).c_str());
        }
        ASSERT_TRUE(copyFixture("palvane_test1.dll", library_));
        settings_.set(configKeys::DLL_FILE_NAME, library_ + "palvane_test1.dll");
        ASSERT_EQ(host(L"-install").output, "twPalvane is installed.\n");
        if (reload) {
            ASSERT_TRUE(startService()) << GetLastError();
            ASSERT_TRUE(waitForCall("palvane_test1.dll StartMonitoring")) << recordText();
        }
        ASSERT_TRUE(testutil::writeFile(slowStart, "2500"));
        if (!reload) {
            ASSERT_TRUE(startService()) << GetLastError();
        } else {
            ASSERT_TRUE(copyFixture("palvane_test2.dll", library_));
            settings_.set(configKeys::INSTALL_LIBRARY, library_ + "palvane_test2.dll");
            command("callback");
        }
        ASSERT_TRUE(waitForCall(library + " StartMonitoring")) << recordText();

        UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
        EXPECT_EQ(indexOf(library + " StartMonitoring returned"), -1) << "the control waited for the runtime";
        EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
        std::set<DWORD> checkPoints;
        EXPECT_TRUE(testutil::waitUntil([&] {
            SERVICE_STATUS now{};
            QueryServiceStatus(service.get(), &now);
            if (now.dwCurrentState == SERVICE_STOP_PENDING) checkPoints.insert(now.dwCheckPoint);
            return now.dwCurrentState == SERVICE_STOPPED;
        }, 30s)) << recordText();
        EXPECT_GE(checkPoints.size(), 2u) << "the stop's checkpoint did not advance";
        const int stopped = indexOf(library + " StopMonitoring");
        EXPECT_GE(stopped, 0) << recordText();
        EXPECT_LT(stopped, indexOf(library + " StartMonitoring returned")) << recordText();
        EXPECT_LT(indexOf(library + " StartMonitoring returned"), indexOf(library + " Destructor")) << recordText();
    }
}

TEST_F(ServiceScenarioTest, SwitchesMatchInAnyCaseAndNothingElse) {
    for (const wchar_t* ignored : {L"--install", L"-installx", L"/stop"}) {
        const testutil::ConsoleResult result = host(ignored);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(result.exitCode, 0u);
    }
    EXPECT_EQ(serviceState(), 0u);
    const testutil::ConsoleResult installed = host(L"/INSTALL");
    EXPECT_EQ(installed.output, "twPalvane is installed.\n");
    const testutil::ConsoleResult twice = host(L"-Install");
    EXPECT_EQ(twice.output, "CreateService failed w/err 0x00000431\n");
    EXPECT_EQ(twice.exitCode, 0u);
    // A stopped service is removed without a stop.
    EXPECT_EQ(host(L"-REMOVE").output, "twPalvane is removed.\n");
}

TEST_F(ServiceScenarioTest, CrashInTheRuntimeLeavesADumpInTheLogsFolder) {
    ASSERT_EQ(host(L"-install").output, "twPalvane is installed.\n");
    ASSERT_TRUE(startService()) << GetLastError();
    ASSERT_TRUE(waitForCall("palvane_test1.dll StartMonitoring")) << recordText();
    const unsigned long pid = call("palvane_test1.dll StartMonitoring").pid;
    ASSERT_NE(pid, 0u);

    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    ASSERT_TRUE(process) << GetLastError();
    command("crash");
    // The process ends once the dump is written.
    ASSERT_EQ(WaitForSingleObject(process.get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0)) << recordText();
    const std::string dump = library_ + "logs\\palvanesvc-" + std::to_string(pid) + ".mdmp";
    std::string content;
    ASSERT_TRUE(testutil::readFile(dump, content)) << recordText();
    EXPECT_EQ(content.substr(0, 4), "MDMP");
    std::string log;
    testutil::readFile(root_ + "logs\\palvanesvc.log", log);
    EXPECT_NE(log.find("Caught exception in handler"), std::string::npos) << log;
    EXPECT_NE(log.find("Write exception to " + dump), std::string::npos) << log;
}

}  // namespace
