#include "utils/win/smbiosUuid.h"

#include <algorithm>
#include <cstdio>

#include "utils/twlogger.h"

namespace {

constexpr size_t kRawHeaderSize = 8;
constexpr uint8_t kSystemInformation = 1;
constexpr uint8_t kMinimumStructureLength = 4;
constexpr uint8_t kSystemInformationWithUuid = 0x19;
constexpr size_t kUuidOffset = 8;
constexpr unsigned kLittleEndianUuidVersion = 0x206;

bool allBytesAre(const uint8_t* bytes, uint8_t value) {
    for (size_t index = 0; index < 16; ++index) {
        if (bytes[index] != value) return false;
    }
    return true;
}

uint32_t readLength(const uint8_t* data) {
    return static_cast<uint32_t>(data[4]) | static_cast<uint32_t>(data[5]) << 8 |
           static_cast<uint32_t>(data[6]) << 16 | static_cast<uint32_t>(data[7]) << 24;
}

// Start of the structure after the one at `formattedEnd`: past its string set,
// which ends with two zero bytes. `end` when the set runs off the table.
size_t skipStrings(const uint8_t* table, size_t formattedEnd, size_t end) {
    for (size_t index = formattedEnd; index + 1 < end; ++index) {
        if (table[index] == 0 && table[index + 1] == 0) return index + 2;
    }
    return end;
}

}  // namespace

std::string formatSmbiosUuid(const uint8_t* u, unsigned smbiosVersion) {
    if (allBytesAre(u, 0xFF)) {
        TWLOG(LOG_INFO, "All 1s--Not Present");
        return std::string();
    }
    if (allBytesAre(u, 0x00)) {
        TWLOG(LOG_INFO, "All 0s--Not Present");
        return std::string();
    }
    char text[40];
    if (smbiosVersion >= kLittleEndianUuidVersion) {
        snprintf(text, sizeof(text), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[3],
                 u[2], u[1], u[0], u[5], u[4], u[7], u[6], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
    } else {
        snprintf(text, sizeof(text), "-%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[0],
                 u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
    }
    return text;
}

std::string smbiosSystemUuid(const uint8_t* data, size_t size) {
    if (data == nullptr || size < kRawHeaderSize) return std::string();
    const unsigned version = data[1] * 256u + data[2];
    const uint8_t* table = data + kRawHeaderSize;
    const size_t end = std::min<size_t>(readLength(data), size - kRawHeaderSize);

    size_t position = 0;
    while (position + kMinimumStructureLength <= end) {
        const uint8_t type = table[position];
        const uint8_t length = table[position + 1];
        if (length < kMinimumStructureLength || position + length > end) break;
        if (type == kSystemInformation && length >= kSystemInformationWithUuid) {
            std::string uuid = formatSmbiosUuid(table + position + kUuidOffset, version);
            if (!uuid.empty()) return uuid;
        }
        position = skipStrings(table, position + length, end);
    }
    return std::string();
}
