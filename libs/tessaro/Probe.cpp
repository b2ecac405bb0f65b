#include "Probe.h"

#include "tessaro.h"

#include <cstring>
#include <initializer_list>

namespace tessaro {

namespace {

bool at(const uint8_t* p, size_t n, size_t off, const char* magic, size_t len) {
    return n >= off + len && std::memcmp(p + off, magic, len) == 0;
}

// Transport packets: the sync byte every packetBytes, five times in a row
// (three in a short input), starting within the first two packets.
ProbeResult probeTs(const uint8_t* p, size_t n) {
    ProbeResult r;
    for (const uint32_t size : {188u, 192u, 204u}) {
        const size_t packets = n / size;
        const size_t need = packets >= 6 ? 5 : 3;
        if (packets < need) continue;
        for (size_t k = 0; k < 2 * size && k + (need - 1) * size < n; ++k) {
            bool ok = true;
            for (size_t j = 0; j < need && ok; ++j) ok = p[k + j * size] == 0x47;
            if (ok) {
                r.container = TESSARO_CONTAINER_TS;
                r.packetBytes = size;
                r.syncAt = k;
                return r;
            }
        }
    }
    return r;
}

size_t adtsFrameBytes(const uint8_t* p) {
    if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0 || ((p[2] >> 2) & 0x0F) > 12) return 0;
    return (size_t{p[3] & 0x03u} << 11) | (size_t{p[4]} << 3) | (p[5] >> 5);
}

// A frame header at 0 and the next frame's where the first says it is.
bool chained(const uint8_t* p, size_t n, size_t (*frameBytes)(const uint8_t*), size_t header) {
    if (n < header) return false;
    const size_t first = frameBytes(p);
    if (first < header) return false;
    if (first + header > n) return first == n;  // one frame, the whole input
    return frameBytes(p + first) >= header;
}

int32_t probeMagic(const uint8_t* p, size_t n) {
    if (n >= 8 &&
        (at(p, n, 4, "ftyp", 4) || at(p, n, 4, "moov", 4) || at(p, n, 4, "mdat", 4) || at(p, n, 4, "styp", 4) ||
         at(p, n, 4, "wide", 4) || at(p, n, 4, "free", 4) || at(p, n, 4, "skip", 4) || at(p, n, 4, "pnot", 4)))
        return TESSARO_CONTAINER_MP4;
    if (at(p, n, 0, "\x1A\x45\xDF\xA3", 4)) return TESSARO_CONTAINER_MATROSKA;
    if (at(p, n, 0, "RIFF", 4) || at(p, n, 0, "RIFX", 4)) {
        if (at(p, n, 8, "AVI ", 4) || at(p, n, 8, "AVIX", 4)) return TESSARO_CONTAINER_AVI;
        if (at(p, n, 8, "WAVE", 4)) return TESSARO_CONTAINER_WAV;
        return TESSARO_CONTAINER_RIFF;
    }
    if (at(p, n, 0, "FLV\x01", 4)) return TESSARO_CONTAINER_FLV;
    if (at(p, n, 0, "DKIF", 4)) return TESSARO_CONTAINER_IVF;
    if (at(p, n, 0, "\xFF\xD8\xFF", 3)) return TESSARO_CONTAINER_JPEG;
    if (at(p, n, 0, "\x89PNG\r\n\x1A\n", 8)) return TESSARO_CONTAINER_PNG;
    if (at(p, n, 0, "OggS", 4)) return TESSARO_CONTAINER_OGG;
    if (at(p, n, 0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11", 8)) return TESSARO_CONTAINER_ASF;
    if (at(p, n, 0, "fLaC", 4)) return TESSARO_CONTAINER_FLAC;
    if (at(p, n, 0, "GIF87a", 6) || at(p, n, 0, "GIF89a", 6)) return TESSARO_CONTAINER_GIF;
    if (at(p, n, 0, "ID3", 3) && n >= 4 && p[3] < 5) return TESSARO_CONTAINER_MPEG_AUDIO;
    if (chained(p, n, adtsFrameBytes, 7)) return TESSARO_CONTAINER_ADTS;
    if (chained(p, n, mpegAudioFrameBytes, 4)) return TESSARO_CONTAINER_MPEG_AUDIO;
    return TESSARO_CONTAINER_UNKNOWN;
}

struct Name {
    int32_t container;
    const char* word;
};

constexpr Name kNames[] = {
    {TESSARO_CONTAINER_ES, "es"},
    {TESSARO_CONTAINER_PS, "ps"},
    {TESSARO_CONTAINER_TS, "ts"},
    {TESSARO_CONTAINER_MP4, "mp4"},
    {TESSARO_CONTAINER_MATROSKA, "matroska"},
    {TESSARO_CONTAINER_AVI, "avi"},
    {TESSARO_CONTAINER_FLV, "flv"},
    {TESSARO_CONTAINER_IVF, "ivf"},
    {TESSARO_CONTAINER_WAV, "wav"},
    {TESSARO_CONTAINER_JPEG, "jpeg"},
    {TESSARO_CONTAINER_PNG, "png"},
    {TESSARO_CONTAINER_OGG, "ogg"},
    {TESSARO_CONTAINER_MPEG_AUDIO, "mpeg-audio"},
    {TESSARO_CONTAINER_ADTS, "adts"},
    {TESSARO_CONTAINER_ASF, "asf"},
    {TESSARO_CONTAINER_FLAC, "flac"},
    {TESSARO_CONTAINER_GIF, "gif"},
    {TESSARO_CONTAINER_RIFF, "riff"},
};

}  // namespace

size_t mpegAudioFrameBytes(const uint8_t* p) {
    static const uint16_t kRate[2][3][15] = {{{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
                                              {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
                                              {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
                                             {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
                                              {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
                                              {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static const uint32_t kSampleRate[3] = {44100, 48000, 32000};
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return 0;
    const unsigned version = (p[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const unsigned layer = 4 - ((p[1] >> 1) & 3);
    const unsigned rateIndex = p[2] >> 4;
    const unsigned srIndex = (p[2] >> 2) & 3;
    if (version == 1 || layer == 4 || rateIndex == 0 || rateIndex == 15 || srIndex == 3) return 0;
    const bool mpeg1 = version == 3;
    const uint32_t kbps = kRate[mpeg1 ? 0 : 1][layer - 1][rateIndex];
    const uint32_t sampleRate = kSampleRate[srIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const uint32_t padding = (p[2] >> 1) & 1;
    if (layer == 1) return (12 * kbps * 1000 / sampleRate + padding) * 4;
    const uint32_t factor = layer == 3 && !mpeg1 ? 72 : 144;
    return factor * kbps * 1000 / sampleRate + padding;
}

ProbeResult probe(const uint8_t* p, size_t n) {
    ProbeResult r;
    if (n == 0) return r;
    r.container = probeMagic(p, n);
    if (r.container != TESSARO_CONTAINER_UNKNOWN) return r;
    // A start code at the very start is a bare stream or a program stream:
    // the parser tells which.
    if (n >= 4 && p[0] == 0 && p[1] == 0 && (p[2] == 1 || (p[2] == 0 && p[3] == 1))) {
        const uint8_t code = p[2] == 1 ? p[3] : n >= 5 ? p[4] : 0;
        r.container = code == 0xBA ? TESSARO_CONTAINER_PS : code < 0x80 ? TESSARO_CONTAINER_ES : 0;
        return r;
    }
    return probeTs(p, n);
}

const char* containerName(int32_t container) {
    for (const Name& name : kNames) {
        if (name.container == container) return name.word;
    }
    return "unknown";
}

}  // namespace tessaro
