// The loop and broadcast: who receives what, what a failing peer or a failing
// select does, and that every endpoint is deleted exactly once.
#include <thread>

#include "busHarness.h"
#include "ipclib/ipcMessages.h"
#include "support/logLines.h"

using testutil::IpcTestPeer;
using testutil::LogCapture;

namespace {

const std::string kXBody = "{\"post-uimessage\":{\"message-content\":\"x\"}}\n";

double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// CPU the whole process spends in a second of what should be idleness.
double cpuSecondsOverASecond() {
    const double before = processCpuSeconds();
    Sleep(1000);
    return processCpuSeconds() - before;
}

// A listening endpoint whose accept fails (as when the system is out of
// buffers) until told otherwise; it records whether an accepted socket took
// urgent data inline from the start.
class FailingAcceptEndpoint : public IpcServerEndpoint {
public:
    using IpcServerEndpoint::IpcServerEndpoint;
    std::atomic<bool> failing{true};
    std::atomic<bool> acceptedInline{false};

protected:
    SOCKET acceptConnection(sockaddr_in& peer) override {
        if (!failing) {
            const SOCKET accepted = IpcServerEndpoint::acceptConnection(peer);
            char inlined = 0;
            int size = sizeof(inlined);
            if (accepted != INVALID_SOCKET) {
                acceptedInline = getsockopt(accepted, SOL_SOCKET, SO_OOBINLINE, &inlined, &size) == 0 && inlined != 0;
            }
            return accepted;
        }
        WSASetLastError(WSAENOBUFS);
        return INVALID_SOCKET;
    }
};

}  // namespace

TEST(IpcBroadcast, WithoutPeersFailsAndNeverCountsTheListeningSocket) {
    LogCapture log(8);
    TestBus bus;
    Sleep(50);
    EXPECT_FALSE(bus.master.broadcast(IpcPostUiMessage("x")));
    EXPECT_TRUE(testutil::loggedAt(log.text(), "Send to target is less than one, count=0", "Error")) << log.text();
}

TEST(IpcBroadcast, TriesEveryPeerAndReportsEachFailure) {
    LogCapture log(8);
    TestBus bus;
    std::atomic<int> deleted{0};
    std::vector<std::unique_ptr<IpcTestPeer>> peers;
    std::vector<FakeEndpoint*> fakes;
    // Failing and working endpoints interleaved with the real peers (the set is
    // ordered by address, so some working ones come after a failing one).
    for (int i = 0; i < 3; ++i) {
        peers.push_back(bus.connectPeer());
        for (int j = 0; j < 4; ++j) {
            fakes.push_back(new FakeEndpoint(deleted, j % 2 == 0));
            bus.master.addEndpoint(fakes.back());
        }
    }
    auto last = bus.connectPeer();  // all fakes registered by now
    peers.push_back(std::move(last));

    EXPECT_FALSE(bus.master.broadcast(IpcPostUiMessage("x")));
    for (FakeEndpoint* fake : fakes) EXPECT_EQ(fake->sends, 1);
    for (auto& peer : peers) {
        std::string body;
        ASSERT_TRUE(peer->readFrame(body));
        EXPECT_EQ(body, kXBody);
    }
    EXPECT_EQ(testutil::countLines(log.text(), "Failed to send post-uimessage"), fakes.size() / 2) << log.text();
}

TEST(IpcBroadcast, FromInsideAHandlerReturnsFalseAtOnce) {
    LogCapture log(8);
    TestBus bus;
    std::atomic<int> result{-1};
    std::atomic<long long> elapsedMs{-1};
    bus.listener.messageHook = [&](IIpcEndpoint*, const std::string&) {
        const auto start = std::chrono::steady_clock::now();
        result = bus.master.broadcast(IpcPostUiMessage("x")) ? 1 : 0;
        elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    };
    auto peer = bus.connectPeer();
    ASSERT_TRUE(peer->sendFrame("go"));
    ASSERT_TRUE(testutil::waitUntil([&] { return result != -1; }, std::chrono::seconds(5))) << "loop deadlocked";
    EXPECT_EQ(result, 0);
    EXPECT_LT(elapsedMs, 100);
    EXPECT_TRUE(testutil::loggedAt(log.text(), "Catch an unexpected exception", "Error")) << log.text();

    // The loop goes on serving, and a broadcast from another thread works.
    bus.listener.messageHook = nullptr;
    ASSERT_TRUE(peer->sendFrame("again"));
    ASSERT_TRUE(bus.listener.waitBodies(2));
    EXPECT_TRUE(bus.master.broadcast(IpcPostUiMessage("x")));
}

TEST(IpcBroadcast, ReachesSteadyPeersWhileOthersComeAndGoFromFourThreads) {
    std::atomic<int> created{0};
    std::atomic<int> deleted{0};
    {
        TestBus bus;
        std::vector<std::unique_ptr<IpcTestPeer>> steady;
        for (int i = 0; i < 3; ++i) steady.push_back(bus.connectPeer());

        std::atomic<bool> churning{true};
        std::vector<std::thread> churn;
        for (int t = 0; t < 4; ++t) {
            churn.emplace_back([&, t] {
                for (int round = 0; churning && round < 200; ++round) {
                    IpcTestPeer peer;
                    if (peer.connectTo(bus.port) && round % 2 == 0) peer.sendFrame("churn");
                    auto* fake = new FakeEndpoint(deleted);
                    ++created;
                    bus.master.addEndpoint(fake);
                    if ((round + t) % 3 != 0) {
                        bus.master.removeEndpoint(fake);
                        bus.master.removeEndpoint(fake);  // asked twice, deleted once
                    }
                }
            });
        }

        const auto start = std::chrono::steady_clock::now();
        const int messages = 50;
        for (int i = 0; i < messages; ++i) {
            bus.master.broadcast(IpcPostUiMessage(("m" + std::to_string(i)).c_str()));
            Sleep(2);
        }
        churning = false;
        for (auto& thread : churn) thread.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));

        for (auto& peer : steady) {
            for (int i = 0; i < messages; ++i) {
                std::string body;
                ASSERT_TRUE(peer->readFrame(body)) << i;
                EXPECT_EQ(body, "{\"post-uimessage\":{\"message-content\":\"m" + std::to_string(i) + "\"}}\n");
            }
        }
        EXPECT_TRUE(testutil::waitUntil([&] { return bus.listener.disconnects == bus.listener.connects - 3; }));
    }
    EXPECT_GT(created, 0);
    EXPECT_EQ(deleted, created);
}

TEST(IpcMasterLifetime, DestroyingClosesPeersAndDeletesEndpointsNotYetRegistered) {
    std::atomic<int> deleted{0};
    std::unique_ptr<IpcTestPeer> first;
    std::unique_ptr<IpcTestPeer> second;
    {
        TestBus bus;
        first = bus.connectPeer();
        second = bus.connectPeer();
        for (int i = 0; i < 10; ++i) bus.master.addEndpoint(new FakeEndpoint(deleted));
    }
    EXPECT_EQ(deleted, 10);
    std::string received;
    EXPECT_TRUE(first->waitClosed(received));
    EXPECT_TRUE(second->waitClosed(received));
}

TEST(IpcMasterLifetime, BroadcastOnceStoppingSucceedsAndSendsNothing) {
    TestBus bus;
    auto peer = bus.connectPeer();
    bus.master.stopLoop();
    EXPECT_TRUE(bus.master.broadcast(IpcPostUiMessage("x")));
    EXPECT_TRUE(peer->staysSilent(std::chrono::milliseconds(100)));
}

TEST(IpcMasterLoop, ServesMorePeersThanADefaultSocketSetHolds) {
    TestBus bus;
    std::vector<std::unique_ptr<IpcTestPeer>> peers;
    for (size_t i = 0; i < IpcLimits().maxConnections; ++i) peers.push_back(bus.connectPeer());
    for (size_t i = 0; i < peers.size(); ++i) ASSERT_TRUE(peers[i]->sendFrame("peer " + std::to_string(i)));
    ASSERT_TRUE(bus.listener.waitBodies(peers.size()));
    EXPECT_TRUE(bus.master.broadcast(IpcPostUiMessage("x")));
    for (auto& peer : peers) {
        std::string body;
        ASSERT_TRUE(peer->readFrame(body));
        EXPECT_EQ(body, kXBody);
    }
}

// A program that opens more connections than its share gives up its oldest;
// once every place is taken, a newcomer is never refused: the program that
// holds the most gives up its oldest.
TEST(IpcMasterLoop, ANewConnectionDisplacesTheOldestOfTheProgramHoldingTheMost) {
    LogCapture log(8);
    TestBus bus(connectionsAtMost(3, 2));
    auto first = bus.connectPeer(), second = bus.connectPeer(), third = bus.connectPeer();
    std::string received;
    EXPECT_TRUE(first->waitClosed(received));
    bus.owner = bus.tray.startAnother();
    auto otherTray = bus.connectPeer(), newcomer = bus.connectPeer();
    EXPECT_TRUE(second->waitClosed(received));
    ASSERT_TRUE(third->sendFrame("still served"));
    EXPECT_TRUE(bus.listener.waitBodies(1));
    EXPECT_EQ(bus.listener.connects, 5);
    EXPECT_EQ(testutil::countLines(log.text(), "gives its place to a newer one"), 1u) << log.text();  // one a minute
}

TEST(IpcMasterLoop, FailingSelectIsLoggedAndBackedOffNotSpun) {
    LogCapture log(8);
    TestBus bus;
    std::atomic<int> deleted{0};
    auto* broken = new FakeEndpoint(deleted, true, static_cast<SOCKET>(0x7FFFFF00), true);
    bus.master.addEndpoint(broken);
    ASSERT_TRUE(testutil::waitUntil([&] { return log.contains("select() failed, error="); }, std::chrono::seconds(5)));

    EXPECT_LT(cpuSecondsOverASecond(), 0.3);
    EXPECT_EQ(testutil::countLines(log.text(), "select() failed, error="), 1u) << log.text();

    bus.master.removeEndpoint(broken);
    ASSERT_TRUE(testutil::waitUntil([&] { return deleted == 1; }, std::chrono::seconds(5)));
    auto peer = bus.connectPeer();  // served again
}

TEST(IpcMasterLoop, FailingAcceptIsLoggedOnceAndBackedOffNotSpun) {
    LogCapture log(8);
    testutil::TrayStandIn tray;
    RecordingListener listener;
    StoppableMaster master;
    listener.runner = &master;
    auto* listening = new FailingAcceptEndpoint(&master, &listener, tray.ownerFinder());
    master.addEndpoint(listening);

    IpcTestPeer waiting;  // stays in the backlog, keeping the socket readable
    ASSERT_TRUE(waiting.connectTo(listening->port()));
    ASSERT_TRUE(testutil::waitUntil([&] { return log.contains("accept() failed, error=10055"); }));
    EXPECT_LT(cpuSecondsOverASecond(), 0.3);
    EXPECT_EQ(testutil::countLines(log.text(), "accept() failed"), 1u) << log.text();

    listening->failing = false;  // the waiting peer is admitted at the next try
    EXPECT_TRUE(testutil::waitUntil([&] { return listener.connects == 1; }, std::chrono::seconds(5)));
    // Urgent data that came before the accept is inline as well.
    EXPECT_TRUE(listening->acceptedInline);
}

// Urgent data left out of band would keep the socket in select's error set
// (under Windows), and the loop from ever sleeping; inline, it is read with the
// stream like any other byte.
TEST(IpcMasterLoop, UrgentDataIsReadInlineAndCostsTheLoopNoCpu) {
    TestBus bus;
    auto peer = bus.connectPeer();
    const std::string frame = testutil::frameOf("urgent!");
    ASSERT_TRUE(peer->sendRaw(frame.substr(0, frame.size() - 1)));
    ASSERT_EQ(::send(peer->socket(), "!", 1, MSG_OOB), 1);
    ASSERT_TRUE(bus.listener.waitBodies(1, std::chrono::seconds(5)));
    EXPECT_EQ(bus.listener.bodies()[0], "urgent!");
    EXPECT_LT(cpuSecondsOverASecond(), 0.3);
}

TEST(IpcMasterLoop, ConstructorThrowsWhenTheWakePairCannotBeBuilt) {
    LogCapture log(8);
    // Without Winsock no socket can be created.
    WSACleanup();
    EXPECT_THROW(IpcMaster master, std::exception);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    EXPECT_TRUE(testutil::loggedAt(log.text(), "socket() failed, error=10093", "Error")) << log.text();
}
