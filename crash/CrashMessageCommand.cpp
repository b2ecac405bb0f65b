#include "CrashMessageCommand.h"

#include "CrashHandler.h"
#include "SignalSafeIo.h"

#include <linux/limits.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern "C" {
extern char** environ;
}

namespace {

using crash::StrLen;

// The message command, built in one of two slots and published atomically so
// that a crash during a change still sees a whole command.
struct CCommandSlot {
    char szPath[PATH_MAX];
    char arena[8192];
    char* argv[33];
};
std::mutex g_commandMutex;
CCommandSlot g_commandSlots[2];
int g_nNextCommandSlot = 0;
std::atomic<CCommandSlot*> g_pMessageCommand{nullptr};

}  // namespace

namespace crash {

void StartMessageCommand(const char* szDumpPath) {
    CCommandSlot* pCommand = g_pMessageCommand.load();
    if (pCommand == nullptr) return;
    constexpr size_t nSlots = sizeof(pCommand->argv) / sizeof(pCommand->argv[0]);
    char* argv[nSlots + 1];
    size_t nArgs = 0;
    for (; pCommand->argv[nArgs] != nullptr; ++nArgs) argv[nArgs] = pCommand->argv[nArgs];
    if (szDumpPath != nullptr) argv[nArgs++] = const_cast<char*>(szDumpPath);
    argv[nArgs] = nullptr;
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
    pid_t pid = _Fork();  // unlike fork, runs no atfork handlers
#else
    pid_t pid = fork();
#endif
    if (pid == 0) {
        // The handler's blocked signals would carry over into the new program.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(pCommand->szPath, argv, environ);
        _exit(127);
    }
    // Not waited for: the process ends now, the command outlives it.
}

}  // namespace crash

void SetCrashMessageCommand(const char* const argv[]) {
    std::lock_guard<std::mutex> lock(g_commandMutex);
    if (argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') {
        g_pMessageCommand = nullptr;
        return;
    }
    CCommandSlot& slot = g_commandSlots[g_nNextCommandSlot];
    // The program: a path as given, or a name found in PATH now, since a
    // search in the handler is not possible.
    slot.szPath[0] = '\0';
    if (strchr(argv[0], '/') != nullptr) {
        if (StrLen(argv[0]) >= sizeof(slot.szPath)) return;
        memcpy(slot.szPath, argv[0], StrLen(argv[0]) + 1);
    } else {
        const char* szSearch = getenv("PATH");
        while (szSearch != nullptr && *szSearch != '\0' && slot.szPath[0] == '\0') {
            const char* szColon = strchr(szSearch, ':');
            size_t nDir = szColon != nullptr ? static_cast<size_t>(szColon - szSearch) : StrLen(szSearch);
            char szCandidate[PATH_MAX];
            if (nDir > 0 && nDir + 1 + StrLen(argv[0]) < sizeof(szCandidate)) {
                memcpy(szCandidate, szSearch, nDir);
                szCandidate[nDir] = '/';
                memcpy(szCandidate + nDir + 1, argv[0], StrLen(argv[0]) + 1);
                if (access(szCandidate, X_OK) == 0) memcpy(slot.szPath, szCandidate, StrLen(szCandidate) + 1);
            }
            szSearch = szColon != nullptr ? szColon + 1 : nullptr;
        }
        if (slot.szPath[0] == '\0') {
            g_pMessageCommand = nullptr;
            return;
        }
    }
    size_t nUsed = 0;
    size_t nArgs = 0;
    for (; argv[nArgs] != nullptr; ++nArgs) {
        size_t n = StrLen(argv[nArgs]) + 1;
        if (nArgs + 1 >= sizeof(slot.argv) / sizeof(slot.argv[0]) || nUsed + n > sizeof(slot.arena)) {
            g_pMessageCommand = nullptr;
            return;
        }
        memcpy(slot.arena + nUsed, argv[nArgs], n);
        slot.argv[nArgs] = slot.arena + nUsed;
        nUsed += n;
    }
    slot.argv[nArgs] = nullptr;
    g_pMessageCommand = &slot;
    g_nNextCommandSlot ^= 1;
}
