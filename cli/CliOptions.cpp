#include "cli/CliOptions.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <string_view>
#include <utility>

#include "convert/RecordingTime.h"
#include "libs/tessaro/tessaro.h"

namespace cli {

namespace {

bool SetFormat(const std::string& strValue, SOptions& options, std::string& strError) {
    if (strValue == "mp4") {
        options.format = EFormat::Mp4;
    } else if (strValue == "avi") {
        options.format = EFormat::Avi;
    } else {
        strError = "unknown format '" + strValue + "' (mp4 or avi)";
        return false;
    }
    return true;
}

bool SetJobs(const std::string& strValue, SOptions& options, std::string& strError) {
    char* pEnd = nullptr;
    const long n = std::strtol(strValue.c_str(), &pEnd, 10);
    if (strValue.empty() || *pEnd != '\0' || n < 1 || n > 256) {
        strError = "--jobs takes a number from 1 to 256";
        return false;
    }
    options.nJobs = static_cast<int>(n);
    return true;
}

bool SetClock(std::string_view name, const std::string& strValue, int64_t& nTicks, std::string& strError) {
    if (ParseClockTime(strValue, nTicks)) return true;
    strError = std::string(name) + " takes seconds or HH:MM:SS[.mmm], not '" + strValue + "'";
    return false;
}

// A pipe, a recording still being written, a folder: one live input (or a
// folder) to fragmented MP4.
bool CheckLive(SOptions& options, std::string& strError) {
    const bool bStdin = std::count(options.files.begin(), options.files.end(), "-") > 0;
    const bool bWatch = !options.strWatchDir.empty();
    if (!bStdin && !bWatch && !options.IsLive()) return true;
    const char* pszWhat = bWatch ? "--watch" : options.bFollow ? "--follow" : bStdin ? "'-'" : "--output -";
    if (bWatch && (!options.files.empty() || options.bFollow || !options.strOutput.empty())) {
        strError = "--watch takes no files, --follow nor --output";
        return false;
    }
    if (bWatch && options.strOutputDir.empty()) {
        strError = "--watch needs --output-dir";
        return false;
    }
    if (!bWatch && options.files.size() != 1) {
        strError = std::string(pszWhat) + " takes one input";
        return false;
    }
    if (options.convert.NeedsRecording()) {
        strError = std::string(pszWhat) + " cannot be used with --join, --from, --to or --time";
        return false;
    }
    if (bWatch) return true;
    if (options.format == EFormat::Avi || options.convert.bFastStart) {
        strError = std::string(pszWhat) + " writes fragmented MP4 only";
        return false;
    }
    options.convert.bFragmented = true;
    return true;
}

// The options that only make sense together, or only for one format.
bool CheckCombinations(SOptions& options, std::string& strError) {
    convert::SConvertOptions& c = options.convert;
    if (!options.strOutput.empty()) {
        if (!c.strJoinOutput.empty()) {
            strError = "--join names its output already; --output is for a single input";
            return false;
        }
        if (options.files.size() != 1) {
            strError = "--output names one output: give one input, or --join OUTPUT for several";
            return false;
        }
        if (!options.strOutputDir.empty()) {
            strError = "--output and --output-dir exclude each other";
            return false;
        }
    }
    const std::string& strJoin = c.strJoinOutput.empty() ? options.strOutput : c.strJoinOutput;
    // An AVI name given to --join asks for AVI.
    if (!options.bFormatGiven && strJoin.size() > 4 && strJoin.compare(strJoin.size() - 4, 4, ".avi") == 0)
        options.format = EFormat::Avi;
    if (options.format == EFormat::Avi && (c.bFastStart || c.bFragmented)) {
        strError = std::string(c.bFastStart ? "--faststart" : "--fragmented") + " is for MP4 only";
        return false;
    }
    if (c.bFastStart && c.bFragmented) {
        strError = "--faststart and --fragmented exclude each other";
        return false;
    }
    if (c.bTime && !c.strTimePattern.empty()) {
        strError = "--time and --time-from-name exclude each other";
        return false;
    }
    if (c.nFrom >= 0 && c.nTo >= 0 && c.nTo <= c.nFrom) {
        strError = "--to must come after --from";
        return false;
    }
    return CheckLive(options, strError);
}

// The live options (--output, --follow, --idle, --watch, -r). True when
// strArg was one of them (strError set when its value was bad).
bool LiveOption(const std::string& strArg, const std::function<bool(std::string_view, std::string&)>& value,
                SOptions& options, std::string& strError) {
    std::string strValue;
    if (strArg == "--follow") {
        options.bFollow = true;
    } else if (strArg == "--recursive" || strArg == "-r") {
        options.bRecursive = true;
    } else if (value("--idle", strValue)) {
        char* pEnd = nullptr;
        const double d = std::strtod(strValue.c_str(), &pEnd);
        if (strError.empty() && (strValue.empty() || *pEnd != '\0' || !(d > 0 && d <= 86400)))
            strError = "--idle takes seconds, more than 0 and at most 86400";
        options.dIdleSeconds = d;
    } else if (value("--watch", strValue)) {
        if (strError.empty() && strValue.empty()) strError = "--watch needs a directory";
        options.strWatchDir = strValue;
    } else if (value("--output", strValue)) {
        if (strError.empty() && strValue.empty()) strError = "--output needs a file, or - for standard output";
        options.strOutput = strValue;
    } else {
        return false;
    }
    return true;
}

// The options of the recording: its layout, a part of it, its time, a join.
// True when strArg was one of them (strError set when its value was bad).
bool RecordingOption(const std::string& strArg, const std::function<bool(std::string_view, std::string&)>& value,
                     SOptions& options, std::string& strError) {
    convert::SConvertOptions& c = options.convert;
    std::string strValue;
    if (strArg == "--faststart") {
        c.bFastStart = true;
    } else if (strArg == "--fragmented") {
        c.bFragmented = true;
    } else if (value("--join", strValue)) {
        if (strError.empty() && strValue.empty()) strError = "--join needs an output file";
        c.strJoinOutput = strValue;
    } else if (value("--from", strValue)) {
        if (strError.empty()) SetClock("--from", strValue, c.nFrom, strError);
    } else if (value("--to", strValue)) {
        if (strError.empty()) SetClock("--to", strValue, c.nTo, strError);
    } else if (value("--time", strValue)) {
        if (strError.empty() && !convert::ParseRecordingTime(strValue, c.nTimeUs))
            strError = "--time takes YYYY-MM-DDTHH:MM:SS[Z], not '" + strValue + "'";
        c.bTime = true;
    } else if (value("--time-from-name", strValue)) {
        if (strError.empty() && strValue.find('%') == std::string::npos)
            strError = "--time-from-name takes a pattern such as %Y%m%d_%H%M%S";
        c.strTimePattern = strValue;
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool ParseClockTime(const std::string& strText, int64_t& nTicks) {
    double dParts[3] = {0, 0, 0};
    int nParts = 0;
    size_t nPos = 0;
    for (;;) {
        if (nParts == 3) return false;
        const size_t nColon = strText.find(':', nPos);
        const std::string strPart = strText.substr(nPos, nColon == std::string::npos ? nColon : nColon - nPos);
        // Digits and at most one point, and a point only in the seconds.
        if (strPart.empty() || strPart.find_first_not_of("0123456789.") != std::string::npos ||
            strPart.find('.') != strPart.rfind('.') || strPart == ".")
            return false;
        dParts[nParts++] = std::strtod(strPart.c_str(), nullptr);
        if (nColon == std::string::npos) break;
        if (strPart.find('.') != std::string::npos) return false;
        nPos = nColon + 1;
    }
    double dSeconds = 0;
    for (int i = 0; i < nParts; ++i) {
        // Minutes and seconds under 60 once a larger unit stands before them.
        if (i > 0 && dParts[i] >= 60) return false;
        dSeconds = dSeconds * 60 + dParts[i];
    }
    if (!(dSeconds < 1e9)) return false;
    nTicks = std::llround(dSeconds * TESSARO_TICKS_PER_SECOND);
    return true;
}

namespace {

// Options that take a value, long form first; their short forms take it
// attached (-j2, -ofolder) or as the next argument, as getopt does.
struct SValueOption {
    const char* pszLong;
    char cShort;
};
constexpr SValueOption kValueOptions[] = {
    {"--format", 'f'}, {"--jobs", 'j'}, {"--output-dir", 'o'},   {"--output", 0}, {"--join", 0},  {"--from", 0},
    {"--to", 0},       {"--time", 0},   {"--time-from-name", 0}, {"--idle", 0},   {"--watch", 0},
};
// Short options without a value, and their long forms.
constexpr std::pair<char, const char*> kFlagOptions[] = {
    {'h', "--help"},    {'V', "--version"},      {'q', "--quiet"},
    {'v', "--verbose"}, {'n', "--no-overwrite"}, {'r', "--recursive"},
};

bool TakesValue(const std::string& strLong) {
    for (const SValueOption& o : kValueOptions) {
        if (strLong == o.pszLong) return true;
    }
    return false;
}

// Rewrites short options into their long forms ("-qj2" into "--quiet",
// "--jobs=2"), so that one parser reads both. A value that follows its
// option is left as it is, whatever it looks like.
bool ExpandShortOptions(const std::vector<std::string>& args, std::vector<std::string>& out, std::string& strError) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& strArg = args[i];
        if (strArg == "--") {
            out.insert(out.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            return true;
        }
        if (strArg.size() < 2 || strArg[0] != '-') {
            out.push_back(strArg);
            continue;
        }
        if (strArg[1] == '-') {
            out.push_back(strArg);
            if (TakesValue(strArg) && i + 1 < args.size()) out.push_back(args[++i]);
            continue;
        }
        for (size_t c = 1; c < strArg.size(); ++c) {
            const char ch = strArg[c];
            const auto* pFlag = std::find_if(std::begin(kFlagOptions), std::end(kFlagOptions),
                                             [&](const auto& f) { return f.first == ch; });
            if (pFlag != std::end(kFlagOptions)) {
                out.emplace_back(pFlag->second);
                continue;
            }
            const auto* pValue = std::find_if(std::begin(kValueOptions), std::end(kValueOptions),
                                              [&](const SValueOption& o) { return o.cShort == ch && ch != 0; });
            if (pValue == std::end(kValueOptions)) {
                strError = std::string("unknown option '-") + ch + "'";
                return false;
            }
            if (c + 1 < strArg.size()) {
                out.push_back(std::string(pValue->pszLong) + "=" + strArg.substr(c + 1));
            } else {
                out.emplace_back(pValue->pszLong);
                if (i + 1 < args.size()) out.push_back(args[++i]);
            }
            break;
        }
    }
    return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& argsGiven, SOptions& options, std::string& strError) {
    std::vector<std::string> args;
    if (!ExpandShortOptions(argsGiven, args, strError)) return false;
    bool bOptionsEnd = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& strArg = args[i];
        if (bOptionsEnd || strArg.empty() || strArg[0] != '-' || strArg == "-") {
            options.files.push_back(strArg);
            continue;
        }
        // An option's value either follows '=' or is the next argument.
        auto value = [&](std::string_view name, std::string& strOut) {
            if (strArg.size() > name.size() && strArg.compare(0, name.size(), name) == 0 &&
                strArg[name.size()] == '=') {
                strOut = strArg.substr(name.size() + 1);
                return true;
            }
            if (strArg != name) return false;
            if (i + 1 >= args.size()) {
                strError = "option " + std::string(name) + " needs a value";
                strOut.clear();
                return true;
            }
            strOut = args[++i];
            return true;
        };
        std::string strValue;
        if (strArg == "--") {
            bOptionsEnd = true;
        } else if (strArg == "--help") {
            options.bHelp = true;
        } else if (strArg == "--version") {
            options.bVersion = true;
        } else if (strArg == "--quiet") {
            options.bQuiet = true;
        } else if (strArg == "--verbose") {
            options.bVerbose = true;
        } else if (strArg == "--json") {
            options.bJson = true;
        } else if (strArg == "--no-overwrite") {
            options.bNoOverwrite = true;
        } else if (value("--format", strValue)) {
            if (!strError.empty() || !SetFormat(strValue, options, strError)) return false;
            options.bFormatGiven = true;
        } else if (RecordingOption(strArg, value, options, strError)) {
            if (!strError.empty()) return false;
        } else if (LiveOption(strArg, value, options, strError)) {
            if (!strError.empty()) return false;
        } else if (value("--jobs", strValue)) {
            if (!strError.empty() || !SetJobs(strValue, options, strError)) return false;
        } else if (value("--output-dir", strValue)) {
            if (!strError.empty()) return false;
            if (strValue.empty()) {
                strError = "--output-dir needs a directory";
                return false;
            }
            options.strOutputDir = strValue;
        } else if (value("--output", strValue)) {
            if (!strError.empty()) return false;
            if (strValue.empty()) {
                strError = "--output needs a file name";
                return false;
            }
            options.strOutput = strValue;
        } else {
            strError = "unknown option '" + strArg + "'";
            return false;
        }
    }
    if (options.bHelp || options.bVersion) return true;
    if (options.files.empty() && options.strWatchDir.empty()) {
        strError = "no input files";
        return false;
    }
    return CheckCombinations(options, strError);
}

std::string UsageText() {
    return "Usage: trelvo-convert [--format mp4|avi] [--output-dir DIR|--output FILE] [-j N]\n"
           "         [--quiet] [--json] [--no-overwrite] [--faststart|--fragmented]\n"
           "         [--join OUTPUT] [--from T] [--to T]\n"
           "         [--time TIME|--time-from-name PATTERN] FILE...\n"
           "       trelvo-convert [--output FILE|-] [--follow] [--idle SECONDS] FILE|-\n"
           "       trelvo-convert --watch DIR [-r] --output-dir DIR [--idle SECONDS] [-j N]\n"
           "Converts video-recorder stream files (H.264/H.265 streams, MPEG program\n"
           "streams) to MP4 (the default) or AVI. Each output is named after its input\n"
           "with the last extension replaced, and written beside the input unless\n"
           "--output-dir names a directory (created when missing).\n"
           "\n"
           "  -f, --format FMT      mp4 or avi (default mp4)\n"
           "  -o, --output-dir DIR  write every output into DIR\n"
           "      --output FILE     the output of the one input is FILE (FILE.avi means AVI)\n"
           "  -n, --no-overwrite    keep an output that exists; its input is skipped\n"
           "  -j, --jobs N          convert N files at once (default 1); results still\n"
           "                        come in the order of the files\n"
           "  -q, --quiet           no progress and no warnings, only the results\n"
           "  -v, --verbose         log what the converter and the media libraries do\n"
           "      --json            one JSON object per file on stdout instead of result\n"
           "                        lines (input, output, result, reason, message,\n"
           "                        pictures, seconds, bytes, wall_seconds)\n"
           "      --faststart       MP4: the index before the media data, so that a web\n"
           "                        player starts at once\n"
           "                        (trelvo-convert --faststart cam1.ps)\n"
           "      --fragmented      MP4: written in fragments of at most about 2 s straight\n"
           "                        to its name: it plays while written, and a file cut\n"
           "                        off (power loss) plays up to its last 2 s\n"
           "                        (trelvo-convert --fragmented cam1.ps)\n"
           "      --join OUTPUT     all FILEs, in order, into one OUTPUT on one timeline:\n"
           "                        a gap in the recorder's clock is kept, a clock that\n"
           "                        starts again goes on; a change of codec, picture size\n"
           "                        or sound goes on in OUTPUT-2, -3 ... (relative to\n"
           "                        --output-dir when given; OUTPUT.avi means AVI)\n"
           "                        (trelvo-convert --join day.mp4 cam1_*.ps)\n"
           "      --from T          start at the key frame at or before T, in seconds or\n"
           "                        HH:MM:SS[.mmm] from the recording's first picture; the\n"
           "                        result says how far before T it starts\n"
           "      --to T            end with the last picture before T\n"
           "                        (trelvo-convert --from 00:01:00 --to 00:01:30 cam1.ps)\n"
           "      --time TIME       the recording's first picture was taken at TIME,\n"
           "                        YYYY-MM-DDTHH:MM:SS, local time, or UTC with a final Z;\n"
           "                        written as the output's creation time\n"
           "                        (trelvo-convert --time 2024-05-01T08:00:00Z cam1.ps)\n"
           "      --time-from-name PATTERN  the same, read from the input's name\n"
           "                        (trelvo-convert --time-from-name %Y%m%d_%H%M%S\n"
           "                        cam1_20240501_080000.ps)\n"
           "  -                     as FILE: standard input, read as it comes (a program\n"
           "                        stream, a transport stream or a bare stream); the\n"
           "                        output is stdin.mp4 unless --output names it\n"
           "      --output FILE     the output's name; - writes fragmented MP4 to\n"
           "                        standard output, the result line then to stderr\n"
           "                        (cat cam1.ps | trelvo-convert --output - - | ffplay -)\n"
           "      --follow          convert FILE while its recorder writes it, to\n"
           "                        fragmented MP4 that plays as it grows; ends when FILE\n"
           "                        has not grown for --idle seconds, or on Ctrl-C or\n"
           "                        SIGTERM, with every picture so far\n"
           "      --idle SECONDS    how long a recording may stand still before it counts\n"
           "                        as complete (default 10)\n"
           "      --watch DIR       run until stopped and convert each recording that\n"
           "                        appears in DIR once its writer closed it or it stood\n"
           "                        still for --idle seconds; each only once, also across\n"
           "                        restarts (a journal in the output directory); a\n"
           "                        failed one is tried again later\n"
           "  -r, --recursive       --watch: the subfolders too\n"
           "  -h, --help            this text\n"
           "  -V, --version         the version\n"
           "\n"
           "Results go to stdout, one line per file; progress and warnings to stderr.\n"
           "An output name that is a device, a FIFO or a socket is never replaced.\n"
           "Ctrl-C ends the file being converted with what was read so far (a part\n"
           "that plays); a second Ctrl-C stops at once.\n"
           "Exit status: 0 every file converted whole (or skipped), 1 some file failed,\n"
           "2 usage error, 3 no file failed but some were converted only in part or\n"
           "the conversion was stopped.\n";
}

std::string AbsolutePath(const std::string& strPath) {
    if (!strPath.empty() && strPath[0] == '/') return strPath;
    char szCwd[PATH_MAX];
    if (::getcwd(szCwd, sizeof szCwd) == nullptr) return strPath;
    std::string strDir(szCwd);
    if (strDir.empty() || strDir.back() != '/') strDir += '/';
    std::string strRel = strPath;
    while (strRel.compare(0, 2, "./") == 0) strRel.erase(0, 2);
    if (strRel == ".") strRel.clear();
    return strDir + strRel;
}

}  // namespace cli
