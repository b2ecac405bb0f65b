// The C boundary of the AVI library: argument checks, the input's identity,
// and nothing thrown across.
#include "libs/korvel/korvel.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <new>

#include "libs/korvel/AviConversion.h"

namespace {

using korvel::CConversion;

struct SFileCloser {
    void operator()(FILE* p) const { std::fclose(p); }
};
using FilePtr = std::unique_ptr<FILE, SFileCloser>;

int32_t Convert(const char* pszInput, const char* pszOutput, int32_t nMode, KorvelProgressCallback pfnProgress,
                KorvelCancelCallback pfnCancel, int32_t nUser) {
    if (!pszInput || !pszOutput || !*pszInput || !*pszOutput || nMode != 2) return korvel::kErrArgs;
    FilePtr pInput(std::fopen(pszInput, "rb"));
    if (!pInput) return korvel::kErrInput;
    struct stat in {};
    if (::fstat(::fileno(pInput.get()), &in) != 0 || !S_ISREG(in.st_mode)) return korvel::kErrInput;
    // Writing would truncate the very file being read.
    struct stat out {};
    if (::stat(pszOutput, &out) == 0 && out.st_dev == in.st_dev && out.st_ino == in.st_ino)
        return korvel::kErrSameFile;
    CConversion conversion(pszOutput, pfnProgress, pfnCancel, nUser);
    return conversion.Run(pInput.get(), static_cast<uint64_t>(in.st_size));
}

}  // namespace

extern "C" KORVEL_API int32_t KorvelConvertToAviEx(const char* pszInput, const char* pszOutput, int32_t nMode,
                                                   KorvelProgressCallback pfnProgress,
                                                   KorvelCancelCallback pfnCancel, int32_t nUser) {
    try {
        return Convert(pszInput, pszOutput, nMode, pfnProgress, pfnCancel, nUser);
    } catch (const std::bad_alloc&) {
        return korvel::kErrMemory;
    } catch (...) {
        return korvel::kErrArgs;
    }
}

extern "C" KORVEL_API int32_t KorvelConvertToAvi(const char* pszInput, const char* pszOutput, int32_t nMode,
                                                 KorvelProgressCallback pfnProgress, int32_t nUser) {
    return KorvelConvertToAviEx(pszInput, pszOutput, nMode, pfnProgress, nullptr, nUser);
}
