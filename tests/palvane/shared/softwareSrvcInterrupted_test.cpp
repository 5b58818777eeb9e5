// A process death at any step of an installation: each row is what the
// settings and files hold right after that step; a new core starts on them
// (a plain start and a reboot start), an agent process connects and a tick
// asks the server, which offers version 2.0.0 throughout. Every row must end
// with the old version running and recorded (its upgrade waiting for the
// reboot it prompts for) or the new version installed, running and recorded;
// after the old outcome a reboot start must bring the new one.
#include <gtest/gtest.h>

#include <algorithm>

#include "coreHarness.h"
#include "palvane/dll-api/win/service_operations.h"
#include "palvane/shared/rollback.h"
#include "palvane/shared/softwareSrvc.h"
#include "support/localUpdateServer.h"
#include "support/webView2Present.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"

using PALVANE_SERVICE::PalvaneService;
using testutil::ScriptedResponse;
using namespace coretest;

namespace {

enum class Outcome { Old, New };

// What lies on the disk besides the settings.
enum Files : unsigned {
    kNone = 0,
    kCabinet = 1,         // the downloaded cabinet
    kOldAgent = 2,        // version 1.0.0 with its tray program
    kTrayOnly = 4,        // a fresh extraction cut short after the tray program
    kHalfNew = 8,         // an extraction over the old agent cut short
    kNewAgent = 16,       // every file of the cabinet in place
    kHalfBackup = 32,     // a backup copy cut short (no completion mark)
    kCompleteBackup = 64  // this attempt's complete backup of version 1.0.0
};

struct Row {
    const char* step;  // the process died right after it
    std::vector<std::pair<const char*, const char*>> settings;
    unsigned files;
    Outcome plain;
    Outcome reboot;
};

const char* const kCab = "$CAB";
const char* const kAttempt = "attempt-7";
const std::string kOldBinary = "agent v1";
const std::string kNewBinary = "agent in folder";  // folder.cab's agent.exe

using K = const char*;
const K kPending = configKeys::INSTALL_PENDING, kCabfile = configKeys::INSTALL_CABFILE,
        kUpgradeVer = configKeys::UPGRADE_VERSION, kInstalling = configKeys::INSTALLING_VERSION,
        kInstalled = configKeys::INSTALLED_VERSION, kStage = configKeys::INSTALL_STAGE,
        kAttemptKey = configKeys::INSTALL_ATTEMPT, kFresh = configKeys::INSTALL_FRESH;

// Fresh installation: the steps of install_fresh_agent and its completion.
const std::vector<Row> kFreshRows = {
    {"tick recorded the offer", {{kInstalling, "2.0.0"}}, kNone, Outcome::New, Outcome::New},
    {"cabinet downloaded", {{kInstalling, "2.0.0"}}, kCabinet, Outcome::New, Outcome::New},
    {"extraction begun (tray program on disk)",
     {{kInstalling, "2.0.0"}, {kAttemptKey, kAttempt}, {kFresh, "true"}}, kCabinet | kTrayOnly, Outcome::New,
     Outcome::New},
    {"extraction done, or library handed over",
     {{kInstalling, "2.0.0"}, {kAttemptKey, kAttempt}, {kFresh, "true"}, {kStage, "extracted"}, {kPending, "true"}},
     kCabinet | kNewAgent, Outcome::New, Outcome::New},
    {"version recorded",
     {{kInstalled, "2.0.0"}, {kInstalling, "2.0.0"}, {kFresh, "true"}, {kStage, "extracted"}, {kPending, "true"}},
     kNewAgent, Outcome::New, Outcome::New},
    {"clean-up cut short", {{kInstalled, "2.0.0"}, {kPending, "true"}}, kNewAgent, Outcome::New, Outcome::New},
};

// Upgrade: phase 0 (download and record), phase I after the reboot (backup,
// extraction), the hand-over and phase II (launch, record, clean up).
const std::vector<Row> kUpgradeRows = {
    {"tick recorded the offer", {{kInstalled, "1.0.0"}, {kInstalling, "2.0.0"}}, kOldAgent, Outcome::Old, Outcome::Old},
    {"phase 0 downloaded", {{kInstalled, "1.0.0"}, {kInstalling, "2.0.0"}}, kOldAgent | kCabinet, Outcome::Old,
     Outcome::Old},
    {"phase 0 recorded all but the commit",
     {{kInstalled, "1.0.0"}, {kInstalling, "2.0.0"}, {kCabfile, kCab}, {kUpgradeVer, "2.0.0"}, {kAttemptKey, kAttempt}},
     kOldAgent | kCabinet, Outcome::Old, Outcome::Old},
    {"phase 0 committed",
     {{kInstalled, "1.0.0"}, {kInstalling, "2.0.0"}, {kCabfile, kCab}, {kUpgradeVer, "2.0.0"}, {kAttemptKey, kAttempt},
      {kPending, "true"}},
     kOldAgent | kCabinet, Outcome::Old, Outcome::New},
    {"phase I made due, reboot flag reset",
     {{kInstalled, "1.0.0"}, {kCabfile, kCab}, {kUpgradeVer, "2.0.0"}, {kAttemptKey, kAttempt}, {kStage, "phase-one"},
      {kPending, "true"}},
     kOldAgent | kCabinet, Outcome::New, Outcome::New},
    {"phase I backup cut short",
     {{kInstalled, "1.0.0"}, {kCabfile, kCab}, {kUpgradeVer, "2.0.0"}, {kAttemptKey, kAttempt}, {kStage, "phase-one"},
      {kPending, "true"}},
     kOldAgent | kCabinet | kHalfBackup, Outcome::New, Outcome::New},
    {"phase I extraction cut short",
     {{kInstalled, "1.0.0"}, {kCabfile, kCab}, {kUpgradeVer, "2.0.0"}, {kAttemptKey, kAttempt}, {kStage, "phase-one"},
      {kPending, "true"}},
     kHalfNew | kCabinet | kCompleteBackup, Outcome::New, Outcome::New},
    {"phase I extraction done, or library handed over",
     {{kInstalled, "1.0.0"}, {kInstalling, "2.0.0"}, {kCabfile, kCab}, {kUpgradeVer, "2.0.0"}, {kAttemptKey, kAttempt},
      {kStage, "extracted"}, {kPending, "true"}},
     kNewAgent | kCabinet | kCompleteBackup, Outcome::New, Outcome::New},
    {"phase II recorded the version",
     {{kInstalled, "2.0.0"}, {kInstalling, "2.0.0"}, {kUpgradeVer, "2.0.0"}, {kAttemptKey, kAttempt},
      {kStage, "extracted"}, {kPending, "true"}},
     kNewAgent | kCompleteBackup, Outcome::New, Outcome::New},
    {"phase II clean-up cut short", {{kInstalled, "2.0.0"}, {kPending, "true"}}, kNewAgent, Outcome::New,
     Outcome::New},
    {"failed completion's restore cut short",
     {{kInstalled, "1.0.0"}, {kInstalling, "2.0.0"}, {kUpgradeVer, "2.0.0"}, {kAttemptKey, kAttempt},
      {kStage, "restore"}, {kPending, "true"}},
     kHalfNew | kCompleteBackup, Outcome::Old, Outcome::Old},
};

class InterruptedInstallation : public ::testing::Test {
protected:
    void SetUp() override {
        sessions_.sessions.logOnCurrentUser();
        cabinet_ = fixtureCabinet("folder.cab");
        ASSERT_FALSE(cabinet_.empty());
        const std::string answer = "{\"upgrade_version\":\"2.0.0\",\"download_url\":\"" + server_.baseUrl() +
                                   "cabs/agent.cab\",\"sha256Hash\":\"" + testutil::sha256Hex(cabinet_) +
                                   "\",\"auto_upgrade\":true}";
        server_.allow("GET", "/check_agent_updates?guid=", ScriptedResponse::json(answer));
        server_.allow("GET", "/cabs/agent.cab", ScriptedResponse::cabinet(cabinet_, "agent-2.0.0.cab"));
    }
    void TearDown() override {
        setLogPostUrl("");
        setPostLogLevel(99);
    }

    // The machine of one run: its own install folder and settings.
    struct Machine {
        testutil::MachineSettingsSandbox settings;
        testutil::TempDir dir;
        std::shared_ptr<OperationsRecord> ops = std::make_shared<OperationsRecord>();
        std::string file(const std::string& name) const { return dir.file(name); }
    };

    void prepare(Machine& machine, const Row& row) {
        auto& s = machine.settings;
        s.set(configKeys::PATH, machine.dir.path());
        s.set(configKeys::CID, "cust-7");
        s.set(configKeys::ENVIRONMENT, server_.baseUrl());
        s.set(configKeys::MACHINE_GUID, "3f2c0d4e-1111-2222-3333-444455556666");
        const std::string cab = machine.file("agent-2.0.0.cab");
        for (const auto& [name, value] : row.settings) s.set(name, value == std::string(kCab) ? cab : value);
        const auto put = [&](const std::string& name, const std::string& text) {
            ASSERT_TRUE(testutil::writeFile(machine.file(name), text));
        };
        for (const char* folder : {"Quillmark Agent", "qmdns", "Quillmark Agent_backup"}) {
            if (folder != std::string("Quillmark Agent_backup") || (row.files & (kHalfBackup | kCompleteBackup))) {
                CreateDirectoryA(machine.file(folder).c_str(), nullptr);
            }
        }
        if (row.files & kCabinet) put("agent-2.0.0.cab", cabinet_);
        if (row.files & (kOldAgent | kTrayOnly | kHalfNew | kNewAgent)) put("Quillmark Agent\\twptray.exe", "tray");
        if (row.files & kOldAgent) put("Quillmark Agent\\agent.exe", kOldBinary);
        if (row.files & (kHalfNew | kNewAgent)) put("Quillmark Agent\\agent.exe", kNewBinary);
        if (row.files & kNewAgent) put("Quillmark Agent\\agent.cfg", "cfg");
        if (row.files & kNewAgent) put("qmdns\\dns.exe", "dns");
        if (row.files & (kHalfBackup | kCompleteBackup)) put("Quillmark Agent_backup\\agent.exe", kOldBinary);
        if (row.files & kCompleteBackup) {
            put("Quillmark Agent_backup\\twptray.exe", "tray");
            put("Quillmark Agent_backup.complete", kAttempt);
        }
    }

    std::unique_ptr<PalvaneService> makeCore(Machine& machine) {
        auto seams = fastSeams(machine.ops);
        seams.rollback = [this](const std::string& path, const PALVANE_SERVICE::ComponentList&,
                                const std::string& attempt) {
            return std::make_shared<PALVANE_SERVICE::RollbackMgr>(path, agentFolder_, attempt);
        };
        return std::make_unique<PalvaneService>(std::move(seams));
    }

    // Components run when the last start came after the last stop.
    static bool running(OperationsRecord& ops) {
        const auto calls = ops.all();
        const auto lastOf = [&](const std::string& call) {
            const auto at = std::find(calls.rbegin(), calls.rend(), call);
            return at == calls.rend() ? -1 : static_cast<int>(calls.rend() - at);
        };
        return lastOf("start_service") > lastOf("stop_service");
    }

    static std::string content(const Machine& machine, const std::string& name) {
        std::string text;
        testutil::readFile(machine.file(name), text);
        return text;
    }

    // The new version everywhere, nothing pending.
    bool isNew(Machine& machine) {
        return setting(kInstalled) == "2.0.0" && content(machine, "Quillmark Agent\\agent.exe") == kNewBinary &&
               setting(kPending) == "<absent>" && setting(kFresh) == "<absent>" && running(*machine.ops);
    }

    // The old version running and recorded; its upgrade to 2.0.0 downloaded
    // and waiting for the reboot.
    bool isOld(Machine& machine) {
        return setting(kInstalled) == "1.0.0" && content(machine, "Quillmark Agent\\agent.exe") == kOldBinary &&
               running(*machine.ops) && setting(kPending) == "true" && setting(kStage) == "<absent>" &&
               testutil::fileExists(setting(kCabfile));
    }

    // One start: an agent process connects, then the tick asks the server.
    // False when it ends in neither outcome.
    bool startOnce(Machine& machine, bool rebootStart, Outcome& outcome) {
        if (rebootStart) machine.settings.set(configKeys::REBOOT_MODE, "true");
        auto core = makeCore(machine);
        core->start([] {});
        core->onIpcReady(true);
        testutil::waitUntil([&] { return !core->isRebootStart() && !core->isInstallPending(); },
                            std::chrono::seconds(30));
        core->onTimer();
        const bool settled = testutil::waitUntil(
            [&] { return !core->isInstallPending() && (isNew(machine) || isOld(machine)); }, std::chrono::seconds(30));
        core->stop();
        core.reset();
        outcome = isNew(machine) ? Outcome::New : Outcome::Old;
        return settled && (isNew(machine) || isOld(machine));
    }

    void runRows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            for (const bool rebootStart : {false, true}) {
                SCOPED_TRACE(std::string(row.step) + (rebootStart ? ", reboot start" : ", plain start"));
                Machine machine;
                prepare(machine, row);
                Outcome outcome = Outcome::Old;
                ASSERT_TRUE(startOnce(machine, rebootStart, outcome));
                EXPECT_EQ(outcome, rebootStart ? row.reboot : row.plain);
                if (outcome == Outcome::New) continue;
                ASSERT_TRUE(startOnce(machine, true, outcome));
                EXPECT_EQ(outcome, Outcome::New) << "the reboot it prompted for installs it";
                EXPECT_FALSE(testutil::fileExists(machine.file("Quillmark Agent_backup"))) << "backups are purged";
            }
        }
    }

    PALVANE_SERVICE::ComponentList agentFolder_ = {
        std::make_shared<Installed_services>("twInterruptAgent", "twInterruptAgent", "test component",
                                             "Quillmark Agent", "agent.exe")};
    testutil::SessionSeams sessions_;
    testutil::LocalUpdateServer server_;
    testutil::LogCapture log_{7};
    testutil::WebView2Present webView2_;
    UserRebootMode userReboot_;
    std::string cabinet_;
};

TEST_F(InterruptedInstallation, EveryStepEndsInTheOldOrTheNewVersion) {
    {
        SCOPED_TRACE("fresh installation");
        runRows(kFreshRows);
    }
    {
        SCOPED_TRACE("upgrade");
        runRows(kUpgradeRows);
    }
}

}  // namespace
