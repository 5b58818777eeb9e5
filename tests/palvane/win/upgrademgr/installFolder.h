// An install folder with its library folder, the "Path" setting naming it, a
// fresh fake runtime, and the current directory (which the manager changes)
// restored before the folder is removed.
#pragma once

#include <windows.h>

#include <string>

#include "fakeRuntime.h"
#include "support/testUtil.h"
#include "utils/configKeys.h"

class InstallFolder {
public:
    InstallFolder() : library(root.path() + "Quillmark Palvane\\") {
        char cwd[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, cwd);
        savedDirectory_ = cwd;
        fakert::runtime().reset();
        CreateDirectoryA(library.c_str(), nullptr);
        settings.set(configKeys::PATH, root.path());
    }

    ~InstallFolder() {
        fakert::runtime().reset();
        SetCurrentDirectoryA(savedDirectory_.c_str());
    }

    InstallFolder(const InstallFolder&) = delete;
    InstallFolder& operator=(const InstallFolder&) = delete;

    testutil::TempDir root;
    testutil::MachineSettingsSandbox settings;
    const std::string library;

private:
    std::string savedDirectory_;
};
