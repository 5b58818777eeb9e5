#include "palvane/win/upgrademgr/libraryFolder.h"

#include <algorithm>

#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/FileVersion.h"
#include "utils/win/localconfig.h"
#include "utils/win/stringconv.h"

namespace {

// The installation's values the host reads (the runtime's journal writes them).
constexpr const char* kTrue = "true";
constexpr const char* kStageExtracted = "extracted";

bool listed(const std::vector<std::string>& names, const std::string& name) {
    return !name.empty() && std::find(names.begin(), names.end(), name) != names.end();
}

std::string setting(const char* name) {
    std::string value;
    if (!localConfig(true).getString(name, value)) value.clear();
    return value;
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

// What the settings say of the listed libraries.
struct LibraryFolder::Record {
    std::string proved;
    Trial trial;          // not the proved one
    std::string placed;   // for the installation at "extracted", never tried
    std::string recorded; // "dll_file_name"
};

LibraryFolder::LibraryFolder(std::string folder, Trust trust) : folder_(std::move(folder)), trust_(std::move(trust)) {}

// A pattern also matches long names whose short name ends in ".dll": only
// the long name decides.
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
        const bool file = !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        if (file && runtimeLibraries::isLibraryName(name)) names.push_back(name);
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

// The bare name of a recorded full path that names a library of this folder.
std::string LibraryFolder::nameIn(const std::string& recordedPath) const {
    const size_t slash = recordedPath.find_last_of('\\');
    if (slash == std::string::npos || !iequals(recordedPath.substr(0, slash), folder_)) return std::string();
    const std::string name = recordedPath.substr(slash + 1);
    return runtimeLibraries::isLibraryName(name) ? name : std::string();
}

LibraryFolder::Record LibraryFolder::readRecord(const std::vector<std::string>& names) const {
    const auto listedName = [&](const std::string& recorded) {
        const std::string name = nameIn(recorded);
        return listed(names, name) ? name : std::string();
    };
    Record record;
    record.proved = listedName(setting(configKeys::DLL_PROVED));
    runtimeLibraries::Trial trial;
    if (runtimeLibraries::parseTrial(setting(configKeys::DLL_TRIAL), trial)) {
        record.trial = {listedName(trial.path), trial.failed};
    }
    // A proof cut short before the trial was dropped.
    if (record.trial.name.empty() || record.trial.name == record.proved) record.trial = Trial();
    if (setting(configKeys::INSTALL_PENDING) == kTrue && setting(configKeys::INSTALL_STAGE) == kStageExtracted) {
        record.placed = listedName(setting(configKeys::INSTALL_LIBRARY));
        if (record.placed == record.proved || record.placed == record.trial.name) record.placed.clear();
    }
    record.recorded = listedName(setting(configKeys::DLL_FILE_NAME));
    return record;
}

std::vector<std::string> LibraryFolder::startCandidates() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names = listLibraries();
    if (names.size() > 1) TWLOG(LOG_WARN, "More than one dll found in Quillmark Palvane folder.");
    return orderCandidates(readRecord(names), names);
}

std::vector<std::string> LibraryFolder::orderCandidates(const Record& record, std::vector<std::string> names) {
    const Trial& trial = record.trial;
    // The last library left is tried even so: nothing else could run.
    if (trial.failed >= kFailedTrialsRefused && names.size() > 1) {
        TWLOG(LOG_ERROR, "The runtime library " << trial.name << " failed " << trial.failed
                                                << " trials; it is not tried again.");
        refuseLocked(trial.name);
        names.erase(std::find(names.begin(), names.end(), trial.name));
    }
    std::vector<std::string> order;
    const auto add = [&](const std::string& name) {
        if (listed(names, name) && !listed(order, name)) order.push_back(name);
    };
    const bool trialFailed = !trial.name.empty() && trial.failed > 0;
    add(record.placed);
    if (!trialFailed) add(trial.name);
    if (trialFailed && !record.proved.empty()) {
        TWLOG(LOG_WARN, "The trial of " << trial.name << " did not end cleanly; the proved library " << record.proved
                                        << " is started first.");
    }
    add(record.proved);
    if (record.proved.empty()) {
        if (record.recorded != trial.name || !trialFailed) add(record.recorded);
        for (const std::string& name : newestFirst(names)) {
            if (name != trial.name || !trialFailed) add(name);
        }
    }
    if (trialFailed) add(trial.name);
    if (!order.empty() && record.recorded == order.front()) TWLOG(LOG_INFO, "DLL file name " << order.front());
    return order;
}

std::string LibraryFolder::placedLibrary(const std::string& loaded) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string name = nameIn(setting(configKeys::INSTALL_LIBRARY));
    if (name.empty() || name == loaded || !listed(listLibraries(), name)) return std::string();
    // The runtime asks for the hand-over by the same rule: it completes the
    // installation itself once its library is refused.
    if (runtimeLibraries::refuses(setting(configKeys::DLL_TRIAL), path(name))) return std::string();
    requested_.insert(name);
    return name;
}

bool LibraryFolder::record(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Record record = readRecord({name});
    // Its count stays: asked for again, it is no new library.
    return record.proved == name || writeTrialLocked({name, record.trial.name == name ? record.trial.failed : 0});
}

bool LibraryFolder::writeTrialLocked(const Trial& trial) {
    const std::string value = runtimeLibraries::trialText({trial.failed, path(trial.name)});
    localConfig settings(false);
    if (!settings.setString(configKeys::DLL_TRIAL, value.c_str()) || !settings.flush()) {
        TWLOG(LOG_ERROR, "Failed to write " << configKeys::DLL_TRIAL << "=" << value);
        return false;
    }
    return true;
}

// One more trial of `name` that fails unless it ends cleanly; the proved
// library is on no trial.
bool LibraryFolder::raiseTrialLocked(const std::string& name) {
    const Record record = readRecord({name});
    if (record.proved == name) return true;
    return writeTrialLocked({name, (record.trial.name == name ? record.trial.failed : 0) + 1});
}

// A trial counts as failed from here until its library is freed cleanly; the
// file in use is recorded after it, its name last. What an earlier library
// said of its start goes first.
bool LibraryFolder::beginLocked(const std::string& name, const LibraryVersion& version) {
    if (!raiseTrialLocked(name)) return false;
    localConfig settings(false);
    settings.deleteValue(configKeys::DLL_START_FAILED);
    for (const auto& [key, value] : {std::make_pair(configKeys::DLL_VERSION, version.text()),
                                     std::make_pair(configKeys::DLL_FILE_NAME, path(name))}) {
        if (!settings.setString(key, value.c_str())) TWLOG(LOG_ERROR, "Failed to write " << key << "=" << value);
    }
    settings.flush();
    return true;
}

// A file without a readable version is no build of the runtime.
LibraryFolder::Check LibraryFolder::check(const std::string& name, Checked& checked) {
    checked.file.reset(CreateFileW(toWide(path(name)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!checked.file) {
        const DWORD error = GetLastError();
        TWLOG(LOG_ERROR, "Failed to open " << path(name) << ", error=" << error);
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Check::Missing : Check::Unreadable;
    }
    if (!readVersion(name, checked.version)) {
        TWLOG(LOG_CRIT, path(name) << " failed to get version.");
        return Check::Refused;
    }
    // No trust decision at all loads nothing.
    return trust_ && trust_(checked.file.get(), path(name)) ? Check::Passed : Check::Refused;
}

// A refused file that stayed would be asked for again.
void LibraryFolder::refuseLocked(const std::string& name) {
    TWLOG(LOG_ERROR, "The runtime library " << name << " is refused; it is deleted.");
    if (DeleteFileW(toWide(path(name)).c_str())) return;
    const DWORD error = GetLastError();
    TWLOG(LOG_ERROR, "Failed to delete " << name << ", error=" << error << "; its refusal is recorded.");
    writeTrialLocked({name, kFailedTrialsRefused});
}

std::string LibraryFolder::startFirst(const std::vector<std::string>& candidates, const BindAndStart& bindAndStart) {
    for (const std::string& name : candidates) {
        Checked checked;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requested_.erase(name);
            const Check result = check(name, checked);
            if (result == Check::Refused && readRecord({name}).proved != name) {
                checked.file.reset();  // held without delete sharing
                refuseLocked(name);
            }
            // A file held by someone else may stay so: a hand-over asked for
            // it again and again must end.
            if (result == Check::Unreadable) raiseTrialLocked(name);
            // Recorded before the start, which may wait long: a crash, a stop
            // or a power cut meanwhile must find the trial on the disk.
            if (result != Check::Passed || !beginLocked(name, checked.version)) continue;
        }
        const Outcome outcome = bindAndStart(name, checked.file.get());
        if (outcome == Outcome::Stopping) return std::string();
        if (outcome == Outcome::Started) return name;
        checked.file.reset();
        std::lock_guard<std::mutex> lock(mutex_);
        if (outcome == Outcome::Refused && readRecord({name}).proved != name) refuseLocked(name);
    }
    return std::string();
}

bool LibraryFolder::onTrial(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return readRecord({name}).trial.name == name;
}

bool LibraryFolder::installationPending() { return setting(configKeys::INSTALL_PENDING) == kTrue; }

bool LibraryFolder::startFailed() { return !setting(configKeys::DLL_START_FAILED).empty(); }

bool LibraryFolder::handedInstallation(const std::string& name) {
    return installationPending() && nameIn(setting(configKeys::INSTALL_LIBRARY)) == name;
}

// The proof is written before the trial goes: cut between the two, the trial
// names the proved library and counts for nothing.
bool LibraryFolder::prove(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (readRecord({name}).trial.name != name) return false;
    localConfig settings(false);
    if (!settings.setString(configKeys::DLL_PROVED, path(name).c_str()) || !settings.flush()) {
        TWLOG(LOG_ERROR, "Failed to write " << configKeys::DLL_PROVED << "=" << path(name));
        return false;
    }
    settings.deleteValue(configKeys::DLL_TRIAL);
    settings.flush();
    TWLOG(LOG_NOTICE, "The runtime library " << name << " has proved itself.");
    pruneLocked(name);
    return true;
}

void LibraryFolder::endedCleanly(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Trial trial = readRecord({name}).trial;
    if (trial.name != name || trial.failed == 0) return;
    --trial.failed;
    writeTrialLocked(trial);
}

// Everything but the proved library, a library placed for the installation
// under way, and one asked for and not yet tried.
void LibraryFolder::pruneLocked(const std::string& proved) {
    const std::string placed = installationPending() ? nameIn(setting(configKeys::INSTALL_LIBRARY)) : std::string();
    for (const std::string& name : listLibraries()) {
        if (name == proved || name == placed || requested_.count(name) != 0) continue;
        TWLOG(LOG_INFO, "Delete old dll file " << name);
        if (!DeleteFileW(toWide(path(name)).c_str())) TWLOG(LOG_ERROR, "Failed to delete " << name);
    }
}
