// Tree walks over the local file system in wide paths, for FileMgr. Every
// failure is logged with the failing call, its error number and the path; a
// walk goes on with the next entry and reports the failure in its result.
// Links to folders (reparse points) are never followed. Every change passes
// the file gate first, and every copy is on the disk (flushed) before the
// walk goes on: a later record that vouches for it must not outlive it in a
// power cut.
#pragma once

#include <windows.h>

#include <string>

namespace fileTree {

enum class Kind { Missing, File, Folder, Unknown };

// What lies at `path`; `error` holds the code when the query itself failed.
Kind kindOf(const std::wstring& path, DWORD& error);

// `folder` + `name`, with one backslash between them.
std::wstring join(const std::wstring& folder, const std::wstring& name);

// The last part of a path.
std::wstring fileNameOf(const std::wstring& path);

// Creates `folder` and every missing folder above it, each with `security`
// (null: the default, inherited from above).
bool createFolders(const std::wstring& folder, DWORD& error, SECURITY_ATTRIBUTES* security = nullptr);

// Removes a file, or a folder with everything below it. Missing is success.
bool removeTree(const std::wstring& path);

// Copies the tree below the folder `from` into the existing folder `to`,
// overwriting what is there (read-only files included).
bool copyTree(const std::wstring& from, const std::wstring& to);

// Copies one file over `to` (read-only included) and flushes the copy.
bool copyFile(const std::wstring& from, const std::wstring& to);

// Renames `from` to `to`, replacing a file there; the rename is on the disk
// when this returns.
bool moveFile(const std::wstring& from, const std::wstring& to);

// Writes what the file system still holds of the file to the disk.
bool flushFile(const std::wstring& path);

// Makes `path` a file of exactly `content`, on the disk when this returns.
bool writeFile(const std::wstring& path, const std::string& content);

// Removes from the folder `target` every entry that `reference` lacks or holds
// as another kind (file against folder), at every depth.
bool pruneTree(const std::wstring& reference, const std::wstring& target);

// Logs a failed file-system call at level 2.
void logFailure(const char* call, DWORD error, const std::wstring& path);

}  // namespace fileTree
