// Copies of the installed components' folders kept while an installation runs:
// a failed installation puts the old files back, a successful one throws the
// copies away. One object serves one installation attempt.
//
// A copy counts only when this attempt made it and it is complete: each
// backup folder is created anew, closed to everyone but administrators, and
// entered in the installation's journal (itself only administrators can
// change) once the whole tree is copied and on the disk. A folder of that
// name that the journal does not list (cut short by a process death, left by
// another attempt, or put there by anybody else) is discarded, never used.
// A folder that was not there is listed as missing, so that a restore takes
// away what the failed installation put there.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "palvane/shared/coreParts.h"
#include "palvane/shared/installJournal.h"
#include "utils/win/FileMgr.h"

namespace PALVANE_SERVICE {

class RollbackMgr : public FileMgr, public IRollback {
public:
    using Components = ComponentList;

    static constexpr const char* kBackupSuffix = "_backup";

    // `path` is the install path (ending with a backslash); the components'
    // folders are relative to it. `journal` lists the attempt's backups.
    RollbackMgr(std::string path, Components components, InstallJournal& journal);
    ~RollbackMgr() override;

    // Copies each component's folder to the folder's name + "_backup"; a
    // copy the journal lists is kept as it is, any other is replaced. A
    // missing component folder is listed as missing; false when a present
    // folder could not be copied.
    bool backup() override;
    // Takes over the copies the journal lists; touches no file.
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

    char listed(const std::string& folder) const;
    bool copyOnce(const std::string& name, const std::string& backupName, bool& missing);
    bool restoreOne(const Backup& backup);

    Components components_;
    InstallJournal& journal_;
    // One per successful backup step.
    std::list<Backup> backups_;
};

}  // namespace PALVANE_SERVICE
