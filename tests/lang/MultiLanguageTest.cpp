#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "EnvGuard.h"
#include "TempDir.h"
#include "lang/MultiLanguage.h"
#include "platform/Platform.h"

namespace {

// Every key the program shows, with the text it falls back to.
const std::vector<std::pair<std::wstring, std::wstring>> kKeys = {
    {L"Trelvo.Trelvo", L"Trelvo"},
    {L"Trelvo.Format", L"Format"},
    {L"AVI", L"AVI"},
    {L"MP4", L"MP4"},
    {L"Trelvo.Open", L"Open"},
    {L"Trelvo.Clear", L"Clear"},
    {L"Trelvo.Conver", L"Conver"},
    {L"Trelvo.Config", L"Config"},
    {L"Trelvo.NO", L"NO"},
    {L"Trelvo.FileName", L"FileName"},
    {L"Trelvo.Size", L"Size"},
    {L"Trelvo.Progress", L"Progress"},
    {L"Trelvo.Destribe", L"Destribe"},
    {L"Ambrel.Prompt", L"Prompt"},
    {L"Trelvo.SelectFile", L"SelectFile"},
    {L"Trelvo.Success", L"Success"},
    {L"Trelvo.Fail", L"Fail"},
    {L"Trelvo.SavePath", L"SavePath"},
    {L"Trelvo.DefaultPath", L"DefaultPath"},
    {L"Trelvo.CustomPath", L"CustomPath"},
    {L"Ambrel.OK", L"OK"},
    {L"Ambrel.Cancel", L"Cancel"},
    {L"Trelvo.SaveFailed", L"SaveFailed"},
    {L"Trelvo.ReasonOpenInput", L"ReasonOpenInput"},
    {L"Trelvo.ReasonReadInput", L"ReasonReadInput"},
    {L"Trelvo.ReasonNotRecorderStream", L"ReasonNotRecorderStream"},
    {L"Trelvo.ReasonUnsupportedVideo", L"ReasonUnsupportedVideo"},
    {L"Trelvo.ReasonNoKeyFrame", L"ReasonNoKeyFrame"},
    {L"Trelvo.ReasonWriteOutput", L"ReasonWriteOutput"},
    {L"Trelvo.ReasonSameFile", L"ReasonSameFile"},
    {L"Trelvo.ReasonNameUsed", L"ReasonNameUsed"},
    {L"Trelvo.ReasonStopped", L"ReasonStopped"},
    {L"Trelvo.ReasonInputChanged", L"ReasonInputChanged"},
    {L"Trelvo.ReasonNotRegularFile", L"ReasonNotRegularFile"},
    {L"Trelvo.ReasonCodecChanged", L"ReasonCodecChanged"},
    {L"Trelvo.ReasonAudioLeftOut", L"ReasonAudioLeftOut"},
    {L"Trelvo.ReasonInternal", L"ReasonInternal"},
    {L"Trelvo.ReasonEmptyInput", L"ReasonEmptyInput"},
    {L"Trelvo.ReasonOtherFile", L"ReasonOtherFile"},
    {L"Trelvo.File.mp4", L"File.mp4"},
    {L"Trelvo.File.matroska", L"File.matroska"},
    {L"Trelvo.File.avi", L"File.avi"},
    {L"Trelvo.File.flv", L"File.flv"},
    {L"Trelvo.File.ivf", L"File.ivf"},
    {L"Trelvo.File.wav", L"File.wav"},
    {L"Trelvo.File.jpeg", L"File.jpeg"},
    {L"Trelvo.File.png", L"File.png"},
    {L"Trelvo.File.ogg", L"File.ogg"},
    {L"Trelvo.File.mpeg-audio", L"File.mpeg-audio"},
    {L"Trelvo.File.adts", L"File.adts"},
    {L"Trelvo.File.asf", L"File.asf"},
    {L"Trelvo.File.flac", L"File.flac"},
    {L"Trelvo.File.gif", L"File.gif"},
    {L"Trelvo.File.riff", L"File.riff"},
    {L"Trelvo.MoreFailed", L"MoreFailed"},
    {L"Trelvo.Stop", L"Stop"},
    {L"Trelvo.Stopped", L"Stopped"},
    {L"Trelvo.StatusFiles", L"StatusFiles"},
    {L"Trelvo.StatusSpeed", L"StatusSpeed"},
    {L"Trelvo.StatusLeft", L"StatusLeft"},
    {L"Trelvo.StatusStopping", L"StatusStopping"},
    {L"Trelvo.StatusDone", L"StatusDone"},
    {L"Trelvo.StatusStopped", L"StatusStopped"},
    {L"Trelvo.AskStopClose", L"AskStopClose"},
    {L"Trelvo.OutputTip", L"OutputTip"},
    {L"Trelvo.OpenFolder", L"OpenFolder"},
    {L"Trelvo.PlayOutput", L"PlayOutput"},
    {L"Trelvo.FailAdvice", L"FailAdvice"},
    {L"Trelvo.FilterElementary", L"FilterElementary"},
    {L"Trelvo.FilterProgram", L"FilterProgram"},
    {L"Trelvo.FilterTransport", L"FilterTransport"},
    {L"Trelvo.FilterAll", L"FilterAll"},
    {L"Trelvo.FolderNotWritable", L"FolderNotWritable"},
    {L"Trelvo.FolderEmpty", L"FolderEmpty"},
    {L"Trelvo.FolderMissing", L"FolderMissing"},
    {L"Trelvo.FolderNotFolder", L"FolderNotFolder"},
    {L"Trelvo.FolderNoPermission", L"FolderNoPermission"},
    {L"Trelvo.FolderReadOnly", L"FolderReadOnly"},
    {L"Trelvo.Locale", L"Locale"},
};

std::wstring W(const std::string& s) {
    return platform::NarrowToWide(s);
}

}  // namespace

TEST(LangText, FallbackBeforeAnyLanguageIsChosen) {
    for (const auto& [key, fallback] : kKeys) EXPECT_EQ(CMultiLanguage::GetText(key), fallback);
}

TEST(LangText, WithoutAnyFileEveryKeyShowsItsFallback) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    CMultiLanguage::LoadLanguage(dir.WDir());
    for (const auto& [key, fallback] : kKeys) EXPECT_EQ(CMultiLanguage::GetText(key), fallback);
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.a.b.c"), L"a.b.c");
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo."), L"");
    EXPECT_EQ(CMultiLanguage::GetText(L".x"), L"x");
    EXPECT_EQ(CMultiLanguage::GetText(L"NoDot"), L"NoDot");
    EXPECT_EQ(CMultiLanguage::GetText(L""), L"");
}

TEST(LangText, EmptyChoiceMeansEnglish) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    ASSERT_TRUE(WriteBytes(dir.Path("English.lang"), "[String]\nTrelvo.Open=Open files\n"));
    ASSERT_TRUE(WriteBytes(dir.Path("Config.ini"), "[themes]\nSolution=\n"));
    CMultiLanguage::LoadLanguage(dir.WDir());
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Open"), L"Open files");

    // No Config.ini at all.
    ASSERT_TRUE(std::filesystem::remove(dir.Path("Config.ini")));
    CMultiLanguage::LoadLanguage(dir.WDir());
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Open"), L"Open files");
}

TEST(LangText, ChoiceSelectsTheFileAndIsCutTo63Characters) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    ASSERT_TRUE(WriteBytes(dir.Path("English.lang"), "[String]\nTrelvo.Open=English\n"));
    ASSERT_TRUE(WriteBytes(dir.Path("Klingon.lang"), "[String]\nTrelvo.Open=Klingon\n"));
    ASSERT_TRUE(WriteBytes(dir.Path("Config.ini"), "[Themes]\n  solution =  Klingon \n"));
    CMultiLanguage::LoadLanguage(dir.WDir());
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Open"), L"Klingon");

    // The choice is used as it stands, even when no such file exists.
    ASSERT_TRUE(WriteBytes(dir.Path("Config.ini"), "[themes]\nSolution=Missing\n"));
    CMultiLanguage::LoadLanguage(dir.WDir());
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Open"), L"Open");

    const std::string cut(63, 'L');
    ASSERT_TRUE(WriteBytes(dir.Path(cut + ".lang"), "[String]\nTrelvo.Open=cut choice\n"));
    ASSERT_TRUE(WriteBytes(dir.Path("Config.ini"), "[themes]\nSolution=" + cut + "XYZ\n"));
    CMultiLanguage::LoadLanguage(dir.WDir());
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Open"), L"cut choice");
}

TEST(LangText, ChoiceFollowsTheUsersConfigWhenTheProgramDirectoryIsReadOnly) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    EnvGuard env;
    env.Set("XDG_CONFIG_HOME", dir.Path("cfg"));
    ASSERT_TRUE(WriteBytes(dir.Path("Deutsch.lang"), "[String]\nTrelvo.Open=Deutsch\n"));
    ASSERT_TRUE(WriteBytes(dir.Path("Config.ini"), "[themes]\nSolution=Deutsch\n"));
    ASSERT_TRUE(platform::MakeUserDir(W(dir.Path("cfg/trelvo"))));
    ASSERT_TRUE(WriteBytes(dir.Path("cfg/trelvo/Config.ini"), "[themes]\nSolution=English\n"));
    // The program directory's file is in use while it can be written.
    CMultiLanguage::LoadLanguage(dir.WDir());
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Open"), L"Deutsch");

    ASSERT_TRUE(std::filesystem::remove(dir.Path("Config.ini")));
    std::filesystem::create_directory(dir.Path("Config.ini"));
    ASSERT_TRUE(WriteBytes(dir.Path("cfg/trelvo/Config.ini"), "[themes]\nSolution=Deutsch\n"));
    CMultiLanguage::LoadLanguage(dir.WDir());
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Open"), L"Deutsch");
    ASSERT_TRUE(WriteBytes(dir.Path("cfg/trelvo/Config.ini"), "[themes]\nSolution=English\n"));
    CMultiLanguage::LoadLanguage(dir.WDir());
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Open"), L"Open");
}

TEST(LangText, EntriesAreReadFromTheStringSectionOnly) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string longText(350, 'z');
    ASSERT_TRUE(WriteBytes(dir.Path("English.lang"),
                           "\xEF\xBB\xBF[Other]\r\n"
                           "Trelvo.Size=wrong section\r\n"
                           "[string]\r\n"
                           "trelvo.fail = Failed \r\n"
                           "Trelvo.Success=\r\n"
                           "Trelvo.a.b.c=\r\n"
                           "Trelvo.Long=" +
                               longText +
                               "\r\n"
                               "NoDot=Without dot\r\n"));
    CMultiLanguage::LoadLanguage(dir.WDir());
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Fail"), L"Failed");
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Size"), L"Size");        // other section
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Success"), L"Success");  // empty value
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.a.b.c"), L"a.b.c");
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Long"), std::wstring(299, L'z'));
    EXPECT_EQ(CMultiLanguage::GetText(L"NoDot"), L"Without dot");
}

TEST(LangText, ManyThreadsTranslateAtOnce) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    std::string content = "[String]\n";
    for (size_t i = 0; i < kKeys.size(); i += 2)  // every other key translated
        content += platform::WideToNarrow(kKeys[i].first) + "=T" + std::to_string(i) + "\n";
    ASSERT_TRUE(WriteBytes(dir.Path("English.lang"), content));
    CMultiLanguage::LoadLanguage(dir.WDir());

    std::vector<int> wrong(8, 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < wrong.size(); ++t) {
        threads.emplace_back([&wrong, t] {
            for (size_t i = 0; i < 500; ++i) {
                const size_t k = (i * 7 + t) % kKeys.size();
                const std::wstring expected = (k % 2 == 0) ? L"T" + std::to_wstring(k) : kKeys[k].second;
                if (CMultiLanguage::GetText(kKeys[k].first) != expected) ++wrong[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int w : wrong) EXPECT_EQ(w, 0);
}

namespace {

// Keys of the [String] section of a shipped language file, in file order.
std::vector<std::string> KeysOf(const std::string& strContent) {
    std::vector<std::string> keys;
    std::istringstream in(strContent);
    std::string line;
    bool inString = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[')
            inString = line.rfind("[String]", 0) == 0;
        else if (inString && line.find('=') != std::string::npos)
            keys.push_back(line.substr(0, line.find('=')));
    }
    return keys;
}

void CheckShippedLanguage(const std::string& strName) {
    SCOPED_TRACE(strName);
    const std::string dir = std::string(TRELVO_BIN_DIR) + "/";
    const std::string content = ReadBytes(dir + strName + ".lang");
    ASSERT_FALSE(content.empty());
    // Byte for byte the file in the source tree: the build copied it.
    EXPECT_EQ(content, ReadBytes(std::string(TRELVO_SOURCE_DIR) + "/lang/" + strName + ".lang"));

    std::set<std::wstring> known;
    for (const auto& entry : kKeys) known.insert(entry.first);
    std::set<std::string> seen;
    for (const std::string& key : KeysOf(content)) {
        EXPECT_TRUE(known.count(W(key))) << "unknown key " << key;
        EXPECT_TRUE(seen.insert(key).second) << "duplicate key " << key;
    }
    for (const auto& [key, fallback] : kKeys) {
        const std::wstring text = platform::GetProfileString(L"String", key, L"", 300, W(dir + strName + ".lang"));
        EXPECT_FALSE(text.empty()) << platform::WideToNarrow(key);
        // Valid UTF-8 throughout: no byte needed a stand-in.
        EXPECT_EQ(platform::DisplayText(text), text) << platform::WideToNarrow(key);
        EXPECT_EQ(text.find(L'\xFFFD'), std::wstring::npos) << platform::WideToNarrow(key);
    }
}

}  // namespace

TEST(LangShipped, EnglishHasEveryKey) {
    CheckShippedLanguage("English");
    CMultiLanguage::LoadLanguage(W(std::string(TRELVO_BIN_DIR) + "/"));
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Conver"), L"&Convert");
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Destribe"), L"Result");
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.SelectFile"), L"Please tick at least one file to convert.");
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.ReasonNotRecorderStream"),
              L"not a recorder stream (no H.264/H.265 video found)");
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.SaveFailed"), L"The settings could not be saved to %1.");
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.MoreFailed"), L"and %1 more");
}

TEST(LangShipped, GermanHasEveryKeyAndDiffers) {
    CheckShippedLanguage("Deutsch");
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string bin = std::string(TRELVO_BIN_DIR) + "/";
    ASSERT_TRUE(WriteBytes(dir.Path("Deutsch.lang"), ReadBytes(bin + "Deutsch.lang")));
    ASSERT_TRUE(WriteBytes(dir.Path("Config.ini"), "[themes]\nSolution=Deutsch\n"));
    CMultiLanguage::LoadLanguage(dir.WDir());
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Open"), L"Ö&ffnen");
    EXPECT_EQ(CMultiLanguage::GetText(L"Trelvo.Size"), L"Größe");
    EXPECT_EQ(CMultiLanguage::GetText(L"Ambrel.Cancel"), L"Abbrechen");

    // Translated, not copied: only names, units and words German shares
    // differ not ("Format" differs in its access key alone).
    const std::set<std::wstring> same = {L"AVI", L"MP4", L"Ambrel.OK", L"Trelvo.StatusSpeed"};
    const std::wstring english = W(bin + "English.lang");
    for (const auto& [key, fallback] : kKeys) {
        const std::wstring text = CMultiLanguage::GetText(key);
        EXPECT_EQ(text == platform::GetProfileString(L"String", key, L"", 300, english), same.count(key) == 1)
            << platform::WideToNarrow(key);
    }
    // The place a failed save names and the count of failed files not
    // listed are filled in.
    EXPECT_NE(CMultiLanguage::GetText(L"Trelvo.SaveFailed").find(L"%1"), std::wstring::npos);
    EXPECT_NE(CMultiLanguage::GetText(L"Trelvo.MoreFailed").find(L"%1"), std::wstring::npos);
}
