// The deliverable's one logger: a file sink, a network (datagram) sink and a
// post sink, each with its own level; -1 switches a sink off. A message is
// admitted by a sink when its level is at most the sink's level.
#pragma once

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>

enum LogLevel : int {
    LOG_EMERG = 0,
    LOG_ALERT = 1,
    LOG_CRIT = 2,
    LOG_ERROR = 3,
    LOG_WARN = 4,
    LOG_NOTICE = 5,
    LOG_INFO = 6,
    LOG_DEBUG = 7,
    LOG_DBLDEBUG = 8,
};

extern std::atomic<int> g_fileLogLevel;
extern std::atomic<int> g_postLogLevel;
extern std::atomic<int> g_netLogLevel;

// A sink that is off (a negative level) admits nothing, not even a negative
// level.
inline bool sinkAdmits(int sinkLevel, int level) { return sinkLevel >= 0 && level <= sinkLevel; }

inline bool logEnabled(int level) {
    return sinkAdmits(g_fileLogLevel.load(std::memory_order_relaxed), level) ||
           sinkAdmits(g_postLogLevel.load(std::memory_order_relaxed), level) ||
           sinkAdmits(g_netLogLevel.load(std::memory_order_relaxed), level);
}

void logMessage(int level, const char* file, int line, std::ostringstream& text);

// The call pattern of the whole system: nothing is formatted for a level that
// no sink admits.
#define TWLOG(level, expr)                                     \
    do {                                                       \
        if (logEnabled(level)) {                               \
            std::ostringstream twlog_text_;                    \
            twlog_text_ << expr;                               \
            logMessage((level), __FILE__, __LINE__, twlog_text_); \
        }                                                      \
    } while (0)

// Setters. The level setters are plain atomic stores; the string setters take
// the logger's lock so they are safe while other threads log.
void setLogFile(const char* path);
int setFileLogLevel(unsigned level);
void setMaxLogFileSize(int bytes);
void setPostLogLevel(unsigned level);
void setLogPostUrl(const char* url);

// The customer id and machine id carried by every log record; the service core
// sets them at start.
void setLogRecordIds(const std::string& custId, const std::string& machineGuid);

void closeLogFile();
// Closes the network sink and ends the post sink's sender within a short
// bound, posting what it still held until then; records are posted again
// once a post level or URL is set.
void closeNetLog();

// Network sink destination and level (the service host sets these).
void setNetLogHost(const char* host, uint16_t port);
void setNetLogLevel(int level);
void setLogDebugOutput(bool enabled);

// The text of one log record: a one-line JSON object ending in a line feed.
std::string buildLogRecord(int level, const char* baseName, int line, const std::string& text,
                           uint32_t seconds, uint32_t micros);

// Current values, for callers that report them and for tests.
int getFileLogLevel();
int getMaxLogFileSize();
std::string getLogFilePath();
std::string getLogPostUrl();
