#include "cli/CliOptions.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string_view>

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

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, SOptions& options, std::string& strError) {
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
        } else if (strArg == "--help" || strArg == "-h") {
            options.bHelp = true;
        } else if (strArg == "--version" || strArg == "-V") {
            options.bVersion = true;
        } else if (strArg == "--quiet" || strArg == "-q") {
            options.bQuiet = true;
        } else if (strArg == "--verbose" || strArg == "-v") {
            options.bVerbose = true;
        } else if (strArg == "--json") {
            options.bJson = true;
        } else if (value("--format", strValue) || value("-f", strValue)) {
            if (!strError.empty() || !SetFormat(strValue, options, strError)) return false;
        } else if (value("--jobs", strValue) || value("-j", strValue)) {
            if (!strError.empty()) return false;
            char* pEnd = nullptr;
            const long n = std::strtol(strValue.c_str(), &pEnd, 10);
            if (strValue.empty() || *pEnd != '\0' || n < 1 || n > 256) {
                strError = "--jobs takes a number from 1 to 256";
                return false;
            }
            options.nJobs = static_cast<int>(n);
        } else if (value("--output-dir", strValue) || value("-o", strValue)) {
            if (!strError.empty()) return false;
            if (strValue.empty()) {
                strError = "--output-dir needs a directory";
                return false;
            }
            options.strOutputDir = strValue;
        } else {
            strError = "unknown option '" + strArg + "'";
            return false;
        }
    }
    if (options.bHelp || options.bVersion) return true;
    if (options.files.empty()) {
        strError = "no input files";
        return false;
    }
    return true;
}

std::string UsageText() {
    return "Usage: trelvo-convert [--format mp4|avi] [--output-dir DIR] [-j N] [--quiet] [--json] FILE...\n"
           "Converts video-recorder stream files (H.264/H.265 streams, MPEG program\n"
           "streams) to MP4 (the default) or AVI. Each output is named after its input\n"
           "with the last extension replaced, and written beside the input unless\n"
           "--output-dir names a directory (created when missing).\n"
           "\n"
           "  -f, --format FMT      mp4 or avi (default mp4)\n"
           "  -o, --output-dir DIR  write every output into DIR\n"
           "  -j, --jobs N          convert N files at once (default 1); results still\n"
           "                        come in the order of the files\n"
           "  -q, --quiet           no progress and no warnings, only the results\n"
           "  -v, --verbose         log what the converter and the media libraries do\n"
           "      --json            one JSON object per file on stdout instead of result\n"
           "                        lines (input, output, result, reason, pictures,\n"
           "                        seconds, bytes, wall_seconds)\n"
           "  -h, --help            this text\n"
           "  -V, --version         the version\n"
           "\n"
           "Results go to stdout, one line per file; progress and warnings to stderr.\n"
           "Exit status: 0 every file converted whole, 1 some file failed, 2 usage\n"
           "error, 3 every file converted but some only in part.\n";
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
