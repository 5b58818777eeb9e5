// The machine's identity, read once: domain membership, machine UUID, and the
// operating system's serial number, version and caption. WMI first; the
// registry and the SMBIOS table when WMI cannot be used.
#pragma once

#include <windows.h>

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class osInfoBase {
public:
    virtual void toJson(Json::Value& root) const = 0;

protected:
    ~osInfoBase() = default;
};

// One WMI query for one property of the returned objects, as UTF-8.
class IWmiQuery {
public:
    virtual ~IWmiQuery() = default;
    virtual HRESULT query(const wchar_t* wql, const wchar_t* property, std::string& value) = 0;
};

// Where the profile's inputs come from; each defaults to the real call.
struct osProfileSources {
    // NetGetJoinInformation: the join status and the workgroup or domain name.
    std::function<bool(DWORD& status, std::wstring& name)> joinInformation;
    // The raw SMBIOS table (firmware table provider 'RSMB').
    std::function<bool(std::vector<uint8_t>& table)> firmwareTable;
    // A WMI connection to ROOT\CIMV2, or null when WMI cannot be used. COM is
    // initialised on the calling thread for the connection's life.
    std::function<std::unique_ptr<IWmiQuery>()> openWmi;

    static osProfileSources real();
};

class osInfo : public osInfoBase {
public:
    osInfo();
    explicit osInfo(const osProfileSources& sources);

    // Sets "domain_type", "domain_name", "machine_guid", "os_serial",
    // "os_version" and "os_caption" of `root`.
    void toJson(Json::Value& root) const override;

    // The process-wide profile, built by its first user (thread-safe) and
    // kept until the module is unloaded.
    static const osInfo& instance();

    std::string machine_guid;
    std::string domain_type;
    std::string domain_name;
    std::string os_serial;
    std::string os_version;
    std::string os_caption;
    uint32_t majorVersion = 0;
    uint32_t minorVersion = 0;

private:
    void readDomain(const osProfileSources& sources);
    void readWorkstationVersion();
    void readFromWmi(IWmiQuery& wmi);
    void readFromRegistry(const osProfileSources& sources);
    void applyDomainOverride();
};
