// Helpers shared by the test programs.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>

namespace testutil {

// The folder of the running test program, with a trailing backslash. Fixtures
// are built into the same folder.
std::wstring exeDirectory();
std::string exeDirectoryA();

// A fresh folder under the temp folder, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // With a trailing backslash.
    const std::string& path() const { return path_; }
    std::wstring wpath() const;
    std::string file(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

// Removes a folder tree; true when nothing is left.
bool removeTree(const std::string& path);

// Reads or writes a whole file as bytes.
bool readFile(const std::string& path, std::string& content);
bool writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

// Sends the logger's file sink to a fresh file at the given level and reads
// back what was written. Restores "off" at the end.
class LogCapture {
public:
    explicit LogCapture(int level = 8);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const;
    bool contains(const std::string& needle) const;
    const std::string& path() const { return path_; }

private:
    TempDir dir_;
    std::string path_;
};

// The process's current directory changed for one scope, as the host does
// before it loads the runtime library.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::string& folder);
    ~CurrentDirectory();
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    char previous_[MAX_PATH] = {};
};

// HKLM "Software\Tarnwell" emptied for one test and removed afterwards.
class MachineSettingsSandbox {
public:
    MachineSettingsSandbox();
    ~MachineSettingsSandbox();
    void set(const char* name, const std::string& value);
    bool get(const char* name, std::string& value) const;
};

// Polls `condition` every few milliseconds until it holds or `timeout` ends.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace testutil
