// The front end's output modes. By default every command writes into its own pair of files in the
// output directory and the report goes to standard output. Grouped, each command writes into a
// pair of unnamed temporary files, copied whole to the runner's standard output and error when the
// command ends (in input order when the order is kept, the waiting ones held on disk); ungrouped,
// the commands write straight to the runner's streams. In those modes the report goes to a file of
// its own or to standard error, so that standard output carries only what the commands wrote.

#include "fanrun_cli.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

// Descriptors kept free for everything else the runner and its commands open.
constexpr long spareDescriptors = 64;

bool writeAll(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

void closeIfOpen(int &fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

} // namespace

Output::~Output() {
    for (Captured *list : {&running_, &waiting_}) {
        for (auto &entry : *list) {
            closeIfOpen(entry.second.out);
            closeIfOpen(entry.second.err);
        }
    }
    closeIfOpen(staged_.out);
    closeIfOpen(staged_.err);
    for (int fd : pool_) {
        close(fd);
    }
    closeIfOpen(commandOut_);
}

bool Output::open(OutputMode mode, bool tag, bool keepFiles, const char *reportPath,
                  std::string &error) {
    mode_ = mode;
    tag_ = tag;
    keepFiles_ = keepFiles;
    if (mode == OutputMode::files && reportPath == nullptr) {
        return true;
    }
    // The commands' output keeps the runner's standard output; the report, written to descriptor
    // 1 by the library, goes elsewhere.
    int report = STDERR_FILENO;
    if (reportPath != nullptr) {
        // In a shared directory the name may be a planted link or FIFO: only a regular file,
        // never through a link, and never waiting for a FIFO's reader; it is emptied only once
        // known to be one.
        report = ::open(reportPath,
                        O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
        struct stat status {};
        const char *why = nullptr;
        if (report < 0) {
            const int openError = errno;
            why = lstat(reportPath, &status) == 0 && S_ISLNK(status.st_mode) ? "a symbolic link"
                  : openError == ENXIO                                       ? "not a regular file"
                                                                             : strerror(openError);
        } else if (fstat(report, &status) != 0 ||
                   (S_ISREG(status.st_mode) &&
                    (fcntl(report, F_SETFL, fcntl(report, F_GETFL) & ~O_NONBLOCK) != 0 ||
                     ftruncate(report, 0) != 0))) {
            why = strerror(errno);
        } else if (!S_ISREG(status.st_mode)) {
            why = "not a regular file";
        }
        if (why != nullptr) {
            if (report >= 0) {
                close(report);
            }
            error = std::string("cannot open the report file ") + reportPath + ": " + why;
            return false;
        }
    }
    commandOut_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    // A standard output closed when the runner started holds /dev/null open for reading.
    if (commandOut_ >= 0 && (fcntl(commandOut_, F_GETFL) & O_ACCMODE) == O_RDONLY) {
        close(commandOut_);
        commandOut_ = -1;
    }
    if (commandOut_ < 0) {
        // A closed standard output: what the commands write is lost, and the run says so.
        commandOut_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (mode != OutputMode::files) {
            writeError_ = EBADF;
            discarding_ = true;
        }
    }
    if (dup2(report, STDOUT_FILENO) < 0) {
        error = std::string("cannot send the report to its file: ") + strerror(errno);
        return false;
    }
    if (report != STDERR_FILENO) {
        close(report);
    }
    if (mode == OutputMode::keepOrder) {
        // Output waiting for its turn holds two descriptors a command.
        struct rlimit limit {};
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_NOFILE, &limit);
            getrlimit(RLIMIT_NOFILE, &limit);
            const rlim_t usable = limit.rlim_cur > static_cast<rlim_t>(spareDescriptors)
                                      ? (limit.rlim_cur - spareDescriptors) / 2
                                      : 1;
            maxWaiting_ = usable > 1000000 ? 1000000 : static_cast<size_t>(usable);
        }
    }
    return true;
}

// An unnamed file in the temporary folder, or -1.
int Output::temporaryFile() {
    if (!pool_.empty()) {
        const int fd = pool_.back();
        pool_.pop_back();
        return fd;
    }
    const char *folder = getenv("TMPDIR");
    if (folder == nullptr || folder[0] == '\0') {
        folder = "/tmp";
    }
    int fd = ::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        // A file system without unnamed files: a named one, removed at once.
        std::string name = std::string(folder) + "/fanrun.XXXXXX";
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) {
            unlink(name.c_str());
        }
    }
    return fd;
}

// Empties a temporary file and keeps it for the next command.
void Output::recycle(int &fd) {
    if (fd < 0) {
        return;
    }
    if (ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0) {
        pool_.push_back(fd);
    } else {
        close(fd);
    }
    fd = -1;
}

bool Output::prepare(FANRUN_COMMAND &command, long sequence, std::string tagText,
                     std::string &error) {
    closeIfOpen(staged_.out);
    closeIfOpen(staged_.err);
    staged_.tag = std::move(tagText);
    staged_.files = false;
    staged_.sequence = sequence;
    switch (mode_) {
    case OutputMode::files:
        return true;
    case OutputMode::ungroup:
        command.outFd = commandOut_;
        command.errFd = STDERR_FILENO;
        return true;
    case OutputMode::group:
    case OutputMode::keepOrder:
        if (keepFiles_) {
            staged_.files = true;
            return true;
        }
        staged_.out = temporaryFile();
        staged_.err = staged_.out >= 0 ? temporaryFile() : -1;
        if (staged_.err < 0) {
            error = std::string("cannot make a temporary file for the output: ") + strerror(errno);
            closeIfOpen(staged_.out);
            return false;
        }
        command.outFd = staged_.out;
        command.errFd = staged_.err;
        return true;
    }
    return true;
}

void Output::started(const FANRUN_EVENT &event) {
    if (mode_ != OutputMode::group && mode_ != OutputMode::keepOrder) {
        return;
    }
    running_.emplace(event.index, std::move(staged_));
    staged_ = Capture{};
}

void Output::ended(const FANRUN_EVENT &event, bool last) {
    auto found = running_.find(event.index);
    if (found == running_.end()) {
        return;
    }
    Capture capture = std::move(found->second);
    running_.erase(found);
    if (!last) {
        // An attempt that will be retried: only the last attempt's output is shown.
        release(capture);
        return;
    }
    if (capture.files && event.stdoutPath != nullptr) {
        // The files stay as in the default mode; their contents are copied from them.
        capture.out = ::open(event.stdoutPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        capture.err = ::open(event.stderrPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    }
    deliver(capture);
}

void Output::skip(long sequence) {
    if (mode_ == OutputMode::keepOrder) {
        Capture nothing;
        nothing.sequence = sequence;
        deliver(nothing);
    }
}

// Writes an ended command's output now; in keep-order mode only when its turn has come, with
// every waiting one whose turn follows, and else keeps it until then.
void Output::deliver(Capture &capture) {
    if (mode_ != OutputMode::keepOrder) {
        emit(capture);
        return;
    }
    if (capture.sequence == nextInOrder_) {
        emit(capture);
        ++nextInOrder_;
        for (auto next = waiting_.find(nextInOrder_); next != waiting_.end();
             next = waiting_.find(++nextInOrder_)) {
            emit(next->second);
            waiting_.erase(next);
        }
        return;
    }
    const long sequence = capture.sequence;
    waiting_.emplace(sequence, std::move(capture));
}

// Writes a captured command's output to the runner's streams, notes whether all of it got
// there, and lets its files go.
void Output::emit(Capture &capture) {
    bool delivered = copy(capture.out, commandOut_, capture.tag);
    delivered = copy(capture.err, STDERR_FILENO, capture.tag) && delivered;
    if (discarding_ && capture.out >= 0 && lseek(capture.out, 0, SEEK_END) > 0) {
        delivered = false;
    }
    if (!delivered) {
        lost_ = true;
    }
    deliveries_.push_back(Delivery{capture.sequence, delivered});
    release(capture);
}

std::vector<Output::Delivery> Output::takeDeliveries() {
    std::vector<Delivery> taken;
    taken.swap(deliveries_);
    return taken;
}

bool Output::lost() {
    if (lost_ || mode_ == OutputMode::files || commandOut_ < 0) {
        return lost_;
    }
    // A pipe's writing end polls as an error once no reader is left, before any write fails.
    pollfd out{commandOut_, 0, 0};
    int ready = 0;
    do {
        ready = poll(&out, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready > 0 && (out.revents & POLLERR) != 0) {
        lost_ = true;
        noteWriteError(EPIPE);
    }
    return lost_;
}

// Lets a captured command's files go: the output files are closed, temporary ones kept for the
// next command.
void Output::release(Capture &capture) {
    if (capture.files) {
        closeIfOpen(capture.out);
        closeIfOpen(capture.err);
    } else {
        recycle(capture.out);
        recycle(capture.err);
    }
}

// Copies the file from its start to to, each line after the tag and a TAB when there is a tag;
// false when a write failed.
bool Output::copy(int from, int to, const std::string &tag) {
    if (from < 0 || lseek(from, 0, SEEK_SET) != 0) {
        return true;
    }
    if (!tag_) {
        // The kernel moves the bytes itself where it can.
        for (;;) {
            const ssize_t moved = sendfile(to, from, nullptr, 1 << 30);
            if (moved > 0) {
                continue;
            }
            if (moved == 0) {
                return true;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno == EINVAL || errno == ENOSYS) {
                break;
            }
            noteWriteError(errno);
            return false;
        }
    }
    char buffer[64 * 1024];
    std::string out;
    bool lineStart = true;
    for (;;) {
        const ssize_t got = read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return true;
        }
        out.clear();
        for (ssize_t i = 0; i < got; ++i) {
            if (lineStart && tag_) {
                out += tag;
                out += '\t';
            }
            out += buffer[i];
            lineStart = buffer[i] == '\n';
        }
        if (!writeAll(to, out.data(), out.size())) {
            noteWriteError(errno);
            return false;
        }
    }
}

void Output::noteWriteError(int error) {
    if (writeError_ == 0) {
        writeError_ = error != 0 ? error : EIO;
    }
}

bool Output::finish(std::string &error) {
    // Commands that never ended in order (the run was stopped) still have their output shown.
    for (auto &entry : waiting_) {
        emit(entry.second);
    }
    waiting_.clear();
    if (writeError_ != 0) {
        error = std::string("cannot write the commands' output: ") + strerror(writeError_);
        return false;
    }
    return true;
}

} // namespace fanrun_cli
