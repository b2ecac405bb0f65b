// The command-line converter's side of the job interface: the list lives here,
// every request is answered directly, and progress and results go to stderr.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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
// No one reads the results any more: the batch stops as after a stop, but fails.
std::atomic<bool> g_bResultsLost{false};

void OnInterrupt(int) {
    g_bInterrupted = 1;
    // write(), not stdio: the only output that is safe in a handler.
    static constexpr char kText[] =
        "\ntrelvo-convert: stopping: the file being converted is kept in part (again to stop at once)\n";
    const ssize_t n = ::write(STDERR_FILENO, kText, sizeof kText - 1);
    (void)n;
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

// A write failure names the file it is about, as the system's text does not.
std::string ReasonWithPath(const convert::SConversionResult& result, const std::string& strOutput) {
    if (result.reason == convert::EReason::Stopped && !result.strDetail.empty())
        return Narrow(CMultiLanguage::GetText(convert::ReasonKey(result.reason))) + " at " + result.strDetail;
    if (result.reason != convert::EReason::WriteOutput || strOutput.empty() ||
        result.strDetail.find(strOutput) != std::string::npos)
        return Narrow(convert::ReasonText(result));
    std::string strText = Narrow(CMultiLanguage::GetText(convert::ReasonKey(result.reason))) + " " + strOutput;
    if (!result.strDetail.empty()) strText += ": " + result.strDetail;
    return strText;
}

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
          m_bSingleOutput(!options.strOutput.empty()),
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
    }
    // The number itself: no list cell to read it back from.
    void SetRowProgress(int32_t nRow, int32_t nPercent) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ShowProgress(nRow, nPercent);
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
        report.strOutput = !result.bSuccess              ? std::string()
                           : !result.strPartPath.empty() ? result.strPartPath
                                                         : Narrow(strOutputPath);
        report.result = result;
        // --output FILE goes through the join of one input: no join to report.
        if (m_bSingleOutput && report.result.nJoined == 1) report.result.nJoined = 0;
        report.strReason = ReasonWithPath(result, Narrow(strOutputPath));
        report.dWallSeconds = std::chrono::duration<double>(Clock::now() - m_rowStart[Index(nRow)]).count();
        m_pending[Index(nRow)] =
            m_bJson ? JsonLine(report) : ResultLine(report, Narrow(m_list.GetRowText(nRow, COL_DESTRIBE)));
        if (m_onFileDone) m_onFileDone(m_names[Index(nRow)], result);
        ++m_nDone;
        // A stop before anything could be kept is the user's, not a failure.
        if (!result.bSuccess && result.reason != convert::EReason::Stopped)
            ++m_nFailed;
        else if (!result.Whole())
            ++m_nPartial;
        PrintReady();
    }

    // A row whose output exists and is kept: reported, never begun.
    void Skip(int32_t nRow, const std::string& strOutput) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!InRange(nRow)) return;
        SFileReport report;
        report.strInput = m_names[Index(nRow)];
        report.strOutput = strOutput;
        report.bSkipped = true;
        report.strCode = "output-exists";
        report.strReason = "the output exists and is kept";
        m_pending[Index(nRow)] = m_bJson ? JsonLine(report) : ResultLine(report, std::string());
        ++m_nDone;
        PrintReady();
    }

    // Rows that were never begun hold no one up; after a stop each still
    // gets its result, so that every input is accounted for.
    void Flush(bool bJoin) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (; m_nPrinted < m_pending.size(); ++m_nPrinted) {
            if (!m_pending[m_nPrinted] && g_bInterrupted != 0 && !bJoin &&
                m_list.IsRowChecked(static_cast<int32_t>(m_nPrinted)))
                m_pending[m_nPrinted] = NotBegun(m_nPrinted);
            if (m_pending[m_nPrinted]) Print(*m_pending[m_nPrinted]);
        }
    }

    // Log lines share stderr with the progress bar.
    void Log(trelvo::log::ELevel level, const char* pszModule, const char* pszInput, const char* pszText) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ClearBar();
        // Several files convert at once: each line says whose it is.
        std::fprintf(stderr, "trelvo-convert: %s%s%s: %s: %s\n", pszInput, *pszInput ? ": " : "", pszModule,
                     trelvo::log::LevelName(level), pszText);
        std::fflush(stderr);
    }

    int32_t Done() const { return m_nDone; }
    int32_t Failed() const { return m_nFailed; }
    int32_t Partial() const { return m_nPartial; }
    int32_t NotBegun() const { return m_nNotBegun; }

private:
    std::string NotBegun(size_t nIndex) {
        SFileReport report;
        report.strInput = m_names[nIndex];
        report.bSkipped = true;
        report.strCode = "stopped";
        report.strReason =
            Narrow(CMultiLanguage::GetText(convert::ReasonKey(convert::EReason::Stopped))) + " before it was begun";
        ++m_nNotBegun;
        return m_bJson ? JsonLine(report) : ResultLine(report, std::string());
    }

    bool InRange(int32_t nRow) const { return nRow >= 0 && static_cast<size_t>(nRow) < m_names.size(); }
    static size_t Index(int32_t nRow) { return static_cast<size_t>(nRow); }

    void ShowProgress(int32_t nRow, int nPercent) {
        if (m_bQuiet || !InRange(nRow)) return;
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
        if (std::fprintf(stdout, "%s\n", strLine.c_str()) < 0 || std::fflush(stdout) != 0) {
            g_bResultsLost = true;
            g_bInterrupted = 1;
        }
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
    bool m_bSingleOutput;
    bool m_bTerminal;
    bool m_bBarShown = false;
    std::vector<int> m_lastPercent;
    int32_t m_nDone = 0;
    int32_t m_nFailed = 0;
    int32_t m_nPartial = 0;
    int32_t m_nNotBegun = 0;
    std::vector<Clock::time_point> m_rowStart;
    std::vector<std::optional<std::string>> m_pending;  // result lines not printed yet
    size_t m_nPrinted = 0;
    std::mutex m_mutex;
};

struct SLogFilter {
    CCliHost* pHost;
    trelvo::log::ELevel maxLevel;
};

void LogToStderr(trelvo::log::ELevel level, const char* pszModule, const char* pszInput, const char* pszText,
                 void* pUser) {
    const auto* p = static_cast<const SLogFilter*>(pUser);
    if (level <= p->maxLevel) p->pHost->Log(level, pszModule, pszInput, pszText);
}

// Makes a directory and its parents; false with the system's reason.
bool MakeDirectory(const std::string& strDir, std::string& strError) {
    std::error_code ec;
    std::filesystem::create_directories(strDir, ec);
    if (std::filesystem::is_directory(strDir)) return true;
    // create_directories reports nothing when a file stands at the name.
    strError = ec ? ec.message() : std::make_error_code(std::errc::not_a_directory).message();
    return false;
}

// The output directory, absolute, created when missing, ending in '/'.
bool PrepareOutputDir(const std::string& strDir, std::wstring& strOut, std::string& strError) {
    std::string strAbs = AbsolutePath(strDir);
    if (!MakeDirectory(strAbs, strError)) return false;
    if (strAbs.back() != '/') strAbs += '/';
    strOut = platform::NarrowToWide(strAbs);
    return true;
}

// A failure of the whole batch: said once on stderr, and with --json given to
// every input as its own result, so that a script sees one object per file.
int FailBatch(const SOptions& options, const std::string& strCode, const std::string& strMessage) {
    std::fprintf(stderr, "trelvo-convert: %s\n", strMessage.c_str());
    if (!options.bJson) return kExitFailed;
    for (const std::string& strFile : options.files) {
        SFileReport report;
        report.strInput = strFile;
        report.strCode = strCode;
        report.strReason = strMessage;
        report.result.reason = convert::EReason::Internal;
        std::fprintf(stdout, "%s\n", JsonLine(report).c_str());
    }
    std::fflush(stdout);
    return kExitFailed;
}

bool Exists(const std::string& strPath) {
    struct stat st {};
    return ::lstat(strPath.c_str(), &st) == 0;
}

// Where a row's output goes when no join names it, as the jobs name it.
std::string RowOutputPath(const std::string& strInput, const std::wstring& strSaveDir, EFormat format) {
    const std::string strAbs = AbsolutePath(strInput);
    const size_t nSlash = strAbs.rfind('/');
    const std::wstring strName = platform::NarrowToWide(strAbs.substr(nSlash + 1));
    const std::wstring strDir = strSaveDir.empty() ? platform::NarrowToWide(strAbs.substr(0, nSlash + 1)) : strSaveDir;
    return Narrow(strDir + convert::MakeOutputName(strName, format == EFormat::Avi ? L".avi" : L".mp4"));
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
    std::string strError;
    if (!options.strOutputDir.empty() && !PrepareOutputDir(options.strOutputDir, strSaveDir, strError))
        return FailBatch(options, "output-directory",
                         "cannot create the output directory " + options.strOutputDir + ": " + strError);
    convert::SConvertOptions convertOptions = options.convert;
    // The one named output of a single input is the join of that input.
    if (!options.strOutput.empty()) convertOptions.strJoinOutput = options.strOutput;
    const bool bJoin = !convertOptions.strJoinOutput.empty();
    if (bJoin) {
        convertOptions.strJoinOutput = JoinOutputPath(convertOptions.strJoinOutput, strSaveDir);
        // Its directory is made when missing, as --output-dir's is.
        const std::string strDir = std::filesystem::path(convertOptions.strJoinOutput).parent_path().string();
        if (!MakeDirectory(strDir, strError))
            return FailBatch(options, "output-directory",
                             "cannot create the output directory " + strDir + ": " + strError);
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
    if (options.bNoOverwrite) {
        for (int32_t nRow = 0; nRow < list.GetRowCount(); ++nRow) {
            const std::string strOut =
                bJoin ? convertOptions.strJoinOutput
                      : RowOutputPath(options.files[static_cast<size_t>(nRow)], strSaveDir, options.format);
            if (!Exists(strOut)) continue;
            list.SetRowChecked(nRow, false);
            host.Skip(nRow, strOut);
        }
        if (host.Done() == list.GetRowCount()) {
            host.Flush(bJoin);
            return kExitOk;
        }
    }
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
    host.Flush(bJoin);
    g_pMainDlg = nullptr;
    trelvo::log::SetSink(nullptr, nullptr);

    // A join reports once per output, on the row of its first input.
    const bool bAllReported = bJoin ? host.Done() > 0 : host.Done() + host.NotBegun() == list.GetRowCount();
    if (!bAllReported || host.Failed() > 0 || g_bResultsLost) return kExitFailed;
    // A stop keeps what was converted: in part, not failed.
    return host.Partial() > 0 || g_bInterrupted != 0 ? kExitPartial : kExitOk;
}

}  // namespace cli
