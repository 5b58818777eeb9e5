// Socket helpers of the loopback bus and the check that a loopback TCP peer is
// one of the agent's own programs.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include "utils/win/scopedHandle.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// ioctlsocket(FIONBIO, 1); true when it succeeded.
bool setNonBlocking(SOCKET socket);
// Hook on the bus's listening socket, called after setNonBlocking.
void prepareSocket(SOCKET socket);

// Which of the agent's programs a peer must be.
inline constexpr int PEER_TRAY_PROGRAM = 10;   // <Path>Quillmark Agent\twptray.exe
inline constexpr int PEER_AGENT_PROGRAM = 11;  // <Path>Quillmark Agent\twpagent.exe (raises SeDebugPrivilege)

// One row of the IPv4 TCP table; addresses and ports in host order.
struct TcpConnectionRow {
    uint32_t localAddress = 0;
    uint16_t localPort = 0;
    uint32_t remoteAddress = 0;
    uint16_t remotePort = 0;
    DWORD state = 0;  // MIB_TCP_STATE_*
    DWORD owningPid = 0;
    // When the connection was made, as a FILETIME count; 0 where the system
    // does not say.
    ULONGLONG createdAt = 0;
};

// Fills a MIB_TCPTABLE_OWNER_MODULE as GetExtendedTcpTable does; tests
// substitute a table that grows under the reader.
using TcpTableSource = std::function<DWORD(void* table, DWORD* size)>;
// The system's IPv4 table with owners and creation times, sorted.
DWORD readSystemTcpTable(void* table, DWORD* size);

// The system's IPv4 TCP table. False when it cannot be read; nothing is
// logged.
bool readTcpTable(std::vector<TcpConnectionRow>& rows, const TcpTableSource& source = readSystemTcpTable);

// The row of the connecting side of an established loopback connection:
// local 127.0.0.1:peerPort, remote 127.0.0.1:serverPort, state established.
// Null when no row matches.
const TcpConnectionRow* findPeerRow(const std::vector<TcpConnectionRow>& rows, uint16_t peerPort,
                                    uint16_t serverPort);

// The process owning the connecting end (127.0.0.1:peerPort) of an
// established connection to 127.0.0.1:serverPort, and when the connection was
// made.
struct PortOwner {
    DWORD pid = 0;
    // A FILETIME count; 0 where the system does not say.
    ULONGLONG connectedAt = 0;
};
// The production finder reads the TCP table; a test substitutes its own where
// the system reports no owners or times.
using PortOwnerFinder = std::function<bool(uint16_t peerPort, uint16_t serverPort, PortOwner& owner)>;
bool findPortOwnerInTcpTable(uint16_t peerPort, uint16_t serverPort, PortOwner& owner);

// What a check found, for a caller that reports refusals itself and counts
// the connections of each owner.
struct PeerFindings {
    // The owner found; 0 when none was.
    DWORD pid = 0;
    // The owner's program file, "pid N" when it could not be read, empty when
    // no owner was found.
    std::string program;
    // The check's own level-3 text; empty when it had none.
    std::string reason;
};

// Whether the process at the other end of the accepted connection from
// 127.0.0.1:peerPort to our 127.0.0.1:serverPort runs the program selected by
// mode (PEER_TRAY_PROGRAM or PEER_AGENT_PROGRAM). A process created after the
// connection was made (after the check began, where the system does not say
// when that was) cannot own it. Every failure answers false; with `findings`
// given, the check's level-3 lines go there instead of the log.
bool isPeerAgentProcess(uint16_t peerPort, uint16_t serverPort, int mode,
                        const PortOwnerFinder& findOwner = findPortOwnerInTcpTable, PeerFindings* findings = nullptr);

// The full path of the program file a process was started from, however long,
// as the kernel records it. The process needs PROCESS_QUERY_LIMITED_INFORMATION.
// firstGuess (characters) is the first buffer tried. False when it cannot be
// read.
bool readProcessImagePath(HANDLE process, std::wstring& path, DWORD firstGuess = MAX_PATH);

// The state of one peer check; lives on the stack of isPeerAgentProcess.
class PortOwnerLookup {
public:
    PortOwnerLookup(uint16_t peerPort, uint16_t serverPort, int mode, PortOwnerFinder findOwner,
                    PeerFindings* findings = nullptr);
    ~PortOwnerLookup();
    PortOwnerLookup(const PortOwnerLookup&) = delete;
    PortOwnerLookup& operator=(const PortOwnerLookup&) = delete;

    // Enables or disables one privilege of the token. False (with a level-3
    // line) when it could not, also when the token lacks the privilege.
    static bool setPrivilege(HANDLE token, const wchar_t* privilege, bool enable);
    // Finds the owner of the peer's end and checks its program.
    bool findPortOwner();
    // Whether the owner runs the program the mode selects, compared by full
    // image path without regard to case, and existed when it connected.
    bool isAgentProcess(const PortOwner& owner);

private:
    bool expectedProgramPath(std::string& path);
    bool createdBeforeTheConnection(const PortOwner& owner);
    void raiseDebugPrivilege();
    void dropDebugPrivilege();
    void refuse(const std::string& reason);

    uint16_t peerPort_;
    uint16_t serverPort_;
    int mode_;
    PortOwnerFinder findOwner_;
    PeerFindings* findings_;
    ULONGLONG checkBegan_ = 0;
    UniqueHandle process_;
    UniqueHandle token_;
};
