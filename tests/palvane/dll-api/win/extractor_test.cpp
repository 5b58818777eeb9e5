#include "palvane/dll-api/win/extractor.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "palvane/dll-api/win/cabinetNames.h"
#include "support/fileTreeUtil.h"
#include "support/testUtil.h"
#include "utils/configKeys.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

using PALVANE_SERVICE::cab_extractor;
using testutil::readTree;
using testutil::TreeContent;
namespace cabinetNames = PALVANE_SERVICE::cabinetNames;

namespace {

// An install folder whose path holds an underscore, as real ones may.
class ExtractorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryA(destination.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(dir.file("download").c_str(), nullptr));
    }

    // A copy of a fixture cabinet: the extractor deletes the cabinet it is given.
    std::string cabinet(const std::string& name) {
        const std::string copy = dir.file("download\\" + name);
        EXPECT_TRUE(CopyFileA((testutil::exeDirectoryA() + "cabs\\" + name).c_str(), copy.c_str(), FALSE)) << name;
        return copy;
    }

    std::string setting(const char* name) { std::string value; return settings.get(name, value) ? value : ""; }

    // Nothing but the destination and the download folder below the temp folder.
    void expectNothingOutsideDestination() {
        for (const auto& entry : readTree(dir.path())) {
            const bool inside = entry.first.rfind("inst_all\\", 0) == 0 || entry.first.rfind("download\\", 0) == 0;
            EXPECT_TRUE(inside) << entry.first;
        }
    }

    testutil::TempDir dir;
    testutil::MachineSettingsSandbox settings;
    testutil::LogCapture log{8};
    const std::string destination = dir.file("inst_all\\");
    const std::string staged = destination + "unpacked cabinets\\";
};

// Sends FILEINCABINET for one name and returns the callback's answer.
UINT offerFile(PVOID extractor, const std::wstring& name, FILE_IN_CABINET_INFO_W& info) {
    info.NameInCabinet = name.c_str();
    return cab_extractor::cabinet_callback(extractor, SPFILENOTIFY_FILEINCABINET, reinterpret_cast<UINT_PTR>(&info),
                                           reinterpret_cast<UINT_PTR>(L"C:\\cab\\update.cab"));
}

UINT reportExtracted(PVOID extractor, const wchar_t* target, UINT error) {
    FILEPATHS_W paths{};
    paths.Target = target;
    paths.Source = L"C:\\cab\\update.cab";
    paths.Win32Error = error;
    return cab_extractor::cabinet_callback(extractor, SPFILENOTIFY_FILEEXTRACTED, reinterpret_cast<UINT_PTR>(&paths),
                                           0);
}

}  // namespace

TEST_F(ExtractorTest, PlainCabinetsLandBelowTheDestination) {
    const std::string flat = cabinet("flat.cab");
    {
        cab_extractor extractor(destination, flat);
        ASSERT_TRUE(extractor.extract());
        EXPECT_FALSE(extractor.new_library());
    }
    EXPECT_EQ(readTree(destination),
              (TreeContent{{"readme.txt", "flat readme"}, {"agent.exe", "agent binary v2"}, {"data.bin", "0123456789"}}));
    EXPECT_TRUE(log.contains("Sucessfully extract " + flat));
    EXPECT_FALSE(testutil::fileExists(flat));

    cab_extractor folders(destination, cabinet("folder.cab"));
    ASSERT_TRUE(folders.extract());
    cab_extractor deep(destination, cabinet("deep.cab"));
    ASSERT_TRUE(deep.extract());
    const TreeContent tree = readTree(destination);
    EXPECT_EQ(tree.at("Quillmark Agent\\agent.exe"), "agent in folder");
    EXPECT_EQ(tree.at("qmdns\\dns.exe"), "dns");
    EXPECT_EQ(tree.at("a\\b\\c.txt"), "two new levels");
}

TEST_F(ExtractorTest, NestedCabinetsAreUnpackedAndDeletedAfterwards) {
    settings.set(configKeys::DLL_VERSION, "2.0.0");
    const std::string nested = cabinet("nested.cab");
    {
        cab_extractor extractor(destination, nested);
        ASSERT_TRUE(extractor.extract());
        EXPECT_FALSE(extractor.new_library());
    }
    const TreeContent tree = readTree(destination);
    EXPECT_EQ(tree.at("top.txt"), "top");
    EXPECT_EQ(tree.at("Quillmark Agent\\agent.exe"), "agent from component cabinet");
    EXPECT_EQ(tree.at("inner.txt"), "from the inner cabinet");
    EXPECT_EQ(tree.at("extra.txt"), "from the upper-case cabinet");
    // Only a name ending in ".cab" is a cabinet.
    EXPECT_EQ(tree.at("notes.cabinet.txt"), "not a cabinet");
    EXPECT_TRUE(log.contains("Don't upgrade palvane DLL, installed version=2.0.0 cab file version=2.0.0"));
    EXPECT_EQ(tree.count("palvane_2.0.0.dll"), 0u);
    for (const auto& [name, text] : tree) EXPECT_FALSE(cabinetNames::hasCabinetSuffix(toWide(name))) << name;
    EXPECT_FALSE(testutil::fileExists(nested));
    EXPECT_EQ(setting(configKeys::DLL_VERSION), "2.0.0");
}

TEST_F(ExtractorTest, ALibraryOfAnotherVersionIsPlacedThenRecorded) {
    settings.set(configKeys::DLL_VERSION, "10.0.0");  // a lower version counts as new too
    cab_extractor extractor(destination, cabinet("nested.cab"));
    ASSERT_TRUE(extractor.extract());
    EXPECT_TRUE(extractor.new_library());
    EXPECT_EQ(setting(configKeys::DLL_VERSION), "2.0.0");
    const TreeContent tree = readTree(destination);
    EXPECT_EQ(tree.at("Quillmark Palvane\\palvane_2.0.0.dll"), "new palvane library");
    EXPECT_EQ(tree.count("palvane_2.0.0.dll"), 0u);
    EXPECT_EQ(tree.at("palvane_2.0.0.dll.sig"), "signature");  // no library name
    EXPECT_TRUE(testutil::closedToUsers(destination + "Quillmark Palvane"));
    EXPECT_TRUE(testutil::closedToUsers(staged)) << "where nested cabinets are unpacked";
    EXPECT_TRUE(log.contains("Update palvane DLL to version=2.0.0"));
}

// A stale file of the library's name is replaced; one in use (running, or the
// host's fallback) cannot be, and then nothing changes.
TEST_F(ExtractorTest, ALibraryReplacesAStaleFileOfItsNameButNoneInUse) {
    const std::string lying = destination + "Quillmark Palvane\\palvane_2.0.0.dll";
    for (const std::string inUse : {"", "running", "proved"}) {
        settings.set(configKeys::DLL_VERSION, "1.0.0");
        settings.set(configKeys::DLL_PROVED, inUse == "proved" ? lying : "");
        ASSERT_TRUE(testutil::writeTree(destination, {{"Quillmark Palvane\\palvane_2.0.0.dll", "old library"}}));
        cab_extractor extractor(destination, cabinet("nested.cab"));
        if (inUse == "running") extractor.setRunningModule(toWide(lying));
        EXPECT_EQ(extractor.extract() && extractor.new_library(), inUse.empty()) << inUse;
        EXPECT_EQ(setting(configKeys::DLL_VERSION), inUse.empty() ? "2.0.0" : "1.0.0");
        EXPECT_EQ(readTree(destination).at("Quillmark Palvane\\palvane_2.0.0.dll"),
                  inUse.empty() ? "new palvane library" : "old library");
    }
}

TEST_F(ExtractorTest, WithoutARecordedVersionTheLibraryCabinetIsLeftPacked) {
    cab_extractor extractor(destination, cabinet("nested.cab"));
    EXPECT_TRUE(extractor.extract());
    EXPECT_FALSE(extractor.new_library());
    EXPECT_TRUE(log.contains("Failed to read the version of the installed palvane dll."));
    EXPECT_EQ(readTree(destination).count("palvane_2.0.0.dll"), 0u);
}

// Nesting is bounded; a nested cabinet too deep or failing stops the extraction and is still deleted.
TEST_F(ExtractorTest, ANestedCabinetTooDeepOrFailingStopsTheExtractionAndIsStillDeleted) {
    const struct {
        const char* cabinet;
        std::string line;
        TreeContent left;
    } rows[] = {{"chain.cab", "Cabinets nested too deep, not extracting " + staged + "c5.cab", {}},
                {"badnested.cab", "Failed to extract " + staged + "broken.cab", {{"top.txt", "top"}}}};
    for (const auto& row : rows) {
        EXPECT_FALSE(cab_extractor(destination, cabinet(row.cabinet)).extract());
        EXPECT_TRUE(log.contains(row.line));
        EXPECT_EQ(readTree(destination), row.left) << row.cabinet;
    }
    EXPECT_FALSE(log.contains("broken.cab:Success"));
}

TEST_F(ExtractorTest, HostileNamesAbortTheExtractionAndNothingLandsOutside) {
    for (const char* name : {"hostile_climb.cab", "hostile_deepclimb.cab", "hostile_slash.cab", "hostile_absolute.cab",
                             "hostile_drive.cab", "hostile_stream.cab"}) {
        cab_extractor extractor(destination, cabinet(name));
        EXPECT_FALSE(extractor.extract()) << name;
    }
    expectNothingOutsideDestination();
    EXPECT_EQ(readTree(destination), (TreeContent{{"first.txt", "benign"}}));
    for (const char* path : {"C:\\abs.txt", "Z:\\abs.txt", "C:\\drive.txt", "C:\\windows\\system32\\drive.txt"}) {
        EXPECT_FALSE(testutil::fileExists(path)) << path;
    }
    EXPECT_TRUE(log.contains("Refusing file name ..\\esc.txt in "));
}

TEST_F(ExtractorTest, ATargetLongerThanTheBufferIsRefused) {
    cab_extractor extractor(destination, cabinet("long.cab"));
    EXPECT_FALSE(extractor.extract());
    EXPECT_TRUE(log.contains("Target path too long: "));
    EXPECT_TRUE(readTree(destination).empty());
}

TEST(CabinetNames, OnlyPlainRelativeNamesAreSafe) {
    using cabinetNames::isSafeNameInCabinet;
    for (const wchar_t* name : {L"a.txt", L"Quillmark Agent\\agent.exe", L"a/b/c.txt", L"..a", L"a..", L"console\\x"}) {
        EXPECT_TRUE(isSafeNameInCabinet(name)) << std::string(name, name + wcslen(name));
    }
    for (const wchar_t* name : {L"", L"..", L"..\\x", L"a\\..\\..\\x", L"a/../../x", L"\\x", L"/x", L"C:x",
                                L"C:\\x", L"x:stream", L"a\\\\b", L"a\\", L".\\x", L"...\\x", L". .\\x",
                                L"CON", L"nul.txt", L"a\\COM1.log", L"lpt9", L"a?b", L"a*", L"a\"b", L"a\x01b"}) {
        EXPECT_FALSE(isSafeNameInCabinet(name)) << std::string(name, name + wcslen(name));
    }
}

// Callbacks driven with notifications the platform under test never sends.
TEST_F(ExtractorTest, TheTargetBufferIsNeverOverrun) {
    cab_extractor extractor(destination, dir.file("download\\none.cab"));
    const size_t room = MAX_PATH - 1 - destination.size();
    FILE_IN_CABINET_INFO_W info{};
    const std::wstring fits(room, L'f');
    EXPECT_EQ(offerFile(&extractor, fits, info), static_cast<UINT>(FILEOP_DOIT));
    EXPECT_EQ(wcslen(info.FullTargetName), static_cast<size_t>(MAX_PATH - 1));

    cab_extractor other(destination, dir.file("download\\none.cab"));
    FILE_IN_CABINET_INFO_W untouched{};
    const std::wstring tooLong(room + 1, L'f');
    EXPECT_EQ(offerFile(&other, tooLong, untouched), static_cast<UINT>(FILEOP_ABORT));
    EXPECT_EQ(untouched.FullTargetName[0], L'\0');
}

TEST_F(ExtractorTest, AFileErrorAbortsTheWalkEvenWhereThePlatformWouldGoOn) {
    cab_extractor extractor(destination, dir.file("download\\none.cab"));
    EXPECT_EQ(reportExtracted(&extractor, L"C:\\inst\\a.txt", ERROR_DISK_FULL), static_cast<UINT>(ERROR_DISK_FULL));
    EXPECT_TRUE(log.contains("Errors occurred while extracting C:\\cab\\update.cab to C:\\inst\\a.txt error=112"));
    FILE_IN_CABINET_INFO_W info{};
    EXPECT_EQ(offerFile(&extractor, L"b.txt", info), static_cast<UINT>(FILEOP_ABORT));
    EXPECT_EQ(cab_extractor::cabinet_callback(&extractor, SPFILENOTIFY_CABINETINFO, 0, 0), static_cast<UINT>(NO_ERROR));

    // A walk that reports success after such an error still fails the extraction.
    const std::string flat = cabinet("flat.cab");
    cab_extractor walked(destination, flat, [](const std::wstring&, PSP_FILE_CALLBACK_W, PVOID context) {
        reportExtracted(context, L"C:\\inst\\a.txt", ERROR_DISK_FULL);
        return TRUE;
    });
    EXPECT_FALSE(walked.extract());
    EXPECT_TRUE(log.contains("Failed to extract " + flat));
}

// The digest is checked right before the walk, and nobody can change the
// cabinet until the walk has ended.
TEST_F(ExtractorTest, OnlyTheCheckedCabinetIsUnpacked) {
    cab_extractor other(destination, cabinet("flat.cab"));
    other.setExpectedDigest(std::string(64, '0'));
    EXPECT_FALSE(other.extract());
    bool writable = true;
    cab_extractor held(destination, cabinet("flat.cab"), [&](const std::wstring& path, PSP_FILE_CALLBACK_W, PVOID) {
        writable = UniqueHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr)).valid();
        return TRUE;
    });
    EXPECT_TRUE(held.extract());
    EXPECT_FALSE(writable);
}

TEST_F(ExtractorTest, NoExceptionLeavesExtract) {
    cab_extractor walk(destination, cabinet("flat.cab"), [](const std::wstring&, PSP_FILE_CALLBACK_W, PVOID) -> BOOL {
        throw std::runtime_error("walk failed");
    });
    EXPECT_FALSE(walk.extract());
    EXPECT_TRUE(log.contains("Catch an exception: walk failed"));
}

TEST_F(ExtractorTest, ACabinetThatKeepsHoldingCabinetsEnds) {
    int walks = 0;
    cab_extractor extractor(destination, cabinet("flat.cab"), [&](const std::wstring&, PSP_FILE_CALLBACK_W, PVOID ctx) {
        FILE_IN_CABINET_INFO_W info{};
        offerFile(ctx, L"again.cab", info);
        testutil::writeFile(toUtf8(info.FullTargetName), "");
        reportExtracted(ctx, info.FullTargetName, NO_ERROR);
        return ++walks, TRUE;
    });
    EXPECT_FALSE(extractor.extract());
    EXPECT_EQ(walks, static_cast<int>(cab_extractor::kMaxNestingDepth) + 1);
}
