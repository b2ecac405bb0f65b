// Audio in program streams: AAC frame by frame, and the codec a late stream
// map names.
#include "TessaroTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace tessaro_test;

namespace {

std::vector<std::vector<uint8_t>> adtsFrames(const std::vector<uint8_t>& b) {
    std::vector<std::vector<uint8_t>> out;
    for (size_t i = 0; i + 7 <= b.size();) {
        size_t len = (size_t{b[i + 3] & 3u} << 11) | (size_t{b[i + 4]} << 3) | (b[i + 5] >> 5);
        if (len < 7 || i + len > b.size()) break;
        out.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(i), b.begin() + static_cast<std::ptrdiff_t>(i + len));
        i += len;
    }
    return out;
}

}  // namespace

TEST(TessaroAudio, AacFrameByFrameWithItsLayoutAndTimes) {
    std::vector<std::vector<uint8_t>> frames = adtsFrames(readFile(dataPath("tone_16k_stereo.aac")));
    ASSERT_GT(frames.size(), 30u);
    // Frames cut across 200-byte packets; with a map and a device header in
    // front, and without a map (known by the ADTS headers).
    for (const char* name : {"ps_h264_aac.ps", "ps_h264_aac_nomap.ps"}) {
        SCOPED_TRACE(name);
        for (size_t chunk : {size_t{1}, size_t{16384}}) {
            std::vector<Record> records = parse(readFile(dataPath(name)), chunk);
            EXPECT_EQ(videoOf(records).size(), 50u);
            std::vector<Record> audio = audioOf(records);
            ASSERT_EQ(audio.size(), frames.size());
            for (size_t i = 0; i < audio.size(); ++i) {
                EXPECT_EQ(audio[i].codec, TESSARO_AUDIO_AAC);
                EXPECT_EQ(audio[i].channels, 2u);
                EXPECT_EQ(audio[i].sampleRate, 16000u);
                EXPECT_EQ(audio[i].bits, 16u);
                EXPECT_EQ(audio[i].payload, frames[i]) << i;
                EXPECT_EQ(audio[i].pts, 90000 + static_cast<int64_t>(i) * 5760) << i;  // 1024 samples
                EXPECT_EQ(audio[i].flags, 0u) << i;
            }
        }
    }

    // A damaged header: the reader finds the next frame and goes on.
    std::vector<uint8_t> ps = readFile(dataPath("ps_h264_aac.ps"));
    auto hit = std::search(ps.begin(), ps.end(), frames[5].begin(), frames[5].begin() + 7) - ps.begin();
    ASSERT_LT(static_cast<size_t>(hit), ps.size());
    ps[hit + 1] = 0x00;  // no sync word
    std::vector<Record> audio = audioOf(parse(ps, 7));
    ASSERT_EQ(audio.size(), frames.size() - 1);
    for (size_t i = 0; i < audio.size(); ++i) {
        EXPECT_EQ(audio[i].payload, frames[i < 5 ? i : i + 1]) << i;
        if (i > 0) {
            EXPECT_GT(audio[i].pts, audio[i - 1].pts);
        }
    }
}

TEST(TessaroAudio, AudioBeforeTheFirstMapTakesTheMapsCodec) {
    // mu-law that starts half a second before the first map: held, then
    // labelled as the map says, every byte kept, in stream order.
    std::vector<uint8_t> bytes = readFile(dataPath("ps_h265_ulaw_late_map.ps"));
    std::vector<uint8_t> joined;
    std::string order, expected;
    for (const Record& r : parse(bytes, 7)) {
        order += r.type == TESSARO_FRAME_VIDEO ? 'V' : 'A';
        if (r.type == TESSARO_FRAME_AUDIO) {
            EXPECT_EQ(r.codec, TESSARO_AUDIO_MULAW);
            joined.insert(joined.end(), r.payload.begin(), r.payload.end());
        }
    }
    EXPECT_EQ(joined, readFile(dataPath("tone_8k.ulaw")));
    for (const PesPacket& p : pesPackets(bytes))
        if (p.id < 0xE0 || p.hasPts) expected += p.id >= 0xE0 ? 'V' : 'A';
    EXPECT_EQ(order, expected);
}
