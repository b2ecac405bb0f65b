// One parser instance: detects the input format, runs the elementary-stream
// or program-stream path and queues finished records for the caller.
#pragma once

#include "PsDemuxer.h"
#include "VideoAssembler.h"
#include "tessaro.h"

#include <deque>
#include <vector>

namespace tessaro {

// G.711 records are cut to this size; the writer refuses more than 1535 bytes.
constexpr size_t kAudioRecordBytes = 1280;
constexpr unsigned kG711SampleRate = 8000;
// Limits for a caller that does not drain the queue between inputs.
constexpr size_t kMaxQueuedRecords = 4096;
constexpr size_t kMaxQueuedBytes = size_t{64} * 1024 * 1024;

class Parser final : public PsSink {
public:
    Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    void input(const uint8_t* p, size_t n);
    const TessaroFrame* next();
    // The input has ended: everything still held is finished and queued.
    // The next input starts a new stream.
    void end();

private:
    enum class Mode { Detect, Es, Ps };
    struct Entry {
        TessaroFrame frame{};
        std::vector<uint8_t> owned;
        uint64_t pos = 0;
        bool inStore = false;
    };

    void restart();
    void detect(const uint8_t* p, size_t n);
    void feedElementary(const uint8_t* p, size_t n);
    void drainVideo();
    void emitAudio(AudioCodec codec);
    void enqueue(Entry&& e);
    void updateHold();

    // PsSink
    void videoCodec(Codec codec) override;
    void videoPts(uint64_t pts) override;
    void videoPayload(const uint8_t* p, size_t n, bool open, std::vector<uint8_t>& rest) override;
    void audioPayload(const uint8_t* p, size_t n, AudioCodec codec) override;
    void audioEnd(AudioCodec codec) override;

    Mode m_mode = Mode::Detect;
    std::vector<uint8_t> m_detect;
    VideoAssembler m_video;
    PsDemuxer m_ps;
    std::deque<Entry> m_queue;
    size_t m_queuedBytes = 0;
    size_t m_queuedInStore = 0;
    Entry m_current;
    std::vector<uint8_t> m_audio;
    AudioCodec m_audioCodec = AudioCodec::None;
    bool m_ended = false;
};

} // namespace tessaro
