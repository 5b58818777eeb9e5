// The machine's system UUID from a raw SMBIOS table, as the firmware-table
// call returns it: calling method, major and minor version, DMI revision, a
// 32-bit table length, then the structure table. Every read stays inside the
// bytes actually given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The UUID of the first System Information structure that carries one; ""
// when the table is short, malformed or holds none.
std::string smbiosSystemUuid(const uint8_t* data, size_t size);

// The 16 UUID bytes as text for an SMBIOS version (major * 256 + minor): from
// 2.6 on the first three groups are little-endian; before 2.6 the bytes in
// order, in the legacy dash-led form the servers already know this machine
// by. "" when all bytes are 0x00 or all are 0xFF (not present).
std::string formatSmbiosUuid(const uint8_t* uuid, unsigned smbiosVersion);
