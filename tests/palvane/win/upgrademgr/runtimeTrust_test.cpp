// Which runtime library a service program loads: with a signature of its own,
// only libraries of its signer with a trusted signature; unsigned, any.
#include <gtest/gtest.h>

#include <windows.h>

#include <list>

#include "palvane/win/upgrademgr/runtimeTrust.h"
#include "palvane/win/upgrademgr/softwareMgr.h"
#include "support/testUtil.h"

namespace {

std::string fixture(const char* name) { return testutil::exeDirectoryA() + name; }

runtimeTrust::HostPath hostProgram(const char* name) {
    return [name] { return testutil::exeDirectory() + std::wstring(name, name + strlen(name)); };
}

// The signed fixture with one byte of its code changed: the signer still
// reads back, the signature no longer matches the file.
std::string tamperedCopy(const testutil::TempDir& folder) {
    std::string bytes;
    EXPECT_TRUE(testutil::readFile(fixture("signed.exe"), bytes));
    bytes[2000] = static_cast<char>(bytes[2000] ^ 0xFF);
    EXPECT_TRUE(testutil::writeFile(folder.file("tampered.dll"), bytes));
    return folder.file("tampered.dll");
}

TEST(RuntimeTrust, ASignedHostLoadsOnlyTrustedLibrariesOfItsSigner) {
    testutil::TempDir folder;
    struct Case {
        const char* host;
        std::string library;
        bool accepted;
    } cases[] = {
        {"versioned.exe", fixture("versioned.exe"), true},
        {"versioned.exe", tamperedCopy(folder), true},
        {"signed.exe", fixture("signed.exe"), true},
        {"signed.exe", fixture("versioned.exe"), false},
        {"signed.exe", fixture("signed_other.exe"), false},
        {"signed.exe", tamperedCopy(folder), false},
        {"signed.exe", folder.file("missing.dll"), false},
    };
    for (const Case& c : cases) {
        runtimeTrust trust(hostProgram(c.host));
        EXPECT_EQ(trust.accepts(c.library), c.accepted) << c.host << " " << c.library;
    }
}

TEST(RuntimeTrust, ARefusedFileIsNoCandidateForTheManager) {
    runtimeTrust::setHostPath(hostProgram("signed.exe"));
    testutil::TempDir root;
    const std::string library = root.file("Quillmark Palvane\\");
    ASSERT_TRUE(CreateDirectoryA(library.c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(fixture("signed.exe").c_str(), (library + "palvane_1.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(fixture("signed_other.exe").c_str(), (library + "palvane_2.dll").c_str(), FALSE));
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);

    testutil::LogCapture log;
    std::list<std::string> names;
    {
        palvaneMgr manager{palvaneMgrHooks{}};
        manager.list_dlls(root.path(), names);
    }
    SetCurrentDirectoryA(saved);
    EXPECT_EQ(names, std::list<std::string>{"palvane_1.dll"});
    EXPECT_TRUE(log.contains("The runtime library " + library + "palvane_2.dll is not loaded: it is signed by "
                             "Palvane Other Signer, not by the service program's signer."))
        << log.text();
}

}  // namespace
