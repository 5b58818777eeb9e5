// A loop with a listening endpoint and a recording listener, served to real
// Winsock clients; shared by the bus's tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ipclib/IpcMaster.h"
#include "ipclib/IpcServerEndpoint.h"
#include "support/ipcTestPeer.h"
#include "support/testUtil.h"

// The first frame every harness peer sends, so the test knows the loop has
// registered and polled it.
inline const char* const kSyncBody = "sync";

class RecordingListener : public IIpcEndpointListener {
public:
    IIpcRunner* runner = nullptr;
    std::function<void(IIpcEndpoint*, const std::string&)> messageHook;

    void onMessage(IIpcEndpoint* endpoint, const std::string& body) override {
        if (body == kSyncBody) {
            ++syncs;
            return;
        }
        {
            std::lock_guard<std::mutex> lock(lock_);
            bodies_.push_back(body);
        }
        if (messageHook) messageHook(endpoint, body);
    }
    void onDisconnect(IIpcEndpoint* endpoint) override {
        ++disconnects;
        runner->removeEndpoint(endpoint);
    }
    void onConnect(IIpcEndpoint*) override { ++connects; }

    std::vector<std::string> bodies() {
        std::lock_guard<std::mutex> lock(lock_);
        return bodies_;
    }
    bool waitBodies(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return testutil::waitUntil([&] { return bodies().size() >= count; }, timeout);
    }

    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
    std::atomic<int> syncs{0};

private:
    std::mutex lock_;
    std::vector<std::string> bodies_;
};

// The loop with its stop reachable, as a destructor would use it.
class StoppableMaster : public IpcMaster {
public:
    using IpcMaster::IpcMaster;
    using IpcMaster::stopLoop;
};

inline IpcLimits connectionsAtMost(size_t connections, size_t ofOneProgram) {
    IpcLimits limits;
    limits.maxConnections = connections;
    limits.maxConnectionsPerProcess = ofOneProgram;
    return limits;
}

// The tests' peers run in this one program, each standing for one of its own.
inline IpcLimits manyPeersOfOneProgram() {
    return connectionsAtMost(IpcLimits().maxConnections, IpcLimits().maxConnections);
}

struct TestBus {
    explicit TestBus(IpcLimits limits = manyPeersOfOneProgram(), bool peersAreTray = true) : master(limits) {
        listener.runner = &master;
        const PortOwnerFinder ofOwner = [this](uint16_t, uint16_t, PortOwner& found) {
            found.pid = owner;
            return true;
        };
        auto* listening = new IpcServerEndpoint(&master, &listener,
                                                peersAreTray ? ofOwner : testutil::TrayStandIn::foreignOwnerFinder());
        port = listening->port();
        master.addEndpoint(listening);
    }

    // A client admitted, registered and polled by the loop.
    std::unique_ptr<testutil::IpcTestPeer> connectPeer() {
        auto peer = std::make_unique<testutil::IpcTestPeer>();
        const int before = listener.syncs;
        EXPECT_TRUE(peer->connectTo(port));
        EXPECT_TRUE(peer->sendFrame(kSyncBody));
        EXPECT_TRUE(testutil::waitUntil([&] { return listener.syncs > before; }, std::chrono::seconds(10)))
            << "peer was not served";
        return peer;
    }

    // Declared in this order so the loop stops before the listener goes.
    testutil::TrayStandIn tray;
    std::atomic<DWORD> owner{tray.pid()};  // of the peers that connect next
    RecordingListener listener;
    StoppableMaster master;
    uint16_t port = 0;
};

// An endpoint without a socket that counts its deletions.
class FakeEndpoint : public IIpcEndpoint {
public:
    explicit FakeEndpoint(std::atomic<int>& deleted, bool sendSucceeds = true, SOCKET socket = INVALID_SOCKET,
                          bool wantsRead = false)
        : deleted_(deleted), sendSucceeds_(sendSucceeds), socket_(socket), wantsRead_(wantsRead) {}
    ~FakeEndpoint() override { ++deleted_; }
    bool wantRead() override { return wantsRead_; }
    bool wantWrite() override { return false; }
    bool onReadReady() override { return true; }
    bool onWriteReady() override { return true; }
    SOCKET getSocket() const override { return socket_; }
    bool sendMessage(const IIpcMessage&) override { return sendBody(""); }
    bool sendBody(const std::string&) override {
        ++sends;
        return sendSucceeds_;
    }
    std::atomic<int> sends{0};

private:
    std::atomic<int>& deleted_;
    bool sendSucceeds_;
    SOCKET socket_;
    bool wantsRead_;
};
