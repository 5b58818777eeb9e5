#include "palvane/win/upgrademgr/runtimeTrust.h"

#include <memory>

#include "utils/twlogger.h"
#include "utils/win/moduleReference.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

namespace {

std::mutex g_hostMutex;
std::unique_ptr<runtimeTrust> g_host;

}  // namespace

runtimeTrust::runtimeTrust(HostPath hostPath, SignatureReader reader)
    : hostPath_(std::move(hostPath)), read_(std::move(reader)) {}

// Only a definite answer is kept: a signature that could not be read now (a
// transient error) is read again at the next check.
bool runtimeTrust::knowHostSigner() {
    if (hostSigner_ != HostSigner::Unknown) return true;
    const std::wstring path = hostPath_();
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EmbeddedSignature host;
    if (file) {
        host = read_(file.get(), path.c_str());
    } else {
        host.verdict = HRESULT_FROM_WIN32(GetLastError());
    }
    host_ = host;
    if (host.absent) {
        hostSigner_ = HostSigner::Unsigned;
        TWLOG(LOG_INFO,
              "The service program carries no signature; runtime libraries are loaded without a signature check.");
        return true;
    }
    if (!host.intact) {
        TWLOG(LOG_ERROR, "The service program's own signature cannot be verified, error=0x"
                             << std::hex << static_cast<unsigned long>(host.verdict)
                             << "; no runtime library is loaded until it can.");
        return false;
    }
    hostSigner_ = HostSigner::Signed;
    TWLOG(LOG_INFO, "The service program is signed by " << toUtf8(host.signerName)
                                                        << "; only runtime libraries of that signer are loaded.");
    return true;
}

runtimeTrust::Verdict runtimeTrust::judge(const EmbeddedSignature& host, const EmbeddedSignature& library) {
    if (host.absent) return Verdict::Accepted;
    if (!host.intact) return Verdict::HostSignerUnknown;
    if (!library.intact) return Verdict::NotIntact;
    return library.sameSigner(host) ? Verdict::Accepted : Verdict::OtherSigner;
}

bool runtimeTrust::accepts(HANDLE library, const std::string& libraryPath) {
    std::lock_guard<std::mutex> lock(mutex_);
    knowHostSigner();
    const EmbeddedSignature signature =
        hostSigner_ == HostSigner::Signed ? read_(library, toWide(libraryPath).c_str()) : EmbeddedSignature();
    switch (judge(host_, signature)) {
        case Verdict::HostSignerUnknown:
            TWLOG(LOG_ERROR, "The runtime library " << libraryPath
                                                    << " is not loaded: the service program's signer is unknown.");
            return false;
        case Verdict::NotIntact:
            TWLOG(LOG_ERROR, "The runtime library " << libraryPath
                                                    << " is not loaded: its signature is not intact, error=0x"
                                                    << std::hex << static_cast<unsigned long>(signature.verdict));
            return false;
        case Verdict::OtherSigner:
            TWLOG(LOG_ERROR, "The runtime library " << libraryPath << " is not loaded: it is signed by "
                                                    << toUtf8(signature.signerName)
                                                    << ", not by the service program's signer.");
            return false;
        case Verdict::Accepted:
            break;
    }
    if (hostSigner_ == HostSigner::Signed && signature.verdict != ERROR_SUCCESS) {
        TWLOG(LOG_NOTICE, "The signature chain of " << libraryPath << " does not verify on this machine, error=0x"
                                                    << std::hex << static_cast<unsigned long>(signature.verdict)
                                                    << "; its signer is the service program's own.");
    }
    return true;
}

bool runtimeTrust::hostAccepts(HANDLE library, const std::string& libraryPath) {
    std::lock_guard<std::mutex> lock(g_hostMutex);
    if (!g_host) g_host = std::make_unique<runtimeTrust>([] { return ModuleReference::pathOf(nullptr); });
    return g_host->accepts(library, libraryPath);
}

void runtimeTrust::setHostPath(HostPath hostPath) {
    std::lock_guard<std::mutex> lock(g_hostMutex);
    g_host = std::make_unique<runtimeTrust>(std::move(hostPath));
}
