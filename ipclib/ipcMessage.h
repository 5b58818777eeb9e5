// The abstract message of the loopback bus and the helpers that turn a message
// into the body text of a frame.
//
// Frame on a connection: 4-byte body length, unsigned, big-endian, then the
// body. Body: Json::FastWriter text of a root object with one member, named by
// the message's type key, ending with "\n" (counted in the length).
#pragma once

#include <json/json.h>

#include <string>

class IIpcMessage {
public:
    virtual ~IIpcMessage() = default;
    // Sets root[typeName()] to the message's body value. False (root left as it
    // was) when the message may not be sent.
    virtual bool serialize(Json::Value& root) const = 0;
    // Reads root[typeName()] into the fields. False when that member or one of
    // the body's members is missing or of a type that does not convert; never
    // throws.
    virtual bool deserialize(const Json::Value& root) = 0;
    // The type key, a constant string.
    virtual const char* typeName() const = 0;
};

// The commands that carry no data: written as {"<key>":null}; any value under
// the key is accepted when reading.
class IpcRequestCommand : public IIpcMessage {
public:
    bool serialize(Json::Value& root) const override;
    bool deserialize(const Json::Value& root) override;
};

// Sets root[key] = body. False, root unchanged, when root is neither null nor
// an object.
bool setMessageBody(Json::Value& root, const char* key, Json::Value body);

// The compact text of a JSON value as Json::FastWriter writes it, "\n" included.
std::string fastWriterText(const Json::Value& value);

// The frame body of a message (serialize into a null root, then the compact
// writer). False when the message refuses to serialise; body is then untouched.
bool serializeIpcMessage(const IIpcMessage& message, std::string& body);

// What the log shows of a body: its first 200 bytes, and its size when it is
// longer, so that no peer can fill the log with what it sends.
std::string bodyExcerpt(const std::string& body);
