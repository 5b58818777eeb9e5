// The runtime library files of the library folder: which to try at a start
// and at a hand-over, whether one may be loaded, and what is kept. It starts
// no thread; its calls are serialised inside and none of them holds its lock
// while the host binds or starts a library.
//
// A library is kept only once it has proved itself. A candidate that is not
// the last proved library is on trial: before it is bound, the trial and the
// count of its trials that did not end cleanly are on the disk. A trial that
// ends cleanly (its library was stopped and freed) gives its count back; one
// that ends in a crash, a hang or a failed start keeps it. A start that finds
// a trial that did not end cleanly starts the last proved library first, and
// a library whose trials failed twice is not tried again. Once a library on
// trial has served through its probation it is the proved one, and only then
// is what it supersedes deleted, the library proved before it included.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "utils/runtimeLibraries.h"
#include "utils/win/scopedHandle.h"

struct LibraryVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    uint32_t revision = 0;

    bool operator<(const LibraryVersion& other) const {
        return std::tie(major, minor, build, revision) <
               std::tie(other.major, other.minor, other.build, other.revision);
    }
    // "major.minor.build", as "dll_version" holds it.
    std::string text() const;
};

class LibraryFolder {
public:
    // Whether the file, read through the handle held open, may be loaded.
    using Trust = std::function<bool(HANDLE file, const std::string& path)>;

    // Refused: the file is no runtime library (it lacks the exports).
    enum class Outcome { Started, Failed, Refused, Stopping };
    // Binds the library and starts it; called while its checked file is held
    // open, so that the module loaded can be compared with it.
    using BindAndStart = std::function<Outcome(const std::string& name, HANDLE checkedFile)>;

    static constexpr int kFailedTrialsRefused = runtimeLibraries::kFailedTrialsRefused;

    // `folder` is the library folder's full path, without a final backslash;
    // the machine settings hold the record.
    LibraryFolder(std::string folder, Trust trust);

    // A library the runtime placed for the installation it completes next and
    // that was never tried; then a trial that ended cleanly; then the last
    // proved library; then a trial that did not end cleanly. Without a proved
    // library: the recorded file, then the others newest first.
    std::vector<std::string> startCandidates();
    // The library the runtime placed for the hand-over ("install-library"),
    // when it lies in this folder, is not `loaded` and is not refused; empty
    // otherwise. It is kept until it was tried.
    std::string placedLibrary(const std::string& loaded);
    // Makes `name` the library on trial that the next start tries first,
    // on the disk before it returns; false (logged) when it cannot be written.
    bool record(const std::string& name);
    // Tries the candidates in order: each is opened once, checked through that
    // handle, recorded (a trial with its count) and handed to `bindAndStart`
    // while still held. A library on trial that is refused (by its check or
    // its bind) is deleted, or its refusal recorded, before the next
    // candidate is tried; one that cannot even be opened counts as a failed
    // trial. Returns the name that started, empty when none did.
    std::string startFirst(const std::vector<std::string>& candidates, const BindAndStart& bindAndStart);

    // `name` is the library on trial.
    bool onTrial(const std::string& name);
    // The installation under way was handed to `name`: its completion ends
    // the library's probation.
    bool handedInstallation(const std::string& name);
    static bool installationPending();
    // The library bound last says its start failed inside, though its
    // StartMonitoring returned.
    static bool startFailed();
    // `name` served through its probation: it is recorded as the proved
    // library, then what it supersedes goes.
    bool prove(const std::string& name);
    // `name` was stopped and freed: a trial of it did not fail.
    void endedCleanly(const std::string& name);

    std::string path(const std::string& name) const { return folder_ + "\\" + name; }

private:
    struct Checked;
    struct Trial {
        std::string name;
        int failed = 0;
    };
    struct Record;

    std::vector<std::string> listLibraries() const;
    bool readVersion(const std::string& name, LibraryVersion& version) const;
    std::vector<std::string> newestFirst(std::vector<std::string> names) const;
    std::string nameIn(const std::string& recordedPath) const;
    Record readRecord(const std::vector<std::string>& listed) const;
    std::vector<std::string> orderCandidates(const Record& record, std::vector<std::string> listed);
    enum class Check { Passed, Missing, Unreadable, Refused };
    Check check(const std::string& name, Checked& checked);
    bool writeTrialLocked(const Trial& trial);
    bool raiseTrialLocked(const std::string& name);
    bool beginLocked(const std::string& name, const LibraryVersion& version);
    void refuseLocked(const std::string& name);
    void pruneLocked(const std::string& proved);

    const std::string folder_;
    Trust trust_;
    std::mutex mutex_;
    std::set<std::string> requested_;  // asked for, not yet tried
};
