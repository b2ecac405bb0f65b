#include "Mp4TestUtil.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>

#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/adler32.h>
#include <libavutil/pixdesc.h>
}

namespace mp4test {

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::filesystem::path DataPath(const std::string& strName) {
    return std::filesystem::path(TRELVO_SOURCE_DIR) / "tests" / "data" / strName;
}

std::vector<SPicture> CutPictures(const std::vector<uint8_t>& es, bool bHevc) {
    // Unit boundaries: every 00 00 01, taking one more zero in front when present.
    std::vector<size_t> starts;
    for (size_t i = 0; i + 2 < es.size(); ++i) {
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) {
            starts.push_back(i > 0 && es[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    }
    std::vector<SPicture> pictures;
    SPicture current;
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t b = starts[k];
        const size_t e = k + 1 < starts.size() ? starts[k + 1] : es.size();
        const size_t hdr = es[b + 2] == 1 ? b + 3 : b + 4;
        if (hdr >= e) continue;
        const int type = bHevc ? (es[hdr] >> 1) & 0x3F : es[hdr] & 0x1F;
        current.data.insert(current.data.end(), es.begin() + static_cast<std::ptrdiff_t>(b),
                            es.begin() + static_cast<std::ptrdiff_t>(e));
        const bool bVcl = bHevc ? type < 32 : (type >= 1 && type <= 5);
        if (bVcl) {
            current.bKey = bHevc ? (type >= 16 && type <= 21) : type == 5;
            pictures.push_back(std::move(current));
            current = SPicture{};
        }
    }
    return pictures;
}

TessaroFrame VideoRecord(const SPicture& pic, int32_t nCodec, uint32_t nRate, int32_t nWidth, int32_t nHeight) {
    TessaroFrame f{};
    f.pPayload = pic.data.data();
    f.nPayloadLen = static_cast<uint32_t>(pic.data.size());
    f.nFrameType = TESSARO_FRAME_VIDEO;
    f.nPts = f.nDts = TESSARO_NO_TIME;
    f.nFrameKind = pic.bKey ? TESSARO_KIND_KEY : TESSARO_KIND_NONKEY;
    f.nCodec = nCodec;
    f.nFrameRate = nRate;
    f.nWidth = nWidth;
    f.nHeight = nHeight;
    return f;
}

TessaroFrame AudioRecord(const uint8_t* p, uint32_t n, int32_t nCodec, uint32_t nChannels, uint32_t nSampleRate,
                         uint32_t nBits) {
    TessaroFrame f{};
    f.pPayload = p;
    f.nPayloadLen = n;
    f.nFrameType = TESSARO_FRAME_AUDIO;
    f.nPts = f.nDts = TESSARO_NO_TIME;
    f.nCodec = nCodec;
    f.nChannels = nChannels;
    f.nBitsPerSample = nBits;
    f.nSampleRate = nSampleRate;
    return f;
}

std::vector<int16_t> Sine(double dFreq, int nRate, int nChannels, int nFrames, double dAmp) {
    std::vector<int16_t> v;
    v.reserve(static_cast<size_t>(nFrames) * static_cast<size_t>(nChannels));
    for (int i = 0; i < nFrames; ++i) {
        const auto s = static_cast<int16_t>(dAmp * std::sin(2 * M_PI * dFreq * i / nRate));
        for (int c = 0; c < nChannels; ++c) v.push_back(s);
    }
    return v;
}

namespace {

int g_nLoggedErrors = 0;

void CountingLog(void*, int nLevel, const char*, va_list) {
    if (nLevel <= AV_LOG_ERROR) ++g_nLoggedErrors;
}

struct SCtxFree {
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
    void operator()(AVPacket* p) const { av_packet_free(&p); }
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};

// Level crossings with hysteresis, so coding noise around silence is ignored.
struct SToneMeter {
    bool bLow = false;
    int64_t nFirst = -1, nLast = -1, nCount = 0, nPos = 0;
    double dPeak = 0;
    void Add(float s) {
        dPeak = std::max(dPeak, static_cast<double>(std::fabs(s)));
        if (s < -0.03f) {
            bLow = true;
        } else if (s > 0.03f && bLow) {
            bLow = false;
            if (nFirst < 0) nFirst = nPos;
            nLast = nPos;
            ++nCount;
        }
        ++nPos;
    }
    double Hz(int nRate) const {
        if (nCount < 2 || nLast <= nFirst) return 0;
        return static_cast<double>(nCount - 1) * nRate / static_cast<double>(nLast - nFirst);
    }
};

// Where a tone sets in: the first loud sample after 0.1 s of quiet.
struct SOnsetMeter {
    int64_t nQuiet = 0;
    void Add(float s, double dTime, int nRate, std::vector<double>& onsets) {
        if (std::fabs(s) < 0.2f) {
            ++nQuiet;
            return;
        }
        if (nQuiet >= nRate / 10) onsets.push_back(dTime);
        nQuiet = 0;
    }
};

uint32_t PictureSum(const AVFrame* pFrame, double* pLuma) {
    const AVPixFmtDescriptor* pDesc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(pFrame->format));
    uint32_t nSum = 1;
    for (int plane = 0; pDesc != nullptr && plane < 3; ++plane) {
        const int w = plane == 0 ? pFrame->width : AV_CEIL_RSHIFT(pFrame->width, pDesc->log2_chroma_w);
        const int h = plane == 0 ? pFrame->height : AV_CEIL_RSHIFT(pFrame->height, pDesc->log2_chroma_h);
        double dTotal = 0;
        for (int y = 0; y < h; ++y) {
            const uint8_t* pRow = pFrame->data[plane] + static_cast<ptrdiff_t>(y) * pFrame->linesize[plane];
            nSum = av_adler32_update(nSum, pRow, static_cast<size_t>(w));
            for (int x = 0; plane == 0 && x < w; ++x) dTotal += pRow[x];
        }
        if (plane == 0) *pLuma = dTotal / (static_cast<double>(w) * h);
    }
    return nSum;
}

void Drain(AVCodecContext* pDec, AVFrame* pFrame, SStreamInfo& info, SToneMeter& meter, SOnsetMeter& onsets) {
    for (;;) {
        const int r = avcodec_receive_frame(pDec, pFrame);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
        if (r < 0) {
            ++info.nDecodeErrors;
            return;
        }
        const double dTime = pFrame->best_effort_timestamp == AV_NOPTS_VALUE
                                 ? -1e9
                                 : static_cast<double>(pFrame->best_effort_timestamp) * info.dTimeBase;
        info.vFrameTimes.push_back(dTime);
        if (pDec->codec_type == AVMEDIA_TYPE_AUDIO) {
            info.nDecodedFrames += pFrame->nb_samples;
            if (pFrame->format == AV_SAMPLE_FMT_FLTP) {
                const auto* p = reinterpret_cast<const float*>(pFrame->extended_data[0]);
                for (int i = 0; i < pFrame->nb_samples; ++i) {
                    meter.Add(p[i]);
                    onsets.Add(p[i], dTime + static_cast<double>(i) / pFrame->sample_rate, pFrame->sample_rate,
                               info.vOnsets);
                }
            }
        } else {
            ++info.nDecodedFrames;
            double dLuma = 0;
            info.vPictureSums.push_back(PictureSum(pFrame, &dLuma));
            info.vLuma.push_back(dLuma);
        }
        av_frame_unref(pFrame);
    }
}

}  // namespace

SProbe Probe(const std::filesystem::path& path) {
    SProbe probe;
    AVFormatContext* pRaw = nullptr;
    if (avformat_open_input(&pRaw, path.c_str(), nullptr, nullptr) < 0) return probe;
    std::unique_ptr<AVFormatContext, SCtxFree> pFmt(pRaw);
    if (avformat_find_stream_info(pFmt.get(), nullptr) < 0) return probe;
    probe.bOpened = true;
    probe.strFormat = pFmt->iformat->name;

    std::unique_ptr<AVCodecContext, SCtxFree> decoders[2];
    SStreamInfo* infos[2] = {&probe.video, &probe.audio};
    int indices[2] = {-1, -1};
    for (unsigned i = 0; i < pFmt->nb_streams; ++i) {
        const AVStream* st = pFmt->streams[i];
        const int k = st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO   ? 0
                      : st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO ? 1
                                                                       : -1;
        if (k < 0 || indices[k] >= 0) continue;
        indices[k] = static_cast<int>(i);
        SStreamInfo& info = *infos[k];
        info.bPresent = true;
        info.strCodec = avcodec_get_name(st->codecpar->codec_id);
        info.nTag = st->codecpar->codec_tag;
        info.nWidth = st->codecpar->width;
        info.nHeight = st->codecpar->height;
        info.nSampleRate = st->codecpar->sample_rate;
        info.nChannels = st->codecpar->ch_layout.nb_channels;
        info.dTimeBase = av_q2d(st->time_base);
        info.vExtradata.assign(st->codecpar->extradata, st->codecpar->extradata + st->codecpar->extradata_size);
        info.dDuration = st->duration > 0 ? static_cast<double>(st->duration) * info.dTimeBase : 0;
        const AVCodec* pCodec = avcodec_find_decoder(st->codecpar->codec_id);
        if (pCodec == nullptr) continue;
        decoders[k].reset(avcodec_alloc_context3(pCodec));
        // Times of decoded frames in the stream's base, trimmed where the
        // container says samples are to be skipped.
        decoders[k]->pkt_timebase = st->time_base;
        if (avcodec_parameters_to_context(decoders[k].get(), st->codecpar) < 0 ||
            avcodec_open2(decoders[k].get(), pCodec, nullptr) < 0)
            decoders[k].reset();
    }

    g_nLoggedErrors = 0;
    av_log_set_callback(CountingLog);
    std::unique_ptr<AVPacket, SCtxFree> pPkt(av_packet_alloc());
    std::unique_ptr<AVFrame, SCtxFree> pFrame(av_frame_alloc());
    SToneMeter meters[2];
    SOnsetMeter onsets[2];
    while (av_read_frame(pFmt.get(), pPkt.get()) >= 0) {
        for (int k = 0; k < 2; ++k) {
            if (pPkt->stream_index != indices[k]) continue;
            ++infos[k]->nPackets;
            infos[k]->vPts.push_back(pPkt->pts);
            infos[k]->vPacketData.emplace_back(pPkt->data, pPkt->data + pPkt->size);
            if (decoders[k]) {
                if (avcodec_send_packet(decoders[k].get(), pPkt.get()) < 0) ++infos[k]->nDecodeErrors;
                Drain(decoders[k].get(), pFrame.get(), *infos[k], meters[k], onsets[k]);
            }
        }
        av_packet_unref(pPkt.get());
    }
    for (int k = 0; k < 2; ++k) {
        if (decoders[k]) {
            avcodec_send_packet(decoders[k].get(), nullptr);
            Drain(decoders[k].get(), pFrame.get(), *infos[k], meters[k], onsets[k]);
        }
    }
    av_log_set_callback(av_log_default_callback);
    // Errors cannot be told apart by stream here; both streams must be clean.
    probe.video.nDecodeErrors += g_nLoggedErrors;
    probe.audio.nDecodeErrors += g_nLoggedErrors;
    probe.audio.dToneHz = meters[1].Hz(probe.audio.nSampleRate);
    probe.audio.dPeak = meters[1].dPeak;
    return probe;
}

std::vector<SRecord> DemuxRecords(const std::filesystem::path& path) {
    std::vector<SRecord> records;
    AVFormatContext* pRaw = nullptr;
    if (avformat_open_input(&pRaw, path.c_str(), nullptr, nullptr) < 0) return records;
    std::unique_ptr<AVFormatContext, SCtxFree> pFmt(pRaw);
    if (avformat_find_stream_info(pFmt.get(), nullptr) < 0) return records;
    std::unique_ptr<AVPacket, SCtxFree> pPkt(av_packet_alloc());
    const AVRational ticks{1, 90000};
    int64_t nLastAudio = TESSARO_NO_TIME;
    while (av_read_frame(pFmt.get(), pPkt.get()) >= 0) {
        const AVStream* st = pFmt->streams[pPkt->stream_index];
        const AVCodecParameters* par = st->codecpar;
        SRecord r;
        TessaroFrame& f = r.frame;
        f.nPts = pPkt->pts == AV_NOPTS_VALUE ? TESSARO_NO_TIME : av_rescale_q(pPkt->pts, st->time_base, ticks);
        f.nDts = pPkt->dts == AV_NOPTS_VALUE ? TESSARO_NO_TIME : av_rescale_q(pPkt->dts, st->time_base, ticks);
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            f.nFrameType = TESSARO_FRAME_VIDEO;
            f.nFrameKind = (pPkt->flags & AV_PKT_FLAG_KEY) ? TESSARO_KIND_KEY : TESSARO_KIND_NONKEY;
            f.nCodec = par->codec_id == AV_CODEC_ID_HEVC ? TESSARO_CODEC_H265 : TESSARO_CODEC_H264;
            f.nWidth = par->width;
            f.nHeight = par->height;
            f.nRateNum = static_cast<uint32_t>(st->r_frame_rate.num);
            f.nRateDen = static_cast<uint32_t>(st->r_frame_rate.den);
            f.nFrameRate = static_cast<uint32_t>(std::lround(av_q2d(st->r_frame_rate)));
        } else if (par->codec_id == AV_CODEC_ID_AAC) {
            // A PES of several frames stamps only the first; each record
            // carries the time of its own first sample.
            if (f.nPts == TESSARO_NO_TIME && nLastAudio != TESSARO_NO_TIME)
                f.nPts = f.nDts = nLastAudio + av_rescale(1024, 90000, par->sample_rate);
            nLastAudio = f.nPts;
            f.nFrameType = TESSARO_FRAME_AUDIO;
            f.nCodec = TESSARO_AUDIO_AAC;
            f.nChannels = static_cast<uint32_t>(par->ch_layout.nb_channels);
            f.nSampleRate = static_cast<uint32_t>(par->sample_rate);
            f.nBitsPerSample = 16;
        } else {
            av_packet_unref(pPkt.get());
            continue;
        }
        r.payload.assign(pPkt->data, pPkt->data + pPkt->size);
        f.nPayloadLen = static_cast<uint32_t>(r.payload.size());
        records.push_back(std::move(r));
        av_packet_unref(pPkt.get());
    }
    return records;
}

std::filesystem::path TempDir(const std::string& strTest) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("trelvo_mp4_" + std::to_string(::getpid()) + "_" + strTest);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;  // NOLINT(performance-no-automatic-move): a small path, built once
}

}  // namespace mp4test
