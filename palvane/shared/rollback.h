// Copies of the installed components' folders kept while an installation runs:
// a failed installation puts the old files back, a successful one throws the
// copies away. One object serves one installation attempt.
//
// A copy counts only when it is complete and was made for this attempt: the
// marker file beside it ("<folder>_backup.complete", holding the attempt's
// identity) is written after the whole tree was copied and is on the disk,
// and removed before the copy is purged. A copy without a matching marker (cut
// short by a process death, or left by another attempt) is discarded, never
// restored. A folder that was not there gets a marker alone, so that a restore
// takes away what the failed installation put there.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "palvane/shared/coreParts.h"
#include "utils/win/FileMgr.h"

namespace PALVANE_SERVICE {

class RollbackMgr : public FileMgr, public IRollback {
public:
    using Components = ComponentList;

    static constexpr const char* kBackupSuffix = "_backup";
    static constexpr const char* kCompleteSuffix = ".complete";
    // Marker text after the attempt's identity for a folder that was missing.
    static constexpr const char* kMissingTag = " missing";

    // `path` is the install path (ending with a backslash); the components'
    // folders are relative to it. `attempt` names the installation attempt
    // the copies belong to.
    RollbackMgr(std::string path, Components components, std::string attempt);
    ~RollbackMgr() override;

    // Copies each component's folder to the folder's name + "_backup"; a
    // complete copy of this attempt is kept as it is, any other is replaced.
    // A missing component folder is recorded as missing; false when a present
    // folder could not be copied.
    bool backup() override;
    // Takes over this attempt's complete copies; discards any other.
    void resume() override;
    // Makes each backed-up folder hold exactly its backup's files again (and
    // removes a folder that was missing); false when any folder could not be
    // restored (the others are still restored), or when there is no backup
    // at all to restore from.
    bool restore() override;
    // Removes the backup folders; false when any could not be removed.
    bool purge() override;

private:
    struct Backup {
        std::string folder;
        std::string backupName;
        bool missing;
    };
    enum class Copy { None, Complete, Missing };

    Copy copyOf(const std::string& backupName) const;
    bool markComplete(const std::string& backupName, bool missing) const;
    bool discard(const std::string& backupName);
    bool copyOnce(const std::string& name, const std::string& backupName, bool& missing);
    bool restoreOne(const Backup& backup);

    Components components_;
    std::string attempt_;
    // One per successful backup step.
    std::list<Backup> backups_;
};

}  // namespace PALVANE_SERVICE
