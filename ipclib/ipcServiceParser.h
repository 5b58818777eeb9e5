// The listener side of the bus: turns received frame bodies into messages and
// hands each to the one handler of its class. The handlers run on the bus's
// loop thread (not under its endpoint-set lock): they must not broadcast and
// must not block for long, since every peer waits for them.
#pragma once

#include "ipclib/IIpcEndpointListener.h"
#include "ipclib/IpcRefusalLog.h"
#include "ipclib/ipcMessages.h"

#include <cstddef>
#include <memory>
#include <string>

class ipcServiceParser : public IIpcEndpointListener {
public:
    // More values than any message has: such a body is not parsed at all,
    // since parsing costs the loop about a microsecond per value (more under
    // Wine), a second for a frame of numbers.
    static constexpr size_t kMaxValues = 4096;
    // The reader's own limit, past which it throws.
    static constexpr size_t kMaxDepth = 1000;

    // Whether parsing the body costs no more than its bytes and kMaxValues
    // values: one linear look, before any node is built.
    static bool admitsBody(const std::string& body);

    // Parses one frame body and builds the message of the first type key,
    // tested in a fixed order, whose body reads completely. On success `out`
    // receives it (anything it held before is deleted); otherwise false and
    // `out` untouched. Never throws; logs nothing. A body admitsBody refuses
    // yields no message.
    static bool createMessage(const std::string& body, std::unique_ptr<IIpcMessage>& out);
    // The same for a root already parsed.
    static bool createMessage(const Json::Value& root, std::unique_ptr<IIpcMessage>& out);

    // Parses one body and calls its handler; a body that yields no message is
    // dropped without a word, one too costly to parse with a Warn line (at
    // most one a minute, with the count). Nothing a handler throws leaves it.
    // Loop thread only.
    void dispatchMessage(const std::string& body);

    virtual void onRebroadcast(const IpcRebroadcastMessage& message) = 0;
    virtual void onPostUiMessage(const IpcPostUiMessage& message) = 0;
    virtual void onSetInstallerKey(const IpcSetInstallerKeyMessage& message) = 0;
    virtual void onRequestLogLevelChange(const IpcRequestLogLevel& message) = 0;
    virtual void onLoginSuccess(const IpcLoginSuccess& message) = 0;
    virtual void onServiceStatus(const ServiceStatus& message) = 0;
    virtual void onRequestConfig() = 0;
    // No message type is dispatched here.
    virtual void onReserved() = 0;
    virtual void onRequestLogin(const IpcRequestLogin& message) = 0;
    virtual void onCreateMqttSubscriber(const IpcCreateMqttSubscriber& message) = 0;
    virtual void onResetRegisterState(const IpcResetRegisterState& message) = 0;
    virtual void onNotifyHealthState(const IpcNotifyHealthState& message) = 0;
    virtual void onSetZTNADataCenter(const IpcSetZTNADataCenterMessage& message) = 0;
    virtual void onUserLogon(const IpcUserLogon& message) = 0;
    virtual void onNotifyNetworkChanges(const IpcNotifyNetworkChanges& message) = 0;
    virtual void onNotifyUpdateSettings(const IpcNotifyUpdateSettings& message) = 0;

protected:
    ipcServiceParser() = default;

private:
    void dispatch(const IIpcMessage& message);

    IpcRefusalLog refusedBodies_;
};
