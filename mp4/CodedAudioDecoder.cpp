#include "CodedAudioDecoder.h"

#include "log/Log.h"

#include <climits>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace trelvo::mp4;

namespace {

// The float decoders by name: FFmpeg finds the fixed-point MPEG audio ones
// first by id, and those give 16-bit samples.
const AVCodec* FindDecoder(CCodedAudioDecoder::EKind eKind) {
    switch (eKind) {
        case CCodedAudioDecoder::EKind::Aac:
            return avcodec_find_decoder(AV_CODEC_ID_AAC);
        case CCodedAudioDecoder::EKind::MpegLayer1:
            return avcodec_find_decoder_by_name("mp1float");
        case CCodedAudioDecoder::EKind::MpegLayer2:
            return avcodec_find_decoder_by_name("mp2float");
        case CCodedAudioDecoder::EKind::MpegLayer3:
            break;
    }
    return avcodec_find_decoder_by_name("mp3float");
}

}  // namespace

CCodedAudioDecoder::EKind CCodedAudioDecoder::MpegKind(const uint8_t* p, uint32_t n) {
    if (p == nullptr || n < 2 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return EKind::MpegLayer3;
    switch ((p[1] >> 1) & 3) {
        case 3:
            return EKind::MpegLayer1;
        case 2:
            return EKind::MpegLayer2;
        default:
            return EKind::MpegLayer3;
    }
}

CCodedAudioDecoder::CCodedAudioDecoder(EKind eKind) : m_eKind(eKind) {}
CCodedAudioDecoder::~CCodedAudioDecoder() = default;

bool CCodedAudioDecoder::Open() {
    const AVCodec* pCodec = FindDecoder(m_eKind);
    CodecCtxPtr pDecoder(pCodec != nullptr ? avcodec_alloc_context3(pCodec) : nullptr);
    PacketPtr pPacket(av_packet_alloc());
    FramePtr pFrame(av_frame_alloc());
    if (!pDecoder || !pPacket || !pFrame || avcodec_open2(pDecoder.get(), pCodec, nullptr) < 0) {
        TRELVO_LOG_ERROR("mp4", "could not open the %s decoder", m_eKind == EKind::Aac ? "AAC" : "MPEG audio");
        return false;
    }
    m_pDecoder = std::move(pDecoder);
    m_pPacket = std::move(pPacket);
    m_pFrame = std::move(pFrame);
    return true;
}

const AVFrame* CCodedAudioDecoder::Decode(const uint8_t* p, uint32_t n) {
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
