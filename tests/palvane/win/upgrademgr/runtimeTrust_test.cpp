// Which runtime library a service program loads: with a signature of its own,
// only libraries with an intact signature of its signer; unsigned (no security
// directory in its file), any.
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

// The rule over what WinVerifyTrust and the file say, with the Windows codes,
// for what Wine cannot show: a chain that does not verify here, a revoked
// certificate, a signature that cannot be read.
TEST(RuntimeTrust, TheRuleOverWhatTheSignaturesSay) {
    using V = runtimeTrust::Verdict;
    std::vector<DWORD> held(TRUSTERROR_MAX_STEPS, 0), none = held, badDigest = held;
    none[TRUSTERROR_STEP_FINAL_OBJPROV] = static_cast<DWORD>(TRUST_E_NOSIGNATURE);
    badDigest[TRUSTERROR_STEP_FINAL_SIGPROV] = static_cast<DWORD>(TRUST_E_BAD_DIGEST);
    struct Side {
        LONG verdict;
        const std::vector<DWORD>& steps;
        bool directory;
        BYTE subject, key;  // subject 0: no signer certificate found
    } const unsigned_{TRUST_E_NOSIGNATURE, none, false, 0, 0}, signer{0, held, true, 1, 1};
    const struct {
        Side host, library;
        V verdict;
    } cases[] = {
        {unsigned_, unsigned_, V::Accepted},
        {{TRUST_E_NOSIGNATURE, none, true, 0, 0}, signer, V::HostSignerUnknown},
        {signer, unsigned_, V::NotIntact},
        {signer, {CERT_E_UNTRUSTEDROOT, held, true, 1, 1}, V::Accepted},
        {{CERT_E_UNTRUSTEDROOT, held, true, 1, 1}, {CERT_E_EXPIRED, held, true, 1, 1}, V::Accepted},
        {signer, {CERT_E_REVOKED, held, true, 1, 1}, V::NotIntact},
        {signer, {TRUST_E_BAD_DIGEST, badDigest, true, 1, 1}, V::NotIntact},
        {signer, {0, held, true, 0, 0}, V::NotIntact},
        {signer, {0, held, true, 2, 1}, V::OtherSigner},
        {signer, {0, held, true, 1, 2}, V::OtherSigner},
    };
    const auto read = [](const Side& side) {
        EmbeddedSignature signature;
        signature.verdict = side.verdict;
        if (side.subject != 0) signature.signerSubject = {side.subject};
        signature.signerKey = {side.key};
        judgeSignature(signature, side.steps, side.directory);
        return signature;
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runtimeTrust::judge(read(c.host), read(c.library)), c.verdict)
            << std::hex << c.host.verdict << " " << c.library.verdict << " " << int(c.library.subject);
    }
}

}  // namespace
