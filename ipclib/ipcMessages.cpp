#include "ipclib/ipcMessages.h"

#include "ipclib/jsonReaders.h"
#include "utils/configKeys.h"

// "rebroadcast"
const char* IpcRebroadcastMessage::typeName() const { return configKeys::IPC_REBROADCAST; }

bool IpcRebroadcastMessage::serialize(Json::Value& root) const { return setMessageBody(root, typeName(), inner); }

bool IpcRebroadcastMessage::deserialize(const Json::Value& root) { return getJsonValue(root, typeName(), inner); }

// "post-uimessage"
IpcPostUiMessage::IpcPostUiMessage(const char* text) : text(text != nullptr ? text : "") {}

const char* IpcPostUiMessage::typeName() const { return configKeys::IPC_POST_UIMESSAGE; }

bool IpcPostUiMessage::serialize(Json::Value& root) const {
    if (text.empty()) return false;
    Json::Value body;
    body[configKeys::MESSAGE_CONTENT] = text;
    return setMessageBody(root, typeName(), std::move(body));
}

bool IpcPostUiMessage::deserialize(const Json::Value& root) {
    Json::Value body;
    return getJsonValue(root, typeName(), body) && getJsonString(body, configKeys::MESSAGE_CONTENT, text);
}

// "set-ikey"
const char* IpcSetInstallerKeyMessage::typeName() const { return configKeys::IPC_SET_IKEY; }

bool IpcSetInstallerKeyMessage::serialize(Json::Value& root) const {
    if (key.empty()) return false;
    Json::Value body;
    body[configKeys::THEKEY] = key;
    return setMessageBody(root, typeName(), std::move(body));
}

bool IpcSetInstallerKeyMessage::deserialize(const Json::Value& root) {
    Json::Value body;
    return getJsonValue(root, typeName(), body) && getJsonString(body, configKeys::THEKEY, key);
}

// "request-log-level"
const char* IpcRequestLogLevel::typeName() const { return configKeys::IPC_REQUEST_LOG_LEVEL; }

bool IpcRequestLogLevel::serialize(Json::Value& root) const {
    Json::Value body;
    body[configKeys::LOGLEVEL] = level;
    return setMessageBody(root, typeName(), std::move(body));
}

bool IpcRequestLogLevel::deserialize(const Json::Value& root) {
    Json::Value body;
    return getJsonValue(root, typeName(), body) && getJsonInt(body, configKeys::LOGLEVEL, level);
}

// "login-success"
const char* IpcLoginSuccess::typeName() const { return configKeys::IPC_LOGIN_SUCCESS; }

bool IpcLoginSuccess::serialize(Json::Value& root) const {
    Json::Value body;
    body[configKeys::USERNAME] = username;
    body[configKeys::SID] = sid;
    body[configKeys::USER_DEACTIVATED] = userDeactivated;
    return setMessageBody(root, typeName(), std::move(body));
}

bool IpcLoginSuccess::deserialize(const Json::Value& root) {
    Json::Value body;
    return getJsonValue(root, typeName(), body) && getJsonString(body, configKeys::USERNAME, username) &&
           getJsonString(body, configKeys::SID, sid) &&
           getJsonBool(body, configKeys::USER_DEACTIVATED, userDeactivated);
}

// "ServiceStatus"
const char* ServiceStatus::typeName() const { return configKeys::IPC_SERVICE_STATUS; }

bool ServiceStatus::serialize(Json::Value& root) const {
    Json::Value settings;
    settings[configKeys::LEVEL] = logging.level;
    settings[configKeys::MAX_FILE_SIZE] = logging.max_file_size;
    Json::Value body;
    body[configKeys::LOGGING] = std::move(settings);
    return setMessageBody(root, typeName(), std::move(body));
}

bool ServiceStatus::deserialize(const Json::Value& root) {
    Json::Value body;
    Json::Value settings;
    return getJsonValue(root, typeName(), body) && getJsonValue(body, configKeys::LOGGING, settings) &&
           getJsonInt(settings, configKeys::LEVEL, logging.level) &&
           getJsonInt(settings, configKeys::MAX_FILE_SIZE, logging.max_file_size);
}

// "config-refresh"
const char* IpcRequestConfigRequest::typeName() const { return configKeys::IPC_CONFIG_REFRESH; }

// "login-request"
const char* IpcRequestLogin::typeName() const { return configKeys::IPC_LOGIN_REQUEST; }

bool IpcRequestLogin::serialize(Json::Value& root) const {
    Json::Value body;
    body[configKeys::LOGIN_URL] = loginUrl;
    body[configKeys::ASSIGNED_USERNAME] = assignedUsername;
    body[configKeys::NOTIFICATION_URL] = notificationUrl;
    body[configKeys::USER_DEACTIVATED] = userDeactivated;
    return setMessageBody(root, typeName(), std::move(body));
}

bool IpcRequestLogin::deserialize(const Json::Value& root) {
    Json::Value body;
    return getJsonValue(root, typeName(), body) && getJsonString(body, configKeys::LOGIN_URL, loginUrl) &&
           getJsonString(body, configKeys::ASSIGNED_USERNAME, assignedUsername) &&
           getJsonString(body, configKeys::NOTIFICATION_URL, notificationUrl) &&
           getJsonBool(body, configKeys::USER_DEACTIVATED, userDeactivated);
}

// "create_mqtt_subscribr"
const char* IpcCreateMqttSubscriber::typeName() const { return configKeys::IPC_CREATE_MQTT_SUBSCRIBR; }

bool IpcCreateMqttSubscriber::serialize(Json::Value& root) const {
    Json::Value body;
    body[configKeys::URL] = url;
    body[configKeys::MACHINE_GUID_JSON] = machineGuid;
    body[configKeys::TOPICS] = jsonStringList(topics);
    return setMessageBody(root, typeName(), std::move(body));
}

bool IpcCreateMqttSubscriber::deserialize(const Json::Value& root) {
    Json::Value body;
    return getJsonValue(root, typeName(), body) && getJsonString(body, configKeys::URL, url) &&
           getJsonString(body, configKeys::MACHINE_GUID_JSON, machineGuid) &&
           getJsonStringList(body, configKeys::TOPICS, topics);
}

// "reset-register-state"
const char* IpcResetRegisterState::typeName() const { return configKeys::IPC_RESET_REGISTER_STATE; }

// "ipc_cmd_notify_health_state"
const char* IpcNotifyHealthState::typeName() const { return configKeys::IPC_CMD_NOTIFY_HEALTH_STATE; }

bool IpcNotifyHealthState::serialize(Json::Value& root) const {
    Json::Value body;
    body[configKeys::IPC_CMD_HEALTH_STATE] = healthState;
    return setMessageBody(root, typeName(), std::move(body));
}

bool IpcNotifyHealthState::deserialize(const Json::Value& root) {
    Json::Value body;
    return getJsonValue(root, typeName(), body) &&
           getJsonInt(body, configKeys::IPC_CMD_HEALTH_STATE, healthState);
}

// "ztna"
const char* IpcSetZTNADataCenterMessage::typeName() const { return configKeys::IPC_ZTNA; }

bool IpcSetZTNADataCenterMessage::serialize(Json::Value& root) const {
    Json::Value body;
    body[configKeys::DATA_CENTERS] = jsonStringList(dataCenters);
    return setMessageBody(root, typeName(), std::move(body));
}

bool IpcSetZTNADataCenterMessage::deserialize(const Json::Value& root) {
    Json::Value body;
    return getJsonValue(root, typeName(), body) && getJsonStringList(body, configKeys::DATA_CENTERS, dataCenters);
}

// "user-logon"
const char* IpcUserLogon::typeName() const { return configKeys::IPC_USER_LOGON; }

bool IpcUserLogon::serialize(Json::Value& root) const {
    Json::Value body;
    body[configKeys::USERNAME] = username;
    body[configKeys::SID] = sid;
    return setMessageBody(root, typeName(), std::move(body));
}

bool IpcUserLogon::deserialize(const Json::Value& root) {
    Json::Value body;
    return getJsonValue(root, typeName(), body) && getJsonString(body, configKeys::USERNAME, username) &&
           getJsonString(body, configKeys::SID, sid);
}

// "network_changes"
const char* IpcNotifyNetworkChanges::typeName() const { return configKeys::IPC_NETWORK_CHANGES; }

bool IpcNotifyNetworkChanges::serialize(Json::Value& root) const {
    Json::Value body;
    body[configKeys::IP_ADDRESS] = ipAddress;
    return setMessageBody(root, typeName(), std::move(body));
}

bool IpcNotifyNetworkChanges::deserialize(const Json::Value& root) {
    Json::Value body;
    return getJsonValue(root, typeName(), body) && getJsonString(body, configKeys::IP_ADDRESS, ipAddress);
}

// "setting_changes"
const char* IpcNotifyUpdateSettings::typeName() const { return configKeys::IPC_SETTING_CHANGES; }
