// The runtime manager against a fake library: choice of the library file,
// the settings it records, reloads and their races with stop.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <system_error>
#include <thread>

#include "fakeRuntime.h"
#include "installFolder.h"
#include "palvane/win/upgrademgr/softwareMgr.h"
#include "support/testUtil.h"
#include "utils/configKeys.h"

using namespace std::chrono_literals;

namespace {

const char* const kFirst = "palvane_test1.dll";   // version 1.2.3.4
const char* const kSecond = "palvane_test2.dll";  // version 1.2.4.0

class RuntimeManagerTest : public ::testing::Test {
protected:
    // A copy of a fixture library under `name`, so its version is real.
    void place(const char* fixture, const std::string& name) {
        ASSERT_TRUE(CopyFileA((testutil::exeDirectoryA() + fixture).c_str(), (folder_ + name).c_str(), FALSE))
            << "fixture " << fixture << " missing";
    }
    void place(const char* fixture) { place(fixture, fixture); }

    palvaneMgrHooks hooks(std::chrono::milliseconds pause = 200ms) {
        palvaneMgrHooks result;
        result.makeLoader = fakert::makeLoader;
        result.reloadPause = pause;
        result.startThread = [](std::function<void()> body) { return std::thread(std::move(body)); };
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
    const std::vector<std::string> expected = {std::string("StopMonitoring ") + kFirst,
                                               std::string("Destructor ") + kFirst, std::string("close ") + kFirst};
    std::vector<std::string> events = journal().events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()), expected) << journal().text();
    EXPECT_FALSE(manager.runtimeLoaded());
    EXPECT_TRUE(exists(kFirst));

    // A second stop calls nothing of the unloaded library.
    manager.stop();
    EXPECT_EQ(journal().count(std::string("Destructor ") + kFirst), 1u);
}

TEST_F(RuntimeManagerTest, RecordedFileIsKeptAndTheOtherDeleted) {
    place(kFirst);
    place(kSecond);
    settings_.set(configKeys::DLL_FILE_NAME, folder_ + kFirst);
    testutil::LogCapture log(6);
    palvaneMgr manager(hooks());
    manager.start();

    EXPECT_TRUE(log.contains("More than one dll found in Quillmark Palvane folder."));
    EXPECT_EQ(journal().count(std::string("StartMonitoring ") + kFirst), 1u) << journal().text();
    EXPECT_TRUE(exists(kFirst));
    EXPECT_FALSE(exists(kSecond));
    EXPECT_EQ(setting(configKeys::DLL_VERSION), "1.2.3");
    manager.stop();
}

TEST_F(RuntimeManagerTest, StaleOrMissingRecordedPathFallsBackToTheNewestListedFile) {
    struct Case {
        const char* recorded;  // null: no setting
        size_t files;
    };
    for (const Case& c : {Case{nullptr, 2}, Case{"palvane_gone.dll", 2}, Case{"palvane_gone.dll", 1}}) {
        SCOPED_TRACE(c.recorded ? c.recorded : "no recorded path");
        fakert::runtime().reset();
        DeleteFileA((folder_ + kFirst).c_str());
        DeleteFileA((folder_ + kSecond).c_str());
        settings_.set(configKeys::DLL_VERSION, "9.9.9");
        if (c.recorded) {
            settings_.set(configKeys::DLL_FILE_NAME, folder_ + c.recorded);
        } else {
            RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, "Software\\Tarnwell", configKeys::DLL_FILE_NAME);
        }
        place(kSecond);
        if (c.files == 2) place(kFirst);

        palvaneMgr manager(hooks());
        manager.start();
        EXPECT_EQ(journal().count(std::string("StartMonitoring ") + kSecond), 1u) << journal().text();
        EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), folder_ + kSecond);
        EXPECT_EQ(setting(configKeys::DLL_VERSION), "1.2.4");
        EXPECT_TRUE(exists(kSecond));
        EXPECT_FALSE(exists(kFirst));
        manager.stop();
    }
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

TEST_F(RuntimeManagerTest, CallbackReturnsAtOnceAndReloadsTheNewestOtherFile) {
    place(kFirst);
    palvaneMgr manager(hooks(300ms));
    manager.start();
    // Two new files: the newest version wins, the older one is deleted too.
    place(kFirst, "palvane_test3.dll");
    place(kSecond);

    ASSERT_TRUE(fakert::runtime().callBackFromRuntimeThread());
    ASSERT_TRUE(journal().waitFor(std::string("StartMonitoring ") + kSecond)) << journal().text();
    EXPECT_EQ(journal().count(std::string("callback returned ") + kFirst + " promptly"), 1u) << journal().text();
    EXPECT_EQ(journal().count("Destructor blocked by a callback thread"), 0u) << journal().text();
    EXPECT_EQ(journal().count("load palvane_test3.dll"), 0u);

    const auto stopped = journal().timeOf(std::string("StopMonitoring ") + kFirst);
    const auto destroyed = journal().timeOf(std::string("Destructor ") + kFirst);
    EXPECT_GE(destroyed - stopped, 290ms);
    EXPECT_LT(journal().indexOf(std::string("close ") + kFirst), journal().indexOf(std::string("load ") + kSecond));

    ASSERT_TRUE(testutil::waitUntil([&] { return manager.currentDllName() == kSecond; }, 5s));
    EXPECT_FALSE(exists(kFirst));
    EXPECT_FALSE(exists("palvane_test3.dll"));
    EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), folder_ + kSecond);
    EXPECT_EQ(setting(configKeys::DLL_VERSION), "1.2.4");

    // The stop reaches the new library.
    manager.stop();
    EXPECT_EQ(journal().count(std::string("StopMonitoring ") + kSecond), 1u);
    EXPECT_EQ(journal().count(std::string("Destructor ") + kSecond), 1u);
    EXPECT_EQ(journal().count(std::string("Destructor ") + kFirst), 1u);
}

TEST_F(RuntimeManagerTest, CallbackWithNoOtherFileDoesNothing) {
    place(kFirst);
    palvaneMgr manager(hooks());
    manager.start();
    ASSERT_TRUE(fakert::runtime().callBackFromRuntimeThread());
    ASSERT_TRUE(journal().waitFor(std::string("callback returned ") + kFirst + " promptly"));
    manager.stop();
    EXPECT_EQ(journal().count(std::string("load ") + kFirst), 1u) << journal().text();
}

TEST_F(RuntimeManagerTest, TwoCallbacksAtOnceMakeOneReload) {
    place(kFirst);
    testutil::LogCapture log(6);
    palvaneMgr manager(hooks(300ms));
    manager.start();
    place(kSecond);

    std::promise<void> go;
    std::shared_future<void> ready = go.get_future().share();
    auto call = [&] {
        ready.wait();
        manager.update_service_dll();
    };
    std::thread a(call);
    std::thread b(call);
    go.set_value();
    a.join();
    b.join();
    // A third while the reload is still in its pause.
    ASSERT_TRUE(fakert::runtime().callBackFromRuntimeThread());

    ASSERT_TRUE(journal().waitFor(std::string("StartMonitoring ") + kSecond)) << journal().text();
    manager.stop();
    EXPECT_EQ(journal().count(std::string("load ") + kSecond), 1u) << journal().text();
    EXPECT_EQ(journal().count(std::string("StopMonitoring ") + kFirst), 1u);
    EXPECT_TRUE(log.contains("A reload is already under way")) << log.text();
}

TEST_F(RuntimeManagerTest, StopDuringTheReloadPauseEndsAtOnceWithoutTheNewLibrary) {
    place(kFirst);
    palvaneMgr manager(hooks(palvaneMgrHooks::kReloadPause));
    manager.start();
    place(kSecond);
    ASSERT_TRUE(fakert::runtime().callBackFromRuntimeThread());
    ASSERT_TRUE(journal().waitFor(std::string("StopMonitoring ") + kFirst));

    const auto began = std::chrono::steady_clock::now();
    manager.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);

    EXPECT_EQ(journal().count(std::string("Destructor ") + kFirst), 1u) << journal().text();
    EXPECT_EQ(journal().count(std::string("close ") + kFirst), 1u);
    EXPECT_EQ(journal().count(std::string("load ") + kSecond), 0u);
    EXPECT_EQ(journal().events().back(), std::string("close ") + kFirst) << journal().text();
    EXPECT_TRUE(exists(kSecond));
    EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), folder_ + kFirst);

    // The stopped manager ignores a late callback.
    manager.update_service_dll();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(journal().count(std::string("load ") + kSecond), 0u);
}

TEST_F(RuntimeManagerTest, StopWaitsForAStartUnderWayAndThenStopsIt) {
    place(kFirst);
    fakert::runtime().blockedAt = std::string("load ") + kFirst;
    palvaneMgr manager(hooks());
    std::thread starter([&] { manager.start(); });
    ASSERT_TRUE(journal().waitFor(std::string("load ") + kFirst));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        manager.stop();
        stopped = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(stopped);
    fakert::runtime().release();
    starter.join();
    stopper.join();

    const std::vector<std::string> events = journal().events();
    EXPECT_LT(journal().indexOf(std::string("StartMonitoring ") + kFirst),
              journal().indexOf(std::string("StopMonitoring ") + kFirst))
        << journal().text();
    EXPECT_EQ(events.back(), std::string("close ") + kFirst);
}

TEST_F(RuntimeManagerTest, FileInUseIsRecordedBeforeTheRuntimesStartWhichMayWaitLong) {
    place(kFirst);
    fakert::runtime().blockedAt = std::string("StartMonitoring ") + kFirst;
    palvaneMgr manager(hooks(50ms));
    std::thread starter([&] { manager.start(); });
    ASSERT_TRUE(journal().waitFor(std::string("StartMonitoring ") + kFirst));
    EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), folder_ + kFirst);
    EXPECT_EQ(setting(configKeys::DLL_VERSION), "1.2.3");
    fakert::runtime().release();
    starter.join();

    // A reload whose new runtime waits in its start: the new file is already
    // the recorded one, and a stop meanwhile keeps it.
    fakert::runtime().blockedAt = std::string("StartMonitoring ") + kSecond;
    {
        std::lock_guard<std::mutex> lock(fakert::runtime().mutex);
        fakert::runtime().released = false;
    }
    place(kSecond);
    manager.update_service_dll();
    ASSERT_TRUE(journal().waitFor(std::string("StartMonitoring ") + kSecond));
    EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), folder_ + kSecond);
    EXPECT_EQ(setting(configKeys::DLL_VERSION), "1.2.4");
    EXPECT_FALSE(exists(kFirst));
    fakert::runtime().release();
    manager.stop();
    EXPECT_EQ(journal().count(std::string("Destructor ") + kSecond), 1u) << journal().text();
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
    place(kSecond);

    EXPECT_NO_THROW(manager.update_service_dll());
    EXPECT_TRUE(log.contains("Failed to start the thread that loads palvane_test2.dll")) << log.text();
    EXPECT_EQ(journal().count(std::string("StopMonitoring ") + kFirst), 0u);

    // The failed attempt left no reload marked as under way.
    *failing = false;
    manager.update_service_dll();
    ASSERT_TRUE(journal().waitFor(std::string("StartMonitoring ") + kSecond)) << journal().text();
    manager.stop();
}

TEST_F(RuntimeManagerTest, FailedReloadLeavesNothingOfTheOldLibraryToCall) {
    place(kFirst);
    palvaneMgr manager(hooks(50ms));
    manager.start();
    place(kSecond);
    fakert::runtime().failingLoads.insert(kSecond);
    manager.update_service_dll();
    ASSERT_TRUE(journal().waitFor(std::string("load ") + kSecond));
    ASSERT_TRUE(testutil::waitUntil([&] { return !manager.runtimeLoaded(); }, 2s));
    std::this_thread::sleep_for(50ms);
    manager.stop();
    EXPECT_EQ(journal().count(std::string("StopMonitoring ") + kFirst), 1u) << journal().text();
    EXPECT_EQ(journal().count(std::string("Destructor ") + kFirst), 1u);
    EXPECT_EQ(journal().count(std::string("close ") + kFirst), 1u);
    // Neither file was deleted and the record still names the old one.
    EXPECT_TRUE(exists(kFirst));
    EXPECT_TRUE(exists(kSecond));
    EXPECT_EQ(setting(configKeys::DLL_FILE_NAME), folder_ + kFirst);
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
    policyHooks.cancelUserPolicy = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = true;
        signal.notify_all();
    };
    policyHooks.resumeUserPolicy = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = false;
    };

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
