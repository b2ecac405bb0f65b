// Owners of the FFmpeg objects this module uses, so every one has exactly
// one. The types stay declared only: headers here never pull in FFmpeg.
#pragma once

#include <memory>

struct AVAudioFifo;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace trelvo::mp4 {

struct SFfmpegFree {
    void operator()(AVAudioFifo* p) const;
    void operator()(AVCodecContext* p) const;
    void operator()(AVFrame* p) const;
    void operator()(AVPacket* p) const;
    void operator()(SwrContext* p) const;
};

using FifoPtr = std::unique_ptr<AVAudioFifo, SFfmpegFree>;
using CodecCtxPtr = std::unique_ptr<AVCodecContext, SFfmpegFree>;
using FramePtr = std::unique_ptr<AVFrame, SFfmpegFree>;
using PacketPtr = std::unique_ptr<AVPacket, SFfmpegFree>;
using SwrPtr = std::unique_ptr<SwrContext, SFfmpegFree>;

}  // namespace trelvo::mp4
