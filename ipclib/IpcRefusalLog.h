// Refused connections, reported at most once a minute per source (a program,
// or the connection limit) with the count since its last line, so that a
// program connecting in a loop cannot rotate real errors out of the log. Loop
// thread only.
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

    void forgetOldest();

    const std::chrono::milliseconds interval_;
    std::map<std::string, Source> sources_;
};
