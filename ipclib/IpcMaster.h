// Owner of the bus's endpoints and of the one thread that serves them: a
// select loop over every endpoint socket, woken through a loopback datagram
// pair whenever another thread queues a change or a frame.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ipclib/IIpcEndpoint.h"
#include "ipclib/IIpcRunner.h"
#include "ipclib/IpcByteBudget.h"
#include "ipclib/IpcLimits.h"
#include "ipclib/IpcRefusalLog.h"
#include "utils/win/uniqueSocket.h"

class IpcMaster : public IIpcRunner {
public:
    // Capacity of each socket set the loop builds: the wake receiver, the
    // listening socket and every connection.
    static constexpr size_t kSocketSetSize = 128;
    static_assert(IpcLimits().maxConnections + 2 <= kSocketSetSize, "the connections must fit the socket sets");
    // Bytes of bodies the loop hands to their listener in one pass, those
    // that have waited longest first, and at least one: no body waits longer
    // than the bodies that were whole before it take, whatever peers send.
    static constexpr size_t kDeliveryShare = 64 * 1024;

    // Sets up the wake pair and starts the loop; throws std::exception (after a
    // level-3 line) when either cannot be had.
    explicit IpcMaster(IpcLimits limits = IpcLimits());
    virtual ~IpcMaster();

    IpcMaster(const IpcMaster&) = delete;
    IpcMaster& operator=(const IpcMaster&) = delete;

    void addEndpoint(IIpcEndpoint* endpoint) override;
    bool addConnection(IIpcEndpoint* endpoint, unsigned long owner) override;
    void removeEndpoint(IIpcEndpoint* endpoint) override;
    void wake() override;
    void sendQueueDrained() override;
    bool admitsEndpoint() override;
    IpcByteBudget& budget() override { return budget_; }
    const IpcLimits& limits() const override { return limits_; }

    // Sends the message to every registered connection. False when any of them
    // failed or none is registered. Any thread but the loop thread.
    bool broadcast(const IIpcMessage& message);

protected:
    // broadcast of a message already serialised; typeName is for the log.
    bool broadcastBody(const std::string& body, const char* typeName);
    // Waits, up to `bound` or the stop, until no peer that is taking what
    // waits for it still has frames waiting: a sender of many broadcasts then
    // goes at the pace of the peers that read, and none of them falls behind.
    // Peers that take nothing are not waited for. Not on the loop thread.
    void awaitReaders(std::chrono::milliseconds bound);
    // Has the loop, and any broadcast, stop at the next endpoint; returns at
    // once.
    void requestStop();
    // Stops and joins the loop thread; idempotent. A subclass calls it first in
    // its destructor so that no callback reaches a half-destroyed object.
    void stopLoop();
    bool onLoopThread() const;

private:
    enum Operation { kRemove = 0, kAdd = 1 };
    class SocketSets;
    // An admitted connection's owner and age.
    struct Connection {
        unsigned long owner;
        uint64_t admitted;
        bool displaced;
    };
    // A body waiting to be handed over.
    struct Delivery {
        std::chrono::steady_clock::time_point since;
        size_t bytes;
        IIpcEndpoint* endpoint;
    };
    using Deliveries = std::vector<Delivery>;

    void openWakePair();
    void runLoop();
    void runPass(unsigned& selectFailures);
    void applyPending();
    void registerEndpoint(IIpcEndpoint* endpoint);
    bool fillSets(SocketSets& sets, std::chrono::steady_clock::time_point& resumeAt);
    Deliveries serveReady(const SocketSets& sets);
    void serveOne(IIpcEndpoint* endpoint, const SocketSets& sets, std::chrono::steady_clock::time_point now);
    void deliver(Deliveries& deliveries);
    void drainWakeReceiver();
    void backOff(unsigned selectFailures);
    void deleteAllEndpoints();
    // Set lock held.
    IIpcEndpoint* connectionToDisplace(unsigned long owner) const;
    void displace(IIpcEndpoint* endpoint);

    const IpcLimits limits_;
    IpcByteBudget budget_;  // outlives the endpoints
    std::mutex endpointsLock_;
    std::set<IIpcEndpoint*> endpoints_;
    std::mutex pendingLock_;
    std::list<std::pair<int, IIpcEndpoint*>> pending_;
    std::atomic<bool> stop_{false};
    std::mutex drainLock_;
    std::condition_variable drained_;
    UniqueSocket wakeSender_;
    UniqueSocket wakeReceiver_;
    std::unique_ptr<std::thread> loopThread_;
    std::atomic<std::thread::id> loopThreadId_{};
    const size_t maxEndpoints_;
    std::atomic<size_t> endpointCount_{0};  // registered and waiting to be
    // Set lock; loop thread.
    std::map<IIpcEndpoint*, Connection> connections_;
    uint64_t admissions_ = 0;
    IpcRefusalLog displacements_;
};
