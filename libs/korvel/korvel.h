/* AVI conversion library: one call converts a whole recorder file to AVI. */
#ifndef KORVEL_H
#define KORVEL_H

#include <stdint.h>

#include "libs/tessaro/tessaro.h"

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
    KORVEL_ERR_ARGS = -1,         /* bad arguments or mode */
    KORVEL_ERR_INPUT = -2,        /* the input cannot be opened */
    KORVEL_ERR_NO_KEY_FRAME = -3, /* video, but no picture a file can start with */
    KORVEL_ERR_WRITE = -4,        /* the output cannot be written */
    KORVEL_ERR_CANCELLED = -5,
    KORVEL_ERR_SAME_FILE = -6, /* the output would replace the input */
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
    KORVEL_WARN_CODEC_CHANGED = 1,  /* only the part before a change of codec */
    KORVEL_WARN_AUDIO_LEFT_OUT = 2, /* some of the sound is not in the file; szText says what */
    KORVEL_WARN_STOPPED = 3         /* stopped with KORVEL_CANCEL_KEEP_PART: what was read before */
};

/* A KorvelCancelFn's answer that stops the conversion and keeps what was
 * written as a whole file that plays: at the output's name when it is free,
 * else beside it as NAME.part.avi, NAME.part-2.avi ... (szOutput says which). */
#define KORVEL_CANCEL_KEEP_PART 2

/* What a conversion gave. */
typedef struct KorvelResult {
    int32_t nCode;            /* the call's result */
    int32_t nWarning;         /* KORVEL_WARN_* */
    char szText[256];         /* the reason in detail (the system's message, a codec), UTF-8; may be empty */
    uint64_t nPictures;       /* pictures written */
    double dMediaSeconds;     /* length of the output */
    uint64_t nOutputBytes;    /* size of the output */
    uint64_t nDroppedAtStart; /* pictures no file can show: before the first key frame, and
                                 the undecodable leading pictures after it */
    char szOutput[4096];      /* the name the output took, UTF-8; empty when none was written */
    int32_t bHasInput;        /* input holds what the parser found in the input */
    TessaroStatus input;
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
                                        KorvelProgressCallback pfnProgress, KorvelCancelCallback pfnCancel,
                                        int32_t nUser);

/* The same conversion for callers that run several at once: the callbacks get
 * a pointer of the caller's, progress in whole bytes, and the result is
 * written to *pResult (may be null). */
typedef void (*KorvelProgressFn)(uint64_t nPosition, uint64_t nTotal, void* pUser);
typedef int32_t (*KorvelCancelFn)(void* pUser); /* may answer KORVEL_CANCEL_KEEP_PART */
KORVEL_API int32_t KorvelConvert(const char* pszInput, const char* pszOutput, KorvelProgressFn pfnProgress,
                                 KorvelCancelFn pfnCancel, void* pUser, KorvelResult* pResult);

/* A time no one knows (KorvelPart.nRecordedUs). */
#define KORVEL_NO_TIME INT64_MIN

/* What KorvelConvertPart is asked for and what it found. Times are 90 kHz
 * ticks; the timeline is the inputs' joined one (see the README's --join). */
typedef struct KorvelPart {
    uint32_t nSize;          /* sizeof(KorvelPart) */
    int64_t nFrom;           /* in: where the part starts, from the recording's first picture; -1 its start */
    int64_t nTo;             /* in: where it ends; -1 its end */
    int64_t nRecordedUs;     /* in: when the recording's first picture was taken, microseconds since
                                1970 UTC; KORVEL_NO_TIME unknown */
    int32_t bContinued;      /* in: earlier inputs began the timeline, as the four fields below say */
    int32_t bClockDerived;   /* in/out: the last input's times were worked out, not recorded */
    int64_t nOrigin;         /* in/out: the recording's first picture's time */
    int64_t nEnd;            /* in/out: one picture after the last picture, on the timeline */
    int64_t nClockEnd;       /* in/out: the same on the last input's own clock */
    int32_t bCutDone;        /* out: the part ended within these inputs */
    double dStartsBefore;    /* out: seconds the output starts before nFrom */
    char szCreationTime[40]; /* out: the date written into the file (ISO 8601, UTC); empty none */
} KorvelPart;

/* Joins ppszInputs[0..nInputs-1] on one timeline (a gap the recorder's clock
 * shows is kept, a clock that starts again goes on from the last picture)
 * and writes the part that *pPart asks for to one AVI file, as KorvelConvert
 * does; *pPart is updated for a following call that goes on from here. The
 * caller makes sure that the inputs share one format. */
KORVEL_API int32_t KorvelConvertPart(const char* const* ppszInputs, uint32_t nInputs, const char* pszOutput,
                                     KorvelPart* pPart, KorvelProgressFn pfnProgress, KorvelCancelFn pfnCancel,
                                     void* pUser, KorvelResult* pResult);

/* The result of the last conversion made on the calling thread by any entry
 * above. nSize is sizeof(KorvelResult) as the caller knows it. Returns its
 * nCode, or KORVEL_ERR_ARGS for a null pointer. */
KORVEL_API int32_t KorvelGetLastResult(KorvelResult* pResult, uint32_t nSize);

#ifdef __cplusplus
}
#endif

#endif
