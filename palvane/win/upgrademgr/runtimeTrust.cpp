#include "palvane/win/upgrademgr/runtimeTrust.h"

#include <memory>

#include "utils/twlogger.h"
#include "utils/win/stringconv.h"
#include "utils/win/verifySignature.h"

namespace {

// The whole path however long: a cut one would name another file.
std::wstring runningProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

std::mutex g_hostMutex;
std::unique_ptr<runtimeTrust> g_host;

}  // namespace

runtimeTrust::runtimeTrust(HostPath hostPath) : hostPath_(std::move(hostPath)) {}

// A signature that is there but not trusted counts as none: this machine
// could not verify a library from the same signer either.
void runtimeTrust::readHostSigner() {
    const std::wstring host = hostPath_();
    LONG trust = 0;
    SignerRecord signer;
    hostSigned_ = isSignatureTrusted(host.c_str(), &trust) && getSignerInfo(host.c_str(), signer) &&
                  !signer.subject.empty();
    if (hostSigned_) {
        hostSubject_ = signer.subject;
        TWLOG(LOG_INFO, "The service program is signed by " << toUtf8(signer.subjectName)
                                                            << "; only runtime libraries of that signer are loaded.");
    } else {
        TWLOG(LOG_INFO, "The service program carries no trusted signature, error=0x"
                            << std::hex << static_cast<unsigned long>(trust)
                            << "; runtime libraries are loaded without a signature check.");
    }
}

bool runtimeTrust::accepts(const std::string& libraryPath) {
    std::call_once(hostRead_, [this] { readHostSigner(); });
    if (!hostSigned_) return true;

    const std::wstring library = toWide(libraryPath);
    LONG trust = 0;
    if (!isSignatureTrusted(library.c_str(), &trust)) {
        TWLOG(LOG_ERROR, "The runtime library " << libraryPath << " is not loaded: its signature is not trusted,"
                                                << " error=0x" << std::hex << static_cast<unsigned long>(trust));
        return false;
    }
    SignerRecord signer;
    if (!getSignerInfo(library.c_str(), signer) || signer.subject != hostSubject_) {
        TWLOG(LOG_ERROR, "The runtime library " << libraryPath << " is not loaded: it is signed by "
                                                << toUtf8(signer.subjectName)
                                                << ", not by the service program's signer.");
        return false;
    }
    return true;
}

bool runtimeTrust::hostAccepts(const std::string& libraryPath) {
    std::lock_guard<std::mutex> lock(g_hostMutex);
    if (!g_host) g_host = std::make_unique<runtimeTrust>(runningProgramPath);
    return g_host->accepts(libraryPath);
}

void runtimeTrust::setHostPath(HostPath hostPath) {
    std::lock_guard<std::mutex> lock(g_hostMutex);
    g_host = std::make_unique<runtimeTrust>(std::move(hostPath));
}
