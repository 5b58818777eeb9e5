#include "support/testUtil.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "utils/twlogger.h"

namespace testutil {

std::wstring exeDirectory() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    std::wstring path(buffer.data(), length);
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::string exeDirectoryA() {
    std::vector<char> buffer(32768);
    const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    std::string path(buffer.data(), length);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    char temp[MAX_PATH + 1];
    GetTempPathA(sizeof(temp), temp);
    for (;;) {
        std::ostringstream name;
        name << temp << "palvane-test-" << GetCurrentProcessId() << "-" << counter++ << "-" << GetTickCount64();
        if (CreateDirectoryA(name.str().c_str(), nullptr)) {
            path_ = name.str() + "\\";
            return;
        }
    }
}

TempDir::~TempDir() { removeTree(path_); }

std::wstring TempDir::wpath() const { return std::wstring(path_.begin(), path_.end()); }

bool removeTree(const std::string& path) {
    std::string folder = path;
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            const std::string child = folder + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
    return GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
}

CurrentDirectory::CurrentDirectory(const std::string& folder) {
    GetCurrentDirectoryA(MAX_PATH, previous_);
    SetCurrentDirectoryA(folder.c_str());
}

CurrentDirectory::~CurrentDirectory() { SetCurrentDirectoryA(previous_); }

bool readFile(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream out;
    out << in.rdbuf();
    content = out.str();
    return true;
}

bool writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << content;
    return static_cast<bool>(out);
}

bool fileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

LogCapture::LogCapture(int level) : path_(dir_.file("test.log")) {
    setMaxLogFileSize(1000000000);
    setLogFile(path_.c_str());
    setFileLogLevel(static_cast<unsigned>(level));
}

LogCapture::~LogCapture() {
    closeLogFile();
    setLogFile("");
    g_fileLogLevel.store(-1);
}

std::string LogCapture::text() const {
    std::string content;
    readFile(path_, content);
    return content;
}

bool LogCapture::contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

namespace {
const char* const kSettingsKey = "Software\\Tarnwell";
}

MachineSettingsSandbox::MachineSettingsSandbox() {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSettingsKey);
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (key) RegCloseKey(key);
}

MachineSettingsSandbox::~MachineSettingsSandbox() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSettingsKey); }

void MachineSettingsSandbox::set(const char* name, const std::string& value) {
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, kSettingsKey, name, REG_SZ, value.c_str(),
                    static_cast<DWORD>(value.size() + 1));
}

bool MachineSettingsSandbox::get(const char* name, std::string& value) const {
    char buffer[4096];
    DWORD size = sizeof(buffer);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, kSettingsKey, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS) {
        return false;
    }
    value.assign(buffer);
    return true;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace testutil
