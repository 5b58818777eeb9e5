// The library folder without a service: which files a start or a hand-over
// tries, in which order, what it records on the disk and what is deleted,
// across process deaths.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "palvane/win/upgrademgr/libraryFolder.h"
#include "support/testUtil.h"
#include "utils/configKeys.h"
#include "utils/win/scopedHandle.h"

namespace {

std::string library(char letter) { return std::string("palvane_") + letter + ".dll"; }

// Copies of fixtures of ascending versions; 0: no library at all.
const char* const kFixtures[] = {"cabs\\flat.cab", "palvane_test1.dll", "palvane_test2.dll", "palvane_test2.dll"};

struct Crash {};

TEST(LibraryFolder, KeepsALibraryOnlyOnceItHasProvedItself) {
    struct Case {
        const char* what;
        const char* files;  // "a1 b2": palvane_a.dll of the first version, palvane_b.dll of the second
        const char *proved, *trial, *placed, *recorded, *refused;
        // One process each: a "start", or a "handover" from the first library
        // tried before, then the libraries tried in order and their fate:
        // ! crashed or hung in its start (the process ended), - failed to
        // start, ~ stopped during its start, + started (the process later
        // killed), ^ started and proved itself, ? held open by another program.
        std::vector<const char*> runs;
        const char *remaining, *provedAfter, *trialAfter;
    } cases[] = {
        {"a crash in the start", "a1 b2", "a", "", "b", "", "", {"start b!", "start a+"}, "a b", "a", "1 b"},
        {"a crash after the start, before the proof", "a1 b2", "a", "", "b", "", "", {"start b+", "start a+"}, "a b",
         "a", "1 b"},
        {"a hang in the start of a hand-over", "a1 b2", "a", "", "b", "", "", {"start a+", "handover b!", "start a+"},
         "a b", "a", "1 b"},
        {"a stop during a trial", "a1 b2", "a", "", "b", "", "", {"start b~", "start b^"}, "b", "b", ""},
        {"two failed trials", "a1 b2", "a", "1 b", "b", "", "", {"start a+", "handover b!", "start a+"}, "a", "a",
         "2 b"},
        {"the stale refused file beside the placed one", "a1 s2 p1", "a", "", "p", "", "s",
         {"start a+", "handover p^"}, "p", "p", ""},
        {"a kill between extracted and the host's record", "a1 b2", "a", "", "b", "a", "", {"start b^"}, "b", "b", ""},
        {"a placed file nobody can open", "a1 b2", "a", "", "b", "", "",
         {"start a+", "handover b? a+", "handover b? a+", "start a+"}, "a", "a", "2 b"},
        {"no candidate that starts, then the retry", "a1", "a", "", "", "", "", {"start a-", "start a+"}, "a", "a", ""},
        {"nothing proved: the recorded one, then the newest; refusals and no libraries go at once", "x0 y2 a1 c3",
         "", "", "", "a", "y", {"start a- c^"}, "c", "c", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir folder;
        testutil::MachineSettingsSandbox settings;
        const auto full = [&](const char* letter) { return *letter ? folder.file(library(*letter)) : std::string(); };
        const auto trialOf = [&](const char* t) { return *t ? std::string(t, 2) + full(t + 2) : std::string(); };
        std::istringstream entries(c.files);
        for (std::string entry; entries >> entry;) {
            ASSERT_TRUE(CopyFileA((testutil::exeDirectoryA() + kFixtures[entry[1] - '0']).c_str(),
                                  full(entry.c_str()).c_str(), FALSE));
        }
        // Only exact library names are listed.
        ASSERT_TRUE(CopyFileA(full("a").c_str(), folder.file("mypalvane.dll").c_str(), FALSE));
        const std::pair<const char*, std::string> records[] = {
            {configKeys::DLL_PROVED, full(c.proved)}, {configKeys::DLL_TRIAL, trialOf(c.trial)},
            {configKeys::DLL_FILE_NAME, full(c.recorded)}};
        for (const auto& [key, value] : records) {
            if (!value.empty()) settings.set(key, value);
        }
        // The runtime places its library before the hand-over, or before the
        // first start when there is none.
        const bool handover = std::any_of(c.runs.begin(), c.runs.end(), [](const char* r) { return *r == 'h'; });
        std::string loaded;
        for (const std::string run : c.runs) {
            SCOPED_TRACE(run);
            if (*c.placed && (run[0] == 'h' || (!handover && loaded.empty()))) {
                settings.set(configKeys::INSTALL_PENDING, "true");
                settings.set(configKeys::INSTALL_STAGE, "extracted");
                settings.set(configKeys::INSTALL_LIBRARY, full(c.placed));
            }
            LibraryFolder libraryFolder(folder.path().substr(0, folder.path().size() - 1), [&](HANDLE, auto& path) {
                return path.find(library(*c.refused)) == std::string::npos;
            });
            std::map<std::string, char> fates;
            std::vector<std::string> expected, tried, bound;
            std::vector<UniqueHandle> held;
            for (size_t at = run.find(' '); at != std::string::npos; at = run.find(' ', at + 1)) {
                expected.push_back(library(run[at + 1]));
                fates[expected.back()] = run[at + 2];
                if (run[at + 2] != '?') bound.push_back(expected.back());
                else held.emplace_back(CreateFileA(full(&run[at + 1]).c_str(), GENERIC_READ, 0, 0, OPEN_EXISTING, 0, 0));
            }
            std::vector<std::string> candidates = libraryFolder.startCandidates();
            if (run[0] == 'h') {
                ASSERT_EQ(libraryFolder.placedLibrary(loaded), expected[0]);
                ASSERT_TRUE(libraryFolder.record(expected[0]));
                candidates = {expected[0], loaded};
            }
            std::string started;
            try {
                started = libraryFolder.startFirst(candidates, [&](const std::string& name, HANDLE) {
                    tried.push_back(name);
                    if (fates[name] == '!') throw Crash();
                    return fates[name] == '-'   ? LibraryFolder::Outcome::Failed
                           : fates[name] == '~' ? LibraryFolder::Outcome::Stopping
                                                : LibraryFolder::Outcome::Started;
                });
            } catch (const Crash&) {
            }
            EXPECT_EQ(tried, bound);
            if (fates[tried.back()] == '~') libraryFolder.endedCleanly(tried.back());
            EXPECT_TRUE(fates[tried.back()] != '^' || libraryFolder.prove(started));
            if (!started.empty()) loaded = started;
        }
        for (const char id : std::string(c.files)) {
            EXPECT_TRUE(!isalpha(id) || testutil::fileExists(full(&id)) == (strchr(c.remaining, id) != nullptr)) << id;
        }
        EXPECT_TRUE(testutil::fileExists(folder.file("mypalvane.dll")));
        std::string proved, trial;
        settings.get(configKeys::DLL_PROVED, proved);
        settings.get(configKeys::DLL_TRIAL, trial);
        EXPECT_EQ(proved + "|" + trial, full(c.provedAfter) + "|" + trialOf(c.trialAfter));
    }
}

}  // namespace
