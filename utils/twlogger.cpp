#include "utils/twlogger.h"
#include "utils/twlogger_lock.h"
#include "utils/twlogger_post.h"
#include "utils/twlogger_postqueue.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include <json/json.h>
#include <zlib.h>

std::atomic<int> g_fileLogLevel{-1};
std::atomic<int> g_postLogLevel{-1};
std::atomic<int> g_netLogLevel{-1};

namespace {

constexpr size_t kPrefixBufferSize = 128;
constexpr size_t kDatagramBufferSize = 8192;
constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ULL;

const char* const kMonthNames[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                     "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

// State below is guarded by g_logLock, except the atomics.
std::recursive_mutex g_logLock;
std::atomic<int> g_maxLogFileSize{1000000};
int g_logFd = -1;
SOCKET g_netLogSocket = INVALID_SOCKET;
sockaddr_in g_netLogAddr{};
std::string g_logFilePath;
std::string g_logPostUrl;
std::string g_logCustId;
std::string g_logMachineGuid;
std::atomic<bool> g_logDebugOutput{false};
// Lines the file sink could not write (a full disk, a file that cannot be
// opened): dropped, counted, and reported with the next line that is written.
uint64_t g_droppedLines = 0;

// The post sender's HTTP calls may log; such lines must not post again.
thread_local bool t_posting = false;

using twlogger_detail::logDebugString;

const char* levelName(int level) {
    static const char* const names[] = {"Emerg", "Alert",  "Crit",  "Error",   "Warn",
                                        "Notice", "Info", "Debug", "DblDebug"};
    if (level < 0 || level > 8) return "UNK   ";
    return names[level];
}

const char* baseNameOf(const char* file) {
    if (file == nullptr) return "";
    // Cross builds carry forward slashes in __FILE__; either separator ends a folder.
    const char* base = file;
    for (const char* p = file; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') base = p + 1;
    }
    return base;
}

bool fileSizeOf(const std::string& path, long long& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    size = (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

void closeFdLocked() {
    if (g_logFd != -1) {
        _close(g_logFd);
        g_logFd = -1;
    }
}

// Ends the network sink only; the post sink goes on.
void closeNetSocket() {
    std::lock_guard<std::recursive_mutex> lock(g_logLock);
    g_netLogLevel.store(-1);
    g_netLogAddr = sockaddr_in{};
    g_netLogAddr.sin_family = AF_INET;
    if (g_netLogSocket != INVALID_SOCKET) {
        closesocket(g_netLogSocket);
        g_netLogSocket = INVALID_SOCKET;
    }
}

// Moves the full file to ".1" in one step, replacing the older generation.
// When the move fails the current file simply keeps growing, and the older
// generation stays where it is. The size of the open file is asked of its
// handle: a lookup by path for every line costs more than writing the line.
void rotateIfNeededLocked() {
    long long size = 0;
    if (g_logFd != -1) {
        size = _filelengthi64(g_logFd);
        if (size < 0) return;
    } else if (!fileSizeOf(g_logFilePath, size)) {
        return;
    }
    if (size <= g_maxLogFileSize.load()) return;
    closeFdLocked();
    const std::string previous = g_logFilePath + ".1";
    MoveFileExA(g_logFilePath.c_str(), previous.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const unsigned chunk = length > 0x40000000u ? 0x40000000u : static_cast<unsigned>(length);
        const int written = _write(fd, data, chunk);
        if (written <= 0) return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// The file line: its prefix, the text and a line feed.
std::string fileLineOf(const struct tm& local, uint32_t micros, int level, const char* baseName, int line,
                       const std::string& text) {
    char prefix[kPrefixBufferSize];
    const int month = (local.tm_mon >= 0 && local.tm_mon < 12) ? local.tm_mon : 0;
    int length = snprintf(prefix, sizeof(prefix), "%s %2d %2d:%02d:%02d:%03d [%08llu] < %-6s > %s:%d  ",
                          kMonthNames[month], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                          static_cast<int>(micros / 1000),
                          static_cast<unsigned long long>(GetCurrentThreadId()), levelName(level), baseName,
                          line);
    if (length < 0) length = 0;
    if (static_cast<size_t>(length) >= sizeof(prefix)) length = sizeof(prefix) - 1;
    std::string fileLine;
    fileLine.reserve(static_cast<size_t>(length) + text.size() + 1);
    fileLine.append(prefix, static_cast<size_t>(length)).append(text).push_back('\n');
    return fileLine;
}

// Under the lock; false when the line could not be written.
bool writeLineLocked(const std::string& fileLine) {
    rotateIfNeededLocked();
    if (g_logFd == -1 && _sopen_s(&g_logFd, g_logFilePath.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_TEXT,
                                  _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0) {
        g_logFd = -1;
    }
    // One write per line: each write is a system call.
    return g_logFd != -1 && writeAll(g_logFd, fileLine.data(), fileLine.size());
}

// A line that cannot be written is dropped and counted, whatever the disk
// does; the count goes into the file before the next line that can be.
void writeLogFile(int level, const char* baseName, int line, const std::string& text, uint32_t seconds,
                  uint32_t micros) {
    __time64_t when = seconds;
    struct tm local {};
    _localtime64_s(&local, &when);

    std::lock_guard<std::recursive_mutex> lock(g_logLock);
    if (g_logFilePath.empty()) return;
    const std::string fileLine = fileLineOf(local, micros, level, baseName, line, text);
    if (g_logDebugOutput.load()) logDebugString("", fileLine.substr(0, fileLine.size() - 1));
    if (g_droppedLines > 0 &&
        writeLineLocked(fileLineOf(local, micros, LOG_WARN, baseNameOf(__FILE__), __LINE__,
                                   std::to_string(g_droppedLines) + " log lines could not be written"))) {
        g_droppedLines = 0;
    }
    if (!writeLineLocked(fileLine)) ++g_droppedLines;
}

void sendNetLog(int level, const char* baseName, int line, const std::string& text, uint32_t seconds,
                uint32_t micros) {
    const std::string record = buildLogRecord(level, baseName, line, text, seconds, micros);
    int sendError = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(g_logLock);
        if (g_netLogSocket == INVALID_SOCKET) return;
        Bytef compressed[kDatagramBufferSize];
        uLongf compressedLength = sizeof(compressed);
        if (compress2(compressed, &compressedLength, reinterpret_cast<const Bytef*>(record.data()),
                      static_cast<uLong>(record.size()), Z_DEFAULT_COMPRESSION) != Z_OK) {
            return;
        }
        if (sendto(g_netLogSocket, reinterpret_cast<const char*>(compressed), static_cast<int>(compressedLength),
                   0, reinterpret_cast<const sockaddr*>(&g_netLogAddr), sizeof(g_netLogAddr)) == SOCKET_ERROR) {
            sendError = WSAGetLastError();
        }
    }
    if (sendError != 0 && sendError != WSAEWOULDBLOCK) {
        closeNetSocket();
        TWLOG(LOG_WARN, "Failed to write network log message, disabling net logging " << sendError);
    }
}

// Queues the record for the sender thread: the caller never waits on the
// log server.
void postLog(int level, const char* baseName, int line, const std::string& text, uint32_t seconds,
             uint32_t micros) {
    std::string url;
    {
        std::lock_guard<std::recursive_mutex> lock(g_logLock);
        url = g_logPostUrl;
    }
    if (url.empty()) {
        logDebugString("Failed to post ", "posturl is empty");
        return;
    }
    if (t_posting) return;
    twlogger_detail::queueLogPost(url, buildLogRecord(level, baseName, line, text, seconds, micros));
}

}  // namespace

std::string buildLogRecord(int level, const char* baseName, int line, const std::string& text, uint32_t seconds,
                           uint32_t micros) {
    std::string custId;
    std::string machineGuid;
    {
        std::lock_guard<std::recursive_mutex> lock(g_logLock);
        custId = g_logCustId;
        machineGuid = g_logMachineGuid;
    }
    Json::Value record(Json::objectValue);
    record["version"] = "2.4.0.0";
    record["host"] = "quillmarkagent";
    record["short_message"] = text;
    record["timestamp"] = static_cast<double>(seconds) + static_cast<double>(micros) / 1000000.0;
    record["level"] = level;
    record["_file"] = baseName;
    record["_line"] = line;
    record["_custid"] = custId;
    record["_machineguid"] = machineGuid;
    Json::FastWriter writer;
    return writer.write(record);
}

void logMessage(int level, const char* file, int line, std::ostringstream& text) {
    const int fileLevel = g_fileLogLevel.load();
    const int netLevel = g_netLogLevel.load();
    const int postLevel = g_postLogLevel.load();
    if (fileLevel < 0 && netLevel < 0 && postLevel < 0) return;

    FILETIME fileTime;
    GetSystemTimeAsFileTime(&fileTime);
    SYSTEMTIME systemTime;
    FileTimeToSystemTime(&fileTime, &systemTime);
    const uint64_t ticks = (static_cast<uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
    const uint32_t seconds = static_cast<uint32_t>((ticks - kUnixEpochIn100ns) / 10000000ULL);
    const uint32_t micros = static_cast<uint32_t>(systemTime.wMilliseconds) * 1000u;

    const char* baseName = baseNameOf(file);
    const std::string message = text.str();
    if (sinkAdmits(fileLevel, level)) writeLogFile(level, baseName, line, message, seconds, micros);
    if (sinkAdmits(netLevel, level)) sendNetLog(level, baseName, line, message, seconds, micros);
    if (sinkAdmits(postLevel, level)) postLog(level, baseName, line, message, seconds, micros);
}

void setLogFile(const char* path) {
    g_fileLogLevel.store(3);
    std::lock_guard<std::recursive_mutex> lock(g_logLock);
    g_logFilePath = path ? path : "";
}

int setFileLogLevel(unsigned level) {
    if (level <= 8) g_fileLogLevel.store(static_cast<int>(level));
    return g_fileLogLevel.load();
}

void setMaxLogFileSize(int bytes) {
    if (bytes >= 10000 && bytes <= 1000000000) g_maxLogFileSize.store(bytes);
}

void setPostLogLevel(unsigned level) {
    g_postLogLevel.store(level > 8 ? -1 : static_cast<int>(level));
    twlogger_detail::armLogPosts();
}

void setLogPostUrl(const char* url) {
    {
        std::lock_guard<std::recursive_mutex> lock(g_logLock);
        g_logPostUrl = url ? url : "";
    }
    twlogger_detail::armLogPosts();
}

void setLogRecordIds(const std::string& custId, const std::string& machineGuid) {
    std::lock_guard<std::recursive_mutex> lock(g_logLock);
    g_logCustId = custId;
    g_logMachineGuid = machineGuid;
}

void closeLogFile() {
    std::lock_guard<std::recursive_mutex> lock(g_logLock);
    closeFdLocked();
}

// The library's unload and the program's end come through here: the post
// sender is ended too, within a short bound: what it still held is posted
// until then, so a healthy log server receives the stop's own lines. Posting
// resumes once a post level or URL is set again.
void closeNetLog() {
    closeNetSocket();
    twlogger_detail::stopLogPosts();
}

void setNetLogHost(const char* host, uint16_t port) {
    if (host == nullptr || *host == '\0' || port == 0) {
        closeNetSocket();
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    const int resolveError = getaddrinfo(host, nullptr, &hints, &result);
    if (resolveError != 0 || result == nullptr) {
        closeNetSocket();
        TWLOG(LOG_ERROR, "Failed to resolve logging hostname " << resolveError << " " << host);
        return;
    }
    int socketError = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(g_logLock);
        if (g_netLogSocket == INVALID_SOCKET) {
            g_netLogSocket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
            u_long nonBlocking = 1;
            if (g_netLogSocket == INVALID_SOCKET || ioctlsocket(g_netLogSocket, FIONBIO, &nonBlocking) != 0) {
                socketError = WSAGetLastError();
            }
        }
        if (socketError == 0) {
            g_netLogAddr = *reinterpret_cast<const sockaddr_in*>(result->ai_addr);
            g_netLogAddr.sin_port = htons(port);
        }
    }
    freeaddrinfo(result);
    if (socketError != 0) {
        closeNetSocket();
        TWLOG(LOG_ERROR, "Failed to create logging socket " << socketError);
    }
}

void setNetLogLevel(int level) {
    if (level == -1) {
        closeNetSocket();
    } else if (level >= 0 && level <= 8) {
        g_netLogLevel.store(level);
    }
}

void setLogDebugOutput(bool enabled) { g_logDebugOutput.store(enabled); }

std::recursive_mutex& twlogger_detail::logLock() { return g_logLock; }

void twlogger_detail::logDebugString(const char* prefix, const std::string& text) {
    std::string line(prefix);
    line += text;
    OutputDebugStringA(line.c_str());
}

twlogger_detail::LogPostingScope::LogPostingScope() { t_posting = true; }
twlogger_detail::LogPostingScope::~LogPostingScope() { t_posting = false; }

void twlogger_detail::closeLogFdUnlocked() { closeFdLocked(); }

int getFileLogLevel() { return g_fileLogLevel.load(); }
int getMaxLogFileSize() { return g_maxLogFileSize.load(); }

std::string getLogFilePath() {
    std::lock_guard<std::recursive_mutex> lock(g_logLock);
    return g_logFilePath;
}

std::string getLogPostUrl() {
    std::lock_guard<std::recursive_mutex> lock(g_logLock);
    return g_logPostUrl;
}
