// Test helpers: cutting Frame records from elementary-stream fixtures and
// reading an output file back through libavformat/libavcodec.
#pragma once

#include "libs/tessaro/tessaro.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mp4test {

std::vector<uint8_t> ReadFile(const std::filesystem::path& path);
std::filesystem::path DataPath(const std::string& strName);

// One picture of an Annex-B stream, with the units in front of it.
struct SPicture {
    std::vector<uint8_t> data;
    bool bKey = false;
};
std::vector<SPicture> CutPictures(const std::vector<uint8_t>& es, bool bHevc);

TessaroFrame VideoRecord(const SPicture& pic, int32_t nCodec, uint32_t nRate, int32_t nWidth, int32_t nHeight);
TessaroFrame AudioRecord(const uint8_t* p, uint32_t n, int32_t nCodec, uint32_t nChannels, uint32_t nSampleRate,
                         uint32_t nBits = 16);

// A record of a demuxed fixture; Frame() points into its own payload.
struct SRecord {
    TessaroFrame frame{};
    std::vector<uint8_t> payload;
    TessaroFrame Frame() const {
        TessaroFrame f = frame;
        f.pPayload = payload.data();
        return f;
    }
};

// The packets of a transport stream as the parser would hand them on, in
// file order: video with its 90 kHz times, exact rate and key flag, AAC as
// one ADTS frame per record with its time.
std::vector<SRecord> DemuxRecords(const std::filesystem::path& path);

// 16-bit interleaved sine of nFrames sample frames, every channel alike.
std::vector<int16_t> Sine(double dFreq, int nRate, int nChannels, int nFrames, double dAmp = 8000);

struct SStreamInfo {
    bool bPresent = false;
    std::string strCodec;
    uint32_t nTag = 0;
    int nWidth = 0, nHeight = 0;
    int nSampleRate = 0, nChannels = 0;
    int64_t nPackets = 0;
    double dDuration = 0;       // from the container, seconds
    std::vector<int64_t> vPts;  // packet time stamps in the stream's time base
    double dTimeBase = 0;
    std::vector<uint8_t> vExtradata;  // as the container stores it (avcC, hvcC, ...)
    int64_t nDecodedFrames = 0;       // pictures, or audio samples per channel
    int nDecodeErrors = 0;            // failed calls plus error-level log lines
    double dToneHz = 0;               // audio: dominant frequency by level crossings
    double dPeak = 0;                 // audio: largest absolute sample
    std::vector<std::vector<uint8_t>> vPacketData;
    // Decoded, in output order: times in seconds (what a player shows),
    // video picture checksums and mean luma (0..255).
    std::vector<double> vFrameTimes;
    std::vector<uint32_t> vPictureSums;
    std::vector<double> vLuma;
    // Audio: times where a tone sets in after at least 0.1 s of quiet.
    std::vector<double> vOnsets;
};

struct SProbe {
    bool bOpened = false;
    std::string strFormat;
    SStreamInfo video, audio;
};

SProbe Probe(const std::filesystem::path& path);

// A fresh empty directory for one test's outputs.
std::filesystem::path TempDir(const std::string& strTest);

}  // namespace mp4test
