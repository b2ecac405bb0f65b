// libFuzzer target: the parser's C interface fed in chunks whose sizes come
// from the input itself, draining and touching every record, ending the
// input part way and at the end, and reading the status.
#include "libs/tessaro/tessaro.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void drain(void* h) {
    while (const TessaroFrame* f = TessaroGetNextFrame(h)) {
        volatile uint8_t sink = 0;
        if (f->pPayload && f->nPayloadLen)
            sink = static_cast<uint8_t>(f->pPayload[0] ^ f->pPayload[f->nPayloadLen - 1]);
        (void)sink;
        if (f->nFrameType == TESSARO_FRAME_VIDEO && f->nFrameKind == TESSARO_KIND_KEY &&
            (f->nWidth <= 0 || f->nHeight <= 0 || f->nFrameRate == 0))
            std::abort();  // a key frame must be able to open an output
        if (f->nFrameType == TESSARO_FRAME_VIDEO && (f->nRateNum == 0 || f->nRateDen == 0 || f->nDts > f->nPts))
            std::abort();
        // The G.711 writers take no more than 1535 bytes; PCM records hold
        // whole sample frames of at most 4608 bytes.
        const bool bG711 = f->nCodec == TESSARO_AUDIO_ALAW || f->nCodec == TESSARO_AUDIO_MULAW;
        const bool bPcm = f->nCodec == TESSARO_AUDIO_PCM16 || f->nCodec == TESSARO_AUDIO_PCM24;
        if (f->nFrameType == TESSARO_FRAME_AUDIO &&
            ((bG711 && f->nPayloadLen > 1535) || (bPcm && f->nPayloadLen > 4608)))
            std::abort();
        if (f->nPts == TESSARO_NO_TIME || f->nDts == TESSARO_NO_TIME) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first two bytes seed the chunk sizes (1..16384).
    uint32_t seed = static_cast<uint32_t>(data[0]) << 8 | data[1];
    data += 2;
    size -= 2;
    void* h = TessaroCreate(0);
    if (!h) return 0;
    // Some inputs end part way and go on as a new stream.
    const size_t split = (seed & 7) == 0 ? size / 2 : size;
    size_t off = 0;
    while (off < size) {
        seed = seed * 1103515245u + 12345u;
        size_t chunk = (seed >> 8) % 4 == 0 ? 1 + (seed >> 12) % 16384 : 1 + (seed >> 12) % 64;
        if (off < split && chunk > split - off) chunk = split - off;
        if (chunk > size - off) chunk = size - off;
        TessaroInputData(h, data + off, static_cast<uint32_t>(chunk));
        off += chunk;
        drain(h);
        if (off == split && split < size) {
            TessaroInputEnd(h);
            drain(h);
        }
    }
    TessaroInputEnd(h);
    drain(h);
    TessaroStatus status;
    if (TessaroGetStatus(h, &status, sizeof status) != 0 ||
        (status.nContainer > TESSARO_CONTAINER_TS && !TESSARO_CONTAINER_IS_FOREIGN(status.nContainer)))
        std::abort();
    if (status.nContainer == TESSARO_CONTAINER_TS && status.nPacketBytes != 188 && status.nPacketBytes != 192 &&
        status.nPacketBytes != 204)
        std::abort();
    TessaroDestroy(h);
    return 0;
}
