// The front end's output modes. By default every command writes into its own pair of files in the
// output directory and the report goes to standard output. Grouped, each command writes into a
// pair of unnamed temporary files, copied whole to the runner's standard output and error when the
// command ends (in input order when the order is kept, the waiting ones held on disk); ungrouped,
// the commands write straight to the runner's streams. In those modes the report goes to a file of
// its own or to standard error, so that standard output carries only what the commands wrote.

#include "output.h"
#include "io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

// Descriptors kept free for everything else the runner and its commands open.
constexpr long spareDescriptors = 64;

// Descriptors that must stay free after a command's two temporary files, for what the runner
// opens to start it; fewer, and the command waits for another to end.
constexpr int startDescriptors = 8;

// Below this many free blocks a temporary folder counts as full: a write into it may have
// failed.
constexpr unsigned long fullBlocks = 4;

// True when the folder of the file fd has run out of room (or cannot be asked).
bool folderFull(int fd) {
    struct statvfs room {};
    if (fd < 0 || fstatvfs(fd, &room) != 0) {
        return false;
    }
    return room.f_bavail < fullBlocks || room.f_bfree < fullBlocks;
}

long long sizeOf(int fd) {
    struct stat about {};
    return fd >= 0 && fstat(fd, &about) == 0 ? static_cast<long long>(about.st_size) : 0;
}

void closeIfOpen(int &fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

} // namespace

Output::~Output() {
    relay_.finish();
    for (Captured *list : {&running_, &waiting_}) {
        for (auto &entry : *list) {
            closeIfOpen(entry.second.out);
            closeIfOpen(entry.second.err);
        }
    }
    closeIfOpen(staged_.out);
    closeIfOpen(staged_.err);
    closeIfOpen(staged_.commandOut);
    closeIfOpen(staged_.commandErr);
    for (int fd : pool_) {
        close(fd);
    }
    closeIfOpen(commandOut_);
}

void Output::configure(bool verbose, bool latest) {
    verbose_ = verbose;
    latest_ = latest;
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
    if (mode == OutputMode::lines &&
        !relay_.start(commandOut_, STDERR_FILENO, latest_ && isatty(commandOut_) == 1, error)) {
        return false;
    }
    // Every running command holds two descriptors, and output waiting for its turn two more.
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
        descriptorLimit_ = limit.rlim_cur;
        if (mode == OutputMode::keepOrder) {
            const rlim_t usable = limit.rlim_cur > static_cast<rlim_t>(spareDescriptors)
                                      ? (limit.rlim_cur - spareDescriptors) / 2
                                      : 1;
            maxWaiting_ = usable > 1000000 ? 1000000 : static_cast<size_t>(usable);
        }
    }
    return true;
}

// An unnamed file in the temporary folder, or -1: an emptied one that no process holds any more,
// else a new one.
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
    folder_ = folder;
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

// The command's own descriptor of the runner's temporary file fd: opened anew, so that whether a
// process still holds it shows in the file's count of writers once the command has ended. -1
// where it cannot be (no /proc): the command then gets fd itself, and the file is never used
// again.
int Output::commandsOwn(int fd) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
}

// Empties a temporary file and keeps it for the next command, when nothing but the runner holds
// it: a write lease is granted only to the file's one open writer. A process the command left
// behind keeps the file from ever being used again; what it writes later goes nowhere.
void Output::recycle(int &fd, bool shared) {
    if (fd < 0) {
        return;
    }
    if (!shared && fcntl(fd, F_SETLEASE, F_WRLCK) == 0 && fcntl(fd, F_SETLEASE, F_UNLCK) == 0 &&
        ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0) {
        // ext4 takes a file emptied to nothing for one being replaced, and writes out what was
        // written into it at its next close: at the next command's exit, a disk write each. A
        // close now, while nothing waits to be written, spends that rule for the cost of an open.
        int spent = commandsOwn(fd);
        closeIfOpen(spent);
        pool_.push_back(fd);
    } else {
        close(fd);
    }
    fd = -1;
}

Output::Prepared Output::prepare(FANRUN_COMMAND &command, long sequence, std::string tagText,
                                 std::string &error) {
    closeIfOpen(staged_.out);
    closeIfOpen(staged_.err);
    closeIfOpen(staged_.commandOut);
    closeIfOpen(staged_.commandErr);
    staged_.tag = std::move(tagText);
    staged_.files = false;
    staged_.incomplete = false;
    staged_.sequence = sequence;
    staged_.command.clear();
    if (verbose_ && command.command != nullptr) {
        staged_.command = command.command;
        staged_.command += '\n';
    }
    switch (mode_) {
    case OutputMode::files:
        if (verbose_) {
            writeAll(STDERR_FILENO, staged_.command.data(), staged_.command.size());
        }
        return Prepared::ready;
    case OutputMode::ungroup:
        if (verbose_ && !writeAll(commandOut_, staged_.command.data(), staged_.command.size())) {
            noteWriteError(errno);
            lost_ = true;
        }
        command.outFd = commandOut_;
        command.errFd = STDERR_FILENO;
        return Prepared::ready;
    case OutputMode::lines:
        return preparePipes(command, error);
    case OutputMode::group:
    case OutputMode::keepOrder:
        if (keepFiles_) {
            staged_.files = true;
            return Prepared::ready;
        }
        bool crowded = false;
        for (bool again = true; again;) {
            staged_.out = temporaryFile();
            staged_.err = staged_.out >= 0 ? temporaryFile() : -1;
            int highest = staged_.err;
            if (staged_.err >= 0) {
                staged_.commandOut = commandsOwn(staged_.out);
                staged_.commandErr = staged_.commandOut >= 0 ? commandsOwn(staged_.err) : -1;
                staged_.shared = staged_.commandErr < 0;
                if (staged_.shared) {
                    closeIfOpen(staged_.commandOut);
                }
                highest = std::max(highest, staged_.commandErr);
            }
            // Starting the command takes a few descriptors more; without them it would fail.
            crowded = highest >= 0 && descriptorLimit_ != RLIM_INFINITY &&
                      static_cast<rlim_t>(highest) + startDescriptors >= descriptorLimit_;
            again = (staged_.err < 0 || crowded) && !pool_.empty();
            if (again) {
                // The emptied files kept for later take descriptors a command needs now.
                closeIfOpen(staged_.commandOut);
                closeIfOpen(staged_.commandErr);
                closeIfOpen(staged_.out);
                closeIfOpen(staged_.err);
                for (int fd : pool_) {
                    close(fd);
                }
                pool_.clear();
            }
        }
        if (staged_.err < 0 || crowded) {
            const int cause = crowded ? EMFILE : errno;
            closeIfOpen(staged_.commandOut);
            closeIfOpen(staged_.commandErr);
            closeIfOpen(staged_.out);
            closeIfOpen(staged_.err);
            if ((cause == EMFILE || cause == ENFILE) && !running_.empty()) {
                // Fewer at once: the next command starts when one has ended and let its go.
                if (!saidDescriptors_) {
                    saidDescriptors_ = true;
                    fprintf(stderr,
                            "fanrun: out of descriptors (limit %llu); running %zu commands at "
                            "once\n",
                            static_cast<unsigned long long>(descriptorLimit_), running_.size());
                }
                sayBacklog();
                return Prepared::later;
            }
            error = std::string("cannot make a temporary file for the output: ") + strerror(cause);
            return Prepared::failed;
        }
        command.outFd = staged_.shared ? staged_.out : staged_.commandOut;
        command.errFd = staged_.shared ? staged_.err : staged_.commandErr;
        return Prepared::ready;
    }
    return Prepared::ready;
}

// The command's pipes to the line relay: it writes into one end of each, the relay reads the
// other.
Output::Prepared Output::preparePipes(FANRUN_COMMAND &command, std::string &error) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        const int cause = errno;
        for (int fd : {out[0], out[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        if ((cause == EMFILE || cause == ENFILE) && !running_.empty()) {
            return Prepared::later;
        }
        error = std::string("cannot make a pipe for the output: ") + strerror(cause);
        return Prepared::failed;
    }
    staged_.out = out[0];
    staged_.err = err[0];
    staged_.commandOut = out[1];
    staged_.commandErr = err[1];
    command.outFd = out[1];
    command.errFd = err[1];
    return Prepared::ready;
}

void Output::started(const FANRUN_EVENT &event) {
    if (mode_ == OutputMode::lines) {
        // The command (and what it starts) holds the writing ends alone: each pipe ends when
        // they have all closed it.
        closeIfOpen(staged_.commandOut);
        closeIfOpen(staged_.commandErr);
        if (!staged_.command.empty()) {
            relay_.say(std::move(staged_.command));
        }
        relay_.add(event.index, staged_.out, staged_.err, tag_, staged_.tag);
        Capture started;
        started.sequence = staged_.sequence;
        running_.emplace(event.index, std::move(started));
        staged_ = Capture{};
        return;
    }
    if (mode_ != OutputMode::group && mode_ != OutputMode::keepOrder) {
        return;
    }
    // Only the command and what it starts hold its own descriptors from here on.
    closeIfOpen(staged_.commandOut);
    closeIfOpen(staged_.commandErr);
    running_.emplace(event.index, std::move(staged_));
    staged_ = Capture{};
}

bool Output::backlogFull() {
    if (waiting_.size() < maxWaiting_) {
        return false;
    }
    sayBacklog();
    return true;
}

// Says once that new starts wait for the command whose output is due.
void Output::sayBacklog() {
    if (saidBacklog_ || mode_ != OutputMode::keepOrder || waiting_.empty()) {
        return;
    }
    saidBacklog_ = true;
    std::string argument;
    for (const auto &entry : running_) {
        if (entry.second.sequence == nextInOrder_) {
            argument = " (" + entry.second.tag + ")";
        }
    }
    fprintf(stderr,
            "fanrun: %zu %s output waits for command %ld%s to end; no new command starts until "
            "it does\n",
            waiting_.size(), waiting_.size() == 1 ? "command's" : "commands'", nextInOrder_ + 1,
            argument.c_str());
}

// The commands write their temporary files themselves, so a write that found the folder full is
// not seen here. The runner alone frees room in those files: when the folder is full before it
// does, or when a command ends, every command running may have lost some of its output.
void Output::checkRoom(int fd) {
    if (!folderFull(fd)) {
        return;
    }
    for (auto &entry : running_) {
        entry.second.incomplete = true;
    }
}

bool Output::ended(const FANRUN_EVENT &event, bool last, const Keeper &keep) {
    auto found = running_.find(event.index);
    if (found == running_.end()) {
        return !last || !keep || keepOwnFiles(event, keep);
    }
    if (mode_ == OutputMode::lines) {
        // The relay writes what the pipes still hold as they reach their ends; the command is
        // delivered once both have happened. A retried attempt's output is out already.
        linesEnded_[event.index] = last ? found->second.sequence : -1;
        running_.erase(found);
        if (linesDone_.count(event.index) == 0) {
            relay_.settle(event.index);
        }
        return true;
    }
    if (!found->second.files) {
        checkRoom(found->second.out);
    }
    Capture capture = std::move(found->second);
    running_.erase(found);
    if (!last) {
        // An attempt that will be retried: only the last attempt's output is shown.
        release(capture);
        return !capture.incomplete;
    }
    if (capture.incomplete) {
        fprintf(stderr,
                "fanrun: the output of command %ld (%s) may be incomplete: TMPDIR (%s) was full; "
                "%lld bytes were kept\n",
                capture.sequence + 1, capture.tag.c_str(), folder_.c_str(),
                sizeOf(capture.out) + sizeOf(capture.err));
    }
    const bool whole = !capture.incomplete;
    if (capture.files && event.stdoutPath != nullptr) {
        // The files stay as in the default mode; their contents are copied from them.
        capture.out = ::open(event.stdoutPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        capture.err = ::open(event.stderrPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    }
    bool kept = true;
    if (mode_ == OutputMode::keepOrder) {
        capture.keep = keep;
    } else {
        kept = !keep || keep(capture.out, capture.err);
    }
    deliver(capture);
    return whole && kept;
}

// Gives keep the output files of a command that wrote into them itself.
bool Output::keepOwnFiles(const FANRUN_EVENT &event, const Keeper &keep) {
    int out = event.stdoutPath != nullptr
                  ? ::open(event.stdoutPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC)
                  : -1;
    int err = event.stderrPath != nullptr
                  ? ::open(event.stderrPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC)
                  : -1;
    const bool kept = keep(out, err);
    closeIfOpen(out);
    closeIfOpen(err);
    return kept;
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
    const bool kept = !capture.keep || capture.keep(capture.out, capture.err);
    capture.keep = {};
    bool delivered = true;
    if (!capture.command.empty() &&
        !writeAll(commandOut_, capture.command.data(), capture.command.size())) {
        noteWriteError(errno);
        delivered = false;
    }
    delivered = copy(capture.out, commandOut_, capture.tag) && delivered;
    delivered = copy(capture.err, STDERR_FILENO, capture.tag) && delivered;
    if (discarding_ && capture.out >= 0 && lseek(capture.out, 0, SEEK_END) > 0) {
        delivered = false;
    }
    if (!delivered) {
        lost_ = true;
    }
    deliveries_.push_back(Delivery{capture.sequence, delivered, kept});
    release(capture);
}

std::vector<Output::Delivery> Output::takeDeliveries() {
    if (mode_ == OutputMode::lines) {
        for (const auto &[index, delivered] : relay_.done()) {
            linesDone_[index] = delivered;
        }
        for (auto ended = linesEnded_.begin(); ended != linesEnded_.end();) {
            const auto done = linesDone_.find(ended->first);
            if (done == linesDone_.end()) {
                ++ended;
                continue;
            }
            if (ended->second >= 0) {
                deliveries_.push_back(Delivery{ended->second, done->second});
            }
            linesDone_.erase(done);
            ended = linesEnded_.erase(ended);
        }
    }
    std::vector<Delivery> taken;
    taken.swap(deliveries_);
    return taken;
}

bool Output::lost() {
    if (!lost_ && mode_ == OutputMode::lines && relay_.lost()) {
        lost_ = true;
        noteWriteError(relay_.writeError());
    }
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
// next command where no process holds them any more.
void Output::release(Capture &capture) {
    if (capture.files) {
        closeIfOpen(capture.out);
        closeIfOpen(capture.err);
        return;
    }
    checkRoom(capture.out >= 0 ? capture.out : capture.err);
    recycle(capture.out, capture.shared);
    recycle(capture.err, capture.shared);
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
    relay_.finish();
    if (relay_.lost()) {
        lost_ = true;
        noteWriteError(relay_.writeError());
    }
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
