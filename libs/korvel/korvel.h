/* AVI conversion library: one call converts a whole recorder file to AVI. */
#ifndef KORVEL_H
#define KORVEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KORVEL_BUILDING)
#define KORVEL_API __attribute__((visibility("default")))
#else
#define KORVEL_API
#endif

/* Results below zero: why the file was not converted. */
enum {
    KORVEL_ERR_ARGS = -1,           /* bad arguments or mode */
    KORVEL_ERR_INPUT = -2,          /* the input cannot be opened */
    KORVEL_ERR_NO_KEY_FRAME = -3,   /* video, but no picture a file can start with */
    KORVEL_ERR_WRITE = -4,          /* the output cannot be written */
    KORVEL_ERR_CANCELLED = -5,
    KORVEL_ERR_SAME_FILE = -6,      /* the output would replace the input */
    KORVEL_ERR_MEMORY = -7,
    KORVEL_ERR_NOT_REGULAR = -8,    /* a directory, FIFO or device */
    KORVEL_ERR_NOT_STREAM = -9,     /* no H.264/H.265 video found */
    KORVEL_ERR_UNSUPPORTED = -10,   /* video of another kind; the text names it */
    KORVEL_ERR_INPUT_CHANGED = -11, /* the input shrank while it was read */
    KORVEL_ERR_READ = -12           /* a read of the input failed; the text says why */
};

/* Warnings of a conversion that succeeded (KorvelResult.nWarning). */
enum {
    KORVEL_WARN_NONE = 0,
    KORVEL_WARN_CODEC_CHANGED = 1 /* only the part before a change of codec */
};

/* What a conversion gave. */
typedef struct KorvelResult {
    int32_t nCode;          /* the call's result */
    int32_t nWarning;       /* KORVEL_WARN_* */
    char szText[256];       /* the reason in detail (the system's message, a codec), UTF-8; may be empty */
    uint64_t nPictures;     /* pictures written */
    double dMediaSeconds;   /* length of the output */
    uint64_t nOutputBytes;  /* size of the output */
} KorvelResult;

/* Progress in bytes of input, scaled so that both numbers fit 32 bits.
 * May be called any number of times, on the calling thread. */
typedef void (*KorvelProgressCallback)(uint32_t nPosition, uint32_t nTotal, int32_t nUser);

/* Converts pszInput to an AVI file at pszOutput. nMode is 2. nUser is handed
 * back unchanged to the callback. Returns 0 or more on success, a negative
 * KORVEL_ERR_* on failure. The output is written under a temporary name and
 * renamed when complete: a failed conversion leaves no output and keeps any
 * file that was already at pszOutput. */
KORVEL_API int32_t KorvelConvertToAvi(const char* pszInput, const char* pszOutput, int32_t nMode,
                                      KorvelProgressCallback pfnProgress, int32_t nUser);

/* Asked after every chunk of input whether to give up; non-zero stops the
 * conversion, which then fails (negative result, no output file). */
typedef int32_t (*KorvelCancelCallback)(int32_t nUser);

/* As KorvelConvertToAvi, with a way to stop it part way. pfnProgress and
 * pfnCancel may be null. */
KORVEL_API int32_t KorvelConvertToAviEx(const char* pszInput, const char* pszOutput, int32_t nMode,
                                        KorvelProgressCallback pfnProgress,
                                        KorvelCancelCallback pfnCancel, int32_t nUser);

/* The same conversion for callers that run several at once: the callbacks get
 * a pointer of the caller's, progress in whole bytes, and the result is
 * written to *pResult (may be null). */
typedef void (*KorvelProgressFn)(uint64_t nPosition, uint64_t nTotal, void* pUser);
typedef int32_t (*KorvelCancelFn)(void* pUser);
KORVEL_API int32_t KorvelConvert(const char* pszInput, const char* pszOutput, KorvelProgressFn pfnProgress,
                                 KorvelCancelFn pfnCancel, void* pUser, KorvelResult* pResult);

/* The result of the last conversion made on the calling thread by any entry
 * above. nSize is sizeof(KorvelResult) as the caller knows it. Returns its
 * nCode, or KORVEL_ERR_ARGS for a null pointer. */
KORVEL_API int32_t KorvelGetLastResult(KorvelResult* pResult, uint32_t nSize);

#ifdef __cplusplus
}
#endif

#endif
