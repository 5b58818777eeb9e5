// The listening socket on 127.0.0.1: accepts connections and admits only the
// agent's tray program.
#pragma once

#include <cstdint>

#include "ipclib/IpcEndpoint.h"
#include "utils/win/sockhelper.h"

class IpcServerEndpoint : public IpcEndpoint {
public:
    // Listens on a port the system chooses; throws std::exception (after a
    // level-3 line) when it cannot. findOwner finds the process behind a
    // connecting port; tests substitute it where the system reports no owners.
    IpcServerEndpoint(IIpcRunner* runner, IIpcEndpointListener* listener,
                      PortOwnerFinder findOwner = findPortOwnerInTcpTable);

    bool wantRead() override { return true; }
    bool wantWrite() override { return false; }
    // Accepts one connection.
    bool onReadReady() override;
    bool onWriteReady() override { return false; }
    bool sendMessage(const IIpcMessage&) override { return true; }

    uint16_t port() const { return port_; }

private:
    bool admit(SOCKET accepted, uint16_t peerPort, const char* peerAddress);

    uint16_t port_ = 0;
    PortOwnerFinder findOwner_;
};
