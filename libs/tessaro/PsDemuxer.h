// Program-stream packet parser. Works on the bytes as they arrive: packet
// headers are gathered in a small buffer, payloads go straight to the sink.
#pragma once

#include "VideoAssembler.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaro {

enum class AudioCodec { None, Alaw, Mulaw };

class PsSink {
public:
    virtual ~PsSink() = default;
    virtual void videoCodec(Codec codec) = 0;
    virtual void videoPts(uint64_t pts) = 0;
    // Video bytes of a PES packet without a length: the sink hands back what
    // follows the next packet start code (may stay empty).
    virtual void videoPayload(const uint8_t* p, size_t n, bool open, std::vector<uint8_t>& rest) = 0;
    virtual void audioPayload(const uint8_t* p, size_t n, AudioCodec codec) = 0;
    virtual void audioEnd(AudioCodec codec) = 0;
};

class PsDemuxer {
public:
    explicit PsDemuxer(PsSink& sink) : m_sink(&sink) { m_streamType.fill(0); }

    void push(const uint8_t* p, size_t n);
    // The input stopped inside the payload of a video packet: the picture
    // that packet carried is incomplete.
    bool videoCut() const { return m_state == State::Payload && m_target == Target::Video && m_remaining > 0; }

private:
    enum class State { Sync, Header, Payload, OpenPayload, Skip };
    enum class Target { None, Video, Audio };

    size_t step(const uint8_t* p, size_t n);
    size_t stepSync(const uint8_t* p, size_t n);
    void onHeader();
    void fail();
    void parseMap();
    void startPes(uint8_t id, size_t length);
    bool parsePesHeader(size_t length, size_t& headerEnd, bool& hasPts, uint64_t& pts) const;
    void endPacket();

    PsSink* m_sink;
    State m_state = State::Sync;
    bool m_expectPacket = false;  // the previous packet ended cleanly here
    std::vector<uint8_t> m_hdr;
    size_t m_need = 0;
    size_t m_remaining = 0;
    Target m_target = Target::None;
    AudioCodec m_audioCodec = AudioCodec::None;
    std::vector<uint8_t> m_replay;

    std::array<uint8_t, 256> m_streamType;
    bool m_haveMap = false;
    int m_videoId = -1;
    int m_audioId = -1;
};

} // namespace tessaro
