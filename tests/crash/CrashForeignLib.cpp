// A module loaded with dlopen that tries to take the fatal signals over.
#include <csignal>
#include <initializer_list>

extern "C" int ForeignTakeFatalSignals() {
    struct sigaction act {};
    act.sa_handler = SIG_DFL;
    struct sigaction old {};
    int nTaken = 0;
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        sigaction(s, &act, &old);
        sigaction(s, nullptr, &old);
        if (old.sa_handler == SIG_DFL) ++nTaken;
    }
    if (std::signal(SIGSEGV, SIG_IGN) == SIG_ERR) ++nTaken;
    return nTaken;
}
