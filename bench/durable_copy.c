/* Copies IN to OUT the way trelvo-convert writes its outputs: write-back
 * asked for every MiB as it goes, fsync before the end. A second thread
 * reads ahead and nothing is copied in between, so with FFmpeg linked like
 * the converter its run time is about the least any converter on these
 * libraries needs to leave the same bytes safely on disk.
 *   bench_durable_copy IN OUT [PIECE_KIB]
 * With PIECE_KIB the bytes go out as an AVI muxer writes pictures: in pieces
 * of that size, each after an 8-byte chunk header of its own. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <libavformat/avformat.h>

enum { kStep = 1 << 20, kBlocks = 4 };

static struct {
    uint8_t data[kBlocks][kStep];
    ssize_t len[kBlocks];
    int full[kBlocks];
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    int in;
} ahead = {.mutex = PTHREAD_MUTEX_INITIALIZER, .cond = PTHREAD_COND_INITIALIZER};

static int out = -1;
static off_t written, synced;

// Fills the blocks in turn; a block of no bytes (or -1) ends the input.
static void* ReadAhead(void* unused) {
    (void)unused;
    for (int k = 0;; k = (k + 1) % kBlocks) {
        pthread_mutex_lock(&ahead.mutex);
        while (ahead.full[k]) pthread_cond_wait(&ahead.cond, &ahead.mutex);
        pthread_mutex_unlock(&ahead.mutex);
        const ssize_t n = read(ahead.in, ahead.data[k], kStep);
        pthread_mutex_lock(&ahead.mutex);
        ahead.len[k] = n;
        ahead.full[k] = 1;
        pthread_cond_broadcast(&ahead.cond);
        pthread_mutex_unlock(&ahead.mutex);
        if (n <= 0) return NULL;
    }
}

static int Put(const void* p, size_t n) {
    if (write(out, p, n) != (ssize_t)n) return -1;
    written += (off_t)n;
    if (written - synced >= kStep) {
        sync_file_range(out, synced, written - synced, SYNC_FILE_RANGE_WRITE);
        synced = written;
    }
    return 0;
}

static int Fail(const char* what) {
    perror(what);
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || avformat_version() == 0) return 2;
    const size_t piece = argc == 4 ? (size_t)strtoul(argv[3], NULL, 10) << 10 : 0;
    ahead.in = open(argv[1], O_RDONLY | O_CLOEXEC);
    out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (ahead.in < 0 || out < 0) return Fail("open");
    pthread_t reader;
    if (pthread_create(&reader, NULL, ReadAhead, NULL) != 0) return Fail("thread");
    size_t left = 0;  // of the current piece
    for (int k = 0;; k = (k + 1) % kBlocks) {
        pthread_mutex_lock(&ahead.mutex);
        while (!ahead.full[k]) pthread_cond_wait(&ahead.cond, &ahead.mutex);
        const ssize_t n = ahead.len[k];
        pthread_mutex_unlock(&ahead.mutex);
        if (n < 0) return Fail("read");
        if (n == 0) break;
        for (size_t at = 0; at < (size_t)n;) {
            if (piece && left == 0) {
                const uint8_t header[8] = {
                    '0', '0', 'd', 'c', piece & 0xff, (piece >> 8) & 0xff, (piece >> 16) & 0xff, (piece >> 24) & 0xff};
                if (Put(header, sizeof header) != 0) return Fail("write");
                left = piece;
            }
            const size_t rest = (size_t)n - at;
            const size_t take = piece && left < rest ? left : rest;
            if (Put(ahead.data[k] + at, take) != 0) return Fail("write");
            at += take;
            if (piece) left -= take;
        }
        pthread_mutex_lock(&ahead.mutex);
        ahead.full[k] = 0;
        pthread_cond_broadcast(&ahead.cond);
        pthread_mutex_unlock(&ahead.mutex);
    }
    pthread_join(reader, NULL);
    if (fsync(out) != 0 || close(out) != 0) return Fail("fsync");
    return close(ahead.in) != 0;
}
