#include "palvane/shared/heldFile.h"

#include <vector>

#include "palvane/shared/sha256.h"
#include "utils/twlogger.h"

namespace PALVANE_SERVICE {
namespace {

constexpr DWORD kReadSize = 64 * 1024;

}  // namespace

bool HeldFile::hold(const std::wstring& path) {
    file_.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return file_.valid();
}

std::string HeldFile::digestOf(HANDLE file) {
    LARGE_INTEGER start{};
    if (file == nullptr || file == INVALID_HANDLE_VALUE || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        return std::string();
    }
    sha256 hash;
    std::vector<char> buffer(kReadSize);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), kReadSize, &read, nullptr)) {
            TWLOG(LOG_ERROR, "Catch an exception: ReadFile() failed, error=" << GetLastError());
            return std::string();
        }
        if (read == 0) return hash.finalHex();
        hash.update(buffer.data(), read);
    }
}

}  // namespace PALVANE_SERVICE
