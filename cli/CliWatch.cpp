// A folder that recorders fill: each recording is converted once it is
// complete (its writer closed it, or it stood still for the idle time), once
// only, also across restarts, and a failed one is tried again later.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "cli/CliOptions.h"
#include "platform/OutputFile.h"

namespace cli {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kJournalName = ".trelvo-watch.journal";
// A failed file waits this long before it is tried again, doubled each time
// up to the cap.
constexpr std::chrono::seconds kMaxRetryWait{3600};

// What a file is known by: once converted, the same name with the same size
// and time is not converted again; a file written anew is.
struct SFileKey {
    uint64_t nSize = 0;
    int64_t nMtimeNs = 0;
    bool operator==(const SFileKey& o) const { return nSize == o.nSize && nMtimeNs == o.nMtimeNs; }
};

bool KeyOf(const std::string& strPath, SFileKey& key) {
    struct stat st {};
    if (::stat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    key.nSize = static_cast<uint64_t>(st.st_size);
    key.nMtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

// Names as one journal line can hold them: spaces, control bytes and '%' as
// %HH.
std::string Encode(const std::string& str) {
    std::string out;
    for (const char c : str) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || u == '%') {
            char sz[4];
            std::snprintf(sz, sizeof sz, "%%%02X", u);
            out += sz;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Decode(const std::string& str) {
    std::string out;
    for (size_t i = 0; i < str.size(); ++i) {
        if (str[i] == '%' && i + 2 < str.size()) {
            out += static_cast<char>(std::strtol(str.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += str[i];
        }
    }
    return out;
}

// The files already dealt with: converted, or failed for a reason that the
// same bytes will always give. Rewritten whole under a temporary name and
// renamed, so that a crash leaves the old journal or the new one.
class CJournal {
public:
    explicit CJournal(std::string strPath) : m_strPath(std::move(strPath)) {}

    void Load() {
        std::ifstream in(m_strPath);
        std::string strLine;
        while (std::getline(in, strLine)) {
            unsigned long long nSize = 0;
            long long nMtime = 0;
            char szName[4097] = {};
            if (std::sscanf(strLine.c_str(), "%llu %lld %4096s", &nSize, &nMtime, szName) != 3) continue;
            m_done[Decode(szName)] = SFileKey{nSize, nMtime};
        }
    }
    bool Has(const std::string& strPath, const SFileKey& key) const {
        const auto it = m_done.find(strPath);
        return it != m_done.end() && it->second == key;
    }
    void Add(const std::string& strPath, const SFileKey& key) { m_done[strPath] = key; }

    // Files no longer there are forgotten, so that the journal stays as
    // small as the folder.
    bool Save(std::string& strError) {
        for (auto it = m_done.begin(); it != m_done.end();) {
            SFileKey key;
            it = KeyOf(it->first, key) ? std::next(it) : m_done.erase(it);
        }
        platform::COutputFile out(m_strPath);
        if (!out.Create(strError)) return false;
        {
            std::ofstream file(out.TempPath(), std::ios::trunc);
            for (const auto& [strName, key] : m_done)
                file << key.nSize << ' ' << key.nMtimeNs << ' ' << Encode(strName) << '\n';
            file.flush();
            if (!file) {
                strError = std::strerror(errno != 0 ? errno : EIO);
                return false;
            }
        }
        return out.Commit(strError);
    }

private:
    std::string m_strPath;
    std::unordered_map<std::string, SFileKey> m_done;
};

// A file that may be a recording, as it was last seen.
struct SCandidate {
    SFileKey key;
    Clock::time_point changed;  // when its size or time last changed
    bool bClosed = false;       // its writer closed it since
    Clock::time_point retryAt;  // a failed one waits until then
    std::chrono::seconds wait{0};
};

// Names a recorder or a copy is still writing, hidden files, and outputs.
bool IsSkippedName(const std::string& strName) {
    if (strName.empty() || strName[0] == '.') return true;
    for (const char* pszEnd : {"~", ".tmp", ".part", ".partial", ".swp", ".crdownload", ".mp4", ".avi", ".json"}) {
        const size_t n = std::strlen(pszEnd);
        if (strName.size() >= n && strName.compare(strName.size() - n, n, pszEnd) == 0) return true;
    }
    return false;
}

bool IsWithin(const std::string& strPath, const std::string& strDir) {
    return strPath.size() > strDir.size() && strPath.compare(0, strDir.size(), strDir) == 0 &&
           strPath[strDir.size()] == '/';
}

// Retried: the failure may pass (a file not readable yet, a full disk).
bool IsPassing(convert::EReason reason) {
    using convert::EReason;
    return reason == EReason::OpenInput || reason == EReason::ReadInput || reason == EReason::WriteOutput ||
           reason == EReason::InputChanged || reason == EReason::Stopped || reason == EReason::Internal;
}

class CWatcher {
public:
    CWatcher(const SOptions& options, std::string strRoot, std::string strOutDir)
        : m_options(options),
          m_strRoot(std::move(strRoot)),
          m_strOutDir(std::move(strOutDir)),
          m_idle(std::chrono::milliseconds(static_cast<int64_t>(options.dIdleSeconds * 1000))),
          m_journal(m_strOutDir + "/" + kJournalName) {}
    ~CWatcher() {
        if (m_fd >= 0) ::close(m_fd);
    }
    CWatcher(const CWatcher&) = delete;
    CWatcher& operator=(const CWatcher&) = delete;

    int Run() {
        m_journal.Load();
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        // Without inotify the folder is still looked at every second.
        if (m_fd < 0) std::fprintf(stderr, "trelvo-convert: inotify: %s\n", std::strerror(errno));
        Scan();
        Clock::time_point lastScan = Clock::now();
        while (!Interrupted()) {
            if (m_fd >= 0) {
                pollfd pfd{m_fd, POLLIN, 0};
                if (::poll(&pfd, 1, 250) > 0) ReadEvents();
            } else {
                ::usleep(250000);
            }
            if (Clock::now() - lastScan >= std::chrono::seconds(1)) {
                Scan();
                lastScan = Clock::now();
            }
            ConvertReady();
        }
        return m_bFailedAny ? kExitFailed : kExitOk;
    }

private:
    void AddWatch(const std::string& strDir) {
        if (m_fd < 0) return;
        const int wd = ::inotify_add_watch(m_fd, strDir.c_str(),
                                           IN_CLOSE_WRITE | IN_MOVED_TO | IN_MODIFY | IN_CREATE | IN_ONLYDIR);
        if (wd >= 0) m_dirs[wd] = strDir;
    }

    bool Eligible(const std::string& strPath) const {
        return !IsWithin(strPath, m_strOutDir) && !IsSkippedName(fs::path(strPath).filename().string());
    }

    // Every file of the folder (and its subfolders with -r): new ones are
    // noted, changed ones wait again, gone ones are forgotten.
    void Scan() {
        std::error_code ec;
        std::vector<std::string> seen;
        auto visit = [&](const fs::directory_entry& entry) {
            const std::string strPath = entry.path().string();
            std::error_code e;
            if (!entry.is_regular_file(e) || !Eligible(strPath)) return;
            seen.push_back(strPath);
            Seen(strPath, false);
        };
        if (m_options.bRecursive) {
            for (auto it =
                     fs::recursive_directory_iterator(m_strRoot, fs::directory_options::skip_permission_denied, ec);
                 !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
                const std::string strName = it->path().filename().string();
                std::error_code e;
                if (it->is_directory(e)) {
                    if (strName[0] == '.' || it->path().string() == m_strOutDir) {
                        it.disable_recursion_pending();
                    } else if (m_known.insert(it->path().string()).second) {
                        AddWatch(it->path().string());
                    }
                    continue;
                }
                visit(*it);
            }
        } else {
            for (auto it = fs::directory_iterator(m_strRoot, ec); !ec && it != fs::directory_iterator();
                 it.increment(ec))
                visit(*it);
        }
        if (m_known.insert(m_strRoot).second) AddWatch(m_strRoot);
        std::sort(seen.begin(), seen.end());
        for (auto it = m_candidates.begin(); it != m_candidates.end();)
            it = std::binary_search(seen.begin(), seen.end(), it->first) ? std::next(it) : m_candidates.erase(it);
    }

    // A file seen by the scan or an event; bClosed: its writer closed it (or
    // it was renamed into place), so it is complete now.
    void Seen(const std::string& strPath, bool bClosed) {
        SFileKey key;
        if (!KeyOf(strPath, key)) return;
        if (m_journal.Has(strPath, key)) {
            m_candidates.erase(strPath);
            return;
        }
        const Clock::time_point now = Clock::now();
        auto [it, bNew] = m_candidates.try_emplace(strPath);
        SCandidate& c = it->second;
        if (bNew || !(c.key == key)) {
            c.key = key;
            c.changed = now;
            c.bClosed = false;
        }
        if (bClosed) c.bClosed = true;
    }

    void ReadEvents() {
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0) return;
            for (ssize_t i = 0; i < n;) {
                const auto* pEvent = reinterpret_cast<const inotify_event*>(buffer + i);
                i += static_cast<ssize_t>(sizeof(inotify_event) + pEvent->len);
                if (pEvent->mask & IN_IGNORED) {
                    m_known.erase(m_dirs[pEvent->wd]);
                    m_dirs.erase(pEvent->wd);
                    continue;
                }
                const auto dir = m_dirs.find(pEvent->wd);
                if (dir == m_dirs.end() || pEvent->len == 0) continue;
                const std::string strPath = dir->second + "/" + pEvent->name;
                if (pEvent->mask & IN_ISDIR) continue;  // the next scan takes it in
                if (!Eligible(strPath)) continue;
                if (pEvent->mask & (IN_CLOSE_WRITE | IN_MOVED_TO))
                    Seen(strPath, true);
                else
                    Seen(strPath, false);
            }
        }
    }

    // The complete files, converted in batches of one folder each so that
    // every output lands in the matching subfolder of the output directory.
    void ConvertReady() {
        const Clock::time_point now = Clock::now();
        std::map<std::string, std::vector<std::string>> ready;
        for (const auto& [strPath, c] : m_candidates) {
            if (now < c.retryAt) continue;
            if (c.bClosed || now - c.changed >= m_idle)
                ready[fs::path(strPath).parent_path().string()].push_back(strPath);
        }
        for (auto& [strDir, files] : ready) {
            if (Interrupted()) return;
            SOptions batch = m_options;
            batch.strWatchDir.clear();
            // A stopped file is converted whole by the next run, not kept in part.
            batch.convert.bKeepStoppedPart = false;
            batch.files = files;
            const fs::path rel = fs::path(strDir).lexically_relative(m_strRoot);
            batch.strOutputDir = rel.empty() || rel == "." ? m_strOutDir : (fs::path(m_strOutDir) / rel).string();
            // The key before the conversion: a file that changes meanwhile is
            // seen as new and converted again.
            std::map<std::string, SFileKey> keys;
            for (const std::string& f : files) keys[f] = m_candidates[f].key;
            RunConversions(batch, [&](const std::string& strInput, const convert::SConversionResult& result) {
                Done(strInput, keys[strInput], result);
            });
            std::string strError;
            if (!m_journal.Save(strError))
                std::fprintf(stderr, "trelvo-convert: cannot write the journal %s/%s: %s\n", m_strOutDir.c_str(),
                             kJournalName, strError.c_str());
        }
        // What the batches' threads freed goes back to the system: a watcher
        // that runs for months would otherwise keep more of it by the day.
        if (!ready.empty()) ::malloc_trim(0);
    }

    void Done(const std::string& strPath, const SFileKey& key, const convert::SConversionResult& result) {
        const auto it = m_candidates.find(strPath);
        if (result.bSuccess || !IsPassing(result.reason)) {
            if (!result.bSuccess) m_bFailedAny = true;
            m_journal.Add(strPath, key);
            if (it != m_candidates.end()) m_candidates.erase(it);
            return;
        }
        if (it == m_candidates.end() || result.reason == convert::EReason::Stopped) return;
        m_bFailedAny = true;
        SCandidate& c = it->second;
        const auto first = std::max(std::chrono::duration_cast<std::chrono::seconds>(m_idle), std::chrono::seconds(1));
        c.wait = c.wait.count() == 0 ? first : std::min(c.wait * 2, kMaxRetryWait);
        c.retryAt = Clock::now() + c.wait;
        std::fprintf(stderr, "trelvo-convert: %s: tried again in %lld s\n", strPath.c_str(),
                     static_cast<long long>(c.wait.count()));
    }

    const SOptions& m_options;
    std::string m_strRoot;
    std::string m_strOutDir;
    std::chrono::milliseconds m_idle;
    CJournal m_journal;
    int m_fd = -1;
    std::unordered_map<int, std::string> m_dirs;  // inotify watch -> folder
    std::set<std::string> m_known;                // folders watched
    std::map<std::string, SCandidate> m_candidates;
    bool m_bFailedAny = false;
};

std::string WithoutTrailingSlash(std::string str) {
    while (str.size() > 1 && str.back() == '/') str.pop_back();
    return str;
}

}  // namespace

int RunWatch(const SOptions& options) {
    std::error_code ec;
    const std::string strRoot =
        WithoutTrailingSlash(fs::weakly_canonical(AbsolutePath(options.strWatchDir), ec).string());
    if (ec || !fs::is_directory(strRoot, ec)) {
        std::fprintf(stderr, "trelvo-convert: cannot watch '%s': not a directory\n", options.strWatchDir.c_str());
        return kExitFailed;
    }
    const std::string strAbsOut = AbsolutePath(options.strOutputDir);
    fs::create_directories(strAbsOut, ec);
    const std::string strOut = WithoutTrailingSlash(fs::weakly_canonical(strAbsOut, ec).string());
    if (ec || !fs::is_directory(strOut, ec)) {
        std::fprintf(stderr, "trelvo-convert: cannot create the output directory '%s'\n", options.strOutputDir.c_str());
        return kExitFailed;
    }
    InstallInterruptHandler();
    CWatcher watcher(options, strRoot, strOut);
    return watcher.Run();
}

}  // namespace cli
