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
// (nothing queued) after stopLogPosts() until armLogPosts(); counted as
// dropped while the sender is dead.
void queueLogPost(const std::string& url, std::string record);

// Ends the sender within `bound`: it posts what is queued until then; what it
// has not posted by then is given up, and counted in the log, and the post
// under way is cut short. A dropped-record count not yet reported is logged.
// A sender that does not end in time is left to end on its own; it keeps its
// module loaded until then.
void stopLogPosts(std::chrono::milliseconds bound = kLogPostStopBound);

// Lets records be queued again after stopLogPosts(), and has a sender that
// ended on an exception replaced.
void armLogPosts();

// For tests: a smaller queue, for senders started afterwards.
void setLogPostLimits(LogPostLimits limits);

class LogPostCancel;
// How the sender posts one record (postRecord); tests put one in its place,
// for senders started afterwards. Null restores postRecord.
using LogPostTransport = void (*)(const std::string& url, const std::string& record, LogPostCancel& cancel);
void setLogPostTransport(LogPostTransport transport);

}  // namespace twlogger_detail
