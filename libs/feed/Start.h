// Where an output's picture and sound start, decided once for both formats.
// The first picture a file can start with is held until the next picture
// comes: when undecodable leading pictures were left out between them, the
// first one is decoded in the last of their slots, right before the next
// picture, so that no hole follows it and the sound, which starts at its
// decoding time in a file without time stamps, starts with it.
#pragma once

#include <deque>
#include <memory>
#include <optional>

#include "libs/feed/Feed.h"
#include "libs/feed/Joined.h"

namespace feed {

class CStartingParser final : public IFrameParser {
public:
    explicit CStartingParser(std::unique_ptr<IFrameParser> pInner) : m_pInner(std::move(pInner)) {}

    void InputData(const uint8_t* pData, uint32_t nLen) override { m_pInner->InputData(pData, nLen); }
    void InputEnd() override;
    const TessaroFrame* GetNextFrame() override;
    bool GetStatus(TessaroStatus& status) override { return m_pInner->GetStatus(status); }

private:
    enum class EState { Before, Holding, Passing };

    const TessaroFrame* Hold();

    std::unique_ptr<IFrameParser> m_pInner;
    EState m_state = EState::Before;
    bool m_bEnded = false;
    std::deque<SHeldRecord> m_held;        // the first key frame and what followed it
    std::optional<SHeldRecord> m_current;  // the held record handed out last
};

// The first picture's decoding time once the next picture is known; next
// follows first in decoding order. Unchanged unless leading pictures were
// left out between them.
int64_t SettledFirstDts(const TessaroFrame& first, const TessaroFrame& next);

// Our stream parser behind the start decision. Null when out of memory.
std::unique_ptr<IFrameParser> CreateStartingParser();

}  // namespace feed
