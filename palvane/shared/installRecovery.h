// What a start of the runtime does with the installation it finds in the
// journal: one decision over the persisted record, the kind of start and the
// state of the recorded cabinet, so that every state has exactly one way on.
#pragma once

#include <functional>

#include "palvane/shared/installJournal.h"

namespace PALVANE_SERVICE {

// A reboot start is one whose reboot flag was set: the reboot an upgrade
// asked for has come.
enum class StartKind { Plain, Reboot };

enum class CabinetState { Usable, Missing, WrongDigest };

enum class StartAction {
    Nothing,           // idle: the installed agent (if any) is started and watched
    AwaitReboot,       // an upgrade waits for its reboot; the agent runs and the tray is reminded
    PhaseOneOnTray,    // phase I runs when an agent process connects (its stage is written first)
    FinishExtraction,  // an extraction was cut short: finish it from the verified cabinet
    Complete,          // every file is in place: launch, then commit or roll back
    Restore,           // put the old version back from the attempt's backups
    DropRemnant,       // values of an attempt that ended or cannot go on are cleared
};

// `cabinet` is asked only where the answer matters (it reads the whole file).
StartAction decideAtStart(const InstallRecord& record, StartKind kind, const std::function<CabinetState()>& cabinet);

const char* nameOf(StartAction action);

}  // namespace PALVANE_SERVICE
