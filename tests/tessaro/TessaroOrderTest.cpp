// Display order of bare H.264 from slice headers the encoders at hand do not
// write: order count type 1, a reset of the count by a marking command, and
// field pairs. Each stream's pictures must come out one frame apart in the
// order their counts give.
#include "TessaroBits.h"
#include "libs/tessaro/Parser.h"

#include <gtest/gtest.h>

using namespace tessaro;
using namespace tessaro_test;

namespace {

struct Slice {
    char type;  // 'I', 'P' or 'B'
    bool idr = false;
    bool ref = true;
    uint32_t frameNum = 0;
    uint32_t lsb = 0;  // order count type 0
    bool field = false, bottom = false;
    bool reset = false;        // marking command 5
    unsigned listChanges = 0;  // P: list changes that make the header long
};

std::vector<uint8_t> pps() {
    BitWriter w;
    w.ue(0);
    w.ue(0);
    w.bits(0, 2);  // CAVLC, no bottom-field order delta
    w.ue(0);       // one slice group
    w.ue(0);
    w.ue(0);
    w.bits(0, 3);  // no weighted prediction
    w.se(0);
    w.se(0);
    w.se(0);
    w.bits(4, 3);  // deblocking control present
    return w.nal({0x68});
}

std::vector<uint8_t> slice(const Slice& s, const H264Sps& sps) {
    BitWriter w;
    w.ue(0);
    w.ue(s.type == 'I' ? 7 : s.type == 'P' ? 5 : 6);
    w.ue(0);
    w.bits(s.frameNum, 8);
    if (!sps.frameMbsOnly) {
        w.bits(s.field, 1);
        if (s.field) w.bits(s.bottom, 1);
    }
    if (s.idr) w.ue(0);
    if (sps.pocType == 0)
        w.bits(s.lsb, 6);
    else if (sps.pocType == 1)
        w.se(0);
    if (s.type == 'B') w.bits(1, 1);  // direct_spatial_mv_pred_flag
    if (s.type == 'P' && s.listChanges > 0) {
        w.bits(0, 1);  // no override
        w.bits(1, 1);
        for (unsigned i = 0; i < s.listChanges; ++i) {
            w.ue(0);
            w.ue(1u << 30);
        }
        w.ue(3);
    } else if (s.type != 'I') {
        w.bits(0, s.type == 'B' ? 3 : 2);  // no override, no list changes
    }
    if (s.ref) {
        if (s.idr) {
            w.bits(0, 2);
        } else {
            w.bits(s.reset, 1);
            if (s.reset) {
                w.ue(5);
                w.ue(0);
            }
        }
    }
    for (int i = 0; i < 12; ++i) w.bits(0xA5, 8);
    return w.nal({static_cast<uint8_t>((s.ref ? 0x60 : 0x00) | (s.idr ? 5 : 1))});
}

// Presentation times of the records, in decoding order.
std::vector<int64_t> times(const H264Sps& sps, const std::vector<Slice>& slices) {
    std::vector<uint8_t> es;
    auto put = [&](const std::vector<uint8_t>& nal) {
        es.insert(es.end(), {0, 0, 0, 1});
        es.insert(es.end(), nal.begin(), nal.end());
    };
    put(makeH264Sps(sps));
    put(pps());
    for (const Slice& s : slices) put(slice(s, sps));
    Parser p;
    std::vector<int64_t> out;
    for (size_t off = 0; off < es.size() + 5; off += 5) {
        if (off < es.size())
            p.input(es.data() + off, std::min<size_t>(5, es.size() - off));
        else
            p.end();
        while (const TessaroFrame* f = p.next()) {
            out.push_back(f->nPts);
            EXPECT_EQ(f->nFlags & ~unsigned{TESSARO_FLAG_PAYLOAD_WRITABLE}, unsigned{TESSARO_FLAG_TIME_DERIVED});
        }
    }
    return out;
}

}  // namespace

TEST(TessaroOrder, CountsFromSliceHeadersPutPicturesInDisplayOrder) {
    const int64_t f = 3600;  // 25 fps from the timing information
    // Type 1: expected counts from a cycle of one reference frame (+4),
    // non-reference pictures 2 before.
    H264Sps type1;
    type1.pocType = 1;
    type1.offsetNonRef = -2;
    type1.offsetTopToBottom = 0;
    type1.refCycle = {4};
    EXPECT_EQ(times(type1, {{'I', true, true, 0},
                            {'P', false, true, 1},
                            {'B', false, false, 2},
                            {'P', false, true, 2},
                            {'B', false, false, 3}}),
              (std::vector<int64_t>{0, 2 * f, f, 4 * f, 3 * f}));

    // Type 0 with a reset of the count (marking command 5) on the fourth
    // picture: what follows counts from it and is shown after all before it.
    H264Sps type0;
    Slice reset{'P', false, true, 2, 8};
    reset.reset = true;
    const auto aroundReset = [&] {
        return times(type0, {{'I', true, true, 0, 0},
                             {'P', false, true, 1, 4},
                             {'B', false, false, 2, 2},
                             reset,
                             {'P', false, true, 1, 4},
                             {'B', false, false, 2, 2}});
    };
    const std::vector<int64_t> afterReset{0, 2 * f, f, 3 * f, 5 * f, 4 * f};
    EXPECT_EQ(aroundReset(), afterReset);
    // The same with the reset behind 300 bytes of list changes.
    reset.listChanges = 40;
    EXPECT_EQ(aroundReset(), afterReset);

    // Type 2 (no reordering) after an IDR in the middle: counts restart.
    H264Sps type2;
    type2.pocType = 2;
    EXPECT_EQ(times(type2, {{'I', true, true, 0},
                            {'P', false, true, 1},
                            {'P', false, true, 2},
                            {'I', true, true, 0},
                            {'P', false, true, 1}}),
              (std::vector<int64_t>{0, f, 2 * f, 3 * f, 4 * f}));

    // Field pairs, each frame one record at the lower count of its fields.
    H264Sps fields;
    fields.frameMbsOnly = false;
    auto field = [](char type, bool idr, bool ref, uint32_t frameNum, uint32_t lsb, bool bottom) {
        Slice s{type, idr, ref, frameNum, lsb};
        s.field = true;
        s.bottom = bottom;
        return s;
    };
    EXPECT_EQ(times(fields, {field('I', true, true, 0, 0, false), field('P', false, true, 0, 1, true),
                             field('P', false, true, 1, 8, false), field('P', false, true, 1, 9, true),
                             field('B', false, false, 2, 4, false), field('B', false, false, 2, 5, true)}),
              (std::vector<int64_t>{0, 2 * f, f}));
}
