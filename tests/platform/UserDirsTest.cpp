// Per-user directories and the choice of the settings file an installed
// program reads and writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "EnvGuard.h"
#include "TempDir.h"
#include "platform/Platform.h"

namespace fs = std::filesystem;

TEST(PlatformUserDirs, FollowTheXdgVariablesElseTheHomeDirectory) {
    EnvGuard env;
    env.Set("HOME", "/home/ana").Set("XDG_CONFIG_HOME", "/cfg").Set("XDG_STATE_HOME", "/var/st/");
    EXPECT_EQ(platform::GetUserConfigDir(), L"/cfg/trelvo/");
    EXPECT_EQ(platform::GetUserStateDir(), L"/var/st/trelvo/");

    // Unset, empty and relative values all mean the default under HOME.
    env.Set("XDG_CONFIG_HOME", nullptr).Set("XDG_STATE_HOME", "");
    EXPECT_EQ(platform::GetUserConfigDir(), L"/home/ana/.config/trelvo/");
    EXPECT_EQ(platform::GetUserStateDir(), L"/home/ana/.local/state/trelvo/");
    env.Set("XDG_CONFIG_HOME", "relative/cfg").Set("HOME", "/home/ana/");
    EXPECT_EQ(platform::GetUserConfigDir(), L"/home/ana/.config/trelvo/");

    // Without HOME, the account's home directory.
    env.Set("HOME", nullptr);
    const std::wstring dir = platform::GetUserConfigDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.front(), L'/');
    EXPECT_TRUE(dir.ends_with(L"/.config/trelvo/"));
}

TEST(PlatformUserDirs, WhatCanBeWrittenAndMakingPrivateLevels) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    ASSERT_TRUE(WriteBytes(dir.Path("file"), "x"));
    fs::create_directory(dir.Path("folder"));
    fs::create_symlink(dir.Path("file"), dir.Path("link"));
    fs::create_symlink(dir.Path("none"), dir.Path("dangling"));
    EXPECT_TRUE(platform::CanWriteFile(dir.WPath("file")));
    EXPECT_TRUE(platform::CanWriteFile(dir.WPath("link")));
    EXPECT_TRUE(platform::CanWriteFile(dir.WPath("new")));
    EXPECT_FALSE(platform::CanWriteFile(dir.WPath("folder")));
    EXPECT_FALSE(platform::CanWriteFile(dir.WPath("dangling")));
    EXPECT_FALSE(platform::CanWriteFile(dir.WPath("missing/new")));
    EXPECT_FALSE(platform::CanWriteFile(dir.WPath("file/new")));

    EXPECT_TRUE(platform::MakeUserDir(dir.WPath("a/b/c/")));
    struct stat st {};
    ASSERT_EQ(::stat(dir.Path("a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(platform::MakeUserDir(dir.WPath("a/b/c")));  // already there
    EXPECT_FALSE(platform::MakeUserDir(dir.WPath("file/below")));
}

TEST(PlatformSettingsFile, BesideTheProgramWhileWritableElseTheUsers) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    fs::create_directory(dir.Path("prog"));
    EnvGuard env;
    env.Set("XDG_CONFIG_HOME", dir.Path("cfg"));
    const std::wstring prog = dir.WPath("prog/");
    const std::wstring beside = prog + L"Config.ini";
    const std::wstring user = dir.WPath("cfg/trelvo/Config.ini");

    // A writable program directory: its file, whether or not it exists yet,
    // and even when the user has one too (the one in use wins).
    EXPECT_EQ(platform::SettingsFileToWrite(prog, L"Config.ini"), beside);
    EXPECT_EQ(platform::SettingsFileToRead(prog, L"Config.ini"), beside);
    EXPECT_EQ(platform::PrepareSettingsFile(prog, L"Config.ini"), beside);
    EXPECT_FALSE(fs::exists(dir.Path("cfg")));
    ASSERT_TRUE(platform::MakeUserDir(dir.WPath("cfg/trelvo")));
    ASSERT_TRUE(WriteBytes(dir.Path("cfg/trelvo/Config.ini"), "[S]\nk=user\n"));
    EXPECT_EQ(platform::SettingsFileToRead(prog, L"Config.ini"), beside);

    // Something in the way that no permission can lift, even for root: the
    // user's file is read and written.
    fs::create_directory(dir.Path("prog/Config.ini"));
    EXPECT_EQ(platform::SettingsFileToWrite(prog, L"Config.ini"), user);
    EXPECT_EQ(platform::SettingsFileToRead(prog, L"Config.ini"), user);
    EXPECT_EQ(platform::PrepareSettingsFile(prog, L"Config.ini"), user);
    ASSERT_TRUE(platform::WriteProfileString(L"S", L"k", L"saved", user));
    EXPECT_EQ(ReadBytes(dir.Path("cfg/trelvo/Config.ini")), "[S]\nk=saved\n");

    // Before the user has a file, the user's folder is made on the way.
    fs::remove_all(dir.Path("cfg"));
    EXPECT_EQ(platform::SettingsFileToRead(prog, L"Config.ini"), beside);
    EXPECT_EQ(platform::PrepareSettingsFile(prog, L"Config.ini"), user);
    EXPECT_TRUE(fs::is_directory(dir.Path("cfg/trelvo")));
    EXPECT_FALSE(fs::exists(dir.Path("cfg/trelvo/Config.ini")));  // a folder is no file to copy
    ASSERT_TRUE(platform::WriteProfileString(L"S", L"k", L"again", user));
    EXPECT_EQ(platform::GetProfileString(L"S", L"k", L"", 64, platform::SettingsFileToRead(prog, L"Config.ini")),
              L"again");

    // No user directory can be made: the write fails where it was meant to go.
    ASSERT_TRUE(WriteBytes(dir.Path("blocker"), "x"));
    env.Set("XDG_CONFIG_HOME", dir.Path("blocker"));
    const std::wstring blocked = platform::PrepareSettingsFile(prog, L"Config.ini");
    EXPECT_EQ(blocked, dir.WPath("blocker/trelvo/Config.ini"));
    EXPECT_FALSE(platform::WriteProfileString(L"S", L"k", L"v", blocked));
}

TEST(PlatformSettingsFile, ReadOnlyProgramDirectoryLendsItsFileToTheUsersFirstSave) {
    if (::geteuid() == 0) GTEST_SKIP() << "running as root, where directory permissions do not bite";
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    fs::create_directory(dir.Path("prog"));
    ASSERT_TRUE(WriteBytes(dir.Path("prog/Config.ini"), "; by the administrator\n[themes]\nSolution=Deutsch\n"));
    fs::permissions(dir.Path("prog"), fs::perms::owner_read | fs::perms::owner_exec);
    EnvGuard env;
    env.Set("XDG_CONFIG_HOME", dir.Path("cfg"));
    const std::wstring prog = dir.WPath("prog/");
    const std::wstring user = dir.WPath("cfg/trelvo/Config.ini");

    EXPECT_EQ(platform::SettingsFileToWrite(prog, L"Config.ini"), user);
    EXPECT_EQ(platform::SettingsFileToRead(prog, L"Config.ini"), prog + L"Config.ini");
    ASSERT_EQ(platform::PrepareSettingsFile(prog, L"Config.ini"), user);
    ASSERT_TRUE(platform::WriteProfileString(L"System", L"Check", L"0", user));
    EXPECT_EQ(ReadBytes(dir.Path("cfg/trelvo/Config.ini")),
              "; by the administrator\n[themes]\nSolution=Deutsch\n[System]\nCheck=0\n");
    EXPECT_EQ(platform::SettingsFileToRead(prog, L"Config.ini"), user);
    fs::permissions(dir.Path("prog"), fs::perms::owner_all);
}

// An installed program directory is never written, however writable (root
// runs here too): the administrator's file is read until the user saves.
TEST(PlatformSettingsFile, AnInstalledProgramDirectoryIsNeverWritten) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    fs::create_directory(dir.Path("prog"));
    ASSERT_TRUE(WriteBytes(dir.Path("prog/installed"), "an install\n"));
    ASSERT_TRUE(WriteBytes(dir.Path("prog/Config.ini"), "[themes]\nSolution=Deutsch\n"));
    EnvGuard env;
    env.Set("XDG_CONFIG_HOME", dir.Path("cfg"));
    const std::wstring prog = dir.WPath("prog/");
    const std::wstring user = dir.WPath("cfg/trelvo/Config.ini");
    EXPECT_TRUE(platform::IsInstalledProgramDir(prog));
    EXPECT_EQ(platform::SettingsFileToWrite(prog, L"Config.ini"), user);
    EXPECT_EQ(platform::SettingsFileToRead(prog, L"Config.ini"), prog + L"Config.ini");
    ASSERT_EQ(platform::PrepareSettingsFile(prog, L"Config.ini"), user);
    ASSERT_TRUE(platform::WriteProfileString(L"System", L"Check", L"0", user));
    EXPECT_EQ(ReadBytes(dir.Path("prog/Config.ini")), "[themes]\nSolution=Deutsch\n");
    EXPECT_EQ(ReadBytes(dir.Path("cfg/trelvo/Config.ini")), "[themes]\nSolution=Deutsch\n[System]\nCheck=0\n");
}
