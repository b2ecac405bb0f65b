// trelvo_ps_writer: wraps an Annex-B H.264/H.265 file and optional raw G.711
// audio into an MPEG-2 program stream, the way surveillance recorders write
// them. Used to make test fixtures and sample recordings.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char* kUsage =
    "usage: trelvo_ps_writer --video IN.h264 [options] OUT.ps\n"
    "Wraps an Annex-B H.264 or H.265 stream (one access unit per picture) and\n"
    "optional raw G.711 audio (8000 Hz mono) into an MPEG-2 program stream.\n"
    "\n"
    "  --video FILE     Annex-B input (required); the codec is read from it\n"
    "  --fps N          picture rate for the time stamps (default 25)\n"
    "  --alaw FILE      raw A-law audio to interleave (stream type 0x90)\n"
    "  --ulaw FILE      raw mu-law audio to interleave (stream type 0x91)\n"
    "  --no-map         leave out the program stream map\n"
    "  --pes-size N     largest video payload per PES packet (default 65000);\n"
    "                   larger pictures are split over several packets\n"
    "  --audio-pes N    audio bytes per PES packet (default 320)\n"
    "  --no-pts         write PES packets without time stamps\n"
    "  --junk N         put N bytes of junk after every pack of a key frame\n"
    "  --odd-stuffing   pack headers carry stuffing bytes that are not 0xFF\n"
    "  --skip-pictures N  start the output at picture N (a mid-GOP start)\n"
    "  --max-pictures N   write at most N pictures\n";

struct Options {
    std::string video, audio, out;
    bool mulaw = false;
    bool map = true;
    bool pts = true;
    bool oddStuffing = false;
    unsigned fps = 25;
    size_t pesSize = 65000;
    size_t audioPes = 320;
    size_t junk = 0;
    size_t skip = 0;
    size_t maxPictures = SIZE_MAX;
};

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

struct Nal {
    size_t start;  // start code
    size_t header;
    size_t end;
};

std::vector<Nal> splitNals(const std::vector<uint8_t>& d) {
    std::vector<Nal> nals;
    size_t i = 0;
    const size_t n = d.size();
    while (i + 3 <= n) {
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            size_t start = (i > 0 && d[i - 1] == 0) ? i - 1 : i;
            if (!nals.empty())
                nals.back().end = start;
            nals.push_back({start, i + 3, n});
            i += 3;
        } else {
            ++i;
        }
    }
    return nals;
}

bool isHevc(const std::vector<uint8_t>& d, const std::vector<Nal>& nals) {
    for (const Nal& u : nals) {
        if (u.header + 1 >= d.size())
            continue;
        unsigned t = (d[u.header] >> 1) & 0x3F;
        if ((d[u.header] & 0x81) == 0 && d[u.header + 1] == 1 && t >= 32 && t <= 34)
            return true;
    }
    return false;
}

struct Picture {
    size_t begin, end;
    bool key;
};

// Groups units into pictures: a new one begins at a delimiter, parameter set
// or SEI after a slice, or at a slice that starts a picture.
std::vector<Picture> splitPictures(const std::vector<uint8_t>& d, const std::vector<Nal>& nals, bool hevc) {
    std::vector<Picture> pics;
    bool haveVcl = false;
    for (const Nal& u : nals) {
        if (u.header + 2 >= d.size())
            continue;
        const uint8_t* h = &d[u.header];
        bool vcl, first, opens, key;
        if (hevc) {
            unsigned t = (h[0] >> 1) & 0x3F;
            vcl = t <= 31;
            first = vcl && (h[2] & 0x80);
            opens = (t >= 32 && t <= 35) || t == 39;
            key = t >= 16 && t <= 21;
        } else {
            unsigned t = h[0] & 0x1F;
            vcl = t == 1 || t == 5;
            first = vcl && (h[1] & 0x80);
            opens = t == 6 || t == 7 || t == 8 || t == 9;
            key = t == 5;
        }
        if (pics.empty() || (haveVcl && (opens || first))) {
            pics.push_back({u.start, u.end, false});
            haveVcl = false;
        }
        pics.back().end = u.end;
        pics.back().key |= key;
        haveVcl |= vcl;
    }
    return pics;
}

class Writer {
public:
    explicit Writer(const Options& o) : m_o(o) {}
    std::vector<uint8_t> out;

    void pack(uint64_t scr) {
        put({0, 0, 1, 0xBA});
        out.push_back(static_cast<uint8_t>(0x44 | ((scr >> 27) & 0x38) | ((scr >> 28) & 0x03)));
        out.push_back(static_cast<uint8_t>(scr >> 20));
        out.push_back(static_cast<uint8_t>(((scr >> 12) & 0xF8) | 0x04 | ((scr >> 13) & 0x03)));
        out.push_back(static_cast<uint8_t>(scr >> 5));
        out.push_back(static_cast<uint8_t>(((scr << 3) & 0xF8) | 0x04));  // SCR extension 0
        out.push_back(0x01);
        const uint32_t muxRate = 0x3FFF;  // 50 bytes/s units; not used by readers here
        out.push_back(static_cast<uint8_t>(muxRate >> 14));
        out.push_back(static_cast<uint8_t>(muxRate >> 6));
        out.push_back(static_cast<uint8_t>(((muxRate << 2) & 0xFC) | 0x03));
        if (m_o.oddStuffing) {
            out.push_back(0xF8 | 3);
            put({0xFF, 0x00, 0xA5});
        } else {
            out.push_back(0xF8);
        }
    }

    void systemHeader(bool audio) {
        std::vector<uint8_t> b = {0x80, 0x00, 0x01,  // rate bound
                                  0x04,              // audio bound 1, fixed 0, CSPS 0
                                  0xE1,              // locks, marker, video bound 1
                                  0x7F,
                                  0xE0, 0xE0, 0x80};  // video stream buffer bound
        if (audio)
            b.insert(b.end(), {0xC0, 0xC0, 0x20});
        put({0, 0, 1, 0xBB, static_cast<uint8_t>(b.size() >> 8), static_cast<uint8_t>(b.size())});
        out.insert(out.end(), b.begin(), b.end());
    }

    void streamMap(uint8_t videoType, int audioType) {
        std::vector<uint8_t> es = {videoType, 0xE0, 0, 0};
        if (audioType >= 0)
            es.insert(es.end(), {static_cast<uint8_t>(audioType), 0xC0, 0, 0});
        std::vector<uint8_t> b = {0, 0, 1, 0xBC, 0, 0, 0xE0, 0xFF, 0, 0,
                                  static_cast<uint8_t>(es.size() >> 8), static_cast<uint8_t>(es.size())};
        b.insert(b.end(), es.begin(), es.end());
        size_t len = b.size() - 6 + 4;
        b[4] = static_cast<uint8_t>(len >> 8);
        b[5] = static_cast<uint8_t>(len);
        uint32_t crc = crc32(b.data(), b.size());
        b.insert(b.end(), {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                           static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
        out.insert(out.end(), b.begin(), b.end());
    }

    void pes(uint8_t id, const uint8_t* p, size_t n, bool withPts, uint64_t pts) {
        size_t hdr = withPts ? 5 : 0;
        size_t len = 3 + hdr + n;
        put({0, 0, 1, id, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), 0x80,
             static_cast<uint8_t>(withPts ? 0x80 : 0x00), static_cast<uint8_t>(hdr)});
        if (withPts) {
            out.push_back(static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E)));
            out.push_back(static_cast<uint8_t>(pts >> 22));
            out.push_back(static_cast<uint8_t>(((pts >> 14) & 0xFE) | 1));
            out.push_back(static_cast<uint8_t>(pts >> 7));
            out.push_back(static_cast<uint8_t>(((pts << 1) & 0xFE) | 1));
        }
        out.insert(out.end(), p, p + n);
    }

    void junk(size_t n) {
        // Bytes a device might leave between packets, with a stray prefix.
        for (size_t i = 0; i < n; ++i)
            out.push_back(static_cast<uint8_t>(i % 7 == 3 ? 0 : 0x5A + i));
        put({0, 0, 1, 0x47, 0x11});
    }

private:
    void put(std::initializer_list<uint8_t> b) { out.insert(out.end(), b); }

    static uint32_t crc32(const uint8_t* p, size_t n) {
        uint32_t crc = 0xFFFFFFFFu;
        for (size_t i = 0; i < n; ++i) {
            crc ^= uint32_t{p[i]} << 24;
            for (int k = 0; k < 8; ++k)
                crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        return crc;
    }

    const Options& m_o;
};

bool parseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::cerr << "trelvo_ps_writer: " << name << " needs a value\n";
                return nullptr;
            }
            return argv[++i];
        };
        auto number = [&](const char* name, size_t& dst) {
            const char* v = value(name);
            if (!v)
                return false;
            char* end = nullptr;
            unsigned long long x = std::strtoull(v, &end, 10);
            if (!*v || *end) {
                std::cerr << "trelvo_ps_writer: " << name << " takes a number\n";
                return false;
            }
            dst = static_cast<size_t>(x);
            return true;
        };
        if (a == "--video") {
            const char* v = value("--video");
            if (!v)
                return false;
            o.video = v;
        } else if (a == "--alaw" || a == "--ulaw") {
            const char* v = value(a.c_str());
            if (!v)
                return false;
            o.audio = v;
            o.mulaw = a == "--ulaw";
        } else if (a == "--fps") {
            size_t f = 0;
            if (!number("--fps", f) || f == 0 || f > 240) {
                std::cerr << "trelvo_ps_writer: --fps must be 1..240\n";
                return false;
            }
            o.fps = static_cast<unsigned>(f);
        } else if (a == "--pes-size") {
            if (!number("--pes-size", o.pesSize) || o.pesSize == 0 || o.pesSize > 65000)
                return false;
        } else if (a == "--audio-pes") {
            if (!number("--audio-pes", o.audioPes) || o.audioPes == 0 || o.audioPes > 65000)
                return false;
        } else if (a == "--junk") {
            if (!number("--junk", o.junk) || o.junk > 65536)
                return false;
        } else if (a == "--skip-pictures") {
            if (!number("--skip-pictures", o.skip))
                return false;
        } else if (a == "--max-pictures") {
            if (!number("--max-pictures", o.maxPictures))
                return false;
        } else if (a == "--no-map") {
            o.map = false;
        } else if (a == "--no-pts") {
            o.pts = false;
        } else if (a == "--odd-stuffing") {
            o.oddStuffing = true;
        } else if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            std::exit(0);
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << "trelvo_ps_writer: unknown option " << a << "\n";
            return false;
        } else if (o.out.empty()) {
            o.out = a;
        } else {
            std::cerr << "trelvo_ps_writer: more than one output named\n";
            return false;
        }
    }
    return !o.video.empty() && !o.out.empty();
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseArgs(argc, argv, o)) {
        std::cerr << kUsage;
        return 2;
    }
    std::vector<uint8_t> video, audio;
    if (!readFile(o.video, video)) {
        std::cerr << "trelvo_ps_writer: cannot read " << o.video << "\n";
        return 1;
    }
    if (!o.audio.empty() && !readFile(o.audio, audio)) {
        std::cerr << "trelvo_ps_writer: cannot read " << o.audio << "\n";
        return 1;
    }
    std::vector<Nal> nals = splitNals(video);
    bool hevc = isHevc(video, nals);
    std::vector<Picture> pics = splitPictures(video, nals, hevc);
    if (pics.empty()) {
        std::cerr << "trelvo_ps_writer: no pictures in " << o.video << "\n";
        return 1;
    }

    Writer w(o);
    const bool haveAudio = !o.audio.empty();
    const uint64_t tick = 90000 / o.fps;
    const uint64_t start = 90000;  // one second, as cameras rarely start at 0
    size_t audioPos = 0;
    size_t written = 0;
    for (size_t i = o.skip; i < pics.size() && written < o.maxPictures; ++i, ++written) {
        const Picture& pic = pics[i];
        uint64_t pts = start + written * tick;
        w.pack(pts > 3600 ? pts - 3600 : 0);
        if (pic.key || written == 0) {
            w.systemHeader(haveAudio);
            if (o.map)
                w.streamMap(hevc ? 0x24 : 0x1B, haveAudio ? (o.mulaw ? 0x91 : 0x90) : -1);
            if (o.junk && pic.key)
                w.junk(o.junk);
        }
        for (size_t off = pic.begin; off < pic.end; off += o.pesSize) {
            size_t n = std::min(o.pesSize, pic.end - off);
            w.pes(0xE0, &video[off], n, o.pts && off == pic.begin, pts);
        }
        // Audio up to the end of this picture's time.
        size_t due = static_cast<size_t>((written + 1) * 8000 / o.fps);
        while (haveAudio && audioPos < audio.size() && audioPos < due) {
            size_t n = std::min(o.audioPes, audio.size() - audioPos);
            w.pes(0xC0, &audio[audioPos], n, o.pts, start + audioPos * 90000 / 8000);
            audioPos += n;
        }
    }
    while (haveAudio && audioPos < audio.size()) {
        size_t n = std::min(o.audioPes, audio.size() - audioPos);
        w.pes(0xC0, &audio[audioPos], n, o.pts, start + audioPos * 90000 / 8000);
        audioPos += n;
    }
    w.out.insert(w.out.end(), {0, 0, 1, 0xB9});

    std::ofstream f(o.out, std::ios::binary);
    f.write(reinterpret_cast<const char*>(w.out.data()), static_cast<std::streamsize>(w.out.size()));
    if (!f) {
        std::cerr << "trelvo_ps_writer: cannot write " << o.out << "\n";
        return 1;
    }
    std::cerr << "trelvo_ps_writer: " << written << " pictures (" << (hevc ? "H.265" : "H.264") << "), "
              << audioPos << " audio bytes -> " << o.out << "\n";
    return 0;
}
