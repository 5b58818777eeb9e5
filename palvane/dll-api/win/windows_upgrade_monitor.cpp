#include "palvane/dll-api/win/windows_upgrade_monitor.h"

#include <cctype>
#include <new>
#include <system_error>

#include "utils/twlogger.h"
#include "utils/win/stringconv.h"
#include "utils/win/verifySignature.h"

namespace PALVANE_SERVICE {

namespace {

std::string lowerCased(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

SignerTable windows_upgrade_monitor::windowsSetupSigners() {
    SignerTable table;
    table.emplace("setup.exe", ExpectedSigner{"Microsoft Code Signing PCA 2010", "Microsoft Corporation"});
    table.emplace("setupprep.exe", ExpectedSigner{"Microsoft Windows Production PCA 2011", "Microsoft Windows"});
    table.emplace("windowsupdatebox.exe", ExpectedSigner{"Microsoft Windows Production PCA 2011", "Microsoft Windows"});
    return table;
}

windows_upgrade_monitor::windows_upgrade_monitor(std::function<void()> callback)
    : windows_upgrade_monitor(std::move(callback), windowsSetupSigners()) {}

windows_upgrade_monitor::windows_upgrade_monitor(std::function<void()> callback, SignerTable signers, WmiHooks hooks)
    : callback_(std::move(callback)), signers_(std::move(signers)) {
    sink_ = new (std::nothrow) EventSink([this](const wchar_t* path) { on_process_created(path); }, std::move(hooks));
    if (sink_ == nullptr) {
        TWLOG(LOG_ERROR, "Failed to allocate EventSink object.");
        std::lock_guard<std::mutex> guard(stateLock_);
        registrationDone_ = true;
        return;
    }
    sink_->AddRef();
    startWatchThread();
}

windows_upgrade_monitor::~windows_upgrade_monitor() {
    if (sink_ != nullptr) sink_->detach();
    stopWatchThread();
    releaseSink();
}

void windows_upgrade_monitor::startWatchThread() {
    try {
        watchThread_ = std::thread(&windows_upgrade_monitor::watchThread, this);
    } catch (const std::system_error& error) {
        TWLOG(LOG_ERROR, "Failed to register process creation callback. " << error.what());
        std::lock_guard<std::mutex> guard(stateLock_);
        registrationDone_ = true;
    }
}

void windows_upgrade_monitor::watchThread() {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(com)) {
        TWLOG(LOG_INFO, "Failed to initialize COM library. Error code = 0x" << std::hex
                                                                          << static_cast<unsigned long>(com));
    }
    const bool registered = sink_->register_process_watch();
    if (!registered) TWLOG(LOG_ERROR, "Failed to register process creation callback.");
    watching_ = registered;

    std::unique_lock<std::mutex> guard(stateLock_);
    registrationDone_ = true;
    stateChanged_.notify_all();
    stateChanged_.wait(guard, [this] { return stopRequested_; });
    guard.unlock();

    watching_ = false;
    sink_->unregister_process_watch();
    if (SUCCEEDED(com)) {
        // WMI, or the apartment that relays its calls, may still hold the
        // sink through COM; cutting those references here means no call from
        // outside can reach the sink's code once this library is unloaded.
        CoDisconnectObject(static_cast<IWbemObjectSink*>(sink_), 0);
        CoUninitialize();
    }
}

void windows_upgrade_monitor::stopWatchThread() {
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        stopRequested_ = true;
        stateChanged_.notify_all();
    }
    if (watchThread_.joinable()) watchThread_.join();
}

void windows_upgrade_monitor::releaseSink() {
    if (sink_ == nullptr) return;
    std::shared_ptr<EventSink::Life> life = sink_->life();
    sink_->Release();
    sink_ = nullptr;
    // The sink's code lives in this library: it should be gone before the
    // library can be unloaded.
    std::unique_lock<std::mutex> guard(life->lock);
    if (!life->changed.wait_for(guard, sinkReleaseWait_, [&] { return life->destroyed; })) {
        TWLOG(LOG_WARN, "The WMI event sink is still referenced after the watch ended.");
    }
}

bool windows_upgrade_monitor::waitForRegistration(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(stateLock_);
    return stateChanged_.wait_for(guard, timeout, [this] { return registrationDone_; });
}

void windows_upgrade_monitor::on_process_created(const wchar_t* executablePath) {
    if (executablePath == nullptr) return;
    std::string path;
    toUtf8(executablePath, path);
    TWLOG(LOG_INFO, "Running process=" << path);

    const std::string lowered = lowerCased(path);
    const size_t slash = lowered.find_last_of('\\');
    if (slash == std::string::npos) {
        TWLOG(LOG_ERROR, "Failed to find the last slash character in " << path);
        return;
    }
    const std::string name = lowered.substr(slash + 1);
    const auto row = signers_.find(name);
    if (row == signers_.end()) {
        TWLOG(LOG_ERROR, "Failed to find certificate information for " << name);
        return;
    }
    if (!signatureMatches(executablePath, name, row->second)) {
        TWLOG(LOG_ERROR, "The digital signature of " << name << " is not from Microsoft.");
        return;
    }
    // Two setup programs may start at once on two COM threads.
    const uint32_t starts = verifiedStarts_.fetch_add(1) + 1;
    if (starts >= 2 && callback_) callback_();
}

bool windows_upgrade_monitor::signatureMatches(const wchar_t* path, const std::string& name,
                                               const ExpectedSigner& signer) {
    // Anyone can put these names on a certificate of their own making.
    LONG trust = 0;
    if (!isSignatureTrusted(path, &trust)) {
        TWLOG(LOG_WARN, "The signature of " << name << " is not trusted, error=0x" << std::hex
                                            << static_cast<unsigned long>(trust));
        return false;
    }
    return getSignerNames(path, signer.issuer, signer.subject);
}

}  // namespace PALVANE_SERVICE
