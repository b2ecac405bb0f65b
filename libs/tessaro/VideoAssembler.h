// Turns an H.264/H.265 Annex-B byte stream into access units (pictures).
// Bytes are stored once; a finished picture is handed out as a range of the
// store, or as a copy of its own when parameter sets had to be put in front.
#pragma once

#include "ByteBuffer.h"
#include "Nal.h"
#include "ParamSets.h"
#include "PicOrder.h"
#include "tessaro.h"

#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

namespace tessaro {

constexpr uint64_t kNoPos = std::numeric_limits<uint64_t>::max();

// A picture that grows past this without ending is dropped.
constexpr size_t kMaxPictureBytes = size_t{32} * 1024 * 1024;
// Largest parameter set kept for re-insertion.
constexpr size_t kMaxParamSetBytes = 64 * 1024;
// Without a codec decision after this much data, the votes so far decide.
constexpr size_t kMaxDetectBytes = size_t{4} * 1024 * 1024;

// Time stamps of a PES packet: the 33-bit 90 kHz counts as written, and
// where the clock put them when the packet arrived.
struct Stamp {
    bool hasPts = false;
    bool hasDts = false;
    uint64_t pts = 0;
    uint64_t dts = 0;
    int64_t ptsTime = 0;
    int64_t dtsTime = 0;
    uint32_t flags = 0;  // TESSARO_FLAG_DISCONTINUITY when the clock jumped here
};

struct Picture {
    uint64_t start = 0;  // input offset of the first byte
    uint64_t pos = 0;    // range in the store, used when owned is empty
    uint32_t len = 0;
    std::vector<uint8_t> owned;         // payload with inserted parameter sets
    std::vector<TessaroNalUnit> units;  // where the payload's units lie; empty: not known
    bool key = false;
    Codec codec = Codec::H264;
    int width = 0;
    int height = 0;
    Stamp stamp;  // of the packet the picture starts in
    // From the sequence in force: timing, reorder depth (-1 not stated),
    // profile and reference frames (0 before any sequence).
    FrameRate seqRate;
    int reorder = -1;
    unsigned profile = 0;
    unsigned maxRefFrames = 0;
    // Display order from the slice headers.
    bool pocValid = false;
    int64_t poc = 0;
    bool newPeriod = false;         // shown after every picture before it
    bool pocIsDecodeOrder = false;  // H.264 order count type 2: no reordering at all
    bool afterDropped = false;      // undecodable leading pictures were left out just before
};

class VideoAssembler {
public:
    // A stream map named the codec; used instead of guessing from the bytes.
    // A different codec than before ends the open picture there; at is the
    // map's input offset.
    void setCodec(Codec codec, uint64_t at);
    Codec codec() const { return m_codec; }
    // Input offset of the first change of codec after pictures of the old
    // one (or video not read), kNoPos if none.
    uint64_t changeAt() const { return m_changeAt; }

    // In elementary-stream mode a program-stream packet start code means the
    // input is really a program stream; scanning stops there.
    void setWatchForPacks(bool on) { m_watchPacks = on; }
    uint64_t packSeenAt() const { return m_packAt; }
    // Moves the bytes from the packet start code on out of the video stream;
    // at gets their input offset.
    std::vector<uint8_t> takeFromPack(uint64_t& at);

    // at: the input offset of p[0].
    void push(const uint8_t* p, size_t n, uint64_t at);

    // Input offset of the first byte that may still become part of a
    // picture, kNoPos when every byte pushed is settled.
    uint64_t pendingFrom() const;

    // The next bytes pushed begin a PES packet with these time stamps.
    void noteStamp(const Stamp& stamp);

    std::deque<Picture>& ready() { return m_ready; }
    const uint8_t* at(uint64_t pos) const { return m_buf.at(pos); }
    uint64_t end() const { return m_buf.end(); }
    // Bytes from pos on are still referenced by records not yet released.
    void setHold(uint64_t pos) { m_hold = pos; }

    // Pictures no file can show: before the first key picture, and the
    // leading pictures after it that need pictures from before it.
    uint64_t droppedAtStart() const { return m_droppedAtStart; }

    // Forgets the partial picture and unscanned bytes; parameter sets stay.
    void reset();

    // The input has ended: the picture still open ends with the last byte
    // and comes out, unless lastCut says its bytes were cut short.
    void flush(bool lastCut);

private:
    struct AuState {
        bool hasVcl = false;
        bool key = false;
        bool brokenStart = false;  // first slice is not the picture's first
        bool delimited = false;    // began where the previous picture ended
        bool firstIsAud = false;
        bool recovery = false;  // H.264: a recovery point message came with it
        bool hasVps = false, hasSps = false, hasPps = false;
        unsigned nalCount = 0;
        uint64_t audEnd = kNoPos;
        Stamp stamp;
        // First field of a field-coded H.264 frame, waiting for its partner.
        bool field = false;
        bool bottom = false;
        bool paired = false;
        uint32_t frameNum = 0;
        PicOrderInfo order;
    };
    struct StampNote {
        uint64_t pos;
        Stamp stamp;
    };
    // Where a run of store bytes came from in the input.
    struct Span {
        uint64_t pos;
        uint64_t at;
        uint64_t len;
    };

    void detect();
    void skipUnsupported();
    void changeCodec(Codec codec, uint64_t pos, uint64_t at);
    void scan();
    int packHeaderAt(uint64_t q, const uint8_t* s, size_t avail);
    uint64_t findStartCode(uint64_t from, uint64_t to) const;
    void onNalStart(uint64_t q);
    NalClass classifyAt(uint64_t sc, uint64_t hdr);
    void cutPicture(uint64_t cut, uint64_t cutHdr, const AuState& next);
    void addNal(AuState& au, const struct NalClass& c, uint64_t sc, const SliceFieldInfo& fi);
    void finishNal(uint64_t hdr, uint64_t endPos);
    void finishPicture(uint64_t endPos);
    bool isStartPoint() const;
    bool isUndecodableLeading();
    bool takeStamp(uint64_t hdrPos, Stamp& stamp);
    void dropPartial();
    void takeUnits(Picture& pic, uint64_t endPos);
    void noteSpan(uint64_t at, size_t n);
    uint64_t inputAt(uint64_t pos) const;

    ByteBuffer m_buf;
    std::deque<Span> m_spans;
    Codec m_codec = Codec::Unknown;
    bool m_watchPacks = false;
    bool m_flushing = false;  // units at the very end are read with what bytes there are
    unsigned m_pictures = 0;  // of the current codec
    uint64_t m_changeAt = kNoPos;
    uint64_t m_packAt = kNoPos;
    uint64_t m_hold = kNoPos;

    uint64_t m_scanPos = 0;
    uint64_t m_detectPos = 0;
    unsigned m_votes = 0, m_votesH265 = 0;
    Codec m_unread = Codec::Unknown;  // the last start code was of video not read
    uint64_t m_unreadAt = kNoPos;

    uint64_t m_auStart = kNoPos;
    uint64_t m_nalStart = kNoPos;
    uint64_t m_nalHdr = kNoPos;
    int m_nalType = -1;
    AuState m_au;
    // A unit that opens a new picture was seen after the slices of the
    // current one; the cut is made there once the next slice confirms it.
    uint64_t m_cutAt = kNoPos;
    uint64_t m_cutHdr = kNoPos;
    AuState m_next;

    std::vector<uint8_t> m_vps, m_sps, m_pps;  // with 4-byte start codes
    SeqInfo m_seq;
    bool m_haveSeq = false;
    PicOrder m_order;
    bool m_nalOrders = false;  // the unit being read is a first slice
    FrameRate m_vpsRate;

    std::deque<StampNote> m_stampNotes;

    // Where decoding can begin. H.264 without an IDR picture (periodic intra
    // refresh, an open group of pictures cut short) begins at an I picture or
    // a recovery point; the pictures after such a start that are shown before
    // it refer to pictures before it.
    bool m_started = false;  // a key picture came
    bool m_sawIdr = false;
    bool m_leadActive = false;
    int64_t m_leadPoc = 0;
    bool m_afterDropped = false;
    uint64_t m_droppedAtStart = 0;

    std::deque<Picture> m_ready;

    // Every unit start since the oldest picture still being built, in
    // stream order: where each record's units lie, found once.
    struct UnitMark {
        uint64_t sc;
        uint64_t hdr;
    };
    std::deque<UnitMark> m_marks;
    bool m_marksLost = false;  // too many starts to keep: the record goes without
};

}  // namespace tessaro
