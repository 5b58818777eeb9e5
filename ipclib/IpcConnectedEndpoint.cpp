#include "ipclib/IpcConnectedEndpoint.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "ipclib/ipcMessage.h"
#include "utils/twlogger.h"

namespace {

OutFrame buildFrame(const std::string& body) {
    OutFrame frame;
    frame.bytes.resize(4 + body.size());
    const uint32_t length = htonl(static_cast<uint32_t>(body.size()));
    std::memcpy(frame.bytes.data(), &length, 4);
    std::memcpy(frame.bytes.data() + 4, body.data(), body.size());
    return frame;
}

int sendRest(SOCKET socket, const OutFrame& frame) {
    const size_t rest = frame.bytes.size() - frame.sent;
    return ::send(socket, frame.bytes.data() + frame.sent, static_cast<int>(rest), 0);
}

// A short string lives inside the object itself and allocates nothing.
size_t allocatedBy(const std::string& buffer) {
    static const size_t inside = std::string().capacity();
    return buffer.capacity() > inside ? buffer.capacity() : 0;
}

long long millisBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

}  // namespace

IpcConnectedEndpoint::IpcConnectedEndpoint(SOCKET socket, IIpcRunner* runner, IIpcEndpointListener* listener,
                                           uint16_t peerPort, uint16_t addressFamily, const char* peerAddress)
    : IpcEndpoint(socket, runner, listener),
      budget_(runner != nullptr ? &runner->budget() : nullptr),
      peerPort_(peerPort),
      addressFamily_(addressFamily) {
    if (peerAddress != nullptr) strncpy(peerAddress_, peerAddress, sizeof(peerAddress_) - 1);
}

// Forgotten by the budget first, so that no other connection's send can pick
// this one to cut off while it goes.
IpcConnectedEndpoint::~IpcConnectedEndpoint() {
    if (budget_ != nullptr) budget_->forget(this);
}

const IpcLimits& IpcConnectedEndpoint::limits() const {
    static const IpcLimits defaults;
    return runner_ != nullptr ? runner_->limits() : defaults;
}

void IpcConnectedEndpoint::onRegistered() {
    if (listener_ != nullptr) listener_->onConnect(this);
}

bool IpcConnectedEndpoint::wantRead() { return !disconnected_ && !deliveryWaiting_; }

// Once reported gone, the socket is not polled at all: a writable dead socket
// would wake the loop on every pass until the endpoint is deleted, and for
// ever without a listener to remove it.
bool IpcConnectedEndpoint::wantWrite() {
    if (disconnected_) return false;
    std::lock_guard<std::mutex> lock(sendLock_);
    return !sendQueue_.empty();
}

bool IpcConnectedEndpoint::hasPendingFailure() { return sendFailed_ && !disconnected_; }

// Frames that have just begun to wait count as being taken; a peer that has
// taken nothing of them for a while is left to the budget and the send stall,
// and nobody waits for it.
bool IpcConnectedEndpoint::isTakingQueuedFrames() {
    std::lock_guard<std::mutex> lock(sendLock_);
    Clock::time_point since;
    return !sendFailed_ && sendProgress_.waiting(since) && Clock::now() - since < limits().budgetStall;
}

// The same road as a cut-off: what waits for the peer is dropped and the
// connection reported gone at the next pass.
void IpcConnectedEndpoint::displace() {
    sendFailed_ = true;
    if (runner_ != nullptr) runner_->wake();
}

// Called with the budget's lock held, possibly on a thread that holds
// another connection's send lock: only flags and the wake-up.
void IpcConnectedEndpoint::cutOff(size_t heldBytes, size_t budgetBytes) {
    const long long stalled = millisBetween(stalledSince(), Clock::now());
    TWLOG(LOG_WARN, "Peer on port " << peerPort_ << " holds " << heldBytes << " bytes and has made no progress for "
                                    << stalled << " ms, the longest of all; the bus holds " << budgetBytes
                                    << " bytes for its peers, closing connection.");
    sendFailed_ = true;
    if (runner_ != nullptr) runner_->wake();
}

// The older of the two sides' marks: a peer that reads but leaves its own
// frame unfinished is stalled all the same.
std::chrono::steady_clock::time_point IpcConnectedEndpoint::stalledSince() const {
    auto stalled = Clock::time_point::max();
    Clock::time_point since;
    if (receiveProgress_.waiting(since)) stalled = since;
    if (sendProgress_.waiting(since)) stalled = std::min(stalled, since);
    return stalled;
}

bool IpcConnectedEndpoint::onReadReady() {
    if (disconnected_) return false;
    if (!receivingBody_) {
        if (!readHeader()) return false;
        if (!receivingBody_) return true;
    }
    return readBody();
}

bool IpcConnectedEndpoint::readHeader() {
    const int n = ::recv(socket_.get(), header_ + headerBytes_, static_cast<int>(4 - headerBytes_), 0);
    if (n < 0 && socketWouldBlock()) return true;
    if (n <= 0) {
        // A close between frames is the normal end of a connection.
        if (headerBytes_ == 0) return reportDisconnect();
        return failRead(n);
    }
    if (headerBytes_ == 0) receiveProgress_.mark(Clock::now());
    headerBytes_ += static_cast<size_t>(n);
    if (headerBytes_ < 4) return true;

    uint32_t length = 0;
    std::memcpy(&length, header_, 4);
    length = ntohl(length);
    headerBytes_ = 0;
    if (length > kMaxFrameLength) {
        if (listener_ != nullptr)
            TWLOG(LOG_WARN, "IpcConnectedEndpoint::onReadReady() frame length " << length << " exceeds "
                                << kMaxFrameLength << ", closing connection from port " << peerPort_);
        return reportDisconnect();
    }
    expectedLength_ = length;
    receivingBody_ = true;
    return true;
}

// One receive of at most the read share; the buffer it lands in counts in
// the budget, at the size allocated, like what waits to be sent.
bool IpcConnectedEndpoint::readBody() {
    if (receiveBuffer_.size() < expectedLength_) {
        const size_t missing = expectedLength_ - receiveBuffer_.size();
        const size_t offset = receiveBuffer_.size();
        receiveBuffer_.resize(offset + std::min(missing, kReadShare));
        if (!budgetReceiveBuffers()) {
            TWLOG(LOG_WARN, "Peer on port " << peerPort_ << " sends more than the bus holds for its peers ("
                                            << budget_->used() << " bytes), closing connection.");
            receiveBuffer_.resize(offset);
            return reportDisconnect();
        }
        const int n =
            ::recv(socket_.get(), &receiveBuffer_[offset], static_cast<int>(receiveBuffer_.size() - offset), 0);
        receiveBuffer_.resize(offset + static_cast<size_t>(std::max(n, 0)));
        if (n < 0 && socketWouldBlock()) return true;
        if (n <= 0) return failRead(n);
        receiveProgress_.moved(static_cast<size_t>(n), Clock::now());
    }
    if (receiveBuffer_.size() == expectedLength_) completeBody();
    return true;
}

bool IpcConnectedEndpoint::budgetReceiveBuffers() {
    const size_t held = allocatedBy(receiveBuffer_) + allocatedBy(delivery_);
    if (budget_ != nullptr) {
        if (held > receiveHeld_ && !budget_->reserve(this, held - receiveHeld_)) return false;
        if (held < receiveHeld_) budget_->release(this, receiveHeld_ - held);
    }
    receiveHeld_ = held;
    return true;
}

void IpcConnectedEndpoint::completeBody() {
    delivery_.swap(receiveBuffer_);
    receiveBuffer_.clear();
    receivingBody_ = false;
    expectedLength_ = 0;
    receiveProgress_.end();
    deliveryWaiting_ = true;
    deliveryWaitingSince_ = Clock::now();
}

bool IpcConnectedEndpoint::hasDelivery(size_t& bytes, Clock::time_point& since) {
    bytes = delivery_.size();
    since = deliveryWaitingSince_;
    return deliveryWaiting_;
}

// A connection cut off meanwhile has nothing more handled.
void IpcConnectedEndpoint::deliver() {
    if (!deliveryWaiting_) return;
    {
        std::string body;
        body.swap(delivery_);
        deliveryWaiting_ = false;
        if (listener_ != nullptr && !disconnected_ && !sendFailed_) listener_->onMessage(this, body);
    }
    budgetReceiveBuffers();
}

bool IpcConnectedEndpoint::failRead(int result) {
    if (listener_ != nullptr) TWLOG(LOG_WARN, "IpcConnectedEndpoint::onReadReady() failure bytesread: " << result);
    return reportDisconnect();
}

bool IpcConnectedEndpoint::reportDisconnect() {
    if (!disconnected_ && listener_ != nullptr) {
        disconnected_ = true;
        listener_->onDisconnect(this);
    }
    disconnected_ = true;
    return false;
}

std::chrono::steady_clock::time_point IpcConnectedEndpoint::resumeAt() const {
    auto due = Clock::time_point::max();
    if (disconnected_) return due;
    Clock::time_point since;
    if (receiveProgress_.waiting(since)) due = since + limits().frameStall;
    if (sendProgress_.waiting(since)) due = std::min(due, since + limits().sendStall);
    return due;
}

void IpcConnectedEndpoint::onDeadline() {
    if (disconnected_) return;
    const auto now = Clock::now();
    Clock::time_point since;
    if (receiveProgress_.waiting(since) && now - since >= limits().frameStall) {
        TWLOG(LOG_WARN, "IpcConnectedEndpoint::onReadReady() frame from port " << peerPort_ << " stopped arriving for "
                            << millisBetween(since, now) << " ms, closing connection.");
        reportDisconnect();
        return;
    }
    if (!sendProgress_.waiting(since) || now - since < limits().sendStall) return;
    TWLOG(LOG_WARN, "Peer on port " << peerPort_ << " took nothing of what waits for it for "
                                    << millisBetween(since, now) << " ms, closing connection.");
    {
        std::lock_guard<std::mutex> lock(sendLock_);
        markSendFailed();
    }
    reportDisconnect();
}

bool IpcConnectedEndpoint::sendMessage(const IIpcMessage& message) {
    TWLOG(LOG_DEBUG, "Requested sendMessage of type " << message.typeName());
    std::string body;
    try {
        if (!serializeIpcMessage(message, body)) return false;
    } catch (const std::exception& e) {
        TWLOG(LOG_ERROR, "Failed to serialize " << message.typeName() << ": " << e.what());
        return false;
    }
    if (!sendBody(body)) return false;
    TWLOG(LOG_DEBUG, "Sent IPC message " << bodyExcerpt(body));
    return true;
}

bool IpcConnectedEndpoint::sendBody(const std::string& body) {
    if (body.size() > kMaxQueuedBytes) {
        TWLOG(LOG_ERROR, "Send message failure: body of " << body.size() << " bytes is too large.");
        return false;
    }
    std::lock_guard<std::mutex> lock(sendLock_);
    if (sendFailed_) {
        // Cut off by the budget: what waited is freed now, not at the loop's
        // next pass.
        releaseQueue();
        return false;
    }
    if (sendQueue_.empty()) return sendFirstFrame(body);
    return pushFrame(buildFrame(body));
}

// Header and body leave in one send, so a small frame is never split into a
// 4-byte segment that waits for the peer's delayed acknowledgement.
bool IpcConnectedEndpoint::sendFirstFrame(const std::string& body) {
    OutFrame frame = buildFrame(body);
    const int n = sendRest(socket_.get(), frame);
    if (n < 0 && !socketWouldBlock()) {
        TWLOG(LOG_ERROR, "Send message length failure.");
        markSendFailed();
        return false;
    }
    if (n == static_cast<int>(frame.bytes.size())) return true;
    frame.sent = n > 0 ? static_cast<uint32_t>(n) : 0;
    return pushFrame(std::move(frame));
}

// A peer that does not read would otherwise make the service hold whatever is
// sent to it; cutting it off frees what waits for it.
bool IpcConnectedEndpoint::pushFrame(OutFrame&& frame) {
    const size_t size = frame.bytes.size();
    if (queuedBytes_ + size > kMaxQueuedBytes) {
        TWLOG(LOG_WARN, "Peer on port " << peerPort_ << " does not read; " << queuedBytes_
                                        << " bytes wait for it, closing connection.");
        markSendFailed();
        return false;
    }
    if (budget_ != nullptr && !budget_->reserve(this, size)) {
        TWLOG(LOG_WARN, "Peer on port " << peerPort_ << " does not read; the bus holds " << budget_->used()
                                        << " bytes for its peers, closing connection.");
        markSendFailed();
        return false;
    }
    if (sendQueue_.empty()) sendProgress_.mark(Clock::now());
    queuedBytes_ += size;
    sendQueue_.push_back(std::move(frame));
    // The loop may sleep with this socket outside its write set.
    if (runner_ != nullptr) runner_->wake();
    return true;
}

void IpcConnectedEndpoint::popFrame() {
    const size_t size = sendQueue_.front().bytes.size();
    sendQueue_.pop_front();
    queuedBytes_ -= size;
    if (budget_ != nullptr) budget_->release(this, size);
}

void IpcConnectedEndpoint::releaseQueue() {
    sendQueue_.clear();
    if (budget_ != nullptr) budget_->release(this, queuedBytes_);
    queuedBytes_ = 0;
    sendProgress_.end();
}

void IpcConnectedEndpoint::markSendFailed() {
    releaseQueue();
    sendFailed_ = true;
    if (runner_ != nullptr) runner_->wake();
}

bool IpcConnectedEndpoint::onWriteReady() {
    if (disconnected_) return false;
    std::unique_lock<std::mutex> lock(sendLock_);
    Clock::time_point since;
    while (!sendFailed_ && !sendQueue_.empty()) {
        OutFrame& frame = sendQueue_.front();
        const int n = sendRest(socket_.get(), frame);
        if (n == 0 || (n < 0 && socketWouldBlock())) return true;
        if (n < 0) {
            if (listener_ != nullptr) TWLOG(LOG_WARN, "IpcConnectedEndpoint::onWriteReady() failure sent: " << n);
            markSendFailed();
            break;
        }
        frame.sent += static_cast<uint32_t>(n);
        const auto now = Clock::now();
        sendProgress_.moved(static_cast<size_t>(n), now);
        if (frame.sent == frame.bytes.size()) {
            popFrame();
            sendProgress_.mark(now);
        }
    }
    if (sendQueue_.empty() && sendProgress_.waiting(since)) {
        sendProgress_.end();
        if (runner_ != nullptr) runner_->sendQueueDrained();
    }
    if (!sendFailed_) return true;
    // A connection cut off by the budget still holds its queue.
    releaseQueue();
    lock.unlock();
    return reportDisconnect();
}
