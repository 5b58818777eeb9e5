#include "palvane/win/upgrademgr/libraryFolder.h"

#include <algorithm>

#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/FileVersion.h"
#include "utils/win/localconfig.h"
#include "utils/win/stringconv.h"

namespace {

bool isLibraryFileName(const std::string& name) {
    return name.find("palvane") != std::string::npos && name.find(".dll") != std::string::npos;
}

}  // namespace

std::string LibraryVersion::text() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
}

// The held file of a candidate that passed its check.
struct LibraryFolder::Checked {
    UniqueHandle file;
    LibraryVersion version;
};

LibraryFolder::LibraryFolder(std::string folder, Trust trust) : folder_(std::move(folder)), trust_(std::move(trust)) {}

std::vector<std::string> LibraryFolder::listLibraries() const {
    std::vector<std::string> names;
    const std::string pattern = folder_ + "\\*.dll";
    WIN32_FIND_DATAA entry;
    UniqueFindHandle find(FindFirstFileA(pattern.c_str(), &entry));
    if (!find) {
        TWLOG(LOG_ERROR, "No *.dll found in " << pattern);
        return names;
    }
    do {
        const std::string name = entry.cFileName;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && isLibraryFileName(name)) names.push_back(name);
    } while (FindNextFileA(find.get(), &entry));
    return names;
}

bool LibraryFolder::readVersion(const std::string& name, LibraryVersion& version) const {
    FileVersion file(toWide(path(name)));
    if (!file.read()) return false;
    version = {file.major(), file.minor(), file.build(), file.revision()};
    return true;
}

// A file without a readable version counts as the oldest.
std::vector<std::string> LibraryFolder::newestFirst(std::vector<std::string> names) const {
    std::vector<std::pair<LibraryVersion, std::string>> versions;
    for (const std::string& name : names) {
        LibraryVersion version;
        readVersion(name, version);
        versions.emplace_back(version, name);
    }
    std::stable_sort(versions.begin(), versions.end(),
                     [](const auto& a, const auto& b) { return b.first < a.first; });
    names.clear();
    for (const auto& entry : versions) names.push_back(entry.second);
    return names;
}

std::vector<std::string> LibraryFolder::startCandidates() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names = newestFirst(listLibraries());
    if (names.size() > 1) TWLOG(LOG_WARN, "More than one dll found in Quillmark Palvane folder.");
    std::string recorded;
    if (!localConfig(false).getString(configKeys::DLL_FILE_NAME, recorded) || recorded.empty()) return names;
    const auto listed = std::find_if(names.begin(), names.end(),
                                     [&](const std::string& name) { return iequals(recorded, path(name)); });
    if (listed == names.end()) {
        TWLOG(LOG_WARN,
              "The recorded dll file " << recorded << " is not in the Quillmark Palvane folder; it is not used.");
        return names;
    }
    TWLOG(LOG_INFO, "DLL file name " << *listed);
    std::rotate(names.begin(), listed, listed + 1);
    return names;
}

std::string LibraryFolder::newFileFor(const std::string& loaded, const std::string& underway) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& name : newestFirst(listLibraries())) {
        if (name == loaded || name == underway || tried_.count(name) != 0) continue;
        requested_.insert(name);
        return name;
    }
    return std::string();
}

bool LibraryFolder::record(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    LibraryVersion version;
    if (!readVersion(name, version)) {
        TWLOG(LOG_CRIT, path(name) << " failed to get version.");
        return false;
    }
    return recordLocked(name, version);
}

// The file name last: it is what the next start acts on.
bool LibraryFolder::recordLocked(const std::string& name, const LibraryVersion& version) {
    for (const auto& [key, value] : {std::make_pair(configKeys::DLL_VERSION, version.text()),
                                     std::make_pair(configKeys::DLL_FILE_NAME, path(name))}) {
        if (!localConfig(false).setString(key, value.c_str())) {
            TWLOG(LOG_ERROR, "Failed to write " << key << "=" << value);
            return false;
        }
    }
    return true;
}

// A file without a readable version is no build of the runtime.
bool LibraryFolder::check(const std::string& name, Checked& checked) {
    checked.file.reset(CreateFileW(toWide(path(name)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!checked.file) {
        const DWORD error = GetLastError();
        TWLOG(LOG_ERROR, "Failed to open " << path(name) << ", error=" << error);
        return false;
    }
    if (!readVersion(name, checked.version)) {
        TWLOG(LOG_CRIT, path(name) << " failed to get version.");
        return false;
    }
    // No trust decision at all loads nothing.
    return trust_ && trust_(checked.file.get(), path(name));
}

std::string LibraryFolder::startFirst(const std::vector<std::string>& candidates, const BindAndStart& bindAndStart) {
    for (const std::string& name : candidates) {
        Checked checked;
        bool passed = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requested_.erase(name);
            // Recorded before the start, which may wait long: a stop or a
            // power cut meanwhile must find this file first next time.
            passed = check(name, checked);
            if (passed) recordLocked(name, checked.version);
        }
        const Outcome outcome = passed ? bindAndStart(name) : Outcome::Failed;
        std::lock_guard<std::mutex> lock(mutex_);
        if (outcome == Outcome::Stopping) return std::string();
        if (outcome == Outcome::Failed) {
            tried_.insert(name);
            continue;
        }
        pruneLocked(name);
        tried_.insert(name);  // the next library to start replaces it
        return name;
    }
    return std::string();
}

// Goes: what failed, what ran before, and what is older than the library
// that started and was never asked for.
void LibraryFolder::pruneLocked(const std::string& started) {
    tried_.erase(started);
    LibraryVersion startedVersion;
    readVersion(started, startedVersion);
    for (const std::string& name : listLibraries()) {
        LibraryVersion version;
        const bool superseded = readVersion(name, version) && version < startedVersion;
        if (name == started || requested_.count(name) != 0 || (tried_.count(name) == 0 && !superseded)) continue;
        TWLOG(LOG_INFO, "Delete old dll file " << name);
        if (DeleteFileW(toWide(path(name)).c_str())) {
            tried_.erase(name);
        } else {
            TWLOG(LOG_ERROR, "Failed to delete " << name);
        }
    }
}
