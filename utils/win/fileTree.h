// Tree walks over the local file system in wide paths, for FileMgr. Every
// failure is logged with the failing call, its error number and the path; a
// walk goes on with the next entry and reports the failure in its result.
// Links to folders (reparse points) are never followed. Every change passes
// the file gate first, and is on the disk before the call returns: a copy is
// flushed and must be as long as its source, and the folder that a removal
// or a rename changed is flushed. A later record that vouches for the change
// must not outlive it in a power cut.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace fileTree {

enum class Kind { Missing, File, Folder, Unknown };

// What lies at `path`; `error` holds the code when the query itself failed.
Kind kindOf(const std::wstring& path, DWORD& error);

// `folder` + `name`, with one backslash between them.
std::wstring join(const std::wstring& folder, const std::wstring& name);

// The last part of a path, and the folder that holds it.
std::wstring fileNameOf(const std::wstring& path);
std::wstring folderOf(const std::wstring& path);

// Creates `folder` and every missing folder above it, each with `security`
// (null: the default, inherited from above).
bool createFolders(const std::wstring& folder, DWORD& error, SECURITY_ATTRIBUTES* security = nullptr);

// Creates the folder `folder`, which must not be there yet, with `security`.
bool createNewFolder(const std::wstring& folder, SECURITY_ATTRIBUTES* security);

// Removes a file, or a folder with everything below it, and flushes the
// folder that held it. Missing is success.
bool removeTree(const std::wstring& path);

// Copies the tree below the folder `from` into the existing folder `to`,
// overwriting what is there (read-only files included).
bool copyTree(const std::wstring& from, const std::wstring& to);

// Copies one file to `to`, over a file there (read-only included) unless
// `overwrite` is false; the copy is flushed and must be as long as its source
// (one that is not is removed).
bool copyFile(const std::wstring& from, const std::wstring& to, bool overwrite = true);

// Renames `from` to `to`, replacing a file there; the rename is on the disk
// when this returns (the folders of both names are flushed).
bool moveFile(const std::wstring& from, const std::wstring& to);

// Flushes the file, then checks that it holds `expectedSize` bytes: a disk
// that filled up may have cut it short without reporting an error. A short
// file fails with ERROR_DISK_FULL when the disk has no room for the rest,
// else with ERROR_WRITE_FAULT.
bool flushWhole(const std::wstring& path, uint64_t expectedSize);

// Puts the folder's entries (files added, removed or renamed in it) on the disk.
bool flushFolder(const std::wstring& folder);

// Removes from the folder `target` every entry that `reference` lacks or holds
// as another kind (file against folder), at every depth; each folder changed
// is flushed.
bool pruneTree(const std::wstring& reference, const std::wstring& target);

// Logs a failed file-system call at level 2.
void logFailure(const char* call, DWORD error, const std::wstring& path);

}  // namespace fileTree
