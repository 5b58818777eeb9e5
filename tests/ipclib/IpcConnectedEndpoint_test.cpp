// Framing over real loopback connections: how bodies are cut out of the byte
// stream, what a hostile length does, and how sends queue behind a peer that
// does not read.
#include <ws2tcpip.h>

#include <atomic>
#include <random>

#include "busHarness.h"
#include "ipclib/IpcConnectedEndpoint.h"
#include "ipclib/IpcRefusalLog.h"
#include "ipclib/ipcMessages.h"
#include "support/logLines.h"
#include "utils/twlogger.h"

using testutil::frameOf;
using testutil::IpcTestPeer;
using testutil::LogCapture;

namespace {

void noDelay(IpcTestPeer& peer) {
    const BOOL on = TRUE;
    setsockopt(peer.socket(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
}

std::string headerOf(uint32_t length) {
    const uint32_t big = htonl(length);
    return std::string(reinterpret_cast<const char*>(&big), 4);
}

std::string bodyOf(const IIpcMessage& message) {
    std::string body;
    EXPECT_TRUE(serializeIpcMessage(message, body));
    return body;
}

}  // namespace

TEST(IpcFraming, JoinsHeadersAndBodiesSplitAtEveryByteBoundary) {
    TestBus bus;
    auto peer = bus.connectPeer();
    noDelay(*peer);
    const std::string body("{\"x\":\"a\0b\"}\n", 12);  // a NUL inside stays
    const std::string frame = frameOf(body);
    size_t sent = 0;
    for (size_t first = 1; first < frame.size(); ++first) {
        for (size_t second = first; second < frame.size(); ++second) {
            ASSERT_TRUE(peer->sendRaw(frame.substr(0, first)));
            Sleep(1);
            ASSERT_TRUE(peer->sendRaw(frame.substr(first, second - first)));
            Sleep(1);
            ASSERT_TRUE(peer->sendRaw(frame.substr(second)));
            ++sent;
        }
    }
    ASSERT_TRUE(bus.listener.waitBodies(sent));
    const auto bodies = bus.listener.bodies();
    EXPECT_EQ(bodies.size(), sent);
    for (const auto& got : bodies) ASSERT_EQ(got, body);
    EXPECT_EQ(bus.listener.disconnects, 0);
}

TEST(IpcFraming, DeliversEveryFrameWholeWhateverTheWrites) {
    TestBus bus;
    auto peer = bus.connectPeer();
    noDelay(*peer);

    // Two frames in one write, then an empty body.
    ASSERT_TRUE(peer->sendRaw(frameOf("first\n") + frameOf("second\n")));
    ASSERT_TRUE(peer->sendRaw(frameOf("")));

    // 5,000 bytes in pieces of random size.
    std::string large(5000, '\0');
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + i % 26);
    const std::string frame = frameOf(large);
    std::mt19937 random(7);
    for (size_t at = 0; at < frame.size();) {
        const size_t piece = std::min<size_t>(1 + random() % 700, frame.size() - at);
        ASSERT_TRUE(peer->sendRaw(frame.substr(at, piece)));
        at += piece;
        Sleep(1);
    }

    ASSERT_TRUE(bus.listener.waitBodies(4));
    EXPECT_EQ(bus.listener.bodies(), (std::vector<std::string>{"first\n", "second\n", "", large}));
}

TEST(IpcFraming, HostileLengthsCloseTheConnectionWithAWarning) {
    TestBus bus;
    for (const uint32_t length : {IpcConnectedEndpoint::kMaxFrameLength + 1, 0x80000000u, 0xFFFFFFFFu}) {
        LogCapture log(8);
        const int before = bus.listener.disconnects;
        auto peer = bus.connectPeer();
        ASSERT_TRUE(peer->sendRaw(headerOf(length) + "{}"));
        std::string received;
        EXPECT_TRUE(peer->waitClosed(received)) << length;
        EXPECT_TRUE(received.empty());
        EXPECT_TRUE(testutil::waitUntil([&] { return bus.listener.disconnects == before + 1; }));
        EXPECT_TRUE(testutil::loggedAt(log.text(), "frame length " + std::to_string(length), "Warn")) << log.text();
    }
    EXPECT_TRUE(bus.listener.bodies().empty());

    // The cap itself is still a frame.
    auto peer = bus.connectPeer();
    const std::string largest(IpcConnectedEndpoint::kMaxFrameLength, 'x');
    ASSERT_TRUE(peer->sendFrame(largest));
    ASSERT_TRUE(bus.listener.waitBodies(1));
    EXPECT_EQ(bus.listener.bodies()[0].size(), largest.size());
}

TEST(IpcFraming, CloseBetweenFramesIsQuietInsideAFrameIsWarned) {
    TestBus bus;
    {
        LogCapture log(8);
        auto peer = bus.connectPeer();
        peer->close();
        ASSERT_TRUE(testutil::waitUntil([&] { return bus.listener.disconnects == 1; }));
        EXPECT_FALSE(log.contains("failure bytesread")) << log.text();
    }
    {
        LogCapture log(8);
        auto peer = bus.connectPeer();
        ASSERT_TRUE(peer->sendRaw(headerOf(100) + "only part of it"));
        Sleep(50);
        peer->close();
        ASSERT_TRUE(testutil::waitUntil([&] { return bus.listener.disconnects == 2; }));
        EXPECT_TRUE(testutil::loggedAt(log.text(), "IpcConnectedEndpoint::onReadReady() failure bytesread: 0", "Warn"))
            << log.text();
    }
    {
        auto peer = bus.connectPeer();
        ASSERT_TRUE(peer->sendRaw(headerOf(100).substr(0, 2)));
        Sleep(50);
        peer->close();
        ASSERT_TRUE(testutil::waitUntil([&] { return bus.listener.disconnects == 3; }));
    }
    Sleep(100);
    EXPECT_EQ(bus.listener.disconnects, 3);  // once per connection
    EXPECT_TRUE(bus.listener.bodies().empty());
}

TEST(IpcFraming, RefusedPeerIsClosedBeforeItReadsAByte) {
    LogCapture log(8);
    TestBus bus(IpcLimits(), false);
    IpcTestPeer peer;
    ASSERT_TRUE(peer.connectTo(bus.port));
    std::string received;
    EXPECT_TRUE(peer.waitClosed(received));
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(bus.listener.connects, 0);
    EXPECT_TRUE(testutil::loggedAt(
        log.text(), "Source port: " + std::to_string(peer.localPort()) + " is not from tarnwell process.", "Error"))
        << log.text();
    // A program connecting in a loop is reported once a minute, not once per connection.
    for (int i = 0; i < 2; ++i) {
        IpcTestPeer again;
        ASSERT_TRUE(again.connectTo(bus.port) && again.waitClosed(received));
    }
    EXPECT_EQ(testutil::countLines(log.text(), "Source port: "), 1u) << log.text();
}

TEST(IpcRefusalLog, OneLinePerSourceAndIntervalWithTheCountSinceTheLast) {
    LogCapture log(8);
    IpcRefusalLog refusals(std::chrono::milliseconds(200));
    for (int i = 0; i < 5; ++i) refusals.refused("a.exe", LOG_ERROR, "refused");
    Sleep(300);
    refusals.refused("a.exe", LOG_ERROR, "again");
    EXPECT_TRUE(testutil::loggedAt(log.text(), "refused (1 refused since the last report)", "Error")) << log.text();
    EXPECT_TRUE(testutil::loggedAt(log.text(), "again (5 refused since the last report)", "Error")) << log.text();
    EXPECT_EQ(testutil::countLines(log.text(), "since the last report"), 2u) << log.text();

    // Many sources: a few lines an interval, and one for the rest once it is over.
    Sleep(300);
    for (int i = 0; i < 100; ++i) refusals.refused(std::to_string(i), LOG_ERROR, "many");
    Sleep(300);
    refusals.refused("a.exe", LOG_ERROR, "after");
    EXPECT_EQ(testutil::countLines(log.text(), "many ("), IpcRefusalLog::kMaxLines) << log.text();
    EXPECT_TRUE(log.contains("90 more connections were refused from sources beyond the 10")) << log.text();
}

// Once the budget is spent, the connections whose frames stopped advancing
// are cut off, not the peer whose own large frame is arriving, though it then
// holds the most; what lies within a connection's floor is never taken.
TEST(IpcFraming, ASpentBudgetCutsOffStalledHoldersNotAPeerMakingProgress) {
    LogCapture log(4);
    IpcLimits limits;
    limits.budgetBytes = 1536 * 1024;
    limits.floorBytes = 128 * 1024;
    limits.budgetStall = std::chrono::milliseconds(300);
    TestBus bus(limits);
    std::vector<std::unique_ptr<IpcTestPeer>> hoarders;
    for (int i = 0; i < 6; ++i) {
        hoarders.push_back(bus.connectPeer());
        ASSERT_TRUE(hoarders.back()->sendRaw(headerOf(1024 * 1024) + std::string(200 * 1024, 'h')));
    }
    auto tray = bus.connectPeer();
    ASSERT_TRUE(testutil::waitUntil([&] { return bus.master.budget().used() >= 6 * 200 * 1024; }));
    Sleep(400);  // the hoarders' frames have stalled for longer than budgetStall
    ASSERT_TRUE(tray->sendFrame(std::string(900 * 1024, 't')));
    ASSERT_TRUE(bus.listener.waitBodies(1));
    EXPECT_EQ(bus.listener.bodies()[0].size(), 900u * 1024);
    EXPECT_TRUE(testutil::loggedAt(log.text(), "has made no progress for", "Warn")) << log.text();
}

// A frame whose bytes stop coming, a peer that takes nothing of what waits
// for it, and a body larger than the budget leaves: each peer is cut off.
TEST(IpcFraming, AStalledFrameAStalledReaderOrAnOversizedBodyIsCutOff) {
    LogCapture log(4);
    IpcLimits limits;
    limits.frameStall = std::chrono::milliseconds(200);
    limits.sendStall = std::chrono::milliseconds(200);
    limits.budgetBytes = 256 * 1024;
    limits.floorBytes = 64 * 1024;
    TestBus bus(limits);
    std::string received;
    auto stalledReader = bus.connectPeer();
    const IpcPostUiMessage large(std::string(64 * 1024, 'r').c_str());
    for (int i = 0; i < 100 && bus.master.budget().used() == 0; ++i) bus.master.broadcast(large);
    // Read only once cut off: reading is progress.
    EXPECT_TRUE(testutil::waitUntil([&] { return bus.listener.disconnects == 1; }));
    EXPECT_TRUE(stalledReader->waitClosed(received, std::chrono::seconds(20)));
    auto stalledFrame = bus.connectPeer();
    ASSERT_TRUE(stalledFrame->sendRaw(headerOf(100) + "only part of it"));
    EXPECT_TRUE(stalledFrame->waitClosed(received));
    auto oversized = bus.connectPeer();
    ASSERT_TRUE(oversized->sendRaw(headerOf(512 * 1024) + std::string(300 * 1024, 'o')));
    EXPECT_TRUE(oversized->waitClosed(received));
    const std::string text = log.text();
    EXPECT_TRUE(testutil::loggedAt(text, "stopped arriving for", "Warn")) << text;
    EXPECT_TRUE(testutil::loggedAt(text, "took nothing of what waits for it", "Warn")) << text;
    EXPECT_TRUE(testutil::loggedAt(text, "sends more than the bus holds for its peers", "Warn")) << text;
}

// One that may not be sent puts nothing on the wire; what may be sent reaches
// the log only as its first bytes and its size.
TEST(IpcFraming, OnlyWhatMayBeSentArrivesWholeAndInOrderAtAPeerThatDoesNotRead) {
    LogCapture log(8);
    TestBus bus;
    auto peer = bus.connectPeer();
    const std::string text(3 * 1024 * 1024, 'm');
    const IpcPostUiMessage large(text.c_str());
    const IpcPostUiMessage after("after");

    // Sent from this thread: what the socket does not take waits in the queue,
    // and the loop must be woken to flush it, with no traffic from the peer.
    EXPECT_FALSE(bus.master.broadcast(IpcPostUiMessage("")));
    ASSERT_TRUE(bus.master.broadcast(large));
    ASSERT_TRUE(bus.master.broadcast(after));
    Sleep(300);

    std::string body;
    ASSERT_TRUE(peer->readFrame(body, std::chrono::seconds(20)));
    EXPECT_EQ(body, bodyOf(large));
    ASSERT_TRUE(peer->readFrame(body));
    EXPECT_EQ(body, bodyOf(after));
    EXPECT_TRUE(peer->staysSilent(std::chrono::milliseconds(100)));
    EXPECT_TRUE(log.contains("... (3145770 bytes) to 1 peers"));
    EXPECT_FALSE(log.contains(std::string(1000, 'm')));
}

TEST(IpcFraming, PeerThatResetsWhileFramesWaitIsRemovedOnce) {
    LogCapture log(8);
    TestBus bus;
    auto peer = bus.connectPeer();
    auto other = bus.connectPeer();
    const IpcPostUiMessage large(std::string(3 * 1024 * 1024, 'r').c_str());
    ASSERT_TRUE(bus.master.broadcast(large));

    // An abortive close: the server's next send or read fails.
    const linger abortive = {1, 0};
    setsockopt(peer->socket(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof(abortive));
    peer->close();
    ASSERT_TRUE(testutil::waitUntil([&] { return bus.listener.disconnects == 1; }));

    // The other peer is unaffected and gets what follows.
    std::string body;
    ASSERT_TRUE(other->readFrame(body, std::chrono::seconds(20)));
    EXPECT_EQ(body.size(), bodyOf(large).size());
    ASSERT_TRUE(testutil::waitUntil([&] { return bus.master.broadcast(IpcPostUiMessage("next")); }));
    ASSERT_TRUE(other->readFrame(body));
    EXPECT_EQ(body, bodyOf(IpcPostUiMessage("next")));
    EXPECT_EQ(bus.listener.disconnects, 1);
}

TEST(IpcFraming, PeerThatNeverReadsIsCutOffOnceTooMuchWaitsForIt) {
    LogCapture log(8);
    TestBus bus;
    auto peer = bus.connectPeer();
    const IpcPostUiMessage large(std::string(1024 * 1024, 'q').c_str());
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i) refused = !bus.master.broadcast(large);
    EXPECT_TRUE(refused);
    ASSERT_TRUE(testutil::waitUntil([&] { return bus.listener.disconnects == 1; }));
    EXPECT_TRUE(testutil::loggedAt(log.text(), "does not read;", "Warn")) << log.text();
    std::string received;
    EXPECT_TRUE(peer->waitClosed(received, std::chrono::seconds(20)));
    EXPECT_LE(received.size(), IpcConnectedEndpoint::kMaxQueuedBytes + 8 * 1024 * 1024);
    EXPECT_EQ(bus.master.budget().used(), 0u);  // what waited for it is given back
}
