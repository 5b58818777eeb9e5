// Which runtime library a service program loads: with a signature of its own,
// only libraries with an intact signature of its signer; unsigned, any.
#include <gtest/gtest.h>

#include <windows.h>

#include "palvane/win/upgrademgr/runtimeTrust.h"
#include "support/testUtil.h"
#include "utils/win/scopedHandle.h"

namespace {

std::string fixture(const char* name) { return testutil::exeDirectoryA() + name; }

runtimeTrust::HostPath hostProgram(const std::string& path) {
    return [path] { return std::wstring(path.begin(), path.end()); };
}

bool accepts(runtimeTrust& trust, const std::string& library) {
    UniqueHandle file(CreateFileA(library.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return trust.accepts(file.get(), library);
}

// A copy of the signed program with one byte of its code changed.
std::string tamperedCopy(const testutil::TempDir& folder) {
    std::string content;
    testutil::readFile(fixture("signed.exe"), content);
    content[0x600] = static_cast<char>(content[0x600] ^ 0xff);
    testutil::writeFile(folder.file("tampered.exe"), content);
    return folder.file("tampered.exe");
}

TEST(RuntimeTrust, ASignedHostLoadsOnlyIntactLibrariesOfItsSigner) {
    testutil::TempDir folder;
    const std::string tampered = tamperedCopy(folder);
    struct Case {
        const char* host;
        std::string library;
        bool accepted;
        const char* reason;
    } cases[] = {
        {"versioned.exe", fixture("versioned.exe"), true, ""},
        {"versioned.exe", tampered, true, ""},
        {"signed.exe", fixture("signed.exe"), true, ""},
        {"signed.exe", fixture("versioned.exe"), false, "its signature is not intact, error=0x800b0100"},
        {"signed.exe", fixture("signed_other.exe"), false, "it is signed by Palvane Other Signer, not by the"},
        {"signed.exe", tampered, false, "its signature is not intact, error=0x80096010"},
        {"signed.exe", fixture("missing.dll"), false, "its signature is not intact"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " " + c.library);
        testutil::LogCapture log(3);
        runtimeTrust trust(hostProgram(fixture(c.host)));
        EXPECT_EQ(accepts(trust, c.library), c.accepted);
        EXPECT_TRUE(log.contains(c.reason)) << log.text();
    }
}

// What Wine cannot show: a chain that does not verify here, a revoked
// certificate, a host whose own signature cannot be read for a moment.
TEST(RuntimeTrust, TheSignerPinHoldsWhateverTheChainAndNeverTurnsItselfOff) {
    EmbeddedSignature signer;
    signer.verdict = ERROR_SUCCESS;
    signer.intact = true;
    signer.signerSubject = {1, 2, 3};
    signer.keyAlgorithm = "1.2.840.113549.1.1.1";
    signer.signerKey = {4, 5, 6};
    EmbeddedSignature untrustedChain = signer;
    untrustedChain.verdict = CERT_E_UNTRUSTEDROOT;
    EmbeddedSignature otherKey = untrustedChain;
    otherKey.signerKey = {7};
    EmbeddedSignature revoked = signer;
    revoked.verdict = CERT_E_REVOKED;
    revoked.intact = false;
    EmbeddedSignature unreadable;
    unreadable.verdict = HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
    struct Case {
        const char* what;
        EmbeddedSignature host, library;
        bool accepted;
    } cases[] = {
        {"the host's chain does not verify here", untrustedChain, signer, true},
        {"the library's chain does not verify here", signer, untrustedChain, true},
        {"same subject, another key", untrustedChain, otherKey, false},
        {"a revoked certificate", signer, revoked, false},
        {"the host's signature cannot be read now", unreadable, signer, false},
    };
    const std::string host = fixture("versioned.exe");
    const std::string library = fixture("signed.exe");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring hostPath(host.begin(), host.end());
        int hostReads = 0;
        runtimeTrust trust(hostProgram(host), [&](HANDLE, const wchar_t* path) {
            const bool ofHost = hostPath == path;
            hostReads += ofHost ? 1 : 0;
            return ofHost ? c.host : c.library;
        });
        EXPECT_EQ(accepts(trust, library), c.accepted);
        EXPECT_EQ(accepts(trust, library), c.accepted);
        // Only a definite answer about the host is kept.
        EXPECT_EQ(hostReads, c.host.intact ? 1 : 2);
    }
}

}  // namespace
