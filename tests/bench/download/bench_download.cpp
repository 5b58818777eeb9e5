// Prints the SHA-256 throughput over 256 MiB in memory and the throughput of
// downloading and verifying a 256 MiB cabinet from the local server. Then it
// keeps serving the same cabinet, writes it to <folder>\served.cab, prints
// "READY port=<port>" and waits until <folder>\stop exists, so a script can
// fetch and hash the same bytes with other tools for comparison.
//
//   bench_download.exe <folder with trailing backslash>
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "palvane/shared/downloadMgr.h"
#include "palvane/shared/sha256.h"
#include "support/localUpdateServer.h"
#include "support/testUtil.h"

using PALVANE_SERVICE::downloadMgr;
using PALVANE_SERVICE::sha256;

namespace {

struct CountingSink : IAsyncCallbacks {
    void downloadStart(uint32_t, const std::string&) override {}
    void downloadComplete() override { done = true; }
    void downloadFailure(const std::string&) override { done = true; }
    void downloadData(const char*, uint32_t length) override { bytes += length; ++chunks; }
    std::atomic<bool> done{false};
    uint64_t bytes = 0;
    uint64_t chunks = 0;
};

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kSize = 256 * kMiB;

std::shared_ptr<std::string> randomCabinet() {
    auto bytes = std::make_shared<std::string>(kSize, '\0');
    std::mt19937_64 generator(2026);
    for (size_t i = 0; i + 8 <= bytes->size(); i += 8) {
        const uint64_t word = generator();
        memcpy(&(*bytes)[i], &word, 8);
    }
    return bytes;
}

double seconds(std::chrono::steady_clock::duration elapsed) {
    return std::chrono::duration<double>(elapsed).count();
}

double hashThroughput(const std::string& bytes, bool hardware, std::string& digest) {
    sha256::allowHardware(hardware);
    double best = 0;
    for (int run = 0; run < 3; ++run) {
        const auto started = std::chrono::steady_clock::now();
        sha256 hash;
        hash.update(bytes.data(), bytes.size());
        digest = hash.finalHex();
        const double rate = static_cast<double>(bytes.size()) / kMiB / seconds(std::chrono::steady_clock::now() - started);
        if (rate > best) best = rate;
    }
    sha256::allowHardware(true);
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: bench_download <folder\\>\n");
        return 2;
    }
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    const std::string folder = argv[1];
    const auto cabinet = randomCabinet();

    std::string digest;
    const double portable = hashThroughput(*cabinet, false, digest);
    const double hardware = sha256::hardwareAvailable() ? hashThroughput(*cabinet, true, digest) : 0;
    printf("sha256 in memory (256 MiB): portable %.0f MB/s, SHA instructions %.0f MB/s\n", portable, hardware);
    printf("digest %s\n", digest.c_str());
    fflush(stdout);

    int status = 0;
    {
        testutil::LocalUpdateServer server;
        server.allow("GET", "/bench.cab", testutil::ScriptedResponse::cabinet(cabinet, "bench.cab"));
        double best = 0;
        for (int run = 0; run < 3; ++run) {
            const auto started = std::chrono::steady_clock::now();
            downloadMgr download(folder, true);
            const bool ok = download.do_get(server.baseUrl() + "bench.cab", digest);
            const double rate = static_cast<double>(kSize) / kMiB / seconds(std::chrono::steady_clock::now() - started);
            if (!ok) {
                printf("download-and-verify FAILED\n");
                status = 1;
            }
            if (rate > best) best = rate;
        }
        printf("download-and-verify (256 MiB cabinet, local server): %.0f MB/s\n", best);
        {
            CountingSink sink;
            auto started = std::chrono::steady_clock::now();
            {
                async_http client("downloadMgr", "127.0.0.1", server.port(), &sink, "", 0);
                client.startGet("/bench.cab", true);
                while (!sink.done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            printf("for scale, the WinHTTP transfer alone (no file, no digest): %.0f MB/s in %llu chunks\n",
                   256.0 / seconds(std::chrono::steady_clock::now() - started),
                   static_cast<unsigned long long>(sink.chunks));
        }
        {
            downloadMgr download(folder, true);
            auto started = std::chrono::steady_clock::now();
            download.do_get(server.baseUrl() + "bench.cab", "");
            printf("download to file without digest: %.0f MB/s\n",
                   256.0 / seconds(std::chrono::steady_clock::now() - started));
            started = std::chrono::steady_clock::now();
            downloadMgr::compute_file_hash(download.installer_file());
            printf("digest of the downloaded file: %.0f MB/s\n",
                   256.0 / seconds(std::chrono::steady_clock::now() - started));
        }

        if (!testutil::writeFile(folder + "served.cab", *cabinet)) {
            printf("could not write served.cab\n");
            status = 1;
        }
        printf("READY port=%u\n", server.port());
        fflush(stdout);
        const std::string stopFile = folder + "stop";
        while (!testutil::fileExists(stopFile)) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    WSACleanup();
    return status;
}
