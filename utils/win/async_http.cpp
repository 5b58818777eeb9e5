#include "utils/win/async_http.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "utils/twlogger.h"
#include "utils/win/moduleReference.h"
#include "utils/win/stringconv.h"

namespace {

constexpr const wchar_t* kContentDisposition = L"Content-Disposition";
constexpr DWORD kOutOfMemory = ERROR_NOT_ENOUGH_MEMORY;
constexpr DWORD kCallbackFlags = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES;

// The callbacks the current thread is inside, innermost first: WinHTTP may
// nest one callback in a call made from another, and the owner may destroy
// the download from inside its own terminal callback.
class InsideCallback {
public:
    explicit InsideCallback(const void* state) : state_(state), outer_(innermost_) { innermost_ = this; }
    ~InsideCallback() { innermost_ = outer_; }
    InsideCallback(const InsideCallback&) = delete;
    InsideCallback& operator=(const InsideCallback&) = delete;

    static int depthFor(const void* state) {
        int depth = 0;
        for (const InsideCallback* mark = innermost_; mark != nullptr; mark = mark->outer_) {
            if (mark->state_ == state) ++depth;
        }
        return depth;
    }

private:
    const void* state_;
    InsideCallback* outer_;
    static thread_local InsideCallback* innermost_;
};

thread_local InsideCallback* InsideCallback::innermost_ = nullptr;

bool isReservedDeviceName(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    static const char* const devices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (const char* device : devices) {
        if (stem == device) return true;
    }
    const bool numbered = stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
                          stem[3] >= '0' && stem[3] <= '9';
    return numbered;
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

bool isBareFileName(const std::string& name) {
    if (name.empty() || name == "." || name.find("..") != std::string::npos) return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return false;
        if (std::string("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string::npos) return false;
    }
    return !isReservedDeviceName(lowerCase(name));
}

// What WinHTTP's context points to. The owner and WinHTTP each hold a
// reference (WinHTTP's ends with the request's closing notice), and so does
// every callback while it runs; the last one out frees it.
struct async_http::CallbackState {
    explicit CallbackState(async_http* owner) : owner(owner) {}

    // Keeps the library that holds the callback loaded from the start of the
    // download until WinHTTP's closing notice, however long the notice takes
    // and whoever unloads the library meanwhile.
    ModuleReference callbackCode;

    std::mutex lock;
    std::condition_variable changed;
    // Null once the owner has detached.
    async_http* owner;
    // Callbacks inside the owner now.
    int running = 0;
    std::atomic<long> references{1};
    // WinHTTP may write into the chunk being read until it closes the request.
    std::vector<char> readBuffer;

    void addReference() { references.fetch_add(1); }
    void release() {
        if (references.fetch_sub(1) == 1) delete this;
    }

    // The owner to call, or null when it has detached.
    async_http* enter() {
        std::lock_guard<std::mutex> guard(lock);
        if (owner == nullptr) return nullptr;
        ++running;
        addReference();
        return owner;
    }
    void leave() {
        {
            std::lock_guard<std::mutex> guard(lock);
            --running;
        }
        changed.notify_all();
        release();
    }
    // No callback reaches the owner after this; one running on another thread
    // is waited for, one the calling thread is inside is not.
    void detach() {
        const int own = InsideCallback::depthFor(this);
        std::unique_lock<std::mutex> guard(lock);
        owner = nullptr;
        changed.wait(guard, [&] { return running <= own; });
    }
};

async_http::async_http(const std::string& userAgent, const std::string& host, uint32_t port,
                       IAsyncCallbacks* callbacks, const char* proxyHost, uint16_t proxyPort, bool secure)
    : http_helper(userAgent, host, port, true, proxyHost, proxyPort, secure),
      callbacks_(callbacks),
      state_(new CallbackState(this)) {}

// WinHTTP's closing notice may come long after this (under Wine only at the
// receive time-out): it finds the callback state and the library still there.
async_http::~async_http() {
    state_->detach();
    const HINTERNET request = releaseRequest();
    if (request != nullptr) WinHttpCloseHandle(request);
    state_->release();
}

bool async_http::startGet(const std::string& path, bool headersWanted) {
    // One download per object: a second request would share the first one's
    // end-of-life bookkeeping.
    if (callbackInstalled_) {
        setLastError(ERROR_INVALID_OPERATION);
        return false;
    }
    if (!openRequest(path, L"GET")) return false;
    const HINTERNET request = currentRequest();
    // The context is set before the callback, so even the closing notice of a
    // request that was never sent finds the callback state.
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(state_);
    if (!WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context))) {
        setLastError(GetLastError());
        return false;
    }
    // WinHTTP's references, given back at the closing notice.
    state_->addReference();
    state_->callbackCode = ModuleReference::toThisModule();
    if (WinHttpSetStatusCallback(request, &async_http::asyncStatusCallback, kCallbackFlags, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK) {
        setLastError(GetLastError());
        ModuleReference unused(std::move(state_->callbackCode));
        state_->release();
        return false;
    }
    callbackInstalled_ = true;
    headersWanted_ = headersWanted;
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA,
                            0, 0, context)) {
        setLastError(GetLastError());
        return false;
    }
    return true;
}

void CALLBACK async_http::asyncStatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information,
                                              DWORD length) {
    if (context == 0) return;
    CallbackState* state = reinterpret_cast<CallbackState*>(context);
    // The last callback WinHTTP makes for the request. The library's
    // reference is dropped last, on a thread of its own.
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        ModuleReference callbackCode(std::move(state->callbackCode));
        state->release();
        return;
    }
    InsideCallback inside(state);
    async_http* owner = state->enter();
    if (owner == nullptr) return;
    owner->onStatus(handle, status, information, length);
    state->leave();
}

// Each branch ends by starting the next WinHTTP call, whose callback may already
// run on another thread (or nested inside the call) by the time it returns: after
// a call that was accepted, nothing here touches the object again.
void async_http::onStatus(HINTERNET request, DWORD status, LPVOID information, DWORD length) {
    if (finished_) return;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
            TWLOG(LOG_DBLDEBUG, "WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE");
            if (!WinHttpReceiveResponse(request, nullptr)) fail(GetLastError());
            return;
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
            TWLOG(LOG_DBLDEBUG, "WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE");
            const DWORD error = onHeaders(request);
            if (error != 0) fail(error);
            return;
        }
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: {
            TWLOG(LOG_DBLDEBUG, "WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE");
            const DWORD available = information ? *static_cast<DWORD*>(information) : 0;
            if (available == 0) {
                complete();
                return;
            }
            const DWORD error = startRead(request, available);
            if (error != 0) fail(error);
            return;
        }
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            TWLOG(LOG_DBLDEBUG, "WINHTTP_CALLBACK_STATUS_READ_COMPLETE");
            onReadComplete(request, length);
            return;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
            const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(information);
            const DWORD error = result ? result->dwError : static_cast<DWORD>(ERROR_WINHTTP_INTERNAL_ERROR);
            TWLOG(LOG_ERROR, "WINHTTP_CALLBACK_STATUS_REQUEST_ERROR, http_error=" << error);
            fail(error);
            return;
        }
        default:
            TWLOG(LOG_INFO, "Unknown dwInternetStatus: " << status);
            return;
    }
}

DWORD async_http::startRead(HINTERNET request, DWORD available) {
    std::vector<char>& buffer = state_->readBuffer;
    try {
        if (buffer.size() < available) buffer.resize(available);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    if (!WinHttpReadData(request, buffer.data(), available, nullptr)) return GetLastError();
    return 0;
}

// The count WinHTTP reports is what was read, which can be less than was asked for.
void async_http::onReadComplete(HINTERNET request, DWORD bytesRead) {
    if (bytesRead == 0) {
        complete();
        return;
    }
    callbacks_->downloadData(state_->readBuffer.data(), bytesRead);
    if (!WinHttpQueryDataAvailable(request, nullptr)) fail(GetLastError());
}

DWORD async_http::onHeaders(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return GetLastError();
    }
    setStatusCode(status);
    if (status != 200) {
        TWLOG(LOG_ERROR, "status_code is not 200: " << status);
        return status;
    }
    if (headersWanted_) {
        DWORD error = readContentLength(request);
        if (error != 0) return error;
        error = fileNameFromHeaders(request);
        if (error != 0) return error;
        TWLOG(LOG_DEBUG, "File name: " << fileName_);
        callbacks_->downloadStart(contentLength_, fileName_);
    }
    if (!WinHttpQueryDataAvailable(request, nullptr)) return GetLastError();
    return 0;
}

DWORD async_http::readContentLength(HINTERNET request) {
    DWORD size = 0;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                            &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_WINHTTP_HEADER_NOT_FOUND) {
        contentLength_ = kAssumedContentLength;
        return 0;
    }
    if (error != ERROR_INSUFFICIENT_BUFFER) return error;

    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, &value[0], &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return GetLastError();
    }
    contentLengthSent_ = true;
    errno = 0;
    const unsigned long long length = wcstoull(value.c_str(), nullptr, 10);
    if (errno == 0 && length >= 1 && length <= 0xFFFFFFFFull) {
        contentLength_ = static_cast<uint32_t>(length);
        TWLOG(LOG_DEBUG, "File size: " << contentLength_);
    }
    return 0;
}

// Only the Content-Disposition header names the file, and only a bare name is
// taken: the downloader writes it into the install folder as SYSTEM.
DWORD async_http::fileNameFromHeaders(HINTERNET request) {
    // Asked for by name: not every WinHTTP knows the header's query index.
    DWORD size = 0;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, kContentDisposition, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    DWORD error = GetLastError();
    std::string header;
    if (error == ERROR_INSUFFICIENT_BUFFER) {
        std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
        if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, kContentDisposition, &value[0], &size,
                                WINHTTP_NO_HEADER_INDEX)) {
            value.resize(size / sizeof(wchar_t));
            toUtf8(value, header);
        }
    } else if (error != ERROR_WINHTTP_HEADER_NOT_FOUND) {
        return error;
    }
    header = lowerCase(header);
    const size_t key = header.find("filename=");
    const size_t open = key == std::string::npos ? std::string::npos : header.find('"', key);
    const size_t close = open == std::string::npos ? std::string::npos : header.find('"', open + 1);
    if (close != std::string::npos) fileName_ = header.substr(open + 1, close - open - 1);

    if (!fileName_.empty() && !isBareFileName(fileName_)) {
        TWLOG(LOG_ERROR, "Unsafe file name in response header: " << fileName_);
        fileName_.clear();
    }
    if (!fileName_.empty()) return 0;
    TWLOG(LOG_ERROR, "Failed to get file name from response header.");
    return ERROR_WINHTTP_HEADER_NOT_FOUND;
}

void async_http::complete() {
    if (finished_.exchange(true)) return;
    callbacks_->downloadComplete();
}

void async_http::fail(DWORD code) {
    if (finished_.exchange(true)) return;
    setLastError(code);
    const std::string text = errorText();
    callbacks_->downloadFailure(text);
}
