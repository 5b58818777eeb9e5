#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "fakeWbemObject.h"
#include "palvane/dll-api/win/eventSink.h"
#include "palvane/dll-api/win/windows_upgrade_monitor.h"
#include "support/testUtil.h"
#include "utils/win/scopedHandle.h"

using PALVANE_SERVICE::EventSink;
using PALVANE_SERVICE::ExpectedSigner;
using PALVANE_SERVICE::SignerTable;
using PALVANE_SERVICE::WmiHooks;
using PALVANE_SERVICE::windows_upgrade_monitor;
using testutil::FakeWbemObject;

namespace {

constexpr auto kRegistrationTimeout = std::chrono::seconds(30);

// The test signer stands in for the platform vendor's.
SignerTable testSigners() {
    const ExpectedSigner testSigner{"Palvane Test Root", "Palvane Test Signer"};
    return SignerTable{{"setup.exe", testSigner}, {"setupprep.exe", testSigner}, {"windowsupdatebox.exe", testSigner}};
}

// Tests that only deliver events skip the WMI connection.
WmiHooks noWmi() {
    WmiHooks hooks;
    hooks.registration = [] { return true; };
    return hooks;
}

// A copy of a fixture program under another name.
std::wstring copyFixture(const testutil::TempDir& dir, const wchar_t* fixture, const wchar_t* name) {
    const std::wstring target = dir.wpath() + name;
    EXPECT_TRUE(CopyFileW((testutil::exeDirectory() + fixture).c_str(), target.c_str(), FALSE)) << GetLastError();
    return target;
}

// The signed program with one byte of its code changed: the signer's names
// still read back, the signature no longer matches the file.
std::wstring tamperedSignedCopy(const testutil::TempDir& dir, const char* name) {
    std::string bytes;
    EXPECT_TRUE(testutil::readFile(testutil::exeDirectoryA() + "signed.exe", bytes));
    bytes[2000] = static_cast<char>(bytes[2000] ^ 0xFF);
    EXPECT_TRUE(testutil::writeFile(dir.file(name), bytes));
    std::wstring wide;
    for (char c : dir.file(name)) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return wide;
}

// Delivers one creation event of a process with this path through the sink.
void deliver(EventSink* sink, const wchar_t* path) {
    ASSERT_NE(sink, nullptr);
    IWbemClassObject* event = testutil::processCreationEvent(path);
    EXPECT_EQ(sink->Indicate(1, &event), WBEM_S_NO_ERROR);
    event->Release();
}

DWORD threadCountOfThisProcess() {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    DWORD count = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    return count;
}

}  // namespace

TEST(EventSink, HandsOverTheExecutablePathOfEachEventAndSkipsMalformedOnes) {
    testutil::LogCapture log(6);
    const long sinksBefore = EventSink::liveSinks();
    std::vector<std::wstring> paths;
    EventSink* sink = new EventSink([&](const wchar_t* path) { paths.emplace_back(path); });
    sink->AddRef();

    FakeWbemObject* first = testutil::processCreationEvent(L"C:\\Windows\\setup.exe");
    FakeWbemObject* noPath = testutil::processCreationEvent(nullptr);
    FakeWbemObject* numberPath = FakeWbemObject::create();
    {
        FakeWbemObject* process = FakeWbemObject::create();
        process->setInteger(L"ExecutablePath", 42);
        numberPath->setObject(L"TargetInstance", static_cast<IWbemClassObject*>(process));
        process->Release();
    }
    FakeWbemObject* noTarget = FakeWbemObject::create();
    FakeWbemObject* numberTarget = FakeWbemObject::create();
    numberTarget->setInteger(L"TargetInstance", 7);
    FakeWbemObject* nullTarget = FakeWbemObject::create();
    nullTarget->setObject(L"TargetInstance", nullptr);
    FakeWbemObject* last = testutil::processCreationEvent(L"D:\\media\\SetupPrep.exe");

    IWbemClassObject* events[] = {first, nullptr, noPath, numberPath, noTarget, numberTarget, nullTarget, last};
    EXPECT_EQ(sink->Indicate(8, events), WBEM_S_NO_ERROR);
    EXPECT_EQ(sink->Indicate(3, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(sink->Indicate(-1, events), WBEM_S_NO_ERROR);

    EXPECT_EQ(paths, (std::vector<std::wstring>{L"C:\\Windows\\setup.exe", L"D:\\media\\SetupPrep.exe"}));
    const std::string text = log.text();
    size_t emptyLines = 0;
    for (size_t at = text.find("Process ExecutablePath is empty."); at != std::string::npos;
         at = text.find("Process ExecutablePath is empty.", at + 1)) {
        ++emptyLines;
    }
    EXPECT_EQ(emptyLines, 2u) << "a null and a non-text path";

    // Every reference the sink took was given back.
    for (FakeWbemObject* event : {first, noPath, numberPath, noTarget, numberTarget, nullTarget, last}) {
        EXPECT_EQ(event->references(), 1);
        event->Release();
    }
    EXPECT_EQ(sink->Release(), 0u);
    EXPECT_EQ(EventSink::liveSinks(), sinksBefore);
}

TEST(EventSink, ReportsStatusAndKeepsCallbackFailuresInside) {
    testutil::LogCapture log(6);
    EventSink* sink = new EventSink([](const wchar_t*) { throw std::runtime_error("handler broke"); });
    sink->AddRef();
    deliver(sink, L"C:\\x\\setup.exe");
    EXPECT_TRUE(log.contains("Process creation event failed: handler broke"));

    EXPECT_EQ(sink->SetStatus(WBEM_STATUS_COMPLETE, static_cast<HRESULT>(0x80041017), nullptr, nullptr),
              WBEM_S_NO_ERROR);
    EXPECT_EQ(sink->SetStatus(WBEM_STATUS_PROGRESS, S_OK, nullptr, nullptr), WBEM_S_NO_ERROR);
    EXPECT_TRUE(log.contains("Call complete. hResult = 0x80041017"));
    EXPECT_TRUE(log.contains("Call in progress."));

    void* unknown = nullptr;
    EXPECT_EQ(sink->QueryInterface(IID_IWbemClassObject, &unknown), E_NOINTERFACE);
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(sink->QueryInterface(IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 1u);
    sink->Release();
}

TEST(EventSink, DetachWaitsForARunningCallbackAndEndsDelivery) {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls{0};
    EventSink* sink = new EventSink([&](const wchar_t*) {
        if (++calls == 1) {
            entered.set_value();
            released.wait_for(std::chrono::seconds(10));
        }
    });
    sink->AddRef();

    std::thread comThread([&] { deliver(sink, L"C:\\x\\setup.exe"); });
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto detached = std::async(std::launch::async, [&] { sink->detach(); });
    EXPECT_EQ(detached.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "detach must wait for the running callback";
    release.set_value();
    EXPECT_EQ(detached.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    comThread.join();

    deliver(sink, L"C:\\x\\setup.exe");
    EXPECT_EQ(calls.load(), 1);
    sink->Release();
}

TEST(WindowsUpgradeMonitor, RealWmiWatchRegistersAndEndsCleanly) {
    testutil::LogCapture log(6);
    const long sinksBefore = EventSink::liveSinks();
    const DWORD threadsBefore = threadCountOfThisProcess();

    // Built on a thread of its own: the monitor must leave that thread's COM
    // state as it found it. (The probe joins the multithreaded apartment:
    // under Wine, a single-threaded apartment made while another thread loads
    // the WMI locator can deadlock both.)
    std::unique_ptr<windows_upgrade_monitor> monitor;
    HRESULT callerCom = E_FAIL;
    std::thread creator([&] {
        monitor = std::make_unique<windows_upgrade_monitor>([] {});
        callerCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(callerCom)) CoUninitialize();
    });
    creator.join();
    EXPECT_EQ(callerCom, S_OK) << "the creating thread was left in an apartment";

    ASSERT_TRUE(monitor->waitForRegistration(kRegistrationTimeout));
    EXPECT_TRUE(monitor->watching());
    EXPECT_TRUE(log.contains("Connected to ROOT\\CIMV2 WMI namespace"));
    EXPECT_FALSE(log.contains("Failed to register process creation callback."));

    const auto started = std::chrono::steady_clock::now();
    monitor.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    EXPECT_EQ(EventSink::liveSinks(), sinksBefore) << "the sink was not freed";
    EXPECT_FALSE(log.contains("still referenced"));
    // COM and WMI keep a worker of their own after first use; the watch's
    // thread must not stay beside it.
    const DWORD threadsAfterFirst = threadCountOfThisProcess();
    EXPECT_LE(threadsAfterFirst, threadsBefore + 1);

    // A reloaded library finds COM security already set for the process and
    // must still watch.
    WmiHooks alreadySet;
    alreadySet.initializeSecurity = [] { return RPC_E_TOO_LATE; };
    auto reloaded =
        std::make_unique<windows_upgrade_monitor>([] {}, windows_upgrade_monitor::windowsSetupSigners(), alreadySet);
    ASSERT_TRUE(reloaded->waitForRegistration(kRegistrationTimeout));
    EXPECT_TRUE(reloaded->watching());
    EXPECT_FALSE(log.contains("Failed to initialize security."));
    EXPECT_GT(threadCountOfThisProcess(), threadsAfterFirst) << "the watch runs on a thread of its own";
    reloaded.reset();
    EXPECT_TRUE(testutil::waitUntil([&] { return threadCountOfThisProcess() <= threadsAfterFirst; },
                                    std::chrono::seconds(5)))
        << "threads after the first monitor " << threadsAfterFirst << ", after the second "
        << threadCountOfThisProcess();
    EXPECT_EQ(EventSink::liveSinks(), sinksBefore);
}

TEST(WindowsUpgradeMonitor, CallsBackFromTheSecondVerifiedSetupStart) {
    testutil::TempDir dir;
    testutil::LogCapture log(6);
    const std::wstring setupPrep = copyFixture(dir, L"signed.exe", L"SetupPrep.exe");
    const std::wstring updateBox = copyFixture(dir, L"signed.exe", L"WindowsUpdateBox.exe");
    std::atomic<int> callbacks{0};
    windows_upgrade_monitor monitor([&] { ++callbacks; }, testSigners(), noWmi());
    ASSERT_TRUE(monitor.waitForRegistration(kRegistrationTimeout));

    deliver(monitor.sink(), setupPrep.c_str());
    EXPECT_EQ(monitor.verifiedStarts(), 1u);
    EXPECT_EQ(callbacks.load(), 0) << "one verified start alone is not an upgrade";
    EXPECT_TRUE(log.contains("Running process="));

    deliver(monitor.sink(), updateBox.c_str());
    EXPECT_EQ(callbacks.load(), 1);
    deliver(monitor.sink(), setupPrep.c_str());
    EXPECT_EQ(callbacks.load(), 2) << "every later verified start calls again";
}

TEST(WindowsUpgradeMonitor, CountsConcurrentStartsExactly) {
    testutil::TempDir dir;
    const std::wstring setup = copyFixture(dir, L"signed.exe", L"setup.exe");
    std::atomic<int> callbacks{0};
    windows_upgrade_monitor monitor([&] { ++callbacks; }, testSigners(), noWmi());
    constexpr int kPerThread = 8;
    std::vector<std::thread> comThreads;
    for (int t = 0; t < 3; ++t) {
        comThreads.emplace_back([&] {
            for (int i = 0; i < kPerThread; ++i) deliver(monitor.sink(), setup.c_str());
        });
    }
    for (std::thread& thread : comThreads) thread.join();
    EXPECT_EQ(monitor.verifiedStarts(), 3u * kPerThread);
    EXPECT_EQ(callbacks.load(), 3 * kPerThread - 1);
}

TEST(WindowsUpgradeMonitor, IgnoresUnsignedForgedUnknownAndUnparsablePrograms) {
    testutil::TempDir dir;
    testutil::LogCapture log(6);
    std::atomic<int> callbacks{0};
    windows_upgrade_monitor monitor([&] { ++callbacks; }, testSigners(), noWmi());

    // Another vendor's installer named Setup.exe.
    deliver(monitor.sink(), copyFixture(dir, L"versioned.exe", L"Setup.exe").c_str());
    EXPECT_TRUE(log.contains("The digital signature of setup.exe is not from Microsoft."));
    // The expected names on a signature that does not match the file.
    deliver(monitor.sink(), tamperedSignedCopy(dir, "setupprep.exe").c_str());
    EXPECT_TRUE(log.contains("The signature of setupprep.exe is not trusted, error=0x"));
    EXPECT_TRUE(log.contains("The digital signature of setupprep.exe is not from Microsoft."));
    deliver(monitor.sink(), copyFixture(dir, L"signed.exe", L"other.exe").c_str());
    EXPECT_TRUE(log.contains("Failed to find certificate information for other.exe"));
    deliver(monitor.sink(), L"setup.exe");
    EXPECT_TRUE(log.contains("Failed to find the last slash character in setup.exe"));
    monitor.on_process_created(nullptr);

    EXPECT_EQ(monitor.verifiedStarts(), 0u);
    EXPECT_EQ(callbacks.load(), 0);
}

TEST(WindowsUpgradeMonitor, WantsThePlatformVendorsSignerInProduction) {
    testutil::TempDir dir;
    testutil::LogCapture log(6);
    std::atomic<int> callbacks{0};
    windows_upgrade_monitor monitor([&] { ++callbacks; }, windows_upgrade_monitor::windowsSetupSigners(), noWmi());
    const std::wstring setup = copyFixture(dir, L"signed.exe", L"setup.exe");
    deliver(monitor.sink(), setup.c_str());
    deliver(monitor.sink(), setup.c_str());
    EXPECT_EQ(callbacks.load(), 0);
    EXPECT_TRUE(log.contains("Issuer Name:Microsoft Code Signing PCA 2010 Subject:Microsoft Corporation"));
    EXPECT_TRUE(log.contains("The digital signature of setup.exe is not from Microsoft."));
}

TEST(WindowsUpgradeMonitor, FailedRegistrationLeavesAJudgingMonitorAndNoLeak) {
    testutil::LogCapture log(6);
    const long sinksBefore = EventSink::liveSinks();
    {
        WmiHooks denied;
        denied.initializeSecurity = [] { return E_ACCESSDENIED; };
        testutil::TempDir dir;
        std::atomic<int> callbacks{0};
        windows_upgrade_monitor failed([&] { ++callbacks; }, testSigners(), denied);
        ASSERT_TRUE(failed.waitForRegistration(kRegistrationTimeout));
        EXPECT_FALSE(failed.watching());
        EXPECT_TRUE(log.contains("Failed to initialize security. Error code = 0x80070005"));
        EXPECT_TRUE(log.contains("Failed to register process creation callback."));
        // The monitor stays in place: events that reach it are still judged.
        const std::wstring setup = copyFixture(dir, L"signed.exe", L"setup.exe");
        deliver(failed.sink(), setup.c_str());
        deliver(failed.sink(), setup.c_str());
        EXPECT_EQ(callbacks.load(), 1);
    }
    EXPECT_EQ(EventSink::liveSinks(), sinksBefore) << "a failed registration leaked the sink";
}

TEST(WindowsUpgradeMonitor, NothingReachesTheCallbackOnceDeletionBegins) {
    testutil::TempDir dir;
    testutil::LogCapture log(4);
    const std::wstring setup = copyFixture(dir, L"signed.exe", L"setup.exe");
    const long sinksBefore = EventSink::liveSinks();
    std::atomic<int> callbacks{0};
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();

    auto monitor = std::make_unique<windows_upgrade_monitor>(
        [&] {
            if (++callbacks == 1) {
                entered.set_value();
                released.wait_for(std::chrono::seconds(10));
            }
        },
        testSigners(), noWmi());
    ASSERT_TRUE(monitor->waitForRegistration(kRegistrationTimeout));
    monitor->setSinkReleaseWait(std::chrono::milliseconds(200));
    // WMI may hold the sink longer than the monitor lives.
    EventSink* heldByWmi = monitor->sink();
    heldByWmi->AddRef();

    deliver(heldByWmi, setup.c_str());
    std::thread comThread([&] { deliver(heldByWmi, setup.c_str()); });
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto deleted = std::async(std::launch::async, [&] { monitor.reset(); });
    EXPECT_EQ(deleted.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "deletion must wait for the running callback";
    release.set_value();
    comThread.join();
    // The monitor waits a bounded time for the held sink, then goes.
    EXPECT_EQ(deleted.wait_for(std::chrono::seconds(10)),
              std::future_status::ready);
    EXPECT_TRUE(log.contains("The WMI event sink is still referenced after the watch ended."));

    deliver(heldByWmi, setup.c_str());
    EXPECT_EQ(callbacks.load(), 1);
    EXPECT_EQ(heldByWmi->Release(), 0u);
    EXPECT_EQ(EventSink::liveSinks(), sinksBefore);
}

// WMI holds the sink through COM while the watch runs. The library that owns
// the watch is unloaded after the monitor is deleted; COM letting go of that
// reference afterwards must not call into the unloaded code.
TEST(WindowsUpgradeMonitor, ASinkHeldThroughComDoesNotReachAnUnloadedLibrary) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    HMODULE library = LoadLibraryW((testutil::exeDirectory() + L"sinklibrary.dll").c_str());
    ASSERT_NE(library, nullptr);
    auto startWatch = reinterpret_cast<int (*)()>(GetProcAddress(library, "sinkLibraryStartWatch"));
    auto marshalSink = reinterpret_cast<HRESULT (*)(IStream*)>(GetProcAddress(library, "sinkLibraryMarshalSink"));
    auto endWatch = reinterpret_cast<long (*)()>(GetProcAddress(library, "sinkLibraryEndWatch"));
    ASSERT_TRUE(startWatch && marshalSink && endWatch);
    IStream* heldByWmi = nullptr;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &heldByWmi), S_OK);

    ASSERT_EQ(startWatch(), 1);
    ASSERT_EQ(marshalSink(heldByWmi), S_OK);
    // The sink is gone with its monitor (or the release below would crash).
    ASSERT_EQ(endWatch(), 0) << "COM still holds the sink";
    ASSERT_TRUE(FreeLibrary(library));
    ASSERT_EQ(GetModuleHandleW(L"sinklibrary.dll"), nullptr) << "the library is still loaded";

    LARGE_INTEGER start{};
    heldByWmi->Seek(start, STREAM_SEEK_SET, nullptr);
    EXPECT_NE(CoReleaseMarshalData(heldByWmi), S_OK);
    heldByWmi->Release();
    CoUninitialize();
}
