#include "palvane/shared/rollback.h"

#include "palvane/dll-api/win/service_operations.h"
#include "utils/twlogger.h"
#include "utils/win/fileTree.h"
#include "utils/win/stringconv.h"

namespace PALVANE_SERVICE {
namespace {

bool folderPresent(const std::string& path) {
    std::wstring wide;
    toWide(path, wide);
    DWORD error = 0;
    return fileTree::kindOf(wide, error) == fileTree::Kind::Folder;
}

}  // namespace

RollbackMgr::RollbackMgr(std::string path, Components components)
    : FileMgr(std::move(path)), components_(std::move(components)) {}

RollbackMgr::~RollbackMgr() = default;

bool RollbackMgr::backup() {
    bool ok = true;
    for (const auto& component : components_) {
        const std::string name = component->folder;
        const std::string backupName = name + kBackupSuffix;
        TWLOG(LOG_DEBUG, "Backup folder from " << name << " to " << backupName);
        if (createDirectories(name, backupName)) {
            backups_.emplace_back(name, backupName);
            continue;
        }
        TWLOG(LOG_WARN, "Failed to backup folder from " << name << " to " << backupName);
        // A component that is not on the machine has nothing to lose.
        if (folderPresent(basePath() + name)) ok = false;
    }
    return ok;
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
    for (const auto& entry : backups_) ok = removeAll(entry.second) && ok;
    return ok;
}

}  // namespace PALVANE_SERVICE
