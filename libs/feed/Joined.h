// Several inputs as one recording: each input read through its own parser in
// turn, its records handed on with times moved onto one continuous timeline.
// Both output formats read joined and cut recordings through this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "libs/feed/Feed.h"
#include "libs/tessaro/Limits.h"
#include "libs/tessaro/Records.h"

namespace feed {

inline constexpr int64_t kTicksPerSecond = timing::kTicksPerSecond;

// A key frame a file can start with.
inline bool IsStartKey(const TessaroFrame& f) {
    return tessaro::IsUsableKeyFrame(f);
}

// A record with a payload (and unit table) of its own, for records that must wait.
struct SHeldRecord {
    TessaroFrame frame{};
    std::vector<uint8_t> payload;
    std::vector<TessaroNalUnit> units;

    explicit SHeldRecord(const TessaroFrame& f);
    SHeldRecord(SHeldRecord&& other) noexcept;
    SHeldRecord& operator=(SHeldRecord&& other) noexcept;
    SHeldRecord(const SHeldRecord&) = delete;
    SHeldRecord& operator=(const SHeldRecord&) = delete;
};

// Where the timeline stands after the inputs fed so far; carried from one
// output to the next when a change of format splits a join.
struct STimeline {
    bool bStarted = false;       // pictures came
    int64_t nEnd = 0;            // one picture after the last picture's decode time, on the timeline
    int64_t nClockEnd = 0;       // the same on the last input's own clock
    bool bClockDerived = false;  // the last input's times were worked out, not recorded
};

// Moves each input's times onto the timeline. When the recorder's clock says
// the next input starts after the previous one ended (across the 33-bit wrap
// too) the gap is kept; when it starts before (a restart) or its times were
// worked out from 0, it begins one picture after the previous one's last.
class CTimelineJoiner {
public:
    explicit CTimelineJoiner(const STimeline& start) : m_timeline(start) {}

    // A new input begins; its offset is fixed by its first timed picture.
    void BeginInput();
    // Fixes the current input's offset from a first time (decode time, or
    // presentation time), when it is not fixed yet.
    void Anchor(int64_t nTime, bool bDerived);
    bool Anchored() const { return m_bAnchored; }
    // Moves a record's times (an unknown time stays unknown); a picture
    // moves the end of the timeline.
    void Shift(TessaroFrame& frame);
    const STimeline& Timeline() const { return m_timeline; }

private:
    STimeline m_timeline;
    bool m_bAnchored = false;
    int64_t m_nOffset = 0;
    int64_t m_nLastStep = 0;
};

// Opens the nth input; null when it cannot be read (the caller knows why).
using OpenInputFn = std::function<std::unique_ptr<IInputReader>(size_t nInput)>;
using CreateParserFn = std::function<std::unique_ptr<IFrameParser>()>;

struct SJoinEnd {
    EFeedEnd end = EFeedEnd::End;
    size_t nInput = 0;         // the input that ended the feed early
    bool bOpenFailed = false;  // it could not be opened
    bool bNoParser = false;    // no parser could be made
    std::string strError;      // the system's message for a read that failed
};

// Feeds inputs 0..nInputs-1 in turn, from the timeline as it stood; hooks as
// for Feed, with progress over nTotalBytes of all inputs. onInputDone (may
// be empty) sees each input's parser when its feed ends. On return the
// joiner's timeline is where the last record left it.
SJoinEnd FeedJoined(size_t nInputs, uint64_t nTotalBytes, const OpenInputFn& openInput,
                    const CreateParserFn& createParser, CTimelineJoiner& joiner, const SFeedHooks& hooks,
                    const std::function<void(IFrameParser&)>& onInputDone = nullptr);

// What an input holds at its start: the first usable key frame's video and
// the first sound near it. Two inputs of another shape cannot share a file.
struct SStreamShape {
    bool bVideo = false;
    int32_t nCodec = 0;
    int32_t nWidth = 0;
    int32_t nHeight = 0;
    uint32_t nRateNum = 0;  // the nominal picture rate, nRateNum/nRateDen
    uint32_t nRateDen = 1;
    bool bAudio = false;
    int32_t nAudioCodec = 0;
    uint32_t nSampleRate = 0;
    uint32_t nChannels = 0;
};

// Reads the start of an input, a few MB at most. False when it cannot be read.
bool ProbeShape(IInputReader& input, IFrameParser& parser, SStreamShape& shape);

// Why `next` cannot follow `current` in one file: "" when it can, else what
// changes ("the video codec", "the picture size", "the sound", and for a
// format of one fixed rate (bOneRate) "the picture rate").
// With bG711ToAac (an output that encodes G.711 as AAC) A-law and µ-law
// count as one sound.
std::string ShapeChange(const SStreamShape& current, const SStreamShape& next, bool bOneRate = false,
                        bool bG711ToAac = false);

}  // namespace feed
