// Readers that take one member out of a parsed JSON object. Each returns false
// and leaves its output unchanged when the object has no member of that name,
// when the value is not an object, or when the member's type does not convert;
// none of them throws.
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

// The member whole, of any type.
bool getJsonValue(const Json::Value& object, const char* key, Json::Value& out);
// Null, bool or a number within the signed 32-bit range (fractions cut).
bool getJsonInt(const Json::Value& object, const char* key, int& out);
// Only a JSON string; the copy ends at the first NUL inside it.
bool getJsonString(const Json::Value& object, const char* key, std::string& out);
// Null, bool or a number.
bool getJsonBool(const Json::Value& object, const char* key, bool& out);
// An array of scalars, each appended as text (numbers in decimal). A value
// without elements (null, a scalar, {}) appends nothing and succeeds; an
// object with members, or an element that is an array or object, fails.
bool getJsonStringList(const Json::Value& object, const char* key, std::vector<std::string>& out);

// A list as written on the bus: an array of strings, or null when empty.
Json::Value jsonStringList(const std::vector<std::string>& list);
