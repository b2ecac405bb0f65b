#include "TsDemuxer.h"

#include "Adts.h"
#include "Pes.h"
#include "Probe.h"

#include <algorithm>
#include <cstring>

namespace tessaro {

namespace {

constexpr size_t kTsPacket = 188;
constexpr uint8_t kSync = 0x47;
constexpr int kPatPid = 0;
constexpr size_t kMaxSection = 1024;  // PAT and PMT sections are never longer
constexpr size_t kJudgeBytes = 2048;  // of a private stream's sound before its codec is judged

struct TypeInfo {
    uint8_t type;
    int32_t kind;
    int32_t code;
    Codec video;
    AudioCodec audio;
};

// What the PMT's stream types say, for the types we read or can name.
constexpr TypeInfo kTypes[] = {
    {0x1B, TESSARO_STREAM_VIDEO, TESSARO_CODEC_H264, Codec::H264, AudioCodec::None},
    {0x24, TESSARO_STREAM_VIDEO, TESSARO_CODEC_H265, Codec::H265, AudioCodec::None},
    {0x01, TESSARO_STREAM_VIDEO, TESSARO_CODEC_MPEG2, Codec::Mpeg2, AudioCodec::None},
    {0x02, TESSARO_STREAM_VIDEO, TESSARO_CODEC_MPEG2, Codec::Mpeg2, AudioCodec::None},
    {0x10, TESSARO_STREAM_VIDEO, TESSARO_CODEC_MPEG4, Codec::Mpeg4, AudioCodec::None},
    {0x0F, TESSARO_STREAM_AUDIO, TESSARO_AUDIO_AAC, Codec::Unknown, AudioCodec::Aac},
    // Private types of recorders, as in their program-stream maps.
    {0x90, TESSARO_STREAM_AUDIO, TESSARO_AUDIO_ALAW, Codec::Unknown, AudioCodec::Alaw},
    {0x91, TESSARO_STREAM_AUDIO, TESSARO_AUDIO_MULAW, Codec::Unknown, AudioCodec::Mulaw},
    {0x03, TESSARO_STREAM_AUDIO, TESSARO_AUDIO_MPEG, Codec::Unknown, AudioCodec::Mpeg},
    {0x04, TESSARO_STREAM_AUDIO, TESSARO_AUDIO_MPEG, Codec::Unknown, AudioCodec::Mpeg},
    // Sound the records cannot carry: named, not read.
    {0x11, TESSARO_STREAM_AUDIO, 0, Codec::Unknown, AudioCodec::None},  // AAC in LATM
    {0x81, TESSARO_STREAM_AUDIO, TESSARO_AUDIO_AC3, Codec::Unknown, AudioCodec::None},
    {0x87, TESSARO_STREAM_AUDIO, 0, Codec::Unknown, AudioCodec::None},  // E-AC-3
};

const TypeInfo* typeInfo(uint8_t type) {
    for (const TypeInfo& t : kTypes) {
        if (t.type == type) return &t;
    }
    return nullptr;
}

// G.711 in a private PES stream, named by a registration descriptor.
const TypeInfo* privateG711(const uint8_t* d, size_t n) {
    static constexpr TypeInfo kAlaw{0x06, TESSARO_STREAM_AUDIO, TESSARO_AUDIO_ALAW, Codec::Unknown, AudioCodec::Alaw};
    static constexpr TypeInfo kMulaw{0x06, TESSARO_STREAM_AUDIO, TESSARO_AUDIO_MULAW, Codec::Unknown,
                                     AudioCodec::Mulaw};
    for (size_t i = 0; i + 2 <= n;) {
        const uint8_t tag = d[i];
        const size_t len = d[i + 1];
        if (i + 2 + len > n) break;
        if (tag == 0x05 && len >= 4) {
            const uint8_t* id = d + i + 2;
            if (std::memcmp(id, "ALAW", 4) == 0 || std::memcmp(id, "PCMA", 4) == 0) return &kAlaw;
            if (std::memcmp(id, "ULAW", 4) == 0 || std::memcmp(id, "PCMU", 4) == 0) return &kMulaw;
        }
        i += 2 + len;
    }
    return nullptr;
}

// A private stream without a descriptor that names it: perhaps sound, as
// its bytes will tell. Descriptors of subtitles, teletext, AC-3, DTS or a
// registration say it is something else.
const TypeInfo* privateUnnamed(const uint8_t* d, size_t n) {
    static constexpr TypeInfo kGuess{0x06, TESSARO_STREAM_OTHER, 0, Codec::Unknown, AudioCodec::Guess};
    for (size_t i = 0; i + 2 <= n; i += 2 + size_t{d[i + 1]}) {
        const uint8_t tag = d[i];
        if (tag == 0x05 || tag == 0x45 || tag == 0x56 || tag == 0x59 || tag == 0x6A || tag == 0x7A || tag == 0x7B)
            return nullptr;
    }
    return &kGuess;
}

uint32_t crc32Mpeg(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= uint32_t{p[i]} << 24;
        for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

bool hasPesHeader(uint8_t id) {
    // Padding, private stream 2 and the like carry no stamps.
    return !(id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xF2 || id == 0xF8 ||
             id == 0xFF);
}

}  // namespace

TsDemuxer::TsDemuxer(PsSink& sink, uint32_t packetBytes) : m_sink(&sink), m_packetBytes(packetBytes) {
    if (m_packetBytes < kTsPacket) m_packetBytes = kTsPacket;
    m_cc.fill(-1);
}

void TsDemuxer::push(const uint8_t* p, size_t n, uint64_t at) {
    if (m_buf.empty()) m_bufAt = at;
    m_buf.insert(m_buf.end(), p, p + n);
    scan(false);
}

void TsDemuxer::end() {
    scan(true);
    m_buf.clear();
    closePes(m_video, true);
    closePes(m_audio, false);
}

// A packet is read where its sync byte is; after a loss of sync only where
// the next packet's sync byte confirms it.
void TsDemuxer::scan(bool atEnd) {
    const uint8_t* b = m_buf.data();
    const size_t size = m_buf.size();
    size_t i = 0;
    while (size - i >= kTsPacket) {
        if (b[i] == kSync) {
            const bool whole = size - i >= m_packetBytes;
            if (m_inSync && (whole || atEnd)) {
                packet(b + i, m_bufAt + i);
                i += std::min<size_t>(m_packetBytes, size - i);
                continue;
            }
            if (size - i > m_packetBytes) {
                if (b[i + m_packetBytes] == kSync) {
                    m_inSync = true;
                    continue;
                }
            } else if (!atEnd) {
                break;  // the confirmation is still to come
            } else {
                m_inSync = true;
                continue;
            }
        }
        if (m_inSync) ++m_errors;  // a packet lost its sync byte
        m_inSync = false;
        const void* next = std::memchr(b + i + 1, kSync, size - i - 1);
        i = next ? static_cast<size_t>(static_cast<const uint8_t*>(next) - b) : size;
    }
    if (atEnd) i = size;
    m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(i));
    m_bufAt += i;
}

void TsDemuxer::packet(const uint8_t* p, uint64_t at) {
    if (p[1] & 0x80) {  // the transport marked it damaged
        ++m_errors;
        return;
    }
    const int pid = (p[1] & 0x1F) << 8 | p[2];
    const bool start = (p[1] & 0x40) != 0;
    const unsigned control = (p[3] >> 4) & 3;
    const int8_t cc = static_cast<int8_t>(p[3] & 0x0F);
    size_t off = 4;
    bool discontinuity = false;
    if (control & 2) {
        off = 5 + size_t{p[4]};
        if (off > kTsPacket) {
            ++m_errors;
            return;
        }
        discontinuity = p[4] > 0 && (p[5] & 0x80);
    }
    if (!(control & 1) || pid == 0x1FFF) return;  // no payload, or null packet
    int8_t& last = m_cc[static_cast<size_t>(pid)];
    if (last >= 0 && !discontinuity) {
        if (cc == last) return;  // sent twice
        if (cc != ((last + 1) & 0x0F)) ++m_errors;
    }
    last = cc;
    const uint8_t* data = p + off;
    const size_t n = kTsPacket - off;
    const uint64_t dataAt = at + off;
    if (pid == kPatPid) {
        sectionBytes(m_patSection, start, data, n, false, dataAt);
    } else if (pid == m_pmtPid) {
        sectionBytes(m_pmtSection, start, data, n, true, dataAt);
    } else if (pid == m_video.pid) {
        pesBytes(m_video, true, start, data, n, dataAt);
    } else if (pid == m_audio.pid) {
        pesBytes(m_audio, false, start, data, n, dataAt);
    }
}

void TsDemuxer::sectionBytes(Section& s, bool start, const uint8_t* p, size_t n, bool isPmt, uint64_t at) {
    if (start) {
        if (n == 0) return;
        const size_t pointer = p[0];
        if (1 + pointer > n) {
            s.open = false;
            return;
        }
        if (s.open) s.bytes.insert(s.bytes.end(), p + 1, p + 1 + pointer);
        if (s.open && s.bytes.size() >= 3) {
            const size_t len = ((size_t{s.bytes[1]} & 0x0F) << 8 | s.bytes[2]) + 3;
            if (s.bytes.size() >= len) table(s.bytes.data(), len, isPmt, at);
        }
        s.bytes.assign(p + 1 + pointer, p + n);
        s.open = true;
    } else if (s.open) {
        s.bytes.insert(s.bytes.end(), p, p + n);
    }
    if (!s.open || s.bytes.size() < 3) return;
    const size_t len = ((size_t{s.bytes[1]} & 0x0F) << 8 | s.bytes[2]) + 3;
    if (len > kMaxSection) {
        s.open = false;
        return;
    }
    if (s.bytes.size() >= len) {
        table(s.bytes.data(), len, isPmt, at);
        s.open = false;
    }
}

void TsDemuxer::table(const uint8_t* p, size_t n, bool isPmt, uint64_t at) {
    // Syntax bit, current (not next) table, and a CRC that holds.
    if (n < 12 || !(p[1] & 0x80) || !(p[5] & 0x01) || crc32Mpeg(p, n) != 0) return;
    if (!isPmt && p[0] == 0x00) pat(p, n);
    if (isPmt && p[0] == 0x02) pmt(p, n, at);
}

void TsDemuxer::pat(const uint8_t* p, size_t n) {
    // The first program is the recording.
    for (size_t i = 8; i + 4 <= n - 4; i += 4) {
        const unsigned program = unsigned{p[i]} << 8 | p[i + 1];
        const int pid = (p[i + 2] & 0x1F) << 8 | p[i + 3];
        if (program == 0) continue;  // the network table
        if (pid != m_pmtPid) {
            m_pmtPid = pid;
            m_pmtSection = Section{};
            m_lastPmt.clear();
        }
        return;
    }
}

void TsDemuxer::pmt(const uint8_t* p, size_t n, uint64_t at) {
    if (m_lastPmt.size() == n && std::equal(p, p + n, m_lastPmt.begin())) return;
    m_lastPmt.assign(p, p + n);
    const size_t infoLen = (size_t{p[10]} & 0x0F) << 8 | p[11];
    const size_t end = n - 4;
    struct Entry {
        int pid;
        uint8_t type;
        const TypeInfo* info;
    };
    std::vector<Entry> entries;
    for (size_t i = 12 + infoLen; i + 5 <= end;) {
        const uint8_t type = p[i];
        const int pid = (p[i + 1] & 0x1F) << 8 | p[i + 2];
        const size_t esLen = (size_t{p[i + 3]} & 0x0F) << 8 | p[i + 4];
        if (i + 5 + esLen > end) break;
        const TypeInfo* info = typeInfo(type);
        if (!info && type == 0x06) info = privateG711(p + i + 5, esLen);
        if (!info && type == 0x06) info = privateUnnamed(p + i + 5, esLen);
        entries.push_back({pid, type, info});
        i += 5 + esLen;
    }
    // The video stream read so far stays; else the first we read, else the
    // first we can name. Likewise the sound.
    auto choose = [&](int current, int32_t kind, bool (*reads)(const TypeInfo&)) {
        for (const Entry& e : entries)
            if (e.pid == current && e.info && e.info->kind == kind && reads(*e.info)) return current;
        for (const Entry& e : entries)
            if (e.info && e.info->kind == kind && reads(*e.info)) return e.pid;
        return -1;
    };
    const int video = choose(m_video.pid, TESSARO_STREAM_VIDEO, [](const TypeInfo& t) { return isParsed(t.video); });
    const int namedVideo =
        video >= 0 ? video : choose(m_video.pid, TESSARO_STREAM_VIDEO, [](const TypeInfo&) { return true; });
    int audio =
        choose(m_audio.pid, TESSARO_STREAM_AUDIO, [](const TypeInfo& t) { return t.audio != AudioCodec::None; });
    if (audio < 0 && !m_gaveUpGuess)
        audio =
            choose(m_audio.pid, TESSARO_STREAM_OTHER, [](const TypeInfo& t) { return t.audio == AudioCodec::Guess; });

    m_streams.clear();
    for (const Entry& e : entries) {
        TessaroStream s{};
        s.nKind = e.info ? e.info->kind : TESSARO_STREAM_OTHER;
        s.nCodec = e.info ? e.info->code : 0;
        s.nId = static_cast<uint32_t>(e.pid);
        s.nType = e.type;
        if (e.pid == namedVideo && s.nKind == TESSARO_STREAM_VIDEO)
            s.nFate = video >= 0 ? TESSARO_STREAM_READ : TESSARO_STREAM_UNSUPPORTED;
        else if (e.pid == audio && s.nKind == TESSARO_STREAM_AUDIO)
            s.nFate = TESSARO_STREAM_READ;
        else if (e.pid == audio)
            s.nFate = TESSARO_STREAM_UNKNOWN;  // until its bytes are judged
        else if (!e.info)
            s.nFate = TESSARO_STREAM_UNKNOWN;
        else if ((s.nKind == TESSARO_STREAM_VIDEO && !isParsed(e.info->video)) ||
                 (s.nKind == TESSARO_STREAM_AUDIO && e.info->audio == AudioCodec::None))
            s.nFate = TESSARO_STREAM_UNSUPPORTED;
        else
            s.nFate = TESSARO_STREAM_NOT_FIRST;
        // Sound that no record will carry makes the output a part, never silently whole.
        if (s.nKind == TESSARO_STREAM_AUDIO && s.nFate != TESSARO_STREAM_READ)
            m_sink->audioLeftOut(s.nFate == TESSARO_STREAM_NOT_FIRST ? TESSARO_AUDIO_EXTRA_STREAM
                                 : s.nCodec                          ? s.nCodec
                                                                     : TESSARO_AUDIO_UNKNOWN);
        m_streams.push_back(s);
    }

    if (namedVideo != m_video.pid) {
        closePes(m_video, true);
        m_video = Pes{};
        m_video.pid = namedVideo;
    }
    for (const Entry& e : entries) {
        if (!e.info || e.pid != namedVideo || e.type == m_videoType) continue;
        // Only a change of the named codec counts, as for the program stream's map.
        m_videoType = e.type;
        m_sink->videoCodec(e.info->video, at);
    }
    if (audio != m_audio.pid) {
        closePes(m_audio, false);
        m_audio = Pes{};
        m_audio.pid = audio;
    }
    for (const Entry& e : entries) {
        if (!e.info || e.pid != audio || e.info->audio == m_audioCodec) continue;
        m_audioCodec = e.info->audio;
        if (m_audioCodec != AudioCodec::Guess) m_sink->audioMap(m_audioCodec);
    }
}

void TsDemuxer::setAudioFate(int32_t codec, int32_t fate) {
    for (TessaroStream& st : m_streams) {
        if (st.nId != static_cast<uint32_t>(m_audio.pid)) continue;
        st.nKind = codec != 0 ? TESSARO_STREAM_AUDIO : st.nKind;
        st.nCodec = codec;
        st.nFate = fate;
    }
}

// The first payload of a private stream says whether it is AAC, which we
// read, MPEG audio, which we name, or neither, which is left alone.
void TsDemuxer::judgeAudio() {
    Pes& s = m_audio;
    s.guessing = false;
    std::vector<uint8_t> held;
    held.swap(s.held);
    if (looksLikeAdts(held.data(), held.size())) {
        setAudioFate(TESSARO_AUDIO_AAC, TESSARO_STREAM_READ);
        m_audioCodec = AudioCodec::Aac;
        m_sink->audioMap(m_audioCodec);
        m_sink->audioStart(m_audioCodec, s.stamp);
        if (!held.empty()) m_sink->audioPayload(held.data(), held.size(), s.heldAt);
        return;
    }
    const size_t frame = held.size() >= 4 ? mpegAudioFrameBytes(held.data()) : 0;
    const bool mpeg = frame > 0 && (frame + 4 > held.size() || mpegAudioFrameBytes(held.data() + frame) > 0);
    setAudioFate(mpeg ? TESSARO_AUDIO_MPEG : 0, mpeg ? TESSARO_STREAM_UNSUPPORTED : TESSARO_STREAM_UNKNOWN);
    m_gaveUpGuess = true;
    m_audioCodec = AudioCodec::None;
    s.open = false;
    s.headerDone = false;
    s.pid = -1;
}

void TsDemuxer::closePes(Pes& s, bool video) {
    if (s.guessing) judgeAudio();
    if (s.open && s.headerDone && !video) m_sink->audioEnd();
    s.open = false;
    s.headerDone = false;
    s.hdr.clear();
}

void TsDemuxer::pesBytes(Pes& s, bool video, bool start, const uint8_t* p, size_t n, uint64_t at) {
    if (start) {
        closePes(s, video);
        s.open = true;
        s.hdr.clear();
    }
    if (!s.open) return;  // joined part way: wait for the next packet start
    if (s.headerDone) {
        payload(s, video, p, n, at);
        return;
    }
    // Gather the header, which may reach into the next packet.
    const size_t had = s.hdr.size();
    s.hdr.insert(s.hdr.end(), p, p + n);
    const uint8_t* h = s.hdr.data();
    if (s.hdr.size() < 9) return;
    if (h[0] != 0 || h[1] != 0 || h[2] != 1 || !hasPesHeader(h[3])) {
        closePes(s, video);
        return;
    }
    s.length = size_t{h[4]} << 8 | h[5];
    const size_t want = pesHeaderWant(h, s.length);
    if (s.hdr.size() < want) {
        if (want > 6 + 255 + 9) closePes(s, video);
        return;
    }
    size_t headerEnd = 0;
    Stamp stamp;
    if (!parsePesHeader(h, s.hdr.size(), s.length, headerEnd, stamp) || headerEnd > s.hdr.size()) {
        closePes(s, video);
        return;
    }
    s.headerDone = true;
    s.bounded = s.length != 0;
    s.remaining = s.bounded ? s.length - (headerEnd - 6) : 0;
    if (video) {
        m_sink->videoStamp(stamp);
    } else if (m_audioCodec == AudioCodec::Guess) {
        s.guessing = true;
        s.stamp = stamp;
        s.heldAt = at + (headerEnd - had);
    } else {
        m_sink->audioStart(m_audioCodec, stamp);
    }
    // The header needs at least 9 bytes, so it always ends in this packet.
    const size_t first = headerEnd >= had ? headerEnd - had : n;
    if (first < n) payload(s, video, p + first, n - first, at + first);
    s.hdr.clear();
    s.hdr.shrink_to_fit();
}

void TsDemuxer::payload(Pes& s, bool video, const uint8_t* p, size_t n, uint64_t at) {
    if (s.bounded) {
        n = std::min(n, s.remaining);  // what follows the stated length is stuffing
        s.remaining -= n;
    }
    if (s.guessing) {
        s.held.insert(s.held.end(), p, p + n);
        if (s.held.size() < kJudgeBytes && !(s.bounded && s.remaining == 0)) return;
        judgeAudio();
        if (!s.open) return;
        n = 0;  // the held bytes went on
    }
    if (n > 0) {
        if (video) {
            std::vector<uint8_t> unused;
            m_sink->videoPayload(p, n, at, false, unused);
        } else {
            m_sink->audioPayload(p, n, at);
        }
    }
    if (s.bounded && s.remaining == 0) {
        if (!video) m_sink->audioEnd();
        s.open = false;
        s.headerDone = false;
    }
}

}  // namespace tessaro
