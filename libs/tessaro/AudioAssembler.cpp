#include "AudioAssembler.h"

#include <algorithm>

namespace tessaro {

void AudioAssembler::packetStart(AudioCodec codec) {
    if (!m_cur.empty())
        emit();
    m_codec = codec;
}

void AudioAssembler::payload(const uint8_t* p, size_t n, uint64_t at) {
    while (n > 0) {
        if (m_cur.empty()) {
            m_cur.reserve(kAudioRecordBytes);
            m_curStart = at;
        }
        size_t take = std::min(n, kAudioRecordBytes - m_cur.size());
        m_cur.insert(m_cur.end(), p, p + take);
        p += take;
        n -= take;
        at += take;
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
    r.bytes = std::move(m_cur);
    m_cur = {};
    m_ready.push_back(std::move(r));
}

} // namespace tessaro
