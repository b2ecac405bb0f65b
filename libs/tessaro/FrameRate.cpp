#include "FrameRate.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace tessaro {

namespace {

constexpr size_t kMaxDeltas = 32;

struct Common {
    uint32_t num, den;
};
// Rates whose spacing is not a whole number of ticks, and the half rates.
constexpr Common kCommon[] = {{24000, 1001}, {30000, 1001}, {60000, 1001}, {120000, 1001}, {15, 2}, {25, 2}, {45, 2}};

}  // namespace

FrameRate makeRate(uint64_t num, uint64_t den) {
    if (num == 0 || den == 0 || num / kMaxFrameRate > den || num * 2 < den) return {};
    uint64_t g = std::gcd(num, den);
    num /= g;
    den /= g;
    if (num > uint64_t{kMaxFrameRate} * den) return {};
    if (den > kMaxRateDen)  // no rate in use needs it: thousandths of a frame will do
        return makeRate((num * 1000 + den / 2) / den, 1000);
    return {static_cast<uint32_t>(num), static_cast<uint32_t>(den)};
}

unsigned roundedRate(FrameRate r) {
    if (!r.known()) return 0;
    return static_cast<unsigned>((uint64_t{r.num} * 2 + r.den) / (uint64_t{r.den} * 2));
}

int64_t framesToTicks(FrameRate r, int64_t frames) {
    if (!r.known()) return frames * (kTicksPerSecond / 25);
    // frames * 90000 * den / num, rounded half up; whole multiples of num
    // first, so that the products stay within 64 bits.
    const int64_t num = r.num;
    const int64_t perNum = kTicksPerSecond * int64_t{r.den};
    int64_t q = frames / num, rem = frames % num;
    if (rem < 0) {
        rem += num;
        --q;
    }
    return q * perNum + (2 * rem * perNum + num) / (2 * num);
}

FrameRate rateFromSpacing(double ticks) {
    if (!(ticks > 0)) return {};
    const double fps = static_cast<double>(kTicksPerSecond) / ticks;
    const double whole = std::floor(fps + 0.5);
    FrameRate best = whole >= 1 ? FrameRate{static_cast<uint32_t>(whole), 1} : FrameRate{};
    double bestMiss = best.known() ? std::fabs(fps - whole) / whole : 1.0;
    for (const Common& c : kCommon) {
        double rate = static_cast<double>(c.num) / c.den;
        double miss = std::fabs(fps - rate) / rate;
        if (miss < bestMiss) {
            best = {c.num, c.den};
            bestMiss = miss;
        }
    }
    if (bestMiss <= 0.005) return makeRate(best.num, best.den);
    return makeRate(kTicksPerSecond, static_cast<uint64_t>(std::llround(ticks)));
}

void SpacingRate::reset() {
    *this = SpacingRate();
}

void SpacingRate::note(int64_t t) {
    if (m_haveLast) {
        int64_t delta = t - m_last;
        // Spacings beyond the plausible frame rates are jumps, not frames.
        if (delta >= kTicksPerSecond / kMaxFrameRate && delta <= kTicksPerSecond) {
            if (m_deltas.size() >= kMaxDeltas) m_deltas.pop_front();
            m_deltas.push_back(static_cast<uint32_t>(delta));
            update();
        }
    }
    m_last = t;
    m_haveLast = true;
}

void SpacingRate::update() {
    // A low percentile rather than the minimum: pictures out of order
    // (B-frames) give multiples of the spacing, a stray stamp noise. The
    // spacings near it are averaged, so stamps rounded to milliseconds still
    // give the rate they stand for.
    std::vector<uint32_t> sorted(m_deltas.begin(), m_deltas.end());
    std::sort(sorted.begin(), sorted.end());
    const double typical = sorted[sorted.size() / 8];
    double sum = 0;
    size_t n = 0;
    for (uint32_t d : sorted) {
        if (std::fabs(d - typical) <= typical * 0.1) {
            sum += d;
            ++n;
        }
    }
    m_rate = rateFromSpacing(n ? sum / static_cast<double>(n) : typical);
}

}  // namespace tessaro
