// A file named like a system library, beside the runtime or in the current
// directory, is never loaded in the system library's place.
#include <gtest/gtest.h>

#include <windows.h>

#include "palvane/win/upgrademgr/libloader_win.h"
#include "support/testUtil.h"

namespace {

void plant(const testutil::TempDir& folder, const char* fixture, const std::string& name) {
    ASSERT_TRUE(CopyFileA((testutil::exeDirectoryA() + fixture).c_str(), folder.file(name).c_str(), FALSE));
}

TEST(LibrarySearch, TheRuntimesImportsComeFromSystem32NotFromItsFolder) {
    // Wine takes its own build of a system library before any file of that
    // name, where Windows takes the first file found: for this name, Wine is
    // told to do as Windows. The key exists only under Wine.
    UniqueRegKey wine;
    const wchar_t order[] = L"native,builtin";
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", 0, KEY_SET_VALUE, wine.receive()) == 0) {
        RegSetValueExW(wine.get(), L"msimg32", 0, REG_SZ, reinterpret_cast<const BYTE*>(order), sizeof(order));
    }
    ASSERT_EQ(GetModuleHandleW(L"msimg32.dll"), nullptr) << "the import must not be loaded yet";
    testutil::TempDir folder;
    plant(folder, "planted\\msimg32.dll", "msimg32.dll");
    plant(folder, "searchimporter.dll", "searchimporter.dll");
    libloader::DLLoader loader(folder.file("searchimporter.dll"));
    const bool loaded = loader.load();
    if (wine) RegDeleteValueW(wine.get(), L"msimg32");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(GetProcAddress(GetModuleHandleW(L"msimg32.dll"), "plantedMarker"), nullptr) << "planted file loaded";
    EXPECT_TRUE(loader.close());
}

TEST(LibrarySearch, ARestrictedProcessFindsNothingByNameInTheCurrentDirectory) {
    testutil::TempDir folder;
    plant(folder, "planted\\msimg32.dll", "twplanted.dll");
    testutil::CurrentDirectory inFolder(folder.path());
    HMODULE found = LoadLibraryW(L"twplanted.dll");
    ASSERT_NE(found, nullptr) << "without the restriction the current directory is searched";
    FreeLibrary(found);

    ASSERT_TRUE(libloader::restrictLibrarySearchToSystem32());
    EXPECT_EQ(LoadLibraryW(L"twplanted.dll"), nullptr);
    EXPECT_EQ(LoadLibraryExW(L"twplanted.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH), nullptr);
    EXPECT_NE(LoadLibraryW(L"msimg32.dll"), nullptr) << "System32 is still searched";
}

// The module loaded is compared with the file that was checked, by identity.
TEST(LibrarySearch, TheModuleLoadedIsTheFileCheckedOrNothing) {
    libloader::DLLoader loader(testutil::exeDirectoryA() + "exportless.dll");
    ASSERT_TRUE(loader.load());
    for (const char* file : {"exportless.dll", "searchimporter.dll"}) {
        UniqueHandle held(CreateFileA((testutil::exeDirectoryA() + file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(loader.isFile(held.get()), file[0] == 'e') << file;
    }
}

}  // namespace
