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

TEST(RuntimeTrust, ASignedHostLoadsOnlyTrustedLibrariesOfItsSigner) {
    struct Case {
        const char* host;
        std::string library;
        bool accepted;
    } cases[] = {
        {"versioned.exe", fixture("versioned.exe"), true},
        {"signed.exe", fixture("signed.exe"), true},
        {"signed.exe", fixture("versioned.exe"), false},
        {"signed.exe", fixture("signed_other.exe"), false},
        {"signed.exe", fixture("missing.dll"), false},
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
    testutil::LogCapture log;
    std::list<std::string> names;
    palvaneMgr(palvaneMgrHooks{}).list_dlls(root.path(), names);
    EXPECT_EQ(names, std::list<std::string>{"palvane_1.dll"});
    EXPECT_TRUE(log.contains("The runtime library " + library + "palvane_2.dll is not loaded: it is signed by "
                             "Palvane Other Signer, not by the service program's signer."))
        << log.text();
}

}  // namespace
