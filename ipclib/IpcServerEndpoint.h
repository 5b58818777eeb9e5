// The listening socket on 127.0.0.1: accepts connections and admits only the
// agent's tray program; the runner keeps each program to its share.
#pragma once

#include <cstdint>

#include "ipclib/IpcEndpoint.h"
#include "ipclib/IpcRefusalLog.h"
#include "utils/win/sockhelper.h"

class IpcServerEndpoint : public IpcEndpoint {
public:
    // Accepted in one pass: a burst of connections (trays of every session
    // at logon) does not wait a pass each, and a flood does not hold the loop.
    static constexpr int kAcceptsPerPass = 16;

    // Listens on a port the system chooses; throws std::exception (after a
    // level-3 line) when it cannot. findOwner finds the process behind a
    // connecting port; tests substitute it where the system reports no owners.
    IpcServerEndpoint(IIpcRunner* runner, IIpcEndpointListener* listener,
                      PortOwnerFinder findOwner = findPortOwnerInTcpTable);

    // Not while accepting is paused after a failure.
    bool wantRead() override;
    bool wantWrite() override { return false; }
    // Accepts the connections waiting, up to kAcceptsPerPass.
    bool onReadReady() override;
    bool onWriteReady() override { return false; }
    bool sendMessage(const IIpcMessage&) override { return true; }
    bool sendBody(const std::string&) override { return true; }
    std::chrono::steady_clock::time_point resumeAt() const override;

    uint16_t port() const { return port_; }

protected:
    // accept(); tests put a failing one in its place.
    virtual SOCKET acceptConnection(sockaddr_in& peer);

private:
    bool acceptOne(bool& admitted);
    // The owner of an admitted peer in `owner`.
    bool admit(SOCKET accepted, uint16_t peerPort, unsigned long& owner);
    // One line a minute at most for all refusals at the connection limit.
    void refuseOverLimit(uint16_t peerPort);
    bool onAcceptFailed(int error);

    uint16_t port_ = 0;
    PortOwnerFinder findOwner_;
    IpcRefusalLog refusals_;
    // Loop thread only.
    unsigned acceptFailures_ = 0;  // in a row
    std::chrono::steady_clock::time_point acceptPausedUntil_{};
    bool acceptPaused_ = false;  // as wantRead last answered
};
