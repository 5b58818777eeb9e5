#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "palvane/dll-api/win/webView2Runtime.h"
#include "support/localUpdateServer.h"
#include "support/testUtil.h"
#include "utils/win/scopedHandle.h"

using PALVANE_SERVICE::WebView2Source;
using PALVANE_SERVICE::webView2Runtime;
using testutil::LocalUpdateServer;
using testutil::ScriptedResponse;

namespace {

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Both runtime keys removed for one test and afterwards.
class RuntimeKeys {
public:
    RuntimeKeys() { removeAll(); }
    ~RuntimeKeys() { removeAll(); }
    RuntimeKeys(const RuntimeKeys&) = delete;
    RuntimeKeys& operator=(const RuntimeKeys&) = delete;

    // The key, with a "pv" value unless `version` is null.
    static void create(HKEY root, const char* subkey, const char* version) {
        UniqueRegKey key;
        ASSERT_EQ(RegCreateKeyExA(root, subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.receive(), nullptr),
                  ERROR_SUCCESS);
        if (version == nullptr) return;
        ASSERT_EQ(RegSetValueExA(key.get(), "pv", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                                 static_cast<DWORD>(strlen(version) + 1)),
                  ERROR_SUCCESS);
    }
    static void removeAll() {
        RegDeleteTreeA(HKEY_CURRENT_USER, webView2Runtime::kUserClientKey);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, webView2Runtime::kMachineClientKey);
    }
};

ScriptedResponse program(const char* fixture) {
    std::string bytes;
    EXPECT_TRUE(testutil::readFile(testutil::exeDirectoryA() + fixture, bytes)) << fixture;
    ScriptedResponse response;
    response.headers.emplace_back("Content-Type", "application/octet-stream");
    response.body = bytes;
    return response;
}

// An installer fetched from the local server into `dir`, to be signed by the
// test signer; the started program records its command line in `record`.
class LocalBootstrapper {
public:
    explicit LocalBootstrapper(const testutil::TempDir& dir) : record(dir.file("started.txt")) {
        source.url = widen(server.baseUrl() + "webview2/setup.exe");
        source.publisher = "Palvane Test Signer";
        const std::wstring folder = dir.wpath();
        source.folder = [folder] { return folder.substr(0, folder.size() - 1); };
        SetEnvironmentVariableA("PALVANE_BOOTSTRAPPER_RECORD", record.c_str());
    }
    ~LocalBootstrapper() { SetEnvironmentVariableA("PALVANE_BOOTSTRAPPER_RECORD", nullptr); }

    std::string startedWith() const {
        std::string bytes;
        testutil::readFile(record, bytes);
        std::string narrow;
        for (size_t at = 0; at + 1 < bytes.size(); at += 2) narrow += bytes[at];
        return narrow;
    }

    LocalUpdateServer server;
    WebView2Source source;
    std::string record;
};

// True once nothing holds the file open any more (the started program ended).
bool programRunning(const std::wstring& fileName) {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, fileName.c_str()) == 0) return true;
    }
    return false;
}

// The started bootstrapper has ended and nothing holds its file. A running
// program's image can still be opened for deletion under Wine, yet not
// deleted, so the process itself must be gone.
bool released(const std::wstring& path) {
    if (programRunning(path.substr(path.find_last_of(L'\\') + 1))) return false;
    UniqueHandle file(CreateFileW(path.c_str(), DELETE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return file.valid();
}

}  // namespace

TEST(WebView2Runtime, ProbeWantsARuntimeVersionUnderEitherKey) {
    RuntimeKeys keys;
    testutil::LogCapture log(4);
    webView2Runtime runtime;
    EXPECT_FALSE(runtime.is_installed());
    EXPECT_TRUE(log.contains("WebView2 runtime is not installed."));

    RuntimeKeys::create(HKEY_CURRENT_USER, webView2Runtime::kUserClientKey, "120.0.2210.91");
    EXPECT_TRUE(runtime.is_installed()) << "the current user's key";
    // What the vendor's updater leaves behind after an uninstallation.
    RuntimeKeys::create(HKEY_CURRENT_USER, webView2Runtime::kUserClientKey, "0.0.0.0");
    EXPECT_FALSE(runtime.is_installed());
    RuntimeKeys::removeAll();
    RuntimeKeys::create(HKEY_LOCAL_MACHINE, webView2Runtime::kMachineClientKey, nullptr);
    EXPECT_FALSE(runtime.is_installed()) << "a key without a version";
    RuntimeKeys::create(HKEY_LOCAL_MACHINE, webView2Runtime::kMachineClientKey, "119.0.2151.44");
    EXPECT_TRUE(runtime.is_installed()) << "the machine's key";
}

TEST(WebView2Runtime, TempFolderIsTheServiceAccountsOwnAndExists) {
    webView2Runtime runtime;
    const std::wstring folder = runtime.get_temp_folder();
    ASSERT_GE(folder.size(), 5u);
    EXPECT_EQ(folder.substr(folder.size() - 5), L"\\Temp");
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(WebView2Runtime, DownloadsVerifiesAndStartsTheBootstrapperSilently) {
    testutil::TempDir dir;
    testutil::LogCapture log(6);
    LocalBootstrapper local(dir);
    local.server.expect("GET", "/webview2/setup.exe", program("signed_bootstrapper.exe"));
    std::wstring installer;
    {
        webView2Runtime runtime(local.source);
        runtime.start_installer();
        ASSERT_TRUE(testutil::waitUntil([&] { return !local.startedWith().empty(); }, std::chrono::seconds(30)))
            << log.text();
        installer = runtime.installer_path();
        EXPECT_EQ(installer, dir.wpath() + L"MicrosoftEdgeWebview2Setup.exe");
        ASSERT_TRUE(testutil::waitUntil([&] { return released(installer); }, std::chrono::seconds(10)));
        runtime.stop();
        EXPECT_TRUE(log.contains("WebView2 runtime is installed successfully."));
    }
    EXPECT_NE(local.startedWith().find("MicrosoftEdgeWebview2Setup.exe"), std::string::npos) << local.startedWith();
    EXPECT_NE(local.startedWith().find(" /silent /install"), std::string::npos) << local.startedWith();
    EXPECT_EQ(GetFileAttributesW(installer.c_str()), INVALID_FILE_ATTRIBUTES) << "the bootstrapper was not deleted";
    EXPECT_FALSE(log.contains("Failed to delete"));
}

TEST(WebView2Runtime, StartsNothingThatIsUnsignedCutShortOrFromAnotherPublisher) {
    struct Case {
        const char* name;
        ScriptedResponse response;
        const char* publisher;
        bool downloadMayFail;
    };
    ScriptedResponse cutShort = program("signed_bootstrapper.exe");
    cutShort.truncateAfter = cutShort.body.size() / 2;
    Case cases[] = {
        {"unsigned", program("bootstrapper.exe"), "Palvane Test Signer", false},
        {"cut short", cutShort, "Palvane Test Signer", true},
        {"another publisher", program("signed_bootstrapper.exe"), WebView2Source::kPublisher, false},
    };
    for (Case& one : cases) {
        SCOPED_TRACE(one.name);
        testutil::TempDir dir;
        testutil::LogCapture log(6);
        LocalBootstrapper local(dir);
        local.source.publisher = one.publisher;
        local.server.expect("GET", "/webview2/setup.exe", one.response);
        {
            webView2Runtime runtime(local.source);
            runtime.start_installer();
            ASSERT_TRUE(testutil::waitUntil([&] { return runtime.attempt_finished(); }, std::chrono::seconds(30)));
        }
        local.server.stop();
        EXPECT_TRUE(local.startedWith().empty()) << local.startedWith();
        EXPECT_FALSE(log.contains("WebView2 runtime is installed successfully."));
        EXPECT_FALSE(log.contains("download cancelled"));
        const bool refused = log.contains("is not signed by " + std::string(one.publisher)) &&
                             log.contains("Failed to install WebView2 runtime.");
        const bool notFetched = log.contains("Failed to download WebView2 runtime.");
        EXPECT_TRUE(refused || (one.downloadMayFail && notFetched)) << log.text();
    }
}

TEST(WebView2Runtime, DownloadFailureLogsBothLinesButNotTheMissingFile) {
    testutil::TempDir dir;
    testutil::LogCapture log(6);
    LocalBootstrapper local(dir);
    local.source.url = L"http://127.0.0.1:1/webview2/setup.exe";  // nothing listens there
    {
        webView2Runtime runtime(local.source);
        runtime.start_installer();
        ASSERT_TRUE(testutil::waitUntil([&] { return log.contains("Failed to download WebView2 runtime."); },
                                        std::chrono::seconds(30)));
    }
    const std::string path = dir.file("MicrosoftEdgeWebview2Setup.exe");
    EXPECT_TRUE(log.contains("Failed to download " + path));
    EXPECT_FALSE(log.contains("Failed to delete")) << "a file never downloaded is no failure";
}

TEST(WebView2Runtime, StopAbortsAStalledDownloadAtOnce) {
    testutil::TempDir dir;
    testutil::LogCapture log(6);
    LocalBootstrapper local(dir);
    ScriptedResponse stalled = program("signed_bootstrapper.exe");
    stalled.truncateAfter = 1000;
    stalled.stall = true;
    local.server.expect("GET", "/webview2/setup.exe", stalled);

    webView2Runtime runtime(local.source);
    runtime.start_installer();
    ASSERT_TRUE(local.server.waitForRequests(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto started = std::chrono::steady_clock::now();
    runtime.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_TRUE(log.contains("WebView2 runtime download cancelled."));
    EXPECT_TRUE(log.contains("Failed to download WebView2 runtime."));
    EXPECT_TRUE(local.startedWith().empty());
    local.server.stop();
}

// A download still connecting to an unreachable host cannot be aborted; the
// stop does not wait for it, and the file it writes when it finally ends is
// removed.
TEST(WebView2Runtime, StopDoesNotWaitForADownloadThatCannotBeAborted) {
    testutil::TempDir dir;
    testutil::LogCapture log(6);
    LocalBootstrapper local(dir);
    auto release = std::make_shared<UniqueHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto entered = std::make_shared<std::atomic<bool>>(false);
    local.source.fetch = [release, entered](const wchar_t*, const wchar_t* file, IBindStatusCallback*) {
        *entered = true;
        WaitForSingleObject(release->get(), 20000);
        UniqueHandle written(CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        return S_OK;
    };
    webView2Runtime runtime(local.source);
    runtime.start_installer();
    ASSERT_TRUE(testutil::waitUntil([&] { return entered->load(); }, std::chrono::seconds(10)));
    auto stopping = std::async(std::launch::async, [&] { runtime.stop(); });
    const bool stoppedWhileConnecting = stopping.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    SetEvent(release->get());
    stopping.wait();
    EXPECT_TRUE(stoppedWhileConnecting);
    EXPECT_TRUE(log.contains("WebView2 runtime download cancelled.")) << log.text();
    const std::wstring installer = runtime.installer_path();
    EXPECT_TRUE(testutil::waitUntil([&] { return GetFileAttributesW(installer.c_str()) == INVALID_FILE_ATTRIBUTES; },
                                    std::chrono::seconds(10)));
    EXPECT_TRUE(local.startedWith().empty());
}

TEST(WebView2Runtime, AStoppedInstallerStartsNoThreadAndFetchesNothing) {
    testutil::TempDir dir;
    LocalBootstrapper local(dir);  // no request may come
    webView2Runtime runtime(local.source);
    runtime.stop();
    runtime.start_installer();
    EXPECT_FALSE(runtime.attempt_finished());
    runtime.stop();
    local.server.stop();
    EXPECT_EQ(local.server.requestCount(), 0u);
    EXPECT_TRUE(runtime.installer_path().empty());
}
