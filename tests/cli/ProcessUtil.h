// Runs a program with its output captured, and asks the FFmpeg tools what a
// media file holds, for the end-to-end tests.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

struct SProcessResult {
    int nStatus = -1;  // exit status, or -1 when it did not exit normally
    std::string strOut;
    std::string strErr;
};

inline std::string ReadWholeFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs args[0] (searched in PATH) in strCwd (empty: here), stdin from /dev/null.
inline SProcessResult RunProcess(const std::vector<std::string>& args, const std::string& strCwd = {}) {
    static int s_nSerial = 0;
    const std::string strBase = "/tmp/trelvo_proc_" + std::to_string(::getpid()) + "_" + std::to_string(++s_nSerial);
    const std::string strOutFile = strBase + ".out";
    const std::string strErrFile = strBase + ".err";
    SProcessResult result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(strOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(strErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (!strCwd.empty() && ::chdir(strCwd.c_str()) != 0) ::_exit(127);
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int nWait = 0;
    if (pid > 0 && ::waitpid(pid, &nWait, 0) == pid && WIFEXITED(nWait)) result.nStatus = WEXITSTATUS(nWait);
    result.strOut = ReadWholeFile(strOutFile);
    result.strErr = ReadWholeFile(strErrFile);
    std::remove(strOutFile.c_str());
    std::remove(strErrFile.c_str());
    return result;
}

// One line per stream: "codec_type|codec_name|codec_tag_string|...".
inline std::string ProbeStreams(const std::string& strFile, const std::string& strEntries) {
    return RunProcess(
               {"ffprobe", "-v", "error", "-show_entries", "stream=" + strEntries, "-of", "compact=p=0:nk=1", strFile})
        .strOut;
}

// Pictures in the first video stream, as a decoder counts them.
inline int CountVideoFrames(const std::string& strFile) {
    const SProcessResult r = RunProcess({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                                         "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", strFile});
    try {
        return r.nStatus == 0 ? std::stoi(r.strOut) : -1;
    } catch (...) {
        return -1;
    }
}

// True when FFmpeg decodes every stream of the file without a single error.
inline bool DecodesCleanly(const std::string& strFile, std::string* pErrors = nullptr) {
    const SProcessResult r = RunProcess({"ffmpeg", "-nostdin", "-v", "error", "-i", strFile, "-f", "null", "-"});
    if (pErrors) *pErrors = r.strErr;
    return r.nStatus == 0 && r.strErr.empty();
}

inline std::vector<std::string> NonEmptyLines(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) out.push_back(line);
    }
    return out;
}

// Checksums of the decoded pictures, in the order a player shows them.
inline std::vector<std::string> PictureChecksums(const std::string& strFile) {
    const SProcessResult r = RunProcess({"ffmpeg", "-nostdin", "-v", "error", "-i", strFile, "-map", "0:v:0",
                                         "-fps_mode", "passthrough", "-f", "framemd5", "-"});
    std::vector<std::string> sums;
    for (const std::string& line : NonEmptyLines(r.strOut)) {
        if (line[0] != '#') sums.push_back(line.substr(line.rfind(',') + 1));
    }
    return sums;
}

// Where the white pictures show, in seconds as the file stamps them.
inline std::vector<double> Flashes(const std::string& strFile) {
    std::vector<double> out;
    const SProcessResult r =
        RunProcess({"ffprobe", "-v", "error", "-f", "lavfi", "-i", "movie=" + strFile + ",signalstats", "-show_entries",
                    "frame=best_effort_timestamp_time:frame_tags=lavfi.signalstats.YAVG", "-of", "csv=p=0"});
    for (const std::string& line : NonEmptyLines(r.strOut)) {
        const size_t nComma = line.find(',');
        if (nComma != std::string::npos && std::stod(line.substr(nComma + 1)) > 128) out.push_back(std::stod(line));
    }
    return out;
}
