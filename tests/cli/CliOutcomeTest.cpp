// What a user sees of each file's outcome through the command line: the
// reason on the result line and in --json, and that no existing file is lost.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include "TempDir.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "ProcessUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(TRELVO_BIN_DIR) + "/trelvo-convert";
const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";

class CliOutcomeTest : public ::testing::Test {
protected:
    std::string Path(const std::string& strName) const { return (m_tmp.Root() / strName).string(); }
    std::string Copy(const std::string& strFrom, const std::string& strName) const {
        fs::copy_file(kData + strFrom, Path(strName), fs::copy_options::overwrite_existing);
        return Path(strName);
    }
    std::string Write(const std::string& strName, const std::string& strBytes) const {
        std::ofstream(Path(strName), std::ios::binary) << strBytes;
        return Path(strName);
    }
    static std::vector<std::string> Lines(const std::string& strText) {
        std::vector<std::string> lines;
        std::istringstream in(strText);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // Nothing but the named files in the directory: no temporaries left.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_tmp.Root())) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    TempDir m_tmp;
};

TEST_F(CliOutcomeTest, EveryFailureSaysWhy) {
    std::mt19937 rng(11);
    std::string noise(40000, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    const std::string good = Copy("h264_320x180_25fps.h264", "cam1.h264");
    const std::string twin = Copy("h264_320x180_25fps.h264", "cam1.ps");  // same output name
    const std::string random = Write("random.h264", noise);
    const std::string empty = Write("empty.h264", "");
    ASSERT_EQ(::mkfifo(Path("fifo.h264").c_str(), 0600), 0);
    fs::create_directory(Path("dir.h264"));
    for (const char* pszFormat : {"mp4", "avi"}) {
        const SProcessResult r = RunProcess({kProgram, "--json", "-f", pszFormat, good, twin, random, empty,
                                             Path("missing.h264"), Path("fifo.h264"), Path("dir.h264")});
        EXPECT_EQ(r.nStatus, 1);
        const std::vector<std::string> lines = Lines(r.strOut);  // stdout: the results and nothing else
        ASSERT_EQ(lines.size(), 7u) << r.strOut << r.strErr;
        EXPECT_NE(lines[0].find("\"result\":\"success\",\"whole\":true"), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("\"pictures\":"), std::string::npos);
        const char* kCodes[] = {"name-used",  "not-recorder-stream", "empty-input",
                                "open-input", "not-regular-file",    "not-regular-file"};
        for (size_t i = 1; i < lines.size(); ++i) {
            EXPECT_NE(lines[i].find("\"result\":\"failed\""), std::string::npos) << lines[i];
            EXPECT_NE(lines[i].find(std::string("\"reason\":\"") + kCodes[i - 1] + "\""), std::string::npos)
                << lines[i];
            EXPECT_NE(lines[i].find("\"output\":null"), std::string::npos) << lines[i];
        }
        EXPECT_NE(lines[4].find("No such file or directory"), std::string::npos) << lines[4];

        // The plain form names the reason on the file's line.
        const SProcessResult plain = RunProcess({kProgram, "-q", "-f", pszFormat, Path("missing.h264")});
        EXPECT_EQ(Lines(plain.strOut).size(), 1u);
        EXPECT_NE(plain.strOut.find("No such file or directory"), std::string::npos) << plain.strOut;
        EXPECT_TRUE(plain.strErr.empty()) << plain.strErr;
    }
}

TEST_F(CliOutcomeTest, AFailedConversionKeepsTheFileThatWasThere) {
    const std::string strBefore = "a good file the user made earlier";
    for (const char* pszFormat : {"mp4", "avi"}) {
        const std::string out = Write(std::string("cam.") + pszFormat, strBefore);
        // The disk is full after a few KiB: the output cannot be finished.
        const std::string in = Copy("h265_352x288_30fps.h265", "cam.h265");
        const SProcessResult full =
            RunProcess({"bash", "-c", "ulimit -f 8 && exec \"$0\" -q --json -f " + std::string(pszFormat) + " \"$1\"",
                        kProgram, in});
        EXPECT_EQ(full.nStatus, 1) << full.strOut << full.strErr;
        EXPECT_NE(full.strOut.find("\"reason\":\"write-output\""), std::string::npos) << full.strOut;
        EXPECT_NE(full.strOut.find("File too large"), std::string::npos) << full.strOut;
        EXPECT_EQ(ReadWholeFile(out), strBefore) << pszFormat;

        // Bytes that are no recording, under the same name.
        Write("cam.h265", std::string(20000, 'x'));
        EXPECT_EQ(RunProcess({kProgram, "-q", "-f", pszFormat, in}).nStatus, 1);
        EXPECT_EQ(ReadWholeFile(out), strBefore) << pszFormat;
        fs::remove(in);
    }
    EXPECT_EQ(Names(), (std::vector<std::string>{"cam.avi", "cam.mp4"}));  // no temporaries left behind
}

TEST_F(CliOutcomeTest, ANameCannotSplitAResultLine) {
    const std::string in = Copy("h264_320x180_25fps.h264", "two\nlines\t.h264");
    const SProcessResult r = RunProcess({kProgram, "-q", in});
    EXPECT_EQ(r.nStatus, 0) << r.strErr;
    const std::vector<std::string> lines = Lines(r.strOut);
    ASSERT_EQ(lines.size(), 1u) << r.strOut;
    EXPECT_NE(lines[0].find("two\\nlines\\t.h264"), std::string::npos) << lines[0];
    EXPECT_TRUE(fs::exists(Path("two\nlines\t.mp4")));
    // JSON gives the exact name back.
    const SProcessResult j = RunProcess({kProgram, "-q", "--json", in});
    EXPECT_NE(j.strOut.find("two\\nlines\\t.h264\""), std::string::npos) << j.strOut;
}

}  // namespace

namespace {

// The batch script of the README: GNU parallel over many files, one JSON
// result each, names with any bytes in them.
TEST_F(CliOutcomeTest, BatchScriptCollectsOneResultPerFile) {
    if (RunProcess({"parallel", "--version"}).nStatus != 0) GTEST_SKIP() << "GNU parallel is not installed";
    std::vector<std::string> inputs;
    for (const char* pszName : {"a.h264", "b c.h264", "e$(x).h264", "lat\xe9in.h264", "d.h264"})
        inputs.push_back(Copy("h264_320x180_25fps.h264", pszName));
    inputs.push_back(Write("bad.h264", std::string(5000, 'x')));
    fs::create_directory(Path("out"));
    std::vector<std::string> args = {"env",
                                     "TRELVO_CONVERT=" + kProgram,
                                     std::string(TRELVO_SOURCE_DIR) + "/scripts/convert-batch.sh",
                                     "-j",
                                     "2",
                                     "-o",
                                     Path("out"),
                                     "-r",
                                     Path("results.jsonl")};
    args.insert(args.end(), inputs.begin(), inputs.end());
    const SProcessResult r = RunProcess(args);
    EXPECT_EQ(r.nStatus, 1) << r.strErr;  // one file failed
    const std::vector<std::string> lines = Lines(ReadWholeFile(Path("results.jsonl")));
    ASSERT_EQ(lines.size(), 6u) << r.strErr;
    int nSuccess = 0;
    for (const std::string& line : lines) nSuccess += line.find("\"result\":\"success\"") != std::string::npos;
    EXPECT_EQ(nSuccess, 5);
    for (const char* pszOut : {"a.mp4", "b c.mp4", "e$(x).mp4", "lat\xe9in.mp4", "d.mp4"})
        EXPECT_TRUE(fs::exists(Path(std::string("out/") + pszOut))) << pszOut;
}

}  // namespace

namespace {

// Several files at once give what one at a time gives, results in file order.
TEST_F(CliOutcomeTest, ParallelJobsGiveTheSameOutputsInTheSameOrder) {
    std::vector<std::string> inputs;
    for (int i = 0; i < 6; ++i) {
        const std::string strName = "f" + std::to_string(i);
        inputs.push_back(i == 2 ? Write(strName + ".h264", std::string(3000, 'x'))
                                : Copy(i % 2 ? "h265_352x288_30fps.h265" : "h264_320x180_25fps.h264",
                                       strName + (i % 2 ? ".h265" : ".h264")));
    }
    inputs.push_back(inputs[0]);  // its output name is taken
    for (const char* pszFormat : {"mp4", "avi"}) {
        std::map<std::string, std::string> first;
        std::string strFirstLines;
        for (const char* pszJobs : {"1", "3"}) {
            fs::remove_all(Path("out"));
            std::vector<std::string> args = {kProgram, "-q", "-j", pszJobs, "-f", pszFormat, "-o", Path("out")};
            args.insert(args.end(), inputs.begin(), inputs.end());
            const SProcessResult r = RunProcess(args);
            EXPECT_EQ(r.nStatus, 1) << r.strErr;
            std::map<std::string, std::string> outputs;
            for (const auto& e : fs::directory_iterator(Path("out")))
                outputs[e.path().filename().string()] = ReadWholeFile(e.path().string());
            EXPECT_EQ(outputs.size(), 5u);
            if (first.empty()) {
                first = outputs;
                strFirstLines = r.strOut;
                EXPECT_EQ(Lines(r.strOut).size(), 7u) << r.strOut;
            } else {
                EXPECT_EQ(r.strOut, strFirstLines);
                EXPECT_TRUE(outputs == first) << pszFormat << ": outputs differ between -j 1 and -j 3";
            }
        }
    }
}

}  // namespace
