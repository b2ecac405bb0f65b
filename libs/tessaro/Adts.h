// ADTS framing of AAC audio: one header in front of every frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaro {

constexpr size_t kAdtsHeaderBytes = 7;

struct AdtsHeader {
    size_t length = 0;        // whole frame, header included
    size_t headerLength = 0;  // 7, or 9 with a CRC
    unsigned objectType = 0;  // 1 Main, 2 LC, 3 SSR, 4 LTP
    unsigned rateIndex = 0;
    unsigned sampleRate = 0;
    unsigned channelConfig = 0;  // as written; 0: the layout is in the frame itself
    unsigned channels = 0;       // 7 is eight channels; 0 with channelConfig 0
    unsigned blocks = 1;         // raw data blocks in the frame
    unsigned samples = 0;        // per channel
};

// The one reader of ADTS headers. p holds at least kAdtsHeaderBytes. False
// when this is no frame header (wrong sync or layer, reserved rate,
// impossible length); a layout in the frame (channelConfig 0) is a header.
inline bool readAdtsHeader(const uint8_t* p, AdtsHeader& h) {
    static const unsigned kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350};
    if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return false;
    const unsigned rateIndex = (p[2] >> 2) & 0x0F;
    const unsigned channelConfig = ((p[2] & 1u) << 2) | (p[3] >> 6);
    const size_t length = (size_t{p[3] & 3u} << 11) | (size_t{p[4]} << 3) | (p[5] >> 5);
    const size_t header = (p[1] & 1) ? 7 : 9;  // protection_absent, else a CRC follows
    if (rateIndex >= 13 || length <= header) return false;
    h.length = length;
    h.headerLength = header;
    h.objectType = (p[2] >> 6) + 1u;
    h.rateIndex = rateIndex;
    h.sampleRate = kRates[rateIndex];
    h.channelConfig = channelConfig;
    h.channels = channelConfig == 7 ? 8 : channelConfig;
    h.blocks = (p[6] & 3u) + 1;
    h.samples = 1024 * h.blocks;
    return true;
}

// As readAdtsHeader, and the header says its channel layout.
inline bool parseAdts(const uint8_t* p, AdtsHeader& h) {
    AdtsHeader read;
    if (!readAdtsHeader(p, read) || read.channelConfig == 0) return false;
    h = read;
    return true;
}

// The AudioSpecificConfig of the stream: object type (5 bits), rate index
// (4), channel configuration (4), then 1024-sample frames, no core coder, no
// extension.
inline void adtsAudioConfig(const AdtsHeader& h, uint8_t config[2]) {
    const unsigned v = (h.objectType << 11) | (h.rateIndex << 7) | (h.channelConfig << 3);
    config[0] = static_cast<uint8_t>(v >> 8);
    config[1] = static_cast<uint8_t>(v & 0xFF);
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
