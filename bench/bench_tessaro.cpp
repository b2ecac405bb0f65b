// Stream-parser throughput: pushes whole files (read into memory first) in
// 16384-byte chunks, as the conversion job does, and reports MB/s.
//   bench_tessaro FILE... [--runs N]
#include "libs/tessaro/tessaro.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Result {
    double seconds;
    size_t video, keys, audio;
};

Result runOnce(const std::vector<uint8_t>& bytes) {
    Result r{0, 0, 0, 0};
    auto t0 = std::chrono::steady_clock::now();
    void* h = TessaroCreate(0);
    unsigned touch = 0;
    for (size_t off = 0; off < bytes.size(); off += 16384) {
        size_t n = std::min<size_t>(16384, bytes.size() - off);
        TessaroInputData(h, bytes.data() + off, static_cast<uint32_t>(n));
        while (const TessaroFrame* f = TessaroGetNextFrame(h)) {
            touch += f->pPayload[0];
            if (f->nFrameType == TESSARO_FRAME_VIDEO) {
                ++r.video;
                r.keys += f->nFrameKind == TESSARO_KIND_KEY;
            } else {
                ++r.audio;
            }
        }
    }
    TessaroDestroy(h);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (touch == 0xFFFFFFFFu) std::puts("");  // keeps the payload reads
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else
            files.push_back(argv[i]);
    }
    if (files.empty()) {
        std::fprintf(stderr,
                     "usage: bench_tessaro FILE... [--runs N]\n"
                     "  make a large input with bench/make_bench_input.sh\n");
        return 2;
    }
    int status = 0;
    for (const std::string& path : files) {
        std::ifstream f(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (bytes.empty()) {
            std::fprintf(stderr, "bench_tessaro: cannot read %s\n", path.c_str());
            status = 1;
            continue;
        }
        std::vector<double> secs;
        Result last{};
        for (int i = 0; i < runs; ++i) {
            last = runOnce(bytes);
            secs.push_back(last.seconds);
        }
        std::sort(secs.begin(), secs.end());
        double mb = static_cast<double>(bytes.size()) / 1e6;
        std::printf("%s: %.1f MB, %zu pictures (%zu key), %zu audio records\n", path.c_str(), mb, last.video, last.keys,
                    last.audio);
        std::printf("  best %.1f MB/s, median %.1f MB/s over %d runs\n", mb / secs.front(), mb / secs[secs.size() / 2],
                    runs);
    }
    return status;
}
