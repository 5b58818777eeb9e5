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

class FolderFiles : public LibraryFolder::Files {
public:
    explicit FolderFiles(std::string folder) : folder_(std::move(folder)) {}

    std::vector<std::string> list() override {
        std::vector<std::string> names;
        const std::string pattern = folder_ + "\\*.dll";
        WIN32_FIND_DATAA entry;
        UniqueFindHandle find(FindFirstFileA(pattern.c_str(), &entry));
        if (!find) {
            TWLOG(LOG_ERROR, "No *.dll found in " << pattern);
            return names;
        }
        do {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(entry.cFileName);
        } while (FindNextFileA(find.get(), &entry));
        return names;
    }

    bool version(const std::string& name, LibraryVersion& version) override {
        FileVersion file(toWide(path(name)));
        if (!file.read()) return false;
        version = {file.major(), file.minor(), file.build(), file.revision()};
        return true;
    }

    bool open(const std::string& name, UniqueHandle& file) override {
        file.reset(CreateFileW(toWide(path(name)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        return static_cast<bool>(file);
    }

    bool remove(const std::string& name) override { return DeleteFileW(toWide(path(name)).c_str()) != FALSE; }

private:
    std::string path(const std::string& name) const { return folder_ + "\\" + name; }

    std::string folder_;
};

class MachineSettings : public LibraryFolder::Settings {
public:
    bool get(const char* name, std::string& value) override { return localConfig(false).getString(name, value); }
    bool set(const char* name, const std::string& value) override {
        return localConfig(false).setString(name, value.c_str());
    }
};

}  // namespace

std::string LibraryVersion::text() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
}

// The held file of a candidate that passed its check.
struct LibraryFolder::Checked {
    UniqueHandle file;
    LibraryVersion version;
};

LibraryFolder::LibraryFolder(std::string folder, std::unique_ptr<Files> files, std::unique_ptr<Settings> settings,
                             Trust trust)
    : folder_(std::move(folder)), files_(std::move(files)), settings_(std::move(settings)), trust_(std::move(trust)) {}

LibraryFolder::LibraryFolder(std::string folder, Trust trust)
    : LibraryFolder(folder, std::make_unique<FolderFiles>(folder), std::make_unique<MachineSettings>(),
                    std::move(trust)) {}

std::vector<std::string> LibraryFolder::listLibraries() {
    std::vector<std::string> names = files_->list();
    names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& name) { return !isLibraryFileName(name); }),
                names.end());
    return names;
}

// A file without a readable version counts as the oldest.
std::vector<std::string> LibraryFolder::newestFirst(std::vector<std::string> names) {
    std::vector<std::pair<LibraryVersion, std::string>> versions;
    for (const std::string& name : names) {
        LibraryVersion version;
        files_->version(name, version);
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
    if (!settings_->get(configKeys::DLL_FILE_NAME, recorded) || recorded.empty()) return names;
    const auto listed = std::find_if(names.begin(), names.end(),
                                     [&](const std::string& name) { return iequals(recorded, path(name)); });
    if (listed == names.end()) {
        TWLOG(LOG_WARN, "The recorded dll file " << recorded << " is not in the Quillmark Palvane folder; it is not used.");
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
    if (!files_->version(name, version)) {
        TWLOG(LOG_CRIT, path(name) << " failed to get version.");
        return false;
    }
    return recordLocked(name, version);
}

// The file name last: it is what the next start acts on.
bool LibraryFolder::recordLocked(const std::string& name, const LibraryVersion& version) {
    for (const auto& [key, value] : {std::make_pair(configKeys::DLL_VERSION, version.text()),
                                     std::make_pair(configKeys::DLL_FILE_NAME, path(name))}) {
        if (!settings_->set(key, value)) {
            TWLOG(LOG_ERROR, "Failed to write " << key << "=" << value);
            return false;
        }
    }
    return true;
}

// A file without a readable version is no build of the runtime.
bool LibraryFolder::check(const std::string& name, Checked& checked) {
    if (!files_->open(name, checked.file)) {
        const DWORD error = GetLastError();
        TWLOG(LOG_ERROR, "Failed to open " << path(name) << ", error=" << error);
        return false;
    }
    if (!files_->version(name, checked.version)) {
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
            // Recorded before the start, which may wait long: a stop or a
            // power cut meanwhile must find this file first next time.
            requested_.erase(name);
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
    files_->version(started, startedVersion);
    for (const std::string& name : listLibraries()) {
        LibraryVersion version;
        const bool superseded = files_->version(name, version) && version < startedVersion;
        if (name == started || requested_.count(name) != 0 || (tried_.count(name) == 0 && !superseded)) continue;
        TWLOG(LOG_INFO, "Delete old dll file " << name);
        if (files_->remove(name)) {
            tried_.erase(name);
        } else {
            TWLOG(LOG_ERROR, "Failed to delete " << name);
        }
    }
}
