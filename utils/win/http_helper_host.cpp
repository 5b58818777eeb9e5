#include "utils/win/http_helper_host.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <vector>

#include "utils/twlogger.h"
#include "utils/win/http_helper.h"
#include "utils/win/stringconv.h"

namespace {

constexpr const wchar_t* kFormContentType = L"Content-Type: application/x-www-form-urlencoded";
constexpr DWORD kWriteChunk = 64 * 1024;

const wchar_t* headersOrNone(const std::wstring& headers) {
    return headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str();
}

// A connection closed early can end the body without an error; an announced
// length tells a cut download from a whole one.
bool announcedLengthMatches(HINTERNET request, long long received) {
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return true;  // nothing announced
    }
    return _wcstoui64(text, nullptr, 10) == static_cast<unsigned long long>(received);
}

}  // namespace

// A GET with the caller's headers (ANSI code page), this object as the
// request context and secure-channel failures logged.
bool http_helper::sendWatchedGet(const std::string& path, const char* headers) {
    std::wstring wideHeaders;
    if (headers != nullptr) toWide(headers, wideHeaders);
    if (WinHttpSetStatusCallback(connection_.get(), &http_helper::statusCallback,
                                 WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        TWLOG(LOG_ERROR, "Failed to set secure protocil options error: " << GetLastError());
    }
    return openRequest(path, L"GET") &&
           sendOpened(headersOrNone(wideHeaders), std::string(), reinterpret_cast<DWORD_PTR>(this));
}

bool http_helper::sendOpened(const wchar_t* headers, const std::string& body, DWORD_PTR context) {
    const DWORD length = static_cast<DWORD>(body.size());
    void* data = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
    if (!WinHttpSendRequest(currentRequest(), headers, static_cast<DWORD>(-1), data, length, length, context)) {
        lastError_ = GetLastError();
        return false;
    }
    return true;
}

bool http_helper::getToFile(const std::string& path, const std::string& fileName) {
    int fd = -1;
    const errno_t opened = _sopen_s(&fd, fileName.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYNO,
                                    _S_IREAD | _S_IWRITE);
    if (opened != 0) {
        TWLOG(LOG_ERROR, "Failed to create file " << fileName << ", error=" << opened);
        return false;
    }
    bool downloaded = openRequest(path, L"GET") && sendOpened(WINHTTP_NO_ADDITIONAL_HEADERS, std::string(), 0) &&
                      receiveResponse(fd, nullptr);
    if (downloaded && !announcedLengthMatches(currentRequest(), _telli64(fd))) {
        lastError_ = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        TWLOG(LOG_ERROR, "Download of " << path << " ended before its announced length");
        downloaded = false;
    }
    if (_close(fd) != 0) downloaded = false;
    // The file is ours (created above); a partial one must not pass for the download.
    if (!downloaded) DeleteFileA(fileName.c_str());
    return downloaded;
}

bool http_helper::getStatus(const std::string& path, const char* headers, std::wstring& rawHeaders) {
    return sendWatchedGet(path, headers) && receiveStatus(rawHeaders);
}

// The status code (whatever it is) and the raw response headers.
bool http_helper::receiveStatus(std::wstring& rawHeaders) {
    // The handle is taken under the lock and used without it, so that
    // closeRequest() can still cancel a response that does not come.
    const HINTERNET request = currentRequest();
    if (request == nullptr || !receiveStatusCode(request)) return false;
    DWORD size = 0;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                             WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        lastError_ = GetLastError();
        TWLOG(LOG_DEBUG, "WinHttpQueryHeaders() failed: " << lastError_);
        return false;
    }
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(),
                             &size, WINHTTP_NO_HEADER_INDEX)) {
        lastError_ = GetLastError();
        TWLOG(LOG_DEBUG, "WinHttpQueryHeaders() failed: " << lastError_);
        return false;
    }
    rawHeaders.assign(buffer.data(), size / sizeof(wchar_t));
    if (statusCode_ != 200) TWLOG(LOG_INFO, "HTTP status code=" << statusCode_);
    return true;
}

bool http_helper::getResponse(const std::string& path, const char* headers, std::string& body) {
    return sendWatchedGet(path, headers) && receiveResponse(-1, &body);
}

bool http_helper::getToBuffer(const std::string& path, std::string& body) {
    return openRequest(path, L"GET") && sendOpened(WINHTTP_NO_ADDITIONAL_HEADERS, std::string(), 0) &&
           receiveResponse(-1, &body);
}

bool http_helper::postLogged(const std::string& path, const char* headers, const std::string& body,
                             std::string& response) {
    std::wstring wideHeaders;
    if (headers != nullptr) toWide(headers, wideHeaders);
    TWLOG(LOG_DEBUG, "Post header: " << (headers ? headers : ""));
    TWLOG(LOG_DEBUG, "Post body: " << body);
    if (!openRequest(path, L"POST")) {
        TWLOG(LOG_ERROR, "set_up_request() failed: " << lastError_);
        return false;
    }
    return sendOpened(headersOrNone(wideHeaders), body, 0) && receiveResponse(-1, &response);
}

bool http_helper::postWrite(const std::string& path, const std::string& body) {
    if (!openRequest(path, L"POST")) return false;
    const HINTERNET request = currentRequest();
    const DWORD total = static_cast<DWORD>(body.size());
    if (!WinHttpSendRequest(request, kFormContentType, static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, total,
                            0)) {
        lastError_ = GetLastError();
        return false;
    }
    DWORD sent = 0;
    while (sent < total) {
        const DWORD piece = total - sent < kWriteChunk ? total - sent : kWriteChunk;
        DWORD written = 0;
        if (!WinHttpWriteData(request, body.data() + sent, piece, &written)) {
            lastError_ = GetLastError();
            TWLOG(LOG_DEBUG, "WinHttpWriteData() failed: " << lastError_);
            return false;
        }
        // A write that takes nothing would otherwise repeat for ever.
        if (written == 0) {
            lastError_ = ERROR_WRITE_FAULT;
            return false;
        }
        sent += written;
    }
    std::string response;
    return receiveResponse(-1, &response);
}

bool http_helper::postForm(const std::string& path, const std::string& body, std::string& response) {
    return openRequest(path, L"POST") && sendOpened(kFormContentType, body, 0) && receiveResponse(-1, &response);
}

bool http_helper::postStatus(const std::string& path, const std::string& body) {
    if (!openRequest(path, L"POST") || !sendOpened(kFormContentType, body, 0)) return false;
    const HINTERNET request = currentRequest();
    return request != nullptr && receiveStatusCode(request);
}

bool getIEProxy(std::wstring& proxy) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return false;
    const bool found = config.lpszProxy != nullptr && config.lpszProxy[0] != L'\0';
    if (found) proxy = config.lpszProxy;
    if (config.lpszProxy) GlobalFree(config.lpszProxy);
    if (config.lpszProxyBypass) GlobalFree(config.lpszProxyBypass);
    if (config.lpszAutoConfigUrl) GlobalFree(config.lpszAutoConfigUrl);
    return found;
}
