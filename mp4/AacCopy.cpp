#include "AacCopy.h"

#include "AacEncoder.h"
#include "PacketSink.h"
#include "libs/tessaro/Adts.h"

#include <iterator>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace trelvo::mp4 {

bool ParseAdts(const uint8_t* p, uint32_t n, SAdtsHeader* pHeader) {
    tessaro::AdtsHeader read;
    if (p == nullptr || n < tessaro::kAdtsHeaderBytes || !tessaro::readAdtsHeader(p, read) || read.length > n)
        return false;
    SAdtsHeader h;
    h.nHeaderLen = static_cast<int>(read.headerLength);
    h.nObjectType = static_cast<int>(read.objectType);
    h.nFreqIndex = static_cast<int>(read.rateIndex);
    h.nSampleRate = static_cast<int>(read.sampleRate);
    h.nChannelConfig = static_cast<int>(read.channelConfig);
    h.nChannels = static_cast<int>(read.channels);
    h.nFrameLen = static_cast<int>(read.length);
    h.nBlocks = static_cast<int>(read.blocks);
    *pHeader = h;
    return true;
}

std::vector<uint8_t> AacConfig(const SAdtsHeader& h) {
    tessaro::AdtsHeader header;
    header.objectType = static_cast<unsigned>(h.nObjectType);
    header.rateIndex = static_cast<unsigned>(h.nFreqIndex);
    header.channelConfig = static_cast<unsigned>(h.nChannelConfig);
    uint8_t config[2];
    tessaro::adtsAudioConfig(header, config);
    return {config[0], config[1]};
}

bool CanCopy(const SAdtsHeader& h) {
    // A layout carried in the frame itself would have to be moved into the
    // configuration; such streams are decoded and encoded instead.
    return h.nChannelConfig != 0;
}

}  // namespace trelvo::mp4

using namespace trelvo::mp4;

CAacCopy::CAacCopy(const SAdtsHeader& config, IPacketSink& sink)
    : m_config(config), m_sink(sink), m_pPacket(av_packet_alloc()) {}

bool CAacCopy::Matches(const SAdtsHeader& h) const {
    return h.nObjectType == m_config.nObjectType && h.nFreqIndex == m_config.nFreqIndex &&
           h.nChannelConfig == m_config.nChannelConfig;
}

int32_t CAacCopy::WriteFrame(const uint8_t* pFrame, const SAdtsHeader& h, int64_t nPts) {
    AVPacket* pPacket = m_pPacket.get();
    if (pPacket == nullptr) return -1;
    // In place, like the video: the muxer is done with it when it returns.
    pPacket->data = const_cast<uint8_t*>(pFrame) + h.nHeaderLen;
    pPacket->size = h.nFrameLen - h.nHeaderLen;
    pPacket->pts = pPacket->dts = nPts;
    pPacket->duration = kAacFrameSamples;
    pPacket->flags = AV_PKT_FLAG_KEY;
    const int32_t r = m_sink.WriteAudioPacket(pPacket);
    av_packet_unref(pPacket);
    return r;
}

bool CAacCopy::WriteSilence(int64_t nPts) {
    if (!m_bSilenceTried) {
        m_bSilenceTried = true;
        MakeSilence();
    }
    if (m_silence.empty()) return false;
    SAdtsHeader h = m_config;
    h.nHeaderLen = 0;
    h.nFrameLen = static_cast<int>(m_silence.size());
    WriteFrame(m_silence.data(), h, nPts);
    return true;
}

// A frame of silence from our encoder, when its configuration says the same
// as the track's: object type, rate and layout.
void CAacCopy::MakeSilence() {
    if (m_config.nObjectType != 2)  // only an LC frame decodes in an LC stream
        return;
    std::vector<uint8_t> config;
    std::vector<uint8_t> silence = CAacEncoder::SilentFrame(SampleRate(), Channels(), &config);
    const std::vector<uint8_t> own = AacConfig(m_config);
    if (silence.empty() || config.size() < 2 || config[0] != own[0] || (config[1] & 0xF8) != (own[1] & 0xF8)) return;
    m_silence = std::move(silence);
}
