#include "palvane/dll-api/win/extractor.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "palvane/dll-api/win/cabinetNames.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/adminOnlySecurity.h"
#include "utils/win/FileMgr.h"
#include "utils/win/fileGate.h"
#include "utils/win/fileTree.h"
#include "utils/win/localconfig.h"
#include "utils/win/stringconv.h"
#include "utils/win/winError.h"

namespace PALVANE_SERVICE {
namespace {

using cabinetNames::samePath;

BOOL iterateWithSetupApi(const std::wstring& cabinet, PSP_FILE_CALLBACK_W callback, PVOID context) {
    return SetupIterateCabinetW(cabinet.c_str(), 0, callback, context);
}

// The library file the host will load: a DLL whose own name holds "palvane".
bool isLibraryName(const std::wstring& fileName) {
    return fileName.find(L"palvane") != std::wstring::npos && fileName.find(L".dll") != std::wstring::npos;
}

}  // namespace

cab_extractor::cab_extractor(std::string destinationFolder, std::string cabinetPath)
    : cab_extractor(std::move(destinationFolder), std::move(cabinetPath), iterateWithSetupApi) {}

cab_extractor::cab_extractor(std::string destinationFolder, std::string cabinetPath, IterateCabinet iterate)
    : cabinetW_(toWide(cabinetPath)),
      destinationW_(toWide(destinationFolder)),
      cabinet_(std::move(cabinetPath)),
      iterate_(std::move(iterate)) {}

cab_extractor::~cab_extractor() { delete_cabinets(); }

bool cab_extractor::extract() {
    try {
        return extract_all();
    } catch (const std::exception& e) {
        TWLOG(LOG_CRIT, "Catch an exception: " << e.what());
    } catch (...) {
        TWLOG(LOG_CRIT, "Catch an exception: unknown");
    }
    return false;
}

bool cab_extractor::extract_all() {
    if (!iterate(cabinetW_, 0, cabinet_)) return false;
    // Entries appended while walking are walked too (std::list keeps the
    // iterator valid).
    for (auto it = nested_.begin(); it != nested_.end(); ++it) {
        if (!extract_nested(*it)) return false;
    }
    if (!flush_extracted()) return false;
    TWLOG(LOG_INFO, "Sucessfully extract " << cabinet_);
    return true;
}

// What vouches for the files (the stage "extracted") must not outlive them
// in a power cut. Nested cabinets are deleted and a placed library was moved
// (and flushed there), so only what is still in place is flushed.
bool cab_extractor::flush_extracted() {
    for (const auto& file : extracted_) {
        DWORD error = 0;
        if (cabinetNames::hasCabinetSuffix(file) || fileTree::kindOf(file, error) != fileTree::Kind::File) continue;
        if (!fileTree::flushFile(file)) return false;
    }
    return true;
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
    if (ok && kind == SubCabinet::UnpackLibrary) place_library(configKeys::PALVANE_LIBRARY_FOLDER);
    return ok;
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

UINT cab_extractor::extract_file(FILE_IN_CABINET_INFO_W& info, const wchar_t* cabinet) {
    if (aborted_) return abort_with(abortError_);
    const std::wstring name = info.NameInCabinet ? info.NameInCabinet : L"";
    const std::wstring cabinetPath = cabinet ? cabinet : L"";
    if (!cabinetNames::isSafeNameInCabinet(name)) {
        TWLOG(LOG_ERROR, "Refusing file name " << toUtf8(name) << " in " << toUtf8(cabinetPath));
        return abort_with(ERROR_INVALID_NAME);
    }
    const DWORD error = fill_target(info, name, cabinetPath);
    if (error != NO_ERROR) return abort_with(error);
    if (!create_target_folders(name)) return abort_with(ERROR_CANNOT_MAKE);
    if (!fileGate::allows(fileGate::Op::Extract, info.FullTargetName, cabinetPath)) {
        return abort_with(GetLastError());
    }
    note_library_file(name, info.FullTargetName);
    TWLOG(LOG_DEBUG, "Extract  " << toUtf8(info.FullTargetName) << " from " << toUtf8(cabinetPath));
    return FILEOP_DOIT;
}

// SetupAPI's target buffer holds MAX_PATH characters, terminator included.
DWORD cab_extractor::fill_target(FILE_IN_CABINET_INFO_W& info, const std::wstring& name, const std::wstring& cabinet) {
    const std::wstring target = destinationW_ + name;
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

// The destination and every folder of the name below it, outermost first.
bool cab_extractor::create_target_folders(const std::wstring& name) {
    std::vector<std::wstring> folders{destinationW_};
    for (size_t at = name.find_first_of(L"\\/"); at != std::wstring::npos; at = name.find_first_of(L"\\/", at + 1)) {
        folders.push_back(destinationW_ + name.substr(0, at + 1));
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

UINT cab_extractor::add_sub_cab(const FILEPATHS_W& paths) {
    const std::wstring target = paths.Target ? paths.Target : L"";
    if (paths.Win32Error != 0) {
        TWLOG(LOG_ERROR, "Errors occurred while extracting " << toUtf8(paths.Source ? paths.Source : L"") << " to "
                                                             << toUtf8(target) << " error=" << paths.Win32Error);
        abort_with(paths.Win32Error);
        return paths.Win32Error;
    }
    extracted_.push_back(target);
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
// leaves the runtime as it is.
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
    if (libraryRecord_ != nullptr && !libraryRecord_->placing(toUtf8(placed))) return false;
    if (!samePath(placed, libraryFile_) && !FileMgr("").copyFile(libraryFile_, folder)) {
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
        return fileGate::allows(fileGate::Op::Delete, path) && DeleteFileW(path.c_str());
    };
    try {
        if (!remove(cabinetW_)) winError(GetLastError()).log("Failed to delete %s", cabinet_.c_str());
        for (auto it = nested_.begin(); it != nested_.end(); ++it) {
            const auto& nested = *it;
            // The same nested cabinet may have been unpacked more than once.
            const auto earlier = std::find_if(nested_.begin(), it, [&](const NestedCabinet& other) {
                return samePath(other.path, nested.path);
            });
            if (earlier != it) continue;
            if (!remove(nested.path)) {
                winError(GetLastError()).log("Failed to delete %s", toUtf8(nested.path).c_str());
            }
        }
    } catch (...) {
        // Nothing may leave a destructor; the files stay behind.
    }
}

}  // namespace PALVANE_SERVICE
