// What both kinds of endpoint share: the socket they own, the runner that
// owns them and the listener they report to.
#pragma once

#include <chrono>

#include "ipclib/IIpcEndpoint.h"
#include "ipclib/IIpcEndpointListener.h"
#include "ipclib/IIpcRunner.h"
#include "utils/win/uniqueSocket.h"

class IpcEndpoint : public IIpcEndpoint {
public:
    IpcEndpoint(SOCKET socket, IIpcRunner* runner, IIpcEndpointListener* listener)
        : socket_(socket), runner_(runner), listener_(listener) {}
    ~IpcEndpoint() override = default;

    IpcEndpoint(const IpcEndpoint&) = delete;
    IpcEndpoint& operator=(const IpcEndpoint&) = delete;

    SOCKET getSocket() const override { return socket_.get(); }

protected:
    UniqueSocket socket_;
    IIpcRunner* runner_;
    IIpcEndpointListener* listener_;  // may be null: every call to it is skipped then
};

// A read or send that returned -1 only because nothing could move now.
bool socketWouldBlock();
// How long the loop leaves a failing call (select, accept) alone before it
// tries again: grows with the failures in a row, up to a second.
std::chrono::milliseconds failurePause(unsigned failuresInARow);
