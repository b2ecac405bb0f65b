#include "TempDir.h"
#include "platform/OutputFile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

size_t Entries(const fs::path& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// A process id that ran and is gone.
pid_t DeadPid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

TEST(OutputFileTest, OnlyACommittedFileReplacesWhatStoodThere) {
    TempDir tmp;
    const fs::path final = tmp.Root() / "cam1.mp4";
    std::ofstream(final) << "good old output";
    std::string strError;
    {
        platform::COutputFile out(final.string());
        ASSERT_TRUE(out.Create(strError)) << strError;
        // Beside the final name, hidden, with its extension for the muxers.
        EXPECT_EQ(fs::path(out.TempPath()).parent_path(), tmp.Root());
        EXPECT_EQ(fs::path(out.TempPath()).filename().string()[0], '.');
        EXPECT_EQ(fs::path(out.TempPath()).extension(), ".mp4");
        std::ofstream(out.TempPath()) << "half";
        // Dropped without a commit: a failure, a stop.
    }
    EXPECT_EQ(Read(final), "good old output");
    EXPECT_EQ(Entries(tmp.Root()), 1u);

    platform::COutputFile out(final.string());
    ASSERT_TRUE(out.Create(strError));
    std::ofstream(out.TempPath()) << "new output";
    ASSERT_TRUE(out.Commit(strError)) << strError;
    EXPECT_EQ(Read(final), "new output");
    EXPECT_EQ(Entries(tmp.Root()), 1u);
}

TEST(OutputFileTest, LinksAreReplacedNeverWrittenThrough) {
    TempDir tmp;
    const fs::path target = tmp.Root() / "unrelated.txt";
    std::ofstream(target) << "keep me";
    fs::create_symlink(target, tmp.Root() / "out.avi");
    platform::COutputFile out((tmp.Root() / "out.avi").string());
    std::string strError;
    ASSERT_TRUE(out.Create(strError));
    std::ofstream(out.TempPath()) << "video";
    ASSERT_TRUE(out.Commit(strError));
    EXPECT_EQ(Read(target), "keep me");
    EXPECT_FALSE(fs::is_symlink(tmp.Root() / "out.avi"));
    EXPECT_EQ(Read(tmp.Root() / "out.avi"), "video");
}

TEST(OutputFileTest, LeftoversOfDeadProcessesGoLiveOnesStay) {
    TempDir tmp;
    const std::string final = (tmp.Root() / "x.mp4").string();
    const std::string prefix = platform::TemporaryPrefix(final);
    const std::string dead = prefix + std::to_string(DeadPid()) + "-0badf00d.mp4";
    const std::string live = prefix + std::to_string(::getppid()) + "-00c0ffee.mp4";
    const std::string other = (tmp.Root() / ".y.mp4.trelvo-1-00000000.mp4").string();  // another name's
    for (const std::string& p : {dead, live, other}) std::ofstream(p) << "x";
    platform::COutputFile out(final);
    std::string strError;
    ASSERT_TRUE(out.Create(strError));
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_TRUE(fs::exists(other));
}

TEST(OutputFileTest, LongNamesAndMissingDirectories) {
    TempDir tmp;
    // A name at the file system's limit still gets a temporary that fits.
    const std::string strLong = std::string(251, 'n') + ".mp4";
    platform::COutputFile out((tmp.Root() / strLong).string());
    std::string strError;
    ASSERT_TRUE(out.Create(strError)) << strError;
    std::ofstream(out.TempPath()) << "v";
    ASSERT_TRUE(out.Commit(strError)) << strError;
    EXPECT_TRUE(fs::exists(tmp.Root() / strLong));

    platform::COutputFile nowhere((tmp.Root() / "no/such/dir/x.mp4").string());
    EXPECT_FALSE(nowhere.Create(strError));
    EXPECT_EQ(strError, "No such file or directory");
}

}  // namespace
