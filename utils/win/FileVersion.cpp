#include "utils/win/FileVersion.h"

#include <windows.h>

#include <vector>

#include "utils/twlogger.h"

bool FileVersion::read() {
    // The wide calls take the whole path; nothing is cut at MAX_PATH.
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &ignored);
    if (size == 0) {
        TWLOG(LOG_INFO, "The version information of the protection API is not available.");
        return false;
    }
    std::vector<BYTE> buffer(size);
    if (!GetFileVersionInfoW(path_.c_str(), 0, size, buffer.data())) return false;

    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoLength = 0;
    if (!VerQueryValueW(buffer.data(), L"\\", reinterpret_cast<void**>(&info), &infoLength) || infoLength == 0 ||
        info == nullptr || info->dwSignature != 0xFEEF04BD) {
        return false;
    }
    major_ = HIWORD(info->dwFileVersionMS);
    minor_ = LOWORD(info->dwFileVersionMS);
    build_ = HIWORD(info->dwFileVersionLS);
    revision_ = LOWORD(info->dwFileVersionLS);
    TWLOG(LOG_INFO, "DLL API version information:: major=" << major_ << " minor=" << minor_ << " build=" << build_
                                                           << " revision=" << revision_);
    return true;
}
