#include "utils/win/localconfig_host.h"

#include <memory>
#include <string>
#include <vector>

#include "utils/twlogger.h"
#include "utils/win/stringconv.h"
#include "utils/win/userInfo.h"

namespace {

constexpr const char* kUsersSubkey = "Users";

std::unique_ptr<winconfig> openSettingsKey(bool baseKeyOnly) {
    HKEY base = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, localConfig::kBaseKey, 0, KEY_ALL_ACCESS, &base);
    if (result != ERROR_SUCCESS) {
        TWLOG(LOG_ERROR, "Couldn't open base registry key " << result);
        return std::make_unique<winconfig>(nullptr);
    }
    if (baseKeyOnly) return std::make_unique<winconfig>(base);

    HKEY users = nullptr;
    result = RegCreateKeyExA(base, kUsersSubkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                             &users, nullptr);
    RegCloseKey(base);
    if (result != ERROR_SUCCESS) {
        // Falling back to the base key would put per-user values among the
        // machine settings, and deleteUserValues() would wipe those.
        TWLOG(LOG_CRIT, "Couldn't open user subkey: " << result);
        return std::make_unique<winconfig>(nullptr);
    }
    return std::make_unique<winconfig>(users);
}

}  // namespace

userConfig::userConfig(bool baseKeyOnly)
    : localConfig(openSettingsKey(baseKeyOnly)), holdsUsersKey_(!baseKeyOnly && key() != nullptr) {}

bool userConfig::deleteUserValues() {
    if (!holdsUsersKey_) return false;
    const std::string sid = getLoggedInUserSid();
    std::wstring keep;
    // Without the user every value would go, the user's own included.
    if (sid.empty() || !toWide(sid, keep)) return false;

    DWORD count = 0;
    DWORD longestName = 0;
    const LONG queried = RegQueryInfoKeyW(key(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                          &longestName, nullptr, nullptr, nullptr);
    if (queried != ERROR_SUCCESS) {
        TWLOG(LOG_ERROR, "RegQueryInfoKey() failed, error=" << queried);
        return false;
    }
    std::vector<wchar_t> name(static_cast<size_t>(longestName) + 1);
    bool allDeleted = true;
    // From the last index down, so a deletion does not shift the ones still to visit.
    for (DWORD index = count; index-- > 0;) {
        DWORD length = static_cast<DWORD>(name.size());
        if (RegEnumValueW(key(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            allDeleted = false;
            continue;
        }
        if (keep.compare(0, std::wstring::npos, name.data(), length) == 0) continue;
        if (RegDeleteValueW(key(), name.data()) != ERROR_SUCCESS) allDeleted = false;
    }
    return allDeleted;
}

bool userConfig::deleteUsersTree() {
    if (key() == nullptr) return false;
    return RegDeleteTreeA(key(), kUsersSubkey) == ERROR_SUCCESS;
}
