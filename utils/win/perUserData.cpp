#include "utils/win/perUserData.h"

#include "utils/twlogger.h"
#include "utils/win/localconfig.h"
#include "utils/win/userInfo.h"

bool perUserData::openUserKey(const std::string& subkey) {
    const std::string sid = getLoggedInUserSid();
    const std::string path = sid + subkey;
    // Without a user the path would name a key directly under HKEY_USERS,
    // outside every user's hive.
    if (sid.empty()) {
        TWLOG(LOG_CRIT, "Couldn't create subkey: " << path << " reason:" << ERROR_NO_SUCH_USER);
        return false;
    }
    HKEY key = nullptr;
    const LONG result = RegCreateKeyExA(HKEY_USERS, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) {
        TWLOG(LOG_CRIT, "Couldn't create subkey: " << path << " reason:" << result);
        return false;
    }
    key_.reset(key);
    return true;
}

bool perUserData::setDword(const char* name, uint32_t value) {
    if (!key_) return false;
    const DWORD data = value;
    return RegSetValueExA(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data)) ==
           ERROR_SUCCESS;
}

bool perUserData::setString(const char* name, const char* value) {
    return key_ && writeRegistryText(key_.get(), name, value);
}

bool perUserData::getBool(const char* name, bool& value) {
    if (!key_) return false;
    std::string text;
    LONG result = ERROR_SUCCESS;
    if (!readRegistryText(key_.get(), name, text, result)) {
        TWLOG(LOG_DEBUG, "Failed to read key " << name << " error " << result);
        return false;
    }
    return parseBoolText(text, value);
}

void perUserData::deleteValue(const char* name) {
    if (key_) RegDeleteValueA(key_.get(), name);
}
