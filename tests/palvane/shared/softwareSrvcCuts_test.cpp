// Every road of an installation, ended at every change it makes to the disk or
// the settings (as a power cut ends it), or with that change failed as a full
// disk fails it, then started again, plain and after a reboot, with the new
// version's launch succeeding and failing. Every row keeps the rules: 2.0.0 is
// recorded only once all its files are there and it ran; a failure leaves the
// old files, running, watched and recorded (a failed fresh one: nothing); only
// a wholly old or new tree is started or watched; within its ticks or two more
// starts the agent is idle, running, watched and free to ask, or waits for its
// reboot or for the tray; nothing is unpacked from bytes no digest was offered for.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
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
// nothing reaches the disk after a death; or, `failOnly`, that one fails as on
// a full disk (a flushed file is cut short, else ERROR_DISK_FULL). What is not
// flushed is dropped at a cut: a file's content, a removal or rename in an
// unflushed folder, settings (but the last change, if it was a setting).
struct Cutter {
    std::mutex lock;
    int cutAt = 0, changes = 0;
    bool failOnly = false;
    std::atomic<bool> dead{false}, failed{false};
    std::vector<std::string> trace, violations;
    std::set<std::string> derived, offered, renamed;
    std::map<std::string, std::pair<DWORD, std::string>> files;  // attributes and content before
    std::map<std::string, std::optional<std::string>> settings;
    std::string lastSetting;

    // Under the lock.
    DWORD change(const std::string& label) {
        if (!dead && ++changes == cutAt) (failOnly ? failed : dead) = true;
        if (dead) return ERROR_WRITE_PROTECT;
        trace.push_back(label);
        lastSetting.clear();
        return failOnly && changes == cutAt ? ERROR_DISK_FULL : NO_ERROR;
    }
    DWORD file(fileGate::Op op, const std::string& path, const std::string& source) {
        using Op = fileGate::Op;
        std::lock_guard<std::mutex> guard(lock);
        const DWORD verdict = change(std::to_string(static_cast<int>(op)) + " " + path);
        if (verdict == ERROR_DISK_FULL && op == Op::Flush && cutShort(path)) return NO_ERROR;
        if (verdict != NO_ERROR) return verdict;
        std::string bytes;
        if (op == Op::Extract && !derived.count(source) && testutil::readFile(source, bytes) &&
            !offered.count(testutil::sha256Hex(bytes))) {
            violations.push_back("unpacked from bytes no digest was offered for: " + source);
        }
        if (op == Op::Extract) derived.insert(path);
        if (op != Op::Extract && op != Op::Flush) derived.erase(path);
        if (op == Op::Copy || op == Op::Extract || op == Op::Write) remember(path, false);
        if (op == Op::Delete || op == Op::Move) remember(path, true);
        if (op == Op::Move) remember(source, true);
        if (op == Op::Flush) settle(path);
        return NO_ERROR;
    }
    static bool cutShort(const std::string& path) {
        std::string b;
        return testutil::readFile(path, b) && !b.empty() && testutil::writeFile(path, b.erase(b.size() / 2));
    }
    void remember(const std::string& path, bool rename) {
        if (!files.count(path)) testutil::readFile(path, files[path].second);
        if (!files[path].first) files[path].first = GetFileAttributesA(path.c_str());
        if (rename) renamed.insert(path);
    }
    // A flushed file is on the disk, so are removals and renames in a flushed folder.
    void settle(const std::string& flushed) {
        if (!renamed.count(flushed)) files.erase(flushed);
        for (const std::string& path : std::set<std::string>(renamed)) {
            if (path.substr(0, path.find_last_of('\\')) != flushed) continue;
            const bool gone = GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
            for (auto it = files.begin(); it != files.end();) {
                const bool settled = it->first == path || (gone && it->first.rfind(path + "\\", 0) == 0);
                if (settled) renamed.erase(it->first);
                it = settled ? files.erase(it) : std::next(it);
            }
        }
    }
    bool setting(const std::string& label, const char* name, ISettingsStore& machine) {
        std::lock_guard<std::mutex> guard(lock);
        if (change(label) != NO_ERROR) return false;
        std::string prior;
        if (name && !settings.count(name)) {
            settings[name] = machine.get(name, prior) ? std::optional<std::string>(prior) : std::nullopt;
        }
        name ? (void)(lastSetting = name) : settings.clear();
        return true;
    }
    // After a cut: what was not on the disk is put back as it was.
    void dropUnflushed() {
        auto machine = makeMachineSettingsStore();
        for (const auto& [name, prior] : settings) {
            if (name != lastSetting) prior ? machine->set(name.c_str(), *prior) : machine->remove(name.c_str());
        }
        for (const auto& [path, prior] : files) {  // a folder comes before what is in it
            if (prior.first == INVALID_FILE_ATTRIBUTES) continue;
            prior.first & FILE_ATTRIBUTE_DIRECTORY ? (void)CreateDirectoryA(path.c_str(), nullptr)
                                                   : (void)testutil::writeFile(path, prior.second);
        }
        for (auto it = files.rbegin(); it != files.rend(); ++it) {
            if (it->second.first == INVALID_FILE_ATTRIBUTES) testutil::removeTree(it->first);
        }
    }
    void newRun(int at, bool failing = false) {
        std::lock_guard<std::mutex> guard(lock);
        cutAt = at, changes = 0, dead = false, failed = false, failOnly = failing;
        trace.clear(), derived.clear(), renamed.clear(), files.clear(), settings.clear(), lastSetting.clear();
    }
};

class CuttingStore : public ISettingsStore {
public:
    explicit CuttingStore(Cutter& cutter) : cutter_(cutter) {}
    bool get(const char* name, std::string& value) override { return machine_->get(name, value); }
    bool set(const char* name, const std::string& value) override {
        return cutter_.setting(std::string("set ") + name + "=" + value, name, *machine_) && machine_->set(name, value);
    }
    bool remove(const char* name) override {
        return cutter_.setting(std::string("remove ") + name, name, *machine_) && machine_->remove(name);
    }
    bool flush() override { return cutter_.setting("flush", nullptr, *machine_) && machine_->flush(); }

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
    bool mixed() const { return !whollyNew() && agent() != old; }
};

// The components, as the service control manager keeps them across runs.
class Components : public IServiceOperation {
public:
    explicit Components(Machine& machine) : m_(machine) {}
    bool start_service() override {
        if (m_.cutter.dead) return false;
        const bool isNew = m_.whollyNew(), isOld = m_.agent() == m_.old;
        if (!isNew && !isOld) m_.cutter.violations.push_back("started on a mixed tree");
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
void trayConnects(InstallationCuts& t);
struct Road {
    const char* name;
    std::function<void(InstallationCuts&)> prepare, run;
    bool newFails;
    bool endsSettled;  // its own core ends waiting for nothing (no hand-over)
    bool cutRecovery;  // the recovery after each cut is cut at each change too
    bool recoveryFails, trayAgain;  // the recovery's launch fails; a tray runs phase I again
    const char* uncut = nullptr;    // where its own core ends when nothing is cut
};

struct NoTicks : ITimer {
    void setCallback(ITimerCallback*) override {}
    bool start(unsigned, unsigned) override { return true; }
    bool reset(unsigned) override { return true; }
    void stop() override {}
    void cleanup() override {}
};

class InstallationCuts : public ::testing::TestWithParam<size_t> {
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
        for (const auto& digest : digests_) m_->cutter.offered.insert(digest.second);
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

    // One start of a new core; `drive` is what happens after it, then its ticks after a failed change.
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
        seams.clock = [now = uint64_t{0}]() mutable { return now += 3600000; };  // every retry is due
        seams.monitor.interval = std::chrono::hours(1);
        seams.monitor.makeUpgradeMonitor = [](std::function<void()>) { return nullptr; };
        PalvaneService core(std::move(seams));
        core.start([] {});
        if (drive) drive(core);
        lastState_ = endState(core);
        for (int tick = 0; tick < 3 && m_->cutter.failed && lastState_ == "" && !core.isInstallationRunning(); ++tick) {
            ticked(core);
            lastState_ = endState(core);
        }
        if (!m_->cutter.dead) checkVersion();  // after a cut, once what was not flushed is dropped
        core.stop();
    }

    static void ticked(PalvaneService& core) {
        core.onTimer();
        testutil::waitUntil([&] { return !core.isInstallationRunning(); }, std::chrono::seconds(30));
    }

    void checkVersion() {
        if (setting(keys::INSTALLED_VERSION) == "2.0.0" && !(m_->newRan && m_->whollyNew())) {
            m_->cutter.violations.push_back("2.0.0 recorded but not installed and run");
        }
    }

    // The settled state the machine and the core are in, or "".
    std::string endState(PalvaneService& core) {
        const bool mixed = m_->mixed(), watched = !core.isChangingComponents(), running = m_->running;
        if (!m_->cutter.dead && !core.isInstallationRunning() && (mixed ? watched : running && !watched)) {
            m_->cutter.violations.push_back(mixed ? "a mixed tree is watched" : "the running agent is not watched");
        }
        const auto record = core.installRecord();
        const std::string installed = setting(keys::INSTALLED_VERSION);
        const bool asks = !core.isInstallationRunning() && core.declineReason("9.9.9", "").empty();
        const bool idle = !record.pending && !record.hasRemnant();
        const bool undone = !testutil::fileExists(m_->dir.file("Quillmark Palvane\\palvane_2.0.0.dll")) &&
                            setting(keys::DLL_VERSION) == "1.0.0";
        if (idle && installed == "2.0.0" && m_->whollyNew() && running && watched && asks) return "new";
        if (m_->old.empty()) {
            const bool nothing = !running && !core.isAgentInstalled() && installed == "<absent>" && undone &&
                                 m_->agent().empty();
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
        for (DWORD i = 0, nameSize = sizeof(name), size = sizeof(data);
             RegEnumValueA(key, i, name, &nameSize, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) == 0;
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

    // Up to `starts` starts (the first one `first` where given) must end settled.
    void recover(const std::string& row, bool reboot, bool newFails, const std::function<void()>& first = nullptr,
                 int starts = 2) {
        m_->newFails = newFails;
        for (int start = 0; start < starts && (start == 0 || lastState_.empty()); ++start) {
            m_->cutter.newRun(0);
            start == 0 && first ? first() : runCore(reboot && start == 0);
        }
        for (const auto& violation : m_->cutter.violations) ADD_FAILURE() << row << ": " << violation;
        m_->cutter.violations.clear();
        EXPECT_NE(lastState_, "") << row << ": not settled";
    }

    static StartAction decision(StartKind kind) {
        return decideAtStart(InstallJournal(makeMachineSettingsStore()).record(), kind,
                             [] { return CabinetState::Usable; });
    }

    // Runs `run` from `from` uncut to count its changes, then cut at each,
    // and (outside a recovery) with each failed. Each cut is recovered in the
    // variants that can differ: a reboot start only where the journal decides
    // otherwise for it, a failing new version only where a start tried the
    // new one. A road that cuts its recovery cuts the plain start after each
    // cut (a completion or a restore) at each of its changes too.
    void cutEverywhere(const std::string& name, const Snapshot& from, const std::function<void()>& run,
                       const Road& road, bool recovery = false) {
        auto runFrom = [&](int cut, bool failOnly = false) {
            restore(from);
            m_->newFails = recovery ? road.recoveryFails : road.newFails;
            m_->cutter.newRun(cut, failOnly);
            run();
            if (m_->cutter.dead) m_->cutter.dropUnflushed();
        };
        runFrom(0);
        const int changes = m_->cutter.changes;
        if (!recovery) {
            EXPECT_TRUE(!road.endsSettled || !lastState_.empty()) << name << ", uncut: its own core";
            EXPECT_TRUE(!road.uncut || lastState_ == road.uncut) << name << ", uncut: " << lastState_;
            recover(name + ", uncut", false, road.newFails);
        }
        for (int cut = 1; cut <= changes; ++cut) {
            const std::string row = name + ", change " + std::to_string(cut) + " of " + std::to_string(changes);
            if (!recovery) runFrom(cut, true);
            if (!recovery) recover(row + " failed", false, road.newFails, nullptr, road.endsSettled ? 0 : 2);
            runFrom(cut);
            checkVersion();
            if (recovery || road.trayAgain) {
                recover(row + " cut", false, recovery ? road.recoveryFails : true,
                        road.trayAgain ? [this] { trayConnects(*this); } : std::function<void()>());
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
                    recover(row + (reboot ? " cut, reboot start" : " cut, plain start") + (newFails ? ", fails" : ""),
                            reboot, newFails);
                }
            }
            if (road.cutRecovery && (plain == StartAction::Complete || plain == StartAction::Restore)) {
                cutEverywhere(row + " cut, then its recovery", afterCut, [this] { runCore(false); }, road, true);
            }
        }
        if (!recovery) printf("%s: %d changes, each cut and failed\n", name.c_str(), changes);
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

void tick(InstallationCuts& t) { t.runCore(false, InstallationCuts::ticked); }
void trayConnects(InstallationCuts& t) {
    t.runCore(true, [](PalvaneService& core) { core.handle_ipc_ready_thread(); });
}
void plainStart(InstallationCuts& t) { t.runCore(false); }
void upgradeWaits(InstallationCuts& t, const char* cabinet) {
    t.prepare(false, cabinet);
    tick(t);
}
void phaseOneDue(InstallationCuts& t) { upgradeWaits(t, "tagged_v2.cab"); }
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
    ASSERT_LT(stage, static_cast<long>(trace.size())) << "the launch failure's restore was not found";
    t.restore(from);
    t.m_->cutter.newRun(static_cast<int>(stage) + 3);
    plainStart(t);
    t.m_->cutter.dropUnflushed();
}

const Road kRoads[] = {
    {"fresh installation", [](InstallationCuts& t) { t.prepare(true, "tagged_v2.cab"); }, tick, false, true, false},
    {"upgrade phase 0", [](InstallationCuts& t) { t.prepare(false, "tagged_v2.cab"); }, tick, false, true, false},
    {"phase I", phaseOneDue, trayConnects, false, true, false},
    {"phase I run again after a cut, its launch failing", phaseOneDue, trayConnects, false, true, false, false, true},
    {"phase I with its cabinet lost",
     [](InstallationCuts& t) { phaseOneDue(t); ASSERT_TRUE(DeleteFileA(setting(keys::INSTALL_CABFILE).c_str())); },
     trayConnects, false, true, false},
    {"phase I with a cabinet that is not the one checked", [](InstallationCuts& t) { phaseOneDue(t);
         testutil::writeFile(setting(keys::INSTALL_CABFILE), fixtureCabinet("folder.cab")); },
     trayConnects, false, true, false, false, false, "new"},
    {"the hand-over", [](InstallationCuts& t) { upgradeWaits(t, "tagged_v2_lib.cab"); }, trayConnects, false, false,
     false},
    {"phase II", handedOver, plainStart, false, true, true},
    {"phase II, its restart failing", handedOver, plainStart, false, true, true, true},
    {"launch-failure rollback", handedOver, plainStart, true, true, false},
    {"restore at start", restoreDue, plainStart, true, true, true, true},
};

TEST_P(InstallationCuts, EveryCutAndFailureEndsWithinTheRules) {
    const Road& road = kRoads[GetParam()];
    road.prepare(*this);
    cutEverywhere(road.name, snapshot(), [&] { road.run(*this); }, road);
}

std::string roadName(const testing::TestParamInfo<size_t>& info) {
    std::string name = kRoads[info.param].name;
    name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return !isalnum(c); }), name.end());
    return name;
}
INSTANTIATE_TEST_SUITE_P(Roads, InstallationCuts, testing::Range<size_t>(0, std::size(kRoads)), roadName);

}  // namespace
