#include "utils/win/localconfig.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "utils/twlogger.h"
#include "utils/win/stringconv.h"

namespace {

HKEY openBaseKey(bool readOnly) {
    HKEY key = nullptr;
    const LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, localConfig::kBaseKey, 0,
                                      readOnly ? KEY_READ : KEY_ALL_ACCESS, &key);
    if (result != ERROR_SUCCESS) {
        TWLOG(LOG_ERROR, "Couldn't open base registry key " << result);
        return nullptr;
    }
    return key;
}

}  // namespace

namespace {

// The system writes only strings, but a number set by hand (a DWORD "level")
// must read as its decimal text, not as the bytes of the number.
bool numberAsText(DWORD type, const std::vector<char>& data, DWORD size, std::string& value) {
    if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD number = 0;
        memcpy(&number, data.data(), sizeof(number));
        value = std::to_string(number);
        return true;
    }
    if (type == REG_QWORD && size == sizeof(ULONGLONG)) {
        ULONGLONG number = 0;
        memcpy(&number, data.data(), sizeof(number));
        value = std::to_string(number);
        return true;
    }
    return false;
}

}  // namespace

bool readRegistryText(HKEY key, const char* name, std::string& value, LONG& result) {
    DWORD size = 256;
    DWORD type = REG_NONE;
    std::vector<char> buffer(size);
    result = RegGetValueA(key, nullptr, name, RRF_RT_ANY, &type, buffer.data(), &size);
    while (result == ERROR_MORE_DATA) {
        buffer.assign(size + 1, '\0');
        result = RegGetValueA(key, nullptr, name, RRF_RT_ANY, &type, buffer.data(), &size);
    }
    if (result != ERROR_SUCCESS) return false;
    if (numberAsText(type, buffer, size, value)) return true;
    value.assign(buffer.data(), strnlen(buffer.data(), size));
    return true;
}

bool writeRegistryText(HKEY key, const char* name, const char* value) {
    if (value == nullptr) return false;
    const DWORD length = static_cast<DWORD>(strlen(value));
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), length) == ERROR_SUCCESS;
}

bool parseBoolText(const std::string& text, bool& value) {
    if (iequals(text, "true")) {
        value = true;
        return true;
    }
    if (iequals(text, "false")) {
        value = false;
        return true;
    }
    return false;
}

localConfig::localConfig(bool readOnly) : config_(new winconfig(openBaseKey(readOnly))) {}

localConfig::localConfig(std::unique_ptr<winconfig> config) : config_(std::move(config)) {}

localConfig::~localConfig() = default;

bool localConfig::getString(const char* name, std::string& value) {
    if (config_->key() == nullptr) return false;
    LONG result = ERROR_SUCCESS;
    if (readRegistryText(config_->key(), name, value, result)) return true;
    TWLOG(LOG_DEBUG, "Failed to read key " << name << " error " << result);
    return false;
}

bool localConfig::getInt(const char* name, int& value) {
    std::string text;
    if (!getString(name, text)) return false;
    value = atoi(text.c_str());
    return true;
}

bool localConfig::getBool(const char* name, bool& value) {
    std::string text;
    return getString(name, text) && parseBoolText(text, value);
}

bool localConfig::setString(const char* name, const char* value) {
    return config_->key() != nullptr && writeRegistryText(config_->key(), name, value);
}

bool localConfig::deleteValue(const char* name) {
    if (config_->key() == nullptr) return false;
    const LONG result = RegDeleteValueA(config_->key(), name);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

bool localConfig::flush() { return config_->key() != nullptr && RegFlushKey(config_->key()) == ERROR_SUCCESS; }

void regKeyPair::open(HKEY root, const char* subkey, unsigned requestedViews) {
    close();
    error1 = 0;
    error2 = 0;
    wow64 = false;
    views = requestedViews;
    BOOL isWow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &isWow64) && isWow64) wow64 = true;
    if (views & kDefaultView) error1 = RegOpenKeyExA(root, subkey, 0, KEY_ALL_ACCESS, &key1);
    if (wow64 && (views & k64BitView)) {
        error2 = RegOpenKeyExA(root, subkey, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key2);
    }
}

void regKeyPair::close() {
    if (key1 != nullptr) RegCloseKey(key1);
    if (key2 != nullptr) RegCloseKey(key2);
    key1 = nullptr;
    key2 = nullptr;
}

namespace {

// One view's read: the value's bytes (zero-terminated) and its type.
bool readRawValue(HKEY key, const char* name, std::vector<BYTE>& data, DWORD& type, int& error) {
    if (key == nullptr) return false;
    DWORD size = 0;
    LONG result = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size);
    if (!((result == ERROR_SUCCESS && size > 0) || result == ERROR_MORE_DATA)) {
        error = result;
        return false;
    }
    data.assign(size + 1, 0);
    result = RegQueryValueExA(key, name, nullptr, &type, data.data(), &size);
    if (result != ERROR_SUCCESS || size == 0) {
        error = result;
        return false;
    }
    return true;
}

}  // namespace

bool regKeyPair::readValue(const char* name, std::string& value, unsigned view) {
    if (view != 0 && (view & views) == 0) return false;
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    bool read = false;
    if (views & kDefaultView) read = readRawValue(key1, name, data, type, error1);
    if (!read && wow64 && (views & k64BitView)) read = readRawValue(key2, name, data, type, error2);
    if (!read || type != REG_SZ) return false;
    const char* text = reinterpret_cast<const char*>(data.data());
    value.assign(text, strnlen(text, data.size()));
    return true;
}

int regKeyPair::writeValue(const char* name, const std::string& value, unsigned view) {
    if (view != 0 && (view & views) == 0) return 0;
    int written = 0;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(value.data());
    const DWORD length = static_cast<DWORD>(value.size());
    if (views & kDefaultView) {
        error1 = RegSetValueExA(key1, name, 0, REG_SZ, bytes, length);
        if (error1 == ERROR_SUCCESS) written |= kDefaultView;
    }
    if (views & k64BitView) {
        if (wow64) {
            error2 = RegSetValueExA(key2, name, 0, REG_SZ, bytes, length);
            if (error2 == ERROR_SUCCESS) written |= k64BitView;
        } else {
            written |= k64BitView;
        }
    }
    return written;
}
