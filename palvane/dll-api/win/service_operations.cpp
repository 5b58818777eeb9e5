#include "palvane/dll-api/win/service_operations.h"

#include "palvane/dll-api/win/driver_operations.h"
#include "utils/twlogger.h"
#include "utils/win/osprofile.h"
#include "utils/win/stringconv.h"

namespace {

constexpr uint32_t kSettleAfterStopMs = 1000;
constexpr DWORD kLockPollMs = 20;

std::wstring wide(const std::string& text) {
    std::wstring result;
    toWide(text, result);
    return result;
}

}  // namespace

Installed_services::Installed_services(const std::string& name, const std::string& display_name,
                                       const std::string& description, const std::string& folder,
                                       const std::string& file_name, int is_service)
    : service_helper(name, kManagerAccess, kServiceAccess),
      name(name),
      display_name(display_name),
      description(description),
      folder(folder),
      file_name(file_name),
      is_service(is_service) {}

Installed_services::~Installed_services() = default;

// An installation holds its components for up to a minute; polling lets the
// stop end the wait, which the lock itself cannot.
std::unique_lock<std::recursive_mutex> Installed_services::lockUnlessStopped() const {
    const HANDLE stop = ServiceWaitStop::event();
    if (stop == nullptr) return lock();
    std::unique_lock<std::recursive_mutex> guard(mutex_, std::try_to_lock);
    while (!guard.owns_lock() && WaitForSingleObject(stop, kLockPollMs) == WAIT_TIMEOUT) guard.try_lock();
    return guard;
}

void Installed_services::open() {
    auto guard = lock();
    openService();
    if (hasServiceHandle() && isNotInstalled()) setLastError(0);
}

bool Installed_services::reopen() {
    closeServiceHandle();
    if (!hasManagerHandle()) return false;
    openService();
    return hasServiceHandle();
}

bool Installed_services::install(const std::string& path) {
    auto guard = lock();
    const std::wstring programPath = wide("\"" + path + folder + "\\" + file_name + "\"");
    service_config config;
    config.desiredAccess = SERVICE_ALL_ACCESS;
    config.serviceType = SERVICE_WIN32_OWN_PROCESS;
    config.startType = SERVICE_DEMAND_START;
    config.errorControl = SERVICE_ERROR_CRITICAL;
    if (!createService(wide(display_name), wide(description), programPath, config)) {
        TWLOG(LOG_ERROR, "Failed to create " << name << " error, " << lastError());
        return false;
    }
    setLastError(0);
    if (!reopen()) TWLOG(LOG_ERROR, "Failed to reopen " << name << " error=" << lastError());
    return true;
}

bool Installed_services::start() {
    auto guard = lock();
    if (isNotInstalled()) {
        TWLOG(LOG_INFO, name << " is not installed.");
        return false;
    }
    if (!startService()) {
        TWLOG(LOG_ERROR, "Failed to start " << name << " error, " << lastError());
        return false;
    }
    return true;
}

bool Installed_services::stop() {
    auto guard = lock();
    if (isNotInstalled()) {
        TWLOG(LOG_INFO, name << " is not installed.");
        return true;
    }
    if (!stopService()) return false;
    serviceWaitClock().pause(kSettleAfterStopMs);
    return true;
}

bool Installed_services::remove() {
    auto guard = lock();
    if (isNotInstalled()) {
        TWLOG(LOG_INFO, name << " is not installed.");
        return true;
    }
    return deleteService();
}

InstalledServiceList get_installed_services(unsigned osMajorVersion) {
    InstalledServiceList components;
    components.push_back(std::make_shared<Installed_drivers>("twprotect", "Tarnwell Mini-Filter Driver",
                                                             "Tarnwell Mini-Filter Driver", "Quillmark Drivers",
                                                             "twprotect.inf"));
    components.push_back(std::make_shared<Installed_services>("twQuillmark", "Tarnwell Quillmark Agent",
                                                              "Tarnwell Quillmark management service",
                                                              "Quillmark Agent", "twpagent.exe"));
    if (osMajorVersion >= 10) {
        TWLOG(LOG_NOTICE, "The packet filter driver is supported on Windows 10 or later.");
        components.push_back(std::make_shared<Installed_drivers>(
            "PacketFilter", "Tarnwell TCP Packet Filter Driver", "Tarnwell TCP Packet Filter Driver",
            "Quillmark Drivers", "PacketFilterDriver.inf"));
    }
    components.push_back(std::make_shared<Installed_services>(
        "tarnwell_qmproxy", "Tarnwell QMProxy",
        "A Tarnwell Proxy server to foward network traffics from client's host", "qmproxy", "qmproxysvc.exe"));
    components.push_back(std::make_shared<Installed_services>("qmdns", "Tarnwell DNS Server", "A DNS server for Qmproxy",
                                                              "qmdns", "dnsserver.exe"));
    return components;
}

InstalledServiceList get_installed_services() { return get_installed_services(osInfo::instance().majorVersion); }
