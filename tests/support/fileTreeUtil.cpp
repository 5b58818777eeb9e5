#include "support/fileTreeUtil.h"

#include <windows.h>
#include <aclapi.h>

#include "support/consoleRun.h"
#include "support/testUtil.h"
#include "utils/win/scopedHandle.h"

namespace testutil {
namespace {

void createParents(const std::string& folder, const std::string& relative) {
    for (size_t at = relative.find('\\'); at != std::string::npos; at = relative.find('\\', at + 1)) {
        CreateDirectoryA((folder + relative.substr(0, at)).c_str(), nullptr);
    }
}

void readInto(const std::string& folder, const std::string& prefix, TreeContent& tree) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + prefix + "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree[prefix + name + "\\"] = "";
            readInto(folder, prefix + name + "\\", tree);
        } else {
            std::string content;
            readFile(folder + prefix + name, content);
            tree[prefix + name] = content;
        }
    } while (FindNextFileA(find, &data));
    FindClose(find);
}

}  // namespace

bool writeTree(const std::string& folder, const TreeContent& tree) {
    createParents("", folder);
    for (const auto& [relative, content] : tree) {
        createParents(folder, relative);
        if (!relative.empty() && relative.back() == '\\') continue;
        if (!writeFile(folder + relative, content)) return false;
    }
    return true;
}

TreeContent readTree(const std::string& folder) {
    TreeContent tree;
    readInto(folder, "", tree);
    return tree;
}

bool closedToUsers(const std::string& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS || dacl == nullptr) {
        return false;
    }
    UniqueLocalMemory owner(descriptor);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    for (DWORD i = 0; GetAce(dacl, i, reinterpret_cast<void**>(&ace)); ++i) {
        for (auto group : {WinBuiltinUsersSid, WinWorldSid, WinAuthenticatedUserSid, WinInteractiveSid}) {
            if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && IsWellKnownSid(&ace->SidStart, group)) return false;
        }
    }
    return true;
}

bool makeFolderLink(const std::string& link, std::string target) {
    if (target.back() == '\\') target.pop_back();
    if (!CreateSymbolicLinkA(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) return false;
    if (fileExists(link)) return true;
    // Wine's CreateSymbolicLink makes nothing, but Wine runs Unix programs.
    const size_t slash = link.find_last_of('\\');
    CurrentDirectory inFolder(link.substr(0, slash));
    const std::string command =
        "Z:\\bin\\ln -s \"../" + target.substr(target.find_last_of('\\') + 1) + "\" \"" + link.substr(slash + 1) + "\"";
    runConsole(std::wstring(command.begin(), command.end()));
    return fileExists(link);
}

}  // namespace testutil
