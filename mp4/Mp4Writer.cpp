#include "Mp4Writer.h"

#include "AacEncoder.h"
#include "AudioTrack.h"
#include "FfmpegPtr.h"
#include "Fragments.h"
#include "PacketSink.h"
#include "VideoClock.h"
#include "libs/annexb/ConfigRecords.h"
#include "libs/output/MuxerIo.h"
#include "libs/tessaro/Limits.h"
#include "libs/tessaro/Records.h"
#include "libs/tessaro/tessaro.h"
#include "log/Log.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

using namespace trelvo::mp4;

namespace {

// Only a regular file at the name is ours to remove: a FIFO or a device
// written through (or a link to one) stays.
void RemoveOwnFile(const std::string& strPath) {
    struct stat st {};
    if (::stat(strPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) std::remove(strPath.c_str());
}

// Output context; its I/O belongs to the writer's CMuxerIo.
struct SFormatCtxFree {
    void operator()(AVFormatContext* p) const {
        p->pb = nullptr;
        avformat_free_context(p);
    }
};
using FormatCtxPtr = std::unique_ptr<AVFormatContext, SFormatCtxFree>;

// Video held after the first key frame while no audio record has said what
// the audio track is: about a second, and never more than this.
constexpr int64_t kHoldTicks = timing::kMp4HoldTicks;
constexpr size_t kMaxHeldBytes = size_t{4} << 20;
constexpr size_t kMaxHeld = 1024;
// Record times beyond this magnitude are not meant.
constexpr int64_t kMaxTime = timing::kMaxTime;

using tessaro::IsUsableKeyFrame;

bool SetExtradata(AVCodecParameters* pPar, const std::vector<uint8_t>& data) {
    if (data.empty() || data.size() >= static_cast<size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) return false;
    pPar->extradata = static_cast<uint8_t*>(av_mallocz(data.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (pPar->extradata == nullptr) return false;
    std::memcpy(pPar->extradata, data.data(), data.size());
    pPar->extradata_size = static_cast<int>(data.size());
    return true;
}

annexb::ECodec CodecOf(int32_t nCodec) {
    return nCodec == TESSARO_CODEC_H265 ? annexb::ECodec::H265 : annexb::ECodec::H264;
}

// Muxers of the ISO family take length-prefixed samples and a configuration
// record; the others take the Annex-B stream as it came.
bool WantsLengthPrefixed(const AVOutputFormat* pFormat) {
    for (const char* pszName : {"mp4", "mov", "ipod", "3gp", "3g2", "ismv", "f4v", "psp"}) {
        if (std::strcmp(pFormat->name, pszName) == 0) return true;
    }
    return false;
}

// The key frame's parameter sets as the track's extradata: the sample
// entry's decoder configuration record, so that the muxer takes the samples
// as they are instead of looking for their start codes again, or the sets
// behind start codes for an Annex-B muxer. Empty when the sets do not make
// a record.
std::vector<uint8_t> TrackConfig(const TessaroFrame& key, bool bRecord, std::vector<annexb::SUnit>& scratch) {
    size_t nCount = 0;
    const annexb::SUnit* pUnits = tessaro::UnitsOf(key, scratch, nCount);
    const annexb::ECodec codec = CodecOf(key.nCodec);
    const annexb::SParameterSets sets = annexb::CollectParameterSets(codec, key.pPayload, pUnits, nCount);
    if (!bRecord) return sets.Complete(codec) ? annexb::AnnexBExtradata(sets) : std::vector<uint8_t>();
    return codec == annexb::ECodec::H265 ? annexb::BuildHvcC(sets) : annexb::BuildAvcC(sets);
}

// The layout options as the mov muxer takes them, and the creation time as
// the metadata it writes into the movie header.
void ApplyOptions(const SMp4WriterOptions& options, AVFormatContext* pCtx, AVDictionary** ppOpts) {
    if (options.bFragmented) {
        // delay_moov: the index waits for the first fragment, so that its edit
        // list can say where the sound starts (the AAC encoder's delay).
        av_dict_set(ppOpts, "movflags", "+frag_keyframe+empty_moov+delay_moov+default_base_moof", 0);
        av_dict_set(ppOpts, "frag_duration", "2000000", 0);
    } else if (options.bFastStart) {
        av_dict_set(ppOpts, "movflags", "+faststart", 0);
    }
    if (!options.strCreationTime.empty())
        av_dict_set(&pCtx->metadata, "creation_time", options.strCreationTime.c_str(), 0);
}

}  // namespace

struct CMp4Writer::SImpl final : IPacketSink {
    SImpl(std::string strFileName, SMp4WriterOptions options);

    int32_t InputFrame(const TessaroFrame* pFrame);
    int32_t Finish();

    int32_t InputVideo(const TessaroFrame& frame);
    int32_t InputAudio(const TessaroFrame& frame);
    int32_t StartFile(const TessaroFrame& key);
    int32_t Hold(const TessaroFrame& frame);
    bool HeldLongEnough() const;
    int32_t WriteHeader();
    int32_t Open();
    int32_t AddVideoStream();
    bool AddAudioStream(const CAudioTrack::SShape& shape);
    int32_t WriteVideo(const TessaroFrame& frame);
    int32_t WriteAudioPacket(AVPacket* pPacket) override;
    void Close();
    void NoteWriteResult(int r);
    void CheckPlayable();
    // A file at the name goes; a descriptor's bytes are gone already.

    // Waiting for a key frame; holding video until the audio track is
    // known; writing; finished.
    enum class EState { Waiting, Holding, Writing };
    struct SHeldVideo {
        TessaroFrame frame;
        std::vector<uint8_t> payload;
        std::vector<TessaroNalUnit> units;
    };

    EState m_eState = EState::Waiting;
    std::string m_strFileName;
    SMp4WriterOptions m_options;
    trelvo::output::CMuxerIo m_output;  // before the context, so that it outlives it
    FormatCtxPtr m_pFormatCtx;
    CAudioTrack m_audio{*this};
    std::unique_ptr<CVideoClock> m_pClock;
    PacketPtr m_pVideoPacket;
    std::vector<SHeldVideo> m_vHeld;
    size_t m_nHeldBytes = 0;

    // The stream as the first key frame describes it.
    int32_t m_nCodec = 0;
    int32_t m_nWidth = 0;
    int32_t m_nHeight = 0;
    std::vector<uint8_t> m_vConfig;       // avcC or hvcC
    std::vector<annexb::SUnit> m_vUnits;  // scratch: units found in a payload
    std::vector<uint8_t> m_vSample;       // the length-prefixed sample
    bool m_bLengthPrefixed = false;       // samples and extradata in the MP4 form
    bool m_bNoAudio = false;              // the input cannot have sound: nothing to wait for

    int32_t m_nVideoStream = -1;
    int32_t m_nAudioStream = -1;
    int32_t m_nAudioRate = 0;
    int32_t m_nVideoFrames = 0;
    int32_t m_nAudioFrames = 0;
    bool m_bHeaderWritten = false;
    bool m_bPlayableTold = false;  // onPlayable has been called
    bool m_bWriteFailed = false;
    int m_nLastError = 0;        // the first failed write's code, for its message
    bool m_bOtherCodec = false;  // pictures of another codec came and were left out
    int64_t m_nVideoEnd = 0;     // where the last picture ends, in clock ticks
    bool m_bFinished = false;
    int32_t m_nFinishResult = 0;
};

CMp4Writer::SImpl::SImpl(std::string strFileName, SMp4WriterOptions options)
    : m_strFileName(std::move(strFileName)), m_options(std::move(options)) {}

// A failed write ends the file at once: the disk will not take the next one.
void CMp4Writer::SImpl::NoteWriteResult(int r) {
    const AVIOContext* pb = m_pFormatCtx ? m_pFormatCtx->pb : nullptr;
    if (r >= 0 && pb != nullptr && pb->error < 0) r = pb->error;
    if (r >= 0 || m_bWriteFailed) return;
    m_bWriteFailed = true;
    m_nLastError = r;
}

int32_t CMp4Writer::SImpl::InputFrame(const TessaroFrame* pFrame) {
    if (m_bWriteFailed) return -3;
    if (pFrame == nullptr || m_bFinished) return 0;
    int32_t r = m_eState == EState::Waiting ? 0 : 1;
    if (pFrame->nFrameType == TESSARO_FRAME_AUDIO)
        r = InputAudio(*pFrame);
    else if (pFrame->nFrameType == TESSARO_FRAME_VIDEO)
        r = InputVideo(*pFrame);
    return m_bWriteFailed ? -3 : r;
}

int32_t CMp4Writer::SImpl::InputVideo(const TessaroFrame& frame) {
    if (m_eState == EState::Waiting) {
        if (!IsUsableKeyFrame(frame)) {
            TRELVO_LOG_DEBUG("mp4", "a picture before the first usable key frame dropped");
            return 0;
        }
        const int32_t r = StartFile(frame);
        if (r <= 0) return r;
    } else if (frame.nFrameKind == TESSARO_KIND_KEY && !IsUsableKeyFrame(frame)) {
        TRELVO_LOG_DEBUG("mp4", "a key frame without usable parameter sets dropped");
        return 0;
    }
    if (frame.pPayload == nullptr || frame.nPayloadLen == 0) return 0;
    // The track holds the codec it began with: pictures of another would make
    // the file unplayable from there on.
    if ((frame.nCodec == TESSARO_CODEC_H265) != (m_nCodec == TESSARO_CODEC_H265)) {
        if (!m_bOtherCodec)
            TRELVO_LOG_WARNING("mp4", "the video codec changes; pictures of the new codec are left out");
        m_bOtherCodec = true;
        return 0;
    }
    return m_eState == EState::Holding ? Hold(frame) : WriteVideo(frame);
}

int32_t CMp4Writer::SImpl::InputAudio(const TessaroFrame& frame) {
    if (m_eState == EState::Waiting) return m_audio.Early(frame);
    if (m_eState == EState::Holding) {
        // The first usable audio record decides the track: the header goes
        // out now, then the record goes in like any later one.
        if (!m_audio.Decide(frame)) return 0;
        const int32_t r = WriteHeader();
        if (r < 0) return r;
    }
    return m_audio.Input(frame);
}

// Opens the output at the first usable key frame; the header waits until the
// audio track is known and the key frame is held, so that its time is zero
// for the audio held before it.
int32_t CMp4Writer::SImpl::StartFile(const TessaroFrame& key) {
    const bool bHevc = key.nCodec == TESSARO_CODEC_H265;
    if (Open() < 0) {
        Close();
        return -1;
    }
    m_bLengthPrefixed = WantsLengthPrefixed(m_pFormatCtx->oformat);
    std::vector<uint8_t> config = TrackConfig(key, m_bLengthPrefixed, m_vUnits);
    // Without its parameter sets no player could start the track.
    if (config.empty()) {
        TRELVO_LOG_WARNING("mp4", "unusable parameter sets, key frame skipped");
        Close();
        if (m_options.nOutputFd < 0) RemoveOwnFile(m_strFileName);
        return 0;
    }
    // A muxer that certainly refuses the video fails now, not a second later.
    if (avformat_query_codec(m_pFormatCtx->oformat, bHevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264,
                             FF_COMPLIANCE_NORMAL) == 0) {
        Close();
        return -2;
    }
    m_nCodec = key.nCodec;
    m_nWidth = key.nWidth;
    m_nHeight = key.nHeight;
    m_vConfig = std::move(config);
    m_pClock = std::make_unique<CVideoClock>(CVideoClock::ChooseTimescale(key));
    m_eState = EState::Holding;
    return 1;
}

int32_t CMp4Writer::SImpl::Hold(const TessaroFrame& frame) {
    SHeldVideo& held = m_vHeld.emplace_back();
    held.payload.assign(frame.pPayload, frame.pPayload + frame.nPayloadLen);
    held.units.assign(frame.pNalUnits, frame.pNalUnits + (frame.pNalUnits ? frame.nNalUnits : 0));
    held.frame = frame;
    held.frame.pPayload = held.payload.data();
    held.frame.pNalUnits = held.units.empty() ? nullptr : held.units.data();
    held.frame.nNalUnits = static_cast<uint32_t>(held.units.size());
    m_nHeldBytes += held.payload.size();
    if (m_audio.Decided() || HeldLongEnough()) {
        const int32_t r = WriteHeader();
        if (r < 0) return r;
    }
    return 1;
}

bool CMp4Writer::SImpl::HeldLongEnough() const {
    if (m_bNoAudio || m_vHeld.size() >= kMaxHeld || m_nHeldBytes >= kMaxHeldBytes) return true;
    const TessaroFrame& first = m_vHeld.front().frame;
    const TessaroFrame& last = m_vHeld.back().frame;
    const auto Sane = [](int64_t t) { return t > -kMaxTime && t < kMaxTime; };
    if (Sane(first.nDts) && Sane(last.nDts) && last.nDts > first.nDts) return last.nDts - first.nDts >= kHoldTicks;
    const uint32_t nRate = first.nFrameRate != 0 ? first.nFrameRate : 25;
    return m_vHeld.size() > nRate;
}

int32_t CMp4Writer::SImpl::WriteHeader() {
    const CAudioTrack::SShape& shape = m_audio.Declare();
    AddVideoStream();
    // No sound track for an input that cannot have sound. Nor, in fragments,
    // for sound that has not come by now: the muxer would hold every fragment
    // back until the track had a sample, and a stream without sound would
    // end as one fragment.
    const bool bWantAudio = !m_bNoAudio && (m_audio.Decided() || !m_options.bFragmented);
    const bool bAudio = bWantAudio && AddAudioStream(shape);
    AVDictionary* pOptions = nullptr;
    ApplyOptions(m_options, m_pFormatCtx.get(), &pOptions);
    const int r = avformat_write_header(m_pFormatCtx.get(), &pOptions);
    av_dict_free(&pOptions);
    std::vector<SHeldVideo> held;
    held.swap(m_vHeld);
    m_nHeldBytes = 0;
    if (r < 0 || m_nVideoStream == -1) {
        Close();
        return -2;
    }
    m_bHeaderWritten = true;
    m_eState = EState::Writing;
    if (m_options.bFragmented && m_pFormatCtx->pb != nullptr) avio_flush(m_pFormatCtx->pb);
    for (const SHeldVideo& h : held) WriteVideo(h.frame);
    m_audio.Start(bAudio);
    return 1;
}

int32_t CMp4Writer::SImpl::Open() {
    m_nVideoStream = m_nAudioStream = -1;
    if (m_options.nOutputFd < 0) RemoveOwnFile(m_strFileName);
    AVFormatContext* pCtx = nullptr;
    avformat_alloc_output_context2(&pCtx, nullptr, m_options.strFormat.empty() ? nullptr : m_options.strFormat.c_str(),
                                   m_strFileName.c_str());
    if (pCtx == nullptr) {
        TRELVO_LOG_WARNING("mp4", "Could not deduce output format from file extension: using MPEG.");
        avformat_alloc_output_context2(&pCtx, nullptr, "mpeg", m_strFileName.c_str());
    }
    if (pCtx == nullptr) return -1;
    m_pFormatCtx.reset(pCtx);
    av_dump_format(pCtx, 0, m_strFileName.c_str(), 1);
    if ((pCtx->oformat->flags & AVFMT_NOFILE) == 0) {
        const bool bPipe = m_options.bFragmented && m_options.nOutputFd >= 0;
        const int r = bPipe ? m_output.Attach(m_options.nOutputFd) : m_output.Open(m_strFileName);
        if (r < 0) {
            TRELVO_LOG_ERROR("mp4", "avio_open failed.");
            m_nLastError = r;
            return -2;
        }
        pCtx->pb = m_output.Context();
        pCtx->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    return 1;
}

int32_t CMp4Writer::SImpl::AddVideoStream() {
    const bool bHevc = m_nCodec == TESSARO_CODEC_H265;
    const AVCodecID nId = bHevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    if (avcodec_find_decoder(nId) == nullptr) {
        TRELVO_LOG_ERROR("mp4", "could not find encoder for '%s'", avcodec_get_name(nId));
        return -1;
    }
    AVStream* pStream = avformat_new_stream(m_pFormatCtx.get(), nullptr);
    if (pStream == nullptr) {
        TRELVO_LOG_ERROR("mp4", "could not allocate stream");
        return -2;
    }
    pStream->id = static_cast<int>(m_pFormatCtx->nb_streams) - 1;
    AVCodecParameters* pPar = pStream->codecpar;
    pPar->codec_type = AVMEDIA_TYPE_VIDEO;
    pPar->codec_id = nId;
    if (bHevc) pPar->codec_tag = MKTAG('h', 'v', 'c', '1');
    pPar->bit_rate = 12800;
    pPar->width = m_nWidth;
    pPar->height = m_nHeight;
    pPar->format = AV_PIX_FMT_YUV420P;
    pPar->profile = 100;
    pPar->level = 41;
    // The muxer keeps the denominator as the track's timescale.
    pStream->time_base = AVRational{1, static_cast<int>(m_pClock->Timescale())};
    SetExtradata(pPar, m_vConfig);
    m_nVideoStream = pStream->index;
    return 0;
}

bool CMp4Writer::SImpl::AddAudioStream(const CAudioTrack::SShape& shape) {
    const AVCodecID nId = AV_CODEC_ID_AAC;
    // Formats that cannot carry AAC (the "mpeg" fallback) get no audio track.
    if (shape.config.empty() || avformat_query_codec(m_pFormatCtx->oformat, nId, FF_COMPLIANCE_NORMAL) != 1) {
        TRELVO_LOG_WARNING("mp4", "could not find encoder for '%s'", avcodec_get_name(nId));
        return false;
    }
    TRELVO_LOG_INFO("mp4", "audio codec_id '%d' '%s'%s", static_cast<int>(nId), avcodec_get_name(nId),
                    shape.bCopy ? " (copied)" : "");
    AVStream* pStream = avformat_new_stream(m_pFormatCtx.get(), nullptr);
    if (pStream == nullptr) {
        TRELVO_LOG_ERROR("mp4", "could not allocate stream");
        return false;
    }
    pStream->id = static_cast<int>(m_pFormatCtx->nb_streams) - 1;
    AVCodecParameters* pPar = pStream->codecpar;
    pPar->codec_type = AVMEDIA_TYPE_AUDIO;
    pPar->codec_id = nId;
    pPar->sample_rate = shape.nRate;
    pPar->format = AV_SAMPLE_FMT_FLTP;
    if (!shape.bCopy) pPar->bit_rate = CAacEncoder::BitRate(shape.nRate, shape.nChannels);
    pPar->frame_size = 1024;
    av_channel_layout_default(&pPar->ch_layout, shape.nChannels);
    if (!SetExtradata(pPar, shape.config)) return false;
    pStream->time_base = AVRational{1, shape.nRate};
    m_nAudioStream = pStream->index;
    m_nAudioRate = shape.nRate;
    return true;
}

int32_t CMp4Writer::SImpl::WriteVideo(const TessaroFrame& frame) {
    if (m_nVideoStream < 0 || !m_bHeaderWritten) return -1;
    if (frame.nPayloadLen > static_cast<uint32_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) return 0;
    CVideoClock::SStamp stamp;
    if (!m_pClock->Stamp(frame, &stamp)) return 0;
    if (m_pClock->ZeroKnown()) m_audio.SetZero(m_pClock->Zero());
    if (!m_pVideoPacket) m_pVideoPacket.reset(av_packet_alloc());
    AVPacket* pPacket = m_pVideoPacket.get();
    if (pPacket == nullptr) return 0;
    // The sample in its MP4 form, built from the units the parser found:
    // records arrive in file order and the muxer writes each one before it
    // returns, so one buffer serves and no interleaving queue is needed.
    // Where every unit has a 4-byte start code and the record lets us, the
    // codes become the sizes where they lie, and nothing is copied.
    if (m_bLengthPrefixed) {
        size_t nCount = 0;
        const annexb::SUnit* pUnits = tessaro::UnitsOf(frame, m_vUnits, nCount);
        auto* pPayload = const_cast<uint8_t*>(frame.pPayload);
        const size_t nInPlace = (frame.nFlags & TESSARO_FLAG_PAYLOAD_WRITABLE) != 0
                                    ? annexb::LengthPrefixInPlace(pPayload, frame.nPayloadLen, pUnits, nCount)
                                    : 0;
        if (nInPlace > 0) {
            pPacket->data = pPayload;
            pPacket->size = static_cast<int>(nInPlace);
        } else {
            annexb::ToLengthPrefixed(frame.pPayload, pUnits, nCount, m_vSample);
            if (m_vSample.empty() || m_vSample.size() > static_cast<size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
                return 0;
            pPacket->data = m_vSample.data();
            pPacket->size = static_cast<int>(m_vSample.size());
        }
    } else {
        pPacket->data = const_cast<uint8_t*>(frame.pPayload);
        pPacket->size = static_cast<int>(frame.nPayloadLen);
    }
    if (frame.nFrameKind == TESSARO_KIND_KEY) pPacket->flags |= AV_PKT_FLAG_KEY;
    pPacket->stream_index = m_nVideoStream;
    pPacket->pts = stamp.nPts;
    pPacket->dts = stamp.nDts;
    pPacket->duration = stamp.nDuration;
    m_nVideoEnd = std::max(m_nVideoEnd, stamp.nPts + stamp.nDuration);
    const AVRational clockBase{1, static_cast<int>(m_pClock->Timescale())};
    av_packet_rescale_ts(pPacket, clockBase, m_pFormatCtx->streams[m_nVideoStream]->time_base);
    const int r = av_write_frame(m_pFormatCtx.get(), pPacket);
    if (r < 0)
        TRELVO_LOG_ERROR("mp4", "cannot write frame[%d]", r);
    else
        ++m_nVideoFrames;
    NoteWriteResult(r);
    av_packet_unref(pPacket);
    CheckPlayable();
    return 1;
}

int32_t CMp4Writer::SImpl::WriteAudioPacket(AVPacket* pPacket) {
    if (m_nAudioStream < 0 || !m_bHeaderWritten) return -1;
    pPacket->stream_index = m_nAudioStream;
    av_packet_rescale_ts(pPacket, AVRational{1, m_nAudioRate}, m_pFormatCtx->streams[m_nAudioStream]->time_base);
    const int r = av_write_frame(m_pFormatCtx.get(), pPacket);
    if (r < 0)
        TRELVO_LOG_ERROR("mp4", "Cannot write Audio frame");
    else
        ++m_nAudioFrames;
    NoteWriteResult(r);
    CheckPlayable();
    return r;
}

// The muxer writes a fragment whole within one packet's write; pushed out of
// the I/O buffer, the file then shows whether it holds one.
void CMp4Writer::SImpl::CheckPlayable() {
    if (!m_options.bFragmented || m_bPlayableTold || m_bWriteFailed || !m_options.onPlayable) return;
    AVIOContext* pb = m_pFormatCtx ? m_pFormatCtx->pb : nullptr;
    if (pb == nullptr) return;
    avio_flush(pb);
    NoteWriteResult(0);
    if (m_bWriteFailed || !HoldsWholeFragment(m_strFileName)) return;
    m_bPlayableTold = true;
    if (!m_options.onPlayable()) {
        m_bWriteFailed = true;
        m_nLastError = AVERROR(EIO);
    }
}

void CMp4Writer::SImpl::Close() {
    if (m_pFormatCtx) {
        // A context whose header never went out takes no trailer.
        if (m_bHeaderWritten && !m_bWriteFailed) NoteWriteResult(av_write_trailer(m_pFormatCtx.get()));
        AVIOContext*& pb = m_pFormatCtx->pb;
        if (pb != nullptr) {
            const int nStreamError = pb->error;
            pb = nullptr;
            const int r = m_output.Close();
            if (m_bHeaderWritten) NoteWriteResult(nStreamError < 0 ? nStreamError : r);
        }
        m_pFormatCtx.reset();
    }
    m_bHeaderWritten = false;
    m_eState = EState::Waiting;
    m_vHeld.clear();
    m_nHeldBytes = 0;
    m_nVideoStream = m_nAudioStream = -1;
}

int32_t CMp4Writer::SImpl::Finish() {
    if (m_bFinished) return m_nFinishResult;
    m_bFinished = true;
    // No audio came in time: the track is declared as it stands.
    const int32_t nHeader = m_eState == EState::Holding ? WriteHeader() : 0;
    if (m_eState == EState::Writing) m_audio.Finish();
    Close();
    if (m_bWriteFailed || nHeader < 0 || (m_nVideoFrames == 0 && m_nAudioFrames == 0)) {
        if (m_options.nOutputFd < 0) RemoveOwnFile(m_strFileName);
        m_nFinishResult = m_bWriteFailed || nHeader < 0 ? -1 : 0;
    } else {
        m_nFinishResult = 1;
    }
    return m_nFinishResult;
}

CMp4Writer::CMp4Writer(std::string strFileName, SMp4WriterOptions options)
    : m_pImpl(std::make_unique<SImpl>(std::move(strFileName), std::move(options))) {}

CMp4Writer::~CMp4Writer() {
    m_pImpl->Finish();
}

int32_t CMp4Writer::InputFrame(const TessaroFrame* pFrame) {
    return m_pImpl->InputFrame(pFrame);
}

int32_t CMp4Writer::Finish() {
    return m_pImpl->Finish();
}

int32_t CMp4Writer::VideoFrames() const {
    return m_pImpl->m_nVideoFrames;
}

int32_t CMp4Writer::AudioFrames() const {
    return m_pImpl->m_nAudioFrames;
}

void CMp4Writer::ExpectNoAudio() {
    m_pImpl->m_bNoAudio = true;
}

double CMp4Writer::MediaSeconds() const {
    const CVideoClock* pClock = m_pImpl->m_pClock.get();
    return pClock ? static_cast<double>(m_pImpl->m_nVideoEnd) / static_cast<double>(pClock->Timescale()) : 0.0;
}

std::string CMp4Writer::LeftOutAudio() const {
    return m_pImpl->m_audio.LeftOut();
}

bool CMp4Writer::LeftOutOtherCodec() const {
    return m_pImpl->m_bOtherCodec;
}

std::string CMp4Writer::ErrorText() const {
    if (m_pImpl->m_nLastError >= 0) return {};
    char szText[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(m_pImpl->m_nLastError, szText, sizeof szText);
    return szText;
}
