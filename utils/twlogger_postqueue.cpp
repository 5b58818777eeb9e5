#include "utils/twlogger_postqueue.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

#include "utils/twlogger.h"
#include "utils/twlogger_post.h"
#include "utils/win/moduleReference.h"

namespace twlogger_detail {

namespace {

struct QueuedPost {
    std::string url;
    std::string record;
};

// Shared by the logger and the sender thread, so a sender left running after
// a stop never touches freed state.
struct SenderState {
    explicit SenderState(LogPostLimits limits) : limits(limits) {}

    const LogPostLimits limits;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<QueuedPost> queue;
    size_t queuedBytes = 0;
    size_t dropped = 0;
    // Posts what is queued, then ends.
    bool stopping = false;
    // Ends after the post under way; what is queued is given up.
    bool abandoned = false;
    // The sender ended on an exception; records are counted as dropped.
    std::atomic<bool> dead{false};
    LogPostCancel cancel;
};

std::mutex g_senderLock;
std::shared_ptr<SenderState> g_sender;
HANDLE g_senderThread = nullptr;
bool g_refused = false;
LogPostLimits g_limits = kLogPostLimits;
LogPostTransport g_transport = postRecord;

// Takes the next record; false when the sender is to end.
bool nextPost(SenderState& state, QueuedPost& post) {
    std::unique_lock<std::mutex> lock(state.lock);
    state.changed.wait(lock, [&] { return state.stopping || state.abandoned || !state.queue.empty(); });
    if (state.abandoned || state.queue.empty()) return false;
    post = std::move(state.queue.front());
    state.queue.pop_front();
    state.queuedBytes -= post.record.size();
    return true;
}

// The count of dropped records, once nothing is waiting any more. At a stop
// the stopping thread reports it.
size_t takeDroppedWhenDrained(SenderState& state) {
    std::lock_guard<std::mutex> lock(state.lock);
    if (!state.queue.empty() || state.stopping) return 0;
    return std::exchange(state.dropped, 0);
}

void reportDropped(size_t dropped) {
    if (dropped > 0) TWLOG(LOG_WARN, "Log post queue was full, dropped " << dropped << " records");
}

void runSender(SenderState& state, LogPostTransport transport) {
    // Lines that posting itself logs go to the other sinks only.
    LogPostingScope posting;
    QueuedPost post;
    while (nextPost(state, post)) {
        transport(post.url, post.record, state.cancel);
        reportDropped(takeDroppedWhenDrained(state));
    }
}

// A sender that ended on an exception (out of memory while posting) would
// leave the sink silent for good; it says so once, and the records that
// follow are counted as dropped until a level or URL is set again.
void runSenderReportingItsEnd(const std::shared_ptr<SenderState>& state, LogPostTransport transport) {
    std::string what;
    try {
        runSender(*state, transport);
        return;
    } catch (const std::exception& error) {
        what = error.what();
    } catch (...) {
        what = "unknown exception";
    }
    state->dead = true;
    TWLOG(LOG_ERROR, "Log post sender ended: " << what << "; records are no longer posted.");
}

// Caller holds g_senderLock. The sender keeps the logger's library loaded
// while it runs, so an unload can never pull the code from under a post that
// was cut short too slowly.
bool startSenderLocked() {
    auto state = std::make_shared<SenderState>(g_limits);
    const LogPostTransport transport = g_transport;
    const HANDLE thread =
        ModuleReference::startThread([state, transport] { runSenderReportingItsEnd(state, transport); });
    if (thread == nullptr) return false;
    g_sender = std::move(state);
    g_senderThread = thread;
    return true;
}

// Caller holds g_senderLock.
void forgetSenderLocked() {
    g_sender.reset();
    if (g_senderThread != nullptr) CloseHandle(std::exchange(g_senderThread, nullptr));
}

bool endsWithin(HANDLE thread, std::chrono::steady_clock::time_point deadline) {
    // A stop from a line the sender itself logs must not wait for itself.
    if (GetThreadId(thread) == GetCurrentThreadId()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return WaitForSingleObject(thread, static_cast<DWORD>(std::max<long long>(0, left.count()))) == WAIT_OBJECT_0;
}

}  // namespace

void queueLogPost(const std::string& url, std::string record) {
    std::shared_ptr<SenderState> state;
    {
        std::lock_guard<std::mutex> lock(g_senderLock);
        if (g_refused) return;
        if (!g_sender && !startSenderLocked()) return;
        state = g_sender;
    }
    {
        std::lock_guard<std::mutex> lock(state->lock);
        if (state->dead || state->queue.size() >= state->limits.records ||
            state->queuedBytes + record.size() > state->limits.bytes) {
            ++state->dropped;
            return;
        }
        state->queuedBytes += record.size();
        state->queue.push_back(QueuedPost{url, std::move(record)});
    }
    state->changed.notify_one();
}

// What the service logs while it stops is what matters most, so the sender
// posts what is queued until the bound; only then is the post under way cut
// short and the rest given up.
void stopLogPosts(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::shared_ptr<SenderState> state;
    HANDLE thread = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_senderLock);
        g_refused = true;
        state = std::move(g_sender);
        thread = std::exchange(g_senderThread, nullptr);
    }
    if (!state) return;
    size_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(state->lock);
        state->stopping = true;
        dropped = std::exchange(state->dropped, 0);
    }
    state->changed.notify_all();
    reportDropped(dropped);
    if (!endsWithin(thread, deadline)) {
        size_t givenUp = 0;
        {
            std::lock_guard<std::mutex> lock(state->lock);
            state->abandoned = true;
            givenUp = state->queue.size();
            state->queue.clear();
            state->queuedBytes = 0;
        }
        state->changed.notify_all();
        state->cancel.cancel();
        if (givenUp > 0) {
            TWLOG(LOG_WARN, "Log post sender stopped at its bound, " << givenUp << " queued records were not posted");
        }
    }
    CloseHandle(thread);
}

// A sender that died is replaced by the next record.
void armLogPosts() {
    std::lock_guard<std::mutex> lock(g_senderLock);
    g_refused = false;
    if (g_sender && g_sender->dead) forgetSenderLocked();
}

void setLogPostLimits(LogPostLimits limits) {
    std::lock_guard<std::mutex> lock(g_senderLock);
    g_limits = limits;
}

void setLogPostTransport(LogPostTransport transport) {
    std::lock_guard<std::mutex> lock(g_senderLock);
    g_transport = transport != nullptr ? transport : postRecord;
}

}  // namespace twlogger_detail
