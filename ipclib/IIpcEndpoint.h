// One socket that the bus's loop thread polls: the listening socket or one
// admitted connection.
#pragma once

#include <winsock2.h>

#include <chrono>
#include <cstddef>
#include <string>

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
    // A body already serialised (a broadcast serialises once for every peer).
    // Any thread.
    virtual bool sendBody(const std::string& body) = 0;
    // Frames wait for the peer and it is taking them: a sender of many
    // broadcasts lets them go before it sends more. Any thread.
    virtual bool isTakingQueuedFrames() { return false; }
    // A failure noticed off the loop thread (a send that broke the stream) waits
    // here until the loop reports it through onWriteReady, without waiting for
    // the socket to become ready.
    virtual bool hasPendingFailure() { return false; }
    // The loop has taken the endpoint into its set (loop thread, set lock
    // held): from now on a broadcast reaches it.
    virtual void onRegistered() {}
    // A newer connection takes this one's place: it is reported gone at the
    // loop's next pass. Loop thread, set lock held.
    virtual void displace() {}
    // The loop comes back at this time even when the socket stays quiet (an
    // endpoint that paused its polling after a failure, a frame or a send
    // that must progress by then); max() when nothing is due. Asked in each
    // pass after wantRead and wantWrite.
    virtual std::chrono::steady_clock::time_point resumeAt() const {
        return std::chrono::steady_clock::time_point::max();
    }
    // resumeAt() has passed (loop thread, set lock held).
    virtual void onDeadline() {}
    // A whole body waits to be handed to the listener; `bytes` is its size,
    // `since` when it became whole (loop thread, set lock held).
    virtual bool hasDelivery(size_t& bytes, std::chrono::steady_clock::time_point& since) { return false; }
    // Hands the waiting body to the listener: on the loop thread, with the set
    // lock released, so that parsing and handling hold no other thread.
    virtual void deliver() {}
};
