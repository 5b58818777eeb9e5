// Rules for the names that a cabinet carries and for the names of the nested
// cabinets that the update cabinet holds.
#pragma once

#include <string>

namespace PALVANE_SERVICE {
namespace cabinetNames {

// A name in a cabinet may only name a file below the destination: relative,
// no drive or stream colon, no "." or ".." parts (nor parts of dots and blanks
// only, which Windows reads the same way), no empty parts, no device names and
// no characters that Windows forbids in file names.
bool isSafeNameInCabinet(const std::wstring& name);

// The file is a cabinet: its name ends in ".cab" in any letter case.
bool hasCabinetSuffix(const std::wstring& path);

// Two paths name the same file, letter case aside.
bool samePath(const std::wstring& a, const std::wstring& b);

}  // namespace cabinetNames
}  // namespace PALVANE_SERVICE
