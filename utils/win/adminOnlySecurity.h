// The security of what this system creates under the install path, where it
// runs as SYSTEM and later loads, restores or writes what it finds there: only
// SYSTEM and Administrators get access. The DACL is protected, so that nothing
// is inherited from a folder above whose rights a user might widen.
#pragma once

#include <windows.h>

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

    // Null when the descriptor could not be built (logged).
    PSECURITY_DESCRIPTOR descriptor() const { return descriptor_.get(); }
    SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &attributes_ : nullptr; }

private:
    UniqueLocalMemory descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
};
