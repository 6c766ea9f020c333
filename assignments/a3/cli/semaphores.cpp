// The semaphore's places and the one command that holds one.
//
// Places are the files place-1 ... place-N in the folder of the id, inside the user's semaphore
// folder ($XDG_RUNTIME_DIR/fanrun, else /tmp/fanrun-UID). A place is held by an exclusive flock
// on its file; the descriptor goes to the command and everything it starts, so the place is given
// back by the kernel only when the last of them has ended, whatever ended it: commands of one id
// never exceed N, also when fanrun itself is killed. Waiting is on inotify's close events of the
// folder: every place is tried without blocking, and tried again only after some file in the
// folder was closed, as a holder's end closes its descriptor, so a waiter takes whichever place
// frees first, and never spins.

#include "semaphores.h"

#include "await.h"

#include "fanrun.h"
#include "fanrun_params.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

constexpr const char *defaultId = "default";

// Without inotify, the places are tried this often (milliseconds).
constexpr int fallbackPollMs = 100;

int64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The folder name in at, made if missing, opened without following a link, and accepted only as
// a folder of this user that no one else may enter; else -1 with why.
int ownFolder(int at, const char *name, const std::string &shown, std::string &why) {
    if (mkdirat(at, name, 0700) != 0 && errno != EEXIST) {
        why = "cannot create " + shown + ": " + strerror(errno);
        return -1;
    }
    const int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (fd < 0) {
        why = shown + (errno == ELOOP || errno == ENOTDIR ? " is a symbolic link or not a folder"
                                                          : std::string(": ") + strerror(errno));
    } else if (fstat(fd, &status) != 0) {
        why = shown + ": " + strerror(errno);
    } else if (status.st_uid != geteuid()) {
        why = shown + " belongs to another user";
    } else if ((status.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(status.st_mode & 0777));
        why = shown + " is open to other users (mode " + mode + ")";
    } else {
        return fd;
    }
    if (fd >= 0) {
        close(fd);
    }
    return -1;
}

// The folder of the id's places, and its name for messages.
struct Folder {
    int fd = -1;
    std::string path;
};

bool openFolder(const char *id, Folder &folder, std::string &why) {
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    std::string parent = "/tmp";
    std::string name = "fanrun-" + std::to_string(geteuid());
    if (runtime != nullptr && runtime[0] == '/') {
        parent = runtime;
        name = "fanrun";
    }
    const int parentFd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0) {
        why = "cannot open " + parent + ": " + strerror(errno);
        return false;
    }
    const std::string base = parent + "/" + name;
    const int baseFd = ownFolder(parentFd, name.c_str(), base, why);
    close(parentFd);
    if (baseFd < 0) {
        return false;
    }
    folder.path = base + "/" + id;
    folder.fd = ownFolder(baseFd, id, folder.path, why);
    close(baseFd);
    return folder.fd >= 0;
}

// The place file name in the folder, opened (made if missing) as a regular file of this user.
int openPlace(const Folder &folder, const std::string &name, std::string &why) {
    const int fd = openat(folder.fd, name.c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    struct stat status {};
    if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        status.st_uid == geteuid()) {
        return fd;
    }
    why = "cannot use " + folder.path + "/" + name + ": " +
          (fd < 0 ? strerror(errno) : "not a regular file of this user");
    if (fd >= 0) {
        close(fd);
    }
    return -1;
}

// Notice of closed files in the folder; -1 where inotify cannot be had.
int watchCloses(const Folder &folder) {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    // The folder already opened, not its name again: it may have been replaced since.
    const std::string self = "/proc/self/fd/" + std::to_string(folder.fd);
    if (inotify_add_watch(fd, self.c_str(), IN_CLOSE | IN_ONLYDIR) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

enum class Waited { again, timedOut, stopped };

// Blocks until a file of the folder is closed (the watch), the deadline (0: none) or a stop.
Waited awaitClose(int watch, int64_t deadlineMs, const volatile sig_atomic_t *stop) {
    int64_t timeoutMs = watch < 0 ? fallbackPollMs : -1;
    if (deadlineMs != 0) {
        const int64_t left = deadlineMs - monotonicMs();
        if (left <= 0) {
            return *stop != 0 ? Waited::stopped : Waited::timedOut;
        }
        if (timeoutMs < 0 || left < timeoutMs) {
            timeoutMs = left;
        }
    }
    const Awaited awaited = awaitInput(watch, timeoutMs, stop);
    char events[4096];
    while (watch >= 0 && read(watch, events, sizeof events) > 0) {
    }
    return awaited == Awaited::stopped ? Waited::stopped : Waited::again;
}

// Takes a free place of the first places; its descriptor, or -1 with result set.
int takePlace(const Folder &folder, int places, int64_t deadlineMs,
              const volatile sig_atomic_t *stop, Waited &result, std::string &why) {
    // Watched before the first try: a place freed after the try is still heard of.
    const int watch = watchCloses(folder);
    std::vector<int> fds;
    int held = -1;
    result = Waited::again;
    for (int place = 1; place <= places; ++place) {
        const int fd = openPlace(folder, "place-" + std::to_string(place), why);
        if (fd < 0) {
            break;
        }
        fds.push_back(fd);
    }
    while (static_cast<int>(fds.size()) == places && held < 0 && result == Waited::again) {
        for (int fd : fds) {
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
                held = fd;
                break;
            }
        }
        if (held < 0) {
            result = awaitClose(watch, deadlineMs, stop);
        }
    }
    for (int fd : fds) {
        if (fd != held) {
            close(fd);
        }
    }
    if (watch >= 0) {
        close(watch);
    }
    return held;
}

// Waits until no place of the folder, whatever -j made it, is held.
Waited awaitEmpty(const Folder &folder, int64_t deadlineMs, const volatile sig_atomic_t *stop,
                  std::string &why) {
    const int watch = watchCloses(folder);
    // Kept open until the end: closing one would be heard as a holder's end.
    std::map<std::string, int> fds;
    Waited result = Waited::again;
    bool empty = false;
    while (!empty && result == Waited::again && why.empty()) {
        empty = true;
        const int listFd = dup(folder.fd);
        DIR *list = listFd >= 0 ? fdopendir(listFd) : nullptr;
        if (list == nullptr) {
            why = "cannot read " + folder.path + ": " + strerror(errno);
            if (listFd >= 0) {
                close(listFd);
            }
            break;
        }
        rewinddir(list);
        while (const dirent *entry = readdir(list)) {
            const std::string name = entry->d_name;
            if (name.rfind("place-", 0) != 0) {
                continue;
            }
            auto found = fds.find(name);
            if (found == fds.end()) {
                const int fd = openPlace(folder, name, why);
                if (fd < 0) {
                    break;
                }
                found = fds.emplace(name, fd).first;
            }
            if (flock(found->second, LOCK_EX | LOCK_NB) == 0) {
                flock(found->second, LOCK_UN);
            } else {
                empty = false;
            }
        }
        closedir(list);
        if (!empty && why.empty()) {
            result = awaitClose(watch, deadlineMs, stop);
        }
    }
    for (const auto &entry : fds) {
        close(entry.second);
    }
    if (watch >= 0) {
        close(watch);
    }
    return why.empty() && empty ? Waited::again : result;
}

// The one command of the run, its output straight on fanrun's streams.
struct One {
    char *line = nullptr;
    int out = -1;
    bool handed = false;
    int status = -1;
};

int oneNext(void *context, FANRUN_COMMAND *command) {
    One &one = *static_cast<One *>(context);
    if (one.handed) {
        return FANRUN_NEXT_END;
    }
    one.handed = true;
    command->command = one.line;
    one.line = nullptr;
    command->outFd = one.out;
    command->errFd = STDERR_FILENO;
    return FANRUN_NEXT_COMMAND;
}

int oneEnded(void *context, const FANRUN_EVENT *event) {
    static_cast<One *>(context)->status = event->status;
    return FANRUN_HALT_NEVER;
}

// Runs line through the library while place is held, passing the place on to the command; the
// command's exit status as the shell gives it.
int runHolding(const std::string &line, int place) {
    // The command and all it starts hold the place: it is back only once the last of them ends.
    fcntl(place, F_SETFD, 0);
    One one;
    one.line = strdup(line.c_str());
    // The library's closing report has no place in a semaphore's output: it goes to /dev/null.
    one.out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int empty = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (one.line == nullptr || one.out < 0 || empty < 0 || dup2(empty, STDOUT_FILENO) < 0) {
        fprintf(stderr, "fanrun: cannot start the command: %s\n", strerror(errno));
        return exitRunner;
    }
    close(empty);
    pparams.maxNumRunning = 1;
    pparams.outputDir = nullptr;
    FANRUN_OPTIONS options{};
    options.stopOnSignals = 1;
    options.nullInput = 1;
    fanrunSetOptions(&options);
    const FANRUN_SOURCE source{oneNext, nullptr, oneEnded, &one, 1};
    fanrunSetSource(&source);
    runParallel();
    fflush(stdout);
    dup2(one.out, STDOUT_FILENO);
    close(one.out);
    close(place);
    FANRUN_RESULT result{};
    fanrunLastResult(&result);
    if (result.stopSignal != 0) {
        return 128 + result.stopSignal;
    }
    if (result.numStarted == 0 || one.status < 0) {
        return exitRunner;
    }
    return WIFEXITED(one.status) ? WEXITSTATUS(one.status) : 128 + WTERMSIG(one.status);
}

// Starts fanrun anew in the background to run line holding place, which it inherits; the place
// is never free on the way. False when it cannot be started.
bool runInBackground(const std::string &line, int place) {
    const std::string held = std::to_string(place);
    std::vector<std::string> words = {"fanrun", "--semaphore-held", held, "--", line};
    std::vector<char *> argv;
    argv.reserve(words.size() + 1);
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    if (fcntl(place, F_SETFD, 0) != 0) {
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        execv("/proc/self/exe", argv.data());
        _exit(exitRunner);
    }
    return pid > 0;
}

} // namespace

int runSemaphore(const Settings &settings, char **words, int count,
                 const volatile sig_atomic_t *stop) {
    std::string line;
    for (int i = 0; i < count; ++i) {
        line += (i == 0 ? "" : " ");
        line += words[i];
    }
    if (settings.heldPlace >= 0) {
        return runHolding(line, settings.heldPlace);
    }
    const char *id = settings.semaphoreId != nullptr ? settings.semaphoreId : defaultId;
    if (id[0] == '\0' || strchr(id, '/') != nullptr || strcmp(id, ".") == 0 ||
        strcmp(id, "..") == 0 || strlen(id) > 200) {
        badUsage("--id needs a name without '/', not empty, '.' or '..', of at most 200 bytes");
    }
    if (!settings.waitAll && count == 0) {
        badUsage("--semaphore needs a command (or --wait)");
    }
    if (settings.waitAll && count > 0) {
        badUsage("--wait runs no command: it waits for those of the id");
    }
    Folder folder;
    std::string why;
    if (!openFolder(id, folder, why)) {
        fprintf(stderr, "fanrun: the semaphore's folder is refused: %s\n", why.c_str());
        return exitRunner;
    }
    const double seconds = settings.semaphoreTimeout;
    const int64_t deadlineMs =
        seconds > 0 ? monotonicMs() + std::max<int64_t>(1, std::llround(seconds * 1000)) : 0;
    Waited waited = Waited::again;
    int place = -1;
    if (settings.waitAll) {
        waited = awaitEmpty(folder, deadlineMs, stop, why);
    } else {
        place =
            takePlace(folder, settings.jobs > 0 ? settings.jobs : 1, deadlineMs, stop, waited, why);
    }
    close(folder.fd);
    if (!why.empty()) {
        fprintf(stderr, "fanrun: %s\n", why.c_str());
        return exitRunner;
    }
    if (waited == Waited::stopped) {
        return 128 + *stop;
    }
    if (waited == Waited::timedOut) {
        fprintf(stderr, "fanrun: %s (semaphore %s) within %g seconds; %s\n",
                settings.waitAll ? "commands still running" : "no place came free", id, seconds,
                settings.waitAll ? "gave up waiting" : "the command was not run");
        return exitNoPlace;
    }
    if (settings.waitAll) {
        return 0;
    }
    if (settings.foreground) {
        return runHolding(line, place);
    }
    if (!runInBackground(line, place)) {
        fprintf(stderr, "fanrun: cannot start the command in the background: %s\n",
                strerror(errno));
        return exitRunner;
    }
    return 0;
}

} // namespace fanrun_cli
