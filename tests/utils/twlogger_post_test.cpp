#include <winsock2.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <string>
#include <utility>

#include "support/localUpdateServer.h"
#include "support/logLines.h"
#include "support/loopbackListener.h"
#include "support/testUtil.h"
#include "utils/twlogger.h"
#include "utils/twlogger_postqueue.h"
#include "utils/win/http_helper.h"

using testutil::LocalUpdateServer;
using testutil::ScriptedResponse;
using namespace std::chrono_literals;

namespace {

class PostSink : public ::testing::Test {
protected:
    void SetUp() override { http_helper::setDefaultRetryPause(10ms); }
    void TearDown() override {
        closeNetLog();
        twlogger_detail::setLogPostLimits(twlogger_detail::kLogPostLimits);
        twlogger_detail::setLogPostTransport(nullptr);
        setPostLogLevel(9);
        setLogPostUrl(nullptr);
        setLogRecordIds("", "");
        http_helper::setDefaultRetryPause(http_helper::kPostRetryPause);
    }

    static void postTo(const std::string& url, int level = LOG_ERROR) {
        setLogPostUrl(url.c_str());
        setPostLogLevel(static_cast<unsigned>(level));
    }

    static std::string messageOf(const testutil::HttpRequest& request) {
        Json::Value record;
        if (!Json::Reader().parse(request.body, record)) return "<not json> " + request.body;
        return record["short_message"].asString();
    }

    static bool posted(const LocalUpdateServer& server, const std::string& message) {
        const auto requests = server.requests();
        return std::any_of(requests.begin(), requests.end(), [&](const auto& r) { return messageOf(r) == message; });
    }
};

// A listener whose backlog takes the connection; nothing ever answers.
class SilentListener {
public:
    SilentListener() : socket_(testutil::listenOnLoopback(port_)) {}
    ~SilentListener() {
        dropClient();
        closesocket(socket_);
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/log"; }
    void dropClient() { closesocket(std::exchange(client_, INVALID_SOCKET)); }

    bool acceptOne() {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_, &readable);
        timeval wait{10, 0};
        if (select(0, &readable, nullptr, nullptr, &wait) != 1) return false;
        client_ = accept(socket_, nullptr, nullptr);
        return client_ != INVALID_SOCKET;
    }

private:
    uint16_t port_ = 0;  // before socket_, which fills it
    SOCKET socket_;
    SOCKET client_ = INVALID_SOCKET;
};

}  // namespace

TEST_F(PostSink, RecordsArriveInOrderWithTheirMembers) {
    LocalUpdateServer server;
    server.allow("POST", "/portal/log", ScriptedResponse::json("ok"));
    setLogRecordIds("cust-1", "GUID-1");
    postTo(server.baseUrl() + "portal/log");
    constexpr int kLines = 8;
    for (int i = 0; i < kLines; ++i) TWLOG(LOG_ERROR, "line " << i);
    TWLOG(LOG_WARN, "not posted at level 4");
    // What is still queued at a stop reaches a healthy server.
    closeNetLog();
    server.stop();

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), static_cast<size_t>(kLines));
    for (int i = 0; i < kLines; ++i) EXPECT_EQ(messageOf(requests[i]), "line " + std::to_string(i));
    EXPECT_EQ(requests[0].header("User-Agent"), "agent_log");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/x-www-form-urlencoded");
    Json::Value record;
    ASSERT_TRUE(Json::Reader().parse(requests[0].body, record)) << requests[0].body;
    EXPECT_EQ(record["level"].asInt(), 3);
    EXPECT_EQ(record["_file"].asString(), "twlogger_post_test.cpp");
    EXPECT_EQ(record["_custid"].asString(), "cust-1");
    EXPECT_EQ(record["_machineguid"].asString(), "GUID-1");
    EXPECT_EQ(record["host"].asString(), "quillmarkagent");
    EXPECT_EQ(record["version"].asString(), "2.4.0.0");
    EXPECT_TRUE(record["timestamp"].isDouble());
}

// The client logs its own failures while it posts; with the post sink open to
// those levels, such lines must not be posted.
TEST_F(PostSink, LinesLoggedWhilePostingAreNotPosted) {
    LocalUpdateServer server;
    server.expect("POST", "/log", ScriptedResponse::hangUpResponse());
    server.allow("POST", "/log", ScriptedResponse::json("ok"));
    testutil::LogCapture capture(LOG_DBLDEBUG);
    postTo(server.baseUrl() + "log", LOG_DBLDEBUG);
    TWLOG(LOG_ERROR, "only this line is posted");
    TWLOG(LOG_ERROR, "end marker");
    ASSERT_TRUE(testutil::waitUntil([&] { return posted(server, "end marker"); }));
    closeNetLog();
    server.stop();

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u) << capture.text();
    EXPECT_EQ(messageOf(requests[0]), "only this line is posted");
    EXPECT_EQ(messageOf(requests[1]), "only this line is posted");
    EXPECT_TRUE(capture.contains("WinHttpReceiveResponse() failed: ")) << capture.text();
}

TEST_F(PostSink, AFullQueueDropsAndReportsTheCountOnceDrained) {
    closeNetLog();  // the next sender takes the small queue
    twlogger_detail::setLogPostLimits({3, 1u << 20});
    LocalUpdateServer server;
    ScriptedResponse stalled = ScriptedResponse::json("ok");
    stalled.stall = true;
    stalled.truncateAfter = 0;
    server.expect("POST", "/log", stalled);
    server.allow("POST", "/log", ScriptedResponse::json("ok"));
    testutil::LogCapture capture(LOG_INFO);
    postTo(server.baseUrl() + "log");

    TWLOG(LOG_ERROR, "held");
    ASSERT_TRUE(server.waitForRequests(1));
    for (int i = 0; i < 5; ++i) TWLOG(LOG_ERROR, "queued " << i);
    EXPECT_FALSE(capture.contains("dropped")) << "reported before the queue drained";
    server.releaseStalls();
    ASSERT_TRUE(testutil::waitUntil([&] { return capture.contains("dropped"); })) << capture.text();
    closeNetLog();
    server.stop();

    EXPECT_TRUE(capture.contains("Log post queue was full, dropped 2 records")) << capture.text();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(posted(server, "queued " + std::to_string(i))) << i;
    for (int i = 3; i < 5; ++i) EXPECT_FALSE(posted(server, "queued " + std::to_string(i))) << i;
}

TEST_F(PostSink, ASenderThatEndsOnAnExceptionSaysSoOnceAndANewLevelReplacesIt) {
    LocalUpdateServer server;
    server.allow("POST", "/log", ScriptedResponse::json("ok"));
    testutil::LogCapture capture(LOG_INFO);
    closeNetLog();
    twlogger_detail::setLogPostTransport(
        [](const std::string&, const std::string&, twlogger_detail::LogPostCancel&) { throw std::bad_alloc(); });
    postTo(server.baseUrl() + "log");
    TWLOG(LOG_ERROR, "lost");
    ASSERT_TRUE(testutil::waitUntil([&] { return capture.contains("Log post sender ended: "); })) << capture.text();
    TWLOG(LOG_ERROR, "lost too");
    twlogger_detail::setLogPostTransport(nullptr);
    postTo(server.baseUrl() + "log");
    TWLOG(LOG_ERROR, "posted again");
    EXPECT_TRUE(testutil::waitUntil([&] { return posted(server, "posted again"); }));
    EXPECT_EQ(testutil::countLines(capture.text(), "Log post sender ended: "), 1u) << capture.text();
}

// The logging call itself returns at once, or this test could not accept the
// connection its post makes; the stop then cuts the hung post short.
// A count of dropped records not yet reported is reported by the stop.
TEST_F(PostSink, CloseEndsAPostToAHungServerWithinItsBoundAndReportsWhatWasDropped) {
    closeNetLog();  // the next sender takes a queue of one record
    twlogger_detail::setLogPostLimits({1, 1u << 20});
    testutil::LogCapture capture(LOG_WARN);
    SilentListener listener;
    postTo(listener.url());
    TWLOG(LOG_ERROR, "into the void");
    ASSERT_TRUE(listener.acceptOne());
    TWLOG(LOG_ERROR, "queued");
    TWLOG(LOG_ERROR, "dropped");
    const auto started = std::chrono::steady_clock::now();
    closeNetLog();
    // A hung post alone would hold it 30 s and more.
    EXPECT_LT(std::chrono::steady_clock::now() - started, twlogger_detail::kLogPostStopBound + 250ms);
    EXPECT_TRUE(capture.contains("Log post queue was full, dropped 1 records")) << capture.text();
    EXPECT_TRUE(capture.contains("1 queued records were not posted")) << capture.text();
}

// A library unloaded while its sender is stuck in a post stays mapped until
// the sender has left it, then goes: no code is pulled from under the thread.
TEST_F(PostSink, ALibraryUnloadedDuringAHungPostLeavesOnceItsSenderEnds) {
    SilentListener listener;
    HMODULE library = LoadLibraryW((testutil::exeDirectory() + L"unloadlibrary.dll").c_str());
    ASSERT_NE(library, nullptr) << GetLastError();
    auto postErrorLine = reinterpret_cast<void (*)(const char*)>(GetProcAddress(library, "postErrorLine"));
    auto endLogging = reinterpret_cast<void (*)()>(GetProcAddress(library, "endLogging"));
    ASSERT_TRUE(postErrorLine && endLogging);
    postErrorLine(listener.url().c_str());
    ASSERT_TRUE(listener.acceptOne());
    endLogging();
    ASSERT_TRUE(FreeLibrary(library));
    EXPECT_NE(GetModuleHandleW(L"unloadlibrary.dll"), nullptr) << "unloaded under its sender";
    // Windows ends the post when its request is closed; Wine only when the
    // connection goes.
    listener.dropClient();
    EXPECT_TRUE(testutil::waitUntil([] { return GetModuleHandleW(L"unloadlibrary.dll") == nullptr; }, 20s));
}
