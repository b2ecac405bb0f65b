// The AVI job: each row through the AVI library, its result in the
// engine's words.
#include "convert/ConvertJobs.h"
#include "convert/InputCheck.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "convert/ConvertEngine.h"
#include "convert/JobParts.h"
#include "libs/korvel/korvel.h"
#include "log/Log.h"

namespace convert {

namespace {

// The library's failures and warnings in the engine's words.
constexpr std::pair<int32_t, EReason> kAviFailures[] = {
    {KORVEL_ERR_INPUT, EReason::OpenInput},
    {KORVEL_ERR_READ, EReason::ReadInput},
    {KORVEL_ERR_NO_KEY_FRAME, EReason::NoKeyFrame},
    {KORVEL_ERR_WRITE, EReason::WriteOutput},
    {KORVEL_ERR_CANCELLED, EReason::Stopped},
    {KORVEL_ERR_SAME_FILE, EReason::SameFile},
    {KORVEL_ERR_NOT_REGULAR, EReason::NotRegularFile},
    {KORVEL_ERR_NOT_STREAM, EReason::NotRecorderStream},
    {KORVEL_ERR_UNSUPPORTED, EReason::UnsupportedVideo},
    {KORVEL_ERR_INPUT_CHANGED, EReason::InputChanged},
};
constexpr std::pair<int32_t, EReason> kAviWarnings[] = {
    {KORVEL_WARN_CODEC_CHANGED, EReason::CodecChanged},
    {KORVEL_WARN_AUDIO_LEFT_OUT, EReason::AudioLeftOut},
    {KORVEL_WARN_STOPPED, EReason::Stopped},
};

EReason ReasonOf(int32_t nCode, const std::pair<int32_t, EReason>* pFirst, const std::pair<int32_t, EReason>* pEnd,
                 EReason otherwise) {
    const auto* p = std::find_if(pFirst, pEnd, [&](const auto& entry) { return entry.first == nCode; });
    return p != pEnd ? p->second : otherwise;
}

}  // namespace

SConversionResult AviResult(const KorvelResult& r) {
    SConversionResult result;
    result.bSuccess = r.nCode >= 0;
    result.strDetail = r.szText;
    result.nPictures = r.nPictures;
    result.nDroppedAtStart = r.nDroppedAtStart;
    result.dMediaSeconds = r.dMediaSeconds;
    result.nOutputBytes = r.nOutputBytes;
    if (r.nCode < 0) {
        result.reason = ReasonOf(r.nCode, std::begin(kAviFailures), std::end(kAviFailures), EReason::Internal);
    } else {
        result.reason = ReasonOf(r.nWarning, std::begin(kAviWarnings), std::end(kAviWarnings), result.reason);
        if (r.nWarning == KORVEL_WARN_STOPPED) result.strDetail = ClockText(r.dMediaSeconds);
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

uint32_t AviConvertThread(void* pParam) {
    return convert::AviConvertRows(*static_cast<IConversionHost*>(pParam), KorvelConvert);
}

void AviProgressCallback(uint32_t nPosition, uint32_t nTotal, int32_t nUser) {
    if (nTotal == 0 || g_pMainDlg == nullptr) return;
    g_pMainDlg->SetRowProgress(nUser, convert::ComputePercent(nPosition, nTotal));
}
