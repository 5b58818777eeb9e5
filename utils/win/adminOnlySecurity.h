// The security of what this system creates under the install path, where it
// runs as SYSTEM and later loads, restores or writes what it finds there: only
// SYSTEM and Administrators get access. The DACL is protected, so that nothing
// is inherited from a folder above whose rights a user might widen.
#pragma once

#include <windows.h>

#include <string>

#include "utils/win/scopedHandle.h"

class AdminOnlySecurity {
public:
    enum class Scope {
        Object,  // the file or folder alone
        Tree,    // a folder and everything later made inside it
    };

    explicit AdminOnlySecurity(Scope scope);

    AdminOnlySecurity(const AdminOnlySecurity&) = delete;
    AdminOnlySecurity& operator=(const AdminOnlySecurity&) = delete;

    // Makes the folder (created when missing) owned by Administrators with
    // the tree's protected DACL, whoever made it and whatever it allowed; a
    // link in its place is refused. False (logged) when it could not be done.
    static bool secureFolder(const std::wstring& path);
    // Whether anyone but SYSTEM and Administrators may change what the object
    // holds or who may: its owner, or an entry that allows writing, deleting
    // or changing its security. True for a missing DACL, or when the
    // security cannot be read.
    static bool othersMayWrite(PSECURITY_DESCRIPTOR descriptor);
    static bool othersMayWrite(const std::wstring& path);

    // Null when the descriptor could not be built (logged).
    PSECURITY_DESCRIPTOR descriptor() const { return descriptor_.get(); }
    SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &attributes_ : nullptr; }

private:
    // From its SDDL text.
    explicit AdminOnlySecurity(const wchar_t* sddl);

    UniqueLocalMemory descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
};
