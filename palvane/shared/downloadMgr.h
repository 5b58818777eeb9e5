// Fetches one cabinet from the update server into the install folder and
// checks its SHA-256 digest. do_get() turns the asynchronous download into one
// blocking call for a task-pool thread. The body is written to the file's
// name with ".part" appended and renamed to the file's own name only once its
// digest matched and it is on the disk: a file under the name is always a
// whole, checked download, and one cut short or refused leaves nothing. Only
// administrators can change either file.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "utils/win/async_http.h"
#include "utils/win/scopedHandle.h"

namespace PALVANE_SERVICE {

class downloadMgr : public IAsyncCallbacks {
public:
    // `folder` ends with its separator. With `delete_installer_file` the
    // downloaded file is removed when the object goes.
    downloadMgr(const std::string& folder, bool delete_installer_file);
    ~downloadMgr() override;

    downloadMgr(const downloadMgr&) = delete;
    downloadMgr& operator=(const downloadMgr&) = delete;

    // Downloads `url` and checks it against `expectedHash` (lower-case hex; an
    // empty one accepts any complete download). Returns only after the download
    // has ended and WinHTTP has let go of it.
    bool do_get(const std::string& url, const std::string& expectedHash);

    // Ends the download: a do_get running now, or called later, returns false
    // promptly. Thread-safe; called while another thread is in do_get.
    void cancel();

    // Full path of the downloaded file; empty until the server named it.
    const std::string& installer_file() const { return installerFile_; }
    static constexpr const char* kPartSuffix = ".part";

    void downloadStart(uint32_t size, const std::string& fileName) override;
    void downloadComplete() override;
    void downloadFailure(const std::string& message) override;
    void downloadData(const char* data, uint32_t length) override;

    bool verify_checksum();
    // The digest of a file as 64 lower-case hex digits; empty when it cannot be read.
    static std::string compute_file_hash(const std::string& path);

private:
    bool flushPart();
    bool closePart();
    bool finishFile();
    bool writePending();
    bool promote();
    void removePart();
    bool lengthMatches() const;
    void signalDone(bool succeeded);

    bool success_ = false;
    bool done_ = true;
    bool cancelled_ = false;
    std::mutex lock_;
    std::condition_variable doneSignal_;
    std::string installerFile_;
    std::string partFile_;
    bool promoted_ = false;
    std::string folder_;
    std::string requestPath_;
    std::unique_ptr<async_http> client_;
    uint32_t downloaded_ = 0;
    uint32_t fileSize_ = 0;
    bool fileSizeSent_ = false;
    bool fileFailed_ = false;
    UniqueHandle file_;
    // Chunks arrive in a few kilobytes each; they reach the disk in larger writes.
    std::vector<char> pending_;
    std::string download_url_;
    std::string expectedHash_;
    bool delete_installer_file_;
};

}  // namespace PALVANE_SERVICE
