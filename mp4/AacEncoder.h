// The AAC encoding path of the audio track: PCM of any rate and layout
// converted to the track's, queued into whole encoder frames and encoded.
// Mono and stereo go to VisualOn's encoder (many times faster than FFmpeg's
// at a like quality for speech), the rest to FFmpeg's. Packets begin early by
// the encoder's priming, which the muxer turns into an edit that skips it;
// the last one lasts only as long as the sound still in it, so the padding of
// the last frame is never played.
#pragma once

#include "FfmpegPtr.h"

#include <cstdint>
#include <memory>
#include <vector>

class IPacketSink;
struct AVChannelLayout;

class CAacEncoder {
public:
    enum class EInput { S16, FloatPlanar };  // interleaved 16-bit, or a float plane per channel
    static constexpr int MAX_INPUT_CHANNELS = 8;

    // The rate and channel count a track gets for audio of this shape: the
    // next rate and a layout the encoder takes.
    static void TrackShape(int nRate, int nChannels, int* pRate, int* pChannels);

    // The decoder configuration of such a track; empty when the encoder
    // cannot be opened for it.
    static std::vector<uint8_t> TrackConfig(int nRate, int nChannels);

    // The bit rate a track of this shape is encoded at.
    static int64_t BitRate(int nRate, int nChannels);

    // One encoded frame of silence of this exact shape, and the configuration
    // it belongs to; empty when the encoder does not take the shape.
    static std::vector<uint8_t> SilentFrame(int nRate, int nChannels, std::vector<uint8_t>* pConfig);

    // nRate/nChannels: the track's shape (from TrackShape).
    CAacEncoder(int nRate, int nChannels, IPacketSink& sink);
    ~CAacEncoder();
    CAacEncoder(const CAacEncoder&) = delete;
    CAacEncoder& operator=(const CAacEncoder&) = delete;

    // bFfmpeg: FFmpeg's encoder even where VisualOn's could serve.
    bool Open(bool bFfmpeg = false);
    bool IsOpen() const { return m_pEncoder != nullptr || m_pVisualOn != nullptr; }
    // The samples the encoder's output lags its input by.
    int64_t Delay() const { return m_nDelay; }

    // The format of the following input. On a change, what the converter
    // still holds of the old format is encoded first.
    bool SetInput(EInput eInput, int nChannels, int nRate);

    // nSamples sample frames: one pointer for S16, one per channel otherwise.
    void Feed(const uint8_t* const* ppData, int64_t nSamples);

    // Silence for nTrackSamples samples of the track, after what came before.
    void FeedSilence(int64_t nTrackSamples);

    // The track sample the next input sample plays at (0 for the first).
    int64_t Position() const;

    // Encodes what is left: the converter's tail, a last padded frame, the
    // encoder's delay.
    void Flush();

private:
    struct SVisualOn;

    bool OpenQueue(int nSampleFormat, const AVChannelLayout& layout);
    void Queue(const uint8_t* const* ppIn, int nIn);
    void Convert(const uint8_t* const* ppIn, int nIn);
    void DrainFifo(bool bFinal);
    void Send(AVFrame* pFrame);
    void SendVisualOn(const AVFrame* pFrame);
    void Emit(AVPacket* pPacket);

    int m_nRate;
    int m_nChannels;
    IPacketSink& m_sink;
    trelvo::mp4::CodecCtxPtr m_pEncoder;     // FFmpeg's, or
    std::unique_ptr<SVisualOn> m_pVisualOn;  // VisualOn's
    int m_nQueueFormat = 0;                  // the encoder's sample format
    bool m_bDirect = false;                  // input as the encoder takes it: no converter
    trelvo::mp4::SwrPtr m_pResampler;
    trelvo::mp4::FifoPtr m_pFifo;
    trelvo::mp4::FramePtr m_pFrame;
    trelvo::mp4::PacketPtr m_pPacket;
    EInput m_eInput = EInput::S16;
    int m_nInChannels = 0;
    int m_nInRate = 0;
    int64_t m_nFifoIn = 0;      // track samples put into the queue
    int64_t m_nEncoderPts = 0;  // track samples taken out of it
    int64_t m_nDelay = 0;
    int64_t m_nEmitted = 0;                          // packets handed on (VisualOn's carry no times)
    int64_t m_nEnd = INT64_MAX;                      // the sound's end, once flushing
    std::vector<std::vector<uint8_t>> m_vConverted;  // a plane per channel, or one interleaved
    std::vector<uint8_t> m_vZeros;
};
