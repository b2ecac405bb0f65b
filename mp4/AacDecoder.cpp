#include "AacDecoder.h"

#include "log/Log.h"

#include <climits>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace trelvo::mp4;

CAacDecoder::CAacDecoder() = default;
CAacDecoder::~CAacDecoder() = default;

bool CAacDecoder::Open() {
    const AVCodec* pCodec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    CodecCtxPtr pDecoder(pCodec != nullptr ? avcodec_alloc_context3(pCodec) : nullptr);
    PacketPtr pPacket(av_packet_alloc());
    FramePtr pFrame(av_frame_alloc());
    if (!pDecoder || !pPacket || !pFrame || avcodec_open2(pDecoder.get(), pCodec, nullptr) < 0) {
        TRELVO_LOG_ERROR("mp4", "could not open the AAC decoder");
        return false;
    }
    m_pDecoder = std::move(pDecoder);
    m_pPacket = std::move(pPacket);
    m_pFrame = std::move(pFrame);
    return true;
}

const AVFrame* CAacDecoder::Decode(const uint8_t* p, uint32_t n) {
    if (!m_pDecoder && (m_bFailed || !Open())) {
        m_bFailed = true;
        return nullptr;
    }
    if (p == nullptr || n == 0 || n > static_cast<uint32_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) return nullptr;
    // The decoder reads past the end of its input: a padded copy.
    if (av_new_packet(m_pPacket.get(), static_cast<int>(n)) < 0) return nullptr;
    std::memcpy(m_pPacket->data, p, n);
    av_frame_unref(m_pFrame.get());
    const int r = avcodec_send_packet(m_pDecoder.get(), m_pPacket.get());
    av_packet_unref(m_pPacket.get());
    if (r < 0 || avcodec_receive_frame(m_pDecoder.get(), m_pFrame.get()) < 0 ||
        m_pFrame->format != AV_SAMPLE_FMT_FLTP || m_pFrame->nb_samples <= 0)
        return nullptr;
    return m_pFrame.get();
}
