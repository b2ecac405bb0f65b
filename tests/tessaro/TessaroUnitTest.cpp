// The parser's internals: parameter-set parsing on crafted sets, the byte
// store, and program-stream forms the fixtures do not cover.
#include "TessaroBits.h"
#include "libs/tessaro/Adts.h"
#include "libs/tessaro/ByteBuffer.h"
#include "libs/tessaro/ParamSets.h"
#include "libs/tessaro/Parser.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

using namespace tessaro;
using namespace tessaro_test;

namespace {

void writePtl(BitWriter& w, unsigned maxSubLayersMinus1) {
    w.bits(0, 2);
    w.bits(0, 1);
    w.bits(1, 5);
    w.bits(0x60000000, 32);
    w.bits(0xB0, 8);
    w.bits(0, 40);
    w.bits(120, 8);
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        w.bits(1, 1);  // sub-layer profile present
        w.bits(1, 1);  // sub-layer level present
    }
    if (maxSubLayersMinus1 > 0)
        for (unsigned i = maxSubLayersMinus1; i < 8; ++i) w.bits(0, 2);
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        w.bits(0x1234, 16);
        w.bits(0, 72);
        w.bits(90, 8);
    }
}

std::vector<uint8_t> makeH265Sps(unsigned subLayers, bool scalingList, uint32_t units, uint32_t scale) {
    BitWriter w;
    w.bits(0, 4);
    w.bits(subLayers, 3);
    w.bits(1, 1);
    writePtl(w, subLayers);
    w.ue(0);
    w.ue(1);  // 4:2:0
    w.ue(1920);
    w.ue(1088);
    w.bits(1, 1);  // conformance window
    w.ue(0);
    w.ue(0);
    w.ue(0);
    w.ue(4);
    w.ue(0);
    w.ue(0);
    w.ue(4);  // log2_max_pic_order_cnt_lsb_minus4
    w.bits(1, 1);
    for (unsigned i = 0; i <= subLayers; ++i) {
        w.ue(4);
        w.ue(2);
        w.ue(0);
    }
    w.ue(0);
    w.ue(3);
    w.ue(0);
    w.ue(3);
    w.ue(1);
    w.ue(1);
    w.bits(scalingList, 1);
    if (scalingList) {
        w.bits(1, 1);
        for (int sizeId = 0; sizeId < 4; ++sizeId)
            for (int m = 0; m < 6; m += sizeId == 3 ? 3 : 1) {
                bool explicitList = sizeId == 2 && m == 0;
                w.bits(explicitList, 1);
                if (!explicitList) {
                    w.ue(0);
                } else {
                    w.se(3);
                    for (int i = 0; i < 64; ++i) w.se(i % 2 ? 1 : -1);
                }
            }
    }
    w.bits(0, 1);
    w.bits(1, 1);
    w.bits(1, 1);  // pcm
    w.bits(7, 4);
    w.bits(7, 4);
    w.ue(0);
    w.ue(1);
    w.bits(0, 1);
    w.ue(2);  // two short-term sets, the second predicted from the first
    w.ue(2);
    w.ue(1);
    w.ue(0);
    w.bits(1, 1);
    w.ue(1);
    w.bits(1, 1);
    w.ue(0);
    w.bits(0, 1);
    w.bits(1, 1);  // inter_ref_pic_set_prediction_flag
    w.bits(0, 1);
    w.ue(0);
    for (int j = 0; j <= 3; ++j) {
        w.bits(j % 2, 1);
        if (j % 2 == 0) w.bits(1, 1);
    }
    w.bits(1, 1);  // long-term pictures
    w.ue(1);
    w.bits(5, 8);
    w.bits(1, 1);
    w.bits(1, 1);
    w.bits(1, 1);
    w.bits(1, 1);  // VUI
    w.bits(0, 1);
    w.bits(0, 1);
    w.bits(0, 1);
    w.bits(1, 1);
    w.ue(1);
    w.ue(1);
    w.bits(0, 3);
    w.bits(1, 1);  // default display window
    w.ue(0);
    w.ue(0);
    w.ue(0);
    w.ue(0);
    w.bits(1, 1);
    w.bits(units, 32);
    w.bits(scale, 32);
    w.bits(0, 2);
    return w.nal({0x42, 0x01});
}

std::vector<uint8_t> makeH265Vps(uint32_t units, uint32_t scale) {
    BitWriter w;
    w.bits(0, 4);
    w.bits(3, 2);
    w.bits(0, 6);
    w.bits(1, 3);
    w.bits(1, 1);
    w.bits(0xFFFF, 16);
    writePtl(w, 1);
    w.bits(0, 1);
    w.ue(4);
    w.ue(0);
    w.ue(0);
    w.bits(2, 6);  // vps_max_layer_id
    w.ue(1);       // one more layer set
    w.bits(5, 3);
    w.bits(1, 1);
    w.bits(units, 32);
    w.bits(scale, 32);
    w.bits(0, 1);
    w.ue(0);
    w.bits(0, 1);
    return w.nal({0x40, 0x01});
}

std::vector<uint8_t> readFixture(const std::string& name) {
    std::ifstream f(std::string(TRELVO_SOURCE_DIR) + "/tests/data/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Every picture of the bytes, the input ended.
std::vector<std::vector<uint8_t>> pictures(Parser& p, const std::vector<uint8_t>& bytes, size_t chunk) {
    std::vector<std::vector<uint8_t>> out;
    auto drain = [&]() {
        while (const TessaroFrame* f = p.next())
            if (f->nFrameType == TESSARO_FRAME_VIDEO) out.emplace_back(f->pPayload, f->pPayload + f->nPayloadLen);
    };
    for (size_t off = 0; off < bytes.size(); off += chunk) {
        p.input(bytes.data() + off, std::min(chunk, bytes.size() - off));
        drain();
    }
    p.end();
    drain();
    return out;
}

}  // namespace

TEST(TessaroParamSets, H264SizesAfterCroppingAndRates) {
    SeqInfo info;
    H264Sps hd;  // 1920x1088 coded, 8 lines cropped, scaling matrices
    hd.widthMbs = 120;
    hd.heightUnits = 68;
    hd.crop[3] = 4;
    hd.scaling = true;
    std::vector<uint8_t> sps = makeH264Sps(hd);
    ASSERT_TRUE(parseH264Sps(sps.data(), sps.size(), info));
    EXPECT_EQ(info.width, 1920);
    EXPECT_EQ(info.height, 1080);
    EXPECT_EQ(info.fps, 25u);

    H264Sps field;  // interlaced 720x576, 30000/1001 fields timing, POC type 1
    field.widthMbs = 45;
    field.heightUnits = 18;
    field.frameMbsOnly = false;
    field.crop[3] = 2;  // counts in units of 4 lines here
    field.pocType = 1;
    field.units = 1001;
    field.scale = 60000;
    sps = makeH264Sps(field);
    ASSERT_TRUE(parseH264Sps(sps.data(), sps.size(), info));
    EXPECT_EQ(info.width, 720);
    EXPECT_EQ(info.height, 576 - 8);
    EXPECT_EQ(info.fps, 30u);

    H264Sps c422;  // 4:2:2 crops 2 pixels per unit across, 1 line down
    c422.profile = 122;
    c422.chroma = 2;
    c422.widthMbs = 40;
    c422.heightUnits = 30;
    c422.crop[1] = 2;
    c422.crop[3] = 3;
    c422.vui = false;
    sps = makeH264Sps(c422);
    ASSERT_TRUE(parseH264Sps(sps.data(), sps.size(), info));
    EXPECT_EQ(info.width, 636);
    EXPECT_EQ(info.height, 477);
    EXPECT_EQ(info.fps, 0u);

    H264Sps baseline;
    baseline.profile = 66;
    baseline.widthMbs = 22;
    baseline.heightUnits = 18;
    baseline.pocType = 2;
    baseline.timing = false;
    sps = makeH264Sps(baseline);
    ASSERT_TRUE(parseH264Sps(sps.data(), sps.size(), info));
    EXPECT_EQ(info.width, 352);
    EXPECT_EQ(info.height, 288);
    EXPECT_EQ(info.fps, 0u);

    H264Sps nonsense;  // a 90 kHz tick is not a frame rate
    nonsense.units = 1;
    nonsense.scale = 180000;
    sps = makeH264Sps(nonsense);
    ASSERT_TRUE(parseH264Sps(sps.data(), sps.size(), info));
    EXPECT_EQ(info.fps, 0u);
}

TEST(TessaroParamSets, H265SizesRatesAndSubLayers) {
    for (unsigned subLayers : {0u, 2u}) {
        for (bool scaling : {false, true}) {
            SCOPED_TRACE(subLayers * 10 + scaling);
            std::vector<uint8_t> sps = makeH265Sps(subLayers, scaling, 1, 30);
            SeqInfo info;
            ASSERT_TRUE(parseH265Sps(sps.data(), sps.size(), info));
            EXPECT_EQ(info.width, 1920);
            EXPECT_EQ(info.height, 1080);
            EXPECT_EQ(info.fps, 30u);
        }
    }
    std::vector<uint8_t> vps = makeH265Vps(1001, 24000);
    EXPECT_EQ(parseH265VpsRate(vps.data(), vps.size()), 24u);
    EXPECT_EQ(rateFromTiming(1001, 30000, 1), 30u);
    EXPECT_EQ(rateFromTiming(0, 30000, 1), 0u);
    EXPECT_EQ(rateFromTiming(1, 0, 2), 0u);
    EXPECT_EQ(rateFromTiming(0xFFFFFFFFu, 1, 2), 0u);
}

TEST(TessaroParamSets, TruncatedAndGarbageSetsAreRefusedSafely) {
    H264Sps hd;
    hd.scaling = true;
    std::vector<uint8_t> sps = makeH264Sps(hd);
    std::vector<uint8_t> sps265 = makeH265Sps(2, true, 1, 25);
    std::vector<uint8_t> vps = makeH265Vps(1, 25);
    SeqInfo info;
    for (size_t n = 0; n < sps.size(); ++n) parseH264Sps(sps.data(), n, info);
    for (size_t n = 0; n < sps265.size(); ++n) parseH265Sps(sps265.data(), n, info);
    for (size_t n = 0; n < vps.size(); ++n) parseH265VpsRate(vps.data(), n);
    // Cut before the picture size: refused.
    EXPECT_FALSE(parseH264Sps(sps.data(), 6, info));
    // Exp-Golomb codes longer than 32 bits.
    std::vector<uint8_t> zeros(64, 0x00);
    zeros[0] = 0x67;
    EXPECT_FALSE(parseH264Sps(zeros.data(), zeros.size(), info));
    zeros[0] = 0x42;
    zeros[1] = 0x01;
    EXPECT_FALSE(parseH265Sps(zeros.data(), zeros.size(), info));
}

TEST(TessaroByteBuffer, PositionsSurviveGrowthAndCompaction) {
    ByteBuffer b;
    std::vector<uint8_t> chunk(100000);
    uint64_t written = 0;
    for (int round = 0; round < 40; ++round) {
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>((written + i) * 7);
        b.append(chunk.data(), chunk.size());
        written += chunk.size();
        ASSERT_EQ(b.end(), written);
        // Keep a tail of varying length; what is kept reads back unchanged.
        uint64_t keepFrom = written - (round % 5) * 30000 - 1;
        b.discardBefore(keepFrom);
        for (uint64_t pos = keepFrom; pos < written; pos += 997) ASSERT_EQ(*b.at(pos), static_cast<uint8_t>(pos * 7));
    }
    EXPECT_LT(b.capacity(), size_t{2} * 1024 * 1024);
    b.truncate(written - 10);
    EXPECT_EQ(b.end(), written - 10);
}

TEST(TessaroProgramStreamForms, Mpeg1PacksAndPesWithoutLength) {
    std::vector<uint8_t> es = readFixture("h264_320x180_25fps_repeat.h264");
    Parser reference;
    std::vector<std::vector<uint8_t>> expected = pictures(reference, es, 16384);
    ASSERT_EQ(expected.size(), 50u);

    // Every picture in one video PES without a length, behind an MPEG-1 pack
    // header; the first PES uses the MPEG-1 header form with a time stamp.
    std::vector<uint8_t> ps;
    const uint8_t pack1[12] = {0, 0, 1, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x00, 0x01};
    size_t offset = 0;
    for (size_t i = 0; i <= expected.size(); ++i) {
        size_t len = i < expected.size() ? expected[i].size() : es.size() - offset;
        ps.insert(ps.end(), pack1, pack1 + 12);
        if (i == 0) {
            size_t pesLen = 2 + 5 + len;
            const uint8_t h[] = {0,
                                 0,
                                 1,
                                 0xE0,
                                 static_cast<uint8_t>(pesLen >> 8),
                                 static_cast<uint8_t>(pesLen),
                                 0xFF,
                                 0xFF,
                                 0x21,
                                 0x00,
                                 0x01,
                                 0x00,
                                 0x01};
            ps.insert(ps.end(), h, h + sizeof h);
        } else {
            const uint8_t h[] = {0, 0, 1, 0xE0, 0, 0, 0x80, 0x00, 0x00};
            ps.insert(ps.end(), h, h + sizeof h);
        }
        ps.insert(ps.end(), es.begin() + static_cast<std::ptrdiff_t>(offset),
                  es.begin() + static_cast<std::ptrdiff_t>(offset + len));
        offset += len;
    }
    for (size_t chunk : {size_t{1}, size_t{5}, size_t{16384}}) {
        SCOPED_TRACE(chunk);
        Parser p;
        std::vector<std::vector<uint8_t>> got = pictures(p, ps, chunk);
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], expected[i]) << i;
    }
}

TEST(TessaroProgramStreamForms, StreamThatBeginsInsideAPacket) {
    // Cut into the middle of a PES payload: the bytes before the first pack
    // look like a bare stream; parsing switches when the pack shows up.
    std::vector<uint8_t> ps = readFixture("ps_h264_alaw.ps");
    std::vector<uint8_t> cut(ps.begin() + 3000, ps.end());
    Parser whole, part;
    std::vector<std::vector<uint8_t>> all = pictures(whole, ps, 16384);
    std::vector<std::vector<uint8_t>> got = pictures(part, cut, 16384);
    ASSERT_GE(got.size(), 40u);
    // The tail of the recording is the same.
    for (size_t i = 1; i <= 30; ++i) EXPECT_EQ(got[got.size() - i], all[all.size() - i]) << i;
}

TEST(TessaroFields, TheTwoFieldsOfAFrameMakeOneRecord) {
    H264Sps interlaced;  // log2_max_frame_num = 8, field pictures allowed
    interlaced.widthMbs = 45;
    interlaced.heightUnits = 18;
    interlaced.frameMbsOnly = false;
    std::vector<uint8_t> stream;
    auto put = [&](const std::vector<uint8_t>& nal) {
        stream.insert(stream.end(), {0, 0, 0, 1});
        stream.insert(stream.end(), nal.begin(), nal.end());
    };
    auto slice = [&](bool idr, uint32_t frameNum, bool field, bool bottom) {
        BitWriter w;
        w.ue(0);            // first_mb_in_slice
        w.ue(idr ? 7 : 5);  // slice_type
        w.ue(0);            // pps id
        w.bits(frameNum, 8);
        w.bits(field, 1);
        if (field) w.bits(bottom, 1);
        for (int i = 0; i < 40; ++i) w.bits(0xA5, 8);
        return w.nal({static_cast<uint8_t>(idr ? 0x65 : 0x41)});
    };
    const std::vector<uint8_t> aud = {0x09, 0x10};
    put(aud);
    put(makeH264Sps(interlaced));
    put({0x68, 0xCE, 0x38, 0x80});
    put(slice(true, 0, true, false));  // frame 0: IDR top field
    put(aud);
    put(slice(false, 0, true, true));  //          its bottom field
    put(aud);
    put(slice(false, 1, true, false));  // frame 1, no delimiter between fields
    put(slice(false, 1, true, true));
    put(aud);
    put(slice(false, 2, false, false));  // frame 2: a frame picture (MBAFF)
    put(aud);
    put(slice(false, 3, true, true));  // frame 3: bottom field first
    put(aud);
    put(slice(false, 4, true, false));  // frame 4: a lone top field, then
    put(aud);
    put(slice(false, 5, true, true));  // a bottom field of another frame
    put(aud);
    put(slice(false, 6, true, false));  // its partner never comes

    Parser p;
    std::vector<int> slicesPerRecord;
    std::vector<int> kinds;
    for (size_t off = 0; off < stream.size() + 3; off += 3) {
        if (off < stream.size())
            p.input(stream.data() + off, std::min<size_t>(3, stream.size() - off));
        else
            p.end();
        while (const TessaroFrame* f = p.next()) {
            std::vector<uint8_t> payload(f->pPayload, f->pPayload + f->nPayloadLen);
            int slices = 0;
            for (size_t i = 0; i + 3 < payload.size(); ++i)
                if (payload[i] == 0 && payload[i + 1] == 0 && payload[i + 2] == 1 &&
                    ((payload[i + 3] & 0x1F) == 1 || (payload[i + 3] & 0x1F) == 5))
                    ++slices;
            slicesPerRecord.push_back(slices);
            kinds.push_back(f->nFrameKind);
            EXPECT_EQ(f->nWidth, 720);
            EXPECT_EQ(f->nHeight, 576);
        }
    }
    EXPECT_EQ(slicesPerRecord, (std::vector<int>{2, 2, 1, 1, 1, 1, 1}));
    EXPECT_EQ(kinds, (std::vector<int>{TESSARO_KIND_KEY, 1, 1, 1, 1, 1, 1}));
}

TEST(TessaroFrameRate, FromTimeStampSpacingWhenTheStreamHasNoTiming) {
    std::vector<uint8_t> es = readFixture("h264_320x180_notiming.h264");
    Parser cutter;
    std::vector<std::vector<uint8_t>> pics = pictures(cutter, es, 16384);
    ASSERT_EQ(pics.size(), 50u);

    auto wrap = [&](const std::vector<uint64_t>& pts) {
        std::vector<uint8_t> ps;
        for (size_t i = 0; i < pics.size(); ++i) {
            const uint8_t pack[14] = {0, 0, 1, 0xBA, 0x44, 0, 0x04, 0, 0x04, 0x01, 0, 0, 0x03, 0xF8};
            ps.insert(ps.end(), pack, pack + 14);
            size_t len = 8 + pics[i].size();
            uint64_t t = pts[i];
            const uint8_t h[] = {0,
                                 0,
                                 1,
                                 0xE0,
                                 static_cast<uint8_t>(len >> 8),
                                 static_cast<uint8_t>(len),
                                 0x80,
                                 0x80,
                                 5,
                                 static_cast<uint8_t>(0x21 | ((t >> 29) & 0x0E)),
                                 static_cast<uint8_t>(t >> 22),
                                 static_cast<uint8_t>(((t >> 14) & 0xFE) | 1),
                                 static_cast<uint8_t>(t >> 7),
                                 static_cast<uint8_t>(((t << 1) & 0xFE) | 1)};
            ps.insert(ps.end(), h, h + sizeof h);
            ps.insert(ps.end(), pics[i].begin(), pics[i].end());
        }
        Parser p;
        std::vector<unsigned> rates;
        for (size_t off = 0; off < ps.size(); off += 16384) {
            p.input(ps.data() + off, std::min<size_t>(16384, ps.size() - off));
            while (const TessaroFrame* f = p.next()) rates.push_back(f->nFrameRate);
        }
        return rates;
    };

    std::vector<uint64_t> steady, ntsc, reordered;
    for (size_t i = 0; i < pics.size(); ++i) {
        steady.push_back(90000 + 3600 * i);
        ntsc.push_back((uint64_t{1} << 33) - 30000 + 3003 * i);  // wraps around 2^33
        // Presentation order 0 3 1 2 6 4 5 ... as with B-frames.
        static const int kOrder[3] = {2, -1, -1};
        reordered.push_back(90000 + 3600 * (i + static_cast<size_t>(kOrder[i % 3] + 1)));
    }
    steady[20] = steady[19] + 10;    // a stray stamp and
    steady[30] = steady[29] + 1000;  // a late one
    for (unsigned r : wrap(steady)) EXPECT_EQ(r, 25u);
    for (unsigned r : wrap(ntsc)) EXPECT_EQ(r, 30u);
    std::vector<unsigned> rates = wrap(reordered);
    ASSERT_EQ(rates.size(), 49u);  // the last picture stays open
    for (size_t i = 8; i < rates.size(); ++i) EXPECT_EQ(rates[i], 25u) << i;
}

// The one ADTS reader: channel configuration 7 is eight channels and stays 7
// in the track's configuration; a layout inside the frame (0) is a header,
// but not one the parser frames sound by.
TEST(TessaroAdts, ChannelConfigurationsAndTheTrackConfiguration) {
    // AAC LC, 48 kHz (index 3), 200-byte frame, no CRC, one block.
    auto header = [](unsigned channelConfig) {
        const unsigned len = 200;
        return std::vector<uint8_t>{0xFF,
                                    0xF1,
                                    static_cast<uint8_t>((1u << 6) | (3u << 2) | (channelConfig >> 2)),
                                    static_cast<uint8_t>(((channelConfig & 3u) << 6) | (len >> 11)),
                                    static_cast<uint8_t>((len >> 3) & 0xFF),
                                    static_cast<uint8_t>(((len & 7u) << 5) | 0x1F),
                                    0xFC};
    };
    tessaro::AdtsHeader h;
    ASSERT_TRUE(tessaro::parseAdts(header(7).data(), h));
    EXPECT_EQ(h.channels, 8u);
    EXPECT_EQ(h.channelConfig, 7u);
    EXPECT_EQ(h.sampleRate, 48000u);
    EXPECT_EQ(h.length, 200u);
    EXPECT_EQ(h.headerLength, 7u);
    EXPECT_EQ(h.samples, 1024u);
    uint8_t config[2];
    tessaro::adtsAudioConfig(h, config);
    EXPECT_EQ(config[0], 0x11);  // LC, rate index 3
    EXPECT_EQ(config[1], 0xB8);  // channel configuration 7
    EXPECT_FALSE(tessaro::parseAdts(header(0).data(), h));
    ASSERT_TRUE(tessaro::readAdtsHeader(header(0).data(), h));
    EXPECT_EQ(h.channels, 0u);
    std::vector<uint8_t> bad = header(2);
    bad[2] = static_cast<uint8_t>((bad[2] & 0xC3) | (13u << 2));  // reserved rate
    EXPECT_FALSE(tessaro::readAdtsHeader(bad.data(), h));
}
