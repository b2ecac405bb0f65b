// The AVI job: each row through the AVI library, its result in the
// engine's words.
#include "convert/ConvertJobs.h"
#include "convert/InputCheck.h"

#include "convert/ConversionList.h"
#include "convert/ConvertEngine.h"
#include "convert/JobParts.h"
#include "libs/korvel/korvel.h"
#include "libs/tessaro/tessaro.h"
#include "log/Log.h"
#include "platform/Platform.h"

namespace convert {

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
    p->pHost->SetRowProgress(p->nRow, ComputePercent(nPosition, nTotal));
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
    auto claim = [&](int32_t nRow) { ClaimRowOutput(host, batch, nRow, L".avi"); };
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
            const SConversionResult probed = CheckRow(paths, batch, nRow);
            if (!probed.bSuccess) {
                result = probed;
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
