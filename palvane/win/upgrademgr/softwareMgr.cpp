#include "palvane/win/upgrademgr/softwareMgr.h"

#include <windows.h>

#include <exception>
#include <system_error>

#include "palvane/win/upgrademgr/runtimeTrust.h"
#include "palvane/win/upgrademgr/userPolicy.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/adminOnlySecurity.h"
#include "utils/win/exception_handler.h"
#include "utils/win/localconfig.h"
#include "utils/win/stringconv.h"
#include "utils/win/userInfo.h"

using PALVANE_SERVICE::ConstructorFn;
using PALVANE_SERVICE::DestructorFn;
using PALVANE_SERVICE::Ipalvane;

// The log texts of the two roads that bind a library.
struct palvaneMgr::BindTexts {
    const char* load;
    const char* constructor;
    const char* destructor;
    const char* object;
};

const palvaneMgr::BindTexts palvaneMgr::kStartTexts = {"Failed to load DLL ", "Failed to get DLL constructor.",
                                                       "Failed to get DLL destructor.",
                                                       "Failed to create Palvane object."};
const palvaneMgr::BindTexts palvaneMgr::kReloadTexts = {"Failed to load ", "Failed to get DLL constructor pointer.",
                                                        "Failed to get DLL destructor pointer.",
                                                        "Failed to create Palvane DLL object."};

palvaneMgrHooks palvaneMgrHooks::production() {
    palvaneMgrHooks hooks;
    hooks.makeLoader = [](const std::string& path) { return std::make_unique<libloader::DLLoader>(path); };
    hooks.installCrashHandler = [] { exception_handler handler; };
    hooks.writeUserPolicy = enableLegacyBalloonNotifications;
    hooks.holdUserWaitsCancelled = ::holdUserWaitsCancelled;
    hooks.releaseUserWaitsHold = ::releaseUserWaitsHold;
    hooks.resumeUserWaits = ::resumeUserWaits;
    hooks.startThread = [](std::function<void()> body) { return std::thread(std::move(body)); };
    hooks.trust = runtimeTrust::hostAccepts;
    hooks.secureLibraryFolder = [](const std::string& folder) {
        const std::wstring library = toWide(folder);
        const bool secured = AdminOnlySecurity::secureFolder(library);
        AdminOnlySecurity::secureFolder(library + L"\\logs");
        return secured || !AdminOnlySecurity::othersMayWrite(library);
    };
    // As a stop that outlived its bound, but without reporting the service
    // stopped: the service control manager then restarts it.
    hooks.endProcess = [] { TerminateProcess(GetCurrentProcess(), CServiceBase::kHungStopExitCode); };
    return hooks;
}

palvaneMgr::palvaneMgr() : palvaneMgr(palvaneMgrHooks::production()) {}

palvaneMgr::palvaneMgr(palvaneMgrHooks hooks) : hooks_(std::move(hooks)) {
    localConfig config(false);
    if (!config.getString(configKeys::PATH, installPath_)) {
        TWLOG(LOG_ERROR, "Failed to get installation path.");
        installPath_.clear();
    }
    libraryFolder_ = installPath_ + kLibraryFolder;
    folder_ = std::make_unique<LibraryFolder>(libraryFolder_, hooks_.trust);
    enterLibraryFolder();
    // Before the crash handler opens the dump folder, "logs" in it.
    folderSafe_ = libraryFolderSafe();
    if (hooks_.installCrashHandler) hooks_.installCrashHandler();
}

palvaneMgr::~palvaneMgr() {
    // A policy write still waiting for a user must not hold the destruction.
    if (hooks_.holdUserWaitsCancelled) hooks_.holdUserWaitsCancelled();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watch_.ending = true;
    }
    stopSignal_.notify_all();
    joinThreads();
    if (hooks_.releaseUserWaitsHold) hooks_.releaseUserWaitsHold();
}

void palvaneMgr::enterLibraryFolder() {
    std::wstring folder;
    if (!toWide(libraryFolder_, folder) || !SetCurrentDirectoryW(folder.c_str())) {
        TWLOG(LOG_ERROR, "Failed to set current directory to " << libraryFolder_);
    }
}

// Whoever made the folders, an installer or an older version, they are
// secured at every start; a library folder that others can write and that
// cannot be secured is never loaded from (anyone could drop an old build of
// the same signer there).
bool palvaneMgr::libraryFolderSafe() {
    if (!hooks_.secureLibraryFolder || hooks_.secureLibraryFolder(libraryFolder_)) return true;
    TWLOG(LOG_CRIT, "The library folder " << libraryFolder_
                                          << " can be written by others than administrators and cannot be secured; "
                                             "no runtime library is loaded from it.");
    return false;
}

bool palvaneMgr::stopRequested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopRequested_;
}

std::string palvaneMgr::currentDllName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dllName_;
}

void palvaneMgr::setDllName(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    dllName_ = name;
}

bool palvaneMgr::runtimeLoaded() const { return loaded_.load(); }

// ---- start and stop ----

void palvaneMgr::start() {
    TWLOG(LOG_INFO, " softwareMgr::start()");
    std::lock_guard<std::mutex> operation(opMutex_);
    if (stopRequested()) {
        TWLOG(LOG_WARN, "The service is stopping; the runtime is not started.");
        return;
    }
    startUserPolicyWrite();
    startWatch();
    startPass();
}

// Under the operation lock. No runtime is no resting state: a pass that
// starts none is tried again later.
bool palvaneMgr::startPass() {
    if (!folderSafe_) folderSafe_ = libraryFolderSafe();
    std::vector<std::string> candidates;
    if (folderSafe_) candidates = folder_->startCandidates();
    if (folderSafe_ && candidates.empty()) TWLOG(LOG_CRIT, "Palvane DLL file name is invalid(empty).");
    const std::string started = folder_->startFirst(
        candidates, [this](const std::string& name, HANDLE file) { return bindAndStart(name, file, kStartTexts); });
    if (!started.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        watch_.retries = 0;
        return true;
    }
    if (stopRequested()) return false;
    if (!candidates.empty()) TWLOG(LOG_CRIT, "No runtime library could be started.");
    scheduleRetry();
    return false;
}

// Under the operation lock. The whole call is bounded, the library's load
// (its entry point) included.
LibraryFolder::Outcome palvaneMgr::bindAndStart(const std::string& name, HANDLE checkedFile, const BindTexts& texts) {
    if (stopRequested()) return LibraryFolder::Outcome::Stopping;
    // Asked before the start, which may complete the installation.
    const bool handed = folder_->handedInstallation(name);
    beginGuard("The start of " + name);
    const LibraryFolder::Outcome outcome = bindAndStartOnce(name, checkedFile, texts);
    endGuard();
    if (outcome == LibraryFolder::Outcome::Started) beginProbation(name, handed);
    return outcome;
}

LibraryFolder::Outcome palvaneMgr::bindAndStartOnce(const std::string& name, HANDLE checkedFile,
                                                    const BindTexts& texts) {
    const LibraryFolder::Outcome bound = bindLibrary(name, checkedFile, texts);
    if (bound != LibraryFolder::Outcome::Started) return bound;
    setDllName(name);
    try {
        // A start cut short by a stop has not shown that the library serves.
        if (!startBoundRuntime() || stopRequested()) return LibraryFolder::Outcome::Stopping;
        if (!LibraryFolder::startFailed()) return LibraryFolder::Outcome::Started;
        TWLOG(LOG_CRIT, "The start of " << name << " failed inside; it counts as a failed trial.");
    } catch (...) {
        TWLOG(LOG_CRIT, "StartMonitoring() of " << name << " failed.");
    }
    freeRuntime();
    return LibraryFolder::Outcome::Failed;
}

// Under the operation lock. The object is made reachable for a stop before
// its start, which may run a whole installation.
bool palvaneMgr::startBoundRuntime() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopRequested_) {
            TWLOG(LOG_WARN, "The service is stopping; the runtime is not started.");
            return false;
        }
        running_ = object_;
    }
    object_->StartMonitoring(makeCallback());
    return true;
}

void palvaneMgr::stop() {
    TWLOG(LOG_WARN, "enter softwareMgr::stop()");
    // Held until everything stopped here has returned: a runtime start that
    // resumes its waits after this must still find them cancelled.
    if (hooks_.holdUserWaitsCancelled) hooks_.holdUserWaitsCancelled();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
    }
    // Wakes a reload in its pause, which then gives up the new library.
    stopSignal_.notify_all();
    stopRunningObject();
    {
        // Waits for a start or reload under way; the runtime has been told
        // to stop, so its start returns early.
        std::lock_guard<std::mutex> operation(opMutex_);
        const std::string freed = currentDllName();
        const bool loaded = runtimeLoaded();
        freeRuntime();
        if (loaded) folder_->endedCleanly(freed);
    }
    joinThreads();
    if (hooks_.releaseUserWaitsHold) hooks_.releaseUserWaitsHold();
    TWLOG(LOG_INFO, " exit softwareMgr::stop()");
}

// Nothing is freed here: the process ends next, and the runtime's own
// recovery after a death stays the safety net. The manager stays in place,
// since the runtime's threads run on until then.
void palvaneMgr::shutdown() {
    TWLOG(LOG_WARN, "The system is shutting down; the runtime is asked to stop.");
    if (hooks_.holdUserWaitsCancelled) hooks_.holdUserWaitsCancelled();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
    }
    stopSignal_.notify_all();
    Ipalvane* object = nullptr;
    if (claimRunningObject(object)) {
        try {
            hooks_.startThread([this, object] { callStopMonitoring(object); }).detach();
        } catch (const std::exception& error) {
            endStopCall();
            TWLOG(LOG_ERROR, "Failed to start the thread that stops the runtime: " << error.what());
        }
    }
    if (!waitForStopCalls(hooks_.shutdownStopLimit)) {
        TWLOG(LOG_WARN, "The runtime did not stop in time.");
    } else if (runtimeLoaded()) {
        folder_->endedCleanly(currentDllName());
    }
}

bool palvaneMgr::claimRunningObject(Ipalvane*& object) {
    std::lock_guard<std::mutex> lock(mutex_);
    object = running_;
    running_ = nullptr;
    if (object != nullptr) ++stopCalls_;
    return object != nullptr;
}

// The call always counts as ended, so that the object's Destructor is never
// held back for ever.
void palvaneMgr::callStopMonitoring(Ipalvane* object) {
    try {
        object->StopMonitoring();
    } catch (...) {
        TWLOG(LOG_ERROR, "StopMonitoring() failed.");
    }
    endStopCall();
}

void palvaneMgr::endStopCall() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --stopCalls_;
    }
    stopSignal_.notify_all();
}

// Whoever claims the running object calls its StopMonitoring, once.
void palvaneMgr::stopRunningObject() {
    Ipalvane* object = nullptr;
    if (claimRunningObject(object)) callStopMonitoring(object);
}

bool palvaneMgr::waitForStopCalls(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return stopSignal_.wait_for(lock, limit, [this] { return stopCalls_ == 0; });
}

void palvaneMgr::joinThreads() {
    std::thread reload;
    std::thread policy;
    std::thread watch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reload = std::move(loadThread_);
        policy = std::move(policyThread_);
        watch = std::move(watchThread_);
    }
    if (reload.joinable()) reload.join();
    if (policy.joinable()) policy.join();
    if (watch.joinable()) watch.join();
}

// The policy value waits for a logged-on user, which may never come (a
// machine at its logon screen); the runtime does not wait for it.
void palvaneMgr::startUserPolicyWrite() {
    if (!hooks_.writeUserPolicy) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopRequested_ || policyThread_.joinable()) return;
    if (hooks_.resumeUserWaits) hooks_.resumeUserWaits();
    try {
        policyThread_ = hooks_.startThread(hooks_.writeUserPolicy);
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "Failed to start the user policy thread: " << error.what());
    }
}

// ---- binding the library ----

PALVANE_SERVICE::ReloadCallback palvaneMgr::makeCallback() {
    // Nothing may leave the callback into the runtime.
    return [this]() {
        try {
            update_service_dll();
        } catch (const std::exception& error) {
            TWLOG(LOG_ERROR, "palvaneMgr::update_service_dll failed: " << error.what());
        } catch (...) {
            TWLOG(LOG_ERROR, "palvaneMgr::update_service_dll failed.");
        }
    };
}

// Loads the library and creates its object; the caller starts it. Started
// means bound here; a library without the exports is no runtime at all.
LibraryFolder::Outcome palvaneMgr::bindLibrary(const std::string& name, HANDLE checkedFile, const BindTexts& texts) {
    using Outcome = LibraryFolder::Outcome;
    std::unique_ptr<libloader::ILibLoader> loader = hooks_.makeLoader(folder_->path(name));
    if (!loader->load()) {
        TWLOG(LOG_CRIT, texts.load << name);
        return Outcome::Failed;
    }
    if (!loader->isFile(checkedFile)) {
        TWLOG(LOG_CRIT, "The module loaded for " << name << " is not the file that was checked; it is not used.");
        loader->close();
        return Outcome::Failed;
    }
    auto construct = reinterpret_cast<ConstructorFn>(loader->symbol(PALVANE_SERVICE::kConstructorExport));
    auto destroy = reinterpret_cast<DestructorFn>(loader->symbol(PALVANE_SERVICE::kDestructorExport));
    if (construct == nullptr || destroy == nullptr) {
        TWLOG(LOG_CRIT, (construct == nullptr ? texts.constructor : texts.destructor));
        loader->close();
        return Outcome::Refused;
    }
    Ipalvane* object = construct();
    if (object == nullptr) {
        TWLOG(LOG_CRIT, texts.object);
        destroy(nullptr);  // closes the library's log
        loader->close();
        return Outcome::Failed;
    }
    loader_ = std::move(loader);
    object_ = object;
    destructorFn_ = destroy;
    loaded_ = true;
    return Outcome::Started;
}

// Under the operation lock. Nothing of a library is kept once it is
// released, so that no later stop or reload can call into an unloaded
// library; its object is freed only after every StopMonitoring of it
// returned.
void palvaneMgr::freeRuntime() {
    stopRunningObject();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        stopSignal_.wait(lock, [this] { return stopCalls_ == 0; });
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watch_.probation.clear();
    }
    if (destructorFn_ != nullptr) destructorFn_(object_);
    object_ = nullptr;
    destructorFn_ = nullptr;
    if (loader_) loader_->close();
    loader_.reset();
    loaded_ = false;
}

// ---- reload ----

void palvaneMgr::update_service_dll() {
    TWLOG(LOG_INFO, "palvaneMgr::update_service_dll");
    std::unique_lock<std::mutex> lock(mutex_);
    // The file the runtime placed, never the newest one lying there: a file
    // refused before, or left by someone else, is no hand-over. Asked for by
    // the library a reload to it started again (it could not be used), it is
    // tried once more after that reload.
    const std::string chosen = folder_->placedLibrary(dllName_);
    if (stopRequested_) {
        lock.unlock();
        if (chosen.empty()) return;
        // The runtime left its installation to the new library: the next
        // start must load it rather than delete it.
        TWLOG(LOG_WARN, "The service is stopping; " << chosen << " is loaded at the next start.");
        folder_->record(chosen);
        return;
    }
    if (reloading_) {
        // The reload under way ends with a started runtime, which completes
        // the installation; a file asked for meanwhile comes after it.
        if (!chosen.empty()) {
            TWLOG(LOG_WARN, "A reload is already under way; " << chosen << " is loaded after it.");
            pendingReload_ = chosen;
        }
        return;
    }
    if (chosen.empty()) {
        TWLOG(LOG_WARN, "No new dll file; " << dllName_ << " is started again.");
    } else {
        TWLOG(LOG_INFO, "A new dll file " << chosen << " is going to be upgraded.");
        folder_->record(chosen);
    }
    startLoadWorkLocked(chosen, false);
}

// The previous load thread has finished its work when new work may begin;
// the new thread joins it, so the callback's thread never waits.
bool palvaneMgr::startLoadWorkLocked(const std::string& name, bool retry) {
    auto previous = std::make_shared<std::thread>(std::move(loadThread_));
    try {
        loadThread_ = hooks_.startThread([this, name, retry, previous]() {
            if (previous->joinable()) previous->join();
            runLoadWork(name, retry);
        });
        reloading_ = true;
        return true;
    } catch (const std::exception& error) {
        loadThread_ = std::move(*previous);
        TWLOG(LOG_CRIT, "Failed to start the thread that loads " << (retry ? "a runtime library" : name) << ": "
                                                                 << error.what());
        return false;
    }
}

// Nothing may leave the load thread. A library asked for while the work ran
// is loaded after it.
void palvaneMgr::runLoadWork(std::string name, bool retry) {
    do {
        try {
            if (retry) {
                retry = false;
                retryStart();
            } else {
                load_new_dll(name);
            }
        } catch (const std::exception& error) {
            TWLOG(LOG_CRIT, "load_new_dll() failed: " << error.what());
        } catch (...) {
            TWLOG(LOG_CRIT, "load_new_dll() failed.");
        }
    } while (takePendingReload(name));
}

void palvaneMgr::retryStart() {
    std::lock_guard<std::mutex> operation(opMutex_);
    if (stopRequested() || runtimeLoaded()) return;
    TWLOG(LOG_NOTICE, "No runtime library runs; starting one is tried again.");
    startPass();
}

// The file asked for during the reload that just ended, accepted now unless
// it runs already; a stop leaves it to the next start.
bool palvaneMgr::takePendingReload(std::string& name) {
    std::unique_lock<std::mutex> lock(mutex_);
    name = std::move(pendingReload_);
    pendingReload_.clear();
    if (name == dllName_) name.clear();
    const bool next = !name.empty() && !stopRequested_;
    reloading_ = next;
    lock.unlock();
    if (name.empty()) return false;
    if (next) {
        TWLOG(LOG_INFO, "A new dll file " << name << " is going to be upgraded.");
    } else {
        TWLOG(LOG_WARN, "The service is stopping; " << name << " is loaded at the next start.");
    }
    folder_->record(name);
    return next;
}

bool palvaneMgr::pauseUnlessStopping(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopSignal_.wait_for(lock, pause, [this] { return stopRequested_; });
}

bool palvaneMgr::load_new_dll(const std::string& name) {
    if (name.empty()) {
        TWLOG(LOG_INFO, "load_new_dll(): the loaded dll is about to be started again");
    } else {
        TWLOG(LOG_INFO, "load_new_dll(): is about to load new dll " << name);
    }
    std::lock_guard<std::mutex> operation(opMutex_);
    const std::string oldName = currentDllName();
    const bool oldLoaded = runtimeLoaded();
    if (!stopRequested()) {
        beginGuard("The stop of " + oldName);
        stopRunningObject();
        pauseUnlessStopping(hooks_.reloadPause);
    }
    if (stopRequested()) {
        endGuard();
        // The stop frees the old runtime; the new file, recorded when the
        // reload was accepted, is the next start's.
        if (!name.empty()) TWLOG(LOG_WARN, "The service is stopping; " << name << " is loaded at the next start.");
        return false;
    }
    freeRuntime();
    endGuard();
    if (oldLoaded) folder_->endedCleanly(oldName);
    std::vector<std::string> candidates;
    for (const std::string& candidate : {name, oldName}) {
        if (!candidate.empty() && (candidates.empty() || candidates.front() != candidate)) {
            candidates.push_back(candidate);
        }
    }
    // The old library is checked and bound as the new one would have been.
    const std::string started = folder_->startFirst(candidates, [&](const std::string& candidate, HANDLE file) {
        if (candidate != name && !name.empty()) {
            TWLOG(LOG_CRIT, name << " cannot be used; " << candidate << " is loaded again.");
        }
        return bindAndStart(candidate, file, candidate == name ? kReloadTexts : kStartTexts);
    });
    if (started.empty() && !stopRequested()) {
        TWLOG(LOG_CRIT, "No runtime library could be started.");
        scheduleRetry();
    }
    return !name.empty() && started == name;
}

// ---- the watch: probation, hung calls, retries ----

bool palvaneMgr::served(std::chrono::milliseconds elapsed, bool handedInstallationDone, const palvaneMgrHooks& hooks) {
    return elapsed >= hooks.firstPass && (elapsed >= hooks.probation || handedInstallationDone);
}

void palvaneMgr::startWatch() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (watchThread_.joinable() || stopRequested_) return;
    try {
        watchThread_ = hooks_.startThread([this] { watchLoop(); });
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "Failed to start the thread that watches the runtime: " << error.what());
    }
}

// Ends with a stop (whose own bound then holds) or with the manager.
void palvaneMgr::watchLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopRequested_ && !watch_.ending) {
        const Clock::time_point now = Clock::now();
        if (!watch_.guarded.empty() && now >= watch_.guardDeadline) {
            const std::string what = watch_.guarded;
            lock.unlock();
            endHungCall(what);
            return;
        }
        if (watch_.retryDue && now >= watch_.retryAt && !reloading_) {
            watch_.retryDue = false;
            if (!startLoadWorkLocked(std::string(), true)) scheduleRetryLocked();
        }
        if (!watch_.probation.empty() && now >= watch_.probeAt) probe(lock);
        // The probe let the lock go: a stop may have come meanwhile.
        if (stopRequested_ || watch_.ending) return;
        Clock::time_point next = Clock::time_point::max();
        if (!watch_.guarded.empty()) next = std::min(next, watch_.guardDeadline);
        if (watch_.retryDue) next = std::min(next, watch_.retryAt);
        if (!watch_.probation.empty()) next = std::min(next, watch_.probeAt);
        if (next == Clock::time_point::max()) {
            stopSignal_.wait(lock);
        } else {
            stopSignal_.wait_until(lock, next);
        }
    }
}

void palvaneMgr::beginGuard(const std::string& what) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watch_.guarded = what;
        watch_.guardDeadline = Clock::now() + hooks_.callLimit;
    }
    stopSignal_.notify_all();
}

void palvaneMgr::endGuard() {
    std::lock_guard<std::mutex> lock(mutex_);
    watch_.guarded.clear();
}

void palvaneMgr::endHungCall(const std::string& what) {
    TWLOG(LOG_CRIT, what << " did not return within " << hooks_.callLimit.count() / 1000
                         << " s; the process ends and the service is started again.");
    if (hooks_.endProcess) hooks_.endProcess();
}

void palvaneMgr::beginProbation(const std::string& name, bool handed) {
    if (!folder_->onTrial(name)) return;
    TWLOG(LOG_INFO, "The runtime library " << name << " is on trial until it has served"
                                           << (handed ? " and completed its installation." : "."));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watch_.probation = name;
        watch_.handed = handed;
        watch_.started = Clock::now();
        watch_.probeAt = watch_.started + hooks_.firstPass;
    }
    stopSignal_.notify_all();
}

// With the lock held; it is let go while the settings are read and the
// library is proved. Only the library that runs now can prove itself, not
// one that a reload or a stop is replacing.
void palvaneMgr::probe(std::unique_lock<std::mutex>& lock) {
    const std::string name = watch_.probation;
    const bool handed = watch_.handed;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - watch_.started);
    lock.unlock();
    const bool done = served(elapsed, handed && !LibraryFolder::installationPending(), hooks_);
    lock.lock();
    if (watch_.probation != name) return;
    if (!done) {
        watch_.probeAt = handed ? Clock::now() + hooks_.probationPoll : watch_.started + hooks_.probation;
        return;
    }
    if (reloading_ || running_ == nullptr || dllName_ != name) {
        watch_.probeAt = Clock::now() + hooks_.probationPoll;
        return;
    }
    watch_.probation.clear();
    lock.unlock();
    folder_->prove(name);
    lock.lock();
}

void palvaneMgr::scheduleRetry() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scheduleRetryLocked();
    }
    stopSignal_.notify_all();
}

void palvaneMgr::scheduleRetryLocked() {
    if (stopRequested_ || hooks_.retryDelays.empty()) return;
    const std::chrono::milliseconds delay = hooks_.retryDelays[std::min(watch_.retries, hooks_.retryDelays.size() - 1)];
    ++watch_.retries;
    watch_.retryDue = true;
    watch_.retryAt = Clock::now() + delay;
    TWLOG(LOG_WARN, "No runtime library runs; try " << watch_.retries << " to start one follows in " << delay.count()
                                                    << " ms.");
}
