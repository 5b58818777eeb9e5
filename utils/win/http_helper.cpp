#include "utils/win/http_helper.h"

#include <io.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "utils/win/winError.h"
#include "utils/twlogger.h"
#include "utils/win/stringconv.h"

namespace {

constexpr DWORD kWinHttpErrorFirst = 12000;
constexpr DWORD kWinHttpErrorLast = 12175;
constexpr const wchar_t* kFormContentType = L"Content-Type: application/x-www-form-urlencoded";

std::atomic<long long> g_defaultRetryPauseMs{http_helper::kPostRetryPause.count()};

std::wstring wide(const std::string& text) {
    std::wstring result;
    toWide(text, result);
    return result;
}

}  // namespace

bool splitHostPort(const std::string& hostAndPort, std::string& host, uint16_t& port) {
    const size_t colon = hostAndPort.find(':');
    if (colon == std::string::npos) {
        host = hostAndPort;
        port = 0;
        return true;
    }
    host = hostAndPort.substr(0, colon);
    port = static_cast<uint16_t>(atoi(hostAndPort.c_str() + colon + 1));
    return true;
}

UrlParts parseUrl(const std::string& url) {
    UrlParts parts;
    const size_t schemeEnd = url.find("://");
    const bool hasScheme = schemeEnd != std::string::npos;
    const size_t hostStart = hasScheme ? schemeEnd + 3 : 0;
    const bool https = hasScheme && iequals(url.substr(0, schemeEnd), "https");
    parts.secure = https;

    const size_t slash = url.find('/', hostStart);
    if (!hasScheme && slash == 0) {
        parts.path = url;
        return parts;
    }
    const size_t hostEnd = slash == std::string::npos ? url.size() : slash;
    splitHostPort(url.substr(hostStart, hostEnd - hostStart), parts.host, parts.port);
    if (parts.port == 0) parts.port = https ? 443 : 80;
    if (slash != std::string::npos) parts.path = url.substr(slash);
    return parts;
}

http_helper::http_helper(const std::string& userAgent, const std::string& host, uint32_t port, bool async,
                         const char* proxyHost, uint16_t proxyPort, bool secure)
    : port_(port),
      host_(host),
      userAgent_(userAgent),
      secure_(secure),
      retryPause_(std::chrono::milliseconds(g_defaultRetryPauseMs.load())) {
    const DWORD accessType = proxyPort == 0 ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    session_.reset(WinHttpOpen(wide(userAgent).c_str(), accessType, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                               async ? WINHTTP_FLAG_ASYNC : 0));
    if (!session_) return;

    DWORD protocols = kSecureProtocols;
    if (!WinHttpSetOption(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
        TWLOG(LOG_ERROR, "Failed to set secure protocil options error: " << GetLastError());
    }
    if (proxyPort != 0 && proxyHost != nullptr) {
        const std::string proxyText = std::string(proxyHost) + ":" + std::to_string(proxyPort);
        TWLOG(LOG_DEBUG, "Proxy server setting: " << proxyText);
        std::wstring proxyWide = wide(proxyText);
        WINHTTP_PROXY_INFO proxy{};
        proxy.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        proxy.lpszProxy = &proxyWide[0];
        if (!WinHttpSetOption(session_.get(), WINHTTP_OPTION_PROXY, &proxy, sizeof(proxy))) {
            TWLOG(LOG_ERROR, "Failed to set proxy: " << proxyText << " error:" << GetLastError());
        }
    }
    connection_.reset(WinHttpConnect(session_.get(), wide(host).c_str(), static_cast<INTERNET_PORT>(port), 0));
}

void http_helper::setDefaultRetryPause(std::chrono::milliseconds pause) { g_defaultRetryPauseMs.store(pause.count()); }

http_helper::~http_helper() {
    request_.reset();
    connection_.reset();
    session_.reset();
}

bool http_helper::openRequest(const std::string& path, const wchar_t* verb) {
    const std::wstring widePath = wide(path);
    std::lock_guard<std::mutex> lock(requestLock_);
    request_.reset();
    if (cancelled_) {
        // A cancel that came before the request must still stop it.
        lastError_ = ERROR_WINHTTP_OPERATION_CANCELLED;
        return false;
    }
    request_.reset(WinHttpOpenRequest(connection_.get(), verb, widePath.c_str(), nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES, usesTls() ? WINHTTP_FLAG_SECURE : 0));
    if (!request_) lastError_ = GetLastError();
    return request_.valid();
}

HINTERNET http_helper::currentRequest() {
    std::lock_guard<std::mutex> lock(requestLock_);
    return request_.get();
}

bool http_helper::setReceiveTimeout(std::chrono::milliseconds timeout) {
    DWORD milliseconds = static_cast<DWORD>(timeout.count());
    return WinHttpSetOption(session_.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &milliseconds, sizeof(milliseconds)) !=
           FALSE;
}

HINTERNET http_helper::releaseRequest() {
    std::lock_guard<std::mutex> lock(requestLock_);
    return request_.release();
}

bool http_helper::cancelled() {
    std::lock_guard<std::mutex> lock(requestLock_);
    return cancelled_;
}

bool http_helper::get(const char* targetUrl, const std::string& path, const char* headers, uint32_t& status,
                      std::string& body) {
    const std::wstring wideHeaders = headers ? wide(headers) : std::wstring();
    if (WinHttpSetStatusCallback(connection_.get(), &http_helper::statusCallback,
                                 WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        TWLOG(LOG_ERROR, "Failed to set secure protocil options error: " << GetLastError());
    }
    if (!openRequest(path, L"GET")) return false;
    if (targetUrl != nullptr && !setProxyForUrl(targetUrl)) return false;

    const HINTERNET request = currentRequest();
    if (!WinHttpSendRequest(request, wideHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wideHeaders.c_str(),
                            static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0,
                            reinterpret_cast<DWORD_PTR>(this))) {
        lastError_ = GetLastError();
        return false;
    }
    const bool received = receiveResponse(-1, &body);
    status = statusCode_;
    return received;
}

bool http_helper::post(const std::string& path, const char* body, std::string& response) {
    for (int attempt = 1;; ++attempt) {
        if (cancelled()) return false;
        if (sendPostAttempt(path, body, response)) return true;
        // No pause after the last attempt: nothing follows it.
        if (attempt == kPostAttempts || !waitBeforeRetry()) return false;
    }
}

bool http_helper::sendPostAttempt(const std::string& path, const char* body, std::string& response) {
    if (!openRequest(path, L"POST")) return false;
    const DWORD length = body ? static_cast<DWORD>(strlen(body)) : 0;
    if (!WinHttpSendRequest(currentRequest(), kFormContentType, static_cast<DWORD>(-1),
                            const_cast<char*>(body ? body : ""), length, length, 0)) {
        lastError_ = GetLastError();
        return false;
    }
    return receiveResponse(-1, &response);
}

// The pause after a failed attempt; a cancel ends it early. False when cancelled.
bool http_helper::waitBeforeRetry() {
    std::unique_lock<std::mutex> lock(requestLock_);
    return !cancelSignal_.wait_for(lock, retryPause_, [this] { return cancelled_; });
}

bool http_helper::receiveResponse(int fd, std::string* body) {
    if (fd == -1 && body == nullptr) return false;
    const HINTERNET request = currentRequest();
    if (request == nullptr) return false;

    if (!receiveStatusCode(request)) return false;
    if (statusCode_ != 200) return false;
    return readBody(request, fd, body);
}

// Waits for the response and stores its status code, whatever it is.
bool http_helper::receiveStatusCode(HINTERNET request) {
    if (!WinHttpReceiveResponse(request, nullptr)) {
        lastError_ = GetLastError();
        TWLOG(LOG_DEBUG, "WinHttpReceiveResponse() failed: " << lastError_);
        return false;
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        lastError_ = GetLastError();
        TWLOG(LOG_DEBUG, "WinHttpQueryHeaders() failed: " << lastError_);
        return false;
    }
    statusCode_ = status;
    return true;
}

// The Content-Length the server announced, when it sent one.
static bool announcedLength(HINTERNET request, unsigned long long& length) {
    wchar_t text[32];
    DWORD size = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    wchar_t* end = nullptr;
    length = wcstoull(text, &end, 10);
    return end != text;
}

// A connection that closes before the announced length ends like a complete
// body; only the count tells them apart.
bool http_helper::bodyComplete(HINTERNET request, unsigned long long received) {
    unsigned long long expected = 0;
    if (!announcedLength(request, expected) || expected == received) return true;
    lastError_ = static_cast<DWORD>(ERROR_HANDLE_EOF);
    TWLOG(LOG_ERROR, "Response body ended after " << received << " of " << expected << " bytes.");
    return false;
}

bool http_helper::readBody(HINTERNET request, int fd, std::string* body) {
    std::vector<char> buffer;
    unsigned long long received = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            lastError_ = GetLastError();
            TWLOG(LOG_DEBUG, "WinHttpQueryDataAvailable() failed: " << lastError_);
            return false;
        }
        if (available == 0) return bodyComplete(request, received);
        buffer.assign(static_cast<size_t>(available) + 1, '\0');
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.data(), available, &read)) {
            lastError_ = GetLastError();
            TWLOG(LOG_DEBUG, "WinHttpReadData() failed: " << lastError_ << " dwSize=" << available);
            return false;
        }
        if (read == 0) return bodyComplete(request, received);
        received += read;
        if (fd != -1) {
            if (_write(fd, buffer.data(), read) != static_cast<int>(read)) {
                lastError_ = static_cast<DWORD>(ERROR_WRITE_FAULT);
                return false;
            }
        } else if (body != nullptr) {
            const size_t length = strnlen(buffer.data(), read);
            if (length > maxBodyBytes_ - body->size()) {
                lastError_ = static_cast<DWORD>(ERROR_FILE_TOO_LARGE);
                return false;
            }
            body->append(buffer.data(), length);
        }
    }
}

bool http_helper::setProxyForUrl(const std::string& targetUrl) {
    const std::wstring wideTarget = wide(targetUrl);
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ieConfig{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&ieConfig)) return false;
    if (ieConfig.lpszProxy) GlobalFree(ieConfig.lpszProxy);
    if (ieConfig.lpszProxyBypass) GlobalFree(ieConfig.lpszProxyBypass);
    if (ieConfig.lpszAutoConfigUrl == nullptr) return false;

    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = ieConfig.lpszAutoConfigUrl;
    options.fAutoLogonIfChallenged = FALSE;
    WINHTTP_PROXY_INFO proxyInfo{};
    const BOOL found = WinHttpGetProxyForUrl(session_.get(), wideTarget.c_str(), &options, &proxyInfo);
    const DWORD lookupError = found ? 0 : GetLastError();
    GlobalFree(ieConfig.lpszAutoConfigUrl);
    if (!found) {
        lastError_ = lookupError;
        TWLOG(LOG_ERROR, "WinHttpGetProxyForUrl() failed: http_error=" << lookupError << " target url=" << targetUrl);
        return false;
    }
    const BOOL set = WinHttpSetOption(currentRequest(), WINHTTP_OPTION_PROXY, &proxyInfo, sizeof(proxyInfo));
    const DWORD setError = set ? 0 : GetLastError();
    if (proxyInfo.lpszProxy) GlobalFree(proxyInfo.lpszProxy);
    if (proxyInfo.lpszProxyBypass) GlobalFree(proxyInfo.lpszProxyBypass);
    if (!set) {
        lastError_ = setError;
        TWLOG(LOG_ERROR, "WinHttpSetOption() failed: " << setError);
        return false;
    }
    TWLOG(LOG_DEBUG, "WinHttpSetOption() successfully target_url=" << targetUrl);
    return true;
}

void http_helper::closeRequest() {
    {
        std::lock_guard<std::mutex> lock(requestLock_);
        cancelled_ = true;
        request_.reset();
    }
    cancelSignal_.notify_all();
}

std::string http_helper::errorText() const {
    const long signedError = static_cast<long>(lastError_);
    if (signedError < 1) {
        if (statusCode_ > 0) return "HTTP returned code:" + std::to_string(statusCode_);
        return "Unknow error.";
    }
    if (lastError_ >= kWinHttpErrorFirst && lastError_ <= kWinHttpErrorLast) {
        std::string text;
        toUtf8(winError::forWinHttp(lastError_).text(), text);
        return text;
    }
    return "Unknown http error: " + std::to_string(lastError_);
}

void CALLBACK http_helper::statusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information,
                                          DWORD length) {
    if (context == 0) return;
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE) {
        DWORD flags = 0;
        if (information != nullptr && length >= sizeof(DWORD)) flags = *static_cast<DWORD*>(information);
        if (flags != 0) TWLOG(LOG_ERROR, "SSL secure failure, reason:" << flags);
        return;
    }
    TWLOG(LOG_INFO, "dwInternetStatus: " << status);
}
