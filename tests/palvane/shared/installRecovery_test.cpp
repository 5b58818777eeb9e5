// The one decision a start takes on the installation it finds, over every
// stage, both kinds of start and every state of the recorded cabinet.
#include "palvane/shared/installRecovery.h"

#include <gtest/gtest.h>

#include "support/testUtil.h"

using namespace PALVANE_SERVICE;

namespace {

using A = StartAction;

InstallRecord record(bool pending, const std::string& stage, const std::string& cabinet = "", bool fresh = false) {
    InstallRecord made;
    made.pending = pending, made.stage = stage, made.cabinet = cabinet, made.fresh = fresh;
    return made;
}

TEST(InstallRecovery, EveryRecordHasExactlyOneWayOn) {
    InstallRecord offered;
    offered.installingVersion = "2.0.0";
    const struct {
        const char* what;
        InstallRecord record;
        A plain, reboot, cabinetBad;
    } rows[] = {
        {"idle", {}, A::Nothing, A::Nothing, A::Nothing},
        {"idle after an offer", offered, A::Nothing, A::Nothing, A::Nothing},
        {"fresh files left, idle", record(false, "", "", true), A::Nothing, A::Nothing, A::Nothing},
        {"a completion cut in its clean-up", record(false, "extracted"), A::DropRemnant, A::DropRemnant, A::DropRemnant},
        {"a restore cut in its clean-up", record(false, "restore"), A::DropRemnant, A::DropRemnant, A::DropRemnant},
        {"an upgrade not committed", record(false, "", "a.cab"), A::DropRemnant, A::DropRemnant, A::DropRemnant},
        {"an upgrade waits", record(true, "", "a.cab"), A::AwaitReboot, A::PhaseOneOnTray, A::AwaitReboot},
        {"pending without a cabinet", record(true, ""), A::DropRemnant, A::DropRemnant, A::DropRemnant},
        {"a fresh attempt before its extraction", record(true, "", "a.cab", true), A::DropRemnant, A::DropRemnant,
         A::DropRemnant},
        {"phase I due", record(true, "phase-one", "a.cab"), A::PhaseOneOnTray, A::PhaseOneOnTray, A::PhaseOneOnTray},
        {"an extraction cut short", record(true, "extracting", "a.cab"), A::FinishExtraction, A::FinishExtraction,
         A::Restore},
        {"extracted", record(true, "extracted"), A::Complete, A::Complete, A::Complete},
        {"a restore due", record(true, "restore"), A::Restore, A::Restore, A::Restore},
        {"a stage of another runtime", record(true, "later"), A::DropRemnant, A::DropRemnant, A::DropRemnant},
    };
    for (const auto& row : rows) {
        int asked = 0;
        auto cabinet = [&asked](CabinetState state) { return [&asked, state] { return ++asked, state; }; };
        EXPECT_EQ(decideAtStart(row.record, StartKind::Plain, cabinet(CabinetState::Usable)), row.plain) << row.what;
        EXPECT_EQ(decideAtStart(row.record, StartKind::Reboot, cabinet(CabinetState::Usable)), row.reboot) << row.what;
        for (const CabinetState bad : {CabinetState::Missing, CabinetState::WrongDigest}) {
            EXPECT_EQ(decideAtStart(row.record, StartKind::Plain, cabinet(bad)), row.cabinetBad) << row.what;
        }
        EXPECT_EQ(asked, row.record.stage == "extracting" ? 4 : 0) << row.what << ": the cabinet is read for nothing";
    }
}

// An attempt that has reached a stage is finished or undone first: no other
// attempt's values are written over it, its backups included.
TEST(InstallJournal, NoAttemptBeginsWhileAStageIsSet) {
    testutil::MachineSettingsSandbox settings;
    InstallJournal journal(makeMachineSettingsStore());
    ASSERT_TRUE(journal.recordUpgrade("a.cab", "aa", "2.0.0") && journal.markPhaseOneDue() && journal.beginExtraction());
    EXPECT_FALSE(journal.recordUpgrade("b.cab", "bb", "3.0.0"));
    EXPECT_FALSE(journal.beginFresh("b.cab", "bb", "3.0.0"));
    EXPECT_EQ(journal.load().cabinet, "a.cab");
    EXPECT_EQ(journal.record().upgradeVersion, "2.0.0");
}

}  // namespace
