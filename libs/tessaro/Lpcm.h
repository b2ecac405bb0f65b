// DVD-style LPCM as private stream 1 carries it (sub-streams 0xA0..0xA7):
// each packet's payload starts with the sub-stream id, a frame count, a
// pointer and three bytes that give the format; the samples follow,
// big-endian. 20 and 24-bit samples come in groups: the top 16 bits of every
// sample of the group first, then the low bits of each (a byte, or a nibble).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaro {

// Sub-stream id, frame count, first access unit pointer, three format bytes.
constexpr size_t kLpcmHeaderBytes = 7;

inline bool isLpcmSubStream(uint8_t id) {
    return id >= 0xA0 && id <= 0xA7;
}

struct LpcmFormat {
    unsigned bits = 0;  // 16, 20 or 24
    unsigned sampleRate = 0;
    unsigned channels = 0;

    bool operator==(const LpcmFormat& o) const {
        return bits == o.bits && sampleRate == o.sampleRate && channels == o.channels;
    }
    bool operator!=(const LpcmFormat& o) const { return !(*this == o); }
    // Bytes a sample takes in the records: 16-bit stays, 20 and 24 become 24.
    unsigned outBytes() const { return bits == 16 ? 2 : 3; }
    // Samples of the smallest run that holds whole groups and whole sample
    // frames; its size on the wire.
    unsigned unitSamples() const;
    unsigned unitBytes() const { return unitSamples() * bits / 8; }
};

// h: the three format bytes. False for the reserved depth.
bool parseLpcmFormat(const uint8_t* h, LpcmFormat& f);

// Turns `units` whole units of wire bytes into little-endian samples
// (16-bit, or 24-bit for 20 and 24) appended to out, channels interleaved.
void convertLpcm(const LpcmFormat& f, const uint8_t* p, size_t units, std::vector<uint8_t>& out);

}  // namespace tessaro
