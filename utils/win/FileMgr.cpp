#include "utils/win/FileMgr.h"

#include <windows.h>

#include <set>

#include "utils/twlogger.h"
#include "utils/win/adminOnlySecurity.h"
#include "utils/win/fileTree.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

using fileTree::Kind;

namespace {

const std::set<std::wstring> kDriverFiles = {L"PacketFilterDriver.cat", L"PacketFilterDriver.inf",
                                             L"PacketFilterDriver.sys", L"TwPacketFilterDll.dll"};

// A folder that is present; anything else (missing, a file, unreadable) is
// logged at level 4 as not existing.
bool folderExists(const std::string& name) {
    DWORD error = 0;
    if (fileTree::kindOf(toWide(name), error) == Kind::Folder) return true;
    TWLOG(LOG_WARN, name << " does not exist.");
    return false;
}

bool makeFolder(const std::string& name, SECURITY_ATTRIBUTES* security = nullptr) {
    DWORD error = 0;
    if (fileTree::createFolders(toWide(name), error, security)) return true;
    TWLOG(LOG_ERROR, "Failed to create " << name << ", error=" << error);
    return false;
}

}  // namespace

FileMgr::FileMgr(std::string path) : path_(std::move(path)) {}

FileMgr::~FileMgr() = default;

bool FileMgr::createDirectories(const std::string& source, const std::string& target) {
    if (!folderExists(path_ + source)) return false;
    DWORD error = 0;
    if (fileTree::kindOf(toWide(path_ + target), error) != Kind::Missing) {
        TWLOG(LOG_INFO, path_ + target << " already exists.");
        return true;
    }
    return copyToNewFolder(source, target);
}

bool FileMgr::copyToNewFolder(const std::string& source, const std::string& target) {
    const std::string from = path_ + source;
    const std::wstring to = toWide(path_ + target);
    if (!folderExists(from)) return false;
    AdminOnlySecurity security(AdminOnlySecurity::Scope::Tree);
    DWORD error = 0;
    if (!security.attributes() || !fileTree::createFolders(fileTree::folderOf(to), error, security.attributes()) ||
        !fileTree::createNewFolder(to, security.attributes())) {
        TWLOG(LOG_ERROR, "Failed to create " << path_ + target << ", error=" << (error ? error : GetLastError()));
        return false;
    }
    if (fileTree::copyTree(toWide(from), to)) return true;
    fileTree::removeTree(to);
    return false;
}

bool FileMgr::copyFolder(const std::string& source, const std::string& target) {
    const std::string from = path_ + source;
    const std::string to = path_ + target;
    if (!folderExists(from)) return false;
    DWORD error = 0;
    const Kind existing = fileTree::kindOf(toWide(to), error);
    if (existing != Kind::Folder) {
        TWLOG(LOG_WARN, to << " does not exist.");
        if (existing == Kind::File && !fileTree::removeTree(toWide(to))) return false;
        if (!makeFolder(to)) return false;
    }
    const bool copied = fileTree::copyTree(toWide(from), toWide(to));
    const bool pruned = fileTree::pruneTree(toWide(from), toWide(to));
    return copied && pruned;
}

bool FileMgr::removeAll(const std::string& folder) {
    const std::wstring target = toWide(path_ + folder);
    DWORD error = 0;
    if (fileTree::kindOf(target, error) != Kind::Folder) return true;
    return fileTree::removeTree(target);
}

bool FileMgr::removeDriverFiles(const std::string& folder) {
    const std::wstring target = toWide(path_ + folder);
    DWORD error = 0;
    if (fileTree::kindOf(target, error) != Kind::Folder) return true;
    bool ok = true;
    for (const auto& name : kDriverFiles) {
        const std::wstring file = fileTree::join(target, name);
        // The letter case must match exactly; the file system itself ignores it.
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW(file.c_str(), &data));
        if (!find || name != data.cFileName) continue;
        ok = fileTree::removeTree(file) && ok;
    }
    return ok;
}

bool FileMgr::copyFile(const std::string& sourceFile, const std::string& targetFile) {
    if (sourceFile.empty() || targetFile.empty()) return false;
    return copyFile(toWide(sourceFile), toWide(targetFile));
}

bool FileMgr::copyFile(const std::wstring& sourceFile, const std::wstring& targetFile) {
    if (sourceFile.empty() || targetFile.empty()) return false;
    TWLOG(LOG_INFO, "Copy  " << toUtf8(sourceFile) << " to " << toUtf8(targetFile));
    std::wstring target = targetFile;
    DWORD error = 0;
    if (fileTree::kindOf(target, error) == Kind::Folder) {
        target = fileTree::join(target, fileTree::fileNameOf(sourceFile));
    }
    if (!fileTree::copyFile(sourceFile, target, false)) return false;
    fileTree::removeTree(sourceFile);
    return true;
}
