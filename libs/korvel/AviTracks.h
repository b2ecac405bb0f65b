// What the AVI file declares and how records are placed on its clocks. AVI
// counts chunks, not times: video on a grid of one picture per tick at the
// recording's nominal rate, audio as a contiguous run of samples. Both are
// anchored to the first picture's presentation time, so the sound plays with
// the picture it was recorded with.
#pragma once

#include <cstdint>
#include <vector>

#include "libs/tessaro/Records.h"
#include "libs/tessaro/tessaro.h"

namespace korvel {

struct SVideoInfo {
    bool bFound = false;
    bool bHevc = false;
    int32_t nWidth = 0;
    int32_t nHeight = 0;
    uint32_t nRateNum = 25;  // exact nominal rate
    uint32_t nRateDen = 1;
    std::vector<uint8_t> extradata;  // parameter sets, Annex B
};

enum class EAudioKind { None, G711Alaw, G711Mulaw, Pcm16, Pcm24, Aac, Mpeg };

struct SAudioInfo {
    EAudioKind kind = EAudioKind::None;
    int32_t nCodec = 0;  // the record code it came with
    uint32_t nChannels = 1;
    uint32_t nSampleRate = 8000;
    uint32_t nBytesPerSample = 1;    // PCM kinds
    std::vector<uint8_t> aacConfig;  // AudioSpecificConfig for AAC
    // Framed kinds (AAC, MPEG audio): samples a frame, one frame a chunk.
    uint32_t nFrameSamples = 0;
    uint32_t nLayer = 0;        // MPEG audio: 1, 2 or 3
    uint32_t nMpegVersion = 0;  // MPEG audio: the header's version field
    uint32_t nBitRate = 0;      // MPEG audio: of the first frame, bits a second

    bool Found() const { return kind != EAudioKind::None; }
    bool Framed() const { return kind == EAudioKind::Aac || kind == EAudioKind::Mpeg; }
};

using tessaro::IsUsableKeyFrame;

// The parameter sets of a key frame, each behind a 4-byte start code.
std::vector<uint8_t> ParameterSets(const TessaroFrame& f);

// Video format from the first usable key frame.
SVideoInfo DescribeVideo(const TessaroFrame& f);
// Audio format from an audio record; false for encodings AVI does not carry.
bool DescribeAudio(const TessaroFrame& f, SAudioInfo& a);

// The ADTS header at the start of p: its length (7 or 9), the raw frame after
// it, and the AudioSpecificConfig it implies. False when p is not one whole
// single-block ADTS frame.
struct SAdtsFrame {
    size_t nHeader = 0;
    size_t nFrame = 0;  // whole frame, header included
    uint32_t nSampleRate = 0;
    uint32_t nChannels = 0;  // channel configuration 7 is eight
    uint8_t config[2] = {0, 0};
};
bool ParseAdts(const uint8_t* p, size_t n, SAdtsFrame& out);

// Video ticks: one per picture at the nominal rate, from the record's decode
// time when it has one. A tick never repeats; a gap in the recorder's clock
// leaves empty ticks that the AVI muxer fills with empty chunks (the picture
// holds), so the sound stays in step.
class CVideoGrid {
public:
    CVideoGrid(uint32_t nRateNum, uint32_t nRateDen) : m_nRateNum(nRateNum), m_nRateDen(nRateDen) {}
    int64_t Next(const TessaroFrame& f);

private:
    uint32_t m_nRateNum;
    uint32_t m_nRateDen;
    bool m_bStarted = false;
    int64_t m_nFirstDts = 0;
    int64_t m_nLastTick = -1;
};

// Places audio samples on the track's timeline. Returns, for a record of
// nSamples starting at nPts, how many samples to skip at its start (the
// record began before where the track is) and how many silent samples to
// put in front of it (the record begins after a gap). Records without a time
// follow on directly.
struct SAudioPlacement {
    int64_t nSkip = 0;
    int64_t nSilence = 0;
};
class CAudioClock {
public:
    CAudioClock(uint32_t nSampleRate, int64_t nOriginPts) : m_nRate(nSampleRate), m_nOrigin(nOriginPts) {}
    SAudioPlacement Place(int64_t nPts, int64_t nSamples);
    void Advance(int64_t nSamples) { m_nWritten += nSamples; }
    int64_t Written() const { return m_nWritten; }

private:
    uint32_t m_nRate;
    int64_t m_nOrigin;
    int64_t m_nWritten = 0;
};

}  // namespace korvel
