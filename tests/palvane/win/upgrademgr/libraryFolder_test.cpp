// The library folder without a service: which files a start or a reload
// tries, in which order, what is recorded and what is deleted afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "palvane/win/upgrademgr/libraryFolder.h"
#include "utils/configKeys.h"

namespace {

const char* const kFolder = "C:\\Agent\\Quillmark Palvane";

// "name:1.2.3.4", or "name:-" for a file without a readable version.
class FakeFiles : public LibraryFolder::Files {
public:
    explicit FakeFiles(const std::vector<std::string>& files) {
        for (const std::string& file : files) {
            const size_t colon = file.find(':');
            std::istringstream numbers(file.substr(colon + 1));
            LibraryVersion version;
            char dot = 0;
            numbers >> version.major >> dot >> version.minor >> dot >> version.build >> dot >> version.revision;
            versions[file.substr(0, colon)] = {!numbers.fail(), version};
        }
    }
    std::vector<std::string> list() override {
        std::vector<std::string> names;
        for (const auto& entry : versions) names.push_back(entry.first);
        return names;
    }
    bool version(const std::string& name, LibraryVersion& version) override {
        version = versions[name].second;
        return versions[name].first;
    }
    bool open(const std::string& name, UniqueHandle&) override { return versions.count(name) != 0; }
    bool remove(const std::string& name) override { return versions.erase(name) != 0; }

    std::map<std::string, std::pair<bool, LibraryVersion>> versions;
};

class FakeSettings : public LibraryFolder::Settings {
public:
    bool get(const char* name, std::string& value) override {
        value = values[name];
        return values.count(name) != 0;
    }
    bool set(const char* name, const std::string& value) override {
        values[name] = value;
        return true;
    }
    std::map<std::string, std::string> values;
};

std::string full(const std::string& name) { return std::string(kFolder) + "\\" + name; }

TEST(LibraryFolder, StartsTheFirstUsableCandidateAndDeletesOnlyWhatWasTried) {
    struct Case {
        const char* what;
        std::vector<std::string> files;
        std::string recorded;
        std::string loaded;     // a reload: this one started earlier
        std::string requested;  // and this one is asked for
        std::string meanwhile;  // and this one while it is loaded
        std::set<std::string> failing, refused;
        std::vector<std::string> tried;  // bound (and started) in this order
        std::string started;
        std::set<std::string> remaining;
        std::string recordedVersion;
    } cases[] = {
        {"one file, none recorded", {"palvane_a.dll:1.2.3.4", "other.dll:9.0.0.0", "Palvane_b.DLL:9.0.0.0"}, "", "", "", "",
         {}, {}, {"palvane_a.dll"}, "palvane_a.dll", {"palvane_a.dll", "other.dll", "Palvane_b.DLL"}, "1.2.3"},
        {"the recorded one first; one not tried stays", {"palvane_a.dll:1.0.0.0", "palvane_b.dll:2.0.0.0"},
         "palvane_a.dll", "", "", "", {}, {}, {"palvane_a.dll"}, "palvane_a.dll", {"palvane_a.dll", "palvane_b.dll"},
         "1.0.0"},
        {"a stale record: the newest, and the older one goes", {"palvane_a.dll:1.0.0.0", "palvane_b.dll:2.0.0.0"},
         "palvane_gone.dll", "", "", "", {}, {}, {"palvane_b.dll"}, "palvane_b.dll", {"palvane_b.dll"}, "2.0.0"},
        {"the recorded one will not bind: the next one, then the failed one goes",
         {"palvane_new.dll:3.0.0.0", "palvane_old.dll:1.0.0.0"}, "palvane_new.dll", "", "", "", {"palvane_new.dll"}, {},
         {"palvane_new.dll", "palvane_old.dll"}, "palvane_old.dll", {"palvane_old.dll"}, "1.0.0"},
        {"nothing binds: nothing goes", {"palvane_a.dll:1.0.0.0", "palvane_b.dll:2.0.0.0"}, "", "", "", "",
         {"palvane_a.dll", "palvane_b.dll"}, {}, {"palvane_b.dll", "palvane_a.dll"}, "",
         {"palvane_a.dll", "palvane_b.dll"}, "1.0.0"},
        {"refused and versionless files are never bound, and go",
         {"palvane_x.dll:-", "palvane_y.dll:5.0.0.0", "palvane_a.dll:1.0.0.0"}, "palvane_x.dll", "", "", "", {},
         {"palvane_y.dll"}, {"palvane_a.dll"}, "palvane_a.dll", {"palvane_a.dll"}, "1.0.0"},
        {"a reload", {"palvane_a.dll:1.0.0.0", "palvane_b.dll:2.0.0.0"}, "", "palvane_a.dll", "palvane_b.dll", "", {}, {},
         {"palvane_b.dll"}, "palvane_b.dll", {"palvane_b.dll"}, "2.0.0"},
        {"a refused hand-over starts the loaded one again",
         {"palvane_a.dll:1.0.0.0", "palvane_b.dll:2.0.0.0"}, "", "palvane_a.dll", "palvane_b.dll", "", {},
         {"palvane_b.dll"}, {"palvane_a.dll"}, "palvane_a.dll", {"palvane_a.dll"}, "1.0.0"},
        {"an older file asked for during the reload stays for the next one",
         {"palvane_a.dll:1.0.0.0", "palvane_b.dll:2.0.0.0", "palvane_c.dll:3.0.0.0"}, "", "palvane_a.dll",
         "palvane_c.dll", "palvane_b.dll", {}, {}, {"palvane_c.dll"}, "palvane_c.dll",
         {"palvane_b.dll", "palvane_c.dll"}, "3.0.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto files = std::make_unique<FakeFiles>(c.files);
        auto settings = std::make_unique<FakeSettings>();
        FakeFiles& folderFiles = *files;
        FakeSettings& values = *settings;
        if (!c.recorded.empty()) values.values[configKeys::DLL_FILE_NAME] = full(c.recorded);
        LibraryFolder folder(kFolder, std::move(files), std::move(settings),
                             [&](HANDLE, const std::string& path) {
                                 return c.refused.count(path.substr(strlen(kFolder) + 1)) == 0;
                             });
        std::vector<std::string> tried;
        const auto bind = [&](const std::string& name) {
            tried.push_back(name);
            return c.failing.count(name) ? LibraryFolder::Outcome::Failed : LibraryFolder::Outcome::Started;
        };
        std::vector<std::string> candidates = folder.startCandidates();
        if (!c.loaded.empty()) {
            ASSERT_EQ(folder.startFirst({c.loaded}, bind), c.loaded);
            tried.clear();
            EXPECT_EQ(folder.newFileFor(c.loaded, ""), c.requested);
            if (!c.meanwhile.empty()) {
                EXPECT_EQ(folder.newFileFor(c.loaded, c.requested), c.meanwhile);
            }
            candidates = {c.requested, c.loaded};
        }
        EXPECT_EQ(folder.startFirst(candidates, bind), c.started);
        EXPECT_EQ(tried, c.tried);
        std::set<std::string> remaining;
        for (const std::string& name : folderFiles.list()) remaining.insert(name);
        EXPECT_EQ(remaining, c.remaining);
        EXPECT_EQ(values.values[configKeys::DLL_FILE_NAME], full(c.tried.back()));
        EXPECT_EQ(values.values[configKeys::DLL_VERSION], c.recordedVersion);
    }
}

}  // namespace
