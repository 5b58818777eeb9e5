// The one gate that every change the update runtime makes to its files
// passes first: copies, deletions, moves, writes, flushes (of files and of
// folders), new folders and files unpacked from a cabinet. In production it
// lets everything through. A test puts its own gate in place to end a run at
// any chosen change, as a process death or a power cut would, to fail one
// change as a full disk would, and to see in what order the changes came.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace fileGate {

enum class Op { Copy, Delete, Move, Write, Flush, CreateFolder, Extract };

// `path` is what the operation changes; `source`, where there is one, what it
// reads (the file copied or moved, the cabinet a file is unpacked from).
// Returns NO_ERROR to let the operation go ahead, or the error it fails with.
using Gate = std::function<DWORD(Op op, const std::wstring& path, const std::wstring& source)>;

// True when the operation may go ahead. A refused operation must fail as if
// the disk had refused it; `GetLastError` then says why.
bool allows(Op op, const std::wstring& path, const std::wstring& source = std::wstring());

// Tests only: puts `gate` in place (an empty one lets everything through again).
void install(Gate gate);

}  // namespace fileGate
