// Sound in step with the pictures, read back with a decoder: the flash and
// beep fixture (a white picture with a tone setting in at the same instant)
// through the encoding and the copying audio paths.
#include "Mp4TestUtil.h"
#include "Mp4Writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace fs = std::filesystem;
using namespace mp4test;

namespace {

constexpr int64_t kTicks = 90000;
constexpr uint32_t kAlawRecordBytes = 1280;  // what the parser cuts at 8 kHz

class Mp4Sync : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override
    {
        if (std::getenv("TRELVO_KEEP_TEST_OUTPUT") == nullptr)
            fs::remove_all(m_dir);
    }
    fs::path m_dir;
};

bool IsAudio(const SRecord& r)
{
    return r.frame.nFrameType == TESSARO_FRAME_AUDIO;
}

// The time of the fixture's first picture (its sound starts with it).
int64_t StartTime(const std::vector<SRecord>& records)
{
    int64_t nStart = INT64_MAX;
    for (const SRecord& r : records) {
        if (!IsAudio(r))
            nStart = std::min(nStart, r.frame.nPts);
    }
    return nStart;
}

// The fixture in file order, its sound as AAC records or as A-law records
// placed among the video by their times.
std::vector<SRecord> BeepRecords(bool bAac)
{
    std::vector<SRecord> records = DemuxRecords(DataPath("mp4_beep.ts"));
    if (bAac)
        return records;
    std::erase_if(records, IsAudio);
    const int64_t nStart = StartTime(records);
    const std::vector<uint8_t> alaw = ReadFile(DataPath("mp4_beep.alaw"));
    for (size_t nAt = 0; nAt < alaw.size(); nAt += kAlawRecordBytes) {
        SRecord a;
        a.payload.assign(alaw.begin() + static_cast<std::ptrdiff_t>(nAt),
                         alaw.begin() + static_cast<std::ptrdiff_t>(
                                            std::min<size_t>(nAt + kAlawRecordBytes, alaw.size())));
        a.frame = AudioRecord(nullptr, static_cast<uint32_t>(a.payload.size()),
                              TESSARO_AUDIO_ALAW, 1, 8000);
        a.frame.nPts = nStart + static_cast<int64_t>(nAt) * kTicks / 8000;
        const auto it = std::find_if(records.begin(), records.end(), [&](const SRecord& r) {
            return !IsAudio(r) && r.frame.nDts > a.frame.nPts;
        });
        records.insert(it, std::move(a));
    }
    return records;
}

// Audio records whose sound lies in [dFrom, dTo) seconds of the fixture.
void DropAudio(std::vector<SRecord>& records, double dFrom, double dTo)
{
    const int64_t nStart = StartTime(records);
    std::erase_if(records, [&](const SRecord& r) {
        const double t = static_cast<double>(r.frame.nPts - nStart) / kTicks;
        return IsAudio(r) && t >= dFrom && t < dTo;
    });
}

SProbe Write(const fs::path& out, const std::vector<SRecord>& records)
{
    CMp4Writer w(out.string());
    for (const SRecord& r : records) {
        const TessaroFrame f = r.Frame();
        EXPECT_GE(w.InputFrame(&f), 0);
    }
    EXPECT_EQ(w.Finish(), 1);
    return Probe(out);
}

// Every flash has its tone setting in within 5 ms of it, and nothing else.
void ExpectToneWithEachFlash(const SProbe& p, size_t nFlashes)
{
    ASSERT_TRUE(p.audio.bPresent);
    EXPECT_EQ(p.audio.nDecodeErrors, 0);
    EXPECT_EQ(p.video.nDecodeErrors, 0);
    ASSERT_FALSE(p.video.vFrameTimes.empty());
    EXPECT_EQ(p.video.vFrameTimes.front(), 0.0);
    std::vector<double> flashes;
    for (size_t i = 0; i < p.video.vLuma.size(); ++i) {
        if (p.video.vLuma[i] > 128)
            flashes.push_back(p.video.vFrameTimes[i]);
    }
    ASSERT_EQ(flashes.size(), nFlashes);
    ASSERT_EQ(p.audio.vOnsets.size(), nFlashes);
    for (size_t i = 0; i < nFlashes; ++i)
        EXPECT_NEAR(p.audio.vOnsets[i], flashes[i], 0.005) << i;
}

TEST_F(Mp4Sync, ToneSetsInWithTheFlash)
{
    for (const bool bAac : {false, true}) {
        for (const bool bMidGop : {false, true}) {
            SCOPED_TRACE(std::string(bAac ? "AAC" : "A-law") + (bMidGop ? ", mid-GOP" : ""));
            std::vector<SRecord> records = BeepRecords(bAac);
            if (bMidGop) {
                // Start at the tenth picture (0.4 s): the first key frame is at
                // 0.8 s and the sound before it arrives first.
                int nPictures = 0;
                const auto it = std::find_if(records.begin(), records.end(), [&](const SRecord& r) {
                    return !IsAudio(r) && ++nPictures == 10;
                });
                ASSERT_NE(it->frame.nFrameKind, TESSARO_KIND_KEY);
                records.erase(records.begin(), it);
            }
            const SProbe p = Write(m_dir / "beep.mp4", records);
            ExpectToneWithEachFlash(p, 2);
            EXPECT_NEAR(p.video.vFrameTimes.back(), bMidGop ? 3.16 : 3.96, 1e-9);
        }
    }
}

TEST_F(Mp4Sync, SoundRejoinsTheClockAfterLostAndRepeatedRecords)
{
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

}  // namespace
