// The fifteen messages of the loopback bus. Type keys and member names are
// those of configKeys; the body written by each class is shown beside it
// (members of an object are always written in byte-wise order of their names).
#pragma once

#include "ipclib/ipcMessage.h"

#include <string>
#include <vector>

// {"rebroadcast": <any value>}: a whole message root that the server sends on
// to every peer.
class IpcRebroadcastMessage : public IIpcMessage {
public:
    IpcRebroadcastMessage() = default;
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
    const char* typeName() const override;
    const Json::Value& value() const { return inner; }

    Json::Value inner;
};

// {"post-uimessage":{"message-content":text}}; an empty text is not sent.
class IpcPostUiMessage : public IIpcMessage {
public:
    explicit IpcPostUiMessage(const char* text = nullptr);
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
    const char* typeName() const override;

    std::string text;
};

// {"set-ikey":{"thekey":key}}; an empty key is not sent.
class IpcSetInstallerKeyMessage : public IIpcMessage {
public:
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
    const char* typeName() const override;

    std::string key;
};

// {"request-log-level":{"loglevel":level}}
class IpcRequestLogLevel : public IIpcMessage {
public:
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
    const char* typeName() const override;

    int level = -1;
};

// {"login-success":{"sid":..,"user_deactivated":..,"username":..}}
class IpcLoginSuccess : public IIpcMessage {
public:
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
    const char* typeName() const override;

    std::string username;
    std::string sid;
    bool userDeactivated = false;
};

struct LoggingSettings {
    int level = 7;
    int max_file_size = 1000000;
};

// {"ServiceStatus":{"logging":{"level":7,"max_file_size":1000000}}}: the
// greeting to every newly connected peer.
class ServiceStatus : public IIpcMessage {
public:
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
    const char* typeName() const override;

    LoggingSettings logging;
};

// {"config-refresh":null}
class IpcRequestConfigRequest : public IpcRequestCommand {
public:
    const char* typeName() const override;
};

// {"login-request":{"assigned_username":..,"login_url":..,"notification_url":..,"user_deactivated":..}}
class IpcRequestLogin : public IIpcMessage {
public:
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
    const char* typeName() const override;

    std::string loginUrl;
    std::string assignedUsername;
    std::string notificationUrl;
    bool userDeactivated = false;
};

// {"create_mqtt_subscribr":{"machine_guid":..,"topics":[..] or null,"url":..}}
class IpcCreateMqttSubscriber : public IIpcMessage {
public:
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
    const char* typeName() const override;

    std::string url;
    std::string machineGuid;
    std::vector<std::string> topics;
};

// {"reset-register-state":null}
class IpcResetRegisterState : public IpcRequestCommand {
public:
    const char* typeName() const override;
};

// {"ipc_cmd_notify_health_state":{"ipc_cmd_health_state":state}}
class IpcNotifyHealthState : public IIpcMessage {
public:
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
    const char* typeName() const override;

    int healthState = 11;
};

// {"ztna":{"data_centers":[..] or null}}
class IpcSetZTNADataCenterMessage : public IIpcMessage {
public:
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
    const char* typeName() const override;

    std::vector<std::string> dataCenters;
};

// {"user-logon":{"sid":..,"username":..}}
class IpcUserLogon : public IIpcMessage {
public:
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
    const char* typeName() const override;

    std::string username;
    std::string sid;
};

// {"network_changes":{"ip_address":..}}
class IpcNotifyNetworkChanges : public IIpcMessage {
public:
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
    const char* typeName() const override;

    std::string ipAddress;
};

// {"setting_changes":null}
class IpcNotifyUpdateSettings : public IpcRequestCommand {
public:
    const char* typeName() const override;
};
