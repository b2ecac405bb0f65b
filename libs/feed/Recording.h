// A recording as the user asked for it: one input or several joined on one
// timeline, cut to a part, read from its start as often as a writer needs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "libs/feed/Cut.h"
#include "libs/feed/Joined.h"

namespace feed {

// "2024-05-01T12:34:56.040000Z" for microseconds since 1970.
std::string IsoUtc(int64_t nUs);

// The recording time of a file whose first picture shows at nPts: the
// recording's first picture (at nOrigin) was taken at nRecordedUs.
inline int64_t RecordedAt(int64_t nRecordedUs, int64_t nOrigin, int64_t nPts) {
    return nRecordedUs + (nPts - nOrigin) * 100 / 9;
}

class CRecording {
public:
    CRecording(size_t nInputs, uint64_t nTotalBytes, OpenInputFn openInput, CreateParserFn createParser);

    // The part to keep, in ticks from the recording's first picture (CCut::kOpen: open).
    void SetCut(int64_t nFrom, int64_t nTo);
    // These inputs go on a timeline that earlier inputs began (a second
    // output of a join): where it stood, and its first picture's time.
    void Continue(const STimeline& timeline, int64_t nOrigin);

    // Reads the recording from its start; each record kept goes to
    // hooks.onFrame. Reaching the end of the cut ends the run as End.
    SJoinEnd Run(const SFeedHooks& hooks);

    // Of the last run: the cut (where the part starts), the timeline after
    // it, and what the parsers learnt.
    const CCut& Cut() const { return m_cut; }
    const STimeline& Timeline() const { return m_timeline; }
    const TessaroStatus& Status() const { return m_status; }
    uint64_t TotalBytes() const { return m_nTotalBytes; }

private:
    void NoteStatus(IFrameParser& parser);

    size_t m_nInputs;
    uint64_t m_nTotalBytes;
    OpenInputFn m_openInput;
    CreateParserFn m_createParser;
    int64_t m_nFrom = CCut::kOpen;
    int64_t m_nTo = CCut::kOpen;
    STimeline m_start;
    bool m_bOrigin = false;
    int64_t m_nOrigin = 0;
    CCut m_cut{CCut::kOpen, CCut::kOpen};
    STimeline m_timeline;
    TessaroStatus m_status{};
};

}  // namespace feed
