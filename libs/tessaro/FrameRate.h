// Exact frame rates: from a stream's timing information or from the spacing
// of its time stamps, and the 90 kHz times they give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "libs/tessaro/tessaro.h"

namespace tessaro {

// Rates outside this range are treated as absent: cameras do write nonsense
// timing (e.g. a 90 kHz tick) and the writer would turn it into a broken file.
constexpr unsigned kMaxFrameRate = 240;
constexpr int64_t kTicksPerSecond = TESSARO_TICKS_PER_SECOND;
constexpr uint32_t kMaxRateDen = 65535;

struct FrameRate {
    uint32_t num = 0;
    uint32_t den = 0;
    bool known() const { return num != 0 && den != 0; }
    bool operator==(const FrameRate&) const = default;
};

// num/den in lowest terms, or unknown when it is not a plausible rate.
FrameRate makeRate(uint64_t num, uint64_t den);
// The rate rounded to whole frames per second, 0 when unknown.
unsigned roundedRate(FrameRate r);
// 90 kHz time of the given number of frames at rate r, rounded; exact for
// any count, so adding frames one by one never drifts.
int64_t framesToTicks(FrameRate r, int64_t frames);

// The rate that stamps spaced about `ticks` apart stand for: a common rate
// (30000/1001, 25, 12.5 ...) when one lies within half a percent.
FrameRate rateFromSpacing(double ticks);

// The typical spacing of a stream's time stamps, in decoding order.
class SpacingRate {
public:
    void note(int64_t t);
    void reset();
    // Spacings seen that look like one frame apart.
    size_t samples() const { return m_deltas.size(); }
    FrameRate rate() const { return m_rate; }

private:
    void update();

    bool m_haveLast = false;
    int64_t m_last = 0;
    std::deque<uint32_t> m_deltas;
    FrameRate m_rate;
};

}  // namespace tessaro
