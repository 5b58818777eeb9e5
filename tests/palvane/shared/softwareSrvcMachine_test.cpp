// The service core with the real component table, component operations and
// rollback: a fresh installation that creates and starts the agent's services
// from an update cabinet, and an upgrade whose component does not start,
// restored from the backup taken before the extraction.
#include <gtest/gtest.h>

#include "coreHarness.h"
#include "palvane/shared/softwareSrvc.h"
#include "support/agentMachine.h"
#include "support/localUpdateServer.h"
#include "support/webView2Present.h"
#include "support/serviceSandbox.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"

using PALVANE_SERVICE::PalvaneService;
using testutil::ScriptedResponse;
using namespace coretest;

namespace {

class CoreOnAMachine : public ::testing::Test {
protected:
    void SetUp() override {
        sessions_.sessions.logOnCurrentUser();
        setServiceWaitClock(&clock_);
        set(configKeys::PATH, machine_.path());
        set(configKeys::CID, "cust-7");
        set(configKeys::ENVIRONMENT, server_.baseUrl());
    }
    void TearDown() override {
        setServiceWaitClock(nullptr);
        setLogPostUrl("");
        setPostLogLevel(99);
    }

    void set(const char* name, const std::string& value) { localConfig(false).setString(name, value.c_str()); }

    // Real components, operations and rollback; only the pauses are short.
    std::unique_ptr<PalvaneService> makeCore() {
        PalvaneService::Seams seams;
        seams.sleep = [](uint32_t milliseconds) { Sleep(std::min<uint32_t>(milliseconds, 5)); };
        return std::make_unique<PalvaneService>(std::move(seams));
    }

    bool noBackupLeft() const {
        for (const char* folder : {"Quillmark Agent", "Quillmark Drivers", "qmproxy", "qmdns"}) {
            const DWORD attributes = GetFileAttributesA((machine_.path() + folder + "_backup").c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES) return false;
        }
        return true;
    }

    testutil::MachineSettingsSandbox settings_;
    testutil::SessionSeams sessions_;
    testutil::FastPauseClock clock_;
    testutil::AgentMachine machine_;
    testutil::LocalUpdateServer server_;
    testutil::LogCapture log_{8};
    testutil::WebView2Present webView2_;
    UserRebootMode userReboot_;
};

TEST_F(CoreOnAMachine, FreshInstallationCreatesAndStartsTheAgentsServices) {
    const std::string cabinet = fixtureCabinet("agent_full.cab");
    ASSERT_FALSE(cabinet.empty());
    const std::string url = server_.baseUrl() + "cabs/agent.cab";
    server_.expect("GET", "/check_agent_updates?guid=",
                   ScriptedResponse::json("{\"upgrade_version\":\"2.0.0\",\"download_url\":\"" + url +
                                          "\",\"sha256Hash\":\"" + testutil::sha256Hex(cabinet) + "\"}"));
    server_.expect("GET", "/cabs/agent.cab", ScriptedResponse::cabinet(cabinet, "agent-2.0.0.cab"));

    auto core = makeCore();
    ASSERT_FALSE(core->isAgentInstalled());
    core->start([] {});
    ASSERT_TRUE(testutil::waitUntil([] { return setting(configKeys::INSTALLED_VERSION) == "2.0.0"; },
                                    std::chrono::seconds(90)))
        << log_.text();
    EXPECT_EQ(testutil::serviceState("twQuillmark"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(testutil::serviceState("tarnwell_qmproxy"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(testutil::serviceState("qmdns"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(testutil::serviceState("twprotect"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(core->isAgentInstalled());
    EXPECT_EQ(setting(configKeys::INSTALL_PENDING), "<absent>");
    EXPECT_TRUE(noBackupLeft());
    core->stop();
}

TEST_F(CoreOnAMachine, UpgradeWhoseComponentDoesNotStartIsRestoredFromTheBackup) {
    machine_.placeAll();
    markAgentInstalled(machine_.path());
    std::string original;
    ASSERT_TRUE(testutil::readFile(machine_.path() + "qmdns\\dnsserver.exe", original));
    const std::string cabinetPath = machine_.path() + "agent-1.1.0.cab";
    const std::string cabinet = fixtureCabinet("agent_broken.cab");
    ASSERT_TRUE(testutil::writeFile(cabinetPath, cabinet));
    set(configKeys::INSTALL_CABHASH, testutil::sha256Hex(cabinet));
    set(configKeys::INSTALLED_VERSION, "1.0.0");
    set(configKeys::INSTALL_PENDING, "true");
    set(configKeys::INSTALL_CABFILE, cabinetPath);
    set(configKeys::UPGRADE_VERSION, "1.1.0");
    set(configKeys::INSTALLING_VERSION, "1.1.0");
    set(configKeys::REBOOT_MODE, "true");

    auto core = makeCore();
    core->start([] {});
    ASSERT_TRUE(core->installRecord().phaseOneDue());
    core->onIpcReady(true);  // an agent process connected: phase I
    ASSERT_TRUE(testutil::waitUntil([&] { return log_.contains("Purge backup") && !core->isInstallationRunning(); },
                                    std::chrono::seconds(90)))
        << log_.text();
    EXPECT_TRUE(log_.contains("Installation did not complete due to launching services failure, statue=-8"));
    std::string restored;
    ASSERT_TRUE(testutil::readFile(machine_.path() + "qmdns\\dnsserver.exe", restored));
    EXPECT_TRUE(restored == original) << "the program from before the extraction is back";
    EXPECT_EQ(testutil::serviceState("qmdns"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(setting(configKeys::INSTALLED_VERSION), "1.0.0");
    EXPECT_EQ(setting(configKeys::INSTALL_PENDING), "<absent>") << "a completed restore ends the installation";
    EXPECT_FALSE(core->isChangingComponents()) << "the restored agent is watched again";
    EXPECT_TRUE(noBackupLeft());
    core->stop();
}

}  // namespace
