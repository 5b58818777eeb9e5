#include "palvane/shared/coreParts.h"

#include "palvane/dll-api/win/service.h"
#include "utils/twlogger.h"

namespace PALVANE_SERVICE {

namespace {

// TODO(rollback): until the rollback manager is built in, no folder is copied.
class NoRollback : public IRollback {
public:
    bool backup() override { return true; }
    bool restore() override { return true; }
    bool purge() override { return true; }
};

}  // namespace

ComponentList makeComponentList() { return get_installed_services(); }

std::unique_ptr<IServiceOperation> makeServiceOperations(const ComponentList& components, const std::string& path) {
    return std::make_unique<Services>(components, path);
}

std::shared_ptr<IRollback> makeRollback(const std::string&, const ComponentList&) {
    return std::make_shared<NoRollback>();
}

}  // namespace PALVANE_SERVICE
