#include "palvane/shared/rollback.h"

#include <sstream>

#include "palvane/dll-api/win/service_operations.h"
#include "utils/twlogger.h"
#include "utils/win/fileTree.h"
#include "utils/win/stringconv.h"

namespace PALVANE_SERVICE {
namespace {

// How the journal lists a backup: a copy of the folder, or its absence.
constexpr char kCopied = '+';
constexpr char kMissing = '-';

bool present(const std::string& path, fileTree::Kind kind) {
    DWORD error = 0;
    return fileTree::kindOf(toWide(path), error) == kind;
}

}  // namespace

RollbackMgr::RollbackMgr(std::string path, Components components, InstallJournal& journal)
    : FileMgr(std::move(path)), components_(std::move(components)), journal_(journal) {}

RollbackMgr::~RollbackMgr() = default;

// The journal's mark for the folder, or 0 when it lists none.
char RollbackMgr::listed(const std::string& folder) const {
    std::istringstream lines(journal_.record().backups);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > 1 && line.compare(1, std::string::npos, folder) == 0) return line[0];
    }
    return 0;
}

bool RollbackMgr::copyOnce(const std::string& name, const std::string& backupName, bool& missing) {
    const char mark = listed(name);
    missing = mark == kMissing;
    if (missing || (mark == kCopied && present(basePath() + backupName, fileTree::Kind::Folder))) {
        TWLOG(LOG_INFO, basePath() + backupName << " already exists.");
        return true;
    }
    if (!present(basePath() + backupName, fileTree::Kind::Missing)) {
        TWLOG(LOG_WARN, "Discarding " << backupName << ": not a complete backup of this installation");
        if (!removeAll(backupName)) return false;
    }
    missing = !present(basePath() + name, fileTree::Kind::Folder);
    if (missing) {
        // Expected on a fresh installation; on an upgrade a component is gone.
        TWLOG(journal_.record().fresh ? LOG_INFO : LOG_WARN,
              name << " is not there; a restore removes what the installation puts there.");
        return journal_.noteBackup(kMissing + name);
    }
    return copyToNewFolder(name, backupName) && (mark == kCopied || journal_.noteBackup(kCopied + name));
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
        const char mark = listed(name);
        if (mark == 0) continue;
        TWLOG(LOG_INFO, "Resuming backup folder " << name << kBackupSuffix);
        backups_.push_back({name, name + kBackupSuffix, mark == kMissing});
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
    for (const auto& backup : backups_) ok = removeAll(backup.backupName) && ok;
    return ok;
}

}  // namespace PALVANE_SERVICE
