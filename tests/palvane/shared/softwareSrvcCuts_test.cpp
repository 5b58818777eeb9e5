// Every road of an installation, ended at every change it makes to the disk or
// the settings (as a death or a power cut ends it), then started again on what
// is left, plain and after a reboot, with the new version's launch succeeding
// and failing. Every row keeps the rules:
//   R1 "installed_version" names the version on disk (a new one only once it
//      ran), or nothing where the agent never was;
//   R2 after a failure the files are exactly the old version's; a failed fresh
//      installation leaves nothing running and no agent installed;
//   R3 components start on a wholly old or wholly new tree only;
//   R4 within two starts, without a tray, a tick or a hand edit, the agent is
//      idle, running, watched and free to ask the server, or waits (running,
//      watched) for its reboot or for the tray that runs phase I;
//   R5 nothing is extracted from a cabinet whose digest did not match after
//      its last write, in the same run;
// and nothing vouches for a file (a backup's marker, the stage "extracted",
// a recorded version) before that file is on the disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "coreHarness.h"
#include "palvane/dll-api/win/service_operations.h"
#include "palvane/dll-api/win/windows_upgrade_monitor.h"
#include "support/fileTreeUtil.h"
#include "support/localUpdateServer.h"
#include "support/webView2Present.h"
#include "utils/configKeys.h"
#include "utils/win/fileGate.h"
#include "utils/win/localconfig.h"
#include "utils/win/stringconv.h"

using namespace coretest;
using namespace PALVANE_SERVICE;
using testutil::TreeContent;
namespace keys = configKeys;

namespace {

// Version 2.0.0 changes two files, adds one and adds a component's folder.
const TreeContent kOld = {{"Quillmark Agent\\twptray.exe", "tray v1"}, {"Quillmark Agent\\agent.exe", "agent v1"}};
const TreeContent kNew = {{"Quillmark Agent\\twptray.exe", "tray v2"}, {"Quillmark Agent\\agent.exe", "agent v2"},
                          {"Quillmark Agent\\agent.cfg", "cfg v2"}, {"qmproxy\\proxy.exe", "proxy v2"}};
const char* const kFolders[] = {"Quillmark Agent", "qmproxy"};

std::string lower(const std::wstring& text) {
    std::string narrow = toUtf8(text);
    std::transform(narrow.begin(), narrow.end(), narrow.begin(), ::tolower);
    return narrow;
}

// Counts the changes; the one at `cutAt` and all after it are refused, as
// nothing reaches the disk after a death. Tracks which files matched a digest
// and which are not on the disk yet.
struct Cutter {
    std::mutex lock;
    int cutAt = 0, changes = 0;
    std::atomic<bool> dead{false};
    std::vector<std::string> trace, violations;
    std::set<std::string> verified, unflushed;

    bool change(const std::string& label) {
        std::lock_guard<std::mutex> guard(lock);
        if (!dead && ++changes == cutAt) dead = true;
        if (!dead) trace.push_back(label);
        return !dead;
    }
    bool file(fileGate::Op op, const std::string& path, const std::string& source) {
        using Op = fileGate::Op;
        if (op != Op::VerifyDigest && !change(std::to_string(static_cast<int>(op)) + " " + path)) return false;
        std::lock_guard<std::mutex> guard(lock);
        if (dead) return false;
        if (op == Op::Extract && !verified.count(source)) violations.push_back("R5: extracted from " + source);
        const size_t marker = path.find("_backup.complete");
        if (op == Op::Write && marker != std::string::npos) vouch(path.substr(0, marker + 7) + "\\", path);
        const bool derived = op == Op::Copy || op == Op::Move || op == Op::Extract;
        if (op == Op::VerifyDigest || (derived && verified.count(source))) verified.insert(path);
        else verified.erase(path);
        if (op == Op::Copy || op == Op::Extract || (op == Op::Move && unflushed.count(source))) unflushed.insert(path);
        if (op == Op::Flush || op == Op::Delete) unflushed.erase(path);
        return true;
    }
    // Under the lock (`what` vouches for every file below `prefix`).
    void vouch(const std::string& prefix, const std::string& what) {
        for (const auto& path : unflushed) {
            if (path.rfind(prefix, 0) == 0 && path.rfind(".cab") != path.size() - 4) {
                violations.push_back("not on the disk before " + what + ": " + path);
            }
        }
    }
    void newRun(int at) {
        std::lock_guard<std::mutex> guard(lock);
        cutAt = at, changes = 0, dead = false;
        trace.clear(), verified.clear(), unflushed.clear();
    }
};

class CuttingStore : public ISettingsStore {
public:
    explicit CuttingStore(Cutter& cutter) : cutter_(cutter) {}
    bool get(const char* name, std::string& value) override { return machine_->get(name, value); }
    bool set(const char* name, const std::string& value) override {
        const std::string label = std::string("set ") + name + "=" + value;
        if (label == "set install-stage=extracted" || name == std::string(keys::INSTALLED_VERSION)) {
            std::lock_guard<std::mutex> guard(cutter_.lock);
            cutter_.vouch("", label);
        }
        return cutter_.change(label) && machine_->set(name, value);
    }
    bool remove(const char* name) override { return cutter_.change(std::string("remove ") + name) && machine_->remove(name); }
    bool flush() override { return cutter_.change("flush") && machine_->flush(); }

private:
    Cutter& cutter_;
    std::shared_ptr<ISettingsStore> machine_ = makeMachineSettingsStore();
};

// What outlives a run: the install folder, and whether the agent runs.
struct Machine {
    testutil::TempDir dir;
    TreeContent old;
    bool running = false, newRan = false, newFails = false, newTried = false;
    Cutter cutter;

    TreeContent agent() const {
        TreeContent tree;
        for (const std::string folder : kFolders) {
            for (const auto& [name, text] : testutil::readTree(dir.file(folder + "\\"))) {
                if (name.back() != '\\') tree[folder + "\\" + name] = text;
            }
        }
        return tree;
    }
    bool whollyNew() const {
        const TreeContent tree = agent();
        return std::all_of(kNew.begin(), kNew.end(), [&](const auto& file) {
            return tree.count(file.first) && tree.at(file.first) == file.second;
        });
    }
};

// The components, as the service control manager keeps them across runs.
class Components : public IServiceOperation {
public:
    explicit Components(Machine& machine) : m_(machine) {}
    bool start_service() override {
        if (m_.cutter.dead) return false;
        const bool isNew = m_.whollyNew(), isOld = m_.agent() == m_.old;
        if (!isNew && !isOld) m_.cutter.violations.push_back("R3: started on a mixed tree");
        m_.newTried = m_.newTried || !isOld;
        if (m_.newFails && !isOld) return (status_ = -8, false);
        m_.newRan = m_.newRan || isNew;
        return (status_ = 0, m_.running = true);
    }
    bool stop_service() override { return !m_.cutter.dead && !(m_.running = false); }
    bool launch_tray() override { return !m_.cutter.dead; }
    bool set_tray_autorun() override { return !m_.cutter.dead; }
    bool kill_process(std::string& name) override { return (name += ".exe", !m_.cutter.dead); }
    int get_status() override { return status_; }
    bool remove_service() override { return !m_.cutter.dead; }
    bool uninstall_drivers() override { return !m_.cutter.dead; }

private:
    Machine& m_;
    int status_ = 0;
};

class InstallationCuts;
struct Road {
    const char* name;
    std::function<void(InstallationCuts&)> prepare, run;
    bool newFails;
    bool endsSettled;  // its own core ends waiting for nothing (no hand-over)
    bool cutRecovery;  // the recovery after each cut is cut at each change too
};

struct NoTicks : ITimer {
    void setCallback(ITimerCallback*) override {}
    bool start(unsigned, unsigned) override { return true; }
    bool reset(unsigned) override { return true; }
    void stop() override {}
    void cleanup() override {}
};

class InstallationCuts : public ::testing::TestWithParam<const Road*> {
public:
    void SetUp() override {
        sessions_.sessions.logOnCurrentUser();
        fileGate::install([this](fileGate::Op op, const std::wstring& path, const std::wstring& source) {
            return m_->cutter.file(op, lower(path), lower(source));
        });
        for (const char* name : {"tagged_v2.cab", "tagged_v2_lib.cab"}) {
            const std::string bytes = fixtureCabinet(name);
            server_.allow("GET", std::string("/") + name, testutil::ScriptedResponse::cabinet(bytes, "agent-2.0.0.cab"));
            digests_[name] = testutil::sha256Hex(bytes);
        }
        for (const std::string folder : kFolders) {
            components_.push_back(std::make_shared<Installed_services>("twCut" + folder.substr(1, 3), "cut", "",
                                                                      folder, "x.exe"));
        }
    }
    void TearDown() override { fileGate::install(nullptr); }

    // The server offers 2.0.0 in `cabinet`; the machine has 1.0.0 unless fresh.
    void prepare(bool fresh, const std::string& cabinet) {
        m_ = std::make_unique<Machine>();
        restore({{}, {{keys::PATH, m_->dir.path()}, {keys::CID, "cust-7"}, {keys::ENVIRONMENT, server_.baseUrl()},
                      {keys::MACHINE_GUID, "3f2c"}, {keys::DLL_VERSION, "1.0.0"}}});
        server_.allow("GET", "/check_agent_updates?",
                      testutil::ScriptedResponse::json("{\"upgrade_version\":\"2.0.0\",\"download_url\":\"" +
                                                       server_.baseUrl() + cabinet + "\",\"sha256Hash\":\"" +
                                                       digests_[cabinet] + "\",\"auto_upgrade\":true}"));
        if (fresh) return;
        m_->old = kOld;
        ASSERT_TRUE(testutil::writeTree(m_->dir.path(), kOld));
        settings_.set(keys::INSTALLED_VERSION, "1.0.0");
        m_->running = true;
    }

    // One start of a new core; `drive` is what happens after it.
    void runCore(bool reboot, const std::function<void(PalvaneService&)>& drive = nullptr) {
        if (reboot) settings_.set(keys::REBOOT_MODE, "true");
        auto seams = fastSeams(std::make_shared<OperationsRecord>());
        seams.components = [this] { return components_; };
        seams.operations = [this](const ComponentList&, const std::string&) {
            return std::unique_ptr<IServiceOperation>(new Components(*m_));
        };
        seams.settings = std::make_shared<CuttingStore>(m_->cutter);
        seams.timer = [] { return new NoTicks; };
        seams.sleep = [](uint32_t) {};  // no agent process comes; its waits end at once
        seams.monitor.interval = std::chrono::hours(1);
        seams.monitor.makeUpgradeMonitor = [](std::function<void()>) { return nullptr; };
        PalvaneService core(std::move(seams));
        core.start([] {});
        if (drive) drive(core);
        checkVersion();
        lastState_ = endState(core);
        core.stop();
    }

    // The half of R1 that holds at every moment.
    void checkVersion() {
        if (setting(keys::INSTALLED_VERSION) == "2.0.0" && !(m_->newRan && m_->whollyNew())) {
            m_->cutter.violations.push_back("R1: 2.0.0 recorded but not installed and run");
        }
    }

    // The state of R4 the machine and the core are in, or "".
    std::string endState(PalvaneService& core) {
        const auto record = core.installRecord();
        const std::string installed = setting(keys::INSTALLED_VERSION);
        const bool watched = !core.isChangingComponents(), running = m_->running;
        const bool asks = !core.isInstallationRunning() && core.declineReason("9.9.9", "").empty();
        const bool idle = !record.pending && !record.hasRemnant();
        const bool undone = !testutil::fileExists(m_->dir.file("Quillmark Palvane\\palvane_2.0.0.dll")) &&
                            setting(keys::DLL_VERSION) == "1.0.0";
        if (idle && installed == "2.0.0" && m_->whollyNew() && running && watched && asks) return "new";
        if (m_->old.empty()) {
            const bool nothing = !running && !core.isAgentInstalled() && installed == "<absent>" && undone;
            return idle && nothing && asks ? "not installed" : "";
        }
        if (m_->agent() != m_->old || installed != "1.0.0" || !undone || !running || !watched) return "";
        if (idle && core.isAgentInstalled() && asks) return "old";
        if (record.awaitsReboot() && asks) return "awaits its reboot";
        return record.phaseOneDue() && !core.isInstallationRunning() ? "phase I due" : "";
    }

    struct Snapshot {
        TreeContent files;
        std::map<std::string, std::string> settings;
        bool running = false, newRan = false;
    };
    Snapshot snapshot() {
        Snapshot shot{testutil::readTree(m_->dir.path()), {}, m_->running, m_->newRan};
        HKEY key = nullptr;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, localConfig::kBaseKey, 0, KEY_READ, &key);
        char name[256], data[4096];
        DWORD nameSize = sizeof(name), size = sizeof(data);
        for (DWORD i = 0; RegEnumValueA(key, i, name, &nameSize, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                                        &size) == 0;
             ++i, nameSize = sizeof(name), size = sizeof(data)) {
            shot.settings[name] = std::string(data, strnlen(data, size));
        }
        RegCloseKey(key);
        return shot;
    }
    void restore(const Snapshot& shot) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, localConfig::kBaseKey);
        for (const auto& [name, value] : shot.settings) settings_.set(name.c_str(), value);
        testutil::removeTree(m_->dir.path());
        CreateDirectoryA(m_->dir.path().c_str(), nullptr);
        testutil::writeTree(m_->dir.path(), shot.files);
        m_->running = shot.running, m_->newRan = shot.newRan;
    }

    // Up to two starts after a cut must end in a state of R4.
    void recover(const std::string& row, bool reboot, bool newFails) {
        m_->newFails = newFails;
        for (int start = 0; start < 2 && (start == 0 || lastState_.empty()); ++start) {
            m_->cutter.newRun(0);
            runCore(reboot && start == 0);
        }
        for (const auto& violation : m_->cutter.violations) ADD_FAILURE() << row << ": " << violation;
        m_->cutter.violations.clear();
        EXPECT_NE(lastState_, "") << row << ": not settled after two starts";
    }

    static StartAction decision(StartKind kind) {
        return decideAtStart(InstallJournal(makeMachineSettingsStore()).record(), kind,
                             [] { return CabinetState::Usable; });
    }

    // Runs `run` from `from` uncut to count its changes, then cut at each.
    // Each cut is recovered in the variants that can differ: a reboot start
    // only where the journal decides otherwise for it, a failing new version
    // only where a start tried the new one. A road that cuts its recovery cuts
    // the plain start after each cut (a completion or a restore) at each of
    // its changes too.
    void cutEverywhere(const std::string& name, const Snapshot& from, const std::function<void()>& run,
                       const Road& road, bool recovery = false) {
        auto runFrom = [&](int cut) {
            restore(from);
            m_->newFails = road.newFails;
            m_->cutter.newRun(cut);
            run();
        };
        runFrom(0);
        const int changes = m_->cutter.changes;
        if (!recovery) {
            EXPECT_TRUE(!road.endsSettled || !lastState_.empty()) << name << ", uncut: its own core";
            recover(name + ", uncut", false, road.newFails);
        }
        for (int cut = 1; cut <= changes; ++cut) {
            runFrom(cut);
            checkVersion();
            const std::string row = name + ", cut at " + std::to_string(cut) + " of " + std::to_string(changes);
            if (recovery) {
                recover(row, false, road.newFails);
                continue;
            }
            const Snapshot afterCut = snapshot();
            const StartAction plain = decision(StartKind::Plain);
            const bool rebootDiffers = plain != decision(StartKind::Reboot);
            for (const bool reboot : {false, true}) {
                for (const bool newFails : {false, true}) {
                    if ((reboot && !rebootDiffers) || (newFails && !m_->newTried)) continue;
                    restore(afterCut);
                    m_->newTried = false;
                    recover(row + (reboot ? ", reboot start" : ", plain start") + (newFails ? ", new fails" : ""),
                            reboot, newFails);
                }
            }
            if (road.cutRecovery && (plain == StartAction::Complete || plain == StartAction::Restore)) {
                cutEverywhere(row + ", then its recovery", afterCut, [this] { runCore(false); }, road, true);
            }
        }
    }

    testutil::MachineSettingsSandbox settings_;
    testutil::SessionSeams sessions_;
    testutil::LocalUpdateServer server_;
    testutil::WebView2Present webView2_;
    UserRebootMode userReboot_;
    std::map<std::string, std::string> digests_;
    ComponentList components_;
    std::unique_ptr<Machine> m_ = std::make_unique<Machine>();
    std::string lastState_;
};

void tick(InstallationCuts& t) {
    t.runCore(false, [](PalvaneService& core) {
        core.onTimer();
        testutil::waitUntil([&] { return !core.isInstallationRunning(); }, std::chrono::seconds(30));
    });
}
void trayConnects(InstallationCuts& t) {
    t.runCore(true, [](PalvaneService& core) { core.handle_ipc_ready_thread(); });
}
void plainStart(InstallationCuts& t) { t.runCore(false); }
void upgradeWaits(InstallationCuts& t, const char* cabinet) {
    t.prepare(false, cabinet);
    tick(t);
}
void handedOver(InstallationCuts& t) {
    upgradeWaits(t, "tagged_v2_lib.cab");
    trayConnects(t);
}
// A failed launch after the hand-over, ended once its stage "restore" and
// the flush after it are on the disk.
void restoreDue(InstallationCuts& t) {
    handedOver(t);
    const auto from = t.snapshot();
    t.m_->newFails = true;
    t.m_->cutter.newRun(0);
    plainStart(t);
    const auto& trace = t.m_->cutter.trace;
    const auto stage = std::find(trace.begin(), trace.end(), "set install-stage=restore") - trace.begin();
    t.restore(from);
    t.m_->cutter.newRun(static_cast<int>(stage) + 3);
    plainStart(t);
}

const Road kRoads[] = {
    {"fresh installation", [](InstallationCuts& t) { t.prepare(true, "tagged_v2.cab"); }, tick, false, true, false},
    {"upgrade phase 0", [](InstallationCuts& t) { t.prepare(false, "tagged_v2.cab"); }, tick, false, true, false},
    {"phase I", [](InstallationCuts& t) { upgradeWaits(t, "tagged_v2.cab"); }, trayConnects, false, true, false},
    {"phase I with its cabinet lost",
     [](InstallationCuts& t) {
         upgradeWaits(t, "tagged_v2.cab");
         ASSERT_TRUE(DeleteFileA(setting(keys::INSTALL_CABFILE).c_str()));
     },
     trayConnects, false, true, false},
    {"the hand-over", [](InstallationCuts& t) { upgradeWaits(t, "tagged_v2_lib.cab"); }, trayConnects, false, false,
     false},
    {"phase II", handedOver, plainStart, false, true, true},
    {"launch-failure rollback", handedOver, plainStart, true, true, false},
    {"restore at start", restoreDue, plainStart, true, true, true},
};

TEST_P(InstallationCuts, EveryCutEndsWithinTheRules) {
    const Road& road = *GetParam();
    road.prepare(*this);
    cutEverywhere(road.name, snapshot(), [&] { road.run(*this); }, road);
}

INSTANTIATE_TEST_SUITE_P(Roads, InstallationCuts, ::testing::ValuesIn([] {
                             std::vector<const Road*> roads;
                             for (const Road& road : kRoads) roads.push_back(&road);
                             return roads;
                         }()),
                         [](const auto& info) {
                             std::string name = info.param->name;
                             name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return !isalnum(c); }),
                                        name.end());
                             return name;
                         });

}  // namespace
