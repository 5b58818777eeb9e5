#include "palvane/shared/downloadMgr.h"

#include <windows.h>

#include <vector>

#include "palvane/shared/heldFile.h"
#include "utils/twlogger.h"
#include "utils/win/adminOnlySecurity.h"
#include "utils/win/fileGate.h"
#include "utils/win/fileTree.h"
#include "utils/win/stringconv.h"
#include "utils/win/winError.h"

namespace PALVANE_SERVICE {

namespace {

constexpr size_t kWriteSize = 1024 * 1024;

std::string systemText(DWORD code) {
    std::string text;
    toUtf8(winError(code).text(), text);
    return text;
}

std::wstring wide(const std::string& text) {
    std::wstring result;
    toWide(text, result);
    return result;
}

}  // namespace

downloadMgr::downloadMgr(const std::string& folder, bool delete_installer_file)
    : folder_(folder), delete_installer_file_(delete_installer_file) {}

downloadMgr::~downloadMgr() {
    TWLOG(LOG_DEBUG, "downloadMgr::~downloadMgr()");
    // First the client: its destruction waits for WinHTTP's last callback, which
    // may still be on its way into this object.
    client_.reset();
    finishFile();
    removePart();
    if (delete_installer_file_ && promoted_) fileTree::removeTree(wide(installerFile_));
}

// A body that was not promoted is never used.
void downloadMgr::removePart() {
    if (!partFile_.empty() && !promoted_) fileTree::removeTree(wide(partFile_));
}

bool downloadMgr::do_get(const std::string& url, const std::string& expectedHash) {
    download_url_ = url;
    expectedHash_ = expectedHash;
    TWLOG(LOG_DEBUG, " download_url=" << url << " md5Hash=" << expectedHash);
    const UrlParts parts = parseUrl(url);
    requestPath_ = parts.path;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (cancelled_) return false;
        done_ = false;
        success_ = false;
    }
    downloaded_ = 0;
    fileSize_ = 0;
    fileSizeSent_ = false;
    fileFailed_ = false;
    promoted_ = false;

    client_.reset();
    client_ = std::make_unique<async_http>("downloadMgr", parts.host, parts.port, this, "", 0, parts.secure);
    if (!client_->startGet(requestPath_, true)) {
        TWLOG(LOG_ERROR, "do_get() failed: " << client_->errorText());
        client_.reset();
        return false;
    }
    bool succeeded;
    {
        std::unique_lock<std::mutex> lock(lock_);
        doneSignal_.wait(lock, [this] { return done_ || cancelled_; });
        done_ = false;
        succeeded = success_ && !cancelled_;
    }
    // Closes the request; a body still trickling in ends here.
    client_.reset();
    return succeeded;
}

void downloadMgr::cancel() {
    std::lock_guard<std::mutex> lock(lock_);
    if (!cancelled_) TWLOG(LOG_WARN, "The download is cancelled.");
    cancelled_ = true;
    doneSignal_.notify_all();
}

void downloadMgr::downloadStart(uint32_t size, const std::string& fileName) {
    fileSize_ = size;
    fileSizeSent_ = client_ && client_->contentLengthSent();
    downloaded_ = 0;
    if (!isBareFileName(fileName)) {
        // The client accepts only bare names; this is the last line before the disk.
        TWLOG(LOG_ERROR, "Unsafe installer file name: " << fileName);
        fileFailed_ = true;
        return;
    }
    removePart();
    installerFile_ = folder_ + fileName;
    partFile_ = installerFile_ + kPartSuffix;
    TWLOG(LOG_DEBUG, "Installer file:" << installerFile_);
    const std::wstring path = wide(partFile_);
    // Only administrators may change what SYSTEM checks and later installs;
    // the cabinet keeps this security when it is renamed.
    AdminOnlySecurity security(AdminOnlySecurity::Scope::Object);
    file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, security.attributes(),
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) {
        fileFailed_ = true;
        TWLOG(LOG_ERROR, "Catch an exception: " << systemText(GetLastError()));
    }
    pending_.clear();
}

// After the first failure the rest of the body is dropped without a line per
// chunk: each level-3 line may also go to the log server.
void downloadMgr::downloadData(const char* data, uint32_t length) {
    if (fileFailed_) return;
    if (!file_) {
        fileFailed_ = true;
        TWLOG(LOG_ERROR, installerFile_ << " was not opened to write.");
        return;
    }
    try {
        pending_.insert(pending_.end(), data, data + length);
    } catch (const std::exception& e) {
        fileFailed_ = true;
        TWLOG(LOG_ERROR, "Catch an exception: " << e.what());
        return;
    }
    downloaded_ += length;
    if (pending_.size() >= kWriteSize) writePending();
}

bool downloadMgr::writePending() {
    DWORD written = 0;
    const DWORD length = static_cast<DWORD>(pending_.size());
    const bool ok = length == 0 || (fileGate::allows(fileGate::Op::Write, wide(partFile_)) &&
                                    WriteFile(file_.get(), pending_.data(), length, &written, nullptr) &&
                                    written == length);
    pending_.clear();
    if (ok) return true;
    fileFailed_ = true;
    TWLOG(LOG_ERROR, "Catch an exception: " << systemText(GetLastError()));
    return false;
}

// The digest is read through the handle that wrote the body, before it is
// closed: nobody could change the file in between.
void downloadMgr::downloadComplete() {
    TWLOG(LOG_DEBUG, "downloadMgr::downloadComplete()");
    bool succeeded = flushPart() && !installerFile_.empty();
    if (succeeded && !lengthMatches()) {
        TWLOG(LOG_ERROR, "Downloaded size differs from the announced one: fileSize=" << fileSize_
                                                                                     << " downloadSize=" << downloaded_);
        succeeded = false;
    }
    if (succeeded && !verify_checksum()) succeeded = false;
    TWLOG(LOG_DEBUG, "fileSize=" << fileSize_ << " downloadSize=" << downloaded_);
    succeeded = closePart() && succeeded;
    if (succeeded) succeeded = promote();
    if (!succeeded) removePart();
    signalDone(succeeded);
}

void downloadMgr::downloadFailure(const std::string& message) {
    TWLOG(LOG_ERROR, "downloadMgr::downloadFailure() msg=" << message);
    finishFile();
    removePart();
    signalDone(false);
}

// The checked body replaces whatever lay under the name.
bool downloadMgr::promote() {
    promoted_ = fileTree::moveFile(wide(partFile_), wide(installerFile_));
    return promoted_;
}

// The waiter may free this object as soon as it sees done, so this is the last
// thing a callback does.
void downloadMgr::signalDone(bool succeeded) {
    std::lock_guard<std::mutex> lock(lock_);
    success_ = succeeded;
    done_ = true;
    doneSignal_.notify_all();
}

// Writes what is still buffered and puts it on the disk; false when that (or
// an earlier write) failed.
bool downloadMgr::flushPart() {
    if (!file_ || fileFailed_) return !fileFailed_;
    const bool written = writePending();
    const bool flushed =
        written && fileGate::allows(fileGate::Op::Flush, wide(partFile_)) && FlushFileBuffers(file_.get());
    if (written && !flushed) {
        fileFailed_ = true;
        TWLOG(LOG_ERROR, "Failed to flush " << partFile_ << ": " << systemText(GetLastError()));
    }
    return flushed;
}

// Closes the file when open; false when that failed.
bool downloadMgr::closePart() {
    if (!file_) return true;
    if (CloseHandle(file_.release())) return true;
    fileFailed_ = true;
    TWLOG(LOG_ERROR, "Failed to close " << installerFile_ << ": " << systemText(GetLastError()));
    return false;
}

// flushPart, then closes the file when open; false when any of it failed.
bool downloadMgr::finishFile() {
    if (!file_) return !fileFailed_;
    const bool flushed = flushPart();
    return closePart() && flushed;
}

bool downloadMgr::lengthMatches() const { return !fileSizeSent_ || downloaded_ == fileSize_; }

bool downloadMgr::verify_checksum() {
    if (expectedHash_.empty()) {
        TWLOG(LOG_WARN, "Expected hash value is empty.");
        return true;
    }
    const std::string computed = file_ ? HeldFile::digestOf(file_.get()) : compute_file_hash(partFile_);
    TWLOG(LOG_DEBUG, "Checking md5 Computed " << computed << " expected " << expectedHash_);
    if (computed == expectedHash_) return true;
    TWLOG(LOG_ERROR, "Checksum didn't match.  Computed " << computed << " expected " << expectedHash_);
    return false;
}

std::string downloadMgr::compute_file_hash(const std::string& path) {
    HeldFile file;
    return file.hold(wide(path)) ? file.digest() : std::string();
}

}  // namespace PALVANE_SERVICE
