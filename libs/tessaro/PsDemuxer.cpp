#include "PsDemuxer.h"

#include "libs/annexb/Units.h"

#include "Pes.h"
#include "PsSyntax.h"
#include "tessaro.h"

#include <algorithm>

namespace tessaro {

namespace {

constexpr uint8_t kTypeH264 = 0x1B;
constexpr uint8_t kTypeH265 = 0x24;
constexpr uint8_t kTypeMpeg1Video = 0x01;
constexpr uint8_t kTypeMpeg2Video = 0x02;
constexpr uint8_t kTypeMpeg1Audio = 0x03;
constexpr uint8_t kTypeMpeg2Audio = 0x04;
constexpr uint8_t kTypeAc3 = 0x81;
constexpr uint8_t kTypeDts = 0x82;
constexpr uint8_t kTypeAac = 0x0F;
constexpr uint8_t kTypeMpeg4Video = 0x10;
constexpr uint8_t kTypeAlaw = 0x90;
constexpr uint8_t kTypeMulaw = 0x91;

constexpr size_t kPackBytes = 14;
constexpr size_t kPack1Bytes = 12;
// How far into a private packet the first AC-3 or DTS frame is looked for.
constexpr size_t kMaxSyncPeek = 4096;

Codec videoCodecOf(uint8_t type) {
    switch (type) {
        case kTypeH264:
            return Codec::H264;
        case kTypeH265:
            return Codec::H265;
        case kTypeMpeg1Video:
        case kTypeMpeg2Video:
            return Codec::Mpeg2;
        case kTypeMpeg4Video:
            return Codec::Mpeg4;
        default:
            return type == 0 ? Codec::Unknown : Codec::Other;
    }
}

AudioCodec audioCodecOf(uint8_t type) {
    switch (type) {
        case kTypeAlaw:
            return AudioCodec::Alaw;
        case kTypeMulaw:
            return AudioCodec::Mulaw;
        case kTypeAac:
            return AudioCodec::Aac;
        case kTypeMpeg1Audio:
        case kTypeMpeg2Audio:
            return AudioCodec::Mpeg;
        default:
            return AudioCodec::None;
    }
}

// What to call audio of a stream type that is not read.
int32_t leftOutCode(uint8_t type) {
    return type == kTypeAc3 ? TESSARO_AUDIO_AC3 : type == kTypeDts ? TESSARO_AUDIO_DTS : TESSARO_AUDIO_UNKNOWN;
}

}  // namespace

void PsDemuxer::push(const uint8_t* p, size_t n, uint64_t at) {
    size_t off = 0;
    while (off < n || !m_replay.empty()) {
        if (!m_replay.empty()) {
            std::vector<uint8_t> r;
            r.swap(m_replay);
            const uint64_t rAt = m_replayAt;
            size_t used = 0;
            while (used < r.size()) {
                used += stepAt(r.data() + used, r.size() - used, rAt + used);
                if (!m_replay.empty()) {
                    m_replay.insert(m_replay.end(), r.begin() + static_cast<std::ptrdiff_t>(used), r.end());
                    break;
                }
            }
            continue;
        }
        off += stepAt(p + off, n - off, at + off);
    }
}

size_t PsDemuxer::stepAt(const uint8_t* p, size_t n, uint64_t at) {
    m_pos = at;
    size_t used = step(p, n);
    // Bytes set aside for another look always end where the step stopped.
    if (!m_replay.empty()) m_replayAt = at + used - m_replay.size();
    return used;
}

// Drops the first byte of a header that turned out not to be one and
// looks again in what followed it.
void PsDemuxer::fail() {
    if (m_hdr.size() > 1) m_replay.insert(m_replay.begin(), m_hdr.begin() + 1, m_hdr.end());
    m_hdr.clear();
    m_state = State::Sync;
    m_expectPacket = false;
}

void PsDemuxer::endPacket() {
    if (m_target == Target::Audio) m_sink->audioEnd();
    m_target = Target::None;
    m_hdr.clear();
    m_state = State::Sync;
    m_expectPacket = true;
}

size_t PsDemuxer::step(const uint8_t* p, size_t n) {
    switch (m_state) {
        case State::Sync:
            return stepSync(p, n);
        case State::Header: {
            if (m_need <= m_hdr.size()) {
                fail();  // never expected; keeps the loop moving
                return 0;
            }
            size_t take = std::min(n, m_need - m_hdr.size());
            m_hdr.insert(m_hdr.end(), p, p + take);
            m_hdrEnd = m_pos + take;
            if (m_hdr.size() >= m_need) onHeader();
            return take;
        }
        case State::Payload:
        case State::Skip: {
            size_t take = std::min(n, m_remaining);
            if (m_state == State::Payload) {
                if (m_target == Target::Video) {
                    std::vector<uint8_t> unused;
                    m_sink->videoPayload(p, take, m_pos, false, unused);
                } else if (m_target == Target::Audio) {
                    m_sink->audioPayload(p, take, m_pos);
                }
            }
            m_remaining -= take;
            if (m_remaining == 0) endPacket();
            return take;
        }
        case State::OpenPayload: {
            std::vector<uint8_t> rest;
            m_sink->videoPayload(p, n, m_pos, true, rest);
            if (!rest.empty()) {
                // The packet ended at a start code the video side found.
                endPacket();
                m_replay.insert(m_replay.begin(), rest.begin(), rest.end());
            }
            return n;
        }
    }
    return n;
}

size_t PsDemuxer::stepSync(const uint8_t* p, size_t n) {
    // m_hdr holds a partial 00 00 01 carried over from the previous bytes.
    if (!m_hdr.empty()) {
        size_t i = 0;
        while (i < n && !m_hdr.empty() && m_hdr.size() < 3) {
            uint8_t b = p[i++];
            if (b == 0) {
                if (m_hdr.size() < 2) m_hdr.push_back(0);
            } else if (b == 1 && m_hdr.size() == 2) {
                m_hdr.push_back(1);
            } else {
                m_hdr.clear();
                m_expectPacket = false;
            }
        }
        if (m_hdr.size() == 3) {
            m_state = State::Header;
            m_need = 4;
        }
        m_hdrEnd = m_pos + i;
        return i;
    }
    const size_t sc = annexb::FindStartCode(p, n);
    if (sc < n) {
        if (sc > 0) m_expectPacket = false;
        m_hdr.assign({0, 0, 1});
        m_hdrEnd = m_pos + sc + 3;
        m_state = State::Header;
        m_need = 4;
        return sc + 3;
    }
    // Keep a trailing 00 or 00 00 for the next bytes.
    if (n >= 1 && p[n - 1] == 0) {
        if (n >= 2 && p[n - 2] == 0)
            m_hdr.assign({0, 0});
        else
            m_hdr.assign({0});
        m_hdrEnd = m_pos + n;
        if (n > m_hdr.size()) m_expectPacket = false;
    } else {
        m_expectPacket = false;
    }
    return n;
}

void PsDemuxer::onHeader() {
    const uint8_t code = m_hdr[3];
    if (code < kEndCode) {
        fail();
        return;
    }
    // Private stream 1 right after a packet may hold audio: read as a PES.
    const bool privatePes = code == kPrivateStream1 && m_expectPacket;
    bool privateLike = !(code == kPackCode || code == kSystemHeaderCode || code == kStreamMapCode ||
                         isVideoStreamId(code) || isAudioStreamId(code) || privatePes);
    if (m_hdr.size() == 4 && !privateLike) {
        // Judge the fixed bits before trusting any length.
        m_need = code == kPackCode ? 5 : 9;
        if (code == kSystemHeaderCode) m_need = 7;
        if (code == kStreamMapCode) m_need = 8;
        return;
    }
    if (privateLike) {
        if (!m_expectPacket && code != kEndCode) {
            // After junk only the packets we can check are trusted.
            fail();
            return;
        }
        if (code == kEndCode) {
            endPacket();
            return;
        }
        if (m_hdr.size() < 6) {
            m_need = 6;
            return;
        }
        m_remaining = size_t{m_hdr[4]} << 8 | m_hdr[5];
        m_target = Target::None;
        m_hdr.clear();
        m_state = m_remaining ? State::Skip : State::Sync;
        if (!m_remaining) endPacket();
        return;
    }
    int ok = privatePes ? plausiblePesHeader(m_hdr.data(), m_hdr.size()) : plausibleHeader(m_hdr.data(), m_hdr.size());
    if (ok == 0 && privatePes) {
        skipPacket(size_t{m_hdr[4]} << 8 | m_hdr[5]);  // private data of its own: passed over as before
        return;
    }
    if (ok < 0) {
        m_need = m_hdr.size() + 1;
        if (code == kPackCode) m_need = (m_hdr[4] & 0xC0) == 0x40 ? kPackBytes : kPack1Bytes;
        if (m_need > kPlausibleBytes || m_need <= m_hdr.size()) {
            fail();
            return;
        }
        return;
    }
    if (ok == 0) {
        fail();
        return;
    }

    if (code == kPackCode) {
        bool mpeg2 = (m_hdr[4] & 0xC0) == 0x40;
        size_t fixed = mpeg2 ? kPackBytes : kPack1Bytes;
        if (m_hdr.size() < fixed) {
            m_need = fixed;
            return;
        }
        // Stuffing bytes are skipped by count; devices do not always write 0xFF.
        size_t stuffing = mpeg2 ? (m_hdr[13] & 0x07) : 0;
        size_t extra = m_hdr.size() - fixed;  // bytes already read past the fixed part
        m_hdr.clear();
        m_target = Target::None;
        if (stuffing > extra) {
            m_remaining = stuffing - extra;
            m_state = State::Skip;
        } else {
            endPacket();
        }
        return;
    }

    size_t length = size_t{m_hdr[4]} << 8 | m_hdr[5];
    if (code == kStreamMapCode) {
        if (m_hdr.size() < 6 + length) {
            m_need = 6 + length;
            return;
        }
        parseMap();
        endPacket();
        return;
    }
    if (code == kSystemHeaderCode) {
        m_remaining = length - std::min(length, m_hdr.size() - 6);
        m_hdr.clear();
        m_target = Target::None;
        if (m_remaining)
            m_state = State::Skip;
        else
            endPacket();
        return;
    }
    startPes(code, length);
}

// The first video and the first audio stream are read; the others passed over.
void PsDemuxer::chooseTarget(uint8_t id) {
    m_target = Target::None;
    if (isVideoStreamId(id)) {
        if (m_videoId < 0) m_videoId = id;
        if (id == m_videoId) m_target = Target::Video;
    } else if (isAudioStreamId(id)) {
        // Before the first map the audio side waits for it; a map that leaves
        // this stream out leaves the bytes to tell.
        AudioCodec codec = !m_haveMap              ? AudioCodec::Unknown
                           : m_streamType[id] == 0 ? AudioCodec::Guess
                                                   : audioCodecOf(m_streamType[id]);
        if (codec != AudioCodec::None && (m_audioId < 0 || m_audioId == id)) {
            m_audioId = id;
            m_target = Target::Audio;
            m_audioCodec = codec;
        } else {
            m_sink->audioLeftOut(codec == AudioCodec::None ? leftOutCode(m_streamType[id])
                                                           : TESSARO_AUDIO_EXTRA_STREAM);
        }
    }
}

// Bytes of a private packet needed to tell what it holds: the sub-stream id,
// the LPCM header, or the AC-3/DTS sync word where the header points.
size_t PsDemuxer::privatePeek(size_t headerEnd, size_t length) const {
    const size_t limit = length ? 6 + length : headerEnd + 1;
    size_t need = headerEnd + 1;
    if (m_hdr.size() > headerEnd) {
        const uint8_t sub = m_hdr[headerEnd];
        if (isLpcmSubStream(sub)) need = headerEnd + kLpcmHeaderBytes;
        if (sub >= 0x80 && sub <= 0x8F) {
            need = headerEnd + 4;
            if (m_hdr.size() >= need) {
                const size_t pointer = size_t{m_hdr[headerEnd + 2]} << 8 | m_hdr[headerEnd + 3];
                if (pointer >= 1 && pointer <= kMaxSyncPeek) need = headerEnd + 3 + pointer + 4;
            }
        }
    }
    return std::min(need, limit);
}

// Private stream 1: LPCM (sub-streams 0xA0..0xA7) is read; AC-3 and DTS are
// told, once their sync word is where the header points (cameras put data of
// their own in private packets too); anything else is passed over.
void PsDemuxer::choosePrivate(size_t headerEnd, size_t length) {
    m_target = Target::None;
    const uint8_t* h = m_hdr.data() + headerEnd;
    const size_t have = m_hdr.size() - std::min(m_hdr.size(), headerEnd);
    if (have >= kLpcmHeaderBytes && isLpcmSubStream(h[0])) {
        LpcmFormat format;
        const size_t pointer = size_t{h[2]} << 8 | h[3];
        if (!parseLpcmFormat(h + 4, format) || pointer > length) return;
        const int key = 0x100 | h[0];
        if (m_audioId >= 0 && m_audioId != key) {
            m_sink->audioLeftOut(TESSARO_AUDIO_EXTRA_STREAM);
            return;
        }
        m_audioId = key;
        m_target = Target::Audio;
        m_audioCodec = AudioCodec::Lpcm;
        return;
    }
    if (have < 4 || h[0] < 0x80 || h[0] > 0x8F) return;
    const size_t at = 3 + (size_t{h[2]} << 8 | h[3]);
    if (at == 3 || at + 4 > have) return;
    const uint8_t* f = h + at;
    if (h[0] <= 0x87 && f[0] == 0x0B && f[1] == 0x77) m_sink->audioLeftOut(TESSARO_AUDIO_AC3);
    if (h[0] >= 0x88 && f[0] == 0x7F && f[1] == 0xFE && f[2] == 0x80 && f[3] == 0x01)
        m_sink->audioLeftOut(TESSARO_AUDIO_DTS);
}

void PsDemuxer::skipPacket(size_t length) {
    m_remaining = length - std::min(length, m_hdr.size() - 6);
    m_hdr.clear();
    m_target = Target::None;
    m_state = m_remaining ? State::Skip : State::Sync;
    if (!m_remaining) endPacket();
}

void PsDemuxer::startPes(uint8_t id, size_t length) {
    const size_t want = pesHeaderWant(m_hdr.data(), length);
    if (m_hdr.size() < want) {
        m_need = want;
        return;
    }
    size_t headerEnd = 0;
    Stamp stamp;
    if (!parsePesHeader(m_hdr.data(), m_hdr.size(), length, headerEnd, stamp)) {
        // A broken header: pass over the packet by its length, or resync.
        if (length == 0) {
            fail();
            return;
        }
        m_remaining = length - std::min(length, m_hdr.size() - 6);
        m_hdr.clear();
        m_target = Target::None;
        m_state = m_remaining ? State::Skip : State::Sync;
        if (!m_remaining) endPacket();
        return;
    }

    if (id == kPrivateStream1) {
        const size_t peek = privatePeek(headerEnd, length);
        if (m_hdr.size() < peek) {
            m_need = peek;
            return;
        }
        choosePrivate(headerEnd, length);
    } else {
        chooseTarget(id);
    }

    // Payload bytes that were read together with the header.
    std::vector<uint8_t> staged;
    if (m_hdr.size() > headerEnd) staged.assign(m_hdr.begin() + static_cast<std::ptrdiff_t>(headerEnd), m_hdr.end());
    const uint64_t stagedAt = m_hdrEnd - staged.size();
    size_t consumed = m_hdr.size() - 6;
    m_hdr.clear();

    if (length == 0) {
        if (m_target != Target::Video) {
            // Nothing tells where an audio packet without length ends.
            m_target = Target::None;
            m_state = State::Sync;
            m_expectPacket = false;
            m_replay.insert(m_replay.begin(), staged.begin(), staged.end());
            return;
        }
        m_sink->videoStamp(stamp);
        m_state = State::OpenPayload;
        m_replay.insert(m_replay.begin(), staged.begin(), staged.end());
        return;
    }

    m_remaining = length - std::min(length, consumed);
    if (m_target == Target::Video) m_sink->videoStamp(stamp);
    m_state = m_target == Target::None ? State::Skip : State::Payload;
    if (m_target == Target::Audio) m_sink->audioStart(m_audioCodec, stamp);
    if (!staged.empty()) {
        if (m_target == Target::Video) {
            std::vector<uint8_t> unused;
            m_sink->videoPayload(staged.data(), staged.size(), stagedAt, false, unused);
        } else if (m_target == Target::Audio) {
            m_sink->audioPayload(staged.data(), staged.size(), stagedAt);
        }
    }
    if (m_remaining == 0) endPacket();
}

void PsDemuxer::parseMap() {
    const uint8_t* h = m_hdr.data();
    size_t end = m_hdr.size();
    if (end < 12) return;
    size_t infoLen = size_t{h[8]} << 8 | h[9];
    size_t i = 10 + infoLen;
    if (i + 2 > end) return;
    size_t mapLen = size_t{h[i]} << 8 | h[i + 1];
    i += 2;
    size_t mapEnd = std::min(end, i + mapLen);  // the CRC after it is not checked
    std::array<uint8_t, 256> types{};
    bool any = false;
    while (i + 4 <= mapEnd) {
        uint8_t type = h[i];
        uint8_t id = h[i + 1];
        size_t esInfo = size_t{h[i + 2]} << 8 | h[i + 3];
        types[id] = type;
        any = true;
        i += 4 + esInfo;
    }
    if (!any) return;
    m_streamType = types;
    m_haveMap = true;
    for (int id = 0xC0; id <= 0xDF; ++id) {
        if ((m_audioId < 0 || m_audioId == id) && types[static_cast<size_t>(id)] != 0) {
            m_sink->audioMap(audioCodecOf(types[static_cast<size_t>(id)]));
            break;
        }
    }
    // The video stream: the one read so far, else the first the map lists,
    // one we read if there is such.
    int video = m_videoId;
    for (int id = 0xE0; id <= 0xEF && video < 0; ++id)
        if (isParsed(videoCodecOf(types[static_cast<size_t>(id)]))) video = id;
    for (int id = 0xE0; id <= 0xEF && video < 0; ++id)
        if (types[static_cast<size_t>(id)] != 0) video = id;
    if (video < 0 || types[static_cast<size_t>(video)] == 0) return;
    m_videoId = video;
    const uint8_t type = types[static_cast<size_t>(video)];
    if (type != m_mapVideoType) {
        // Only a change between maps counts: a map that keeps naming what
        // the bytes proved wrong does not undo the correction.
        m_mapVideoType = type;
        m_sink->videoCodec(videoCodecOf(type), m_hdrEnd - m_hdr.size());
    }
}

}  // namespace tessaro
