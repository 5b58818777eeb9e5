// Where the host looks for libraries: a file named like a system library,
// planted beside the runtime or in the current directory, is never loaded.
#include <gtest/gtest.h>

#include <windows.h>

#include "palvane/win/upgrademgr/libloader_win.h"
#include "support/testUtil.h"

namespace {

void plant(const testutil::TempDir& folder, const std::string& name) {
    ASSERT_TRUE(CopyFileA((testutil::exeDirectoryA() + "planted\\msimg32.dll").c_str(), folder.file(name).c_str(),
                          FALSE));
}

// Wine takes its own build of a system library before any file of that name,
// where Windows takes the first file its search finds; for this one name Wine
// is told to search as Windows does. The key exists only under Wine.
class SearchLikeWindows {
public:
    SearchLikeWindows() {
        const wchar_t* overrides = L"Software\\Wine\\DllOverrides";
        if (RegOpenKeyExW(HKEY_CURRENT_USER, overrides, 0, KEY_SET_VALUE, key_.receive()) != 0) return;
        const wchar_t order[] = L"native,builtin";
        RegSetValueExW(key_.get(), L"msimg32", 0, REG_SZ, reinterpret_cast<const BYTE*>(order), sizeof(order));
    }
    ~SearchLikeWindows() {
        if (key_) RegDeleteValueW(key_.get(), L"msimg32");
    }

private:
    UniqueRegKey key_;
};

TEST(LibrarySearch, TheRuntimesImportsComeFromSystem32NotFromItsFolder) {
    SearchLikeWindows windowsOrder;
    ASSERT_EQ(GetModuleHandleW(L"msimg32.dll"), nullptr) << "the import must not be loaded yet";
    testutil::TempDir folder;
    plant(folder, "msimg32.dll");
    ASSERT_TRUE(CopyFileA((testutil::exeDirectoryA() + "searchimporter.dll").c_str(),
                          folder.file("searchimporter.dll").c_str(), FALSE));
    libloader::DLLoader loader(folder.file("searchimporter.dll"));
    ASSERT_TRUE(loader.load());
    HMODULE imported = GetModuleHandleW(L"msimg32.dll");
    ASSERT_NE(imported, nullptr);
    EXPECT_EQ(GetProcAddress(imported, "plantedMarker"), nullptr) << "the planted library was loaded";
    EXPECT_TRUE(loader.close());
}

TEST(LibrarySearch, ARestrictedProcessFindsNothingByNameInTheCurrentDirectory) {
    testutil::TempDir folder;
    plant(folder, "twplanted.dll");
    ASSERT_TRUE(SetCurrentDirectoryA(folder.path().c_str()));
    HMODULE found = LoadLibraryW(L"twplanted.dll");
    ASSERT_NE(found, nullptr) << "without the restriction the current directory is searched";
    FreeLibrary(found);

    ASSERT_TRUE(libloader::restrictLibrarySearchToSystem32());
    EXPECT_EQ(LoadLibraryW(L"twplanted.dll"), nullptr);
    EXPECT_EQ(LoadLibraryExW(L"twplanted.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH), nullptr);
    HMODULE system = LoadLibraryW(L"msimg32.dll");
    EXPECT_NE(system, nullptr) << "System32 is still searched";
    if (system != nullptr) FreeLibrary(system);
}

}  // namespace
