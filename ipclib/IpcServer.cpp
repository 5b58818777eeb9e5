#include "ipclib/IpcServer.h"

#include <memory>
#include <utility>

#include "ipclib/IpcServerEndpoint.h"

IpcServer::IpcServer(PortOwnerFinder findOwner, size_t maxEndpoints)
    : IpcMaster(maxEndpoints), rebroadcasts_([this](const IIpcMessage& message) { return broadcast(message); }) {
    auto listening = std::make_unique<IpcServerEndpoint>(this, static_cast<IIpcEndpointListener*>(this),
                                                         std::move(findOwner));
    port_ = listening->port();
    listening_ = listening.release();
    addEndpoint(listening_);
}

IpcServer::~IpcServer() { shutdown(); }

void IpcServer::shutdown() {
    rebroadcasts_.stop();
    stopLoop();
}

void IpcServer::onMessage(IIpcEndpoint*, const std::string& body) { dispatchMessage(body); }

void IpcServer::onDisconnect(IIpcEndpoint* endpoint) { removeEndpoint(endpoint); }

// Re-serialised and parsed again, so only a whole message root travels on.
void IpcServer::onRebroadcast(const IpcRebroadcastMessage& message) {
    std::unique_ptr<IIpcMessage> inner;
    if (!createMessage(fastWriterText(message.value()), inner)) return;
    rebroadcasts_.post(std::move(inner));
}
