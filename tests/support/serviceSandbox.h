// Real services for the tests: the test service program copied under another
// name with its behaviour file, services removed whatever state they are in,
// and a fast or virtual clock for the service waits.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "utils/win/service_helper.h"

namespace testutil {

// Copies the test service program to `folder` + `fileName` and writes its
// behaviour file ("start=fail\n", ...; empty for a plain service) beside it.
bool placeTestService(const std::string& folder, const std::string& fileName, const std::string& behaviour = "");
// Copies any program of the test folder (e.g. "traystandin.exe") to `target`.
bool copyTestProgram(const std::string& program, const std::string& target);

// Stops the service (ending its process when it does not stop), deletes it and
// waits until it is gone. True when no such service is left.
bool removeServiceForcibly(const std::string& name);

// The service's configuration as the service control manager holds it.
struct ServiceConfigRecord {
    bool found = false;
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::string binaryPath;
    std::string displayName;
    std::string description;
    std::string dependencies;
    std::string account;
};
ServiceConfigRecord readServiceConfig(const std::string& name);
// Current state (SERVICE_STOPPED...), 0 when the service cannot be queried.
DWORD serviceState(const std::string& name);

// Removes the named services when made and again when destroyed, so that a
// failed test leaves none behind.
class ServiceSandbox {
public:
    explicit ServiceSandbox(std::initializer_list<const char*> names);
    ~ServiceSandbox();
    ServiceSandbox(const ServiceSandbox&) = delete;
    ServiceSandbox& operator=(const ServiceSandbox&) = delete;

private:
    std::vector<std::string> names_;
};

// Real time, but no pause longer than `maxPauseMs`: waits that follow a real
// service stay real, the test just polls faster.
class FastPauseClock : public ServiceWaitClock {
public:
    explicit FastPauseClock(uint32_t maxPauseMs = 50);
    ~FastPauseClock() override;
    uint32_t now() override;
    void pause(uint32_t milliseconds) override;

private:
    uint32_t maxPauseMs_;
};

// Virtual time that moves only by the pauses asked for (each also sleeps a
// few real milliseconds so the service can move on). Records every pause.
class VirtualClock : public ServiceWaitClock {
public:
    VirtualClock();
    ~VirtualClock() override;
    uint32_t now() override { return now_; }
    void pause(uint32_t milliseconds) override;
    const std::vector<uint32_t>& pauses() const { return pauses_; }

private:
    uint32_t now_ = 1000;
    std::vector<uint32_t> pauses_;
};

}  // namespace testutil
