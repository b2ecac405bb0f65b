// The pieces the two jobs are built from, open for the command-line converter
// and for tests: naming, percentages, and the per-file resources of the MP4
// job behind a seam so that a test can put its own reader, parser or writer in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "convert/ConvertJobs.h"
#include "convert/ConvertOptions.h"
#include "convert/ConvertResult.h"
#include "libs/feed/Feed.h"
#include "libs/feed/Joined.h"
#include "libs/korvel/korvel.h"
#include "libs/tessaro/tessaro.h"
#include "mp4/Mp4Writer.h"

namespace convert {

using feed::kChunkSize;

// "H.264", "MPEG-1/2" ... for a codec code of the parser: names only, the
// same in every language; empty for a codec without one.
const char* VideoCodecName(int32_t nCodec);

// The file name up to its last '.', or all of it, followed by strExt.
std::wstring MakeOutputName(const std::wstring& strFileName, const std::wstring& strExt);

// done / total * 100 in double precision, quotient first, truncated. A total of
// 0 gives 100; values beyond the int32 range are clamped.
int32_t ComputePercent(uint64_t nDone, uint64_t nTotal);

// True when both paths exist and name the same file (device and inode, after
// following symlinks).
bool IsSameFile(const std::string& strPathA, const std::string& strPathB);

// The output names of one batch: the first row to ask for a name has it, and
// a later row with the same output name fails instead of replacing the
// earlier one's output. Safe from several threads.
class CBatchOutputs {
public:
    // True when no other row of the batch asked for this output first; a row
    // may ask again for its own.
    bool Claim(const std::string& strPath, int32_t nRow);

private:
    static std::string Key(const std::string& strPath);
    std::mutex m_mutex;
    std::vector<std::pair<std::string, int32_t>> m_claims;
};

// Walks the ticked rows and runs fnRow on each, in order when nJobs is 1, else
// on nJobs threads at once (rows are still begun in order). fnBegin, when
// given, runs for each row as it is begun, strictly in row order and before a
// later row is begun. No new row is begun once the host asks to stop.
void RunRows(IConversionHost& host, int nJobs, const std::function<void(int32_t nRow)>& fnRow,
             const std::function<void(int32_t nRow)>& fnBegin = nullptr);

using feed::IFrameParser;
using feed::IInputReader;
// Opens an input by its path; null with the reason in failure.
using OpenInputFnPath =
    std::function<std::unique_ptr<IInputReader>(const std::string& strPath, SConversionResult& failure)>;

class IFrameWriter {
public:
    virtual ~IFrameWriter() = default;
    // As CMp4Writer: 1 consumed, 0 dropped, negative the file failed.
    virtual int32_t InputFrame(const TessaroFrame* pFrame) = 0;
    // 1 the output is complete under its final name, 0 no output, negative
    // a write error.
    virtual int32_t Finish() = 0;
    // As Finish, for an output that was stopped early: a file standing at
    // the final name stays, and the part takes a name of its own beside it
    // (PartPath).
    virtual int32_t FinishPart() { return Finish(); }
    virtual std::string PartPath() const { return {}; }
    // The system's message for a write error.
    virtual std::string ErrorText() const { return {}; }
    virtual uint64_t Pictures() const { return 0; }
    virtual double MediaSeconds() const { return 0; }
    // The input cannot carry sound: no need to wait for it.
    virtual void ExpectNoAudio() {}
    // True when part of the video could not go into the output (another codec).
    virtual bool LeftOutPart() const { return false; }
    // What of the sound could not go into the output; empty when all of it went.
    virtual std::string LeftOutAudio() const { return {}; }
};

// Makes the per-file resources of the MP4 job. The defaults are the real ones:
// the file through stdio, our stream parser, and CMp4Writer writing under a
// temporary name that Finish renames onto the final one (a fragmented file
// goes straight to its final name, so that it can be played while written).
class CMp4Backend {
public:
    virtual ~CMp4Backend() = default;
    // Null when the input cannot be opened or is not a regular file, with the
    // reason in failure. Never blocks on a FIFO or device.
    virtual std::unique_ptr<IInputReader> OpenInput(const std::string& strPath, SConversionResult& failure);
    virtual std::unique_ptr<IFrameParser> CreateParser();
    // Null when the output cannot be started, with the system's message.
    virtual std::unique_ptr<IFrameWriter> CreateWriter(const std::string& strPath, const SMp4WriterOptions& options,
                                                       std::string& strError);
};

// Converts one row to MP4.
SConversionResult Mp4ConvertRow(IConversionHost& host, int32_t nRow, CMp4Backend& backend, CBatchOutputs& batch,
                                const SConvertOptions& options = {});
// The MP4 job over every ticked row, nJobs at a time, ending with the
// closing message. With more than one job the host is called from several
// threads at once. A join makes one job of all rows (see JoinRows).
uint32_t Mp4ConvertRows(IConversionHost& host, CMp4Backend& backend, int nJobs = 1,
                        const SConvertOptions& options = {});

// The AVI library entry, replaceable in tests.
using AviConvertFn = int32_t (*)(const char* pszInput, const char* pszOutput, KorvelProgressFn pfnProgress,
                                 KorvelCancelFn pfnCancel, void* pUser, KorvelResult* pResult);
// The AVI library's entry for joined inputs and parts of a recording.
using AviPartFn = int32_t (*)(const char* const* ppszInputs, uint32_t nInputs, const char* pszOutput, KorvelPart* pPart,
                              KorvelProgressFn pfnProgress, KorvelCancelFn pfnCancel, void* pUser,
                              KorvelResult* pResult);
// The AVI job over every ticked row. Each conversion reaches its row through
// the pointer the library hands back to the callbacks. Rows that need the
// recording (options.NeedsRecording()) go through pfnPart.
uint32_t AviConvertRows(IConversionHost& host, AviConvertFn pfnConvert, int nJobs = 1,
                        const SConvertOptions& options = {}, AviPartFn pfnPart = KorvelConvertPart);

// The timeline of one recording as it goes from one output to the next.
struct SChain {
    bool bContinued = false;  // an earlier output began it
    feed::STimeline timeline;
    int64_t nOrigin = 0;    // its first picture's time
    bool bCutDone = false;  // the asked part has ended
};

// One output of a recording: its inputs, its path, when its recording began.
struct SPiece {
    std::vector<std::string> inputs;
    std::string strOutput;
    bool bRecorded = false;
    int64_t nRecordedUs = 0;  // the recording's first picture, microseconds since 1970 UTC
};

// Converts one piece from where the chain stands, moving the chain on;
// progress in bytes of the piece's inputs.
using PieceFn = std::function<SConversionResult(const SPiece& piece, SChain& chain,
                                                const std::function<void(uint64_t, uint64_t)>& progress)>;
// The MP4 and AVI pieces.
SConversionResult Mp4Piece(IConversionHost& host, CMp4Backend& backend, const SConvertOptions& options,
                           const SPiece& piece, SChain& chain, const std::function<void(uint64_t, uint64_t)>& progress);
SConversionResult AviPiece(IConversionHost& host, AviPartFn pfnPart, const SConvertOptions& options,
                           const SPiece& piece, SChain& chain, const std::function<void(uint64_t, uint64_t)>& progress);

// Every ticked row, in order, into options.strJoinOutput: inputs of one
// format share an output; a change of codec, picture size or sound starts
// the next (NAME-2.EXT, NAME-3.EXT ...), so does one of the picture rate
// for a format of one fixed rate (bOneRate: AVI). Each output's result goes
// to the row of its first input. False when it did not convert whole.
bool JoinRows(IConversionHost& host, const SConvertOptions& options, const OpenInputFnPath& openInput,
              const feed::CreateParserFn& createParser, const PieceFn& convertPiece, bool bOneRate);

// "/out/cam-2.mp4" for the second output (nPiece 1) of "/out/cam.mp4".
std::string PieceOutputName(const std::string& strOutput, size_t nPiece);

// When the row's recording began, as the options say: a fixed time, or the
// time its file name holds. False when none is asked or the name holds none.
bool RecordingTimeFor(const SConvertOptions& options, const std::string& strFileName, int64_t& nUs);

// The outcome of an AVI library call as the jobs report it.
SConversionResult AviResult(const KorvelResult& result);

}  // namespace convert
