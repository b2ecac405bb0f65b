#include "Fragments.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace trelvo::mp4 {

bool HoldsWholeFragment(const std::string& strPath) {
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat st {};
    bool bMoof = false;
    bool bWhole = false;
    if (::fstat(fd, &st) == 0) {
        const auto nSize = static_cast<uint64_t>(st.st_size);
        uint64_t nPos = 0;
        uint8_t head[16];
        while (!bWhole && nPos + 8 <= nSize && ::pread(fd, head, sizeof head, static_cast<off_t>(nPos)) >= 8) {
            uint64_t nBox = (uint64_t{head[0]} << 24) | (uint64_t{head[1]} << 16) | (uint64_t{head[2]} << 8) | head[3];
            if (nBox == 1 && nPos + 16 <= nSize) {
                nBox = 0;
                for (int i = 8; i < 16; ++i) nBox = (nBox << 8) | head[i];
            }
            if (nBox < 8 || nPos + nBox > nSize) break;
            if (std::memcmp(head + 4, "moof", 4) == 0) bMoof = true;
            if (std::memcmp(head + 4, "mdat", 4) == 0 && bMoof) bWhole = true;
            nPos += nBox;
        }
    }
    ::close(fd);
    return bWhole;
}

}  // namespace trelvo::mp4
