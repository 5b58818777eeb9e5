#include "ipclib/IpcServer.h"

#include <memory>
#include <utility>

#include "ipclib/IpcServerEndpoint.h"
#include "utils/twlogger.h"

IpcServer::IpcServer(PortOwnerFinder findOwner, size_t maxEndpoints)
    : IpcMaster(maxEndpoints),
      rebroadcasts_([this](const std::string& body, const char* typeName) { return broadcastBody(body, typeName); }) {
    listening_ = std::make_unique<IpcServerEndpoint>(this, static_cast<IIpcEndpointListener*>(this),
                                                     std::move(findOwner));
    port_ = listening_->port();
}

IpcServer::~IpcServer() { shutdown(); }

// Connections made before this wait in the listening socket's backlog.
void IpcServer::startServing() {
    if (listening_) addEndpoint(listening_.release());
}

size_t IpcServer::heldBytes() { return sendBudget().used() + rebroadcasts_.heldBytes(); }

void IpcServer::shutdown() {
    rebroadcasts_.stop();
    stopLoop();
}

void IpcServer::onMessage(IIpcEndpoint*, const std::string& body) { dispatchMessage(body); }

void IpcServer::onDisconnect(IIpcEndpoint* endpoint) { removeEndpoint(endpoint); }

// Re-serialised and parsed again, so only a whole message root travels on;
// the worker gets the text that every peer is sent.
void IpcServer::onRebroadcast(const IpcRebroadcastMessage& message) {
    std::unique_ptr<IIpcMessage> inner;
    if (!createMessage(fastWriterText(message.value()), inner)) return;
    std::string body;
    if (!serializeIpcMessage(*inner, body)) {
        TWLOG(LOG_ERROR, "Failed to send " << inner->typeName());
        return;
    }
    rebroadcasts_.post(std::move(body), inner->typeName());
}
