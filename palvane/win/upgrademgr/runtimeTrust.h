// Which runtime library files the service program may load. A signed service
// program loads only libraries whose signature is intact, chains to a root the
// machine trusts and names the service program's own signer; an unsigned one
// (a development build) loads any library, as it always did. The signer is
// the certificate's whole subject name, so that a renewed certificate of the
// same publisher, issued by another authority, is still the same signer.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

class runtimeTrust {
public:
    // The file whose signer decides: the running program in production.
    using HostPath = std::function<std::wstring()>;

    explicit runtimeTrust(HostPath hostPath);

    // True when the library may be loaded; a refusal is logged.
    bool accepts(const std::string& libraryPath);

    // The check for the running service program, whose signer is read once.
    static bool hostAccepts(const std::string& libraryPath);
    // Makes hostAccepts judge as if this file were the service program.
    static void setHostPath(HostPath hostPath);

private:
    void readHostSigner();

    HostPath hostPath_;
    std::once_flag hostRead_;
    bool hostSigned_ = false;
    std::vector<BYTE> hostSubject_;
};
