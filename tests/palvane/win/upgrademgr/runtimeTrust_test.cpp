// Which runtime library a service program loads: with a signature of its own,
// only libraries with an intact signature of its signer; unsigned, any.
#include <gtest/gtest.h>

#include <windows.h>

#include "palvane/win/upgrademgr/runtimeTrust.h"
#include "support/testUtil.h"
#include "utils/win/scopedHandle.h"

namespace {

std::string fixture(const char* name) { return testutil::exeDirectoryA() + name; }

runtimeTrust::HostPath hostProgram(const char* name) {
    return [name] { return testutil::exeDirectory() + std::wstring(name, name + strlen(name)); };
}

bool accepts(runtimeTrust& trust, const std::string& library) {
    UniqueHandle file(CreateFileA(library.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return trust.accepts(file.get(), library);
}

TEST(RuntimeTrust, ASignedHostLoadsOnlyIntactLibrariesOfItsSigner) {
    // A copy of the signed program with one byte of its code changed.
    testutil::TempDir folder;
    std::string content;
    testutil::readFile(fixture("signed.exe"), content);
    content[0x600] = static_cast<char>(content[0x600] ^ 0xff);
    ASSERT_TRUE(testutil::writeFile(folder.file("tampered.exe"), content));
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
        {"versioned.exe", folder.file("tampered.exe"), true},
        {"signed.exe", folder.file("tampered.exe"), false},
        {"missing.exe", fixture("signed.exe"), false},  // the host's signer cannot be read
    };
    for (const Case& c : cases) {
        testutil::LogCapture log(3);
        runtimeTrust trust(hostProgram(c.host));
        EXPECT_EQ(accepts(trust, c.library), c.accepted) << c.host << " " << c.library;
        // Refused for its digest, not for a signer it does not name.
        if (c.library == folder.file("tampered.exe") && !c.accepted) {
            EXPECT_TRUE(log.contains("its signature is not intact, error=0x80096010")) << log.text();
        }
    }
}

// What Wine cannot show: a chain that does not verify on this machine, a
// revoked certificate.
TEST(RuntimeTrust, TheSignerPinHoldsWhateverTheChain) {
    struct Case {
        LONG host, library;
        BYTE libraryKey;
        bool accepted;
    } cases[] = {{CERT_E_UNTRUSTEDROOT, CERT_E_UNTRUSTEDROOT, 4, true},
                 {CERT_E_UNTRUSTEDROOT, ERROR_SUCCESS, 7, false},
                 {ERROR_SUCCESS, CERT_E_REVOKED, 4, false}};
    for (const Case& c : cases) {
        runtimeTrust trust(hostProgram("versioned.exe"), [&](HANDLE, const wchar_t* path) {
            const bool ofHost = std::wstring(path).find(L"versioned.exe") != std::wstring::npos;
            EmbeddedSignature signature;
            signature.verdict = ofHost ? c.host : c.library;
            signature.intact = signature.verdict != CERT_E_REVOKED;  // as readEmbeddedSignature answers
            signature.signerSubject = {1, 2, 3};
            signature.signerKey = {ofHost ? BYTE(4) : c.libraryKey};
            return signature;
        });
        EXPECT_EQ(accepts(trust, fixture("signed.exe")), c.accepted) << c.library;
    }
}

}  // namespace
