// The per-user policy value the host writes at every start, so that the
// agent's notifications show as balloons for the user at the console.
#pragma once

// Writes "EnableLegacyBalloonNotifications" = 1 under the logged-on user's
// "\SOFTWARE\Policies\Microsoft\Windows\Explorer". Waits for a user to log on
// unless the process's user waits are cancelled (utils/win/userInfo.h).
void enableLegacyBalloonNotifications();
