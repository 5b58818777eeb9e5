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

}  // namespace

RollbackMgr::RollbackMgr(std::string path, Components components, std::string attempt)
    : FileMgr(std::move(path)), components_(std::move(components)), attempt_(std::move(attempt)) {}

RollbackMgr::~RollbackMgr() = default;

RollbackMgr::Copy RollbackMgr::copyOf(const std::string& backupName) const {
    if (attempt_.empty()) return Copy::None;
    const std::string marker = readSmallFile(basePath() + backupName + kCompleteSuffix);
    if (marker == attempt_ + kMissingTag) return Copy::Missing;
    return marker == attempt_ && folderPresent(basePath() + backupName) ? Copy::Complete : Copy::None;
}

// The copy it vouches for is on the disk already (every copied file is
// flushed), and the marker itself is written through.
bool RollbackMgr::markComplete(const std::string& backupName, bool missing) const {
    return fileTree::writeFile(toWide(basePath() + backupName + kCompleteSuffix),
                               missing ? attempt_ + kMissingTag : attempt_);
}

// The marker goes first, so a removal cut short never leaves a copy that
// still counts as complete.
bool RollbackMgr::discard(const std::string& backupName) {
    const bool unmarked = fileTree::removeTree(toWide(basePath() + backupName + kCompleteSuffix));
    return unmarked && removeAll(backupName);
}

bool RollbackMgr::copyOnce(const std::string& name, const std::string& backupName, bool& missing) {
    const Copy existing = copyOf(backupName);
    missing = existing == Copy::Missing;
    if (existing != Copy::None) {
        TWLOG(LOG_INFO, basePath() + backupName << " already exists.");
        return true;
    }
    if (folderPresent(basePath() + backupName)) {
        TWLOG(LOG_WARN, "Discarding " << backupName << ": not a complete backup of this installation");
    }
    if (!discard(backupName)) return false;
    missing = !folderPresent(basePath() + name);
    if (missing) {
        TWLOG(LOG_WARN, name << " is not there; a restore removes what the installation puts there.");
        return markComplete(backupName, true);
    }
    return createDirectories(name, backupName) && markComplete(backupName, false);
}

bool RollbackMgr::backup() {
    bool ok = true;
    for (const auto& component : components_) {
        const std::string name = component->folder;
        const std::string backupName = name + kBackupSuffix;
        TWLOG(LOG_DEBUG, "Backup folder from " << name << " to " << backupName);
        bool missing = false;
        if (copyOnce(name, backupName, missing)) {
            backups_.push_back({name, backupName, missing});
            continue;
        }
        TWLOG(LOG_WARN, "Failed to backup folder from " << name << " to " << backupName);
        ok = false;
    }
    return ok;
}

void RollbackMgr::resume() {
    for (const auto& component : components_) {
        const std::string name = component->folder;
        const std::string backupName = name + kBackupSuffix;
        const Copy copy = copyOf(backupName);
        if (copy != Copy::None) {
            TWLOG(LOG_INFO, "Resuming backup folder " << backupName);
            backups_.push_back({name, backupName, copy == Copy::Missing});
        } else if (folderPresent(basePath() + backupName)) {
            TWLOG(LOG_WARN, "Discarding " << backupName << ": not a complete backup of this installation");
            discard(backupName);
        }
    }
}

bool RollbackMgr::restoreOne(const Backup& backup) {
    if (backup.missing) {
        TWLOG(LOG_DEBUG, "Remove folder " << backup.folder << ", which was not there before");
        return removeAll(backup.folder);
    }
    TWLOG(LOG_DEBUG, "Restore folder from " << backup.backupName << " to " << backup.folder);
    return copyFolder(backup.backupName, backup.folder);
}

bool RollbackMgr::restore() {
    if (backups_.empty()) {
        TWLOG(LOG_ERROR, "No complete backup of this installation is left to restore from.");
        return false;
    }
    bool ok = true;
    for (const auto& backup : backups_) {
        if (restoreOne(backup)) continue;
        TWLOG(LOG_WARN, "Failed to restore folder from " << backup.backupName << " to " << backup.folder);
        ok = false;
    }
    return ok;
}

bool RollbackMgr::purge() {
    TWLOG(LOG_INFO, "Purge backup folder count= " << backups_.size());
    bool ok = true;
    for (const auto& backup : backups_) ok = discard(backup.backupName) && ok;
    return ok;
}

}  // namespace PALVANE_SERVICE
