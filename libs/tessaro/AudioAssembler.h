// Turns the audio payload of program-stream packets into timed records:
// G.711 cut into blocks the writers take, AAC one ADTS frame each. Audio
// that comes before the first stream map is held until the map names its
// codec, within bounds, and then guessed from its bytes.
#pragma once

#include "Adts.h"
#include "Clock.h"
#include "VideoAssembler.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace tessaro {

// Unknown: no map yet. Guess: a map that does not name the stream.
enum class AudioCodec { None, Unknown, Guess, Alaw, Mulaw, Aac };

// G.711 records are cut to this size; the writer refuses more than 1535 bytes.
constexpr size_t kAudioRecordBytes = 1280;
constexpr unsigned kG711SampleRate = 8000;
// Audio held for a map that does not come: at most this much, or this long.
constexpr size_t kMaxHeldAudioBytes = size_t{1} << 20;
constexpr int64_t kMaxHeldAudioTicks = timing::kMaxHeldAudioTicks;
constexpr size_t kMaxHeldUnstampedBytes = 2 * kG711SampleRate;
constexpr size_t kMaxHeldPackets = 4096;

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
    // A stream map named the codec: audio held so far takes it.
    void mapCodec(AudioCodec codec);
    // The input has ended: what is held is guessed, what is whole comes out.
    void flush();

    // Input offset of the first byte not yet in a record, kNoPos if none.
    uint64_t pendingFrom() const;
    std::deque<AudioRecord>& ready() { return m_ready; }

private:
    struct Held {
        Stamp stamp;
        uint64_t at = kNoPos;
        bool guess = false;  // the map left the stream out
        std::vector<uint8_t> bytes;
    };
    struct Mark {  // where a packet's bytes begin in the AAC byte count
        uint64_t pos;
        uint64_t at;
        Stamp stamp;
        bool used;  // a frame that starts in the packet has its stamp
    };

    bool heldFull() const;
    AudioCodec guess() const;
    void release(AudioCodec codec);
    void start(AudioCodec codec, const Stamp& stamp);
    void take(const uint8_t* p, size_t n, uint64_t at);
    void end();
    int64_t place(const Stamp& stamp, uint32_t& flags);
    void emitG711();
    void scanAac(bool atEnd);
    void emitAac(size_t head, const AdtsHeader& h);
    void resetAac();
    void push(AudioRecord&& r, int64_t end);

    Clock* m_clock;
    std::deque<Held> m_held;
    size_t m_heldBytes = 0;
    bool m_inHeld = false;
    AudioCodec m_guess = AudioCodec::None;  // decided once for a map that leaves the stream out

    AudioCodec m_codec = AudioCodec::None;
    bool m_inPacket = false;
    bool m_haveEnd = false;
    int64_t m_end = 0;  // where the last record's samples ended
    // G.711: the packet's first sample time, samples so far, the block.
    int64_t m_packetTime = 0;
    uint64_t m_packetSamples = 0;
    uint32_t m_packetFlags = 0;
    std::vector<uint8_t> m_cur;
    uint64_t m_curStart = 0;
    uint64_t m_curSample = 0;
    // AAC: bytes not yet framed, from m_aacPos on in the byte count.
    std::vector<uint8_t> m_aac;
    uint64_t m_aacPos = 0;
    std::deque<Mark> m_marks;
    bool m_inSync = false;

    std::deque<AudioRecord> m_ready;
};

}  // namespace tessaro
