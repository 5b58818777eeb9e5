#include <gtest/gtest.h>

#include <windows.h>
#include <lm.h>

#include <future>
#include <map>
#include <string>

#include "support/testUtil.h"
#include "utils/win/osprofile.h"

namespace {

// Answers WMI queries from a table; a property missing from it fails.
class FakeWmi : public IWmiQuery {
public:
    explicit FakeWmi(std::map<std::wstring, std::string> values) : values_(std::move(values)) {}
    HRESULT query(const wchar_t* wql, const wchar_t* property, std::string& value) override {
        auto found = values_.find(property);
        if (found == values_.end()) return static_cast<HRESULT>(0x80041017);  // WBEM_E_INVALID_QUERY
        value = found->second;
        return S_OK;
    }

private:
    std::map<std::wstring, std::string> values_;
};

// SMBIOS 2.6 raw table holding one System Information structure.
std::vector<uint8_t> smbiosWithUuid() {
    std::vector<uint8_t> raw = {0, 2, 6, 0, 0x1F, 0, 0, 0};
    std::vector<uint8_t> system(0x1B, 0);
    system[0] = 1;
    system[1] = 0x1B;
    for (int index = 0; index < 16; ++index) system[8 + index] = static_cast<uint8_t>(index * 0x11);
    raw.insert(raw.end(), system.begin(), system.end());
    raw.insert(raw.end(), {0, 0, 127, 4});
    return raw;
}

struct Inputs {
    bool joinRead = true;
    DWORD joinStatus = NetSetupWorkgroupName;
    std::wstring joinName = L"WORKGROUP";
    bool wmi = false;
    std::map<std::wstring, std::string> wmiValues;
    int firmwareReads = 0;

    osProfileSources sources() {
        osProfileSources result;
        result.joinInformation = [this](DWORD& status, std::wstring& name) {
            status = joinStatus;
            name = joinName;
            return joinRead;
        };
        result.firmwareTable = [this](std::vector<uint8_t>& table) {
            ++firmwareReads;
            table = smbiosWithUuid();
            return true;
        };
        result.openWmi = [this]() -> std::unique_ptr<IWmiQuery> {
            if (!wmi) return nullptr;
            return std::make_unique<FakeWmi>(wmiValues);
        };
        return result;
    }
};

}  // namespace

TEST(OsProfile, DomainComesFromTheJoinStateUnlessOverridden) {
    testutil::MachineSettingsSandbox settings;
    Inputs inputs;
    osInfo workgroup(inputs.sources());
    EXPECT_EQ(workgroup.domain_type, "Workgroup");
    EXPECT_EQ(workgroup.domain_name, "WORKGROUP");

    inputs.joinStatus = NetSetupUnjoined;
    EXPECT_EQ(osInfo(inputs.sources()).domain_type, "Not Joined");
    EXPECT_EQ(osInfo(inputs.sources()).domain_name, "");

    settings.set("override-domain", "corp.example");
    osInfo overridden(inputs.sources());
    EXPECT_EQ(overridden.domain_type, "Domain");
    EXPECT_EQ(overridden.domain_name, "corp.example");
}

TEST(OsProfile, UnreadableJoinStateLeavesTheDomainEmpty) {
    testutil::MachineSettingsSandbox settings;
    Inputs inputs;
    inputs.joinRead = false;
    osInfo profile(inputs.sources());
    EXPECT_EQ(profile.domain_type, "");
    EXPECT_EQ(profile.domain_name, "");
}

TEST(OsProfile, WmiAnswersTheFourFieldsAndAFailedUuidQueryIsNotReplaced) {
    testutil::MachineSettingsSandbox settings;
    Inputs inputs;
    inputs.wmi = true;
    inputs.wmiValues = {{L"UUID", "4C4C4544-0000-1000-8000-B1C04F333231"},
                        {L"SerialNumber", "00330-80000-00000-AA123"},
                        {L"Version", "10.0.19045"},
                        {L"Caption", "Microsoft Windows 10 Pro"}};
    osInfo profile(inputs.sources());
    EXPECT_EQ(profile.machine_guid, "4C4C4544-0000-1000-8000-B1C04F333231");
    EXPECT_EQ(profile.os_serial, "00330-80000-00000-AA123");
    EXPECT_EQ(profile.os_version, "10.0.19045");
    EXPECT_EQ(profile.os_caption, "Microsoft Windows 10 Pro");

    inputs.wmiValues.erase(L"UUID");
    osInfo noUuid(inputs.sources());
    EXPECT_EQ(noUuid.machine_guid, "");
    EXPECT_EQ(noUuid.os_caption, "Microsoft Windows 10 Pro");
    EXPECT_EQ(inputs.firmwareReads, 0) << "SMBIOS is only the fallback of a missing WMI";
}

TEST(OsProfile, WithoutWmiUsesSmbiosAndTheWindowsVersionKey) {
    testutil::MachineSettingsSandbox settings;
    testutil::LogCapture log;
    Inputs inputs;
    osInfo profile(inputs.sources());
    EXPECT_EQ(inputs.firmwareReads, 1);
    EXPECT_EQ(profile.machine_guid, "33221100-5544-7766-8899-AABBCCDDEEFF");
    EXPECT_TRUE(log.contains("Machine UUID:33221100-5544-7766-8899-AABBCCDDEEFF"));
    EXPECT_FALSE(profile.os_caption.empty());
    const std::string versionPrefix =
        std::to_string(profile.majorVersion) + "." + std::to_string(profile.minorVersion) + ".";
    EXPECT_EQ(profile.os_version.rfind(versionPrefix, 0), 0u) << profile.os_version;
    EXPECT_TRUE(log.contains("OS caption:" + profile.os_caption + "OS serial number:"));
}

TEST(OsProfile, ToJsonWritesTheSixMembers) {
    testutil::MachineSettingsSandbox settings;
    Inputs inputs;
    inputs.joinRead = false;
    inputs.wmi = true;
    osInfo empty(inputs.sources());
    Json::Value root(Json::objectValue);
    root["other"] = 1;
    empty.toJson(root);
    for (const char* name : {"domain_type", "domain_name", "machine_guid", "os_serial", "os_version", "os_caption"}) {
        ASSERT_TRUE(root.isMember(name)) << name;
        EXPECT_TRUE(root[name].isString()) << name;
        EXPECT_EQ(root[name].asString(), "") << name;
    }
    EXPECT_EQ(root.size(), 7u);

    inputs.joinRead = true;
    inputs.wmiValues = {{L"UUID", "U"}};
    Json::Value filled;
    osInfo(inputs.sources()).toJson(filled);
    EXPECT_EQ(filled["domain_type"].asString(), "Workgroup");
    EXPECT_EQ(filled["machine_guid"].asString(), "U");
}

TEST(OsProfile, OneSharedInstanceBuiltOnce) {
    auto first = std::async(std::launch::async, [] { return &osInfo::instance(); });
    const osInfo* second = &osInfo::instance();
    EXPECT_EQ(first.get(), second);
    EXPECT_GT(second->majorVersion, 0u);
}
TEST(OsProfile, RealFirmwareTableGivesTheMachineUuid) {
    testutil::MachineSettingsSandbox settings;
    osProfileSources sources = osProfileSources::real();
    sources.openWmi = [] { return std::unique_ptr<IWmiQuery>(); };
    osInfo profile(sources);
    EXPECT_GE(profile.machine_guid.size(), 36u) << profile.machine_guid;
}
