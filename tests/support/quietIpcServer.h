// A concrete IpcServer for tests and benchmarks: the handlers the server
// leaves to its subclasses do nothing, and admitted peers are counted. A
// subclass passes serveNow false and calls startServing at the end of its own
// constructor.
#pragma once

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "ipclib/IpcServer.h"
#include "ipclib/ipcServiceParser.h"

class QuietIpcServer : public IpcServer {
public:
    explicit QuietIpcServer(PortOwnerFinder findOwner, bool serveNow = true, IpcLimits limits = IpcLimits())
        : IpcServer(std::move(findOwner), limits) {
        if (serveNow) startServing();
    }
    ~QuietIpcServer() override { shutdown(); }

    std::atomic<int> connects{0};

protected:
    void onConnect(IIpcEndpoint*) override { ++connects; }
    void onSetInstallerKey(const IpcSetInstallerKeyMessage&) override {}
    void onLoginSuccess(const IpcLoginSuccess&) override {}
    void onUserLogon(const IpcUserLogon&) override {}
    void onNotifyNetworkChanges(const IpcNotifyNetworkChanges&) override {}
    void onNotifyUpdateSettings(const IpcNotifyUpdateSettings&) override {}
};

// Sends each post-uimessage back to the peer that sent it, so a benchmark sees
// the loop's delay in a round trip; admission still goes through the peer check.
class EchoIpcServer : public QuietIpcServer {
public:
    explicit EchoIpcServer(PortOwnerFinder finder, IpcLimits limits = IpcLimits())
        : QuietIpcServer(std::move(finder), false, limits) {
        startServing();
    }
    ~EchoIpcServer() override { shutdown(); }

protected:
    void onMessage(IIpcEndpoint* endpoint, const std::string& body) override {
        std::unique_ptr<IIpcMessage> message;
        if (::ipcServiceParser::createMessage(body, message) &&
            std::strcmp(message->typeName(), "post-uimessage") == 0) {
            endpoint->sendMessage(*message);
            return;
        }
        QuietIpcServer::onMessage(endpoint, body);
    }
};
