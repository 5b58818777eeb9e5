// Which runtime library files the service program may load. A service program
// that carries a signature loads only libraries whose signature is intact and
// names the service program's own signer certificate (its subject and its
// public key), whether or not the chain verifies on this machine; an unsigned
// one (a development build) loads any library. A host whose own signature
// cannot be read loads nothing until it can: the pin never turns itself off.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>

#include "utils/win/verifySignature.h"

class runtimeTrust {
public:
    // The file whose signer decides: the running program in production.
    using HostPath = std::function<std::wstring()>;
    // How a signature is read; tests put in answers Wine cannot give.
    using SignatureReader = std::function<EmbeddedSignature(HANDLE file, const wchar_t* path)>;

    explicit runtimeTrust(HostPath hostPath, SignatureReader reader = readEmbeddedSignature);

    // True when the library, read through `library` which the caller holds
    // open, may be loaded; a refusal is logged with its reason at level 3.
    bool accepts(HANDLE library, const std::string& libraryPath);

    enum class Verdict { Accepted, HostSignerUnknown, NotIntact, OtherSigner };
    // The rule itself, over what was read of the service program's and the
    // library's signatures.
    static Verdict judge(const EmbeddedSignature& host, const EmbeddedSignature& library);

    // The check for the running service program.
    static bool hostAccepts(HANDLE library, const std::string& libraryPath);
    // Makes hostAccepts judge as if this file were the service program.
    static void setHostPath(HostPath hostPath);

private:
    enum class HostSigner { Unknown, Unsigned, Signed };

    bool knowHostSigner();

    HostPath hostPath_;
    SignatureReader read_;
    std::mutex mutex_;
    HostSigner hostSigner_ = HostSigner::Unknown;
    EmbeddedSignature host_;
};
