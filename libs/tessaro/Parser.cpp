#include "Parser.h"

#include "Probe.h"
#include "PsSyntax.h"
#include "log/Log.h"

#include <algorithm>

namespace tessaro {

namespace {

// Junk kept while looking for the first start code.
constexpr size_t kDetectCarry = 16;

int32_t codeOf(Codec c) {
    switch (c) {
        case Codec::H264:
            return TESSARO_CODEC_H264;
        case Codec::H265:
            return TESSARO_CODEC_H265;
        case Codec::Mpeg2:
            return TESSARO_CODEC_MPEG2;
        case Codec::Mpeg4:
            return TESSARO_CODEC_MPEG4;
        case Codec::Other:
            return TESSARO_CODEC_OTHER;
        case Codec::Unknown:
            break;
    }
    return 0;
}

int32_t codeOf(AudioCodec c) {
    switch (c) {
        case AudioCodec::Mulaw:
            return TESSARO_AUDIO_MULAW;
        case AudioCodec::Aac:
            return TESSARO_AUDIO_AAC;
        case AudioCodec::Mpeg:
            return TESSARO_AUDIO_MPEG;
        case AudioCodec::Pcm16:
            return TESSARO_AUDIO_PCM16;
        case AudioCodec::Pcm24:
            return TESSARO_AUDIO_PCM24;
        default:
            return TESSARO_AUDIO_ALAW;
    }
}

}  // namespace

Parser::Parser() : m_timeline(m_clock), m_audio(m_clock), m_ps(*this) {}

// The store keeps what queued records and pictures waiting for their times
// point to; the queue's are the older ones.
void Parser::updateHold() {
    if (m_queuedInStore > 0) {
        for (const Entry& e : m_queue) {
            if (e.inStore) {
                m_video.setHold(e.pos);
                return;
            }
        }
    }
    m_video.setHold(m_timeline.firstStorePos());
}

void Parser::input(const uint8_t* p, size_t n) {
    m_current = Entry{};  // the record handed out last is no longer needed
    if (m_ended) restart();
    updateHold();
    const uint64_t at = m_inputPos;
    m_inputPos += n;
    switch (m_mode) {
        case Mode::Probe:
            probeInput(p, n);
            break;
        case Mode::Detect:
            detect(p, n);
            break;
        case Mode::Es:
            feedElementary(p, n, at);
            break;
        case Mode::Ps:
            m_ps.push(p, n, at);
            break;
        case Mode::Ts:
            m_ts->push(p, n, at);
            break;
        case Mode::Refused:
            break;
    }
}

void Parser::end() {
    if (m_ended) return;
    if (m_mode == Mode::Probe) decide();
    if (m_mode == Mode::Ts) {
        m_ts->end();
        m_video.flush(m_ts->videoCut());
        m_audio.flush();
        drainAudio();
    } else if (m_mode == Mode::Es) {
        m_video.flush(false);
    } else if (m_mode == Mode::Ps) {
        m_video.flush(m_ps.videoCut());
        m_audio.flush();
        drainAudio();
    }
    drainVideo();
    m_timeline.flush();
    drainVideo();
    m_ended = true;
}

void Parser::restart() {
    // Records not yet taken outlive the stream they came from.
    for (Entry& e : m_queue) {
        if (e.inStore) {
            const uint8_t* p = m_video.at(e.pos);
            e.owned.assign(p, p + e.frame.nPayloadLen);
            e.inStore = false;
        }
    }
    m_queuedInStore = 0;
    m_mode = Mode::Probe;
    m_probe.clear();
    m_ts.reset();
    m_detect.clear();
    m_clock = Clock();
    m_video = VideoAssembler();
    m_timeline = VideoTimeline(m_clock);
    m_audio = AudioAssembler(m_clock);
    m_ps = PsDemuxer(*this);
    m_ended = false;
    m_status = TessaroStatus{};
}

void Parser::probeInput(const uint8_t* p, size_t n) {
    m_probe.insert(m_probe.end(), p, p + n);
    if (m_probe.size() >= kProbeBytes) decide();
}

void Parser::decide() {
    std::vector<uint8_t> bytes;
    bytes.swap(m_probe);
    const ProbeResult r = probe(bytes.data(), bytes.size());
    if (TESSARO_CONTAINER_IS_FOREIGN(r.container)) {
        m_mode = Mode::Refused;
        m_status.nContainer = r.container;
        return;
    }
    if (r.container == TESSARO_CONTAINER_TS) {
        m_mode = Mode::Ts;
        m_status.nContainer = TESSARO_CONTAINER_TS;
        m_ts.emplace(*this, r.packetBytes);
        m_ts->push(bytes.data() + r.syncAt, bytes.size() - r.syncAt, r.syncAt);
        return;
    }
    m_mode = Mode::Detect;
    if (!bytes.empty()) detect(bytes.data(), bytes.size());
}

TessaroStatus Parser::status() const {
    TessaroStatus s = m_status;
    auto add = [&s](const TessaroStream& stream) {
        if (s.nStreams < TESSARO_MAX_STREAMS) s.aStreams[s.nStreams] = stream;
        ++s.nStreams;
    };
    if (m_ts) {
        s.nPacketBytes = m_ts->packetBytes();
        s.nContinuityErrors = m_ts->continuityErrors();
        for (const TessaroStream& stream : m_ts->streams()) add(stream);
    } else {
        // A bare or program stream: the video and the sound that were met.
        if (s.nVideoCodec != 0) {
            TessaroStream v{};
            v.nKind = TESSARO_STREAM_VIDEO;
            v.nCodec = s.nVideoCodec;
            v.nFate = (s.nFlags & TESSARO_STATUS_VIDEO_UNSUPPORTED) ? TESSARO_STREAM_UNSUPPORTED : TESSARO_STREAM_READ;
            add(v);
        }
        if (s.nAudioCodec != 0) {
            TessaroStream a{};
            a.nKind = TESSARO_STREAM_AUDIO;
            a.nCodec = s.nAudioCodec;
            a.nFate = TESSARO_STREAM_READ;
            add(a);
        }
    }
    return s;
}

void Parser::detect(const uint8_t* p, size_t n) {
    m_detect.insert(m_detect.end(), p, p + n);
    const uint64_t base = m_inputPos - m_detect.size();
    const uint8_t* d = m_detect.data();
    size_t size = m_detect.size();
    size_t i = 0;
    while (i + 3 < size) {
        if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1) {
            ++i;
            continue;
        }
        uint8_t code = d[i + 3];
        // A unit, or the sequence start of video read only to be named.
        if (code < 0x80 || code == 0xB3 || code == 0xB0) {
            size_t from = i > 0 && d[i - 1] == 0 ? i - 1 : i;  // keep a 4-byte start code whole
            std::vector<uint8_t> bytes(m_detect.begin() + static_cast<std::ptrdiff_t>(from), m_detect.end());
            m_detect.clear();
            m_detect.shrink_to_fit();
            m_mode = Mode::Es;
            m_status.nContainer = TESSARO_CONTAINER_ES;
            m_video.setWatchForPacks(true);
            feedElementary(bytes.data(), bytes.size(), base + from);
            return;
        }
        int v = plausibleHeader(d + i, size - i);
        if (v < 0) {
            m_detect.erase(m_detect.begin(), m_detect.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
        if (v > 0) {
            std::vector<uint8_t> bytes(m_detect.begin() + static_cast<std::ptrdiff_t>(i), m_detect.end());
            m_detect.clear();
            m_detect.shrink_to_fit();
            m_mode = Mode::Ps;
            m_status.nContainer = TESSARO_CONTAINER_PS;
            m_ps.push(bytes.data(), bytes.size(), base + i);
            return;
        }
        ++i;
    }
    if (m_detect.size() > kDetectCarry)
        m_detect.erase(m_detect.begin(), m_detect.end() - static_cast<std::ptrdiff_t>(kDetectCarry));
}

void Parser::feedElementary(const uint8_t* p, size_t n, uint64_t at) {
    m_video.push(p, n, at);
    drainVideo();
    if (m_video.packSeenAt() != kNoPos) {
        // Packet headers in what looked like a bare stream: it is a program
        // stream that began inside a packet. Go on from the packet start.
        uint64_t restAt = 0;
        std::vector<uint8_t> rest = m_video.takeFromPack(restAt);
        m_video.reset();
        m_video.setWatchForPacks(false);
        m_mode = Mode::Ps;
        m_status.nContainer = TESSARO_CONTAINER_PS;
        m_ps.push(rest.data(), rest.size(), restAt);
    }
}

void Parser::drainVideo() {
    auto& pictures = m_video.ready();
    while (!pictures.empty()) {
        m_timeline.add(std::move(pictures.front()));
        pictures.pop_front();
    }
    auto& ready = m_timeline.ready();
    while (!ready.empty()) {
        TimedPicture& t = ready.front();
        Picture& pic = t.pic;
        Entry e;
        TessaroFrame& f = e.frame;
        f.nPayloadLen = pic.len;
        f.nFrameType = TESSARO_FRAME_VIDEO;
        f.nFrameKind = pic.key ? TESSARO_KIND_KEY : TESSARO_KIND_NONKEY;
        f.nCodec = codeOf(pic.codec);
        f.nFlags = t.flags | (pic.afterDropped ? uint32_t{TESSARO_FLAG_AFTER_DROPPED} : 0u);
        f.nPts = t.pts;
        f.nDts = t.dts;
        f.nRateNum = t.rate.num;
        f.nRateDen = t.rate.den;
        f.nFrameRate = roundedRate(t.rate);
        f.nWidth = pic.width;
        f.nHeight = pic.height;
        e.start = pic.start;
        e.units = std::move(pic.units);
        if (pic.owned.empty()) {
            e.inStore = true;
            e.pos = pic.pos;
        } else {
            e.owned = std::move(pic.owned);
        }
        if (m_status.nVideoCodec == 0) m_status.nVideoCodec = f.nCodec;
        ready.pop_front();
        enqueue(std::move(e));
    }
    updateHold();
    noteVideo();
}

void Parser::noteVideo() {
    m_status.nDroppedAtStart = m_video.droppedAtStart();
    const Codec c = m_video.codec();
    if (c != Codec::Unknown && !isParsed(c)) {
        m_status.nFlags |= TESSARO_STATUS_VIDEO_UNSUPPORTED;
        if (m_status.nVideoCodec == 0) m_status.nVideoCodec = codeOf(c);
    }
    if (m_video.changeAt() != kNoPos && !(m_status.nFlags & TESSARO_STATUS_VIDEO_CHANGED)) {
        m_status.nFlags |= TESSARO_STATUS_VIDEO_CHANGED;
        m_status.nVideoChangeAt = m_video.changeAt();
    }
}

void Parser::drainAudio() {
    auto& ready = m_audio.ready();
    while (!ready.empty()) {
        AudioRecord& r = ready.front();
        Entry e;
        TessaroFrame& f = e.frame;
        e.start = r.start;
        e.owned = std::move(r.bytes);
        f.nPayloadLen = static_cast<uint32_t>(e.owned.size());
        f.nFrameType = TESSARO_FRAME_AUDIO;
        f.nFlags = r.flags;
        f.nPts = f.nDts = r.time;
        f.nCodec = codeOf(r.codec);
        if (m_status.nAudioCodec == 0) m_status.nAudioCodec = f.nCodec;
        f.nChannels = r.channels;
        f.nBitsPerSample = r.bits;
        f.nSampleRate = r.sampleRate;
        ready.pop_front();
        enqueue(std::move(e));
    }
}

void Parser::enqueue(Entry&& e) {
    m_queuedBytes += e.frame.nPayloadLen;
    if (e.inStore && m_queuedInStore++ == 0) m_video.setHold(e.pos);
    // Records join in the order their data starts in the input; a picture
    // finishes after audio that began while it was open.
    auto at = m_queue.end();
    while (at != m_queue.begin() && std::prev(at)->start > e.start) --at;
    m_queue.insert(at, std::move(e));
    if (m_queue.size() > kMaxQueuedRecords || m_queuedBytes > kMaxQueuedBytes) {
        // The caller is not draining: the oldest records give way.
        TRELVO_LOG_DEBUG("tessaro", "records not taken in time: the oldest are dropped");
        while (m_queue.size() > 1 && (m_queue.size() > kMaxQueuedRecords || m_queuedBytes > kMaxQueuedBytes)) {
            m_queuedBytes -= m_queue.front().frame.nPayloadLen;
            m_queuedInStore -= m_queue.front().inStore ? 1 : 0;
            m_queue.pop_front();
        }
        updateHold();
    }
}

bool Parser::releasable(const Entry& e) const {
    if (m_ended || m_queue.size() > kMaxWaitingRecords || m_queuedBytes > kMaxWaitingBytes) return true;
    // Nothing still being gathered may start before it.
    uint64_t open = std::min({m_video.pendingFrom(), m_timeline.pendingFrom(), m_audio.pendingFrom()});
    return e.start < open;
}

const TessaroFrame* Parser::next() {
    m_current = Entry{};
    if (m_queue.empty() || !releasable(m_queue.front())) return nullptr;
    m_current = std::move(m_queue.front());
    m_queue.pop_front();
    m_queuedBytes -= m_current.frame.nPayloadLen;
    m_queuedInStore -= m_current.inStore ? 1 : 0;
    updateHold();
    if (m_current.frame.nFrameType == TESSARO_FRAME_VIDEO)
        ++m_status.nPictures;
    else
        ++m_status.nAudioRecords;
    m_current.frame.pPayload = m_current.inStore ? m_video.at(m_current.pos) : m_current.owned.data();
    m_current.frame.nFlags |= TESSARO_FLAG_PAYLOAD_WRITABLE;
    m_current.frame.nNalUnits = static_cast<uint32_t>(m_current.units.size());
    m_current.frame.pNalUnits = m_current.units.empty() ? nullptr : m_current.units.data();
    return &m_current.frame;
}

void Parser::videoCodec(Codec codec, uint64_t at) {
    m_video.setCodec(codec, at);
    drainVideo();
}

void Parser::videoStamp(const Stamp& stamp) {
    Stamp placed = stamp;
    m_timeline.place(placed);
    m_video.noteStamp(placed);
}

void Parser::videoPayload(const uint8_t* p, size_t n, uint64_t at, bool open, std::vector<uint8_t>& rest) {
    m_video.setWatchForPacks(open);
    m_video.push(p, n, at);
    drainVideo();
    if (open && m_video.packSeenAt() != kNoPos) {
        uint64_t restAt = 0;
        rest = m_video.takeFromPack(restAt);
    }
    m_video.setWatchForPacks(false);
}

void Parser::audioStart(AudioCodec codec, const Stamp& stamp) {
    m_audio.packetStart(codec, stamp);
    drainAudio();
}

void Parser::audioMap(AudioCodec codec) {
    // Sound held for the map, which names a kind no record carries.
    if (codec == AudioCodec::None && m_audio.holding()) audioLeftOut(TESSARO_AUDIO_UNKNOWN);
    m_audio.mapCodec(codec);
    drainAudio();
}

void Parser::audioPayload(const uint8_t* p, size_t n, uint64_t at) {
    m_audio.payload(p, n, at);
    drainAudio();
}

void Parser::audioEnd() {
    m_audio.packetEnd();
    drainAudio();
}

void Parser::audioLeftOut(int32_t code) {
    if (m_status.nFlags & TESSARO_STATUS_AUDIO_LEFT_OUT) return;
    m_status.nFlags |= TESSARO_STATUS_AUDIO_LEFT_OUT;
    m_status.nAudioLeftOut = code;
}

}  // namespace tessaro
