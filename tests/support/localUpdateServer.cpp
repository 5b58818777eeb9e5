#include "localUpdateServer.h"

#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace testutil {

namespace {

constexpr size_t kSendChunk = 256 * 1024;
constexpr size_t kMaxHeaderBytes = 64 * 1024;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

const char* reasonOf(int status) {
    switch (status) {
        case 200: return "OK";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

bool parseRequestHead(const std::string& head, HttpRequest& request) {
    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t firstBlank = requestLine.find(' ');
    const size_t secondBlank = requestLine.find(' ', firstBlank + 1);
    if (firstBlank == std::string::npos || secondBlank == std::string::npos) return false;
    request.method = requestLine.substr(0, firstBlank);
    request.target = requestLine.substr(firstBlank + 1, secondBlank - firstBlank - 1);
    request.version = requestLine.substr(secondBlank + 1);
    while (lineEnd != std::string::npos && lineEnd + 2 < head.size()) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }
    return true;
}

}  // namespace

std::string HttpRequest::header(const std::string& name) const {
    for (const auto& entry : headers) {
        if (lower(entry.first) == lower(name)) return entry.second;
    }
    return std::string();
}

bool HttpRequest::hasHeader(const std::string& name) const {
    for (const auto& entry : headers) {
        if (lower(entry.first) == lower(name)) return true;
    }
    return false;
}

ScriptedResponse ScriptedResponse::json(const std::string& text) {
    ScriptedResponse response;
    response.headers.emplace_back("Content-Type", "application/json");
    response.body = text;
    return response;
}

ScriptedResponse ScriptedResponse::error(int status) {
    ScriptedResponse response;
    response.status = status;
    response.body = "error " + std::to_string(status);
    return response;
}

ScriptedResponse ScriptedResponse::hangUpResponse() {
    ScriptedResponse response;
    response.hangUp = true;
    return response;
}

ScriptedResponse ScriptedResponse::cabinet(std::shared_ptr<const std::string> bytes, const std::string& fileName) {
    ScriptedResponse response;
    response.headers.emplace_back("Content-Type", "application/vnd.ms-cab-compressed");
    if (!fileName.empty()) {
        response.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + fileName + "\"");
    }
    response.sharedBody = std::move(bytes);
    return response;
}

ScriptedResponse ScriptedResponse::cabinet(const std::string& bytes, const std::string& fileName) {
    return cabinet(std::make_shared<const std::string>(bytes), fileName);
}

LocalUpdateServer::LocalUpdateServer() {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof(address);
    if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, SOMAXCONN) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "local update server could not listen, error " << WSAGetLastError();
        return;
    }
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

LocalUpdateServer::~LocalUpdateServer() { stop(); }

std::string LocalUpdateServer::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

void LocalUpdateServer::expect(const std::string& method, const std::string& targetPrefix, ScriptedResponse response,
                               int times) {
    std::lock_guard<std::mutex> lock(lock_);
    rules_.push_back(Rule{method, targetPrefix, std::move(response), times});
}

void LocalUpdateServer::allow(const std::string& method, const std::string& targetPrefix, ScriptedResponse response) {
    std::lock_guard<std::mutex> lock(lock_);
    rules_.push_back(Rule{method, targetPrefix, std::move(response), -1});
}

std::vector<HttpRequest> LocalUpdateServer::requests() const {
    std::lock_guard<std::mutex> lock(lock_);
    return requests_;
}

size_t LocalUpdateServer::requestCount() const {
    std::lock_guard<std::mutex> lock(lock_);
    return requests_.size();
}

bool LocalUpdateServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, timeout, [&] { return answered_ >= count; });
}

void LocalUpdateServer::releaseStalls() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        stallsReleased_ = true;
    }
    changed_.notify_all();
}

void LocalUpdateServer::stop() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (stopped_) return;
        stopped_ = true;
        stopping_ = true;
        for (SOCKET client : clients_) shutdown(client, SD_BOTH);
    }
    changed_.notify_all();
    if (acceptThread_.joinable()) acceptThread_.join();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    {
        std::lock_guard<std::mutex> lock(lock_);
        threads.swap(connectionThreads_);
    }
    for (auto& thread : threads) thread.join();

    std::lock_guard<std::mutex> lock(lock_);
    for (const auto& line : unexpected_) ADD_FAILURE() << "unexpected request: " << line;
    for (const auto& rule : rules_) {
        if (rule.remaining > 0) {
            ADD_FAILURE() << "expected request never came: " << rule.method << " " << rule.prefix << " ("
                          << rule.remaining << " missing)";
        }
    }
}

// Blocking calls are not woken by shutdown() or closesocket() from another
// thread under every Winsock, so every wait polls the stop flag.
bool LocalUpdateServer::waitReadable(SOCKET socket) { return waitReady(socket, false); }

bool LocalUpdateServer::waitReady(SOCKET socket, bool forWriting) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (stopping_) return false;
        }
        fd_set set;
        FD_ZERO(&set);
        FD_SET(socket, &set);
        timeval pollInterval{0, 20 * 1000};
        const int ready = forWriting ? select(0, nullptr, &set, nullptr, &pollInterval)
                                     : select(0, &set, nullptr, nullptr, &pollInterval);
        if (ready < 0) return false;
        if (ready > 0) return true;
    }
}

bool LocalUpdateServer::sendAll(SOCKET socket, const char* data, size_t length) {
    while (length > 0) {
        if (!waitReady(socket, true)) return false;
        const int chunk = static_cast<int>(std::min(length, kSendChunk));
        const int sent = send(socket, data, chunk, 0);
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

void LocalUpdateServer::acceptLoop() {
    for (;;) {
        if (!waitReadable(listener_)) return;
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        std::lock_guard<std::mutex> lock(lock_);
        if (stopping_) {
            closesocket(client);
            return;
        }
        // The head and the body go out in separate sends; without this a small
        // body waits for the peer's delayed acknowledgement.
        BOOL noDelay = TRUE;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
        clients_.push_back(client);
        connectionThreads_.emplace_back([this, client] { serveConnection(client); });
    }
}

void LocalUpdateServer::serveConnection(SOCKET client) {
    std::string pending;
    for (;;) {
        HttpRequest request;
        if (!readRequest(client, pending, request)) break;
        if (!answer(client, request)) break;
    }
    std::lock_guard<std::mutex> lock(lock_);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
    closesocket(client);
}

bool LocalUpdateServer::readRequest(SOCKET client, std::string& pending, HttpRequest& request) {
    char buffer[16 * 1024];
    size_t headEnd;
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        if (pending.size() > kMaxHeaderBytes || !waitReadable(client)) return false;
        const int received = recv(client, buffer, sizeof(buffer), 0);
        if (received <= 0) return false;
        pending.append(buffer, static_cast<size_t>(received));
    }
    if (!parseRequestHead(pending.substr(0, headEnd), request)) return false;
    pending.erase(0, headEnd + 4);
    const size_t bodyLength = static_cast<size_t>(atoll(request.header("Content-Length").c_str()));
    while (pending.size() < bodyLength) {
        if (!waitReadable(client)) return false;
        const int received = recv(client, buffer, sizeof(buffer), 0);
        if (received <= 0) return false;
        pending.append(buffer, static_cast<size_t>(received));
    }
    request.body = pending.substr(0, bodyLength);
    pending.erase(0, bodyLength);
    return true;
}

bool LocalUpdateServer::findResponse(const HttpRequest& request, ScriptedResponse& response) {
    auto matches = [&](const Rule& rule) {
        return rule.method == request.method && request.target.compare(0, rule.prefix.size(), rule.prefix) == 0;
    };
    for (auto& rule : rules_) {
        if (rule.remaining > 0 && matches(rule)) {
            --rule.remaining;
            response = rule.response;
            return true;
        }
    }
    for (auto& rule : rules_) {
        if (rule.remaining < 0 && matches(rule)) {
            response = rule.response;
            return true;
        }
    }
    return false;
}

bool LocalUpdateServer::answer(SOCKET client, const HttpRequest& request) {
    ScriptedResponse response;
    bool known;
    {
        std::lock_guard<std::mutex> lock(lock_);
        requests_.push_back(request);
        known = findResponse(request, response);
        if (!known) unexpected_.push_back(request.method + " " + request.target);
    }
    if (!known) response = ScriptedResponse::error(404);
    if (response.hangUp) {
        {
            std::lock_guard<std::mutex> lock(lock_);
            ++answered_;
        }
        changed_.notify_all();
        return false;
    }

    const std::string& body = response.bodyText();
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonOf(response.status) + "\r\n";
    for (const auto& header : response.headers) head += header.first + ": " + header.second + "\r\n";
    if (response.sendContentLength) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (!response.sendContentLength) head += "Connection: close\r\n";
    head += "\r\n";

    const size_t bodyBytes = std::min(body.size(), response.truncateAfter);
    if (response.holdUntilRelease) waitForStallRelease();
    bool sent = sendAll(client, head.data(), head.size());
    if (sent && request.method != "HEAD") sent = sendAll(client, body.data(), bodyBytes);
    {
        std::lock_guard<std::mutex> lock(lock_);
        ++answered_;
    }
    changed_.notify_all();
    if (response.stall) waitForStallRelease();
    const bool keepOpen = sent && response.sendContentLength && bodyBytes == body.size() && !response.stall;
    return keepOpen;
}

void LocalUpdateServer::waitForStallRelease() {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [this] { return stallsReleased_ || stopping_; });
}

std::string sha256Hex(const std::string& bytes) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32] = {};
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return std::string();
    if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
        BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                       static_cast<ULONG>(bytes.size()), 0);
        BCryptFinishHash(hash, digest, sizeof(digest), 0);
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    std::string text;
    char hex[3];
    for (unsigned char byte : digest) {
        snprintf(hex, sizeof(hex), "%02x", byte);
        text += hex;
    }
    return text;
}

}  // namespace testutil
