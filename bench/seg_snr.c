// Segmental SNR of a decoded sound against its source: both raw 16-bit mono
// of one rate. The decoded one is first lined up with the source (the lag
// of the highest correlation within a quarter second), then the SNR of each
// 32 ms segment that is not silence in the source is clamped to -10..35 dB
// and averaged, the usual measure for speech codecs.
//   bench_seg_snr SOURCE.s16 DECODED.s16 [RATE]    prints "SNR_DB LAG"
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

static int16_t* ReadAll(const char* path, long* pCount) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) return NULL;
    long cap = 1 << 20, n = 0;
    int16_t* p = malloc((size_t)cap * sizeof *p);
    size_t got = 0;
    while (p != NULL && (got = fread(p + n, sizeof *p, (size_t)(cap - n), f)) > 0) {
        n += (long)got;
        if (n == cap) {
            int16_t* q = realloc(p, (size_t)(cap *= 2) * sizeof *p);
            if (q == NULL) free(p);
            p = q;
        }
    }
    fclose(f);
    *pCount = n;
    return p;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s SOURCE.s16 DECODED.s16 [RATE]\n", argv[0]);
        return 2;
    }
    const long rate = argc > 3 ? atol(argv[3]) : 8000;
    long nRef = 0, nDec = 0;
    int16_t* ref = ReadAll(argv[1], &nRef);
    int16_t* dec = ReadAll(argv[2], &nDec);
    if (ref == NULL || dec == NULL || nRef < rate || nDec < rate) {
        fprintf(stderr, "cannot read both sounds\n");
        return 1;
    }
    // Lag: dec[i + lag] plays ref[i]; searched over the first ten seconds.
    const long maxLag = rate / 4, span = nRef < 10 * rate ? nRef : 10 * rate;
    long bestLag = 0;
    double best = -1e300;
    for (long lag = -maxLag; lag <= maxLag; ++lag) {
        double c = 0;
        for (long i = maxLag; i < span - maxLag && i + lag < nDec; ++i) c += (double)ref[i] * dec[i + lag];
        if (c > best) best = c, bestLag = lag;
    }
    const long seg = rate * 32 / 1000;
    double peak = 0;
    for (long i = 0; i < nRef; ++i) peak = fmax(peak, fabs((double)ref[i]));
    // Segments more than 50 dB under the loudest sample are silence.
    const double quiet = (double)seg * pow(peak * pow(10, -50 / 20.0), 2);
    double sum = 0;
    long used = 0;
    for (long s = 0; s + seg <= nRef; s += seg) {
        double es = 0, en = 0;
        for (long i = s; i < s + seg; ++i) {
            const long j = i + bestLag;
            const double d = j >= 0 && j < nDec ? dec[j] : 0;
            es += (double)ref[i] * ref[i];
            en += (ref[i] - d) * (ref[i] - d);
        }
        if (es < quiet) continue;
        double snr = en > 0 ? 10 * log10(es / en) : 35;
        sum += snr < -10 ? -10 : snr > 35 ? 35 : snr;
        ++used;
    }
    printf("%.2f %ld\n", used > 0 ? sum / (double)used : 0.0, bestLag);
    free(ref);
    free(dec);
    return 0;
}
