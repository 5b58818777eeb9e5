#include "support/logLines.h"

#include <sstream>

namespace testutil {

std::string lineWith(const std::string& text, const std::string& needle) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(needle) != std::string::npos) return line;
    }
    return {};
}

bool loggedAt(const std::string& text, const std::string& needle, const std::string& levelName) {
    std::string padded = levelName;
    // The prefix pads a level name to six characters; "DblDebug" is longer.
    if (padded.size() < 6) padded.resize(6, ' ');
    return lineWith(text, needle).find("< " + padded + " >") != std::string::npos;
}

size_t countLines(const std::string& text, const std::string& needle) {
    std::istringstream lines(text);
    std::string line;
    size_t count = 0;
    while (std::getline(lines, line)) {
        if (line.find(needle) != std::string::npos) ++count;
    }
    return count;
}

}  // namespace testutil
