#include "utils/win/FileMgr.h"

#include <gtest/gtest.h>

#include "support/fileTreeUtil.h"
#include "support/testUtil.h"
#include "utils/win/adminOnlySecurity.h"
#include "utils/win/scopedHandle.h"

using testutil::readTree;
using testutil::TreeContent;
using testutil::writeTree;

namespace {

const TreeContent kInstalled = {
    {"agent.exe", "agent v1"},
    {"config\\settings.json", "{\"a\":1}"},
    {"config\\deep\\x.bin", std::string("\0\1\2\3", 4)},
    {"empty\\", ""},
};

// Holds a file open without sharing, so nobody else can read it.
UniqueHandle lockFile(const std::string& path) {
    return UniqueHandle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

class FileMgrTest : public ::testing::Test {
protected:
    testutil::TempDir dir;
    testutil::LogCapture log{8};
    FileMgr files{dir.path()};
};

}  // namespace

TEST_F(FileMgrTest, CreateDirectoriesCopiesTheWholeTree) {
    ASSERT_TRUE(writeTree(dir.file("Agent\\"), kInstalled));
    ASSERT_TRUE(files.createDirectories("Agent", "backups\\Agent_backup"));
    EXPECT_EQ(readTree(dir.file("backups\\Agent_backup\\")), readTree(dir.file("Agent\\")));
    EXPECT_EQ(readTree(dir.file("Agent\\")).size(), 6u);
    // Restored by SYSTEM later: closed to users from its creation on.
    EXPECT_TRUE(testutil::closedToUsers(dir.file("backups")));
    EXPECT_TRUE(testutil::closedToUsers(dir.file("backups\\Agent_backup")));
    EXPECT_FALSE(testutil::closedToUsers(dir.file("Agent")));
}

// Wine keeps no DACL on files: the descriptor shows what Windows gets.
TEST(AdminOnlySecurity, IsProtectedFromWhatTheFolderAboveGrants) {
    for (const auto scope : {AdminOnlySecurity::Scope::Object, AdminOnlySecurity::Scope::Tree}) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(AdminOnlySecurity(scope).descriptor(), &control, &revision));
        EXPECT_TRUE(control & SE_DACL_PROTECTED);
    }
}

TEST_F(FileMgrTest, CreateDirectoriesLeavesAnExistingTargetUntouched) {
    ASSERT_TRUE(writeTree(dir.file("Agent\\"), kInstalled));
    ASSERT_TRUE(CreateDirectoryA(dir.file("Agent_backup").c_str(), nullptr));
    EXPECT_TRUE(files.createDirectories("Agent", "Agent_backup"));
    EXPECT_TRUE(readTree(dir.file("Agent_backup\\")).empty());
    EXPECT_TRUE(log.contains(dir.file("Agent_backup") + " already exists."));
}

TEST_F(FileMgrTest, CreateDirectoriesFailsOnAMissingSource) {
    EXPECT_FALSE(files.createDirectories("Agent", "Agent_backup"));
    EXPECT_TRUE(log.contains("< Warn   >"));
    EXPECT_TRUE(log.contains(dir.file("Agent") + " does not exist."));
    EXPECT_FALSE(testutil::fileExists(dir.file("Agent_backup")));
}

TEST_F(FileMgrTest, CreateDirectoriesRemovesAHalfMadeCopy) {
    ASSERT_TRUE(writeTree(dir.file("Agent\\"), kInstalled));
    UniqueHandle lock = lockFile(dir.file("Agent\\config\\settings.json"));
    ASSERT_TRUE(lock.valid());
    EXPECT_FALSE(files.createDirectories("Agent", "Agent_backup"));
    EXPECT_FALSE(testutil::fileExists(dir.file("Agent_backup")));
    EXPECT_TRUE(log.contains("Catch an exception: CopyFileW() failed"));
    // With the file free again, the next attempt makes a complete backup.
    lock.reset();
    EXPECT_TRUE(files.createDirectories("Agent", "Agent_backup"));
    EXPECT_EQ(readTree(dir.file("Agent_backup\\")), readTree(dir.file("Agent\\")));
}

TEST_F(FileMgrTest, CopyFolderMakesTheTargetEqualTheSource) {
    ASSERT_TRUE(writeTree(dir.file("Agent_backup\\"), kInstalled));
    ASSERT_TRUE(writeTree(dir.file("Agent\\"), {
                                                   {"agent.exe", "agent v2, longer than before"},
                                                   {"added.dll", "new"},
                                                   {"config\\deep\\added.txt", "new"},
                                                   {"newfolder\\sub\\f.txt", "new"},
                                                   {"empty", "a file where a folder was"},
                                               }));
    SetFileAttributesA(dir.file("Agent\\agent.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(files.copyFolder("Agent_backup", "Agent"));
    EXPECT_EQ(readTree(dir.file("Agent\\")), readTree(dir.file("Agent_backup\\")));
}

TEST_F(FileMgrTest, CopyFolderCreatesAMissingTarget) {
    ASSERT_TRUE(writeTree(dir.file("Agent_backup\\"), kInstalled));
    EXPECT_TRUE(files.copyFolder("Agent_backup", "Agent"));
    EXPECT_TRUE(log.contains(dir.file("Agent") + " does not exist."));
    EXPECT_EQ(readTree(dir.file("Agent\\")), readTree(dir.file("Agent_backup\\")));
}

TEST_F(FileMgrTest, CopyFolderFromAMissingSourceFailsAndTouchesNothing) {
    ASSERT_TRUE(writeTree(dir.file("Agent\\"), kInstalled));
    EXPECT_FALSE(files.copyFolder("Agent_backup", "Agent"));
    EXPECT_TRUE(log.contains(dir.file("Agent_backup") + " does not exist."));
    EXPECT_EQ(readTree(dir.file("Agent\\")).size(), 6u);
}

TEST_F(FileMgrTest, RemoveAllRemovesATreeAndAcceptsAMissingOne) {
    ASSERT_TRUE(writeTree(dir.file("Agent_backup\\"), kInstalled));
    SetFileAttributesA(dir.file("Agent_backup\\config\\settings.json").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(files.removeAll("Agent_backup"));
    EXPECT_FALSE(testutil::fileExists(dir.file("Agent_backup")));
    EXPECT_TRUE(files.removeAll("Agent_backup"));
    EXPECT_TRUE(log.text().empty());
}

TEST_F(FileMgrTest, RemoveAllReportsWhatCannotBeRemoved) {
    ASSERT_TRUE(writeTree(dir.file("Agent_backup\\"), kInstalled));
    UniqueHandle lock = lockFile(dir.file("Agent_backup\\agent.exe"));
    ASSERT_TRUE(lock.valid());
    EXPECT_FALSE(files.removeAll("Agent_backup"));
    EXPECT_TRUE(log.contains("Catch an exception: "));
    lock.reset();
    EXPECT_TRUE(files.removeAll("Agent_backup"));
}

TEST_F(FileMgrTest, RemoveDriverFilesRemovesExactNamesOnly) {
    ASSERT_TRUE(writeTree(dir.file("Drivers\\"), {
                                                     {"PacketFilterDriver.sys", "sys"},
                                                     {"packetfilterdriver.inf", "inf"},
                                                     {"TwPacketFilterDll.dll\\inner.txt", "folder"},
                                                     {"Other.sys", "other"},
                                                 }));
    EXPECT_TRUE(files.removeDriverFiles("Drivers"));
    EXPECT_EQ(readTree(dir.file("Drivers\\")),
              (TreeContent{{"Other.sys", "other"}, {"packetfilterdriver.inf", "inf"}}));
    EXPECT_TRUE(files.removeDriverFiles("Missing"));
}

TEST_F(FileMgrTest, CopyFileMovesAFileAndNeverOverwrites) {
    ASSERT_TRUE(testutil::writeFile(dir.file("new.dll"), "new"));
    ASSERT_TRUE(CreateDirectoryA(dir.file("lib").c_str(), nullptr));
    EXPECT_FALSE(files.copyFile(std::string(), dir.file("lib")));
    EXPECT_FALSE(files.copyFile(dir.file("new.dll"), std::string()));
    EXPECT_TRUE(log.text().empty());

    // A folder as target receives the file under its own name.
    ASSERT_TRUE(files.copyFile(dir.file("new.dll"), dir.file("lib")));
    EXPECT_TRUE(log.contains("Copy  " + dir.file("new.dll") + " to " + dir.file("lib")));
    EXPECT_FALSE(testutil::fileExists(dir.file("new.dll")));
    std::string content;
    ASSERT_TRUE(testutil::readFile(dir.file("lib\\new.dll"), content));
    EXPECT_EQ(content, "new");

    // An existing target is a failure that keeps both files.
    ASSERT_TRUE(testutil::writeFile(dir.file("new.dll"), "newer"));
    EXPECT_FALSE(files.copyFile(dir.file("new.dll"), dir.file("lib")));
    EXPECT_TRUE(testutil::fileExists(dir.file("new.dll")));
    ASSERT_TRUE(testutil::readFile(dir.file("lib\\new.dll"), content));
    EXPECT_EQ(content, "new");
}
