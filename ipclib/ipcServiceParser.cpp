#include "ipclib/ipcServiceParser.h"

#include "ipclib/IpcBodyShape.h"

#include "utils/configKeys.h"
#include "utils/twlogger.h"

#include <exception>
#include <vector>

namespace {

struct MessageKind {
    const char* key;
    std::unique_ptr<IIpcMessage> (*make)();
};

template <typename Message>
std::unique_ptr<IIpcMessage> make() {
    return std::unique_ptr<IIpcMessage>(new Message());
}

// The order in which a root's members are tried; the first whose body reads
// completely wins, whatever the order of the members in the text.
const std::vector<MessageKind>& messageKinds() {
    namespace k = configKeys;
    static const std::vector<MessageKind> kinds = {
        {k::IPC_REBROADCAST, make<IpcRebroadcastMessage>},
        {k::IPC_POST_UIMESSAGE, make<IpcPostUiMessage>},
        {k::IPC_SET_IKEY, make<IpcSetInstallerKeyMessage>},
        {k::IPC_REQUEST_LOG_LEVEL, make<IpcRequestLogLevel>},
        {k::IPC_LOGIN_SUCCESS, make<IpcLoginSuccess>},
        {k::IPC_SERVICE_STATUS, make<ServiceStatus>},
        {k::IPC_CONFIG_REFRESH, make<IpcRequestConfigRequest>},
        {k::IPC_LOGIN_REQUEST, make<IpcRequestLogin>},
        {k::IPC_CREATE_MQTT_SUBSCRIBR, make<IpcCreateMqttSubscriber>},
        {k::IPC_RESET_REGISTER_STATE, make<IpcResetRegisterState>},
        {k::IPC_CMD_NOTIFY_HEALTH_STATE, make<IpcNotifyHealthState>},
        {k::IPC_ZTNA, make<IpcSetZTNADataCenterMessage>},
        {k::IPC_USER_LOGON, make<IpcUserLogon>},
        {k::IPC_NETWORK_CHANGES, make<IpcNotifyNetworkChanges>},
        {k::IPC_SETTING_CHANGES, make<IpcNotifyUpdateSettings>},
    };
    return kinds;
}

// Comments are accepted but not collected: the reader attaches each one to
// the value before it by scanning back to that value, which makes a line of
// comments cost the square of its length. The reader throws when nesting
// passes its stack limit; such a body is simply not a message.
bool parseBody(const std::string& body, Json::Value& root) {
    try {
        Json::Reader reader;
        return reader.parse(body, root, false);
    } catch (const std::exception&) {
        return false;
    }
}

bool readMessage(const Json::Value& root, IIpcMessage& message) {
    try {
        return message.deserialize(root);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool ipcServiceParser::admitsBody(const std::string& body) {
    const IpcBodyShape shape = measureBodyShape(body);
    return shape.values < kMaxValues && shape.depth <= kMaxDepth;
}

bool ipcServiceParser::createMessage(const std::string& body, std::unique_ptr<IIpcMessage>& out) {
    Json::Value root;
    return admitsBody(body) && parseBody(body, root) && createMessage(root, out);
}

bool ipcServiceParser::createMessage(const Json::Value& root, std::unique_ptr<IIpcMessage>& out) {
    if (!root.isObject()) return false;
    for (const MessageKind& kind : messageKinds()) {
        if (!root.isMember(kind.key)) continue;
        std::unique_ptr<IIpcMessage> message = kind.make();
        if (readMessage(root, *message)) {
            out = std::move(message);
            return true;
        }
    }
    return false;
}

void ipcServiceParser::dispatchMessage(const std::string& body) {
    if (!admitsBody(body)) {
        refusedBodies_.refused("", LOG_WARN,
                               "IPC message body of " + std::to_string(body.size()) + " bytes refused unparsed: over " +
                                   std::to_string(kMaxValues) + " values or " + std::to_string(kMaxDepth) +
                                   " levels of nesting.");
        return;
    }
    Json::Value root;
    std::unique_ptr<IIpcMessage> message;
    if (!parseBody(body, root) || !createMessage(root, message)) return;
    // A handler that throws must not end the loop thread, and with it the bus.
    try {
        dispatch(*message);
    } catch (const std::exception& e) {
        TWLOG(LOG_ERROR, "Catch an unexpected exception handling " << message->typeName() << ": " << e.what());
    } catch (...) {
        TWLOG(LOG_ERROR, "Catch an unexpected exception handling " << message->typeName());
    }
}

namespace {

template <typename Message, typename Handler>
bool dispatchAs(const IIpcMessage& message, Handler handler) {
    const auto* typed = dynamic_cast<const Message*>(&message);
    if (typed == nullptr) return false;
    handler(*typed);
    return true;
}

}  // namespace

void ipcServiceParser::dispatch(const IIpcMessage& m) {
    dispatchAs<IpcRebroadcastMessage>(m, [this](const auto& x) { onRebroadcast(x); }) ||
        dispatchAs<IpcPostUiMessage>(m, [this](const auto& x) { onPostUiMessage(x); }) ||
        dispatchAs<IpcSetInstallerKeyMessage>(m, [this](const auto& x) { onSetInstallerKey(x); }) ||
        dispatchAs<IpcRequestLogLevel>(m, [this](const auto& x) { onRequestLogLevelChange(x); }) ||
        dispatchAs<ServiceStatus>(m, [this](const auto& x) { onServiceStatus(x); }) ||
        dispatchAs<IpcRequestConfigRequest>(m, [this](const auto&) { onRequestConfig(); }) ||
        dispatchAs<IpcRequestLogin>(m, [this](const auto& x) { onRequestLogin(x); }) ||
        dispatchAs<IpcLoginSuccess>(m, [this](const auto& x) { onLoginSuccess(x); }) ||
        dispatchAs<IpcCreateMqttSubscriber>(m, [this](const auto& x) { onCreateMqttSubscriber(x); }) ||
        dispatchAs<IpcResetRegisterState>(m, [this](const auto& x) { onResetRegisterState(x); }) ||
        dispatchAs<IpcNotifyHealthState>(m, [this](const auto& x) { onNotifyHealthState(x); }) ||
        dispatchAs<IpcSetZTNADataCenterMessage>(m, [this](const auto& x) { onSetZTNADataCenter(x); }) ||
        dispatchAs<IpcUserLogon>(m, [this](const auto& x) { onUserLogon(x); }) ||
        dispatchAs<IpcNotifyNetworkChanges>(m, [this](const auto& x) { onNotifyNetworkChanges(x); }) ||
        dispatchAs<IpcNotifyUpdateSettings>(m, [this](const auto& x) { onNotifyUpdateSettings(x); });
}
