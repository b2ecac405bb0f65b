#include "Mp4TestUtil.h"
#include "OutputTest.h"
#include "libs/output/MuxerIo.h"
#include "mp4/Mp4Writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

#include <sys/resource.h>
#include <csignal>

extern "C" {
#include <libavutil/macros.h>
}

namespace fs = std::filesystem;
using namespace mp4test;

namespace {

constexpr uint32_t kAvc1 = MKTAG('a', 'v', 'c', '1');
constexpr uint32_t kHvc1 = MKTAG('h', 'v', 'c', '1');

struct SVideo {
    std::vector<SPicture> pics;
    int32_t nCodec;
    uint32_t nRate;
    int32_t nWidth, nHeight;
};

const SVideo& H264() {
    static const SVideo v{CutPictures(ReadFile(DataPath("h264_320x180_25fps.h264")), false), TESSARO_CODEC_H264, 25,
                          320, 180};
    return v;
}

const SVideo& H265() {
    static const SVideo v{CutPictures(ReadFile(DataPath("h265_352x288_30fps.h265")), true), TESSARO_CODEC_H265, 30, 352,
                          288};
    return v;
}

// Feeds every picture; pAfter runs after picture k (audio interleaving).
void FeedVideo(CMp4Writer& w, const SVideo& v, const std::function<void(size_t)>& after = nullptr) {
    for (size_t k = 0; k < v.pics.size(); ++k) {
        const TessaroFrame f = VideoRecord(v.pics[k], v.nCodec, v.nRate, v.nWidth, v.nHeight);
        ASSERT_EQ(w.InputFrame(&f), 1) << k;
        if (after) after(k);
    }
}

std::vector<uint8_t> AsBytes(const std::vector<int16_t>& s) {
    std::vector<uint8_t> b(s.size() * 2);
    std::memcpy(b.data(), s.data(), b.size());
    return b;
}

// Feeds PCM in records of nRecordBytes, spread evenly over the pictures.
void FeedVideoWithPcm(CMp4Writer& w, const SVideo& v, const std::vector<uint8_t>& pcm, uint32_t nChannels,
                      uint32_t nRate) {
    const size_t nPer = pcm.size() / v.pics.size();
    FeedVideo(w, v, [&](size_t k) {
        const size_t nEnd = k + 1 == v.pics.size() ? pcm.size() : (k + 1) * nPer;
        const TessaroFrame a = AudioRecord(pcm.data() + k * nPer, static_cast<uint32_t>(nEnd - k * nPer),
                                           TESSARO_AUDIO_PCM16, nChannels, nRate);
        EXPECT_EQ(w.InputFrame(&a), 1);
    });
}

void ExpectVideo(const SProbe& p, const SVideo& v, uint32_t nTag) {
    ASSERT_TRUE(p.bOpened);
    ASSERT_TRUE(p.video.bPresent);
    EXPECT_EQ(p.video.strCodec, v.nCodec == TESSARO_CODEC_H265 ? "hevc" : "h264");
    EXPECT_EQ(p.video.nTag, nTag);
    EXPECT_EQ(p.video.nWidth, v.nWidth);
    EXPECT_EQ(p.video.nHeight, v.nHeight);
    EXPECT_EQ(p.video.nPackets, static_cast<int64_t>(v.pics.size()));
    EXPECT_EQ(p.video.nDecodedFrames, static_cast<int64_t>(v.pics.size()));
    EXPECT_EQ(p.video.nDecodeErrors, 0);
    EXPECT_NEAR(p.video.dDuration, static_cast<double>(v.pics.size()) / v.nRate, 1e-3);
}

// An AAC track of the given shape that plays dSeconds of a 440 Hz tone.
void ExpectAacTone(const SProbe& p, int nRate, int nChannels, double dSeconds) {
    ASSERT_TRUE(p.audio.bPresent);
    EXPECT_EQ(p.audio.strCodec, "aac");
    EXPECT_EQ(p.audio.nSampleRate, nRate);
    EXPECT_EQ(p.audio.nChannels, nChannels);
    EXPECT_EQ(p.audio.nDecodeErrors, 0);
    const auto nExpected = static_cast<int64_t>(dSeconds * nRate);
    EXPECT_GE(p.audio.nDecodedFrames, nExpected);
    EXPECT_LE(p.audio.nDecodedFrames, nExpected + 4 * 1024);
    EXPECT_NEAR(p.audio.dToneHz, 440.0, 4.0);
    EXPECT_GT(p.audio.dPeak, 0.05);
    // The track lasts as long as the sound: the last frame's padding is not
    // played.
    EXPECT_NEAR(p.audio.dDuration, dSeconds, 1e-3);
    // The first packet carries the encoder's priming, up to two frames before
    // zero; the edit the muxer writes keeps it from being heard.
    ASSERT_GE(p.audio.vPts.size(), 3u);
    const double dFirst = static_cast<double>(p.audio.vPts[0]) * p.audio.dTimeBase;
    EXPECT_LT(dFirst, 0);
    EXPECT_GE(dFirst, -2048.0 / nRate);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(static_cast<double>(p.audio.vPts[i]) * p.audio.dTimeBase,
                    dFirst + static_cast<double>(i) * 1024.0 / nRate, 1e-6);
}

using Mp4Writer = COutputTest;

TEST_F(Mp4Writer, H264OutputsDecodeWithTheirShape) {
    for (const char* name : {"h264_320x180_25fps.h264", "h264_320x180_25fps_repeat.h264"}) {
        SCOPED_TRACE(name);
        const SVideo v{CutPictures(ReadFile(DataPath(name)), false), TESSARO_CODEC_H264, 25, 320, 180};
        ASSERT_EQ(v.pics.size(), 50u);
        const fs::path out = m_dir / "h264.mp4";
        CMp4Writer w(out.string());
        FeedVideo(w, v);
        EXPECT_EQ(w.VideoFrames(), 50);
        EXPECT_EQ(w.Finish(), 1);
        const SProbe p = Probe(out);
        EXPECT_NE(p.strFormat.find("mp4"), std::string::npos);
        ExpectVideo(p, v, kAvc1);
        EXPECT_EQ(p.audio.nPackets, 0);
        EXPECT_EQ(w.AudioFrames(), 0);
    }
}

TEST_F(Mp4Writer, H265OutputDecodesAsHvc1) {
    // The fixture's parameter sets carry escaped 00 00 03 runs; they must
    // reach the file unchanged for the decoder to accept them.
    ASSERT_EQ(H265().pics.size(), 45u);
    const fs::path out = m_dir / "h265.mp4";
    CMp4Writer w(out.string());
    FeedVideo(w, H265());
    EXPECT_EQ(w.Finish(), 1);
    ExpectVideo(Probe(out), H265(), kHvc1);
}

bool Contains(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST_F(Mp4Writer, H265ParameterSetsAreEscapedOnlyWhereNeeded) {
    // The first key frame with its VPS extended by a pattern that is not
    // escaped: a short one (mended) and one whose mended form would not fit
    // the 512-byte set buffer (kept as it came).
    const std::vector<uint8_t>& key = H265().pics[0].data;
    const std::vector<uint8_t> vpsHead{0x40, 0x01, 0x0c};
    const auto itVps = std::search(key.begin(), key.end(), vpsHead.begin(), vpsHead.end());
    ASSERT_NE(itVps, key.end());
    const std::vector<uint8_t> vpsEnd{0x3c, 0xba, 0x02, 0x40};
    const auto itEnd = std::search(itVps, key.end(), vpsEnd.begin(), vpsEnd.end());
    ASSERT_NE(itEnd, key.end());
    const auto nInsert = static_cast<size_t>(itEnd - key.begin()) + vpsEnd.size();
    const std::vector<uint8_t> escapedRun{0x60, 0, 0, 3, 0, 0x90, 0, 0, 3, 0, 0, 3, 0, 0x3c};

    for (const size_t nRepeat : {size_t{1}, size_t{200}}) {
        SCOPED_TRACE(nRepeat);
        std::vector<uint8_t> extra;
        for (size_t i = 0; i < nRepeat; ++i) extra.insert(extra.end(), {0x80, 0, 0, 2});
        SVideo v = H265();
        v.pics[0].data.insert(v.pics[0].data.begin() + static_cast<std::ptrdiff_t>(nInsert), extra.begin(),
                              extra.end());
        const fs::path out = m_dir / "escape.mp4";
        CMp4Writer w(out.string());
        FeedVideo(w, v);
        EXPECT_EQ(w.Finish(), 1);
        const SProbe p = Probe(out);
        ExpectVideo(p, v, kHvc1);
        EXPECT_TRUE(Contains(p.video.vExtradata, escapedRun));  // never escaped twice
        const std::vector<uint8_t> mended{0x02, 0x40, 0x80, 0, 0, 3, 2};
        const std::vector<uint8_t> raw{0x02, 0x40, 0x80, 0, 0, 2, 0x80};
        EXPECT_EQ(Contains(p.video.vExtradata, mended), nRepeat == 1);
        EXPECT_EQ(Contains(p.video.vExtradata, raw), nRepeat != 1);
    }
}

TEST_F(Mp4Writer, UnparsableH265SetsDoNotStartTheFile) {
    // Escaping the first key frame's sets a second time breaks them; the
    // writer waits for the next key frame instead of handing them on.
    SVideo v = H265();
    std::vector<uint8_t>& key = v.pics[0].data;
    std::vector<uint8_t> broken;
    for (size_t i = 0; i < key.size(); ++i) {
        broken.push_back(key[i]);
        if (i >= 4 && i < 80 && key[i] == 3 && key[i - 1] == 0 && key[i - 2] == 0) broken.push_back(3);
    }
    key = broken;
    const fs::path out = m_dir / "broken_sets.mp4";
    CMp4Writer w(out.string());
    for (size_t k = 0; k < v.pics.size(); ++k) {
        const TessaroFrame f = VideoRecord(v.pics[k], v.nCodec, v.nRate, v.nWidth, v.nHeight);
        EXPECT_EQ(w.InputFrame(&f), k < 15 ? 0 : 1) << k;
    }
    EXPECT_EQ(w.Finish(), 1);
    const SProbe p = Probe(out);
    EXPECT_EQ(p.video.nPackets, 30);
    EXPECT_EQ(p.video.nDecodedFrames, 30);
    EXPECT_EQ(p.video.nDecodeErrors, 0);
}

TEST_F(Mp4Writer, G711BecomesAnAacTrack) {
    for (const auto& [name, codec] :
         {std::pair{"tone_8k.alaw", TESSARO_AUDIO_ALAW}, std::pair{"tone_8k.ulaw", TESSARO_AUDIO_MULAW}}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> g711 = ReadFile(DataPath(name));
        ASSERT_EQ(g711.size(), 16000u);
        const fs::path out = m_dir / "g711.mp4";
        CMp4Writer w(out.string());
        // Before the key frame audio is dropped but declares the track.
        const TessaroFrame early = AudioRecord(g711.data(), 320, codec, 1, 8000);
        EXPECT_EQ(w.InputFrame(&early), 0);
        const int32_t nCodec = codec;  // a structured binding cannot be captured (Clang 14)
        FeedVideo(w, H264(), [&](size_t k) {
            const TessaroFrame a = AudioRecord(g711.data() + 320 * k, 320, nCodec, 1, 8000);
            EXPECT_EQ(w.InputFrame(&a), 1);
        });
        EXPECT_EQ(w.Finish(), 1);
        EXPECT_GE(w.AudioFrames(), 16);
        const SProbe p = Probe(out);
        ExpectVideo(p, H264(), kAvc1);
        ExpectAacTone(p, 8000, 1, 2.0);
        EXPECT_EQ(p.audio.nPackets, w.AudioFrames());
    }
}

TEST_F(Mp4Writer, AudioBeforeTheKeyFrameDecidesTheTrack) {
    const std::vector<uint8_t> pcm = AsBytes(Sine(440, 16000, 2, 32000));
    const fs::path out = m_dir / "stereo.mp4";
    CMp4Writer w(out.string());
    const TessaroFrame early = AudioRecord(pcm.data(), 2560, TESSARO_AUDIO_PCM16, 2, 16000);
    EXPECT_EQ(w.InputFrame(&early), 0);
    FeedVideoWithPcm(w, H264(), pcm, 2, 16000);
    EXPECT_EQ(w.Finish(), 1);
    ExpectAacTone(Probe(out), 16000, 2, 2.0);
}

TEST_F(Mp4Writer, AudioOfAnotherRateThanDeclaredKeepsItsSpeed) {
    {
        // A record before the key frame declares 8000 Hz mono, the audio is
        // 16000 Hz stereo. It must still last two seconds and sound at 440 Hz.
        const std::vector<uint8_t> pcm = AsBytes(Sine(440, 16000, 2, 32000));
        const std::vector<uint8_t> g711 = ReadFile(DataPath("tone_8k.ulaw"));
        const fs::path out = m_dir / "late.mp4";
        CMp4Writer w(out.string());
        const TessaroFrame early = AudioRecord(g711.data(), 320, TESSARO_AUDIO_MULAW, 1, 8000);
        EXPECT_EQ(w.InputFrame(&early), 0);
        FeedVideoWithPcm(w, H264(), pcm, 2, 16000);
        EXPECT_EQ(w.Finish(), 1);
        const SProbe p = Probe(out);
        ExpectVideo(p, H264(), kAvc1);
        ExpectAacTone(p, 8000, 1, 2.0);
    }
    {
        // A rate AAC has no index for is declared at the next one it has.
        const std::vector<uint8_t> pcm = AsBytes(Sine(440, 11000, 1, 22000));
        const fs::path out = m_dir / "odd.mp4";
        CMp4Writer w(out.string());
        const TessaroFrame early = AudioRecord(pcm.data(), 880, TESSARO_AUDIO_PCM16, 1, 11000);
        EXPECT_EQ(w.InputFrame(&early), 0);
        FeedVideoWithPcm(w, H264(), pcm, 1, 11000);
        EXPECT_EQ(w.Finish(), 1);
        ExpectAacTone(Probe(out), 11025, 1, 2.0);
    }
}

TEST_F(Mp4Writer, EveryChannelCountGivesAPlayableTrack) {
    for (uint32_t nChannels = 1; nChannels <= 8; ++nChannels) {
        SCOPED_TRACE(nChannels);
        const auto nCh = static_cast<int>(nChannels);
        const std::vector<uint8_t> pcm = AsBytes(Sine(440, 8000, nCh, 16000));
        const fs::path out = m_dir / "channels.mp4";
        CMp4Writer w(out.string());
        const TessaroFrame early = AudioRecord(pcm.data(), 2 * nChannels, TESSARO_AUDIO_PCM16, nChannels, 8000);
        EXPECT_EQ(w.InputFrame(&early), 0);
        FeedVideoWithPcm(w, H264(), pcm, nChannels, 8000);
        EXPECT_EQ(w.Finish(), 1);
        ExpectAacTone(Probe(out), 8000, nCh, 2.0);
    }
}

TEST_F(Mp4Writer, AudioThatChangesItsFormatKeepsItsSpeed) {
    // One second of 8000 Hz mono mu-law, then one second of 16000 Hz stereo PCM.
    const std::vector<uint8_t> g711 = ReadFile(DataPath("tone_8k.ulaw"));
    const std::vector<uint8_t> pcm = AsBytes(Sine(440, 16000, 2, 16000));
    const fs::path out = m_dir / "switch.mp4";
    CMp4Writer w(out.string());
    FeedVideo(w, H264(), [&](size_t k) {
        const TessaroFrame a = k < 25 ? AudioRecord(g711.data() + 320 * k, 320, TESSARO_AUDIO_MULAW, 1, 8000)
                                      : AudioRecord(pcm.data() + 2560 * (k - 25), 2560, TESSARO_AUDIO_PCM16, 2, 16000);
        EXPECT_EQ(w.InputFrame(&a), 1);
    });
    EXPECT_EQ(w.Finish(), 1);
    ExpectAacTone(Probe(out), 8000, 1, 2.0);
}

TEST_F(Mp4Writer, LargeRecordsAreSplitIntoEncoderInputs) {
    // Two seconds in one record (many buffers' worth), then a record of the
    // largest size the decode buffer takes.
    const std::vector<uint8_t> pcm = AsBytes(Sine(440, 8000, 1, 16000 + 250000));
    const fs::path out = m_dir / "large.mp4";
    CMp4Writer w(out.string());
    FeedVideo(w, H264(), [&](size_t k) {
        if (k == 0) {
            const TessaroFrame a = AudioRecord(pcm.data(), 32000, TESSARO_AUDIO_PCM16, 1, 8000);
            EXPECT_EQ(w.InputFrame(&a), 1);
        } else if (k == 1) {
            const TessaroFrame a = AudioRecord(pcm.data() + 32000, 500000, TESSARO_AUDIO_PCM16, 1, 8000);
            EXPECT_EQ(w.InputFrame(&a), 1);
        } else if (k == 2) {
            // Beyond the decode buffer: passed over.
            const TessaroFrame a = AudioRecord(pcm.data(), 500002, TESSARO_AUDIO_PCM16, 1, 8000);
            EXPECT_EQ(w.InputFrame(&a), 0);
        }
    });
    EXPECT_EQ(w.Finish(), 1);
    ExpectAacTone(Probe(out), 8000, 1, 266000.0 / 8000);
}

TEST_F(Mp4Writer, UnusableAudioIsPassedOver) {
    const std::vector<uint8_t> g711 = ReadFile(DataPath("tone_8k.ulaw"));
    const fs::path out = m_dir / "bad_audio.mp4";
    CMp4Writer w(out.string());
    // Would declare a track with no channels; must not decide anything.
    const TessaroFrame early = AudioRecord(g711.data(), 320, TESSARO_AUDIO_MULAW, 0, 8000);
    EXPECT_EQ(w.InputFrame(&early), 0);
    const TessaroFrame bad[] = {
        AudioRecord(g711.data(), 320, TESSARO_AUDIO_MULAW, 0, 8000),
        AudioRecord(g711.data(), 320, TESSARO_AUDIO_MULAW, 9, 8000),
        AudioRecord(g711.data(), 320, TESSARO_AUDIO_MULAW, 1, 0),
        AudioRecord(g711.data(), 320, TESSARO_AUDIO_MULAW, 1, 8000, 8),
        AudioRecord(g711.data(), 320, TESSARO_AUDIO_MULAW, 1, 8000, 0),
        AudioRecord(g711.data(), 320, TESSARO_AUDIO_MULAW, 0xFFFFFFFF, 0xFFFFFFFF, 16),
        AudioRecord(g711.data(), 320, 9, 1, 8000),  // decodes to nothing
    };
    FeedVideo(w, H264(), [&](size_t k) {
        if (k < std::size(bad)) {
            EXPECT_EQ(w.InputFrame(&bad[k]), 0) << k;
        }
        const TessaroFrame a = AudioRecord(g711.data() + 320 * k, 320, TESSARO_AUDIO_MULAW, 1, 8000);
        EXPECT_EQ(w.InputFrame(&a), 1);
    });
    EXPECT_EQ(w.Finish(), 1);
    const SProbe p = Probe(out);
    ExpectVideo(p, H264(), kAvc1);
    ExpectAacTone(p, 8000, 1, 2.0);
}

TEST_F(Mp4Writer, AudioLeftAtTheEndIsWritten) {
    for (const int nSamples : {1000, 3 * 1024}) {
        SCOPED_TRACE(nSamples);
        const std::vector<uint8_t> pcm = AsBytes(Sine(440, 8000, 1, nSamples));
        const fs::path out = m_dir / "tail.mp4";
        CMp4Writer w(out.string());
        FeedVideo(w, H264(), [&](size_t k) {
            if (k == 0) {
                const TessaroFrame a =
                    AudioRecord(pcm.data(), static_cast<uint32_t>(pcm.size()), TESSARO_AUDIO_PCM16, 1, 8000);
                EXPECT_EQ(w.InputFrame(&a), 1);
            }
        });
        EXPECT_EQ(w.Finish(), 1);
        EXPECT_GE(w.AudioFrames(), (nSamples + 1023) / 1024);
        const SProbe p = Probe(out);
        EXPECT_EQ(p.audio.nDecodeErrors, 0);
        EXPECT_GE(p.audio.nDecodedFrames, nSamples);
        EXPECT_EQ(p.audio.nPackets, w.AudioFrames());
    }
}

TEST_F(Mp4Writer, NoKeyFrameLeavesNoFile) {
    const fs::path out = m_dir / "none.mp4";
    std::ofstream(out) << "old contents";
    {
        CMp4Writer w(out.string());
        const std::vector<uint8_t> g711 = ReadFile(DataPath("tone_8k.alaw"));
        const TessaroFrame a = AudioRecord(g711.data(), 320, TESSARO_AUDIO_ALAW, 1, 8000);
        EXPECT_EQ(w.InputFrame(&a), 0);
        for (size_t k = 1; k < 25; ++k) {
            const SVideo& v = H264();
            const TessaroFrame f = VideoRecord(v.pics[k], v.nCodec, 25, 320, 180);
            EXPECT_EQ(w.InputFrame(&f), 0);
        }
        // Key frames without a size or a rate do not open the output either.
        for (const auto& [width, height, rate] :
             {std::tuple{0, 180, 25u}, std::tuple{320, 0, 25u}, std::tuple{320, 180, 0u}, std::tuple{-1, 180, 25u}}) {
            const TessaroFrame f = VideoRecord(H264().pics[0], TESSARO_CODEC_H264, rate, width, height);
            EXPECT_EQ(w.InputFrame(&f), 0);
        }
        EXPECT_EQ(w.InputFrame(nullptr), 0);
        EXPECT_EQ(w.VideoFrames(), 0);
    }  // the destructor finishes
    EXPECT_FALSE(fs::exists(out));

    CMp4Writer w2((m_dir / "never.mp4").string());
    EXPECT_EQ(w2.Finish(), 0);
    EXPECT_FALSE(fs::exists(m_dir / "never.mp4"));
}

TEST_F(Mp4Writer, OutputThatCannotBeWrittenFailsCleanly) {
    {
        // Missing directory: opening fails, nothing stays open.
        const fs::path out = m_dir / "missing" / "x.mp4";
        CMp4Writer w(out.string());
        const TessaroFrame f = VideoRecord(H264().pics[0], TESSARO_CODEC_H264, 25, 320, 180);
        EXPECT_EQ(w.InputFrame(&f), -1);
        EXPECT_EQ(w.InputFrame(&f), -1);
        EXPECT_EQ(w.Finish(), 0);
        EXPECT_EQ(w.Finish(), 0);
    }
    {
        // A muxer that refuses the streams: the header fails and no trailer
        // is written on the half-made context.
        const fs::path out = m_dir / "x.wav";
        CMp4Writer w(out.string());
        const TessaroFrame f = VideoRecord(H264().pics[0], TESSARO_CODEC_H264, 25, 320, 180);
        EXPECT_EQ(w.InputFrame(&f), -2);
        EXPECT_EQ(w.Finish(), 0);
        EXPECT_FALSE(fs::exists(out));
    }
    {
        // A link planted where the output goes is not written through.
        const fs::path victim = m_dir / "victim.txt";
        std::ofstream(victim) << "keep";
        fs::create_symlink(victim, m_dir / "link.mp4");
        trelvo::output::CMuxerIo file;
        EXPECT_LT(file.Open((m_dir / "link.mp4").string()), 0);
        EXPECT_EQ(fs::file_size(victim), 4u);
    }
}

TEST_F(Mp4Writer, WriteErrorsFailTheFileAndRemoveIt) {
    // A file size limit makes the operating system refuse the writes.
    const fs::path out = m_dir / "limited.mp4";
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit lim = old;
    lim.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    int32_t nResult = 0;
    {
        CMp4Writer w(out.string());
        for (const SPicture& pic : H264().pics) {
            const TessaroFrame f = VideoRecord(pic, TESSARO_CODEC_H264, 25, 320, 180);
            w.InputFrame(&f);
        }
        nResult = w.Finish();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_LT(nResult, 0);
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(Mp4Writer, TimeStampsStayValidWhenTheFrameRateChanges) {
    for (const uint32_t nLater : {50u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(nLater);
        const fs::path out = m_dir / "rates.mp4";
        CMp4Writer w(out.string());
        const SVideo& v = H264();
        for (size_t k = 0; k < v.pics.size(); ++k) {
            const uint32_t nRate = k < 25 ? 25 : nLater;
            const TessaroFrame f = VideoRecord(v.pics[k], v.nCodec, nRate, 320, 180);
            EXPECT_EQ(w.InputFrame(&f), 1);
        }
        EXPECT_EQ(w.Finish(), 1);
        const SProbe p = Probe(out);
        ASSERT_EQ(p.video.nPackets, 50);
        EXPECT_EQ(p.video.nDecodedFrames, 50);
        for (size_t i = 1; i < p.video.vPts.size(); ++i) ASSERT_GT(p.video.vPts[i], p.video.vPts[i - 1]) << i;
        // The first second runs at 25 fps whatever follows.
        EXPECT_NEAR(static_cast<double>(p.video.vPts[25]) * p.video.dTimeBase, 1.0, 1e-6);
        if (nLater == 50) {
            EXPECT_NEAR(p.video.dDuration, 1.5, 1e-3);
        }
    }
}

TEST_F(Mp4Writer, EmptyKeyFrameDoesNotOpenTheOutput) {
    // It would declare a track without parameter sets that no player starts.
    const fs::path out = m_dir / "empty_key.mp4";
    CMp4Writer w(out.string());
    TessaroFrame f = VideoRecord(H264().pics[0], TESSARO_CODEC_H264, 25, 320, 180);
    f.nPayloadLen = 0;
    EXPECT_EQ(w.InputFrame(&f), 0);
    EXPECT_FALSE(fs::exists(out));
    FeedVideo(w, H264());
    EXPECT_EQ(w.Finish(), 1);
    ExpectVideo(Probe(out), H264(), kAvc1);
}

TEST_F(Mp4Writer, FinishIsFinalAndTheDestructorFinishes) {
    const fs::path a = m_dir / "a.mp4";
    const fs::path b = m_dir / "b.mp4";
    {
        CMp4Writer w(a.string());
        FeedVideo(w, H264());
    }
    ExpectVideo(Probe(a), H264(), kAvc1);

    CMp4Writer w(b.string());
    FeedVideo(w, H264());
    EXPECT_EQ(w.Finish(), 1);
    const auto size = fs::file_size(b);
    EXPECT_EQ(w.Finish(), 1);
    const TessaroFrame f = VideoRecord(H264().pics[0], TESSARO_CODEC_H264, 25, 320, 180);
    EXPECT_EQ(w.InputFrame(&f), 0);
    EXPECT_EQ(fs::file_size(b), size);
    ExpectVideo(Probe(b), H264(), kAvc1);
}

TEST_F(Mp4Writer, UnknownExtensionFallsBackToMpeg) {
    const fs::path out = m_dir / "clip.unknownext";
    CMp4Writer w(out.string());
    FeedVideo(w, H264());
    EXPECT_EQ(w.Finish(), 1);
    const SProbe p = Probe(out);
    ASSERT_TRUE(p.bOpened);
    EXPECT_EQ(p.strFormat, "mpeg");
    EXPECT_EQ(p.video.strCodec, "h264");
    EXPECT_EQ(p.video.nDecodedFrames, 50);
}

}  // namespace
