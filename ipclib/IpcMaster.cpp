// Winsock's socket sets hold 64 sockets unless told otherwise before its
// header is read; the bus serves more connections than that.
#define FD_SETSIZE 128

#include "ipclib/IpcMaster.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>

#include "ipclib/IpcEndpoint.h"
#include "ipclib/IpcServerEndpoint.h"
#include "ipclib/ipcMessage.h"
#include "utils/twlogger.h"
#include "utils/win/sockhelper.h"

static_assert(FD_SETSIZE == IpcMaster::kSocketSetSize, "winsock2.h was read before FD_SETSIZE was raised");

class IpcMaster::SocketSets {
public:
    SocketSets() {
        FD_ZERO(&read);
        FD_ZERO(&write);
        FD_ZERO(&error);
    }
    fd_set read;
    fd_set write;
    fd_set error;
};

namespace {

[[noreturn]] void failWakePair(const char* call) {
    TWLOG(LOG_ERROR, call << " failed, error=" << WSAGetLastError());
    throw std::runtime_error(std::string("IPC wake-up pair: ") + call + " failed");
}

void bindToLoopback(SOCKET socket, sockaddr_in& address) {
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) failWakePair("bind()");
    int length = sizeof(address);
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) failWakePair("getsockname()");
}

void connectTo(SOCKET socket, const sockaddr_in& address) {
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        failWakePair("connect()");
}

void logUnexpected(const char* what) { TWLOG(LOG_ERROR, "Catch an unexpected exception" << what); }

}  // namespace

// The wake receiver takes a place in the sets beside the endpoints, among
// them connections that gave their place and are not deleted yet.
IpcMaster::IpcMaster(IpcLimits limits)
    : limits_(limits),
      budget_(limits.budgetBytes, limits.floorBytes, limits.budgetStall),
      maxEndpoints_(kSocketSetSize - 1) {
    openWakePair();
    loopThread_ = std::make_unique<std::thread>(&IpcMaster::runLoop, this);
    loopThreadId_ = loopThread_->get_id();
}

IpcMaster::~IpcMaster() {
    stopLoop();
    deleteAllEndpoints();
}

// Without the pair the loop could not notice a request made while no socket
// is ready, so a server without it is refused outright.
void IpcMaster::openWakePair() {
    wakeSender_.reset(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    wakeReceiver_.reset(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!wakeSender_ || !wakeReceiver_) failWakePair("socket()");
    if (!setNonBlocking(wakeSender_.get()) || !setNonBlocking(wakeReceiver_.get())) failWakePair("ioctlsocket()");
    sockaddr_in receiverAddress;
    sockaddr_in senderAddress;
    bindToLoopback(wakeReceiver_.get(), receiverAddress);
    bindToLoopback(wakeSender_.get(), senderAddress);
    connectTo(wakeSender_.get(), receiverAddress);
    // Datagrams from anyone but our own sender are then dropped by the stack.
    connectTo(wakeReceiver_.get(), senderAddress);
}

void IpcMaster::addEndpoint(IIpcEndpoint* endpoint) {
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        pending_.emplace_back(kAdd, endpoint);
        ++endpointCount_;
    }
    wake();
}

bool IpcMaster::addConnection(IIpcEndpoint* endpoint, unsigned long owner) {
    if (!admitsEndpoint()) return false;
    if (IIpcEndpoint* oldest = connectionToDisplace(owner)) displace(oldest);
    connections_[endpoint] = Connection{owner, ++admissions_, false};
    addEndpoint(endpoint);
    return true;
}

// The owner's own oldest when it holds its share; otherwise, when every place
// is taken, the oldest of the owners that hold the most.
IIpcEndpoint* IpcMaster::connectionToDisplace(unsigned long owner) const {
    std::map<unsigned long, size_t> held;
    size_t live = 0;
    for (const auto& [endpoint, connection] : connections_) {
        if (connection.displaced) continue;
        ++held[connection.owner];
        ++live;
    }
    const auto own = held.find(owner);
    const bool ownShareTaken = own != held.end() && own->second >= limits_.maxConnectionsPerProcess;
    if (!ownShareTaken && live < limits_.maxConnections) return nullptr;
    size_t most = 0;
    for (const auto& [holder, count] : held) most = std::max(most, count);
    IIpcEndpoint* oldest = nullptr;
    uint64_t oldestAdmitted = UINT64_MAX;
    for (const auto& [endpoint, connection] : connections_) {
        if (connection.displaced) continue;
        const bool candidate = ownShareTaken ? connection.owner == owner : held.at(connection.owner) == most;
        if (candidate && connection.admitted < oldestAdmitted) {
            oldest = endpoint;
            oldestAdmitted = connection.admitted;
        }
    }
    return oldest;
}

// A program that reconnects in a loop gives its place up every time: one line
// a minute for it, with the count.
void IpcMaster::displace(IIpcEndpoint* endpoint) {
    Connection& connection = connections_.at(endpoint);
    connection.displaced = true;
    const std::string owner = "pid " + std::to_string(connection.owner);
    displacements_.refused(owner, LOG_NOTICE, "A connection of " + owner + " gives its place to a newer one.");
    endpoint->displace();
}

void IpcMaster::removeEndpoint(IIpcEndpoint* endpoint) {
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        pending_.emplace_back(kRemove, endpoint);
    }
    wake();
}

void IpcMaster::wake() { ::send(wakeSender_.get(), "a", 1, 0); }

void IpcMaster::sendQueueDrained() { drained_.notify_all(); }

// A wake-up can come between the look and the wait: the wait is short and
// the look is repeated.
void IpcMaster::awaitReaders(std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    const auto readerWaiting = [this] {
        std::lock_guard<std::mutex> lock(endpointsLock_);
        return std::any_of(endpoints_.begin(), endpoints_.end(),
                           [](IIpcEndpoint* endpoint) { return endpoint->isTakingQueuedFrames(); });
    };
    while (!stop_ && std::chrono::steady_clock::now() < until && readerWaiting()) {
        std::unique_lock<std::mutex> lock(drainLock_);
        drained_.wait_for(lock, std::chrono::milliseconds(5));
    }
}

bool IpcMaster::admitsEndpoint() { return endpointCount_ < maxEndpoints_; }

bool IpcMaster::onLoopThread() const { return std::this_thread::get_id() == loopThreadId_.load(); }

void IpcMaster::requestStop() {
    stop_ = true;
    wake();
}

void IpcMaster::stopLoop() {
    if (!loopThread_) return;
    requestStop();
    loopThread_->join();
    loopThread_.reset();
}

// Serialised once, outside the lock, however many peers there are.
bool IpcMaster::broadcast(const IIpcMessage& message) {
    if (stop_) return true;
    std::string body;
    try {
        if (!serializeIpcMessage(message, body)) {
            TWLOG(LOG_ERROR, "Failed to send " << message.typeName());
            return false;
        }
    } catch (const std::exception& e) {
        logUnexpected((std::string(": ") + e.what()).c_str());
        return false;
    }
    return broadcastBody(body, message.typeName());
}

bool IpcMaster::broadcastBody(const std::string& body, const char* typeName) {
    if (stop_) return true;
    TWLOG(LOG_DEBUG, "Requested sendMessage of type " << typeName);
    // The loop thread holds the endpoint-set lock, which is not recursive.
    if (onLoopThread()) {
        logUnexpected("");
        return false;
    }
    try {
        size_t count = 0;
        size_t sent = 0;
        {
            std::lock_guard<std::mutex> lock(endpointsLock_);
            for (IIpcEndpoint* endpoint : endpoints_) {
                if (stop_) return true;
                if (dynamic_cast<IpcServerEndpoint*>(endpoint) != nullptr) continue;
                ++count;
                // One dead connection must not keep the message from the others.
                if (endpoint->sendBody(body)) {
                    ++sent;
                } else {
                    TWLOG(LOG_ERROR, "Failed to send " << typeName);
                }
            }
        }
        // Logged once the peers are free to go on: a large body written to
        // the log must not hold them.
        if (count == 0) {
            TWLOG(LOG_ERROR, "Send to target is less than one, count=" << count);
            return false;
        }
        if (sent > 0) TWLOG(LOG_DEBUG, "Sent IPC message " << bodyExcerpt(body) << " to " << sent << " peers");
        return sent == count;
    } catch (const std::exception& e) {
        logUnexpected((std::string(": ") + e.what()).c_str());
        return false;
    } catch (...) {
        logUnexpected("");
        return false;
    }
}

void IpcMaster::runLoop() {
    loopThreadId_ = std::this_thread::get_id();
    unsigned selectFailures = 0;
    while (!stop_) {
        try {
            runPass(selectFailures);
        } catch (const std::exception& e) {
            logUnexpected((std::string(" in the IPC loop: ") + e.what()).c_str());
            backOff(1);
        } catch (...) {
            logUnexpected(" in the IPC loop");
            backOff(1);
        }
    }
}

namespace {

// Until resumeAt, rounded up to whole milliseconds; null (no time-out) when
// nothing is to be resumed.
timeval* timeoutUntil(std::chrono::steady_clock::time_point resumeAt, timeval& timeout) {
    if (resumeAt == std::chrono::steady_clock::time_point::max()) return nullptr;
    const auto now = std::chrono::steady_clock::now();
    long ms = 0;
    if (resumeAt > now) ms = static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(resumeAt - now).count());
    timeout = {ms / 1000, (ms % 1000) * 1000};
    return &timeout;
}

}  // namespace

void IpcMaster::runPass(unsigned& selectFailures) {
    SocketSets sets;
    auto resumeAt = std::chrono::steady_clock::time_point::max();
    const bool failurePending = fillSets(sets, resumeAt);
    // A failure waiting to be reported, or a body waiting to be handled, is
    // served at once; otherwise the loop sleeps until a socket is ready, a
    // wake byte arrives or an endpoint's time is due.
    if (failurePending) resumeAt = std::chrono::steady_clock::time_point::min();
    timeval timeout;
    const int ready = ::select(0, &sets.read, &sets.write, &sets.error, timeoutUntil(resumeAt, timeout));
    if (ready == SOCKET_ERROR) {
        if (selectFailures++ == 0) TWLOG(LOG_ERROR, "select() failed, error=" << WSAGetLastError());
        backOff(selectFailures);
        return;
    }
    selectFailures = 0;
    if (ready > 0 && FD_ISSET(wakeReceiver_.get(), &sets.read)) drainWakeReceiver();
    Deliveries deliveries = serveReady(sets);
    deliver(deliveries);
}

// Endpoint-set lock held. The requests are taken out first: an endpoint's
// registration calls the listener, which may queue requests of its own.
void IpcMaster::applyPending() {
    std::list<std::pair<int, IIpcEndpoint*>> requests;
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        requests.swap(pending_);
    }
    for (const auto& [operation, endpoint] : requests) {
        if (operation == kAdd) {
            if (endpoints_.insert(endpoint).second)
                registerEndpoint(endpoint);
            else
                --endpointCount_;
        } else if (operation == kRemove) {
            if (endpoints_.erase(endpoint) == 1) {
                connections_.erase(endpoint);
                delete endpoint;
                --endpointCount_;
            }
        }
    }
}

void IpcMaster::registerEndpoint(IIpcEndpoint* endpoint) {
    try {
        endpoint->onRegistered();
    } catch (const std::exception& e) {
        logUnexpected((std::string(" in the IPC loop: ") + e.what()).c_str());
    } catch (...) {
        logUnexpected(" in the IPC loop");
    }
}

// Returns whether an endpoint has a failure or a body waiting; resumeAt
// becomes the earliest time an endpoint wants the loop back.
bool IpcMaster::fillSets(SocketSets& sets, std::chrono::steady_clock::time_point& resumeAt) {
    FD_SET(wakeReceiver_.get(), &sets.read);
    bool servePending = false;
    std::lock_guard<std::mutex> lock(endpointsLock_);
    applyPending();
    for (IIpcEndpoint* endpoint : endpoints_) {
        const SOCKET socket = endpoint->getSocket();
        if (endpoint->wantRead()) {
            FD_SET(socket, &sets.read);
            FD_SET(socket, &sets.error);
        }
        if (endpoint->wantWrite()) {
            FD_SET(socket, &sets.write);
            FD_SET(socket, &sets.error);
        }
        size_t bytes = 0;
        std::chrono::steady_clock::time_point since;
        servePending = servePending || endpoint->hasPendingFailure() || endpoint->hasDelivery(bytes, since);
        resumeAt = std::min(resumeAt, endpoint->resumeAt());
    }
    return servePending;
}

// Bounded work per endpoint, the stop seen between endpoints; the bodies that
// are whole are only collected here, and handed over once the lock is
// released.
IpcMaster::Deliveries IpcMaster::serveReady(const SocketSets& sets) {
    Deliveries deliveries;
    std::lock_guard<std::mutex> lock(endpointsLock_);
    const auto now = std::chrono::steady_clock::now();
    for (IIpcEndpoint* endpoint : endpoints_) {
        if (stop_) break;
        try {
            serveOne(endpoint, sets, now);
            Delivery delivery{{}, 0, endpoint};
            if (endpoint->hasDelivery(delivery.bytes, delivery.since)) deliveries.push_back(delivery);
        } catch (const std::exception& e) {
            logUnexpected((std::string(" in the IPC loop: ") + e.what()).c_str());
        } catch (...) {
            logUnexpected(" in the IPC loop");
        }
    }
    return deliveries;
}

void IpcMaster::serveOne(IIpcEndpoint* endpoint, const SocketSets& sets, std::chrono::steady_clock::time_point now) {
    const SOCKET socket = endpoint->getSocket();
    if (endpoint->hasPendingFailure()) {
        endpoint->onWriteReady();
    } else if (FD_ISSET(socket, &sets.error)) {
        if (endpoint->wantRead())
            endpoint->onReadReady();
        else if (endpoint->wantWrite())
            endpoint->onWriteReady();
    } else {
        if (FD_ISSET(socket, &sets.read)) endpoint->onReadReady();
        if (FD_ISSET(socket, &sets.write)) endpoint->onWriteReady();
    }
    if (now >= endpoint->resumeAt()) endpoint->onDeadline();
}

// Without the set lock: parsing and handling a body hold neither a broadcast
// nor any other thread. Only this thread deletes endpoints, at the start of a
// pass, so each one collected is still there. Oldest first, within the pass's
// share: a stream of smaller bodies cannot keep a larger one waiting.
void IpcMaster::deliver(Deliveries& deliveries) {
    std::stable_sort(deliveries.begin(), deliveries.end(),
                     [](const Delivery& a, const Delivery& b) { return a.since < b.since; });
    size_t delivered = 0;
    for (const Delivery& delivery : deliveries) {
        if (stop_ || delivered >= kDeliveryShare) return;
        delivered += delivery.bytes + 1;
        try {
            delivery.endpoint->deliver();
        } catch (const std::exception& e) {
            logUnexpected((std::string(" in the IPC loop: ") + e.what()).c_str());
        } catch (...) {
            logUnexpected(" in the IPC loop");
        }
    }
}

void IpcMaster::drainWakeReceiver() {
    char bytes[256];
    while (::recv(wakeReceiver_.get(), bytes, sizeof(bytes), 0) > 0) {
    }
}

// A failing select is retried after a pause that grows to a second, never in
// a tight loop; stop still ends the wait at once.
void IpcMaster::backOff(unsigned selectFailures) {
    const auto until = std::chrono::steady_clock::now() + failurePause(selectFailures);
    while (!stop_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Each endpoint is owned once, whether registered or still waiting to be, and
// deleted once. Under the lock, so a broadcast that began before stop was set
// has finished with the endpoints and the wake pair first.
void IpcMaster::deleteAllEndpoints() {
    std::lock_guard<std::mutex> endpointsLock(endpointsLock_);
    wakeReceiver_.reset();
    wakeSender_.reset();
    std::lock_guard<std::mutex> pendingLock(pendingLock_);
    std::set<IIpcEndpoint*> owned(endpoints_);
    for (const auto& [operation, endpoint] : pending_) {
        if (operation == kAdd) owned.insert(endpoint);
    }
    pending_.clear();
    endpoints_.clear();
    connections_.clear();
    for (IIpcEndpoint* endpoint : owned) delete endpoint;
}
