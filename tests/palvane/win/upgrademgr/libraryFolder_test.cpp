// The library folder without a service: which files a start or a reload
// tries, in which order, what is recorded and what is deleted afterwards.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "palvane/win/upgrademgr/libraryFolder.h"
#include "support/testUtil.h"
#include "utils/configKeys.h"

namespace {

// "a b" -> palvane_a.dll, palvane_b.dll
std::vector<std::string> libraries(const std::string& letters) {
    std::vector<std::string> names;
    std::istringstream words(letters);
    for (std::string word; words >> word;) names.push_back("palvane_" + word + ".dll");
    return names;
}

bool listed(const std::vector<std::string>& v, const std::string& x) { return std::count(v.begin(), v.end(), x); }

// Copies of fixtures of ascending versions; 0: no library at all.
const char* const kFixtures[] = {"cabs\\flat.cab", "palvane_test1.dll", "palvane_test2.dll"};
const char* const kVersions[] = {"", "1.2.3", "1.2.4"};

TEST(LibraryFolder, StartsTheFirstUsableCandidateAndDeletesOnlyWhatItSupersedes) {
    struct Case {
        const char* what;
        const char* files;  // "a1 b2": palvane_a.dll of the first version, palvane_b.dll of the second
        const char* recorded;
        const char* loaded;     // a reload: this one started before, then these
        const char* requested;  // are asked for, the second while the first loads
        const char *failing, *refused, *tried, *remaining;
    } cases[] = {
        {"one file, none recorded", "a1", "", "", "", "", "", "a", "a"},
        {"the recorded one first; a newer one not tried stays", "a1 b2", "a", "", "", "", "", "a", "a b"},
        {"a stale record: the newest, which supersedes the other", "a1 b2", "gone", "", "", "", "", "b", "b"},
        {"the recorded one will not bind: the next, then the failed one goes", "new2 old1", "new", "", "", "new", "",
         "new old", "old"},
        {"nothing binds: nothing goes", "a1 b2", "", "", "", "a b", "", "b a", "a b"},
        {"refused files and no libraries are never bound, and go", "x0 y2 a1", "x", "", "", "", "y", "a", "a"},
        {"a reload", "a1 b2", "", "a", "b", "", "", "b", "b"},
        {"a refused hand-over starts the loaded one again", "a1 b2", "", "a", "b", "", "b", "a", "a"},
        {"an older file asked for during the reload stays for the next one", "a1 b1 c2", "", "a", "c b", "", "", "c",
         "b c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir folder;
        testutil::MachineSettingsSandbox settings;
        std::istringstream entries(c.files);
        std::map<std::string, int> versions;
        for (std::string entry; entries >> entry;) {
            const std::string name = libraries(entry.substr(0, entry.size() - 1))[0];
            versions[name] = entry.back() - '0';
            const std::string fixture = testutil::exeDirectoryA() + kFixtures[versions[name]];
            ASSERT_TRUE(CopyFileA(fixture.c_str(), folder.file(name).c_str(), FALSE));
        }
        ASSERT_TRUE(testutil::writeFile(folder.file("other.dll"), "no library name"));
        if (*c.recorded) settings.set(configKeys::DLL_FILE_NAME, folder.file(libraries(c.recorded)[0]));
        LibraryFolder libraryFolder(folder.path().substr(0, folder.path().size() - 1),
                                    [&](HANDLE, const std::string& path) {
                                        return !listed(libraries(c.refused), path.substr(folder.path().size()));
                                    });
        std::vector<std::string> tried;
        const auto bind = [&](const std::string& name) {
            tried.push_back(name);
            return listed(libraries(c.failing), name) ? LibraryFolder::Outcome::Failed
                                                      : LibraryFolder::Outcome::Started;
        };
        std::vector<std::string> candidates = libraryFolder.startCandidates();
        if (*c.loaded) {
            const std::string loaded = libraries(c.loaded)[0];
            const std::vector<std::string> requested = libraries(c.requested);
            ASSERT_EQ(libraryFolder.startFirst({loaded}, bind), loaded);
            tried.clear();
            for (size_t i = 0; i < requested.size(); ++i) {
                EXPECT_EQ(libraryFolder.newFileFor(loaded, i == 0 ? "" : requested[0]), requested[i]);
            }
            candidates = {requested[0], loaded};
        }
        const std::vector<std::string> expected = libraries(c.tried);
        const std::string last = expected.back();
        EXPECT_EQ(libraryFolder.startFirst(candidates, bind), listed(libraries(c.failing), last) ? "" : last);
        EXPECT_EQ(tried, expected);
        for (const auto& entry : versions) {
            EXPECT_EQ(testutil::fileExists(folder.file(entry.first)), listed(libraries(c.remaining), entry.first))
                << entry.first;
        }
        std::string recorded, version;
        settings.get(configKeys::DLL_FILE_NAME, recorded);
        settings.get(configKeys::DLL_VERSION, version);
        EXPECT_EQ(recorded + " " + version, folder.file(last) + " " + kVersions[versions[last]]);
    }
}

}  // namespace
