#include "support/agentMachine.h"

#include <windows.h>

namespace testutil {

const char* const AgentMachine::kComponentNames[5] = {"twprotect", "twQuillmark", "PacketFilter", "tarnwell_qmproxy",
                                                      "qmdns"};

namespace {

const char* const kDriverPrograms[] = {"twprotect.exe", "PacketFilterDriver.exe"};

}  // namespace

AgentMachine::AgentMachine() { removeEverything(); }

AgentMachine::~AgentMachine() { removeEverything(); }

void AgentMachine::removeEverything() {
    for (const char* name : kComponentNames) removeServiceForcibly(name);
    for (const std::string program : kDriverPrograms) {
        DeleteFileA(driverTarget(program).c_str());
        DeleteFileA(driverTarget(program.substr(0, program.find_last_of('.')) + ".events").c_str());
    }
}

std::string AgentMachine::driverTarget(const std::string& program) {
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    return std::string(system) + "\\drivers\\" + program;
}

void AgentMachine::placeService(const std::string& folder, const std::string& program, const std::string& behaviour) {
    placeTestService(path() + folder + "\\", program, behaviour);
}

void AgentMachine::placeDriver(const std::string& infName, const std::string& program) {
    const std::string folder = path() + "Quillmark Drivers\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    CopyFileA((exeDirectoryA() + "testinf\\" + infName).c_str(), (folder + infName).c_str(), FALSE);
    placeTestService(folder, program);
}

void AgentMachine::placeTray(unsigned lifetimeMs) {
    const std::string folder = path() + "Quillmark Agent\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    copyTestProgram("traystandin.exe", folder + "twptray.exe");
    writeFile(folder + "twptray.exe.lifetime", std::to_string(lifetimeMs));
}

void AgentMachine::placeAll(const std::map<std::string, std::string>& behaviours) {
    auto behaviourOf = [&](const std::string& program) {
        auto found = behaviours.find(program);
        return found == behaviours.end() ? std::string() : found->second;
    };
    placeDriver("twprotect.inf", "twprotect.exe");
    placeDriver("PacketFilterDriver.inf", "PacketFilterDriver.exe");
    placeService("Quillmark Agent", "twpagent.exe", behaviourOf("twpagent.exe"));
    placeService("qmproxy", "qmproxysvc.exe", behaviourOf("qmproxysvc.exe"));
    placeService("qmdns", "dnsserver.exe", behaviourOf("dnsserver.exe"));
    placeTray();
}

std::string AgentMachine::events(const std::string& folder, const std::string& program) const {
    std::string content;
    readFile(path() + folder + "\\" + program.substr(0, program.find_last_of('.')) + ".events", content);
    return content;
}

}  // namespace testutil
