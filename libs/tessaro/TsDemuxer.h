// Transport-stream reader: packets by their sync bytes (188, 192 or 204
// bytes apart, found again after a lost or damaged one), PAT and PMT for the
// streams, and the PES packets of one video and one audio stream handed to
// the same sink as the program stream's.
#pragma once

#include "PsDemuxer.h"
#include "tessaro.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaro {

class TsDemuxer {
public:
    // packetBytes: 188, 192 (a 4-byte time code before each) or 204 (16
    // bytes of parity after each); the sync byte is found either way.
    TsDemuxer(PsSink& sink, uint32_t packetBytes);

    // at: the input offset of p[0].
    void push(const uint8_t* p, size_t n, uint64_t at);
    // The input has ended: what is still buffered is read, an open packet ends.
    void end();
    // The input stopped inside a video packet of stated length.
    bool videoCut() const { return m_video.open && m_video.bounded && m_video.remaining > 0; }

    uint32_t packetBytes() const { return m_packetBytes; }
    // Packets lost, repeated or damaged; none of them stops the stream.
    uint64_t continuityErrors() const { return m_errors; }
    const std::vector<TessaroStream>& streams() const { return m_streams; }

private:
    struct Section {
        std::vector<uint8_t> bytes;
        bool open = false;
    };
    struct Pes {
        int pid = -1;
        bool open = false;        // between a packet start and its end
        bool headerDone = false;  // the header is read, payload follows
        bool bounded = false;     // the header gave a length
        size_t length = 0;
        size_t remaining = 0;  // payload bytes still to come when bounded
        std::vector<uint8_t> hdr;
        // A private stream whose codec its bytes must tell: the first
        // payload, held until there is enough to judge.
        bool guessing = false;
        Stamp stamp;
        uint64_t heldAt = 0;
        std::vector<uint8_t> held;
    };

    void scan(bool atEnd);
    void packet(const uint8_t* p, uint64_t at);
    void sectionBytes(Section& s, bool start, const uint8_t* p, size_t n, bool pmt, uint64_t at);
    void table(const uint8_t* p, size_t n, bool pmt, uint64_t at);
    void pat(const uint8_t* p, size_t n);
    void pmt(const uint8_t* p, size_t n, uint64_t at);
    void pesBytes(Pes& s, bool video, bool start, const uint8_t* p, size_t n, uint64_t at);
    void payload(Pes& s, bool video, const uint8_t* p, size_t n, uint64_t at);
    void closePes(Pes& s, bool video);
    void judgeAudio();
    void setAudioFate(int32_t codec, int32_t fate);

    PsSink* m_sink;
    uint32_t m_packetBytes;
    std::vector<uint8_t> m_buf;  // bytes not yet read as packets
    uint64_t m_bufAt = 0;        // input offset of m_buf[0]
    bool m_inSync = false;
    uint64_t m_errors = 0;
    std::array<int8_t, 8192> m_cc{};  // last continuity counter per PID, -1 none

    Section m_patSection;
    Section m_pmtSection;
    int m_pmtPid = -1;
    std::vector<uint8_t> m_lastPmt;  // the PMT in force, to see a change
    Pes m_video;
    Pes m_audio;
    uint8_t m_videoType = 0;
    AudioCodec m_audioCodec = AudioCodec::None;
    bool m_gaveUpGuess = false;  // a private stream's bytes were not sound we know
    std::vector<TessaroStream> m_streams;
};

}  // namespace tessaro
