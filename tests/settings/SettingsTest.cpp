#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "EnvGuard.h"
#include "TempDir.h"
#include "platform/Platform.h"
#include "settings/Settings.h"

namespace fs = std::filesystem;

namespace {

// Config.ini beside the test executable, put back as it was afterwards.
class ConfigGuard {
public:
    ConfigGuard() : m_strPath(platform::WideToNarrow(settings::ConfigPath())) {
        if (fs::exists(m_strPath)) m_saved = ReadBytes(m_strPath);
        std::error_code ec;
        fs::remove(m_strPath, ec);
    }
    ~ConfigGuard() {
        std::error_code ec;
        fs::remove(m_strPath, ec);
        if (m_saved) WriteBytes(m_strPath, *m_saved);
    }
    ConfigGuard(const ConfigGuard&) = delete;
    ConfigGuard& operator=(const ConfigGuard&) = delete;
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
    std::optional<std::string> m_saved;
};

// Runs in another working directory and comes back.
class CurrentDir {
public:
    explicit CurrentDir(const std::string& strDir) : m_old(fs::current_path()) { fs::current_path(strDir); }
    ~CurrentDir() {
        std::error_code ec;
        fs::current_path(m_old, ec);
    }
    CurrentDir(const CurrentDir&) = delete;
    CurrentDir& operator=(const CurrentDir&) = delete;

private:
    fs::path m_old;
};

size_t EntriesIn(const std::string& strDir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(strDir)) ++n;
    return n;
}

}  // namespace

TEST(SettingsConfig, LivesBesideTheExecutable) {
    EXPECT_EQ(settings::ConfigPath(), GetAppDir() + L"Config.ini");
    EXPECT_EQ(settings::ConfigSavePath(), GetAppDir() + L"Config.ini");
    EXPECT_TRUE(settings::ConfigPath().ends_with(L"/testbin/Config.ini"));
}

TEST(SettingsConfig, DefaultsWithoutConfigFile) {
    ConfigGuard guard;
    EXPECT_EQ(settings::ReadCheck(), 1);
    EXPECT_EQ(settings::ReadPath(), L"");
    EXPECT_EQ(settings::SaveDirFromConfig(L"/rec/"), L"/rec/");

    // A file with other entries only gives the same defaults.
    ASSERT_TRUE(WriteBytes(guard.Path(), "[themes]\nSolution=Deutsch\n[system2]\nCheck=0\n"));
    EXPECT_EQ(settings::ReadCheck(), 1);
    EXPECT_EQ(settings::ReadPath(), L"");
}

TEST(SettingsConfig, WrittenEntriesAreReadBack) {
    ConfigGuard guard;
    const std::string other = "; chosen by hand\n[themes]\nSolution=Deutsch\n";
    ASSERT_TRUE(WriteBytes(guard.Path(), other));

    settings::WriteSettings(false, L"/srv/vidéos/day1");
    EXPECT_EQ(ReadBytes(guard.Path()), other + "[System]\nCheck=0\nPath=/srv/vid\xC3\xA9os/day1\n");
    EXPECT_EQ(settings::ReadCheck(), 0);
    EXPECT_EQ(settings::ReadPath(), L"/srv/vidéos/day1");
    // No separator is added: the caller appends it.
    EXPECT_EQ(settings::SaveDirFromConfig(L"/rec/"), L"/srv/vidéos/day1");

    // The path is kept while the default directory is in use.
    settings::WriteSettings(true, L"/srv/other");
    EXPECT_EQ(ReadBytes(guard.Path()), other + "[System]\nCheck=1\nPath=/srv/other\n");
    EXPECT_EQ(settings::SaveDirFromConfig(L"/rec/"), L"/rec/");

    // Any value other than 0 means the source directory.
    ASSERT_TRUE(WriteBytes(guard.Path(), "[System]\nCheck=7\nPath=/p\n"));
    EXPECT_EQ(settings::SaveDirFromConfig(L"/rec/"), L"/rec/");
    ASSERT_TRUE(WriteBytes(guard.Path(), "[System]\nCheck=no\nPath=/p\n"));
    EXPECT_EQ(settings::ReadCheck(), 0);
    EXPECT_EQ(settings::SaveDirFromConfig(L"/rec/"), L"/p");
    ASSERT_TRUE(WriteBytes(guard.Path(), "[System]\nCheck=0\n"));
    EXPECT_EQ(settings::SaveDirFromConfig(L"/rec/"), L"");
}

TEST(SettingsConfig, AProgramDirectoryThatCannotBeWrittenSendsThemToTheUser) {
    ConfigGuard guard;
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    EnvGuard env;
    env.Set("XDG_CONFIG_HOME", dir.Dir());
    const std::wstring user = dir.WPath("trelvo/Config.ini");
    // A folder in Config.ini's place stops even root from writing it.
    fs::create_directory(guard.Path());
    EXPECT_EQ(settings::ConfigSavePath(), user);
    EXPECT_EQ(settings::ReadCheck(), 1);
    EXPECT_TRUE(settings::WriteSettings(false, L"/srv/rec"));
    EXPECT_EQ(ReadBytes(dir.Path("trelvo/Config.ini")), "[System]\nCheck=0\nPath=/srv/rec\n");
    EXPECT_EQ(settings::ConfigPath(), user);
    EXPECT_EQ(settings::ReadCheck(), 0);
    EXPECT_EQ(settings::SaveDirFromConfig(L"/rec/"), L"/srv/rec");

    // Nowhere to write: the failure is reported.
    ASSERT_TRUE(WriteBytes(dir.Path("file"), "x"));
    env.Set("XDG_CONFIG_HOME", dir.Path("file"));
    EXPECT_FALSE(settings::WriteSettings(true, L"/srv/rec"));
    EXPECT_EQ(settings::ConfigSavePath(), dir.WPath("file/trelvo/Config.ini"));

    // Once the program directory can be written again, it is used again.
    fs::remove(guard.Path());
    EXPECT_EQ(settings::ConfigSavePath(), settings::ConfigPath());
    EXPECT_TRUE(settings::WriteSettings(true, L"/srv/rec"));
    EXPECT_EQ(ReadBytes(guard.Path()), "[System]\nCheck=1\nPath=/srv/rec\n");
}

TEST(SettingsConfig, LongPathComesBackCutTo299) {
    ConfigGuard guard;
    const std::wstring path = L"/" + std::wstring(320, L'ü');
    settings::WriteSettings(false, path);
    EXPECT_EQ(settings::ReadPath(), path.substr(0, 299));
}

TEST(SettingsConfig, CustomControlsFollowTheCheckBox) {
    EXPECT_FALSE(settings::CustomPathEnabled(true));
    EXPECT_TRUE(settings::CustomPathEnabled(false));
}

TEST(SettingsSavePath, CreatesEveryMissingLevel) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string target = dir.Path("out/dä y/1");
    EXPECT_EQ(CreateSavePath(target), 0);
    EXPECT_TRUE(fs::is_directory(target));

    // With a final '/', the same levels; existing ones are left alone.
    ASSERT_TRUE(WriteBytes(dir.Path("out/keep.txt"), "k"));
    EXPECT_EQ(CreateSavePath(dir.Path("out/dä y/1/2/")), 0);
    EXPECT_TRUE(fs::is_directory(dir.Path("out/dä y/1/2")));
    EXPECT_EQ(ReadBytes(dir.Path("out/keep.txt")), "k");
    EXPECT_EQ(EntriesIn(dir.Dir()), 5u);

    // Doubled separators do no harm.
    EXPECT_EQ(CreateSavePath(dir.Path("a//b")), 0);
    EXPECT_TRUE(fs::is_directory(dir.Path("a/b")));

    // New levels honour the umask like any directory the user makes.
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0777u & ~mask);
}

TEST(SettingsSavePath, AFileInTheWayIsLeftAlone) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    ASSERT_TRUE(WriteBytes(dir.Path("file"), "data"));
    EXPECT_EQ(CreateSavePath(dir.Path("file")), 0);
    EXPECT_EQ(CreateSavePath(dir.Path("file/below/deeper")), 0);
    EXPECT_TRUE(fs::is_regular_file(dir.Path("file")));
    EXPECT_EQ(ReadBytes(dir.Path("file")), "data");
    // A failed level does not stop the walk; nothing else appeared.
    EXPECT_EQ(EntriesIn(dir.Dir()), 1u);
}

TEST(SettingsSavePath, BackslashIsAnOrdinaryCharacter) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    EXPECT_EQ(CreateSavePath(dir.Path("x\\y")), 0);
    EXPECT_TRUE(fs::is_directory(dir.Path("x\\y")));
    EXPECT_EQ(EntriesIn(dir.Dir()), 1u);
    // A folder-browser style path is one level, not a chain.
    EXPECT_EQ(CreateSavePath(dir.Path("C:\\rec\\day1")), 0);
    EXPECT_TRUE(fs::is_directory(dir.Path("C:\\rec\\day1")));
    EXPECT_EQ(EntriesIn(dir.Dir()), 2u);
}

TEST(SettingsSavePath, EmptyAndRelativePaths) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    CurrentDir cd(dir.Dir());
    EXPECT_EQ(CreateSavePath(""), 0);
    EXPECT_EQ(CreateSavePath("/"), 0);
    EXPECT_EQ(EntriesIn(dir.Dir()), 0u);

    EXPECT_EQ(CreateSavePath("rel/one"), 0);
    EXPECT_TRUE(fs::is_directory(dir.Path("rel/one")));
    // A C string ends at its first NUL.
    EXPECT_EQ(CreateSavePath(std::string("cut\0/away", 9)), 0);
    EXPECT_TRUE(fs::is_directory(dir.Path("cut")));
    EXPECT_EQ(EntriesIn(dir.Dir()), 3u);
}
