// The pacing of starts: see pacing.h.

#include "pacing.h"

#include "options.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

// How often the room is looked at again while it lacks: the load average moves every few seconds,
// and memory pressure is answered within this.
constexpr int64_t lookNs = 1000000000;

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A whole number from 0 to INT_MAX, all of text; -1 if it is not one.
long digitsOnly(const std::string &text) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    const long value = strtol(text.c_str(), nullptr, 10);
    return value > INT_MAX ? -1 : value;
}

// The first bytes of the file at path, or of the stand-in an environment variable names; false
// when it cannot be read.
bool readSmall(const char *variable, const char *path, std::string &text) {
    const char *standIn = variable != nullptr ? getenv(variable) : nullptr;
    const int fd = open(standIn != nullptr && *standIn != '\0' ? standIn : path,
                        O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    char buffer[4096];
    ssize_t got = 0;
    do {
        got = read(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got < 0) {
        return false;
    }
    text.assign(buffer, static_cast<size_t>(got));
    return true;
}

std::string trimmed(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Less than bytes (above 0) are available; unreadable memory bounds nothing.
bool memoryBelow(long long bytes) {
    if (bytes <= 0) {
        return false;
    }
    const long long available = memoryAvailable();
    return available >= 0 && available < bytes;
}

} // namespace

long jobsCount(const std::string &text, bool zeroAllowed) {
    const long processors = defaultJobs();
    if (!text.empty() && text.back() == '%') {
        const long share = digitsOnly(text.substr(0, text.size() - 1));
        return share < 1 ? -1 : std::clamp(processors * share / 100, 1L, long{INT_MAX});
    }
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        const long offset = digitsOnly(text.substr(1));
        if (offset < 0) {
            return -1;
        }
        return text[0] == '+' ? std::min(processors + offset, long{INT_MAX})
                              : std::max(1L, processors - offset);
    }
    const long count = digitsOnly(text);
    return count > 0 || (count == 0 && zeroAllowed) ? count : -1;
}

bool parseJobsForm(const char *text, JobsForm &form, std::string &message) {
    form = JobsForm{};
    const std::string value(text);
    if (value == "0") {
        form.machine = true;
        return true;
    }
    const long count = jobsCount(value, false);
    if (count > 0) {
        form.count = static_cast<int>(count);
        return true;
    }
    // Anything else names the file that holds the count.
    struct stat info {};
    if (!value.empty() && stat(text, &info) == 0 && S_ISREG(info.st_mode)) {
        form.file = text;
        return true;
    }
    message = "-j needs N, N% or +N/-N of the processors, 0 (as many as the machine allows) or "
              "a FILE that holds one, not '" +
              value + "'";
    return false;
}

int machineJobs(std::string &why) {
    // Each running command may hold two descriptors of the runner (its output), and the runner
    // keeps a few of its own.
    constexpr long reserved = 32;
    long bound = INT_MAX / 2;
    rlimit processes{};
    rlimit files{};
    std::string processText = "unlimited";
    std::string fileText = "unlimited";
    if (getrlimit(RLIMIT_NPROC, &processes) == 0 && processes.rlim_cur != RLIM_INFINITY) {
        processText = std::to_string(processes.rlim_cur);
        // The runner is one of the user's processes too.
        bound =
            std::min(bound, static_cast<long>(std::min<rlim_t>(processes.rlim_cur, LONG_MAX)) - 1);
    }
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        fileText = std::to_string(files.rlim_cur);
        const long usable = static_cast<long>(std::min<rlim_t>(files.rlim_cur, LONG_MAX));
        bound = std::min(bound, (usable - reserved) / 2);
    }
    why = "process limit " + processText + ", descriptor limit " + fileText;
    return static_cast<int>(std::max(bound, 1L));
}

double parseLoad(const char *text) {
    std::string value(text);
    const bool share = !value.empty() && value.back() == '%';
    if (share) {
        value.pop_back();
    }
    const size_t digits = strspn(value.c_str(), "0123456789.");
    char *end = nullptr;
    const double number =
        digits == value.size() && !value.empty() && value != "." ? strtod(value.c_str(), &end) : -1;
    if (!(number > 0) || number > 1e6 || (end != nullptr && *end != '\0')) {
        return -1;
    }
    return share ? number * static_cast<double>(defaultJobs()) / 100 : number;
}

long long parseSize(const char *text) {
    const std::string value(text);
    const size_t digits = strspn(text, "0123456789");
    if (digits == 0 || digits > 15) {
        return -1;
    }
    long long size = strtoll(value.substr(0, digits).c_str(), nullptr, 10);
    const std::string suffix = value.substr(digits);
    static const char units[] = "kmgt";
    int shift = 0;
    if (suffix.size() == 1) {
        const char *unit = strchr(units, tolower(static_cast<unsigned char>(suffix[0])));
        if (unit == nullptr || suffix[0] == '\0') {
            return -1;
        }
        shift = 10 * static_cast<int>(unit - units + 1);
    } else if (!suffix.empty()) {
        return -1;
    }
    if (size == 0 || size > (LLONG_MAX >> shift)) {
        return -1;
    }
    return size << shift;
}

double loadAverage() {
    std::string text;
    if (!readSmall("FANRUN_LOADAVG", "/proc/loadavg", text)) {
        return -1;
    }
    char *end = nullptr;
    const double load = strtod(text.c_str(), &end);
    return end == text.c_str() || !(load >= 0) ? -1 : load;
}

long long memoryAvailable() {
    std::string text;
    if (!readSmall("FANRUN_MEMINFO", "/proc/meminfo", text)) {
        return -1;
    }
    const size_t at = text.find("MemAvailable:");
    if (at == std::string::npos) {
        return -1;
    }
    char *end = nullptr;
    const long long kilobytes = strtoll(text.c_str() + at + strlen("MemAvailable:"), &end, 10);
    return kilobytes < 0 || kilobytes > LLONG_MAX / 1024 ? -1 : kilobytes * 1024;
}

Pacer::~Pacer() {
    if (watch_ >= 0) {
        close(watch_);
    }
}

bool Pacer::open(const JobsForm &form, int count, const Room &room, std::string &message) {
    form_ = form;
    room_ = room;
    count_ = std::max(count, 1);
    paced_ = form.file != nullptr || room.delay > 0 || room.load > 0 || room.memFree > 0;
    if (room.niced) {
        if (setpriority(PRIO_PROCESS, 0, room.niceness) != 0) {
            message = "--nice " + std::to_string(room.niceness) +
                      ": cannot set the niceness: " + strerror(errno);
            return false;
        }
    }
    if (form.file == nullptr) {
        return true;
    }
    std::string why;
    bound_ = machineJobs(why);
    // The folder is watched, not the file: an editor replaces the file by another.
    std::string folder = form.file;
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ >= 0 &&
        inotify_add_watch(watch_, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE) < 0) {
        close(watch_);
        watch_ = -1;
    }
    std::string text;
    const long read = readSmall(nullptr, form.file, text) ? jobsCount(trimmed(text), true) : -1;
    if (read < 0) {
        message = "-j " + std::string(form.file) + ": the file holds no count (N, N%, +N, -N or " +
                  "0 to start nothing new)";
        return false;
    }
    count_ = static_cast<int>(std::min<long>(read, bound_));
    return true;
}

int Pacer::libraryBound() const {
    if (form_.file != nullptr) {
        return bound_;
    }
    return paced_ ? std::min(count_, INT_MAX - 1) + 1 : count_;
}

void Pacer::readFile() {
    if (watch_ >= 0) {
        // Drained, so that the wait on it blocks until the next change.
        char events[4096];
        while (read(watch_, events, sizeof events) > 0) {
        }
    }
    std::string text;
    const bool readable = readSmall(nullptr, form_.file, text);
    text = trimmed(text);
    const long count = readable ? jobsCount(text, true) : -1;
    if (count >= 0) {
        count_ = static_cast<int>(std::min<long>(count, bound_));
        badText_.clear();
        return;
    }
    const std::string seen = readable ? "'" + text + "'" : std::string(strerror(errno));
    if (seen != badText_) {
        // Said once per bad content: the count in force stays.
        fprintf(stderr, "fanrun: -j %s holds no count (%s); keeping %d\n", form_.file, seen.c_str(),
                count_);
        badText_ = seen;
    }
}

bool Pacer::mayStart(int running, FANRUN_COMMAND *command) {
    if (form_.file != nullptr) {
        readFile();
    }
    const int64_t now = monotonicNs();
    int64_t until = 0;
    if (running >= count_) {
        // Asked again when a command ends, or the file changes; with --memfree, the memory is
        // looked at meanwhile.
        if (room_.memFree > 0 && running > 0) {
            until = now + lookNs;
        }
        if (running == 0 && watch_ < 0) {
            until = now + lookNs; // the file says 0 and cannot be watched
        }
    } else if (room_.delay > 0 && lastStart_ != 0 &&
               now < lastStart_ + static_cast<int64_t>(room_.delay * 1e9)) {
        until = lastStart_ + static_cast<int64_t>(room_.delay * 1e9);
    } else if ((room_.load > 0 && loadAverage() >= room_.load) || memoryBelow(room_.memFree)) {
        until = now + lookNs;
    } else {
        return true;
    }
    command->waitFd = watch_;
    command->waitUntilNs = until;
    return false;
}

void Pacer::started() {
    lastStart_ = monotonicNs();
}

bool Pacer::memoryShort() const {
    return memoryBelow(room_.memFree / 2);
}

int64_t Pacer::nextLook() const {
    return monotonicNs() + lookNs;
}

} // namespace fanrun_cli
