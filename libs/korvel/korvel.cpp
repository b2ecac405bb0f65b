// One recorder file to one AVI file. The AVI header must name every stream
// before the first packet, so a first, short pass learns the video format from
// the first key frame and looks a little further for audio; the second pass
// writes. Only the first pass's look-ahead is read twice, and nothing is
// buffered in memory beyond one chunk and the parser's current frame.
#include "libs/korvel/korvel.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "libs/korvel/KorvelProgress.h"
#include "libs/tessaro/tessaro.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

namespace {

constexpr size_t kChunkSize = 16384;
// How far past the first key frame the first pass looks for audio.
constexpr int kLookAheadRecords = 256;
constexpr uint64_t kLookAheadBytes = 4u << 20;

enum : int32_t {
    kErrArgs = -1,
    kErrInput = -2,
    kErrNoKeyFrame = -3,
    kErrWrite = -4,
    kErrCancelled = -5,
    kErrSameFile = -6,
    kErrMemory = -7,
};

struct SFileCloser {
    void operator()(FILE* p) const { std::fclose(p); }
};
using FilePtr = std::unique_ptr<FILE, SFileCloser>;

struct SParserCloser {
    void operator()(void* h) const { TessaroDestroy(h); }
};
using ParserPtr = std::unique_ptr<void, SParserCloser>;

struct SPacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// Closes the file (if open) and frees the context.
struct SOutputFree {
    void operator()(AVFormatContext* p) const {
        if (p->pb) avio_closep(&p->pb);
        avformat_free_context(p);
    }
};
using OutputPtr = std::unique_ptr<AVFormatContext, SOutputFree>;

struct SVideoInfo {
    bool bFound = false;
    bool bHevc = false;
    int32_t nWidth = 0;
    int32_t nHeight = 0;
    uint32_t nRate = 0;
    std::vector<uint8_t> extradata;  // parameter sets, Annex B
};

struct SAudioInfo {
    bool bFound = false;
    AVCodecID codecId = AV_CODEC_ID_NONE;
    int32_t nCodec = 0;
    uint32_t nChannels = 1;
    uint32_t nSampleRate = 8000;
    uint32_t nBytesPerSample = 1;
    uint32_t nTag = 0;
};

bool IsUsableKeyFrame(const TessaroFrame& f) {
    return f.nFrameType == TESSARO_FRAME_VIDEO && f.nFrameKind == TESSARO_KIND_KEY && f.pPayload &&
           f.nPayloadLen > 0 && f.nWidth > 0 && f.nHeight > 0 && f.nFrameRate > 0;
}

bool IsHevc(const TessaroFrame& f) { return f.nCodec == TESSARO_CODEC_H265; }

// The parameter-set NAL units of a key frame, each behind a 4-byte start code.
std::vector<uint8_t> ParameterSets(const uint8_t* p, size_t n, bool bHevc) {
    std::vector<uint8_t> out;
    std::vector<std::pair<size_t, size_t>> units;  // start, end of each NAL body
    size_t i = 0;
    size_t nStart = SIZE_MAX;
    while (i + 3 <= n) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            if (nStart != SIZE_MAX) {
                size_t nEnd = i;
                while (nEnd > nStart && p[nEnd - 1] == 0) --nEnd;  // zero of a 4-byte code
                units.emplace_back(nStart, nEnd);
            }
            i += 3;
            nStart = i;
        } else {
            ++i;
        }
    }
    if (nStart != SIZE_MAX) units.emplace_back(nStart, n);
    for (const auto& [b, e] : units) {
        if (e <= b) continue;
        const int nType = bHevc ? (p[b] >> 1) & 0x3F : p[b] & 0x1F;
        const bool bParam = bHevc ? (nType >= 32 && nType <= 34) : (nType == 7 || nType == 8);
        if (!bParam) continue;
        static const uint8_t kStart[4] = {0, 0, 0, 1};
        out.insert(out.end(), kStart, kStart + 4);
        out.insert(out.end(), p + b, p + e);
    }
    return out;
}

bool DescribeAudio(const TessaroFrame& f, SAudioInfo& a) {
    switch (f.nCodec) {
        case TESSARO_AUDIO_ALAW:
            a.codecId = AV_CODEC_ID_PCM_ALAW;
            a.nBytesPerSample = 1;
            a.nTag = 6;
            break;
        case TESSARO_AUDIO_MULAW:
            a.codecId = AV_CODEC_ID_PCM_MULAW;
            a.nBytesPerSample = 1;
            a.nTag = 7;
            break;
        case TESSARO_AUDIO_PCM16:
            a.codecId = AV_CODEC_ID_PCM_S16LE;
            a.nBytesPerSample = 2;
            a.nTag = 1;
            break;
        default:
            return false;  // other encodings are not carried
    }
    a.nCodec = f.nCodec;
    a.nChannels = f.nChannels >= 1 && f.nChannels <= 8 ? f.nChannels : 1;
    a.nSampleRate = f.nSampleRate >= 1000 && f.nSampleRate <= 192000 ? f.nSampleRate : 8000;
    a.bFound = true;
    return true;
}

class CConversion {
public:
    CConversion(const char* pszOutput, KorvelProgressCallback pfnProgress, KorvelCancelCallback pfnCancel,
                int32_t nUser)
        : m_strOutput(pszOutput), m_pfnProgress(pfnProgress), m_pfnCancel(pfnCancel), m_nUser(nUser) {}

    int32_t Run(FILE* pInput, uint64_t nSize) {
        m_nSize = nSize;
        const int32_t nDiscover = Discover(pInput);
        if (nDiscover < 0) return nDiscover;
        std::rewind(pInput);
        const int32_t nResult = Write(pInput);
        if (nResult < 0) {
            m_pOutput.reset();  // close before removing
            if (m_bOutputOpened) std::remove(m_strOutput.c_str());
        }
        return nResult;
    }

private:
    bool Cancelled() const { return m_pfnCancel != nullptr && m_pfnCancel(m_nUser) != 0; }

    // First pass: the video format from the first usable key frame, and audio
    // if any shows up before it or shortly after.
    int32_t Discover(FILE* pInput) {
        ParserPtr pParser(TessaroCreate(0));
        if (!pParser) return kErrMemory;
        std::vector<uint8_t> buffer(kChunkSize);
        int nRecordsAfterKey = 0;
        uint64_t nBytesAtKey = 0;
        uint64_t nBytes = 0;
        for (;;) {
            const size_t n = std::fread(buffer.data(), 1, buffer.size(), pInput);
            if (n == 0) break;
            nBytes += n;
            TessaroInputData(pParser.get(), buffer.data(), static_cast<uint32_t>(n));
            while (const TessaroFrame* f = TessaroGetNextFrame(pParser.get())) {
                if (!f->pPayload || f->nPayloadLen == 0) continue;
                if (f->nFrameType == TESSARO_FRAME_AUDIO && !m_audio.bFound) DescribeAudio(*f, m_audio);
                if (!m_video.bFound && IsUsableKeyFrame(*f)) {
                    m_video.bFound = true;
                    m_video.bHevc = IsHevc(*f);
                    m_video.nWidth = f->nWidth;
                    m_video.nHeight = f->nHeight;
                    // A rate beyond any camera's is a misread; keep the time base sane.
                    m_video.nRate = f->nFrameRate <= 1000 ? f->nFrameRate : 25;
                    m_video.extradata = ParameterSets(f->pPayload, f->nPayloadLen, m_video.bHevc);
                    nBytesAtKey = nBytes;
                } else if (m_video.bFound) {
                    ++nRecordsAfterKey;
                }
                if (m_video.bFound && (m_audio.bFound || nRecordsAfterKey >= kLookAheadRecords)) return 0;
            }
            if (m_video.bFound && nBytes - nBytesAtKey >= kLookAheadBytes) return 0;
            if (Cancelled()) return kErrCancelled;
        }
        if (std::ferror(pInput)) return kErrInput;
        return m_video.bFound ? 0 : kErrNoKeyFrame;
    }

    int32_t OpenOutput() {
        AVFormatContext* pCtx = nullptr;
        if (avformat_alloc_output_context2(&pCtx, nullptr, "avi", m_strOutput.c_str()) < 0 || !pCtx) {
            return kErrMemory;
        }
        m_pOutput.reset(pCtx);

        AVStream* pVideo = avformat_new_stream(pCtx, nullptr);
        if (!pVideo) return kErrMemory;
        AVCodecParameters* par = pVideo->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = m_video.bHevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
        par->codec_tag = m_video.bHevc ? MKTAG('H', 'E', 'V', 'C') : MKTAG('H', '2', '6', '4');
        par->width = m_video.nWidth;
        par->height = m_video.nHeight;
        if (!m_video.extradata.empty()) {
            par->extradata = static_cast<uint8_t*>(av_mallocz(m_video.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!par->extradata) return kErrMemory;
            std::memcpy(par->extradata, m_video.extradata.data(), m_video.extradata.size());
            par->extradata_size = static_cast<int>(m_video.extradata.size());
        }
        m_videoBase = AVRational{1, static_cast<int>(m_video.nRate)};
        pVideo->time_base = m_videoBase;
        pVideo->avg_frame_rate = pVideo->r_frame_rate = AVRational{static_cast<int>(m_video.nRate), 1};
        m_pVideo = pVideo;

        if (m_audio.bFound) {
            AVStream* pAudio = avformat_new_stream(pCtx, nullptr);
            if (!pAudio) return kErrMemory;
            AVCodecParameters* apar = pAudio->codecpar;
            apar->codec_type = AVMEDIA_TYPE_AUDIO;
            apar->codec_id = m_audio.codecId;
            apar->codec_tag = m_audio.nTag;
            apar->sample_rate = static_cast<int>(m_audio.nSampleRate);
            av_channel_layout_default(&apar->ch_layout, static_cast<int>(m_audio.nChannels));
            apar->bits_per_coded_sample = static_cast<int>(m_audio.nBytesPerSample * 8);
            apar->block_align = static_cast<int>(m_audio.nBytesPerSample * m_audio.nChannels);
            apar->bit_rate = static_cast<int64_t>(m_audio.nSampleRate) * apar->block_align * 8;
            m_audioBase = AVRational{1, static_cast<int>(m_audio.nSampleRate)};
            pAudio->time_base = m_audioBase;
            m_pAudio = pAudio;
        }

        if (avio_open(&pCtx->pb, m_strOutput.c_str(), AVIO_FLAG_WRITE) < 0) return kErrWrite;
        m_bOutputOpened = true;
        if (avformat_write_header(pCtx, nullptr) < 0) return kErrWrite;
        return 0;
    }

    // The payload goes to the muxer in place: the records arrive in file
    // order, so nothing needs to be queued or copied for interleaving.
    int32_t WritePacket(AVStream* pStream, AVRational base, const TessaroFrame& f, int64_t nPts,
                        int64_t nDuration, bool bKey) {
        AVPacket* pkt = m_pPacket.get();
        av_packet_unref(pkt);
        pkt->data = const_cast<uint8_t*>(f.pPayload);
        pkt->size = static_cast<int>(f.nPayloadLen);
        pkt->stream_index = pStream->index;
        pkt->pts = pkt->dts = nPts;
        pkt->duration = nDuration;
        if (bKey) pkt->flags |= AV_PKT_FLAG_KEY;
        av_packet_rescale_ts(pkt, base, pStream->time_base);
        const int nRet = av_write_frame(m_pOutput.get(), pkt);
        av_packet_unref(pkt);
        return nRet < 0 ? kErrWrite : 0;
    }

    int32_t TakeFrame(const TessaroFrame& f) {
        if (!f.pPayload || f.nPayloadLen == 0 || f.nPayloadLen > INT32_MAX / 2) return 0;
        if (f.nFrameType == TESSARO_FRAME_VIDEO) {
            if (IsHevc(f) != m_video.bHevc) return 0;
            if (!m_bStarted) {
                if (!IsUsableKeyFrame(f)) return 0;  // nothing decodes before the first key frame
                const int32_t nOpen = OpenOutput();
                if (nOpen < 0) return nOpen;
                m_bStarted = true;
            }
            const bool bKey = f.nFrameKind == TESSARO_KIND_KEY;
            return WritePacket(m_pVideo, m_videoBase, f, m_nVideoFrames++, 1, bKey);
        }
        if (f.nFrameType == TESSARO_FRAME_AUDIO && m_bStarted && m_pAudio && f.nCodec == m_audio.nCodec) {
            const int64_t nSamples = f.nPayloadLen / (m_audio.nBytesPerSample * m_audio.nChannels);
            if (nSamples == 0) return 0;
            const int32_t nRet = WritePacket(m_pAudio, m_audioBase, f, m_nAudioSamples, nSamples, true);
            m_nAudioSamples += nSamples;
            return nRet;
        }
        return 0;
    }

    void Report(uint64_t nPosition) {
        if (!m_pfnProgress) return;
        uint32_t nPosition32 = 0, nTotal32 = 0;
        korvel::ScaleProgress(nPosition, m_nSize, nPosition32, nTotal32);
        m_pfnProgress(nPosition32, nTotal32, m_nUser);
    }

    int32_t Write(FILE* pInput) {
        m_pPacket.reset(av_packet_alloc());
        ParserPtr pParser(TessaroCreate(0));
        if (!m_pPacket || !pParser) return kErrMemory;
        std::vector<uint8_t> buffer(kChunkSize);
        uint64_t nBytes = 0;
        uint64_t nLastPermille = UINT64_MAX;
        for (;;) {
            const size_t n = std::fread(buffer.data(), 1, buffer.size(), pInput);
            if (n == 0) break;
            TessaroInputData(pParser.get(), buffer.data(), static_cast<uint32_t>(n));
            while (const TessaroFrame* f = TessaroGetNextFrame(pParser.get())) {
                const int32_t nRet = TakeFrame(*f);
                if (nRet < 0) return nRet;
            }
            nBytes += n;
            // Report at most about a thousand times per file: each report may
            // be a round trip to another thread.
            const uint64_t nPermille = m_nSize ? nBytes * 1000 / m_nSize : 1000;
            if (nPermille != nLastPermille) {
                nLastPermille = nPermille;
                Report(nBytes);
            }
            if (Cancelled()) return kErrCancelled;
        }
        if (std::ferror(pInput)) return kErrInput;
        if (!m_bStarted) return kErrNoKeyFrame;  // the input changed since the first pass
        if (av_write_trailer(m_pOutput.get()) < 0) return kErrWrite;
        if (avio_closep(&m_pOutput->pb) < 0) return kErrWrite;
        m_pOutput.reset();
        return 0;
    }

    std::string m_strOutput;
    KorvelProgressCallback m_pfnProgress;
    KorvelCancelCallback m_pfnCancel;
    int32_t m_nUser;
    uint64_t m_nSize = 0;

    SVideoInfo m_video;
    SAudioInfo m_audio;
    // m_pPacket is declared after m_pOutput so that it goes first.
    OutputPtr m_pOutput;
    std::unique_ptr<AVPacket, SPacketFree> m_pPacket;
    AVStream* m_pVideo = nullptr;
    AVStream* m_pAudio = nullptr;
    AVRational m_videoBase{1, 25};
    AVRational m_audioBase{1, 8000};
    bool m_bOutputOpened = false;
    bool m_bStarted = false;
    int64_t m_nVideoFrames = 0;
    int64_t m_nAudioSamples = 0;
};

int32_t Convert(const char* pszInput, const char* pszOutput, int32_t nMode, KorvelProgressCallback pfnProgress,
                KorvelCancelCallback pfnCancel, int32_t nUser) {
    if (!pszInput || !pszOutput || !*pszInput || !*pszOutput || nMode != 2) return kErrArgs;
    FilePtr pInput(std::fopen(pszInput, "rb"));
    if (!pInput) return kErrInput;
    struct stat in {};
    if (::fstat(::fileno(pInput.get()), &in) != 0 || !S_ISREG(in.st_mode)) return kErrInput;
    // Writing would truncate the very file being read.
    struct stat out {};
    if (::stat(pszOutput, &out) == 0 && out.st_dev == in.st_dev && out.st_ino == in.st_ino) return kErrSameFile;
    CConversion conversion(pszOutput, pfnProgress, pfnCancel, nUser);
    return conversion.Run(pInput.get(), static_cast<uint64_t>(in.st_size));
}

}  // namespace

extern "C" KORVEL_API int32_t KorvelConvertToAviEx(const char* pszInput, const char* pszOutput, int32_t nMode,
                                                   KorvelProgressCallback pfnProgress,
                                                   KorvelCancelCallback pfnCancel, int32_t nUser) {
    try {
        return Convert(pszInput, pszOutput, nMode, pfnProgress, pfnCancel, nUser);
    } catch (const std::bad_alloc&) {
        return kErrMemory;
    } catch (...) {
        return kErrArgs;
    }
}

extern "C" KORVEL_API int32_t KorvelConvertToAvi(const char* pszInput, const char* pszOutput, int32_t nMode,
                                                 KorvelProgressCallback pfnProgress, int32_t nUser) {
    return KorvelConvertToAviEx(pszInput, pszOutput, nMode, pfnProgress, nullptr, nUser);
}
