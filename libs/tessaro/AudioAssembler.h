// Turns the audio payload of program-stream packets into timed records:
// G.711 cut into blocks the writers take.
#pragma once

#include "Clock.h"
#include "VideoAssembler.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace tessaro {

enum class AudioCodec { None, Alaw, Mulaw };

// G.711 records are cut to this size; the writer refuses more than 1535 bytes.
constexpr size_t kAudioRecordBytes = 1280;
constexpr unsigned kG711SampleRate = 8000;

struct AudioRecord {
    uint64_t start = 0;  // input offset of the first byte
    AudioCodec codec = AudioCodec::Alaw;
    unsigned channels = 1;
    unsigned sampleRate = kG711SampleRate;
    int64_t time = 0;    // of the first sample, 90 kHz
    uint32_t flags = 0;  // TESSARO_FLAG_*
    std::vector<uint8_t> bytes;
};

class AudioAssembler {
public:
    explicit AudioAssembler(Clock& clock) : m_clock(&clock) {}

    void packetStart(AudioCodec codec, const Stamp& stamp);
    // at: the input offset of p[0].
    void payload(const uint8_t* p, size_t n, uint64_t at);
    void packetEnd();

    // Input offset of the first byte not yet in a record, kNoPos if none.
    uint64_t pendingFrom() const { return m_cur.empty() ? kNoPos : m_curStart; }
    std::deque<AudioRecord>& ready() { return m_ready; }

private:
    void emit();

    Clock* m_clock;
    AudioCodec m_codec = AudioCodec::Alaw;
    // The packet being read: its first sample's time and the samples so far.
    int64_t m_packetTime = 0;
    uint64_t m_packetSamples = 0;
    uint32_t m_packetFlags = 0;
    bool m_haveEnd = false;
    int64_t m_end = 0;  // where the last record's samples ended
    std::vector<uint8_t> m_cur;
    uint64_t m_curStart = 0;
    uint64_t m_curSample = 0;  // its first sample within the packet
    std::deque<AudioRecord> m_ready;
};

} // namespace tessaro
