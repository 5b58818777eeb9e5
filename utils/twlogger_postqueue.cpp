#include "utils/twlogger_postqueue.h"

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "utils/twlogger.h"
#include "utils/twlogger_post.h"

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
    bool stopping = false;
    LogPostCancel cancel;
};

struct SenderStart {
    std::shared_ptr<SenderState> state;
    HMODULE module;
};

std::mutex g_senderLock;
std::shared_ptr<SenderState> g_sender;
HANDLE g_senderThread = nullptr;
bool g_refused = false;
LogPostLimits g_limits = kLogPostLimits;

// Takes the next record; false when the sender is to end.
bool nextPost(SenderState& state, QueuedPost& post) {
    std::unique_lock<std::mutex> lock(state.lock);
    state.changed.wait(lock, [&] { return state.stopping || !state.queue.empty(); });
    if (state.stopping) return false;
    post = std::move(state.queue.front());
    state.queue.pop_front();
    state.queuedBytes -= post.record.size();
    return true;
}

// The count of dropped records, once nothing is waiting any more.
size_t takeDroppedWhenDrained(SenderState& state) {
    std::lock_guard<std::mutex> lock(state.lock);
    if (!state.queue.empty() || state.stopping) return 0;
    return std::exchange(state.dropped, 0);
}

void runSender(SenderState& state) {
    // Lines that posting itself logs go to the other sinks only.
    LogPostingScope posting;
    QueuedPost post;
    while (nextPost(state, post)) {
        postRecord(post.url, post.record, state.cancel);
        const size_t dropped = takeDroppedWhenDrained(state);
        if (dropped > 0) TWLOG(LOG_WARN, "Log post queue was full, dropped " << dropped << " records");
    }
}

DWORD WINAPI senderMain(void* parameter) {
    std::unique_ptr<SenderStart> start(static_cast<SenderStart*>(parameter));
    const HMODULE module = start->module;
    try {
        runSender(*start->state);
    } catch (...) {
        // Out of memory while posting: the sink goes quiet; nothing may leave the thread.
    }
    start.reset();
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
}

// A logger inside a library keeps that library loaded while its sender runs,
// so an unload can never pull the code from under a post that was cut short
// too slowly.
HMODULE pinOwnModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&senderMain),
                            &module)) {
        return nullptr;
    }
    if (module == GetModuleHandleW(nullptr)) return nullptr;  // the program itself is never unloaded
    return module;
}

// Caller holds g_senderLock.
bool startSenderLocked() {
    auto state = std::make_shared<SenderState>(g_limits);
    auto start = std::make_unique<SenderStart>(SenderStart{state, pinOwnModule()});
    const HANDLE thread = CreateThread(nullptr, 0, &senderMain, start.get(), 0, nullptr);
    if (thread == nullptr) {
        if (start->module != nullptr) FreeLibrary(start->module);
        return false;
    }
    start.release();
    g_sender = std::move(state);
    g_senderThread = thread;
    return true;
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
        if (state->queue.size() >= state->limits.records ||
            state->queuedBytes + record.size() > state->limits.bytes) {
            ++state->dropped;
            return;
        }
        state->queuedBytes += record.size();
        state->queue.push_back(QueuedPost{url, std::move(record)});
    }
    state->changed.notify_one();
}

void stopLogPosts(std::chrono::milliseconds bound) {
    std::shared_ptr<SenderState> state;
    HANDLE thread = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_senderLock);
        g_refused = true;
        state = std::move(g_sender);
        thread = std::exchange(g_senderThread, nullptr);
    }
    if (!state) return;
    {
        std::lock_guard<std::mutex> lock(state->lock);
        state->stopping = true;
        state->queue.clear();
        state->queuedBytes = 0;
    }
    state->changed.notify_all();
    state->cancel.cancel();
    // A stop from a line the sender itself logs must not wait for itself.
    if (GetThreadId(thread) != GetCurrentThreadId()) WaitForSingleObject(thread, static_cast<DWORD>(bound.count()));
    CloseHandle(thread);
}

void armLogPosts() {
    std::lock_guard<std::mutex> lock(g_senderLock);
    g_refused = false;
}

void setLogPostLimits(LogPostLimits limits) {
    std::lock_guard<std::mutex> lock(g_senderLock);
    g_limits = limits;
}

}  // namespace twlogger_detail
