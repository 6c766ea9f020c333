// Preloaded (LD_PRELOAD) into the runner's front end by its tests to hold a call open, so that a
// signal can be sent at a moment the run would otherwise pass in microseconds:
// FANRUN_SHIM_MKDIR=PATH  mkdir creates PATH, then waits half a second before it makes the folder;
// FANRUN_SHIM_CLONE_MS=N  every clone waits N milliseconds first, so a burst of starts lasts long;
// FANRUN_SHIM_POLL=PATH   poll and ppoll create PATH, then wait 300 ms before they block, so that a
//                         signal can come between a look at a flag and the wait.
// The waits go on through signals, as a slow file system or a loaded machine would.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <ctime>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

void pause(long milliseconds) {
    struct timespec left {
        milliseconds / 1000, (milliseconds % 1000) * 1000000L
    };
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Creates mark, if set, and holds the caller for milliseconds; errno is kept.
void holdAfterMark(const char *mark, long milliseconds) {
    if (mark == nullptr) {
        return;
    }
    const int error = errno;
    const int fd = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        close(fd);
    }
    pause(milliseconds);
    errno = error;
}

} // namespace

extern "C" {

int poll(struct pollfd *fds, nfds_t count, int timeout) {
    using Poll = int (*)(struct pollfd *, nfds_t, int);
    static const auto real = reinterpret_cast<Poll>(dlsym(RTLD_NEXT, "poll"));
    holdAfterMark(getenv("FANRUN_SHIM_POLL"), 300);
    return real(fds, count, timeout);
}

int ppoll(struct pollfd *fds, nfds_t count, const struct timespec *timeout, const sigset_t *mask) {
    using Ppoll = int (*)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);
    static const auto real = reinterpret_cast<Ppoll>(dlsym(RTLD_NEXT, "ppoll"));
    holdAfterMark(getenv("FANRUN_SHIM_POLL"), 300);
    return real(fds, count, timeout, mask);
}

int mkdir(const char *path, mode_t mode) {
    using Mkdir = int (*)(const char *, mode_t);
    static const auto real = reinterpret_cast<Mkdir>(dlsym(RTLD_NEXT, "mkdir"));
    holdAfterMark(getenv("FANRUN_SHIM_MKDIR"), 500);
    return real(path, mode);
}

int clone(int (*function)(void *), void *stack, int flags, void *argument, ...) {
    using Clone = int (*)(int (*)(void *), void *, int, void *, ...);
    static const auto real = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "clone"));
    const char *delay = getenv("FANRUN_SHIM_CLONE_MS");
    if (delay != nullptr) {
        pause(strtol(delay, nullptr, 10));
    }
    // The runner passes no thread ids or thread storage, so the optional arguments stay unread.
    return real(function, stack, flags, argument);
}
}
