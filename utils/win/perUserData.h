// Registry values of the user logged on at the console, read and written from
// a service running as the system account: the user's hive under HKEY_USERS,
// found by the user's SID.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "utils/win/scopedHandle.h"

class IUserConfig {
public:
    virtual bool setDword(const char* name, uint32_t value) = 0;
    virtual bool setString(const char* name, const char* value) = 0;
    virtual bool getBool(const char* name, bool& value) = 0;
    virtual void deleteValue(const char* name) = 0;
    virtual bool openUserKey(const std::string& subkey) = 0;
    virtual ~IUserConfig() = default;
};

class perUserData : public IUserConfig {
public:
    perUserData() = default;

    bool setDword(const char* name, uint32_t value) override;
    // REG_SZ stored without its terminating NUL, as the machine settings are.
    bool setString(const char* name, const char* value) override;
    // "true"/"false" in any letter case; anything else fails and leaves
    // `value` as it was.
    bool getBool(const char* name, bool& value) override;
    void deleteValue(const char* name) override;
    // Creates or opens HKEY_USERS\<SID of the logged-in user><subkey>; the
    // subkey starts with a backslash ("\SOFTWARE\Tarnwell"). May wait for a
    // user to log on (see userInfo.h for cutting that wait short). Call once.
    bool openUserKey(const std::string& subkey) override;

    // The value's text up to its first NUL. Only the service host carries it
    // (perUserData_host.cpp).
    bool getString(const char* name, std::string& value);

private:
    UniqueRegKey key_;
};
