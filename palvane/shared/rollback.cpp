#include "palvane/shared/rollback.h"

#include "palvane/dll-api/win/service_operations.h"
#include "utils/twlogger.h"
#include "utils/win/fileTree.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

namespace PALVANE_SERVICE {
namespace {

bool folderPresent(const std::string& path) {
    DWORD error = 0;
    return fileTree::kindOf(toWide(path), error) == fileTree::Kind::Folder;
}

// The marker holds a few dozen bytes; anything longer is not ours.
constexpr DWORD kMarkerReadLimit = 256;

std::string readSmallFile(const std::string& path) {
    UniqueHandle file(CreateFileW(toWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::string();
    char buffer[kMarkerReadLimit];
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) return std::string();
    return std::string(buffer, read);
}

// Written through to the disk: the marker must not outlive a power cut that
// the copy before it did not survive.
bool writeSmallFile(const std::string& path, const std::string& content) {
    UniqueHandle file(CreateFileW(toWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    const DWORD length = static_cast<DWORD>(content.size());
    DWORD written = 0;
    const bool ok = file && WriteFile(file.get(), content.data(), length, &written, nullptr) && written == length;
    if (!ok) fileTree::logFailure("WriteFile", GetLastError(), toWide(path));
    return ok;
}

}  // namespace

RollbackMgr::RollbackMgr(std::string path, Components components, std::string attempt)
    : FileMgr(std::move(path)), components_(std::move(components)), attempt_(std::move(attempt)) {}

RollbackMgr::~RollbackMgr() = default;

bool RollbackMgr::isComplete(const std::string& backupName) const {
    return !attempt_.empty() && folderPresent(basePath() + backupName) &&
           readSmallFile(basePath() + backupName + kCompleteSuffix) == attempt_;
}

bool RollbackMgr::markComplete(const std::string& backupName) const {
    return writeSmallFile(basePath() + backupName + kCompleteSuffix, attempt_);
}

// The marker goes first, so a removal cut short never leaves a copy that
// still counts as complete.
bool RollbackMgr::discard(const std::string& backupName) {
    const bool unmarked = fileTree::removeTree(toWide(basePath() + backupName + kCompleteSuffix));
    return unmarked && removeAll(backupName);
}

bool RollbackMgr::copyOnce(const std::string& name, const std::string& backupName) {
    if (isComplete(backupName)) {
        TWLOG(LOG_INFO, basePath() + backupName << " already exists.");
        return true;
    }
    if (folderPresent(basePath() + backupName)) {
        TWLOG(LOG_WARN, "Discarding " << backupName << ": not a complete backup of this installation");
    }
    if (!discard(backupName)) return false;
    return createDirectories(name, backupName) && markComplete(backupName);
}

bool RollbackMgr::backup() {
    bool ok = true;
    for (const auto& component : components_) {
        const std::string name = component->folder;
        const std::string backupName = name + kBackupSuffix;
        TWLOG(LOG_DEBUG, "Backup folder from " << name << " to " << backupName);
        if (copyOnce(name, backupName)) {
            backups_.emplace_back(name, backupName);
            continue;
        }
        TWLOG(LOG_WARN, "Failed to backup folder from " << name << " to " << backupName);
        // A component that is not on the machine has nothing to lose.
        if (folderPresent(basePath() + name)) ok = false;
    }
    return ok;
}

void RollbackMgr::resume() {
    for (const auto& component : components_) {
        const std::string name = component->folder;
        const std::string backupName = name + kBackupSuffix;
        if (isComplete(backupName)) {
            TWLOG(LOG_INFO, "Resuming backup folder " << backupName);
            backups_.emplace_back(name, backupName);
        } else if (folderPresent(basePath() + backupName)) {
            TWLOG(LOG_WARN, "Discarding " << backupName << ": not a complete backup of this installation");
            discard(backupName);
        }
    }
}

bool RollbackMgr::restore() {
    bool ok = true;
    for (const auto& [name, backupName] : backups_) {
        TWLOG(LOG_DEBUG, "Restore folder from " << backupName << " to " << name);
        if (copyFolder(backupName, name)) continue;
        TWLOG(LOG_WARN, "Failed to restore folder from " << backupName << " to " << name);
        ok = false;
    }
    return ok;
}

bool RollbackMgr::purge() {
    TWLOG(LOG_INFO, "Purge backup folder count= " << backups_.size());
    bool ok = true;
    for (const auto& entry : backups_) ok = discard(entry.second) && ok;
    return ok;
}

}  // namespace PALVANE_SERVICE
