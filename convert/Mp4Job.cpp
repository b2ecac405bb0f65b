// The MP4 job: a row read chunk by chunk through the parser into the MP4
// writer, on a temporary that takes the final name when complete.
#include "convert/ConvertJobs.h"
#include "convert/InputCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "convert/ConversionList.h"
#include "convert/ConvertEngine.h"
#include "convert/JobParts.h"
#include "lang/MultiLanguage.h"
#include "libs/feed/Start.h"
#include "libs/tessaro/Records.h"
#include "libs/tessaro/tessaro.h"
#include "log/Log.h"
#include "mp4/Mp4Writer.h"
#include "platform/OutputFile.h"
#include "platform/Platform.h"

namespace convert {

namespace {

// The writer works on a temporary beside the final name; only a complete file
// is renamed onto it. A fragmented file takes the final name as soon as it
// holds its first whole fragment, so that it plays while it is written and a
// file that stood there before is only replaced by a playable one.
class CWriterAdapter final : public IFrameWriter {
public:
    CWriterAdapter(std::unique_ptr<platform::COutputFile> pOutput, const SMp4WriterOptions& options)
        : m_pOutput(std::move(pOutput)), m_writer(m_pOutput->TempPath(), WithPublishing(options)) {}
    // bOwnFile: the name held no FIFO or device, so a file that did not
    // finish may go.
    CWriterAdapter(const std::string& strPath, const SMp4WriterOptions& options, bool bOwnFile)
        : m_strDirect(bOwnFile ? strPath : std::string()), m_writer(strPath, options) {}
    // A file written at its final name that did not finish goes, as a
    // temporary would.
    ~CWriterAdapter() override {
        if (m_strDirect.empty() || m_bFinished) return;
        m_writer.Finish();
        std::remove(m_strDirect.c_str());
    }
    CWriterAdapter(const CWriterAdapter&) = delete;
    CWriterAdapter& operator=(const CWriterAdapter&) = delete;
    int32_t InputFrame(const TessaroFrame* pFrame) override {
        const int32_t r = m_writer.InputFrame(pFrame);
        if (r < 0) m_strError = m_writer.ErrorText();
        return r;
    }
    int32_t Finish() override {
        const int32_t nFinish = m_writer.Finish();
        m_bFinished = true;
        if (nFinish != 1) {
            m_strError = m_writer.ErrorText();
            if (m_pOutput) m_pOutput->Discard();
            return nFinish;
        }
        return !m_pOutput || m_pOutput->Committed() || m_pOutput->Commit(m_strError) ? 1 : -1;
    }
    int32_t FinishPart() override {
        if (!m_pOutput) return Finish();
        const int32_t nFinish = m_writer.Finish();
        m_bFinished = true;
        if (nFinish != 1) {
            m_strError = m_writer.ErrorText();
            m_pOutput->Discard();
            return nFinish;
        }
        return m_pOutput->CommitBeside(m_strError) ? 1 : -1;
    }
    std::string PartPath() const override {
        return m_pOutput && m_pOutput->FinalPath() != m_pOutput->RequestedPath() ? m_pOutput->FinalPath()
                                                                                 : std::string();
    }
    std::string ErrorText() const override { return m_strError; }
    uint64_t Pictures() const override { return static_cast<uint64_t>(std::max(m_writer.VideoFrames(), 0)); }
    bool LeftOutPart() const override { return m_writer.LeftOutOtherCodec(); }
    std::string LeftOutAudio() const override { return m_writer.LeftOutAudio(); }
    void ExpectNoAudio() override { m_writer.ExpectNoAudio(); }
    double MediaSeconds() const override { return m_writer.MediaSeconds(); }

private:
    // Fragments take the final name once the first whole one is written.
    SMp4WriterOptions WithPublishing(SMp4WriterOptions options) {
        if (options.bFragmented) options.onPlayable = [this] { return m_pOutput->Commit(m_strError); };
        return options;
    }

    std::unique_ptr<platform::COutputFile> m_pOutput;
    std::string m_strError;
    std::string m_strDirect;  // the final name written directly, or empty
    bool m_bFinished = false;
    CMp4Writer m_writer;  // last: it finishes before the temporary goes
};

}  // namespace

std::unique_ptr<IInputReader> OpenFileInput(const std::string& strPath, SConversionResult& failure) {
    feed::EOpenError error = feed::EOpenError::None;
    std::string strError;
    std::unique_ptr<IInputReader> pInput = feed::CFileReader::Open(strPath, error, strError);
    if (!pInput) {
        failure = error == feed::EOpenError::NotRegularFile ? Failure(EReason::NotRegularFile)
                                                            : Failure(EReason::OpenInput, strError);
    }
    return pInput;
}

std::unique_ptr<IInputReader> CMp4Backend::OpenInput(const std::string& strPath, SConversionResult& failure) {
    return OpenFileInput(strPath, failure);
}

std::unique_ptr<IFrameParser> CMp4Backend::CreateParser() {
    return feed::CreateStartingParser();
}

std::unique_ptr<IFrameWriter> CMp4Backend::CreateWriter(const std::string& strPath, const SMp4WriterOptions& options,
                                                        std::string& strError) {
    if (options.bFragmented) {
        // Fragments need no seek back: a FIFO or a character device is written
        // through; anything else that is not a regular file is refused.
        std::string strWhat;
        const platform::EOutputName name = platform::ExamineOutputName(strPath, strWhat);
        if (name == platform::EOutputName::Other) {
            platform::MayReplaceOutput(strPath, strError);
            return nullptr;
        }
        if (name == platform::EOutputName::Stream) {
            // Through a link to it too: the writer opens no link.
            std::unique_ptr<char, decltype(&std::free)> pReal(::realpath(strPath.c_str(), nullptr), &std::free);
            return std::make_unique<CWriterAdapter>(pReal ? std::string(pReal.get()) : strPath, options, false);
        }
        // A regular file is written under a temporary name like any other.
    }
    auto pOutput = std::make_unique<platform::COutputFile>(strPath);
    if (!pOutput->Create(strError)) return nullptr;
    return std::make_unique<CWriterAdapter>(std::move(pOutput), options);
}

SConversionResult NoOutputReason(const TessaroStatus& status, bool bKnown) {
    if (bKnown && TESSARO_CONTAINER_IS_FOREIGN(status.nContainer)) {
        SConversionResult r = Failure(EReason::NotRecorderStream);
        r.strInputFormat = TessaroContainerName(status.nContainer);
        return r;
    }
    if (bKnown) {
        if (status.nFlags & TESSARO_STATUS_VIDEO_UNSUPPORTED)
            return Failure(EReason::UnsupportedVideo, VideoCodecName(status.nVideoCodec));
        if (status.nVideoCodec == 0) return Failure(EReason::NotRecorderStream);
    }
    return Failure(EReason::NoKeyFrame);
}

std::string CodecChangePlace(const TessaroStatus& status, bool bKnown) {
    if (!bKnown || !(status.nFlags & TESSARO_STATUS_VIDEO_CHANGED)) return {};
    return "at byte " + std::to_string(status.nVideoChangeAt);
}

void NoteLeftOutAudio(SConversionResult& result, const TessaroStatus& status, bool bKnown,
                      const std::string& strWriter) {
    if (!result.Whole()) return;
    std::string strWhat = bKnown ? tessaro::LeftOutAudio(status) : std::string();
    if (strWhat.empty()) strWhat = strWriter;
    if (strWhat.empty()) return;
    result.reason = EReason::AudioLeftOut;
    result.strDetail = std::move(strWhat);
}

int32_t FinishOutput(IFrameWriter& writer, SConversionResult& result, bool bKeepStoppedPart) {
    if (result.bSuccess) return writer.Finish();
    if (result.reason != EReason::Stopped || !bKeepStoppedPart) return 0;
    // What was read before a stop is kept as a part that plays.
    const int32_t nFinish = writer.FinishPart();
    if (nFinish < 0) result = Failure(EReason::WriteOutput, writer.ErrorText());
    if (nFinish <= 0) return nFinish;
    result.bSuccess = true;
    result.strDetail = ClockText(writer.MediaSeconds());
    result.strPartPath = writer.PartPath();
    return nFinish;
}

SMp4WriterOptions WriterLayout(const SConvertOptions& options) {
    SMp4WriterOptions layout;
    // The MP4 job writes MP4 whatever the output's name says (a --join name).
    layout.strFormat = "mp4";
    layout.bFastStart = options.bFastStart;
    layout.bFragmented = options.bFragmented;
    return layout;
}

namespace {

// The read loop of one MP4 row: chunks to the parser, records to the writer,
// progress to the row.
SConversionResult FeedRow(IConversionHost& host, int32_t nRow, IInputReader& input, IFrameParser& parser,
                          IFrameWriter& writer) {
    int32_t nLastPercent = -1;
    feed::SFeedHooks hooks;
    bool bFirst = true;
    hooks.onFrame = [&](const TessaroFrame& frame) {
        TessaroStatus status{};
        // A bare video stream has no sound to wait for.
        if (bFirst && parser.GetStatus(status) && status.nContainer == TESSARO_CONTAINER_ES) writer.ExpectNoAudio();
        bFirst = false;
        return writer.InputFrame(&frame) >= 0;
    };
    hooks.onProgress = [&](uint64_t nDone, uint64_t nTotal) {
        const int32_t nPercent = ComputePercent(nDone, nTotal);
        if (nPercent == nLastPercent) return;
        nLastPercent = nPercent;
        host.SetRowProgress(nRow, nPercent);
    };
    hooks.shouldStop = [&] { return host.IsStopRequested(); };
    switch (feed::Feed(input, parser, hooks)) {
        case feed::EFeedEnd::End: {
            SConversionResult result;
            result.bSuccess = true;
            return result;
        }
        case feed::EFeedEnd::Refused:
            return Failure(EReason::WriteOutput, writer.ErrorText());
        case feed::EFeedEnd::Stopped:
            return Failure(EReason::Stopped);
        case feed::EFeedEnd::ReadError:
            return Failure(EReason::ReadInput, input.ErrorText());
        case feed::EFeedEnd::Shrunk:
            return Failure(EReason::InputChanged);
    }
    return Failure(EReason::Internal);
}

}  // namespace

SConversionResult Mp4ConvertRow(IConversionHost& host, int32_t nRow, CMp4Backend& backend, CBatchOutputs& batch,
                                const SConvertOptions& options) {
    if (options.NeedsRecording()) {
        return RecordingRow(host, nRow, L".mp4", batch, options,
                            [&](const SPiece& piece, SChain& chain, const ProgressFn& progress) {
                                return Mp4Piece(host, backend, options, piece, chain, progress);
                            });
    }
    const SRowPaths paths = RowPaths(host, nRow, L".mp4");
    const trelvo::log::CInputScope logInput(paths.strIn);
    auto finishRow = [&](const SConversionResult& result) {
        FinishRowTexts(host, nRow, result, true, paths.strOutput);
        return result;
    };

    const SConversionResult probed = CheckRow(paths, batch, nRow);
    if (!probed.bSuccess) return finishRow(probed);

    // Declared in the order that makes them go in the order the job releases
    // them: input, writer, parser.
    std::unique_ptr<IFrameParser> pParser;
    std::unique_ptr<IFrameWriter> pWriter;
    SConversionResult failure;
    std::unique_ptr<IInputReader> pInput = backend.OpenInput(paths.strIn, failure);
    if (!pInput) return finishRow(failure);
    pParser = backend.CreateParser();
    if (!pParser) return finishRow(Failure(EReason::Internal));
    std::string strError;
    pWriter = backend.CreateWriter(paths.strOut, WriterLayout(options), strError);
    if (!pWriter) return finishRow(Failure(EReason::WriteOutput, strError));

    SConversionResult result = FeedRow(host, nRow, *pInput, *pParser, *pWriter);
    const bool bWasWhole = result.bSuccess;
    const int32_t nFinish = FinishOutput(*pWriter, result, options.bKeepStoppedPart);
    if (bWasWhole && nFinish < 0) result = Failure(EReason::WriteOutput, pWriter->ErrorText());
    TessaroStatus status{};
    const bool bStatus = pParser->GetStatus(status);
    if (result.bSuccess && nFinish == 0) result = NoOutputReason(status, bStatus);
    if (result.Whole() && pWriter->LeftOutPart()) {
        result.reason = EReason::CodecChanged;
        result.strDetail = CodecChangePlace(status, bStatus);
    }
    NoteLeftOutAudio(result, status, bStatus, pWriter->LeftOutAudio());
    result.nPictures = pWriter->Pictures();
    if (bStatus) result.nDroppedAtStart = status.nDroppedAtStart;
    result.dMediaSeconds = pWriter->MediaSeconds();
    if (result.bSuccess)
        result.nOutputBytes = FileBytes(result.strPartPath.empty() ? paths.strOut : result.strPartPath);
    result.strInputFormat = probed.strInputFormat;
    if (bStatus) DescribeInput(status, true, result);
    pInput.reset();
    pWriter.reset();  // an unfinished output goes with it
    return finishRow(result);
}

uint32_t Mp4ConvertRows(IConversionHost& host, CMp4Backend& backend, int nJobs, const SConvertOptions& options) {
    if (!options.strJoinOutput.empty()) {
        const bool bOk = JoinRows(
            host, options,
            [&](const std::string& strPath, SConversionResult& failure) { return backend.OpenInput(strPath, failure); },
            [&] { return backend.CreateParser(); },
            [&](const SPiece& piece, SChain& chain, const ProgressFn& progress) {
                return Mp4Piece(host, backend, options, piece, chain, progress);
            },
            false);
        host.ShowMessage(Text(bOk && !host.IsStopRequested() ? L"Trelvo.Success" : L"Trelvo.Fail"));
        return 1;
    }
    CBatchOutputs batch;
    std::atomic<bool> bAllOk{true};
    // Names are claimed as the rows are begun, in their order: of two inputs
    // with one output name the earlier has it, whichever worker is first.
    auto claim = [&](int32_t nRow) { ClaimRowOutput(host, batch, nRow, L".mp4"); };
    RunRows(
        host, nJobs,
        [&](int32_t nRow) {
            if (!Mp4ConvertRow(host, nRow, backend, batch, options).bSuccess) bAllOk = false;
        },
        claim);
    // A stop before every ticked row was begun is no success either.
    if (host.IsStopRequested()) bAllOk = false;
    host.ShowMessage(Text(bAllOk ? L"Trelvo.Success" : L"Trelvo.Fail"));
    return 1;
}

}  // namespace convert

uint32_t Mp4ConvertThread(void* pParam) {
    convert::CMp4Backend backend;
    return convert::Mp4ConvertRows(*static_cast<IConversionHost*>(pParam), backend);
}
