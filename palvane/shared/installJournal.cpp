#include "palvane/shared/installJournal.h"

#include <windows.h>

#include <sstream>

#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"

namespace PALVANE_SERVICE {
namespace keys = configKeys;

namespace {

class MachineSettingsStore : public ISettingsStore {
public:
    bool get(const char* name, std::string& value) override { return localConfig(true).getString(name, value); }
    bool set(const char* name, const std::string& value) override {
        return localConfig(false).setString(name, value.c_str());
    }
    bool remove(const char* name) override { return localConfig(false).deleteValue(name); }
    bool flush() override { return localConfig(false).flush(); }
};

// Unique enough to tell one installation attempt's backups from another's.
std::string newAttemptId() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    std::ostringstream id;
    id << std::hex << now.dwHighDateTime << now.dwLowDateTime << '-' << GetCurrentProcessId() << '-'
       << GetTickCount64();
    return id.str();
}

constexpr const char* kTrue = "true";

}  // namespace

std::shared_ptr<ISettingsStore> makeMachineSettingsStore() { return std::make_shared<MachineSettingsStore>(); }

bool InstallRecord::hasRemnant() const {
    return !pending && (!stage.empty() || !attempt.empty() || !cabinet.empty() || !cabinetDigest.empty() ||
                        !upgradeVersion.empty() || priorKnown || !library.empty() || !backups.empty());
}

InstallJournal::InstallJournal(std::shared_ptr<ISettingsStore> store) : store_(std::move(store)) { load(); }

InstallRecord InstallJournal::read() {
    InstallRecord record;
    std::string text;
    record.pending = store_->get(keys::INSTALL_PENDING, text) && text == kTrue;
    record.fresh = store_->get(keys::INSTALL_FRESH, text) && !text.empty();
    record.priorKnown = store_->get(keys::INSTALL_PRIOR_VERSION, record.priorVersion);
    const std::pair<const char*, std::string*> texts[] = {
        {keys::INSTALL_STAGE, &record.stage},
        {keys::INSTALL_CABFILE, &record.cabinet},
        {keys::INSTALL_CABHASH, &record.cabinetDigest},
        {keys::UPGRADE_VERSION, &record.upgradeVersion},
        {keys::INSTALLING_VERSION, &record.installingVersion},
        {keys::INSTALL_ATTEMPT, &record.attempt},
        {keys::INSTALLED_VERSION, &record.installedVersion},
        {keys::INSTALL_LIBRARY, &record.library},
        {keys::INSTALL_BACKUPS, &record.backups},
    };
    for (const auto& [name, value] : texts) {
        if (!store_->get(name, *value)) value->clear();
    }
    return record;
}

InstallRecord InstallJournal::load() {
    InstallRecord record = read();
    std::lock_guard<std::mutex> lock(recordLock_);
    record_ = record;
    return record;
}

InstallRecord InstallJournal::record() const {
    std::lock_guard<std::mutex> lock(recordLock_);
    return record_;
}

bool InstallJournal::run(const Step& step) {
    switch (step.kind) {
        case Step::Set:
            if (store_->set(step.name, step.value)) return true;
            TWLOG(LOG_ERROR, "Failed to set " << step.name << " registry value");
            return false;
        case Step::Remove:
            if (store_->remove(step.name)) return true;
            TWLOG(LOG_ERROR, "Failed to delete " << step.name << " registry value");
            return false;
        case Step::Flush:
            if (store_->flush()) return true;
            TWLOG(LOG_ERROR, "Failed to flush the installation's registry values");
            return false;
    }
    return false;
}

// Stops at the first write that fails: what comes after it may only follow
// what it was to write.
bool InstallJournal::apply(const std::vector<Step>& steps) {
    bool ok = true;
    for (const Step& step : steps) {
        if (!run(step)) {
            ok = false;
            break;
        }
    }
    load();
    return ok;
}

// What an ended attempt leaves; the stage goes last, so a clean-up cut short
// still tells how the attempt ended.
void InstallJournal::appendCleanUp(std::vector<Step>& steps, bool keepFresh) {
    if (!keepFresh) steps.push_back(remove(keys::INSTALL_FRESH));
    for (const char* name : {keys::INSTALL_CABFILE, keys::INSTALL_CABHASH, keys::UPGRADE_VERSION,
                             keys::INSTALLING_VERSION, keys::INSTALL_PRIOR_VERSION, keys::INSTALL_LIBRARY,
                             keys::INSTALL_BACKUPS, keys::INSTALL_ATTEMPT, keys::INSTALL_STAGE}) {
        steps.push_back(remove(name));
    }
    steps.push_back(flush());
}

bool InstallJournal::recordOffer(const std::string& version) {
    std::lock_guard<std::mutex> lock(transitionLock_);
    if (record().pending) return true;
    return apply({set(keys::INSTALLING_VERSION, version)});
}

bool InstallJournal::withdrawUpgrade() {
    std::lock_guard<std::mutex> lock(transitionLock_);
    if (!record().pending) return true;
    return apply({remove(keys::INSTALL_PENDING), flush()});
}

bool InstallJournal::recordUpgrade(const std::string& cabinet, const std::string& digest, const std::string& version) {
    std::lock_guard<std::mutex> lock(transitionLock_);
    const InstallRecord now = record();
    if (now.stageSet()) return false;
    return apply({remove(keys::INSTALL_PENDING), remove(keys::INSTALL_STAGE), remove(keys::INSTALL_LIBRARY),
                  remove(keys::INSTALL_BACKUPS), set(keys::INSTALL_CABFILE, cabinet),
                  set(keys::INSTALL_CABHASH, digest),
                  set(keys::UPGRADE_VERSION, version), set(keys::INSTALLING_VERSION, version),
                  set(keys::INSTALL_PRIOR_VERSION, now.installedVersion), set(keys::INSTALL_ATTEMPT, newAttemptId()),
                  flush(), set(keys::INSTALL_PENDING, kTrue), flush()});
}

bool InstallJournal::beginFresh(const std::string& cabinet, const std::string& digest, const std::string& version) {
    std::lock_guard<std::mutex> lock(transitionLock_);
    if (record().stageSet()) return false;
    return apply({remove(keys::INSTALL_PENDING), remove(keys::INSTALL_STAGE), remove(keys::INSTALL_LIBRARY),
                  remove(keys::INSTALL_BACKUPS), remove(keys::UPGRADE_VERSION), remove(keys::INSTALL_PRIOR_VERSION),
                  set(keys::INSTALL_CABFILE, cabinet), set(keys::INSTALL_CABHASH, digest),
                  set(keys::INSTALLING_VERSION, version), set(keys::INSTALL_ATTEMPT, newAttemptId()),
                  set(keys::INSTALL_FRESH, kTrue), flush(), set(keys::INSTALL_PENDING, kTrue), flush()});
}

bool InstallJournal::markPhaseOneDue() {
    std::lock_guard<std::mutex> lock(transitionLock_);
    if (!record().awaitsReboot()) return false;
    return apply({set(keys::INSTALL_STAGE, InstallRecord::kPhaseOne), flush()});
}

bool InstallJournal::forgetCabinet() {
    std::lock_guard<std::mutex> lock(transitionLock_);
    return apply({remove(keys::INSTALL_CABFILE), remove(keys::INSTALL_CABHASH), flush()});
}

bool InstallJournal::replaceCabinet(const std::string& cabinet, const std::string& digest,
                                    const std::string& version) {
    std::lock_guard<std::mutex> lock(transitionLock_);
    return apply({set(keys::UPGRADE_VERSION, version), set(keys::INSTALLING_VERSION, version),
                  set(keys::INSTALL_CABHASH, digest), flush(), set(keys::INSTALL_CABFILE, cabinet), flush()});
}

std::string InstallJournal::beginBackup() {
    std::lock_guard<std::mutex> lock(transitionLock_);
    const std::string attempt = record().attempt;
    if (!attempt.empty()) return attempt;
    return apply({set(keys::INSTALL_ATTEMPT, newAttemptId()), flush()}) ? record().attempt : std::string();
}

bool InstallJournal::noteBackup(const std::string& entry) {
    std::lock_guard<std::mutex> lock(transitionLock_);
    const std::string listed = record().backups;
    return apply({set(keys::INSTALL_BACKUPS, listed.empty() ? entry : listed + "\n" + entry), flush()});
}

// Nothing is replaced yet when it fails: the stage from before is put back,
// so that the old version, which runs on, is watched.
bool InstallJournal::beginExtraction() {
    std::lock_guard<std::mutex> lock(transitionLock_);
    const std::string before = record().stage;
    if (apply({set(keys::INSTALL_STAGE, InstallRecord::kExtracting), flush()})) return true;
    (void)apply({before.empty() ? remove(keys::INSTALL_STAGE) : set(keys::INSTALL_STAGE, before), flush()});
    return false;
}

bool InstallJournal::noteLibrary(const std::string& file) {
    std::lock_guard<std::mutex> lock(transitionLock_);
    return apply({set(keys::INSTALL_LIBRARY, file), flush()});
}

bool InstallJournal::markExtracted() {
    std::lock_guard<std::mutex> lock(transitionLock_);
    return apply({set(keys::INSTALL_STAGE, InstallRecord::kExtracted), flush()});
}

// What ends an attempt: the version it leaves, then "install-pending" goes
// (the end's commit), then the rest of it.
std::vector<InstallJournal::Step> InstallJournal::ending(std::vector<Step> steps, bool keepFresh) {
    steps.push_back(flush());
    steps.push_back(remove(keys::INSTALL_PENDING));
    steps.push_back(flush());
    appendCleanUp(steps, keepFresh);
    return steps;
}

bool InstallJournal::commit() {
    std::lock_guard<std::mutex> lock(transitionLock_);
    const std::string version = record().attemptVersion();
    if (version.empty()) return apply(ending({}, false));
    return apply(ending({set(keys::INSTALLED_VERSION, version)}, false));
}

// A fresh attempt had no version before it; an attempt recorded before the
// version from before was kept leaves "installed_version" as it is (it was
// never changed before a commit).
std::vector<InstallJournal::Step> InstallJournal::versionBefore(const InstallRecord& now) {
    if (now.fresh || (now.priorKnown && now.priorVersion.empty())) return {remove(keys::INSTALLED_VERSION)};
    if (now.priorKnown) return {set(keys::INSTALLED_VERSION, now.priorVersion)};
    return {};
}

// A commit cut short may have recorded the attempt's version: it is not
// the version on the disk while the old files are put back.
bool InstallJournal::beginRestore() {
    std::lock_guard<std::mutex> lock(transitionLock_);
    const InstallRecord now = record();
    std::vector<Step> steps = versionBefore(now);
    const bool unchanged = steps.empty() || (steps[0].kind == Step::Set ? now.installedVersion == steps[0].value
                                                                        : now.installedVersion.empty());
    if (unchanged) {
        steps.clear();
    } else {
        steps.push_back(flush());
    }
    steps.push_back(set(keys::INSTALL_STAGE, InstallRecord::kRestore));
    steps.push_back(flush());
    return apply(steps);
}

bool InstallJournal::endRestore() {
    std::lock_guard<std::mutex> lock(transitionLock_);
    return apply(ending(versionBefore(record()), true));
}

bool InstallJournal::clear() {
    std::lock_guard<std::mutex> lock(transitionLock_);
    const InstallRecord now = record();
    std::vector<Step> steps;
    if (now.pending) steps = {remove(keys::INSTALL_PENDING), flush()};
    appendCleanUp(steps, !now.committedRemnant());
    return apply(steps);
}

}  // namespace PALVANE_SERVICE
