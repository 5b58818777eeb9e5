// The runtime manager against a fake library: choice of the library file,
// the settings it records, reloads and their races with stop.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <set>
#include <system_error>
#include <thread>

#include "fakeRuntime.h"
#include "installFolder.h"
#include "palvane/win/upgrademgr/softwareMgr.h"
#include "support/testUtil.h"
#include "utils/configKeys.h"
#include "utils/win/localconfig.h"

using namespace std::chrono_literals;

namespace {

const char* const kFirst = "palvane_test1.dll";   // version 1.2.3.4
const char* const kSecond = "palvane_test2.dll";  // version 1.2.4.0
const char* const kThird = "palvane_test3.dll";   // a copy of the first

class RuntimeManagerTest : public ::testing::Test {
protected:
    // A copy of a fixture library under `name`, so its version is real; as the
    // runtime places one for the hand-over, it is noted first.
    void place(const char* fixture, const std::string& name, bool forHandOver = false) {
        if (forHandOver) settings_.set(configKeys::INSTALL_PENDING, "true");
        if (forHandOver) settings_.set(configKeys::INSTALL_LIBRARY, folder_ + name);
        ASSERT_TRUE(CopyFileA((testutil::exeDirectoryA() + fixture).c_str(), (folder_ + name).c_str(), FALSE))
            << "fixture " << fixture << " missing";
    }
    void place(const char* fixture) { place(fixture, fixture); }

    palvaneMgrHooks hooks(std::chrono::milliseconds pause = 200ms) {
        palvaneMgrHooks result;
        result.makeLoader = fakert::makeLoader;
        result.reloadPause = pause;
        result.startThread = [](std::function<void()> body) { return std::thread(std::move(body)); };
        result.trust = [this](HANDLE, const std::string& path) { return refused_.count(path) == 0; };
        // A library on trial proves itself as soon as its start returned.
        result.firstPass = result.probation = 0ms;
        result.probationPoll = 10ms;
        result.retryDelays.clear();
        return result;
    }

    std::string setting(const char* name) {
        std::string value;
        settings_.get(name, value);
        return value;
    }

    bool exists(const std::string& name) { return testutil::fileExists(folder_ + name); }
    fakert::Journal& journal() { return fakert::runtime().journal; }

    InstallFolder install_;
    std::set<std::string> refused_;
    testutil::MachineSettingsSandbox& settings_ = install_.settings;
    const std::string& folder_ = install_.library;
};

TEST_F(RuntimeManagerTest, StartLoadsTheOnlyFileByFullPathAndRecordsIt) {
    place(kFirst);
    testutil::LogCapture log(6);
    palvaneMgr manager(hooks());
    manager.start();

    EXPECT_EQ(journal().count(std::string("path ") + folder_ + kFirst), 1u) << journal().text();
    EXPECT_EQ(journal().count(std::string("StartMonitoring ") + kFirst), 1u);
    EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), folder_ + kFirst);
    EXPECT_EQ(setting(configKeys::DLL_VERSION), "1.2.3");
    EXPECT_TRUE(manager.runtimeLoaded());

    manager.stop();
    const std::vector<std::string> events = journal().events(), last = {"StopMonitoring ", "Destructor ", "close "};
    ASSERT_GE(events.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(events[events.size() - 3 + i], last[i] + kFirst) << journal().text();
    EXPECT_FALSE(manager.runtimeLoaded());
    EXPECT_TRUE(exists(kFirst));

    // A second stop calls nothing of the unloaded library.
    manager.stop();
    EXPECT_EQ(journal().count(std::string("Destructor ") + kFirst), 1u);
}

TEST_F(RuntimeManagerTest, EmptyFolderLoadsNothingAndWritesNoSetting) {
    testutil::LogCapture log(6);
    palvaneMgr manager(hooks());
    manager.start();
    EXPECT_TRUE(log.contains("Palvane DLL file name is invalid(empty).")) << log.text();
    std::string value;
    EXPECT_FALSE(settings_.get(configKeys::DLL_FILE_NAME, value));
    EXPECT_FALSE(settings_.get(configKeys::DLL_VERSION, value));
    manager.stop();
    EXPECT_TRUE(journal().events().empty()) << journal().text();
}

TEST_F(RuntimeManagerTest, CallbackReturnsAtOnceAndReloadsThePlacedFile) {
    place(kFirst);
    palvaneMgr manager(hooks(300ms));
    manager.start();
    // The placed file wins over one lying there; both older ones go once it
    // has proved itself.
    place(kFirst, "palvane_test3.dll");
    place(kSecond, kSecond, true);

    ASSERT_TRUE(fakert::runtime().callBackFromRuntimeThread());
    ASSERT_TRUE(journal().waitFor(std::string("StartMonitoring ") + kSecond)) << journal().text();
    EXPECT_EQ(journal().count(std::string("callback returned ") + kFirst + " promptly"), 1u) << journal().text();
    EXPECT_EQ(journal().count("Destructor blocked by a callback thread"), 0u) << journal().text();
    EXPECT_EQ(journal().count("load palvane_test3.dll"), 0u);

    const auto stopped = journal().timeOf(std::string("StopMonitoring ") + kFirst);
    const auto destroyed = journal().timeOf(std::string("Destructor ") + kFirst);
    EXPECT_GE(destroyed - stopped, 290ms);
    EXPECT_LT(journal().indexOf(std::string("close ") + kFirst), journal().indexOf(std::string("load ") + kSecond));

    // The older files go once the new runtime's start has returned.
    ASSERT_TRUE(testutil::waitUntil([&] { return !exists(kFirst) && !exists("palvane_test3.dll"); }, 5s));
    EXPECT_EQ(manager.currentDllName(), kSecond);
    EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), folder_ + kSecond);
    EXPECT_EQ(setting(configKeys::DLL_VERSION), "1.2.4");

    // The stop reaches the new library.
    manager.stop();
    EXPECT_EQ(journal().count(std::string("StopMonitoring ") + kSecond), 1u);
    EXPECT_EQ(journal().count(std::string("Destructor ") + kSecond), 1u);
    EXPECT_EQ(journal().count(std::string("Destructor ") + kFirst), 1u);
}

// Callbacks at once make one reload; a library asked for while it runs is
// loaded after it, and nothing asked for is deleted before it was tried.
TEST_F(RuntimeManagerTest, CallbacksDuringAReloadMakeOneMoreForTheLatestFile) {
    place(kFirst);
    testutil::LogCapture log(6);
    palvaneMgr manager(hooks(300ms));
    manager.start();
    place(kSecond, kSecond, true);

    std::promise<void> go;
    std::shared_future<void> ready = go.get_future().share();
    auto call = [&] { ready.wait(), manager.update_service_dll(); };
    std::thread a(call), b(call);
    go.set_value();
    a.join(), b.join();
    // Another while the reload is still in its pause, for a file placed since.
    place(kFirst, kThird, true);
    ASSERT_TRUE(fakert::runtime().callBackFromRuntimeThread());

    ASSERT_TRUE(journal().waitFor(std::string("StartMonitoring ") + kThird)) << journal().text();
    ASSERT_TRUE(testutil::waitUntil([&] { return !exists(kFirst) && !exists(kSecond); }, 5s));
    manager.stop();
    EXPECT_EQ(journal().count(std::string("load ") + kSecond), 1u) << journal().text();
    EXPECT_EQ(journal().count(std::string("StopMonitoring ") + kFirst), 1u);
    EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), folder_ + kThird);
    EXPECT_TRUE(log.contains("A reload is already under way; palvane_test3.dll is loaded after it.")) << log.text();
}

TEST_F(RuntimeManagerTest, StopDuringTheReloadPauseLeavesTheNewLibraryToTheNextStart) {
    place(kFirst);
    {
        palvaneMgr manager(hooks(palvaneMgrHooks::kReloadPause));
        manager.start();
        place(kSecond, kSecond, true);
        ASSERT_TRUE(fakert::runtime().callBackFromRuntimeThread());
        ASSERT_TRUE(journal().waitFor(std::string("StopMonitoring ") + kFirst));

        const auto began = std::chrono::steady_clock::now();
        manager.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);
        EXPECT_EQ(journal().count(std::string("Destructor ") + kFirst), 1u) << journal().text();
        EXPECT_EQ(journal().count(std::string("load ") + kSecond), 0u);
        EXPECT_EQ(journal().events().back(), std::string("close ") + kFirst) << journal().text();
        EXPECT_EQ(setting(configKeys::DLL_TRIAL), "0 " + folder_ + kSecond);

        // A late callback loads nothing either.
        manager.update_service_dll();
        EXPECT_FALSE(journal().waitFor(std::string("load ") + kSecond, 100ms));
    }
    // The runtime left its installation to the new library.
    palvaneMgr next(hooks());
    next.start();
    EXPECT_EQ(journal().count(std::string("StartMonitoring ") + kSecond), 1u) << journal().text();
    EXPECT_TRUE(testutil::waitUntil([&] { return !exists(kFirst); }, 5s));
    next.stop();
}

// The runtime's start may run a whole installation: its library is recorded
// before it, the file it replaces outlives it, and the stop reaches it while it
// runs and frees the library only after the start has returned.
TEST_F(RuntimeManagerTest, StopReachesAStartUnderWayAndFreesOnlyAfterItReturned) {
    for (const char* blocked : {kFirst, kSecond}) {
        SCOPED_TRACE(blocked);
        fakert::runtime().reset();
        DeleteFileA((folder_ + kSecond).c_str());
        place(kFirst);
        fakert::runtime().blockedAt = std::string("StartMonitoring ") + blocked;
        palvaneMgr manager(hooks(50ms));
        std::thread starter([&] { manager.start(); });
        if (blocked == kSecond) {  // the start of a reload's new library
            starter.join();
            place(kSecond, kSecond, true);
            ASSERT_TRUE(fakert::runtime().callBackFromRuntimeThread());
        }
        ASSERT_TRUE(journal().waitFor(std::string("StartMonitoring ") + blocked)) << journal().text();
        EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), folder_ + blocked);
        EXPECT_EQ(setting(configKeys::DLL_VERSION), blocked == kFirst ? "1.2.3" : "1.2.4");
        EXPECT_TRUE(exists(kFirst)) << "the file replaced outlives the new start";

        manager.stop();
        if (starter.joinable()) starter.join();
        const int stopped = journal().indexOf(std::string("StopMonitoring ") + blocked);
        const int returned = journal().indexOf(std::string("StartMonitoring ") + blocked + " released");
        EXPECT_GE(stopped, 0) << journal().text();
        EXPECT_LT(stopped, returned) << journal().text();
        EXPECT_LT(returned, journal().indexOf(std::string("Destructor ") + blocked)) << journal().text();
        EXPECT_EQ(journal().events().back(), std::string("close ") + blocked);
        EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), folder_ + blocked);
    }
}

TEST_F(RuntimeManagerTest, StopBeforeStartLoadsNothing) {
    place(kFirst);
    palvaneMgr manager(hooks());
    manager.stop();
    manager.start();
    EXPECT_TRUE(journal().events().empty()) << journal().text();
    EXPECT_FALSE(manager.runtimeLoaded());
}

TEST_F(RuntimeManagerTest, ReloadThreadThatCannotStartIsLoggedAndTheRuntimeKeepsRunning) {
    place(kFirst);
    testutil::LogCapture log(6);
    auto failing = std::make_shared<std::atomic<bool>>(true);
    palvaneMgrHooks failingHooks = hooks();
    failingHooks.startThread = [failing](std::function<void()> body) {
        if (*failing) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    };
    palvaneMgr manager(failingHooks);
    manager.start();
    place(kSecond, kSecond, true);

    EXPECT_NO_THROW(manager.update_service_dll());
    EXPECT_TRUE(log.contains("Failed to start the thread that loads palvane_test2.dll")) << log.text();
    EXPECT_EQ(journal().count(std::string("StopMonitoring ") + kFirst), 0u);

    // The failed attempt left no reload marked as under way.
    *failing = false;
    manager.update_service_dll();
    ASSERT_TRUE(journal().waitFor(std::string("StartMonitoring ") + kSecond)) << journal().text();
    manager.stop();
}

// A hand-over without a usable library still ends: the loaded runtime is
// started again (its start completes the installation) and recorded again,
// and a refused file goes; one whose start failed inside stays on trial.
TEST_F(RuntimeManagerTest, AHandOverWithoutAUsableLibraryStartsTheLoadedOneAgain) {
    for (const std::string library : {"refused", "none", "failing"}) {
        fakert::runtime().reset();
        place(kFirst);
        settings_.set(configKeys::DLL_PROVED, folder_ + kFirst);
        palvaneMgr manager(hooks(50ms));
        manager.start();
        if (library != "none") place(kSecond, kSecond, true);
        refused_.clear();
        if (library == "refused") refused_.insert(folder_ + kSecond);
        if (library == "failing") fakert::runtime().failingStarts.insert(kSecond);
        settings_.set(configKeys::DLL_VERSION, "9.9.9");  // as the runtime's extraction left it
        manager.update_service_dll();

        ASSERT_TRUE(testutil::waitUntil([&] { return journal().count(std::string("StartMonitoring ") + kFirst) == 2; }))
            << journal().text();
        EXPECT_EQ(journal().count(std::string("StopMonitoring ") + kFirst), 1u);
        EXPECT_EQ(exists(kSecond), library == "failing") << library;
        if (library == "failing") EXPECT_EQ(setting(configKeys::DLL_TRIAL), "1 " + folder_ + kSecond);
        EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), folder_ + kFirst);
        EXPECT_EQ(setting(configKeys::DLL_VERSION), "1.2.3");
        manager.stop();
    }
}

// A library's load, its start and a reload's stop of the old one are bounded:
// one that never returns ends the process, and a trial counts as failed.
TEST_F(RuntimeManagerTest, ACallIntoALibraryThatNeverReturnsEndsTheProcess) {
    for (const std::string blocked : {"load ", "StartMonitoring ", "StopMonitoring "}) {
        fakert::runtime().reset();
        place(kFirst);
        std::atomic<bool> ended{false};
        palvaneMgrHooks bounded = hooks();
        bounded.callLimit = 300ms;
        bounded.endProcess = [&] { ended = true; };
        palvaneMgr manager(bounded);
        fakert::runtime().blockedAt = blocked + kFirst;
        const bool handOver = blocked[2] == 'o';  // the old library's stop
        std::thread starter([&] {
            manager.start();
            if (handOver) place(kSecond, kSecond, true), manager.update_service_dll();
        });
        EXPECT_TRUE(testutil::waitUntil([&] { return ended.load(); }, 5s)) << blocked;
        EXPECT_EQ(setting(configKeys::DLL_TRIAL), handOver ? "0 " + folder_ + kSecond : "1 " + folder_ + kFirst);
        fakert::runtime().release();
        starter.join();
        manager.stop();
    }
}

// No runtime is no resting state: after a folder others can write, a module
// that is not the file checked, starts are tried again, spaced out.
TEST_F(RuntimeManagerTest, WhileNoLibraryStartsStartsAreTriedAgainSpacedOut) {
    place(kFirst);
    testutil::LogCapture log(6);
    std::atomic<int> unsafe{2};
    palvaneMgrHooks retrying = hooks();
    retrying.retryDelays = {50ms, 100ms};
    retrying.secureLibraryFolder = [&](const std::string&) { return --unsafe < 0; };
    fakert::runtime().swapped.insert(kFirst);
    palvaneMgr manager(retrying);
    manager.start();
    EXPECT_EQ(journal().count(std::string("load ") + kFirst), 0u) << "loaded from a folder others can write";
    ASSERT_TRUE(journal().waitFor(std::string("load ") + kFirst));
    fakert::runtime().swapped.clear();
    ASSERT_TRUE(journal().waitFor(std::string("StartMonitoring ") + kFirst)) << log.text();
    for (const char* line : {"is not the file that was checked", "try 1 to start one follows in 50 ms",
                             "try 2 to start one follows in 100 ms"})
        EXPECT_TRUE(log.contains(line)) << line;
    manager.stop();
}

// Handed an installation, a library on trial proves itself once it has
// completed, not before; a stop before proves nothing.
TEST_F(RuntimeManagerTest, ALibraryOnTrialIsProvedOnlyOnceItHasServed) {
    place(kFirst);
    settings_.set(configKeys::DLL_PROVED, folder_ + kFirst);
    settings_.set(configKeys::INSTALL_STAGE, "extracted");
    place(kSecond, kSecond, true);
    palvaneMgrHooks probation = hooks();
    probation.firstPass = 100ms;
    probation.probation = 1h;
    const auto proved = [&] { return setting(configKeys::DLL_PROVED) == folder_ + kSecond; };
    for (const bool stopped : {true, false}) {
        palvaneMgr manager(probation);
        manager.start();
        EXPECT_FALSE(testutil::waitUntil(proved, 300ms)) << "proved with its installation pending";
        if (!stopped) localConfig(false).deleteValue(configKeys::INSTALL_PENDING);
        EXPECT_EQ(testutil::waitUntil([&] { return proved() && !exists(kFirst); }, stopped ? 0ms : 5s), !stopped);
        manager.stop();
        EXPECT_EQ(setting(configKeys::DLL_TRIAL), stopped ? "0 " + folder_ + kSecond : "") << "a stop is no failure";
    }
}

TEST_F(RuntimeManagerTest, UserPolicyWaitHoldsUpNeitherStartNorStop) {
    place(kFirst);
    std::mutex mutex;
    std::condition_variable signal;
    bool cancelled = false;
    std::atomic<bool> writerEnded{false};
    palvaneMgrHooks policyHooks = hooks();
    policyHooks.writeUserPolicy = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        signal.wait_for(lock, 30s, [&] { return cancelled; });  // no user logs on
        writerEnded = true;
    };
    const auto cancel = [&](bool value) {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = value;
        signal.notify_all();
    };
    policyHooks.holdUserWaitsCancelled = [&] { cancel(true); };
    policyHooks.resumeUserWaits = [&] { cancel(false); };

    palvaneMgr manager(policyHooks);
    const auto began = std::chrono::steady_clock::now();
    manager.start();
    EXPECT_TRUE(manager.runtimeLoaded());
    EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);

    const auto stopBegan = std::chrono::steady_clock::now();
    manager.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopBegan, 2s);
    EXPECT_TRUE(writerEnded);
}

}  // namespace
