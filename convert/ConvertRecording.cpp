// The jobs through the recording: a part of one input, its recording time,
// several inputs joined into as few outputs as their formats allow.
#include <algorithm>

#include "convert/ConversionList.h"
#include "convert/ConvertEngine.h"
#include "convert/InputCheck.h"
#include "convert/JobParts.h"
#include "convert/RecordingTime.h"
#include "libs/feed/Recording.h"
#include "libs/tessaro/tessaro.h"
#include "platform/Platform.h"

namespace convert {

namespace {

std::string BaseName(const std::string& strPath) {
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

// The recording time of the first picture kept: the time of the recording's
// first picture moved on by how far into the recording the output starts.
std::string CreationTime(const SPiece& piece, const feed::CCut& cut) {
    if (!piece.bRecorded || !cut.OriginKnown() || !cut.Started()) return {};
    return feed::IsoUtc(feed::RecordedAt(piece.nRecordedUs, cut.Origin(), cut.StartPts()));
}

uint64_t TotalBytes(const std::vector<std::string>& inputs) {
    uint64_t nTotal = 0;
    for (const std::string& strPath : inputs) nTotal += FileBytes(strPath);
    return nTotal;
}

// What ended a recording's run, as a result. Inputs of a join are named.
SConversionResult RunResult(const feed::SJoinEnd& end, const SPiece& piece, SConversionResult openFailure,
                            const std::string& strWriteError) {
    auto named = [&](SConversionResult r) {
        if (piece.inputs.size() > 1 && end.nInput < piece.inputs.size()) {
            const std::string strName = BaseName(piece.inputs[end.nInput]);
            r.strDetail = r.strDetail.empty() ? strName : strName + ": " + r.strDetail;
        }
        return r;
    };
    switch (end.end) {
        case feed::EFeedEnd::End: {
            SConversionResult result;
            result.bSuccess = true;
            return result;
        }
        case feed::EFeedEnd::Refused:
            return Failure(EReason::WriteOutput, strWriteError);
        case feed::EFeedEnd::Stopped:
            return Failure(EReason::Stopped);
        case feed::EFeedEnd::ReadError:
            if (end.bOpenFailed) return named(std::move(openFailure));
            if (end.bNoParser) return Failure(EReason::Internal);
            return named(Failure(EReason::ReadInput, end.strError));
        case feed::EFeedEnd::Shrunk:
            return named(Failure(EReason::InputChanged));
    }
    return Failure(EReason::Internal);
}

ProgressFn RowProgress(IConversionHost& host, int32_t nRow) {
    auto pLast = std::make_shared<int32_t>(-1);
    return [&host, nRow, pLast](uint64_t nDone, uint64_t nTotal) {
        const int32_t nPercent = ComputePercent(nDone, nTotal);
        if (nPercent == *pLast) return;
        *pLast = nPercent;
        host.SetRowProgress(nRow, nPercent);
    };
}

}  // namespace

SConversionResult Mp4Piece(IConversionHost& host, CMp4Backend& backend, const SConvertOptions& options,
                           const SPiece& piece, SChain& chain, const ProgressFn& progress) {
    SConversionResult openFailure;
    feed::CRecording recording(
        piece.inputs.size(), TotalBytes(piece.inputs),
        [&](size_t i) { return backend.OpenInput(piece.inputs[i], openFailure); },
        [&] { return backend.CreateParser(); });
    recording.SetCut(options.nFrom, options.nTo);
    if (chain.bContinued) recording.Continue(chain.timeline, chain.nOrigin);

    // The writer is made with the first record kept, when the recording
    // time of its first picture is known.
    std::unique_ptr<IFrameWriter> pWriter;
    std::string strError;
    SMp4WriterOptions writerOptions = WriterLayout(options);
    feed::SFeedHooks hooks;
    hooks.onFrame = [&](const TessaroFrame& f) {
        if (!pWriter) {
            writerOptions.strCreationTime = CreationTime(piece, recording.Cut());
            pWriter = backend.CreateWriter(piece.strOutput, writerOptions, strError);
            if (!pWriter) return false;
        }
        if (pWriter->InputFrame(&f) >= 0) return true;
        strError = pWriter->ErrorText();
        return false;
    };
    hooks.onProgress = progress;
    hooks.shouldStop = [&] { return host.IsStopRequested(); };
    const feed::SJoinEnd end = recording.Run(hooks);

    SConversionResult result = RunResult(end, piece, openFailure, strError);
    const bool bWasWhole = result.bSuccess;
    const int32_t nFinish = pWriter ? FinishOutput(*pWriter, result, options.bKeepStoppedPart) : 0;
    if (bWasWhole && nFinish < 0) result = Failure(EReason::WriteOutput, pWriter->ErrorText());
    if (result.bSuccess && nFinish == 0) result = NoOutputReason(recording.Status(), true);
    if (result.Whole() && pWriter->LeftOutPart()) {
        result.reason = EReason::CodecChanged;
        result.strDetail = CodecChangePlace(recording.Status(), true);
    }
    if (pWriter) NoteLeftOutAudio(result, recording.Status(), true, pWriter->LeftOutAudio());
    if (pWriter) {
        result.nPictures = pWriter->Pictures();
        result.dMediaSeconds = pWriter->MediaSeconds();
    }
    if (result.bSuccess) {
        result.nOutputBytes = FileBytes(result.strPartPath.empty() ? piece.strOutput : result.strPartPath);
        result.strCreationTime = writerOptions.strCreationTime;
        if (options.nFrom >= 0)
            result.dStartsBefore = static_cast<double>(recording.Cut().StartsBefore()) / TESSARO_TICKS_PER_SECOND;
    }
    pWriter.reset();  // an unfinished output goes with it
    chain.bContinued = recording.Cut().OriginKnown();
    chain.timeline = recording.Timeline();
    chain.nOrigin = recording.Cut().Origin();
    chain.bCutDone = recording.Cut().Done();
    return result;
}

namespace {

struct SAviPieceUser {
    IConversionHost* pHost;
    const ProgressFn* pProgress;
};

void AviPieceProgress(uint64_t nPosition, uint64_t nTotal, void* pUser) {
    const auto* p = static_cast<const SAviPieceUser*>(pUser);
    if (*p->pProgress) (*p->pProgress)(nPosition, nTotal);
}

int32_t AviPieceCancel(void* pUser) {
    return static_cast<const SAviPieceUser*>(pUser)->pHost->IsStopRequested() ? 1 : 0;
}

}  // namespace

SConversionResult AviPiece(IConversionHost& host, AviPartFn pfnPart, const SConvertOptions& options,
                           const SPiece& piece, SChain& chain, const ProgressFn& progress) {
    std::vector<const char*> inputs;
    for (const std::string& strPath : piece.inputs) inputs.push_back(strPath.c_str());
    KorvelPart part{};
    part.nSize = sizeof part;
    part.nFrom = options.nFrom;
    part.nTo = options.nTo;
    part.nRecordedUs = piece.bRecorded ? piece.nRecordedUs : KORVEL_NO_TIME;
    part.bContinued = chain.bContinued ? 1 : 0;
    part.bClockDerived = chain.timeline.bClockDerived ? 1 : 0;
    part.nOrigin = chain.nOrigin;
    part.nEnd = chain.timeline.nEnd;
    part.nClockEnd = chain.timeline.nClockEnd;
    SAviPieceUser user{&host, &progress};
    KorvelResult r{};
    r.nCode = pfnPart(inputs.data(), static_cast<uint32_t>(inputs.size()), piece.strOutput.c_str(), &part,
                      AviPieceProgress, AviPieceCancel, &user, &r);
    SConversionResult result = AviResult(r);
    if (result.bSuccess) {
        result.strCreationTime = part.szCreationTime;
        if (options.nFrom >= 0) result.dStartsBefore = part.dStartsBefore;
    }
    chain.bContinued = part.bContinued != 0;
    chain.timeline.bStarted = chain.bContinued;
    chain.timeline.bClockDerived = part.bClockDerived != 0;
    chain.timeline.nEnd = part.nEnd;
    chain.timeline.nClockEnd = part.nClockEnd;
    chain.nOrigin = part.nOrigin;
    chain.bCutDone = part.bCutDone != 0;
    return result;
}

std::string PieceOutputName(const std::string& strOutput, size_t nPiece) {
    if (nPiece == 0) return strOutput;
    const size_t nSlash = strOutput.rfind('/');
    const size_t nStart = nSlash == std::string::npos ? 0 : nSlash + 1;
    size_t nDot = strOutput.rfind('.');
    if (nDot == std::string::npos || nDot <= nStart) nDot = strOutput.size();
    return strOutput.substr(0, nDot) + "-" + std::to_string(nPiece + 1) + strOutput.substr(nDot);
}

bool RecordingTimeFor(const SConvertOptions& options, const std::string& strFileName, int64_t& nUs) {
    if (options.bTime) {
        nUs = options.nTimeUs;
        return true;
    }
    return !options.strTimePattern.empty() && TimeFromName(BaseName(strFileName), options.strTimePattern, nUs);
}

SConversionResult RecordingRow(IConversionHost& host, int32_t nRow, const wchar_t* pszExt, CBatchOutputs& batch,
                               const SConvertOptions& options, const PieceFn& convertPiece) {
    const SRowPaths paths = RowPaths(host, nRow, pszExt);
    auto finishRow = [&](const SConversionResult& result) {
        FinishRowTexts(host, nRow, result, true, paths.strOutput);
        return result;
    };
    const SConversionResult checked = CheckRow(paths, batch, nRow);
    if (!checked.bSuccess) return finishRow(checked);
    SPiece piece;
    piece.inputs = {paths.strIn};
    piece.strOutput = paths.strOut;
    piece.bRecorded = RecordingTimeFor(options, paths.strIn, piece.nRecordedUs);
    SChain chain;
    SConversionResult result = convertPiece(piece, chain, RowProgress(host, nRow));
    result.bTimeNotInName = !options.strTimePattern.empty() && !piece.bRecorded;
    return finishRow(result);
}

namespace {

// Where a join's inputs change format: the first input of each output, and
// for each later output what changed.
struct SJoinPlan {
    std::vector<size_t> starts;
    std::vector<std::string> changes;
};

bool PlanJoin(IConversionHost& host, const std::vector<std::string>& paths, const OpenInputFnPath& openInput,
              const feed::CreateParserFn& createParser, bool bOneRate, SJoinPlan& plan, SConversionResult& failure) {
    feed::SStreamShape current;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (host.IsStopRequested()) {
            failure = Failure(EReason::Stopped);
            return false;
        }
        const std::string strName = BaseName(paths[i]);
        const std::unique_ptr<IInputReader> pInput = openInput(paths[i], failure);
        if (!pInput) {
            failure.strDetail = failure.strDetail.empty() ? strName : strName + ": " + failure.strDetail;
            return false;
        }
        const std::unique_ptr<IFrameParser> pParser = createParser();
        feed::SStreamShape shape;
        if (!pParser || !feed::ProbeShape(*pInput, *pParser, shape)) {
            failure = Failure(EReason::ReadInput, strName + ": " + pInput->ErrorText());
            return false;
        }
        // Until pictures come, nothing is written that another format could
        // not follow: the first input with pictures sets the format. MP4
        // (not of one rate) encodes either G.711 law as AAC.
        const std::string strChange =
            current.bVideo ? feed::ShapeChange(current, shape, bOneRate, !bOneRate) : std::string();
        if (i == 0 || !strChange.empty()) plan.starts.push_back(i);
        if (!strChange.empty()) plan.changes.push_back(std::string(strChange).append(" changes at ").append(strName));
        if (!current.bVideo || !strChange.empty()) current = shape;
    }
    plan.starts.push_back(paths.size());
    return true;
}

}  // namespace

bool JoinRows(IConversionHost& host, const SConvertOptions& options, const OpenInputFnPath& openInput,
              const feed::CreateParserFn& createParser, const PieceFn& convertPiece, bool bOneRate) {
    std::vector<int32_t> rows;
    std::vector<std::string> paths;
    for (int32_t nRow = 0; nRow < host.GetRowCount(); ++nRow) {
        if (!host.IsRowChecked(nRow)) continue;
        rows.push_back(nRow);
        paths.push_back(RowPaths(host, nRow, L"").strIn);
    }
    if (rows.empty()) return true;
    const std::string& strOutput = options.strJoinOutput;
    SJoinPlan plan;
    SConversionResult failure;
    if (!PlanJoin(host, paths, openInput, createParser, bOneRate, plan, failure)) {
        FinishRowTexts(host, rows[0], failure, true, platform::NarrowToWide(strOutput));
        return false;
    }
    SPiece first;
    first.bRecorded = RecordingTimeFor(options, paths[0], first.nRecordedUs);
    SChain chain;
    bool bWhole = true;
    for (size_t p = 0; p + 1 < plan.starts.size() && !chain.bCutDone; ++p) {
        SPiece piece = first;
        piece.inputs.assign(paths.begin() + static_cast<std::ptrdiff_t>(plan.starts[p]),
                            paths.begin() + static_cast<std::ptrdiff_t>(plan.starts[p + 1]));
        piece.strOutput = PieceOutputName(strOutput, p);
        const int32_t nRow = rows[plan.starts[p]];
        const bool bOwnInput = std::any_of(paths.begin(), paths.end(),
                                           [&](const std::string& s) { return IsSameFile(s, piece.strOutput); });
        SConversionResult result =
            bOwnInput ? Failure(EReason::SameFile) : convertPiece(piece, chain, RowProgress(host, nRow));
        result.nJoined = static_cast<int32_t>(piece.inputs.size());
        result.bTimeNotInName = !options.strTimePattern.empty() && !first.bRecorded;
        const bool bStopped = result.reason == EReason::Stopped;
        if (p + 2 < plan.starts.size() && !chain.bCutDone && result.bSuccess && !bStopped) {
            result.strContinuedIn = PieceOutputName(strOutput, p + 1);
            result.strChange = plan.changes[p];
        }
        FinishRowTexts(host, nRow, result, true, platform::NarrowToWide(piece.strOutput));
        bWhole = bWhole && result.Whole();
        // A stop ends the join with the part it reached.
        if (!result.bSuccess || bStopped) return false;
    }
    return bWhole;
}

}  // namespace convert
