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

/* Progress in bytes of input, scaled so that both numbers fit 32 bits.
 * May be called any number of times, on the calling thread. */
typedef void (*KorvelProgressCallback)(uint32_t nPosition, uint32_t nTotal, int32_t nUser);

/* Converts pszInput to an AVI file at pszOutput. nMode is 2. nUser is handed
 * back unchanged to the callback. Returns 0 or more on success, a negative
 * value on failure; a failed conversion leaves no output file. */
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

#ifdef __cplusplus
}
#endif

#endif
