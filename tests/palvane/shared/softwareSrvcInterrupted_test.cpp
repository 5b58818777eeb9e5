// A process death at any step of an installation: each row is what the
// settings and files hold right after that step; a new core starts on them
// (a plain start and a reboot start), an agent process connects and a tick
// asks the server, which offers version 2.0.0 throughout. Every row must end
// with the old version running and recorded (its upgrade waiting for the
// reboot it prompts for) or the new version installed, running and recorded;
// after the old outcome a reboot start must bring the new one.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <sstream>

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
constexpr Outcome Old = Outcome::Old, New = Outcome::New;

// A row: the step the process died right after; the settings it left
// ("name:value", or a bare name for its usual value); the files it left; and
// the outcome after a plain start and after a reboot start.
struct Row {
    const char* step;
    const char* settings;
    const char* files;
    Outcome plain, reboot;
};

const std::map<std::string, std::pair<const char*, const char*>> kSettings = {
    {"installed", {configKeys::INSTALLED_VERSION, "1.0.0"}}, {"installing", {configKeys::INSTALLING_VERSION, "2.0.0"}},
    {"cabfile", {configKeys::INSTALL_CABFILE, ""}},         {"upgrade", {configKeys::UPGRADE_VERSION, "2.0.0"}},
    {"attempt", {configKeys::INSTALL_ATTEMPT, "attempt-7"}}, {"fresh", {configKeys::INSTALL_FRESH, "true"}},
    {"stage", {configKeys::INSTALL_STAGE, ""}},             {"pending", {configKeys::INSTALL_PENDING, "true"}}};

const std::string kOldBinary = "agent v1";
const std::string kNewBinary = "agent in folder";  // folder.cab's agent.exe

// Files: "cab" the downloaded cabinet, "old" version 1.0.0, "tray" a fresh
// extraction cut short after the tray program, "half" an extraction over the
// old agent cut short, "new" every file of the cabinet, "halfbackup" a copy
// cut short, "backup" this attempt's complete backup of version 1.0.0.
const std::map<std::string, std::vector<std::pair<const char*, std::string>>> kFiles = {
    {"cab", {}},
    {"old", {{"Quillmark Agent\\twptray.exe", "tray"}, {"Quillmark Agent\\agent.exe", kOldBinary}}},
    {"tray", {{"Quillmark Agent\\twptray.exe", "tray"}}},
    {"half", {{"Quillmark Agent\\twptray.exe", "tray"}, {"Quillmark Agent\\agent.exe", kNewBinary}}},
    {"new", {{"Quillmark Agent\\twptray.exe", "tray"}, {"Quillmark Agent\\agent.exe", kNewBinary},
             {"Quillmark Agent\\agent.cfg", "cfg"}, {"qmdns\\dns.exe", "dns"}}},
    {"halfbackup", {{"Quillmark Agent_backup\\agent.exe", kOldBinary}}},
    {"backup", {{"Quillmark Agent_backup\\agent.exe", kOldBinary}, {"Quillmark Agent_backup\\twptray.exe", "tray"},
                {"Quillmark Agent_backup.complete", "attempt-7"}}}};

// Fresh installation: download, extraction, completion.
const std::vector<Row> kFreshRows = {
    {"tick recorded the offer", "installing", "", New, New},
    {"cabinet downloaded", "installing", "cab", New, New},
    {"extraction begun", "installing attempt fresh", "cab tray", New, New},
    {"extracted, or library handed over", "installing attempt fresh stage:extracted pending", "cab new", New, New},
    {"version recorded", "installed:2.0.0 installing fresh stage:extracted pending", "new", New, New},
    {"clean-up cut short", "installed:2.0.0 pending", "new", New, New},
};

// Upgrade: phase 0 (download, record), phase I after the reboot (backup,
// extraction), the hand-over, phase II (launch, record, clean up), and a
// failed completion's restore.
const std::vector<Row> kUpgradeRows = {
    {"tick recorded the offer", "installed installing", "old", Old, Old},
    {"phase 0 downloaded", "installed installing", "old cab", Old, Old},
    {"phase 0 recorded all but the commit", "installed installing cabfile upgrade attempt", "old cab", Old, Old},
    {"phase 0 committed", "installed installing cabfile upgrade attempt pending", "old cab", Old, New},
    {"phase I made due", "installed cabfile upgrade attempt stage:phase-one pending", "old cab", New, New},
    {"phase I backup cut short", "installed cabfile upgrade attempt stage:phase-one pending", "old cab halfbackup", New,
     New},
    {"phase I extraction cut short", "installed cabfile upgrade attempt stage:phase-one pending", "half cab backup",
     New, New},
    {"extracted, or library handed over", "installed installing cabfile upgrade attempt stage:extracted pending",
     "new cab backup", New, New},
    {"phase II recorded the version", "installed:2.0.0 installing upgrade attempt stage:extracted pending",
     "new backup", New, New},
    {"phase II clean-up cut short", "installed:2.0.0 pending", "new", New, New},
    {"restore of a failed completion cut short", "installed installing upgrade attempt stage:restore pending",
     "half backup", Old, Old},
};

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

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
        auto& settings = machine.settings;
        settings.set(configKeys::PATH, machine.dir.path());
        settings.set(configKeys::CID, "cust-7");
        settings.set(configKeys::ENVIRONMENT, server_.baseUrl());
        settings.set(configKeys::MACHINE_GUID, "3f2c0d4e-1111-2222-3333-444455556666");
        for (const std::string& word : words(row.settings)) {
            const size_t colon = word.find(':');
            const auto& [name, usual] = kSettings.at(word.substr(0, colon));
            const std::string cabinet = machine.file("agent-2.0.0.cab");
            settings.set(name, colon != std::string::npos ? word.substr(colon + 1) : *usual ? usual : cabinet);
        }
        CreateDirectoryA(machine.file("Quillmark Agent").c_str(), nullptr);
        CreateDirectoryA(machine.file("qmdns").c_str(), nullptr);
        if (std::string(row.files).find("backup") != std::string::npos) {
            CreateDirectoryA(machine.file("Quillmark Agent_backup").c_str(), nullptr);
        }
        for (const std::string& word : words(row.files)) {
            if (word == "cab") {
                ASSERT_TRUE(testutil::writeFile(machine.file("agent-2.0.0.cab"), cabinet_));
            }
            for (const auto& [name, text] : kFiles.at(word)) ASSERT_TRUE(testutil::writeFile(machine.file(name), text));
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

    static std::string agentBinary(const Machine& machine) {
        std::string text;
        testutil::readFile(machine.file("Quillmark Agent\\agent.exe"), text);
        return text;
    }

    // The new version everywhere, nothing pending.
    static bool isNew(Machine& machine) {
        return setting(configKeys::INSTALLED_VERSION) == "2.0.0" && agentBinary(machine) == kNewBinary &&
               setting(configKeys::INSTALL_PENDING) == "<absent>" && setting(configKeys::INSTALL_FRESH) == "<absent>" &&
               running(*machine.ops);
    }

    // The old version running and recorded; the upgrade to 2.0.0 downloaded
    // and waiting for the reboot it prompts for.
    static bool isOld(Machine& machine) {
        return setting(configKeys::INSTALLED_VERSION) == "1.0.0" && agentBinary(machine) == kOldBinary &&
               running(*machine.ops) && setting(configKeys::INSTALL_PENDING) == "true" &&
               setting(configKeys::INSTALL_STAGE) == "<absent>" &&
               testutil::fileExists(setting(configKeys::INSTALL_CABFILE));
    }

    // One start: an agent process connects, then the tick asks the server.
    // ASSERTs that it ends in one of the two outcomes.
    void startOnce(Machine& machine, bool rebootStart, Outcome& outcome) {
        if (rebootStart) machine.settings.set(configKeys::REBOOT_MODE, "true");
        auto core = makeCore(machine);
        core->start([] {});
        core->onIpcReady(true);
        testutil::waitUntil([&] { return !core->isRebootStart() && !core->isInstallPending(); },
                            std::chrono::seconds(30));
        core->onTimer();
        testutil::waitUntil([&] { return !core->isInstallPending() && (isNew(machine) || isOld(machine)); },
                            std::chrono::seconds(30));
        core->stop();
        core.reset();
        ASSERT_TRUE(isNew(machine) || isOld(machine)) << "stuck";
        outcome = isNew(machine) ? New : Old;
    }

    void runRows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            for (const bool rebootStart : {false, true}) {
                SCOPED_TRACE(std::string(row.step) + (rebootStart ? ", reboot start" : ", plain start"));
                Machine machine;
                prepare(machine, row);
                Outcome outcome = Old;
                ASSERT_NO_FATAL_FAILURE(startOnce(machine, rebootStart, outcome));
                EXPECT_EQ(outcome, rebootStart ? row.reboot : row.plain);
                if (outcome == New) continue;
                ASSERT_NO_FATAL_FAILURE(startOnce(machine, true, outcome));
                EXPECT_EQ(outcome, New) << "the reboot it prompted for installs it";
                EXPECT_FALSE(testutil::fileExists(machine.file("Quillmark Agent_backup.complete")));
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
