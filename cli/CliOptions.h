// Command-line parsing and the run of trelvo-convert, kept apart from main()
// so that tests can drive them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "convert/ConvertOptions.h"
#include "convert/ConvertResult.h"

namespace cli {

enum class EFormat { Mp4, Avi };

// The command line keeps what a stop leaves of the file under way.
inline convert::SConvertOptions KeepingStoppedParts() {
    convert::SConvertOptions options;
    options.bKeepStoppedPart = true;
    return options;
}

struct SOptions {
    EFormat format = EFormat::Mp4;
    std::string strOutputDir;  // empty: beside each input
    bool bQuiet = false;
    bool bVerbose = false;
    bool bJson = false;         // one JSON object per file on stdout instead of result lines
    int nJobs = 1;              // files converted at once
    bool bNoOverwrite = false;  // an output that exists is kept, its input skipped
    std::string strOutput;      // the one output of a single input; empty: named after it
    bool bFormatGiven = false;
    // Layout, part, recording time and join (--faststart ... --join).
    convert::SConvertOptions convert = KeepingStoppedParts();
    bool bHelp = false;
    bool bVersion = false;
    std::vector<std::string> files;  // "-": standard input
    // Live use: --output ("-": fragmented MP4 to standard output), --follow a
    // recording while it is written, --watch a folder (-r: its subfolders);
    // --idle: how long without growth ends a recording.
    bool bFollow = false;
    double dIdleSeconds = 10;
    std::string strWatchDir;
    bool bRecursive = false;

    bool IsLive() const { return bFollow || strOutput == "-" || (files.size() == 1 && files[0] == "-"); }
};

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPartial = 3;  // every file converted, some of them only in part

// Fills options from argv[1..]. On a usage error returns false with a
// one-line message. Short options take their values as getopt does.
bool ParseOptions(const std::vector<std::string>& args, SOptions& options, std::string& strError);

std::string UsageText();
// What follows a usage error's line.
inline constexpr const char* kTryHelp = "Try 'trelvo-convert --help' for more information.\n";

// "90", "5.5", "01:02:03" or "1:02:03.250" to 90 kHz ticks. False when it is none.
bool ParseClockTime(const std::string& strText, int64_t& nTicks);

// Resolves a relative path against the current directory.
std::string AbsolutePath(const std::string& strPath);

// Converts the files as the options say: results (or JSON) on stdout,
// progress and the log on stderr.
// onFileDone, when given, hears of each file's result as it is reported.
using FileDoneFn = std::function<void(const std::string& strInput, const convert::SConversionResult& result)>;
int RunConversions(const SOptions& options, const FileDoneFn& onFileDone = {});

// SIGINT, SIGTERM and SIGHUP ask the run to stop (a second one ends the
// process); true once one came.
void InstallInterruptHandler();
bool Interrupted();

// A recording arriving through a pipe or still being written (IsLive()), to
// fragmented MP4. Reports its one result line.
int RunLive(const SOptions& options);
// Converts the recordings that arrive in options.strWatchDir until stopped.
int RunWatch(const SOptions& options);

}  // namespace cli
