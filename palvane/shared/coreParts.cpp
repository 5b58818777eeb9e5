#include "palvane/shared/coreParts.h"

#include "palvane/dll-api/win/service.h"
#include "palvane/shared/rollback.h"

namespace PALVANE_SERVICE {

ComponentList makeComponentList() { return get_installed_services(); }

std::unique_ptr<IServiceOperation> makeServiceOperations(const ComponentList& components, const std::string& path) {
    return std::make_unique<Services>(components, path);
}

std::shared_ptr<IRollback> makeRollback(const std::string& path, const ComponentList& components,
                                        InstallJournal& journal) {
    return std::make_shared<RollbackMgr>(path, components, journal);
}

}  // namespace PALVANE_SERVICE
