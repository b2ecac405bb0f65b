#include "Lpcm.h"

#include <numeric>

namespace tessaro {

namespace {

// A group is two samples in mono and four otherwise.
unsigned groupSamples(const LpcmFormat& f) {
    return f.channels == 1 ? 2 : 4;
}

}  // namespace

unsigned LpcmFormat::unitSamples() const {
    return bits == 16 ? channels : std::lcm(groupSamples(*this), channels);
}

bool parseLpcmFormat(const uint8_t* h, LpcmFormat& f) {
    static const unsigned kRates[4] = {48000, 96000, 44100, 32000};
    const unsigned quant = h[1] >> 6;
    if (quant == 3) return false;
    f.bits = 16 + 4 * quant;
    f.sampleRate = kRates[(h[1] >> 4) & 3];
    f.channels = (h[1] & 7) + 1;
    return true;
}

void convertLpcm(const LpcmFormat& f, const uint8_t* p, size_t units, std::vector<uint8_t>& out) {
    const size_t samples = units * f.unitSamples();
    const size_t first = out.size();
    out.resize(first + samples * f.outBytes());
    uint8_t* o = out.data() + first;
    if (f.bits == 16) {
        for (size_t i = 0; i < samples; ++i, p += 2, o += 2) {
            o[0] = p[1];
            o[1] = p[0];
        }
        return;
    }
    const unsigned g = groupSamples(f);
    const size_t groupBytes = size_t{g} * f.bits / 8;
    for (size_t done = 0; done < samples; done += g, p += groupBytes) {
        const uint8_t* low = p + 2 * g;
        for (unsigned s = 0; s < g; ++s, o += 3) {
            uint8_t lo = 0;
            if (f.bits == 24)
                lo = low[s];
            else  // two nibbles a byte, the first sample's high
                lo = static_cast<uint8_t>((s & 1) ? (low[s / 2] & 0x0F) << 4 : low[s / 2] & 0xF0);
            o[0] = lo;
            o[1] = p[2 * s + 1];
            o[2] = p[2 * s];
        }
    }
}

}  // namespace tessaro
