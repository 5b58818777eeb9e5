// Socket helpers and the check that a loopback peer is the agent's tray
// program, against real sockets, the real TCP table and real child processes.
// Wine reports owning process 0 for every TCP table row, so the tests fill in
// the owner of the (real, found) row from the child they started.
#include <gtest/gtest.h>

#include "support/testUtil.h"
#include "utils/configKeys.h"
#include "utils/win/sockhelper.h"

#include <iphlpapi.h>
#include <psapi.h>
#include "utils/win/stringconv.h"
#include "utils/win/uniqueSocket.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <functional>
#include <memory>

namespace {

constexpr DWORD kAcceptTimeoutMs = 10000;
constexpr DWORD kExitTimeoutMs = 5000;

UniqueSocket listenOnLoopback(uint16_t& port) {
    UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (!listener || bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener.get(), 4) != 0 || getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "no loopback listener, error " << WSAGetLastError();
        return UniqueSocket();
    }
    port = ntohs(address.sin_port);
    return listener;
}

// Waits (bounded) for one connection and gives the peer's port.
UniqueSocket acceptWithin(SOCKET listener, uint16_t& peerPort) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval timeout{static_cast<long>(kAcceptTimeoutMs / 1000), 0};
    if (select(0, &readable, nullptr, nullptr, &timeout) != 1) {
        ADD_FAILURE() << "no connection within " << kAcceptTimeoutMs << " ms";
        return UniqueSocket();
    }
    sockaddr_in peer{};
    int length = sizeof(peer);
    UniqueSocket accepted(accept(listener, reinterpret_cast<sockaddr*>(&peer), &length));
    peerPort = ntohs(peer.sin_port);
    return accepted;
}

// One connection inside this process.
struct LoopbackConnection {
    uint16_t serverPort = 0;
    uint16_t clientPort = 0;
    UniqueSocket listener;
    UniqueSocket client;
    UniqueSocket accepted;

    LoopbackConnection() {
        listener = listenOnLoopback(serverPort);
        client.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(serverPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        accepted = acceptWithin(listener.get(), clientPort);
    }
};

bool makeFolders(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 7); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Copies the peer fixture to folder\name (folder with a trailing backslash).
std::string installPeerProgram(const std::string& folder, const char* name) {
    std::wstring wideFolder;
    EXPECT_TRUE(toWide(folder, wideFolder));
    EXPECT_TRUE(makeFolders(L"\\\\?\\" + wideFolder)) << folder;
    std::wstring target;
    toWide(folder + name, target);
    const std::wstring source = testutil::exeDirectory() + L"loopbackpeer.exe";
    EXPECT_TRUE(CopyFileW(source.c_str(), (L"\\\\?\\" + target).c_str(), FALSE)) << GetLastError();
    return folder + name;
}

// A chain of folders below a temp folder that is too deep for the ANSI file
// functions the temp folder's own clean-up uses; removed here through "\\?\".
class DeepFolder {
public:
    explicit DeepFolder(const std::string& base) : base_(base), path_(base) {
        while (path_.size() < 300) path_ += std::string(60, 'd') + "\\";
    }
    ~DeepFolder() {
        std::wstring top;
        toWide(base_ + std::string(60, 'd') + "\\", top);
        removeTree(L"\\\\?\\" + top);
    }
    const std::string& path() const { return path_; }

private:
    static void removeTree(const std::wstring& folder) {
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW((folder + L"*").c_str(), &data));
        if (find) {
            do {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") continue;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    removeTree(folder + name + L"\\");
                } else {
                    DeleteFileW((folder + name).c_str());
                }
            } while (FindNextFileW(find.get(), &data));
        }
        find.reset();
        RemoveDirectoryW(folder.c_str());
    }

    std::string base_;
    std::string path_;
};

// A copy of the fixture program, started and connected to our listener.
class PeerProcess {
public:
    PeerProcess(const std::string& program, uint16_t serverPort, SOCKET listener, const std::string& claimed = "") {
        std::wstring wideProgram;
        std::wstring wideClaimed;
        toWide(program, wideProgram);
        toWide(claimed, wideClaimed);
        std::wstring commandLine = L"\"" + wideProgram + L"\" " + std::to_wstring(serverPort);
        if (!claimed.empty()) commandLine += L" \"" + wideClaimed + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        const std::wstring application = wideProgram.size() < MAX_PATH ? wideProgram : L"\\\\?\\" + wideProgram;
        if (!CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &startup, &info)) {
            startError = GetLastError();
            return;
        }
        process_.reset(info.hProcess);
        UniqueHandle thread(info.hThread);
        pid = info.dwProcessId;
        connection = acceptWithin(listener, peerPort);
    }

    ~PeerProcess() {
        connection.reset();  // the peer ends when its connection closes
        if (process_ && WaitForSingleObject(process_.get(), kExitTimeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(process_.get(), 1);
            ADD_FAILURE() << "peer process did not end";
        }
    }

    DWORD startError = 0;
    DWORD pid = 0;
    uint16_t peerPort = 0;
    UniqueSocket connection;

private:
    UniqueHandle process_;
};

// The real table lookup, with the owner Wine leaves out taken from the child.
PortOwnerFinder ownerOfRealRow(DWORD childPid) {
    return [childPid](uint16_t peerPort, uint16_t serverPort, PortOwner& owner) {
        if (!findPortOwnerInTcpTable(peerPort, serverPort, owner)) return false;
        if (owner.pid == 0) owner.pid = childPid;
        return true;
    };
}

std::wstring ownProgramPath() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
    return path;
}

bool samePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::string upperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

class PeerCheck : public testing::Test {
protected:
    PeerCheck() { listener_ = listenOnLoopback(serverPort_); }

    bool check(const std::string& program, int mode) {
        PeerProcess peer(program, serverPort_, listener_.get());
        EXPECT_EQ(peer.startError, 0u) << program;
        if (!peer.connection) return false;
        return isPeerAgentProcess(peer.peerPort, serverPort_, mode, ownerOfRealRow(peer.pid));
    }

    std::string agentFolder() const { return install_.path() + "Quillmark Agent\\"; }

    testutil::TempDir install_;
    testutil::MachineSettingsSandbox settings_;
    uint16_t serverPort_ = 0;
    UniqueSocket listener_;
};

}  // namespace

TEST(SockHelper, SetNonBlockingMakesAReceiveReturnAtOnce) {
    LoopbackConnection connection;
    ASSERT_TRUE(connection.accepted);
    EXPECT_TRUE(setNonBlocking(connection.accepted.get()));
    char byte = 0;
    EXPECT_EQ(recv(connection.accepted.get(), &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_FALSE(setNonBlocking(INVALID_SOCKET));
}

TEST(SockHelper, FindsTheConnectingEndOfARealLoopbackConnectionAndItsProgram) {
    LoopbackConnection connection;
    ASSERT_TRUE(connection.accepted);
    std::vector<TcpConnectionRow> rows;
    ASSERT_TRUE(readTcpTable(rows));
    const TcpConnectionRow* row = findPeerRow(rows, connection.clientPort, connection.serverPort);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->localAddress, 0x7F000001u);
    EXPECT_EQ(row->remoteAddress, 0x7F000001u);
    EXPECT_EQ(row->state, static_cast<DWORD>(MIB_TCP_STATE_ESTAB));
    // The listening socket's port is the server's, never the peer's.
    EXPECT_EQ(findPeerRow(rows, connection.serverPort, static_cast<uint16_t>(connection.serverPort + 1)), nullptr);

    // Both ends are this process's; the owner the system names (or, where it
    // names none, the seam) leads to this program's real image path.
    PortOwner owner;
    ASSERT_TRUE(ownerOfRealRow(GetCurrentProcessId())(connection.clientPort, connection.serverPort, owner));
    EXPECT_EQ(owner.pid, GetCurrentProcessId());
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner.pid));
    ASSERT_TRUE(process) << GetLastError();
    for (const DWORD firstBuffer : {DWORD{1}, DWORD{MAX_PATH}}) {  // a buffer too small is grown
        std::wstring image;
        ASSERT_TRUE(readProcessImagePath(process.get(), image, firstBuffer));
        EXPECT_TRUE(samePath(image, ownProgramPath())) << toUtf8(image);
    }
}

// A machine-wide table that gains rows between every size query and read, as
// it does while other programs open connections; one read can take a second
// under Wine. Sizes as GetExtendedTcpTable counts them; rows carry their time.
class GrowingTcpTable {
public:
    GrowingTcpTable(DWORD rows, DWORD growth) : rows_(rows), growth_(growth) {}

    DWORD operator()(void* buffer, DWORD* size) {
        rows_ += growth_;
        ++calls;
        const DWORD needed = offsetof(MIB_TCPTABLE_OWNER_MODULE, table) + rows_ * sizeof(MIB_TCPROW_OWNER_MODULE);
        if (buffer == nullptr || *size < needed) {
            *size = needed;
            return ERROR_INSUFFICIENT_BUFFER;
        }
        auto* table = static_cast<MIB_TCPTABLE_OWNER_MODULE*>(buffer);
        table->dwNumEntries = rows_;
        MIB_TCPROW_OWNER_MODULE row{};
        row.liCreateTimestamp.QuadPart = kMadeAt;
        for (DWORD i = 0; i < rows_; ++i, ++row.liCreateTimestamp.QuadPart) table->table[i] = row;
        return NO_ERROR;
    }
    static constexpr LONGLONG kMadeAt = 133000000000000000;
    DWORD rows() const { return rows_; }
    int calls = 0;

private:
    DWORD rows_;
    DWORD growth_;
};

TEST(SockHelper, ReadsATableThatGrowsUnderTheReader) {
    GrowingTcpTable table(300, 100);
    std::vector<TcpConnectionRow> rows;
    ASSERT_TRUE(readTcpTable(rows, std::ref(table)));
    EXPECT_EQ(rows.size(), table.rows());
    EXPECT_EQ(rows.back().createdAt, static_cast<ULONGLONG>(GrowingTcpTable::kMadeAt + table.rows() - 1));
    EXPECT_LE(table.calls, 3);

    // A source that fails otherwise is not read again.
    int calls = 0;
    const TcpTableSource broken = [&](void*, DWORD*) {
        ++calls;
        return static_cast<DWORD>(ERROR_NOT_SUPPORTED);
    };
    EXPECT_FALSE(readTcpTable(rows, broken));
    EXPECT_EQ(calls, 1);
}

TEST(SockHelper, MatchesOnlyTheEstablishedLoopbackConnectionToTheServer) {
    constexpr uint32_t loopback = 0x7F000001;
    const uint16_t peer = 50000, server = 50001;
    auto row = [](uint32_t local, uint16_t localPort, uint32_t remote, uint16_t remotePort, DWORD state, DWORD pid) {
        TcpConnectionRow r;
        r.localAddress = local;
        r.localPort = localPort;
        r.remoteAddress = remote;
        r.remotePort = remotePort;
        r.state = state;
        r.owningPid = pid;
        return r;
    };
    std::vector<TcpConnectionRow> rows = {
        row(0, peer, 0, 0, MIB_TCP_STATE_LISTEN, 100),                           // a listener on the same port
        row(0x0A000005, peer, loopback, server, MIB_TCP_STATE_ESTAB, 101),      // another local address
        row(loopback, peer, loopback, 40000, MIB_TCP_STATE_ESTAB, 102),         // to another server
        row(loopback, peer, 0x0A000001, server, MIB_TCP_STATE_ESTAB, 103),      // to another host
        row(loopback, peer, loopback, server, MIB_TCP_STATE_TIME_WAIT, 104),    // an earlier connection
        row(loopback, server, loopback, peer, MIB_TCP_STATE_ESTAB, 105),        // the server's own end
    };
    EXPECT_EQ(findPeerRow(rows, peer, server), nullptr);
    rows.push_back(row(loopback, peer, loopback, server, MIB_TCP_STATE_ESTAB, 106));
    const TcpConnectionRow* found = findPeerRow(rows, peer, server);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->owningPid, 106u);
}

TEST_F(PeerCheck, RecognisesTheTrayProgramWhateverTheLetterCaseOfThePath) {
    const std::string tray = installPeerProgram(agentFolder(), "twptray.exe");
    settings_.set(configKeys::PATH, upperCase(install_.path()));
    testutil::LogCapture log(7);
    EXPECT_TRUE(check(tray, PEER_TRAY_PROGRAM));
    EXPECT_TRUE(log.contains(" is Tarnwell process.")) << log.text();
    EXPECT_TRUE(log.contains("Owning process: ")) << log.text();
}

TEST_F(PeerCheck, RefusesTheSameProgramUnderAnotherNameFolderOrMode) {
    settings_.set(configKeys::PATH, install_.path());
    testutil::LogCapture log(3);
    EXPECT_FALSE(check(installPeerProgram(agentFolder(), "twpagent.exe"), PEER_TRAY_PROGRAM));
    EXPECT_FALSE(check(installPeerProgram(install_.path() + "Elsewhere\\", "twptray.exe"), PEER_TRAY_PROGRAM));
    const std::string tray = installPeerProgram(agentFolder(), "twptray.exe");
    EXPECT_FALSE(check(tray, PEER_AGENT_PROGRAM));
    EXPECT_FALSE(check(tray, 12));
    EXPECT_TRUE(log.contains(agentFolder() + "twptray.exe is not Tarnwell process.")) << log.text();
    EXPECT_TRUE(log.contains(agentFolder() + "twpagent.exe is not Tarnwell process.")) << log.text();
}

// Loader data belongs to the process, which can make it name any program; the
// check must go by what the system recorded when it started the process.
TEST_F(PeerCheck, RefusesAProgramWhoseLoaderDataNamesTheTrayProgram) {
    settings_.set(configKeys::PATH, install_.path());
    const std::string tray = agentFolder() + "twptray.exe";
    const std::string impostor = installPeerProgram(install_.path() + "Elsewhere\\", "impostor.exe");
    PeerProcess peer(impostor, serverPort_, listener_.get(), tray);
    ASSERT_TRUE(peer.connection) << peer.startError;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, peer.pid));
    wchar_t claimed[MAX_PATH] = {};
    ASSERT_TRUE(process && GetModuleFileNameExW(process.get(), nullptr, claimed, MAX_PATH) > 0) << GetLastError();
    ASSERT_EQ(toUtf8(claimed), tray) << "the impostor did not rewrite its loader data";

    testutil::LogCapture log(3);
    EXPECT_FALSE(isPeerAgentProcess(peer.peerPort, serverPort_, PEER_TRAY_PROGRAM, ownerOfRealRow(peer.pid)));
    EXPECT_TRUE(log.contains(tray + " is not Tarnwell process.")) << log.text();
}

// A tray program started after the connection was made, though before the
// check, did not make it (the seam says when it was made, as Windows does).
TEST_F(PeerCheck, RefusesATrayProgramStartedAfterTheConnection) {
    settings_.set(configKeys::PATH, install_.path());
    const std::string tray = installPeerProgram(agentFolder(), "twptray.exe");
    FILETIME made{};
    GetSystemTimePreciseAsFileTime(&made);
    LoopbackConnection connection;
    PeerProcess late(tray, serverPort_, listener_.get());
    const PortOwnerFinder madeBeforeTheTray = [&](uint16_t, uint16_t, PortOwner& owner) {
        owner.pid = late.pid;
        owner.connectedAt = (static_cast<ULONGLONG>(made.dwHighDateTime) << 32) | made.dwLowDateTime;
        return true;
    };
    testutil::LogCapture log(3);
    EXPECT_FALSE(isPeerAgentProcess(connection.clientPort, serverPort_, PEER_TRAY_PROGRAM, madeBeforeTheTray));
    EXPECT_TRUE(log.contains(" was created after the connection was made.")) << log.text();
}

TEST_F(PeerCheck, RecognisesTheAgentProgramInAgentMode) {
    settings_.set(configKeys::PATH, install_.path());
    EXPECT_TRUE(check(installPeerProgram(agentFolder(), "twpagent.exe"), PEER_AGENT_PROGRAM));
}

TEST_F(PeerCheck, RecognisesATrayProgramWhosePathIsLongerThanMaxPath) {
    DeepFolder deep(install_.path());
    const std::string tray = installPeerProgram(deep.path() + "Quillmark Agent\\", "twptray.exe");
    settings_.set(configKeys::PATH, deep.path());
    PeerProcess peer(tray, serverPort_, listener_.get());
    if (peer.startError == ERROR_FILE_NOT_FOUND || peer.startError == ERROR_FILENAME_EXCED_RANGE) {
        GTEST_SKIP() << "this system starts no program from a path this long";  // Wine 8
    }
    ASSERT_TRUE(peer.connection);
    EXPECT_TRUE(isPeerAgentProcess(peer.peerPort, serverPort_, PEER_TRAY_PROGRAM, ownerOfRealRow(peer.pid)));
}

TEST_F(PeerCheck, WithoutThePathSettingTheTrayIsRefused) {
    const std::string tray = installPeerProgram(agentFolder(), "twptray.exe");
    testutil::LogCapture log(3);
    EXPECT_FALSE(check(tray, PEER_TRAY_PROGRAM));
    EXPECT_TRUE(log.contains("Failed to get installation path.")) << log.text();
}

TEST_F(PeerCheck, APortWithoutAConnectionIsRefusedQuietly) {
    settings_.set(configKeys::PATH, install_.path());
    LoopbackConnection unrelated;
    testutil::LogCapture log(3);
    // The real lookup, for a peer port that has no connection to this server.
    EXPECT_FALSE(isPeerAgentProcess(unrelated.clientPort, serverPort_, PEER_TRAY_PROGRAM));
    EXPECT_FALSE(isPeerAgentProcess(unrelated.serverPort, serverPort_, PEER_TRAY_PROGRAM));
    EXPECT_EQ(log.text(), "");
}

TEST_F(PeerCheck, AProcessThatCannotBeOpenedIsRefused) {
    settings_.set(configKeys::PATH, install_.path());
    testutil::LogCapture log(3);
    const PortOwnerFinder goneProcess = [](uint16_t, uint16_t, PortOwner& owner) {
        owner.pid = 0xFFFFFFF0;
        return true;
    };
    EXPECT_FALSE(isPeerAgentProcess(1, 2, PEER_TRAY_PROGRAM, goneProcess));
    EXPECT_TRUE(log.contains("OpenProcess() failure: ")) << log.text();
}

TEST(PortOwnerLookupPrivilege, FailsForNoTokenAnUnknownNameOrAMissingPrivilege) {
    EXPECT_FALSE(PortOwnerLookup::setPrivilege(nullptr, SE_DEBUG_NAME, true));
    UniqueHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY | TOKEN_DUPLICATE,
                                 token.receive()));
    testutil::LogCapture log(3);
    EXPECT_FALSE(PortOwnerLookup::setPrivilege(token.get(), L"SeNoSuchPrivilege", true));
    EXPECT_TRUE(log.contains("LookupPrivilegeValue error: ")) << log.text();
    EXPECT_TRUE(PortOwnerLookup::setPrivilege(token.get(), SE_DEBUG_NAME, true));
    EXPECT_TRUE(PortOwnerLookup::setPrivilege(token.get(), SE_DEBUG_NAME, false));

    // Only the local system holds this one; an ordinary or administrator token
    // lacks it.
    if (!PortOwnerLookup::setPrivilege(token.get(), SE_CREATE_TOKEN_NAME, true)) {
        EXPECT_TRUE(log.contains("The token does not have the specified privilege.")) << log.text();
    } else {
        PortOwnerLookup::setPrivilege(token.get(), SE_CREATE_TOKEN_NAME, false);
        GTEST_SKIP() << "this token holds SeCreateTokenPrivilege";
    }
}
