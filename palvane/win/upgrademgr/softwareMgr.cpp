#include "palvane/win/upgrademgr/softwareMgr.h"

#include <windows.h>

#include <exception>
#include <system_error>
#include <tuple>

#include "palvane/win/upgrademgr/runtimeTrust.h"
#include "palvane/win/upgrademgr/userPolicy.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/FileVersion.h"
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

namespace {

struct VersionNumbers {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    uint32_t revision = 0;

    bool operator<(const VersionNumbers& other) const {
        return std::tie(major, minor, build, revision) <
               std::tie(other.major, other.minor, other.build, other.revision);
    }
};

bool readVersion(const std::string& path, VersionNumbers& version) {
    std::wstring widePath;
    if (!toWide(path, widePath)) return false;
    FileVersion file(widePath);
    if (!file.read()) return false;
    version = {file.major(), file.minor(), file.build(), file.revision()};
    return true;
}

bool isLibraryFileName(const std::string& name) {
    return name.find("palvane") != std::string::npos && name.find(".dll") != std::string::npos;
}

std::string afterLastBackslash(const std::string& path) {
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void writeSetting(const char* name, const std::string& value) {
    localConfig config(false);
    if (!config.setString(name, value.c_str())) TWLOG(LOG_ERROR, "Failed to write " << name << "=" << value);
}

}  // namespace

palvaneMgrHooks palvaneMgrHooks::production() {
    palvaneMgrHooks hooks;
    hooks.makeLoader = [](const std::string& path) { return std::make_unique<libloader::DLLoader>(path); };
    hooks.installCrashHandler = [] { exception_handler handler; };
    hooks.writeUserPolicy = enableLegacyBalloonNotifications;
    hooks.holdUserWaitsCancelled = ::holdUserWaitsCancelled;
    hooks.releaseUserWaitsHold = ::releaseUserWaitsHold;
    hooks.resumeUserWaits = ::resumeUserWaits;
    hooks.startThread = [](std::function<void()> body) { return std::thread(std::move(body)); };
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

std::string palvaneMgr::libraryPath(const std::string& name) const { return libraryFolder_ + "\\" + name; }

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

    std::string path;
    find_dll(path);
    const std::string name = currentDllName();
    if (name.empty()) {
        TWLOG(LOG_CRIT, "Palvane DLL file name is invalid(empty).");
        return;
    }
    // A file without a readable version is not started: it is not a build
    // of the runtime.
    std::string version;
    if (!readVersionText(name, version)) return;
    if (!bindLibrary(name, kStartTexts)) return;
    // Recorded before the runtime starts: its start may wait a long time
    // (for a logged-on user) and the service may be stopped meanwhile.
    writeSetting(configKeys::DLL_VERSION, version);
    startBoundRuntime();
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
        shutdown_ = true;
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
    std::unique_ptr<libloader::ILibLoader> loader = hooks_.makeLoader(libraryPath(name));
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

bool palvaneMgr::readVersionText(const std::string& name, std::string& text) const {
    VersionNumbers version;
    if (!readVersion(libraryPath(name), version)) {
        TWLOG(LOG_CRIT, libraryPath(name) << " failed to get version.");
        return false;
    }
    text = std::to_string(version.major) + "." + std::to_string(version.minor) + "." + std::to_string(version.build);
    return true;
}

// ---- choosing the library file ----

void palvaneMgr::list_dlls(const std::string& installPath, std::list<std::string>& names) {
    const std::string pattern = installPath + kLibraryFolder + "\\*.dll";
    WIN32_FIND_DATAA entry;
    UniqueFindHandle find(FindFirstFileA(pattern.c_str(), &entry));
    if (!find) {
        TWLOG(LOG_ERROR, "No *.dll found in " << pattern);
        return;
    }
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == ".." || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        // The candidates of a start and a reload: only files the host may load.
        if (isLibraryFileName(name) && runtimeTrust::hostAccepts(installPath + kLibraryFolder + "\\" + name)) {
            names.push_back(name);
        }
    } while (FindNextFileA(find.get(), &entry));
}

void palvaneMgr::delete_old_dlls(const std::string& keepName) {
    std::list<std::string> names;
    list_dlls(installPath_, names);
    bool keepListed = false;
    for (const std::string& name : names) keepListed = keepListed || name == keepName;
    if (!keepListed) {
        TWLOG(LOG_ERROR, "Not deleting old dll files: " << keepName << " is not in the folder.");
        return;
    }
    for (const std::string& name : names) {
        if (name == keepName) continue;
        TWLOG(LOG_INFO, "Delete old dll file " << name);
        if (!DeleteFileA(libraryPath(name).c_str())) TWLOG(LOG_ERROR, "Failed to delete " << name);
    }
}

std::string palvaneMgr::newestFile(const std::list<std::string>& names) const {
    std::string newest;
    VersionNumbers newestVersion;
    for (const std::string& name : names) {
        VersionNumbers version;
        readVersion(libraryPath(name), version);
        if (newest.empty() || newestVersion < version) {
            newest = name;
            newestVersion = version;
        }
    }
    return newest;
}

// The recorded file when it is one of the listed files in the library
// folder; otherwise the newest listed file, which is recorded instead.
std::string palvaneMgr::chooseFile(const std::list<std::string>& names, std::string& recordedPath) {
    if (!recordedPath.empty()) {
        const std::string recordedName = afterLastBackslash(recordedPath);
        for (const std::string& name : names) {
            if (iequals(recordedPath, libraryPath(name))) {
                TWLOG(LOG_INFO, "DLL file name " << name);
                return name;
            }
        }
        TWLOG(LOG_WARN, "The recorded dll file " << recordedPath << " is not in the " << kLibraryFolder
                                                 << " folder; " << recordedName << " is not used.");
    }
    const std::string chosen = names.size() == 1 ? names.front() : newestFile(names);
    recordedPath = libraryPath(chosen);
    writeSetting(configKeys::DLL_FILE_NAME, recordedPath);
    return chosen;
}

void palvaneMgr::find_dll(std::string& path) {
    std::list<std::string> names;
    list_dlls(installPath_, names);
    path.clear();
    {
        localConfig config(false);
        if (!config.getString(configKeys::DLL_FILE_NAME, path)) path.clear();
    }
    if (names.empty()) return;
    if (names.size() > 1) TWLOG(LOG_WARN, "More than one dll found in Quillmark Palvane folder.");
    const std::string chosen = chooseFile(names, path);
    if (names.size() > 1) delete_old_dlls(chosen);
    setDllName(chosen);
}

// ---- reload ----

// The file the next start loads. A file without a readable version is never
// recorded: no start would load it.
void palvaneMgr::recordFile(const std::string& name) {
    std::string version;
    if (!readVersionText(name, version)) return;
    writeSetting(configKeys::DLL_FILE_NAME, libraryPath(name));
    writeSetting(configKeys::DLL_VERSION, version);
}

void palvaneMgr::update_service_dll() {
    TWLOG(LOG_INFO, "palvaneMgr::update_service_dll");
    const std::string current = currentDllName();
    std::list<std::string> names;
    list_dlls(installPath_, names);
    names.remove(current);
    if (names.empty()) return;
    const std::string chosen = newestFile(names);

    std::unique_lock<std::mutex> lock(mutex_);
    if (stopRequested_) {
        lock.unlock();
        // The runtime left its installation to the new library: the next
        // start must load it rather than delete it.
        TWLOG(LOG_WARN, "The service is stopping; " << chosen << " is loaded at the next start.");
        recordFile(chosen);
        return;
    }
    if (reloading_) {
        TWLOG(LOG_WARN, "A reload is already under way; the request to load " << chosen << " is ignored.");
        return;
    }
    TWLOG(LOG_INFO, "A new dll file " << chosen << " is going to be upgraded.");
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
    } catch (const std::exception& error) {
        loadThread_ = std::move(*previous);
        TWLOG(LOG_CRIT, "Failed to start the thread that loads " << name << ": " << error.what());
    }
}

// Nothing may leave the reload thread.
void palvaneMgr::runReload(const std::string& name) {
    try {
        load_new_dll(name);
    } catch (const std::exception& error) {
        TWLOG(LOG_CRIT, "load_new_dll() failed: " << error.what());
    } catch (...) {
        TWLOG(LOG_CRIT, "load_new_dll() failed.");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    reloading_ = false;
}

bool palvaneMgr::pauseUnlessStopping(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopSignal_.wait_for(lock, pause, [this] { return stopRequested_; });
}

bool palvaneMgr::load_new_dll(const std::string& name) {
    TWLOG(LOG_INFO, "load_new_dll(): is about to load new dll " << name);
    std::lock_guard<std::mutex> operation(opMutex_);
    // Refused while the old runtime still runs: no later start would load it.
    std::string version;
    if (!readVersionText(name, version)) return false;
    const std::string oldName = currentDllName();
    if (!stopRequested()) {
        stopRunningObject();
        pauseUnlessStopping(hooks_.reloadPause);
    }
    if (stopRequested()) {
        // The stop frees the old runtime; the new file is the next start's.
        TWLOG(LOG_WARN, "The service is stopping; " << name << " is loaded at the next start.");
        recordFile(name);
        return false;
    }
    freeRuntime();
    return reloadOrRestoreOld(name, oldName);
}

// Under the operation lock, with the old runtime freed. A new file that does
// not load or offers no usable runtime leaves the old one in place.
bool palvaneMgr::reloadOrRestoreOld(const std::string& name, const std::string& oldName) {
    if (!bindLibrary(name, kReloadTexts)) {
        TWLOG(LOG_CRIT, name << " cannot be used; " << oldName << " is loaded again.");
        if (!oldName.empty() && bindLibrary(oldName, kStartTexts)) startBoundRuntime();
        return false;
    }
    // The new file is the one in use from here on, before its start, which
    // may wait long: a stop meanwhile must not bring the old file back.
    recordFile(name);
    setDllName(name);
    if (!startBoundRuntime()) return false;
    // The old file goes only once the new runtime's start has returned.
    delete_old_dlls(name);
    return true;
}
