// One socket that the bus's loop thread polls: the listening socket or one
// admitted connection.
#pragma once

#include <winsock2.h>

class IIpcMessage;

class IIpcEndpoint {
public:
    virtual ~IIpcEndpoint() = default;
    // Put the socket into the read (write) set for this pass of the loop.
    virtual bool wantRead() = 0;
    virtual bool wantWrite() = 0;
    // The loop ignores the results; false means the endpoint failed or refused.
    virtual bool onReadReady() = 0;
    virtual bool onWriteReady() = 0;
    virtual SOCKET getSocket() const = 0;
    // Any thread.
    virtual bool sendMessage(const IIpcMessage& message) = 0;
    // A failure noticed off the loop thread (a send that broke the stream) waits
    // here until the loop reports it through onWriteReady, without waiting for
    // the socket to become ready.
    virtual bool hasPendingFailure() { return false; }
};
