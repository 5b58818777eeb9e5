// The server's own behaviour: rebroadcast to every peer on its worker, and an
// orderly end with peers connected and rebroadcasts in flight.
#include "busHarness.h"
#include "ipclib/IpcConnectedEndpoint.h"
#include "ipclib/IpcServer.h"
#include "support/logLines.h"
#include "support/quietIpcServer.h"

using testutil::IpcTestPeer;
using testutil::LogCapture;
using namespace std::chrono_literals;

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

std::vector<std::unique_ptr<IpcTestPeer>> connectMany(TestServer& server, int count) {
    std::vector<std::unique_ptr<IpcTestPeer>> peers;
    while (count-- > 0) peers.push_back(connect(server));
    return peers;
}

// A post-uimessage as the bus writes it, and a frame asking to rebroadcast one.
std::string uiMessage(const std::string& content) {
    return "{\"post-uimessage\":{\"message-content\":\"" + content + "\"}}";
}
std::string rebroadcastFrame(const std::string& text) {
    return testutil::frameOf("{\"rebroadcast\":" + uiMessage(text) + "}");
}

// Takes buildMs to be built (while a peer connects and asks for the
// configuration, when buildMs is not 0) and handleMs for each "config-refresh".
class SlowServer : public TestServer {
public:
    SlowServer(PortOwnerFinder findOwner, DWORD buildMs, DWORD handleMs)
        : TestServer(std::move(findOwner), false, manyPeersOfOneProgram()), handleMs_(handleMs) {
        if (buildMs > 0) EXPECT_TRUE(early.connectTo(listeningPort()) && early.sendFrame(R"({"config-refresh":null})"));
        Sleep(buildMs);
        built = true;
        startServing();
    }
    ~SlowServer() override { shutdown(); }

    IpcTestPeer early;
    std::atomic<bool> built{false};
    std::atomic<int> handled{0};
    std::atomic<int> handledBeforeBuilt{0};

protected:
    void onRequestConfig() override {
        ++(built ? handled : handledBeforeBuilt);
        Sleep(handleMs_);
    }
    const DWORD handleMs_;
};

}  // namespace

TEST(IpcServerLifetime, HandlesNoPeerBeforeItIsFullyBuilt) {
    testutil::TrayStandIn tray;
    SlowServer server(tray.ownerFinder(), 300, 0);
    EXPECT_TRUE(testutil::waitUntil([&] { return server.handled + server.handledBeforeBuilt == 1; }));
    EXPECT_EQ(server.handledBeforeBuilt, 0);
    EXPECT_EQ(server.connects, 1);
}

TEST(IpcServerRebroadcast, SendsTheInnerMessageToEveryPeerTheSenderIncluded) {
    testutil::TrayStandIn tray;
    TestServer server(tray.ownerFinder());
    auto sender = connect(server);
    auto other = connect(server);

    ASSERT_TRUE(sender->sendFrame(R"({"rebroadcast":5})"));  // not a message: dropped
    ASSERT_TRUE(sender->sendRaw(rebroadcastFrame("x")));
    for (auto* peer : {sender.get(), other.get()}) {
        std::string body;
        ASSERT_TRUE(peer->readFrame(body));
        EXPECT_EQ(body, uiMessage("x") + "\n");
        EXPECT_TRUE(peer->staysSilent(std::chrono::milliseconds(50)));
    }
}

// Bodies are handled oldest first: the tray's message is answered while many
// peers stream bodies a little smaller than it without pause. Comments are
// accepted, and a megabyte of them costs the loop no more than its bytes.
TEST(IpcServerDispatch, AMessageIsAnsweredBehindAStreamOfSmallerOnesAndWhateverItsComments) {
    testutil::TrayStandIn tray;
    EchoIpcServer server(tray.ownerFinder(), manyPeersOfOneProgram());
    const auto streaming = connectMany(server, 63);
    auto trayPeer = connect(server);
    const std::string smaller = testutil::frameOf("{\"config-refresh\":\"" + std::string(1900, 's') + "\"}");
    std::atomic<bool> answered{false};
    std::vector<std::thread> streams;
    for (auto& peer : streaming) {
        streams.emplace_back([&, raw = peer.get()] { while (!answered && raw->sendRaw(smaller)) {} });
    }
    Sleep(200);
    const std::string message = uiMessage(std::string(1960, 't')) + "\n";
    std::string body;
    EXPECT_TRUE(trayPeer->sendFrame(message) && trayPeer->readFrame(body) && body == message);
    answered = true;
    for (auto& stream : streams) stream.join();

    std::string comments = uiMessage("x");
    while (comments.size() < 1000 * 1000) comments.insert(comments.size() - 1, "/**/");
    EXPECT_TRUE(trayPeer->sendFrame(comments) && trayPeer->readFrame(body) && body == uiMessage("x") + "\n");
}

// One that may not be sent, and one that grows past the frame limit when
// written again (letters beyond ASCII become escapes).
TEST(IpcServerRebroadcast, InnerMessageThatMayNotBeSentOrIsTooLargeReachesNobody) {
    LogCapture log(8);
    testutil::TrayStandIn tray;
    TestServer server(tray.ownerFinder());
    auto sender = connect(server);
    ASSERT_TRUE(sender->sendRaw(rebroadcastFrame("")));
    ASSERT_TRUE(testutil::waitUntil([&] { return log.contains("Failed to send post-uimessage"); }));
    std::string text;
    while (text.size() < 600 * 1024) text += "\xc3\xa9";
    ASSERT_TRUE(sender->sendRaw(rebroadcastFrame(text)));
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
    const auto peers = connectMany(server, 12);
    const std::string frame = rebroadcastFrame(std::string(600000, 'f'));
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
    const auto peers = connectMany(server, 2);  // the flooder, a slow reader
    std::atomic<bool> flooding{true};
    std::vector<std::thread> readers;
    for (const DWORD pauseMs : {0, 5}) {  // the reader takes at most 13 MB/s
        readers.emplace_back([&, pauseMs, peer = peers[pauseMs != 0].get()] {
            for (std::string chunk; flooding; Sleep(pauseMs)) peer->readExactly(64 * 1024, chunk, 100ms);
        });
    }
    const std::string frame = rebroadcastFrame(std::string(600 * 1024, 'f'));
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
    const auto peers = connectMany(*server, 3);

    // Peers that do not read, and a flood of large rebroadcasts from one of them.
    const std::string frame = rebroadcastFrame(std::string(200000, 'f'));
    std::thread flood([&] { for (int i = 0; i < 200 && peers[0]->sendRaw(frame); ++i) {} });
    Sleep(300);
    const auto start = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    flood.join();
    for (auto& peer : peers) {
        std::string received;
        EXPECT_TRUE(peer->waitClosed(received, 10s));
    }

    // The listening port is closed with the server.
    IpcTestPeer late;
    EXPECT_FALSE(late.connectTo(port));
}

// Peers keep the loop busy with messages whose handling is slow: the stop
// reaches the loop at its next body, not after every body of the pass.
TEST(IpcServerLifetime, DestructionReachesALoopBusyWithHostilePeers) {
    testutil::TrayStandIn tray;
    auto server = std::make_unique<SlowServer>(tray.ownerFinder(), 0, 100);
    const auto peers = connectMany(*server, 16);
    for (auto& peer : peers) ASSERT_TRUE(peer->sendFrame(R"({"config-refresh":null})"));
    ASSERT_TRUE(testutil::waitUntil([&] { return server->handled >= 2; }));
    const auto start = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 700ms);
}
