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

}  // namespace testutil
