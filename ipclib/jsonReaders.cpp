#include "ipclib/jsonReaders.h"

namespace {

// Json::Value::find asserts (throws) on anything but an object or null, so the
// type is tested before the lookup.
const Json::Value* findMember(const Json::Value& object, const char* key) {
    if (!object.isObject() || key == nullptr) return nullptr;
    return object.find(key, key + std::char_traits<char>::length(key));
}

bool isListElement(const Json::Value& element) {
    return !element.isArray() && !element.isObject();
}

}  // namespace

bool getJsonValue(const Json::Value& object, const char* key, Json::Value& out) {
    const Json::Value* member = findMember(object, key);
    if (member == nullptr) return false;
    out = *member;
    return true;
}

bool getJsonInt(const Json::Value& object, const char* key, int& out) {
    const Json::Value* member = findMember(object, key);
    if (member == nullptr || !member->isConvertibleTo(Json::intValue)) return false;
    out = member->asInt();
    return true;
}

bool getJsonString(const Json::Value& object, const char* key, std::string& out) {
    const Json::Value* member = findMember(object, key);
    if (member == nullptr || !member->isString()) return false;
    const char* text = member->asCString();
    out = text != nullptr ? text : "";
    return true;
}

bool getJsonBool(const Json::Value& object, const char* key, bool& out) {
    const Json::Value* member = findMember(object, key);
    if (member == nullptr || !member->isConvertibleTo(Json::booleanValue)) return false;
    out = member->asBool();
    return true;
}

bool getJsonStringList(const Json::Value& object, const char* key, std::vector<std::string>& out) {
    const Json::Value* member = findMember(object, key);
    if (member == nullptr) return false;
    if (member->isObject()) return member->empty();
    if (!member->isArray()) return true;
    for (Json::ArrayIndex i = 0; i < member->size(); ++i) {
        const Json::Value& element = (*member)[i];
        if (!isListElement(element)) return false;
        out.push_back(element.asString());
    }
    return true;
}

Json::Value jsonStringList(const std::vector<std::string>& list) {
    Json::Value array;  // null when the list is empty
    for (const std::string& entry : list) array.append(entry);
    return array;
}
