#include "palvane/shared/softwareSrvc.h"

#include <windows.h>

#include <exception>
#include <utility>

#include "palvane/dll-api/win/webView2Runtime.h"
#include "palvane/shared/downloadMgr.h"
#include "palvane/shared/query_upgrade.h"
#include "palvane/shared/service_monitor.h"
#include "palvane/shared/thread_pool.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"
#include "utils/win/moduleReference.h"
#include "utils/win/osprofile.h"
#include "utils/win/perUserData.h"
#include "utils/win/userInfo.h"

namespace PALVANE_SERVICE {

namespace {

constexpr uint32_t kNotInstalledPeriodSeconds = 20;
constexpr unsigned kFirstTickWhenNotInstalledMs = 1500;
constexpr uint32_t kPoolThreads = 3;
constexpr const char* kTrayProgram = "Quillmark Agent\\twptray.exe";
constexpr const char* kUserSettingsKey = "\\SOFTWARE\\Tarnwell";
constexpr const char* kRestoreRetry = "restore";

// What tells one offered installation from another: the URL may differ at
// every request (a signed link), the version and the digest do not.
std::string offerOf(const query_upgrade& answer) { return answer.upgrade_version + '\n' + answer.sha256Hash; }

bool fileExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

PalvaneService::PalvaneService() : PalvaneService(Seams{}) {}

PalvaneService::PalvaneService(Seams seams)
    : seams_(std::move(seams)),
      journal_(seams_.settings ? seams_.settings : (seams_.settings = makeMachineSettingsStore())),
      retrySpacing_([this] { return seams_.clock(); }, uint64_t{kInstalledPeriodSeconds} * 1000),
      restoreSpacing_([this] { return seams_.clock(); }, uint64_t{kInstalledPeriodSeconds} * 1000) {
    if (!seams_.clock) seams_.clock = GetTickCount64;
    if (!seams_.sleep) seams_.sleep = [](uint32_t milliseconds) { Sleep(milliseconds); };
    if (!seams_.ipcOwner) seams_.ipcOwner = findPortOwnerInTcpTable;
    if (!seams_.components) seams_.components = makeComponentList;
    if (!seams_.operations) seams_.operations = makeServiceOperations;
    if (!seams_.rollback) seams_.rollback = makeRollback;
    if (!seams_.timer) seams_.timer = createTimer;
    if (!seams_.runningModule) seams_.runningModule = ModuleReference::pathOfThisModule;

    if (!is_agent_installed()) {
        timerPeriod_ = kNotInstalledPeriodSeconds;
        agentInstalled_ = false;
    }
    components_ = seams_.components();
    services_ = seams_.operations(components_, path_);
}

// The host frees the core from its own code: nothing may leave the
// destructor, which would end the service process.
PalvaneService::~PalvaneService() {
    try {
        tearDown();
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "~PalvaneService: Catch exception: " << error.what());
    } catch (...) {
        TWLOG(LOG_ERROR, "~PalvaneService: Catch exception: unknown exception");
    }
}

// Nothing that a task, a tick or an IPC callback uses is freed while one of
// them can still run: the monitor goes first, the timer is stopped (not yet
// freed: a running installation may still reset it), the IPC server ends its
// loop thread, and the pool drains before the parts its tasks use are freed.
void PalvaneService::tearDown() {
    beginStopping();
    monitor_.reset();
    if (timer_) timer_->stop();

    std::unique_ptr<PalvaneServer> server;
    {
        std::lock_guard<std::mutex> lock(ipcLock_);
        server = std::move(ipcServer_);
    }
    server.reset();

    pool_.reset();
    timer_.reset();
    services_.reset();
    rollback_.reset();
    webView2_.reset();
    std::lock_guard<std::mutex> lock(queryLock_);
    query_.reset();
}

// A query waiting for the server is cancelled, so the timer's stop does not
// wait for the network.
void PalvaneService::beginStopping() {
    std::lock_guard<std::mutex> lock(queryLock_);
    stopping_ = true;
    if (runningQuery_ != nullptr) runningQuery_->cancel();
    cancelDownload();
}

bool PalvaneService::is_agent_installed() {
    localConfig config(true);
    if (!config.getString(configKeys::PATH, path_)) {
        TWLOG(LOG_ERROR, "Failed to get installation path.");
        return false;
    }
    const std::string tray = path_ + kTrayProgram;
    if (!fileExists(tray)) {
        TWLOG(LOG_NOTICE, tray << " is not installed.");
        return false;
    }
    // Files of a fresh installation that never completed (its process died,
    // or it failed) are no installed agent: the next offer installs it anew.
    if (journal_.record().freshFilesUncommitted()) {
        TWLOG(LOG_NOTICE, tray << " is left by an unfinished fresh installation; the agent is not installed.");
        return false;
    }
    if (!config.getString(configKeys::MACHINE_GUID, machine_guid_)) {
        TWLOG(LOG_INFO, "The value of machine guid is not found.");
        return false;
    }
    TWLOG(LOG_NOTICE, tray << " is installed.");
    return true;
}

std::string PalvaneService::machineGuid() const { return osInfo::instance().machine_guid; }

std::string PalvaneService::upgradeVersion() const {
    std::lock_guard<std::mutex> lock(versionLock_);
    return upgrade_version_;
}

void PalvaneService::setUpgradeVersion(const std::string& version) {
    std::lock_guard<std::mutex> lock(versionLock_);
    upgrade_version_ = version;
}

void PalvaneService::start(ReloadCallback callback) {
    TWLOG(LOG_DEBUG, " softwareService::start()");
    // A stop of an earlier instance may have cut the waits for a logged-on
    // user short; this start needs them again.
    resumeUserWaits();
    std::lock_guard<std::mutex> lifecycle(lifecycleLock_);
    bool started = false;
    try {
        reloadCallback_ = std::move(callback);
        started = startParts();
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "Catch exception: " << error.what());
    } catch (...) {
        TWLOG(LOG_ERROR, "Catch exception: unknown exception");
    }
    if (!started && !stopping_) recordFailedStart(*seams_.settings);
}

void recordFailedStart(ISettingsStore& settings) {
    TWLOG(LOG_CRIT, "The runtime did not start; the host is told so.");
    if (!settings.set(configKeys::DLL_START_FAILED, "true") || !settings.flush()) {
        TWLOG(LOG_ERROR, "Failed to set " << configKeys::DLL_START_FAILED << " registry value");
    }
}

// False when a part the runtime cannot work without did not start; a stop
// that came meanwhile ends it early, which is no failure.
bool PalvaneService::startParts() {
    auto previousPool = std::make_unique<thread_pool>(kPoolThreads);
    pool_.swap(previousPool);
    previousPool.reset();

    // Settled before the IPC server listens: an agent process that connects
    // at once must find phase I due (or the upgrade waiting for its reboot).
    const StartAction action = decideStart();
    {
        auto server = std::make_unique<PalvaneServer>(this, seams_.ipcOwner);
        std::lock_guard<std::mutex> lock(ipcLock_);
        ipcServer_ = std::move(server);
    }
    read_configuration();
    if (stopping_) return true;

    timer_.reset(seams_.timer());
    if (!timer_) {
        TWLOG(LOG_CRIT, "Failed to create timer.");
        return false;
    }
    if (!startTimer()) return false;
    setPostLogLevel(LOG_ERROR);
    startLogServer();
    if (stopping_) return true;
    recoverAtStart(action);
    // A peer that connected while the start recovered the installation found
    // it still under way; its task is queued again now that it is settled.
    if (ipcReachable_) onIpcReady(true);
    startServiceMonitor();
    startWebView2Installer();
    return true;
}

// A monitor of an earlier start is deleted (its health thread joined) only
// after the new one is stored.
void PalvaneService::startServiceMonitor() {
    if (stopping_) return;
    auto monitor = std::make_unique<service_monitor>(this, path_, components_, seams_.monitor);
    monitor_.swap(monitor);
    monitor.reset();
}

// An installer of an earlier start is stopped (its download aborted, its
// thread joined) only after the new one is stored. A stop that came during
// the start starts nothing, and one that comes while the thread is being
// started ends it at once.
void PalvaneService::startWebView2Installer() {
    if (stopping_) return;
    auto installer = std::make_unique<webView2Runtime>();
    webView2_.swap(installer);
    installer.reset();
    if (!webView2_->is_installed()) webView2_->start_installer();
    if (stopping_) webView2_->stop();
}

bool PalvaneService::startTimer() {
    timer_->setCallback(this);
    const unsigned periodMs = timerPeriod_ * 1000;
    const unsigned dueMs = agentInstalled_ ? periodMs : kFirstTickWhenNotInstalledMs;
    if (timer_->start(periodMs, dueMs)) return true;
    TWLOG(LOG_CRIT, "Failed to start timer.");
    return false;
}

// The log server's address is the update server's with its first "cv" turned
// into "portal". An environment without "cv" has no log server: only the
// posts are skipped, the runtime itself starts as usual.
void PalvaneService::startLogServer() {
    if (environment_.empty()) return;
    const size_t at = environment_.find("cv");
    if (at == std::string::npos) {
        TWLOG(LOG_WARN, "No log server for environment " << environment_);
    } else {
        std::string address = environment_;
        address.replace(at, 2, "portal");
        address += "log";
        setLogPostUrl(address.c_str());
        TWLOG(LOG_INFO, "Log server=" << address);
    }
    setLogRecordIds(cid_, osInfo::instance().machine_guid);
}

// The reboot flag is used up only once what it starts is on the disk: a
// start that cannot record phase I keeps it for the next one.
StartAction PalvaneService::decideStart() {
    const InstallRecord record = journal_.load();
    const RebootFlag flag = get_reboot_flag(record.awaitsReboot());
    if (flag.set) TWLOG(LOG_NOTICE, "It is a REBOOT");
    StartAction action = decideAtStart(record, flag.set ? StartKind::Reboot : StartKind::Plain,
                                       [&] { return cabinetState(record); });
    if (action == StartAction::PhaseOneOnTray && !record.phaseOneDue() && !journal_.markPhaseOneDue()) {
        TWLOG(LOG_ERROR, "Phase I could not be recorded; the reboot flag is kept for the next start.");
        action = StartAction::AwaitReboot;
    } else {
        useUpRebootFlag(flag);
    }
    if (action != StartAction::Nothing) TWLOG(LOG_NOTICE, "The installation at this start: " << nameOf(action));
    return action;
}

CabinetState PalvaneService::cabinetState(const InstallRecord& record) {
    if (record.cabinet.empty() || !fileExists(record.cabinet)) return CabinetState::Missing;
    const std::string digest = downloadMgr::compute_file_hash(record.cabinet);
    if (!record.cabinetDigest.empty() && digest == record.cabinetDigest) return CabinetState::Usable;
    TWLOG(LOG_ERROR, "The cabinet " << record.cabinet << " is not the one recorded: computed " << digest
                                    << " expected " << record.cabinetDigest);
    return CabinetState::WrongDigest;
}

// Finding the user's settings waits for somebody to log on, which can take
// the better part of an hour on a machine nobody uses. Only an upgrade that
// waits for its reboot depends on the answer; otherwise the start goes on at
// once and the user's value is read only if a user is there now. Nothing is
// reset here.
PalvaneService::RebootFlag PalvaneService::get_reboot_flag(bool upgradeWaits) {
    TWLOG(LOG_DEBUG, "PalvaneService::get_reboot_flag()");
    RebootFlag flag;
    std::string machine;
    if (!seams_.settings->get(configKeys::REBOOT_MODE, machine) || !parseBoolText(machine, flag.machine)) {
        TWLOG(LOG_INFO, "Failed to read reboot flag.");
    }
    flag.set = flag.machine;
    unsigned sessionId = 0;
    if (!upgradeWaits && !findActiveSessionNow(sessionId)) {
        TWLOG(LOG_INFO, "No user is logged on; the user's reboot flag is left for a later start.");
        return flag;
    }
    perUserData user;
    if (!user.openUserKey(kUserSettingsKey)) {
        TWLOG(LOG_ERROR, "Failed to open user's data registry");
        return flag;
    }
    flag.userRead = flag.machine || user.getBool(configKeys::REBOOT_MODE, flag.user);
    if (!flag.userRead) TWLOG(LOG_INFO, "Failed to read reboot value");
    flag.set = flag.machine || flag.user;
    return flag;
}

void PalvaneService::useUpRebootFlag(const RebootFlag& flag) {
    if (flag.machine && !seams_.settings->set(configKeys::REBOOT_MODE, "false")) {
        TWLOG(LOG_ERROR, "Failed to set " << configKeys::REBOOT_MODE << " registry value");
    }
    if (!flag.userRead) return;
    perUserData user;
    if (user.openUserKey(kUserSettingsKey)) user.setString(configKeys::REBOOT_MODE, "false");
}

void PalvaneService::read_configuration() {
    localConfig config(true);
    int level = 0;
    if (config.getInt(configKeys::LEVEL, level) && static_cast<unsigned>(level) <= LOG_DEBUG) {
        TWLOG(LOG_WARN, "Overriding log level to " << level);
        setFileLogLevel(static_cast<unsigned>(level));
    }
    if (!config.getString(configKeys::CID, cid_) || cid_.empty()) TWLOG(LOG_ERROR, "Failed to get cid value.");
    if (!config.getString(configKeys::ENVIRONMENT, environment_) || environment_.empty()) {
        TWLOG(LOG_ERROR, "Failed to get environment value.");
    }
    if (!config.getString(configKeys::INSTALLED_VERSION, installed_version_)) {
        TWLOG(LOG_ERROR, "Failed to get fresh installed version.");
    }
}

bool PalvaneService::claimTask() {
    bool idle = false;
    return taskRunning_.compare_exchange_strong(idle, true);
}

void PalvaneService::onTimer() {
    if (ticksSkipped()) {
        TWLOG(LOG_INFO, "Skip query upgrade information.");
        return;
    }
    if (journal_.record().restoreDue() || attemptEnd_ != AttemptEnd::Recorded) {
        retryUnfinished();
        return;
    }
    if (queryBusy_.exchange(true)) {
        TWLOG(LOG_DEBUG, "Querry software upgrade is in progress.");
        return;
    }
    try {
        if (!check_for_upgrade()) TWLOG(LOG_DEBUG, "Failed to get software update information.");
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "Catch exception: " << error.what());
    } catch (...) {
        TWLOG(LOG_ERROR, "Catch exception: unknown exception");
    }
    queryBusy_ = false;
}

// A restore that failed (a file that stays locked), or the end of an attempt
// that could not be recorded, is tried again at ticks, spaced out like a
// failing offer; no offer is taken before it succeeded.
void PalvaneService::retryUnfinished() {
    std::lock_guard<std::mutex> lock(queryLock_);
    if (!restoreSpacing_.due(kRestoreRetry)) return;
    if (stopping_ || removing_ || !claimTask()) return;
    restoreSpacing_.attempted(kRestoreRetry);
    try {
        pool_->enqueue(&PalvaneService::unfinishedTask, this);
    } catch (...) {
        taskRunning_ = false;
        throw;
    }
}

// Published while it runs, so that stop and remove_services can cancel it;
// one of them that came first cancels it at once.
bool PalvaneService::queryAgain(query_upgrade& query) {
    {
        std::lock_guard<std::mutex> lock(queryLock_);
        if (stopping_ || removing_) return false;
        runningQuery_ = &query;
    }
    const bool answered = query.query();
    std::lock_guard<std::mutex> lock(queryLock_);
    runningQuery_ = nullptr;
    return answered;
}

// The tick owns its query while it runs; stop and remove_services only cancel
// it. The answer is acted on under the same lock that remove_services and
// stop take, so no installation is queued after either has begun.
bool PalvaneService::check_for_upgrade() {
    if (cid_.empty()) {
        TWLOG(LOG_ERROR, "Failed to get cid value.");
        return false;
    }
    if (environment_.empty()) {
        TWLOG(LOG_ERROR, "Failed to get environment value.");
        return false;
    }
    std::unique_ptr<query_upgrade> query(new (std::nothrow) query_upgrade(this));
    if (!query) {
        TWLOG(LOG_ERROR, "Failed to allocate memory - Out of memory resources.");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(queryLock_);
        query_.reset();
        if (ticksSkipped()) return true;
    }
    const bool answered = queryAgain(*query);
    std::lock_guard<std::mutex> lock(queryLock_);
    if (!answered) return false;
    return storeOrDropAnswer(std::move(query));
}

// Under the query lock. An installation offered again is held back while
// its spacing runs.
bool PalvaneService::offerHeldBack(const query_upgrade& answer) {
    if (answer.install_type != fresh_install && answer.install_type != upgrade) return false;
    if (retrySpacing_.due(offerOf(answer))) return false;
    TWLOG(LOG_INFO, "Version " << answer.upgrade_version << " failed to install; it is tried again in "
                               << retrySpacing_.waitLeft() / 1000 << " s.");
    return true;
}

// Under the query lock. Claimed before it is queued, so that no later tick
// or phase I begins a second installation before this one runs.
template <typename Task>
void PalvaneService::queueInstallation(Task task, const query_upgrade& answer) {
    if (!claimTask()) return;
    retrySpacing_.attempted(offerOf(answer));
    try {
        pool_->enqueue(task, this, answer.download_url, answer.sha256Hash);
    } catch (...) {
        taskRunning_ = false;
        throw;
    }
}

// Under the query lock.
bool PalvaneService::storeOrDropAnswer(std::unique_ptr<query_upgrade> answer) {
    if (ticksSkipped() || declinesOffer(*answer)) {
        TWLOG(LOG_INFO, "Skip query upgrade information.");
        return true;
    }
    if (offerHeldBack(*answer)) return true;
    query_ = std::move(answer);
    setUpgradeVersion(query_->upgrade_version);
    // Logged by the journal when it fails; the queued task still runs.
    (void)journal_.recordOffer(query_->upgrade_version);
    switch (query_->install_type) {
        case fresh_install:
            TWLOG(LOG_INFO, "Install a fresh  Quillmark Agent.");
            queueInstallation(&PalvaneService::install_fresh_agent, *query_);
            return true;
        case upgrade:
            TWLOG(LOG_INFO, "Upgrade Quillmark Agent.");
            queueInstallation(&PalvaneService::upgrade_agent, *query_);
            return true;
        case no_update:
            return true;
        default:
            return false;
    }
}

// Not acted on while an installation must first go on or be undone, nor when
// it offers what failed in this session or what already waits for its reboot.
std::string PalvaneService::declineReason(const std::string& version, const std::string& digest) const {
    {
        std::lock_guard<std::mutex> lock(versionLock_);
        if (failedOffer_ && failedOffer_->matches(version, digest)) return "it failed in this session";
    }
    const InstallRecord record = journal_.record();
    if (record.phaseOneDue()) return "phase I of the pending upgrade waits for an agent process";
    if (record.restoreDue()) return "a failed installation is still to be restored";
    if (record.stageSet()) return "the installation under way is finished first";
    if (record.awaitsReboot() && Offer{record.upgradeVersion, record.cabinetDigest}.matches(version, digest)) {
        return "it waits for a reboot";
    }
    return std::string();
}

bool PalvaneService::declinesOffer(const query_upgrade& answer) {
    if (answer.install_type != fresh_install && answer.install_type != upgrade) return false;
    const std::string reason = declineReason(answer.upgrade_version, answer.sha256Hash);
    if (reason.empty()) return false;
    TWLOG(LOG_INFO, "Version " << answer.upgrade_version << " is not installed now: " << reason << ".");
    return true;
}

// One task at a time, however many peers connect: it reminds every tray at
// once.
void PalvaneService::onIpcReady(bool reachable) {
    TWLOG(LOG_INFO, "IPC reachable:" << (reachable ? "ture" : "false"));
    ipcReachable_ = reachable;
    if (!reachable || stopping_ || ipcReadyQueued_.exchange(true)) return;
    try {
        pool_->enqueue(&PalvaneService::handle_ipc_ready_thread, this);
    } catch (const std::exception& error) {
        ipcReadyQueued_ = false;
        TWLOG(LOG_ERROR, "Catch exception: " << error.what());
    }
}

void PalvaneService::onLogLevelChange(int level) {
    if (level >= LOG_EMERG && level <= LOG_DBLDEBUG) setFileLogLevel(static_cast<unsigned>(level));
}

// With the agent goes any installation of it: its cabinet, its backups and
// its journal (an installation task that runs now keeps them).
bool PalvaneService::remove_services() {
    setFileLogLevel(LOG_DEBUG);
    TWLOG(LOG_INFO, "PalvaneService::remove_services()");
    {
        std::lock_guard<std::mutex> lock(queryLock_);
        removing_ = true;
        if (runningQuery_ != nullptr) runningQuery_->cancel();
        query_.reset();
    }
    const bool removed = services_ ? services_->remove_service() : false;
    if (!removed || !claimTask()) return removed;
    ClearOnExit task(taskRunning_);
    const InstallRecord record = journal_.load();
    auto rollback = seams_.rollback(path_, components_, journal_);
    rollback->resume();
    rollback->purge();
    deleteFile(record.cabinet);
    if (!journal_.clear()) TWLOG(LOG_ERROR, "The values of the removed agent's installation could not be removed.");
    return removed;
}

void PalvaneService::stop() {
    setFileLogLevel(LOG_WARN);
    // A start still waiting for a logged-on user must not hold the stop.
    cancelUserWaits();
    beginStopping();
    // Waits for a start that is still under way; it sees the stopping flag
    // and ends early.
    std::lock_guard<std::mutex> lifecycle(lifecycleLock_);
    if (timer_) {
        timer_->stop();
        timer_->cleanup();
    }
    {
        std::lock_guard<std::mutex> lock(queryLock_);
        query_.reset();
    }
    monitor_.reset();
}

}  // namespace PALVANE_SERVICE
