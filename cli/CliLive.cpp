// A recording that is still arriving: through a pipe, or from a file its
// recorder is still writing, to fragmented MP4 at a file or on standard
// output. It ends with its input (the pipe closed, the file idle, a stop) and
// keeps every picture that came.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "convert/ConvertEngine.h"
#include "convert/JobParts.h"
#include "lang/MultiLanguage.h"
#include "libs/feed/LiveInput.h"
#include "log/Log.h"
#include "mp4/Mp4Writer.h"
#include "platform/Platform.h"

namespace cli {

namespace {

using convert::EReason;
using convert::Failure;
using convert::SConversionResult;

// Fragmented MP4 on standard output: nothing to name, nothing to replace.
class CPipeWriter final : public convert::IFrameWriter {
public:
    explicit CPipeWriter(SMp4WriterOptions options) : m_writer("-", WithStdout(std::move(options))) {}
    int32_t InputFrame(const TessaroFrame* pFrame) override { return m_writer.InputFrame(pFrame); }
    int32_t Finish() override { return m_writer.Finish(); }
    std::string ErrorText() const override { return m_writer.ErrorText(); }
    uint64_t Pictures() const override { return static_cast<uint64_t>(std::max(m_writer.VideoFrames(), 0)); }
    double MediaSeconds() const override { return m_writer.MediaSeconds(); }
    void ExpectNoAudio() override { m_writer.ExpectNoAudio(); }
    bool LeftOutPart() const override { return m_writer.LeftOutOtherCodec(); }

private:
    static SMp4WriterOptions WithStdout(SMp4WriterOptions options) {
        options.nOutputFd = STDOUT_FILENO;
        return options;
    }
    CMp4Writer m_writer;
};

void LogToStderr(trelvo::log::ELevel level, const char* pszModule, const char* pszInput, const char* pszText,
                 void* pUser) {
    if (level > *static_cast<const trelvo::log::ELevel*>(pUser)) return;
    if (pszInput && *pszInput)
        std::fprintf(stderr, "trelvo-convert: %s: %s: %s: %s\n", pszInput, pszModule, trelvo::log::LevelName(level),
                     pszText);
    else
        std::fprintf(stderr, "trelvo-convert: %s: %s: %s\n", pszModule, trelvo::log::LevelName(level), pszText);
}

// Where the output goes: --output, else the input's name (stdin for a pipe)
// with .mp4, in --output-dir or beside the input.
std::string OutputPath(const SOptions& options, bool bStdin) {
    if (!options.strOutput.empty()) return AbsolutePath(options.strOutput);
    const std::filesystem::path input(AbsolutePath(options.files[0]));
    std::string strName = bStdin ? std::string("stdin") : input.filename().string();
    const size_t nDot = strName.rfind('.');
    if (nDot != std::string::npos && nDot > 0) strName.erase(nDot);
    strName += ".mp4";
    if (options.strOutputDir.empty()) return bStdin ? AbsolutePath(strName) : (input.parent_path() / strName).string();
    std::string strDir = AbsolutePath(options.strOutputDir);
    std::error_code ec;
    std::filesystem::create_directories(strDir, ec);
    return (std::filesystem::path(strDir) / strName).string();
}

// How the input ended, as the result tells it: a cut-off input leaves a good
// output of what came before it, so the file counts as converted in part.
void NoteInputEnd(const feed::IInputReader& input, const feed::CFollowReader* pFollow, SConversionResult& result) {
    if (!result.bSuccess) return;
    const feed::EFollowEnd end = pFollow ? pFollow->End() : feed::EFollowEnd::None;
    if (end == feed::EFollowEnd::Truncated || end == feed::EFollowEnd::Replaced) {
        result.reason = EReason::InputChanged;
        result.strDetail = end == feed::EFollowEnd::Truncated ? "cut shorter" : "replaced by another file";
    } else if (end == feed::EFollowEnd::ReadError || input.Failed()) {
        result.reason = EReason::ReadInput;
        result.strDetail = input.ErrorText();
    }
}

SConversionResult Convert(const SOptions& options, feed::IInputReader& input, const feed::CFollowReader* pFollow,
                          const std::string& strOut) {
    std::unique_ptr<feed::IFrameParser> pParser = feed::CreateTessaroParser();
    if (!pParser) return Failure(EReason::Internal);
    SMp4WriterOptions layout = convert::WriterLayout(options.convert);
    std::unique_ptr<convert::IFrameWriter> pWriter;
    convert::CMp4Backend backend;
    std::string strError;
    if (options.strOutput == "-")
        pWriter = std::make_unique<CPipeWriter>(layout);
    else
        pWriter = backend.CreateWriter(strOut, layout, strError);
    if (!pWriter) return Failure(EReason::WriteOutput, strError);

    feed::SFeedHooks hooks;
    bool bFirst = true;
    hooks.onFrame = [&](const TessaroFrame& frame) {
        TessaroStatus status{};
        if (bFirst && pParser->GetStatus(status) && status.nContainer == TESSARO_CONTAINER_ES) pWriter->ExpectNoAudio();
        bFirst = false;
        return pWriter->InputFrame(&frame) >= 0;
    };
    // The readers end at a stop themselves, so that what came is kept.
    const feed::EFeedEnd end = feed::Feed(input, *pParser, hooks);
    SConversionResult result;
    if (end == feed::EFeedEnd::Refused) {
        result = Failure(EReason::WriteOutput, pWriter->ErrorText());
        pWriter->Finish();
    } else {
        // A read error ends the input like its end: what came is written.
        const int32_t nFinish = pWriter->Finish();
        TessaroStatus status{};
        const bool bStatus = pParser->GetStatus(status);
        if (nFinish < 0)
            result = Failure(EReason::WriteOutput, pWriter->ErrorText());
        else if (nFinish == 0)
            result = convert::NoOutputReason(status, bStatus);
        else
            result.bSuccess = true;
        if (result.bSuccess && pWriter->LeftOutPart()) {
            result.reason = EReason::CodecChanged;
            result.strDetail = convert::CodecChangePlace(status, bStatus);
        }
        NoteInputEnd(input, pFollow, result);
    }
    result.nPictures = pWriter->Pictures();
    result.dMediaSeconds = pWriter->MediaSeconds();
    if (result.bSuccess && options.strOutput != "-") result.nOutputBytes = convert::FileBytes(strOut);
    return result;
}

}  // namespace

int RunLive(const SOptions& options) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const bool bStdin = options.files[0] == "-";
    const bool bStdout = options.strOutput == "-";
    using trelvo::log::ELevel;
    ELevel maxLevel = options.bVerbose ? ELevel::Debug : options.bQuiet ? ELevel::Error : ELevel::Warning;
    trelvo::log::SetSink(LogToStderr, &maxLevel);
    InstallInterruptHandler();

    const std::string strOut = bStdout ? std::string("-") : OutputPath(options, bStdin);
    SConversionResult result;
    if (!bStdin && convert::IsSameFile(AbsolutePath(options.files[0]), strOut)) {
        result = Failure(EReason::SameFile);
    } else if (bStdin) {
        feed::CPipeReader input(STDIN_FILENO, Interrupted);
        result = Convert(options, input, nullptr, strOut);
    } else {
        feed::EOpenError error = feed::EOpenError::None;
        std::string strError;
        const auto idle = std::chrono::milliseconds(static_cast<int64_t>(options.dIdleSeconds * 1000));
        std::unique_ptr<feed::CFollowReader> pInput =
            feed::CFollowReader::Open(AbsolutePath(options.files[0]), idle, Interrupted, error, strError);
        if (!pInput)
            result = error == feed::EOpenError::NotRegularFile ? Failure(EReason::NotRegularFile)
                                                               : Failure(EReason::OpenInput, strError);
        else
            result = Convert(options, *pInput, pInput.get(), strOut);
    }
    trelvo::log::SetSink(nullptr, nullptr);

    SFileReport report;
    report.strInput = options.files[0];
    report.strOutput = result.bSuccess ? strOut : std::string();
    report.result = result;
    report.strReason = platform::WideToNarrow(convert::ReasonText(result));
    report.dWallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string strWord =
        platform::WideToNarrow(CMultiLanguage::GetText(result.bSuccess ? L"Trelvo.Success" : L"Trelvo.Fail"));
    // Standard output carries the video: the result goes to stderr then.
    std::FILE* pResults = bStdout ? stderr : stdout;
    std::fprintf(pResults, "%s\n", (options.bJson ? JsonLine(report) : ResultLine(report, strWord)).c_str());
    std::fflush(pResults);
    if (!result.bSuccess) return kExitFailed;
    return result.Whole() ? kExitOk : kExitPartial;
}

}  // namespace cli
