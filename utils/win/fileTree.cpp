#include "utils/win/fileTree.h"

#include <vector>

#include "utils/twlogger.h"
#include "utils/win/fileGate.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

namespace fileTree {
namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::wstring withoutTrailingSeparators(std::wstring path) {
    while (path.size() > 1 && isSeparator(path.back())) path.pop_back();
    return path;
}

bool isDot(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

bool isFolderEntry(const WIN32_FIND_DATAW& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isLink(const WIN32_FIND_DATAW& entry) { return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Entries are read before anything is changed, so removing while walking never
// upsets the enumeration.
bool listEntries(const std::wstring& folder, std::vector<WIN32_FIND_DATAW>& entries) {
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW(join(folder, L"*").c_str(), &data));
    if (!find) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return true;
        logFailure("FindFirstFileW", error, folder);
        return false;
    }
    do {
        if (!isDot(data.cFileName)) entries.push_back(data);
    } while (FindNextFileW(find.get(), &data));
    const DWORD error = GetLastError();
    if (error == ERROR_NO_MORE_FILES) return true;
    logFailure("FindNextFileW", error, folder);
    return false;
}

void clearReadOnly(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
}

bool removeFile(const std::wstring& path) {
    if (!fileGate::allows(fileGate::Op::Delete, path)) {
        logFailure("DeleteFileW", GetLastError(), path);
        return false;
    }
    clearReadOnly(path);
    if (DeleteFileW(path.c_str())) return true;
    logFailure("DeleteFileW", GetLastError(), path);
    return false;
}

bool removeEmptyFolder(const std::wstring& path) {
    if (!fileGate::allows(fileGate::Op::Delete, path)) {
        logFailure("RemoveDirectoryW", GetLastError(), path);
        return false;
    }
    clearReadOnly(path);
    if (RemoveDirectoryW(path.c_str())) return true;
    logFailure("RemoveDirectoryW", GetLastError(), path);
    return false;
}

bool removeEntry(const std::wstring& path, const WIN32_FIND_DATAW& entry);

// The folder's own removal puts the removal of everything below it on the
// disk: only the folder above it is flushed.
bool removeFolderTree(const std::wstring& folder) {
    std::vector<WIN32_FIND_DATAW> entries;
    bool ok = listEntries(folder, entries);
    for (const auto& entry : entries) ok = removeEntry(join(folder, entry.cFileName), entry) && ok;
    return removeEmptyFolder(folder) && ok;
}

bool removeEntry(const std::wstring& path, const WIN32_FIND_DATAW& entry) {
    if (!isFolderEntry(entry)) return removeFile(path);
    if (isLink(entry)) return removeEmptyFolder(path);  // the link only, never its target
    return removeFolderTree(path);
}

bool makeFolder(const std::wstring& path, SECURITY_ATTRIBUTES* security = nullptr) {
    return fileGate::allows(fileGate::Op::CreateFolder, path) && CreateDirectoryW(path.c_str(), security);
}

bool copySubFolder(const std::wstring& from, const std::wstring& to) {
    DWORD error = 0;
    const Kind existing = kindOf(to, error);
    if (existing == Kind::File && !removeTree(to)) return false;
    if (existing != Kind::Folder && !makeFolder(to)) {
        logFailure("CreateDirectoryW", GetLastError(), to);
        return false;
    }
    return copyTree(from, to);
}

bool sizeOf(const std::wstring& path, uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// Flushes a file (or, with FILE_FLAG_BACKUP_SEMANTICS, a folder) and reads
// its size through the same handle.
bool flushHandle(const std::wstring& path, DWORD flags, uint64_t* size) {
    if (!fileGate::allows(fileGate::Op::Flush, path)) {
        logFailure("FlushFileBuffers", GetLastError(), path);
        return false;
    }
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | flags, nullptr));
    LARGE_INTEGER length{};
    if (file && FlushFileBuffers(file.get()) && (size == nullptr || GetFileSizeEx(file.get(), &length))) {
        if (size != nullptr) *size = static_cast<uint64_t>(length.QuadPart);
        return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED) logFailure("FlushFileBuffers", error, path);
    SetLastError(error);
    return false;
}

bool sameKind(const WIN32_FIND_DATAW& entry, Kind reference) {
    if (isFolderEntry(entry)) return reference == Kind::Folder && !isLink(entry);
    return reference == Kind::File;
}

}  // namespace

void logFailure(const char* call, DWORD error, const std::wstring& path) {
    TWLOG(LOG_CRIT, "Catch an exception: " << call << "() failed, error=" << error << ": " << toUtf8(path));
}

std::wstring join(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty() || isSeparator(folder.back())) return folder + name;
    return folder + L"\\" + name;
}

std::wstring fileNameOf(const std::wstring& path) {
    const std::wstring trimmed = withoutTrailingSeparators(path);
    const size_t slash = trimmed.find_last_of(L"\\/");
    return slash == std::wstring::npos ? trimmed : trimmed.substr(slash + 1);
}

std::wstring folderOf(const std::wstring& path) {
    const std::wstring trimmed = withoutTrailingSeparators(path);
    const size_t slash = trimmed.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return L".";
    return slash == 0 || trimmed[slash - 1] == L':' ? trimmed.substr(0, slash + 1) : trimmed.substr(0, slash);
}

Kind kindOf(const std::wstring& path, DWORD& error) {
    error = 0;
    const DWORD attributes = GetFileAttributesW(withoutTrailingSeparators(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return Kind::Missing;
        error = code;
        return Kind::Unknown;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Folder : Kind::File;
}

bool createFolders(const std::wstring& folder, DWORD& error, SECURITY_ATTRIBUTES* security) {
    const std::wstring target = withoutTrailingSeparators(folder);
    if (kindOf(target, error) == Kind::Folder) return true;
    error = 0;
    // Every level is tried; levels that exist (or are roots) fail harmlessly.
    for (size_t at = target.find_first_of(L"\\/", 1); at != std::wstring::npos;
         at = target.find_first_of(L"\\/", at + 1)) {
        const std::wstring level = target.substr(0, at);
        if (kindOf(level, error) == Kind::Missing) makeFolder(level, security);
    }
    error = 0;
    if (!makeFolder(target, security)) error = GetLastError();
    DWORD queryError = 0;
    if (kindOf(target, queryError) == Kind::Folder) return true;
    if (error == 0 || error == ERROR_ALREADY_EXISTS) error = queryError ? queryError : ERROR_DIRECTORY;
    return false;
}

bool createNewFolder(const std::wstring& folder, SECURITY_ATTRIBUTES* security) {
    if (makeFolder(withoutTrailingSeparators(folder), security)) return true;
    logFailure("CreateDirectoryW", GetLastError(), folder);
    return false;
}

bool removeTree(const std::wstring& path) {
    const std::wstring target = withoutTrailingSeparators(path);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
        logFailure("GetFileAttributesW", error, target);
        return false;
    }
    WIN32_FIND_DATAW entry{};
    entry.dwFileAttributes = attributes;
    return removeEntry(target, entry) && flushFolder(folderOf(target));
}

bool copyTree(const std::wstring& from, const std::wstring& to) {
    std::vector<WIN32_FIND_DATAW> entries;
    bool ok = listEntries(from, entries);
    for (const auto& entry : entries) {
        const std::wstring source = join(from, entry.cFileName);
        const std::wstring target = join(to, entry.cFileName);
        if (isFolderEntry(entry) && isLink(entry)) {
            TWLOG(LOG_WARN, "Skipping linked folder " << toUtf8(source));
        } else if (isFolderEntry(entry)) {
            ok = copySubFolder(source, target) && ok;
        } else {
            ok = copyFile(source, target) && ok;
        }
    }
    return ok;
}

bool copyFile(const std::wstring& from, const std::wstring& to, bool overwrite) {
    DWORD error = 0;
    const Kind existing = kindOf(to, error);
    if (overwrite && existing == Kind::Folder && !removeTree(to)) return false;
    if (overwrite && existing == Kind::File) clearReadOnly(to);
    uint64_t size = 0;
    if (!sizeOf(from, size) || !fileGate::allows(fileGate::Op::Copy, to, from) ||
        !CopyFileW(from.c_str(), to.c_str(), overwrite ? FALSE : TRUE)) {
        logFailure("CopyFileW", GetLastError(), from + L" -> " + to);
        return false;
    }
    if (flushWhole(to, size)) return true;
    // Nothing may take a copy cut short for the file.
    const DWORD shortError = GetLastError();
    removeTree(to);
    SetLastError(shortError);
    return false;
}

// MOVEFILE_WRITE_THROUGH only covers a move done as a copy and a delete;
// a rename within a volume is on the disk once its folders are flushed.
bool moveFile(const std::wstring& from, const std::wstring& to) {
    if (!fileGate::allows(fileGate::Op::Move, to, from) ||
        !MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        logFailure("MoveFileExW", GetLastError(), from + L" -> " + to);
        return false;
    }
    const std::wstring folder = folderOf(to);
    const std::wstring before = folderOf(from);
    return flushFolder(folder) && (_wcsicmp(before.c_str(), folder.c_str()) == 0 || flushFolder(before));
}

bool flushWhole(const std::wstring& path, uint64_t expectedSize) {
    uint64_t size = 0;
    if (!flushHandle(path, 0, &size)) return false;
    if (size == expectedSize) return true;
    ULARGE_INTEGER free{};
    const bool full = GetDiskFreeSpaceExW(folderOf(path).c_str(), &free, nullptr, nullptr) &&
                      free.QuadPart < expectedSize - size;
    TWLOG(LOG_ERROR, toUtf8(path) << " holds " << size << " bytes where " << expectedSize << " were written");
    SetLastError(full || size > expectedSize ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
    return false;
}

// A file system without folder flushes (FAT) keeps no order to break.
bool flushFolder(const std::wstring& folder) {
    std::wstring target = withoutTrailingSeparators(folder);
    if (target.size() == 2 && target[1] == L':') target += L'\\';  // a drive's root, not its current folder
    if (flushHandle(target, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) return true;
    const DWORD error = GetLastError();
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

bool pruneTree(const std::wstring& reference, const std::wstring& target) {
    std::vector<WIN32_FIND_DATAW> entries;
    bool ok = listEntries(target, entries);
    bool changed = false;
    for (const auto& entry : entries) {
        const std::wstring inTarget = join(target, entry.cFileName);
        const std::wstring inReference = join(reference, entry.cFileName);
        DWORD error = 0;
        const Kind kind = kindOf(inReference, error);
        if (kind == Kind::Unknown) {
            logFailure("GetFileAttributesW", error, inReference);
            ok = false;
        } else if (!sameKind(entry, kind)) {
            ok = removeEntry(inTarget, entry) && ok;
            changed = true;
        } else if (kind == Kind::Folder) {
            ok = pruneTree(inReference, inTarget) && ok;
        }
    }
    return (!changed || flushFolder(target)) && ok;
}

}  // namespace fileTree
