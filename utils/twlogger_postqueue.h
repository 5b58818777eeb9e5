// The post sink's queue and its one sender thread. A logging thread only
// queues the record and returns; the sender posts the records in order, each
// with the HTTP client's retries and pauses, so no caller ever waits on the
// log server. The queue is bounded: a record that does not fit is dropped and
// counted, and the count is written to the log once the queue has drained.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace twlogger_detail {

struct LogPostLimits {
    size_t records;
    size_t bytes;
};

// About a minute of lines at the rate a failing runtime logs Error lines, in
// a few MiB at most.
constexpr LogPostLimits kLogPostLimits{1000, 4u << 20};
// Long enough for a post cut short by closing its request to return.
constexpr std::chrono::milliseconds kLogPostStopBound{1000};

// Queues one record for `url`, starting the sender when none runs. Refused
// (nothing queued) after stopLogPosts() until armLogPosts().
void queueLogPost(const std::string& url, std::string record);

// Ends the sender within `bound`: the post under way is cut short and queued
// records are abandoned. A sender that does not end in time is left to end on
// its own; it keeps its module loaded until then.
void stopLogPosts(std::chrono::milliseconds bound = kLogPostStopBound);

// Lets records be queued again after stopLogPosts().
void armLogPosts();

// For tests: a smaller queue, for senders started afterwards.
void setLogPostLimits(LogPostLimits limits);

}  // namespace twlogger_detail
