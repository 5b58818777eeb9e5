// The per-user policy value the host writes at every start, so that the
// agent's notifications show as balloons for the user at the console.
#pragma once

// Writes "EnableLegacyBalloonNotifications" = 1 under the logged-on user's
// "\SOFTWARE\Policies\Microsoft\Windows\Explorer". Waits for a user to log on
// until cancelUserPolicyWait() is called.
void enableLegacyBalloonNotifications();
void cancelUserPolicyWait();
// Before a new start: waits for a user may last again.
void resumeUserPolicyWait();
