#include "log/Log.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

namespace trelvo::log {

namespace {

void DefaultSink(ELevel level, const char* pszModule, const char* pszInput, const char* pszText, void*) {
    if (level > ELevel::Warning) return;
    if (*pszInput != '\0') std::fprintf(stderr, "%s: ", pszInput);
    std::fprintf(stderr, "%s: %s: %s\n", pszModule, LevelName(level), pszText);
}

thread_local const char* t_pszInput = "";

// The pair is copied under the lock and called outside it, so a sink may log.
std::mutex g_mutex;
Sink g_pfnSink = DefaultSink;
void* g_pUser = nullptr;

}  // namespace

const char* LevelName(ELevel level) {
    switch (level) {
        case ELevel::Error:
            return "error";
        case ELevel::Warning:
            return "warning";
        case ELevel::Info:
            return "info";
        case ELevel::Debug:
            return "debug";
    }
    return "?";
}

void SetSink(Sink pfnSink, void* pUser) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pfnSink = pfnSink ? pfnSink : DefaultSink;
    g_pUser = pfnSink ? pUser : nullptr;
}

void WriteV(ELevel level, const char* pszModule, const char* pszFormat, va_list args) {
    char szText[1024];
    std::vsnprintf(szText, sizeof szText, pszFormat, args);
    // One line each: a trailing newline is the caller's habit, not content.
    size_t n = std::strlen(szText);
    while (n > 0 && (szText[n - 1] == '\n' || szText[n - 1] == '\r' || szText[n - 1] == ' ')) szText[--n] = '\0';
    Sink pfn = nullptr;
    void* pUser = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        pfn = g_pfnSink;
        pUser = g_pUser;
    }
    pfn(level, pszModule ? pszModule : "", t_pszInput, szText, pUser);
}

CInputScope::CInputScope(std::string strInput) : m_strInput(std::move(strInput)), m_pszPrevious(t_pszInput) {
    if (!m_strInput.empty()) t_pszInput = m_strInput.c_str();
}

CInputScope::~CInputScope() {
    t_pszInput = m_pszPrevious;
}

const char* CurrentInput() {
    return t_pszInput;
}

void Write(ELevel level, const char* pszModule, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    WriteV(level, pszModule, pszFormat, args);
    va_end(args);
}

}  // namespace trelvo::log
