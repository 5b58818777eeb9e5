// Installs the WebView2 runtime that the agent's user interface needs: a
// registry probe, and a thread that downloads the platform vendor's
// bootstrapper and starts it elevated and silent.
//
// The bootstrapper is fetched into the service account's own temporary
// folder (never a folder the logged-on user can write to, since the file is
// run elevated), and started only when its signature is trusted and names
// the expected publisher; it is held open against replacement from that
// check until it has been started.
//
// stop() (also run by the destructor) aborts a running download at once and
// joins the thread, so a stop never waits for the network.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "palvane/dll-api/win/cancellableDownload.h"

namespace PALVANE_SERVICE {

// Where the bootstrapper comes from and whom it must be signed by; the
// defaults are the production ones.
struct WebView2Source {
    static constexpr const wchar_t* kBootstrapperUrl = L"https://go.microsoft.com/fwlink/p/?LinkId=2124703";
    static constexpr const char* kPublisher = "Microsoft Corporation";

    std::wstring url = kBootstrapperUrl;
    std::string publisher = kPublisher;
    // The download folder; empty means get_temp_folder().
    std::function<std::wstring()> folder;
    // The download call; empty means the URL moniker service's.
    CancellableDownload::Fetch fetch;
};

class webView2Runtime {
public:
    static constexpr const char* kUserClientKey =
        "Software\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
    static constexpr const char* kMachineClientKey =
        "SOFTWARE\\WOW6432Node\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
    static constexpr const char* kVersionValue = "pv";
    static constexpr const wchar_t* kInstallerName = L"MicrosoftEdgeWebview2Setup.exe";
    static constexpr const wchar_t* kInstallerArguments = L" /silent /install";

    webView2Runtime();
    explicit webView2Runtime(WebView2Source source);
    virtual ~webView2Runtime();

    webView2Runtime(const webView2Runtime&) = delete;
    webView2Runtime& operator=(const webView2Runtime&) = delete;

    bool is_installed();
    // Body of the installer thread: one attempt.
    void install();
    std::wstring get_temp_folder();

    // Starts the installer thread on install() (once, and not after stop()). Throws std::system_error when
    // no thread can be made (the service core's start catches it).
    void start_installer();
    // Aborts a running attempt and joins the thread; idempotent.
    void stop();

    // True once the installer thread's one attempt has ended.
    bool attempt_finished() const { return finished_.load(); }
    // Full path of the downloaded bootstrapper; empty until an attempt set it.
    std::wstring installer_path() const;

private:
    void attempt();
    bool versionKeyPresent(HKEY root, const char* subkey);
    bool download(const std::wstring& path);
    bool launchVerified(const std::wstring& path);
    bool publisherTrusted(const std::wstring& path);
    void deleteInstaller();

    WebView2Source source_;
    std::unique_ptr<std::thread> installerThread_;
    std::wstring installerPath_;
    mutable std::mutex pathLock_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    CancellableDownload download_;
};

}  // namespace PALVANE_SERVICE
