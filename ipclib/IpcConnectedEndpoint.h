// One admitted connection: cuts the incoming byte stream into frame bodies for
// its listener, and frames and sends outgoing messages, queueing what the
// socket cannot take at once. Frame: 4-byte big-endian body length, then the
// body. What it holds (queued frames, the body being received or waiting to
// be handled) is taken from the runner's budget.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "ipclib/IpcByteBudget.h"
#include "ipclib/IpcEndpoint.h"
#include "ipclib/IpcProgress.h"

struct OutFrame {
    std::vector<char> bytes;  // header and body
    uint32_t sent = 0;        // bytes of it already on the socket
};

class IpcConnectedEndpoint : public IpcEndpoint, private IpcBudgetHolder {
public:
    // Real bodies are a few hundred bytes; a larger announced length is a
    // hostile or broken peer, and nothing is allocated for it.
    static constexpr uint32_t kMaxFrameLength = 1024 * 1024;
    // A peer that stops reading is cut off once this much waits for it.
    static constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;
    // Read from one connection in one pass of the loop, so that no peer holds
    // the loop, or the other peers, behind its frames.
    static constexpr size_t kReadShare = 64 * 1024;

    IpcConnectedEndpoint(SOCKET socket, IIpcRunner* runner, IIpcEndpointListener* listener,
                         uint16_t peerPort, uint16_t addressFamily, const char* peerAddress);
    ~IpcConnectedEndpoint() override;

    // Not while a body waits to be handled: the peer waits for it.
    bool wantRead() override;
    bool wantWrite() override;
    // At most kReadShare bytes, and at most one body completed, per call.
    bool onReadReady() override;
    bool onWriteReady() override;
    bool sendMessage(const IIpcMessage& message) override;
    // Frames one body and sends it, or queues what the socket does not take.
    bool sendBody(const std::string& body) override;
    bool isTakingQueuedFrames() override;
    bool hasPendingFailure() override;
    // Reports the connection to the listener only now, so that whatever the
    // listener does on it (a greeting, a broadcast it sets off) reaches it.
    void onRegistered() override;
    void displace() override;
    // When a frame under way or a queued send must have moved on.
    std::chrono::steady_clock::time_point resumeAt() const override;
    // Cuts off a peer whose frame stopped advancing or that took nothing.
    void onDeadline() override;
    bool hasDelivery(size_t& bytes, std::chrono::steady_clock::time_point& since) override;
    void deliver() override;

    uint16_t peerPort() const { return peerPort_; }
    uint16_t addressFamily() const { return addressFamily_; }
    const char* peerAddress() const { return peerAddress_; }

private:
    using Clock = std::chrono::steady_clock;

    void cutOff(size_t heldBytes, size_t budgetBytes) override;
    Clock::time_point stalledSince() const override;
    const IpcLimits& limits() const;
    bool readHeader();
    bool readBody();
    // Takes what the receive buffers have allocated from the budget, or
    // gives back what they no longer hold; false when it cannot be had.
    bool budgetReceiveBuffers();
    void completeBody();
    bool failRead(int result);
    bool reportDisconnect();
    bool sendFirstFrame(const std::string& body);
    // The four below with the send lock held.
    bool pushFrame(OutFrame&& frame);  // false: over a budget, cut off
    void popFrame();
    void markSendFailed();
    void releaseQueue();

    std::mutex sendLock_;
    std::list<OutFrame> sendQueue_;
    size_t queuedBytes_ = 0;        // taken from budget_ as well
    IpcByteBudget* const budget_;  // the runner's; null without a runner
    // The stream is broken (a frame may be cut) or the peer was cut off:
    // nothing more may be sent, and the loop is to report the connection as
    // gone.
    std::atomic<bool> sendFailed_{false};
    // How the peer takes queued frames; moved under the send lock.
    IpcProgress sendProgress_;

    // Receive side, loop thread only.
    char header_[4] = {};
    size_t headerBytes_ = 0;
    bool receivingBody_ = false;
    uint32_t expectedLength_ = 0;
    std::string receiveBuffer_;
    IpcProgress receiveProgress_;  // of the frame under way
    size_t receiveHeld_ = 0;       // taken from budget_ for both buffers
    std::string delivery_;
    bool deliveryWaiting_ = false;
    Clock::time_point deliveryWaitingSince_{};
    bool disconnected_ = false;  // onDisconnect was reported

    uint16_t peerPort_;
    uint16_t addressFamily_;
    char peerAddress_[65] = {};
};
