#include "palvane/shared/palvaneIpc.h"

#include <string>
#include <utility>

#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"

namespace PALVANE_SERVICE {

PalvaneServer::PalvaneServer(I_SoftwareManagerIpcListener* listener, PortOwnerFinder findOwner)
    : IpcServer(std::move(findOwner)), listener_(listener) {
    localConfig(false).setString(configKeys::IPC_PALVANE_PORT, std::to_string(listeningPort()).c_str());
}

PalvaneServer::~PalvaneServer() {
    localConfig(false).deleteValue(configKeys::IPC_PALVANE_PORT);
    shutdown();
}

void PalvaneServer::onConnect(IIpcEndpoint* endpoint) {
    endpoint->sendMessage(status_);
    ++peers_;
    if (listener_ != nullptr) listener_->onIpcReady(true);
}

// The bus stays reachable while any agent process is still connected.
void PalvaneServer::onDisconnect(IIpcEndpoint* endpoint) {
    if (peers_ > 0) --peers_;
    if (peers_ == 0 && listener_ != nullptr) listener_->onIpcReady(false);
    removeEndpoint(endpoint);
}

void PalvaneServer::onRequestLogLevelChange(const IpcRequestLogLevel& message) {
    TWLOG(LOG_INFO, "softwareManagerIpc::onRequestLogLevelChange.");
    if (message.level != -1 && listener_ != nullptr) listener_->onLogLevelChange(message.level);
}

}  // namespace PALVANE_SERVICE
