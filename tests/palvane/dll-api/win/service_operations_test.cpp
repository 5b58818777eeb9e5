#include "palvane/dll-api/win/service_operations.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "palvane/dll-api/win/driver_operations.h"
#include "support/agentMachine.h"
#include "support/logLines.h"
#include "support/serviceSandbox.h"

using testutil::loggedAt;

namespace {

std::vector<std::string> namesOf(const InstalledServiceList& components) {
    std::vector<std::string> names;
    for (const auto& component : components) names.push_back(component->name);
    return names;
}

Installed_services agentService() {
    return Installed_services("twQuillmark", "Tarnwell Quillmark Agent", "Tarnwell Quillmark management service",
                              "Quillmark Agent", "twpagent.exe");
}

std::shared_ptr<Installed_drivers> miniFilter() {
    return std::make_shared<Installed_drivers>("twprotect", "Tarnwell Mini-Filter Driver",
                                               "Tarnwell Mini-Filter Driver", "Quillmark Drivers", "twprotect.inf");
}

}  // namespace

TEST(ComponentTable, HoldsThePacketFilterFromWindows10On) {
    testutil::LogCapture log;
    const InstalledServiceList older = get_installed_services(6);
    EXPECT_EQ(namesOf(older), (std::vector<std::string>{"twprotect", "twQuillmark", "tarnwell_qmproxy", "qmdns"}));
    EXPECT_EQ(testutil::countLines(log.text(), "packet filter driver is supported"), 0u);

    const InstalledServiceList current = get_installed_services(10);
    EXPECT_EQ(namesOf(current),
              (std::vector<std::string>{"twprotect", "twQuillmark", "PacketFilter", "tarnwell_qmproxy", "qmdns"}));
    EXPECT_TRUE(loggedAt(log.text(), "The packet filter driver is supported on Windows 10 or later.", "Notice"));
    EXPECT_EQ(testutil::countLines(log.text(), "packet filter driver is supported"), 1u);
}

TEST(ComponentTable, RowsCarryTheirKindFolderAndFile) {
    const InstalledServiceList table = get_installed_services(10);
    std::vector<std::shared_ptr<Installed_services>> rows(table.begin(), table.end());
    const bool drivers[] = {true, false, true, false, false};
    const char* folders[] = {"Quillmark Drivers", "Quillmark Agent", "Quillmark Drivers", "qmproxy", "qmdns"};
    const char* files[] = {"twprotect.inf", "twpagent.exe", "PacketFilterDriver.inf", "qmproxysvc.exe",
                           "dnsserver.exe"};
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(dynamic_cast<Installed_drivers*>(rows[i].get()) != nullptr, drivers[i]) << rows[i]->name;
        EXPECT_EQ(rows[i]->is_service, drivers[i] ? 0 : 1) << rows[i]->name;
        EXPECT_EQ(rows[i]->folder, folders[i]);
        EXPECT_EQ(rows[i]->file_name, files[i]);
        EXPECT_FALSE(rows[i]->hasServiceHandle());
    }
    EXPECT_EQ(rows[3]->display_name, "Tarnwell QMProxy");
    EXPECT_EQ(rows[3]->description, "A Tarnwell Proxy server to foward network traffics from client's host");
    EXPECT_EQ(rows[4]->description, "A DNS server for Qmproxy");
}

class ComponentTest : public ::testing::Test {
protected:
    testutil::FastPauseClock clock_;
    testutil::AgentMachine machine_;
};

TEST_F(ComponentTest, ServiceInstallsQuotedDemandStartOwnProcessCriticalWithItsDescription) {
    machine_.placeService("Quillmark Agent", "twpagent.exe");
    Installed_services agent = agentService();
    ASSERT_TRUE(agent.install(machine_.path()));
    EXPECT_EQ(agent.lastError(), 0u);
    EXPECT_TRUE(agent.hasServiceHandle());

    const testutil::ServiceConfigRecord config = testutil::readServiceConfig("twQuillmark");
    ASSERT_TRUE(config.found);
    EXPECT_EQ(config.binaryPath, "\"" + machine_.path() + "Quillmark Agent\\twpagent.exe\"");
    EXPECT_EQ(config.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_CRITICAL));
    EXPECT_EQ(config.displayName, "Tarnwell Quillmark Agent");
    EXPECT_EQ(config.description, "Tarnwell Quillmark management service");
    EXPECT_EQ(config.dependencies, "");

    ASSERT_TRUE(agent.start());
    EXPECT_EQ(testutil::serviceState("twQuillmark"), static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_TRUE(agent.stop());
    EXPECT_EQ(testutil::serviceState("twQuillmark"), static_cast<DWORD>(SERVICE_STOPPED));
    ASSERT_TRUE(agent.remove());
    EXPECT_FALSE(testutil::readServiceConfig("twQuillmark").found);
}

TEST_F(ComponentTest, AMissingServiceCountsAsNotInstalled) {
    testutil::LogCapture log;
    Installed_services agent = agentService();
    agent.open();
    EXPECT_TRUE(agent.isNotInstalled());
    EXPECT_FALSE(agent.start());
    EXPECT_TRUE(loggedAt(log.text(), "twQuillmark is not installed.", "Info"));
    EXPECT_TRUE(agent.stop());
    EXPECT_TRUE(agent.remove());
}

TEST_F(ComponentTest, ASuccessfulOpenEndsAStaleNotInstalledState) {
    machine_.placeService("Quillmark Agent", "twpagent.exe");
    testutil::LogCapture log;
    Installed_services watcher = agentService();
    watcher.open();
    ASSERT_TRUE(watcher.isNotInstalled());

    Installed_services installer = agentService();
    ASSERT_TRUE(installer.install(machine_.path()));

    watcher.open();
    EXPECT_TRUE(watcher.hasServiceHandle());
    EXPECT_FALSE(watcher.isNotInstalled());
    EXPECT_TRUE(watcher.start()) << "the service was installed meanwhile\n" << log.text();
}

TEST_F(ComponentTest, DriverInstallsFromItsInfStartsAndUninstalls) {
    machine_.placeDriver("twprotect.inf", "twprotect.exe");
    auto driver = miniFilter();
    ASSERT_TRUE(driver->install(machine_.path()));
    EXPECT_TRUE(driver->hasServiceHandle());
    EXPECT_EQ(driver->lastError(), 0u);
    const std::string target = testutil::AgentMachine::driverTarget("twprotect.exe");
    EXPECT_TRUE(testutil::fileExists(target));
    EXPECT_EQ(testutil::readServiceConfig("twprotect").serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));

    ASSERT_TRUE(driver->start());
    EXPECT_EQ(testutil::serviceState("twprotect"), static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_TRUE(driver->stop());
    ASSERT_TRUE(driver->uninstall(machine_.path()));
    EXPECT_FALSE(testutil::fileExists(target));
    EXPECT_FALSE(testutil::readServiceConfig("twprotect").found);
}

TEST_F(ComponentTest, AnInfWithoutTheAmd64SectionInstallsFromDefaultInstall) {
    machine_.placeDriver("twprotect.inf", "twprotect.exe");
    const std::string inf = machine_.path() + "Quillmark Drivers\\twprotect.inf";
    std::string text;
    ASSERT_TRUE(testutil::readFile(inf, text));
    const std::string section = "[DefaultInstall.NTamd64]";
    text.replace(text.find(section), section.size(), "[DefaultInstall]");
    ASSERT_TRUE(testutil::writeFile(inf, text));

    auto driver = miniFilter();
    ASSERT_TRUE(driver->install(machine_.path()));
    EXPECT_TRUE(testutil::fileExists(testutil::AgentMachine::driverTarget("twprotect.exe")));
}

TEST_F(ComponentTest, ADriverWithoutItsInfIsNeitherInstalledNorUninstalled) {
    testutil::LogCapture log;
    auto driver = miniFilter();
    EXPECT_FALSE(driver->install(machine_.path()));
    EXPECT_FALSE(driver->uninstall(machine_.path()));
    EXPECT_EQ(testutil::countLines(log.text(), "Quillmark Drivers\\twprotect.inf does not exist."), 2u);
    EXPECT_TRUE(loggedAt(log.text(), "twprotect.inf does not exist.", "Warn"));
    EXPECT_FALSE(testutil::readServiceConfig("twprotect").found);
}

// The INF is there but the driver's program is not. Answering "the media is
// there" would be asked again for ever; the commit must end with the failure line.
TEST_F(ComponentTest, AMissingDriverProgramAbortsTheDriverInstall) {
    machine_.placeDriver("twprotect.inf", "twprotect.exe");
    DeleteFileA((machine_.path() + "Quillmark Drivers\\twprotect.exe").c_str());
    testutil::LogCapture log;
    auto driver = miniFilter();
    auto result = std::make_shared<std::promise<bool>>();
    std::future<bool> installed = result->get_future();
    std::thread([driver, result, path = machine_.path()] { result->set_value(driver->install(path)); }).detach();
    ASSERT_EQ(installed.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the commit never ended";
    EXPECT_FALSE(installed.get());
    EXPECT_TRUE(loggedAt(log.text(), "SetupCommitFileQueue() failed.", "Error")) << log.text();
    EXPECT_FALSE(testutil::readServiceConfig("twprotect").found);
}

TEST(FileQueueCallback, LetsOperationsGoAheadAndAbortsOnFileErrors) {
    EXPECT_EQ(Installed_drivers::file_queue_callback(nullptr, SPFILENOTIFY_STARTQUEUE, 0, 0), 1u);
    EXPECT_EQ(Installed_drivers::file_queue_callback(nullptr, SPFILENOTIFY_STARTCOPY, 0, 0),
              static_cast<UINT>(FILEOP_DOIT));
    testutil::TempDir dir;
    ASSERT_TRUE(testutil::writeFile(dir.file("present.exe"), "x"));
    const std::wstring folder = dir.wpath();
    SOURCE_MEDIA_W media{};
    media.SourcePath = folder.c_str();
    media.SourceFile = L"present.exe";
    EXPECT_EQ(Installed_drivers::file_queue_callback(nullptr, SPFILENOTIFY_NEEDMEDIA, reinterpret_cast<UINT_PTR>(&media), 0),
              static_cast<UINT>(FILEOP_DOIT));
    media.SourceFile = L"missing.exe";
    EXPECT_EQ(Installed_drivers::file_queue_callback(nullptr, SPFILENOTIFY_NEEDMEDIA, reinterpret_cast<UINT_PTR>(&media), 0),
              static_cast<UINT>(FILEOP_ABORT));
    EXPECT_EQ(Installed_drivers::file_queue_callback(nullptr, SPFILENOTIFY_TARGETNEWER, 0, 0), 1u);

    testutil::LogCapture log;
    wchar_t target[] = L"C:\\target\\twprotect.exe";
    FILEPATHS_W paths{};
    paths.Target = target;
    paths.Win32Error = ERROR_ACCESS_DENIED;
    for (UINT notification : {SPFILENOTIFY_COPYERROR, SPFILENOTIFY_RENAMEERROR, SPFILENOTIFY_DELETEERROR}) {
        EXPECT_EQ(Installed_drivers::file_queue_callback(nullptr, notification, reinterpret_cast<UINT_PTR>(&paths), 0),
                  static_cast<UINT>(FILEOP_ABORT))
            << notification;
    }
    EXPECT_EQ(testutil::countLines(log.text(), "C:\\target\\twprotect.exe, error=5"), 3u);
}
