// The installation's persisted state and the only code that writes it.
//
// An installation outlives the process that runs it: a reboot, a library
// reload, a kill or a power cut can end the process at any write. So where an
// installation stands lives in the machine settings, and every change of it is
// one named transition whose writes come in an order of which every prefix
// is safe: the value that commits a transition is written last, and the
// settings are on the disk (flushed) before it and after it. What a start
// does with what it finds is decided in one place (installRecovery.h).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace PALVANE_SERVICE {

// Where the journal keeps its values: the machine settings in production.
class ISettingsStore {
public:
    // False when the value is not there (or cannot be read).
    virtual bool get(const char* name, std::string& value) = 0;
    virtual bool set(const char* name, const std::string& value) = 0;
    // A value that is not there counts as removed.
    virtual bool remove(const char* name) = 0;
    // Returns once what was written is on the disk.
    virtual bool flush() = 0;
    virtual ~ISettingsStore() = default;
};

std::shared_ptr<ISettingsStore> makeMachineSettingsStore();

// The journal as it was read at one moment.
struct InstallRecord {
    // Values of "install-stage".
    static constexpr const char* kPhaseOne = "phase-one";
    static constexpr const char* kExtracting = "extracting";
    static constexpr const char* kExtracted = "extracted";
    static constexpr const char* kRestore = "restore";

    // "install-pending": an attempt is under way; its removal ends it.
    bool pending = false;
    std::string stage;
    // "install-fresh": files of a fresh installation no completion owns yet.
    bool fresh = false;
    std::string cabinet;
    std::string cabinetDigest;
    std::string upgradeVersion;
    std::string installingVersion;
    std::string attempt;
    std::string installedVersion;
    // The version installed before the attempt; unknown for a fresh one.
    bool priorKnown = false;
    std::string priorVersion;
    std::string library;
    // "install-backups": the backups this attempt completed.
    std::string backups;

    // A downloaded upgrade waits for the reboot that starts its phase I.
    bool awaitsReboot() const { return pending && stage.empty() && !fresh && !cabinet.empty(); }
    bool phaseOneDue() const { return pending && stage == kPhaseOne; }
    bool restoreDue() const { return pending && stage == kRestore; }
    // The attempt has reached a stage: it is finished or undone before any
    // other begins.
    bool stageSet() const { return pending && !stage.empty(); }
    // The agent's files are being replaced or restored: neither wholly old
    // nor wholly new.
    bool filesInFlux() const { return pending && (stage == kExtracting || stage == kExtracted || stage == kRestore); }
    // A completed installation whose clean-up was cut short.
    bool committedRemnant() const { return !pending && stage == kExtracted; }
    // The agent's files belong to no completed installation.
    bool freshFilesUncommitted() const { return fresh && !committedRemnant(); }
    // Values left by an attempt that has ended, or never began.
    bool hasRemnant() const;
    // The version the attempt installs.
    std::string attemptVersion() const { return upgradeVersion.empty() ? installingVersion : upgradeVersion; }
};

class InstallJournal {
public:
    explicit InstallJournal(std::shared_ptr<ISettingsStore> store);

    // Reads the settings again; record() then returns what was read.
    InstallRecord load();
    InstallRecord record() const;

    // Each transition returns false when a write failed; the writes before it
    // stay (they are a safe prefix) and record() shows them.

    // The version a tick was offered, while no attempt is under way.
    [[nodiscard]] bool recordOffer(const std::string& version);
    // Takes back a waiting upgrade before another is recorded over it.
    [[nodiscard]] bool withdrawUpgrade();
    // A downloaded upgrade waits for its reboot; "install-pending" commits it.
    [[nodiscard]] bool recordUpgrade(const std::string& cabinet, const std::string& digest, const std::string& version);
    // A fresh installation begins; "install-fresh" is written before any
    // file lands, "install-pending" commits it.
    [[nodiscard]] bool beginFresh(const std::string& cabinet, const std::string& digest, const std::string& version);
    // The reboot came: phase I is due until the extraction has begun.
    [[nodiscard]] bool markPhaseOneDue();
    // Phase I fetches the cabinet again; it may come under the same name.
    [[nodiscard]] bool forgetCabinet();
    [[nodiscard]] bool replaceCabinet(const std::string& cabinet, const std::string& digest, const std::string& version);
    // The attempt's identity; an attempt recorded without one gets one.
    // Empty when it cannot be written.
    [[nodiscard]] std::string beginBackup();
    // One more backup of this attempt is complete and on the disk.
    [[nodiscard]] bool noteBackup(const std::string& entry);
    // The backups are complete and on the disk; files are replaced from now on.
    [[nodiscard]] bool beginExtraction();
    // A runtime library is about to be placed in the library folder.
    [[nodiscard]] bool noteLibrary(const std::string& file);
    // Every file is in place and on the disk; only the completion is due.
    [[nodiscard]] bool markExtracted();
    // The new version runs: it is recorded, then the attempt ends.
    [[nodiscard]] bool commit();
    // Written before a rollback touches any file; a version the attempt
    // recorded already goes back to the one from before first.
    [[nodiscard]] bool beginRestore();
    // The old files are back: the version from before is recorded again,
    // then the attempt ends.
    [[nodiscard]] bool endRestore();
    // Drops what is recorded of an attempt that cannot go on, or the remnant
    // of one that ended; "installed_version" stays.
    [[nodiscard]] bool clear();

private:
    struct Step {
        enum Kind { Set, Remove, Flush } kind;
        const char* name;
        std::string value;
    };
    static Step set(const char* name, const std::string& value) { return {Step::Set, name, value}; }
    static Step remove(const char* name) { return {Step::Remove, name, std::string()}; }
    static Step flush() { return {Step::Flush, nullptr, std::string()}; }
    static void appendCleanUp(std::vector<Step>& steps, bool keepFresh);
    static std::vector<Step> versionBefore(const InstallRecord& now);
    static std::vector<Step> ending(std::vector<Step> steps, bool keepFresh);

    bool apply(const std::vector<Step>& steps);
    bool run(const Step& step);
    InstallRecord read();

    std::shared_ptr<ISettingsStore> store_;
    // One transition at a time; the record is read by other threads.
    std::mutex transitionLock_;
    mutable std::mutex recordLock_;
    InstallRecord record_;
};

}  // namespace PALVANE_SERVICE
