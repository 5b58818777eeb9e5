// Each message type reaches exactly its handler; nothing else does.
#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "ipclib/ipcServiceParser.h"
#include "support/logLines.h"
#include "support/testUtil.h"

namespace {

class SlotRecorder : public ipcServiceParser {
public:
    std::vector<int> slots;
    bool throwInHandler = false;

    void onMessage(IIpcEndpoint*, const std::string&) override { hit(1); }
    void onDisconnect(IIpcEndpoint*) override { hit(2); }
    void onConnect(IIpcEndpoint*) override { hit(3); }
    void onRebroadcast(const IpcRebroadcastMessage&) override { hit(4); }
    void onPostUiMessage(const IpcPostUiMessage&) override { hit(5); }
    void onSetInstallerKey(const IpcSetInstallerKeyMessage&) override { hit(6); }
    void onRequestLogLevelChange(const IpcRequestLogLevel&) override { hit(7); }
    void onLoginSuccess(const IpcLoginSuccess&) override { hit(8); }
    void onServiceStatus(const ServiceStatus&) override { hit(9); }
    void onRequestConfig() override { hit(10); }
    void onReserved() override { hit(11); }
    void onRequestLogin(const IpcRequestLogin&) override { hit(12); }
    void onCreateMqttSubscriber(const IpcCreateMqttSubscriber&) override { hit(13); }
    void onResetRegisterState(const IpcResetRegisterState&) override { hit(14); }
    void onNotifyHealthState(const IpcNotifyHealthState&) override { hit(15); }
    void onSetZTNADataCenter(const IpcSetZTNADataCenterMessage&) override { hit(16); }
    void onUserLogon(const IpcUserLogon&) override { hit(17); }
    void onNotifyNetworkChanges(const IpcNotifyNetworkChanges&) override { hit(18); }
    void onNotifyUpdateSettings(const IpcNotifyUpdateSettings&) override { hit(19); }

private:
    void hit(int slot) {
        slots.push_back(slot);
        if (throwInHandler) throw std::runtime_error("handler failed");
    }
};

}  // namespace

TEST(IpcDispatch, EachTypeKeyReachesItsOwnHandler) {
    const std::vector<std::pair<std::string, int>> cases = {
        {R"({"rebroadcast":{"config-refresh":null}})", 4},
        {R"({"post-uimessage":{"message-content":"hi"}})", 5},
        {R"({"set-ikey":{"thekey":"k"}})", 6},
        {R"({"request-log-level":{"loglevel":5}})", 7},
        {R"({"login-success":{"username":"u","sid":"s","user_deactivated":false}})", 8},
        {R"({"ServiceStatus":{"logging":{"level":7,"max_file_size":1000000}}})", 9},
        {R"({"config-refresh":5})", 10},
        {R"({"login-request":{"login_url":"l","assigned_username":"a","notification_url":"n","user_deactivated":true}})",
         12},
        {R"({"create_mqtt_subscribr":{"url":"u","machine_guid":"g","topics":["t"]}})", 13},
        {R"({"reset-register-state":null})", 14},
        {R"({"ipc_cmd_notify_health_state":{"ipc_cmd_health_state":3}})", 15},
        {R"({"ztna":{"data_centers":["a","b"]}})", 16},
        {R"({"user-logon":{"username":"u","sid":"s"}})", 17},
        {R"({"network_changes":{"ip_address":"10.0.0.1"}})", 18},
        {R"({"setting_changes":null})", 19},
    };
    for (const auto& [body, slot] : cases) {
        SlotRecorder parser;
        parser.dispatchMessage(body + "\n");
        EXPECT_EQ(parser.slots, std::vector<int>{slot}) << body;
    }
}

// Only a body too costly to parse is logged, once for a run of them.
TEST(IpcDispatch, BodiesThatYieldNoMessageReachNoHandlerAndOnlyCostlyOnesAreLogged) {
    testutil::LogCapture log(8);
    SlotRecorder parser;
    const std::string deep = std::string(2000, '[') + std::string(2000, ']');
    for (const std::string& body : {std::string(), std::string("not json"), std::string("[1,2]"), std::string("5"),
                                    std::string(R"({"request-log-level":{}})"), std::string(R"({"unknown":{}})"),
                                    std::string(R"({"post-uimessage":{"message-content":7}})"), deep,
                                    std::string(R"({"ztna":)") + deep + "}"}) {
        EXPECT_NO_THROW(parser.dispatchMessage(body)) << body.substr(0, 40);
    }
    EXPECT_TRUE(parser.slots.empty());
    EXPECT_TRUE(testutil::loggedAt(log.text(), "IPC message body of 4000 bytes refused unparsed", "Warn")) << log.text();
    EXPECT_EQ(testutil::countLines(log.text(), " > "), 1u) << log.text();
}

TEST(IpcDispatch, AHandlerThatThrowsDoesNotEscapeDispatch) {
    testutil::LogCapture log(8);
    SlotRecorder parser;
    parser.throwInHandler = true;
    EXPECT_NO_THROW(parser.dispatchMessage(R"({"config-refresh":null})"));
    EXPECT_EQ(parser.slots, std::vector<int>{10});
    EXPECT_TRUE(log.contains("handler failed"));
}
