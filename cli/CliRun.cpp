// The command-line converter's side of the job interface: the list lives here,
// every request is answered directly, and progress and results go to stderr.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "convert/ConversionList.h"
#include "convert/ConvertEngine.h"
#include "convert/ConvertJobs.h"
#include "lang/MultiLanguage.h"
#include "log/Log.h"
#include "platform/Platform.h"

namespace cli {

namespace {

volatile sig_atomic_t g_bInterrupted = 0;

void OnInterrupt(int) {
    g_bInterrupted = 1;
}

// The first Ctrl-C, kill or hang-up lets the current file be cleaned up; a
// second one ends the process at once (SA_RESETHAND restores the default
// action). A reader that went away (… | head) is noticed when a result line
// cannot be written, not by a signal that would leave a temporary behind.
void InstallHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

void InstallInterruptHandler() {
    InstallHandler();
}

bool Interrupted() {
    return g_bInterrupted != 0;
}

namespace {

std::string Narrow(const std::wstring& str) {
    return platform::WideToNarrow(str);
}

using Clock = std::chrono::steady_clock;

class CCliHost final : public IConversionHost {
public:
    CCliHost(CConversionList& list, std::vector<std::wstring> sourceDirs, std::vector<std::string> names,
             std::wstring strSaveDir, const SOptions& options, FileDoneFn onFileDone)
        : m_onFileDone(std::move(onFileDone)),
          m_list(list),
          m_sourceDirs(std::move(sourceDirs)),
          m_names(std::move(names)),
          m_strSaveDir(std::move(strSaveDir)),
          m_bQuiet(options.bQuiet),
          m_bJson(options.bJson),
          m_bTerminal(::isatty(STDERR_FILENO) == 1),
          m_lastPercent(m_names.size(), -1),
          m_rowStart(m_names.size(), Clock::now()),
          m_pending(m_names.size()) {}

    // Several files may be converted at once: every request takes the lock.
    int32_t GetRowCount() override { return m_list.GetRowCount(); }
    bool IsRowChecked(int32_t nRow) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_list.IsRowChecked(nRow);
    }
    std::wstring GetRowText(int32_t nRow, int32_t nColumn) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_list.GetRowText(nRow, nColumn);
    }
    void SetRowText(int32_t nRow, int32_t nColumn, const std::wstring& strText) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_list.SetRowText(nRow, nColumn, strText);
        if (nColumn == COL_PROGRESS) ShowProgress(nRow, strText);
    }
    void OnRowStart(int32_t nRow) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (InRange(nRow)) m_rowStart[Index(nRow)] = Clock::now();
    }
    // Unlike the desktop list, every file keeps its own directory.
    std::wstring GetSourceDir(int32_t nRow) override { return InRange(nRow) ? m_sourceDirs[Index(nRow)] : L""; }
    std::wstring GetSaveDir(int32_t nRow) override { return m_strSaveDir.empty() ? GetSourceDir(nRow) : m_strSaveDir; }
    // The per-file result lines already say everything.
    void ShowMessage(const std::wstring&) override {}
    bool IsStopRequested() override { return g_bInterrupted != 0; }
    // Results come out in the order of the files, whichever finishes first.
    void OnRowDone(int32_t nRow, const convert::SConversionResult& result, const std::wstring& strOutputPath) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!InRange(nRow)) return;
        SFileReport report;
        report.strInput = m_names[Index(nRow)];
        report.strOutput = result.bSuccess ? Narrow(strOutputPath) : std::string();
        report.result = result;
        report.strReason = Narrow(convert::ReasonText(result));
        report.dWallSeconds = std::chrono::duration<double>(Clock::now() - m_rowStart[Index(nRow)]).count();
        m_pending[Index(nRow)] =
            m_bJson ? JsonLine(report) : ResultLine(report, Narrow(m_list.GetRowText(nRow, COL_DESTRIBE)));
        if (m_onFileDone) m_onFileDone(m_names[Index(nRow)], result);
        ++m_nDone;
        if (!result.bSuccess)
            ++m_nFailed;
        else if (!result.Whole())
            ++m_nPartial;
        PrintReady();
    }

    // Rows that were never begun (a stop, an unticked row) hold no one up.
    void Flush() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (; m_nPrinted < m_pending.size(); ++m_nPrinted) {
            if (m_pending[m_nPrinted]) Print(*m_pending[m_nPrinted]);
        }
    }

    // Log lines share stderr with the progress bar.
    void Log(trelvo::log::ELevel level, const char* pszModule, const char* pszText) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ClearBar();
        std::fprintf(stderr, "trelvo-convert: %s: %s: %s\n", pszModule, trelvo::log::LevelName(level), pszText);
        std::fflush(stderr);
    }

    int32_t Done() const { return m_nDone; }
    int32_t Failed() const { return m_nFailed; }
    int32_t Partial() const { return m_nPartial; }

private:
    bool InRange(int32_t nRow) const { return nRow >= 0 && static_cast<size_t>(nRow) < m_names.size(); }
    static size_t Index(int32_t nRow) { return static_cast<size_t>(nRow); }

    void ShowProgress(int32_t nRow, const std::wstring& strText) {
        if (m_bQuiet || !InRange(nRow)) return;
        int nPercent = 0;
        try {
            nPercent = std::stoi(strText);
        } catch (...) {
            return;
        }
        // The AVI library reports more often than the number changes.
        if (nPercent == m_lastPercent[Index(nRow)]) return;
        m_lastPercent[Index(nRow)] = nPercent;
        const std::string& strName = m_names[Index(nRow)];
        if (!m_bTerminal) {
            std::fprintf(stderr, "%s: %d%%\n", strName.c_str(), nPercent);
            return;
        }
        constexpr int kWidth = 30;
        const int nFill = nPercent < 0 ? 0 : nPercent > 100 ? kWidth : nPercent * kWidth / 100;
        std::string strBar(static_cast<size_t>(nFill), '#');
        strBar.append(static_cast<size_t>(kWidth - nFill), '.');
        std::fprintf(stderr, "\r\033[K%s [%s] %3d%%", strName.c_str(), strBar.c_str(), nPercent);
        std::fflush(stderr);
        m_bBarShown = true;
    }

    void Print(const std::string& strLine) {
        ClearBar();
        // Nobody reads the results any more: stop after the current file.
        if (std::fprintf(stdout, "%s\n", strLine.c_str()) < 0 || std::fflush(stdout) != 0) g_bInterrupted = 1;
    }

    void PrintReady() {
        while (m_nPrinted < m_pending.size() && m_pending[m_nPrinted]) Print(*m_pending[m_nPrinted++]);
    }

    void ClearBar() {
        if (!m_bBarShown) return;
        std::fputs("\r\033[K", stderr);
        m_bBarShown = false;
    }

    FileDoneFn m_onFileDone;
    CConversionList& m_list;
    std::vector<std::wstring> m_sourceDirs;
    std::vector<std::string> m_names;
    std::wstring m_strSaveDir;
    bool m_bQuiet;
    bool m_bJson;
    bool m_bTerminal;
    bool m_bBarShown = false;
    std::vector<int> m_lastPercent;
    int32_t m_nDone = 0;
    int32_t m_nFailed = 0;
    int32_t m_nPartial = 0;
    std::vector<Clock::time_point> m_rowStart;
    std::vector<std::optional<std::string>> m_pending;  // result lines not printed yet
    size_t m_nPrinted = 0;
    std::mutex m_mutex;
};

struct SLogFilter {
    CCliHost* pHost;
    trelvo::log::ELevel maxLevel;
};

void LogToStderr(trelvo::log::ELevel level, const char* pszModule, const char* pszText, void* pUser) {
    const auto* p = static_cast<const SLogFilter*>(pUser);
    if (level <= p->maxLevel) p->pHost->Log(level, pszModule, pszText);
}

// The output directory, absolute, created when missing, ending in '/'.
bool PrepareOutputDir(const std::string& strDir, std::wstring& strOut) {
    std::string strAbs = AbsolutePath(strDir);
    std::error_code ec;
    std::filesystem::create_directories(strAbs, ec);
    if (!std::filesystem::is_directory(strAbs, ec)) return false;
    if (strAbs.back() != '/') strAbs += '/';
    strOut = platform::NarrowToWide(strAbs);
    return true;
}

// The join's output: a relative name goes into the output directory when one
// is given, else into the current one.
std::string JoinOutputPath(const std::string& strOutput, const std::wstring& strSaveDir) {
    if (strOutput[0] == '/' || strSaveDir.empty()) return AbsolutePath(strOutput);
    return Narrow(strSaveDir) + strOutput;
}

}  // namespace

int RunConversions(const SOptions& options, const FileDoneFn& onFileDone) {
    if (!options.strWatchDir.empty()) return RunWatch(options);
    if (options.IsLive()) return RunLive(options);
    std::wstring strSaveDir;
    if (!options.strOutputDir.empty() && !PrepareOutputDir(options.strOutputDir, strSaveDir)) {
        std::fprintf(stderr, "trelvo-convert: cannot create the output directory '%s'\n", options.strOutputDir.c_str());
        return kExitFailed;
    }
    convert::SConvertOptions convertOptions = options.convert;
    const bool bJoin = !convertOptions.strJoinOutput.empty();
    if (bJoin) {
        convertOptions.strJoinOutput = JoinOutputPath(convertOptions.strJoinOutput, strSaveDir);
        // Its directory is made when missing, as --output-dir's is.
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(convertOptions.strJoinOutput).parent_path(), ec);
    }

    CConversionList list;
    std::vector<std::wstring> sourceDirs;
    for (const std::string& strFile : options.files) {
        // A file whose size cannot be read is still tried, so that it gets its
        // result line and counts as failed.
        list.AddFileRow(platform::NarrowToWide(AbsolutePath(strFile)));
        list.SetRowChecked(list.GetRowCount() - 1, true);
        sourceDirs.push_back(list.m_strSourceDir);
    }

    CCliHost host(list, std::move(sourceDirs), options.files, strSaveDir, options, onFileDone);
    using trelvo::log::ELevel;
    SLogFilter filter{&host, options.bVerbose ? ELevel::Debug : options.bQuiet ? ELevel::Error : ELevel::Warning};
    trelvo::log::SetSink(LogToStderr, &filter);
    g_pMainDlg = &host;
    InstallHandler();
    if (options.format == EFormat::Avi) {
        convert::AviConvertRows(host, KorvelConvert, options.nJobs, convertOptions);
    } else {
        convert::CMp4Backend backend;
        convert::Mp4ConvertRows(host, backend, options.nJobs, convertOptions);
    }
    host.Flush();
    g_pMainDlg = nullptr;
    trelvo::log::SetSink(nullptr, nullptr);

    // A join reports once per output, on the row of its first input.
    const bool bAllReported = bJoin ? host.Done() > 0 : host.Done() == list.GetRowCount();
    const bool bAllDone = bAllReported && host.Failed() == 0 && g_bInterrupted == 0;
    if (!bAllDone) return kExitFailed;
    return host.Partial() > 0 ? kExitPartial : kExitOk;
}

}  // namespace cli
