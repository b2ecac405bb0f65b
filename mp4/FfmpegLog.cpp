#include "mp4/FfmpegLog.h"

#include <cstdio>
#include <string>

#include "log/Log.h"

extern "C" {
#include <libavutil/log.h>
}

namespace trelvo::ffmpeg {

namespace {

using trelvo::log::ELevel;

ELevel LevelOf(int nLevel) {
    if (nLevel <= AV_LOG_ERROR) return ELevel::Error;
    if (nLevel <= AV_LOG_WARNING) return ELevel::Warning;
    if (nLevel <= AV_LOG_INFO) return ELevel::Info;
    return ELevel::Debug;
}

// av_log may hand over a line in pieces; each thread gathers its own.
void Callback(void* pClass, int nLevel, const char* pszFormat, va_list args) {
    if (nLevel > av_log_get_level()) return;
    thread_local std::string t_strLine;
    thread_local int t_nPrefix = 1;
    char szPiece[1024];
    av_log_format_line2(pClass, nLevel, pszFormat, args, szPiece, sizeof szPiece, &t_nPrefix);
    t_strLine += szPiece;
    if (t_strLine.empty() || t_strLine.back() != '\n') return;
    t_strLine.pop_back();
    if (!t_strLine.empty()) trelvo::log::Write(LevelOf(nLevel), "ffmpeg", "%s", t_strLine.c_str());
    t_strLine.clear();
}

}  // namespace

void RouteLogToTrelvo(bool bVerbose) {
    av_log_set_level(bVerbose ? AV_LOG_DEBUG : AV_LOG_INFO);
    av_log_set_callback(Callback);
}

}  // namespace trelvo::ffmpeg
