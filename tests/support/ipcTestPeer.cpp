#include "support/ipcTestPeer.h"

#include <gtest/gtest.h>

#include <ws2tcpip.h>

#include <cstring>
#include <vector>

#include "utils/configKeys.h"

namespace testutil {

std::string frameOf(const std::string& body) {
    const uint32_t length = htonl(static_cast<uint32_t>(body.size()));
    std::string frame(reinterpret_cast<const char*>(&length), 4);
    return frame + body;
}

IpcTestPeer::IpcTestPeer() : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {}

IpcTestPeer::~IpcTestPeer() { close(); }

void IpcTestPeer::close() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
}

bool IpcTestPeer::connectTo(uint16_t port) {
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(socket_, reinterpret_cast<sockaddr*>(&server), sizeof(server)) == 0;
}

uint16_t IpcTestPeer::localPort() const {
    sockaddr_in address = {};
    int length = sizeof(address);
    if (getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

bool IpcTestPeer::sendRaw(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const int n = ::send(socket_, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool IpcTestPeer::waitReadable(std::chrono::milliseconds timeout) {
    fd_set read;
    FD_ZERO(&read);
    FD_SET(socket_, &read);
    timeval wait = {static_cast<long>(timeout.count() / 1000), static_cast<long>((timeout.count() % 1000) * 1000)};
    return ::select(0, &read, nullptr, nullptr, &wait) == 1;
}

bool IpcTestPeer::readExactly(size_t n, std::string& out, std::chrono::milliseconds timeout) {
    out.clear();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<char> chunk(64 * 1024);
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(left)) return false;
        const int got = ::recv(socket_, chunk.data(), static_cast<int>(std::min(chunk.size(), n - out.size())), 0);
        if (got <= 0) return false;
        out.append(chunk.data(), static_cast<size_t>(got));
    }
    return true;
}

bool IpcTestPeer::readFrame(std::string& body, std::chrono::milliseconds timeout) {
    std::string header;
    if (!readExactly(4, header, timeout)) return false;
    uint32_t length = 0;
    std::memcpy(&length, header.data(), 4);
    return readExactly(ntohl(length), body, timeout);
}

bool IpcTestPeer::waitClosed(std::string& bytesBefore, std::chrono::milliseconds timeout) {
    bytesBefore.clear();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char chunk[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(left)) return false;
        const int got = ::recv(socket_, chunk, sizeof(chunk), 0);
        if (got <= 0) return true;
        bytesBefore.append(chunk, static_cast<size_t>(got));
    }
}

bool IpcTestPeer::staysSilent(std::chrono::milliseconds time) { return !waitReadable(time); }

TrayStandIn::TrayStandIn() {
    const std::string folder = dir_.path() + "Quillmark Agent";
    CreateDirectoryA(folder.c_str(), nullptr);
    program_ = folder + "\\twptray.exe";
    CopyFileA((exeDirectoryA() + "idleprogram.exe").c_str(), program_.c_str(), FALSE);
    settings_.set(configKeys::PATH, dir_.path());

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::string commandLine = "\"" + program_ + "\" 60000";
    if (CreateProcessA(program_.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info)) {
        CloseHandle(info.hThread);
        process_.reset(info.hProcess);
        pid_ = info.dwProcessId;
    }
    // The tests' connections are admitted only while the stand-in's image
    // path can be read; a process that failed to start is reported here.
    EXPECT_TRUE(waitUntil([this] { return runsItsProgram(); })) << "the tray stand-in did not start";
}

bool TrayStandIn::runsItsProgram() const {
    std::wstring path;
    return process_ && readProcessImagePath(process_.get(), path);
}

DWORD TrayStandIn::startAnother() { return others_.start(std::wstring(program_.begin(), program_.end()), L"60000"); }

TrayStandIn::~TrayStandIn() {
    if (process_) {
        TerminateProcess(process_.get(), 0);
        WaitForSingleObject(process_.get(), 5000);
    }
}

PortOwnerFinder TrayStandIn::ownerFinder() const {
    const DWORD pid = pid_;
    return [pid](uint16_t, uint16_t, PortOwner& owner) {
        owner.pid = pid;
        return true;
    };
}

PortOwnerFinder TrayStandIn::foreignOwnerFinder() {
    return [](uint16_t, uint16_t, PortOwner& owner) {
        owner.pid = GetCurrentProcessId();
        return true;
    };
}

}  // namespace testutil
