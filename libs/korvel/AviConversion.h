// One recorder file to one AVI file. The AVI header must name every stream
// before the first packet, so a first, short pass learns the video format from
// the first key frame and looks a little further for audio; the second pass
// writes. Only the first pass's look-ahead is read twice (a bare video stream,
// which has no sound, is read once), and nothing is buffered beyond one chunk,
// the parser's current frame and a second of audio that came before the first
// picture.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "libs/feed/Feed.h"
#include "libs/korvel/AviTracks.h"
#include "libs/korvel/korvel.h"
#include "libs/output/MuxerIo.h"
#include "platform/OutputFile.h"

struct AVFormatContext;
struct AVPacket;
struct AVStream;

namespace korvel {

// What a conversion reads, twice: one file, or a recording of several cut to
// a part. Each run hands out the records from the start.
class ISource {
public:
    virtual ~ISource() = default;
    virtual uint64_t Size() const = 0;
    virtual feed::EFeedEnd Run(const feed::SFeedHooks& hooks) = 0;
    // What the parser of the last run learnt; false when it cannot say.
    virtual bool Status(TessaroStatus& status) const = 0;
    // True when the run under way reads a bare video stream, which has no
    // sound to look for.
    virtual bool BareVideo() const { return false; }
    // Why the last run could not read: a KORVEL_ERR_* code and the text.
    virtual int32_t ReadFailure() const { return KORVEL_ERR_READ; }
    virtual std::string ErrorText() const = 0;
    // The date to write for a file whose first picture shows at nPts; empty: none.
    virtual std::string CreationTime(int64_t /*nPts*/) const { return {}; }
};

// One input file, read again from its first byte.
class CFileSource final : public ISource {
public:
    explicit CFileSource(feed::CFileReader& input) : m_input(input) {}
    uint64_t Size() const override { return m_input.Size(); }
    feed::EFeedEnd Run(const feed::SFeedHooks& hooks) override;
    bool Status(TessaroStatus& status) const override;
    bool BareVideo() const override;
    std::string ErrorText() const override { return m_input.ErrorText(); }

private:
    feed::CFileReader& m_input;
    std::unique_ptr<feed::IFrameParser> m_pParser;
    bool m_bRead = false;
};

class CConversion {
public:
    CConversion(std::string strOutput, KorvelProgressFn pfnProgress, KorvelCancelFn pfnCancel, void* pUser);
    ~CConversion();
    CConversion(const CConversion&) = delete;
    CConversion& operator=(const CConversion&) = delete;

    // A KORVEL_ERR_* code, or 0 with the output complete under its name.
    int32_t Run(ISource& source);
    // The reason in detail (the system's message, a codec), when there is one.
    const std::string& ErrorText() const { return m_strError; }
    uint64_t Pictures() const { return m_nPictures; }
    // True when video of another codec came and was left out.
    bool LeftOutOtherCodec() const { return m_bOtherCodec; }
    // What of the sound is not in the file, for the user; empty when all of
    // it is. Asks the source, which must still be there.
    std::string LeftOutAudio() const;
    double MediaSeconds() const;
    // True when a stop kept what was written (KORVEL_CANCEL_KEEP_PART).
    bool StoppedPart() const { return m_bStoppedPart; }
    // The name the finished output took.
    const std::string& OutputPath() const { return m_output.FinalPath(); }

private:
    struct SHeldAudio {
        std::vector<uint8_t> payload;
        int64_t nPts;
    };

    bool Cancelled();
    int32_t Discover(ISource& source, bool& bWrote);
    bool Learn(const TessaroFrame& f, int& nRecordsAfterKey);
    int32_t OpenOutput(const TessaroFrame& first);
    feed::SFeedHooks WriteHooks(int32_t& nFailure);
    int32_t EndWrite(feed::EFeedEnd end, const ISource& source, int32_t nFailure);
    int32_t Write(ISource& source);
    int32_t TakeFrame(const TessaroFrame& f);
    int32_t TakeVideo(const TessaroFrame& f);
    int32_t TakeAudio(const uint8_t* p, size_t n, int64_t nPts);
    int32_t TakeAac(const uint8_t* p, size_t n, int64_t nPts);
    int32_t TakeMpeg(const uint8_t* p, size_t n, int64_t nPts);
    int32_t TakeAudioRecord(const uint8_t* p, size_t n, int64_t nPts);
    void LeaveOut(std::string strWhat);
    int32_t WriteSilence(int64_t nSamples);
    int32_t WritePacket(AVStream* pStream, const uint8_t* p, size_t n, int64_t nTs, int64_t nDuration, bool bKey);
    void HoldAudio(const TessaroFrame& f);
    void Report(uint64_t nPosition);
    int32_t Finish();
    int32_t NoVideoReason(const ISource& source);
    int32_t FeedFailure(feed::EFeedEnd end, const ISource& source);
    int32_t WriteError(int nAvError);
    int32_t Fail(int32_t nCode, std::string strText);

    platform::COutputFile m_output;
    KorvelProgressFn m_pfnProgress;
    KorvelCancelFn m_pfnCancel;
    void* m_pUser;
    std::string m_strError;
    int32_t m_nCancel = 0;  // the cancel callback's last answer
    bool m_bStoppedPart = false;
    uint64_t m_nSize = 0;
    ISource* m_pSource = nullptr;

    SVideoInfo m_video;
    SAudioInfo m_audio;
    struct SOutputFree {
        void operator()(AVFormatContext* p) const;
    };
    struct SPacketFree {
        void operator()(AVPacket* p) const;
    };
    // m_pPacket is declared after m_pOutput so that it goes first.
    trelvo::output::CMuxerIo m_file;  // before the context, so that it outlives it
    std::unique_ptr<AVFormatContext, SOutputFree> m_pOutput;
    std::unique_ptr<AVPacket, SPacketFree> m_pPacket;
    AVStream* m_pVideo = nullptr;
    AVStream* m_pAudio = nullptr;
    bool m_bStarted = false;
    std::unique_ptr<CVideoGrid> m_pVideoGrid;
    std::unique_ptr<CAudioClock> m_pAudioClock;
    std::deque<SHeldAudio> m_heldAudio;
    size_t m_nHeldBytes = 0;
    int64_t m_nFrames = 0;  // framed audio: frames written
    std::string m_strAudioLeftOut;
    uint64_t m_nPictures = 0;
    bool m_bOtherCodec = false;
    int64_t m_nLastTick = -1;
};

}  // namespace korvel
