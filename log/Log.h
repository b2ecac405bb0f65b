// One log for the whole program: levels, and a sink the host sets. Library
// code says what happened; the host decides who reads it (stderr, a tooltip,
// nowhere). A shared library of its own, so that the parser and the AVI
// library, shared libraries themselves, log to the same sink as the host.
#pragma once

#include <cstdarg>
#include <string>

namespace trelvo::log {

enum class ELevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };

// pszModule is a short name ("mp4", "avi", "ffmpeg"); pszInput the input the
// logging thread works on ("" when none); pszText one line without its
// newline. Called on the thread that logged; must be thread-safe.
using Sink = void (*)(ELevel level, const char* pszModule, const char* pszInput, const char* pszText, void* pUser);

// Replaces the sink; null restores the default, which writes errors and
// warnings to standard error and drops the rest. Set before work starts.
void SetSink(Sink pfnSink, void* pUser);

void Write(ELevel level, const char* pszModule, const char* pszFormat, ...) __attribute__((format(printf, 3, 4)));
void WriteV(ELevel level, const char* pszModule, const char* pszFormat, va_list args);

const char* LevelName(ELevel level);

// Names the input the calling thread works on while the object lives, for
// every line it logs meanwhile. An empty name keeps the one named before (a
// loop that does not know its input's name).
class CInputScope {
public:
    explicit CInputScope(std::string strInput);
    ~CInputScope();
    CInputScope(const CInputScope&) = delete;
    CInputScope& operator=(const CInputScope&) = delete;

private:
    std::string m_strInput;
    const char* m_pszPrevious;
};

// The calling thread's input ("" when none).
const char* CurrentInput();

}  // namespace trelvo::log

#define TRELVO_LOG_ERROR(module, ...) ::trelvo::log::Write(::trelvo::log::ELevel::Error, module, __VA_ARGS__)
#define TRELVO_LOG_WARNING(module, ...) ::trelvo::log::Write(::trelvo::log::ELevel::Warning, module, __VA_ARGS__)
#define TRELVO_LOG_INFO(module, ...) ::trelvo::log::Write(::trelvo::log::ELevel::Info, module, __VA_ARGS__)
#define TRELVO_LOG_DEBUG(module, ...) ::trelvo::log::Write(::trelvo::log::ELevel::Debug, module, __VA_ARGS__)
