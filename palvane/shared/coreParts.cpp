#include "palvane/shared/coreParts.h"

#include "utils/twlogger.h"

namespace PALVANE_SERVICE {

namespace {

// TODO(component operations): until the component table and Services are
// built in, every operation fails, so an installation is never reported as
// done while nothing was installed.
class UnavailableServiceOperations : public IServiceOperation {
public:
    bool start_service() override { return fail(-8); }
    bool stop_service() override { return fail(-10); }
    bool launch_tray() override { return fail(0); }
    bool set_tray_autorun() override { return fail(0); }
    bool kill_process(std::string& name) override {
        name += ".exe";
        return fail(-7);
    }
    int get_status() override { return status_; }
    bool remove_service() override { return fail(0); }
    bool uninstall_drivers() override { return fail(-6); }

private:
    bool fail(int status) {
        status_ = status;
        TWLOG(LOG_ERROR, "Component operations are not available.");
        return false;
    }
    int status_ = 0;
};

// TODO(rollback): until the rollback manager is built in, no folder is copied.
class NoRollback : public IRollback {
public:
    bool backup() override { return true; }
    bool restore() override { return true; }
    bool purge() override { return true; }
};

}  // namespace

ComponentList makeComponentList() { return ComponentList{}; }

std::unique_ptr<IServiceOperation> makeServiceOperations(const ComponentList&, const std::string&) {
    return std::make_unique<UnavailableServiceOperations>();
}

std::shared_ptr<IRollback> makeRollback(const std::string&, const ComponentList&) {
    return std::make_shared<NoRollback>();
}

}  // namespace PALVANE_SERVICE
