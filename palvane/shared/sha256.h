// SHA-256 (FIPS 180-4) of a byte stream: init, any number of updates, final.
// The digest text is 64 lower-case hex digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace PALVANE_SERVICE {

class sha256 {
public:
    static constexpr size_t kDigestSize = 32;
    static constexpr size_t kBlockSize = 64;

    sha256() { init(); }

    void init();
    void update(const void* data, size_t length);
    void final(uint8_t digest[kDigestSize]);

    // The digest of what was fed so far, as text; the object must be init()ed again.
    std::string finalHex();
    static std::string toHex(const uint8_t digest[kDigestSize]);

    // The processor's SHA instructions are used when it has them; tests switch
    // them off to check the portable rounds against the same vectors.
    static void allowHardware(bool allowed);
    static bool hardwareAvailable();

private:
    void transform(const uint8_t* blocks, size_t count);

    uint64_t compressedBytes_ = 0;
    uint32_t bufferedBytes_ = 0;
    uint8_t buffer_[2 * kBlockSize] = {};
    uint32_t state_[8] = {};
};

}  // namespace PALVANE_SERVICE
