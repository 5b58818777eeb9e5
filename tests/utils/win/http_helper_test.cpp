#include <winsock2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "support/localUpdateServer.h"
#include "support/testData.h"
#include "support/testUtil.h"
#include "utils/twlogger.h"
#include "utils/win/http_helper.h"

using testutil::LocalUpdateServer;
using testutil::ScriptedResponse;
using namespace std::chrono_literals;

namespace {

http_helper clientFor(const LocalUpdateServer& server) {
    return http_helper("test_agent", "127.0.0.1", server.port(), false, "", 0);
}

// Exposes the error fields so errorText() can be checked for every kind of code.
class errorProbe : public http_helper {
public:
    errorProbe() : http_helper("probe", "127.0.0.1", 1, false, "", 0) {}
    void set(DWORD error, uint32_t status) {
        setLastError(error);
        setStatusCode(status);
    }
};

}  // namespace

TEST(UrlParsing, SchemeHostPortAndPath) {
    UrlParts parts = parseUrl("https://host/a/b?x=1");
    EXPECT_EQ(parts.host, "host");
    EXPECT_EQ(parts.port, 443);
    EXPECT_EQ(parts.path, "/a/b?x=1");
    EXPECT_TRUE(parts.secure);

    parts = parseUrl("HTTPS://host");
    EXPECT_EQ(parts.port, 443);
    EXPECT_EQ(parts.path, "");

    parts = parseUrl("http://host:8080");
    EXPECT_EQ(parts.host, "host");
    EXPECT_EQ(parts.port, 8080);
    EXPECT_EQ(parts.path, "");
    EXPECT_FALSE(parts.secure);

    EXPECT_EQ(parseUrl("https://host:0/x").port, 443);
    EXPECT_EQ(parseUrl("ftp://host/x").port, 80);

    parts = parseUrl("host:81/p");
    EXPECT_EQ(parts.host, "host");
    EXPECT_EQ(parts.port, 81);
    EXPECT_EQ(parts.path, "/p");

    parts = parseUrl("/p");
    EXPECT_EQ(parts.host, "");
    EXPECT_EQ(parts.port, 80);
    EXPECT_EQ(parts.path, "/p");

    std::string host;
    uint16_t port = 7;
    EXPECT_TRUE(splitHostPort("name", host, port));
    EXPECT_EQ(host, "name");
    EXPECT_EQ(port, 0);
}

TEST(UrlParsing, TlsFollowsTheSchemeAsWellAsPort443) {
    const UrlParts parts = parseUrl("https://host:8443/q");
    http_helper onHttpsScheme("t", parts.host, parts.port, false, "", 0, parts.secure);
    EXPECT_TRUE(onHttpsScheme.usesTls());
    http_helper on443("t", "host", 443, false, "", 0);
    EXPECT_TRUE(on443.usesTls());
    http_helper plain("t", "host", 8443, false, "", 0);
    EXPECT_FALSE(plain.usesTls());
}

// An https URL on another port must not go out as clear text: whatever reaches
// the server first is a TLS handshake record, never "GET ".
TEST(HttpHelper, HttpsOnAnotherPortNeverSendsClearText) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const uint16_t port = ntohs(address.sin_port);

    std::promise<std::string> firstBytes;
    std::thread peer([&] {
        SOCKET client = accept(listener, nullptr, nullptr);
        std::string seen;
        if (client != INVALID_SOCKET) {
            DWORD timeout = 5000;
            setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
            char buffer[16] = {};
            const int received = recv(client, buffer, sizeof(buffer), 0);
            if (received > 0) seen.assign(buffer, static_cast<size_t>(received));
            closesocket(client);
        }
        firstBytes.set_value(seen);
    });

    const UrlParts parts = parseUrl("https://127.0.0.1:" + std::to_string(port) + "/check?guid=secret");
    http_helper client("t", parts.host, parts.port, false, "", 0, parts.secure);
    uint32_t status = 0;
    std::string body;
    EXPECT_FALSE(client.get(nullptr, parts.path, "cid:secret\r\n", status, body));
    auto seen = firstBytes.get_future();
    ASSERT_EQ(seen.wait_for(10s), std::future_status::ready);
    const std::string bytes = seen.get();
    peer.join();
    closesocket(listener);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x16) << "first bytes: " << bytes;
    EXPECT_EQ(bytes.find("GET"), std::string::npos);
}

TEST(HttpHelper, GetReturnsStatusBodyAndSendsTheExtraHeader) {
    LocalUpdateServer server;
    server.expect("GET", "/check?x=1", ScriptedResponse::json("{\"a\":1}"));
    http_helper client = clientFor(server);
    uint32_t status = 0;
    std::string body;
    ASSERT_TRUE(client.get(nullptr, "/check?x=1", "cid:abc\r\n", status, body)) << client.errorText();
    EXPECT_EQ(status, 200u);
    EXPECT_EQ(body, "{\"a\":1}");
    server.stop();
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/check?x=1");
    EXPECT_EQ(requests[0].header("cid"), "abc");
    EXPECT_EQ(requests[0].header("User-Agent"), "test_agent");
}

TEST(HttpHelper, AGetForATargetUrlWithoutAProxyScriptSendsNothing) {
    LocalUpdateServer server;
    http_helper client = clientFor(server);
    uint32_t status = 0;
    std::string body;
    EXPECT_FALSE(client.get("https://updates.example/check", "/check", nullptr, status, body));
    server.stop();
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST(HttpHelper, GetFailuresLeaveTheirReason) {
    {
        LocalUpdateServer server;
        server.expect("GET", "/missing", ScriptedResponse::error(404));
        http_helper client = clientFor(server);
        uint32_t status = 0;
        std::string body;
        EXPECT_FALSE(client.get(nullptr, "/missing", nullptr, status, body));
        EXPECT_EQ(status, 404u);
        EXPECT_EQ(client.errorText(), "HTTP returned code:404");
    }
    {
        testutil::ClosedPort closed;
        http_helper client("t", "127.0.0.1", closed.port(), false, "", 0);
        uint32_t status = 0;
        std::string body;
        EXPECT_FALSE(client.get(nullptr, "/", nullptr, status, body));
        EXPECT_EQ(client.lastError(), static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
        EXPECT_FALSE(client.errorText().empty());
        EXPECT_EQ(client.errorText().find("Unknown http error"), std::string::npos) << client.errorText();
        EXPECT_EQ(client.errorText().find(", error="), std::string::npos) << client.errorText();
    }
}

TEST(HttpHelper, ABodyCutShortOfItsContentLengthFails) {
    LocalUpdateServer server;
    ScriptedResponse cut = ScriptedResponse::json("{\"upgrade_version\":\"2.0.0\"}");
    cut.truncateAfter = 10;
    server.expect("GET", "/check", cut);
    http_helper client = clientFor(server);
    uint32_t status = 0;
    std::string body;
    EXPECT_FALSE(client.get(nullptr, "/check", nullptr, status, body));
    EXPECT_EQ(client.lastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
}

TEST(HttpHelper, ErrorTextForEachKindOfCode) {
    errorProbe probe;
    probe.set(0, 0);
    EXPECT_EQ(probe.errorText(), "Unknow error.");
    probe.set(0, 500);
    EXPECT_EQ(probe.errorText(), "HTTP returned code:500");
    probe.set(5, 0);
    EXPECT_EQ(probe.errorText(), "Unknown http error: 5");
    probe.set(12029, 0);
    const std::string text = probe.errorText();
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find("Unknown http error"), std::string::npos) << text;
    EXPECT_EQ(text.find(", error="), std::string::npos) << "the system's text, not a fallback: " << text;
}

TEST(HttpHelper, PostSendsAFormAndRetriesTenTimes) {
    {
        LocalUpdateServer server;
        server.expect("POST", "/log", ScriptedResponse::json("ok"));
        http_helper client = clientFor(server);
        std::string response;
        ASSERT_TRUE(client.post("/log", "{\"k\":\"v\"}\n", response)) << client.errorText();
        EXPECT_EQ(response, "ok");
        server.stop();
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].header("Content-Type"), "application/x-www-form-urlencoded");
        EXPECT_EQ(requests[0].body, "{\"k\":\"v\"}\n");
    }
    {
        LocalUpdateServer server;
        server.allow("POST", "/log", ScriptedResponse::error(500));
        http_helper client = clientFor(server);
        client.setRetryPause(1ms);
        std::string response;
        EXPECT_FALSE(client.post("/log", "x", response));
        server.stop();
        EXPECT_EQ(server.requestCount(), static_cast<size_t>(http_helper::kPostAttempts));
        EXPECT_EQ(client.errorText(), "HTTP returned code:500");
    }
}

TEST(HttpHelper, CancelStopsPostRetriesAndPendingRequests) {
    {
        // A cancel during the pause ends the post without another attempt.
        LocalUpdateServer server;
        server.expect("POST", "/log", ScriptedResponse::error(500));
        http_helper client = clientFor(server);
        client.setRetryPause(30s);
        std::string response;
        auto posting = std::async(std::launch::async, [&] { return client.post("/log", "x", response); });
        ASSERT_TRUE(server.waitForRequests(1));
        client.closeRequest();
        ASSERT_EQ(posting.wait_for(10s), std::future_status::ready);
        EXPECT_FALSE(posting.get());
    }
    {
        // A cancel that came before the request was opened is honoured: nothing is sent.
        LocalUpdateServer server;
        http_helper client = clientFor(server);
        client.closeRequest();
        uint32_t status = 0;
        std::string body;
        EXPECT_FALSE(client.get(nullptr, "/check", nullptr, status, body));
        std::string response;
        EXPECT_FALSE(client.post("/log", "x", response));
        server.stop();
        EXPECT_EQ(server.requestCount(), 0u);
    }
}
