// The bytes every message puts on the wire, and what the parser makes of them.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include "ipclib/ipcMessages.h"
#include "ipclib/ipcServiceParser.h"

namespace {

struct WireCase {
    const char* name;
    std::function<std::unique_ptr<IIpcMessage>()> make;
    std::string body;
};

template <typename Message>
std::unique_ptr<IIpcMessage> with(const std::function<void(Message&)>& fill) {
    auto message = std::make_unique<Message>();
    fill(*message);
    return message;
}

std::vector<WireCase> wireCases() {
    return {
        {"rebroadcast",
         [] {
             return with<IpcRebroadcastMessage>([](IpcRebroadcastMessage& m) {
                 m.inner["post-uimessage"]["message-content"] = "x";
             });
         },
         "{\"rebroadcast\":{\"post-uimessage\":{\"message-content\":\"x\"}}}\n"},
        {"post-uimessage", [] { return std::make_unique<IpcPostUiMessage>("Update available - reboot device to update"); },
         "{\"post-uimessage\":{\"message-content\":\"Update available - reboot device to update\"}}\n"},
        {"set-ikey", [] { return with<IpcSetInstallerKeyMessage>([](IpcSetInstallerKeyMessage& m) { m.key = "K-1"; }); },
         "{\"set-ikey\":{\"thekey\":\"K-1\"}}\n"},
        {"request-log-level", [] { return with<IpcRequestLogLevel>([](IpcRequestLogLevel& m) { m.level = 6; }); },
         "{\"request-log-level\":{\"loglevel\":6}}\n"},
        {"request-log-level initial", [] { return std::make_unique<IpcRequestLogLevel>(); },
         "{\"request-log-level\":{\"loglevel\":-1}}\n"},
        {"login-success",
         [] {
             return with<IpcLoginSuccess>([](IpcLoginSuccess& m) {
                 m.username = "ann";
                 m.sid = "S-1-5-21-7";
                 m.userDeactivated = true;
             });
         },
         "{\"login-success\":{\"sid\":\"S-1-5-21-7\",\"user_deactivated\":true,\"username\":\"ann\"}}\n"},
        {"ServiceStatus", [] { return std::make_unique<ServiceStatus>(); },
         "{\"ServiceStatus\":{\"logging\":{\"level\":7,\"max_file_size\":1000000}}}\n"},
        {"config-refresh", [] { return std::make_unique<IpcRequestConfigRequest>(); }, "{\"config-refresh\":null}\n"},
        {"login-request", [] { return std::make_unique<IpcRequestLogin>(); },
         "{\"login-request\":{\"assigned_username\":\"\",\"login_url\":\"\",\"notification_url\":\"\","
         "\"user_deactivated\":false}}\n"},
        {"login-request filled",
         [] {
             return with<IpcRequestLogin>([](IpcRequestLogin& m) {
                 m.loginUrl = "https://l/";
                 m.assignedUsername = "bo";
                 m.notificationUrl = "https://n/";
                 m.userDeactivated = true;
             });
         },
         "{\"login-request\":{\"assigned_username\":\"bo\",\"login_url\":\"https://l/\",\"notification_url\":"
         "\"https://n/\",\"user_deactivated\":true}}\n"},
        {"create_mqtt_subscribr no topics",
         [] {
             return with<IpcCreateMqttSubscriber>([](IpcCreateMqttSubscriber& m) {
                 m.url = "u";
                 m.machineGuid = "g";
             });
         },
         "{\"create_mqtt_subscribr\":{\"machine_guid\":\"g\",\"topics\":null,\"url\":\"u\"}}\n"},
        {"create_mqtt_subscribr topics",
         [] {
             return with<IpcCreateMqttSubscriber>([](IpcCreateMqttSubscriber& m) {
                 m.url = "u";
                 m.machineGuid = "g";
                 m.topics = {"b", "a"};
             });
         },
         "{\"create_mqtt_subscribr\":{\"machine_guid\":\"g\",\"topics\":[\"b\",\"a\"],\"url\":\"u\"}}\n"},
        {"reset-register-state", [] { return std::make_unique<IpcResetRegisterState>(); },
         "{\"reset-register-state\":null}\n"},
        {"ipc_cmd_notify_health_state", [] { return std::make_unique<IpcNotifyHealthState>(); },
         "{\"ipc_cmd_notify_health_state\":{\"ipc_cmd_health_state\":11}}\n"},
        {"ztna empty", [] { return std::make_unique<IpcSetZTNADataCenterMessage>(); },
         "{\"ztna\":{\"data_centers\":null}}\n"},
        {"ztna",
         [] {
             return with<IpcSetZTNADataCenterMessage>(
                 [](IpcSetZTNADataCenterMessage& m) { m.dataCenters = {"fra", "ams"}; });
         },
         "{\"ztna\":{\"data_centers\":[\"fra\",\"ams\"]}}\n"},
        {"user-logon",
         [] {
             return with<IpcUserLogon>([](IpcUserLogon& m) {
                 m.username = "u\"q";
                 m.sid = "s";
             });
         },
         "{\"user-logon\":{\"sid\":\"s\",\"username\":\"u\\\"q\"}}\n"},
        {"network_changes",
         [] { return with<IpcNotifyNetworkChanges>([](IpcNotifyNetworkChanges& m) { m.ipAddress = "10.0.0.7"; }); },
         "{\"network_changes\":{\"ip_address\":\"10.0.0.7\"}}\n"},
        {"setting_changes", [] { return std::make_unique<IpcNotifyUpdateSettings>(); }, "{\"setting_changes\":null}\n"},
    };
}

std::unique_ptr<IIpcMessage> parse(const std::string& body) {
    std::unique_ptr<IIpcMessage> message;
    bool parsed = false;
    EXPECT_NO_THROW(parsed = ipcServiceParser::createMessage(body, message)) << body.substr(0, 80);
    if (!parsed) return nullptr;
    EXPECT_NE(message, nullptr);
    return message;
}

std::string bodyOf(const IIpcMessage& message) {
    std::string body;
    EXPECT_TRUE(serializeIpcMessage(message, body)) << message.typeName();
    return body;
}

template <typename Message>
Message* parseAs(const std::string& body, std::unique_ptr<IIpcMessage>& holder) {
    holder = parse(body);
    return dynamic_cast<Message*>(holder.get());
}

}  // namespace

TEST(IpcMessageWire, EveryMessageWritesItsExactBytesAndReadsBackAsItself) {
    for (const WireCase& wire : wireCases()) {
        SCOPED_TRACE(wire.name);
        std::unique_ptr<IIpcMessage> sent = wire.make();
        EXPECT_EQ(bodyOf(*sent), wire.body);
        std::unique_ptr<IIpcMessage> received = parse(wire.body);
        ASSERT_NE(received, nullptr);
        EXPECT_EQ(typeid(*received), typeid(*sent));
        EXPECT_EQ(bodyOf(*received), wire.body);
    }
}

TEST(IpcMessageWire, LogLevelRequestIsThirtySevenBytes) {
    IpcRequestLogLevel request;
    request.level = 6;
    EXPECT_EQ(bodyOf(request).size(), 37u);
}

TEST(IpcMessageWire, EmptyTextOrKeyIsNotSentAndLeavesTheRootAlone) {
    Json::Value root;
    EXPECT_FALSE(IpcPostUiMessage(nullptr).serialize(root));
    EXPECT_FALSE(IpcPostUiMessage("").serialize(root));
    EXPECT_FALSE(IpcSetInstallerKeyMessage().serialize(root));
    EXPECT_TRUE(root.isNull());
    std::string body = "untouched";
    EXPECT_FALSE(serializeIpcMessage(IpcSetInstallerKeyMessage(), body));
    EXPECT_EQ(body, "untouched");
}

TEST(IpcMessageWire, SerialisingIntoARootThatIsNotAnObjectFailsWithoutThrowing) {
    Json::Value root(5);
    EXPECT_NO_THROW(EXPECT_FALSE(ServiceStatus().serialize(root)));
    EXPECT_NO_THROW(EXPECT_FALSE(IpcRequestConfigRequest().serialize(root)));
    EXPECT_EQ(root.asInt(), 5);
}

TEST(IpcServiceParser, ParsesMembersAndFollowsTheFixedKeyOrder) {
    std::unique_ptr<IIpcMessage> held;
    EXPECT_NE(parseAs<IpcRequestConfigRequest>("{\"config-refresh\":5}", held), nullptr);
    EXPECT_NE(parseAs<IpcSetZTNADataCenterMessage>(
                  "{\"user-logon\":{\"username\":\"u\",\"sid\":\"s\"},\"ztna\":{\"data_centers\":[\"a\",\"b\"]}}", held),
              nullptr);
    // A failed key does not stop the search.
    auto* key = parseAs<IpcSetInstallerKeyMessage>("{\"post-uimessage\":{},\"set-ikey\":{\"thekey\":\"k\"}}", held);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->key, "k");
    // Members of other names are ignored.
    auto* level = parseAs<IpcRequestLogLevel>("{\"zz\":1,\"request-log-level\":{\"loglevel\":3,\"extra\":[]}}", held);
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(level->level, 3);
    auto* status = parseAs<ServiceStatus>("{\"ServiceStatus\":{\"logging\":{\"level\":4,\"max_file_size\":55}}}", held);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->logging.level, 4);
    EXPECT_EQ(status->logging.max_file_size, 55);
    auto* rebroadcast = parseAs<IpcRebroadcastMessage>("{\"rebroadcast\":5}", held);
    ASSERT_NE(rebroadcast, nullptr);
    EXPECT_EQ(rebroadcast->value().asInt(), 5);
}

TEST(IpcServiceParser, ConvertsListsAndScalarsAsTheWireAllows) {
    std::unique_ptr<IIpcMessage> held;
    auto* mqtt =
        parseAs<IpcCreateMqttSubscriber>("{\"create_mqtt_subscribr\":{\"url\":\"u\",\"machine_guid\":\"g\",\"topics\":null}}", held);
    ASSERT_NE(mqtt, nullptr);
    EXPECT_TRUE(mqtt->topics.empty());
    auto* ztna = parseAs<IpcSetZTNADataCenterMessage>("{\"ztna\":{\"data_centers\":[7,\"x\",true,null]}}", held);
    ASSERT_NE(ztna, nullptr);
    EXPECT_EQ(ztna->dataCenters, (std::vector<std::string>{"7", "x", "true", ""}));
    EXPECT_NE(parseAs<IpcSetZTNADataCenterMessage>("{\"ztna\":{\"data_centers\":{}}}", held), nullptr);
    EXPECT_NE(parseAs<IpcSetZTNADataCenterMessage>("{\"ztna\":{\"data_centers\":\"fra\"}}", held), nullptr);
    auto* health = parseAs<IpcNotifyHealthState>("{\"ipc_cmd_notify_health_state\":{\"ipc_cmd_health_state\":2.9}}", held);
    ASSERT_NE(health, nullptr);
    EXPECT_EQ(health->healthState, 2);
    auto* login = parseAs<IpcLoginSuccess>(
        "{\"login-success\":{\"username\":\"u\",\"sid\":\"s\",\"user_deactivated\":1}}", held);
    ASSERT_NE(login, nullptr);
    EXPECT_TRUE(login->userDeactivated);
    auto* nul = parseAs<IpcSetInstallerKeyMessage>("{\"set-ikey\":{\"thekey\":\"ab\\u0000cd\"}}", held);
    ASSERT_NE(nul, nullptr);
    EXPECT_EQ(nul->key, "ab");
    auto* limits = parseAs<IpcRequestLogLevel>("{\"request-log-level\":{\"loglevel\":-2147483648}}", held);
    ASSERT_NE(limits, nullptr);
    EXPECT_EQ(limits->level, INT32_MIN);
}

TEST(IpcServiceParser, AcceptsCommentsAndEmptyTextThatCannotBeSentAgain) {
    std::unique_ptr<IIpcMessage> held;
    EXPECT_NE(parseAs<IpcRequestConfigRequest>("/* lead */ {/* in */ \"config-refresh\":null // rest of line\n} // tail\n", held),
              nullptr);
    auto* empty = parseAs<IpcPostUiMessage>("{\"post-uimessage\":{\"message-content\":\"\"}}", held);
    ASSERT_NE(empty, nullptr);
    std::string body;
    EXPECT_FALSE(serializeIpcMessage(*empty, body));
}

TEST(IpcServiceParser, RejectsHostileAndIncompleteBodiesWithoutThrowing) {
    const std::string deepArrays = std::string(2000, '[') + std::string(2000, ']');
    std::string deepObjects;
    for (int i = 0; i < 2000; ++i) deepObjects += "{\"a\":";
    deepObjects += "1" + std::string(2000, '}');
    std::string manyValues = "0";
    while (manyValues.size() < 2 * ipcServiceParser::kMaxValues) manyValues += ",0";
    const std::vector<std::string> bodies = {
        "{\"post-uimessage\":{\"message-content\":\"x\",\"pad\":[" + manyValues + "]}}",
        "",
        " \n",
        "null",
        "[]",
        "[{\"config-refresh\":null}]",
        "5",
        "\"config-refresh\"",
        "{\"config-refresh\":null",
        "{\"unknown\":{}}",
        deepArrays,
        deepObjects,
        "{\"rebroadcast\":" + deepArrays + "}",
        "{\"config-refresh\":" + deepArrays + "}",
        "{\"request-log-level\":{}}",
        "{\"request-log-level\":5}",
        "{\"request-log-level\":[{\"loglevel\":1}]}",
        "{\"request-log-level\":{\"loglevel\":\"6\"}}",
        "{\"request-log-level\":{\"loglevel\":[6]}}",
        "{\"request-log-level\":{\"loglevel\":{}}}",
        "{\"request-log-level\":{\"loglevel\":2147483648}}",
        "{\"request-log-level\":{\"loglevel\":-2147483649}}",
        "{\"request-log-level\":{\"loglevel\":18446744073709551615}}",
        "{\"request-log-level\":{\"loglevel\":1e300}}",
        "{\"request-log-level\":{\"loglevel\":1e400}}",
        "{\"post-uimessage\":{\"message-content\":5}}",
        "{\"post-uimessage\":{\"message-content\":null}}",
        "{\"post-uimessage\":\"text\"}",
        "{\"set-ikey\":{\"thekey\":[\"k\"]}}",
        "{\"login-success\":{\"username\":\"u\",\"sid\":\"s\",\"user_deactivated\":\"yes\"}}",
        "{\"login-success\":{\"username\":\"u\",\"sid\":\"s\"}}",
        "{\"ServiceStatus\":{\"logging\":5}}",
        "{\"ServiceStatus\":{\"logging\":{\"level\":7}}}",
        "{\"ServiceStatus\":{\"logging\":{\"level\":7,\"max_file_size\":\"big\"}}}",
        "{\"login-request\":{\"login_url\":\"l\",\"assigned_username\":\"a\",\"user_deactivated\":false}}",
        "{\"create_mqtt_subscribr\":{\"url\":\"u\",\"machine_guid\":\"g\"}}",
        "{\"create_mqtt_subscribr\":{\"url\":\"u\",\"machine_guid\":\"g\",\"topics\":{\"t\":1}}}",
        "{\"ztna\":{\"data_centers\":[\"a\",[\"b\"]]}}",
        "{\"ztna\":{\"data_centers\":[{}]}}",
        "{\"ztna\":[]}",
        "{\"ipc_cmd_notify_health_state\":{\"ipc_cmd_health_state\":\"1\"},\"ztna\":{\"data_centers\":{\"a\":1}}}",
        "{\"user-logon\":{\"username\":\"u\",\"sid\":7}}",
        "{\"network_changes\":{\"ip_address\":false}}",
    };
    for (const std::string& body : bodies) {
        std::unique_ptr<IIpcMessage> out(new IpcRequestLogLevel());
        IIpcMessage* before = out.get();
        bool parsed = true;
        EXPECT_NO_THROW(parsed = ipcServiceParser::createMessage(body, out)) << body.substr(0, 80);
        EXPECT_FALSE(parsed) << body.substr(0, 80);
        EXPECT_EQ(out.get(), before) << "out must stay untouched";
    }
}

// The guard reads strings and comments as the reader does: separators a
// string or a comment holds are not counted, and no quote or comment opener
// inside one hides what follows it.
TEST(IpcServiceParser, MeasuresABodyAsTheReaderWillReadIt) {
    std::string values = "0";
    while (values.size() < 2 * ipcServiceParser::kMaxValues) values += ",0";
    const std::string hidden(4 * ipcServiceParser::kMaxValues, ',');
    const std::vector<std::pair<std::string, bool>> cases = {
        {"[" + values + "]", false},
        {"[/*\"*/" + values + "/*\"*/]", false},
        {"[//\"\n" + values + "]", false},
        {"[\"/*\"," + values + "]", false},
        {"[\"\\\"\"," + values + "]", false},
        {"[\"" + hidden + "\"]", true},
        {"[0/*" + hidden + "*/]", true},
        {"[0//" + hidden + "\r]", true},
        {"[0/" + values + "]", true},  // not a comment: the parse ends there
        {std::string(ipcServiceParser::kMaxDepth, '[') + std::string(ipcServiceParser::kMaxDepth, ']'), true},
        {std::string(ipcServiceParser::kMaxDepth + 1, '[') + std::string(ipcServiceParser::kMaxDepth + 1, ']'), false},
    };
    for (const auto& [body, admitted] : cases) EXPECT_EQ(ipcServiceParser::admitsBody(body), admitted) << body.substr(0, 12);
}

TEST(IpcServiceParser, RawBytesThatAreNotUtf8AreReadAndWrittenWithoutThrowing) {
    std::unique_ptr<IIpcMessage> held;
    auto* text = parseAs<IpcPostUiMessage>("{\"post-uimessage\":{\"message-content\":\"a\xff\xc3\"}}", held);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text, "a\xff\xc3");
    std::string body;
    EXPECT_NO_THROW(EXPECT_TRUE(serializeIpcMessage(*text, body)));
    EXPECT_EQ(body.back(), '\n');
}

TEST(IpcServiceParser, HandlesNestingUpToTheReaderLimitOnAWorkerThread) {
    // The loop thread parses with the default stack; the reader's own limit
    // (1000 levels) must leave room in it for parsing, writing and freeing.
    const std::string inner = std::string(990, '[') + std::string(990, ']');
    bool parsed = false;
    std::string rewritten;
    std::thread worker([&] {
        std::unique_ptr<IIpcMessage> message;
        parsed = ipcServiceParser::createMessage("{\"rebroadcast\":" + inner + "}", message);
        if (parsed) rewritten = fastWriterText(static_cast<IpcRebroadcastMessage&>(*message).value());
    });
    worker.join();
    EXPECT_TRUE(parsed);
    EXPECT_EQ(rewritten, inner + "\n");
}
