// The library's root object handed to the service host: a thin shell over the
// service core. Nothing thrown inside reaches the host.
#pragma once

#include <memory>

#include "palvane/shared/Ipalvane.h"

namespace PALVANE_SERVICE {

class PalvaneService;

class PalvaneImpl final : public Ipalvane {
public:
    PalvaneImpl();
    // Not virtual: only Destructor frees the object, through this type.
    ~PalvaneImpl();

    PalvaneImpl(const PalvaneImpl&) = delete;
    PalvaneImpl& operator=(const PalvaneImpl&) = delete;

    void StartMonitoring(ReloadCallback callback) override;
    void StopMonitoring() override;
    bool RemoveInstalledService() override;

    // Null when the core could not be created.
    PalvaneService* core() const { return service_.get(); }

private:
    std::unique_ptr<PalvaneService> service_;
};

}  // namespace PALVANE_SERVICE
