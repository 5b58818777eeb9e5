#include "ipclib/IpcServerEndpoint.h"

#include <ws2tcpip.h>

#include <memory>
#include <stdexcept>
#include <string>
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
    // A blocking accept would hold the loop thread whenever a connection
    // vanishes between select and accept, until some other peer connects.
    if (socket_ && !setNonBlocking(socket_.get())) failListening("ioctlsocket()");
    prepareSocket(socket_.get());
    // Accepted sockets inherit it, so urgent data that arrives before accept
    // is already inline (see admit).
    const BOOL on = TRUE;
    if (socket_ && setsockopt(socket_.get(), SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&on),
                              sizeof(on)) != 0) {
        failListening("setsockopt(SO_OOBINLINE)");
    }

    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) failListening("bind()");
    int length = sizeof(address);
    if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        failListening("getsockname()");
    port_ = ntohs(address.sin_port);
    // Room for the trays of every session connecting at once.
    if (::listen(socket_.get(), SOMAXCONN) != 0) failListening("listen()");
}

// Both answers come from one look at the clock, so the loop never leaves the
// socket out of its sets without a time to come back.
bool IpcServerEndpoint::wantRead() {
    acceptPaused_ = std::chrono::steady_clock::now() < acceptPausedUntil_;
    return !acceptPaused_;
}

std::chrono::steady_clock::time_point IpcServerEndpoint::resumeAt() const {
    return acceptPaused_ ? acceptPausedUntil_ : std::chrono::steady_clock::time_point::max();
}

SOCKET IpcServerEndpoint::acceptConnection(sockaddr_in& peer) {
    int length = sizeof(peer);
    return ::accept(socket_.get(), reinterpret_cast<sockaddr*>(&peer), &length);
}

bool IpcServerEndpoint::onReadReady() {
    bool admitted = false;
    for (int i = 0; i < kAcceptsPerPass && acceptOne(admitted); ++i) {
    }
    return admitted;
}

// False once nothing more waits to be accepted.
bool IpcServerEndpoint::acceptOne(bool& admitted) {
    sockaddr_in peer = {};
    UniqueSocket accepted(acceptConnection(peer));
    if (!accepted) return onAcceptFailed(WSAGetLastError());
    acceptFailures_ = 0;
    char text[65] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
    unsigned long owner = 0;
    if (!admit(accepted.get(), ntohs(peer.sin_port), owner)) return true;  // closed here, before any byte moved
    TWLOG(LOG_NOTICE, "Source port: " << ntohs(peer.sin_port) << " source address: " << text);

    auto endpoint = std::make_unique<IpcConnectedEndpoint>(accepted.get(), runner_, listener_, ntohs(peer.sin_port),
                                                           peer.sin_family, text);
    accepted.release();
    // The listener hears of it once the loop has registered it.
    if (!runner_->addConnection(endpoint.get(), owner)) {
        refuseOverLimit(ntohs(peer.sin_port));
        return true;
    }
    TWLOG(LOG_DEBUG, "IPC server read ready, adding connection");
    endpoint.release();
    admitted = true;
    return true;
}

// A connection that vanished before it was taken, or readiness without one,
// leaves nothing behind. Anything else (no buffers, no handles) would fail
// again on every pass while the connection waits, so accepting pauses, for
// longer the more often it fails, and the first failure of a run is logged.
bool IpcServerEndpoint::onAcceptFailed(int error) {
    if (error == WSAEWOULDBLOCK || error == WSAECONNRESET) return false;
    if (acceptFailures_++ == 0) TWLOG(LOG_ERROR, "accept() failed, error=" << error);
    acceptPausedUntil_ = std::chrono::steady_clock::now() + failurePause(acceptFailures_);
    return false;
}

void IpcServerEndpoint::refuseOverLimit(uint16_t peerPort) {
    refusals_.refused("the connection limit", LOG_WARN,
                      "Source port: " + std::to_string(peerPort) + " refused, too many connections.");
}

// A refusal writes at most one line a minute per program: the peer check's
// reasons go into that line.
bool IpcServerEndpoint::admit(SOCKET accepted, uint16_t peerPort, unsigned long& owner) {
    // Far more connections than the loop's sets hold are a flood.
    if (!runner_->admitsEndpoint()) {
        refuseOverLimit(peerPort);
        return false;
    }
    const std::string source = "Source port: " + std::to_string(peerPort);
    PeerFindings findings;
    if (!isPeerAgentProcess(peerPort, port_, PEER_TRAY_PROGRAM, findOwner_, &findings)) {
        const std::string program = findings.program.empty() ? std::string() : " Program: " + findings.program + ".";
        const std::string reason = findings.reason.empty() ? std::string() : " " + findings.reason;
        refusals_.refused(findings.program, LOG_ERROR, source + " is not from tarnwell process." + program + reason);
        return false;
    }
    owner = findings.pid;
    // Winsock hands the listening socket's mode on to the accepted one; the
    // read and write paths depend on it, so it is not left to chance.
    if (!setNonBlocking(accepted)) {
        TWLOG(LOG_ERROR, "Source port: " << peerPort << " refused, cannot make the socket non-blocking.");
        return false;
    }
    // Frames leave whole in one send; without Nagle a queued remainder or a
    // second frame does not wait for the peer's delayed acknowledgement either.
    const BOOL on = TRUE;
    setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    // Urgent data left out of band keeps the socket in select's error set
    // until it is read with MSG_OOB, which nothing here does: the loop would
    // never sleep again. Inline, it is read with the stream. Inherited from
    // the listening socket; set again, in case a layered provider drops it.
    if (setsockopt(accepted, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&on), sizeof(on)) != 0) {
        TWLOG(LOG_ERROR, "Source port: " << peerPort << " refused, cannot take urgent data inline.");
        return false;
    }
    return true;
}
