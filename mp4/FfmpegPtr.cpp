#include "FfmpegPtr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

namespace trelvo::mp4 {

void SFfmpegFree::operator()(AVAudioFifo* p) const {
    av_audio_fifo_free(p);
}

void SFfmpegFree::operator()(AVCodecContext* p) const {
    avcodec_free_context(&p);
}

void SFfmpegFree::operator()(AVFrame* p) const {
    av_frame_free(&p);
}

void SFfmpegFree::operator()(AVPacket* p) const {
    av_packet_free(&p);
}

void SFfmpegFree::operator()(SwrContext* p) const {
    swr_free(&p);
}

}  // namespace trelvo::mp4
