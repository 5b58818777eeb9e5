// An install folder with the agent's components for the tests: the test
// service program under each service's program name, the test INF files and
// their "driver" programs, and the tray stand-in. Every managed component's
// service and the drivers' copied files are removed when it is made and again
// when it is destroyed.
#pragma once

#include <map>
#include <string>

#include "support/serviceSandbox.h"
#include "support/testUtil.h"

namespace testutil {

class AgentMachine {
public:
    // Service and driver names of the component table.
    static const char* const kComponentNames[5];

    AgentMachine();
    ~AgentMachine();
    AgentMachine(const AgentMachine&) = delete;
    AgentMachine& operator=(const AgentMachine&) = delete;

    // The install path, ending with a backslash.
    const std::string& path() const { return dir_.path(); }

    // Places every component; `behaviours` maps a program file name
    // ("twpagent.exe") to its behaviour file's text.
    void placeAll(const std::map<std::string, std::string>& behaviours = {});
    void placeService(const std::string& folder, const std::string& program, const std::string& behaviour = "");
    void placeDriver(const std::string& infName, const std::string& program);
    void placeTray(unsigned lifetimeMs = 60000);

    // Where the test INF files put a driver's program.
    static std::string driverTarget(const std::string& program);
    // The lines of a service program's event file ("start", "stop").
    std::string events(const std::string& folder, const std::string& program) const;

private:
    static void removeEverything();

    TempDir dir_;
};

}  // namespace testutil
