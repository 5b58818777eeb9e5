// What a log server that accepts and never answers costs the rest of the
// system, each figure with the log post sink on beside the same run with the
// sink off:
//   a. how long 1,000 Error lines logged from 8 threads take to return;
//   b. how much a connected bus peer's round trip is delayed while another
//      process connects and is refused by the peer check (two Error lines);
//   c. how long palvane.dll's stop (StopMonitoring and Destructor) takes;
// and what admitted peers of other programs (copies of busflood.exe running
// as the tray program) can do to the bus, beside none doing it:
//   d. eight connections of four programs streaming 1 MiB bodies of each
//      shape (what the guard refuses, comments after a value, quotes inside
//      comments, just under the value limit, a rebroadcast the guard admits):
//      the tray's worst round trip, the server's destruction, the process's
//      peak private bytes; then the tray connecting while 64 idle
//      connections are held, its message among streams of slightly smaller
//      bodies, and the tray reading while 56 connections hold unfinished
//      frames and a large body is rebroadcast;
//   e. a 950 KB rebroadcast that grows past the frame limit, to 12
//      connections that never read and 4 that do: reading peers cut off,
//      bytes still held.
// Sections d and e print one line per measure: name, value, unit, target.
//   bench_stalls.exe [refused connections]
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipclib/IpcConnectedEndpoint.h"
#include "ipclib/ipcServiceParser.h"
#include "palvane/shared/Ipalvane.h"
#include "support/childProcesses.h"
#include "support/ipcTestPeer.h"
#include "support/logLines.h"
#include "support/loopbackListener.h"
#include "support/quietIpcServer.h"
#include "support/testUtil.h"
#include "support/webView2Present.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/userInfo.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

const char kRefusal[] = "is not from tarnwell process.";

// ---- the log server that never answers ----

// Takes every connection. A POST (a log record) is read and then held open
// without an answer; anything else (the runtime's update query) gets 404, so
// only the log server is black-holed.
class BlackHoleServer {
public:
    BlackHoleServer() : listener_(testutil::listenOnLoopback(port_, 64)) {
        thread_ = std::thread([this] { acceptLoop(); });
    }
    ~BlackHoleServer() {
        stopping_ = true;
        thread_.join();
        closesocket(listener_);
        for (SOCKET s : held_) closesocket(s);
    }

    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    int posts() const { return posts_; }
    int gets() const { return gets_; }

private:
    bool readable(SOCKET s, long micros) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval wait{0, micros};
        return select(0, &set, nullptr, nullptr, &wait) == 1;
    }

    void acceptLoop() {
        while (!stopping_) {
            if (!readable(listener_, 20000)) continue;
            SOCKET client = accept(listener_, nullptr, nullptr);
            if (client != INVALID_SOCKET) serve(client);
        }
    }

    void serve(SOCKET client) {
        std::string head;
        char buffer[4096];
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (head.find("\r\n\r\n") == std::string::npos && Clock::now() < deadline) {
            if (!readable(client, 20000)) continue;
            const int n = recv(client, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            head.append(buffer, static_cast<size_t>(n));
        }
        if (head.rfind("POST", 0) == 0) {
            ++posts_;
            held_.push_back(client);
            return;
        }
        ++gets_;
        const char answer[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        send(client, answer, sizeof(answer) - 1, 0);
        closesocket(client);
    }

    uint16_t port_ = 0;  // before listener_, which fills it
    SOCKET listener_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> posts_{0};
    std::atomic<int> gets_{0};
    std::vector<SOCKET> held_;  // accept thread only
};

void postSinkTo(const BlackHoleServer* server) {
    if (server != nullptr) {
        setLogPostUrl((server->baseUrl() + "portal/log").c_str());
        setPostLogLevel(LOG_ERROR);
    } else {
        setPostLogLevel(9);
    }
}

// ---- a. Error lines from many threads ----

double timeErrorLines(int threads, int linesPerThread) {
    std::vector<std::thread> loggers;
    const auto start = Clock::now();
    for (int t = 0; t < threads; ++t) {
        loggers.emplace_back([t, linesPerThread] {
            for (int i = 0; i < linesPerThread; ++i) TWLOG(LOG_ERROR, "bench error line " << t << "/" << i);
        });
    }
    for (auto& logger : loggers) logger.join();
    return millisSince(start);
}

void benchErrorLines(BlackHoleServer& server) {
    constexpr int kThreads = 8;
    constexpr int kLines = 125;
    postSinkTo(&server);
    const double on = timeErrorLines(kThreads, kLines);
    const int posted = server.posts();
    closeNetLog();
    postSinkTo(nullptr);
    const double off = timeErrorLines(kThreads, kLines);
    std::printf("a. %d Error lines from %d threads, until every call returned:\n", kThreads * kLines, kThreads);
    std::printf("   post sink on, server black-holed  %9.1f ms   (posts reaching the server meanwhile: %d)\n", on,
                posted);
    std::printf("   post sink off                     %9.1f ms\n", off);
}

// ---- b. a refused peer beside a connected one ----

bool receive(SOCKET s, char* data, size_t length) {
    for (size_t done = 0; done < length;) {
        const int n = recv(s, data + done, static_cast<int>(length - done), 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// One frame out and its echo back, in microseconds; negative on failure. The
// echo is taken with plain blocking receives, as in the bus benchmark: the
// peer's bounded reads wait in select, whose cost would be timed too.
double roundTrip(testutil::IpcTestPeer& peer, const std::string& frame) {
    const auto start = Clock::now();
    if (!peer.sendRaw(frame)) return -1;
    // Frames sent to every peer (rebroadcasts) may come first.
    for (std::string body; body != frame.substr(4);) {
        uint32_t length = 0;
        if (!receive(peer.socket(), reinterpret_cast<char*>(&length), 4)) return -1;
        body.assign(ntohl(length), '\0');
        if (!body.empty() && !receive(peer.socket(), &body[0], body.size())) return -1;
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Starts a program that connects to the bus, and waits until the bus has
// refused it and it has ended.
void refusedPeerConnects(uint16_t port) {
    testutil::ChildProcesses intruder;
    const DWORD pid = intruder.start(testutil::exeDirectory() + L"loopbackpeer.exe", std::to_wstring(port));
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process || WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "a refused peer was not let go in 60 s\n");
    }
}

struct PeerDelay {
    double medianMicros;
    double worstMicros;
    int roundTrips;
};

// Round trips run without pause while `refusals` programs connect one after
// another and are refused; the worst of them against the quiet median.
PeerDelay measurePeerDelay(const testutil::TrayStandIn& tray, int refusals) {
    std::atomic<bool> refusing{false};
    EchoIpcServer bus([&](uint16_t peerPort, uint16_t serverPort, PortOwner& owner) {
        const auto finder = refusing ? testutil::TrayStandIn::foreignOwnerFinder() : tray.ownerFinder();
        return finder(peerPort, serverPort, owner);
    });
    testutil::IpcTestPeer peer;
    if (!peer.connectTo(bus.listeningPort()) || !testutil::waitUntil([&] { return bus.connects == 1; })) {
        std::fprintf(stderr, "the bus did not admit its peer\n");
        std::exit(1);
    }
    const BOOL on = TRUE;
    setsockopt(peer.socket(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    Sleep(200);  // round trips right after the admission are several times slower
    const std::string frame = testutil::frameOf("{\"post-uimessage\":{\"message-content\":\"bench\"}}\n");
    std::vector<double> quiet;
    for (int i = 0; i < 200; ++i) quiet.push_back(roundTrip(peer, frame));
    std::sort(quiet.begin(), quiet.end());

    refusing = true;
    std::atomic<bool> done{false};
    std::atomic<int> trips{0};
    double worst = 0;
    std::thread timing([&] {
        for (; !done; ++trips) worst = std::max(worst, roundTrip(peer, frame));
    });
    for (int i = 0; i < refusals; ++i) refusedPeerConnects(bus.listeningPort());
    done = true;
    timing.join();
    return {quiet[quiet.size() / 2], worst, trips};
}

void benchRefusedPeer(BlackHoleServer& server, const testutil::LogCapture& log, int refusals) {
    testutil::TrayStandIn tray;
    std::printf("b. round trip of a connected bus peer while %d other programs connect and are refused:\n",
                refusals);
    for (const bool sinkOn : {true, false}) {
        postSinkTo(sinkOn ? &server : nullptr);
        const size_t refusedBefore = testutil::countLines(log.text(), kRefusal);
        const PeerDelay delay = measurePeerDelay(tray, refusals);
        closeNetLog();
        std::printf("   %-33s quiet median %5.0f us, worst while refusing %7.1f ms, extra %7.1f ms"
                    " (%d trips, %zu refusal lines)\n",
                    sinkOn ? "post sink on, server black-holed" : "post sink off", delay.medianMicros,
                    delay.worstMicros / 1000, (delay.worstMicros - delay.medianMicros) / 1000, delay.roundTrips,
                    testutil::countLines(log.text(), kRefusal) - refusedBefore);
    }
    postSinkTo(nullptr);
}

// ---- c. the runtime's stop ----

struct RuntimeStop {
    double stopMillis = -1;
    double unloadMillis = -1;
    bool sinkBusy = false;
};

// Started in the host's order; stopped once the runtime has posted a line
// (sink on) or has made its update query (sink off).
RuntimeStop timeRuntimeStop(BlackHoleServer& server, bool sinkOn) {
    testutil::MachineSettingsSandbox settings;
    testutil::TempDir install;
    testutil::TempDir library;
    testutil::WebView2Present webView2;
    settings.set(configKeys::PATH, install.path());
    settings.set("cid", "bench");
    // The log server is the update server's address with "cv" made "portal".
    settings.set("environment", server.baseUrl() + (sinkOn ? "cv/" : "up/"));
    CreateDirectoryA(library.file("logs").c_str(), nullptr);
    testutil::CurrentDirectory inLibraryFolder(library.path());

    RuntimeStop result;
    const std::string path = testutil::exeDirectoryA() + "palvane.dll";
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        std::fprintf(stderr, "cannot load %s: %lu\n", path.c_str(), GetLastError());
        return result;
    }
    auto create = reinterpret_cast<PALVANE_SERVICE::ConstructorFn>(GetProcAddress(module, "Constructor"));
    auto destroy = reinterpret_cast<PALVANE_SERVICE::DestructorFn>(GetProcAddress(module, "Destructor"));
    PALVANE_SERVICE::Ipalvane* runtime = create();
    const int postsBefore = server.posts();
    const int getsBefore = server.gets();
    std::thread starter([runtime] { runtime->StartMonitoring([] {}); });
    // Wine reports no logged-on user: the start's wait for one is cut short.
    testutil::waitUntil(
        [] {
            std::string port;
            return localConfig(true).getString(configKeys::IPC_PALVANE_PORT, port);
        },
        std::chrono::seconds(20));
    cancelUserWaits();
    starter.join();
    resumeUserWaits();
    result.sinkBusy = testutil::waitUntil(
        [&] { return sinkOn ? server.posts() > postsBefore : server.gets() > getsBefore; }, std::chrono::seconds(20));

    const auto stopStart = Clock::now();
    runtime->StopMonitoring();
    destroy(runtime);
    result.stopMillis = millisSince(stopStart);

    const auto unloadStart = Clock::now();
    FreeLibrary(module);
    // On Windows a stop's closing of the request ends the post at once;
    // under Wine the post waits for its connection to end, so the library
    // may stay (safely) loaded past this bound.
    if (testutil::waitUntil([] { return GetModuleHandleW(L"palvane.dll") == nullptr; }, std::chrono::seconds(40))) {
        result.unloadMillis = millisSince(unloadStart);
    }
    return result;
}

void benchRuntimeStop(BlackHoleServer& server) {
    std::printf("c. palvane.dll: StopMonitoring and Destructor, then the library leaving the process:\n");
    // Sink off first: a library the first run leaves loaded would hide the
    // second run's unload.
    for (const bool sinkOn : {false, true}) {
        const RuntimeStop stop = timeRuntimeStop(server, sinkOn);
        const std::string unload = stop.unloadMillis < 0 ? std::string("still loaded 40 s after FreeLibrary")
                                                         : "unloaded " + std::to_string(static_cast<int>(
                                                                             stop.unloadMillis)) + " ms after FreeLibrary";
        std::printf("   %-33s stop %7.1f ms, %s%s\n", sinkOn ? "post sink on, server black-holed" : "post sink off",
                    stop.stopMillis, unload.c_str(),
                    stop.sinkBusy ? "" : (sinkOn ? " (no post was under way)" : " (no update query came)"));
    }
}

// ---- d. hostile admitted peers ----

void printMeasure(const std::string& name, double value, const char* unit, const char* target) {
    std::printf("   %-68s %10.1f %-5s target %s\n", name.c_str(), value, unit, target);
    std::fflush(stdout);
}

// The most private bytes seen while it lives, sampled every 5 ms: Wine keeps
// no peak of its own.
class PrivateBytesPeak {
public:
    PrivateBytesPeak() : thread_([this] { sample(); }) {}
    ~PrivateBytesPeak() {
        done_ = true;
        thread_.join();
    }
    double megabytes() const { return static_cast<double>(peak_.load()) / (1024 * 1024); }

private:
    void sample() {
        while (!done_) {
            // The commit charge, which Windows also reports as private bytes.
            PROCESS_MEMORY_COUNTERS counters{};
            counters.cb = sizeof(counters);
            K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
            peak_ = std::max<size_t>(peak_.load(), counters.PagefileUsage);
            Sleep(5);
        }
    }

    std::atomic<bool> done_{false};
    std::atomic<size_t> peak_{0};
    std::thread thread_;
};

// Copies of busflood.exe running as <Path>Quillmark Agent\twptray.exe, as the
// trays of other sessions would, each holding its connections from local
// ports of its own. Wine names no owners in its TCP table, so the finder maps
// those ports to their program, and every other port (this benchmark's own
// peers) to one more copy that stands for the real tray.
class HostilePrograms {
public:
    HostilePrograms() {
        const std::string folder = dir_.path() + "Quillmark Agent";
        CreateDirectoryA(folder.c_str(), nullptr);
        program_ = folder + "\\twptray.exe";
        CopyFileA((testutil::exeDirectoryA() + "busflood.exe").c_str(), program_.c_str(), FALSE);
        settings_.set(configKeys::PATH, dir_.path());
        trayPid_ = start(0, 0, "idle", std::string());
    }

    // Starts a program holding `connections` to the port; its id.
    DWORD start(uint16_t serverPort, int connections, const std::string& mode, const std::string& body) {
        static int programs = 0;  // over the whole run: a port a killed program held may linger
        const int firstPort = 20000 + kPortsEach * programs++;
        std::string arguments = std::to_string(serverPort) + " " + std::to_string(firstPort) + " " +
                                std::to_string(connections) + " " + mode;
        if (!body.empty()) {
            const std::string frameFile = dir_.file("frame" + std::to_string(firstPort));
            testutil::writeFile(frameFile, testutil::frameOf(body));
            arguments += " \"" + frameFile + "\"";
        }
        const DWORD pid = children_.start(toWide(program_), toWide(arguments));
        std::lock_guard<std::mutex> lock(lock_);
        ranges_.push_back({static_cast<uint16_t>(firstPort), pid});
        return pid;
    }

    PortOwnerFinder finder() {
        return [this](uint16_t peerPort, uint16_t, PortOwner& owner) {
            std::lock_guard<std::mutex> lock(lock_);
            owner.pid = trayPid_;
            for (const Range& range : ranges_) {
                if (peerPort >= range.first && peerPort < range.first + kPortsEach) owner.pid = range.pid;
            }
            return true;
        };
    }

private:
    static constexpr int kPortsEach = 50;
    struct Range {
        uint16_t first;
        DWORD pid;
    };
    static std::wstring toWide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

    testutil::MachineSettingsSandbox settings_;
    testutil::TempDir dir_;
    std::string program_;
    testutil::ChildProcesses children_;
    std::mutex lock_;
    std::vector<Range> ranges_;
    DWORD trayPid_ = 0;
};

// A peer of this program, standing for the real tray: connected and with
// bounded receives, so a round trip that never ends shows as a failure.
std::unique_ptr<testutil::IpcTestPeer> trayPeer(QuietIpcServer& bus, int connectsBefore) {
    auto peer = std::make_unique<testutil::IpcTestPeer>();
    const BOOL on = TRUE;
    setsockopt(peer->socket(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    const DWORD timeoutMs = 10000;
    setsockopt(peer->socket(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
    if (!peer->connectTo(bus.listeningPort()) ||
        !testutil::waitUntil([&] { return bus.connects > connectsBefore; }, std::chrono::seconds(20))) {
        std::fprintf(stderr, "the bus did not admit the tray's peer\n");
    }
    return peer;
}

// A body of `size` bytes, `prefix`, elements, `suffix`, whose elements the
// guard counts as `values` values.
std::string bodyOf(const std::string& prefix, const std::string& first, const std::string& element,
                   const std::string& suffix, size_t size) {
    std::string body = prefix + first;
    while (body.size() + element.size() + suffix.size() <= size) body += element;
    return body + suffix;
}

// Just under the value limit: about 4,000 strings in a frame's megabyte.
std::string dataCentres(size_t size) {
    const std::string centre = "\"" + std::string(250, 'c') + "\"";
    std::string list = centre;
    for (size_t values = 6; values + 2 < ipcServiceParser::kMaxValues && list.size() + centre.size() + 1 < size;
         ++values) {
        list += "," + centre;
    }
    return "{\"ztna\":{\"data_centers\":[" + list + "]}}";
}

struct HostileKind {
    const char* name;
    std::string body;  // empty: no hostile peers
};

std::vector<HostileKind> hostileKinds() {
    const size_t frame = IpcConnectedEndpoint::kMaxFrameLength;
    return {
        {"none", std::string()},
        {"numbers", bodyOf("[", "0", ",0", "]", frame)},
        {"comments after a value", bodyOf("[", "0", "/**/", "]", frame)},
        {"quotes inside comments", bodyOf("[/*\"*/", "0", ",0", "/*\"*/]", frame)},
        {"just under the value limit", dataCentres(frame - 64)},
        {"a rebroadcast the guard admits", "{\"rebroadcast\":" + dataCentres(frame - 64) + "}"},
    };
}

struct HostileRun {
    double worstRoundTripMs = -1;
    double destructionMs = -1;
    double peakPrivateMegabytes = -1;
};

// Round trips for three seconds while four programs stream the body on two
// connections each, then the server's destruction with them still streaming.
// The peer makes round trips from the start, as a tray reads all the time:
// whatever is rebroadcast reaches it too.
HostileRun runHostile(const std::string& body) {
    HostilePrograms programs;
    auto bus = std::make_unique<EchoIpcServer>(programs.finder());
    auto peer = trayPeer(*bus, 0);
    HostileRun run;
    PrivateBytesPeak peak;
    std::atomic<bool> measuring{false};
    std::atomic<bool> done{false};
    double worst = 0;
    std::thread trips([&] {
        const std::string frame = testutil::frameOf("{\"post-uimessage\":{\"message-content\":\"bench\"}}\n");
        while (!done && worst >= 0) {
            const double trip = roundTrip(*peer, frame);
            if (trip < 0) worst = trip;
            if (measuring) worst = std::max(worst, trip);
        }
    });
    if (!body.empty()) {
        for (int i = 0; i < 4; ++i) programs.start(bus->listeningPort(), 2, "stream", body);
        testutil::waitUntil([&] { return bus->connects == 9; }, std::chrono::seconds(20));
    }
    Sleep(500);
    measuring = true;
    Sleep(3000);
    done = true;
    trips.join();
    run.worstRoundTripMs = worst < 0 ? -1 : worst / 1000;
    const auto start = Clock::now();
    bus.reset();
    run.destructionMs = millisSince(start);
    run.peakPrivateMegabytes = peak.megabytes();
    return run;
}

void benchHostilePeers() {
    std::printf("d. eight admitted connections from four programs streaming 1 MiB bodies, beside none:\n");
    for (const HostileKind& kind : hostileKinds()) {
        const HostileRun run = runHostile(kind.body);
        const char* guard = kind.body.empty() ? "" : ipcServiceParser::admitsBody(kind.body) ? "; parsed" : "; refused";
        const std::string suffix = std::string(" (") + kind.name + guard + ")";
        printMeasure("peer_worst_round_trip" + suffix, run.worstRoundTripMs, "ms", "< 500 ms");
        printMeasure("server_destruction" + suffix, run.destructionMs, "ms", "< 2000 ms");
        printMeasure("peak_private_bytes" + suffix, run.peakPrivateMegabytes, "MB", "< 300 MB");
    }
}

// One post-uimessage of the tray and its echo, timed from `start`; negative
// when no echo came.
double trayAnswerMs(testutil::IpcTestPeer& peer, size_t textBytes, Clock::time_point start) {
    const std::string body = "{\"post-uimessage\":{\"message-content\":\"" + std::string(textBytes, 't') + "\"}}\n";
    return roundTrip(peer, testutil::frameOf(body)) < 0 ? -1 : millisSince(start);
}

void benchTrayAmongIdleConnections() {
    HostilePrograms programs;
    EchoIpcServer bus(programs.finder());
    for (int i = 0; i < 8; ++i) programs.start(bus.listeningPort(), 8, "idle", std::string());
    testutil::waitUntil([&] { return bus.connects == 64; }, std::chrono::seconds(30));
    const int held = bus.connects;
    const auto start = Clock::now();
    auto peer = trayPeer(bus, held);
    const bool admitted = bus.connects > held;
    const double answer = admitted ? trayAnswerMs(*peer, 16, start) : -1;
    std::printf("   (%d idle connections held by eight programs)\n", held);
    printMeasure("tray_admitted (64 idle connections held)", admitted ? 1 : 0, "", "1");
    printMeasure("tray_answered (64 idle connections held)", answer, "ms", "< 5000 ms");
}

void benchTrayAmongSmallerBodies() {
    HostilePrograms programs;
    EchoIpcServer bus(programs.finder());
    auto peer = trayPeer(bus, 0);
    const std::string smaller = "{\"config-refresh\":\"" + std::string(1880, 's') + "\"}";
    for (int i = 0; i < 10; ++i) programs.start(bus.listeningPort(), 6, "stream", smaller);
    testutil::waitUntil([&] { return bus.connects == 61; }, std::chrono::seconds(30));
    Sleep(500);
    double worst = 0;
    for (int i = 0; i < 5 && worst >= 0; ++i) {
        const double answer = trayAnswerMs(*peer, 1960, Clock::now());
        worst = answer < 0 ? answer : std::max(worst, answer);
    }
    std::printf("   (%d connections from ten programs stream %zu-byte bodies)\n", bus.connects.load() - 1,
                smaller.size());
    printMeasure("tray_worst_answer (2,000 bytes among 1,900-byte streams)", worst, "ms", "< 5000 ms");
}

// Seven programs hold unfinished frames on eight connections each, topped up
// a byte at a time; another rebroadcasts a 900 KB body five times, which
// every peer is sent; the tray reads what comes.
void benchReadingTrayAmongUnfinishedFrames() {
    HostilePrograms programs;
    EchoIpcServer bus(programs.finder());
    auto peer = trayPeer(bus, 0);
    const std::string unfinished(IpcConnectedEndpoint::kMaxFrameLength, 'u');
    for (int i = 0; i < 7; ++i) programs.start(bus.listeningPort(), 8, "trickle", unfinished);
    testutil::waitUntil([&] { return bus.connects == 57; }, std::chrono::seconds(30));
    Sleep(1500);  // longer than a connection must be stalled before the budget may cut it off
    const std::string centres(900 * 1000, 'c');
    programs.start(bus.listeningPort(), 1, "once",
                   "{\"rebroadcast\":{\"post-uimessage\":{\"message-content\":\"" + centres + "\"}}}");
    std::string received;
    const bool cutOff = peer->waitClosed(received, std::chrono::seconds(8));
    printMeasure("reading_tray_cut_off (56 connections hold unfinished frames)", cutOff ? 1 : 0, "", "0");
    printMeasure("reading_tray_received", static_cast<double>(received.size()) / (1000 * 1000), "MB", "4.5 MB");
}

void benchTrayAgainstHoarders() {
    std::printf("   the tray beside connections of other programs:\n");
    benchTrayAmongIdleConnections();
    benchTrayAmongSmallerBodies();
    benchReadingTrayAmongUnfinishedFrames();
}

// ---- e. an oversized rebroadcast ----

void benchOversizedRebroadcast() {
    std::string centers = "1E16";
    while (centers.size() < 950 * 1000) centers += ",1E16";
    const std::string body = "{\"rebroadcast\":{\"ztna\":{\"data_centers\":[" + centers + "]}}}";
    HostilePrograms programs;
    EchoIpcServer bus(programs.finder());
    std::vector<std::unique_ptr<testutil::IpcTestPeer>> reading;
    for (int i = 0; i < 4; ++i) reading.push_back(trayPeer(bus, i));
    for (int i = 0; i < 3; ++i) programs.start(bus.listeningPort(), 4, "idle", std::string());
    testutil::waitUntil([&] { return bus.connects == 16; }, std::chrono::seconds(20));
    // Each reading peer reads whatever comes for eight seconds, or until it
    // is cut off.
    std::atomic<int> cutOff{0};
    std::vector<std::thread> readers;
    for (auto& peer : reading) {
        readers.emplace_back([&cutOff, raw = peer.get()] {
            std::string bytes;
            if (raw->waitClosed(bytes, std::chrono::seconds(8))) ++cutOff;
        });
    }
    const std::string frame = testutil::frameOf(body);
    for (int i = 0; i < 5; ++i) reading[0]->sendRaw(frame);
    for (auto& thread : readers) thread.join();
    std::printf("e. a 950 KB rebroadcast (5 times) to 12 connections of three programs that never read"
                " and 4 that do:\n");
    printMeasure("reading_peers_cut_off", cutOff, "peers", "0");
    printMeasure("bytes_held_afterwards", static_cast<double>(bus.heldBytes()) / (1024 * 1024), "MB", "0 MB");
}

}  // namespace

int main(int argc, char** argv) {
    const int refusals = argc > 1 ? std::atoi(argv[1]) : 5;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    {
        testutil::LogCapture log(LOG_INFO);
        BlackHoleServer server;
        benchErrorLines(server);
        std::fflush(stdout);
        benchRefusedPeer(server, log, refusals);
        std::fflush(stdout);
        benchRuntimeStop(server);
        closeNetLog();
    }
    benchHostilePeers();
    benchTrayAgainstHoarders();
    benchOversizedRebroadcast();
    std::fflush(stdout);
    WSACleanup();
    return 0;
}
