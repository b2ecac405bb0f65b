#include "AacCopy.h"

#include "AacEncoder.h"
#include "PacketSink.h"

#include <iterator>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace trelvo::mp4 {

namespace {

constexpr int kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

}  // namespace

bool ParseAdts(const uint8_t* p, uint32_t n, SAdtsHeader* pHeader) {
    if (p == nullptr || n < 7 || p[0] != 0xFF || (p[1] & 0xF6) != 0xF0)
        return false;  // no sync word, or a layer other than 0
    SAdtsHeader h;
    h.nHeaderLen = (p[1] & 0x01) != 0 ? 7 : 9;
    h.nObjectType = (p[2] >> 6) + 1;
    h.nFreqIndex = (p[2] >> 2) & 0x0F;
    h.nChannelConfig = ((p[2] & 0x01) << 2) | (p[3] >> 6);
    h.nFrameLen = ((p[3] & 0x03) << 11) | (p[4] << 3) | (p[5] >> 5);
    h.nBlocks = (p[6] & 0x03) + 1;
    if (h.nFreqIndex >= static_cast<int>(std::size(kRates)) || h.nFrameLen <= h.nHeaderLen ||
        static_cast<uint32_t>(h.nFrameLen) > n)
        return false;
    h.nSampleRate = kRates[h.nFreqIndex];
    h.nChannels = h.nChannelConfig == 7 ? 8 : h.nChannelConfig;
    *pHeader = h;
    return true;
}

std::vector<uint8_t> AacConfig(const SAdtsHeader& h) {
    // Object type (5 bits), rate index (4), channel configuration (4), then
    // 1024-sample frames, no core coder, no extension.
    const unsigned v = (static_cast<unsigned>(h.nObjectType) << 11) | (static_cast<unsigned>(h.nFreqIndex) << 7) |
                       (static_cast<unsigned>(h.nChannelConfig) << 3);
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
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
