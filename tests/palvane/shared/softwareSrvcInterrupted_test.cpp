// A process death right after each step of an installation: a row holds the
// settings and files that step leaves; a new core starts on them (plain and
// reboot start), an agent process connects and a tick is offered 2.0.0. Each
// row ends with the old version running and recorded (its upgrade waiting for
// the reboot it prompts for, which then installs it) or the new version
// installed, running and recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <sstream>

#include "coreHarness.h"
#include "palvane/dll-api/win/service_operations.h"
#include "palvane/shared/rollback.h"
#include "support/localUpdateServer.h"
#include "support/webView2Present.h"
#include "utils/configKeys.h"
#include "utils/win/localconfig.h"

using namespace coretest;
using testutil::ScriptedResponse;
namespace keys = configKeys;

namespace {

enum Outcome { Old, New };

// Settings: "name" (its usual value below) or "name:value". Files: "cab" the
// downloaded cabinet, "old" version 1.0.0, "tray" a fresh extraction cut short,
// "half" an extraction over the old agent cut short, "new" the cabinet's
// files, "halfbackup" a copy cut short, "backup" this attempt's complete copy.
struct Row {
    const char* step;
    const char* settings;
    const char* files;
    Outcome plain, reboot;
};

const std::map<std::string, std::pair<const char*, const char*>> kSettings = {
    {"installed", {keys::INSTALLED_VERSION, "1.0.0"}}, {"installing", {keys::INSTALLING_VERSION, "2.0.0"}},
    {"cabfile", {keys::INSTALL_CABFILE, ""}},         {"upgrade", {keys::UPGRADE_VERSION, "2.0.0"}},
    {"attempt", {keys::INSTALL_ATTEMPT, "a7"}},       {"fresh", {keys::INSTALL_FRESH, "true"}},
    {"stage", {keys::INSTALL_STAGE, ""}},             {"pending", {keys::INSTALL_PENDING, "true"}}};

const std::string kOld = "agent v1", kNew = "agent in folder";  // folder.cab's agent.exe
const std::string kAgent = "Quillmark Agent\\agent.exe", kTray = "Quillmark Agent\\twptray.exe";
const std::string kBackup = "Quillmark Agent_backup\\";
const std::map<std::string, std::vector<std::pair<std::string, std::string>>> kFiles = {
    {"cab", {}},
    {"old", {{kTray, "tray"}, {kAgent, kOld}}},
    {"tray", {{kTray, "tray"}}},
    {"half", {{kTray, "tray"}, {kAgent, kNew}}},
    {"new", {{kTray, "tray"}, {kAgent, kNew}, {"Quillmark Agent\\agent.cfg", "cfg"}, {"qmdns\\dns.exe", "dns"}}},
    {"halfbackup", {{kBackup + "agent.exe", kOld}}},
    {"backup",
     {{kBackup + "agent.exe", kOld}, {kBackup + "twptray.exe", "tray"}, {"Quillmark Agent_backup.complete", "a7"}}}};

const Row kRows[] = {
    {"fresh: tick recorded the offer", "installing", "", New, New},
    {"fresh: cabinet downloaded", "installing", "cab", New, New},
    {"fresh: extraction begun", "installing attempt fresh", "cab tray", New, New},
    {"fresh: extracted, or library handed over", "installing attempt fresh stage:extracted pending", "cab new", New,
     New},
    {"fresh: version recorded", "installed:2.0.0 installing fresh stage:extracted pending", "new", New, New},
    {"fresh: clean-up cut short", "installed:2.0.0 pending", "new", New, New},
    {"tick recorded the offer", "installed installing", "old", Old, Old},
    {"phase 0 downloaded", "installed installing", "old cab", Old, Old},
    {"phase 0 recorded all but the commit", "installed installing cabfile upgrade attempt", "old cab", Old, Old},
    {"phase 0 committed", "installed installing cabfile upgrade attempt pending", "old cab", Old, New},
    {"phase I made due", "installed cabfile upgrade attempt stage:phase-one pending", "old cab", New, New},
    {"phase I made due, cabinet lost since", "installed cabfile upgrade:1.9.0 attempt stage:phase-one pending", "old",
     New, New},
    {"phase I backup cut short", "installed cabfile upgrade attempt stage:phase-one pending", "old cab halfbackup",
     New, New},
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

// One run's machine: its own install folder, settings and component record.
struct Machine {
    testutil::MachineSettingsSandbox settings;
    testutil::TempDir dir;
    std::shared_ptr<OperationsRecord> ops = std::make_shared<OperationsRecord>();

    std::string read(const std::string& name) const {
        std::string text;
        testutil::readFile(dir.file(name), text);
        return text;
    }
    // The components run when their last start came after their last stop.
    bool running() const {
        const auto calls = ops->all();
        const auto last = std::find_if(calls.rbegin(), calls.rend(), [](const std::string& call) {
            return call.find("_service") != std::string::npos;
        });
        return last != calls.rend() && *last == "start_service";
    }
    bool isNew() const {
        return setting(keys::INSTALLED_VERSION) == "2.0.0" && read(kAgent) == kNew && running() &&
               setting(keys::INSTALL_PENDING) == "<absent>" && setting(keys::INSTALL_FRESH) == "<absent>";
    }
    bool isOld() const {
        return setting(keys::INSTALLED_VERSION) == "1.0.0" && read(kAgent) == kOld && running() &&
               setting(keys::INSTALL_PENDING) == "true" && setting(keys::INSTALL_STAGE) == "<absent>" &&
               testutil::fileExists(setting(keys::INSTALL_CABFILE));
    }
};

class InterruptedInstallation : public ::testing::Test {
protected:
    void SetUp() override {
        sessions_.sessions.logOnCurrentUser();
        ASSERT_FALSE(cabinet_.empty());
        server_.allow("GET", "/check_agent_updates?guid=",
                      ScriptedResponse::json("{\"upgrade_version\":\"2.0.0\",\"download_url\":\"" + server_.baseUrl() +
                                             "cabs/agent.cab\",\"sha256Hash\":\"" + testutil::sha256Hex(cabinet_) +
                                             "\",\"auto_upgrade\":true}"));
        server_.allow("GET", "/cabs/agent.cab", ScriptedResponse::cabinet(cabinet_, "agent-2.0.0.cab"));
    }

    void prepare(Machine& machine, const Row& row) {
        const std::string cabinet = machine.dir.file("agent-2.0.0.cab");
        for (const auto& [name, value] : std::map<const char*, std::string>{
                 {keys::PATH, machine.dir.path()}, {keys::CID, "cust-7"}, {keys::ENVIRONMENT, server_.baseUrl()},
                 {keys::MACHINE_GUID, "3f2c0d4e-1111-2222-3333-444455556666"}}) {
            machine.settings.set(name, value);
        }
        for (const std::string& word : words(row.settings)) {
            const size_t colon = word.find(':');
            const auto& [name, usual] = kSettings.at(word.substr(0, colon));
            machine.settings.set(name, colon != std::string::npos ? word.substr(colon + 1) : *usual ? usual : cabinet);
        }
        CreateDirectoryA(machine.dir.file("Quillmark Agent").c_str(), nullptr);
        CreateDirectoryA(machine.dir.file("qmdns").c_str(), nullptr);
        if (std::string(row.files).find("backup") != std::string::npos) {
            CreateDirectoryA(machine.dir.file("Quillmark Agent_backup").c_str(), nullptr);
        }
        for (const std::string& word : words(row.files)) {
            if (word == "cab") {
                ASSERT_TRUE(testutil::writeFile(cabinet, cabinet_));
            }
            for (const auto& [name, text] : kFiles.at(word)) {
                ASSERT_TRUE(testutil::writeFile(machine.dir.file(name), text));
            }
        }
    }

    // One start: an agent process connects, then a tick; it must settle.
    void startOnce(Machine& machine, bool rebootStart, Outcome& outcome) {
        if (rebootStart) machine.settings.set(keys::REBOOT_MODE, "true");
        auto seams = fastSeams(machine.ops);
        seams.rollback = [this](const std::string& path, const PALVANE_SERVICE::ComponentList&,
                                const std::string& attempt) {
            return std::make_shared<PALVANE_SERVICE::RollbackMgr>(path, agentFolder_, attempt);
        };
        auto core = std::make_unique<PALVANE_SERVICE::PalvaneService>(std::move(seams));
        core->start([] {});
        core->onIpcReady(true);
        testutil::waitUntil([&] { return !core->isRebootStart() && !core->isInstallPending(); },
                            std::chrono::seconds(30));
        core->onTimer();
        testutil::waitUntil([&] { return !core->isInstallPending() && (machine.isNew() || machine.isOld()); },
                            std::chrono::seconds(30));
        core->stop();
        core.reset();
        ASSERT_TRUE(machine.isNew() || machine.isOld()) << "stuck";
        outcome = machine.isNew() ? New : Old;
    }

    PALVANE_SERVICE::ComponentList agentFolder_ = {std::make_shared<Installed_services>(
        "twInterruptAgent", "twInterruptAgent", "test component", "Quillmark Agent", "agent.exe")};
    std::string cabinet_ = fixtureCabinet("folder.cab");
    testutil::SessionSeams sessions_;
    testutil::LocalUpdateServer server_;
    testutil::LogCapture log_{7};
    testutil::WebView2Present webView2_;
    UserRebootMode userReboot_;
};

TEST_F(InterruptedInstallation, EveryStepEndsInTheOldOrTheNewVersion) {
    for (const Row& row : kRows) {
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
            EXPECT_FALSE(testutil::fileExists(machine.dir.file("Quillmark Agent_backup.complete")));
        }
    }
}

}  // namespace
