#include "palvane/win/upgrademgr/userPolicy.h"

#include "utils/twlogger.h"
#include "utils/win/perUserData.h"

void enableLegacyBalloonNotifications() {
    perUserData userSettings;
    if (!userSettings.openUserKey("\\SOFTWARE\\Policies\\Microsoft\\Windows\\Explorer")) {
        TWLOG(LOG_ERROR, "Failed to open current user registry hive");
        return;
    }
    if (!userSettings.setDword("EnableLegacyBalloonNotifications", 1)) {
        TWLOG(LOG_ERROR, "Failed to set EnableLegacyBalloonNotifications value");
    }
}
