#include "ipclib/ipcMessage.h"

#include "ipclib/jsonReaders.h"

bool setMessageBody(Json::Value& root, const char* key, Json::Value body) {
    // operator[] on any other type throws.
    if (!root.isNull() && !root.isObject()) return false;
    root[key] = std::move(body);
    return true;
}

bool IpcRequestCommand::serialize(Json::Value& root) const { return setMessageBody(root, typeName(), Json::Value()); }

bool IpcRequestCommand::deserialize(const Json::Value& root) {
    Json::Value ignored;
    return getJsonValue(root, typeName(), ignored);
}

std::string fastWriterText(const Json::Value& value) {
    Json::FastWriter writer;
    return writer.write(value);
}

bool serializeIpcMessage(const IIpcMessage& message, std::string& body) {
    Json::Value root;
    if (!message.serialize(root)) return false;
    body = fastWriterText(root);
    return true;
}

std::string bodyExcerpt(const std::string& body) {
    constexpr size_t kShown = 200;
    if (body.size() <= kShown) return body;
    return body.substr(0, kShown) + "... (" + std::to_string(body.size()) + " bytes)";
}
