// The server's own behaviour: rebroadcast to every peer on its worker, and an
// orderly end with peers connected and rebroadcasts in flight.
#include "busHarness.h"
#include "ipclib/IpcConnectedEndpoint.h"
#include "ipclib/IpcServer.h"
#include "support/logLines.h"
#include "support/quietIpcServer.h"

using testutil::IpcTestPeer;
using testutil::LogCapture;

namespace {

using TestServer = QuietIpcServer;

std::unique_ptr<IpcTestPeer> connect(TestServer& server) {
    auto peer = std::make_unique<IpcTestPeer>();
    const int before = server.connects;
    EXPECT_TRUE(peer->connectTo(server.listeningPort()));
    // Registered at the loop's next pass, before any later frame is read.
    EXPECT_TRUE(testutil::waitUntil([&] { return server.connects > before; }));
    return peer;
}

// A server still being built when its first peer connects and sends.
class SlowlyBuiltServer : public TestServer {
public:
    explicit SlowlyBuiltServer(PortOwnerFinder findOwner) : TestServer(std::move(findOwner), false) {
        EXPECT_TRUE(early.connectTo(listeningPort()) && early.sendFrame(R"({"config-refresh":null})"));
        Sleep(300);
        built = true;
        startServing();
    }
    ~SlowlyBuiltServer() override { shutdown(); }

    IpcTestPeer early;
    std::atomic<bool> built{false};
    std::atomic<int> handledWhenBuilt{-1};  // -1: not handled yet

protected:
    void onRequestConfig() override { handledWhenBuilt = built ? 1 : 0; }
};

// Each "config-refresh" takes the loop 100 ms.
class SlowlyHandlingServer : public TestServer {
public:
    explicit SlowlyHandlingServer(PortOwnerFinder findOwner)
        : TestServer(std::move(findOwner), false, manyPeersOfOneProgram()) {
        startServing();
    }
    ~SlowlyHandlingServer() override { shutdown(); }

    std::atomic<int> handled{0};

protected:
    void onRequestConfig() override {
        ++handled;
        Sleep(100);
    }
};

}  // namespace

TEST(IpcServerLifetime, HandlesNoPeerBeforeItIsFullyBuilt) {
    testutil::TrayStandIn tray;
    SlowlyBuiltServer server(tray.ownerFinder());
    EXPECT_TRUE(testutil::waitUntil([&] { return server.handledWhenBuilt != -1; }));
    EXPECT_EQ(server.handledWhenBuilt, 1);
    EXPECT_EQ(server.connects, 1);
}

TEST(IpcServerRebroadcast, SendsTheInnerMessageToEveryPeerTheSenderIncluded) {
    testutil::TrayStandIn tray;
    TestServer server(tray.ownerFinder());
    auto sender = connect(server);
    auto other = connect(server);

    ASSERT_TRUE(sender->sendFrame(R"({"rebroadcast":5})"));  // not a message: dropped
    ASSERT_TRUE(sender->sendFrame(R"({"rebroadcast":{"post-uimessage":{"message-content":"x"}}})"));
    for (auto* peer : {sender.get(), other.get()}) {
        std::string body;
        ASSERT_TRUE(peer->readFrame(body));
        EXPECT_EQ(body, "{\"post-uimessage\":{\"message-content\":\"x\"}}\n");
        EXPECT_TRUE(peer->staysSilent(std::chrono::milliseconds(50)));
    }
}

// Comments are accepted, and a megabyte of them costs the loop no more than
// its bytes: the message they follow is answered at once.
TEST(IpcServerDispatch, AMessageFullOfCommentsIsAnsweredAtOnce) {
    testutil::TrayStandIn tray;
    EchoIpcServer server(tray.ownerFinder());
    auto peer = connect(server);
    std::string comments;
    while (comments.size() < 1000 * 1000) comments += "/**/";
    ASSERT_TRUE(peer->sendFrame("{\"post-uimessage\":{\"message-content\":\"x\"}" + comments + "}"));
    std::string body;
    ASSERT_TRUE(peer->readFrame(body));
    EXPECT_EQ(body, "{\"post-uimessage\":{\"message-content\":\"x\"}}\n");
}

// Bodies are handled oldest first: the tray's message is answered while many
// peers stream bodies a little smaller than it without pause.
TEST(IpcServerDispatch, AMessageIsNotStarvedByAStreamOfSmallerOnes) {
    testutil::TrayStandIn tray;
    EchoIpcServer server(tray.ownerFinder(), manyPeersOfOneProgram());
    std::vector<std::unique_ptr<IpcTestPeer>> streaming;
    for (int i = 0; i < 63; ++i) streaming.push_back(connect(server));
    auto trayPeer = connect(server);
    const std::string smaller = testutil::frameOf("{\"config-refresh\":\"" + std::string(1900, 's') + "\"}");
    std::atomic<bool> answered{false};
    std::vector<std::thread> streams;
    for (auto& peer : streaming) {
        streams.emplace_back([&, raw = peer.get()] { while (!answered && raw->sendRaw(smaller)) {} });
    }
    Sleep(200);
    const std::string message = "{\"post-uimessage\":{\"message-content\":\"" + std::string(1960, 't') + "\"}}\n";
    ASSERT_TRUE(trayPeer->sendFrame(message));
    std::string body;
    EXPECT_TRUE(trayPeer->readFrame(body) && body == message);
    answered = true;
    for (auto& stream : streams) stream.join();
}

// One that may not be sent, and one that grows past the frame limit when
// written again (letters beyond ASCII become escapes).
TEST(IpcServerRebroadcast, InnerMessageThatMayNotBeSentOrIsTooLargeReachesNobody) {
    LogCapture log(8);
    testutil::TrayStandIn tray;
    TestServer server(tray.ownerFinder());
    auto sender = connect(server);
    ASSERT_TRUE(sender->sendFrame(R"({"rebroadcast":{"post-uimessage":{"message-content":""}}})"));
    ASSERT_TRUE(testutil::waitUntil([&] { return log.contains("Failed to send post-uimessage"); }));
    std::string text;
    while (text.size() < 600 * 1024) text += "\xc3\xa9";
    ASSERT_TRUE(sender->sendFrame(R"({"rebroadcast":{"post-uimessage":{"message-content":")" + text + "\"}}}"));
    ASSERT_TRUE(testutil::waitUntil([&] { return log.contains("Rebroadcast of post-uimessage dropped"); }));
    EXPECT_TRUE(testutil::loggedAt(log.text(), "exceeds the frame limit of 1048576.", "Warn"));
    EXPECT_TRUE(sender->staysSilent(std::chrono::milliseconds(100)));
}

// Peers that do not read, flooded with large rebroadcasts: what waits for them
// stays within the budget and the worker's (and one broadcast, until the peers
// cut off free theirs), and peers are cut off.
TEST(IpcServerRebroadcast, FloodOfLargeBodiesStaysWithinTheByteBudget) {
    LogCapture log(4);  // not the debug lines with every body
    testutil::TrayStandIn tray;
    IpcLimits limits = manyPeersOfOneProgram();
    limits.sendStall = std::chrono::milliseconds(500);
    TestServer server(tray.ownerFinder(), true, limits);
    std::vector<std::unique_ptr<IpcTestPeer>> peers;
    for (int i = 0; i < 12; ++i) peers.push_back(connect(server));

    const std::string inner = "{\"post-uimessage\":{\"message-content\":\"" + std::string(600000, 'f') + "\"}}";
    const std::string frame = testutil::frameOf("{\"rebroadcast\":" + inner + "}");
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        for (int i = 0; i < 150 && peers[0]->sendRaw(frame); ++i) Sleep(5);
        flooding = false;
    });
    size_t most = 0;
    while (flooding) most = std::max(most, server.heldBytes());
    flood.join();
    EXPECT_LE(most, limits.budgetBytes + peers.size() * (limits.floorBytes + frame.size()) +
                        IpcRebroadcastWorker::kMaxQueuedBytes);
    EXPECT_TRUE(testutil::waitUntil([&] { return log.contains("closing connection."); })) << most;
}

// A peer that floods rebroadcasts goes at the pace of the peers that read
// them: a tray that reads steadily, if slowly, never falls so far behind that
// it is cut off; the excess is dropped.
TEST(IpcServerRebroadcast, AFloodGoesAtThePaceOfThePeersThatRead) {
    testutil::TrayStandIn tray;
    TestServer server(tray.ownerFinder());
    const std::unique_ptr<IpcTestPeer> peers[] = {connect(server), connect(server)};  // the flooder, a slow reader
    std::atomic<bool> flooding{true};
    std::vector<std::thread> readers;
    for (const DWORD pauseMs : {0, 5}) {  // the reader takes at most 13 MB/s
        readers.emplace_back([&, pauseMs, socket = peers[pauseMs != 0]->socket()] {
            const DWORD timeoutMs = 100;
            setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
            char chunk[64 * 1024];
            while (flooding && (recv(socket, chunk, sizeof(chunk), 0) > 0 || WSAGetLastError() == WSAETIMEDOUT)) {
                Sleep(pauseMs);
            }
        });
    }
    const std::string text(600 * 1024, 'f');
    const std::string frame =
        testutil::frameOf("{\"rebroadcast\":{\"post-uimessage\":{\"message-content\":\"" + text + "\"}}}");
    for (int i = 0; i < 40 && peers[0]->sendRaw(frame); ++i) Sleep(20);  // 30 MB/s
    Sleep(500);
    flooding = false;
    for (auto& reader : readers) reader.join();
    std::string received;
    EXPECT_FALSE(peers[1]->waitClosed(received, std::chrono::milliseconds(300)));
}

TEST(IpcServerLifetime, DestroyedWithPeersConnectedAndRebroadcastsInFlight) {
    testutil::TrayStandIn tray;
    auto server = std::make_unique<TestServer>(tray.ownerFinder());
    const uint16_t port = server->listeningPort();
    std::vector<std::unique_ptr<IpcTestPeer>> peers;
    for (int i = 0; i < 3; ++i) peers.push_back(connect(*server));

    // Peers that do not read, and a flood of large rebroadcasts from one of them.
    const std::string inner = "{\"post-uimessage\":{\"message-content\":\"" + std::string(200000, 'f') + "\"}}";
    const std::string frame = testutil::frameOf("{\"rebroadcast\":" + inner + "}");
    std::thread flood([&] {
        for (int i = 0; i < 200; ++i) {
            if (!peers[0]->sendRaw(frame)) break;
        }
    });
    Sleep(300);
    const auto start = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    flood.join();
    for (auto& peer : peers) {
        std::string received;
        EXPECT_TRUE(peer->waitClosed(received, std::chrono::seconds(10)));
    }

    // The listening port is closed with the server.
    IpcTestPeer late;
    EXPECT_FALSE(late.connectTo(port));
}

// Peers keep the loop busy with messages whose handling is slow: the stop
// reaches the loop at its next body, not after every body of the pass.
TEST(IpcServerLifetime, DestructionReachesALoopBusyWithHostilePeers) {
    testutil::TrayStandIn tray;
    auto server = std::make_unique<SlowlyHandlingServer>(tray.ownerFinder());
    std::vector<std::unique_ptr<IpcTestPeer>> peers;
    for (int i = 0; i < 16; ++i) peers.push_back(connect(*server));
    for (auto& peer : peers) ASSERT_TRUE(peer->sendFrame(R"({"config-refresh":null})"));
    ASSERT_TRUE(testutil::waitUntil([&] { return server->handled >= 2; }));
    const auto start = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(700));
}
