// Turns the audio payload of program-stream packets into timed records:
// G.711 and LPCM cut into blocks the writers take, AAC and MPEG audio one
// frame each. Audio that comes before the first stream map is held until the
// map names its codec, within bounds, and then told by its bytes.
#pragma once

#include "Adts.h"
#include "Clock.h"
#include "Lpcm.h"
#include "MpegAudio.h"
#include "VideoAssembler.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace tessaro {

// Unknown: no map yet. Guess: a map that does not name the stream. Lpcm:
// private-stream packets whose payload begins with the LPCM header; their
// records are Pcm16 or Pcm24.
enum class AudioCodec { None, Unknown, Guess, Alaw, Mulaw, Aac, Mpeg, Lpcm, Pcm16, Pcm24 };

// G.711 records are cut to this size; the writer refuses more than 1535 bytes.
constexpr size_t kAudioRecordBytes = 1280;
// PCM records hold at most this many bytes (whole sample frames).
constexpr size_t kPcmRecordBytes = 4608;
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
    unsigned bits = 16;  // of a decoded sample
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

    // Audio is held for a map to name its codec.
    bool holding() const { return !m_held.empty(); }
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
    void emitBlock();
    void takeLpcm(const uint8_t* p, size_t n, uint64_t at);
    void takeLpcmSamples(const uint8_t* p, size_t n, uint64_t at);
    void scanFrames(bool atEnd);
    void emitFrame(size_t head, size_t length, unsigned rate, unsigned channels, unsigned samples);
    void resetFrames();
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
    // LPCM: the packet's header so far, the format, a unit cut short.
    std::vector<uint8_t> m_lpcmHead;
    LpcmFormat m_lpcm;
    bool m_lpcmKnown = false;
    bool m_lpcmSkip = false;  // the packet's header names no format we read
    std::vector<uint8_t> m_lpcmCarry;
    // AAC and MPEG audio: bytes not yet framed, from m_aacPos on in the byte count.
    std::vector<uint8_t> m_aac;
    uint64_t m_aacPos = 0;
    std::deque<Mark> m_marks;
    bool m_inSync = false;

    std::deque<AudioRecord> m_ready;
};

}  // namespace tessaro
