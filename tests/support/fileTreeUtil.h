// Building and reading small folder trees in tests.
#pragma once

#include <map>
#include <string>

namespace testutil {

// Relative path (backslashes) -> content; a folder appears as "name\" with an
// empty content.
using TreeContent = std::map<std::string, std::string>;

// Writes every file of `tree` below `folder` (with a trailing backslash),
// creating the folders on the way. Entries ending in a backslash make folders.
bool writeTree(const std::string& folder, const TreeContent& tree);

// Everything below `folder`, byte for byte.
TreeContent readTree(const std::string& folder);

// True when no group every user belongs to is allowed any access. (Wine keeps
// no DACL: it reads one back from the file's mode.)
bool closedToUsers(const std::string& path);

// Makes `link` a link to `target`, a sibling of the link's folder (under Wine
// a Unix one, which it shows as a reparse point); false when it cannot.
bool makeFolderLink(const std::string& link, std::string target);

}  // namespace testutil
