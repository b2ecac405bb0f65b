#include "TempDir.h"
#include "libs/feed/Feed.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";

std::unique_ptr<feed::CFileReader> Open(const std::string& strPath, feed::EOpenError* pError = nullptr) {
    feed::EOpenError error = feed::EOpenError::None;
    std::string strError;
    auto p = feed::CFileReader::Open(strPath, error, strError);
    if (pError) *pError = error;
    return p;
}

TEST(FeedTest, OnlyRegularFilesOpenAndNothingBlocks) {
    TempDir tmp;
    feed::EOpenError error = feed::EOpenError::None;
    ASSERT_EQ(::mkfifo(tmp.Path("fifo").c_str(), 0600), 0);  // no writer: a blocking open would hang
    EXPECT_FALSE(Open(tmp.Path("fifo"), &error));
    EXPECT_EQ(error, feed::EOpenError::NotRegularFile);
    EXPECT_FALSE(Open(tmp.Dir(), &error));
    EXPECT_EQ(error, feed::EOpenError::NotRegularFile);
    EXPECT_FALSE(Open("/dev/zero", &error));
    EXPECT_EQ(error, feed::EOpenError::NotRegularFile);
    std::string strError;
    EXPECT_FALSE(feed::CFileReader::Open(tmp.Path("missing"), error, strError));
    EXPECT_EQ(error, feed::EOpenError::Open);
    EXPECT_EQ(strError, "No such file or directory");
}

TEST(FeedTest, AFileThatShrinksIsToldAndOneThatGrowsIsReadToItsSizeAtOpen) {
    TempDir tmp;
    const std::string path = tmp.Path("rec.ps");
    std::ofstream(path, std::ios::binary) << std::string(100000, 'a');
    auto pShrinking = Open(path);
    ASSERT_TRUE(pShrinking);
    uint8_t buf[feed::kChunkSize];
    EXPECT_EQ(pShrinking->Read(buf, sizeof buf), sizeof buf);
    fs::resize_file(path, 20000);  // cut while it is read
    uint64_t nTotal = sizeof buf;
    while (size_t n = pShrinking->Read(buf, sizeof buf)) nTotal += n;
    EXPECT_EQ(nTotal, 20000u);
    EXPECT_TRUE(pShrinking->Shrunk());
    EXPECT_FALSE(pShrinking->Failed());

    auto pGrowing = Open(path);
    ASSERT_TRUE(pGrowing);
    std::ofstream(path, std::ios::binary | std::ios::app) << std::string(50000, 'b');  // a recorder still writing
    nTotal = 0;
    while (size_t n = pGrowing->Read(buf, sizeof buf)) nTotal += n;
    EXPECT_EQ(nTotal, 20000u);
    EXPECT_FALSE(pGrowing->Shrunk());
    ASSERT_TRUE(pGrowing->Rewind());
    EXPECT_EQ(pGrowing->Read(buf, 10), 10u);
}

// The read-ahead runs in a second thread over a few blocks: every byte must
// come out once and in order across block ends, a rewind part way must start
// clean, and a cut made while blocks are in flight must still be told.
TEST(FeedTest, TheReadAheadGivesEveryByteInOrderAndStillTellsACut) {
    TempDir tmp;
    const std::string path = tmp.Path("big.ps");
    std::string content(3'500'000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 7919) >> 8);
    std::ofstream(path, std::ios::binary) << content;

    auto readAll = [](feed::CFileReader& input, size_t nStop) {
        std::string out;
        uint8_t scratch[feed::kChunkSize];
        const uint8_t* p = nullptr;
        // Odd lengths, so that chunks straddle the blocks' ends.
        for (size_t nAsk = 1; out.size() < nStop; nAsk = nAsk * 3 % 16381 + 1) {
            const size_t n = input.Next(scratch, nAsk, &p);
            if (n == 0) break;
            out.append(reinterpret_cast<const char*>(p), n);
        }
        return out;
    };
    auto pInput = Open(path);
    ASSERT_TRUE(pInput);
    EXPECT_EQ(readAll(*pInput, 1'200'000).substr(0, 1'200'000), content.substr(0, 1'200'000));
    ASSERT_TRUE(pInput->Rewind());
    EXPECT_TRUE(readAll(*pInput, SIZE_MAX) == content);
    uint8_t scratch[16];
    const uint8_t* p = nullptr;
    EXPECT_EQ(pInput->Next(scratch, sizeof scratch, &p), 0u);  // the end stays the end
    EXPECT_FALSE(pInput->Shrunk());
    EXPECT_FALSE(pInput->Failed());

    auto pCut = Open(path);
    ASSERT_TRUE(pCut);
    ASSERT_EQ(pCut->Next(scratch, sizeof scratch, &p), sizeof scratch);
    fs::resize_file(path, 2'600'000);
    const std::string got = readAll(*pCut, SIZE_MAX);
    EXPECT_EQ(got.size() + sizeof scratch, 2'600'000u);  // what was there, read before or after the cut
    EXPECT_TRUE(pCut->Shrunk());
    pCut.reset();  // the reader thread ends with it

    auto pStopped = Open(path);  // dropped while its blocks are full
    ASSERT_TRUE(pStopped);
    ASSERT_EQ(pStopped->Next(scratch, sizeof scratch, &p), sizeof scratch);
}

// The loop hands every record out, tells the parser where the input ends, and
// reports how far it got, also when a record is refused or a stop comes.
TEST(FeedTest, TheLoopEndsTheWayItsHooksSay) {
    auto pInput = Open(kData + "h265_352x288_30fps.h265");  // two chunks
    ASSERT_TRUE(pInput);
    auto pParser = feed::CreateTessaroParser();
    int nVideo = 0;
    std::vector<uint64_t> progress;
    feed::SFeedHooks hooks;
    hooks.onFrame = [&](const TessaroFrame& f) { return ++nVideo, f.nFrameType == TESSARO_FRAME_VIDEO; };
    hooks.onProgress = [&](uint64_t nDone, uint64_t nTotal) {
        EXPECT_EQ(nTotal, pInput->Size());
        progress.push_back(nDone);
    };
    EXPECT_EQ(feed::Feed(*pInput, *pParser, hooks), feed::EFeedEnd::End);
    EXPECT_GE(nVideo, 44);
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_EQ(progress.back(), pInput->Size());

    ASSERT_TRUE(pInput->Rewind());
    pParser = feed::CreateTessaroParser();
    progress.clear();
    hooks.onFrame = [](const TessaroFrame&) { return false; };
    EXPECT_EQ(feed::Feed(*pInput, *pParser, hooks), feed::EFeedEnd::Refused);
    EXPECT_EQ(progress.size(), 1u);  // the refused chunk still counts

    ASSERT_TRUE(pInput->Rewind());
    pParser = feed::CreateTessaroParser();
    hooks.onFrame = [](const TessaroFrame&) { return true; };
    hooks.shouldStop = [] { return true; };
    EXPECT_EQ(feed::Feed(*pInput, *pParser, hooks), feed::EFeedEnd::Stopped);
}

}  // namespace
