#include <gtest/gtest.h>

#include "support/testData.h"

#include <random>
#include <string>

#include "palvane/shared/sha256.h"
#include "support/localUpdateServer.h"

using PALVANE_SERVICE::sha256;

namespace {

std::string digestOf(const std::string& message) {
    sha256 hash;
    hash.update(message.data(), message.size());
    return hash.finalHex();
}

using testutil::randomBytes;

// Every case runs on the portable rounds and, where the processor has them,
// on its SHA instructions.
class Sha256 : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam() && !sha256::hardwareAvailable()) GTEST_SKIP() << "no SHA instructions on this processor";
        sha256::allowHardware(GetParam());
    }
    void TearDown() override { sha256::allowHardware(true); }
};

}  // namespace

TEST_P(Sha256, StandardVectors) {
    EXPECT_EQ(digestOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digestOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digestOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digestOf(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// 55 bytes leave just room for the padding in the last block, 56 to 63 need a
// second block, 64 a block of padding only.
TEST_P(Sha256, PaddingBoundariesMatchTheSystemDigest) {
    for (size_t length : {1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 127u, 128u, 129u}) {
        const std::string message = randomBytes(length, static_cast<unsigned>(length));
        EXPECT_EQ(digestOf(message), testutil::sha256Hex(message)) << "length " << length;
    }
}

TEST_P(Sha256, StreamingInOddChunksEqualsOneShot) {
    const std::string message = randomBytes(100003, 7);
    const std::string whole = digestOf(message);
    ASSERT_EQ(whole, testutil::sha256Hex(message));
    for (size_t chunk : {1u, 3u, 63u, 64u, 65u, 1000u, 4097u}) {
        sha256 hash;
        for (size_t offset = 0; offset < message.size(); offset += chunk) {
            const size_t length = std::min(chunk, message.size() - offset);
            hash.update(message.data() + offset, length);
        }
        EXPECT_EQ(hash.finalHex(), whole) << "chunk " << chunk;
    }
    sha256 reused;
    reused.update("garbage", 7);
    reused.init();
    reused.update(message.data(), message.size());
    EXPECT_EQ(reused.finalHex(), whole);
}

INSTANTIATE_TEST_SUITE_P(Rounds, Sha256, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Hardware") : std::string("Portable");
                         });
