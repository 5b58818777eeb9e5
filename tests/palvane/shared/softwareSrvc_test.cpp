// The service core: the start branch on the machine's state, the reboot
// flag's two stores, the log server address, the tick against a scripted
// update server through a real download, digest check and extraction, the
// recorded upgrade with its user message, phase I after a reboot, the hand-over
// to a new library, and the order in which the core frees its parts.
#include <gtest/gtest.h>

#include <thread>

#include "coreHarness.h"
#include "palvane/shared/coreParts.h"
#include "palvane/shared/softwareSrvc.h"
#include "support/ipcTestPeer.h"
#include "support/localUpdateServer.h"
#include "support/webView2Present.h"
#include "support/logLines.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"
#include "utils/win/stringconv.h"

using PALVANE_SERVICE::PalvaneService;
using testutil::LocalUpdateServer;
using testutil::ScriptedResponse;
using namespace coretest;

namespace {

const char* const kPostUiMessage = "post-uimessage";

// Records the backup steps among the component operations, so their order
// shows.
class RecordingRollback : public PALVANE_SERVICE::IRollback {
public:
    explicit RecordingRollback(std::shared_ptr<OperationsRecord> record, bool backupFails = false,
                               const std::atomic<bool>* restoreFails = nullptr)
        : record_(std::move(record)), backupFails_(backupFails), restoreFails_(restoreFails) {}
    bool backup() override { return step("backup") && !backupFails_; }
    void resume() override { step("resume"); }
    bool restore() override { return step("restore") && !(restoreFails_ && *restoreFails_); }
    bool purge() override { return step("purge"); }

private:
    bool step(const std::string& call) {
        record_->add(call);
        return true;
    }
    std::shared_ptr<OperationsRecord> record_;
    bool backupFails_;
    const std::atomic<bool>* restoreFails_;
};

// The machine's settings, but a value of one name cannot be written.
class RefusingStore : public PALVANE_SERVICE::ISettingsStore {
public:
    explicit RefusingStore(std::string refused) : refused_(std::move(refused)) {}
    bool get(const char* name, std::string& value) override { return machine_->get(name, value); }
    bool set(const char* name, const std::string& value) override { return name != refused_ && machine_->set(name, value); }
    bool remove(const char* name) override { return machine_->remove(name); }
    bool flush() override { return machine_->flush(); }

private:
    std::string refused_;
    std::shared_ptr<PALVANE_SERVICE::ISettingsStore> machine_ = PALVANE_SERVICE::makeMachineSettingsStore();
};

std::string answer(const std::string& version, const std::string& url, const std::string& hash, bool autoUpgrade) {
    return "{\"upgrade_version\":\"" + version + "\",\"download_url\":\"" + url + "\",\"sha256Hash\":\"" + hash +
           "\",\"auto_upgrade\":" + (autoUpgrade ? "true" : "false") + "}";
}

// Reads frames until one carries `text` (the greeting and other messages are
// skipped).
bool receivesMessage(testutil::IpcTestPeer& peer, const std::string& text) {
    std::string body;
    while (peer.readFrame(body, std::chrono::seconds(10))) {
        if (body.find(kPostUiMessage) != std::string::npos && body.find(text) != std::string::npos) return true;
    }
    return false;
}

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        sessions_.sessions.logOnCurrentUser();
        setPath(install_.path());
    }

    void TearDown() override {
        setLogPostUrl("");
        setPostLogLevel(99);
    }

    virtual void setPath(const std::string& path) { settings_.set(configKeys::PATH, path); }

    std::unique_ptr<PalvaneService> makeCore() { return std::make_unique<PalvaneService>(fastSeams(ops_)); }
    std::unique_ptr<PalvaneService> makeCore(PALVANE_SERVICE::PalvaneService::Seams seams) {
        return std::make_unique<PalvaneService>(std::move(seams));
    }
    void start(PalvaneService& core) {
        core.start([this] { ++reloads_; });
    }
    void set(const char* name, const std::string& value) { localConfig(false).setString(name, value.c_str()); }
    // An upgrade recorded before a reboot, its cabinet in `folder`: phase I is due.
    std::string recordUpgradeAwaitingReboot(const std::string& folder, const char* fixture = "folder.cab") {
        const std::string cabinetPath = folder + "agent-1.1.0.cab";
        const std::string cabinet = fixtureCabinet(fixture);
        EXPECT_TRUE(testutil::writeFile(cabinetPath, cabinet));
        set(configKeys::INSTALL_PENDING, "true");
        set(configKeys::INSTALL_CABFILE, cabinetPath);
        set(configKeys::INSTALL_CABHASH, testutil::sha256Hex(cabinet));
        set(configKeys::REBOOT_MODE, "true");
        return cabinetPath;
    }
    PalvaneService::Seams recordingRollbackSeams(bool backupFails = false) {
        auto seams = fastSeams(ops_);
        seams.rollback = [this, backupFails](const std::string&, const PALVANE_SERVICE::ComponentList&,
                                             PALVANE_SERVICE::InstallJournal&) {
            return std::make_shared<RecordingRollback>(ops_, backupFails, &restoreFails_);
        };
        return seams;
    }

    testutil::MachineSettingsSandbox settings_;
    testutil::TempDir install_;
    testutil::SessionSeams sessions_;
    testutil::LogCapture log_{8};
    testutil::WebView2Present webView2_;
    UserRebootMode userReboot_;
    std::shared_ptr<OperationsRecord> ops_ = std::make_shared<OperationsRecord>();
    std::atomic<int> reloads_{0};
    std::atomic<bool> restoreFails_{false};
};

// ---- start branch ----------------------------------------------------------

TEST_F(CoreTest, NoAgentAndNothingPendingStartsNoComponentAndTicksEvery20Seconds) {
    auto core = makeCore();
    EXPECT_FALSE(core->isAgentInstalled());
    EXPECT_EQ(core->timerPeriod(), 20u);
    start(*core);
    EXPECT_TRUE(ops_->all().empty());
    EXPECT_TRUE(log_.contains("Quillmark Agent\\twptray.exe is not installed."));
    EXPECT_EQ(core->declineReason("", ""), "") << "nothing failed yet";
    core->stop();
    core.reset();
    EXPECT_EQ(setting(configKeys::IPC_PALVANE_PORT), "<absent>") << "the IPC server is gone with the core";
}

TEST_F(CoreTest, InstalledAgentWithNothingPendingStartsStoppedComponents) {
    markAgentInstalled(install_.path());
    const char* const leftovers[] = {"agent-1.cab", "agent-2.cab.part"};
    for (const char* name : leftovers) testutil::writeFile(install_.file(name), "");
    auto core = makeCore();
    EXPECT_TRUE(core->isAgentInstalled());
    EXPECT_EQ(core->timerPeriod(), 300u);
    start(*core);
    for (const char* name : leftovers) EXPECT_FALSE(testutil::fileExists(install_.file(name)));
    EXPECT_EQ(ops_->all(), std::vector<std::string>{"start_service"});
    EXPECT_TRUE(log_.contains("Launch all stopped services from PalvaneService start."));
    core->stop();
}

TEST_F(CoreTest, StartBeginsTheHealthChecksAndStopEndsThemAtOnce) {
    markAgentInstalled(install_.path());
    auto core = makeCore();
    start(*core);
    ASSERT_TRUE(testutil::waitUntil([this] { return log_.contains("service_health_thread is started."); }));
    const auto begin = std::chrono::steady_clock::now();
    core->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3)) << "stop waited for the interval";
}

// The flag makes phase I due only for an upgrade that waits for it; with
// nothing pending it is reset and forgotten.
TEST_F(CoreTest, RebootModeInEitherStoreMakesARebootStartAndIsReset) {
    markAgentInstalled(install_.path());
    set(configKeys::INSTALL_PENDING, "true");
    set(configKeys::INSTALL_CABFILE, install_.file("agent-3.0.1.cab"));
    set(configKeys::REBOOT_MODE, "true");
    userReboot_.set("true");
    {
        auto core = makeCore();
        start(*core);
        EXPECT_TRUE(core->installRecord().phaseOneDue());
        EXPECT_TRUE(log_.contains("It is a REBOOT"));
        core->stop();
    }
    EXPECT_EQ(setting(configKeys::INSTALL_STAGE), "phase-one") << "phase I stays due until it has run";
    localConfig(false).deleteValue(configKeys::INSTALL_PENDING);
    std::string user;
    EXPECT_EQ(setting(configKeys::REBOOT_MODE), "false");
    ASSERT_TRUE(userReboot_.get(user));
    EXPECT_EQ(user, "false");

    userReboot_.set("true");
    {
        auto core = makeCore();
        start(*core);
        EXPECT_FALSE(core->installRecord().phaseOneDue()) << "nothing pending: the flag is cleared";
        EXPECT_TRUE(log_.contains("It is a REBOOT")) << "the user's value alone is read";
        core->stop();
    }
    ASSERT_TRUE(userReboot_.get(user));
    EXPECT_EQ(user, "false");

    {
        auto core = makeCore();
        start(*core);
        EXPECT_FALSE(core->installRecord().phaseOneDue());
        core->stop();
    }
}

TEST_F(CoreTest, NobodyLoggedOnAndNothingPendingDoesNotHoldTheStart) {
    sessions_.sessions.logOff();
    set(configKeys::REBOOT_MODE, "true");
    auto core = makeCore();
    const size_t waitsBefore = sessions_.waits().size();
    start(*core);
    EXPECT_EQ(sessions_.waits().size(), waitsBefore) << "the start waited for a user";
    EXPECT_FALSE(core->installRecord().phaseOneDue()) << "nothing pending: the flag is cleared";
    EXPECT_EQ(setting(configKeys::REBOOT_MODE), "false");
    EXPECT_TRUE(log_.contains("No user is logged on; the user's reboot flag is left for a later start."));
    core->stop();
}

TEST_F(CoreTest, NobodyLoggedOnWithAnUpgradeWaitingForItsRebootWaitsForAUser) {
    sessions_.sessions.logOff();
    markAgentInstalled(install_.path());
    set(configKeys::INSTALL_PENDING, "true");
    set(configKeys::INSTALL_CABFILE, install_.file("agent-3.0.1.cab"));
    set(configKeys::INSTALLED_VERSION, "3.0.0");
    auto core = makeCore();
    const size_t waitsBefore = sessions_.waits().size();
    start(*core);
    EXPECT_GT(sessions_.waits().size(), waitsBefore) << "the reboot flag decides what a waiting upgrade does";
    EXPECT_TRUE(log_.contains("Failed to open user's data registry"));
    core->stop();
}

// ---- configuration and log server ------------------------------------------

// An environment without "cv" skips only the log server: the rest of the start still runs.
TEST_F(CoreTest, LogServerAddressReplacesTheFirstCvOnly) {
    markAgentInstalled(install_.path());
    set(configKeys::CID, "cust-7");
    const std::pair<const char*, const char*> rows[] = {
        {"http://127.0.0.1:9/", ""}, {"https://cv.example.com/cv/", "https://portal.example.com/cv/log"}};
    for (const auto& [environment, logServer] : rows) {
        set(configKeys::ENVIRONMENT, environment);
        auto core = makeCore();
        start(*core);
        EXPECT_EQ(getLogPostUrl(), logServer);
        core->stop();
    }
    EXPECT_EQ(ops_->count("start_service"), 2u);
}

TEST_F(CoreTest, LevelSettingOverridesTheFileLevelOnlyUpTo7) {
    set(configKeys::LEVEL, "8");
    {
        auto core = makeCore();
        start(*core);
        EXPECT_EQ(getFileLogLevel(), 8);
        EXPECT_FALSE(log_.contains("Overriding log level"));
        core->stop();
    }
    setFileLogLevel(8);
    set(configKeys::LEVEL, "5");
    auto core = makeCore();
    start(*core);
    EXPECT_EQ(getFileLogLevel(), 5);
    setFileLogLevel(8);
    EXPECT_TRUE(log_.contains("Overriding log level to 5"));
    core->stop();
}

TEST_F(CoreTest, TickWithoutEnvironmentOnlyLogs) {
    set(configKeys::CID, "cust-7");
    auto core = makeCore();
    start(*core);
    core->onTimer();
    EXPECT_GE(testutil::countLines(log_.text(), "Failed to get environment value."), 2u);
    core->stop();
    setFileLogLevel(8);  // stop lowers it to Warn
    core->onTimer();
    EXPECT_TRUE(log_.contains("Skip query upgrade information."));
}

// ---- update cycle against a scripted server --------------------------------

class CoreUpdateTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        set(configKeys::CID, "cust-7");
        set(configKeys::ENVIRONMENT, server_.baseUrl());
    }
    std::string url(const std::string& path) const { return server_.baseUrl() + path; }

    LocalUpdateServer server_;
};

TEST_F(CoreUpdateTest, FreshInstallationFromTheFirstTick) {
    const std::string cabinet = fixtureCabinet("folder.cab");
    server_.expect("GET", "/check_agent_updates?guid=",
                   ScriptedResponse::json(answer("2.1.0", url("cabs/agent.cab"), testutil::sha256Hex(cabinet), false)));
    server_.expect("GET", "/cabs/agent.cab", ScriptedResponse::cabinet(cabinet, "agent-2.1.0.cab"));

    auto core = makeCore();
    start(*core);  // the first tick comes after 1.5 s
    ASSERT_TRUE(testutil::waitUntil([] { return setting(configKeys::INSTALLED_VERSION) == "2.1.0"; },
                                    std::chrono::seconds(30)));
    ASSERT_TRUE(testutil::waitUntil([&] { return !core->isInstallationRunning(); }));
    EXPECT_TRUE(testutil::fileExists(install_.file("Quillmark Agent\\agent.exe")));
    EXPECT_TRUE(testutil::fileExists(install_.file("qmdns\\dns.exe")));
    // The task frees its extractor, which deletes the cabinet, after the
    // completion has recorded the version.
    EXPECT_TRUE(testutil::waitUntil([&] { return !testutil::fileExists(install_.file("agent-2.1.0.cab")); }))
        << "a fresh installation's cabinet goes";
    EXPECT_EQ(setting(configKeys::INSTALLING_VERSION), "<absent>");
    EXPECT_EQ(setting(configKeys::INSTALL_PENDING), "<absent>");
    EXPECT_TRUE(core->isAgentInstalled());
    EXPECT_EQ(core->timerPeriod(), 300u);
    EXPECT_EQ(ops_->all(), (std::vector<std::string>{"start_service", "set_tray_autorun", "launch_tray"}));
    core->stop();
    core.reset();

    const auto requests = server_.requests();
    ASSERT_GE(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("cid"), "cust-7");
    EXPECT_NE(requests[0].target.find("&force_install=true&initial_version=&operating_system=Windows"),
              std::string::npos)
        << requests[0].target;
}

// The server keeps offering a cabinet whose digest never matches: it is
// fetched again only after a spacing that grows (40 s, then 80 s).
TEST_F(CoreUpdateTest, AFreshDownloadThatKeepsFailingIsRetriedLessAndLessOften) {
    const std::string cabinet = fixtureCabinet("folder.cab");
    // Every answer links the cabinet with a URL of its own, as a signed link would.
    for (int answered = 0; answered < 5; ++answered) {
        server_.expect("GET", "/check_agent_updates?guid=",
                       ScriptedResponse::json(answer("2.1.0", url("cabs/agent.cab?n=" + std::to_string(answered)),
                                                     testutil::sha256Hex("other"), false)));
    }
    server_.expect("GET", "/cabs/agent.cab", ScriptedResponse::cabinet(cabinet, "agent-2.1.0.cab"), 3);
    auto downloads = [&] {
        size_t count = 0;
        for (const auto& request : server_.requests()) count += request.target.rfind("/cabs/agent.cab", 0) == 0 ? 1 : 0;
        return count;
    };
    std::atomic<uint64_t> now{1000000};
    auto seams = fastSeams(ops_);
    seams.clock = [&now] { return now.load(); };
    auto core = makeCore(std::move(seams));
    start(*core);  // the first tick comes after 1.5 s
    auto failedAgain = [&](size_t count) {
        return testutil::waitUntil([&] { return downloads() == count && !core->isInstallationRunning(); },
                                   std::chrono::seconds(30));
    };
    ASSERT_TRUE(failedAgain(1));
    core->onTimer();
    EXPECT_TRUE(log_.contains("Version 2.1.0 failed to install; it is tried again in 40 s."));
    now += 40000;
    core->onTimer();
    EXPECT_TRUE(core->isInstallationRunning()) << "marked by the tick that queued it";
    ASSERT_TRUE(failedAgain(2));
    now += 40000;
    core->onTimer();
    now += 80000;
    core->onTimer();
    ASSERT_TRUE(failedAgain(3));
    core->stop();
    EXPECT_EQ(downloads(), 3u);
    EXPECT_TRUE(ops_->all().empty());
    EXPECT_FALSE(testutil::fileExists(install_.file("Quillmark Agent\\agent.exe")));
}

// An answer nested deeper than the JSON reader allows fails to parse; one of
// tens of megabytes is not even read whole. Each fails the tick like any bad
// answer (and is not logged whole), and a stop right after is clean.
TEST_F(CoreUpdateTest, HostileAnswersFailTheTickAndTheStopAfterIsClean) {
    markAgentInstalled(install_.path());
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    const std::string huge = "{\"upgrade_version\":\"" + std::string(30u << 20, '9') + "\"}";
    const struct {
        const std::string& body;
        std::string line;
    } rows[] = {{deep, "Failed to parse json string:" + deep.substr(0, 100)},
                {huge, "Failed to get download information: "}};
    for (const auto& row : rows) {
        server_.expect("GET", "/check_agent_updates?guid=", ScriptedResponse::json(row.body));
        auto core = makeCore();
        start(*core);
        core->onTimer();
        EXPECT_TRUE(log_.contains(row.line)) << row.body.size();
        EXPECT_LT(log_.text().size(), 64u * 1024) << "the answer was logged whole";
        core->stop();
        core.reset();
    }
}

TEST_F(CoreUpdateTest, CabinetWithANewRuntimeLibraryHandsOverAndTheNewCoreFinishes) {
    const std::string cabinet = fixtureCabinet("nested.cab");
    set(configKeys::DLL_VERSION, "1.0.0");
    server_.expect("GET", "/check_agent_updates?guid=",
                   ScriptedResponse::json(answer("2.2.0", url("cabs/agent.cab"), testutil::sha256Hex(cabinet), false)));
    server_.expect("GET", "/cabs/agent.cab", ScriptedResponse::cabinet(cabinet, "agent-2.2.0.cab"));

    auto core = makeCore();
    start(*core);
    ASSERT_TRUE(testutil::waitUntil([&] { return reloads_ == 1; }, std::chrono::seconds(30)));
    EXPECT_EQ(setting(configKeys::INSTALL_PENDING), "true");
    EXPECT_EQ(setting(configKeys::DLL_VERSION), "2.0.0");
    EXPECT_TRUE(testutil::fileExists(install_.file("Quillmark Palvane\\palvane_2.0.0.dll")));
    EXPECT_EQ(setting(configKeys::INSTALLED_VERSION), "<absent>") << "the new library finishes the installation";
    EXPECT_FALSE(log_.contains("A new Palvane DLL is upgraded.")) << "no agent yet, no user to tell";
    core->stop();
    core.reset();
    EXPECT_TRUE(ops_->all().empty());

    auto next = makeCore();
    start(*next);
    EXPECT_EQ(setting(configKeys::INSTALLED_VERSION), "2.2.0");
    EXPECT_EQ(setting(configKeys::INSTALL_PENDING), "<absent>");
    EXPECT_TRUE(next->isAgentInstalled());
    EXPECT_EQ(ops_->all(), (std::vector<std::string>{"start_service", "set_tray_autorun", "launch_tray"}));
    next->stop();
    EXPECT_EQ(reloads_, 1);
}

// The host is asked at once, before any word to the user. A completion at start hands over to the placed library,
// touching nothing, while the host runs its proved one and has not refused the other; the placed one completes and
// tells the user once the agent runs.
TEST_F(CoreTest, TheHandOverComesFirstAndAgainFromACompletionWhileThePlacedLibraryWaits) {
    markAgentInstalled(install_.path());
    recordUpgradeAwaitingReboot(install_.path(), "nested.cab");
    set(configKeys::DLL_VERSION, "1.0.0");
    auto core = makeCore();
    std::atomic<bool> toldFirst{true};
    core->start([&] { toldFirst = log_.contains("A new Palvane DLL is upgraded."), ++reloads_; });
    core->onIpcReady(true);
    ASSERT_TRUE(testutil::waitUntil([&] { return reloads_ == 1; }, std::chrono::seconds(30)));
    core->stop();
    EXPECT_FALSE(toldFirst || log_.contains("A new Palvane DLL is upgraded."));
    const std::string placed = install_.file("Quillmark Palvane\\palvane_2.0.0.dll");
    const std::string proved = install_.file("Quillmark Palvane\\palvane.dll");
    const struct {
        std::string trial, running;
        bool present, handsOver;
    } rows[] = {{"", proved, true, true},           {"1 " + placed, proved, true, true},
                {"2 " + placed, proved, true, false}, {"", proved, false, false},
                {"", proved + "x", true, false},      {"", placed, true, false}};
    for (const auto& row : rows) {
        using namespace configKeys;
        const std::pair<const char*, std::string> values[] = {{INSTALL_PENDING, "true"}, {INSTALL_STAGE, "extracted"},
            {UPGRADE_VERSION, "2.2.0"}, {INSTALLED_VERSION, "1.0.0"}, {INSTALL_LIBRARY, placed}, {DLL_PROVED, proved},
            {DLL_TRIAL, row.trial}};
        for (const auto& [key, value] : values) set(key, value);
        row.present ? (void)testutil::writeFile(placed, "library") : (void)DeleteFileA(placed.c_str());
        auto seams = fastSeams(ops_);
        seams.runningModule = [&] { return toWide(row.running); };
        core = makeCore(std::move(seams));
        reloads_ = 0;
        start(*core);
        core->stop();
        EXPECT_EQ(reloads_, row.handsOver ? 1 : 0) << row.trial << row.running;
        EXPECT_EQ(setting(INSTALLED_VERSION), row.handsOver ? "1.0.0" : "2.2.0");
        EXPECT_EQ(log_.contains("failed to send A new Palvane DLL is upgraded."), row.running == placed);
    }
}

TEST_F(CoreTest, AStartThatFailsInsideTellsTheHost) {
    auto seams = fastSeams(ops_);
    seams.timer = [] { return static_cast<ITimer*>(nullptr); };
    auto core = makeCore(std::move(seams));
    start(*core);
    EXPECT_EQ(setting(configKeys::DLL_START_FAILED), "true");
    core->stop();
}

// Phase I whose cabinet is gone and cannot be had again leaves the machine
// idle, in the settings too, so that no later start records the version.
TEST_F(CoreUpdateTest, PhaseOneWithoutAnObtainableCabinetGoesBackToIdle) {
    markAgentInstalled(install_.path());
    set(configKeys::INSTALL_PENDING, "true");
    set(configKeys::INSTALL_CABFILE, install_.file("gone.cab"));
    set(configKeys::UPGRADE_VERSION, "1.1.0");
    set(configKeys::INSTALLING_VERSION, "1.1.0");
    set(configKeys::REBOOT_MODE, "true");
    server_.expect("GET", "/check_agent_updates?guid=", ScriptedResponse::error(500));

    auto core = makeCore();
    start(*core);
    core->onIpcReady(true);
    ASSERT_TRUE(testutil::waitUntil([&] { return !core->isInstallationRunning(); }, std::chrono::seconds(30)))
        << log_.text();
    ASSERT_TRUE(testutil::waitUntil([&] { return ops_->count("start_service") == 2; }));
    EXPECT_TRUE(log_.contains("Download missing CAB file, " + install_.file("gone.cab")));
    EXPECT_EQ(ops_->all(), (std::vector<std::string>{"start_service", "start_service"}));
    EXPECT_EQ(setting(configKeys::INSTALL_PENDING), "<absent>");
    EXPECT_EQ(setting(configKeys::INSTALL_CABFILE), "<absent>");
    core->stop();
}

// A stop while phase I asks the server again for its lost cabinet cancels that
// query too; phase I stays due for the next start.
TEST_F(CoreUpdateTest, AStopCancelsTheQueryOfPhaseOneForItsLostCabinet) {
    markAgentInstalled(install_.path());
    const std::string lost = recordUpgradeAwaitingReboot(install_.path());
    ASSERT_TRUE(DeleteFileA(lost.c_str()));
    ScriptedResponse held = ScriptedResponse::json(answer("1.1.0", url("cabs/agent.cab"), "", true));
    held.holdUntilRelease = true;
    server_.expect("GET", "/check_agent_updates?guid=", held);
    auto core = makeCore();
    start(*core);
    core->onIpcReady(true);
    ASSERT_TRUE(testutil::waitUntil([&] { return server_.requestCount() == 1; }, std::chrono::seconds(20)));
    core->stop();
    server_.releaseStalls();
    core.reset();
    EXPECT_EQ(setting(configKeys::INSTALL_STAGE), "phase-one");
    EXPECT_EQ(setting(configKeys::INSTALL_CABFILE), lost) << "the answer was acted on";
}

// remove_services while a tick waits for the server: the tick's query is
// cancelled, never freed under it, and the answer that still comes whole is
// not read.
TEST_F(CoreUpdateTest, RemoveServicesDuringATickStartsNoInstallation) {
    ScriptedResponse held = ScriptedResponse::json(answer("2.1.0", url("cabs/agent.cab"), "", false));
    held.holdUntilRelease = true;
    server_.expect("GET", "/check_agent_updates?guid=", held);
    set(configKeys::INSTALL_PENDING, "true");  // an upgrade waits: it goes with the agent
    set(configKeys::INSTALL_CABFILE, install_.file("waiting.cab"));

    auto core = makeCore();
    start(*core);
    ASSERT_TRUE(testutil::waitUntil([&] { return server_.requestCount() == 1; }, std::chrono::seconds(20)));
    EXPECT_TRUE(core->remove_services());
    EXPECT_EQ(setting(configKeys::INSTALL_PENDING) + setting(configKeys::INSTALL_CABFILE), "<absent><absent>");
    server_.releaseStalls();
    ASSERT_TRUE(testutil::waitUntil([&] { return log_.contains("Failed to get software update information."); },
                                    std::chrono::seconds(40)));
    EXPECT_FALSE(log_.contains("Skip query upgrade information.")) << "the cancelled query read its answer";
    core->stop();
    core.reset();
    EXPECT_EQ(ops_->all(), std::vector<std::string>{"remove_service"});
    EXPECT_EQ(server_.requestCount(), 1u) << "no download after remove_services";
    EXPECT_FALSE(log_.contains("Install a fresh  Quillmark Agent."));
}

// The host stops the runtime while a cabinet trickles in: the stop cancels
// the download, which closes its request.
TEST_F(CoreUpdateTest, StopCancelsATricklingDownload) {
    const std::string cabinet = fixtureCabinet("folder.cab");
    server_.expect("GET", "/check_agent_updates?guid=",
                   ScriptedResponse::json(answer("2.1.0", url("cabs/agent.cab"), testutil::sha256Hex(cabinet), false)));
    ScriptedResponse trickle = ScriptedResponse::cabinet(cabinet, "agent-2.1.0.cab");
    trickle.stall = true;
    trickle.truncateAfter = 100;
    server_.expect("GET", "/cabs/agent.cab", trickle);

    auto core = makeCore();
    start(*core);
    ASSERT_TRUE(server_.waitForRequests(2, std::chrono::seconds(20)));
    core->stop();
    EXPECT_TRUE(log_.contains("The download is cancelled."));
    // Wine's WinHTTP does not end a blocked receive when the request is
    // closed (Windows does); the server lets go so the pool can drain.
    server_.releaseStalls();
    core.reset();
    EXPECT_EQ(setting(configKeys::INSTALLED_VERSION), "<absent>");
    EXPECT_FALSE(testutil::fileExists(install_.file("Quillmark Agent\\agent.exe")));
}

// ---- upgrade across a reboot, with an agent process on the bus -------------

class CoreUpgradeTest : public CoreUpdateTest {
protected:
    // The tray stand-in owns "Path" (its own folder) and the settings sandbox.
    void setPath(const std::string&) override {}

    void SetUp() override {
        CoreUpdateTest::SetUp();
        localConfig(true).getString(configKeys::PATH, path_);
        markAgentInstalled(path_);
        set(configKeys::INSTALLED_VERSION, "1.0.0");
    }

    std::unique_ptr<PalvaneService> makeTrayCore() {
        auto seams = fastSeams(ops_);
        seams.ipcOwner = tray_.ownerFinder();
        return makeCore(std::move(seams));
    }

    std::unique_ptr<testutil::IpcTestPeer> connectPeer() {
        std::string port;
        localConfig(true).getString(configKeys::IPC_PALVANE_PORT, port);
        auto peer = std::make_unique<testutil::IpcTestPeer>();
        EXPECT_TRUE(peer->connectTo(static_cast<uint16_t>(std::stoi(port))));
        return peer;
    }

    testutil::TrayStandIn tray_;
    std::string path_;
};

TEST_F(CoreUpgradeTest, UpgradeIsRecordedAndTheUserToldToReboot) {
    const std::string cabinet = fixtureCabinet("folder.cab");
    server_.expect("GET", "/check_agent_updates?guid=",
                   ScriptedResponse::json(answer("1.1.0", url("cabs/agent.cab"), testutil::sha256Hex(cabinet), true)),
                   2);
    server_.expect("GET", "/cabs/agent.cab", ScriptedResponse::cabinet(cabinet, "agent-1.1.0.cab"));

    auto core = makeTrayCore();
    start(*core);
    auto peer = connectPeer();
    ASSERT_TRUE(testutil::waitUntil([&] { return core->isIpcReachable(); }));
    core->onTimer();
    EXPECT_TRUE(receivesMessage(*peer, "Update available - reboot device to update"));
    EXPECT_EQ(setting(configKeys::INSTALL_PENDING), "true");
    EXPECT_EQ(setting(configKeys::INSTALL_CABFILE), path_ + "agent-1.1.0.cab");
    EXPECT_EQ(setting(configKeys::UPGRADE_VERSION), "1.1.0");
    EXPECT_EQ(setting(configKeys::INSTALLING_VERSION), "1.1.0");
    EXPECT_TRUE(testutil::fileExists(path_ + "agent-1.1.0.cab")) << "the cabinet must survive the reboot";
    EXPECT_EQ(setting(configKeys::INSTALLED_VERSION), "1.0.0");
    EXPECT_FALSE(testutil::fileExists(path_ + "Quillmark Agent\\agent.exe")) << "nothing extracted before the reboot";

    // The agent stays watched and the tick asks on; the same offer is not
    // fetched again, and a tray that connects is reminded.
    EXPECT_FALSE(core->isInstallationRunning());
    core->onTimer();
    EXPECT_TRUE(log_.contains("Version 1.1.0 is not installed now: it waits for a reboot."));
    auto later = connectPeer();
    EXPECT_TRUE(receivesMessage(*later, "Update available - reboot device to update"));
    core->stop();
    core.reset();
    EXPECT_EQ(server_.requestCount(), 3u);
}

// Phase 0 only downloads: the agent stays watched meanwhile.
TEST_F(CoreUpgradeTest, ThePhaseZeroDownloadLeavesTheAgentWatched) {
    server_.expect("GET", "/check_agent_updates?guid=",
                   ScriptedResponse::json(answer("1.1.0", url("cabs/agent.cab"), "", true)));
    ScriptedResponse trickle = ScriptedResponse::cabinet(std::string(4096, 'c'), "agent-1.1.0.cab");
    trickle.stall = true;
    trickle.truncateAfter = 100;
    server_.expect("GET", "/cabs/agent.cab", trickle);
    auto core = makeCore();
    start(*core);
    core->onTimer();
    ASSERT_TRUE(server_.waitForRequests(2, std::chrono::seconds(20)));
    EXPECT_TRUE(core->isInstallationRunning());
    EXPECT_FALSE(core->isChangingComponents());
    server_.releaseStalls();
    core->stop();
}

TEST_F(CoreUpgradeTest, PhaseOneAfterTheRebootInstallsTheRecordedCabinet) {
    const std::string cabinetPath = recordUpgradeAwaitingReboot(path_);
    set(configKeys::UPGRADE_VERSION, "1.1.0");
    set(configKeys::INSTALLING_VERSION, "1.1.0");

    auto seams = recordingRollbackSeams();
    seams.ipcOwner = tray_.ownerFinder();
    auto core = makeCore(std::move(seams));
    start(*core);
    ASSERT_TRUE(core->installRecord().phaseOneDue());
    auto first = connectPeer();
    EXPECT_TRUE(receivesMessage(*first, "Installation in progress - Please wait."));
    // The agent's processes are stopped by phase I and connect again.
    ASSERT_TRUE(testutil::waitUntil([&] { return ops_->count("stop_service") == 1; }));
    auto second = connectPeer();
    EXPECT_TRUE(receivesMessage(*second, "Quillmark Agent is installed successfully."));
    EXPECT_EQ(setting(configKeys::INSTALLED_VERSION), "1.1.0");
    EXPECT_EQ(setting(configKeys::INSTALL_PENDING), "<absent>");
    EXPECT_EQ(setting(configKeys::INSTALL_CABFILE), "<absent>");
    EXPECT_EQ(setting(configKeys::UPGRADE_VERSION), "<absent>");
    EXPECT_TRUE(testutil::fileExists(path_ + "Quillmark Agent\\agent.exe"));
    EXPECT_FALSE(testutil::fileExists(cabinetPath));
    EXPECT_EQ(ops_->all(),
              (std::vector<std::string>{"start_service", "stop_service", "kill_process twptray.exe", "backup",
                                        "uninstall_drivers", "start_service", "set_tray_autorun", "launch_tray",
                                        "purge"}))
        << "the drivers' files are in the backup before their uninstall removes them";
    EXPECT_EQ(testutil::countLines(log_.text(), ">>>Perform Quillmark Agent upgrade - phase I."), 1u)
        << "the second connection does not run phase I again";
    core->stop();
}

// No installation goes on without its backup: the agent is started and
// watched again, the same offer waits for the next start, and phase I stays
// due for it.
TEST_F(CoreUpgradeTest, PhaseOneWithoutABackupKeepsTheOldVersionAndIsDueAgainAtTheNextStart) {
    recordUpgradeAwaitingReboot(path_);
    set(configKeys::UPGRADE_VERSION, "1.1.0");
    server_.expect("GET", "/check_agent_updates?guid=",
                   ScriptedResponse::json(answer("1.1.0", url("cabs/agent.cab"), "", true)));

    auto core = makeCore(recordingRollbackSeams(true));
    start(*core);
    core->onIpcReady(true);
    ASSERT_TRUE(testutil::waitUntil([&] { return ops_->count("launch_tray") == 1 && !core->isInstallationRunning(); }));
    EXPECT_TRUE(log_.contains("Installation cannot continue, failed to back up the installed services."));
    EXPECT_EQ(ops_->all(), (std::vector<std::string>{"start_service", "stop_service", "kill_process twptray.exe",
                                                     "backup", "start_service", "set_tray_autorun", "launch_tray"}));
    EXPECT_EQ(setting(configKeys::INSTALL_STAGE), "phase-one");
    EXPECT_EQ(setting(configKeys::INSTALLED_VERSION), "1.0.0");
    core->onTimer();
    EXPECT_TRUE(log_.contains("Version 1.1.0 is not installed now: it failed in this session."));
    core->stop();
}

// ---- end of life -----------------------------------------------------------

// A phase I still running when the host stops and frees the core: the
// destructor waits for it before it frees the component operations.
TEST_F(CoreTest, DestructionWaitsForARunningInstallationBeforeFreeingItsParts) {
    markAgentInstalled(install_.path());
    recordUpgradeAwaitingReboot(install_.path());
    set(configKeys::INSTALLING_VERSION, "1.1.0");
    ops_->delayMs = 150;

    auto core = makeCore();
    start(*core);
    core->onIpcReady(true);
    ASSERT_TRUE(testutil::waitUntil([&] { return ops_->count("stop_service") == 1; }));
    core->stop();
    core.reset();

    EXPECT_EQ(ops_->count("launch_tray"), 1u) << "the installation ran to its end";
    EXPECT_EQ(ops_->callsAfterDestruction, 0);
    EXPECT_TRUE(ops_->destroyed);
    EXPECT_EQ(setting(configKeys::INSTALLED_VERSION), "1.1.0");
}

// An agent process that connects once the host has stopped the runtime: no
// phase I begins while the runtime is going away.
TEST_F(CoreTest, AConnectionAfterTheStopStartsNoInstallation) {
    markAgentInstalled(install_.path());
    const std::string cabinetPath = recordUpgradeAwaitingReboot(install_.path());
    auto core = makeCore();
    start(*core);
    core->stop();
    core->onIpcReady(true);
    core.reset();
    EXPECT_EQ(ops_->count("stop_service"), 0u) << "phase I began";
    EXPECT_TRUE(testutil::fileExists(cabinetPath));
}

// A reboot whose phase I cannot be recorded is not used up: the next start
// still finds it.
TEST_F(CoreTest, ARebootWhosePhaseOneCannotBeRecordedIsKept) {
    markAgentInstalled(install_.path());
    recordUpgradeAwaitingReboot(install_.path());
    auto seams = fastSeams(ops_);
    seams.settings = std::make_shared<RefusingStore>(configKeys::INSTALL_STAGE);
    auto core = makeCore(std::move(seams));
    start(*core);
    EXPECT_FALSE(core->installRecord().phaseOneDue());
    EXPECT_EQ(setting(configKeys::REBOOT_MODE), "true");
    core->stop();
}

// A restore that fails (a file stays locked) is tried again at the ticks,
// spaced out, until it succeeds; the agent runs only once it is back.
TEST_F(CoreTest, ARestoreThatFailsIsTriedAgainAtTheTicks) {
    markAgentInstalled(install_.path());
    set(configKeys::INSTALL_PENDING, "true");
    set(configKeys::INSTALL_STAGE, "restore");
    restoreFails_ = true;
    std::atomic<uint64_t> now{1000000};
    auto seams = recordingRollbackSeams();
    seams.clock = [&now] { return now.load(); };
    auto core = makeCore(std::move(seams));
    start(*core);
    auto tick = [&](uint64_t later) {
        now += later;
        core->onTimer();
        ASSERT_TRUE(testutil::waitUntil([&] { return !core->isInstallationRunning(); }));
    };
    for (const uint64_t later : {0, 0, 39000, 1000}) tick(later);
    EXPECT_EQ(ops_->count("restore"), 3u) << "at the start, at the first tick and 40 s later";
    EXPECT_EQ(testutil::countLines(log_.text(), "could not be restored completely"), 3u);
    EXPECT_EQ(ops_->count("start_service"), 0u) << "a half-restored agent was started";
    restoreFails_ = false;
    tick(0);
    tick(80000);
    EXPECT_EQ(ops_->count("restore"), 4u);
    EXPECT_EQ(setting(configKeys::INSTALL_PENDING), "<absent>");
    EXPECT_EQ(ops_->count("start_service"), 1u);
    core->stop();
}

// However many agent processes connect at once, one task reminds them all.
TEST_F(CoreTest, ConnectionsAtOnceQueueOneIpcReadyTask) {
    markAgentInstalled(install_.path());
    recordUpgradeAwaitingReboot(install_.path());
    localConfig(false).deleteValue(configKeys::REBOOT_MODE);
    auto core = makeCore();
    start(*core);
    for (int peer = 0; peer < 8; ++peer) core->onIpcReady(true);
    core->stop();
    core.reset();  // every task queued has run
    EXPECT_LT(testutil::countLines(log_.text(), "PalvaneService::handle_ipc_ready_thread()"), 8u);
}

// The new drivers go before the restore, so the restored INFs reinstall the
// old ones; the restored agent is watched again at once.
TEST_F(CoreTest, FailedLaunchIsRolledBack) {
    markAgentInstalled(install_.path());
    set(configKeys::INSTALL_PENDING, "true");
    set(configKeys::INSTALL_STAGE, "extracted");
    set(configKeys::INSTALLING_VERSION, "3.0.1");
    ops_->startFails = true;
    auto core = makeCore(recordingRollbackSeams());
    start(*core);
    EXPECT_TRUE(log_.contains("Installation did not complete due to launching services failure, statue=-8"));
    EXPECT_EQ(setting(configKeys::INSTALLED_VERSION), "<absent>");
    EXPECT_EQ(setting(configKeys::INSTALLING_VERSION), "<absent>");
    EXPECT_EQ(setting(configKeys::INSTALL_PENDING), "<absent>");
    EXPECT_FALSE(core->isInstallationRunning());
    EXPECT_EQ(core->declineReason("3.0.1", ""), "it failed in this session");
    EXPECT_EQ(ops_->all(), (std::vector<std::string>{"resume", "start_service", "stop_service",
                                                     "kill_process twptray.exe", "uninstall_drivers", "restore",
                                                     "start_service", "purge"}));
    core->stop();
}

}  // namespace
