// Shared by the two conversion fuzz targets: a scratch directory per process
// and the input written where a conversion can read it.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace fuzzing {

inline const std::string& ScratchDir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/trelvo-fuzz-XXXXXX";
        const char* p = ::mkdtemp(tmpl);
        return std::string(p ? p : "/tmp");
    }();
    return dir;
}

inline bool WriteInput(const std::string& strPath, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(strPath.c_str(), "wb");
    if (!f) return false;
    const bool bOk = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && bOk;
}

inline bool Exists(const std::string& strPath) { return ::access(strPath.c_str(), F_OK) == 0; }

}  // namespace fuzzing
