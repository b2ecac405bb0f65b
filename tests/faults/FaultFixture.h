// What every fault test shares: a directory to work in, the fixtures and a
// larger input made from them, the converter run in the background with the
// read-fault shim when asked, and the checks of what is left on disk.
#pragma once

#include <gtest/gtest.h>
#include "Sanitizers.h"
#include "TempDir.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ProcessUtil.h"

namespace faults {

namespace fs = std::filesystem;

inline const std::string kProgram = std::string(TRELVO_BIN_DIR) + "/trelvo-convert";
inline const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";
// Pictures in an output of h264_320x180_25fps.h264 or ps_h264_alaw.ps.
inline constexpr int kH264Pictures = 50;

// The environment that preloads the shim into the converter and aims it at
// strFile: each read first waits nDelayUs, reads from byte nFailAt on fail.
inline std::vector<std::string> ShimEnv(const std::string& strFile, long nDelayUs, long long nFailAt = -1) {
    std::vector<std::string> env = {"LD_PRELOAD=" + std::string(TRELVO_READ_FAULT), "TRELVO_FAULT_FILE=" + strFile,
                                    "TRELVO_FAULT_DELAY_US=" + std::to_string(nDelayUs),
                                    "TRELVO_FAULT_EIO_AFTER=" + std::to_string(nFailAt)};
    // A shared ASan runtime wants to be loaded first; the shim only passes
    // reads on, so the order does not matter to it.
    if (kAsan) {
        const char* psz = std::getenv("ASAN_OPTIONS");
        env.push_back(std::string("ASAN_OPTIONS=") + (psz ? std::string(psz) + ":" : "") + "verify_asan_link_order=0");
    }
    return env;
}

// The raw value of a field of a --json result line: the text of a string, or
// the word ("null", a number).
inline std::string Field(const std::string& strLine, const std::string& strName) {
    const std::string strKey = "\"" + strName + "\":";
    size_t n = strLine.find(strKey);
    if (n == std::string::npos) return "(missing)";
    n += strKey.size();
    if (strLine[n] != '"') return strLine.substr(n, strLine.find_first_of(",}", n) - n);
    std::string strValue;
    for (++n; n < strLine.size() && strLine[n] != '"'; ++n) {
        if (strLine[n] == '\\') strValue += strLine[n++];
        strValue += strLine[n];
    }
    return strValue;
}

inline std::vector<std::string> Lines(const std::string& strText) {
    std::vector<std::string> lines;
    std::istringstream in(strText);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// FNV-1a over the file's bytes, or "missing".
inline std::string Checksum(const std::string& strPath) {
    if (!fs::exists(strPath)) return "missing";
    uint64_t h = 14695981039346656037ull;
    for (const char c : ReadWholeFile(strPath)) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return std::to_string(h);
}

// The checksums of several files in one string, to compare at once.
inline std::string Checksum(const std::vector<std::string>& paths) {
    std::string strAll;
    for (const std::string& strPath : paths) strAll += Checksum(strPath) + " ";
    return strAll;
}

// Pictures in the first video stream as the demuxer counts them: cheaper
// than decoding a long file, and enough to tell a whole one from a cut one.
inline int CountVideoPackets(const std::string& strFile) {
    const SProcessResult r = RunProcess({"ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0",
                                         "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", strFile});
    return r.nStatus == 0 ? std::atoi(r.strOut.c_str()) : -1;
}

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_tmp.Valid());
        fs::create_directory(m_tmp.Root() / "w");
    }

    // The directory the conversions work in, with a trailing '/'.
    std::string Dir() const { return m_tmp.Path("w/"); }
    std::string Path(const std::string& strName) const { return Dir() + strName; }
    std::string Copy(const std::string& strFixture, const std::string& strName) const {
        fs::create_directories(fs::path(Path(strName)).parent_path());
        fs::copy_file(kData + strFixture, Path(strName), fs::copy_options::overwrite_existing);
        return Path(strName);
    }
    std::string Write(const std::string& strName, const std::string& strBytes) const {
        EXPECT_TRUE(WriteBytes(Path(strName), strBytes));
        return Path(strName);
    }
    // The H.264 fixture nCopies times over: each copy starts with its
    // parameter sets and a key frame, so the whole is one long recording.
    std::string Big(const std::string& strName, int nCopies = 100) const {
        const std::string strOne = ReadWholeFile(kData + "h264_320x180_25fps.h264");
        std::string strAll;
        for (int i = 0; i < nCopies; ++i) strAll += strOne;
        return Write(strName, strAll);
    }

    // Every name in the directory (default: the work directory), sorted.
    std::vector<std::string> Names(const std::string& strSub = "") const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(Path(strSub))) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // The converter's temporaries in the directory.
    std::vector<std::string> Temporaries(const std::string& strSub = "") const {
        std::vector<std::string> temps;
        for (const std::string& n : Names(strSub)) {
            if (n.find(".trelvo-") != std::string::npos) temps.push_back(n);
        }
        return temps;
    }

    ::testing::AssertionResult NoTemporaries(const std::string& strSub = "") const {
        const std::vector<std::string> temps = Temporaries(strSub);
        if (temps.empty()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "left behind: " << temps[0] << (temps.size() > 1 ? " and more" : "");
    }

    // trelvo-convert with these arguments, in the background.
    std::unique_ptr<CChildProcess> Start(const std::vector<std::string>& args,
                                         const std::vector<std::string>& env = {}) {
        std::vector<std::string> argv = {kProgram};
        argv.insert(argv.end(), args.begin(), args.end());
        return Spawn(argv, env);
    }
    std::unique_ptr<CChildProcess> Spawn(const std::vector<std::string>& argv,
                                         const std::vector<std::string>& env = {}) {
        return std::make_unique<CChildProcess>(argv, env, Dir(), m_tmp.Path("run" + std::to_string(++m_nRuns)));
    }
    // Waits for it to end; a hang or a sanitizer report fails the test.
    static SChildEnd Finish(CChildProcess& child, std::chrono::seconds timeout = std::chrono::seconds(120)) {
        SChildEnd end = child.Wait(timeout);
        EXPECT_FALSE(end.bTimedOut) << "still running after the time allowed";
        EXPECT_EQ(end.strErr.find("Sanitizer"), std::string::npos) << end.strErr;
        EXPECT_EQ(end.strErr.find("runtime error"), std::string::npos) << end.strErr;
        return end;
    }
    SChildEnd Convert(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        return Finish(*Start(args, env));
    }
    // True once a temporary of the converter has appeared in the directory.
    std::function<bool()> TemporaryAppears(const std::string& strSub = "") const {
        return [this, strSub] { return !Temporaries(strSub).empty(); };
    }

    TempDir m_tmp;
    int m_nRuns = 0;
};

}  // namespace faults
