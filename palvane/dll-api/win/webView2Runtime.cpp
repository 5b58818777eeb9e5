#include "palvane/dll-api/win/webView2Runtime.h"

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include "utils/twlogger.h"
#include "utils/win/localconfig.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"
#include "utils/win/verifySignature.h"

namespace PALVANE_SERVICE {

namespace {

std::string utf8(const std::wstring& text) {
    std::string result;
    toUtf8(text, result);
    return result;
}

void freeCoTaskMemory(wchar_t* memory) noexcept { CoTaskMemFree(memory); }
using UniqueCoTaskString = ScopedHandle<NullHandleTraits<wchar_t*, freeCoTaskMemory>>;

// A version the vendor's updater leaves behind after an uninstallation.
bool isInstalledVersion(const std::string& version) { return !version.empty() && version != "0.0.0.0"; }

}  // namespace

webView2Runtime::webView2Runtime() : webView2Runtime(WebView2Source()) {}

webView2Runtime::webView2Runtime(WebView2Source source) : source_(std::move(source)), download_(source_.fetch) {}

webView2Runtime::~webView2Runtime() {
    stop();
    deleteInstaller();
}

bool webView2Runtime::versionKeyPresent(HKEY root, const char* subkey) {
    regKeyPair key;
    key.open(root, subkey, regKeyPair::kDefaultView);
    if (key.key1 == nullptr) return false;
    std::string version;
    return key.readValue(kVersionValue, version, regKeyPair::kDefaultView) && isInstalledVersion(version);
}

bool webView2Runtime::is_installed() {
    if (versionKeyPresent(HKEY_CURRENT_USER, kUserClientKey)) return true;
    if (versionKeyPresent(HKEY_LOCAL_MACHINE, kMachineClientKey)) return true;
    TWLOG(LOG_WARN, "WebView2 runtime is not installed.");
    return false;
}

std::wstring webView2Runtime::get_temp_folder() {
    UniqueCoTaskString localAppData;
    const HRESULT result = SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, localAppData.receive());
    if (FAILED(result) || !localAppData) {
        TWLOG(LOG_ERROR, "Problem getting local appdata folder() failed, error=" << static_cast<long>(result));
        return std::wstring();
    }
    const std::wstring folder = std::wstring(localAppData.get()) + L"\\Temp";
    // KF_FLAG_CREATE makes the parent only.
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        TWLOG(LOG_ERROR, "CreateDirectory() failed, error=" << GetLastError() << " folder=" << utf8(folder));
        return std::wstring();
    }
    return folder;
}

void webView2Runtime::start_installer() {
    if (installerThread_ || stopping_) return;
    installerThread_ = std::make_unique<std::thread>(&webView2Runtime::install, this);
}

void webView2Runtime::stop() {
    stopping_ = true;
    download_.cancel();
    if (installerThread_ && installerThread_->joinable()) installerThread_->join();
    installerThread_.reset();
}

std::wstring webView2Runtime::installer_path() const {
    std::lock_guard<std::mutex> guard(pathLock_);
    return installerPath_;
}

void webView2Runtime::install() {
    attempt();
    finished_ = true;
}

void webView2Runtime::attempt() {
    const std::wstring folder = source_.folder ? source_.folder() : get_temp_folder();
    if (folder.empty()) {
        TWLOG(LOG_ERROR, "Failed to get temp folder.");
        return;
    }
    const std::wstring path = folder + L"\\" + kInstallerName;
    {
        std::lock_guard<std::mutex> guard(pathLock_);
        installerPath_ = path;
    }
    // The shell wants COM on the thread that asks it to start a program.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE);
    if (download(path)) {
        if (launchVerified(path)) {
            TWLOG(LOG_INFO, "WebView2 runtime is installed successfully.");
        } else {
            TWLOG(LOG_WARN, "Failed to install WebView2 runtime.");
        }
    }
    if (SUCCEEDED(com)) CoUninitialize();
}

bool webView2Runtime::download(const std::wstring& path) {
    const HRESULT result = download_.download(source_.url, path);
    if (result == S_OK) return true;
    if (download_.cancelled()) TWLOG(LOG_INFO, "WebView2 runtime download cancelled.");
    TWLOG(LOG_ERROR, "Failed to download " << utf8(path));
    TWLOG(LOG_WARN, "Failed to download WebView2 runtime.");
    return false;
}

bool webView2Runtime::launchVerified(const std::wstring& path) {
    // Nobody may replace the file between the check and the start; the
    // loader's own read-and-execute open is still admitted.
    UniqueHandle pinned(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!pinned) {
        TWLOG(LOG_ERROR, "Failed to open " << utf8(path) << " error=" << GetLastError());
        return false;
    }
    if (!publisherTrusted(path)) return false;
    if (stopping_) return false;

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = path.c_str();
    info.lpParameters = kInstallerArguments;
    info.nShow = SW_HIDE;
    return ShellExecuteExW(&info) != FALSE;
}

bool webView2Runtime::publisherTrusted(const std::wstring& path) {
    LONG trust = 0;
    SignerRecord signer;
    if (isSignatureTrusted(path.c_str(), &trust) && getSignerInfo(path.c_str(), signer) &&
        utf8(signer.subjectName) == source_.publisher) {
        return true;
    }
    TWLOG(LOG_ERROR, "The WebView2 bootstrapper " << utf8(path) << " is not signed by " << source_.publisher
                                                 << ", error=0x" << std::hex << static_cast<unsigned long>(trust));
    return false;
}

void webView2Runtime::deleteInstaller() {
    const std::wstring path = installer_path();
    if (path.empty()) return;
    // A bootstrapper that was never downloaded is not there to delete.
    if (!DeleteFileW(path.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            TWLOG(LOG_ERROR, "Failed to delete " << utf8(path) << " error=" << error);
        }
    }
}

}  // namespace PALVANE_SERVICE
