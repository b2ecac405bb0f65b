// One parser instance: probes the input format, runs the elementary-stream,
// program-stream or transport-stream path and hands out finished records in stream order.
#pragma once

#include "AudioAssembler.h"
#include "Clock.h"
#include "PsDemuxer.h"
#include "TsDemuxer.h"
#include "VideoAssembler.h"
#include "VideoTimeline.h"
#include "tessaro.h"

#include <deque>
#include <optional>
#include <vector>

namespace tessaro {

// Limits for a caller that does not drain the queue between inputs.
constexpr size_t kMaxQueuedRecords = 4096;
constexpr size_t kMaxQueuedBytes = size_t{64} * 1024 * 1024;
// Records that may wait for something earlier in the stream to finish
// (a picture whose successor never comes, audio held for a map): past this
// the order gives way rather than the records.
constexpr size_t kMaxWaitingRecords = 512;
constexpr size_t kMaxWaitingBytes = size_t{16} * 1024 * 1024;

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
    TessaroStatus status() const;

private:
    // Probe: the first bytes are gathered to tell the format. Refused: a
    // file that is not a recorder stream, whose bytes are passed over.
    enum class Mode { Probe, Detect, Es, Ps, Ts, Refused };
    struct Entry {
        TessaroFrame frame{};
        std::vector<uint8_t> owned;
        std::vector<TessaroNalUnit> units;
        uint64_t start = 0;  // input offset where the record's data begins
        uint64_t pos = 0;
        bool inStore = false;
    };

    void restart();
    void probeInput(const uint8_t* p, size_t n);
    void decide();
    void detect(const uint8_t* p, size_t n);
    void feedElementary(const uint8_t* p, size_t n, uint64_t at);
    void drainVideo();
    void drainAudio();
    void enqueue(Entry&& e);
    void updateHold();
    bool releasable(const Entry& e) const;
    void noteVideo();

    // PsSink
    void videoCodec(Codec codec, uint64_t at) override;
    void videoStamp(const Stamp& stamp) override;
    void videoPayload(const uint8_t* p, size_t n, uint64_t at, bool open, std::vector<uint8_t>& rest) override;
    void audioStart(AudioCodec codec, const Stamp& stamp) override;
    void audioMap(AudioCodec codec) override;
    void audioPayload(const uint8_t* p, size_t n, uint64_t at) override;
    void audioEnd() override;
    void audioLeftOut(int32_t code) override;

    Mode m_mode = Mode::Probe;
    std::vector<uint8_t> m_probe;
    uint64_t m_inputPos = 0;  // input offset of the next byte
    std::vector<uint8_t> m_detect;
    Clock m_clock;
    VideoAssembler m_video;
    VideoTimeline m_timeline;
    AudioAssembler m_audio;
    PsDemuxer m_ps;
    std::optional<TsDemuxer> m_ts;
    std::deque<Entry> m_queue;
    size_t m_queuedBytes = 0;
    size_t m_queuedInStore = 0;
    Entry m_current;
    bool m_ended = false;
    TessaroStatus m_status{};
};

}  // namespace tessaro
