// Per-user values kept among the machine settings, under the subkey "Users"
// of HKLM "Software\Tarnwell", each named by its user's SID. Only the service
// host carries it.
#pragma once

#include "utils/win/localconfig.h"

class userConfig : public localConfig {
public:
    // With `baseKeyOnly` the object holds "Software\Tarnwell" itself (to remove
    // the whole "Users" subkey); otherwise it holds "Users", created when
    // missing, or no key at all when that fails.
    explicit userConfig(bool baseKeyOnly);

    // Deletes every value under "Users" except the one of the logged-in user.
    // False, deleting nothing, when the object does not hold "Users" or no
    // user is logged in; false too when a value could not be deleted.
    bool deleteUserValues();
    // Deletes the "Users" subkey below the key held.
    bool deleteUsersTree();

private:
    bool holdsUsersKey_;
};
