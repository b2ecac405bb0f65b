// Pieces the MP4 and AVI jobs share inside the engine: a row's paths and
// result texts, and why a conversion gave no output.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "convert/ConvertEngine.h"

namespace convert {

using ProgressFn = std::function<void(uint64_t nDone, uint64_t nTotal)>;

struct SRowPaths {
    std::wstring strOutput;
    std::string strIn;
    std::string strOut;
};
SRowPaths RowPaths(IConversionHost& host, int32_t nRow, const wchar_t* pszExt);

// The row's progress (100 on success when bProgress100), its result word,
// and the host told.
void FinishRowTexts(IConversionHost& host, int32_t nRow, const SConversionResult& result, bool bProgress100,
                    const std::wstring& strOutput);

uint64_t FileBytes(const std::string& strPath);

// Claims the row's output name for the batch, unless its input is refused:
// a refused input must not stand in a recording's way.
void ClaimRowOutput(IConversionHost& host, CBatchOutputs& batch, int32_t nRow, const wchar_t* pszExt);

// What every row passes before it is converted: its input is not refused,
// the output name is its own in the batch and is not the input. The failure,
// or the probe's success (with the input's format) to go on with.
SConversionResult CheckRow(const SRowPaths& paths, CBatchOutputs& batch, int32_t nRow);

// The text of a language key.
std::wstring Text(const wchar_t* pszKey);
// "01:30:05", the point a stopped part reached.
std::string ClockText(double dSeconds);

// A regular file, or null with the reason.
std::unique_ptr<IInputReader> OpenFileInput(const std::string& strPath, SConversionResult& failure);

// Why a parser gave nothing a file could start with; where the codec changed.
SConversionResult NoOutputReason(const TessaroStatus& status, bool bKnown);
std::string CodecChangePlace(const TessaroStatus& status, bool bKnown);

SMp4WriterOptions WriterLayout(const SConvertOptions& options);

// A whole result becomes "converted in part" when sound is missing from the
// output: audio the parser left out, or what the writer could not take.
void NoteLeftOutAudio(SConversionResult& result, const TessaroStatus& status, bool bKnown,
                      const std::string& strWriter);

// Finishes the writer after the read ended with result: a whole output, or,
// after a stop when bKeepStoppedPart, what was read as a part of its own (result becomes a success
// with the reason Stopped). The writer's Finish value.
int32_t FinishOutput(IFrameWriter& writer, SConversionResult& result, bool bKeepStoppedPart);

// One row through the recording (a part of it, its time): named, claimed and
// checked as any row, then converted by convertPiece.
SConversionResult RecordingRow(IConversionHost& host, int32_t nRow, const wchar_t* pszExt, CBatchOutputs& batch,
                               const SConvertOptions& options, const PieceFn& convertPiece);

}  // namespace convert
