// Owner of the bus's endpoints and of the one thread that serves them: a
// select loop over every endpoint socket, woken through a loopback datagram
// pair whenever another thread queues a change or a frame.
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "ipclib/IIpcEndpoint.h"
#include "ipclib/IIpcRunner.h"
#include "ipclib/IpcByteBudget.h"
#include "utils/win/uniqueSocket.h"

class IpcMaster : public IIpcRunner {
public:
    // Capacity of each socket set the loop builds; the wake receiver takes
    // one place.
    static constexpr size_t kSocketSetSize = 1024;
    static constexpr size_t kMaxEndpoints = kSocketSetSize - 1;
    // What the send queues of all connections together may hold.
    static constexpr size_t kMaxQueuedBytes = 32 * 1024 * 1024;

    // Sets up the wake pair and starts the loop; throws std::exception (after a
    // level-3 line) when either cannot be had. maxEndpoints (listening socket
    // included) is capped at kMaxEndpoints.
    explicit IpcMaster(size_t maxEndpoints = kMaxEndpoints);
    virtual ~IpcMaster();

    IpcMaster(const IpcMaster&) = delete;
    IpcMaster& operator=(const IpcMaster&) = delete;

    void addEndpoint(IIpcEndpoint* endpoint) override;
    void removeEndpoint(IIpcEndpoint* endpoint) override;
    void wake() override;
    bool admitsEndpoint() override;
    IpcByteBudget& sendBudget() override { return sendBudget_; }

    // Sends the message to every registered connection. False when any of them
    // failed or none is registered. Any thread but the loop thread.
    bool broadcast(const IIpcMessage& message);

protected:
    // broadcast of a message already serialised; typeName is for the log.
    bool broadcastBody(const std::string& body, const char* typeName);
    // Stops and joins the loop thread; idempotent. A subclass calls it first in
    // its destructor so that no callback reaches a half-destroyed object.
    void stopLoop();
    bool onLoopThread() const;

private:
    enum Operation { kRemove = 0, kAdd = 1 };
    class SocketSets;

    void openWakePair();
    void runLoop();
    void runPass(unsigned& selectFailures);
    void applyPending();
    void registerEndpoint(IIpcEndpoint* endpoint);
    bool fillSets(SocketSets& sets, std::chrono::steady_clock::time_point& resumeAt);
    void serveReady(const SocketSets& sets);
    void drainWakeReceiver();
    void backOff(unsigned selectFailures);
    void deleteAllEndpoints();

    IpcByteBudget sendBudget_{kMaxQueuedBytes};  // outlives the endpoints
    std::mutex endpointsLock_;
    std::set<IIpcEndpoint*> endpoints_;
    std::mutex pendingLock_;
    std::list<std::pair<int, IIpcEndpoint*>> pending_;
    std::atomic<bool> stop_{false};
    UniqueSocket wakeSender_;
    UniqueSocket wakeReceiver_;
    std::unique_ptr<std::thread> loopThread_;
    std::atomic<std::thread::id> loopThreadId_{};
    const size_t maxEndpoints_;
    std::atomic<size_t> endpointCount_{0};  // registered and waiting to be
};
