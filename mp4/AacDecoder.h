// ADTS frames decoded to float planes, for an encoder track that was
// declared before the AAC came.
#pragma once

#include "FfmpegPtr.h"

#include <cstdint>

class CAacDecoder {
public:
    CAacDecoder();
    ~CAacDecoder();
    CAacDecoder(const CAacDecoder&) = delete;
    CAacDecoder& operator=(const CAacDecoder&) = delete;

    // Decodes one ADTS frame, header included. The samples (float planes)
    // stay valid until the next call; null when nothing came out.
    const AVFrame* Decode(const uint8_t* p, uint32_t n);

private:
    bool Open();

    trelvo::mp4::CodecCtxPtr m_pDecoder;
    trelvo::mp4::PacketPtr m_pPacket;
    trelvo::mp4::FramePtr m_pFrame;
    bool m_bFailed = false;
};
