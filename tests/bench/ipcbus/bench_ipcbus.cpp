// Round trips and broadcasts over the bus, each beside the same traffic over
// plain Winsock loopback sockets in this program.
//   bench_ipcbus.exe [round trips] [broadcast messages] [log file]
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/ipcTestPeer.h"
#include "support/loopbackListener.h"
#include "support/quietIpcServer.h"
#include "utils/twlogger.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBroadcastPeers = 32;
const std::string kText = "Update available - reboot device to update";

// ---- plain blocking clients ----

SOCKET connectLoopback(uint16_t port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::fprintf(stderr, "connect failed: %d\n", WSAGetLastError());
        std::exit(1);
    }
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    return s;
}

bool sendAll(SOCKET s, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const int n = send(s, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool recvAll(SOCKET s, char* out, size_t length) {
    for (size_t done = 0; done < length;) {
        const int n = recv(s, out + done, static_cast<int>(length - done), 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool readFrame(SOCKET s, std::string& body) {
    uint32_t length = 0;
    if (!recvAll(s, reinterpret_cast<char*>(&length), 4)) return false;
    body.resize(ntohl(length));
    return body.empty() || recvAll(s, &body[0], body.size());
}

SOCKET acceptNoDelay(SOCKET listening) {
    SOCKET s = accept(listening, nullptr, nullptr);
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    return s;
}

// ---- the bus under test ----

struct Figures {
    double perSecond;
    double medianMicros;
};

Figures timeRoundTrips(SOCKET s, const std::string& request, int count) {
    std::vector<double> micros;
    micros.reserve(count);
    std::string reply;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        if (!sendAll(s, request) || !readFrame(s, reply)) {
            std::fprintf(stderr, "round trip %d failed\n", i);
            std::exit(1);
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::nth_element(micros.begin(), micros.begin() + count / 2, micros.end());
    return {count / seconds, micros[count / 2]};
}

void printRoundTrips(const char* label, const Figures& f) {
    std::printf("%-44s %10.0f round trips/s   median %8.1f us\n", label, f.perSecond, f.medianMicros);
}

void waitConnects(EchoIpcServer& server, int count) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (server.connects < count && Clock::now() < deadline) Sleep(1);
    Sleep(50);  // registered by the loop's next pass
}

std::string uiBody() { return "{\"post-uimessage\":{\"message-content\":\"" + kText + "\"}}\n"; }

void benchBusRoundTrips(EchoIpcServer& server, int count) {
    SOCKET s = connectLoopback(server.listeningPort());
    waitConnects(server, 1);
    printRoundTrips("bus, echo on the loop thread:", timeRoundTrips(s, testutil::frameOf(uiBody()), count));
    const std::string rebroadcast = "{\"rebroadcast\":{\"post-uimessage\":{\"message-content\":\"" + kText + "\"}}}\n";
    printRoundTrips("bus, rebroadcast through the worker:", timeRoundTrips(s, testutil::frameOf(rebroadcast), count));
    closesocket(s);
}

void benchPlainRoundTrips(int count) {
    uint16_t port = 0;
    SOCKET listening = testutil::listenOnLoopback(port, 64);
    std::thread echo([listening] {
        SOCKET s = acceptNoDelay(listening);
        std::string body;
        while (readFrame(s, body) && sendAll(s, testutil::frameOf(body))) {
        }
        closesocket(s);
    });
    SOCKET s = connectLoopback(port);
    printRoundTrips("plain Winsock echo thread:", timeRoundTrips(s, testutil::frameOf(uiBody()), count));
    closesocket(s);
    echo.join();
    closesocket(listening);
}

// Readers of every peer; the time runs until each has all messages.
double timeBroadcast(std::vector<SOCKET>& peers, int messages, const std::function<void()>& sendAllMessages) {
    std::atomic<int> done{0};
    std::vector<std::thread> readers;
    for (SOCKET s : peers) {
        readers.emplace_back([s, messages, &done] {
            std::string body;
            for (int i = 0; i < messages; ++i) {
                if (!readFrame(s, body)) break;
            }
            ++done;
        });
    }
    const auto start = Clock::now();
    sendAllMessages();
    for (auto& reader : readers) reader.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (done != static_cast<int>(peers.size())) std::fprintf(stderr, "a reader stopped early\n");
    return messages / seconds;
}

void printBroadcast(const char* label, double perSecond) {
    std::printf("%-44s %10.0f messages/s to %d peers (%.0f frames/s)\n", label, perSecond, kBroadcastPeers,
                perSecond * kBroadcastPeers);
}

void benchBusBroadcast(EchoIpcServer& server, int messages) {
    std::vector<SOCKET> peers;
    const int before = server.connects;
    for (int i = 0; i < kBroadcastPeers; ++i) peers.push_back(connectLoopback(server.listeningPort()));
    waitConnects(server, before + kBroadcastPeers);
    const IpcPostUiMessage message(kText.c_str());
    const double rate = timeBroadcast(peers, messages, [&] {
        for (int i = 0; i < messages; ++i) server.broadcast(message);
    });
    printBroadcast("bus, IpcMaster::broadcast:", rate);
    for (SOCKET s : peers) closesocket(s);
}

void benchPlainBroadcast(int messages) {
    uint16_t port = 0;
    SOCKET listening = testutil::listenOnLoopback(port, 64);
    std::vector<SOCKET> clients;
    std::vector<SOCKET> served;
    for (int i = 0; i < kBroadcastPeers; ++i) {
        clients.push_back(connectLoopback(port));
        served.push_back(acceptNoDelay(listening));
    }
    const std::string frame = testutil::frameOf(uiBody());
    const double rate = timeBroadcast(clients, messages, [&] {
        for (int i = 0; i < messages; ++i) {
            for (SOCKET s : served) sendAll(s, frame);
        }
    });
    printBroadcast("plain Winsock, blocking send to each:", rate);
    for (SOCKET s : clients) closesocket(s);
    for (SOCKET s : served) closesocket(s);
    closesocket(listening);
}

}  // namespace

int main(int argc, char** argv) {
    const int roundTrips = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int broadcasts = argc > 2 ? std::atoi(argv[2]) : 5000;
    if (argc > 3) {
        setLogFile(argv[3]);
        setFileLogLevel(8);
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    {
        testutil::TrayStandIn tray;
        EchoIpcServer server(tray.ownerFinder());
        std::printf("one peer, %d round trips of a %zu-byte frame:\n", roundTrips, uiBody().size() + 4);
        benchBusRoundTrips(server, roundTrips);
        benchPlainRoundTrips(roundTrips);
        std::printf("%d peers, %d broadcasts of a %zu-byte frame:\n", kBroadcastPeers, broadcasts,
                    uiBody().size() + 4);
        benchBusBroadcast(server, broadcasts);
        benchPlainBroadcast(broadcasts);
    }
    std::fflush(stdout);
    WSACleanup();
    return 0;
}
