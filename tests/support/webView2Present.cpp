#include "support/webView2Present.h"

#include <windows.h>

namespace testutil {

namespace {
const char* const kClientKey = "Software\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
const char* const kVersionValue = "pv";
const char kInstalledVersion[] = "120.0.2210.91";
}  // namespace

WebView2Present::WebView2Present() {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kClientKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition) !=
        ERROR_SUCCESS) {
        return;
    }
    createdKey_ = disposition == REG_CREATED_NEW_KEY;
    char buffer[256];
    DWORD size = sizeof(buffer);
    hadVersion_ = RegGetValueA(key, nullptr, kVersionValue, RRF_RT_REG_SZ, nullptr, buffer, &size) == ERROR_SUCCESS;
    if (hadVersion_) version_ = buffer;
    RegSetValueExA(key, kVersionValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(kInstalledVersion),
                   sizeof(kInstalledVersion));
    RegCloseKey(key);
}

WebView2Present::~WebView2Present() {
    if (createdKey_) {
        RegDeleteKeyA(HKEY_CURRENT_USER, kClientKey);
    } else if (hadVersion_) {
        RegSetKeyValueA(HKEY_CURRENT_USER, kClientKey, kVersionValue, REG_SZ, version_.c_str(),
                        static_cast<DWORD>(version_.size() + 1));
    } else {
        RegDeleteKeyValueA(HKEY_CURRENT_USER, kClientKey, kVersionValue);
    }
}

}  // namespace testutil
