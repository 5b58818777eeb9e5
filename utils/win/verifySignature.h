// The signer of a file's embedded code signature, and a comparison of its
// names with expected ones. Names only: the chain of trust and the signature's
// validity are the caller's business.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <string>
#include <vector>

struct SignerRecord {
    std::vector<BYTE> serialNumber;
    std::wstring issuerName;
    std::wstring subjectName;
    // The subject's whole encoded name: who signed, beyond a display name.
    std::vector<BYTE> subject;
};

// Reads the signer of the file's embedded PKCS #7 signature. True when the
// signature and its signer information were read, whether or not the signer's
// certificate was found in the signature's store.
bool getSignerInfo(const wchar_t* file, SignerRecord& record);

// Finds the signer's certificate in the signature's store and fills the
// record's serial number and names.
bool getCertName(HCERTSTORE store, const CMSG_SIGNER_INFO& signer, SignerRecord& record);

// True when the file's signer certificate has exactly these issuer and subject
// names (UTF-8, case-sensitive).
bool getSignerNames(const wchar_t* file, const std::string& expectedIssuer, const std::string& expectedSubject);

// True when the file's embedded signature is intact and chains to a trusted
// root (WinVerifyTrust, no user interface, no revocation check, no network
// fetch). `result` receives WinVerifyTrust's answer (0 when trusted). Names
// alone can be put on any self-made certificate, so whoever acts on a
// signer's names checks this first.
bool isSignatureTrusted(const wchar_t* file, LONG* result = nullptr);

// The signer of a file's embedded signature as WinVerifyTrust saw it, read
// through a handle the caller holds open, so that what was checked is what
// the caller goes on to use.
struct EmbeddedSignature {
    // WinVerifyTrust's answer: 0 when the signature is intact and chains to a
    // root this machine trusts.
    LONG verdict = TRUST_E_NOSIGNATURE;
    // The file carries no signature at all: it has no security directory,
    // as opposed to one whose signature could not be read (WinVerifyTrust
    // answers TRUST_E_NOSIGNATURE for both).
    bool absent = false;
    // The signature and the file's digest hold and the signer certificate was
    // read, whether or not its chain verifies on this machine; never with a
    // bad digest or a revoked certificate.
    bool intact = false;
    std::wstring signerName;
    // Who signed: the certificate's encoded subject and its public key.
    std::vector<BYTE> signerSubject;
    std::string keyAlgorithm;
    std::vector<BYTE> signerKey;

    bool sameSigner(const EmbeddedSignature& other) const {
        return signerSubject == other.signerSubject && keyAlgorithm == other.keyAlgorithm &&
               signerKey == other.signerKey;
    }
};

// Revocation is checked with what this machine has cached: a service never
// waits on the network, and a revocation it cannot learn of does not count
// against the signature.
EmbeddedSignature readEmbeddedSignature(HANDLE file, const wchar_t* path);

// The judgement of readEmbeddedSignature over what it read: WinVerifyTrust's
// answer (signature.verdict) and its steps' errors (by TRUSTERROR_STEP_*),
// whether the file has a security directory, and the signer certificate
// found (signature.signerSubject empty when none). Sets `absent` and `intact`.
void judgeSignature(EmbeddedSignature& signature, const std::vector<DWORD>& stepErrors, bool securityDirectory);

// Whether the image read through `file` has a security directory, where an
// embedded signature lives; false with `readable` false when the file is no
// image or cannot be read.
bool hasSecurityDirectory(HANDLE file, bool& readable);
