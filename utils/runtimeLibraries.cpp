#include "utils/runtimeLibraries.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include "utils/win/stringconv.h"

namespace runtimeLibraries {
namespace {

constexpr const char* kPrefix = "palvane";
constexpr const char* kSuffix = ".dll";

bool isVersionCharacter(unsigned char c) { return std::isalnum(c) || c == '.' || c == '-' || c == '_'; }

}  // namespace

bool isLibraryName(const std::string& name) {
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const size_t prefix = strlen(kPrefix);
    const size_t suffix = strlen(kSuffix);
    if (lower.size() < prefix + suffix || lower.compare(0, prefix, kPrefix) != 0 ||
        lower.compare(lower.size() - suffix, suffix, kSuffix) != 0) {
        return false;
    }
    const std::string middle = lower.substr(prefix, lower.size() - prefix - suffix);
    return middle.empty() ||
           (middle.size() > 1 && middle[0] == '_' && std::all_of(middle.begin() + 1, middle.end(), isVersionCharacter));
}

bool parseTrial(const std::string& text, Trial& trial) {
    std::istringstream in(text);
    trial = Trial();
    if (in >> trial.failed && in.get() == ' ' && std::getline(in, trial.path) && !trial.path.empty()) return true;
    trial = Trial();
    return false;
}

std::string trialText(const Trial& trial) { return std::to_string(trial.failed) + " " + trial.path; }

bool refuses(const std::string& trialRecord, const std::string& path) {
    Trial trial;
    return parseTrial(trialRecord, trial) && trial.failed >= kFailedTrialsRefused && iequals(trial.path, path);
}

}  // namespace runtimeLibraries
