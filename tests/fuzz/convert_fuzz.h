// Shared by the two conversion fuzz targets: a scratch directory per process
// and the input written where a conversion can read it.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "log/Log.h"
#include "mp4/FfmpegLog.h"

namespace fuzzing {

// In memory where the system has it: every good output is flushed to disk
// before it is renamed, and a disk would set the pace of the whole run.
inline const std::string& ScratchDir() {
    static const std::string dir = [] {
        for (const char* pszBase : {"/dev/shm", "/tmp"}) {
            std::string tmpl = std::string(pszBase) + "/trelvo-fuzz-XXXXXX";
            if (::mkdtemp(tmpl.data()) != nullptr) return tmpl;
        }
        return std::string("/tmp");
    }();
    return dir;
}

inline bool WriteInput(const std::string& strPath, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(strPath.c_str(), "wb");
    if (!f) return false;
    const bool bOk = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && bOk;
}

inline bool Exists(const std::string& strPath) {
    return ::access(strPath.c_str(), F_OK) == 0;
}

// Everything logged, FFmpeg's own lines too, goes nowhere.
inline void Quiet() {
    trelvo::ffmpeg::RouteLogToTrelvo(false);
    trelvo::log::SetSink([](trelvo::log::ELevel, const char*, const char*, const char*, void*) {}, nullptr);
}

}  // namespace fuzzing
