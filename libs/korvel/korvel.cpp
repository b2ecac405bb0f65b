// The C boundary of the AVI library: argument checks, the input's identity,
// the result of the last call, and nothing thrown across.
#include "libs/korvel/korvel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "libs/korvel/AviConversion.h"
#include "libs/korvel/KorvelProgress.h"

namespace {

using korvel::CConversion;

struct SFileCloser {
    void operator()(FILE* p) const { std::fclose(p); }
};
using FilePtr = std::unique_ptr<FILE, SFileCloser>;

thread_local KorvelResult t_lastResult{};

void SetText(KorvelResult& r, const std::string& strText) {
    std::snprintf(r.szText, sizeof r.szText, "%s", strText.c_str());
}

// Opens a regular file for reading without ever blocking on a FIFO or device.
int32_t OpenInput(const char* pszInput, FilePtr& pFile, struct stat& st, KorvelResult& r) {
    const int fd = ::open(pszInput, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetText(r, std::strerror(errno));
        return KORVEL_ERR_INPUT;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return KORVEL_ERR_NOT_REGULAR;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    pFile.reset(::fdopen(fd, "rb"));
    if (!pFile) {
        SetText(r, std::strerror(errno));
        ::close(fd);
        return KORVEL_ERR_INPUT;
    }
    return 0;
}

int32_t Convert(const char* pszInput, const char* pszOutput, KorvelProgressFn pfnProgress, KorvelCancelFn pfnCancel,
                void* pUser, KorvelResult& r) {
    if (!pszInput || !pszOutput || !*pszInput || !*pszOutput) return KORVEL_ERR_ARGS;
    FilePtr pInput;
    struct stat in {};
    if (const int32_t nOpen = OpenInput(pszInput, pInput, in, r); nOpen < 0) return nOpen;
    // Writing would replace the very file being read.
    struct stat out {};
    if (::stat(pszOutput, &out) == 0 && out.st_dev == in.st_dev && out.st_ino == in.st_ino)
        return KORVEL_ERR_SAME_FILE;
    CConversion conversion(pszOutput, pfnProgress, pfnCancel, pUser);
    const int32_t nResult = conversion.Run(pInput.get(), static_cast<uint64_t>(in.st_size));
    SetText(r, conversion.ErrorText());
    r.nPictures = conversion.Pictures();
    r.dMediaSeconds = conversion.MediaSeconds();
    if (nResult >= 0 && ::stat(pszOutput, &out) == 0) r.nOutputBytes = static_cast<uint64_t>(out.st_size);
    return nResult;
}

int32_t ConvertAndRecord(const char* pszInput, const char* pszOutput, KorvelProgressFn pfnProgress,
                         KorvelCancelFn pfnCancel, void* pUser, KorvelResult* pResult) {
    KorvelResult r{};
    try {
        r.nCode = Convert(pszInput, pszOutput, pfnProgress, pfnCancel, pUser, r);
    } catch (const std::bad_alloc&) {
        r.nCode = KORVEL_ERR_MEMORY;
    } catch (...) {
        r.nCode = KORVEL_ERR_ARGS;
    }
    t_lastResult = r;
    if (pResult) *pResult = r;
    return r.nCode;
}

// The 32-bit callbacks of the older entries, behind the pointer-sized ones.
struct SLegacyCallbacks {
    KorvelProgressCallback pfnProgress;
    KorvelCancelCallback pfnCancel;
    int32_t nUser;
};

void LegacyProgress(uint64_t nPosition, uint64_t nTotal, void* pUser) {
    const auto* p = static_cast<const SLegacyCallbacks*>(pUser);
    if (!p->pfnProgress) return;
    uint32_t nPosition32 = 0, nTotal32 = 0;
    korvel::ScaleProgress(nPosition, nTotal, nPosition32, nTotal32);
    p->pfnProgress(nPosition32, nTotal32, p->nUser);
}

int32_t LegacyCancel(void* pUser) {
    const auto* p = static_cast<const SLegacyCallbacks*>(pUser);
    return p->pfnCancel ? p->pfnCancel(p->nUser) : 0;
}

}  // namespace

extern "C" KORVEL_API int32_t KorvelConvert(const char* pszInput, const char* pszOutput,
                                            KorvelProgressFn pfnProgress, KorvelCancelFn pfnCancel, void* pUser,
                                            KorvelResult* pResult) {
    return ConvertAndRecord(pszInput, pszOutput, pfnProgress, pfnCancel, pUser, pResult);
}

extern "C" KORVEL_API int32_t KorvelConvertToAviEx(const char* pszInput, const char* pszOutput, int32_t nMode,
                                                   KorvelProgressCallback pfnProgress,
                                                   KorvelCancelCallback pfnCancel, int32_t nUser) {
    if (nMode != 2) {
        t_lastResult = KorvelResult{};
        t_lastResult.nCode = KORVEL_ERR_ARGS;
        return KORVEL_ERR_ARGS;
    }
    SLegacyCallbacks callbacks{pfnProgress, pfnCancel, nUser};
    return ConvertAndRecord(pszInput, pszOutput, LegacyProgress, LegacyCancel, &callbacks, nullptr);
}

extern "C" KORVEL_API int32_t KorvelConvertToAvi(const char* pszInput, const char* pszOutput, int32_t nMode,
                                                 KorvelProgressCallback pfnProgress, int32_t nUser) {
    return KorvelConvertToAviEx(pszInput, pszOutput, nMode, pfnProgress, nullptr, nUser);
}

extern "C" KORVEL_API int32_t KorvelGetLastResult(KorvelResult* pResult, uint32_t nSize) {
    if (!pResult) return KORVEL_ERR_ARGS;
    std::memcpy(pResult, &t_lastResult, nSize < sizeof t_lastResult ? nSize : sizeof t_lastResult);
    return t_lastResult.nCode;
}
