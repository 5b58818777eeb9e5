#include "coreHarness.h"

#include <windows.h>

#include <algorithm>

#include "utils/configKeys.h"
#include "utils/win/localconfig.h"
#include "utils/win/perUserData.h"

namespace coretest {

namespace {
const char* const kUserSettings = "\\SOFTWARE\\Tarnwell";
}  // namespace

void OperationsRecord::add(const std::string& call) {
    std::lock_guard<std::mutex> guard(lock);
    if (destroyed) ++callsAfterDestruction;
    calls.push_back(call);
}

std::vector<std::string> OperationsRecord::all() {
    std::lock_guard<std::mutex> guard(lock);
    return calls;
}

size_t OperationsRecord::count(const std::string& call) {
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
}

RecordingOperations::~RecordingOperations() {
    std::lock_guard<std::mutex> guard(record_->lock);
    record_->destroyed = true;
}

bool RecordingOperations::step(const std::string& call) {
    if (record_->delayMs > 0) Sleep(record_->delayMs);
    record_->add(call);
    status_ = 0;
    return true;
}

bool RecordingOperations::start_service() {
    step("start_service");
    if (!record_->startFails) return true;
    status_ = -8;
    return false;
}

bool RecordingOperations::kill_process(std::string& name) {
    name += ".exe";
    return step("kill_process " + name);
}

UserRebootMode::UserRebootMode() {
    perUserData user;
    if (user.openUserKey(kUserSettings)) user.deleteValue(configKeys::REBOOT_MODE);
}

UserRebootMode::~UserRebootMode() {
    perUserData user;
    if (user.openUserKey(kUserSettings)) user.deleteValue(configKeys::REBOOT_MODE);
}

void UserRebootMode::set(const std::string& value) {
    perUserData user;
    if (user.openUserKey(kUserSettings)) user.setString(configKeys::REBOOT_MODE, value.c_str());
}

bool UserRebootMode::get(std::string& value) {
    perUserData user;
    bool flag = false;
    if (!user.openUserKey(kUserSettings) || !user.getBool(configKeys::REBOOT_MODE, flag)) return false;
    value = flag ? "true" : "false";
    return true;
}

PALVANE_SERVICE::PalvaneService::Seams fastSeams(const std::shared_ptr<OperationsRecord>& record) {
    PALVANE_SERVICE::PalvaneService::Seams seams;
    seams.sleep = [](uint32_t milliseconds) { Sleep(std::min<uint32_t>(milliseconds, 5)); };
    seams.components = [] { return PALVANE_SERVICE::ComponentList{}; };
    seams.operations = [record](const PALVANE_SERVICE::ComponentList&, const std::string&) {
        return std::unique_ptr<PALVANE_SERVICE::IServiceOperation>(std::make_unique<RecordingOperations>(record));
    };
    return seams;
}

void markAgentInstalled(const std::string& installPath) {
    CreateDirectoryA((installPath + "Quillmark Agent").c_str(), nullptr);
    testutil::writeFile(installPath + "Quillmark Agent\\twptray.exe", "tray");
    localConfig(false).setString(configKeys::MACHINE_GUID, "3f2c0d4e-1111-2222-3333-444455556666");
}

std::string setting(const char* name) {
    std::string value;
    if (!localConfig(true).getString(name, value)) return "<absent>";
    return value;
}

std::string fixtureCabinet(const std::string& name) {
    std::string bytes;
    testutil::readFile(testutil::exeDirectoryA() + "cabs\\" + name, bytes);
    return bytes;
}

}  // namespace coretest
