#include <gtest/gtest.h>

#include "support/testUtil.h"
#include "utils/win/FileVersion.h"
#include "utils/win/verifySignature.h"

namespace {

std::wstring fixture(const wchar_t* name) { return testutil::exeDirectory() + name; }

}  // namespace

TEST(FileVersion, ReadsTheFourNumbersOfTheResource) {
    testutil::LogCapture log(6);
    FileVersion version(fixture(L"versioned.exe"));
    ASSERT_TRUE(version.read());
    EXPECT_EQ(version.major(), 1u);
    EXPECT_EQ(version.minor(), 2u);
    EXPECT_EQ(version.build(), 3u);
    EXPECT_EQ(version.revision(), 4u);
    EXPECT_TRUE(log.contains("DLL API version information:: major=1 minor=2 build=3 revision=4"));
}

TEST(FileVersion, FileWithoutResourceFailsWithOneInfoLine) {
    testutil::LogCapture log(6);
    FileVersion version(testutil::exeDirectory() + L"test_utils_win.exe");
    EXPECT_FALSE(version.read());
    EXPECT_EQ(version.major() + version.minor() + version.build() + version.revision(), 0u);
    FileVersion missing(L"C:\\no\\such\\file.dll");
    EXPECT_FALSE(missing.read());
    EXPECT_TRUE(log.contains("The version information of the protection API is not available."));
}

TEST(FileVersion, ReadsAFileWhosePathIsLongerThanMaxPath) {
    testutil::TempDir dir;
    std::wstring path = L"\\\\?\\" + dir.wpath();
    while (path.size() < 300) {
        path += L"a-rather-long-folder-name\\";
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    }
    path += L"versioned.exe";
    ASSERT_TRUE(CopyFileW(fixture(L"versioned.exe").c_str(), path.c_str(), FALSE));
    FileVersion version(path);
    ASSERT_TRUE(version.read());
    EXPECT_EQ(version.revision(), 4u);
}

TEST(SignerNames, MatchExactlyTheSignersIssuerAndSubject) {
    const std::wstring signedFile = fixture(L"signed.exe");
    SignerRecord record;
    ASSERT_TRUE(getSignerInfo(signedFile.c_str(), record));
    EXPECT_EQ(record.issuerName, L"Palvane Test Root");
    EXPECT_EQ(record.subjectName, L"Palvane Test Signer");
    EXPECT_FALSE(record.serialNumber.empty());

    EXPECT_TRUE(getSignerNames(signedFile.c_str(), "Palvane Test Root", "Palvane Test Signer"));
    EXPECT_FALSE(getSignerNames(signedFile.c_str(), "Palvane Test Root", "Someone Else"));
    EXPECT_FALSE(getSignerNames(signedFile.c_str(), "palvane test root", "Palvane Test Signer"));
}

TEST(SignerNames, UnsignedAndMissingFilesHaveNoSigner) {
    SignerRecord record;
    EXPECT_FALSE(getSignerInfo(fixture(L"versioned.exe").c_str(), record));
    EXPECT_FALSE(getSignerNames(fixture(L"versioned.exe").c_str(), "Palvane Test Root", "Palvane Test Signer"));
    EXPECT_FALSE(getSignerNames(L"C:\\no\\such\\file.exe", "a", "b"));
}
