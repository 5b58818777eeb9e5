#include <winsock2.h>

#include <gtest/gtest.h>

#include <string>

#include "support/localUpdateServer.h"
#include "support/testUtil.h"
#include "utils/win/http_helper.h"
#include "utils/win/http_helper_host.h"

using testutil::LocalUpdateServer;
using testutil::ScriptedResponse;

namespace {

std::string bytesOfEveryValue() {
    std::string bytes;
    for (int round = 0; round < 64; ++round) {
        for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
    }
    return bytes;
}

std::string readAll(const std::string& path) {
    std::string content;
    testutil::readFile(path, content);
    return content;
}

}  // namespace

TEST(HttpHostVariants, GetToFileWritesTheBodyExactlyIntoANewFile) {
    const std::string bytes = bytesOfEveryValue();
    testutil::TempDir dir;
    const std::string file = dir.file("agent.cab");
    LocalUpdateServer server;
    server.expect("GET", "/agent.cab", ScriptedResponse::cabinet(bytes, "agent.cab"));
    http_helper client("test_agent", "127.0.0.1", server.port(), false, "", 0);
    ASSERT_TRUE(client.getToFile("/agent.cab", file));
    EXPECT_EQ(readAll(file), bytes);
}

TEST(HttpHostVariants, GetToFileNeverTouchesAnExistingFileAndLeavesNoPartialOne) {
    testutil::TempDir dir;
    const std::string existing = dir.file("existing.cab");
    ASSERT_TRUE(testutil::writeFile(existing, "someone else's"));
    LocalUpdateServer server;
    server.expect("GET", "/missing", ScriptedResponse::error(404));
    ScriptedResponse cut = ScriptedResponse::cabinet(bytesOfEveryValue(), "a.cab");
    cut.truncateAfter = 1000;
    server.expect("GET", "/cut", cut);
    http_helper client("test_agent", "127.0.0.1", server.port(), false, "", 0);

    // Nothing is sent for a file that exists (the server expects no such request).
    EXPECT_FALSE(client.getToFile("/agent.cab", existing));
    EXPECT_EQ(readAll(existing), "someone else's");

    EXPECT_FALSE(client.getToFile("/missing", dir.file("missing.cab")));
    EXPECT_EQ(client.statusCode(), 404u);
    EXPECT_FALSE(testutil::fileExists(dir.file("missing.cab")));

    EXPECT_FALSE(client.getToFile("/cut", dir.file("cut.cab")));
    EXPECT_FALSE(testutil::fileExists(dir.file("cut.cab")));
}

TEST(HttpHostVariants, GetsWithHeadersReportStatusHeadersAndBody) {
    LocalUpdateServer server;
    server.expect("GET", "/status", ScriptedResponse::json("{}"));
    server.expect("GET", "/gone", ScriptedResponse::error(404));
    server.expect("GET", "/response", ScriptedResponse::json("{\"a\":1}"));
    server.expect("GET", "/buffer", ScriptedResponse::json("plain"));
    http_helper client("test_agent", "127.0.0.1", server.port(), false, "", 0);
    testutil::LogCapture log(6);

    std::wstring headers;
    ASSERT_TRUE(client.getStatus("/status", "cid: 42\r\n", headers));
    EXPECT_EQ(client.statusCode(), 200u);
    EXPECT_EQ(headers.rfind(L"HTTP/1.1 200", 0), 0u) << std::string(headers.begin(), headers.end());
    EXPECT_TRUE(client.getStatus("/gone", nullptr, headers));
    EXPECT_EQ(client.statusCode(), 404u);
    EXPECT_TRUE(log.contains("HTTP status code=404"));

    std::string body;
    ASSERT_TRUE(client.getResponse("/response", "cid: 43\r\n", body));
    EXPECT_EQ(body, "{\"a\":1}");
    body.clear();
    ASSERT_TRUE(client.getToBuffer("/buffer", body));
    EXPECT_EQ(body, "plain");

    server.stop();
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].header("cid"), "42");
    EXPECT_EQ(requests[2].header("cid"), "43");
    EXPECT_FALSE(requests[3].hasHeader("cid"));
}

TEST(HttpHostVariants, PostsSendTheirWholeBodyOnce) {
    std::string large;
    for (int i = 0; large.size() < 300000; ++i) large += "field" + std::to_string(i) + "=value&";
    LocalUpdateServer server;
    server.expect("POST", "/logged", ScriptedResponse::json("logged-answer"));
    server.expect("POST", "/written", ScriptedResponse::json("ok"));
    server.expect("POST", "/form", ScriptedResponse::json("form-answer"));
    server.expect("POST", "/status", ScriptedResponse::error(500));
    http_helper client("test_agent", "127.0.0.1", server.port(), false, "", 0);
    testutil::LogCapture log(7);

    std::string response;
    ASSERT_TRUE(client.postLogged("/logged", "Content-Type: application/json\r\n", "{\"k\":1}", response));
    EXPECT_EQ(response, "logged-answer");
    EXPECT_TRUE(log.contains("Post header: Content-Type: application/json"));
    EXPECT_TRUE(log.contains("Post body: {\"k\":1}"));

    EXPECT_TRUE(client.postWrite("/written", large));
    response.clear();
    ASSERT_TRUE(client.postForm("/form", "a=1&b=2", response));
    EXPECT_EQ(response, "form-answer");
    EXPECT_TRUE(client.postStatus("/status", "x=1")) << "any status read counts";
    EXPECT_EQ(client.statusCode(), 500u);

    server.stop();
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].body, "{\"k\":1}");
    EXPECT_EQ(requests[1].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(requests[1].body, large);
    EXPECT_EQ(requests[2].body, "a=1&b=2");
    EXPECT_EQ(requests[3].body, "x=1");
}

TEST(HttpHostVariants, NoServerMeansFailureNotSuccess) {
    // A port that was free a moment ago: nothing listens on it.
    LocalUpdateServer gone;
    const uint16_t port = gone.port();
    gone.stop();
    http_helper client("test_agent", "127.0.0.1", port, false, "", 0);
    testutil::TempDir dir;
    EXPECT_FALSE(client.postStatus("/status", "x=1"));
    EXPECT_FALSE(client.postWrite("/written", "x=1"));
    std::wstring headers;
    EXPECT_FALSE(client.getStatus("/status", nullptr, headers));
    EXPECT_FALSE(client.getToFile("/file", dir.file("f.bin")));
    EXPECT_FALSE(testutil::fileExists(dir.file("f.bin")));
    EXPECT_NE(client.lastError(), 0u);
}
