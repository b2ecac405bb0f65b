#include "VideoAssembler.h"

#include "libs/annexb/Units.h"

#include "PsSyntax.h"
#include "log/Log.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tessaro {

namespace {
// Unit starts kept for the pictures being built; a picture with more goes
// without its unit table.
constexpr size_t kMaxUnitMarks = 65536;
}  // namespace

namespace {

constexpr size_t kMaxStampNotes = 64;

void appendWithStartCode(std::vector<uint8_t>& out, const std::vector<uint8_t>& unit) {
    out.insert(out.end(), unit.begin(), unit.end());
}

// True when an H.264 SEI unit (from its header byte on) holds a recovery
// point message: decoding may begin at the picture it comes with.
bool hasRecoveryPoint(const uint8_t* nal, size_t size) {
    if (size < 2) return false;
    const std::vector<uint8_t> rbsp = annexb::UnescapeRbsp(nal + 1, size - 1, 4096);
    size_t i = 0;
    while (i < rbsp.size() && rbsp[i] != 0x80) {  // up to the stop bit
        unsigned type = 0, len = 0;
        while (i < rbsp.size() && rbsp[i] == 0xFF) type += rbsp[i++];
        if (i >= rbsp.size()) return false;
        type += rbsp[i++];
        while (i < rbsp.size() && rbsp[i] == 0xFF) len += rbsp[i++];
        if (i >= rbsp.size()) return false;
        len += rbsp[i++];
        if (type == 6) return true;
        i += len;
    }
    return false;
}

}  // namespace

void VideoAssembler::noteStamp(const Stamp& stamp) {
    if (m_stampNotes.size() >= kMaxStampNotes) m_stampNotes.pop_front();
    m_stampNotes.push_back({m_buf.end(), stamp});
}

void VideoAssembler::push(const uint8_t* p, size_t n, uint64_t at) {
    if (m_packAt != kNoPos) return;  // the caller switches to program-stream parsing
    // Keep what a queued record or the scan still needs; the rest may go.
    uint64_t keep = std::min(m_hold, m_scanPos > 0 ? m_scanPos - 1 : 0);
    if (m_auStart != kNoPos) keep = std::min(keep, m_auStart);
    if (m_nalStart != kNoPos) keep = std::min(keep, m_nalStart);
    m_buf.discardBefore(keep);
    while (m_spans.size() > 1 && m_spans[1].pos <= m_buf.begin()) m_spans.pop_front();
    noteSpan(at, n);
    m_buf.append(p, n);

    if (m_codec == Codec::Unknown) detect();
    if (m_codec == Codec::Unknown) return;
    if (!isParsed(m_codec)) {
        skipUnsupported();
        return;
    }
    scan();
}

uint64_t VideoAssembler::findStartCode(uint64_t from, uint64_t to) const {
    if (from < m_buf.begin()) from = m_buf.begin();
    if (to < from + 3) return kNoPos;
    const size_t len = static_cast<size_t>(to - from);
    const size_t at = annexb::FindStartCode(m_buf.at(from), len);
    return at < len ? from + at : kNoPos;
}

void VideoAssembler::scan() {
    const uint64_t end = m_buf.end();
    // Start code, header and the slice flag; field-coded H.264 needs the
    // slice header up to its field flags.
    for (;;) {
        const size_t look = 3 + (m_codec == Codec::H264 && m_haveSeq && !m_seq.frameMbsOnly ? 21 : kNalPeekBytes);
        uint64_t q = findStartCode(m_scanPos, end);
        if (q == kNoPos) {
            if (end >= 2 && end - 2 > m_scanPos) m_scanPos = end - 2;
            break;
        }
        const uint8_t* s = m_buf.at(q);
        size_t avail = static_cast<size_t>(end - q);
        if (avail < 4) {
            m_scanPos = q;
            break;
        }
        if (s[3] & 0x80) {  // forbidden bit: not a unit start
            int v = packHeaderAt(q, s, avail);
            if (v < 0) {
                m_scanPos = q;
                break;
            }
            if (v > 0) return;
            m_scanPos = q + 3;
            continue;
        }
        if (avail < look && !m_flushing) {
            m_scanPos = q;
            break;
        }
        onNalStart(q);
        m_scanPos = q + 3;
    }
    if (m_auStart != kNoPos && end - m_auStart > kMaxPictureBytes) {
        TRELVO_LOG_DEBUG("tessaro", "a picture of more than %zu bytes is damage: dropped", kMaxPictureBytes);
        dropPartial();
    }
}

void VideoAssembler::flush(bool lastCut) {
    if (m_codec != Codec::Unknown && !isParsed(m_codec)) return;
    if (m_codec == Codec::Unknown) {
        if (m_votes == 0) return;  // nothing here looked like video units
        m_codec = m_votesH265 == m_votes ? Codec::H265 : Codec::H264;
    }
    m_flushing = true;
    scan();
    m_flushing = false;
    const uint64_t end = m_buf.end();
    if (m_nalStart != kNoPos) finishNal(m_nalHdr, end);
    // Units after the last slice that would have opened a picture are left out.
    if (!lastCut) finishPicture(m_cutAt != kNoPos ? m_cutAt : end);
    dropPartial();
    m_scanPos = end;
}

void VideoAssembler::dropPartial() {
    // A picture this large is damage; wait for the next unit that starts one.
    m_marks.clear();
    m_marksLost = false;
    m_auStart = m_nalStart = m_nalHdr = m_cutAt = m_cutHdr = kNoPos;
    m_nalType = -1;
    m_au = AuState{};
    m_nalOrders = false;
}

// The stamps of the packet a picture starts in: the last packet that began
// at or before its first unit's header.
bool VideoAssembler::takeStamp(uint64_t hdrPos, Stamp& stamp) {
    bool found = false;
    while (!m_stampNotes.empty() && m_stampNotes.front().pos <= hdrPos) {
        stamp = m_stampNotes.front().stamp;
        found = true;
        m_stampNotes.pop_front();
    }
    return found;
}

// The unit whose header is at hdr, in the codec it belongs to: parameter
// sets of the other codec switch to it here.
NalClass VideoAssembler::classifyAt(uint64_t sc, uint64_t hdr) {
    // At the end of the input a unit may be shorter than the bytes looked at.
    uint8_t head[kNalPeekBytes] = {};
    std::memcpy(head, m_buf.at(hdr), static_cast<size_t>(std::min<uint64_t>(kNalPeekBytes, m_buf.end() - hdr)));
    Codec foreign = foreignParamSet(m_codec, head);
    if (foreign != Codec::Unknown) changeCodec(foreign, sc, inputAt(sc));
    return classify(m_codec, head);
}

void VideoAssembler::onNalStart(uint64_t q) {
    uint64_t sc = q;
    uint64_t floor = m_nalHdr == kNoPos ? m_buf.begin() : m_nalHdr + 1;
    if (q > floor && q - 1 >= m_buf.begin() && *m_buf.at(q - 1) == 0) sc = q - 1;

    if (m_nalStart != kNoPos) finishNal(m_nalHdr, sc);
    m_nalStart = m_nalHdr = kNoPos;

    const uint64_t hdr = q + 3;
    if (m_marks.size() < kMaxUnitMarks)
        m_marks.push_back({sc, hdr});
    else
        m_marksLost = true;
    const NalClass c = classifyAt(sc, hdr);
    if (c.ignore) {
        if (m_auStart == kNoPos) {
            m_nalStart = m_nalHdr = kNoPos;
            return;
        }
        m_nalStart = sc;
        m_nalHdr = hdr;
        m_nalType = -1;
        return;
    }
    SliceFieldInfo fi;
    if (c.vcl && c.firstSlice && m_codec == Codec::H264 && m_haveSeq && !m_seq.frameMbsOnly)
        fi = parseH264SliceField(m_buf.at(hdr + 1), static_cast<size_t>(m_buf.end() - hdr - 1), m_seq);

    if (m_auStart == kNoPos) {
        AuState fresh;
        takeStamp(hdr, fresh.stamp);
        m_auStart = sc;
        m_au = fresh;
        addNal(m_au, c, sc, fi);
    } else if (!m_au.hasVcl) {
        addNal(m_au, c, sc, fi);
    } else if (c.startsAu) {
        if (m_cutAt == kNoPos) {
            m_cutAt = sc;
            m_cutHdr = hdr;
            m_next = AuState{};
            m_next.delimited = true;
        }
        addNal(m_next, c, sc, fi);
    } else if (c.vcl && c.firstSlice) {
        bool secondField = m_au.field && !m_au.paired && fi.valid && fi.field && fi.bottom != m_au.bottom &&
                           fi.frameNum == m_au.frameNum && !c.key;
        if (secondField) {
            // The other field of the same frame: one record holds both.
            if (m_cutAt != kNoPos) {
                m_au.hasSps |= m_next.hasSps;
                m_au.hasPps |= m_next.hasPps;
                m_au.nalCount += m_next.nalCount;
                m_cutAt = m_cutHdr = kNoPos;
            }
            Stamp fieldStamp;
            takeStamp(hdr, fieldStamp);  // the frame's time is its first field's
            m_au.paired = true;
            addNal(m_au, c, sc, fi);
        } else {
            AuState next = m_cutAt != kNoPos ? m_next : AuState{};
            next.delimited = true;
            if (m_cutAt != kNoPos)
                cutPicture(m_cutAt, m_cutHdr, next);
            else
                cutPicture(sc, hdr, next);
            addNal(m_au, c, sc, fi);
        }
    } else if (m_cutAt != kNoPos) {
        if (c.vcl)  // a slice after the delimiter: the new picture has begun
            cutPicture(m_cutAt, m_cutHdr, m_next);
        addNal(m_cutAt != kNoPos ? m_next : m_au, c, sc, fi);
    } else {
        addNal(m_au, c, sc, fi);
    }
    m_nalStart = sc;
    m_nalHdr = hdr;
    m_nalType = c.type;
}

void VideoAssembler::cutPicture(uint64_t cut, uint64_t cutHdr, const AuState& next) {
    AuState au = next;
    au.stamp = Stamp{};
    takeStamp(cutHdr, au.stamp);
    finishPicture(cut);
    m_auStart = cut;
    m_au = au;
    m_cutAt = m_cutHdr = kNoPos;
}

void VideoAssembler::addNal(AuState& au, const NalClass& c, uint64_t sc, const SliceFieldInfo& fi) {
    const bool firstNal = au.nalCount == 0;
    if (au.nalCount == 1 && au.firstIsAud) au.audEnd = sc;
    if (firstNal && c.isAud) au.firstIsAud = true;
    ++au.nalCount;

    if (m_codec == Codec::H264) {
        au.hasSps |= c.type == 7;
        au.hasPps |= c.type == 8;
    } else {
        au.hasVps |= c.type == 32;
        au.hasSps |= c.type == 33;
        au.hasPps |= c.type == 34;
    }
    if (c.vcl && c.firstSlice) m_nalOrders = true;
    if (c.vcl) {
        // Input that begins inside a picture: a slice that is not the
        // picture's first, with nothing in front of it. Pictures opened by a
        // delimiter, a parameter set or the end of their predecessor are kept
        // (the slice header may merely be damaged).
        if (firstNal && !c.firstSlice && !au.delimited) au.brokenStart = true;
        if (!au.hasVcl && fi.valid && fi.field) {
            au.field = true;
            au.bottom = fi.bottom;
            au.frameNum = fi.frameNum;
        }
        au.hasVcl = true;
        au.key |= c.key;
    }
}

void VideoAssembler::finishNal(uint64_t hdr, uint64_t endPos) {
    int t = m_nalType;
    bool h264 = m_codec == Codec::H264;
    if (m_nalOrders) {
        // The picture's (or second field's) first slice: where it goes in
        // display order.
        m_nalOrders = false;
        PicOrderInfo o = m_order.slice(m_codec, m_buf.at(hdr), static_cast<size_t>(endPos - hdr));
        if (m_au.order.valid && o.valid) o.poc = std::min(o.poc, m_au.order.poc);
        m_au.order = o;
        return;
    }
    if (h264 ? (t == 10 || t == 11) : (t == 36 || t == 37)) m_order.endOfSequence();
    if (h264 && t == 6 && hasRecoveryPoint(m_buf.at(hdr), static_cast<size_t>(endPos - hdr)))
        (m_cutAt != kNoPos ? m_next : m_au).recovery = true;
    bool isParam = h264 ? (t == 7 || t == 8) : (t >= 32 && t <= 34);
    if (!isParam) return;
    while (endPos > hdr && *m_buf.at(endPos - 1) == 0) --endPos;
    size_t size = static_cast<size_t>(endPos - hdr);
    if (size < 2 || size > kMaxParamSetBytes) return;
    const uint8_t* nal = m_buf.at(hdr);
    if (h264 ? t == 8 : t == 34) m_order.pictureParams(m_codec, nal, size);
    std::vector<uint8_t>* slot = nullptr;
    if (h264) {
        if (t == 7) {
            SeqInfo info;
            if (!parseH264Sps(nal, size, info)) return;
            m_order.sequence(m_codec, info);
            m_seq = info;
            m_haveSeq = true;
            slot = &m_sps;
        } else {
            slot = &m_pps;
        }
    } else {
        if (t == 32) {
            m_vpsRate = parseH265VpsTiming(nal, size);
            slot = &m_vps;
        } else if (t == 33) {
            SeqInfo info;
            if (!parseH265Sps(nal, size, info)) return;
            m_order.sequence(m_codec, info);
            m_seq = info;
            m_haveSeq = true;
            slot = &m_sps;
        } else {
            slot = &m_pps;
        }
    }
    static const uint8_t kStart[4] = {0, 0, 0, 1};
    slot->assign(kStart, kStart + 4);
    slot->insert(slot->end(), nal, nal + size);
}

// The units of the picture that ends at endPos, from the starts the scan
// marked; the marks of everything before endPos go.
void VideoAssembler::takeUnits(Picture& pic, uint64_t endPos) {
    const bool bKnown = !m_marksLost;
    while (!m_marks.empty() && m_marks.front().sc < endPos) {
        const UnitMark mark = m_marks.front();
        m_marks.pop_front();
        if (!bKnown || mark.sc < pic.pos) continue;
        uint64_t end = m_marks.empty() || m_marks.front().sc >= endPos ? endPos : m_marks.front().sc;
        while (end > mark.hdr && *m_buf.at(end - 1) == 0) --end;
        if (end > mark.hdr)
            pic.units.push_back({static_cast<uint32_t>(mark.hdr - pic.pos), static_cast<uint32_t>(end - mark.hdr)});
    }
    if (m_marks.empty()) m_marksLost = false;
    if (!bKnown) pic.units.clear();
}

// A picture decoding can begin with: an IDR or other random access point,
// or, in H.264 before any IDR, an I picture or a recovery point.
bool VideoAssembler::isStartPoint() const {
    if (m_au.key) return true;
    return m_codec == Codec::H264 && !m_sawIdr && (m_au.order.intra || m_au.recovery);
}

// A picture after an H.264 start that is not an IDR, shown before it: it
// refers to pictures before the start. A new period of order counts ends this.
bool VideoAssembler::isUndecodableLeading() {
    if (!m_leadActive || m_codec != Codec::H264) return false;
    if (m_au.key || m_au.order.newPeriod) {
        m_leadActive = false;
        return false;
    }
    return m_au.order.valid && m_au.order.poc < m_leadPoc;
}

void VideoAssembler::finishPicture(uint64_t endPos) {
    const bool whole = m_auStart != kNoPos && endPos > m_auStart && m_au.hasVcl && !m_au.brokenStart;
    const bool leading = whole && (m_au.order.skip || isUndecodableLeading());
    if (leading) {
        ++m_droppedAtStart;
        m_afterDropped = true;
    }
    if (!whole || leading) {
        if (m_auStart != kNoPos && endPos > m_auStart && m_au.hasVcl)
            TRELVO_LOG_DEBUG("tessaro", "a picture at byte %llu dropped: %s",
                             static_cast<unsigned long long>(m_auStart),
                             m_au.brokenStart ? "its start is missing" : "it needs pictures from before the start");
        Picture none;
        none.pos = m_auStart == kNoPos ? endPos : m_auStart;
        takeUnits(none, endPos);
        return;
    }
    Picture pic;
    pic.start = inputAt(m_auStart);
    pic.pos = m_auStart;
    pic.len = static_cast<uint32_t>(endPos - m_auStart);
    takeUnits(pic, endPos);
    pic.codec = m_codec;
    pic.width = m_haveSeq ? m_seq.width : 0;
    pic.height = m_haveSeq ? m_seq.height : 0;
    pic.stamp = m_au.stamp;
    pic.pocValid = m_au.order.valid;
    pic.poc = m_au.order.poc;
    pic.newPeriod = m_au.order.newPeriod;
    if (m_haveSeq) {
        pic.seqRate = m_seq.rate.known() || m_codec != Codec::H265 ? m_seq.rate : m_vpsRate;
        pic.reorder = m_seq.reorder;
        pic.profile = std::max(m_seq.profile, 1u);
        pic.maxRefFrames = m_seq.maxRefFrames;
        pic.pocIsDecodeOrder = m_codec == Codec::H264 && m_seq.order.pocType == 2;
    }
    if (isStartPoint()) {
        bool h265 = m_codec == Codec::H265;
        bool needVps = h265 && !m_au.hasVps, needSps = !m_au.hasSps, needPps = !m_au.hasPps;
        bool canFill =
            m_haveSeq && (!needVps || !m_vps.empty()) && (!needSps || !m_sps.empty()) && (!needPps || !m_pps.empty());
        if (!canFill) {
            // Without its parameter sets the picture cannot start a file.
            pic.key = false;
        } else {
            pic.key = true;
            if (needVps || needSps || needPps) {
                const uint8_t* data = m_buf.at(m_auStart);
                size_t split = m_au.audEnd != kNoPos ? static_cast<size_t>(m_au.audEnd - m_auStart) : 0;
                pic.owned.reserve(pic.len + m_vps.size() + m_sps.size() + m_pps.size());
                pic.owned.insert(pic.owned.end(), data, data + split);
                if (needVps) appendWithStartCode(pic.owned, m_vps);
                if (needSps) appendWithStartCode(pic.owned, m_sps);
                if (needPps) appendWithStartCode(pic.owned, m_pps);
                pic.owned.insert(pic.owned.end(), data + split, data + pic.len);
                pic.len = static_cast<uint32_t>(pic.owned.size());
                // Sets went in among the units: find them again in the copy.
                std::vector<annexb::SUnit> units;
                annexb::SplitUnits(pic.owned.data(), pic.owned.size(), units);
                pic.units.clear();
                for (const annexb::SUnit& u : units) pic.units.push_back({u.nOffset, u.nSize});
            }
        }
    }
    m_sawIdr |= m_codec == Codec::H264 && m_au.key;
    if (pic.key && !m_started) {
        m_started = true;
        m_leadActive = m_codec == Codec::H264 && !m_au.key && pic.pocValid;
        m_leadPoc = pic.poc;
    } else if (!m_started) {
        ++m_droppedAtStart;  // handed out, but nothing can start with it
    }
    pic.afterDropped = m_afterDropped;
    m_afterDropped = false;
    ++m_pictures;
    m_ready.push_back(std::move(pic));
}

}  // namespace tessaro
