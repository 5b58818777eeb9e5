#include "palvane/shared/installRecovery.h"

namespace PALVANE_SERVICE {

StartAction decideAtStart(const InstallRecord& record, StartKind kind, const std::function<CabinetState()>& cabinet) {
    if (!record.pending) return record.hasRemnant() ? StartAction::DropRemnant : StartAction::Nothing;
    const std::string& stage = record.stage;
    if (stage == InstallRecord::kRestore) return StartAction::Restore;
    if (stage == InstallRecord::kExtracted) return StartAction::Complete;
    if (stage == InstallRecord::kExtracting) {
        return cabinet() == CabinetState::Usable ? StartAction::FinishExtraction : StartAction::Restore;
    }
    if (stage == InstallRecord::kPhaseOne) return StartAction::PhaseOneOnTray;
    if (record.awaitsReboot()) return kind == StartKind::Reboot ? StartAction::PhaseOneOnTray : StartAction::AwaitReboot;
    // A fresh attempt cut before its extraction, or a stage this runtime
    // does not know: nothing of it can be finished.
    return StartAction::DropRemnant;
}

const char* nameOf(StartAction action) {
    switch (action) {
        case StartAction::Nothing: return "nothing";
        case StartAction::AwaitReboot: return "await the reboot";
        case StartAction::PhaseOneOnTray: return "phase I when an agent process connects";
        case StartAction::FinishExtraction: return "finish the extraction";
        case StartAction::Complete: return "complete";
        case StartAction::Restore: return "restore";
        case StartAction::DropRemnant: return "drop the remnant";
    }
    return "?";
}

}  // namespace PALVANE_SERVICE
