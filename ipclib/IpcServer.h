// The loop (IpcMaster) with the listening endpoint on 127.0.0.1 and the
// default handlers of the bus's messages. Outside code sees an IpcMaster; only
// the server hands its listener side to its endpoints.
#pragma once

#include <cstdint>
#include <memory>

#include "ipclib/IpcMaster.h"
#include "ipclib/IpcRebroadcastWorker.h"
#include "ipclib/ipcServiceParser.h"
#include "utils/win/sockhelper.h"

class IpcServerEndpoint;

class IpcServer : public IpcMaster, private ipcServiceParser {
public:
    // Throws std::exception when it cannot listen, set up the loop or start its
    // threads. Listens from here on, but admits no peer before startServing.
    // findOwner and limits are for tests.
    explicit IpcServer(PortOwnerFinder findOwner = findPortOwnerInTcpTable, IpcLimits limits = IpcLimits());
    ~IpcServer() override;

    // The listening port, host order.
    uint16_t listeningPort() const { return port_; }
    // Bytes held for peers: frames waiting in send queues and rebroadcasts
    // waiting for the worker.
    size_t heldBytes();

protected:
    // Hands the listening endpoint to the loop: from then on peers are admitted
    // and handlers run on the loop thread. The most-derived class calls it
    // last in its constructor, so no handler reaches a half-built object.
    // Idempotent.
    void startServing();
    // Has the loop and the rebroadcast worker stop at their next endpoint, then
    // joins the worker and the loop; idempotent. Every subclass calls it first
    // in its destructor, so no handler reaches a half-destroyed object.
    void shutdown();

    void onMessage(IIpcEndpoint* endpoint, const std::string& body) override;
    void onDisconnect(IIpcEndpoint* endpoint) override;
    void onConnect(IIpcEndpoint* endpoint) override {}

    // Sends the wrapped message on to every peer, the sender included. One
    // larger than a frame may be is dropped: no peer could take it.
    void onRebroadcast(const IpcRebroadcastMessage& message) override;
    void onPostUiMessage(const IpcPostUiMessage&) override {}
    void onRequestLogLevelChange(const IpcRequestLogLevel&) override {}
    void onServiceStatus(const ServiceStatus&) override {}
    void onRequestConfig() override {}
    void onReserved() override {}
    void onRequestLogin(const IpcRequestLogin&) override {}
    void onCreateMqttSubscriber(const IpcCreateMqttSubscriber&) override {}
    void onResetRegisterState(const IpcResetRegisterState&) override {}
    void onNotifyHealthState(const IpcNotifyHealthState&) override {}
    void onSetZTNADataCenter(const IpcSetZTNADataCenterMessage&) override {}

private:
    // A rebroadcast waits at most this long for the peers that read to take
    // the one before.
    static constexpr std::chrono::milliseconds kRebroadcastPace{5000};

    std::unique_ptr<IpcServerEndpoint> listening_;  // until startServing hands it to the loop
    uint16_t port_ = 0;
    IpcRebroadcastWorker rebroadcasts_;
    bool droppingOversized_ = false;  // loop thread only: the last rebroadcast was too large
};
