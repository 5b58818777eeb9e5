#include "palvane/shared/rollback.h"

#include <gtest/gtest.h>

#include "palvane/dll-api/win/service_operations.h"
#include "support/fileTreeUtil.h"
#include "support/logLines.h"
#include "support/testUtil.h"
#include "utils/win/scopedHandle.h"

using PALVANE_SERVICE::InstallJournal;
using PALVANE_SERVICE::RollbackMgr;
using testutil::readTree;
using testutil::TreeContent;
using testutil::writeTree;

namespace {

const TreeContent kAgent = {{"agent.exe", "agent v1"}, {"conf\\", ""}, {"conf\\agent.json", "{}"}, {"logs\\", ""}};
const TreeContent kDrivers = {{"PacketFilterDriver.sys", "sys v1"}, {"PacketFilterDriver.inf", "inf v1"}};

std::shared_ptr<Installed_services> component(const std::string& name, const std::string& folder) {
    return std::make_shared<Installed_services>(name, name, "test component", folder, name + ".exe");
}

// The table's folders in its order: two drivers share one folder, and one
// component is not on the machine.
class RollbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(writeTree(dir.file("Quillmark Agent\\"), kAgent));
        ASSERT_TRUE(writeTree(dir.file("Quillmark Drivers\\"), kDrivers));
    }

    RollbackMgr::Components components() {
        return {component("twRollbackDrv1", "Quillmark Drivers"), component("twRollbackAgent", "Quillmark Agent"),
                component("twRollbackDrv2", "Quillmark Drivers"), component("twRollbackDns", "qmdns")};
    }

    // What a failed installation leaves: a changed, an added and a lost file.
    void changeInstalledFiles() {
        ASSERT_TRUE(writeTree(dir.file("Quillmark Agent\\"), {{"agent.exe", "agent v2 (broken)"}, {"new.dll", "v2"}}));
        ASSERT_TRUE(DeleteFileA(dir.file("Quillmark Drivers\\PacketFilterDriver.inf").c_str()));
    }

    size_t count(const std::string& needle) { return testutil::countLines(log.text(), needle); }

    testutil::TempDir dir;
    testutil::LogCapture log{8};
    testutil::MachineSettingsSandbox settings;
    InstallJournal journal{PALVANE_SERVICE::makeMachineSettingsStore()};
};

}  // namespace

TEST_F(RollbackTest, ARestoreBringsBackExactlyTheBackedUpFiles) {
    RollbackMgr rollback(dir.path(), components(), journal);
    EXPECT_TRUE(rollback.backup());
    EXPECT_EQ(readTree(dir.file("Quillmark Agent_backup\\")), readTree(dir.file("Quillmark Agent\\")));
    EXPECT_EQ(count("Backup folder from Quillmark Drivers to Quillmark Drivers_backup"), 2u);
    EXPECT_TRUE(log.contains("qmdns is not there; a restore removes what the installation puts there."));
    EXPECT_FALSE(testutil::fileExists(dir.file("qmdns_backup")));

    changeInstalledFiles();
    ASSERT_TRUE(writeTree(dir.file("qmdns\\"), {{"dns.exe", "added by the failed installation"}}));
    EXPECT_TRUE(rollback.restore());
    EXPECT_EQ(readTree(dir.file("Quillmark Agent\\")), readTree(dir.file("Quillmark Agent_backup\\")));
    EXPECT_EQ(readTree(dir.file("Quillmark Drivers\\")), readTree(dir.file("Quillmark Drivers_backup\\")));
    EXPECT_EQ(count("Restore folder from "), 3u);
    EXPECT_FALSE(testutil::fileExists(dir.file("qmdns")));

    EXPECT_TRUE(rollback.purge());
    EXPECT_TRUE(rollback.purge());
    EXPECT_EQ(count("Purge backup folder count= 4"), 2u);
    EXPECT_EQ(journal.record().backups, "+Quillmark Drivers\n+Quillmark Agent\n-qmdns");
    EXPECT_EQ(readTree(dir.path()).count("Quillmark Agent_backup\\"), 0u);
    EXPECT_EQ(readTree(dir.path()).count("Quillmark Drivers_backup\\"), 0u);
    EXPECT_EQ(readTree(dir.file("Quillmark Agent\\")), kAgent);
}

TEST_F(RollbackTest, ALaterBackupKeepsTheFirstOne) {
    RollbackMgr before(dir.path(), components(), journal);
    ASSERT_TRUE(before.backup());
    changeInstalledFiles();
    // A completion after a reload of the library backs up again, after the
    // extraction; the backup from before the extraction must win.
    RollbackMgr after(dir.path(), components(), journal);
    EXPECT_TRUE(after.backup());
    EXPECT_TRUE(log.contains(dir.file("Quillmark Agent_backup") + " already exists."));
    EXPECT_TRUE(after.restore());
    EXPECT_EQ(readTree(dir.file("Quillmark Agent\\")), kAgent);
    EXPECT_EQ(readTree(dir.file("Quillmark Drivers\\")), kDrivers);
}

// A copy that was cut short, or that another attempt made, never passes for
// this attempt's backup: a completion takes over none of it, and a new
// backup replaces it.
TEST_F(RollbackTest, OnlyACompleteBackupOfTheSameAttemptCounts) {
    ASSERT_TRUE(writeTree(dir.file("Quillmark Agent_backup\\"), {{"agent.exe", "half a copy"}}));
    RollbackMgr completion(dir.path(), components(), journal);
    completion.resume();
    changeInstalledFiles();
    EXPECT_FALSE(completion.restore()) << "nothing to restore from is a failure";
    EXPECT_EQ(readTree(dir.file("Quillmark Agent\\")).at("agent.exe"), "agent v2 (broken)") << "nothing restored";
    EXPECT_TRUE(testutil::fileExists(dir.file("Quillmark Agent_backup\\agent.exe"))) << "resume deleted a file";

    RollbackMgr next(dir.path(), components(), journal);
    ASSERT_TRUE(next.backup());
    EXPECT_TRUE(log.contains("Discarding Quillmark Agent_backup"));
    ASSERT_TRUE(testutil::removeTree(dir.file("Quillmark Drivers_backup")));
    ASSERT_TRUE(writeTree(dir.file("Quillmark Agent\\"), {{"agent.exe", "agent v3"}}));
    RollbackMgr resumed(dir.path(), components(), journal);
    resumed.resume();
    EXPECT_FALSE(resumed.restore()) << "a listed copy that is gone fails the restore";
    EXPECT_EQ(readTree(dir.file("Quillmark Agent\\")).at("agent.exe"), "agent v2 (broken)") << "this attempt's copy";
}

TEST_F(RollbackTest, AMissingBackupOrFolderIsHandledOnRestore) {
    RollbackMgr rollback(dir.path(), components(), journal);
    ASSERT_TRUE(rollback.backup());
    ASSERT_TRUE(testutil::removeTree(dir.file("Quillmark Agent")));
    ASSERT_TRUE(testutil::removeTree(dir.file("Quillmark Drivers_backup")));
    writeTree(dir.file("Quillmark Drivers\\"), {{"left.txt", "by the failed installation"}});

    EXPECT_FALSE(rollback.restore());
    EXPECT_TRUE(log.contains("Failed to restore folder from Quillmark Drivers_backup to Quillmark Drivers"));
    // The missing folder is made again from its backup.
    EXPECT_EQ(readTree(dir.file("Quillmark Agent\\")), kAgent);
}

TEST_F(RollbackTest, AFolderThatCannotBeBackedUpFailsTheBackup) {
    UniqueHandle lock(CreateFileA(dir.file("Quillmark Agent\\agent.exe").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock.valid());
    RollbackMgr rollback(dir.path(), components(), journal);
    EXPECT_FALSE(rollback.backup());
    EXPECT_TRUE(log.contains("Failed to backup folder from Quillmark Agent to Quillmark Agent_backup"));
    EXPECT_FALSE(testutil::fileExists(dir.file("Quillmark Agent_backup")));
    // Nothing is put back over a folder without a backup.
    lock.reset();
    changeInstalledFiles();
    EXPECT_TRUE(rollback.restore());
    EXPECT_EQ(readTree(dir.file("Quillmark Agent\\")).at("agent.exe"), "agent v2 (broken)");
}
