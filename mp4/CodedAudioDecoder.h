// Coded audio frames (ADTS AAC, MPEG audio) decoded to float planes, for an
// encoder track: AAC that was declared before it came, and MPEG audio.
#pragma once

#include "FfmpegPtr.h"

#include <cstdint>

class CCodedAudioDecoder {
public:
    enum class EKind { Aac, MpegLayer1, MpegLayer2, MpegLayer3 };

    // The kind of an MPEG audio frame by its header; Layer III when p is no header.
    static EKind MpegKind(const uint8_t* p, uint32_t n);

    explicit CCodedAudioDecoder(EKind eKind);
    ~CCodedAudioDecoder();
    CCodedAudioDecoder(const CCodedAudioDecoder&) = delete;
    CCodedAudioDecoder& operator=(const CCodedAudioDecoder&) = delete;

    // Decodes one frame, header included. The samples (float planes) stay
    // valid until the next call; null when nothing came out.
    const AVFrame* Decode(const uint8_t* p, uint32_t n);
    // The decoder could not be opened: nothing of this kind will decode.
    bool Failed() const { return m_bFailed; }
    EKind Kind() const { return m_eKind; }

private:
    bool Open();

    EKind m_eKind;
    trelvo::mp4::CodecCtxPtr m_pDecoder;
    trelvo::mp4::PacketPtr m_pPacket;
    trelvo::mp4::FramePtr m_pFrame;
    bool m_bFailed = false;
};
