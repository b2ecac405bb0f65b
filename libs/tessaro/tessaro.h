/* Stream parser: recorder stream bytes in, one Frame record per complete frame out. */
#ifndef TESSARO_H
#define TESSARO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TESSARO_BUILDING)
#define TESSARO_API __attribute__((visibility("default")))
#else
#define TESSARO_API
#endif

/* Frame kinds and codec codes carried in the record. */
enum {
    TESSARO_FRAME_VIDEO = 1,
    TESSARO_FRAME_AUDIO = 2,

    TESSARO_KIND_KEY = 0,
    TESSARO_KIND_NONKEY = 1,

    TESSARO_CODEC_H264 = 4,
    TESSARO_CODEC_H265 = 5,

    TESSARO_AUDIO_MULAW = 10,
    TESSARO_AUDIO_PCM16 = 12,
    TESSARO_AUDIO_ALAW = 14
};

/* One parsed frame. The field order and widths are fixed; on a 32-bit build
 * every field sits at its historic offset (checked below), on a 64-bit build
 * the layout is the natural one. Reserved fields are never read by callers. */
typedef struct TessaroFrame {
    uint32_t nReserved0;       /* 0 */
    const uint8_t* pPayload;   /* 4: frame payload */
    uint32_t nReserved8;       /* 8 */
    uint32_t nPayloadLen;      /* 12: payload bytes; 0 marks an empty record */
    int32_t nFrameType;        /* 16: 1 video, 2 audio */
    int32_t nFrameKind;        /* 20: video: 0 key frame, else non-key */
    int32_t nCodec;            /* 24: video: 5 H.265, else H.264; audio: encoding */
    uint32_t nReserved28[7];   /* 28..55 */
    uint32_t nFrameRate;       /* 56: video frames per second */
    int32_t nWidth;            /* 60 */
    int32_t nHeight;           /* 64 */
    uint32_t nReserved68;      /* 68 */
    uint32_t nChannels;        /* 72: audio channel count */
    uint32_t nBitsPerSample;   /* 76: audio bits per decoded sample */
    uint32_t nSampleRate;      /* 80: audio sample rate in Hz */
} TessaroFrame;

#if UINTPTR_MAX == 0xFFFFFFFFu
#ifdef __cplusplus
#define TESSARO_STATIC_ASSERT static_assert
#else
#define TESSARO_STATIC_ASSERT _Static_assert
#endif
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, pPayload) == 4, "pPayload");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nPayloadLen) == 12, "nPayloadLen");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nFrameType) == 16, "nFrameType");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nFrameKind) == 20, "nFrameKind");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nCodec) == 24, "nCodec");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nFrameRate) == 56, "nFrameRate");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nWidth) == 60, "nWidth");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nHeight) == 64, "nHeight");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nChannels) == 72, "nChannels");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nBitsPerSample) == 76, "nBitsPerSample");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nSampleRate) == 80, "nSampleRate");
TESSARO_STATIC_ASSERT(sizeof(TessaroFrame) == 84, "record size");
#endif

/* Creates a parser instance; nMode is always 0. Null only when out of memory. */
TESSARO_API void* TessaroCreate(int32_t nMode);

/* Takes what it needs of 1..16384 bytes before it returns. */
TESSARO_API void TessaroInputData(void* hParser, const uint8_t* pData, uint32_t nLen);

/* The next complete frame, or null when none is complete yet. The record and
 * its payload stay valid until the next call on the same handle. */
TESSARO_API const TessaroFrame* TessaroGetNextFrame(void* hParser);

TESSARO_API void TessaroDestroy(void* hParser);

#ifdef __cplusplus
}
#endif

#endif
