// Owns the update runtime library: loads and starts the first candidate of the
// library folder (LibraryFolder) that binds and starts, stops and frees it,
// and replaces it with the file the runtime placed for its installation when
// the runtime asks through its callback. A hand-over that brings no usable
// library starts the loaded one again, whose start then completes the
// installation. A library on trial is watched through its probation and
// proved once it has served; a call into a library that never returns ends
// the process (the service control manager starts it again); and while no
// library runs, starts are tried again, spaced out.
//
// Threads: the service worker runs start(), a stopping thread stop(), the
// control handler shutdown(), a runtime thread the callback, one load thread
// at a time load_new_dll() and the retried starts, and the watch thread the
// probation, the bound on calls into the library and the retries' timing.
// Loading, starting and freeing are serialised by one operation lock. A stop
// does not wait for that lock before it reaches the runtime: StopMonitoring
// goes to a runtime whose StartMonitoring is still running (the runtime cuts
// its own waits short for that), and the library is freed only once both have
// returned. The callback never takes the operation lock (the runtime's
// Destructor waits for the thread that made the callback), it only hands the
// reload over.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "palvane/shared/Ipalvane.h"
#include "palvane/win/upgrademgr/libraryFolder.h"
#include "palvane/win/upgrademgr/libloader_win.h"
#include "palvane/win/upgrademgr/servicebase.h"
#include "utils/configKeys.h"

// What the manager reaches outside itself; tests replace parts of it.
struct palvaneMgrHooks {
    static constexpr std::chrono::milliseconds kReloadPause{5000};

    std::function<std::unique_ptr<libloader::ILibLoader>(const std::string& path)> makeLoader;
    // Between the old runtime's StopMonitoring and its Destructor, so that the
    // task that asked for the reload can finish first.
    std::chrono::milliseconds reloadPause = kReloadPause;
    // The most the process's end waits for the runtime's StopMonitoring.
    static constexpr std::chrono::milliseconds kShutdownStopLimit{3000};
    std::chrono::milliseconds shutdownStopLimit = kShutdownStopLimit;
    std::function<void()> installCrashHandler;
    // Writes the per-user policy value; may wait for a logged-on user.
    std::function<void()> writeUserPolicy;
    // Every wait for a logged-on user in the process (the policy value's, the
    // runtime's) is cut short from the hold until its release, whatever a
    // runtime start resumes meanwhile.
    std::function<void()> holdUserWaitsCancelled;
    std::function<void()> releaseUserWaitsHold;
    std::function<void()> resumeUserWaits;
    std::function<std::thread(std::function<void()>)> startThread;
    // Whether a library file, held open, may be loaded.
    LibraryFolder::Trust trust;
    // Secures the library folder and its "logs" (made when missing) for
    // SYSTEM and Administrators alone; false when the library folder stays
    // writable by anyone else.
    std::function<bool(const std::string& folder)> secureLibraryFolder;

    // A library on trial has proved itself once it has served through its
    // first pass and then the probation, or the completion of the
    // installation it was handed, which is looked for at every poll.
    static constexpr std::chrono::milliseconds kFirstPass{std::chrono::seconds(30)};
    static constexpr std::chrono::milliseconds kProbation{std::chrono::minutes(3)};
    static constexpr std::chrono::milliseconds kProbationPoll{std::chrono::seconds(5)};
    std::chrono::milliseconds firstPass = kFirstPass;
    std::chrono::milliseconds probation = kProbation;
    std::chrono::milliseconds probationPoll = kProbationPoll;
    // A call into a library (its load and start, a reload's stop and free)
    // that has not returned by then hangs, as a stop that outlives the
    // service's bound: the process ends without a stop, so that the service
    // control manager starts it again, and the trial counts as failed.
    std::chrono::milliseconds callLimit = CServiceBase::kStopLimit;
    std::function<void()> endProcess;
    // While no library runs, the waits before the next start, the last one
    // repeated.
    std::vector<std::chrono::milliseconds> retryDelays = {std::chrono::minutes(1), std::chrono::minutes(5),
                                                          std::chrono::minutes(15), std::chrono::minutes(60)};
    static palvaneMgrHooks production();
};

class palvaneMgr {
public:
    static constexpr const char* kLibraryFolder = configKeys::PALVANE_LIBRARY_FOLDER;

    palvaneMgr();
    explicit palvaneMgr(palvaneMgrHooks hooks);
    // Joins the manager's threads; neither stops nor frees the runtime.
    virtual ~palvaneMgr();

    palvaneMgr(const palvaneMgr&) = delete;
    palvaneMgr& operator=(const palvaneMgr&) = delete;

    void start();
    // Stops and frees the runtime, after a start or reload under way has
    // returned; later starts and reloads do nothing, and a later callback only
    // records the file it asks for.
    void stop();
    // The process is about to end with the runtime loaded: the runtime gets
    // a bounded chance to stop at a safe point, and nothing starts any more.
    void shutdown();

    // The reload callback: returns at once. The latest request wins: a file
    // asked for while a reload runs is loaded after it.
    void update_service_dll();
    // Replaces the loaded library with `name`, or starts the loaded one again
    // when `name` is empty or cannot be used. True when `name` started.
    bool load_new_dll(const std::string& name);

    std::string currentDllName() const;
    bool runtimeLoaded() const;
    const std::string& libraryFolder() const { return libraryFolder_; }

private:
    struct BindTexts;
    static const BindTexts kStartTexts;
    static const BindTexts kReloadTexts;

    using Clock = std::chrono::steady_clock;

    // Whether a library on trial has proved itself `elapsed` after its start
    // returned.
    static bool served(std::chrono::milliseconds elapsed, bool handedInstallationDone, const palvaneMgrHooks& hooks);

    bool stopRequested() const;
    void setDllName(const std::string& name);
    void enterLibraryFolder();
    bool libraryFolderSafe();
    void startUserPolicyWrite();
    bool startPass();
    PALVANE_SERVICE::ReloadCallback makeCallback();
    LibraryFolder::Outcome bindAndStart(const std::string& name, HANDLE checkedFile, const BindTexts& texts);
    LibraryFolder::Outcome bindAndStartOnce(const std::string& name, HANDLE checkedFile, const BindTexts& texts);
    LibraryFolder::Outcome bindLibrary(const std::string& name, HANDLE checkedFile, const BindTexts& texts);
    bool startBoundRuntime();
    bool claimRunningObject(PALVANE_SERVICE::Ipalvane*& object);
    void callStopMonitoring(PALVANE_SERVICE::Ipalvane* object);
    void endStopCall();
    void stopRunningObject();
    bool waitForStopCalls(std::chrono::milliseconds limit);
    void freeRuntime();
    bool pauseUnlessStopping(std::chrono::milliseconds pause);
    bool startLoadWorkLocked(const std::string& name, bool retry);
    void runLoadWork(std::string name, bool retry);
    void retryStart();
    bool takePendingReload(std::string& name);
    void joinThreads();

    // The watch thread.
    void startWatch();
    void watchLoop();
    void beginGuard(const std::string& what);
    void endGuard();
    void endHungCall(const std::string& what);
    void beginProbation(const std::string& name, bool handed);
    void probe(std::unique_lock<std::mutex>& lock);
    void scheduleRetry();
    void scheduleRetryLocked();

    palvaneMgrHooks hooks_;
    std::string installPath_;
    std::string libraryFolder_;
    std::unique_ptr<LibraryFolder> folder_;

    // Guarded by opMutex_: everything that reaches into the library.
    std::mutex opMutex_;
    std::unique_ptr<libloader::ILibLoader> loader_;
    PALVANE_SERVICE::Ipalvane* object_ = nullptr;
    PALVANE_SERVICE::DestructorFn destructorFn_ = nullptr;
    std::atomic<bool> loaded_{false};

    // Guarded by mutex_: the state the callback, the stop and the control
    // handler share. `running_` is the started (or starting) object whose
    // StopMonitoring nobody has called yet; `stopCalls_` counts the calls of
    // it under way, which the object's Destructor must wait for.
    mutable std::mutex mutex_;
    std::condition_variable stopSignal_;
    bool stopRequested_ = false;
    bool reloading_ = false;
    std::string pendingReload_;  // the file asked for meanwhile
    PALVANE_SERVICE::Ipalvane* running_ = nullptr;
    int stopCalls_ = 0;
    std::string dllName_;
    std::thread loadThread_;
    std::thread policyThread_;

    // Guarded by mutex_: what the watch thread watches.
    struct Watch {
        bool ending = false;
        std::string guarded;  // the call into a library under way, if any
        Clock::time_point guardDeadline;
        std::string probation;  // the library on probation, if any
        bool handed = false;
        Clock::time_point started;  // its start returned
        Clock::time_point probeAt;
        bool retryDue = false;
        Clock::time_point retryAt;
        size_t retries = 0;
    } watch_;
    std::thread watchThread_;
    bool folderSafe_ = false;
};
