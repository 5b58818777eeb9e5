#include <winsock2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <thread>

#include "support/localUpdateServer.h"
#include "support/testData.h"
#include "support/testUtil.h"
#include "utils/twlogger.h"
#include "utils/win/async_http.h"

using testutil::LocalUpdateServer;
using testutil::ScriptedResponse;
using namespace std::chrono_literals;

namespace {

using testutil::randomBytes;

// "/stall" answers with its headers and 4,096 bytes, then stalls.
void expectStalledDownload(LocalUpdateServer& server) {
    ScriptedResponse stalled = ScriptedResponse::cabinet(randomBytes(1024 * 1024, 5), "stall.cab");
    stalled.truncateAfter = 4096;
    stalled.stall = true;
    server.expect("GET", "/stall", stalled);
}

// Records the callbacks; counts any that arrive after the end.
class Recorder : public IAsyncCallbacks {
public:
    void downloadStart(uint32_t contentLength, const std::string& fileName) override {
        std::lock_guard<std::mutex> lock(lock_);
        noteLateLocked();
        ++starts;
        announcedLength = contentLength;
        name = fileName;
    }
    void downloadComplete() override { end(true, std::string()); }
    void downloadFailure(const std::string& message) override { end(false, message); }
    void downloadData(const char* bytes, uint32_t length) override {
        std::lock_guard<std::mutex> lock(lock_);
        noteLateLocked();
        ++chunks;
        data.append(bytes, length);
    }

    bool waitForEnd(std::chrono::milliseconds timeout = 20s) {
        std::unique_lock<std::mutex> lock(lock_);
        return ended_.wait_for(lock, timeout, [this] { return ends > 0; });
    }

    std::atomic<int> starts{0};
    int chunks = 0;
    std::atomic<int> ends{0};
    int late = 0;
    bool completed = false;
    uint32_t announcedLength = 0;
    std::string name;
    std::string data;
    std::string failure;

private:
    void end(bool success, const std::string& message) {
        std::lock_guard<std::mutex> lock(lock_);
        noteLateLocked();
        ++ends;
        completed = success;
        failure = message;
        ended_.notify_all();
    }
    void noteLateLocked() {
        if (ends > 0) ++late;
    }
    std::mutex lock_;
    std::condition_variable ended_;
};

std::unique_ptr<async_http> downloadFrom(const LocalUpdateServer& server, Recorder& recorder) {
    return std::make_unique<async_http>("downloadMgr", "127.0.0.1", server.port(), &recorder, "", 0);
}

}  // namespace

TEST(BareFileName, OnlyANameDirectlyInTheFolder) {
    for (const char* good : {"agent.cab", "agent-1.2.3.cab", "a", "console.cab"}) {
        EXPECT_TRUE(isBareFileName(good)) << good;
    }
    for (const char* bad : {"", ".", "..", "../evil.cab", "..\\evil.cab", "sub/agent.cab", "sub\\agent.cab",
                            "c:agent.cab", "agent.cab:stream", "agent\x01.cab", "agent\t.cab", "con", "nul.cab",
                            "com1", "lpt9.cab", "aux", "a*.cab", "a?.cab", "a..cab"}) {
        EXPECT_FALSE(isBareFileName(bad)) << bad;
    }
}

TEST(AsyncHttp, ASeveralMegabyteBodyArrivesByteExactInManyChunks) {
    LocalUpdateServer server;
    const std::string body = randomBytes(6 * 1024 * 1024 + 123, 1);
    server.expect("GET", "/files/agent.cab", ScriptedResponse::cabinet(body, "Agent.CAB"));
    Recorder recorder;
    auto download = downloadFrom(server, recorder);
    ASSERT_TRUE(download->startGet("/files/agent.cab", true)) << download->errorText();
    ASSERT_TRUE(recorder.waitForEnd());
    download.reset();
    EXPECT_TRUE(recorder.completed) << recorder.failure;
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_EQ(recorder.announcedLength, body.size());
    EXPECT_EQ(recorder.name, "agent.cab");
    EXPECT_GT(recorder.chunks, 1);
    EXPECT_TRUE(recorder.data == body) << "got " << recorder.data.size() << " of " << body.size() << " bytes";
    EXPECT_EQ(recorder.late, 0);
}

TEST(AsyncHttp, HeadersNotWantedGiveOnlyDataAndCompletion) {
    LocalUpdateServer server;
    server.expect("GET", "/plain", ScriptedResponse::json("hello"));
    Recorder recorder;
    auto download = downloadFrom(server, recorder);
    ASSERT_TRUE(download->startGet("/plain", false));
    ASSERT_TRUE(recorder.waitForEnd());
    download.reset();
    EXPECT_TRUE(recorder.completed);
    EXPECT_EQ(recorder.starts, 0);
    EXPECT_EQ(recorder.data, "hello");
}

TEST(AsyncHttp, ContentLengthMissingOrZero) {
    LocalUpdateServer server;
    ScriptedResponse noLength = ScriptedResponse::cabinet(std::string("abc"), "a.cab");
    noLength.sendContentLength = false;
    server.expect("GET", "/nolength", noLength);
    server.expect("GET", "/empty", ScriptedResponse::cabinet(std::string(), "e.cab"));
    {
        Recorder recorder;
        auto download = downloadFrom(server, recorder);
        ASSERT_TRUE(download->startGet("/nolength", true));
        ASSERT_TRUE(recorder.waitForEnd());
        download.reset();
        EXPECT_TRUE(recorder.completed) << recorder.failure;
        EXPECT_EQ(recorder.announcedLength, async_http::kAssumedContentLength);
        EXPECT_EQ(recorder.data, "abc");
    }
    {
        Recorder recorder;
        auto download = downloadFrom(server, recorder);
        ASSERT_TRUE(download->startGet("/empty", true));
        ASSERT_TRUE(recorder.waitForEnd());
        EXPECT_TRUE(download->contentLengthSent());
        download.reset();
        EXPECT_TRUE(recorder.completed) << recorder.failure;
        EXPECT_EQ(recorder.starts, 1);
        EXPECT_EQ(recorder.announcedLength, 0u);
        EXPECT_EQ(recorder.chunks, 0);
    }
}

TEST(AsyncHttp, FailuresEndWithoutAStart) {
    LocalUpdateServer server;
    server.expect("GET", "/missing", ScriptedResponse::error(404));
    server.expect("GET", "/noname", ScriptedResponse::cabinet(std::string("x"), ""));
    ScriptedResponse unquoted = ScriptedResponse::cabinet(std::string("x"), "");
    unquoted.headers.emplace_back("Content-Disposition", "attachment; filename=agent.cab");
    server.expect("GET", "/unquoted", unquoted);
    ScriptedResponse elsewhere = ScriptedResponse::cabinet(std::string("x"), "");
    elsewhere.headers.emplace_back("X-Note", "filename=\"agent.cab\"");
    server.expect("GET", "/elsewhere", elsewhere);
    testutil::LogCapture capture(LOG_ERROR);

    auto run = [&](const std::string& path, Recorder& recorder) {
        auto download = downloadFrom(server, recorder);
        ASSERT_TRUE(download->startGet(path, true));
        ASSERT_TRUE(recorder.waitForEnd()) << path;
    };
    {
        Recorder recorder;
        run("/missing", recorder);
        EXPECT_FALSE(recorder.completed);
        EXPECT_EQ(recorder.failure, "Unknown http error: 404");
        EXPECT_EQ(recorder.starts, 0);
    }
    for (const char* path : {"/noname", "/unquoted", "/elsewhere"}) {
        Recorder recorder;
        run(path, recorder);
        EXPECT_FALSE(recorder.completed) << path;
        EXPECT_EQ(recorder.starts, 0) << path;
        EXPECT_EQ(recorder.chunks, 0) << path;
        EXPECT_FALSE(recorder.failure.empty()) << path;
    }
    EXPECT_TRUE(capture.contains("status_code is not 200: 404")) << capture.text();
    EXPECT_TRUE(capture.contains("Failed to get file name from response header.")) << capture.text();
}

TEST(AsyncHttp, HostileFileNamesFailTheDownload) {
    const char* const names[] = {"../evil.cab", "..\\..\\windows\\evil.dll", "c:\\evil.cab", "sub/agent.cab",
                                 "agent.cab:hidden", "agent\x01.cab", "nul"};
    LocalUpdateServer server;
    for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i) {
        server.expect("GET", "/hostile/" + std::to_string(i) + "/", ScriptedResponse::cabinet(std::string("payload"), names[i]));
    }
    int index = 0;
    for (const char* name : names) {
        Recorder recorder;
        auto download = downloadFrom(server, recorder);
        const std::string path = "/hostile/" + std::to_string(index++) + "/";
        ASSERT_TRUE(download->startGet(path, true));
        ASSERT_TRUE(recorder.waitForEnd()) << name;
        download.reset();
        EXPECT_FALSE(recorder.completed) << name;
        EXPECT_EQ(recorder.starts, 0) << name;
        EXPECT_EQ(recorder.chunks, 0) << name;
    }
}

TEST(AsyncHttp, ARefusedConnectionEndsInFailure) {
    testutil::ClosedPort unused;
    testutil::LogCapture capture(LOG_ERROR);
    Recorder recorder;
    {
        async_http download("downloadMgr", "127.0.0.1", unused.port(), &recorder, "", 0);
        if (download.startGet("/x", true)) {
            ASSERT_TRUE(recorder.waitForEnd());
            EXPECT_FALSE(recorder.completed);
            EXPECT_FALSE(recorder.failure.empty());
            EXPECT_TRUE(capture.contains("WINHTTP_CALLBACK_STATUS_REQUEST_ERROR, http_error=")) << capture.text();
        } else {
            EXPECT_NE(download.lastError(), 0u);
        }
    }
    EXPECT_EQ(recorder.late, 0);
}

// The owner frees the download the moment its completion arrives; WinHTTP may
// still be unwinding from that callback.
TEST(AsyncHttp, FreedRightAfterCompletionAHundredTimes) {
    LocalUpdateServer server;
    server.allow("GET", "/small", ScriptedResponse::cabinet(randomBytes(48 * 1024, 3), "small.cab"));
    for (int round = 0; round < 100; ++round) {
        auto recorder = std::make_unique<Recorder>();
        auto download = downloadFrom(server, *recorder);
        ASSERT_TRUE(download->startGet("/small", true)) << round;
        ASSERT_TRUE(recorder->waitForEnd()) << round;
        download.reset();
        ASSERT_TRUE(recorder->completed) << round << ": " << recorder->failure;
        ASSERT_EQ(recorder->data.size(), 48u * 1024) << round;
        ASSERT_EQ(recorder->late, 0) << round;
        recorder.reset();
    }
}

// The owner frees the download while WinHTTP still holds a stalled read
// (closing the request ends it at once on Windows, only the receive time-out
// under Wine) and the memory is gone at once: WinHTTP's late error and
// closing notice must find nothing of the object.
TEST(AsyncHttp, FreedWhileTheServerStallsCallsNothingMore) {
    LocalUpdateServer server;
    expectStalledDownload(server);
    Recorder recorder;
    void* memory = VirtualAlloc(nullptr, sizeof(async_http), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(memory, nullptr);
    auto* download = new (memory) async_http("downloadMgr", "127.0.0.1", server.port(), &recorder, "", 0);
    ASSERT_TRUE(download->setReceiveTimeout(1s));
    ASSERT_TRUE(download->startGet("/stall", true));
    ASSERT_TRUE(testutil::waitUntil([&] { return recorder.starts > 0; }, 10s));
    download->~async_http();
    VirtualFree(memory, 0, MEM_RELEASE);
    const int endsAtRelease = recorder.ends.load();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(recorder.ends, endsAtRelease);
    EXPECT_LE(recorder.ends, 1);
}

// A library that frees its download while the transfer stalls and is then
// unloaded stays loaded until WinHTTP's closing notice has come and gone:
// the notice never runs in unmapped code, which would end this program, even
// when its thread is preempted right after letting go of the library.
TEST(AsyncHttp, ALibraryUnloadedDuringAStalledDownloadStaysUntilTheClosingNotice) {
    LocalUpdateServer server;
    expectStalledDownload(server);
    HMODULE library = LoadLibraryW((testutil::exeDirectory() + L"unloadlibrary.dll").c_str());
    ASSERT_NE(library, nullptr) << GetLastError();
    auto startDownload = reinterpret_cast<bool (*)(unsigned short, const char*)>(GetProcAddress(library, "startDownload"));
    auto endDownload = reinterpret_cast<void (*)()>(GetProcAddress(library, "endDownload"));
    auto downloadedBytes = reinterpret_cast<unsigned (*)()>(GetProcAddress(library, "downloadedBytes"));
    auto pauseAfterHandOver = reinterpret_cast<void (*)(unsigned)>(GetProcAddress(library, "pauseAfterHandOver"));
    ASSERT_TRUE(startDownload && endDownload && downloadedBytes && pauseAfterHandOver);
    pauseAfterHandOver(300);
    ASSERT_TRUE(startDownload(server.port(), "/stall"));
    ASSERT_TRUE(testutil::waitUntil([&] { return downloadedBytes() >= 4096; }));  // the next read waits
    endDownload();
    ASSERT_TRUE(FreeLibrary(library));
    // Under Wine the notice comes only at the receive time-out.
    EXPECT_NE(GetModuleHandleW(L"unloadlibrary.dll"), nullptr) << "unloaded before WinHTTP's closing notice";
    EXPECT_TRUE(testutil::waitUntil([] { return GetModuleHandleW(L"unloadlibrary.dll") == nullptr; }, 20s));
    Sleep(600);  // time for a thread still inside the unmapped library to fault, and fail this program
}
