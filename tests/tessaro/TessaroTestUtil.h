// Helpers shared by the stream-parser tests: running bytes through the C
// interface and looking into the records that come out.
#pragma once

#include "libs/tessaro/tessaro.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tessaro_test {

struct Record {
    int type = 0, kind = 0, codec = 0;
    uint32_t rate = 0;
    int width = 0, height = 0;
    uint32_t channels = 0, bits = 0, sampleRate = 0;
    uint32_t flags = 0;
    int64_t pts = 0, dts = 0;
    uint32_t rateNum = 0, rateDen = 0;
    std::vector<uint8_t> payload;

    bool operator==(const Record&) const = default;
};

std::string dataPath(const std::string& name);
std::vector<uint8_t> readFile(const std::string& path);

Record toRecord(const TessaroFrame& f);

// Pushes the bytes in chunks of the given size, draining after each, and
// ends the input unless told not to.
std::vector<Record> parse(const std::vector<uint8_t>& bytes, size_t chunk = 16384, bool end = true);

std::vector<Record> videoOf(const std::vector<Record>& records);
std::vector<Record> audioOf(const std::vector<Record>& records);

struct Unit {
    int type;                    // NAL type (H.264: 5 bits, H.265: 6 bits)
    size_t startCode;            // 3 or 4
    std::vector<uint8_t> bytes;  // from the header byte on
};
// Walks a payload unit by unit from its first byte, as the writer does.
std::vector<Unit> units(const std::vector<uint8_t>& payload, bool h265);

// The PES packets of a clean program stream (as the test writer makes them),
// in file order.
struct PesPacket {
    uint8_t id = 0;
    bool hasPts = false, hasDts = false;
    int64_t pts = 0, dts = 0;
    size_t payloadAt = 0, payloadLen = 0;
};
std::vector<PesPacket> pesPackets(const std::vector<uint8_t>& ps);

// Pictures ffprobe decodes from the file (video stream 0), -1 on failure.
int ffprobeFrameCount(const std::string& path);

}  // namespace tessaro_test
