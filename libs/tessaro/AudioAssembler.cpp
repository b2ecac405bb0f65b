#include "AudioAssembler.h"

#include "FrameRate.h"
#include "tessaro.h"

#include <algorithm>

namespace tessaro {

namespace {

int64_t samplesToTicks(uint64_t samples, unsigned rate) {
    return static_cast<int64_t>((samples * kTicksPerSecond * 2 + rate) / (uint64_t{rate} * 2));
}

} // namespace

void AudioAssembler::packetStart(AudioCodec codec, const Stamp& stamp) {
    if (!m_cur.empty())
        emit();
    m_codec = codec;
    m_packetSamples = 0;
    m_packetFlags = 0;
    if (stamp.hasPts) {
        const int64_t ext = m_clock->unwrap(stamp.pts);
        bool jumped = false;
        m_packetTime = ext + m_clock->offsetFor(ext, m_haveEnd, m_end, kMaxStepBack, m_end, jumped);
        if (jumped)
            m_packetFlags = TESSARO_FLAG_DISCONTINUITY;
    } else {
        // No stamp: straight on from the last record, or from where the
        // other stream is.
        m_packetTime = m_haveEnd ? m_end : m_clock->placed() ? m_clock->latest() : 0;
        m_packetFlags = TESSARO_FLAG_TIME_DERIVED;
    }
}

void AudioAssembler::payload(const uint8_t* p, size_t n, uint64_t at) {
    while (n > 0) {
        if (m_cur.empty()) {
            m_cur.reserve(kAudioRecordBytes);
            m_curStart = at;
            m_curSample = m_packetSamples;
        }
        size_t take = std::min(n, kAudioRecordBytes - m_cur.size());
        m_cur.insert(m_cur.end(), p, p + take);
        p += take;
        n -= take;
        at += take;
        m_packetSamples += take;  // one byte per G.711 sample
        if (m_cur.size() == kAudioRecordBytes)
            emit();
    }
}

void AudioAssembler::packetEnd() {
    if (!m_cur.empty())
        emit();
}

void AudioAssembler::emit() {
    AudioRecord r;
    r.start = m_curStart;
    r.codec = m_codec;
    r.time = m_packetTime + samplesToTicks(m_curSample, r.sampleRate);
    // Only the packet's first record carries its jump or its missing stamp.
    r.flags = m_curSample == 0 ? m_packetFlags : (m_packetFlags & TESSARO_FLAG_TIME_DERIVED);
    r.bytes = std::move(m_cur);
    m_cur = {};
    m_end = m_packetTime + samplesToTicks(m_curSample + r.bytes.size(), r.sampleRate);
    m_haveEnd = true;
    m_clock->note(r.time);
    m_ready.push_back(std::move(r));
}

} // namespace tessaro
