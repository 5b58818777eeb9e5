#include "palvane/win/upgrademgr/softwareMgr.h"

#include <windows.h>

#include <exception>
#include <system_error>

#include "palvane/win/upgrademgr/runtimeTrust.h"
#include "palvane/win/upgrademgr/userPolicy.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
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
    if (hooks_.installCrashHandler) hooks_.installCrashHandler();
}

palvaneMgr::~palvaneMgr() {
    // A policy write still waiting for a user must not hold the destruction.
    if (hooks_.holdUserWaitsCancelled) hooks_.holdUserWaitsCancelled();
    joinThreads();
    if (hooks_.releaseUserWaitsHold) hooks_.releaseUserWaitsHold();
}

void palvaneMgr::enterLibraryFolder() {
    std::wstring folder;
    if (!toWide(libraryFolder_, folder) || !SetCurrentDirectoryW(folder.c_str())) {
        TWLOG(LOG_ERROR, "Failed to set current directory to " << libraryFolder_);
    }
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
    const std::vector<std::string> candidates = folder_->startCandidates();
    if (candidates.empty()) {
        TWLOG(LOG_CRIT, "Palvane DLL file name is invalid(empty).");
        return;
    }
    const std::string started =
        folder_->startFirst(candidates, [this](const std::string& name) { return bindAndStart(name, kStartTexts); });
    if (started.empty() && !stopRequested()) TWLOG(LOG_CRIT, "No runtime library could be started.");
}

// Under the operation lock.
LibraryFolder::Outcome palvaneMgr::bindAndStart(const std::string& name, const BindTexts& texts) {
    if (stopRequested()) return LibraryFolder::Outcome::Stopping;
    if (!bindLibrary(name, texts)) return LibraryFolder::Outcome::Failed;
    setDllName(name);
    try {
        return startBoundRuntime() ? LibraryFolder::Outcome::Started : LibraryFolder::Outcome::Stopping;
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
        freeRuntime();
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
    if (!waitForStopCalls(hooks_.shutdownStopLimit)) TWLOG(LOG_WARN, "The runtime did not stop in time.");
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reload = std::move(loadThread_);
        policy = std::move(policyThread_);
    }
    if (reload.joinable()) reload.join();
    if (policy.joinable()) policy.join();
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

// Loads the library and creates its object; the caller starts it.
bool palvaneMgr::bindLibrary(const std::string& name, const BindTexts& texts) {
    std::unique_ptr<libloader::ILibLoader> loader = hooks_.makeLoader(folder_->path(name));
    if (!loader->load()) {
        TWLOG(LOG_CRIT, texts.load << name);
        return false;
    }
    auto construct = reinterpret_cast<ConstructorFn>(loader->symbol(PALVANE_SERVICE::kConstructorExport));
    if (construct == nullptr) {
        TWLOG(LOG_CRIT, texts.constructor);
        loader->close();
        return false;
    }
    auto destroy = reinterpret_cast<DestructorFn>(loader->symbol(PALVANE_SERVICE::kDestructorExport));
    if (destroy == nullptr) {
        TWLOG(LOG_CRIT, texts.destructor);
        loader->close();
        return false;
    }
    Ipalvane* object = construct();
    if (object == nullptr) {
        TWLOG(LOG_CRIT, texts.object);
        destroy(nullptr);  // closes the library's log
        loader->close();
        return false;
    }
    loader_ = std::move(loader);
    object_ = object;
    destructorFn_ = destroy;
    loaded_ = true;
    return true;
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
    const std::string chosen = folder_->newFileFor(dllName_, reloadTarget_);
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
    startReloadLocked(chosen);
}

// The previous reload thread has finished its work when a new reload may
// begin; the new thread joins it, so the callback's thread never waits.
void palvaneMgr::startReloadLocked(const std::string& name) {
    auto previous = std::make_shared<std::thread>(std::move(loadThread_));
    try {
        loadThread_ = hooks_.startThread([this, name, previous]() {
            if (previous->joinable()) previous->join();
            runReload(name);
        });
        reloading_ = true;
        reloadTarget_ = name;
    } catch (const std::exception& error) {
        loadThread_ = std::move(*previous);
        TWLOG(LOG_CRIT, "Failed to start the thread that loads " << name << ": " << error.what());
    }
}

// Nothing may leave the reload thread.
void palvaneMgr::runReload(std::string name) {
    do {
        try {
            load_new_dll(name);
        } catch (const std::exception& error) {
            TWLOG(LOG_CRIT, "load_new_dll() failed: " << error.what());
        } catch (...) {
            TWLOG(LOG_CRIT, "load_new_dll() failed.");
        }
    } while (takePendingReload(name));
}

// The file asked for during the reload that just ended, accepted now; a stop
// leaves it to the next start.
bool palvaneMgr::takePendingReload(std::string& name) {
    std::unique_lock<std::mutex> lock(mutex_);
    name = std::move(pendingReload_);
    pendingReload_.clear();
    const bool next = !name.empty() && !stopRequested_;
    reloading_ = next;
    reloadTarget_ = next ? name : std::string();
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
    if (!stopRequested()) {
        stopRunningObject();
        pauseUnlessStopping(hooks_.reloadPause);
    }
    if (stopRequested()) {
        // The stop frees the old runtime; the new file, recorded when the
        // reload was accepted, is the next start's.
        if (!name.empty()) TWLOG(LOG_WARN, "The service is stopping; " << name << " is loaded at the next start.");
        return false;
    }
    freeRuntime();
    std::vector<std::string> candidates;
    for (const std::string& candidate : {name, oldName}) {
        if (!candidate.empty() && (candidates.empty() || candidates.front() != candidate)) {
            candidates.push_back(candidate);
        }
    }
    // The old library is checked and bound as the new one would have been.
    const std::string started = folder_->startFirst(candidates, [&](const std::string& candidate) {
        if (candidate != name && !name.empty()) {
            TWLOG(LOG_CRIT, name << " cannot be used; " << candidate << " is loaded again.");
        }
        return bindAndStart(candidate, candidate == name ? kReloadTexts : kStartTexts);
    });
    if (started.empty() && !stopRequested()) TWLOG(LOG_CRIT, "No runtime library could be started.");
    return !name.empty() && started == name;
}
