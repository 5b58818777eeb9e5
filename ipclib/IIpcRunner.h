// The owner of the loop, as the endpoints see it. Every operation only queues
// or signals and returns at once, so endpoints may call it from their callbacks
// on the loop thread as well as from any other thread.
#pragma once

#include <cstddef>

#include "ipclib/IpcLimits.h"

class IIpcEndpoint;
class IpcByteBudget;

class IIpcRunner {
public:
    // Hands a new endpoint to the loop, which then owns it.
    virtual void addEndpoint(IIpcEndpoint* endpoint) = 0;
    // Hands an admitted connection of process `owner` to the loop, which then
    // owns it. When the owner already holds its share of connections, or all
    // are taken, an older one gives its place: the owner's own oldest, or the
    // oldest of the process that holds the most. False (the endpoint is not
    // taken) when even so the loop has no room. Loop thread.
    virtual bool addConnection(IIpcEndpoint* endpoint, unsigned long owner) = 0;
    // Has the loop drop and delete the endpoint (once, however often asked).
    virtual void removeEndpoint(IIpcEndpoint* endpoint) = 0;
    // Makes the loop begin a new pass: an endpoint queued a frame or failed
    // while the loop slept.
    virtual void wake() = 0;
    // An endpoint's last queued frame has gone; takes no lock.
    virtual void sendQueueDrained() = 0;
    // Whether one more endpoint still fits into the loop's socket sets.
    virtual bool admitsEndpoint() = 0;
    // The one budget that what all connections hold draws from.
    virtual IpcByteBudget& budget() = 0;
    virtual const IpcLimits& limits() const = 0;

protected:
    // Never deleted through this interface.
    ~IIpcRunner() = default;
};
