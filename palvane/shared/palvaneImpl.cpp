#include "palvane/shared/palvaneImpl.h"

#include <exception>
#include <new>
#include <utility>

#include "palvane/shared/softwareSrvc.h"
#include "utils/twlogger.h"

namespace PALVANE_SERVICE {

namespace {

template <typename Operation>
void guarded(const char* what, Operation operation) {
    try {
        operation();
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, what << ": Catch exception: " << error.what());
    } catch (...) {
        TWLOG(LOG_ERROR, what << ": Catch exception: unknown exception");
    }
}

}  // namespace

// A core that cannot be built (no memory, no service control manager) leaves
// an object that does nothing; the host then runs without updates instead of
// failing.
PalvaneImpl::PalvaneImpl() {
    guarded("PalvaneImpl", [this] { service_.reset(new (std::nothrow) PalvaneService()); });
    if (!service_) TWLOG(LOG_ERROR, "Failed to allocate  softwareService");
}

PalvaneImpl::~PalvaneImpl() {
    TWLOG(LOG_DEBUG, "SoftwareServcIMpl ::~SoftwareServcIMpl()");
    // The core's destructor catches and logs whatever its teardown throws.
    service_.reset();
}

// A runtime without its core does nothing: the host must not keep it.
void PalvaneImpl::StartMonitoring(ReloadCallback callback) {
    TWLOG(LOG_DEBUG, "SoftwareServcIMpl::StartMonitoring()");
    if (!service_) {
        guarded("StartMonitoring", [] { recordFailedStart(*makeMachineSettingsStore()); });
        return;
    }
    guarded("StartMonitoring", [&] { service_->start(callback); });
}

void PalvaneImpl::StopMonitoring() {
    TWLOG(LOG_DEBUG, "SoftwareServcIMpl::StopMonitoring()");
    if (!service_) return;
    guarded("StopMonitoring", [this] { service_->stop(); });
}

bool PalvaneImpl::RemoveInstalledService() {
    TWLOG(LOG_DEBUG, "SoftwareServcIMpl::RemoveInstalledService()");
    if (!service_) return false;
    bool removed = false;
    guarded("RemoveInstalledService", [&] { removed = service_->remove_services(); });
    return removed;
}

}  // namespace PALVANE_SERVICE
