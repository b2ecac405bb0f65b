#include "mp4/AudioDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int16_t SampleAt(const std::vector<uint8_t>& buf, size_t i) {
    int16_t v = 0;
    std::memcpy(&v, buf.data() + 2 * i, sizeof v);
    return v;
}

TEST(AudioDecoder, TablesHitTheReferenceValues) {
    EXPECT_EQ(CAudioDecoder::ALawToLinear(0xD5), 8);
    EXPECT_EQ(CAudioDecoder::ALawToLinear(0x55), -8);
    EXPECT_EQ(CAudioDecoder::ALawToLinear(0x80), 5504);
    EXPECT_EQ(CAudioDecoder::ALawToLinear(0x00), -5504);
    EXPECT_EQ(CAudioDecoder::ALawToLinear(0xAA), 32256);
    EXPECT_EQ(CAudioDecoder::ALawToLinear(0x2A), -32256);
    EXPECT_EQ(CAudioDecoder::MuLawToLinear(0x7F), -2);
    EXPECT_EQ(CAudioDecoder::MuLawToLinear(0xFF), 2);
    EXPECT_EQ(CAudioDecoder::MuLawToLinear(0x00), -32124);
    EXPECT_EQ(CAudioDecoder::MuLawToLinear(0x80), 32124);

    // Whole range and symmetry: the sign bit only flips the sign.
    int nAMax = 0, nUMax = 0;
    for (int c = 0; c < 128; ++c) {
        const auto a = static_cast<uint8_t>(c);
        EXPECT_EQ(CAudioDecoder::ALawToLinear(a), -CAudioDecoder::ALawToLinear(a | 0x80)) << c;
        if (c != 0x7F) {
            EXPECT_EQ(CAudioDecoder::MuLawToLinear(a), -CAudioDecoder::MuLawToLinear(a | 0x80)) << c;
        }
        nAMax = std::max(nAMax, std::abs(static_cast<int>(CAudioDecoder::ALawToLinear(a))));
        nUMax = std::max(nUMax, std::abs(static_cast<int>(CAudioDecoder::MuLawToLinear(a))));
    }
    EXPECT_EQ(nAMax, 32256);
    EXPECT_EQ(nUMax, 32124);
}

TEST(AudioDecoder, LengthLimitsPerEncoding) {
    CAudioDecoder dec;
    std::vector<uint8_t> src(4000, 0xD5);
    std::vector<uint8_t> dst(CAudioDecoder::DECODE_BUFFER_SIZE);
    const uint32_t cap = CAudioDecoder::DECODE_BUFFER_SIZE;
    for (int codec : {10, 14, 22}) {
        EXPECT_EQ(dec.Decode(src.data(), 1535, dst.data(), cap, codec, 8000), 3070u) << codec;
        EXPECT_EQ(dec.Decode(src.data(), 1536, dst.data(), cap, codec, 8000), 0u) << codec;
    }
    EXPECT_EQ(SampleAt(dst, 0), CAudioDecoder::MuLawToLinear(0xD5));  // last call was code 22
    EXPECT_EQ(dec.Decode(src.data(), 2, dst.data(), cap, 14, 8000), 4u);
    EXPECT_EQ(SampleAt(dst, 1), 8);

    for (int codec : {15, 30}) {
        EXPECT_EQ(dec.Decode(src.data(), 3071, dst.data(), cap, codec, 8000), 3071u);
        EXPECT_EQ(dec.Decode(src.data(), 3072, dst.data(), cap, codec, 8000), 0u);
    }
    EXPECT_EQ(dec.Decode(src.data(), 3072, dst.data(), cap, 99, 8000), 3072u);
    EXPECT_EQ(dst[0], static_cast<uint8_t>(0xD5 + 128));
    EXPECT_EQ(dec.Decode(src.data(), 3073, dst.data(), cap, 99, 8000), 0u);
    for (int codec : {9, 11, 13}) EXPECT_EQ(dec.Decode(src.data(), 100, dst.data(), cap, codec, 8000), 0u);
    EXPECT_EQ(dec.Decode(nullptr, 100, dst.data(), cap, 14, 8000), 0u);
    EXPECT_EQ(dec.Decode(src.data(), 0, dst.data(), cap, 14, 8000), 0u);
}

TEST(AudioDecoder, PcmCopiesWholeSamplesAndNeverOverrunsTheDestination) {
    CAudioDecoder dec;
    std::vector<uint8_t> src(CAudioDecoder::DECODE_BUFFER_SIZE + 2);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7);
    // Guard bytes behind the destination must stay untouched.
    std::vector<uint8_t> dst(CAudioDecoder::DECODE_BUFFER_SIZE + 16, 0xEE);
    const uint32_t cap = CAudioDecoder::DECODE_BUFFER_SIZE;

    EXPECT_EQ(dec.Decode(src.data(), cap, dst.data(), cap, 12, 8000), cap);
    EXPECT_EQ(0, std::memcmp(dst.data(), src.data(), cap));
    EXPECT_EQ(dec.Decode(src.data(), cap + 2, dst.data(), cap, 12, 8000), 0u);
    for (size_t i = cap; i < dst.size(); ++i) ASSERT_EQ(dst[i], 0xEE) << i;

    // An odd trailing byte is not counted, so later samples stay aligned.
    EXPECT_EQ(dec.Decode(src.data(), 7, dst.data(), cap, 12, 8000), 6u);
    // A small destination limits every encoding.
    EXPECT_EQ(dec.Decode(src.data(), 100, dst.data(), 199, 14, 8000), 0u);
    EXPECT_EQ(dec.Decode(src.data(), 100, dst.data(), 200, 14, 8000), 200u);
    EXPECT_EQ(dec.Decode(src.data(), 100, dst.data(), 99, 15, 8000), 0u);
    EXPECT_EQ(dec.Decode(src.data(), 100, dst.data(), 99, 12, 8000), 0u);
}

}  // namespace
