// A scripted HTTP/1.1 server on 127.0.0.1 for tests of the update query, the
// downloads and the log posts. It listens on a port the system picks, serves
// each connection on its own thread and records every request.
//
//   testutil::LocalUpdateServer server;
//   server.expect("GET", "/check_agent_updates?", ScriptedResponse::json("{...}"));
//   server.expect("GET", "/agent.cab", ScriptedResponse::cabinet(bytes, "Agent.CAB"));
//   ... run the code under test against server.baseUrl() ...
//   server.requests()[0].header("cid")
//
// expect() adds a request that must come (`times` times); allow() adds one
// that may come any number of times. A request is matched by its method and a
// prefix of its target ("/path?query"), against the open expectations first (in
// the order they were added), then against the allowances. A request that
// matches nothing is answered 404 and fails the test; an expectation still
// open when the server stops fails the test too. stop() (also run by the
// destructor) reports both through GoogleTest on the calling thread.
//
// Faults on request: ScriptedResponse::error(404 or 500); a body cut short
// (truncateAfter: the full Content-Length is announced, then the connection
// closes); a stall (the headers and truncateAfter bytes are sent, then the
// connection hangs until releaseStalls() or stop()); an answer held back whole
// until releaseStalls() (holdUntilRelease); a connection closed with
// no answer at all (hangUpResponse()); no Content-Disposition
// (cabinet() with an empty file name) or any file name, hostile ones included.
// A wrong digest is a matter of the JSON the query answers: sha256Hex() gives
// the right one.
#pragma once

#include <winsock2.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testutil {

struct HttpRequest {
    std::string method;
    std::string target;
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The value of a header (name without regard to letter case); empty when missing.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

struct ScriptedResponse {
    static constexpr size_t kWholeBody = static_cast<size_t>(-1);

    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    // The body; a large one can be shared instead of copied (it must outlive the server).
    std::string body;
    std::shared_ptr<const std::string> sharedBody;
    bool sendContentLength = true;
    size_t truncateAfter = kWholeBody;
    bool stall = false;
    // Nothing is sent before releaseStalls(); then the whole answer is.
    bool holdUntilRelease = false;
    // Close the connection without any answer.
    bool hangUp = false;

    const std::string& bodyText() const { return sharedBody ? *sharedBody : body; }

    static ScriptedResponse json(const std::string& text);
    static ScriptedResponse error(int status);
    static ScriptedResponse hangUpResponse();
    // A cabinet with Content-Length and `Content-Disposition: attachment; filename="<name>"`;
    // an empty name sends no Content-Disposition at all.
    static ScriptedResponse cabinet(std::shared_ptr<const std::string> bytes, const std::string& fileName);
    static ScriptedResponse cabinet(const std::string& bytes, const std::string& fileName);
};

class LocalUpdateServer {
public:
    LocalUpdateServer();
    ~LocalUpdateServer();
    LocalUpdateServer(const LocalUpdateServer&) = delete;
    LocalUpdateServer& operator=(const LocalUpdateServer&) = delete;

    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>/"
    std::string baseUrl() const;

    void expect(const std::string& method, const std::string& targetPrefix, ScriptedResponse response,
                int times = 1);
    void allow(const std::string& method, const std::string& targetPrefix, ScriptedResponse response);

    std::vector<HttpRequest> requests() const;
    size_t requestCount() const;
    // True when at least `count` requests have been answered (or stalled) in time.
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    void releaseStalls();
    // Stops listening, ends every connection, joins the threads and reports
    // unexpected and missing requests. Idempotent.
    void stop();

private:
    struct Rule {
        std::string method;
        std::string prefix;
        ScriptedResponse response;
        int remaining;  // -1: any number
    };

    void acceptLoop();
    void serveConnection(SOCKET client);
    bool readRequest(SOCKET client, std::string& pending, HttpRequest& request);
    bool answer(SOCKET client, const HttpRequest& request);
    bool findResponse(const HttpRequest& request, ScriptedResponse& response);
    void waitForStallRelease();
    bool waitReadable(SOCKET socket);
    bool waitReady(SOCKET socket, bool forWriting);
    bool sendAll(SOCKET socket, const char* data, size_t length);

    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::thread acceptThread_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Rule> rules_;
    std::vector<HttpRequest> requests_;
    std::vector<std::string> unexpected_;
    std::vector<SOCKET> clients_;
    std::vector<std::thread> connectionThreads_;
    bool stopping_ = false;
    bool stallsReleased_ = false;
    bool stopped_ = false;
    size_t answered_ = 0;
};

// 64 lower-case hex digits, for scripting the query's answer.
std::string sha256Hex(const std::string& bytes);

}  // namespace testutil
