// What the service core's tests share: a recording stand-in for the component
// operations (the core's only seam to the machine's services), a logged-on
// user, an install folder and the core's seams
// with short pauses.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "palvane/shared/IServiceOperation.h"
#include "palvane/shared/softwareSrvc.h"
#include "support/fakeSessions.h"
#include "support/testUtil.h"

namespace coretest {

// Shared between the stand-in and the test, so the test can read it after the
// core (and the stand-in with it) is gone.
struct OperationsRecord {
    std::mutex lock;
    std::vector<std::string> calls;
    bool destroyed = false;
    int callsAfterDestruction = 0;
    // Script.
    std::atomic<uint32_t> delayMs{0};
    std::atomic<bool> startFails{false};

    void add(const std::string& call);
    std::vector<std::string> all();
    size_t count(const std::string& call);
};

class RecordingOperations : public PALVANE_SERVICE::IServiceOperation {
public:
    explicit RecordingOperations(std::shared_ptr<OperationsRecord> record) : record_(std::move(record)) {}
    ~RecordingOperations() override;

    bool start_service() override;
    bool stop_service() override { return step("stop_service"); }
    bool launch_tray() override { return step("launch_tray"); }
    bool set_tray_autorun() override { return step("set_tray_autorun"); }
    bool kill_process(std::string& name) override;
    int get_status() override { return status_; }
    bool remove_service() override { return step("remove_service"); }
    bool uninstall_drivers() override { return step("uninstall_drivers"); }

private:
    bool step(const std::string& call);

    std::shared_ptr<OperationsRecord> record_;
    int status_ = 0;
};

// The logged-on user's "reboot-mode", removed before and after the test.
class UserRebootMode {
public:
    UserRebootMode();
    ~UserRebootMode();
    void set(const std::string& value);
    bool get(std::string& value);
};

// The core's pauses cut to a few milliseconds; the component operations
// recorded; the components themselves left out.
PALVANE_SERVICE::PalvaneService::Seams fastSeams(const std::shared_ptr<OperationsRecord>& record);

// Marks the agent as installed in `installPath`: the tray program's file and
// a machine GUID.
void markAgentInstalled(const std::string& installPath);

// The setting's value, or "<absent>".
std::string setting(const char* name);

// The bytes of a cabinet that the fixtures build into bin\cabs.
std::string fixtureCabinet(const std::string& name);

}  // namespace coretest
