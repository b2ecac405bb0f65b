// What a file is, from its first bytes: the table of the formats the parser
// reads or names. A format the parser reads is one more row here and one
// more mode in the parser.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaro {

// Bytes the probe wants before it decides; a shorter input is probed whole
// at its end.
constexpr size_t kProbeBytes = 4096;

struct ProbeResult {
    int32_t container = 0;     // TESSARO_CONTAINER_*, 0 when parsing must tell
    uint32_t packetBytes = 0;  // transport stream: 188, 192 or 204
    size_t syncAt = 0;         // transport stream: offset of the first sync byte
};

ProbeResult probe(const uint8_t* p, size_t n);
const char* containerName(int32_t container);

// An MPEG audio frame header at p (4 bytes): the frame's length in bytes,
// 0 when it is not one. Free-format frames count as not one.
size_t mpegAudioFrameBytes(const uint8_t* p);

}  // namespace tessaro
