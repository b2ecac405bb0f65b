#include "TempDir.h"
#include "libs/annexb/ConfigRecords.h"
#include "libs/annexb/Units.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";

Bytes ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(AnnexBUnits, UnitsAndTheirLengthPrefixedForm) {
    // Junk before the first start code, a 4-byte and a 3-byte code, zeros
    // trailing a unit, and an emulation-prevented run inside one.
    const Bytes payload = {0x12, 0x34, 0, 0, 0,    1,    0x67, 0x42, 0x00, 0x00, 0x03, 0x01, 0,
                           0,    0,    0, 1, 0x68, 0xCE, 0,    0,    1,    0x65, 0x88, 0x80};
    EXPECT_EQ(annexb::FindStartCode(payload.data(), payload.size()), 3u);
    std::vector<annexb::SUnit> units;
    annexb::SplitUnits(payload.data(), payload.size(), units);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].nOffset, 6u);
    EXPECT_EQ(units[0].nSize, 6u);  // the two zeros before the next code are not the unit's
    EXPECT_EQ(units[1].nOffset, 17u);
    EXPECT_EQ(units[1].nSize, 2u);
    EXPECT_EQ(units[2].nSize, 3u);
    Bytes sample;
    annexb::ToLengthPrefixed(payload.data(), units.data(), units.size(), sample);
    const Bytes expected = {0, 0, 0,    6,    0x67, 0x42, 0x00, 0x00, 0x03, 0x01, 0,   0,
                            0, 2, 0x68, 0xCE, 0,    0,    0,    3,    0x65, 0x88, 0x80};
    EXPECT_EQ(sample, expected);

    units.clear();
    const Bytes none = {1, 2, 3, 0, 0, 2, 0, 0};
    annexb::SplitUnits(none.data(), none.size(), units);
    EXPECT_TRUE(units.empty());
}

// The vector scan against the plain definition: every length, codes planted
// at every distance from both ends, runs of zeros, and 01s without zeros.
TEST(AnnexBUnits, FindStartCodeFindsTheFirstCodeAnywhere) {
    const auto reference = [](const Bytes& b, size_t from) {
        for (size_t i = from; i + 2 < b.size(); ++i) {
            if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) return i;
        }
        return b.size();
    };
    std::mt19937 rng(7);
    for (size_t n = 0; n < 200; ++n) {
        for (int round = 0; round < 40; ++round) {
            Bytes b(n);
            // Bytes drawn from {0, 1, 2, x}: zeros and ones often, codes sometimes.
            for (auto& x : b) x = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 3);
            for (size_t from : {size_t{0}, size_t{1}, n / 2}) {
                if (from > n) continue;
                ASSERT_EQ(from + annexb::FindStartCode(b.data() + from, n - from), reference(b, from))
                    << "n " << n << " round " << round << " from " << from;
            }
        }
    }
    Bytes big(100000, 0x55);
    EXPECT_EQ(annexb::FindStartCode(big.data(), big.size()), big.size());
    for (size_t at : {size_t{0}, size_t{61}, size_t{62}, size_t{63}, size_t{64}, size_t{99997}}) {
        Bytes b = big;
        b[at] = b[at + 1] = 0;
        b[at + 2] = 1;
        EXPECT_EQ(annexb::FindStartCode(b.data(), b.size()), at);
    }
}

// Made where the payload lies, the sample is byte for byte the copy's, and a
// payload laid out otherwise (more or fewer than four bytes between units,
// bytes before the first code) is left as it was for the copy to handle.
TEST(AnnexBUnits, LengthPrefixInPlaceIsTheCopyOrNothing) {
    std::mt19937 rng(11);
    int nInPlace = 0;
    for (int round = 0; round < 2000; ++round) {
        Bytes payload;
        bool bFourEach = true;
        const int nUnits = 1 + static_cast<int>(rng() % 5);
        for (int u = 0; u < nUnits; ++u) {
            const bool bFour = rng() % 4 != 0;
            // Bytes before the code: zeros trailing a unit, or junk before the
            // first; with a 3-byte code one such byte makes four too.
            const size_t nBefore = rng() % 4 == 0 ? 1 + rng() % 2 : 0;
            bFourEach = bFourEach && nBefore + (bFour ? 4 : 3) == 4;
            payload.insert(payload.end(), nBefore, u == 0 ? 0x42 : 0);
            if (bFour) payload.push_back(0);
            payload.insert(payload.end(), {0, 0, 1});
            const size_t nBody = 1 + rng() % 40;
            for (size_t i = 0; i < nBody; ++i) payload.push_back(static_cast<uint8_t>(0x10 + rng() % 0xE0));
        }
        std::vector<annexb::SUnit> units;
        annexb::SplitUnits(payload.data(), payload.size(), units);
        ASSERT_EQ(units.size(), static_cast<size_t>(nUnits));
        Bytes copy;
        annexb::ToLengthPrefixed(payload.data(), units.data(), units.size(), copy);
        Bytes inPlace = payload;
        const size_t n = annexb::LengthPrefixInPlace(inPlace.data(), inPlace.size(), units.data(), units.size());
        if (bFourEach) {
            ASSERT_EQ(n, copy.size()) << round;
            EXPECT_EQ(Bytes(inPlace.begin(), inPlace.begin() + static_cast<std::ptrdiff_t>(n)), copy) << round;
            ++nInPlace;
        } else {
            ASSERT_EQ(n, 0u) << round;
            EXPECT_EQ(inPlace, payload) << round;
        }
    }
    EXPECT_GT(nInPlace, 100);
    // Units that claim more than the payload holds are not touched.
    Bytes b = {0, 0, 0, 1, 0x65, 0x88};
    const annexb::SUnit tooLong{4, 3};
    EXPECT_EQ(annexb::LengthPrefixInPlace(b.data(), b.size(), &tooLong, 1), 0u);
    const annexb::SUnit pastEnd[] = {{4, 2}, {10, 0}};
    EXPECT_EQ(annexb::LengthPrefixInPlace(b.data(), b.size(), pastEnd, 2), 0u);
    EXPECT_EQ(b, Bytes({0, 0, 0, 1, 0x65, 0x88}));
}

// What FFmpeg's MP4 muxer puts in the sample entry for a stream it reads by
// itself, as libavformat reads it back.
Bytes FfmpegConfig(const std::string& strSource, const std::string& strOut) {
    const std::string strCommand =
        "ffmpeg -nostdin -v error -y -i '" + strSource + "' -c copy -frames:v 1 '" + strOut + "'";
    if (std::system(strCommand.c_str()) != 0) return {};
    AVFormatContext* pCtx = nullptr;
    if (avformat_open_input(&pCtx, strOut.c_str(), nullptr, nullptr) < 0) return {};
    Bytes config;
    if (pCtx->nb_streams > 0) {
        const AVCodecParameters* par = pCtx->streams[0]->codecpar;
        config.assign(par->extradata, par->extradata + par->extradata_size);
    }
    avformat_close_input(&pCtx);
    return config;
}

annexb::SParameterSets SetsOf(const std::string& strFile, annexb::ECodec codec) {
    const Bytes es = ReadFile(strFile);
    std::vector<annexb::SUnit> units;
    annexb::SplitUnits(es.data(), std::min<size_t>(es.size(), 4096), units);
    return annexb::CollectParameterSets(codec, es.data(), units.data(), units.size());
}

TEST(AnnexBConfig, RecordsAsFFmpegWritesThem) {
    TempDir tmp;
    for (const char* pszName : {"h264_bframes.h264", "h264_320x180_25fps.h264"}) {
        const annexb::SParameterSets sets = SetsOf(kData + pszName, annexb::ECodec::H264);
        ASSERT_TRUE(sets.Complete(annexb::ECodec::H264)) << pszName;
        EXPECT_EQ(annexb::BuildAvcC(sets), FfmpegConfig(kData + pszName, tmp.Path("a.mp4"))) << pszName;
    }
    for (const char* pszName : {"h265_bframes.h265", "realworld/test-25fps.h265"}) {
        const annexb::SParameterSets sets = SetsOf(kData + pszName, annexb::ECodec::H265);
        ASSERT_TRUE(sets.Complete(annexb::ECodec::H265)) << pszName;
        Bytes ours = annexb::BuildHvcC(sets);
        Bytes theirs = FfmpegConfig(kData + pszName, tmp.Path("b.mp4"));
        ASSERT_EQ(ours.size(), theirs.size()) << pszName;
        ASSERT_GT(ours.size(), 23u);
        // FFmpeg also reads the segmentation and parallelism hints out of the
        // VUI and PPS; the record may leave them unstated (0).
        for (size_t i : {13, 14, 15}) ours[i] = theirs[i] = 0;
        EXPECT_EQ(ours, theirs) << pszName;
    }
}

TEST(AnnexBConfig, DamagedSetsGiveNoRecordAndNoCrash) {
    std::mt19937 rng(5);
    for (int i = 0; i < 2000; ++i) {
        Bytes junk(8 + rng() % 80);
        for (uint8_t& b : junk) b = static_cast<uint8_t>(rng());
        annexb::SParameterSets sets;
        sets.vps.push_back(junk);
        sets.sps.push_back(junk);
        sets.pps.push_back({0x44, 0x01});
        const Bytes hvcc = annexb::BuildHvcC(sets);
        EXPECT_TRUE(hvcc.empty() || hvcc.size() > 23u);
        junk[0] = 0x67;
        sets.sps = {junk};
        const Bytes avcc = annexb::BuildAvcC(sets);
        EXPECT_TRUE(avcc.empty() || avcc[0] == 1);
    }
    EXPECT_TRUE(annexb::BuildAvcC({}).empty());
    EXPECT_TRUE(annexb::BuildHvcC({}).empty());
}

}  // namespace
