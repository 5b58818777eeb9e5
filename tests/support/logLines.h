// Reading single lines back from a captured log.
#pragma once

#include <string>

namespace testutil {

// The first line of text that contains needle, or empty.
std::string lineWith(const std::string& text, const std::string& needle);
// Whether a line that contains needle was logged at the named level ("Warn",
// "Error", ...).
bool loggedAt(const std::string& text, const std::string& needle, const std::string& levelName);
// How many lines contain needle.
size_t countLines(const std::string& text, const std::string& needle);

}  // namespace testutil
