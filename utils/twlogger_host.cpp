#include "utils/twlogger_host.h"

#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "utils/twlogger.h"
#include "utils/twlogger_lock.h"

namespace {

constexpr const char* kUploadArchiveName = "upload.log.gz";
constexpr unsigned kCopyChunk = 4096;

std::string g_logUploadUrl;  // under the logger's lock
std::atomic<char> g_logUploadInProgress{0};
// One packing at a time: they share the temporaries and the archive.
std::mutex g_packLock;

bool fileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string folderOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

// Deletes the files it was given when it goes out of scope.
class TemporaryFiles {
public:
    TemporaryFiles() = default;
    ~TemporaryFiles() {
        for (const std::string& path : paths_) DeleteFileA(path.c_str());
    }
    TemporaryFiles(const TemporaryFiles&) = delete;
    TemporaryFiles& operator=(const TemporaryFiles&) = delete;

    void add(const std::string& path) { paths_.push_back(path); }
    const std::vector<std::string>& paths() const { return paths_; }

private:
    std::vector<std::string> paths_;
};

// Copies the predecessor and the log (in that order, when they exist) to
// their ".tmp" names. The copies are taken under the logger's lock, so no
// rotation or line falls between them. False after a failed copy.
bool copyLogsToTemporaries(const std::string& logPath, TemporaryFiles& copies) {
    const std::string predecessor = logPath + ".1";
    const std::pair<std::string, std::string> sources[] = {{predecessor, predecessor + ".tmp"},
                                                           {logPath, logPath + ".tmp"}};
    for (const auto& source : sources) DeleteFileA(source.second.c_str());

    std::string failedSource;
    std::string failedCopy;
    {
        std::lock_guard<std::recursive_mutex> lock(twlogger_detail::logLock());
        closeLogFileUnlocked();
        for (const auto& source : sources) {
            if (!fileExists(source.first)) continue;
            if (!copyLogFile(source.first, source.second)) {
                failedSource = source.first;
                failedCopy = source.second;
                break;
            }
            copies.add(source.second);
        }
    }
    if (failedSource.empty()) return true;
    TWLOG(LOG_ERROR, "Failed to copy file " << failedSource << " to " << failedCopy);
    return false;
}

bool writeArchive(const std::string& archive, const std::vector<std::string>& files) {
    DeleteFileA(archive.c_str());
    gzFile stream = gzopen(archive.c_str(), "wb");
    if (stream == nullptr) {
        TWLOG(LOG_ERROR, "gzopen() failed, error=" << errno << " " << archive);
        return false;
    }
    bool complete = true;
    for (const std::string& file : files) {
        if (!gzAppendFile(file, stream)) {
            complete = false;
            break;
        }
    }
    const int closed = gzclose(stream);
    if (closed != Z_OK) {
        TWLOG(LOG_ERROR, "gzclose() failed, error=" << closed << " " << archive);
        complete = false;
    }
    return complete;
}

}  // namespace

void closeLogFileUnlocked() { twlogger_detail::closeLogFdUnlocked(); }

bool removeLogFiles() {
    const std::string logPath = getLogFilePath();
    if (logPath.empty()) return true;
    const std::string predecessor = logPath + ".1";
    std::lock_guard<std::recursive_mutex> lock(twlogger_detail::logLock());
    // The open descriptor would keep the file from being deleted.
    closeLogFileUnlocked();
    DeleteFileA(logPath.c_str());
    DeleteFileA(predecessor.c_str());
    return !fileExists(logPath) && !fileExists(predecessor);
}

void setLogUploadUrl(const char* url) {
    std::lock_guard<std::recursive_mutex> lock(twlogger_detail::logLock());
    g_logUploadUrl = url ? url : "";
}

std::string getLogUploadUrl() {
    std::lock_guard<std::recursive_mutex> lock(twlogger_detail::logLock());
    return g_logUploadUrl;
}

bool requestLogUpload() {
    if (getLogUploadUrl().empty()) {
        TWLOG(LOG_CRIT, "Requested log upload, but no URL to upload to.  Failing");
        return false;
    }
    char idle = 0;
    if (!g_logUploadInProgress.compare_exchange_strong(idle, 1)) {
        TWLOG(LOG_WARN, "Requested log upload, but upload already in progress");
        return false;
    }
    const bool packed = packLogsForUpload();
    g_logUploadInProgress.exchange(0);
    return packed;
}

std::string logUploadArchivePath() { return folderOf(getLogFilePath()) + kUploadArchiveName; }

bool packLogsForUpload() {
    std::lock_guard<std::mutex> packing(g_packLock);
    const std::string logPath = getLogFilePath();
    if (logPath.empty()) {
        TWLOG(LOG_ERROR, "Failed to pack logs for upload: no log file");
        return false;
    }
    TemporaryFiles copies;
    if (!copyLogsToTemporaries(logPath, copies)) return false;

    const std::string archive = folderOf(logPath) + kUploadArchiveName;
    if (!writeArchive(archive, copies.paths()) || copies.paths().empty()) {
        // A partial archive must not pass for the logs; an empty one holds nothing to send.
        DeleteFileA(archive.c_str());
        return false;
    }
    return true;
}

bool gzAppendFile(const std::string& path, gzFile stream) {
    if (stream == nullptr) return false;
    int fd = -1;
    // Binary: a text-mode read would turn CR LF into LF and stop at the first Ctrl+Z.
    const errno_t opened = _sopen_s(&fd, path.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYNO, 0);
    if (opened != 0) return opened == ENOENT;
    char chunk[kCopyChunk];
    bool appended = true;
    for (;;) {
        const int read = _read(fd, chunk, sizeof(chunk));
        if (read == 0) break;
        if (read < 0 || gzwrite(stream, chunk, static_cast<unsigned>(read)) != read) {
            appended = false;
            break;
        }
    }
    _close(fd);
    if (!appended) TWLOG(LOG_ERROR, "Failed to append " << path << " to the log archive");
    return appended;
}

bool copyLogFile(const std::string& source, const std::string& destination) {
    return CopyFileA(source.c_str(), destination.c_str(), TRUE) == TRUE;
}
