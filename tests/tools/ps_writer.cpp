// trelvo_ps_writer: wraps an Annex-B H.264/H.265 file and optional raw G.711
// or ADTS AAC audio into an MPEG-2 program stream, the way surveillance
// recorders write them. Used to make test fixtures and sample recordings.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
    "optional raw G.711 audio (8000 Hz mono) or ADTS AAC into an MPEG-2 program\n"
    "stream. Times are 90 kHz ticks.\n"
    "\n"
    "  --video FILE     Annex-B input (required); the codec is read from it\n"
    "  --video-type T   stream type for the map instead (e.g. 0x02 for MPEG-2\n"
    "                   video, whose bytes are then cut up as they come)\n"
    "  --fps N          picture rate for the time stamps (default 25)\n"
    "  --fps-den D      rate is N/D (e.g. --fps 30000 --fps-den 1001)\n"
    "  --steps A,B,...  milliseconds from each picture to the next, repeating\n"
    "  --times FILE     one 'pts dts' line per picture in decoding order ('N/A'\n"
    "                   for no dts); a dts equal to the pts is left out\n"
    "  --pts-start T    time of the first picture (default 90000); counts wrap\n"
    "                   at 2^33\n"
    "  --jump-at N      the clock starts again from --pts-start at picture N\n"
    "  --alaw FILE      raw A-law audio to interleave (stream type 0x90)\n"
    "  --ulaw FILE      raw mu-law audio to interleave (stream type 0x91)\n"
    "  --aac FILE       ADTS AAC audio to interleave (stream type 0x0F)\n"
    "  --no-map         leave out the program stream map\n"
    "  --map-after N    no map until N packets have been written\n"
    "  --file-header N  N bytes of a device's file header before the stream\n"
    "  --pes-size N     largest video payload per PES packet (default 65000);\n"
    "                   larger pictures are split over several packets\n"
    "  --audio-pes N    audio bytes per PES packet (default 320); AAC frames\n"
    "                   are cut across packets at this size\n"
    "  --no-pts         write PES packets without time stamps\n"
    "  --junk N         put N bytes of junk after every pack of a key frame\n"
    "  --odd-stuffing   pack headers carry stuffing bytes that are not 0xFF\n"
    "  --skip-pictures N  start the output at picture N (a mid-GOP start)\n"
    "  --max-pictures N   write at most N pictures\n";

enum class AudioKind { None, Alaw, Mulaw, Aac };

struct Options {
    std::string video, audio, out, times;
    AudioKind audioKind = AudioKind::None;
    bool map = true;
    bool pts = true;
    bool oddStuffing = false;
    size_t fps = 25;
    size_t fpsDen = 1;
    std::vector<size_t> steps;
    size_t ptsStart = 90000;
    size_t jumpAt = SIZE_MAX;
    size_t videoType = 0;  // 0: from the input
    size_t mapAfter = 0;
    size_t fileHeader = 0;
    size_t pesSize = 65000;
    size_t audioPes = 320;
    size_t junk = 0;
    size_t skip = 0;
    size_t maxPictures = SIZE_MAX;
};

constexpr uint64_t kStampMask = (uint64_t{1} << 33) - 1;

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
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
            if (!nals.empty()) nals.back().end = start;
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
        if (u.header + 1 >= d.size()) continue;
        unsigned t = (d[u.header] >> 1) & 0x3F;
        if ((d[u.header] & 0x81) == 0 && d[u.header + 1] == 1 && t >= 32 && t <= 34) return true;
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
        if (u.header + 2 >= d.size()) continue;
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
        scr &= kStampMask;
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
        std::vector<uint8_t> b = {0x80, 0x00, 0x01,         // rate bound
                                  0x04,                     // audio bound 1, fixed 0, CSPS 0
                                  0xE1,                     // locks, marker, video bound 1
                                  0x7F, 0xE0, 0xE0, 0x80};  // video stream buffer bound
        if (audio) b.insert(b.end(), {0xC0, 0xC0, 0x20});
        put({0, 0, 1, 0xBB, static_cast<uint8_t>(b.size() >> 8), static_cast<uint8_t>(b.size())});
        out.insert(out.end(), b.begin(), b.end());
    }

    void streamMap(uint8_t videoType, int audioType) {
        std::vector<uint8_t> es = {videoType, 0xE0, 0, 0};
        if (audioType >= 0) es.insert(es.end(), {static_cast<uint8_t>(audioType), 0xC0, 0, 0});
        std::vector<uint8_t> b = {0,
                                  0,
                                  1,
                                  0xBC,
                                  0,
                                  0,
                                  0xE0,
                                  0xFF,
                                  0,
                                  0,
                                  static_cast<uint8_t>(es.size() >> 8),
                                  static_cast<uint8_t>(es.size())};
        b.insert(b.end(), es.begin(), es.end());
        size_t len = b.size() - 6 + 4;
        b[4] = static_cast<uint8_t>(len >> 8);
        b[5] = static_cast<uint8_t>(len);
        uint32_t crc = crc32(b.data(), b.size());
        b.insert(b.end(), {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                           static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
        out.insert(out.end(), b.begin(), b.end());
    }

    void pes(uint8_t id, const uint8_t* p, size_t n, bool withPts, uint64_t pts, bool withDts = false,
             uint64_t dts = 0) {
        withDts &= withPts;
        size_t hdr = withDts ? 10 : withPts ? 5 : 0;
        size_t len = 3 + hdr + n;
        put({0, 0, 1, id, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), 0x80,
             static_cast<uint8_t>(withDts   ? 0xC0
                                  : withPts ? 0x80
                                            : 0x00),
             static_cast<uint8_t>(hdr)});
        if (withPts) stamp(withDts ? 0x31 : 0x21, pts);
        if (withDts) stamp(0x11, dts);
        out.insert(out.end(), p, p + n);
        ++packets;
    }

    void stamp(uint8_t prefix, uint64_t t) {
        t &= kStampMask;
        out.push_back(static_cast<uint8_t>(prefix | ((t >> 29) & 0x0E)));
        out.push_back(static_cast<uint8_t>(t >> 22));
        out.push_back(static_cast<uint8_t>(((t >> 14) & 0xFE) | 1));
        out.push_back(static_cast<uint8_t>(t >> 7));
        out.push_back(static_cast<uint8_t>(((t << 1) & 0xFE) | 1));
    }

    size_t packets = 0;

    void junk(size_t n) {
        // Bytes a device might leave between packets, with a stray prefix.
        for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(i % 7 == 3 ? 0 : 0x5A + i));
        put({0, 0, 1, 0x47, 0x11});
    }

private:
    void put(std::initializer_list<uint8_t> b) { out.insert(out.end(), b); }

    static uint32_t crc32(const uint8_t* p, size_t n) {
        uint32_t crc = 0xFFFFFFFFu;
        for (size_t i = 0; i < n; ++i) {
            crc ^= uint32_t{p[i]} << 24;
            for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        return crc;
    }

    const Options& m_o;
};

bool parseList(const char* v, std::vector<size_t>& out) {
    std::string text = v;
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        char* end = nullptr;
        unsigned long long x = std::strtoull(item.c_str(), &end, 10);
        if (item.empty() || *end || x == 0) return false;
        out.push_back(static_cast<size_t>(x));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return !out.empty();
}

// Options that take a number, with the values they accept.
struct NumberOption {
    const char* name;
    size_t Options::*field;
    size_t min, max;
};
const NumberOption kNumbers[] = {
    {"--fps", &Options::fps, 1, 240000},
    {"--fps-den", &Options::fpsDen, 1, 100000},
    {"--pts-start", &Options::ptsStart, 0, SIZE_MAX},
    {"--jump-at", &Options::jumpAt, 0, SIZE_MAX},
    {"--video-type", &Options::videoType, 1, 255},
    {"--map-after", &Options::mapAfter, 0, SIZE_MAX},
    {"--file-header", &Options::fileHeader, 0, 4096},
    {"--pes-size", &Options::pesSize, 1, 65000},
    {"--audio-pes", &Options::audioPes, 1, 65000},
    {"--junk", &Options::junk, 0, 65536},
    {"--skip-pictures", &Options::skip, 0, SIZE_MAX},
    {"--max-pictures", &Options::maxPictures, 0, SIZE_MAX},
};

bool parseNumber(const char* v, size_t min, size_t max, size_t& dst) {
    char* end = nullptr;
    unsigned long long x = std::strtoull(v, &end, 0);
    if (!*v || *end || x < min || x > max) return false;
    dst = static_cast<size_t>(x);
    return true;
}

// One option with its value (argv[i + 1] when it takes one); false on a
// usage error.
bool parseOption(const std::string& a, const char* v, bool& usedValue, Options& o) {
    usedValue = true;
    for (const NumberOption& n : kNumbers)
        if (a == n.name) return v && parseNumber(v, n.min, n.max, o.*n.field);
    if (a == "--video" || a == "--times") {
        (a == "--video" ? o.video : o.times) = v ? v : "";
        return v != nullptr;
    }
    if (a == "--alaw" || a == "--ulaw" || a == "--aac") {
        o.audio = v ? v : "";
        o.audioKind = a == "--alaw" ? AudioKind::Alaw : a == "--ulaw" ? AudioKind::Mulaw : AudioKind::Aac;
        return v != nullptr;
    }
    if (a == "--steps") return v && parseList(v, o.steps);
    usedValue = false;
    if (a == "--no-map")
        o.map = false;
    else if (a == "--no-pts")
        o.pts = false;
    else if (a == "--odd-stuffing")
        o.oddStuffing = true;
    else
        return false;
    return true;
}

bool parseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            std::exit(0);
        }
        if (a.empty() || a[0] != '-') {
            if (!o.out.empty()) {
                std::cerr << "trelvo_ps_writer: more than one output named\n";
                return false;
            }
            o.out = a;
            continue;
        }
        bool usedValue = false;
        if (!parseOption(a, i + 1 < argc ? argv[i + 1] : nullptr, usedValue, o)) {
            std::cerr << "trelvo_ps_writer: unknown option or bad value: " << a << "\n";
            return false;
        }
        i += usedValue ? 1 : 0;
    }
    return !o.video.empty() && !o.out.empty();
}

struct Times {
    uint64_t pts = 0;
    bool hasDts = false;
    uint64_t dts = 0;
};

bool readTimes(const std::string& path, std::vector<Times>& out) {
    std::ifstream f(path);
    if (!f) return false;
    std::string pts, dts;
    while (f >> pts >> dts) {
        Times t;
        char* end = nullptr;
        t.pts = std::strtoull(pts.c_str(), &end, 10);
        if (pts.empty() || *end) return false;
        t.hasDts = dts != "N/A";
        if (t.hasDts) {
            t.dts = std::strtoull(dts.c_str(), &end, 10);
            if (*end) return false;
        }
        out.push_back(t);
    }
    if (out.empty()) return false;
    // Relative to the first decoding time, which the output puts at --pts-start.
    uint64_t zero = out[0].hasDts ? out[0].dts : out[0].pts;
    for (Times& t : out) {
        if (t.pts < zero || (t.hasDts && t.dts < zero)) return false;
        t.pts -= zero;
        t.dts -= t.hasDts ? zero : 0;
    }
    return true;
}

// Picture k's times relative to the start, before the jump and the wrap.
Times pictureTimes(const Options& o, const std::vector<Times>& file, size_t k) {
    if (!file.empty()) {
        Times t = file[std::min(k, file.size() - 1)];
        if (k >= file.size())  // more pictures than lines: go on at the last spacing
            t.pts = t.dts = t.pts + (k - file.size() + 1) * 3600;
        return t;
    }
    Times t;
    if (!o.steps.empty()) {
        for (size_t i = 0; i < k; ++i) t.pts += o.steps[i % o.steps.size()] * 90;
    } else {
        t.pts = (k * 90000 * o.fpsDen * 2 + o.fps) / (o.fps * 2);
    }
    return t;
}

// Audio as a byte stream with the times of the units that start in it.
struct Audio {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<size_t, uint64_t>> units;  // offset, time from the start
};

bool loadAudio(const Options& o, Audio& a) {
    if (o.audioKind == AudioKind::None) return true;
    if (!readFile(o.audio, a.bytes)) return false;
    if (o.audioKind != AudioKind::Aac) {
        for (size_t i = 0; i < a.bytes.size(); ++i) a.units.emplace_back(i, i * 90000 / 8000);
        return true;
    }
    static const unsigned kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350};
    size_t frames = 0;
    for (size_t i = 0; i + 7 <= a.bytes.size();) {
        const uint8_t* h = &a.bytes[i];
        size_t len = (size_t{h[3] & 3u} << 11) | (size_t{h[4]} << 3) | (h[5] >> 5);
        unsigned sr = (h[2] >> 2) & 0x0F;
        if (h[0] != 0xFF || (h[1] & 0xF0) != 0xF0 || len < 7 || sr >= 13) return false;
        a.units.emplace_back(i, frames * 1024 * 90000 / kRates[sr]);
        ++frames;
        i += len;
    }
    return !a.units.empty();
}

class Muxer {
public:
    Muxer(const Options& o, const Audio& audio) : m_o(o), m_audio(audio), m_w(o) {}

    std::vector<uint8_t>& out() { return m_w.out; }
    size_t audioWritten() const { return m_audioPos; }

    void fileHeader() {
        // A made-up device header: a tag, a version and filler, no start codes.
        static const char kTag[4] = {'T', 'R', 'V', 'R'};
        for (size_t i = 0; i < m_o.fileHeader; ++i)
            m_w.out.push_back(i < 4 ? static_cast<uint8_t>(kTag[i]) : static_cast<uint8_t>(0x20 + i % 64));
    }

    void picture(const uint8_t* p, size_t n, bool key, bool first, uint8_t videoType, int audioType, Times t,
                 uint64_t nextAt) {
        if (m_written == m_o.jumpAt) m_shift = t.hasDts ? t.dts : t.pts;  // the recorder restarts its clock here
        uint64_t base = m_o.ptsStart - m_shift;
        uint64_t pts = base + t.pts, dts = base + (t.hasDts ? t.dts : t.pts);
        m_w.pack(dts > 3600 ? dts - 3600 : 0);
        if (key || first) {
            m_w.systemHeader(audioType >= 0);
            if (m_o.map && m_w.packets >= m_o.mapAfter) m_w.streamMap(videoType, audioType);
            if (m_o.junk && key) m_w.junk(m_o.junk);
        }
        bool withDts = t.hasDts && t.dts != t.pts;
        for (size_t off = 0; off < n; off += m_o.pesSize)
            m_w.pes(0xE0, p + off, std::min(m_o.pesSize, n - off), m_o.pts && off == 0, pts, withDts, dts);
        ++m_written;
        audioUntil(nextAt);
    }

    // Audio whose time is before `until` (relative to the start).
    void audioUntil(uint64_t until) {
        const std::vector<uint8_t>& b = m_audio.bytes;
        while (m_audioPos < b.size() && timeAt(m_audioPos) < until) {
            size_t n = std::min(m_o.audioPes, b.size() - m_audioPos);
            // The stamp is the first unit's that starts in the packet.
            auto u =
                std::lower_bound(m_audio.units.begin(), m_audio.units.end(), std::make_pair(m_audioPos, uint64_t{0}));
            bool stamped = m_o.pts && u != m_audio.units.end() && u->first < m_audioPos + n;
            uint64_t t = stamped ? m_o.ptsStart - m_shift + u->second : 0;
            m_w.pes(0xC0, &b[m_audioPos], n, stamped, t);
            m_audioPos += n;
        }
    }

private:
    uint64_t timeAt(size_t pos) const {
        auto u = std::upper_bound(m_audio.units.begin(), m_audio.units.end(), std::make_pair(pos, UINT64_MAX));
        return u == m_audio.units.begin() ? 0 : std::prev(u)->second;
    }

    const Options& m_o;
    const Audio& m_audio;
    Writer m_w;
    size_t m_written = 0;
    size_t m_audioPos = 0;
    uint64_t m_shift = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseArgs(argc, argv, o)) {
        std::cerr << kUsage;
        return 2;
    }
    std::vector<uint8_t> video;
    Audio audio;
    std::vector<Times> times;
    if (!readFile(o.video, video)) {
        std::cerr << "trelvo_ps_writer: cannot read " << o.video << "\n";
        return 1;
    }
    if (!loadAudio(o, audio)) {
        std::cerr << "trelvo_ps_writer: cannot read audio from " << o.audio << "\n";
        return 1;
    }
    if (!o.times.empty() && !readTimes(o.times, times)) {
        std::cerr << "trelvo_ps_writer: cannot read times from " << o.times << "\n";
        return 1;
    }
    std::vector<Nal> nals = splitNals(video);
    bool hevc = isHevc(video, nals);
    std::vector<Picture> pics = splitPictures(video, nals, hevc);
    if (pics.empty()) {
        std::cerr << "trelvo_ps_writer: no pictures in " << o.video << "\n";
        return 1;
    }
    uint8_t videoType = o.videoType ? static_cast<uint8_t>(o.videoType) : hevc ? 0x24 : 0x1B;
    static const int kAudioTypes[] = {-1, 0x90, 0x91, 0x0F};
    int audioType = kAudioTypes[static_cast<int>(o.audioKind)];

    Muxer m(o, audio);
    m.fileHeader();
    size_t written = 0;
    for (size_t i = o.skip; i < pics.size() && written < o.maxPictures; ++i, ++written) {
        const Picture& pic = pics[i];
        Times t = pictureTimes(o, times, written);
        Times next = pictureTimes(o, times, written + 1);
        m.picture(&video[pic.begin], pic.end - pic.begin, pic.key, written == 0, videoType, audioType, t,
                  next.hasDts ? next.dts : next.pts);
    }
    m.audioUntil(UINT64_MAX);
    m.out().insert(m.out().end(), {0, 0, 1, 0xB9});

    std::ofstream f(o.out, std::ios::binary);
    f.write(reinterpret_cast<const char*>(m.out().data()), static_cast<std::streamsize>(m.out().size()));
    if (!f) {
        std::cerr << "trelvo_ps_writer: cannot write " << o.out << "\n";
        return 1;
    }
    std::cerr << "trelvo_ps_writer: " << written << (o.videoType ? " packets of video (" : " pictures (")
              << (o.videoType ? "given type"
                  : hevc      ? "H.265"
                              : "H.264")
              << "), " << m.audioWritten() << " audio bytes -> " << o.out << "\n";
    return 0;
}
