// The runtime's IPC server: its published port, the greeting, what it reports
// to the service core, and its end.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "palvane/shared/palvaneIpc.h"
#include "support/ipcTestPeer.h"
#include "support/logLines.h"
#include "utils/configKeys.h"
#include "utils/win/localconfig.h"

using PALVANE_SERVICE::I_SoftwareManagerIpcListener;
using PALVANE_SERVICE::PalvaneServer;
using testutil::IpcTestPeer;

namespace {

const char* const kGreeting = "{\"ServiceStatus\":{\"logging\":{\"level\":7,\"max_file_size\":1000000}}}\n";

class CoreStandIn : public I_SoftwareManagerIpcListener {
public:
    void onLogLevelChange(int level) override {
        std::lock_guard<std::mutex> lock(lock_);
        events_.push_back("level " + std::to_string(level));
    }
    void onIpcReady(bool reachable) override {
        std::lock_guard<std::mutex> lock(lock_);
        events_.push_back(reachable ? "ready" : "unreachable");
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(lock_);
        return events_;
    }
    bool waitEvents(size_t count) {
        return testutil::waitUntil([&] { return events().size() >= count; });
    }

private:
    std::mutex lock_;
    std::vector<std::string> events_;
};

bool portSetting(std::string& value) { return localConfig(true).getString(configKeys::IPC_PALVANE_PORT, value); }

std::unique_ptr<IpcTestPeer> greetedPeer(uint16_t port) {
    auto peer = std::make_unique<IpcTestPeer>();
    EXPECT_TRUE(peer->connectTo(port));
    std::string body;
    EXPECT_TRUE(peer->readFrame(body));
    EXPECT_EQ(body, kGreeting);
    return peer;
}

}  // namespace

TEST(PalvaneServer, PublishesItsPortExactlyWhileItLives) {
    testutil::TrayStandIn tray;
    std::string value;
    ASSERT_FALSE(portSetting(value));
    {
        auto server = std::make_unique<PalvaneServer>(nullptr, tray.ownerFinder());
        ASSERT_TRUE(portSetting(value));
        EXPECT_EQ(value, std::to_string(server->listeningPort()));
        // A second start: the new server replaces the old, which leaves the new port.
        auto next = std::make_unique<PalvaneServer>(nullptr, tray.ownerFinder());
        server = std::move(next);
        ASSERT_TRUE(portSetting(value));
        EXPECT_EQ(value, std::to_string(server->listeningPort()));
    }
    EXPECT_FALSE(portSetting(value));
}

TEST(PalvaneServer, GreetsEachPeerAndReportsUnreachableOnlyWhenTheLastHasGone) {
    testutil::TrayStandIn tray;
    CoreStandIn core;
    PalvaneServer server(&core, tray.ownerFinder());
    auto first = greetedPeer(server.listeningPort());
    auto second = greetedPeer(server.listeningPort());
    ASSERT_TRUE(core.waitEvents(2));

    first->close();
    Sleep(200);
    EXPECT_EQ(core.events(), (std::vector<std::string>{"ready", "ready"}));
    second->close();
    ASSERT_TRUE(core.waitEvents(3));
    auto third = greetedPeer(server.listeningPort());
    ASSERT_TRUE(core.waitEvents(4));
    EXPECT_EQ(core.events(), (std::vector<std::string>{"ready", "ready", "unreachable", "ready"}));
}

TEST(PalvaneServer, APeerTheGreetingCannotReachIsNeitherReportedNorCounted) {
    testutil::LogCapture log(8);
    testutil::TrayStandIn tray;
    CoreStandIn core;
    std::atomic<int> stage{0};  // 1: the first peer is being checked, 2: it has reset its connection
    const PortOwnerFinder afterTheReset = [&](uint16_t peerPort, uint16_t serverPort, PortOwner& owner) {
        if (stage == 0) stage = 1;
        EXPECT_TRUE(testutil::waitUntil([&] { return stage == 2; }));
        return tray.ownerFinder()(peerPort, serverPort, owner);
    };
    PalvaneServer server(&core, afterTheReset);
    IpcTestPeer gone;
    ASSERT_TRUE(gone.connectTo(server.listeningPort()));
    ASSERT_TRUE(testutil::waitUntil([&] { return stage == 1; }));
    const linger abortive = {1, 0};
    setsockopt(gone.socket(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof(abortive));
    gone.close();
    stage = 2;
    ASSERT_TRUE(testutil::waitUntil([&] { return log.contains("Send message length failure."); })) << log.text();

    auto greeted = greetedPeer(server.listeningPort());
    ASSERT_TRUE(core.waitEvents(1));
    Sleep(100);
    EXPECT_EQ(core.events(), (std::vector<std::string>{"ready"}));
}

TEST(PalvaneServer, PassesLogLevelRequestsOnAndIgnoresOtherAgentMessages) {
    testutil::LogCapture log(8);
    testutil::TrayStandIn tray;
    CoreStandIn core;
    PalvaneServer server(&core, tray.ownerFinder());
    auto peer = greetedPeer(server.listeningPort());
    for (const char* body :
         {R"({"request-log-level":{"loglevel":-1}})", R"({"set-ikey":{"thekey":"k"}})",
          R"({"login-success":{"username":"u","sid":"s","user_deactivated":false}})",
          R"({"user-logon":{"username":"u","sid":"s"}})", R"({"network_changes":{"ip_address":"1.2.3.4"}})",
          R"({"setting_changes":null})", R"({"request-log-level":{}})", R"({"request-log-level":{"loglevel":5}})",
          R"({"request-log-level":{"loglevel":8}})", R"({"request-log-level":{"loglevel":9}})"}) {
        ASSERT_TRUE(peer->sendFrame(body));
    }
    // Debug levels are capped at Info; what the core ignores is passed on as it came.
    ASSERT_TRUE(core.waitEvents(4));
    EXPECT_EQ(core.events(), (std::vector<std::string>{"ready", "level 5", "level 6", "level 9"}));
    EXPECT_EQ(testutil::countLines(log.text(), "softwareManagerIpc::onRequestLogLevelChange."), 4u);
    EXPECT_TRUE(testutil::loggedAt(log.text(), "softwareManagerIpc::onRequestLogLevelChange.", "Info"));
}

TEST(PalvaneServer, RefusesAPeerThatIsNotTheTrayProgram) {
    testutil::TrayStandIn tray;
    CoreStandIn core;
    PalvaneServer server(&core, testutil::TrayStandIn::foreignOwnerFinder());
    IpcTestPeer peer;
    ASSERT_TRUE(peer.connectTo(server.listeningPort()));
    std::string received;
    EXPECT_TRUE(peer.waitClosed(received));
    EXPECT_TRUE(received.empty());  // not even the greeting
    EXPECT_TRUE(core.events().empty());
}

TEST(PalvaneServer, WritesNoSettingWhenItCannotServe) {
    testutil::MachineSettingsSandbox settings;
    testutil::LogCapture log(8);
    // No socket can be created now. Winsock counts its users, and system
    // libraries loaded into this program (under Wine, netapi32) start it
    // too, so it is cleaned up until it is really down and started again as
    // often afterwards.
    int users = 0;
    while (users < 64 && WSACleanup() == 0) ++users;
    EXPECT_THROW(PalvaneServer server(nullptr), std::exception);
    WSADATA data;
    for (int i = 0; i < users; ++i) WSAStartup(MAKEWORD(2, 2), &data);
    std::string value;
    EXPECT_FALSE(portSetting(value));
    EXPECT_TRUE(testutil::loggedAt(log.text(), "failed, error=10093", "Error")) << log.text();
}
