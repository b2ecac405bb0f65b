#include "TessaroTestUtil.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

namespace tessaro_test {

std::string dataPath(const std::string& name) {
    return std::string(TRELVO_SOURCE_DIR) + "/tests/data/" + name;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Record toRecord(const TessaroFrame& f) {
    Record r;
    r.type = f.nFrameType;
    r.kind = f.nFrameKind;
    r.codec = f.nCodec;
    r.rate = f.nFrameRate;
    r.width = f.nWidth;
    r.height = f.nHeight;
    r.channels = f.nChannels;
    r.bits = f.nBitsPerSample;
    r.sampleRate = f.nSampleRate;
    r.flags = f.nFlags & ~unsigned{TESSARO_FLAG_PAYLOAD_WRITABLE};  // the time flags
    r.pts = f.nPts;
    r.dts = f.nDts;
    r.rateNum = f.nRateNum;
    r.rateDen = f.nRateDen;
    if (f.pPayload && f.nPayloadLen) r.payload.assign(f.pPayload, f.pPayload + f.nPayloadLen);
    return r;
}

std::vector<Record> parse(const std::vector<uint8_t>& bytes, size_t chunk, bool end) {
    std::vector<Record> out;
    void* h = TessaroCreate(0);
    if (!h) return out;
    for (size_t off = 0; off < bytes.size(); off += chunk) {
        size_t n = std::min(chunk, bytes.size() - off);
        TessaroInputData(h, bytes.data() + off, static_cast<uint32_t>(n));
        while (const TessaroFrame* f = TessaroGetNextFrame(h)) out.push_back(toRecord(*f));
    }
    if (end) {
        TessaroInputEnd(h);
        while (const TessaroFrame* f = TessaroGetNextFrame(h)) out.push_back(toRecord(*f));
    }
    TessaroDestroy(h);
    return out;
}

std::vector<Record> videoOf(const std::vector<Record>& records) {
    std::vector<Record> v;
    for (const Record& r : records)
        if (r.type == TESSARO_FRAME_VIDEO) v.push_back(r);
    return v;
}

std::vector<Record> audioOf(const std::vector<Record>& records) {
    std::vector<Record> v;
    for (const Record& r : records)
        if (r.type == TESSARO_FRAME_AUDIO) v.push_back(r);
    return v;
}

std::vector<Unit> units(const std::vector<uint8_t>& p, bool h265) {
    std::vector<Unit> out;
    size_t n = p.size();
    auto startAt = [&](size_t i) -> size_t {
        if (i + 3 <= n && p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) return 3;
        if (i + 4 <= n && p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 0 && p[i + 3] == 1) return 4;
        return 0;
    };
    size_t i = 0;
    size_t sc = startAt(0);
    if (!sc) return out;
    while (i < n) {
        size_t hdr = i + sc;
        size_t j = hdr;
        size_t next = 0;
        while (j < n && !(next = startAt(j))) ++j;
        if (hdr < n) {
            int type = h265 ? (p[hdr] >> 1) & 0x3F : p[hdr] & 0x1F;
            out.push_back({type, sc,
                           std::vector<uint8_t>(p.begin() + static_cast<std::ptrdiff_t>(hdr),
                                                p.begin() + static_cast<std::ptrdiff_t>(j))});
        }
        i = j;
        sc = next;
    }
    return out;
}

std::vector<PesPacket> pesPackets(const std::vector<uint8_t>& d) {
    std::vector<PesPacket> out;
    auto stamp = [&](size_t i) {
        return (int64_t{d[i] & 0x0E} << 29) | (int64_t{d[i + 1]} << 22) | (int64_t{d[i + 2] & 0xFE} << 14) |
               (int64_t{d[i + 3]} << 7) | (int64_t{d[i + 4]} >> 1);
    };
    size_t i = 0;
    while (i + 6 <= d.size()) {
        if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1 || d[i + 3] < 0xB9) {
            ++i;
            continue;
        }
        uint8_t code = d[i + 3];
        if (code == 0xB9) {
            i += 4;
            continue;
        }
        if (code == 0xBA) {
            i += 14 + (i + 13 < d.size() ? (d[i + 13] & 7) : 0);
            continue;
        }
        size_t len = size_t{d[i + 4]} << 8 | d[i + 5];
        if ((code >= 0xC0 && code <= 0xEF) && i + 9 <= d.size()) {
            PesPacket pkt;
            pkt.id = code;
            unsigned flags = d[i + 7] >> 6;
            pkt.hasPts = flags & 2;
            pkt.hasDts = flags == 3;
            if (pkt.hasPts) pkt.pts = stamp(i + 9);
            if (pkt.hasDts) pkt.dts = stamp(i + 14);
            pkt.payloadAt = i + 9 + d[i + 8];
            pkt.payloadLen = i + 6 + len - pkt.payloadAt;
            out.push_back(pkt);
        }
        i += 6 + len;
    }
    return out;
}

int ffprobeFrameCount(const std::string& path) {
    std::string cmd =
        "ffprobe -v quiet -select_streams v:0 -count_frames -show_entries stream=nb_read_frames "
        "-of default=nokey=1:noprint_wrappers=1 '" +
        path + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
    if (!pipe) return -1;
    char buf[64] = {};
    if (!fgets(buf, sizeof buf, pipe.get())) return -1;
    return std::atoi(buf);
}

}  // namespace tessaro_test
