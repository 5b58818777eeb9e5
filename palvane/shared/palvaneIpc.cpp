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
    startServing();
}

// A server that replaced this one has published its own port by now; the
// setting is only withdrawn while it still names this server's.
PalvaneServer::~PalvaneServer() {
    localConfig settings(false);
    std::string published;
    if (settings.getString(configKeys::IPC_PALVANE_PORT, published) && published == std::to_string(listeningPort())) {
        settings.deleteValue(configKeys::IPC_PALVANE_PORT);
    }
    shutdown();
}

// Called once the peer is registered, so the greeting is the first frame it
// gets, and whatever the core sends when told the bus is reachable follows it.
// A peer the greeting cannot reach is not reported: its broken connection is
// reported as a disconnect and removed.
void PalvaneServer::onConnect(IIpcEndpoint* endpoint) {
    if (!endpoint->sendMessage(status_)) return;
    greeted_.insert(endpoint);
    if (listener_ != nullptr) listener_->onIpcReady(true);
}

// The bus stays reachable while any greeted agent process is still connected.
void PalvaneServer::onDisconnect(IIpcEndpoint* endpoint) {
    if (greeted_.erase(endpoint) == 1 && greeted_.empty() && listener_ != nullptr) listener_->onIpcReady(false);
    removeEndpoint(endpoint);
}

// A peer may ask for more detail, but not for Debug lines in the service's
// own file: those carry what peers send, and a peer that sends enough would
// rotate the service's log away. Levels the core ignores are passed as they
// came.
void PalvaneServer::onRequestLogLevelChange(const IpcRequestLogLevel& message) {
    TWLOG(LOG_INFO, "softwareManagerIpc::onRequestLogLevelChange.");
    if (message.level == -1 || listener_ == nullptr) return;
    const bool debug = message.level > LOG_INFO && message.level <= LOG_DBLDEBUG;
    listener_->onLogLevelChange(debug ? LOG_INFO : message.level);
}

}  // namespace PALVANE_SERVICE
