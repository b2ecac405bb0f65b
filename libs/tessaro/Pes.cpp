#include "Pes.h"

namespace tessaro {

uint64_t readPesTime(const uint8_t* b) {
    return (uint64_t{b[0] & 0x0Eu} << 29) | (uint64_t{b[1]} << 22) | (uint64_t{b[2] & 0xFEu} << 14) |
           (uint64_t{b[3]} << 7) | (uint64_t{b[4]} >> 1);
}

bool parsePesHeader(const uint8_t* h, size_t have, size_t length, size_t& headerEnd, Stamp& stamp) {
    stamp = Stamp{};
    if (have < 7) return false;
    if ((h[6] & 0xC0) == 0x80) {
        if (have < 9) return false;
        size_t end = 9 + size_t{h[8]};
        if (length != 0 && end > 6 + length) return false;
        headerEnd = end;
        if ((h[7] & 0x80) && h[8] >= 5 && have >= 14) {
            stamp.pts = readPesTime(h + 9);
            stamp.hasPts = true;
            if ((h[7] & 0x40) && h[8] >= 10 && have >= 19) {
                stamp.dts = readPesTime(h + 14);
                stamp.hasDts = true;
            }
        }
        return true;
    }
    size_t i = 6;
    size_t limit = length ? std::min(have, 6 + length) : have;
    while (i < limit && h[i] == 0xFF && i < 6 + 16) ++i;
    if (i + 2 <= limit && (h[i] & 0xC0) == 0x40) i += 2;
    if (i >= limit) return false;
    if ((h[i] & 0xF0) == 0x20 && i + 5 <= limit) {
        stamp.pts = readPesTime(h + i);
        stamp.hasPts = true;
        i += 5;
    } else if ((h[i] & 0xF0) == 0x30 && i + 10 <= limit) {
        stamp.pts = readPesTime(h + i);
        stamp.dts = readPesTime(h + i + 5);
        stamp.hasPts = stamp.hasDts = true;
        i += 10;
    } else if (h[i] == 0x0F) {
        i += 1;
    } else {
        return false;
    }
    headerEnd = i;
    return true;
}

}  // namespace tessaro
