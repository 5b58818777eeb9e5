#include "palvane/dll-api/win/driver_operations.h"

#include "utils/twlogger.h"
#include "utils/win/stringconv.h"
#include "utils/win/winError.h"

namespace {

constexpr const wchar_t* kInstallSection = L"DefaultInstall.NTamd64";
constexpr const wchar_t* kInstallFallbackSection = L"DefaultInstall";
constexpr const wchar_t* kServicesSection = L"DefaultInstall.NTamd64.Services";
constexpr const wchar_t* kUninstallSection = L"DefaultUninstall.NTamd64";
constexpr const wchar_t* kUninstallFallbackSection = L"DefaultUninstall";

// The default queue callback's context: created only to be handed to the
// commit, released on every way out.
class DefaultQueueContext {
public:
    DefaultQueueContext() : context_(SetupInitDefaultQueueCallback(nullptr)) {}
    ~DefaultQueueContext() {
        if (context_ != nullptr) SetupTermDefaultQueueCallback(context_);
    }
    DefaultQueueContext(const DefaultQueueContext&) = delete;
    DefaultQueueContext& operator=(const DefaultQueueContext&) = delete;
    PVOID get() const { return context_; }

private:
    PVOID context_;
};

bool fileExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool isFileErrorNotification(UINT notification) {
    return notification == SPFILENOTIFY_DELETEERROR || notification == SPFILENOTIFY_RENAMEERROR ||
           notification == SPFILENOTIFY_COPYERROR;
}

// SetupAPI asks again for media that is not where it says; "it is there" for
// a missing source file would repeat the question for ever.
bool sourceIsPresent(UINT_PTR param1) {
    const auto* media = reinterpret_cast<const SOURCE_MEDIA_W*>(param1);
    if (media == nullptr || media->SourcePath == nullptr || media->SourceFile == nullptr) return true;
    std::wstring source = media->SourcePath;
    if (!source.empty() && source.back() != L'\\') source += L'\\';
    source += media->SourceFile;
    if (GetFileAttributesW(source.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    TWLOG(LOG_ERROR, "Source file " << toUtf8(source) << " is missing");
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
}

}  // namespace

Installed_drivers::Installed_drivers(const std::string& name, const std::string& display_name,
                                     const std::string& description, const std::string& folder,
                                     const std::string& file_name)
    : Installed_services(name, display_name, description, folder, file_name, 0) {}

Installed_drivers::~Installed_drivers() {
    inf_handle.reset();
    file_queue.reset();
}

UINT CALLBACK Installed_drivers::file_queue_callback(PVOID, UINT notification, UINT_PTR param1, UINT_PTR) {
    if (notification == SPFILENOTIFY_NEEDMEDIA) return sourceIsPresent(param1) ? FILEOP_DOIT : FILEOP_ABORT;
    if (!isFileErrorNotification(notification)) return FILEOP_DOIT;
    DWORD error = ERROR_CANCELLED;
    const auto* paths = reinterpret_cast<const FILEPATHS_W*>(param1);
    if (paths != nullptr) {
        error = paths->Win32Error;
        std::string target;
        if (paths->Target != nullptr) toUtf8(paths->Target, target);
        TWLOG(LOG_ERROR, "File queue operation " << notification << " failed on " << target << ", error=" << error);
    }
    SetLastError(error);
    return FILEOP_ABORT;
}

// The INF path (install path, folder, backslash, file); false, logged, when
// no such file exists.
bool Installed_drivers::infPathOf(const std::string& path, std::wstring& infPath) const {
    const std::string narrow = path + folder + "\\" + file_name;
    if (!fileExists(narrow)) {
        TWLOG(LOG_WARN, narrow << " does not exist.");
        return false;
    }
    toWide(narrow, infPath);
    return true;
}

bool Installed_drivers::openInfAndQueue(const std::wstring& infPath) {
    inf_handle.reset();
    file_queue.reset();
    inf_handle.reset(SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    if (!inf_handle) {
        winError(GetLastError()).log("SetupOpenInfFile() failed.");
        return false;
    }
    file_queue.reset(SetupOpenFileQueue());
    if (!file_queue) {
        winError(GetLastError()).log("SetupOpenFileQueue() failed.");
        return false;
    }
    return true;
}

// Queues the files of `section`, or of `fallbackSection` when the INF lacks
// the first or queuing it fails. A missing section is tested for explicitly:
// some SetupAPI versions accept one and queue nothing.
bool Installed_drivers::queueFiles(const wchar_t* section, const wchar_t* fallbackSection, const wchar_t* sourceRoot,
                                   DWORD copyFlags) {
    const bool hasSection = SetupGetLineCountW(inf_handle.get(), section) >= 0;
    if (hasSection && SetupInstallFilesFromInfSectionW(inf_handle.get(), nullptr, file_queue.get(), section,
                                                       sourceRoot, copyFlags)) {
        return true;
    }
    if (SetupInstallFilesFromInfSectionW(inf_handle.get(), nullptr, file_queue.get(), fallbackSection, sourceRoot,
                                         copyFlags)) {
        return true;
    }
    winError(GetLastError()).log("SetupInstallFilesFromInfSection() failed.");
    return false;
}

bool Installed_drivers::commitQueue() {
    DefaultQueueContext context;
    if (context.get() == nullptr) {
        winError(GetLastError()).log("SetupInitDefaultQueueCallback() failed.");
        return false;
    }
    if (!SetupCommitFileQueueW(nullptr, file_queue.get(), file_queue_callback, context.get())) {
        winError(GetLastError()).log("SetupCommitFileQueue() failed.");
        return false;
    }
    return true;
}

bool Installed_drivers::install(const std::string& path) {
    auto guard = lock();
    std::wstring infPath;
    if (!infPathOf(path, infPath)) return false;
    const size_t lastSeparator = infPath.find_last_of(L'\\');
    const std::wstring sourceRoot =
        lastSeparator == std::wstring::npos ? infPath : infPath.substr(0, lastSeparator + 1);
    if (!openInfAndQueue(infPath)) return false;
    if (!queueFiles(kInstallSection, kInstallFallbackSection, sourceRoot.c_str(), SP_COPY_NEWER)) return false;
    if (!commitQueue()) return false;
    if (!SetupInstallServicesFromInfSectionW(inf_handle.get(), kServicesSection, 0)) {
        winError(GetLastError()).log("SetupInstallServicesFromInfSection() failed.");
        return false;
    }
    setLastError(0);
    if (!reopen()) winError(lastError()).log("Failed to reopen %s", name.c_str());
    return true;
}

bool Installed_drivers::uninstall(const std::string& path) {
    auto guard = lock();
    std::wstring infPath;
    if (!infPathOf(path, infPath)) return false;
    if (!openInfAndQueue(infPath)) return false;
    if (!queueFiles(kUninstallSection, kUninstallFallbackSection, nullptr, 0)) return false;
    if (!commitQueue()) return false;
    return deleteService();
}
