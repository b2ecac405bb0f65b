// AAC from the recorder into the track as it came: the ADTS header read into
// the track's decoder configuration, the frames copied without it.
#pragma once

#include "FfmpegPtr.h"

#include <cstdint>
#include <vector>

class IPacketSink;

namespace trelvo::mp4 {

constexpr int kAacFrameSamples = 1024;

struct SAdtsHeader {
    int nObjectType = 0;  // 1 Main, 2 LC, 3 SSR, 4 LTP
    int nFreqIndex = 0;
    int nSampleRate = 0;
    int nChannelConfig = 0;  // 0: the layout is in the frame itself
    int nChannels = 0;       // 0 with nChannelConfig 0
    int nHeaderLen = 0;      // 7, or 9 with a CRC
    int nFrameLen = 0;       // header included
    int nBlocks = 1;         // raw data blocks in the frame
};

// Reads the header of the ADTS frame at p; false when p does not hold one
// whole frame of a sampling rate AAC has an index for.
bool ParseAdts(const uint8_t* p, uint32_t n, SAdtsHeader* pHeader);

// The AudioSpecificConfig an MP4 track of this stream carries.
std::vector<uint8_t> AacConfig(const SAdtsHeader& header);

// Whether frames like this can be copied into an MP4 track.
bool CanCopy(const SAdtsHeader& header);

}  // namespace trelvo::mp4

class CAacCopy {
public:
    CAacCopy(const trelvo::mp4::SAdtsHeader& config, IPacketSink& sink);

    int SampleRate() const { return m_config.nSampleRate; }
    int Channels() const { return m_config.nChannels; }
    std::vector<uint8_t> Config() const { return trelvo::mp4::AacConfig(m_config); }

    // Whether the frame fits the track's configuration.
    bool Matches(const trelvo::mp4::SAdtsHeader& header) const;

    // Writes the frame's raw data at track sample nPts; negative when the
    // muxer refused it.
    int32_t WriteFrame(const uint8_t* pFrame, const trelvo::mp4::SAdtsHeader& header, int64_t nPts);

    // Writes one frame of silence at nPts; false when none can be made for
    // this configuration (the caller leaves a gap in the times instead).
    bool WriteSilence(int64_t nPts);

private:
    void MakeSilence();

    trelvo::mp4::SAdtsHeader m_config;
    IPacketSink& m_sink;
    trelvo::mp4::PacketPtr m_pPacket;
    std::vector<uint8_t> m_silence;
    bool m_bSilenceTried = false;
};
