#include "convert/ConvertJobs.h"
#include "convert/InputCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

#include "convert/ConversionList.h"
#include "convert/ConvertEngine.h"
#include "convert/JobParts.h"
#include "lang/MultiLanguage.h"
#include "libs/feed/Start.h"
#include "libs/korvel/korvel.h"
#include "libs/tessaro/Records.h"
#include "libs/tessaro/tessaro.h"
#include "log/Log.h"
#include "mp4/Mp4Writer.h"
#include "platform/OutputFile.h"
#include "platform/Platform.h"

IConversionHost* g_pMainDlg = nullptr;

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

std::wstring Text(const wchar_t* pszKey) {
    return CMultiLanguage::GetText(pszKey);
}

}  // namespace

const char* VideoCodecName(int32_t nCodec) {
    switch (nCodec) {
        case TESSARO_CODEC_H264:
            return "H.264";
        case TESSARO_CODEC_H265:
            return "H.265";
        case TESSARO_CODEC_MPEG2:
            return "MPEG-1/2";
        case TESSARO_CODEC_MPEG4:
            return "MPEG-4 Part 2";
        default:
            // Words here would stay in one language beside a translated reason.
            return "";
    }
}

std::wstring MakeOutputName(const std::wstring& strFileName, const std::wstring& strExt) {
    const size_t nDot = strFileName.rfind(L'.');
    return (nDot == std::wstring::npos ? strFileName : strFileName.substr(0, nDot)) + strExt;
}

int32_t ComputePercent(uint64_t nDone, uint64_t nTotal) {
    if (nTotal == 0) return 100;
    const double dPercent = static_cast<double>(nDone) / static_cast<double>(nTotal) * 100.0;
    if (dPercent >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(dPercent);
}

bool IsSameFile(const std::string& strPathA, const std::string& strPathB) {
    struct stat a {
    }, b{};
    if (::stat(strPathA.c_str(), &a) != 0 || ::stat(strPathB.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string CBatchOutputs::Key(const std::string& strPath) {
    // The directory as the system resolves it, so "a/../b/x" and "b/x" meet.
    const size_t nSlash = strPath.rfind('/');
    const std::string strDir = nSlash == std::string::npos ? "." : strPath.substr(0, nSlash + 1);
    const std::string strName = nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
    std::unique_ptr<char, decltype(&std::free)> pReal(::realpath(strDir.c_str(), nullptr), &std::free);
    return pReal ? std::string(pReal.get()) + "/" + strName : strPath;
}

bool CBatchOutputs::Claim(const std::string& strPath, int32_t nRow) {
    std::string strKey = Key(strPath);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = std::find_if(m_claims.begin(), m_claims.end(), [&](const auto& c) { return c.first == strKey; });
    if (it != m_claims.end()) return it->second == nRow;
    m_claims.emplace_back(std::move(strKey), nRow);
    return true;
}

void RunRows(IConversionHost& host, int nJobs, const std::function<void(int32_t nRow)>& fnRow,
             const std::function<void(int32_t nRow)>& fnBegin) {
    const int32_t nCount = host.GetRowCount();
    std::mutex mutex;
    int32_t nNext = 0;
    bool bStopped = false;
    // The next ticked row, or -1 when none is left or a stop was asked for.
    auto take = [&]() -> int32_t {
        std::lock_guard<std::mutex> lock(mutex);
        for (; !bStopped && nNext < nCount; ++nNext) {
            if (!host.IsRowChecked(nNext)) continue;
            if (host.IsStopRequested()) {
                bStopped = true;
                break;
            }
            if (fnBegin) fnBegin(nNext);
            return nNext++;
        }
        return -1;
    };
    auto work = [&] {
        for (int32_t nRow = take(); nRow >= 0; nRow = take()) {
            host.OnRowStart(nRow);
            fnRow(nRow);
        }
    };
    if (nJobs <= 1) {
        work();
        return;
    }
    std::vector<std::thread> workers;
    workers.reserve(static_cast<size_t>(nJobs));
    for (int i = 0; i < nJobs; ++i) workers.emplace_back(work);
    for (std::thread& t : workers) t.join();
}

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

namespace {

// "01:30:05", the point a stopped part reached.
std::string ClockText(double dSeconds) {
    const auto n = static_cast<long long>(dSeconds < 0 ? 0 : dSeconds);
    char sz[32];
    std::snprintf(sz, sizeof sz, "%02lld:%02lld:%02lld", n / 3600, n / 60 % 60, n % 60);
    return sz;
}

}  // namespace

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
        host.SetRowText(nRow, COL_PROGRESS, std::to_wstring(nPercent));
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

void FinishRowTexts(IConversionHost& host, int32_t nRow, const SConversionResult& result, bool bProgress100,
                    const std::wstring& strOutput) {
    if (result.bSuccess && bProgress100) host.SetRowText(nRow, COL_PROGRESS, L"100");
    host.SetRowText(nRow, COL_DESTRIBE, Text(result.bSuccess ? L"Trelvo.Success" : L"Trelvo.Fail"));
    host.OnRowDone(nRow, result, strOutput);
}

SRowPaths RowPaths(IConversionHost& host, int32_t nRow, const wchar_t* pszExt) {
    const std::wstring strFileName = host.GetRowText(nRow, COL_FILENAME);
    SRowPaths paths;
    paths.strOutput = host.GetSaveDir(nRow) + MakeOutputName(strFileName, pszExt);
    paths.strIn = platform::WideToNarrow(host.GetSourceDir(nRow) + strFileName);
    paths.strOut = platform::WideToNarrow(paths.strOutput);
    return paths;
}

uint64_t FileBytes(const std::string& strPath) {
    struct stat st {};
    return ::stat(strPath.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

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

    // A refused input claims no name: it must not stand in a recording's way.
    const SConversionResult probed = ProbeInput(paths.strIn);
    if (!probed.bSuccess) return finishRow(probed);
    if (!batch.Claim(paths.strOut, nRow)) return finishRow(Failure(EReason::NameUsed));
    // Writing the output would replace the input it is read from.
    if (IsSameFile(paths.strIn, paths.strOut)) return finishRow(Failure(EReason::SameFile));

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
    auto claim = [&](int32_t nRow) {
        const SRowPaths paths = RowPaths(host, nRow, L".mp4");
        if (ProbeInput(paths.strIn).bSuccess) batch.Claim(paths.strOut, nRow);
    };
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

SConversionResult AviResult(const KorvelResult& r) {
    SConversionResult result;
    result.bSuccess = r.nCode >= 0;
    result.strDetail = r.szText;
    result.nPictures = r.nPictures;
    result.nDroppedAtStart = r.nDroppedAtStart;
    result.dMediaSeconds = r.dMediaSeconds;
    result.nOutputBytes = r.nOutputBytes;
    switch (r.nCode) {
        case KORVEL_ERR_INPUT:
            result.reason = EReason::OpenInput;
            break;
        case KORVEL_ERR_READ:
            result.reason = EReason::ReadInput;
            break;
        case KORVEL_ERR_NO_KEY_FRAME:
            result.reason = EReason::NoKeyFrame;
            break;
        case KORVEL_ERR_WRITE:
            result.reason = EReason::WriteOutput;
            break;
        case KORVEL_ERR_CANCELLED:
            result.reason = EReason::Stopped;
            break;
        case KORVEL_ERR_SAME_FILE:
            result.reason = EReason::SameFile;
            break;
        case KORVEL_ERR_NOT_REGULAR:
            result.reason = EReason::NotRegularFile;
            break;
        case KORVEL_ERR_NOT_STREAM:
            result.reason = EReason::NotRecorderStream;
            break;
        case KORVEL_ERR_UNSUPPORTED:
            result.reason = EReason::UnsupportedVideo;
            break;
        case KORVEL_ERR_INPUT_CHANGED:
            result.reason = EReason::InputChanged;
            break;
        default:
            if (r.nCode < 0)
                result.reason = EReason::Internal;
            else if (r.nWarning == KORVEL_WARN_CODEC_CHANGED)
                result.reason = EReason::CodecChanged;
            else if (r.nWarning == KORVEL_WARN_AUDIO_LEFT_OUT)
                result.reason = EReason::AudioLeftOut;
            else if (r.nWarning == KORVEL_WARN_STOPPED) {
                result.reason = EReason::Stopped;
                result.strDetail = ClockText(r.dMediaSeconds);
            }
            break;
    }
    return result;
}

namespace {

struct SAviRow {
    IConversionHost* pHost;
    int32_t nRow;
    bool bKeepStoppedPart;
};

void AviRowProgress(uint64_t nPosition, uint64_t nTotal, void* pUser) {
    const auto* p = static_cast<const SAviRow*>(pUser);
    if (nTotal == 0) return;
    p->pHost->SetRowText(p->nRow, COL_PROGRESS, std::to_wstring(ComputePercent(nPosition, nTotal)));
}

int32_t AviRowCancel(void* pUser) {
    const auto* p = static_cast<const SAviRow*>(pUser);
    if (!p->pHost->IsStopRequested()) return 0;
    return p->bKeepStoppedPart ? KORVEL_CANCEL_KEEP_PART : 1;
}

}  // namespace

uint32_t AviConvertRows(IConversionHost& host, AviConvertFn pfnConvert, int nJobs, const SConvertOptions& options,
                        AviPartFn pfnPart) {
    const PieceFn piece = [&](const SPiece& p, SChain& chain, const ProgressFn& progress) {
        return AviPiece(host, pfnPart, options, p, chain, progress);
    };
    if (!options.strJoinOutput.empty()) {
        JoinRows(
            host, options,
            [](const std::string& strPath, SConversionResult& failure) { return OpenFileInput(strPath, failure); },
            [] { return feed::CreateTessaroParser(); }, piece, true);
        return 1;
    }
    CBatchOutputs batch;
    // As in the MP4 job: names are claimed in the order of the rows.
    auto claim = [&](int32_t nRow) {
        const SRowPaths paths = RowPaths(host, nRow, L".avi");
        if (ProbeInput(paths.strIn).bSuccess) batch.Claim(paths.strOut, nRow);
    };
    RunRows(
        host, nJobs,
        [&](int32_t nRow) {
            const SRowPaths paths = RowPaths(host, nRow, L".avi");
            const trelvo::log::CInputScope logInput(paths.strIn);
            SConversionResult result;
            if (options.NeedsRecording()) {
                RecordingRow(host, nRow, L".avi", batch, options, piece);
                return;
            }
            const SConversionResult probed = ProbeInput(paths.strIn);
            if (!probed.bSuccess) {
                result = probed;
            } else if (!batch.Claim(paths.strOut, nRow)) {
                result = Failure(EReason::NameUsed);
            } else {
                SAviRow row{&host, nRow, options.bKeepStoppedPart};
                KorvelResult r{};
                r.nCode = pfnConvert(paths.strIn.c_str(), paths.strOut.c_str(), AviRowProgress, AviRowCancel, &row, &r);
                result = AviResult(r);
                result.strInputFormat = probed.strInputFormat;
                if (r.bHasInput) DescribeInput(r.input, false, result);
                if (result.reason == EReason::Stopped && result.bSuccess && paths.strOut != r.szOutput)
                    result.strPartPath = r.szOutput;
            }
            // Success is written too, so a fail text from an earlier run does not
            // stand beside a good file.
            FinishRowTexts(host, nRow, result, false, paths.strOutput);
        },
        claim);
    return 1;
}

}  // namespace convert

uint32_t Mp4ConvertThread(void* pParam) {
    convert::CMp4Backend backend;
    return convert::Mp4ConvertRows(*static_cast<IConversionHost*>(pParam), backend);
}

uint32_t AviConvertThread(void* pParam) {
    return convert::AviConvertRows(*static_cast<IConversionHost*>(pParam), KorvelConvert);
}

void AviProgressCallback(uint32_t nPosition, uint32_t nTotal, int32_t nUser) {
    if (nTotal == 0 || g_pMainDlg == nullptr) return;
    g_pMainDlg->SetRowText(nUser, COL_PROGRESS, std::to_wstring(convert::ComputePercent(nPosition, nTotal)));
}
