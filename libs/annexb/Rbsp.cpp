#include "libs/annexb/Rbsp.h"

namespace annexb {

std::vector<uint8_t> UnescapeRbsp(const uint8_t* p, size_t n, size_t maxOut) {
    std::vector<uint8_t> out;
    out.reserve(n < maxOut ? n : maxOut);
    int zeros = 0;
    for (size_t i = 0; i < n && out.size() < maxOut; ++i) {
        uint8_t b = p[i];
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
    return out;
}

}  // namespace annexb
