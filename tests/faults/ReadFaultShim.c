/* Preloaded into trelvo-convert by the fault tests, never installed. Reads of
 * the file named by TRELVO_FAULT_FILE (that file by device and inode, through
 * whatever path it is opened) can be made to fail or to crawl:
 *   TRELVO_FAULT_EIO_AFTER=N  reads at or past byte N fail with EIO (a bad
 *                             sector), however often the file is read;
 *   TRELVO_FAULT_DELAY_US=U   each read first sleeps U microseconds and hands
 *                             out at most 16 KiB (a slow disk), so that a test
 *                             can act part way through however much the
 *                             converter asks for at once. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define MAX_FDS 4096

/* Whether each descriptor is one of the named file. */
static atomic_bool g_watched[MAX_FDS];

/* The next definition of a function, looked up once (a race only looks it up
 * twice). */
static void* Next(void* _Atomic* pSlot, const char* pszName) {
    void* p = atomic_load(pSlot);
    if (!p) {
        p = dlsym(RTLD_NEXT, pszName);
        atomic_store(pSlot, p);
    }
    return p;
}

#define NEXT(type, name)           \
    static void* _Atomic s_##name; \
    const type pfnNext = (type)Next(&s_##name, #name)

static long long EnvNumber(const char* pszName) {
    const char* psz = getenv(pszName);
    return psz && *psz ? atoll(psz) : -1;
}

static int Watch(int fd) {
    const char* pszTarget = getenv("TRELVO_FAULT_FILE");
    struct stat target, opened;
    if (fd < 0 || fd >= MAX_FDS || !pszTarget) return fd;
    const int nSaved = errno;
    const int bMatch = stat(pszTarget, &target) == 0 && fstat(fd, &opened) == 0 && target.st_dev == opened.st_dev &&
                       target.st_ino == opened.st_ino;
    atomic_store(&g_watched[fd], bMatch != 0);
    errno = nSaved;
    return fd;
}

static mode_t ModeOf(int nFlags, va_list args) {
    return (nFlags & O_CREAT) || (nFlags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

typedef int (*OpenFn)(const char*, int, ...);
typedef int (*OpenAtFn)(int, const char*, int, ...);
typedef int (*CloseFn)(int);
typedef ssize_t (*ReadFn)(int, void*, size_t);

int open(const char* pszPath, int nFlags, ...) {
    NEXT(OpenFn, open);
    va_list args;
    va_start(args, nFlags);
    const mode_t mode = ModeOf(nFlags, args);
    va_end(args);
    return Watch(pfnNext(pszPath, nFlags, mode));
}

int open64(const char* pszPath, int nFlags, ...) {
    NEXT(OpenFn, open64);
    va_list args;
    va_start(args, nFlags);
    const mode_t mode = ModeOf(nFlags, args);
    va_end(args);
    return Watch(pfnNext(pszPath, nFlags, mode));
}

int openat(int nDir, const char* pszPath, int nFlags, ...) {
    NEXT(OpenAtFn, openat);
    va_list args;
    va_start(args, nFlags);
    const mode_t mode = ModeOf(nFlags, args);
    va_end(args);
    return Watch(pfnNext(nDir, pszPath, nFlags, mode));
}

int close(int fd) {
    NEXT(CloseFn, close);
    if (fd >= 0 && fd < MAX_FDS) atomic_store(&g_watched[fd], false);
    return pfnNext(fd);
}

ssize_t read(int fd, void* pBuffer, size_t nLen) {
    NEXT(ReadFn, read);
    if (fd < 0 || fd >= MAX_FDS || !atomic_load(&g_watched[fd])) return pfnNext(fd, pBuffer, nLen);
    const long long nDelay = EnvNumber("TRELVO_FAULT_DELAY_US");
    if (nDelay > 0) {
        /* A signal cuts the wait short, as it would a wait on the disk. */
        const struct timespec wait = {nDelay / 1000000, (nDelay % 1000000) * 1000};
        nanosleep(&wait, NULL);
        if (nLen > 16384) nLen = 16384;
    }
    const long long nFailAt = EnvNumber("TRELVO_FAULT_EIO_AFTER");
    const long long nPos = nFailAt >= 0 ? (long long)lseek(fd, 0, SEEK_CUR) : -1;
    if (nPos >= 0 && nPos >= nFailAt) {
        errno = EIO;
        return -1;
    }
    if (nPos >= 0 && (long long)nLen > nFailAt - nPos) nLen = (size_t)(nFailAt - nPos);
    return pfnNext(fd, pBuffer, nLen);
}
