// Gives every picture its presentation and decoding time and the stream's
// exact rate. Pictures come in decoding order and leave in it, held until
// their times are known: stamped pictures through the shared clock, others
// from the rate; missing decoding times are worked out from the
// presentation times and the reorder depth.
#pragma once

#include "Clock.h"
#include "FrameRate.h"
#include "VideoAssembler.h"

#include <cstdint>
#include <deque>
#include <vector>

namespace tessaro {

struct TimedPicture {
    Picture pic;
    int64_t pts = 0;
    int64_t dts = 0;
    uint32_t flags = 0;  // TESSARO_FLAG_*
    FrameRate rate;
};

class VideoTimeline {
public:
    explicit VideoTimeline(Clock& clock) : m_clock(&clock) {}

    // Puts a video packet's stamps on the clock, in stream order.
    void place(Stamp& stamp);
    void add(Picture&& pic);
    // The input has ended (or too much is held): every picture held gets
    // its times.
    void flush();

    std::deque<TimedPicture>& ready() { return m_ready; }
    // Input offset of the first picture held, kNoPos if none.
    uint64_t pendingFrom() const { return m_held.empty() ? kNoPos : m_held.front().pic.start; }
    // Store position of the first picture held that points into the store.
    uint64_t firstStorePos() const;

private:
    struct Held {
        Picture pic;
        uint64_t seq = 0;  // decoding order
        bool havePts = false, haveDts = false, fed = false;
        int64_t pts = 0, dts = 0;
        uint32_t flags = 0;
    };

    void derive(const Held& h);
    void releaseLowest();
    void flushOrder();
    int64_t slotTime(int64_t slot);
    void feedOrder();
    void settleWaiting(int64_t floor, size_t waiting);
    void release(bool all);
    FrameRate rate() const;
    int reorderDepth(const Picture& pic) const;

    Clock* m_clock;
    std::deque<Held> m_held;
    size_t m_heldBytes = 0;
    std::deque<TimedPicture> m_ready;

    FrameRate m_seqRate;
    SpacingRate m_spacing;
    // Stamps placed so far, in stream order.
    bool m_stamped = false, m_sawDts = false;
    bool m_haveAnchor = false;
    int64_t m_lastAnchor = 0;  // last decoding time (or presentation time without one)
    int64_t m_maxPts = 0;
    // The latest presentation time among the pictures added.
    bool m_haveAddedPts = false;
    int64_t m_addedMaxPts = 0;
    // The last stamped picture's order count, time and period of counts, and
    // the ticks one count stands for (learned from two stamped pictures of
    // one period, 0 unknown): a picture without a stamp is placed by its count.
    uint64_t m_period = 0;
    bool m_haveAddedDts = false;
    int64_t m_addedDts = 0;  // the decoding time of the last picture added
    bool m_haveCountAnchor = false;
    uint64_t m_anchorPeriod = 0;
    int64_t m_anchorPoc = 0, m_anchorPts = 0;
    int64_t m_ticksPerCount = 0;

    int64_t unstampedPts(const Picture& pic);
    void noteStampedCount(const Picture& pic, int64_t pts);
    // Pictures with no stamp in a stream that never had one go to display
    // slots one frame apart, in order of their order counts.
    uint64_t m_nextSeq = 0;
    std::vector<std::pair<int64_t, uint64_t>> m_order;  // order count, seq
    int64_t m_maxPoc = 0;
    bool m_haveCodec = false;
    Codec m_codec = Codec::Unknown;
    int64_t m_slot = 0;
    int64_t m_slotBase = 0, m_slotBaseSlot = 0;
    FrameRate m_slotRate;
    // Decoding times from presentation times: the depth+1 largest so far.
    int m_depth = -1;
    bool m_primed = false;  // the window has filled once
    std::vector<int64_t> m_window;
    bool m_haveLastDts = false;
    int64_t m_lastDts = 0;
};

}  // namespace tessaro
