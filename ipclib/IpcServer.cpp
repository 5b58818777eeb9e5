#include "ipclib/IpcServer.h"

#include <memory>
#include <utility>

#include "ipclib/IpcConnectedEndpoint.h"
#include "ipclib/IpcServerEndpoint.h"
#include "utils/twlogger.h"

IpcServer::IpcServer(PortOwnerFinder findOwner, IpcLimits limits)
    : IpcMaster(limits),
      rebroadcasts_([this](const std::string& body, const char* typeName) {
          const bool sent = broadcastBody(body, typeName);
          awaitReaders(kRebroadcastPace);
          return sent;
      }) {
    listening_ = std::make_unique<IpcServerEndpoint>(this, static_cast<IIpcEndpointListener*>(this),
                                                     std::move(findOwner));
    port_ = listening_->port();
}

IpcServer::~IpcServer() { shutdown(); }

// Connections made before this wait in the listening socket's backlog.
void IpcServer::startServing() {
    if (listening_) addEndpoint(listening_.release());
}

size_t IpcServer::heldBytes() { return budget().used() + rebroadcasts_.heldBytes(); }

// The stop is set before anything is joined: a broadcast under way, or a
// loop pass, ends at its next endpoint instead of holding the join.
void IpcServer::shutdown() {
    requestStop();
    rebroadcasts_.stop();
    stopLoop();
}

void IpcServer::onMessage(IIpcEndpoint*, const std::string& body) { dispatchMessage(body); }

void IpcServer::onDisconnect(IIpcEndpoint* endpoint) { removeEndpoint(endpoint); }

// Read as a message from the value already parsed, so only a whole message
// root travels on; the worker gets the text that every peer is sent. A run of
// oversized ones is logged once.
void IpcServer::onRebroadcast(const IpcRebroadcastMessage& message) {
    std::unique_ptr<IIpcMessage> inner;
    if (!createMessage(message.value(), inner)) return;
    std::string body;
    if (!serializeIpcMessage(*inner, body)) {
        TWLOG(LOG_ERROR, "Failed to send " << inner->typeName());
        return;
    }
    const bool oversized = body.size() > IpcConnectedEndpoint::kMaxFrameLength;
    if (oversized && !droppingOversized_) {
        TWLOG(LOG_WARN, "Rebroadcast of " << inner->typeName() << " dropped: its body of " << body.size()
                                          << " bytes exceeds the frame limit of "
                                          << IpcConnectedEndpoint::kMaxFrameLength << ".");
    }
    droppingOversized_ = oversized;
    if (!oversized) rebroadcasts_.post(std::move(body), inner->typeName());
}
