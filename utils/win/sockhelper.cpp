#include "utils/win/sockhelper.h"

#include <iphlpapi.h>

#include <algorithm>

#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"
#include "utils/win/stringconv.h"

namespace {

constexpr uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1, host order
constexpr DWORD kFirstTableGuess = sizeof(MIB_TCPTABLE_OWNER_MODULE) + 64 * sizeof(MIB_TCPROW_OWNER_MODULE);
// The table is machine-wide and grows between the size query and the read
// while other programs open connections; one read can take a second under
// Wine, enough for hundreds of new rows. Asking for the size the system named
// again and again loses that race on a busy machine and refuses the peer, so
// each retry asks for twice what was last named.
constexpr int kTableReadAttempts = 8;
// Image paths can exceed MAX_PATH; the longest path Windows accepts is 32,767.
constexpr DWORD kLongestPath = 32768;

constexpr const char* kAgentFolder = "Quillmark Agent";
constexpr const char* kTrayProgram = "\\twptray.exe";
constexpr const char* kAgentProgram = "\\twpagent.exe";

TcpConnectionRow toRow(const MIB_TCPROW_OWNER_MODULE& row) {
    TcpConnectionRow result;
    result.localAddress = ntohl(row.dwLocalAddr);
    result.localPort = ntohs(static_cast<u_short>(row.dwLocalPort));
    result.remoteAddress = ntohl(row.dwRemoteAddr);
    result.remotePort = ntohs(static_cast<u_short>(row.dwRemotePort));
    result.state = row.dwState;
    result.owningPid = row.dwOwningPid;
    result.createdAt = static_cast<ULONGLONG>(row.liCreateTimestamp.QuadPart);
    return result;
}

ULONGLONG fileTimeNow() {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

ULONGLONG countOf(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool isPeerEnd(const TcpConnectionRow& row, uint16_t peerPort, uint16_t serverPort) {
    return row.localAddress == kLoopbackAddress && row.localPort == peerPort &&
           row.remoteAddress == kLoopbackAddress && row.remotePort == serverPort &&
           row.state == MIB_TCP_STATE_ESTAB;
}

bool samePathIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

}  // namespace

bool setNonBlocking(SOCKET socket) {
    u_long nonBlocking = 1;
    return ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

void prepareSocket(SOCKET) {}

// The owner-module table is the one that carries each connection's creation
// time; the module part of its rows is not used.
DWORD readSystemTcpTable(void* table, DWORD* size) {
    return GetExtendedTcpTable(table, size, TRUE, AF_INET, TCP_TABLE_OWNER_MODULE_ALL, 0);
}

bool readTcpTable(std::vector<TcpConnectionRow>& rows, const TcpTableSource& source) {
    DWORD size = kFirstTableGuess;
    // Rows hold 64-bit fields: the buffer is aligned for them.
    std::vector<ULONGLONG> buffer;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < kTableReadAttempts && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.assign(size / sizeof(ULONGLONG) + 1, 0);
        result = source(buffer.data(), &size);
        if (result == ERROR_INSUFFICIENT_BUFFER) size *= 2;
    }
    if (result != NO_ERROR) return false;
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_MODULE*>(buffer.data());
    if (table->dwNumEntries == 0) return false;
    rows.clear();
    rows.reserve(table->dwNumEntries);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) rows.push_back(toRow(table->table[i]));
    return true;
}

const TcpConnectionRow* findPeerRow(const std::vector<TcpConnectionRow>& rows, uint16_t peerPort,
                                    uint16_t serverPort) {
    for (const TcpConnectionRow& row : rows) {
        TWLOG(LOG_DEBUG, "Local port: " << row.localPort << " Remote port : " << row.remotePort);
        if (isPeerEnd(row, peerPort, serverPort)) return &row;
    }
    return nullptr;
}

// The kernel's record of the program the process was started from; the
// loader's module list, which GetModuleFileNameExW reads, lives in the
// process's own memory and the process can rewrite it. A buffer that is too
// small fails with ERROR_INSUFFICIENT_BUFFER, and is doubled.
bool readProcessImagePath(HANDLE process, std::wstring& path, DWORD firstGuess) {
    for (DWORD size = std::max<DWORD>(firstGuess, 1);; size = std::min(size * 2, kLongestPath)) {
        std::wstring buffer(size, L'\0');
        DWORD length = size;
        if (QueryFullProcessImageNameW(process, 0, &buffer[0], &length)) {
            buffer.resize(length);
            path = buffer;
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == kLongestPath) return false;
    }
}

bool findPortOwnerInTcpTable(uint16_t peerPort, uint16_t serverPort, PortOwner& owner) {
    std::vector<TcpConnectionRow> rows;
    if (!readTcpTable(rows)) return false;
    const TcpConnectionRow* row = findPeerRow(rows, peerPort, serverPort);
    if (row == nullptr) return false;
    owner.pid = row->owningPid;
    owner.connectedAt = row->createdAt;
    return true;
}

bool isPeerAgentProcess(uint16_t peerPort, uint16_t serverPort, int mode, const PortOwnerFinder& findOwner,
                        PeerFindings* findings) {
    PortOwnerLookup lookup(peerPort, serverPort, mode, findOwner, findings);
    return lookup.findPortOwner();
}

PortOwnerLookup::PortOwnerLookup(uint16_t peerPort, uint16_t serverPort, int mode, PortOwnerFinder findOwner,
                                 PeerFindings* findings)
    : peerPort_(peerPort),
      serverPort_(serverPort),
      mode_(mode),
      findOwner_(std::move(findOwner)),
      findings_(findings),
      checkBegan_(fileTimeNow()) {
    if (mode_ == PEER_AGENT_PROGRAM) raiseDebugPrivilege();
}

void PortOwnerLookup::refuse(const std::string& reason) {
    if (findings_ != nullptr) {
        findings_->reason += (findings_->reason.empty() ? "" : " ") + reason;
    } else {
        TWLOG(LOG_ERROR, reason);
    }
}

PortOwnerLookup::~PortOwnerLookup() {
    if (mode_ == PEER_AGENT_PROGRAM) dropDebugPrivilege();
}

void PortOwnerLookup::raiseDebugPrivilege() {
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token_.receive())) {
        setPrivilege(token_.get(), SE_DEBUG_NAME, true);
    }
}

void PortOwnerLookup::dropDebugPrivilege() {
    if (token_) setPrivilege(token_.get(), SE_DEBUG_NAME, false);
}

bool PortOwnerLookup::setPrivilege(HANDLE token, const wchar_t* privilege, bool enable) {
    if (token == nullptr) return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    if (!LookupPrivilegeValueW(nullptr, privilege, &privileges.Privileges[0].Luid)) {
        TWLOG(LOG_ERROR, "LookupPrivilegeValue error: " << GetLastError());
        return false;
    }
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr)) {
        TWLOG(LOG_ERROR, "AdjustTokenPrivileges error: " << GetLastError());
        return false;
    }
    if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
        TWLOG(LOG_ERROR, "The token does not have the specified privilege.");
        return false;
    }
    return true;
}

bool PortOwnerLookup::findPortOwner() {
    PortOwner owner;
    if (!findOwner_ || !findOwner_(peerPort_, serverPort_, owner)) return false;
    TWLOG(LOG_DEBUG, "Owning process: " << owner.pid);
    return isAgentProcess(owner);
}

bool PortOwnerLookup::expectedProgramPath(std::string& path) {
    if (mode_ != PEER_TRAY_PROGRAM && mode_ != PEER_AGENT_PROGRAM) return false;
    std::string installPath;
    if (!localConfig(true).getString(configKeys::PATH, installPath)) refuse("Failed to get installation path.");
    path = installPath + kAgentFolder + (mode_ == PEER_TRAY_PROGRAM ? kTrayProgram : kAgentProgram);
    return true;
}

bool PortOwnerLookup::isAgentProcess(const PortOwner& owner) {
    const DWORD pid = owner.pid;
    if (findings_ != nullptr) {
        findings_->pid = pid;
        findings_->program = "pid " + std::to_string(pid);
    }
    std::string expected;
    if (!expectedProgramPath(expected)) return false;
    process_.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process_) {
        refuse("OpenProcess() failure: " + std::to_string(GetLastError()));
        return false;
    }
    std::wstring actual;
    if (!readProcessImagePath(process_.get(), actual)) {
        refuse("Failed to get module filename.");
        return false;
    }
    if (findings_ != nullptr) toUtf8(actual, findings_->program);
    if (!createdBeforeTheConnection(owner)) return false;
    // The setting is read in the ANSI code page; comparing as wide text keeps a
    // non-ASCII install path comparable with the image path.
    std::wstring expectedWide;
    if (toWide(expected, expectedWide) && samePathIgnoringCase(expectedWide, actual)) {
        TWLOG(LOG_DEBUG, expected << " is Tarnwell process.");
        return true;
    }
    refuse(expected + " is not Tarnwell process.");
    return false;
}

// An owner that exited leaves its id free for the next process; one created
// after the connection was made is not the process that made it. The table
// says when that was; where it does not, the connection at least existed
// when the check began.
bool PortOwnerLookup::createdBeforeTheConnection(const PortOwner& owner) {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(process_.get(), &created, &exited, &kernel, &user)) {
        refuse("GetProcessTimes() failure: " + std::to_string(GetLastError()));
        return false;
    }
    const ULONGLONG connected = owner.connectedAt != 0 ? owner.connectedAt : checkBegan_;
    if (countOf(created) <= connected) return true;
    refuse("Process " + std::to_string(owner.pid) + " was created after the connection was made.");
    return false;
}
