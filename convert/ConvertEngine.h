// The pieces the two jobs are built from, open for the command-line converter
// and for tests: naming, percentages, and the per-file resources of the MP4
// job behind a seam so that a test can put its own reader, parser or writer in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "convert/ConvertJobs.h"
#include "libs/korvel/korvel.h"

struct TessaroFrame;

namespace convert {

inline constexpr size_t kChunkSize = 16384;

// The file name up to its last '.', or all of it, followed by strExt.
std::wstring MakeOutputName(const std::wstring& strFileName, const std::wstring& strExt);

// done / total * 100 in double precision, quotient first, truncated. A total of
// 0 gives 100; values beyond the int32 range are clamped.
int32_t ComputePercent(uint64_t nDone, uint64_t nTotal);

// True when both paths exist and name the same file (device and inode, after
// following symlinks).
bool IsSameFile(const std::string& strPathA, const std::string& strPathB);

class IInputReader {
public:
    virtual ~IInputReader() = default;
    virtual uint64_t Size() const = 0;
    // Up to nLen bytes; 0 at the end of the input or on an error.
    virtual size_t Read(uint8_t* pBuffer, size_t nLen) = 0;
    // True once a read has failed (as opposed to reaching the end).
    virtual bool Failed() const = 0;
};

class IFrameParser {
public:
    virtual ~IFrameParser() = default;
    virtual void InputData(const uint8_t* pData, uint32_t nLen) = 0;
    // The input has ended: what the parser still holds becomes available.
    virtual void InputEnd() = 0;
    virtual const TessaroFrame* GetNextFrame() = 0;
};

class IFrameWriter {
public:
    virtual ~IFrameWriter() = default;
    // As CMp4Writer: 1 consumed, 0 dropped, negative the file failed.
    virtual int32_t InputFrame(const TessaroFrame* pFrame) = 0;
    // As CMp4Writer: 1 complete file, 0 no output, negative write error.
    virtual int32_t Finish() = 0;
};

// Makes the per-file resources of the MP4 job. The defaults are the real ones:
// the file through stdio, our stream parser, and CMp4Writer.
class CMp4Backend {
public:
    virtual ~CMp4Backend() = default;
    // Null when the input cannot be opened or is not a regular file.
    virtual std::unique_ptr<IInputReader> OpenInput(const std::string& strPath);
    virtual std::unique_ptr<IFrameParser> CreateParser();
    virtual std::unique_ptr<IFrameWriter> CreateWriter(const std::string& strPath);
};

// Converts one row to MP4; true when it produced a complete output.
bool Mp4ConvertRow(IConversionHost& host, int32_t nRow, CMp4Backend& backend);
// The MP4 job over every ticked row, ending with the closing message.
uint32_t Mp4ConvertRows(IConversionHost& host, CMp4Backend& backend);

// The AVI library entry, replaceable in tests.
using AviConvertFn = int32_t (*)(const char* pszInput, const char* pszOutput, int32_t nMode,
                                 KorvelProgressCallback pfnProgress, KorvelCancelCallback pfnCancel,
                                 int32_t nUser);
// The AVI job over every ticked row. Progress reaches the list through
// g_pMainDlg, as the library's callback has nothing else to go by.
uint32_t AviConvertRows(IConversionHost& host, AviConvertFn pfnConvert);

}  // namespace convert
