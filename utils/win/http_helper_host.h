// WinHTTP helpers that only the service host carries.
#pragma once

#include <string>

// The current user's Internet Explorer proxy setting; false when there is none.
bool getIEProxy(std::wstring& proxy);
