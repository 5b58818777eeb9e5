// A file held open for reading and shared for reading only: while it is held
// nobody can write, rename or delete it, so the bytes its digest vouches for
// are the bytes that are read from it by name until it is released.
#pragma once

#include <windows.h>

#include <string>

#include "utils/win/scopedHandle.h"

namespace PALVANE_SERVICE {

class HeldFile {
public:
    // False when it cannot be opened so (missing, or open for writing elsewhere).
    bool hold(const std::wstring& path);
    void release() { file_.reset(); }

    // The SHA-256 of the held file as 64 lower-case hex digits; empty when it
    // cannot be read.
    std::string digest() const { return digestOf(file_.get()); }

    // The same through any handle open for reading, from the file's start.
    static std::string digestOf(HANDLE file);

private:
    UniqueHandle file_;
};

}  // namespace PALVANE_SERVICE
