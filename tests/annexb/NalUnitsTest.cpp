#include "libs/annexb/NalUnits.h"

#include <gtest/gtest.h>

#include <vector>

using namespace trelvo::nal;

namespace {

using Bytes = std::vector<uint8_t>;

int32_t Len(const Bytes& b) {
    return static_cast<int32_t>(b.size());
}

TEST(Mp4NalUnits, StartCodesAndUnitWalk) {
    const Bytes three{0, 0, 1, 0x67};
    const Bytes four{0, 0, 0, 1, 0x67};
    EXPECT_EQ(StartCodeLength(three.data(), 4), 3);
    EXPECT_EQ(StartCodeLength(four.data(), 5), 4);
    EXPECT_EQ(StartCodeLength(four.data(), 3), 0);  // cut short
    EXPECT_EQ(StartCodeLength(four.data() + 1, 2), 0);
    EXPECT_EQ(StartCodeLength(nullptr, 10), 0);

    // SPS, PPS, IDR slice; the slice holds an escaped 00 00 03 run.
    const Bytes au{0, 0, 0, 1, 0x67, 0x42, 0, 0, 3, 1, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 0x88, 0, 0, 3, 0, 0x80};
    EXPECT_EQ(NextNalUnit(au.data(), Len(au)), 10);
    EXPECT_EQ(NextNalUnit(au.data() + 10, Len(au) - 10), 5);
    EXPECT_EQ(NextNalUnit(au.data() + 15, Len(au) - 15), 10);
    EXPECT_EQ(NextNalUnit(au.data() + 1, Len(au) - 1), 9);  // 00 00 01 inside the 4-byte code
    EXPECT_EQ(NextNalUnit(au.data() + 4, Len(au) - 4), 0);

    const SNalUnit sps = FindNalUnit(au.data(), Len(au), 7, false);
    EXPECT_EQ(sps.pData, au.data());
    EXPECT_EQ(sps.nLen, 10);
    EXPECT_EQ(sps.nStartCodeLen, 4);
    const SNalUnit pps = FindNalUnit(au.data(), Len(au), 8, false);
    EXPECT_EQ(pps.pData, au.data() + 10);
    EXPECT_EQ(pps.nLen, 5);
    EXPECT_EQ(FindNalUnit(au.data(), Len(au), 5, false).nLen, 10);
    EXPECT_EQ(FindNalUnit(au.data(), Len(au), 6, false).nLen, 0);

    // H.265 types sit in bits 1..6 of the first header byte.
    const Bytes hevc{0, 0, 1, 0x40, 1, 0x0C, 0, 0, 1, 0x42, 1, 1, 0, 0, 1, 0x44, 1, 0xC0};
    EXPECT_EQ(FindNalUnit(hevc.data(), Len(hevc), 32, true).nLen, 6);
    EXPECT_EQ(FindNalUnit(hevc.data(), Len(hevc), 33, true).pData, hevc.data() + 6);
    EXPECT_EQ(FindNalUnit(hevc.data(), Len(hevc), 34, true).nLen, 6);

    // A payload that does not start with a start code yields nothing; a bare
    // start code at the end has no header byte to read.
    const Bytes junk{0x12, 0, 0, 1, 0x67};
    EXPECT_EQ(FindNalUnit(junk.data(), Len(junk), 7, false).nLen, 0);
    const Bytes bare{0, 0, 1, 0x68, 0, 0, 1};
    EXPECT_EQ(FindNalUnit(bare.data(), Len(bare), 1, false).nLen, 0);
    EXPECT_EQ(FindNalUnit(nullptr, 0, 7, false).nLen, 0);
}

TEST(Mp4NalUnits, EscapedSetsStayIntact) {
    // A real H.265 VPS: escaped already, with runs 00 00 03 00 00 03.
    const Bytes vps{0, 0,    1, 0x40, 1, 0x0c, 1, 0xff, 0xff, 1,    0x60, 0, 0,   3,
                    0, 0x90, 0, 0,    3, 0,    0, 3,    0,    0x3c, 0xba, 2, 0x40};
    EXPECT_FALSE(NeedsEscaping(vps.data(), Len(vps)));
    EXPECT_EQ(EscapedSize(vps.data(), Len(vps)), Len(vps));
    Bytes out(512);
    ASSERT_EQ(EscapeNalUnit(vps.data(), Len(vps), out.data(), Len(out)), Len(vps));
    out.resize(vps.size());
    EXPECT_EQ(out, vps);

    // Trailing zeros before the next start code are not followed by anything.
    const Bytes tail{0, 0, 1, 0x42, 0x80, 0, 0};
    EXPECT_FALSE(NeedsEscaping(tail.data(), Len(tail)));
    EXPECT_EQ(EscapedSize(tail.data(), Len(tail)), Len(tail));
}

TEST(Mp4NalUnits, ForbiddenPatternsGetEscaped) {
    // 00 00 00 and 00 00 02 anywhere after the start code, also at offsets a
    // three-byte stride would step over.
    const Bytes raw{0, 0, 1, 0x42, 0x11, 0, 0, 2, 0x22, 0, 0, 0, 0, 0x33};
    EXPECT_TRUE(NeedsEscaping(raw.data(), Len(raw)));
    const Bytes expected{0, 0, 1, 0x42, 0x11, 0, 0, 3, 2, 0x22, 0, 0, 3, 0, 0, 0x33};
    EXPECT_EQ(EscapedSize(raw.data(), Len(raw)), Len(expected));
    Bytes out(64, 0xEE);
    ASSERT_EQ(EscapeNalUnit(raw.data(), Len(raw), out.data(), Len(out)), Len(expected));
    out.resize(expected.size());
    EXPECT_EQ(out, expected);
    // Escaping twice changes nothing more.
    Bytes again(64);
    EXPECT_EQ(EscapeNalUnit(out.data(), Len(out), again.data(), Len(again)), Len(expected));
    EXPECT_FALSE(NeedsEscaping(out.data(), Len(out)));

    // Too little room: nothing written, -2.
    Bytes small(Len(expected) - 1, 0xEE);
    EXPECT_EQ(EscapeNalUnit(raw.data(), Len(raw), small.data(), Len(small)), -2);
    EXPECT_EQ(small, Bytes(Len(expected) - 1, 0xEE));
    EXPECT_EQ(EscapeNalUnit(raw.data(), Len(raw), small.data(), 0), -2);
    EXPECT_EQ(EscapeNalUnit(nullptr, 5, out.data(), 64), 0);
    EXPECT_EQ(EscapeNalUnit(raw.data(), 0, out.data(), 64), 0);

    // A set that grows past 512 bytes is refused.
    Bytes big{0, 0, 1, 0x42};
    for (int i = 0; i < 200; ++i) big.insert(big.end(), {0, 0, 1});
    EXPECT_EQ(EscapedSize(big.data(), Len(big)), Len(big) + 200);
    Bytes buf(512);
    EXPECT_EQ(EscapeNalUnit(big.data(), Len(big), buf.data(), 512), -2);
}

}  // namespace
