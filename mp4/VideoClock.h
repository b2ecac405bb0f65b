// Video time stamps: the recorder's 90 kHz times where the records carry
// them, a frame counter at the exact rate where they do not.
#pragma once

#include <cstdint>

#include "libs/tessaro/tessaro.h"

struct TessaroFrame;

class CVideoClock {
public:
    static constexpr int64_t INPUT_TICKS = TESSARO_TICKS_PER_SECOND;  // record times per second

    // Ticks per second of the track: 90 kHz, or a multiple of it that also
    // holds one picture exactly when the first key frame carries no times and
    // its exact rate does not divide 90 kHz (24000/1001 needs 360 kHz).
    static int64_t ChooseTimescale(const TessaroFrame& key);

    explicit CVideoClock(int64_t nTimescale);

    struct SStamp {
        int64_t nPts = 0;
        int64_t nDts = 0;
        int64_t nDuration = 0;
    };

    // Stamps the next video record in decode order; the first one must be a
    // key frame. False: the picture would show before time zero (a leading
    // picture that needs the pictures before the first key frame); drop it.
    bool Stamp(const TessaroFrame& frame, SStamp* pStamp);

    // The record time that plays at zero, once a record with times came.
    bool ZeroKnown() const { return m_bZeroKnown; }
    int64_t Zero() const { return m_nOffset / m_nScale; }
    int64_t Timescale() const { return m_nScale * INPUT_TICKS; }

private:
    void UpdateRate(const TessaroFrame& frame);
    int64_t CounterDts() const;
    int64_t Step() const;
    bool ToOutput(int64_t nIn, int64_t* pOut) const;
    bool Plausible(int64_t nInDts, int64_t nCounter);

    int64_t m_nScale;  // output ticks per input tick
    int64_t m_nRateNum = 25;
    int64_t m_nRateDen = 1;

    // Output time = record time * m_nScale - m_nOffset, once known.
    bool m_bZeroKnown = false;
    int64_t m_nOffset = 0;
    int64_t m_nFrames = 0;    // pictures stamped
    int64_t m_nLastDts = 0;   // output ticks
    int64_t m_nLastStep = 0;  // output ticks, 0 before the second picture
    // The counter runs from the last picture with a time (or rate change).
    int64_t m_nAnchorDts = 0;
    int64_t m_nAnchorFrame = 0;
    // A record whose time was far behind: stamped by the counter, and where
    // zero moves to when the next record agrees with it.
    bool m_bSuspect = false;
    int64_t m_nSuspectIn = 0;
    int64_t m_nSuspectOut = 0;
};
