// The video assembler's intake: which codec the bytes are, where it changes,
// program-stream headers met among the units, and where the bytes came from
// in the input.
#include "VideoAssembler.h"

#include "PsSyntax.h"

#include <algorithm>
#include <cstring>

namespace tessaro {

void VideoAssembler::setCodec(Codec codec, uint64_t at) {
    if (codec == m_codec || codec == Codec::Unknown) return;
    if (m_codec == Codec::Unknown) {
        m_codec = codec;
        return;
    }
    // A map names another codec: everything so far belongs to the old one.
    if (isParsed(m_codec)) {
        m_flushing = true;
        scan();
        m_flushing = false;
    }
    changeCodec(codec, m_buf.end(), at);
}

void VideoAssembler::changeCodec(Codec codec, uint64_t pos, uint64_t at) {
    if (isParsed(m_codec)) {
        if (m_nalStart != kNoPos && m_nalStart < pos) finishNal(m_nalHdr, pos);
        finishPicture(m_cutAt != kNoPos && m_cutAt < pos ? m_cutAt : pos);
    }
    // A change only when something of the old codec was met; a first guess
    // put right is not one.
    if ((m_pictures > 0 || !isParsed(m_codec)) && m_changeAt == kNoPos) m_changeAt = at;
    dropPartial();
    m_pictures = 0;
    m_vps.clear();
    m_sps.clear();
    m_pps.clear();
    m_seq = SeqInfo{};
    m_haveSeq = false;
    m_vpsRate = {};
    m_order = PicOrder();
    m_nalOrders = false;
    m_codec = codec;
    m_scanPos = m_detectPos = std::max(pos, m_buf.begin());
}

// Video this parser does not read: nothing is kept but what may turn out
// to be a program-stream header.
void VideoAssembler::skipUnsupported() {
    const uint64_t end = m_buf.end();
    for (;;) {
        uint64_t q = m_watchPacks ? findStartCode(m_detectPos, end) : kNoPos;
        if (q == kNoPos) {
            m_detectPos = end >= 2 ? std::max(m_detectPos, end - 2) : m_detectPos;
            break;
        }
        int v = packHeaderAt(q, m_buf.at(q), static_cast<size_t>(end - q));
        if (v != 0) {
            m_detectPos = q;
            break;
        }
        m_detectPos = q + 3;
    }
    m_scanPos = m_detectPos;
}

void VideoAssembler::reset() {
    m_auStart = m_nalStart = m_nalHdr = m_cutAt = m_cutHdr = kNoPos;
    m_nalType = -1;
    m_au = AuState{};
    m_scanPos = m_detectPos = m_buf.end();
    m_votes = m_votesH265 = 0;
    m_unread = Codec::Unknown;
    m_packAt = kNoPos;
    m_stampNotes.clear();
    m_marks.clear();
    m_marksLost = false;
    m_codec = Codec::Unknown;
}

std::vector<uint8_t> VideoAssembler::takeFromPack(uint64_t& at) {
    std::vector<uint8_t> out;
    if (m_packAt == kNoPos) return out;
    uint64_t from = std::max(m_packAt, m_buf.begin());
    out.assign(m_buf.at(from), m_buf.at(from) + (m_buf.end() - from));
    at = inputAt(from);
    m_buf.truncate(from);
    while (!m_spans.empty() && m_spans.back().pos >= from) m_spans.pop_back();
    if (!m_spans.empty() && m_spans.back().pos + m_spans.back().len > from)
        m_spans.back().len = from - m_spans.back().pos;
    m_scanPos = std::min(m_scanPos, from);
    m_detectPos = std::min(m_detectPos, from);
    while (!m_marks.empty() && m_marks.back().sc >= from) m_marks.pop_back();
    m_packAt = kNoPos;
    return out;
}

void VideoAssembler::noteSpan(uint64_t at, size_t n) {
    const uint64_t pos = m_buf.end();
    if (!m_spans.empty()) {
        Span& last = m_spans.back();
        if (last.pos + last.len == pos && last.at + last.len == at) {
            last.len += n;
            return;
        }
    }
    m_spans.push_back({pos, at, n});
}

uint64_t VideoAssembler::inputAt(uint64_t pos) const {
    if (m_spans.empty()) return 0;
    auto it =
        std::upper_bound(m_spans.begin(), m_spans.end(), pos, [](uint64_t v, const Span& s) { return v < s.pos; });
    if (it == m_spans.begin()) return m_spans.front().at;
    --it;
    return it->at + (pos - it->pos);
}

uint64_t VideoAssembler::pendingFrom() const {
    if (m_codec != Codec::Unknown && !isParsed(m_codec)) return kNoPos;
    const uint64_t end = m_buf.end();
    uint64_t from = std::max(m_scanPos, m_buf.begin());
    // The zero in front of a start code may belong to the unit after it.
    if (from > m_buf.begin() && from < end && *m_buf.at(from - 1) == 0) --from;
    if (m_auStart != kNoPos) from = std::min(from, m_auStart);
    return from >= end ? kNoPos : inputAt(from);
}

// A program-stream header met among the video units: 1 it starts at q (and is
// noted), 0 it does not, -1 too few bytes to tell yet.
int VideoAssembler::packHeaderAt(uint64_t q, const uint8_t* s, size_t avail) {
    if (!m_watchPacks || s[3] < kEndCode) return 0;
    int v = plausibleHeader(s, avail);
    if (v > 0) m_packAt = q;
    return v;
}

void VideoAssembler::detect() {
    const uint64_t end = m_buf.end();
    bool sawStart = m_votes > 0;
    for (;;) {
        uint64_t q = findStartCode(m_detectPos, end);
        if (q == kNoPos) {
            m_detectPos = end >= 2 ? std::max(m_detectPos, end - 2) : m_detectPos;
            break;
        }
        const uint8_t* s = m_buf.at(q);
        size_t avail = static_cast<size_t>(end - q);
        if (avail >= 4) {
            int v = packHeaderAt(q, s, avail);
            if (v < 0) {
                m_detectPos = q;
                break;
            }
            if (v > 0) return;
        }
        if (avail < 5) {
            m_detectPos = q;
            break;
        }
        m_detectPos = q + 3;
        uint8_t b0 = s[3], b1 = s[4];
        // Video this parser does not read counts once a second code of it
        // follows, so that junk with one such code does not hide a stream.
        if (m_unread != Codec::Unknown && continuesUnreadVideo(b0)) {
            m_codec = m_unread;
            m_scanPos = m_detectPos = m_unreadAt;
            break;
        }
        m_unread = unreadVideoAt(s, avail);
        m_unreadAt = q;
        if (m_unread != Codec::Unknown && b0 == 0x00) {
            m_codec = m_unread;  // an object and a layer code: two already
            m_scanPos = m_detectPos = q;
            break;
        }
        if (m_unread != Codec::Unknown) continue;
        if (b0 & 0x80) continue;
        if (!sawStart) {
            sawStart = true;
            m_scanPos = q;  // parsing begins at the first unit
        }
        if ((b0 & 0x1F) == 7 && annexb::IsKnownH264Profile(b1)) {
            m_codec = Codec::H264;
            break;
        }
        unsigned t265 = (b0 >> 1) & 0x3F;
        if ((b0 & 0x81) == 0 && b1 == 1 && t265 >= 32 && t265 <= 34) {
            m_codec = Codec::H265;
            break;
        }
        ++m_votes;
        if ((b0 & 0x81) == 0 && (b1 & 0xF8) == 0 && (b1 & 7) != 0) ++m_votesH265;
        if (m_votes >= 24) {
            m_codec = m_votesH265 == m_votes ? Codec::H265 : Codec::H264;
            break;
        }
    }
    if (m_codec == Codec::Unknown) {
        if (!sawStart) {
            m_scanPos = m_detectPos;  // nothing worth keeping yet
        } else if (end - m_scanPos > kMaxDetectBytes) {
            m_codec = m_votesH265 > 0 && m_votesH265 == m_votes ? Codec::H265 : Codec::H264;
        }
    }
}

}  // namespace tessaro
