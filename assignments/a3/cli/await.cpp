// The stop signals are blocked from the look at the note until ppoll() opens them with the mask
// it sleeps under: a signal that came in between is then delivered as the sleep begins, and ends
// it, where a plain poll() after the look would sleep on.
#include "await.h"

#include <ctime>
#include <initializer_list>

#include <poll.h>

namespace fanrun_cli {

Awaited awaitInput(int fd, int64_t timeoutMs, const volatile sig_atomic_t *stop) {
    sigset_t stops;
    sigset_t before;
    sigemptyset(&stops);
    for (int signum : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stops, signum);
    }
    sigprocmask(SIG_BLOCK, &stops, &before);
    Awaited result = Awaited::stopped;
    if (*stop == 0) {
        const timespec timeout{static_cast<time_t>(timeoutMs / 1000),
                               static_cast<long>(timeoutMs % 1000 * 1000000)};
        pollfd ready{fd, POLLIN, 0};
        const int got = ppoll(fd >= 0 ? &ready : nullptr, fd >= 0 ? 1 : 0,
                              timeoutMs < 0 ? nullptr : &timeout, &before);
        result = *stop != 0 ? Awaited::stopped : got == 0 ? Awaited::timedOut : Awaited::ready;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return result;
}

} // namespace fanrun_cli
