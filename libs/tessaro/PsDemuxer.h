// Program-stream packet parser. Works on the bytes as they arrive: packet
// headers are gathered in a small buffer, payloads go straight to the sink.
#pragma once

#include "AudioAssembler.h"
#include "VideoAssembler.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaro {

// Payload bytes come with the input offset of their first byte.
class PsSink {
public:
    virtual ~PsSink() = default;
    // A stream map names the video codec (or names another one than the last
    // map did); at is the map's input offset.
    virtual void videoCodec(Codec codec, uint64_t at) = 0;
    // The next video bytes begin a packet with these stamps.
    virtual void videoStamp(const Stamp& stamp) = 0;
    // Video bytes of a PES packet without a length: the sink hands back what
    // follows the next packet start code (may stay empty).
    virtual void videoPayload(const uint8_t* p, size_t n, uint64_t at, bool open, std::vector<uint8_t>& rest) = 0;
    virtual void audioStart(AudioCodec codec, const Stamp& stamp) = 0;
    // A stream map names the audio stream's codec.
    virtual void audioMap(AudioCodec codec) = 0;
    virtual void audioPayload(const uint8_t* p, size_t n, uint64_t at) = 0;
    virtual void audioEnd() = 0;
    // Audio came that no record will carry: a TESSARO_AUDIO_* code says what.
    virtual void audioLeftOut(int32_t /*code*/) {}
};

class PsDemuxer {
public:
    explicit PsDemuxer(PsSink& sink) : m_sink(&sink) { m_streamType.fill(0); }

    // at: the input offset of p[0].
    void push(const uint8_t* p, size_t n, uint64_t at);
    // The input stopped inside the payload of a video packet: the picture
    // that packet carried is incomplete.
    bool videoCut() const { return m_state == State::Payload && m_target == Target::Video && m_remaining > 0; }

private:
    enum class State { Sync, Header, Payload, OpenPayload, Skip };
    enum class Target { None, Video, Audio };

    size_t stepAt(const uint8_t* p, size_t n, uint64_t at);
    size_t step(const uint8_t* p, size_t n);
    size_t stepSync(const uint8_t* p, size_t n);
    void onHeader();
    void fail();
    void parseMap();
    void startPes(uint8_t id, size_t length);
    void chooseTarget(uint8_t id);
    size_t privatePeek(size_t headerEnd, size_t length) const;
    void choosePrivate(size_t headerEnd, size_t length);
    void skipPacket(size_t length);
    void endPacket();

    PsSink* m_sink;
    State m_state = State::Sync;
    bool m_expectPacket = false;  // the previous packet ended cleanly here
    uint64_t m_pos = 0;           // input offset of the bytes being stepped
    std::vector<uint8_t> m_hdr;
    uint64_t m_hdrEnd = 0;  // input offset just past m_hdr's last byte
    size_t m_need = 0;
    size_t m_remaining = 0;
    Target m_target = Target::None;
    AudioCodec m_audioCodec = AudioCodec::None;
    std::vector<uint8_t> m_replay;  // bytes that came just before the unread input
    uint64_t m_replayAt = 0;

    std::array<uint8_t, 256> m_streamType;
    bool m_haveMap = false;
    int m_videoId = -1;
    uint8_t m_mapVideoType = 0;  // what the last map said the video is
    int m_audioId = -1;          // a stream id, or 0x100 | the sub-stream id of private stream 1
};

}  // namespace tessaro
