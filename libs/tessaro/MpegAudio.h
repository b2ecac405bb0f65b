// MPEG-1/2/2.5 audio framing (Layer I, II, III): a 4-byte header in front of
// every frame, which alone gives the frame's length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaro {

constexpr size_t kMpegAudioHeaderBytes = 4;

struct MpegAudioHeader {
    size_t length = 0;  // whole frame, header included
    unsigned sampleRate = 0;
    unsigned channels = 0;
    unsigned samples = 0;  // per channel
    unsigned layer = 0;    // 1, 2 or 3
    unsigned version = 0;  // the header's 2-bit field: 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
};

// p holds at least kMpegAudioHeaderBytes. False for anything but a frame
// header of a known length: free-format frames (bit rate 0) are not taken,
// as nothing but a search for the next header tells where they end.
inline bool parseMpegAudio(const uint8_t* p, MpegAudioHeader& h) {
    static const unsigned kRates[3] = {44100, 48000, 32000};
    // kbit/s by [MPEG-1][layer - 1][index]; MPEG-2/2.5 Layer II and III share a row.
    static const unsigned short kBitRates[2][3][15] = {
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}}};
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    const unsigned version = (p[1] >> 3) & 3;
    const unsigned layerBits = (p[1] >> 1) & 3;
    const unsigned rateIndex = p[2] >> 4;
    const unsigned freqIndex = (p[2] >> 2) & 3;
    if (version == 1 || layerBits == 0 || rateIndex == 0 || rateIndex == 15 || freqIndex == 3 || (p[3] & 3) == 2)
        return false;
    const unsigned layer = 4 - layerBits;
    const bool mpeg1 = version == 3;
    const unsigned rate = kRates[freqIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const unsigned bitRate = kBitRates[mpeg1 ? 1 : 0][layer - 1][rateIndex] * 1000u;
    const unsigned padding = (p[2] >> 1) & 1;
    if (layer == 1) {
        h.length = (12 * bitRate / rate + padding) * 4;
        h.samples = 384;
    } else {
        const unsigned perFrame = layer == 3 && !mpeg1 ? 576 : 1152;
        h.length = perFrame / 8 * bitRate / rate + padding;
        h.samples = perFrame;
    }
    h.sampleRate = rate;
    h.channels = (p[3] >> 6) == 3 ? 1 : 2;
    h.layer = layer;
    h.version = version;
    return h.length > kMpegAudioHeaderBytes;
}

// Frames of one stream keep their version, layer and rate.
inline bool sameMpegAudioStream(const MpegAudioHeader& a, const MpegAudioHeader& b) {
    return a.version == b.version && a.layer == b.layer && a.sampleRate == b.sampleRate;
}

// Whether bytes that nothing describes are MPEG audio: a header followed, at
// the length it gives, by two more of the same stream (the last may end the
// bytes), or one frame that is exactly the bytes. Two random bytes pass as a
// header about once in 2000; three in a row at the right distances do not.
inline bool looksLikeMpegAudio(const uint8_t* p, size_t n) {
    for (size_t i = 0; i + kMpegAudioHeaderBytes <= n && i < 4096; ++i) {
        MpegAudioHeader first;
        if (p[i] != 0xFF || !parseMpegAudio(p + i, first)) continue;
        if (i == 0 && first.length == n) return true;  // a packet of one whole frame
        size_t at = i + first.length;
        int found = 1;
        while (found < 3) {
            MpegAudioHeader next;
            if (at == n && found >= 2) break;
            if (at + kMpegAudioHeaderBytes > n || !parseMpegAudio(p + at, next) || !sameMpegAudioStream(first, next))
                break;
            at += next.length;
            ++found;
        }
        if (found >= 3 || (found == 2 && at == n)) return true;
    }
    return false;
}

}  // namespace tessaro
