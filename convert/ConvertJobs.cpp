#include "convert/ConvertJobs.h"

#include <sys/stat.h>

#include <cstdio>
#include <limits>

#include "convert/ConversionList.h"
#include "convert/ConvertEngine.h"
#include "lang/MultiLanguage.h"
#include "libs/korvel/korvel.h"
#include "libs/tessaro/tessaro.h"
#include "mp4/Mp4Writer.h"
#include "platform/Platform.h"

IConversionHost* g_pMainDlg = nullptr;

namespace convert {

namespace {

struct SFileCloser {
    void operator()(FILE* pFile) const { std::fclose(pFile); }
};

class CStdioReader final : public IInputReader {
public:
    CStdioReader(FILE* pFile, uint64_t nSize) : m_pFile(pFile), m_nSize(nSize) {}
    uint64_t Size() const override { return m_nSize; }
    size_t Read(uint8_t* pBuffer, size_t nLen) override {
        return std::fread(pBuffer, 1, nLen, m_pFile.get());
    }
    bool Failed() const override { return std::ferror(m_pFile.get()) != 0; }

private:
    std::unique_ptr<FILE, SFileCloser> m_pFile;
    uint64_t m_nSize;
};

class CTessaroParser final : public IFrameParser {
public:
    explicit CTessaroParser(void* hParser) : m_hParser(hParser) {}
    ~CTessaroParser() override { TessaroDestroy(m_hParser); }
    CTessaroParser(const CTessaroParser&) = delete;
    CTessaroParser& operator=(const CTessaroParser&) = delete;
    void InputData(const uint8_t* pData, uint32_t nLen) override {
        TessaroInputData(m_hParser, pData, nLen);
    }
    void InputEnd() override { TessaroInputEnd(m_hParser); }
    const TessaroFrame* GetNextFrame() override { return TessaroGetNextFrame(m_hParser); }

private:
    void* m_hParser;
};

class CWriterAdapter final : public IFrameWriter {
public:
    explicit CWriterAdapter(const std::string& strPath) : m_writer(strPath) {}
    int32_t InputFrame(const TessaroFrame* pFrame) override { return m_writer.InputFrame(pFrame); }
    int32_t Finish() override { return m_writer.Finish(); }

private:
    CMp4Writer m_writer;
};

std::wstring Text(const wchar_t* pszKey) { return CMultiLanguage::GetText(pszKey); }

}  // namespace

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
    struct stat a {}, b {};
    if (::stat(strPathA.c_str(), &a) != 0 || ::stat(strPathB.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::unique_ptr<IInputReader> CMp4Backend::OpenInput(const std::string& strPath) {
    std::unique_ptr<FILE, SFileCloser> pFile(std::fopen(strPath.c_str(), "rb"));
    if (!pFile) return nullptr;
    // Only regular files: a directory opens but cannot be read, and a device
    // or pipe has no size to measure progress against.
    struct stat st {};
    if (::fstat(::fileno(pFile.get()), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    return std::make_unique<CStdioReader>(pFile.release(), static_cast<uint64_t>(st.st_size));
}

std::unique_ptr<IFrameParser> CMp4Backend::CreateParser() {
    void* hParser = TessaroCreate(0);
    if (!hParser) return nullptr;
    return std::make_unique<CTessaroParser>(hParser);
}

std::unique_ptr<IFrameWriter> CMp4Backend::CreateWriter(const std::string& strPath) {
    return std::make_unique<CWriterAdapter>(strPath);
}

bool Mp4ConvertRow(IConversionHost& host, int32_t nRow, CMp4Backend& backend) {
    const std::wstring strFileName = host.GetRowText(nRow, COL_FILENAME);
    const std::wstring strOutput = host.GetSaveDir(nRow) + MakeOutputName(strFileName, L".mp4");
    const std::string strInPath = platform::WideToNarrow(host.GetSourceDir(nRow) + strFileName);
    const std::string strOutPath = platform::WideToNarrow(strOutput);

    auto finishRow = [&](bool bSuccess) {
        if (bSuccess) host.SetRowText(nRow, COL_PROGRESS, L"100");
        host.SetRowText(nRow, COL_DESTRIBE, Text(bSuccess ? L"Trelvo.Success" : L"Trelvo.Fail"));
        host.OnRowDone(nRow, bSuccess, strOutput);
        return bSuccess;
    };

    // Writing the output would truncate the input it is read from.
    if (IsSameFile(strInPath, strOutPath)) return finishRow(false);

    // Declared in the order that makes them go in the order the job releases
    // them: input, writer, buffer, parser.
    std::unique_ptr<IFrameParser> pParser;
    std::unique_ptr<uint8_t[]> pBuffer;
    std::unique_ptr<IFrameWriter> pWriter;
    std::unique_ptr<IInputReader> pInput = backend.OpenInput(strInPath);
    if (!pInput) return finishRow(false);
    const uint64_t nSize = pInput->Size();

    pBuffer = std::make_unique<uint8_t[]>(kChunkSize);
    pParser = backend.CreateParser();
    if (!pParser) return finishRow(false);
    pWriter = backend.CreateWriter(strOutPath);
    if (!pWriter) return finishRow(false);

    uint64_t nBytesRead = 0;
    int32_t nLastPercent = -1;
    bool bOk = true;
    bool bStopped = false;
    auto drain = [&] {
        while (const TessaroFrame* pFrame = pParser->GetNextFrame()) {
            if (pWriter->InputFrame(pFrame) < 0) {
                bOk = false;
                break;
            }
        }
    };
    while (bOk) {
        const size_t nRead = pInput->Read(pBuffer.get(), kChunkSize);
        if (nRead == 0) {
            // The last picture ends with the input: the parser hands it out now.
            if (!pInput->Failed()) {
                pParser->InputEnd();
                drain();
            }
            break;
        }
        pParser->InputData(pBuffer.get(), static_cast<uint32_t>(nRead));
        drain();
        nBytesRead += nRead;
        const int32_t nPercent = ComputePercent(nBytesRead, nSize);
        if (nPercent != nLastPercent) {
            nLastPercent = nPercent;
            host.SetRowText(nRow, COL_PROGRESS, std::to_wstring(nPercent));
        }
        if (host.IsStopRequested()) {
            bStopped = true;
            break;
        }
    }
    // A read error ends the loop like the end of the input; only ferror tells.
    if (pInput->Failed()) bOk = false;

    const int32_t nFinish = pWriter->Finish();
    const bool bSuccess = bOk && !bStopped && nFinish == 1;
    // A complete file from a failed or stopped row holds only part of the
    // input; leave nothing that looks like a good conversion.
    if (!bSuccess && nFinish == 1) std::remove(strOutPath.c_str());
    return finishRow(bSuccess);
}

uint32_t Mp4ConvertRows(IConversionHost& host, CMp4Backend& backend) {
    const int32_t nCount = host.GetRowCount();
    bool bAllOk = true;
    for (int32_t nRow = 0; nRow < nCount; ++nRow) {
        if (!host.IsRowChecked(nRow)) continue;
        if (host.IsStopRequested()) {
            bAllOk = false;
            break;
        }
        if (!Mp4ConvertRow(host, nRow, backend)) bAllOk = false;
    }
    host.ShowMessage(Text(bAllOk ? L"Trelvo.Success" : L"Trelvo.Fail"));
    return 1;
}

namespace {

int32_t AviCancelCallback(int32_t /*nUser*/) {
    return g_pMainDlg != nullptr && g_pMainDlg->IsStopRequested() ? 1 : 0;
}

}  // namespace

uint32_t AviConvertRows(IConversionHost& host, AviConvertFn pfnConvert) {
    const int32_t nCount = host.GetRowCount();
    for (int32_t nRow = 0; nRow < nCount; ++nRow) {
        if (!host.IsRowChecked(nRow)) continue;
        if (host.IsStopRequested()) break;
        const std::wstring strFileName = host.GetRowText(nRow, COL_FILENAME);
        const std::wstring strOutput = host.GetSaveDir(nRow) + MakeOutputName(strFileName, L".avi");
        const std::string strInPath = platform::WideToNarrow(host.GetSourceDir(nRow) + strFileName);
        const std::string strOutPath = platform::WideToNarrow(strOutput);
        const int32_t nResult = pfnConvert(strInPath.c_str(), strOutPath.c_str(), 2, AviProgressCallback,
                                           AviCancelCallback, nRow);
        const bool bSuccess = nResult >= 0;
        // Success is written too, so a fail text from an earlier run does not
        // stand beside a good file.
        host.SetRowText(nRow, COL_DESTRIBE, Text(bSuccess ? L"Trelvo.Success" : L"Trelvo.Fail"));
        host.OnRowDone(nRow, bSuccess, strOutput);
    }
    return 1;
}

}  // namespace convert

uint32_t Mp4ConvertThread(void* pParam) {
    convert::CMp4Backend backend;
    return convert::Mp4ConvertRows(*static_cast<IConversionHost*>(pParam), backend);
}

uint32_t AviConvertThread(void* pParam) {
    return convert::AviConvertRows(*static_cast<IConversionHost*>(pParam), KorvelConvertToAviEx);
}

void AviProgressCallback(uint32_t nPosition, uint32_t nTotal, int32_t nUser) {
    if (nTotal == 0 || g_pMainDlg == nullptr) return;
    g_pMainDlg->SetRowText(nUser, COL_PROGRESS,
                           std::to_wstring(convert::ComputePercent(nPosition, nTotal)));
}
