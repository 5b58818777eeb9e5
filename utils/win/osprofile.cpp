#include "utils/win/osprofile.h"

#include <lm.h>
#include <objbase.h>
#include <wbemidl.h>

#include <cstdio>

#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/smbiosUuid.h"
#include "utils/win/stringconv.h"

namespace {

constexpr DWORD kRawSmbiosProvider = 0x52534D42;  // 'RSMB'
constexpr HRESULT kNoWmiServices = static_cast<HRESULT>(0x8007139F);
// A stuck WMI provider must not hold the profile (and every user of the one
// shared instance) for ever.
constexpr long kWmiObjectWaitMs = 30000;
constexpr const char* kWindowsVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

template <typename T>
void releaseCom(T* object) noexcept {
    object->Release();
}
template <typename T>
using ComRef = ScopedHandle<NullHandleTraits<T*, releaseCom<T>>>;

std::string toUtf8Text(const wchar_t* text) {
    std::string result;
    toUtf8(text, result);
    return result;
}

std::string hresultText(HRESULT result) {
    char hex[16];
    snprintf(hex, sizeof(hex), "%lx", static_cast<unsigned long>(result));
    return std::to_string(result) + " " + hex;
}

// COM on this thread plus the WMI services of ROOT\CIMV2; released in reverse.
class WmiConnection : public IWmiQuery {
public:
    ~WmiConnection() override {
        services_.reset();
        locator_.reset();
        if (comInitialised_) CoUninitialize();
    }

    bool open() {
        HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(result)) {
            TWLOG(LOG_WARN, "Failed to create Initialize com " << hresultText(result));
            return false;
        }
        comInitialised_ = true;
        return initialiseSecurity() && connect();
    }

    HRESULT query(const wchar_t* wql, const wchar_t* property, std::string& value) override {
        if (!services_) return kNoWmiServices;
        BSTR language = SysAllocString(L"WQL");
        BSTR text = SysAllocString(wql);
        IEnumWbemClassObject* found = nullptr;
        const HRESULT result = services_.get()->ExecQuery(
            language, text, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &found);
        SysFreeString(language);
        SysFreeString(text);
        if (FAILED(result)) return result;
        ComRef<IEnumWbemClassObject> objects(found);
        readEach(objects.get(), property, value);
        return result;
    }

private:
    bool initialiseSecurity() {
        const HRESULT result = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        if (result == RPC_E_TOO_LATE) {
            TWLOG(LOG_WARN, "COM security already initialized, continuing....");
        } else if (FAILED(result)) {
            TWLOG(LOG_WARN, "Failed to initialize security " << hresultText(result));
            return false;
        } else {
            TWLOG(LOG_DEBUG, "Security initialized");
        }
        return true;
    }

    bool connect() {
        IWbemLocator* locator = nullptr;
        HRESULT result = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                          reinterpret_cast<void**>(&locator));
        if (FAILED(result)) {
            TWLOG(LOG_WARN, "Failed to create IWbemLocator instance " << hresultText(result));
            return false;
        }
        locator_.reset(locator);
        BSTR space = SysAllocString(L"ROOT\\CIMV2");
        IWbemServices* services = nullptr;
        result = locator->ConnectServer(space, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
        SysFreeString(space);
        if (FAILED(result)) {
            TWLOG(LOG_WARN, "Failed to create IWbemServices Proxy " << hresultText(result));
            return false;
        }
        services_.reset(services);
        // Used either way: a failed blanket only lowers what the queries may see.
        CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                          RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
        return true;
    }

    // With several objects the last one's value stays. A value that is not
    // text (a null UUID) is not read.
    static void readEach(IEnumWbemClassObject* objects, const wchar_t* property, std::string& value) {
        for (;;) {
            IWbemClassObject* object = nullptr;
            ULONG returned = 0;
            const HRESULT result = objects->Next(kWmiObjectWaitMs, 1, &object, &returned);
            if (result == WBEM_S_TIMEDOUT) TWLOG(LOG_WARN, "WMI query timed out, property " << toUtf8Text(property));
            if (returned == 0 || object == nullptr) return;
            ComRef<IWbemClassObject> owner(object);
            VARIANT field;
            VariantInit(&field);
            if (SUCCEEDED(object->Get(property, 0, &field, nullptr, nullptr)) && V_VT(&field) == VT_BSTR &&
                V_BSTR(&field) != nullptr)
                toUtf8(V_BSTR(&field), value);
            VariantClear(&field);
        }
    }

    bool comInitialised_ = false;
    ComRef<IWbemLocator> locator_;
    ComRef<IWbemServices> services_;
};

bool realJoinInformation(DWORD& status, std::wstring& name) {
    wchar_t* buffer = nullptr;
    NETSETUP_JOIN_STATUS joinStatus = NetSetupUnknownStatus;
    if (NetGetJoinInformation(nullptr, &buffer, &joinStatus) != NERR_Success) return false;
    status = joinStatus;
    name = buffer != nullptr ? buffer : L"";
    if (buffer != nullptr) NetApiBufferFree(buffer);
    return true;
}

bool realFirmwareTable(std::vector<uint8_t>& table) {
    const UINT size = GetSystemFirmwareTable(kRawSmbiosProvider, 0, nullptr, 0);
    if (size == 0) return false;
    table.assign(size, 0);
    return GetSystemFirmwareTable(kRawSmbiosProvider, 0, table.data(), size) == size;
}

std::unique_ptr<IWmiQuery> realOpenWmi() {
    auto connection = std::make_unique<WmiConnection>();
    if (!connection->open()) return nullptr;
    return connection;
}

const char* joinStatusText(DWORD status) {
    switch (status) {
        case NetSetupUnknownStatus: return "Unknown";
        case NetSetupUnjoined: return "Not Joined";
        case NetSetupWorkgroupName: return "Workgroup";
        case NetSetupDomainName: return "Domain";
        default: return "";
    }
}

void readWindowsValue(regKeyPair& key, const char* name, std::string& value) {
    if (!key.readValue(name, value, regKeyPair::kDefaultView))
        TWLOG(LOG_WARN, "Failed to read the value of " << name << ".");
}

}  // namespace

osProfileSources osProfileSources::real() { return {realJoinInformation, realFirmwareTable, realOpenWmi}; }

osInfo::osInfo() : osInfo(osProfileSources::real()) {}

osInfo::osInfo(const osProfileSources& sources) {
    readDomain(sources);
    readWorkstationVersion();
    std::unique_ptr<IWmiQuery> wmi = sources.openWmi ? sources.openWmi() : nullptr;
    if (wmi)
        readFromWmi(*wmi);
    else
        readFromRegistry(sources);
    applyDomainOverride();
}

const osInfo& osInfo::instance() {
    static const osInfo profile;
    return profile;
}

void osInfo::readDomain(const osProfileSources& sources) {
    DWORD status = 0;
    std::wstring name;
    if (!sources.joinInformation || !sources.joinInformation(status, name)) return;
    domain_type = joinStatusText(status);
    if (status == NetSetupWorkgroupName || status == NetSetupDomainName) toUtf8(name, domain_name);
}

void osInfo::readWorkstationVersion() {
    BYTE* buffer = nullptr;
    if (NetWkstaGetInfo(nullptr, 102, &buffer) != NERR_Success) return;
    const auto* info = reinterpret_cast<const WKSTA_INFO_102*>(buffer);
    majorVersion = info->wki102_ver_major;
    minorVersion = info->wki102_ver_minor;
    NetApiBufferFree(buffer);
}

void osInfo::readFromWmi(IWmiQuery& wmi) {
    if (FAILED(wmi.query(L"SELECT * FROM Win32_ComputerSystemProduct", L"UUID", machine_guid))) machine_guid.clear();
    wmi.query(L"SELECT * FROM Win32_OperatingSystem", L"SerialNumber", os_serial);
    wmi.query(L"SELECT * FROM Win32_OperatingSystem", L"Version", os_version);
    wmi.query(L"SELECT * FROM Win32_OperatingSystem", L"Caption", os_caption);
}

void osInfo::readFromRegistry(const osProfileSources& sources) {
    std::vector<uint8_t> table;
    if (sources.firmwareTable && sources.firmwareTable(table)) machine_guid = smbiosSystemUuid(table.data(), table.size());
    if (!machine_guid.empty()) TWLOG(LOG_NOTICE, "Machine UUID:" << machine_guid);

    regKeyPair key;
    key.open(HKEY_LOCAL_MACHINE, kWindowsVersionKey, regKeyPair::kDefaultView);
    std::string build;
    readWindowsValue(key, "ProductName", os_caption);
    readWindowsValue(key, "ProductId", os_serial);
    readWindowsValue(key, "CurrentBuildNumber", build);
    os_version = std::to_string(majorVersion) + "." + std::to_string(minorVersion) + "." + build;
    TWLOG(LOG_NOTICE, "OS caption:" << os_caption << "OS serial number:" << os_serial << " os_version:" << os_version);
    key.close();
}

void osInfo::applyDomainOverride() {
    localConfig settings(true);
    std::string domain;
    if (!settings.getString(configKeys::OVERRIDE_DOMAIN, domain)) return;
    domain_type = "Domain";
    domain_name = domain;
}

void osInfo::toJson(Json::Value& root) const {
    root[configKeys::DOMAIN_TYPE] = domain_type;
    root[configKeys::DOMAIN_NAME] = domain_name;
    root[configKeys::MACHINE_GUID_JSON] = machine_guid;
    root[configKeys::OS_SERIAL] = os_serial;
    root[configKeys::OS_VERSION] = os_version;
    root[configKeys::OS_CAPTION] = os_caption;
}
