#include "convert/ConvertJobs.h"
#include "convert/InputCheck.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>
#include <thread>

#include "convert/ConversionList.h"
#include "convert/ConvertEngine.h"
#include "convert/JobParts.h"
#include "lang/MultiLanguage.h"
#include "libs/tessaro/tessaro.h"
#include "platform/Platform.h"

IConversionHost* g_pMainDlg = nullptr;

namespace convert {

std::wstring Text(const wchar_t* pszKey) {
    return CMultiLanguage::GetText(pszKey);
}

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

std::string ClockText(double dSeconds) {
    const auto n = static_cast<long long>(dSeconds < 0 ? 0 : dSeconds);
    char sz[32];
    std::snprintf(sz, sizeof sz, "%02lld:%02lld:%02lld", n / 3600, n / 60 % 60, n % 60);
    return sz;
}

void FinishRowTexts(IConversionHost& host, int32_t nRow, const SConversionResult& result, bool bProgress100,
                    const std::wstring& strOutput) {
    if (result.bSuccess && bProgress100) host.SetRowProgress(nRow, 100);
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

void ClaimRowOutput(IConversionHost& host, CBatchOutputs& batch, int32_t nRow, const wchar_t* pszExt) {
    const SRowPaths paths = RowPaths(host, nRow, pszExt);
    if (ProbeInput(paths.strIn).bSuccess) batch.Claim(paths.strOut, nRow);
}

SConversionResult CheckRow(const SRowPaths& paths, CBatchOutputs& batch, int32_t nRow) {
    SConversionResult probed = ProbeInput(paths.strIn);
    if (!probed.bSuccess) return probed;
    if (!batch.Claim(paths.strOut, nRow)) return Failure(EReason::NameUsed);
    // Writing the output would replace the input it is read from.
    if (IsSameFile(paths.strIn, paths.strOut)) return Failure(EReason::SameFile);
    return probed;
}

uint64_t FileBytes(const std::string& strPath) {
    struct stat st {};
    return ::stat(strPath.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace convert
