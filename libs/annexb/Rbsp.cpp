#include "libs/annexb/Rbsp.h"

namespace annexb {

std::vector<uint8_t> UnescapeRbsp(const uint8_t* p, size_t n, size_t maxOut) {
    std::vector<uint8_t> out(n < maxOut ? n : maxOut);
    uint8_t* o = out.data();
    uint8_t* const end = o + out.size();
    int zeros = 0;
    for (size_t i = 0; i < n && o != end; ++i) {
        const uint8_t b = p[i];
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        *o++ = b;
    }
    out.resize(static_cast<size_t>(o - out.data()));
    return out;
}

}  // namespace annexb
