#include "fakeRuntime.h"

#include <algorithm>
#include <sstream>

#include "utils/configKeys.h"
#include "utils/win/localconfig.h"

namespace fakert {

namespace {

FakeObject* g_running = nullptr;

std::string baseName(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

PALVANE_SERVICE::Ipalvane* fakeConstructor() {
    Runtime& state = runtime();
    std::string name;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        name = state.constructing;
    }
    state.journal.add("Constructor " + name);
    return new FakeObject(name);
}

void fakeDestructor(PALVANE_SERVICE::Ipalvane* object) {
    auto* fake = static_cast<FakeObject*>(object);
    Runtime& state = runtime();
    state.journal.add("Destructor " + (fake ? fake->name() : std::string("null")));
    if (!state.drainCallbackThreads(std::chrono::seconds(10))) {
        state.journal.add("Destructor blocked by a callback thread");
    }
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (g_running == fake) g_running = nullptr;
    }
    delete fake;
}

}  // namespace

void Journal::add(const std::string& event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.emplace_back(event, std::chrono::steady_clock::now());
    }
    changed_.notify_all();
}

std::vector<std::string> Journal::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const auto& entry : events_) names.push_back(entry.first);
    return names;
}

size_t Journal::count(const std::string& event) const {
    const std::vector<std::string> all = events();
    return static_cast<size_t>(std::count(all.begin(), all.end(), event));
}

int Journal::indexOf(const std::string& event) const {
    const std::vector<std::string> all = events();
    const auto found = std::find(all.begin(), all.end(), event);
    return found == all.end() ? -1 : static_cast<int>(found - all.begin());
}

bool Journal::waitFor(const std::string& event, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::any_of(events_.begin(), events_.end(), [&](const auto& entry) { return entry.first == event; });
    });
}

std::chrono::steady_clock::time_point Journal::timeOf(const std::string& event) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : events_) {
        if (entry.first == event) return entry.second;
    }
    return std::chrono::steady_clock::time_point();
}

std::string Journal::text() const {
    std::ostringstream out;
    for (const std::string& event : events()) out << event << "\n";
    return out.str();
}

void Journal::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

Runtime& runtime() {
    static Runtime state;
    return state;
}

void Runtime::reset() {
    drainCallbackThreads(std::chrono::seconds(10));
    journal.clear();
    std::lock_guard<std::mutex> lock(mutex);
    failingLoads.clear();
    swapped.clear();
    failingStarts.clear();
    blockedAt.clear();
    released = false;
    constructing.clear();
    g_running = nullptr;
}

void Runtime::release() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
    }
    releaseSignal.notify_all();
}

void Runtime::enter(const std::string& event) {
    journal.add(event);
    std::unique_lock<std::mutex> lock(mutex);
    if (blockedAt != event) return;
    releaseSignal.wait_for(lock, std::chrono::seconds(10), [&] { return released; });
    journal.add(event + " released");
}

bool Runtime::callBackFromRuntimeThread() {
    std::lock_guard<std::mutex> lock(mutex);
    if (g_running == nullptr) return false;
    FakeObject* object = g_running;
    auto done = std::make_shared<std::atomic<bool>>(false);
    callbackThreads.push_back({std::thread([object, done] {
                                   object->callBack();
                                   *done = true;
                               }),
                               done});
    return true;
}

bool Runtime::drainCallbackThreads(std::chrono::milliseconds timeout) {
    std::vector<CallbackThread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex);
        threads.swap(callbackThreads);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool finished = true;
    for (CallbackThread& entry : threads) {
        // Bounded: a callback thread the host blocked must fail the test, not hang it.
        while (!*entry.done && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (*entry.done) {
            entry.thread.join();
        } else {
            finished = false;
            entry.thread.detach();
        }
    }
    return finished;
}

void FakeObject::StartMonitoring(PALVANE_SERVICE::ReloadCallback callback) {
    runtime().enter("StartMonitoring " + name_);
    callback_ = callback;
    std::lock_guard<std::mutex> lock(runtime().mutex);
    if (runtime().failingStarts.count(name_)) localConfig(false).setString(configKeys::DLL_START_FAILED, "true");
    g_running = this;
}

void FakeObject::StopMonitoring() {
    runtime().enter("StopMonitoring " + name_);
    bool startBlocked = false;
    {
        std::lock_guard<std::mutex> lock(runtime().mutex);
        startBlocked = runtime().blockedAt == "StartMonitoring " + name_;
    }
    if (startBlocked) runtime().release();
}

void FakeObject::callBack() const {
    const auto began = std::chrono::steady_clock::now();
    callback_();
    const auto took = std::chrono::steady_clock::now() - began;
    std::ostringstream text;
    text << "callback returned " << name_ << " "
         << (took < std::chrono::milliseconds(1000) ? "promptly" : "late");
    runtime().journal.add(text.str());
}

FakeObject* runningObject() {
    std::lock_guard<std::mutex> lock(runtime().mutex);
    return g_running;
}

FakeLoader::FakeLoader(const std::string& path) : name_(baseName(path)) {
    runtime().journal.add("path " + path);
}

bool FakeLoader::load() {
    Runtime& state = runtime();
    state.enter("load " + name_);
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.failingLoads.count(name_) != 0) return false;
    loaded_ = true;
    return true;
}

void* FakeLoader::symbol(const char* name) {
    if (!loaded_) return nullptr;
    const std::string wanted = name;
    if (wanted == PALVANE_SERVICE::kConstructorExport) {
        std::lock_guard<std::mutex> lock(runtime().mutex);
        runtime().constructing = name_;
        return reinterpret_cast<void*>(&fakeConstructor);
    }
    if (wanted == PALVANE_SERVICE::kDestructorExport) return reinterpret_cast<void*>(&fakeDestructor);
    return nullptr;
}

bool FakeLoader::close() {
    runtime().journal.add("close " + name_);
    const bool wasLoaded = loaded_;
    loaded_ = false;
    return wasLoaded;
}

std::unique_ptr<libloader::ILibLoader> makeLoader(const std::string& path) {
    return std::make_unique<FakeLoader>(path);
}

}  // namespace fakert
