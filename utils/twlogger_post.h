// The post sink's transport, for the sender thread: one form post of a record
// with the HTTP client's retries and pauses, which another thread can cut
// short.
#pragma once

#include <mutex>
#include <string>

class http_helper;

namespace twlogger_detail {

// Lets a stop reach the client of the post under way: closing its request
// ends a blocked call and the pause between attempts. A cancel is final; a
// client attached after it is cancelled at once.
class LogPostCancel {
public:
    void attach(http_helper& client);
    void detach();
    void cancel();

private:
    std::mutex lock_;
    http_helper* client_ = nullptr;
    bool cancelled_ = false;
};

// Posts one record; on failure the client's error text goes to the debugger
// output, as it always has: nothing is logged, the record is not kept.
void postRecord(const std::string& url, const std::string& record, LogPostCancel& cancel);

// Marks the calling thread as the one posting, for the scope's life: its own
// lines reach the file and network sinks but are never posted.
class LogPostingScope {
public:
    LogPostingScope();
    ~LogPostingScope();
    LogPostingScope(const LogPostingScope&) = delete;
    LogPostingScope& operator=(const LogPostingScope&) = delete;
};

}  // namespace twlogger_detail
