// The C boundary of the AVI library: argument checks, the input's identity,
// the result of the last call, and nothing thrown across.
#include "libs/korvel/korvel.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "libs/korvel/AviConversion.h"
#include "libs/korvel/KorvelProgress.h"
#include "libs/korvel/PartSource.h"
#include "log/Log.h"

namespace {

using korvel::CConversion;

thread_local KorvelResult t_lastResult{};

void SetText(KorvelResult& r, const std::string& strText) {
    std::snprintf(r.szText, sizeof r.szText, "%s", strText.c_str());
}

// The warning, length, name and size of a finished conversion.
void NoteOutcome(const CConversion& conversion, int32_t nResult, KorvelResult& r) {
    r.dMediaSeconds = conversion.MediaSeconds();
    if (nResult < 0) return;
    if (conversion.StoppedPart()) {
        r.nWarning = KORVEL_WARN_STOPPED;
    } else if (conversion.LeftOutOtherCodec()) {
        r.nWarning = KORVEL_WARN_CODEC_CHANGED;
    } else if (!conversion.LeftOutAudio().empty()) {
        r.nWarning = KORVEL_WARN_AUDIO_LEFT_OUT;
        SetText(r, conversion.LeftOutAudio());
    }
    std::snprintf(r.szOutput, sizeof r.szOutput, "%s", conversion.OutputPath().c_str());
    struct stat out {};
    if (::stat(conversion.OutputPath().c_str(), &out) == 0) r.nOutputBytes = static_cast<uint64_t>(out.st_size);
}

int32_t Convert(const char* pszInput, const char* pszOutput, KorvelProgressFn pfnProgress, KorvelCancelFn pfnCancel,
                void* pUser, KorvelResult& r) {
    if (!pszInput || !pszOutput || !*pszInput || !*pszOutput) return KORVEL_ERR_ARGS;
    const trelvo::log::CInputScope logInput(pszInput);
    feed::EOpenError error = feed::EOpenError::None;
    std::string strError;
    const std::unique_ptr<feed::CFileReader> pInput = feed::CFileReader::Open(pszInput, error, strError);
    if (!pInput) {
        SetText(r, strError);
        return error == feed::EOpenError::NotRegularFile ? KORVEL_ERR_NOT_REGULAR : KORVEL_ERR_INPUT;
    }
    // Writing would replace the very file being read.
    if (pInput->IsSameFile(pszOutput)) return KORVEL_ERR_SAME_FILE;
    CConversion conversion(pszOutput, pfnProgress, pfnCancel, pUser);
    korvel::CFileSource source(*pInput);
    const int32_t nResult = conversion.Run(source);
    SetText(r, conversion.ErrorText());
    r.nPictures = conversion.Pictures();
    if (source.Status(r.input)) {
        r.bHasInput = 1;
        r.nDroppedAtStart = r.input.nDroppedAtStart;
    }
    NoteOutcome(conversion, nResult, r);
    return nResult;
}

// Runs one conversion, turning exceptions into codes, and keeps its result
// for KorvelGetLastResult and the caller.
template <typename Run>
int32_t Recorded(KorvelResult* pResult, Run run) {
    KorvelResult r{};
    try {
        r.nCode = run(r);
    } catch (const std::bad_alloc&) {
        r.nCode = KORVEL_ERR_MEMORY;
    } catch (...) {
        r.nCode = KORVEL_ERR_ARGS;
    }
    t_lastResult = r;
    if (pResult) *pResult = r;
    return r.nCode;
}

int32_t ConvertAndRecord(const char* pszInput, const char* pszOutput, KorvelProgressFn pfnProgress,
                         KorvelCancelFn pfnCancel, void* pUser, KorvelResult* pResult) {
    return Recorded(pResult,
                    [&](KorvelResult& r) { return Convert(pszInput, pszOutput, pfnProgress, pfnCancel, pUser, r); });
}

int32_t ConvertPart(const char* const* ppszInputs, uint32_t nInputs, const char* pszOutput, KorvelPart& part,
                    KorvelProgressFn pfnProgress, KorvelCancelFn pfnCancel, void* pUser, KorvelResult& r) {
    if (!ppszInputs || nInputs == 0 || !pszOutput || !*pszOutput || part.nSize < sizeof(KorvelPart))
        return KORVEL_ERR_ARGS;
    std::vector<std::string> inputs;
    struct stat out {};
    const bool bOutputExists = ::stat(pszOutput, &out) == 0;
    for (uint32_t i = 0; i < nInputs; ++i) {
        if (!ppszInputs[i] || !*ppszInputs[i]) return KORVEL_ERR_ARGS;
        struct stat in {};
        // Writing would replace a file being read.
        if (bOutputExists && ::stat(ppszInputs[i], &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
            return KORVEL_ERR_SAME_FILE;
        inputs.emplace_back(ppszInputs[i]);
    }
    korvel::CPartSource source(std::move(inputs), part);
    CConversion conversion(pszOutput, pfnProgress, pfnCancel, pUser);
    const int32_t nResult = conversion.Run(source);
    source.Report(part);
    SetText(r, conversion.ErrorText());
    r.nPictures = conversion.Pictures();
    NoteOutcome(conversion, nResult, r);
    return nResult;
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
    // Their callers know only "stop", which fails the conversion.
    return p->pfnCancel && p->pfnCancel(p->nUser) != 0 ? 1 : 0;
}

}  // namespace

extern "C" KORVEL_API int32_t KorvelConvert(const char* pszInput, const char* pszOutput, KorvelProgressFn pfnProgress,
                                            KorvelCancelFn pfnCancel, void* pUser, KorvelResult* pResult) {
    return ConvertAndRecord(pszInput, pszOutput, pfnProgress, pfnCancel, pUser, pResult);
}

extern "C" KORVEL_API int32_t KorvelConvertPart(const char* const* ppszInputs, uint32_t nInputs, const char* pszOutput,
                                                KorvelPart* pPart, KorvelProgressFn pfnProgress,
                                                KorvelCancelFn pfnCancel, void* pUser, KorvelResult* pResult) {
    return Recorded(pResult, [&](KorvelResult& r) {
        return pPart ? ConvertPart(ppszInputs, nInputs, pszOutput, *pPart, pfnProgress, pfnCancel, pUser, r)
                     : KORVEL_ERR_ARGS;
    });
}

extern "C" KORVEL_API int32_t KorvelConvertToAviEx(const char* pszInput, const char* pszOutput, int32_t nMode,
                                                   KorvelProgressCallback pfnProgress, KorvelCancelCallback pfnCancel,
                                                   int32_t nUser) {
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
