#include "utils/win/verifySignature.h"

#include <cstddef>

#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

#include <functional>

#include "utils/twlogger.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

void closeStore(HCERTSTORE store) noexcept { CertCloseStore(store, 0); }
void closeMessage(HCRYPTMSG message) noexcept { CryptMsgClose(message); }
void freeCertificate(PCCERT_CONTEXT certificate) noexcept { CertFreeCertificateContext(certificate); }

using UniqueCertStore = ScopedHandle<NullHandleTraits<HCERTSTORE, closeStore>>;
using UniqueCryptMsg = ScopedHandle<NullHandleTraits<HCRYPTMSG, closeMessage>>;
using UniqueCertContext = ScopedHandle<NullHandleTraits<PCCERT_CONTEXT, freeCertificate>>;

std::wstring certificateName(PCCERT_CONTEXT certificate, DWORD flags) {
    const DWORD length = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::wstring name(length, L'\0');
    CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, &name[0], length);
    name.resize(wcsnlen(name.c_str(), name.size()));
    return name;
}

}  // namespace

bool getCertName(HCERTSTORE store, const CMSG_SIGNER_INFO& signer, SignerRecord& record) {
    CERT_INFO wanted{};
    wanted.Issuer = signer.Issuer;
    wanted.SerialNumber = signer.SerialNumber;
    UniqueCertContext certificate(
        CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
    if (!certificate) return false;
    const CRYPT_INTEGER_BLOB& serial = certificate.get()->pCertInfo->SerialNumber;
    record.serialNumber.assign(serial.pbData, serial.pbData + serial.cbData);
    const CERT_NAME_BLOB& subject = certificate.get()->pCertInfo->Subject;
    record.subject.assign(subject.pbData, subject.pbData + subject.cbData);
    record.issuerName = certificateName(certificate.get(), CERT_NAME_ISSUER_FLAG);
    record.subjectName = certificateName(certificate.get(), 0);
    return true;
}

bool getSignerInfo(const wchar_t* file, SignerRecord& record) {
    if (file == nullptr) return false;
    UniqueCertStore store;
    UniqueCryptMsg message;
    // The whole path goes to the query; a long path is not cut.
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, file, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.receive(),
                          message.receive(), nullptr)) {
        return false;
    }
    DWORD size = 0;
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) return false;
    std::vector<BYTE> buffer(size, 0);
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) return false;
    getCertName(store.get(), *reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data()), record);
    return true;
}

bool getSignerNames(const wchar_t* file, const std::string& expectedIssuer, const std::string& expectedSubject) {
    TWLOG(LOG_INFO, "Issuer Name:" << expectedIssuer << " Subject:" << expectedSubject);
    SignerRecord record;
    getSignerInfo(file, record);
    if (record.issuerName.empty() || record.subjectName.empty() || record.serialNumber.empty()) return false;

    std::string issuer;
    std::string subject;
    toUtf8(record.issuerName, issuer);
    toUtf8(record.subjectName, subject);
    TWLOG(LOG_INFO, "Issuer Name:" << issuer);
    TWLOG(LOG_INFO, "Subject Name:" << subject);
    if (issuer != expectedIssuer || subject != expectedSubject) return false;

    std::string fileName;
    toUtf8(file, fileName);
    TWLOG(LOG_INFO, "The digital signature verification for " << fileName << " is passed.");
    return true;
}

namespace {

// WinVerifyTrust on the file (through `file` when given); `inspect` sees its
// answer and its state data before the state is closed.
LONG verifyTrust(const wchar_t* path, HANDLE file, DWORD revocationChecks, DWORD providerFlags,
                 const std::function<void(LONG verdict, HANDLE stateData)>& inspect) {
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = revocationChecks;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    // A service must not wait on certificate downloads.
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | providerFlags;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG verdict = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (inspect) inspect(verdict, data.hWVTStateData);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return verdict;
}

}  // namespace

bool isSignatureTrusted(const wchar_t* file, LONG* result) {
    if (result != nullptr) *result = TRUST_E_NOSIGNATURE;
    if (file == nullptr) return false;
    const LONG verdict = verifyTrust(file, nullptr, WTD_REVOKE_NONE, 0, nullptr);
    if (result != nullptr) *result = verdict;
    return verdict == ERROR_SUCCESS;
}

namespace {

// Answers that say only that the chain does not verify on this machine, or
// that its revocation cannot be learnt here.
bool chainOnlyFailure(LONG verdict) {
    switch (verdict) {
        case ERROR_SUCCESS:
        case CERT_E_UNTRUSTEDROOT:
        case CERT_E_UNTRUSTEDTESTROOT:
        case CERT_E_CHAINING:
        case CERT_E_EXPIRED:
        case CERT_E_VALIDITYPERIODNESTING:
        case CERT_E_REVOCATION_FAILURE:
        case CRYPT_E_REVOCATION_OFFLINE:
        case CRYPT_E_NO_REVOCATION_CHECK:
            return true;
        default:
            return false;
    }
}

// The steps before the chain: the signature is read, its message signature
// and the file's digest hold.
bool signatureStepsHeld(const std::vector<DWORD>& stepErrors) {
    for (DWORD step : {TRUSTERROR_STEP_FINAL_WVTINIT, TRUSTERROR_STEP_FINAL_INITPROV, TRUSTERROR_STEP_FINAL_OBJPROV,
                       TRUSTERROR_STEP_FINAL_SIGPROV}) {
        if (step >= stepErrors.size() || stepErrors[step] != 0) return false;
    }
    return true;
}

void readSigner(HANDLE stateData, EmbeddedSignature& signature, std::vector<DWORD>& stepErrors) {
    CRYPT_PROVIDER_DATA* data = WTHelperProvDataFromStateData(stateData);
    if (data == nullptr) return;
    stepErrors.assign(data->padwTrustStepErrors, data->padwTrustStepErrors + data->cdwTrustStepErrors);
    if (!signatureStepsHeld(stepErrors)) return;
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(data, 0, FALSE, 0);
    CRYPT_PROVIDER_CERT* certificate = signer != nullptr ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (certificate == nullptr || certificate->pCert == nullptr) return;
    const CERT_INFO& info = *certificate->pCert->pCertInfo;
    signature.signerSubject.assign(info.Subject.pbData, info.Subject.pbData + info.Subject.cbData);
    const CERT_PUBLIC_KEY_INFO& key = info.SubjectPublicKeyInfo;
    signature.keyAlgorithm = key.Algorithm.pszObjId != nullptr ? key.Algorithm.pszObjId : "";
    signature.signerKey.assign(key.PublicKey.pbData, key.PublicKey.pbData + key.PublicKey.cbData);
    signature.signerName = certificateName(certificate->pCert, 0);
}

bool readAt(HANDLE file, DWORD offset, void* buffer, DWORD size) {
    OVERLAPPED at{};
    at.Offset = offset;
    DWORD read = 0;
    return ReadFile(file, buffer, size, &read, &at) && read == size;
}

}  // namespace

void judgeSignature(EmbeddedSignature& signature, const std::vector<DWORD>& stepErrors, bool securityDirectory) {
    signature.absent = !securityDirectory;
    signature.intact = securityDirectory && chainOnlyFailure(signature.verdict) && signatureStepsHeld(stepErrors) &&
                       !signature.signerSubject.empty();
}

bool hasSecurityDirectory(HANDLE file, bool& readable) {
    readable = false;
    IMAGE_DOS_HEADER dos{};
    DWORD signature = 0;
    WORD magic = 0;
    if (!readAt(file, 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
        !readAt(file, dos.e_lfanew, &signature, sizeof(signature)) || signature != IMAGE_NT_SIGNATURE) {
        return false;
    }
    const DWORD optional = dos.e_lfanew + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    if (!readAt(file, optional, &magic, sizeof(magic))) return false;
    DWORD directories = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
    } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
    } else {
        return false;
    }
    IMAGE_DATA_DIRECTORY security{};
    if (!readAt(file, directories + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(security), &security, sizeof(security))) {
        return false;
    }
    readable = true;
    return security.VirtualAddress != 0 && security.Size != 0;
}

EmbeddedSignature readEmbeddedSignature(HANDLE file, const wchar_t* path) {
    EmbeddedSignature signature;
    bool readable = false;
    const bool securityDirectory = hasSecurityDirectory(file, readable);
    std::vector<DWORD> stepErrors;
    verifyTrust(path, file, WTD_REVOKE_WHOLECHAIN, WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT,
                [&](LONG verdict, HANDLE stateData) {
                    signature.verdict = verdict;
                    readSigner(stateData, signature, stepErrors);
                });
    // A file that cannot be read is not known to be unsigned.
    judgeSignature(signature, stepErrors, securityDirectory || !readable);
    return signature;
}
