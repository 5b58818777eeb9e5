// Machine settings: string values under HKLM "Software\Tarnwell". Build one on
// the stack for each use. regKeyPair opens other programs' keys in up to two
// registry views.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

// Holder of one open registry key (null when the open failed).
class winconfig {
public:
    explicit winconfig(HKEY key) : key_(key) {}
    virtual ~winconfig() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    winconfig(const winconfig&) = delete;
    winconfig& operator=(const winconfig&) = delete;

    HKEY key() const { return key_; }

private:
    HKEY key_;
};

class localConfig {
public:
    static constexpr const char* kBaseKey = "Software\\Tarnwell";

    explicit localConfig(bool readOnly);
    virtual bool setString(const char* name, const char* value);
    virtual ~localConfig();

    localConfig(const localConfig&) = delete;
    localConfig& operator=(const localConfig&) = delete;

    bool getString(const char* name, std::string& value);
    bool getInt(const char* name, int& value);
    bool getBool(const char* name, bool& value);
    // A value that is not there counts as deleted.
    bool deleteValue(const char* name);
    // Writes the settings' changes to the disk before it returns.
    bool flush();

    bool isOpen() const { return config_->key() != nullptr; }

protected:
    // For variants that hold another key of the settings.
    explicit localConfig(std::unique_ptr<winconfig> config);
    HKEY key() const { return config_->key(); }

private:
    std::unique_ptr<winconfig> config_;
};

// Reads one value of any type from `key` (a 256-byte first try, regrown as
// the registry asks); a REG_SZ value comes back as its text up to the first
// NUL, a REG_DWORD or REG_QWORD as its decimal text. `result` holds the
// registry's answer.
bool readRegistryText(HKEY key, const char* name, std::string& value, LONG& result);

// A REG_SZ whose data length is the text's length without its terminating
// NUL (the convention of every settings string this system writes).
bool writeRegistryText(HKEY key, const char* name, const char* value);

// "true" or "false" in any letter case; any other text fails and leaves
// `value` unchanged.
bool parseBoolText(const std::string& text, bool& value);

struct regKeyPair {
    static constexpr unsigned kDefaultView = 1;
    static constexpr unsigned k64BitView = 2;

    int error1 = 0;
    int error2 = 0;
    bool wow64 = false;
    unsigned views = 0;
    HKEY key1 = nullptr;
    HKEY key2 = nullptr;

    regKeyPair() = default;
    ~regKeyPair() { close(); }
    regKeyPair(const regKeyPair&) = delete;
    regKeyPair& operator=(const regKeyPair&) = delete;

    void open(HKEY root, const char* subkey, unsigned views);
    void close();
    bool readValue(const char* name, std::string& value, unsigned view);
    int writeValue(const char* name, const std::string& value, unsigned view);
};
