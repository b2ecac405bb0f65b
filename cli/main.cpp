// trelvo-convert: converts recorder stream files to MP4 or AVI without the
// desktop program.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/CliOptions.h"
#include "crash/CrashHandler.h"
#include "lang/MultiLanguage.h"
#include "mp4/FfmpegLog.h"
#include "platform/Platform.h"

#ifndef TRELVO_VERSION
#define TRELVO_VERSION "unknown"
#endif

namespace {

// Started with stdout or stderr closed (… >&-), the first files we open would
// take their numbers, and the result and progress lines would be written
// into an input or an output. /dev/null opened for reading holds each closed
// one instead: writing to it still fails, so a closed stdout still stops the
// batch at its first result line.
void HoldClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: this one, the ones below it are open.
        if (::open("/dev/null", O_RDONLY) < 0) std::_Exit(cli::kExitFailed);
    }
}

}  // namespace

int main(int argc, char** argv) {
    HoldClosedStandardDescriptors();
    InstallCrashHandler();
    // A file-size limit (ulimit -f) must fail the write with EFBIG, so the
    // file gets its reason and the output is cleaned up, not kill the batch.
    std::signal(SIGXFSZ, SIG_IGN);
    CMultiLanguage::LoadLanguage(GetAppDir());

    cli::SOptions options;
    std::string strError;
    if (!cli::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, strError)) {
        std::fprintf(stderr, "trelvo-convert: %s\n%s", strError.c_str(), cli::kTryHelp);
        return cli::kExitUsage;
    }
    if (options.bHelp) {
        std::fputs(cli::UsageText().c_str(), stdout);
        return cli::kExitOk;
    }
    if (options.bVersion) {
        std::printf("trelvo-convert %s\n", TRELVO_VERSION);
        return cli::kExitOk;
    }
    trelvo::ffmpeg::RouteLogToTrelvo(options.bVerbose);
    return cli::RunConversions(options);
}
