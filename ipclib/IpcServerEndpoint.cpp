#include "ipclib/IpcServerEndpoint.h"

#include <ws2tcpip.h>

#include <stdexcept>
#include <utility>

#include "ipclib/IpcConnectedEndpoint.h"
#include "utils/twlogger.h"

namespace {

[[noreturn]] void failListening(const char* call) {
    TWLOG(LOG_ERROR, call << " failed, error=" << WSAGetLastError());
    throw std::runtime_error(std::string(call) + " failed");
}

}  // namespace

IpcServerEndpoint::IpcServerEndpoint(IIpcRunner* runner, IIpcEndpointListener* listener, PortOwnerFinder findOwner)
    : IpcEndpoint(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), runner, listener), findOwner_(std::move(findOwner)) {
    setNonBlocking(socket_.get());
    prepareSocket(socket_.get());

    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) failListening("bind()");
    int length = sizeof(address);
    if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        failListening("getsockname()");
    port_ = ntohs(address.sin_port);
    if (::listen(socket_.get(), 5) != 0) failListening("listen()");
}

bool IpcServerEndpoint::onReadReady() {
    sockaddr_in peer = {};
    int length = sizeof(peer);
    UniqueSocket accepted(::accept(socket_.get(), reinterpret_cast<sockaddr*>(&peer), &length));
    if (!accepted) return false;
    char text[65] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
    if (!admit(accepted.get(), ntohs(peer.sin_port), text)) return false;  // closed here, before any byte moved

    auto* endpoint = new IpcConnectedEndpoint(accepted.release(), runner_, listener_, ntohs(peer.sin_port),
                                              peer.sin_family, text);
    TWLOG(LOG_DEBUG, "IPC server read ready, adding connection");
    runner_->addEndpoint(endpoint);
    if (listener_ != nullptr) listener_->onConnect(endpoint);
    return true;
}

bool IpcServerEndpoint::admit(SOCKET accepted, uint16_t peerPort, const char* peerAddress) {
    TWLOG(LOG_NOTICE, "Source port: " << peerPort << " source address: " << peerAddress);

    // Every connection takes a place in the loop's socket sets; one that does
    // not fit would never be served.
    if (!runner_->admitsEndpoint()) {
        TWLOG(LOG_WARN, "Source port: " << peerPort << " refused, too many connections.");
        return false;
    }
    if (!isPeerAgentProcess(peerPort, port_, PEER_TRAY_PROGRAM, findOwner_)) {
        TWLOG(LOG_ERROR, "Source port: " << peerPort << " is not from tarnwell process.");
        return false;
    }
    // Winsock hands the listening socket's mode on to the accepted one; the
    // read and write paths depend on it, so it is not left to chance.
    if (!setNonBlocking(accepted)) {
        TWLOG(LOG_ERROR, "Source port: " << peerPort << " refused, cannot make the socket non-blocking.");
        return false;
    }
    // Frames leave whole in one send; without Nagle a queued remainder or a
    // second frame does not wait for the peer's delayed acknowledgement either.
    const BOOL noDelay = TRUE;
    setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
    return true;
}
