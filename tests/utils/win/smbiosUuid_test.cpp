#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/testUtil.h"
#include "utils/win/smbiosUuid.h"

namespace {

const std::vector<uint8_t> kUuid = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                    0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

// A BIOS structure with two strings, then System Information with `uuid`,
// then the end-of-table structure, behind the raw header of `major`.`minor`.
std::vector<uint8_t> rawTable(uint8_t major, uint8_t minor, const std::vector<uint8_t>& uuid,
                              uint8_t systemLength = 0x1B) {
    std::vector<uint8_t> table;
    table.reserve(128);
    table.assign(0x12, 0x01);
    table[0] = 0;
    table[1] = 0x12;
    table[2] = table[3] = 0;
    for (char c : std::string("Vendor\0Version\0\0", 16)) table.push_back(static_cast<uint8_t>(c));

    const size_t system = table.size();
    table.resize(system + systemLength, 0x00);
    table[system] = 1;
    table[system + 1] = systemLength;
    if (systemLength >= 24) std::memcpy(&table[system + 8], uuid.data(), 16);
    for (char c : std::string("Maker\0\0", 7)) table.push_back(static_cast<uint8_t>(c));
    for (uint8_t b : {127, 4, 0, 0, 0, 0}) table.push_back(b);

    const uint32_t length = static_cast<uint32_t>(table.size());
    std::vector<uint8_t> raw(8 + table.size());
    const uint8_t header[8] = {0, major, minor, 0, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    std::memcpy(raw.data(), header, sizeof(header));
    std::memcpy(raw.data() + 8, table.data(), table.size());
    return raw;
}

// Bytes placed right before an inaccessible page: one byte read past their
// end faults and ends the test program.
class GuardedBytes {
public:
    explicit GuardedBytes(const std::vector<uint8_t>& bytes) {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        page_ = system.dwPageSize;
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
        data_ = base_ + page_ - bytes.size();
        if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedBytes() { VirtualFree(base_, 0, MEM_RELEASE); }
    const uint8_t* data() const { return data_; }

private:
    size_t page_ = 0;
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
};

std::string uuidOf(const std::vector<uint8_t>& raw) {
    GuardedBytes guarded(raw);
    return smbiosSystemUuid(guarded.data(), raw.size());
}

}  // namespace

TEST(SmbiosUuid, Version26AndLaterUsesLittleEndianGroups) {
    EXPECT_EQ(uuidOf(rawTable(2, 6, kUuid)), "33221100-5544-7766-8899-AABBCCDDEEFF");
    EXPECT_EQ(uuidOf(rawTable(3, 0, kUuid)), "33221100-5544-7766-8899-AABBCCDDEEFF");
}

TEST(SmbiosUuid, OlderVersionsKeepTheLegacyDashLedForm) {
    EXPECT_EQ(uuidOf(rawTable(2, 4, kUuid)), "-00112233-4455-6677-8899-AABBCCDDEEFF");
    EXPECT_EQ(uuidOf(rawTable(2, 5, kUuid)), "-00112233-4455-6677-8899-AABBCCDDEEFF");
}

TEST(SmbiosUuid, AllZerosOrAllOnesAreNotPresent) {
    testutil::LogCapture log;
    EXPECT_EQ(uuidOf(rawTable(2, 6, std::vector<uint8_t>(16, 0x00))), "");
    EXPECT_TRUE(log.contains("All 0s--Not Present"));
    EXPECT_EQ(uuidOf(rawTable(2, 6, std::vector<uint8_t>(16, 0xFF))), "");
    EXPECT_TRUE(log.contains("All 1s--Not Present"));
}

TEST(SmbiosUuid, ShortSystemInformationCarriesNoUuid) {
    EXPECT_EQ(uuidOf(rawTable(2, 6, kUuid, 0x18)), "");
}

TEST(SmbiosUuid, EveryTruncationStaysInBoundsAndGivesNoPartialUuid) {
    const std::vector<uint8_t> full = rawTable(2, 6, kUuid);
    for (size_t size = 0; size < full.size(); ++size) {
        const std::vector<uint8_t> cut(full.begin(), full.begin() + size);
        const std::string uuid = uuidOf(cut);
        EXPECT_TRUE(uuid.empty() || uuid == "33221100-5544-7766-8899-AABBCCDDEEFF") << size;
    }
    // The UUID ends 8 + 0x12 + 16 + 8 + 16 bytes in; any shorter buffer lacks it.
    EXPECT_EQ(uuidOf(std::vector<uint8_t>(full.begin(), full.begin() + 8 + 0x12 + 16 + 8 + 15)), "");
}

TEST(SmbiosUuid, MalformedTablesGiveNoUuid) {
    std::vector<uint8_t> raw = rawTable(2, 6, kUuid);
    std::vector<uint8_t> claimsMore = raw;
    claimsMore[5] = 0x40;  // declared length far beyond the bytes returned
    EXPECT_EQ(uuidOf(claimsMore), "33221100-5544-7766-8899-AABBCCDDEEFF");

    std::vector<uint8_t> tinyLength = raw;
    tinyLength[8 + 1] = 2;  // a formatted length below 4 ends the walk
    EXPECT_EQ(uuidOf(tinyLength), "");

    std::vector<uint8_t> hugeLength = raw;
    hugeLength[8 + 1] = 0xFF;  // a structure running past the table
    EXPECT_EQ(uuidOf(hugeLength), "");

    std::vector<uint8_t> declaredShort = raw;
    declaredShort[4] = 0x20;  // the table ends before System Information
    declaredShort[5] = 0;
    EXPECT_EQ(uuidOf(declaredShort), "");

    std::vector<uint8_t> unterminated(raw.begin(), raw.begin() + 8 + 0x12);
    unterminated.insert(unterminated.end(), 40, 'x');  // a string set without its end
    EXPECT_EQ(uuidOf(unterminated), "");
    EXPECT_EQ(smbiosSystemUuid(nullptr, 100), "");
}
