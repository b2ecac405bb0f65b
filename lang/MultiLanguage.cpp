#include "MultiLanguage.h"

#include <mutex>

#include "platform/Platform.h"

namespace {

// Set once at start-up; the lock only guards against a later reload racing
// with readers (tests load several languages in one process).
std::mutex g_mutexLanguage;
std::wstring g_strLanguageFile;

std::wstring LanguageFile() {
    std::lock_guard<std::mutex> lock(g_mutexLanguage);
    return g_strLanguageFile;
}

constexpr size_t kChoiceChars = 64;
constexpr size_t kTextChars = 300;

}  // namespace

void CMultiLanguage::LoadLanguage(const std::wstring& strProgramDir) {
    // The same Config.ini as the settings: the user's once the program
    // directory cannot be written.
    const std::wstring strConfig = platform::SettingsFileToRead(strProgramDir, L"Config.ini");
    std::wstring strChoice = platform::GetProfileString(L"themes", L"Solution", L"", kChoiceChars, strConfig);
    if (strChoice.empty()) strChoice = L"English";
    std::lock_guard<std::mutex> lock(g_mutexLanguage);
    g_strLanguageFile = strProgramDir + strChoice + L".lang";
}

std::wstring CMultiLanguage::GetText(std::wstring strKey) {
    const std::wstring strFile = LanguageFile();
    if (!strFile.empty()) {
        std::wstring strText = platform::GetProfileString(L"String", strKey, L"", kTextChars, strFile);
        if (!strText.empty()) return strText;
    }
    const size_t dot = strKey.find(L'.');
    if (dot == std::wstring::npos) return strKey;
    return strKey.substr(dot + 1);
}
