#include "palvane/dll-api/win/cabinetNames.h"

#include <cwctype>
#include <vector>

namespace PALVANE_SERVICE {
namespace cabinetNames {
namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::vector<std::wstring> partsOf(const std::wstring& name) {
    std::vector<std::wstring> parts(1);
    for (wchar_t c : name) {
        if (isSeparator(c)) {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

bool hasForbiddenCharacter(const std::wstring& part) {
    for (wchar_t c : part) {
        if (c < 0x20 || wcschr(L"<>:\"|?*", c) != nullptr) return true;
    }
    return false;
}

bool isDotsAndBlanks(const std::wstring& part) { return part.find_first_not_of(L". ") == std::wstring::npos; }

std::wstring upper(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices whatever extension follows.
bool isDeviceName(const std::wstring& part) {
    std::wstring base = upper(part.substr(0, part.find(L'.')));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL") return true;
    return base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
           base[3] >= L'1' && base[3] <= L'9';
}

bool isSafePart(const std::wstring& part) {
    return !part.empty() && !isDotsAndBlanks(part) && !hasForbiddenCharacter(part) && !isDeviceName(part);
}

}  // namespace

bool isSafeNameInCabinet(const std::wstring& name) {
    if (name.empty() || isSeparator(name.front())) return false;
    for (const auto& part : partsOf(name)) {
        if (!isSafePart(part)) return false;
    }
    return true;
}

bool hasCabinetSuffix(const std::wstring& path) {
    static const std::wstring kSuffix = L".CAB";
    return path.size() >= kSuffix.size() && upper(path.substr(path.size() - kSuffix.size())) == kSuffix;
}

bool samePath(const std::wstring& a, const std::wstring& b) { return upper(a) == upper(b); }

}  // namespace cabinetNames
}  // namespace PALVANE_SERVICE
