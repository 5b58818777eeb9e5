// What the service host and the update runtime must agree on about the
// runtime library files of the library folder: which names are libraries,
// and when the host's record of its trials refuses one. The host loads only
// what these rules admit; the runtime places only such files and hands its
// installation over only to a library the host would still try.
#pragma once

#include <string>

namespace runtimeLibraries {

// "palvane.dll" or "palvane_<version>.dll" (letters, digits, '.', '-' and
// '_' in the version), in any letter case.
bool isLibraryName(const std::string& name);

// Trials that ended in a crash, a hang or a failed start this often refuse a
// library for good.
constexpr int kFailedTrialsRefused = 2;

// The host's record of the library on trial ("dll-trial"): "<count> <full
// path>", the count being its trials that did not end cleanly.
struct Trial {
    int failed = 0;
    std::string path;
};
// False when the text holds no trial.
bool parseTrial(const std::string& text, Trial& trial);
std::string trialText(const Trial& trial);

// Whether the record refuses the library at `path`.
bool refuses(const std::string& trialRecord, const std::string& path);

}  // namespace runtimeLibraries
