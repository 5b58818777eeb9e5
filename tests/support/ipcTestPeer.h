// Real Winsock clients of the loopback bus and a stand-in for the agent's tray
// program, for the bus's tests.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "support/childProcesses.h"
#include "support/testUtil.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/sockhelper.h"

namespace testutil {

// The 4-byte big-endian length and the body.
std::string frameOf(const std::string& body);

// A blocking TCP client on 127.0.0.1. Every wait is bounded.
class IpcTestPeer {
public:
    IpcTestPeer();
    ~IpcTestPeer();
    IpcTestPeer(const IpcTestPeer&) = delete;
    IpcTestPeer& operator=(const IpcTestPeer&) = delete;

    bool connectTo(uint16_t port);
    uint16_t localPort() const;
    SOCKET socket() const { return socket_; }

    bool sendRaw(const std::string& bytes);
    bool sendFrame(const std::string& body) { return sendRaw(frameOf(body)); }
    // Exactly n bytes, or false at the time-out or the end of the stream.
    bool readExactly(size_t n, std::string& out, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool readFrame(std::string& body, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Whether the other side closed (end of stream or reset) within the time;
    // bytesBefore receives what arrived before that.
    bool waitClosed(std::string& bytesBefore, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Whether nothing arrives within the time.
    bool staysSilent(std::chrono::milliseconds time);
    void close();

private:
    bool waitReadable(std::chrono::milliseconds timeout);

    SOCKET socket_;
};

// A copy of idleprogram.exe running as <Path>Quillmark Agent\twptray.exe, with
// the machine setting "Path" pointing at its folder. ownerFinder() maps every
// port to this process, as the TCP table does on Windows (Wine reports owner 0).
class TrayStandIn {
public:
    TrayStandIn();
    ~TrayStandIn();
    TrayStandIn(const TrayStandIn&) = delete;
    TrayStandIn& operator=(const TrayStandIn&) = delete;

    DWORD pid() const { return pid_; }
    // Another process of the same program (the tray of another session);
    // ended with the stand-in. Its id, 0 when it did not start.
    DWORD startAnother();
    PortOwnerFinder ownerFinder() const;
    // A finder that names the test process itself: not the tray program.
    static PortOwnerFinder foreignOwnerFinder();

private:
    bool runsItsProgram() const;

    MachineSettingsSandbox settings_;
    TempDir dir_;
    std::string program_;
    UniqueHandle process_;
    DWORD pid_ = 0;
    ChildProcesses others_;
};

}  // namespace testutil
