// The runtime library files of the library folder: which to try at a start
// and at a reload, whether one may be loaded, which one the settings name,
// and which may go. It starts no thread; its calls are serialised inside and
// none of them holds its lock while the host binds or starts a library.
//
// Nothing is deleted until a library has bound and started, and then only
// what it supersedes: files that failed, files that ran earlier and older
// files. The one that started last is never deleted, nor a file asked for and
// not yet tried (a library asked for while another reload runs), nor a newer
// one not yet tried.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

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

    enum class Outcome { Started, Failed, Stopping };
    // Binds the library and starts it; called while its checked file is held.
    using BindAndStart = std::function<Outcome(const std::string& name)>;

    // `folder` is the library folder's full path, without a final backslash;
    // the machine settings hold the record.
    LibraryFolder(std::string folder, Trust trust);

    // The recorded file first when it is listed, then the others, newest first.
    std::vector<std::string> startCandidates();
    // What a reload request asks for: the newest library not loaded, not under
    // way and not tried before; empty when there is none. It is kept until it
    // was tried.
    std::string newFileFor(const std::string& loaded, const std::string& underway);
    // Makes `name` the file the next start tries first; false (logged) when
    // its version cannot be read or the settings cannot be written.
    bool record(const std::string& name);
    // Tries the candidates in order: each is opened once, checked through that
    // handle, recorded and handed to `bindAndStart` while still held. Once
    // one has started, what it supersedes is deleted. Returns the name that
    // started, empty when none did.
    std::string startFirst(const std::vector<std::string>& candidates, const BindAndStart& bindAndStart);

    std::string path(const std::string& name) const { return folder_ + "\\" + name; }

private:
    struct Checked;

    std::vector<std::string> listLibraries() const;
    bool readVersion(const std::string& name, LibraryVersion& version) const;
    std::vector<std::string> newestFirst(std::vector<std::string> names) const;
    bool check(const std::string& name, Checked& checked);
    bool recordLocked(const std::string& name, const LibraryVersion& version);
    void pruneLocked(const std::string& started);

    const std::string folder_;
    Trust trust_;
    std::mutex mutex_;
    std::set<std::string> tried_;      // failed, or started and since replaced
    std::set<std::string> requested_;  // asked for, not yet tried
};
