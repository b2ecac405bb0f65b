// The timing policy, named once: how far the times of a recording are
// believed, and what is done beyond that. The parser, the join and both
// writers take their limits from here; each writer only rescales.
#pragma once

#include <cstdint>

#include "libs/tessaro/tessaro.h"

namespace timing {

inline constexpr int64_t kTicksPerSecond = TESSARO_TICKS_PER_SECOND;
// The recorder's stamps are 33-bit counts that wrap about every 26.5 hours.
inline constexpr int64_t kStampWrap = int64_t{1} << 33;
// Times beyond this magnitude are not meant, and would overflow once scaled
// to a track's timescale.
inline constexpr int64_t kMaxTime = int64_t{1} << 52;

// The parser's clock: a step back beyond any B-frame reordering, or forward
// beyond any pause a recorder leaves in one file, is a jump it bridges;
// smaller steps are kept as they are (dropped frames, a night-mode rate).
inline constexpr int64_t kMaxStepBack = 1 * kTicksPerSecond;
inline constexpr int64_t kMaxStepForward = 5 * kTicksPerSecond;
// Audio the parser holds for a stream map that does not come.
inline constexpr int64_t kMaxHeldAudioTicks = 2 * kTicksPerSecond;

// A join: a step between two recorder clocks of less than half a wrap is a
// pause and kept; more is a clock that started again, and the join goes on.
inline constexpr int64_t kMaxJoinGap = kStampWrap / 2;
// A picture's duration from its rate is believed up to this; without a rate
// a picture lasts 1/25 s.
inline constexpr int64_t kMaxPictureStep = 10 * kTicksPerSecond;
inline constexpr int64_t kDefaultPictureStep = kTicksPerSecond / 25;
// A cut keeps the sound of this long before its key frame.
inline constexpr int64_t kCutSoundBefore = 1 * kTicksPerSecond;

// MP4 video: a record this far behind the one before has a stray time, and so
// has one this far ahead (a step the track could not hold either); a decode
// time this far before the presentation time is no reordering.
inline constexpr int64_t kMp4VideoFarBehind = 3 * kTicksPerSecond;
inline constexpr int64_t kMp4VideoFarAhead = 600 * kTicksPerSecond;
inline constexpr int64_t kMp4MaxReorder = 3 * kTicksPerSecond;
// What the MP4 writer holds before its tracks are known: about a second.
inline constexpr int64_t kMp4HoldTicks = 1 * kTicksPerSecond;

// MP4 sound: drift within the tolerance is left alone, so that jitter in the
// stamps does not chop the sound; a gap up to the largest kept is filled
// with silence (never more than the free silence beyond what really came);
// a time farther off is not believed and the sound follows on.
inline constexpr int64_t kMp4AudioToleranceMs = 40;
inline constexpr int64_t kMp4AudioMaxGapSeconds = 600;
inline constexpr int64_t kMp4AudioFarBehindSeconds = 3;
inline constexpr int64_t kMp4FreeSilenceSeconds = 600;

// AVI: a track has no times of its own, only a grid; a gap up to this keeps
// its length (pictures keep their place on the grid, silence fills the
// sound); beyond it is damage, not the recorder's clock, and gets no filler.
// The tolerance is that of MP4 sound, for the same reason.
inline constexpr int64_t kAviMaxGapSeconds = 60;
inline constexpr int64_t kAviAudioToleranceMs = 40;

}  // namespace timing
