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
    /* Video the parser recognises but does not parse; never in a record, only
     * in TessaroStatus. */
    TESSARO_CODEC_MPEG2 = 2,  /* MPEG-1 or MPEG-2 video */
    TESSARO_CODEC_MPEG4 = 3,  /* MPEG-4 Visual */
    TESSARO_CODEC_OTHER = 99, /* a video stream type no one here knows */

    TESSARO_AUDIO_MULAW = 10,
    /* Linear PCM, 16-bit signed little-endian, channels interleaved. */
    TESSARO_AUDIO_PCM16 = 12,
    TESSARO_AUDIO_ALAW = 14,
    /* One ADTS frame per record, header included; nChannels and nSampleRate
     * from that header, nBitsPerSample 16. */
    TESSARO_AUDIO_AAC = 37,
    /* One MPEG-1/2 audio frame (Layer I, II or III) per record, header
     * included; nChannels and nSampleRate from that header. */
    TESSARO_AUDIO_MPEG = 38,
    /* Linear PCM, 24-bit signed little-endian (3 bytes a sample), channels
     * interleaved: DVD-style LPCM of 20 or 24 bits. */
    TESSARO_AUDIO_PCM24 = 39,
    /* Audio the parser recognises but does not hand out; never in a record,
     * only in TessaroStatus.nAudioLeftOut. */
    TESSARO_AUDIO_AC3 = 40,
    TESSARO_AUDIO_DTS = 41,
    TESSARO_AUDIO_EXTRA_STREAM = 97, /* a further audio stream beside the one handed out */
    TESSARO_AUDIO_UNKNOWN = 98       /* an audio stream type no one here knows */
};

/* Record flags (nFlags). */
enum {
    /* nPts/nDts were worked out from the frame rate and the picture order,
     * not read from the stream. */
    TESSARO_FLAG_TIME_DERIVED = 1u << 0,
    /* The recorder's clock jumped (a restart, a wrap it could not explain)
     * just before this record; the times go on one frame after the last. */
    TESSARO_FLAG_DISCONTINUITY = 1u << 1,
    /* The payload's bytes are the caller's until the next call: it may
     * rewrite them where they lie, and the library does not read them again. */
    TESSARO_FLAG_PAYLOAD_WRITABLE = 1u << 2,
    /* Pictures right before this one in decoding order were left out: they
     * lead the key frame before them but need pictures from before it, so
     * nothing can decode them here. */
    TESSARO_FLAG_AFTER_DROPPED = 1u << 3
};

/* A time that is not known. Times are in 90 kHz ticks. */
#define TESSARO_NO_TIME INT64_MIN
/* Ticks per second of every time in a record: the MPEG system clock's 90 kHz. */
#define TESSARO_TICKS_PER_SECOND 90000

/* One unit of a video payload: the offset of its first byte after the start
 * code, and its length without the zero bytes that may trail it. */
typedef struct TessaroNalUnit {
    uint32_t nOffset;
    uint32_t nSize;
} TessaroNalUnit;

/* One parsed frame. The field order and widths are fixed; on a 32-bit build
 * every field sits at its historic offset (checked below), on a 64-bit build
 * the layout is the natural one. Reserved fields are never read by callers. */
typedef struct TessaroFrame {
    uint32_t nReserved0;     /* 0 */
    const uint8_t* pPayload; /* 4: frame payload */
    uint32_t nReserved8;     /* 8 */
    uint32_t nPayloadLen;    /* 12: payload bytes; 0 marks an empty record */
    int32_t nFrameType;      /* 16: 1 video, 2 audio */
    int32_t nFrameKind;      /* 20: video: 0 key frame, else non-key */
    int32_t nCodec;          /* 24: video: 5 H.265, else H.264; audio: encoding */
    uint32_t nFlags;         /* 28: TESSARO_FLAG_* */
    int64_t nPts;            /* 32: presentation time, 90 kHz, or TESSARO_NO_TIME */
    int64_t nDts;            /* 40: decode time, 90 kHz, or TESSARO_NO_TIME */
    uint32_t nRateNum;       /* 48: video: exact frame rate nRateNum/nRateDen; */
    uint32_t nRateDen;       /* 52:        0/0 when unknown */
    uint32_t nFrameRate;     /* 56: video frames per second (rounded) */
    int32_t nWidth;          /* 60 */
    int32_t nHeight;         /* 64 */
    uint32_t nReserved68;    /* 68 */
    uint32_t nChannels;      /* 72: audio channel count */
    uint32_t nBitsPerSample; /* 76: audio bits per decoded sample */
    uint32_t nSampleRate;    /* 80: audio sample rate in Hz */
    /* Video: where the payload's units lie, so that nobody has to look for
     * the start codes again (0 and null when not given). Valid as long as
     * the record. */
    uint32_t nNalUnits;              /* 84: entries of pNalUnits */
    const TessaroNalUnit* pNalUnits; /* 88 */
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
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nFlags) == 28, "nFlags");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nPts) == 32, "nPts");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nDts) == 40, "nDts");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nRateNum) == 48, "nRateNum");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nRateDen) == 52, "nRateDen");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nFrameRate) == 56, "nFrameRate");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nWidth) == 60, "nWidth");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nHeight) == 64, "nHeight");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nChannels) == 72, "nChannels");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nBitsPerSample) == 76, "nBitsPerSample");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nSampleRate) == 80, "nSampleRate");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, nNalUnits) == 84, "nNalUnits");
TESSARO_STATIC_ASSERT(offsetof(TessaroFrame, pNalUnits) == 88, "pNalUnits");
TESSARO_STATIC_ASSERT(sizeof(TessaroFrame) == 92, "record size");
#endif

/* Creates a parser instance; nMode is always 0. Null only when out of memory. */
TESSARO_API void* TessaroCreate(int32_t nMode);

/* Takes what it needs of 1..16384 bytes before it returns. */
TESSARO_API void TessaroInputData(void* hParser, const uint8_t* pData, uint32_t nLen);

/* The next complete frame, or null when none is complete yet. The record and
 * its payload stay valid until the next call on the same handle. */
TESSARO_API const TessaroFrame* TessaroGetNextFrame(void* hParser);

TESSARO_API void TessaroDestroy(void* hParser);

/* The input has ended: every complete picture and all audio still held become
 * available to TessaroGetNextFrame (a picture whose packet the input cut short
 * is dropped). Input after this starts afresh. A caller that never calls it
 * loses only what the parser still held: the open picture, pictures waiting
 * for their display time, audio waiting for a stream map. */
TESSARO_API void TessaroInputEnd(void* hParser);

/* What the parser has learnt of the input so far; input after
 * TessaroInputEnd starts it afresh. */
enum {
    TESSARO_CONTAINER_UNKNOWN = 0,
    TESSARO_CONTAINER_ES = 1, /* raw H.264/H.265 */
    TESSARO_CONTAINER_PS = 2, /* MPEG program stream */
    TESSARO_CONTAINER_TS = 3, /* MPEG transport stream (188, 192 or 204-byte packets) */
    /* Files that are not recorder streams: the parser reads nothing of them. */
    TESSARO_CONTAINER_MP4 = 16,      /* MP4, MOV, 3GP */
    TESSARO_CONTAINER_MATROSKA = 17, /* Matroska, WebM */
    TESSARO_CONTAINER_AVI = 18,
    TESSARO_CONTAINER_FLV = 19,
    TESSARO_CONTAINER_IVF = 20,
    TESSARO_CONTAINER_WAV = 21,
    TESSARO_CONTAINER_JPEG = 22,
    TESSARO_CONTAINER_PNG = 23,
    TESSARO_CONTAINER_OGG = 24,
    TESSARO_CONTAINER_MPEG_AUDIO = 25, /* MP3, MP2 */
    TESSARO_CONTAINER_ADTS = 26,       /* a bare AAC file */
    TESSARO_CONTAINER_ASF = 27,        /* ASF, WMV, WMA */
    TESSARO_CONTAINER_FLAC = 28,
    TESSARO_CONTAINER_GIF = 29,
    TESSARO_CONTAINER_RIFF = 30 /* another RIFF file */
};
/* Containers from TESSARO_CONTAINER_MP4 on are refused. */
#define TESSARO_CONTAINER_IS_FOREIGN(n) ((n) >= TESSARO_CONTAINER_MP4)
enum {
    /* nVideoCodec names video this parser does not turn into records. */
    TESSARO_STATUS_VIDEO_UNSUPPORTED = 1u << 0,
    /* The video codec changed part way; nVideoChangeAt says where. */
    TESSARO_STATUS_VIDEO_CHANGED = 1u << 1,
    /* Audio came that no record carries; nAudioLeftOut says what it was. */
    TESSARO_STATUS_AUDIO_LEFT_OUT = 1u << 2
};
/* What became of one stream of the input. */
enum {
    TESSARO_STREAM_READ = 0,        /* its records are handed out */
    TESSARO_STREAM_NOT_FIRST = 1,   /* another stream of its kind is read */
    TESSARO_STREAM_UNSUPPORTED = 2, /* a codec this parser does not read */
    TESSARO_STREAM_UNKNOWN = 3      /* a stream type no one here knows */
};
enum { TESSARO_STREAM_VIDEO = 1, TESSARO_STREAM_AUDIO = 2, TESSARO_STREAM_OTHER = 3 };
#define TESSARO_MAX_STREAMS 8
typedef struct TessaroStream {
    int32_t nKind;  /* TESSARO_STREAM_VIDEO/AUDIO/OTHER */
    int32_t nCodec; /* TESSARO_CODEC_* or TESSARO_AUDIO_*, 0 unknown */
    uint32_t nId;   /* PID (transport stream) or stream id (program stream) */
    uint32_t nType; /* the stream type the map gives, 0 none */
    int32_t nFate;  /* TESSARO_STREAM_* */
} TessaroStream;

typedef struct TessaroStatus {
    int32_t nContainer;      /* TESSARO_CONTAINER_* */
    int32_t nVideoCodec;     /* first video codec met (TESSARO_CODEC_*), 0 none */
    int32_t nAudioCodec;     /* first audio codec met (TESSARO_AUDIO_*), 0 none */
    uint32_t nFlags;         /* TESSARO_STATUS_* */
    uint64_t nVideoChangeAt; /* input byte offset of the first codec change */
    uint64_t nPictures;      /* video records handed out so far */
    uint64_t nAudioRecords;  /* audio records handed out so far */
    /* Transport stream: packet size, and packets lost or repeated by the
     * continuity counters (the stream goes on after each). */
    uint32_t nPacketBytes;
    uint32_t nReserved;
    uint64_t nContinuityErrors;
    /* The streams the input declares or carries, in the order first met;
     * at most TESSARO_MAX_STREAMS are listed, nStreams counts them all. */
    uint32_t nStreams;
    TessaroStream aStreams[TESSARO_MAX_STREAMS];
    int32_t nAudioLeftOut; /* the first audio left out (TESSARO_AUDIO_*), 0 none */
    /* Pictures that no file can show: those before the first key frame
     * (handed out as non-key records) and the undecodable leading pictures
     * after it (left out). */
    uint64_t nDroppedAtStart;
} TessaroStatus;

/* Fills *pStatus; nSize is sizeof(TessaroStatus) as the caller knows it (a
 * smaller, older struct gets its prefix). 0 done, -1 bad arguments. */
TESSARO_API int32_t TessaroGetStatus(void* hParser, TessaroStatus* pStatus, uint32_t nSize);

/* The first bytes of an input (all of them when it is shorter than 4096):
 * the container they show, TESSARO_CONTAINER_UNKNOWN when only parsing can
 * tell (junk before the first start code). ES and PS are only a first look:
 * parsing may still find a program stream in what began as a bare one. */
TESSARO_API int32_t TessaroProbe(const uint8_t* pData, uint32_t nLen);

/* A short stable word for a container: "es", "ps", "ts", "mp4", "matroska",
 * "avi" ...; "unknown" for codes it does not know. */
TESSARO_API const char* TessaroContainerName(int32_t nContainer);

#ifdef __cplusplus
}
#endif

#endif
