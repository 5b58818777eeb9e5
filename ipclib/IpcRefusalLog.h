// Refused connections, reported at most once a minute per source (a program,
// or the connection limit) with the count since its last line, and at most
// kMaxLines lines a minute for all sources together, so that programs
// connecting in a loop, however many, cannot rotate real errors out of the
// log. What the cap holds back is summed up in one line once the minute is
// over. Loop thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

class IpcRefusalLog {
public:
    static constexpr std::chrono::milliseconds kInterval{60000};
    // Sources remembered at once; the one reported longest ago is forgotten.
    static constexpr size_t kMaxSources = 64;
    // Lines per interval, all sources together.
    static constexpr size_t kMaxLines = 10;

    explicit IpcRefusalLog(std::chrono::milliseconds interval = kInterval) : interval_(interval) {}

    // One refused connection from `source`: `line` (at `level`) with the count
    // of its refusals, when the source had no line within the interval.
    void refused(const std::string& source, int level, const std::string& line);

private:
    using Clock = std::chrono::steady_clock;
    struct Source {
        Clock::time_point reportedAt;
        size_t refusals = 0;  // since its last line
    };

    // Ends the interval of the cap once it is over, with the summary it owes.
    void endIntervalIfOver(Clock::time_point now, int level);
    void forgetOldest();

    const std::chrono::milliseconds interval_;
    std::map<std::string, Source> sources_;
    Clock::time_point intervalBegan_{};
    size_t linesInInterval_ = 0;
    size_t heldBack_ = 0;  // refusals whose lines the cap held back
};
