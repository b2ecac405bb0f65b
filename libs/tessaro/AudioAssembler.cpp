#include "AudioAssembler.h"

#include "FrameRate.h"
#include "log/Log.h"
#include "tessaro.h"

#include <algorithm>
#include <cstring>

namespace tessaro {

namespace {

int64_t samplesToTicks(uint64_t samples, unsigned rate) {
    return static_cast<int64_t>((samples * kTicksPerSecond * 2 + rate) / (uint64_t{rate} * 2));
}

// One frame header of a framed codec: how long the frame is, what it holds.
struct FrameHead {
    size_t length = 0;
    unsigned rate = 0;
    unsigned channels = 0;
    unsigned samples = 0;
    MpegAudioHeader mpeg;
};

size_t headerBytes(AudioCodec codec) {
    return codec == AudioCodec::Mpeg ? kMpegAudioHeaderBytes : kAdtsHeaderBytes;
}

bool parseFrame(AudioCodec codec, const uint8_t* p, FrameHead& f) {
    if (codec == AudioCodec::Mpeg) {
        if (!parseMpegAudio(p, f.mpeg)) return false;
        f.length = f.mpeg.length;
        f.rate = f.mpeg.sampleRate;
        f.channels = f.mpeg.channels;
        f.samples = f.mpeg.samples;
        return true;
    }
    AdtsHeader h;
    if (!parseAdts(p, h)) return false;
    f.length = h.length;
    f.rate = h.sampleRate;
    f.channels = h.channels;
    f.samples = h.samples;
    return true;
}

// Two headers in a row belong to one stream: MPEG audio keeps its version,
// layer and rate (which random bytes after a false sync seldom do).
bool follows(AudioCodec codec, const FrameHead& a, const FrameHead& b) {
    return codec != AudioCodec::Mpeg || sameMpegAudioStream(a.mpeg, b.mpeg);
}

bool framed(AudioCodec codec) {
    return codec == AudioCodec::Aac || codec == AudioCodec::Mpeg;
}

}  // namespace

void AudioAssembler::packetStart(AudioCodec codec, const Stamp& stamp) {
    if (m_inPacket) end();
    m_inHeld = false;
    if (codec == AudioCodec::Guess && m_guess != AudioCodec::None) codec = m_guess;
    if (codec == AudioCodec::Unknown || codec == AudioCodec::Guess) {
        m_held.push_back({stamp, kNoPos, codec == AudioCodec::Guess, {}});
        m_inHeld = true;
        return;
    }
    if (!m_held.empty()) release(codec);
    start(codec, stamp);
}

void AudioAssembler::payload(const uint8_t* p, size_t n, uint64_t at) {
    if (m_inHeld) {
        Held& h = m_held.back();
        if (h.at == kNoPos) h.at = at;
        h.bytes.insert(h.bytes.end(), p, p + n);
        m_heldBytes += n;
        if (m_heldBytes >= kMaxHeldAudioBytes) release(guess());  // the packet read goes on as a live one
        return;
    }
    if (m_inPacket) take(p, n, at);
}

void AudioAssembler::packetEnd() {
    if (m_inHeld) {
        m_inHeld = false;
        if (m_held.back().guess) {
            // A map that leaves the stream out: the first packet's bytes decide.
            m_guess = guess();
            release(m_guess);
        } else if (heldFull()) {
            release(guess());
        }
        return;
    }
    if (m_inPacket) end();
}

void AudioAssembler::mapCodec(AudioCodec codec) {
    if (!m_held.empty()) release(codec);
}

void AudioAssembler::flush() {
    if (!m_held.empty()) release(guess());
    if (m_inPacket) end();
    if (framed(m_codec)) scanFrames(true);
}

bool AudioAssembler::heldFull() const {
    if (m_heldBytes >= kMaxHeldAudioBytes || m_held.size() >= kMaxHeldPackets) return true;
    const Held* first = nullptr;
    const Held* last = nullptr;
    for (const Held& h : m_held) {
        if (h.stamp.hasPts) {
            first = first ? first : &h;
            last = &h;
        }
    }
    if (!first) return m_heldBytes >= kMaxHeldUnstampedBytes;
    uint64_t span = (last->stamp.pts - first->stamp.pts) & kStampMask;
    return span >= static_cast<uint64_t>(kMaxHeldAudioTicks) && span < (uint64_t{1} << 32);
}

// What devices send when nothing says: A-law, unless the bytes are ADTS or
// MPEG audio frames.
AudioCodec AudioAssembler::guess() const {
    std::vector<uint8_t> head;
    for (const Held& h : m_held) {
        head.insert(head.end(), h.bytes.begin(),
                    h.bytes.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(h.bytes.size(), 4096)));
        if (head.size() >= 4096) break;
    }
    if (looksLikeAdts(head.data(), head.size())) return AudioCodec::Aac;
    return looksLikeMpegAudio(head.data(), head.size()) ? AudioCodec::Mpeg : AudioCodec::Alaw;
}

// Feeds the held packets through as the given codec; the last one stays
// open when it has not ended yet.
void AudioAssembler::release(AudioCodec codec) {
    std::deque<Held> held;
    held.swap(m_held);
    m_heldBytes = 0;
    const bool open = m_inHeld;
    m_inHeld = false;
    if (codec == AudioCodec::None) return;  // a stream the map names as something we do not read
    for (size_t i = 0; i < held.size(); ++i) {
        start(codec, held[i].stamp);
        if (!held[i].bytes.empty()) take(held[i].bytes.data(), held[i].bytes.size(), held[i].at);
        if (i + 1 < held.size() || !open) end();
    }
}

void AudioAssembler::start(AudioCodec codec, const Stamp& stamp) {
    if (codec != m_codec) {
        if (!m_cur.empty()) emitBlock();
        resetFrames();
        m_lpcmCarry.clear();
        m_lpcmKnown = false;
        m_codec = codec;
    }
    m_inPacket = true;
    m_lpcmHead.clear();
    if (framed(codec)) {
        // A packet that brought no bytes is forgotten: no frame starts in it.
        if (!m_marks.empty() && m_marks.back().at == kNoPos) m_marks.pop_back();
        m_marks.push_back({m_aacPos + m_aac.size(), kNoPos, stamp, false});
        return;
    }
    m_packetSamples = 0;
    m_packetTime = place(stamp, m_packetFlags);
}

void AudioAssembler::take(const uint8_t* p, size_t n, uint64_t at) {
    if (framed(m_codec)) {
        if (m_marks.back().at == kNoPos) m_marks.back().at = at;
        m_aac.insert(m_aac.end(), p, p + n);
        scanFrames(false);
        return;
    }
    if (m_codec == AudioCodec::Lpcm) {
        takeLpcm(p, n, at);
        return;
    }
    while (n > 0) {
        if (m_cur.empty()) {
            m_cur.reserve(kAudioRecordBytes);
            m_curStart = at;
            m_curSample = m_packetSamples;
        }
        size_t part = std::min(n, kAudioRecordBytes - m_cur.size());
        m_cur.insert(m_cur.end(), p, p + part);
        p += part;
        n -= part;
        at += part;
        m_packetSamples += part;  // one byte per G.711 sample
        if (m_cur.size() == kAudioRecordBytes) emitBlock();
    }
}

// The packet's LPCM header first (it may come in pieces), then its samples.
void AudioAssembler::takeLpcm(const uint8_t* p, size_t n, uint64_t at) {
    if (m_lpcmHead.size() < kLpcmHeaderBytes) {
        const size_t part = std::min(n, kLpcmHeaderBytes - m_lpcmHead.size());
        m_lpcmHead.insert(m_lpcmHead.end(), p, p + part);
        p += part;
        n -= part;
        at += part;
        if (m_lpcmHead.size() < kLpcmHeaderBytes) return;
        LpcmFormat f;
        m_lpcmSkip = !parseLpcmFormat(m_lpcmHead.data() + 4, f);
        if (!m_lpcmSkip && (!m_lpcmKnown || f != m_lpcm)) {
            // Samples of the old format never run on into the new one.
            if (!m_cur.empty()) emitBlock();
            m_lpcmCarry.clear();
            m_lpcm = f;
            m_lpcmKnown = true;
        }
        // The stamp is the first access unit's; the pointer says how far into
        // the samples it starts (4: at once).
        const size_t pointer = size_t{m_lpcmHead[2]} << 8 | m_lpcmHead[3];
        if (!m_lpcmSkip && pointer > 4 && !(m_packetFlags & TESSARO_FLAG_TIME_DERIVED)) {
            const uint64_t lead = (pointer - 4) * 8 / m_lpcm.bits / m_lpcm.channels;
            m_packetTime -= samplesToTicks(lead, m_lpcm.sampleRate);
        }
    }
    if (!m_lpcmSkip && n > 0) takeLpcmSamples(p, n, at);
}

// Whole units become samples; a unit cut short by the packet's end waits
// for the next packet's first bytes.
void AudioAssembler::takeLpcmSamples(const uint8_t* p, size_t n, uint64_t at) {
    const size_t unit = m_lpcm.unitBytes();
    const uint64_t unitFrames = m_lpcm.unitSamples() / m_lpcm.channels;
    const size_t unitOut = size_t{m_lpcm.unitSamples()} * m_lpcm.outBytes();
    auto append = [&](const uint8_t* src, size_t units, uint64_t from) {
        while (units > 0) {
            if (m_cur.empty()) {
                m_cur.reserve(kPcmRecordBytes);
                m_curStart = from;
                m_curSample = m_packetSamples;
            }
            const size_t room = (kPcmRecordBytes - m_cur.size()) / unitOut;
            const size_t part = std::min(units, room);
            convertLpcm(m_lpcm, src, part, m_cur);
            src += part * unit;
            from += part * unit;
            units -= part;
            m_packetSamples += part * unitFrames;
            if (m_cur.size() + unitOut > kPcmRecordBytes) emitBlock();
        }
    };
    if (!m_lpcmCarry.empty()) {
        const size_t part = std::min(n, unit - m_lpcmCarry.size());
        m_lpcmCarry.insert(m_lpcmCarry.end(), p, p + part);
        p += part;
        n -= part;
        at += part;
        if (m_lpcmCarry.size() < unit) return;
        append(m_lpcmCarry.data(), 1, at - part);
        m_lpcmCarry.clear();
    }
    const size_t units = n / unit;
    append(p, units, at);
    m_lpcmCarry.assign(p + units * unit, p + n);
}

void AudioAssembler::end() {
    m_inPacket = false;
    if (!m_cur.empty()) emitBlock();
}

// A packet's time: its stamp on the clock, or straight on from the last
// record (else from where the other stream is) when it has none.
int64_t AudioAssembler::place(const Stamp& stamp, uint32_t& flags) {
    flags = 0;
    if (stamp.hasPts) {
        const int64_t ext = m_clock->unwrap(stamp.pts);
        bool jumped = false;
        const int64_t t = ext + m_clock->offsetFor(ext, m_haveEnd, m_end, kMaxStepBack, m_end, jumped);
        flags = jumped ? TESSARO_FLAG_DISCONTINUITY : 0;
        return t;
    }
    flags = TESSARO_FLAG_TIME_DERIVED;
    return m_haveEnd ? m_end : m_clock->placed() ? m_clock->latest() : 0;
}

void AudioAssembler::emitBlock() {
    AudioRecord r;
    r.start = m_curStart;
    r.codec = m_codec;
    size_t frameBytes = 1;  // G.711: one byte a sample, mono
    if (m_codec == AudioCodec::Lpcm) {
        r.codec = m_lpcm.bits == 16 ? AudioCodec::Pcm16 : AudioCodec::Pcm24;
        r.channels = m_lpcm.channels;
        r.sampleRate = m_lpcm.sampleRate;
        r.bits = 8 * m_lpcm.outBytes();
        frameBytes = size_t{m_lpcm.channels} * m_lpcm.outBytes();
    }
    r.time = m_packetTime + samplesToTicks(m_curSample, r.sampleRate);
    // Only the packet's first record carries its jump.
    r.flags = m_curSample == 0 ? m_packetFlags : (m_packetFlags & TESSARO_FLAG_TIME_DERIVED);
    const int64_t end = m_packetTime + samplesToTicks(m_curSample + m_cur.size() / frameBytes, r.sampleRate);
    r.bytes = std::move(m_cur);
    m_cur = {};
    push(std::move(r), end);
}

void AudioAssembler::scanFrames(bool atEnd) {
    const size_t need = headerBytes(m_codec);
    size_t head = 0;
    for (;;) {
        const size_t avail = m_aac.size() - head;
        if (avail < need) break;
        const uint8_t* p = m_aac.data() + head;
        FrameHead h;
        bool ok = parseFrame(m_codec, p, h);
        // Out of step, a header counts only when the next one follows its
        // frame (or its frame ends the input): damage does not pass as a frame.
        if (ok && !m_inSync) {
            if (avail < h.length + need) {
                if (!atEnd) break;
                ok = avail == h.length;
            } else {
                FrameHead next;
                ok = parseFrame(m_codec, p + h.length, next) && follows(m_codec, h, next);
            }
        }
        if (!ok) {
            m_inSync = false;
            const void* sync = std::memchr(p + 1, 0xFF, avail - 1);
            head = sync ? static_cast<size_t>(static_cast<const uint8_t*>(sync) - m_aac.data()) : m_aac.size();
            continue;
        }
        if (avail < h.length) break;
        emitFrame(head, h.length, h.rate, h.channels, h.samples);
        head += h.length;
        m_inSync = true;
    }
    if (atEnd && head < m_aac.size())
        TRELVO_LOG_DEBUG("tessaro", "the last AAC frame is cut short by the end: dropped");
    if (atEnd) head = m_aac.size();  // a frame cut short is dropped
    m_aac.erase(m_aac.begin(), m_aac.begin() + static_cast<std::ptrdiff_t>(head));
    m_aacPos += head;
    while (m_marks.size() > 1 && m_marks[1].pos <= m_aacPos) m_marks.pop_front();
}

void AudioAssembler::emitFrame(size_t head, size_t length, unsigned rate, unsigned channels, unsigned samples) {
    const uint64_t pos = m_aacPos + head;
    size_t mi = m_marks.size();
    while (mi > 1 && (m_marks[mi - 1].pos > pos || m_marks[mi - 1].at == kNoPos)) --mi;
    Mark& m = m_marks[mi - 1];
    AudioRecord r;
    r.start = m.at + (pos - m.pos);
    r.codec = m_codec;
    r.channels = channels;
    r.sampleRate = rate;
    // The packet's stamp is its first frame's; the frames after it follow on.
    if (!m.used || !m_haveEnd) {
        r.time = place(m.stamp, r.flags);
    } else {
        r.time = m_end;
        r.flags = m.stamp.hasPts ? 0 : TESSARO_FLAG_TIME_DERIVED;
    }
    m.used = true;
    r.bytes.assign(m_aac.begin() + static_cast<std::ptrdiff_t>(head),
                   m_aac.begin() + static_cast<std::ptrdiff_t>(head + length));
    const int64_t end = r.time + samplesToTicks(samples, rate);
    push(std::move(r), end);
}

void AudioAssembler::resetFrames() {
    m_inSync = false;
    m_aacPos += m_aac.size();
    m_aac.clear();
    m_marks.clear();
}

void AudioAssembler::push(AudioRecord&& r, int64_t end) {
    m_end = end;
    m_haveEnd = true;
    m_clock->note(r.time);
    m_ready.push_back(std::move(r));
}

uint64_t AudioAssembler::pendingFrom() const {
    uint64_t from = kNoPos;
    for (const Held& h : m_held) {
        if (h.at != kNoPos) {
            from = h.at;
            break;
        }
    }
    if (!m_cur.empty()) from = std::min(from, m_curStart);
    if (!m_aac.empty()) {
        for (size_t i = m_marks.size(); i-- > 0;) {
            const Mark& m = m_marks[i];
            if (m.pos <= m_aacPos && m.at != kNoPos) {
                from = std::min(from, m.at + (m_aacPos - m.pos));
                break;
            }
        }
    }
    return from;
}

}  // namespace tessaro
