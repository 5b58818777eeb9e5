// The parts of the machine that the service core acts on through interfaces:
// the managed component table with its operations, and the backups of the
// component folders. The production builders are here, in one place.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "palvane/shared/IServiceOperation.h"

class Installed_services;

namespace PALVANE_SERVICE {

class InstallJournal;

using ComponentList = std::list<std::shared_ptr<Installed_services>>;

// Copies of the component folders taken before an installation, put back
// when it fails and thrown away when it succeeds. Each copy belongs to one
// installation attempt and counts only once the attempt's journal lists it.
class IRollback {
public:
    // Takes a complete copy of each folder (a copy the journal lists is kept
    // as it is); false when a present folder could not be copied.
    virtual bool backup() = 0;
    // Takes over the copies the journal lists, without touching any file.
    virtual void resume() = 0;
    virtual bool restore() = 0;
    virtual bool purge() = 0;
    virtual ~IRollback() = default;
};

ComponentList makeComponentList();
std::unique_ptr<IServiceOperation> makeServiceOperations(const ComponentList& components, const std::string& path);
std::shared_ptr<IRollback> makeRollback(const std::string& path, const ComponentList& components,
                                        InstallJournal& journal);

}  // namespace PALVANE_SERVICE
