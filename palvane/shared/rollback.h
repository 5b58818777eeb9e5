// Copies of the installed components' folders kept while an installation runs:
// a failed installation puts the old files back, a successful one throws the
// copies away. One object serves one installation attempt.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <utility>

#include "palvane/shared/coreParts.h"
#include "utils/win/FileMgr.h"

namespace PALVANE_SERVICE {

class RollbackMgr : public FileMgr, public IRollback {
public:
    using Components = ComponentList;

    static constexpr const char* kBackupSuffix = "_backup";

    // `path` is the install path (ending with a backslash); the components'
    // folders are relative to it.
    RollbackMgr(std::string path, Components components);
    ~RollbackMgr() override;

    // Copies each component's folder to the folder's name + "_backup". A backup
    // folder that exists already is kept as it is. A missing component folder
    // is logged and skipped; false when a present folder could not be copied.
    bool backup() override;
    // Makes each backed-up folder hold exactly its backup's files again; false
    // when any folder could not be restored (the others are still restored).
    bool restore() override;
    // Removes the backup folders; false when any could not be removed.
    bool purge() override;

private:
    Components components_;
    // (folder, backup folder), one per successful backup step.
    std::list<std::pair<std::string, std::string>> backups_;
};

}  // namespace PALVANE_SERVICE
