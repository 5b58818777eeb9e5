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
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/quietIpcServer.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"

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

std::string frameOf(const std::string& body) {
    const uint32_t length = htonl(static_cast<uint32_t>(body.size()));
    return std::string(reinterpret_cast<const char*>(&length), 4) + body;
}

SOCKET listenLoopback(uint16_t& port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    listen(s, 64);
    port = ntohs(address.sin_port);
    return s;
}

SOCKET acceptNoDelay(SOCKET listening) {
    SOCKET s = accept(listening, nullptr, nullptr);
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    return s;
}

// ---- the tray program's stand-in, for the peer check ----

class TrayStandIn {
public:
    TrayStandIn() {
        char temp[MAX_PATH];
        GetTempPathA(sizeof(temp), temp);
        folder_ = std::string(temp) + "bench-ipcbus-" + std::to_string(GetCurrentProcessId()) + "\\";
        CreateDirectoryA(folder_.c_str(), nullptr);
        CreateDirectoryA((folder_ + "Quillmark Agent").c_str(), nullptr);
        program_ = folder_ + "Quillmark Agent\\twptray.exe";
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, sizeof(self));
        std::string idle(self);
        idle = idle.substr(0, idle.find_last_of("\\/") + 1) + "idleprogram.exe";
        CopyFileA(idle.c_str(), program_.c_str(), FALSE);
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, localConfig::kBaseKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        UniqueRegKey created(key);
        localConfig config(false);
        hadPath_ = config.getString(configKeys::PATH, oldPath_);
        config.setString(configKeys::PATH, folder_.c_str());
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        std::string commandLine = "\"" + program_ + "\" 120000";
        if (!CreateProcessA(program_.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info)) {
            std::fprintf(stderr, "cannot start the tray stand-in\n");
            std::exit(1);
        }
        CloseHandle(info.hThread);
        process_.reset(info.hProcess);
        pid_ = info.dwProcessId;
    }
    ~TrayStandIn() {
        TerminateProcess(process_.get(), 0);
        WaitForSingleObject(process_.get(), 5000);
        localConfig config(false);
        if (hadPath_)
            config.setString(configKeys::PATH, oldPath_.c_str());
        else
            config.deleteValue(configKeys::PATH);
        DeleteFileA(program_.c_str());
        RemoveDirectoryA((folder_ + "Quillmark Agent").c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    PortOwnerFinder finder() const {
        const DWORD pid = pid_;
        return [pid](uint16_t, uint16_t, DWORD& owner) {
            owner = pid;
            return true;
        };
    }

private:
    std::string folder_;
    std::string program_;
    std::string oldPath_;
    bool hadPath_ = false;
    UniqueHandle process_;
    DWORD pid_ = 0;
};

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
    printRoundTrips("bus, echo on the loop thread:", timeRoundTrips(s, frameOf(uiBody()), count));
    const std::string rebroadcast = "{\"rebroadcast\":{\"post-uimessage\":{\"message-content\":\"" + kText + "\"}}}\n";
    printRoundTrips("bus, rebroadcast through the worker:", timeRoundTrips(s, frameOf(rebroadcast), count));
    closesocket(s);
}

void benchPlainRoundTrips(int count) {
    uint16_t port = 0;
    SOCKET listening = listenLoopback(port);
    std::thread echo([listening] {
        SOCKET s = acceptNoDelay(listening);
        std::string body;
        while (readFrame(s, body) && sendAll(s, frameOf(body))) {
        }
        closesocket(s);
    });
    SOCKET s = connectLoopback(port);
    printRoundTrips("plain Winsock echo thread:", timeRoundTrips(s, frameOf(uiBody()), count));
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
    SOCKET listening = listenLoopback(port);
    std::vector<SOCKET> clients;
    std::vector<SOCKET> served;
    for (int i = 0; i < kBroadcastPeers; ++i) {
        clients.push_back(connectLoopback(port));
        served.push_back(acceptNoDelay(listening));
    }
    const std::string frame = frameOf(uiBody());
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
        TrayStandIn tray;
        EchoIpcServer server(tray.finder());
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
