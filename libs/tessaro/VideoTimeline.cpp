#include "VideoTimeline.h"

#include "tessaro.h"

#include <algorithm>
#include <cstdlib>

namespace tessaro {

namespace {

// Without timing information, stamps settle the rate: a few spacings, or
// this many pictures held, whichever comes first.
constexpr size_t kRateSpacings = 3;
constexpr size_t kRateHold = 8;
// Reorder depth assumed for H.264 that does not state it.
constexpr int kSafeReorder = 4;
// No decoder holds more pictures for reordering than this.
constexpr size_t kMaxReorder = 16;
// Pictures waiting for their times hold no more than this of the store;
// past it they are placed with what is known.
constexpr size_t kMaxHeldBytes = size_t{64} * 1024 * 1024;

const FrameRate kDefaultRate{25, 1};

}  // namespace

uint64_t VideoTimeline::firstStorePos() const {
    for (const Held& h : m_held)
        if (h.pic.owned.empty()) return h.pic.pos;
    return kNoPos;
}

FrameRate VideoTimeline::rate() const {
    if (m_seqRate.known()) return m_seqRate;
    if (m_spacing.rate().known()) return m_spacing.rate();
    return kDefaultRate;
}

int VideoTimeline::reorderDepth(const Picture& pic) const {
    if (pic.reorder >= 0) return pic.reorder;
    if (pic.profile == 0) return m_depth;  // no sequence seen yet: keep what is known
    if (pic.pocIsDecodeOrder || (pic.codec == Codec::H264 && pic.profile == 66))
        return 0;  // order count type 2 never reorders; Baseline has no B slices
    return static_cast<int>(std::min<unsigned>(pic.maxRefFrames, kSafeReorder));
}

void VideoTimeline::add(Picture&& pic) {
    // A new period of order counts (or of codec, or the first stamp) places
    // everything still waiting, at the rate it came with.
    const bool stamped = pic.stamp.hasPts || m_stamped;
    if (stamped || pic.newPeriod || (m_haveCodec && pic.codec != m_codec)) flushOrder();
    if (pic.newPeriod) ++m_period;
    m_codec = pic.codec;
    m_haveCodec = true;
    if (pic.seqRate.known()) m_seqRate = pic.seqRate;
    m_depth = reorderDepth(pic);
    Held h;
    h.pic = std::move(pic);
    h.seq = m_nextSeq++;
    const Stamp& s = h.pic.stamp;
    if (s.hasPts) {
        h.pts = s.ptsTime;
        h.havePts = true;
        h.flags |= s.flags;
        if (s.hasDts || m_sawDts) {
            // Muxers leave out a decoding time equal to the presentation time.
            h.dts = s.hasDts ? s.dtsTime : s.ptsTime;
            h.haveDts = true;
        }
    } else if (m_stamped) {
        h.pts = unstampedPts(h.pic);
        h.havePts = true;
        h.flags |= TESSARO_FLAG_TIME_DERIVED;
        // Decoded one frame after the picture before it.
        if (m_sawDts && m_haveAddedDts) {
            h.dts = m_addedDts + framesToTicks(rate(), 1);
            h.haveDts = true;
        }
    }
    m_haveAddedDts = h.haveDts;
    m_addedDts = h.dts;
    if (s.hasPts) noteStampedCount(h.pic, h.pts);
    if (h.havePts) {
        m_addedMaxPts = m_haveAddedPts ? std::max(m_addedMaxPts, h.pts) : h.pts;
        m_haveAddedPts = true;
    }
    m_heldBytes += h.pic.len;
    m_held.push_back(std::move(h));
    if (!m_held.back().havePts) derive(m_held.back());
    feedOrder();
    release(false);
    if (m_heldBytes > kMaxHeldBytes) flush();
}

// A picture without a stamp in a stamped stream: where its order count puts
// it after the last stamped picture (program streams stamp only the first
// picture that starts in a packet, and B-frames are shown before the P
// decoded ahead of them); without a count to go by, one frame on.
int64_t VideoTimeline::unstampedPts(const Picture& pic) {
    if (pic.pocValid && m_haveCountAnchor && m_anchorPeriod == m_period && m_ticksPerCount > 0)
        return m_anchorPts + (pic.poc - m_anchorPoc) * m_ticksPerCount;
    return (m_haveAddedPts ? m_addedMaxPts : m_maxPts) + framesToTicks(rate(), 1);
}

// Learns the ticks of one order count from two stamped pictures of one
// period: a frame or half of one (H.264 counts fields), nothing else.
void VideoTimeline::noteStampedCount(const Picture& pic, int64_t pts) {
    if (!pic.pocValid) {
        m_haveCountAnchor = false;
        return;
    }
    if (m_haveCountAnchor && m_anchorPeriod == m_period && pic.poc != m_anchorPoc) {
        const int64_t frame = framesToTicks(rate(), 1);
        const int64_t span = pts - m_anchorPts, counts = pic.poc - m_anchorPoc;
        for (const int64_t per : {frame, frame / 2}) {
            if (per > 0 && std::llabs(span - counts * per) <= std::llabs(counts)) {
                m_ticksPerCount = per;
                break;
            }
        }
    }
    m_haveCountAnchor = true;
    m_anchorPeriod = m_period;
    m_anchorPoc = pic.poc;
    m_anchorPts = pts;
}

void VideoTimeline::place(Stamp& s) {
    if (!s.hasPts) return;
    const int64_t extP = m_clock->unwrap(s.pts);
    const int64_t extD = s.hasDts ? m_clock->unwrap(s.dts) : extP;
    const int64_t frame = framesToTicks(rate(), 1);
    // After a jump the decoding times go on one frame after the last; with
    // presentation times only, one frame after the latest shown.
    const int64_t next = s.hasDts ? m_lastAnchor + frame : m_maxPts + frame;
    // Decoding times only rise; presentation times fall back by at most the
    // reorder depth. A little more is wobble, and kept.
    const int64_t back = std::min(kMaxStepBack, (s.hasDts ? 2 : std::max(m_depth, 0) + 2) * frame);
    bool jumped = false;
    const int64_t off = m_clock->offsetFor(extD, m_haveAnchor, m_lastAnchor, back, next, jumped);
    s.ptsTime = extP + off;
    s.dtsTime = extD + off;
    s.flags = jumped ? TESSARO_FLAG_DISCONTINUITY : 0;
    m_sawDts |= s.hasDts;
    m_maxPts = m_stamped ? std::max(m_maxPts, s.ptsTime) : s.ptsTime;
    m_stamped = true;
    m_lastAnchor = s.dtsTime;
    m_haveAnchor = true;
    m_spacing.note(m_lastAnchor);
    m_clock->note(m_lastAnchor);
}

// A picture joins those waiting for their display slot. Once more wait
// than the stream may reorder (what its sequence states, else what any
// decoder could), the lowest order count cannot be passed by a later
// picture and takes the next slot.
void VideoTimeline::derive(const Held& h) {
    // A picture whose count could not be read goes after all so far.
    const int64_t poc = h.pic.pocValid ? h.pic.poc : m_maxPoc + 1;
    m_maxPoc = m_order.empty() ? poc : std::max(m_maxPoc, poc);
    m_order.emplace_back(poc, h.seq);
    const size_t depth = h.pic.reorder >= 0       ? static_cast<size_t>(h.pic.reorder)
                         : h.pic.pocIsDecodeOrder ? 0
                                                  : kMaxReorder;
    while (m_order.size() > depth) releaseLowest();
}

void VideoTimeline::releaseLowest() {
    auto low = std::min_element(m_order.begin(), m_order.end());
    Held& h = m_held[static_cast<size_t>(low->second - m_held.front().seq)];
    m_order.erase(low);
    h.pts = slotTime(m_slot++);
    h.havePts = true;
    h.flags |= TESSARO_FLAG_TIME_DERIVED;
}

void VideoTimeline::flushOrder() {
    while (!m_order.empty()) releaseLowest();
}

// Slots are exact multiples of the frame time since the rate last changed.
int64_t VideoTimeline::slotTime(int64_t slot) {
    const FrameRate r = rate();
    if (!(r == m_slotRate)) {
        if (m_slotRate.known()) {
            m_slotBase += framesToTicks(m_slotRate, slot - m_slotBaseSlot);
            m_slotBaseSlot = slot;
        }
        m_slotRate = r;
    }
    return m_slotBase + framesToTicks(r, slot - m_slotBaseSlot);
}

// Decoding times from presentation times, in decoding order: the smallest of
// the depth+1 largest presentation times so far, as demuxers do. The first
// depth pictures wait for the window to fill.
void VideoTimeline::feedOrder() {
    const size_t width = static_cast<size_t>(std::max(m_depth, 0)) + 1;
    for (size_t i = 0; i < m_held.size(); ++i) {
        Held& h = m_held[i];
        if (h.fed) continue;
        if (h.haveDts) {
            h.fed = true;
            if (!m_primed && !m_window.empty()) {
                // Stamps with decoding times began: settle those waiting below it.
                settleWaiting(std::min(m_window.front() + framesToTicks(rate(), 1), h.dts), i);
            }
            m_primed = true;
            continue;
        }
        if (!h.havePts) break;  // later pictures wait for this one's time
        h.fed = true;
        m_window.insert(std::upper_bound(m_window.begin(), m_window.end(), h.pts), h.pts);
        while (m_window.size() > width) m_window.erase(m_window.begin());
        if (!m_primed) {
            if (m_window.size() < width) continue;
            m_primed = true;
            settleWaiting(m_window.front(), i);
        }
        h.dts = m_window.front();
        h.haveDts = true;
    }
}

// The `count` pictures at the front that were fed without a decoding time
// get times one frame apart, the last one a frame before floor.
void VideoTimeline::settleWaiting(int64_t floor, size_t count) {
    const int64_t frame = framesToTicks(rate(), 1);
    size_t waiting = 0;
    for (size_t i = 0; i < count; ++i) waiting += m_held[i].fed && !m_held[i].haveDts;
    for (size_t i = 0; i < count; ++i) {
        Held& w = m_held[i];
        if (!w.fed || w.haveDts) continue;
        w.dts = floor - static_cast<int64_t>(waiting--) * frame;
        w.haveDts = true;
    }
}

void VideoTimeline::release(bool all) {
    while (!m_held.empty()) {
        Held& h = m_held.front();
        if (!h.havePts || !h.haveDts) break;
        bool settled =
            m_seqRate.known() || !m_stamped || m_spacing.samples() >= kRateSpacings || m_held.size() >= kRateHold;
        if (!all && !settled) break;
        TimedPicture t;
        t.dts = std::min(h.dts, h.pts);
        if (m_haveLastDts && t.dts <= m_lastDts)
            t.dts = m_lastDts + 1;  // decoding times must rise, whatever the stamps say
        // ... and a picture cannot be shown before it is decoded.
        t.pts = std::max(h.pts, t.dts);
        m_lastDts = t.dts;
        m_haveLastDts = true;
        t.flags = h.flags;
        t.rate = rate();
        m_heldBytes -= h.pic.len;
        t.pic = std::move(h.pic);
        m_held.pop_front();
        m_ready.push_back(std::move(t));
    }
}

void VideoTimeline::flush() {
    flushOrder();
    feedOrder();
    if (!m_primed && !m_window.empty()) {
        settleWaiting(m_window.front() + framesToTicks(rate(), 1), m_held.size());
        m_primed = true;
    }
    release(true);
}

}  // namespace tessaro
