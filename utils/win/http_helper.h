// The WinHTTP client: one object is bound to one server (host and port) and one
// user-agent text. It runs a synchronous GET (status and body) and a form POST
// with retries, and is the base of the asynchronous downloader. No operation
// throws: each returns a bool and errorText() tells why it failed.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "utils/win/scopedHandle.h"

inline void closeInternetHandle(HINTERNET handle) noexcept { ::WinHttpCloseHandle(handle); }
using UniqueInternetHandle = ScopedHandle<NullHandleTraits<HINTERNET, closeInternetHandle>>;

struct UrlParts {
    std::string host;
    uint16_t port = 80;
    // Begins with "/" when not empty and keeps the query text.
    std::string path;
    // The scheme asked for TLS ("https"); port 443 asks for it as well.
    bool secure = false;
};

// Splits "scheme://host:port/path?query"; the scheme and the port are optional.
UrlParts parseUrl(const std::string& url);
// Splits "host:port" at its first colon; without a colon the port is 0.
bool splitHostPort(const std::string& hostAndPort, std::string& host, uint16_t& port);

class http_helper {
public:
    static constexpr int kPostAttempts = 10;
    static constexpr std::chrono::milliseconds kPostRetryPause{3000};
    static constexpr DWORD kSecureProtocols = 0xA00;  // TLS 1.1 and TLS 1.2

    // `secure` asks for TLS whatever the port; port 443 always uses it.
    http_helper(const std::string& userAgent, const std::string& host, uint32_t port, bool async,
                const char* proxyHost, uint16_t proxyPort, bool secure = false);
    virtual ~http_helper();

    http_helper(const http_helper&) = delete;
    http_helper& operator=(const http_helper&) = delete;

    bool openRequest(const std::string& path, const wchar_t* verb);
    bool get(const char* targetUrl, const std::string& path, const char* headers, uint32_t& status,
             std::string& body);
    bool post(const std::string& path, const char* body, std::string& response);
    bool receiveResponse(int fd, std::string* body);
    bool setProxyForUrl(const std::string& targetUrl);
    // Cancels: closes the current request and refuses any later one. Safe from
    // another thread while get() or post() runs.
    void closeRequest();
    std::string errorText() const;

    static void CALLBACK statusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information,
                                        DWORD length);

    uint32_t statusCode() const { return statusCode_; }
    // A body read into memory that grows past this fails the request with
    // ERROR_FILE_TOO_LARGE as soon as it does, so no server can make the
    // caller hold an answer of any size.
    void setMaxBodyBytes(size_t limit) { maxBodyBytes_ = limit; }
    DWORD lastError() const { return lastError_; }
    bool usesTls() const { return secure_ || port_ == 443; }

    // The pause between POST attempts (3 s); tests shorten it, for one object
    // or for every object made afterwards (the logger makes its own).
    void setRetryPause(std::chrono::milliseconds pause) { retryPause_ = pause; }
    static void setDefaultRetryPause(std::chrono::milliseconds pause);
    // WinHTTP's own receive time-out (30 s) is what ends a stalled transfer
    // where closing the request does not; tests shorten it. For requests
    // opened afterwards.
    bool setReceiveTimeout(std::chrono::milliseconds timeout);

    // Variants only the service host carries (http_helper_host.cpp). Each runs
    // one request, without retries.
    // GET into a file that this call creates: nothing is sent when the file
    // already exists, and the file is removed again when the download fails.
    bool getToFile(const std::string& path, const std::string& fileName);
    // GET with extra headers; the raw response headers and statusCode(). True
    // when the status was read, whatever it is.
    bool getStatus(const std::string& path, const char* headers, std::wstring& rawHeaders);
    bool receiveStatus(std::wstring& rawHeaders);
    // GET (with extra headers); true on status 200 with the whole body.
    bool getResponse(const std::string& path, const char* headers, std::string& body);
    bool getToBuffer(const std::string& path, std::string& body);
    // POST with the caller's headers; both are logged at Debug.
    bool postLogged(const std::string& path, const char* headers, const std::string& body, std::string& response);
    // Form POSTs: the body written in pieces, the body in the send call, and
    // one that only stores the status (true when it was read, whatever it is).
    bool postWrite(const std::string& path, const std::string& body);
    bool postForm(const std::string& path, const std::string& body, std::string& response);
    bool postStatus(const std::string& path, const std::string& body);

protected:
    HINTERNET currentRequest();
    // Hands the current request handle over to the caller, who closes it.
    HINTERNET releaseRequest();
    bool cancelled();
    void setLastError(DWORD code) { lastError_ = code; }
    void setStatusCode(uint32_t status) { statusCode_ = status; }

private:
    bool sendOpened(const wchar_t* headers, const std::string& body, DWORD_PTR context);
    bool receiveStatusCode(HINTERNET request);
    bool sendWatchedGet(const std::string& path, const char* headers);
    bool sendPostAttempt(const std::string& path, const char* body, std::string& response);
    bool readBody(HINTERNET request, int fd, std::string* body);
    bool bodyComplete(HINTERNET request, unsigned long long received);
    bool waitBeforeRetry();

    uint32_t statusCode_ = 0;
    UniqueInternetHandle request_;
    uint32_t port_;
    std::string host_;
    DWORD lastError_ = 0;
    size_t maxBodyBytes_ = static_cast<size_t>(-1);
    std::string userAgent_;
    bool cancelled_ = false;
    bool secure_;
    std::chrono::milliseconds retryPause_;
    UniqueInternetHandle session_;
    UniqueInternetHandle connection_;
    std::mutex requestLock_;
    std::condition_variable cancelSignal_;
};
