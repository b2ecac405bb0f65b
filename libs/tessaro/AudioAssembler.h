// Turns the audio payload of program-stream packets into records: G.711
// cut into blocks the writers take.
#pragma once

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
    std::vector<uint8_t> bytes;
};

class AudioAssembler {
public:
    void packetStart(AudioCodec codec);
    // at: the input offset of p[0].
    void payload(const uint8_t* p, size_t n, uint64_t at);
    void packetEnd();

    // Input offset of the first byte not yet in a record, kNoPos if none.
    uint64_t pendingFrom() const { return m_cur.empty() ? kNoPos : m_curStart; }
    std::deque<AudioRecord>& ready() { return m_ready; }

private:
    void emit();

    AudioCodec m_codec = AudioCodec::Alaw;
    std::vector<uint8_t> m_cur;
    uint64_t m_curStart = 0;
    std::deque<AudioRecord> m_ready;
};

} // namespace tessaro
