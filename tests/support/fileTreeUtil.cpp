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

namespace {

// Wine runs Unix programs and names the Unix path of a Windows path.
bool makeUnixLink(const std::string& link, const std::string& target) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
    if (unixName == nullptr) return false;
    const auto unixPath = [&](const std::string& path) {
        char* name = unixName(std::wstring(path.begin(), path.end()).c_str());
        std::string result = name != nullptr ? name : "";
        HeapFree(GetProcessHeap(), 0, name);
        return result;
    };
    const size_t slash = link.find_last_of('\\');
    const std::string command = "Z:\\bin\\ln -s \"" + unixPath(target) + "\" \"" + unixPath(link.substr(0, slash)) +
                                "/" + link.substr(slash + 1) + "\"";
    runConsole(std::wstring(command.begin(), command.end()), 10000);
    return GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

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

bool makeFolderLink(const std::string& link, const std::string& target) {
    // Wine's CreateSymbolicLink reports success and makes nothing.
    if (CreateSymbolicLinkA(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
        GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    return makeUnixLink(link, target);
}

}  // namespace testutil
