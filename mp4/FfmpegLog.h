// FFmpeg's own messages (av_log) into the program's log, so that the host
// decides who reads them.
#pragma once

namespace trelvo::ffmpeg {

// Installs the bridge for the whole process; call once at start-up.
// bVerbose lets FFmpeg's debug chatter through as well.
void RouteLogToTrelvo(bool bVerbose);

}  // namespace trelvo::ffmpeg
