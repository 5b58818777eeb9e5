#include "palvane/shared/sha256.h"

#include <cpuid.h>
#include <immintrin.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace PALVANE_SERVICE {

namespace {

const uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

alignas(16) const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t loadBigEndian(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void storeBigEndian(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

void transformPortable(uint32_t state[8], const uint8_t* data, size_t blocks) {
    uint32_t w[64];
    for (; blocks > 0; --blocks, data += 64) {
        for (int i = 0; i < 16; ++i) w[i] = loadBigEndian(data + 4 * i);
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            const uint32_t choice = (e & f) ^ (~e & g);
            const uint32_t t1 = h + s1 + choice + kRoundConstants[i] + w[i];
            const uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const uint32_t t2 = s0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

// The rounds on the processor's SHA extensions: four rounds per group, the
// message schedule carried in four registers.
__attribute__((target("sha,sse4.1,ssse3"))) void transformHardware(uint32_t state[8], const uint8_t* data,
                                                                    size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);
    state1 = _mm_shuffle_epi32(state1, 0x1B);
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i savedAbef = state0;
        const __m128i savedCdgh = state1;
        __m128i schedule[4];
        for (int i = 0; i < 4; ++i) {
            schedule[i] =
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
        }
        for (int group = 0; group < 16; ++group) {
            __m128i& words = schedule[group & 3];
            if (group >= 4) {
                const __m128i& older1 = schedule[(group + 1) & 3];
                const __m128i& older2 = schedule[(group + 2) & 3];
                const __m128i& older3 = schedule[(group + 3) & 3];
                // words still holds W[group-4]; older1..3 hold W[group-3..group-1].
                __m128i next = _mm_sha256msg1_epu32(words, older1);
                next = _mm_add_epi32(next, _mm_alignr_epi8(older3, older2, 4));
                words = _mm_sha256msg2_epu32(next, older3);
            }
            __m128i message = _mm_add_epi32(
                words, _mm_load_si128(reinterpret_cast<const __m128i*>(&kRoundConstants[4 * group])));
            state1 = _mm_sha256rnds2_epu32(state1, state0, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, message);
        }
        state0 = _mm_add_epi32(state0, savedAbef);
        state1 = _mm_add_epi32(state1, savedCdgh);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);
    state1 = _mm_shuffle_epi32(state1, 0xB1);
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);
    state1 = _mm_alignr_epi8(state1, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

bool detectHardware() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    const bool shaExtensions = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && shaExtensions;
}

const bool g_hardwarePresent = detectHardware();
std::atomic<bool> g_hardwareAllowed{true};

}  // namespace

void sha256::allowHardware(bool allowed) { g_hardwareAllowed.store(allowed); }

bool sha256::hardwareAvailable() { return g_hardwarePresent; }

void sha256::init() {
    compressedBytes_ = 0;
    bufferedBytes_ = 0;
    memcpy(state_, kInitialState, sizeof(state_));
}

void sha256::transform(const uint8_t* blocks, size_t count) {
    if (count == 0) return;
    if (g_hardwarePresent && g_hardwareAllowed.load(std::memory_order_relaxed)) {
        transformHardware(state_, blocks, count);
    } else {
        transformPortable(state_, blocks, count);
    }
    compressedBytes_ += uint64_t(count) * kBlockSize;
}

void sha256::update(const void* data, size_t length) {
    const uint8_t* input = static_cast<const uint8_t*>(data);
    if (bufferedBytes_ > 0) {
        const size_t take = length < kBlockSize - bufferedBytes_ ? length : kBlockSize - bufferedBytes_;
        memcpy(buffer_ + bufferedBytes_, input, take);
        bufferedBytes_ += uint32_t(take);
        input += take;
        length -= take;
        if (bufferedBytes_ < kBlockSize) return;
        transform(buffer_, 1);
        bufferedBytes_ = 0;
    }
    const size_t wholeBlocks = length / kBlockSize;
    transform(input, wholeBlocks);
    input += wholeBlocks * kBlockSize;
    length -= wholeBlocks * kBlockSize;
    memcpy(buffer_, input, length);
    bufferedBytes_ = uint32_t(length);
}

void sha256::final(uint8_t digest[kDigestSize]) {
    const uint64_t bitLength = (compressedBytes_ + bufferedBytes_) * 8;
    // One 0x80 byte and the 8-byte length must fit: 56 or more buffered bytes
    // need a second block.
    const size_t padded = bufferedBytes_ < kBlockSize - 8 ? kBlockSize : 2 * kBlockSize;
    memset(buffer_ + bufferedBytes_, 0, padded - bufferedBytes_);
    buffer_[bufferedBytes_] = 0x80;
    for (int i = 0; i < 8; ++i) buffer_[padded - 1 - i] = uint8_t(bitLength >> (8 * i));
    transform(buffer_, padded / kBlockSize);
    for (int i = 0; i < 8; ++i) storeBigEndian(digest + 4 * i, state_[i]);
    bufferedBytes_ = 0;
}

std::string sha256::toHex(const uint8_t digest[kDigestSize]) {
    std::string text;
    text.reserve(2 * kDigestSize);
    char hex[3];
    for (size_t i = 0; i < kDigestSize; ++i) {
        snprintf(hex, sizeof(hex), "%02x", digest[i]);
        text += hex;
    }
    return text;
}

std::string sha256::finalHex() {
    uint8_t digest[kDigestSize];
    final(digest);
    return toHex(digest);
}

}  // namespace PALVANE_SERVICE
