#include "palvane/dll-api/win/extractor.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "palvane/dll-api/win/cabinetNames.h"
#include "utils/configKeys.h"
#include "utils/runtimeLibraries.h"
#include "utils/twlogger.h"
#include "utils/win/adminOnlySecurity.h"
#include "utils/win/fileGate.h"
#include "utils/win/fileTree.h"
#include "utils/win/localconfig.h"
#include "utils/win/moduleReference.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"
#include "utils/win/winError.h"

namespace PALVANE_SERVICE {
namespace {

using cabinetNames::samePath;

BOOL iterateWithSetupApi(const std::wstring& cabinet, PSP_FILE_CALLBACK_W callback, PVOID context) {
    return SetupIterateCabinetW(cabinet.c_str(), 0, callback, context);
}

// The library file the host will load.
bool isLibraryName(const std::wstring& fileName) { return runtimeLibraries::isLibraryName(toUtf8(fileName)); }

}  // namespace

cab_extractor::cab_extractor(std::string destinationFolder, std::string cabinetPath)
    : cab_extractor(std::move(destinationFolder), std::move(cabinetPath), iterateWithSetupApi) {}

cab_extractor::cab_extractor(std::string destinationFolder, std::string cabinetPath, IterateCabinet iterate)
    : cabinetW_(toWide(cabinetPath)),
      destinationW_(toWide(destinationFolder)),
      stagingW_(destinationW_ + kStagingFolder + L"\\"),
      cabinet_(std::move(cabinetPath)),
      runningModule_(ModuleReference::pathOfThisModule()),
      iterate_(std::move(iterate)) {}

cab_extractor::~cab_extractor() { delete_cabinets(); }

bool cab_extractor::extract() {
    bool ok = false;
    try {
        ok = extract_all();
    } catch (const std::exception& e) {
        TWLOG(LOG_CRIT, "Catch an exception: " << e.what());
    } catch (...) {
        TWLOG(LOG_CRIT, "Catch an exception: unknown");
    }
    held_.release();
    return ok;
}

bool cab_extractor::extract_all() {
    if (!hold_cabinet() || !iterate(cabinetW_, 0, cabinet_)) return false;
    // Entries appended while walking are walked too (std::list keeps the
    // iterator valid).
    for (auto it = nested_.begin(); it != nested_.end(); ++it) {
        if (!extract_nested(*it)) return false;
    }
    TWLOG(LOG_INFO, "Sucessfully extract " << cabinet_);
    return true;
}

// The digest is checked right before the walk, through the handle that keeps
// the cabinet as it is until the walk has ended.
bool cab_extractor::hold_cabinet() {
    if (!held_.hold(cabinetW_)) {
        winError(GetLastError()).log("Failed to extract %s", cabinet_.c_str());
        return false;
    }
    if (expectedDigest_.empty()) return true;
    const std::string digest = held_.digest();
    if (digest == expectedDigest_) return true;
    TWLOG(LOG_ERROR, "The cabinet " << cabinet_ << " is not the one checked: computed " << digest << " expected "
                                    << expectedDigest_);
    return false;
}

// Made afresh by each extraction: a folder of that name that was there
// already (which anybody may have made) is removed, never used.
bool cab_extractor::make_staging() {
    if (stagingMade_) return true;
    AdminOnlySecurity security(AdminOnlySecurity::Scope::Tree);
    stagingMade_ = fileTree::removeTree(stagingW_) && security.attributes() != nullptr &&
                   fileGate::allows(fileGate::Op::CreateFolder, stagingW_) &&
                   CreateDirectoryW(stagingW_.c_str(), security.attributes());
    if (!stagingMade_) TWLOG(LOG_ERROR, "Failed to create folder " << toUtf8(stagingW_));
    return stagingMade_;
}

bool cab_extractor::iterate(const std::wstring& cabinet, unsigned depth, const std::string& name) {
    aborted_ = false;
    abortError_ = 0;
    currentDepth_ = depth;
    BOOL ok = iterate_(cabinet, &cab_extractor::cabinet_callback, this);
    DWORD error = ok ? 0 : GetLastError();
    if (aborted_) {
        ok = FALSE;
        error = abortError_;
    }
    // Some SetupAPI implementations fail on a damaged cabinet without an error
    // code, which would read as "success" in the log.
    if (!ok && error == NO_ERROR) error = ERROR_INVALID_DATA;
    if (!ok) winError(error).log("Failed to extract %s", name.c_str());
    return ok != FALSE;
}

bool cab_extractor::extract_nested(const NestedCabinet& nested) {
    const std::string name = toUtf8(nested.path);
    if (nested.depth > kMaxNestingDepth) {
        TWLOG(LOG_ERROR, "Cabinets nested too deep, not extracting " << name);
        return false;
    }
    const SubCabinet kind = check_sub_cab(nested.path);
    if (kind == SubCabinet::Skip) {
        TWLOG(LOG_INFO, "Don't extract " << name);
        return true;
    }
    TWLOG(LOG_INFO, "Starting extract " << name);
    libraryCabinetActive_ = (kind == SubCabinet::UnpackLibrary);
    libraryFile_.clear();
    const bool ok = iterate(nested.path, nested.depth, name);
    libraryCabinetActive_ = false;
    return ok && (kind != SubCabinet::UnpackLibrary || place_library(configKeys::PALVANE_LIBRARY_FOLDER));
}

UINT CALLBACK cab_extractor::cabinet_callback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2) {
    auto* self = static_cast<cab_extractor*>(context);
    if (self == nullptr) return FILEOP_ABORT;
    try {
        return self->on_notification(notification, param1, param2);
    } catch (const std::exception& e) {
        TWLOG(LOG_CRIT, "Catch an exception: " << e.what());
    } catch (...) {
        TWLOG(LOG_CRIT, "Catch an exception: unknown");
    }
    const UINT abort = self->abort_with(ERROR_INTERNAL_ERROR);
    // After a file, only a non-zero answer stops the walk.
    return notification == SPFILENOTIFY_FILEEXTRACTED ? static_cast<UINT>(ERROR_INTERNAL_ERROR) : abort;
}

UINT cab_extractor::on_notification(UINT notification, UINT_PTR param1, UINT_PTR param2) {
    switch (notification) {
        case SPFILENOTIFY_FILEINCABINET:
            return extract_file(*reinterpret_cast<FILE_IN_CABINET_INFO_W*>(param1),
                                reinterpret_cast<const wchar_t*>(param2));
        case SPFILENOTIFY_FILEEXTRACTED:
            return add_sub_cab(*reinterpret_cast<const FILEPATHS_W*>(param1));
        default:
            return NO_ERROR;
    }
}

UINT cab_extractor::abort_with(DWORD error) {
    if (!aborted_) {
        aborted_ = true;
        abortError_ = error;
    }
    SetLastError(abortError_);
    return FILEOP_ABORT;
}

// Nested cabinets and the library to be placed go to the staging folder,
// every other file to the destination.
UINT cab_extractor::extract_file(FILE_IN_CABINET_INFO_W& info, const wchar_t* cabinet) {
    if (aborted_) return abort_with(abortError_);
    const std::wstring name = info.NameInCabinet ? info.NameInCabinet : L"";
    const std::wstring cabinetPath = cabinet ? cabinet : L"";
    if (!cabinetNames::isSafeNameInCabinet(name)) {
        TWLOG(LOG_ERROR, "Refusing file name " << toUtf8(name) << " in " << toUtf8(cabinetPath));
        return abort_with(ERROR_INVALID_NAME);
    }
    const bool staged = cabinetNames::hasCabinetSuffix(name) ||
                        (libraryCabinetActive_ && isLibraryName(fileTree::fileNameOf(name)));
    const std::wstring& base = staged ? stagingW_ : destinationW_;
    const DWORD error = fill_target(info, base + name, cabinetPath);
    if (error != NO_ERROR) return abort_with(error);
    if ((staged && !make_staging()) || !create_target_folders(base, name)) return abort_with(ERROR_CANNOT_MAKE);
    if (!fileGate::allows(fileGate::Op::Extract, info.FullTargetName, cabinetPath)) {
        return abort_with(GetLastError());
    }
    // Some SetupAPI implementations write over a file without truncating it,
    // leaving the tail of a longer one.
    UniqueHandle existing(CreateFileW(info.FullTargetName, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!existing && GetLastError() != ERROR_FILE_NOT_FOUND) {
        const DWORD error = GetLastError();
        TWLOG(LOG_ERROR, "Failed to replace " << toUtf8(info.FullTargetName) << ", error=" << error);
        return abort_with(error);
    }
    existing.reset();
    note_library_file(name, info.FullTargetName);
    pendingTarget_ = info.FullTargetName;
    pendingSize_ = info.FileSize;
    TWLOG(LOG_DEBUG, "Extract  " << toUtf8(info.FullTargetName) << " from " << toUtf8(cabinetPath));
    return FILEOP_DOIT;
}

// SetupAPI's target buffer holds MAX_PATH characters, terminator included.
DWORD cab_extractor::fill_target(FILE_IN_CABINET_INFO_W& info, const std::wstring& target,
                                 const std::wstring& cabinet) {
    if (target.size() >= MAX_PATH) {
        TWLOG(LOG_ERROR, "Target path too long: " << toUtf8(target) << " in " << toUtf8(cabinet));
        return ERROR_FILENAME_EXCED_RANGE;
    }
    if (samePath(target, cabinet) || samePath(target, cabinetW_)) {
        TWLOG(LOG_ERROR, "Refusing to overwrite the cabinet being read: " << toUtf8(target));
        return ERROR_SHARING_VIOLATION;
    }
    wmemcpy(info.FullTargetName, target.c_str(), target.size() + 1);
    return NO_ERROR;
}

// `base` and every folder of the name below it, outermost first.
bool cab_extractor::create_target_folders(const std::wstring& base, const std::wstring& name) {
    std::vector<std::wstring> folders{base};
    for (size_t at = name.find_first_of(L"\\/"); at != std::wstring::npos; at = name.find_first_of(L"\\/", at + 1)) {
        folders.push_back(base + name.substr(0, at + 1));
    }
    for (const auto& folder : folders) {
        DWORD error = 0;
        const fileTree::Kind kind = fileTree::kindOf(folder, error);
        if (kind == fileTree::Kind::Folder) continue;
        if (kind == fileTree::Kind::Missing) TWLOG(LOG_DEBUG, "Creating   " << toUtf8(folder));
        if (kind == fileTree::Kind::File || !fileGate::allows(fileGate::Op::CreateFolder, folder) ||
            (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)) {
            TWLOG(LOG_ERROR, "Failed to create folder " << toUtf8(folder));
            return false;
        }
    }
    return true;
}

void cab_extractor::note_library_file(const std::wstring& name, const wchar_t* target) {
    if (libraryCabinetActive_ && isLibraryName(fileTree::fileNameOf(name))) libraryFile_ = target;
}

// A file counts only once it is on the disk and as long as its cabinet says:
// a full disk may leave it short (and every later file empty) without an
// error in `Win32Error`.
UINT cab_extractor::add_sub_cab(const FILEPATHS_W& paths) {
    const std::wstring target = paths.Target ? paths.Target : L"";
    DWORD error = paths.Win32Error;
    if (error == NO_ERROR && !samePath(target, pendingTarget_)) error = ERROR_INVALID_DATA;  // not one we asked for
    if (error == NO_ERROR && !fileTree::flushWhole(target, pendingSize_)) error = GetLastError();
    pendingTarget_.clear();
    if (error != NO_ERROR) {
        TWLOG(LOG_ERROR, "Errors occurred while extracting " << toUtf8(paths.Source ? paths.Source : L"") << " to "
                                                             << toUtf8(target) << " error=" << error);
        abort_with(error);
        return error;
    }
    if (cabinetNames::hasCabinetSuffix(target)) {
        TWLOG(LOG_DEBUG, "Add subCab file " << toUtf8(target));
        nested_.push_back({target, currentDepth_ + 1});
    }
    return NO_ERROR;
}

cab_extractor::SubCabinet cab_extractor::check_sub_cab(const std::wstring& path) {
    const std::string name = toUtf8(fileTree::fileNameOf(path));
    if (name.find("palvane") == std::string::npos) return SubCabinet::Unpack;
    const size_t underscore = name.find('_');
    if (underscore == std::string::npos) {
        TWLOG(LOG_ERROR, "Failed to find '_': invalid file name format of the cab file.");
        return SubCabinet::Skip;
    }
    const size_t suffix = name.size() - 4;  // nested cabinets end in ".cab"
    if (suffix <= underscore + 1) {
        TWLOG(LOG_ERROR, "Failed to find '.cab': invalid file name format of the cab file.");
        return SubCabinet::Skip;
    }
    const std::string version = name.substr(underscore + 1, suffix - underscore - 1);
    std::string installed;
    if (!localConfig(true).getString(configKeys::DLL_VERSION, installed)) {
        TWLOG(LOG_WARN, "Failed to read the version of the installed palvane dll.");
        return SubCabinet::Skip;
    }
    if (installed == version) {
        TWLOG(LOG_WARN, "Don't upgrade palvane DLL, installed version=" << installed << " cab file version=" << version);
        return SubCabinet::Skip;
    }
    TWLOG(LOG_INFO, "Update palvane DLL to version=" << version);
    pendingVersion_ = version;
    return SubCabinet::UnpackLibrary;
}

// The version is recorded and the hand-over requested only once the library
// really lies in the library folder; a library that could not be placed
// leaves the runtime as it is. A file of its name there (one an installation
// that did not hand over left) is replaced whole at once, never the library
// that runs or the one the host falls back to.
bool cab_extractor::place_library(const std::string& folderName) {
    if (libraryFile_.empty()) {
        TWLOG(LOG_ERROR, "No palvane library found in the cab file of version " << pendingVersion_);
        return false;
    }
    const std::wstring folder = destinationW_ + toWide(folderName);
    DWORD error = 0;
    if (!fileTree::createFolders(folder, error, AdminOnlySecurity(AdminOnlySecurity::Scope::Tree).attributes())) {
        winError(error).log("Failed to create folder %s", toUtf8(folder).c_str());
        return false;
    }
    const std::wstring placed = fileTree::join(folder, fileTree::fileNameOf(libraryFile_));
    std::string proved;
    if (!localConfig(true).getString(configKeys::DLL_PROVED, proved)) proved.clear();
    if (samePath(placed, runningModule_) || samePath(placed, toWide(proved))) {
        TWLOG(LOG_ERROR, "Failed to place palvane DLL " << toUtf8(placed) << ": a runtime library in use has its name");
        return false;
    }
    if (libraryRecord_ != nullptr && !libraryRecord_->placing(toUtf8(placed))) return false;
    if (!fileTree::moveFile(libraryFile_, placed)) {
        TWLOG(LOG_ERROR, "Failed to place palvane DLL " << toUtf8(libraryFile_) << " in " << toUtf8(folder));
        return false;
    }
    record_placed();
    newLibrary_ = true;
    return true;
}

void cab_extractor::record_placed() {
    const bool recorded = libraryRecord_ != nullptr
                              ? libraryRecord_->placed(pendingVersion_)
                              : localConfig(false).setString(configKeys::DLL_VERSION, pendingVersion_.c_str());
    if (!recorded) TWLOG(LOG_ERROR, "Failed to save dll_version " << pendingVersion_);
}

void cab_extractor::delete_cabinets() noexcept {
    if (cabinetsDeleted_) return;
    cabinetsDeleted_ = true;
    const auto remove = [](const std::wstring& path) {
        if (!fileTree::removeTree(path)) winError(GetLastError()).log("Failed to delete %s", toUtf8(path).c_str());
    };
    try {
        held_.release();
        remove(cabinetW_);
        // The nested cabinets and a library that was not placed are all in it.
        if (stagingMade_) remove(stagingW_);
    } catch (...) {
        // Nothing may leave a destructor; the files stay behind.
    }
}

}  // namespace PALVANE_SERVICE
