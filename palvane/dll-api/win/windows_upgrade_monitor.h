// Watches, through a WMI subscription, for the setup programs that a Windows
// feature upgrade starts, checks that each carries the expected code
// signature, and from the second verified start on calls its callback.
//
// The subscription lives on a thread of its own that joins the
// multithreaded apartment, registers, waits for the destructor and then
// cancels, releases and leaves COM again, so the creating thread's COM state
// is never touched. Construction does not wait for WMI.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "palvane/dll-api/win/eventSink.h"

namespace PALVANE_SERVICE {

struct ExpectedSigner {
    std::string issuer;
    std::string subject;
};

// Lower-case program file name -> the signer its genuine copy carries.
using SignerTable = std::unordered_map<std::string, ExpectedSigner>;

class windows_upgrade_monitor {
public:
    // How long the destructor waits for WMI to drop the sink after the query
    // was cancelled.
    static constexpr std::chrono::milliseconds kSinkReleaseWait{5000};

    explicit windows_upgrade_monitor(std::function<void()> callback);
    // Another signer table or WMI calls (tests).
    windows_upgrade_monitor(std::function<void()> callback, SignerTable signers, WmiHooks hooks = WmiHooks());
    virtual ~windows_upgrade_monitor();

    windows_upgrade_monitor(const windows_upgrade_monitor&) = delete;
    windows_upgrade_monitor& operator=(const windows_upgrade_monitor&) = delete;

    // Runs on a COM thread for each reported process.
    void on_process_created(const wchar_t* executablePath);

    // The genuine Windows setup programs and their signers.
    static SignerTable windowsSetupSigners();

    // Where notifications enter; null when no sink could be made.
    EventSink* sink() const { return sink_; }
    // True once the registration has finished (either way), within `timeout`.
    bool waitForRegistration(std::chrono::milliseconds timeout);
    bool watching() const { return watching_.load(); }
    // Shortens the wait for WMI to drop the sink (tests).
    void setSinkReleaseWait(std::chrono::milliseconds wait) { sinkReleaseWait_ = wait; }
    uint32_t verifiedStarts() const { return verifiedStarts_.load(); }

private:
    void startWatchThread();
    void watchThread();
    void stopWatchThread();
    void releaseSink();
    bool signatureMatches(const wchar_t* path, const std::string& name, const ExpectedSigner& signer);

    std::function<void()> callback_;
    EventSink* sink_ = nullptr;
    std::atomic<uint32_t> verifiedStarts_{0};
    SignerTable signers_;
    std::atomic<bool> watching_{false};
    std::mutex stateLock_;
    std::condition_variable stateChanged_;
    bool registrationDone_ = false;
    bool stopRequested_ = false;
    std::thread watchThread_;
    std::chrono::milliseconds sinkReleaseWait_ = kSinkReleaseWait;
};

}  // namespace PALVANE_SERVICE
