#include "support/fileTreeUtil.h"

#include <windows.h>

#include "support/testUtil.h"

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

}  // namespace testutil
