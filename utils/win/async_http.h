// One GET on an asynchronous WinHTTP session, reported to IAsyncCallbacks from
// WinHTTP's own threads: the start of the body (length and file name), each
// chunk, then exactly one of completion or failure.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "utils/win/http_helper.h"

class IAsyncCallbacks {
public:
    virtual ~IAsyncCallbacks() = default;
    // The headers of a 200 answer were read (only when headers were wanted).
    virtual void downloadStart(uint32_t contentLength, const std::string& fileName) = 0;
    // The whole body was delivered. Nothing touches the download after this returns.
    virtual void downloadComplete() = 0;
    // The download failed. Nothing touches the download after this returns.
    virtual void downloadFailure(const std::string& message) = 0;
    // One chunk; the bytes are valid only during the call.
    virtual void downloadData(const char* data, uint32_t length) = 0;
};

// A name that can only mean a file directly in the target folder: no folder
// part, no "..", no drive or stream colon, no control or wildcard characters,
// no device name.
bool isBareFileName(const std::string& name);

class async_http : public http_helper {
public:
    // Reported when the server sent no Content-Length.
    static constexpr uint32_t kAssumedContentLength = 0x5A1000;

    async_http(const std::string& userAgent, const std::string& host, uint32_t port, IAsyncCallbacks* callbacks,
               const char* proxyHost, uint16_t proxyPort, bool secure = false);
    // Cancels a download under way. No callback reaches the owner once this
    // returns (one that is running is waited for), so the owner may free the
    // object right after completion or failure, or at any other time. WinHTTP
    // may deliver its closing notice later: it finds only the download's
    // callback state, which outlives the object until then, and the library,
    // which the download keeps loaded until then.
    ~async_http() override;

    bool startGet(const std::string& path, bool headersWanted);
    // Closes the request from any thread, so that WinHTTP abandons the
    // transfer; a later startGet is refused. A failure may still be reported
    // for the abandoned download (or its completion, when it had just ended);
    // the owner destroys the object as usual.
    void cancel() { closeRequest(); }

    // Whether the answer carried a Content-Length header (valid from downloadStart on).
    bool contentLengthSent() const { return contentLengthSent_; }

    static void CALLBACK asyncStatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information,
                                             DWORD length);

    struct CallbackState;

private:
    void onStatus(HINTERNET request, DWORD status, LPVOID information, DWORD length);
    DWORD onHeaders(HINTERNET request);
    DWORD readContentLength(HINTERNET request);
    DWORD fileNameFromHeaders(HINTERNET request);
    DWORD startRead(HINTERNET request, DWORD available);
    void onReadComplete(HINTERNET request, DWORD bytesRead);
    void complete();
    void fail(DWORD code);

    uint32_t contentLength_ = 0;
    bool contentLengthSent_ = false;
    bool headersWanted_ = false;
    std::string fileName_;
    IAsyncCallbacks* callbacks_;

    // Set once a terminal callback was made; after that no callback reaches
    // the owner.
    std::atomic<bool> finished_{false};
    bool callbackInstalled_ = false;
    // WinHTTP's context: shared by this object and WinHTTP, freed by whichever
    // lets go last (WinHTTP at its closing notice).
    CallbackState* state_;
};
