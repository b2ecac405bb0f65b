// Sound in step with the pictures, read back with a decoder: the flash and
// beep fixture (a white picture with a tone setting in at the same instant)
// through the encoding and the copying audio paths.
#include "Mp4TestUtil.h"
#include "OutputTest.h"
#include "mp4/Mp4Writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace fs = std::filesystem;
using namespace mp4test;

namespace {

constexpr int64_t kTicks = 90000;
constexpr uint32_t kAlawRecordBytes = 1280;  // what the parser cuts at 8 kHz

using Mp4Sync = COutputTest;

bool IsAudio(const SRecord& r) {
    return r.frame.nFrameType == TESSARO_FRAME_AUDIO;
}

// The time of the fixture's first picture (its sound starts with it).
int64_t StartTime(const std::vector<SRecord>& records) {
    int64_t nStart = INT64_MAX;
    for (const SRecord& r : records) {
        if (!IsAudio(r)) nStart = std::min(nStart, r.frame.nPts);
    }
    return nStart;
}

// The fixture in file order, its sound as AAC records or as A-law records
// placed among the video by their times.
std::vector<SRecord> BeepRecords(bool bAac) {
    std::vector<SRecord> records = DemuxRecords(DataPath("mp4_beep.ts"));
    if (bAac) return records;
    std::erase_if(records, IsAudio);
    const int64_t nStart = StartTime(records);
    const std::vector<uint8_t> alaw = ReadFile(DataPath("mp4_beep.alaw"));
    for (size_t nAt = 0; nAt < alaw.size(); nAt += kAlawRecordBytes) {
        SRecord a;
        a.payload.assign(
            alaw.begin() + static_cast<std::ptrdiff_t>(nAt),
            alaw.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(nAt + kAlawRecordBytes, alaw.size())));
        a.frame = AudioRecord(nullptr, static_cast<uint32_t>(a.payload.size()), TESSARO_AUDIO_ALAW, 1, 8000);
        a.frame.nPts = nStart + static_cast<int64_t>(nAt) * kTicks / 8000;
        const auto it = std::find_if(records.begin(), records.end(),
                                     [&](const SRecord& r) { return !IsAudio(r) && r.frame.nDts > a.frame.nPts; });
        records.insert(it, std::move(a));
    }
    return records;
}

// Audio records whose sound lies in [dFrom, dTo) seconds of the fixture.
void DropAudio(std::vector<SRecord>& records, double dFrom, double dTo) {
    const int64_t nStart = StartTime(records);
    std::erase_if(records, [&](const SRecord& r) {
        const double t = static_cast<double>(r.frame.nPts - nStart) / kTicks;
        return IsAudio(r) && t >= dFrom && t < dTo;
    });
}

SProbe Write(const fs::path& out, const std::vector<SRecord>& records) {
    CMp4Writer w(out.string());
    for (const SRecord& r : records) {
        const TessaroFrame f = r.Frame();
        EXPECT_GE(w.InputFrame(&f), 0);
    }
    EXPECT_EQ(w.Finish(), 1);
    return Probe(out);
}

// Every flash has its tone setting in within 5 ms of it, and nothing else.
void ExpectToneWithEachFlash(const SProbe& p, size_t nFlashes) {
    ASSERT_TRUE(p.audio.bPresent);
    EXPECT_EQ(p.audio.nDecodeErrors, 0);
    EXPECT_EQ(p.video.nDecodeErrors, 0);
    ASSERT_FALSE(p.video.vFrameTimes.empty());
    EXPECT_EQ(p.video.vFrameTimes.front(), 0.0);
    std::vector<double> flashes;
    for (size_t i = 0; i < p.video.vLuma.size(); ++i) {
        if (p.video.vLuma[i] > 128) flashes.push_back(p.video.vFrameTimes[i]);
    }
    ASSERT_EQ(flashes.size(), nFlashes);
    ASSERT_EQ(p.audio.vOnsets.size(), nFlashes);
    for (size_t i = 0; i < nFlashes; ++i) EXPECT_NEAR(p.audio.vOnsets[i], flashes[i], 0.005) << i;
}

TEST_F(Mp4Sync, ToneSetsInWithTheFlash) {
    for (const bool bAac : {false, true}) {
        for (const bool bMidGop : {false, true}) {
            SCOPED_TRACE(std::string(bAac ? "AAC" : "A-law") + (bMidGop ? ", mid-GOP" : ""));
            std::vector<SRecord> records = BeepRecords(bAac);
            if (bMidGop) {
                // Start at the tenth picture (0.4 s): the first key frame is at
                // 0.8 s and the sound before it arrives first.
                int nPictures = 0;
                const auto it = std::find_if(records.begin(), records.end(),
                                             [&](const SRecord& r) { return !IsAudio(r) && ++nPictures == 10; });
                ASSERT_NE(it->frame.nFrameKind, TESSARO_KIND_KEY);
                records.erase(records.begin(), it);
            }
            const SProbe p = Write(m_dir / "beep.mp4", records);
            ExpectToneWithEachFlash(p, 2);
            EXPECT_NEAR(p.video.vFrameTimes.back(), bMidGop ? 3.16 : 3.96, 1e-9);
        }
    }
}

TEST_F(Mp4Sync, SoundRejoinsTheClockAfterLostAndRepeatedRecords) {
    for (const bool bAac : {false, true}) {
        SCOPED_TRACE(bAac ? "AAC" : "A-law");
        std::vector<SRecord> records = BeepRecords(bAac);
        // No sound for the first half second; half a second lost later; one
        // record sent twice.
        DropAudio(records, -1, 0.45);
        DropAudio(records, 1.5, 2.0);
        const int64_t nStart = StartTime(records);
        const auto it = std::find_if(records.begin(), records.end(), [&](const SRecord& r) {
            return IsAudio(r) && r.frame.nPts - nStart >= 2 * kTicks;
        });
        ASSERT_NE(it, records.end());
        records.insert(it + 1, *it);
        ExpectToneWithEachFlash(Write(m_dir / "rejoin.mp4", records), 2);
    }
}

TEST_F(Mp4Sync, AacFramesAreCopiedAsTheyCame) {
    std::vector<SRecord> records = BeepRecords(true);
    const int64_t nStart = StartTime(records);
    std::vector<SRecord*> audio;
    for (SRecord& r : records) {
        if (IsAudio(r)) audio.push_back(&r);
    }
    ASSERT_GT(audio.size(), 50u);
    // One frame with a CRC after its header; two in the tones, one that
    // claims two raw blocks and one at another sampling rate, which cannot
    // be copied.
    std::vector<uint8_t>& crc = audio[20]->payload;
    crc[1] &= 0xFE;
    const size_t nCrcLen = crc.size() + 2;
    crc[3] = static_cast<uint8_t>((crc[3] & 0xFC) | (nCrcLen >> 11));
    crc[4] = static_cast<uint8_t>(nCrcLen >> 3);
    crc[5] = static_cast<uint8_t>((crc[5] & 0x1F) | ((nCrcLen & 7) << 5));
    crc.insert(crc.begin() + 7, {0xAB, 0xCD});
    audio[20]->frame.nPayloadLen = static_cast<uint32_t>(crc.size());
    audio[18]->payload[6] |= 1;
    audio[49]->payload[2] = static_cast<uint8_t>((audio[49]->payload[2] & 0xC3) | (11 << 2));

    const fs::path out = m_dir / "copy.mp4";
    CMp4Writer w(out.string());
    std::vector<std::vector<uint8_t>> expected;
    for (const SRecord& r : records) {
        const TessaroFrame f = r.Frame();
        const int32_t nResult = w.InputFrame(&f);
        if (!IsAudio(r)) {
            EXPECT_EQ(nResult, 1);
            continue;
        }
        const size_t nIndex = static_cast<size_t>(std::find(audio.begin(), audio.end(), &r) - audio.begin());
        // A frame that ends before the first picture is not needed.
        if (r.frame.nPts + 1024 * kTicks / 16000 <= nStart) {
            EXPECT_EQ(nResult, 0);
            continue;
        }
        EXPECT_EQ(nResult, nIndex == 18 || nIndex == 49 ? 0 : 1) << nIndex;
        const size_t nHeader = nIndex == 20 ? 9 : 7;
        expected.emplace_back(r.payload.begin() + static_cast<std::ptrdiff_t>(nHeader), r.payload.end());
    }
    EXPECT_EQ(w.Finish(), 1);
    const SProbe p = Probe(out);
    EXPECT_EQ(p.audio.strCodec, "aac");
    EXPECT_EQ(p.audio.nSampleRate, 16000);
    EXPECT_EQ(p.audio.nChannels, 2);
    EXPECT_EQ(p.audio.nDecodeErrors, 0);
    // Every frame as it came, and a frame of silence for each one that could
    // not be copied, so what follows stays in step.
    ASSERT_EQ(p.audio.vPacketData.size(), expected.size());
    size_t nSame = 0;
    for (size_t i = 0; i < expected.size(); ++i) nSame += p.audio.vPacketData[i] == expected[i] ? 1 : 0;
    EXPECT_EQ(nSame, expected.size() - 2);
    ExpectToneWithEachFlash(p, 2);
}

TEST_F(Mp4Sync, LateAacIsDecodedIntoTheDeclaredTrack) {
    // No sound until about 1.5 s (it lags the pictures in the file): the
    // header waits a second for it, then declares
    // the usual 8000 Hz mono track; the AAC that comes later is decoded and
    // encoded into it, in step.
    std::vector<SRecord> records = BeepRecords(true);
    int nPictures = 0;
    std::erase_if(records, [&](const SRecord& r) {
        nPictures += IsAudio(r) ? 0 : 1;
        return IsAudio(r) && nPictures < 45;
    });
    const SProbe p = Write(m_dir / "late.mp4", records);
    EXPECT_EQ(p.audio.strCodec, "aac");
    EXPECT_EQ(p.audio.nSampleRate, 8000);
    EXPECT_EQ(p.audio.nChannels, 1);
    EXPECT_EQ(p.audio.nDecodeErrors, 0);
    ASSERT_EQ(p.audio.vOnsets.size(), 1u);
    EXPECT_NEAR(p.audio.vOnsets[0], 3.0, 0.005);
}

TEST_F(Mp4Sync, SoundWithTimesThatCannotBeMeantIsKeptInBounds) {
    const auto Retimed = [](const std::function<int64_t(int64_t, int64_t)>& time) {
        std::vector<SRecord> records = BeepRecords(false);
        const int64_t nStart = StartTime(records);
        int64_t nAudio = 0;
        for (SRecord& r : records) {
            if (IsAudio(r)) r.frame.nPts = time(r.frame.nPts - nStart, nAudio++) + nStart;
        }
        return records;
    };
    // Every record claims to come nine minutes after the one before: silence
    // fills one such gap, but never much more than ten minutes beyond the
    // sound that came.
    SProbe p = Write(m_dir / "gaps.mp4", Retimed([](int64_t, int64_t i) { return i * 540 * kTicks; }));
    EXPECT_EQ(p.audio.nDecodeErrors, 0);
    const double dSound = 4.0;
    EXPECT_GE(p.audio.nDecodedFrames, (540 + dSound - 0.16) * 8000);  // the rest follows on
    EXPECT_LE(p.audio.nDecodedFrames, (600 + 2 * dSound) * 8000);

    // Sound an hour behind the pictures (a clock of its own) follows on from
    // the start rather than being dropped.
    p = Write(m_dir / "behind.mp4", Retimed([](int64_t t, int64_t) { return t - 3600 * kTicks; }));
    ExpectToneWithEachFlash(p, 2);
}

}  // namespace
