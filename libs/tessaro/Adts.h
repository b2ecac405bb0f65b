// ADTS framing of AAC audio: one header in front of every frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaro {

constexpr size_t kAdtsHeaderBytes = 7;

struct AdtsHeader {
    size_t length = 0;  // whole frame, header included
    unsigned sampleRate = 0;
    unsigned channels = 0;
    unsigned samples = 0;  // per channel
};

// p holds at least kAdtsHeaderBytes. False when this is no frame header
// (wrong sync or layer, reserved rate, no channel layout, impossible length).
inline bool parseAdts(const uint8_t* p, AdtsHeader& h) {
    static const unsigned kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350};
    if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return false;
    unsigned rateIndex = (p[2] >> 2) & 0x0F;
    unsigned channels = ((p[2] & 1u) << 2) | (p[3] >> 6);
    size_t length = (size_t{p[3] & 3u} << 11) | (size_t{p[4]} << 3) | (p[5] >> 5);
    size_t header = (p[1] & 1) ? 7 : 9;  // protection_absent, else a CRC follows
    if (rateIndex >= 13 || channels == 0 || length <= header) return false;
    h.length = length;
    h.sampleRate = kRates[rateIndex];
    h.channels = channels == 7 ? 8 : channels;
    h.samples = 1024 * ((p[6] & 3u) + 1);
    return true;
}

// Whether bytes that no map describes are ADTS: a frame header whose frame
// is followed by another header (or ends the bytes).
inline bool looksLikeAdts(const uint8_t* p, size_t n) {
    for (size_t i = 0; i + kAdtsHeaderBytes <= n && i < 4096; ++i) {
        AdtsHeader h;
        if (p[i] != 0xFF || !parseAdts(p + i, h)) continue;
        size_t next = i + h.length;
        AdtsHeader h2;
        if (next == n || (next + kAdtsHeaderBytes <= n && parseAdts(p + next, h2))) return true;
    }
    return false;
}

}  // namespace tessaro
