// fanrun: template expansion, the process table with its reports, and the launch loop that starts,
// redirects and reaps one "/bin/bash -c" child per argument.
//
// Signals. The reports print through stdio from inside the SIGUSR1/SIGUSR2 handler, and stdio and
// the allocator are not reentrant. So once the handlers are installed, the main flow keeps both
// signals blocked and opens them only around the blocking wait for a child, where it touches
// neither. The handler masks both signals while it runs, so one report never interrupts another,
// and SA_RESTART lets an interrupted wait resume. Before the records are released the previous
// dispositions come back, so no report ever reads released storage.
//
// Event waits. A plain wait() cannot also watch a deadline or a stop signal without a race, so a
// run that needs either (stop signals, a timeout, halting now, progress) keeps SIGCHLD and the stop
// signals blocked in the main flow as well and sleeps in ppoll(), whose mask opens them together
// with the report signals atomically; the handlers only note what arrived, and the main flow then
// reaps with WNOHANG. A run without those options keeps the plain wait().
//
// Children. A child is started vfork-style (shared memory, parent suspended until exec) on a
// stack of its own: the parent's memory and its stdio buffers are left untouched, the child runs
// with every signal blocked until just before exec, and it uses only async-signal-safe calls and
// _exit, so buffered output of the parent is never written twice. Being suspended, the parent
// never changes the pid index while a child reads it to name its files.

#include "fanrun.h"
#include "fanrun_params.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

PROCESS_CONTROL processControl;

// Code that runs in the child shares the parent's memory, including the sanitizers' bookkeeping,
// so it must not be instrumented.
#define FANRUN_CHILD_CODE __attribute__((no_sanitize("address"), no_sanitize("undefined")))

namespace {

FANRUN_OPTIONS runOptions;
FANRUN_RESULT lastResult;
bool terminalMode; // fanrunSetTerminal()

constexpr int64_t nsPerSecond = 1000000000;
// Between the SIGTERM of a timeout or of halting now and the SIGKILL that follows it, unless
// fanrunSetTermSequence() gave other signals and waits.
constexpr int64_t killGraceNs = 2 * nsPerSecond;

// The signals that end a command the runner ends itself, and the waits between them.
struct TermSequence {
    int signals[FANRUN_TERMSEQ_MAX];
    int64_t waitsNs[FANRUN_TERMSEQ_MAX - 1];
    int count;
};

TermSequence defaultTermSequence() {
    TermSequence sequence{};
    sequence.signals[0] = SIGTERM;
    sequence.signals[1] = SIGKILL;
    sequence.waitsNs[0] = killGraceNs;
    sequence.count = 2;
    return sequence;
}

TermSequence termSequence = defaultTermSequence();
// How often the progress line is rewritten on a terminal, and written otherwise.
constexpr int64_t progressTerminalNs = nsPerSecond / 5;
constexpr int64_t progressPlainNs = nsPerSecond;
// PID_MAX_LIMIT of 64-bit kernels, when pid_max cannot be read.
constexpr long pidLimit = 4194304;

// The report handler may interrupt the run between any two table updates; this keeps the
// compiler from caching or reordering them across the points the handler relies on.
inline void tableFence() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

[[noreturn]] void fail(const char *message) {
    perror(message);
    exit(1);
}

int64_t clockNs() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * nsPerSecond + now.tv_nsec;
}

// ---- the pid index -----------------------------------------------------------------------------
// Open addressing with linear probing, at most half full. It holds the pids whose commands are
// running, with the record that waits for each, so it stays as small as the commands running at
// once, however long the run. How many commands of the run have had each pid is counted beside it,
// in an array over all pids of which only the part the run's pids touch is ever resident. The
// child reads both (getpid() as the key) to name its files, so lookups are child code too.

struct PidEntry {
    int pid; // 0: free
    int uses;
    int record;
};

struct PidIndex {
    PidEntry *slots;
    unsigned bits; // 1 << bits slots
    size_t used;
    const PROCESS_STRUCT *records; // the table the entries describe
    int count;
    uint32_t *uses; // per pid below usedPids: how many commands of the run have had it
    size_t usedPids;
};

PidIndex pidIndex;

FANRUN_CHILD_CODE size_t pidHome(const PidIndex &index, int pid) {
    // Fibonacci hashing spreads the runs of consecutive pids over the whole table.
    const uint32_t hash = static_cast<uint32_t>(pid) * 2654435769U;
    return hash >> (32 - index.bits);
}

FANRUN_CHILD_CODE size_t pidSlot(const PidIndex &index, int pid) {
    const size_t mask = (size_t{1} << index.bits) - 1;
    size_t at = pidHome(index, pid);
    while (index.slots[at].pid != 0 && index.slots[at].pid != pid) {
        at = (at + 1) & mask;
    }
    return at;
}

FANRUN_CHILD_CODE bool pidCounted(const PidIndex &index, int pid) {
    return index.uses != nullptr && static_cast<size_t>(pid) < index.usedPids;
}

// How many commands of the run have had pid so far.
FANRUN_CHILD_CODE int pidUses(const PidIndex &index, int pid) {
    if (index.slots == nullptr || pid <= 0) {
        return 0;
    }
    if (pidCounted(index, pid)) {
        return static_cast<int>(index.uses[pid]);
    }
    const PidEntry &entry = index.slots[pidSlot(index, pid)];
    return entry.pid == pid ? entry.uses : 0;
}

// Room for `distinct` pids, or false with the index left as it was.
bool indexInit(PidIndex &index, size_t distinct) {
    unsigned bits = 4;
    while (bits < 31 && (size_t{1} << (bits - 1)) < distinct) {
        ++bits;
    }
    auto *slots = static_cast<PidEntry *>(calloc(size_t{1} << bits, sizeof(PidEntry)));
    if (slots == nullptr) {
        return false;
    }
    index = PidIndex{slots, bits, 0, nullptr, 0, nullptr, 0};
    return true;
}

// Room to count the uses of every pid below pids; false when there is none.
bool indexCountPids(PidIndex &index, size_t pids) {
    // A block this large is mapped zero-filled: only the pages the run's pids touch become
    // resident.
    index.uses = static_cast<uint32_t *>(calloc(pids, sizeof(uint32_t)));
    index.usedPids = index.uses != nullptr ? pids : 0;
    return index.uses != nullptr;
}

void indexDrop() {
    free(pidIndex.slots);
    free(pidIndex.uses);
    pidIndex = PidIndex{};
}

// Drops the entry of a pid whose command has been reaped; its count stays in the array. A pid
// beyond the array (pid_max raised during the run) keeps its entry, for its count.
void indexForget(int pid) {
    size_t hole = pidSlot(pidIndex, pid);
    if (pidIndex.slots[hole].pid != pid || !pidCounted(pidIndex, pid)) {
        return;
    }
    const size_t mask = (size_t{1} << pidIndex.bits) - 1;
    // Later entries of the same probe run move back into the hole, so every lookup still finds
    // its pid before the first free slot.
    for (size_t next = (hole + 1) & mask; pidIndex.slots[next].pid != 0; next = (next + 1) & mask) {
        const size_t home = pidHome(pidIndex, pidIndex.slots[next].pid);
        const bool stays =
            hole < next ? (home > hole && home <= next) : (home > hole || home <= next);
        if (!stays) {
            pidIndex.slots[hole] = pidIndex.slots[next];
            hole = next;
        }
    }
    pidIndex.slots[hole] = PidEntry{};
    --pidIndex.used;
}

// Notes that record now waits for pid. Returns false only when the index is full and cannot grow.
bool indexAdd(int pid, int record) {
    if ((pidIndex.used + 1) * 2 > (size_t{1} << pidIndex.bits)) {
        PidIndex larger{};
        if (pidIndex.bits < 31 && indexInit(larger, pidIndex.used * 2 + 2)) {
            for (size_t i = 0; i < (size_t{1} << pidIndex.bits); ++i) {
                if (pidIndex.slots[i].pid != 0) {
                    larger.slots[pidSlot(larger, pidIndex.slots[i].pid)] = pidIndex.slots[i];
                }
            }
            larger.used = pidIndex.used;
            larger.records = pidIndex.records;
            larger.count = pidIndex.count;
            larger.uses = pidIndex.uses;
            larger.usedPids = pidIndex.usedPids;
            free(pidIndex.slots);
            pidIndex = larger;
        } else if (pidIndex.used + 2 > (size_t{1} << pidIndex.bits)) {
            return false;
        }
    }
    PidEntry &entry = pidIndex.slots[pidSlot(pidIndex, pid)];
    if (entry.pid == 0) {
        entry = PidEntry{pid, 0, record};
        ++pidIndex.used;
    }
    entry.uses = std::min(entry.uses + 1, INT_MAX - 1);
    entry.record = record;
    if (pidCounted(pidIndex, pid)) {
        // A run has at most INT_MAX commands, so the count cannot wrap.
        entry.uses = static_cast<int>(++pidIndex.uses[pid]);
    }
    return true;
}

// The record of the run's own table that waits for pid, or NULL when the index cannot tell.
PROCESS_STRUCT *indexedRecord(PROCESS_STRUCT *records, int pid) {
    if (pidIndex.slots == nullptr || pidIndex.records != records ||
        pidIndex.count != processControl.numProcesses) {
        return nullptr;
    }
    const PidEntry &entry = pidIndex.slots[pidSlot(pidIndex, pid)];
    if (entry.pid != pid || entry.record < 0 || entry.record >= pidIndex.count) {
        return nullptr;
    }
    PROCESS_STRUCT *record = &records[entry.record];
    return record->pid == pid && record->ifExited == 0 ? record : nullptr;
}

// The first record waiting for pid, found through the index when it describes this table.
PROCESS_STRUCT *waitingRecord(int pid) {
    PROCESS_STRUCT *records = processControl.process;
    // Unfilled records hold pid 0, and no reaped child has a pid below 1.
    if (records == nullptr || pid <= 0) {
        return nullptr;
    }
    PROCESS_STRUCT *record = indexedRecord(records, pid);
    if (record != nullptr) {
        return record;
    }
    for (int i = 0; i < processControl.numProcesses; ++i) {
        // A reaped child's pid may be handed to a later child of the same run: the outcome belongs
        // to the record still waiting for it.
        if (records[i].pid == pid && records[i].ifExited == 0) {
            return &records[i];
        }
    }
    return nullptr;
}

void markReaped(PROCESS_STRUCT *record, int status) {
    record->status = status;
    record->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    tableFence();
    record->ifExited = 1;
    tableFence();
}

long readPidMax() {
    long value = pidLimit;
    int fd = open("/proc/sys/kernel/pid_max", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char text[32] = {};
        ssize_t got = read(fd, text, sizeof text - 1);
        close(fd);
        if (got > 0) {
            long read = strtol(text, nullptr, 10);
            if (read > 0 && read <= pidLimit) {
                value = read;
            }
        }
    }
    return value;
}

// ---- child side: async-signal-safe only, no instrumentation, never returns --------------------

// Fixed-capacity text built without stdio or the allocator.
struct ChildText {
    char *data;
    size_t capacity;
    size_t length;
    bool overflow;

    FANRUN_CHILD_CODE void add(const char *text, size_t count) {
        if (overflow || count > capacity - length) {
            overflow = true;
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            data[length + i] = text[i];
        }
        length += count;
    }

    FANRUN_CHILD_CODE void add(const char *text) {
        size_t count = 0;
        while (text[count] != '\0') {
            ++count;
        }
        add(text, count);
    }

    FANRUN_CHILD_CODE void add(int number) {
        char digits[16];
        size_t count = 0;
        long value = number;
        bool negative = value < 0;
        if (negative) {
            value = -value;
        }
        do {
            digits[sizeof digits - 1 - count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        if (negative) {
            digits[sizeof digits - 1 - count++] = '-';
        }
        add(digits + sizeof digits - count, count);
    }
};

// Everything a child needs, prepared by the parent before the child is started.
struct ChildPlan {
    const char *outputDir;
    char *argv[4];         // "/bin/bash", "-c", command, NULL
    char *const *direct;   // the program and its arguments when started without the shell
    const char *program;   // direct's program as found in PATH; NULL when it was not found
    char *const *script;   // "/bin/bash", program, direct's arguments: for a program that has
                           // no binary format; the child has no memory of its own to make it
    int outFd;             // -1: the output files; else the command's standard output
    int errFd;             // -1: the output files; else the command's standard error
    int inFd;              // -1: input as planned below; else the command's standard input
    sigset_t resetSignals; // caught (or report) signals to turn back to the default action
    sigset_t execMask;     // the mask the command starts with
    struct sigaction defaultAction;
    bool ownGroup;     // the command leads a process group of its own
    const char *input; // standard input from this device, or NULL to keep the runner's
};

// Writes message in one piece to standard error; a short write has nowhere better to go.
FANRUN_CHILD_CODE void childWrite(const ChildText &message) {
    ssize_t written = write(STDERR_FILENO, message.data, message.length);
    (void)written;
}

// perror(message) without stdio: "message: error text\n".
[[noreturn]] FANRUN_CHILD_CODE void childPerror(const char *message) {
    int error = errno;
    char buffer[512];
    ChildText text{buffer, sizeof buffer, 0, false};
    text.add(message);
    text.add(": ");
    const char *description = strerrordesc_np(error);
    if (description != nullptr) {
        text.add(description);
    } else {
        text.add("Unknown error ");
        text.add(error);
    }
    text.add("\n");
    childWrite(text);
    _exit(1);
}

// message with the child's pid and a newline, as in "Error: exec failed on PID %d\n".
[[noreturn]] FANRUN_CHILD_CODE void childReport(const char *message, int pid) {
    char buffer[128];
    ChildText text{buffer, sizeof buffer, 0, false};
    text.add(message);
    text.add(pid);
    text.add("\n");
    childWrite(text);
    _exit(1);
}

// How many earlier commands of this run had pid.
FANRUN_CHILD_CODE int earlierUses(int pid) {
    return pidUses(pidIndex, pid);
}

// "outputDir/PID.suffix", or "outputDir/PID.n.suffix" for the n-th command of the run with this pid
// (uses earlier ones); false when it does not fit.
FANRUN_CHILD_CODE bool outputName(char (&name)[PATH_MAX], const char *outputDir, int pid, int uses,
                                  const char *suffix) {
    ChildText path{name, sizeof name - 1, 0, false};
    path.add(outputDir);
    path.add("/");
    path.add(pid);
    if (uses > 0) {
        path.add(".");
        path.add(uses + 1);
    }
    path.add(suffix);
    name[path.length] = '\0';
    return !path.overflow;
}

// Opens "outputDir/PID.suffix" (the n-th command of the run with this pid, n > 1:
// "outputDir/PID.n.suffix") write-only, created 0644, truncated, and only as a regular file: a
// symbolic link fails with ELOOP, a FIFO, device or socket with ENXIO (without blocking), a
// directory with EISDIR. A name longer than the system accepts fails with ENAMETOOLONG instead
// of being cut to a different file's name. The descriptor is close-on-exec unless inherited is
// set.
FANRUN_CHILD_CODE int openOutput(const char *outputDir, int pid, int uses, const char *suffix,
                                 bool inherited) {
    char name[PATH_MAX];
    if (outputDir == nullptr) {
        errno = ENOENT;
        return -1;
    }
    if (!outputName(name, outputDir, pid, uses, suffix)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int common = O_WRONLY | O_NOFOLLOW | O_NOCTTY | (inherited ? 0 : O_CLOEXEC);
    for (int attempt = 0; attempt < 3; ++attempt) {
        // A new name is a new regular file: the usual case costs a single call.
        int fd = open(name, common | O_CREAT | O_EXCL, 0644);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
        fd = open(name, common | O_NONBLOCK | O_TRUNC);
        if (fd < 0) {
            if (errno == ENOENT) {
                continue; // removed in between: create it after all
            }
            return -1;
        }
        struct stat info {};
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            int error = S_ISREG(info.st_mode) ? errno : ENXIO;
            close(fd);
            errno = error;
            return -1;
        }
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        return fd;
    }
    return -1;
}

// Makes fd the descriptor target, open across exec.
FANRUN_CHILD_CODE bool moveTo(int fd, int target) {
    if (fd == target) {
        return fcntl(fd, F_SETFD, 0) == 0;
    }
    if (dup2(fd, target) < 0) {
        return false;
    }
    close(fd);
    return true;
}

// Makes the given descriptor fd the descriptor target, open across exec; fd stays as it is.
FANRUN_CHILD_CODE bool useAs(int fd, int target) {
    if (fd == target) {
        return fcntl(fd, F_SETFD, 0) == 0;
    }
    return dup2(fd, target) >= 0;
}

// Starts the program of a command given as words, as bash would: 127 when it was not found, 126
// when it cannot be run, and a file without a binary format runs as a bash script.
[[noreturn]] FANRUN_CHILD_CODE void execDirect(const ChildPlan *plan) {
    char *const *words = plan->direct;
    char buffer[PATH_MAX + 64];
    ChildText text{buffer, sizeof buffer, 0, false};
    text.add("fanrun: ");
    text.add(words[0]);
    if (plan->program == nullptr) {
        text.add(": command not found\n");
        childWrite(text);
        _exit(127);
    }
    execve(plan->program, words, environ);
    int error = errno;
    if (error == ENOEXEC) {
        execve("/bin/bash", plan->script, environ);
        error = errno;
    }
    text.add(": ");
    const char *description = strerrordesc_np(error);
    text.add(description != nullptr ? description : "cannot be run");
    text.add("\n");
    childWrite(text);
    _exit(error == ENOENT ? 127 : 126);
}

FANRUN_CHILD_CODE int childMain(void *argument) {
    const ChildPlan *plan = static_cast<const ChildPlan *>(argument);
    int pid = getpid();
    if (plan->ownGroup) {
        // Cannot fail for a new child; the runner falls back to the pid if the group is missing.
        setpgid(0, 0);
    }
    const int uses = earlierUses(pid);

    int errFd = plan->errFd;
    if (errFd == STDOUT_FILENO && plan->outFd != STDOUT_FILENO) {
        // Standard output is about to be replaced; keep what standard error must become.
        errFd = fcntl(errFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (errFd < 0) {
            childPerror("Error: dup2 failed\n");
        }
    }
    if (plan->outFd >= 0) {
        if (!useAs(plan->outFd, STDOUT_FILENO)) {
            childPerror("Error: dup2 failed\n");
        }
    } else {
        // Opened into the place of the runner's standard output, the file needs no dup2 and
        // close; standard error still is the runner's for a message.
        close(STDOUT_FILENO);
        int fd = openOutput(plan->outputDir, pid, uses, ".stdout", true);
        if (fd < 0) {
            childPerror("Error: open failed\n");
        }
        // With the runner's standard input closed, the file takes descriptor 0 instead.
        if (fd != STDOUT_FILENO && !moveTo(fd, STDOUT_FILENO)) {
            childPerror("Error: dup2 failed\n");
        }
    }

    if (errFd >= 0) {
        if (!useAs(errFd, STDERR_FILENO)) {
            childReport("Error: dup2 failed on PID ", pid);
        }
    } else {
        int fd = openOutput(plan->outputDir, pid, uses, ".stderr", false);
        if (fd < 0) {
            childReport("Error: open failed on PID ", pid);
        }
        // Standard error stays the runner's until the file is there; the file's own descriptor
        // is closed by exec, or by the exit that follows a failed one.
        if (!useAs(fd, STDERR_FILENO)) {
            childReport("Error: dup2 failed on PID ", pid);
        }
    }

    if (plan->inFd >= 0) {
        if (!useAs(plan->inFd, STDIN_FILENO)) {
            childReport("Error: dup2 failed on PID ", pid);
        }
    } else if (plan->input != nullptr) {
        close(STDIN_FILENO);
        int fd = open(plan->input, O_RDONLY);
        if (fd < 0) {
            childReport("Error: open failed on PID ", pid);
        }
        if (fd != STDIN_FILENO && !moveTo(fd, STDIN_FILENO)) {
            childReport("Error: dup2 failed on PID ", pid);
        }
    }

    // The command starts with the report signals neither blocked nor caught, SIGPIPE at its
    // default, and no handler of the parent may run here on the shared memory between unblocking
    // and exec.
    for (int signum = 1; signum < NSIG; ++signum) {
        if (sigismember(&plan->resetSignals, signum) == 1) {
            sigaction(signum, &plan->defaultAction, nullptr);
        }
    }
    sigprocmask(SIG_SETMASK, &plan->execMask, nullptr);
    if (plan->direct != nullptr) {
        execDirect(plan);
    }
    execve("/bin/bash", plan->argv, environ);
    childReport("Error: exec failed on PID ", pid);
}

// Only one child exists in the shared address space at a time (the parent is suspended until it
// has exec'd or exited), so one stack serves every child.
alignas(64) unsigned char childStack[128 * 1024];

// ---- parent side: signals -----------------------------------------------------------------------

// The first stop signal of the run, or one noted through fanrunStop() before the run took it.
volatile sig_atomic_t stopReceived;
volatile sig_atomic_t stopRepeated; // a SIGINT or SIGTERM after it

void onStopSignal(int signum) {
    fanrunStop(signum);
}

// Only there to end the event wait.
void onChildEnded(int /*signum*/) {}

const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t stopSignalCount = sizeof stopSignals / sizeof stopSignals[0];

// Job control of a run whose commands have groups of their own: a stop of the runner reaches only
// its own group, so the runner passes it on and continues the commands when it is continued.
const int suspendSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};
constexpr size_t suspendSignalCount = sizeof suspendSignals / sizeof suspendSignals[0];
volatile sig_atomic_t suspendReceived; // SIGTSTP, SIGTTIN or SIGTTOU not yet acted on
volatile sig_atomic_t continueReceived;

void onSuspendSignal(int signum) {
    if (signum == SIGCONT) {
        continueReceived = 1;
    } else {
        suspendReceived = signum;
    }
}

// Signal state of one run.
struct RunSignals {
    sigset_t entryMask;     // mask the caller had; restored at the end
    sigset_t eventSet;      // SIGCHLD and the stop signals, for event waits; else empty
    sigset_t setupMask;     // entry mask plus the event signals: the main flow until installed
    sigset_t runMask;       // setup mask plus both report signals: the main flow outside waits
    sigset_t waitMask;      // entry mask less report and event signals: while blocked in wait
    sigset_t earlyWaitMask; // entry mask less event signals: event waits before installing
    sigset_t allMask;       // while a child shares the parent's memory
    struct sigaction previousUsr1;
    struct sigaction previousUsr2;
    struct sigaction previousPipe;
    struct sigaction previousChld;
    struct sigaction previousStop[stopSignalCount];
    struct sigaction previousSuspend[suspendSignalCount];
    bool chldChanged;
    bool suspends; // the job control signals are the run's
    bool events;
    bool stops;
    bool installed;

    // The mask of the main flow, and the one it opens while it sleeps for events.
    const sigset_t &current() const { return installed ? runMask : setupMask; }
    const sigset_t &sleeping() const { return installed ? waitMask : earlyWaitMask; }
};

void prepareSignals(RunSignals &signals, ChildPlan &plan, bool events, bool stops) {
    sigprocmask(SIG_BLOCK, nullptr, &signals.entryMask);
    signals.events = events;
    signals.stops = stops;
    signals.suspends = events && plan.ownGroup;
    sigemptyset(&signals.eventSet);
    if (events) {
        sigaddset(&signals.eventSet, SIGCHLD);
    }
    if (stops) {
        for (int signum : stopSignals) {
            sigaddset(&signals.eventSet, signum);
        }
    }
    signals.setupMask = signals.entryMask;
    signals.waitMask = signals.entryMask;
    signals.earlyWaitMask = signals.entryMask;
    for (int signum = 1; signum < NSIG; ++signum) {
        if (sigismember(&signals.eventSet, signum) == 1) {
            sigaddset(&signals.setupMask, signum);
            sigdelset(&signals.waitMask, signum);
            sigdelset(&signals.earlyWaitMask, signum);
        }
    }
    if (signals.suspends) {
        // Taken like the stop signals: the handler notes them, the run loop acts while it waits.
        for (int signum : suspendSignals) {
            sigaddset(&signals.setupMask, signum);
            sigdelset(&signals.waitMask, signum);
            sigdelset(&signals.earlyWaitMask, signum);
        }
    }
    signals.runMask = signals.setupMask;
    sigaddset(&signals.runMask, SIGUSR1);
    sigaddset(&signals.runMask, SIGUSR2);
    sigdelset(&signals.waitMask, SIGUSR1);
    sigdelset(&signals.waitMask, SIGUSR2);
    sigfillset(&signals.allMask);
    signals.installed = false;

    plan.execMask = signals.entryMask;
    sigdelset(&plan.execMask, SIGUSR1);
    sigdelset(&plan.execMask, SIGUSR2);
    sigemptyset(&plan.resetSignals);
    sigaddset(&plan.resetSignals, SIGUSR1);
    sigaddset(&plan.resetSignals, SIGUSR2);
    sigaddset(&plan.resetSignals, SIGPIPE);
    if (signals.suspends) {
        for (int signum : suspendSignals) {
            sigaddset(&plan.resetSignals, signum);
        }
    }
    for (int signum = 1; signum < NSIG; ++signum) {
        struct sigaction action {};
        if (sigismember(&signals.eventSet, signum) == 1 ||
            (sigaction(signum, nullptr, &action) == 0 && action.sa_handler != SIG_DFL &&
             action.sa_handler != SIG_IGN)) {
            sigaddset(&plan.resetSignals, signum);
        }
    }
    plan.defaultAction = {};
    plan.defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&plan.defaultAction.sa_mask);

    // A closed standard output must fail the report's writes, not end the runner mid-run.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &signals.previousPipe);

    if (events) {
        sigprocmask(SIG_SETMASK, &signals.setupMask, nullptr);
        struct sigaction action {};
        action.sa_handler = onChildEnded;
        sigemptyset(&action.sa_mask);
        sigaction(SIGCHLD, &action, &signals.previousChld);
        if (stops) {
            action.sa_handler = onStopSignal;
            action.sa_mask = signals.eventSet;
            for (size_t i = 0; i < stopSignalCount; ++i) {
                sigaction(stopSignals[i], &action, &signals.previousStop[i]);
            }
        }
        if (signals.suspends) {
            suspendReceived = 0;
            continueReceived = 0;
            action.sa_handler = onSuspendSignal;
            sigemptyset(&action.sa_mask);
            for (int signum : suspendSignals) {
                sigaddset(&action.sa_mask, signum);
            }
            for (size_t i = 0; i < suspendSignalCount; ++i) {
                sigaction(suspendSignals[i], &action, &signals.previousSuspend[i]);
            }
        }
    } else {
        // Inherited as ignored (or with SA_NOCLDWAIT), SIGCHLD would have the kernel reap the
        // children, and the first wait would fail.
        sigaction(SIGCHLD, nullptr, &signals.previousChld);
        signals.chldChanged = signals.previousChld.sa_handler == SIG_IGN ||
                              (signals.previousChld.sa_flags & SA_NOCLDWAIT) != 0;
        if (signals.chldChanged) {
            sigaction(SIGCHLD, &plan.defaultAction, nullptr);
        }
    }
}

void installHandlers(RunSignals &signals) {
    sigprocmask(SIG_SETMASK, &signals.runMask, nullptr);
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGUSR1);
    sigaddset(&action.sa_mask, SIGUSR2);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, &signals.previousUsr1);
    sigaction(SIGUSR2, &action, &signals.previousUsr2);
    signals.installed = true;
}

// Starts the child for command; returns its pid, or -1 with errno set.
pid_t startChild(ChildPlan &plan, char *command, const RunSignals &signals) {
    plan.argv[2] = command;
    sigprocmask(SIG_SETMASK, &signals.allMask, nullptr);
    pid_t pid =
        clone(childMain, childStack + sizeof childStack, CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    int error = errno;
    sigprocmask(SIG_SETMASK, &signals.current(), nullptr);
    errno = error;
    return pid;
}

// ---- the run's state ----------------------------------------------------------------------------

struct KillEntry {
    int record;
    int64_t at;
    int step; // the signal of the term sequence due at `at`; -1 once the entry is done
};

enum : unsigned char { termSent = 1, timedOut = 2, givenOutput = 4 };

// What a run does, in the order it can go through: it only moves on, through enterPhase().
enum class Phase : unsigned char {
    launching, // commands start as slots free up
    draining,  // no further command starts (none left, or halting soon); the running ones finish
    stopping,  // a stop signal or halting now: the running commands were told to end
    killing,   // a second stop signal: what still ran got SIGKILL
};

// The state of one run beyond the table.
struct Run {
    PROCESS_STRUCT *records;
    int count; // commands of the run as far as known: the table's numProcesses
    int launched;
    FANRUN_OPTIONS options;
    Phase phase;
    int firstUnreaped; // below it every record has been reaped
    int64_t startedNs;
    int64_t timeoutNs;    // 0: none
    int64_t *startedAt;   // per record, with a timeout
    unsigned char *flags; // per record, with a timeout or halting now
    KillEntry *killQueue; // records being ended, with the next signal of the term sequence due
    int killHead;
    int killTail;
    int timeoutCursor;     // records before it are reaped or signalled
    bool progressTerminal; // the progress line is rewritten in place
    int64_t progressDue;
    // Runs from a source: the table grows as commands start.
    const FANRUN_SOURCE *source; // NULL: the commands of pparams
    int capacity;                // records the table and the per-record arrays have room for
    int64_t timerDue; // the earliest deadline of a timeout or a grace period, INT64_MAX: none
    char **script;    // the words of a command without the shell as a bash script's
    size_t scriptRoom;
    bool ownGroup;     // every command leads a process group of its own
    bool haltSpent;    // halting has acted once: neither a source nor the option acts again
    bool suspended;    // the runner has stopped every running command itself
    int64_t *limitNs;  // per record, once a source gave a command a timeout of its own: 0 none
    TermSequence term; // the term sequence of the run, copied when it starts
};

void signalCommand(const Run &run, int index, int signum) {
    const pid_t pid = run.records[index].pid;
    if (!run.ownGroup || kill(-pid, signum) != 0) {
        kill(pid, signum);
    }
}

// Sends the first signal of the term sequence to the command of record index; the rest follow
// from the kill queue while it runs.
void beginEnding(Run &run, int index, int64_t now) {
    signalCommand(run, index, run.term.signals[0]);
    run.flags[index] |= termSent;
    if (run.term.count > 1) {
        run.killQueue[run.killTail++] = KillEntry{index, now + run.term.waitsNs[0], 1};
    }
}

// Sends signum to every command still running; with queueKill, the term sequence instead to every
// one not being ended yet (signum to those that are).
void signalRunning(Run &run, int signum, bool queueKill) {
    while (run.firstUnreaped < run.launched && run.records[run.firstUnreaped].ifExited != 0) {
        ++run.firstUnreaped;
    }
    const int64_t now = queueKill ? clockNs() : 0;
    for (int i = run.firstUnreaped; i < run.launched; ++i) {
        if (run.records[i].ifExited != 0) {
            continue;
        }
        if (queueKill && (run.flags[i] & termSent) == 0) {
            beginEnding(run, i, now);
        } else {
            signalCommand(run, i, signum);
        }
    }
}

// Moves the run on to phase; a run never goes back to an earlier phase.
void enterPhase(Run &run, Phase phase) {
    run.phase = std::max(run.phase, phase);
}

// Stops the run as the halt setting how says after a failure: halting soon drains it, halting now
// also tells the running commands to end. Halting acts once per run, whoever asks (a later halting
// now must not end what a source chose to let finish), and not on a run already past it.
void halt(Run &run, int how) {
    const bool now = how == FANRUN_HALT_NOW;
    if (how == FANRUN_HALT_NEVER || run.haltSpent ||
        run.phase >= (now ? Phase::stopping : Phase::draining)) {
        return;
    }
    run.haltSpent = true;
    if (run.launched < run.count || (now && processControl.numRunning > 0)) {
        lastResult.halted = 1;
    }
    if (now && run.killQueue == nullptr) {
        // Halting now asked for by a source: the grace period's queue is made when first needed.
        run.killQueue = static_cast<KillEntry *>(
            calloc(static_cast<size_t>(std::max(run.capacity, 1)), sizeof(KillEntry)));
    }
    if (now) {
        // Without room for the grace period, what runs is ended at once.
        signalRunning(run, run.killQueue != nullptr ? SIGTERM : SIGKILL, run.killQueue != nullptr);
    }
    enterPhase(run, now ? Phase::stopping : Phase::draining);
}

// ---- commands from a source -------------------------------------------------------------------

FANRUN_SOURCE runSource;
bool haveSource;

// Grows the array at *array from old to room elements, the new ones zero; false when memory ran
// out, with the array as it was.
template <typename T> bool growArray(T **array, size_t old, size_t room) {
    if (*array == nullptr) {
        return true; // an array this run does not keep
    }
    auto *grown = static_cast<T *>(realloc(*array, room * sizeof(T)));
    if (grown == nullptr) {
        return false;
    }
    memset(static_cast<void *>(grown + old), 0, (room - old) * sizeof(T));
    *array = grown;
    return true;
}

// Room in the table and the per-record arrays for record index; false when memory ran out. The
// report handler never runs here, so moving the records is safe.
bool makeRoom(Run &run, int index) {
    if (index < run.capacity) {
        return true;
    }
    const size_t old = static_cast<size_t>(run.capacity);
    size_t room = old < 16 ? 16 : (old > INT_MAX / 2 ? size_t{INT_MAX} : old * 2);
    room = std::max(room, static_cast<size_t>(index) + 1);
    if (index >= INT_MAX || room <= old) {
        return false;
    }
    const bool grown = growArray(&run.records, old, room) && growArray(&run.flags, old, room) &&
                       growArray(&run.startedAt, old, room) &&
                       growArray(&run.killQueue, old, room) && growArray(&run.limitNs, old, room);
    // Every array that did grow is kept: the capacity counts only what all of them have.
    processControl.process = run.records;
    pidIndex.records = run.records;
    tableFence();
    if (grown) {
        run.capacity = static_cast<int>(room);
    }
    return grown;
}

// argv[0] as bash finds it: a name with a slash as it is; otherwise the first directory of PATH
// (an empty entry is the current one) with an executable regular file of that name, else the
// first with such a file at all (so that running it fails as bash's would), else NULL. The last
// program found is remembered with the PATH it was found in, since a run mostly starts one
// program, and a program may change PATH between runs; it is checked again before each use.
const char *findProgram(const char *name) {
    static char lastName[PATH_MAX];
    static char *lastPath; // malloc'd
    static char found[PATH_MAX];
    static bool foundExecutable; // only a program that can be run is remembered
    if (strchr(name, '/') != nullptr) {
        return name;
    }
    const size_t nameLength = strlen(name);
    if (nameLength == 0 || nameLength >= sizeof lastName) {
        return nullptr;
    }
    const char *path = getenv("PATH");
    if (path == nullptr) {
        path = "/usr/local/bin:/usr/local/sbin:/usr/bin:/usr/sbin:/bin:/sbin:.";
    } else if (*path == '\0') {
        // bash searches nowhere then: the name is a path from the current directory.
        return name;
    }
    if (strcmp(name, lastName) == 0 && lastPath != nullptr && strcmp(lastPath, path) == 0 &&
        foundExecutable) {
        // A program removed (or no longer executable) since is looked up again, as bash does when
        // its remembered path fails: a later directory of PATH may have another copy.
        struct stat info {};
        if (stat(found, &info) == 0 && S_ISREG(info.st_mode) && access(found, X_OK) == 0) {
            return found;
        }
    }
    char candidate[PATH_MAX];
    bool haveFile = false;
    bool haveExecutable = false;
    for (const char *entry = path;; ++entry) {
        const char *end = strchrnul(entry, ':');
        const size_t length = static_cast<size_t>(end - entry);
        // An empty entry is the current directory, named as bash names it; an entry that ends in
        // a slash gets no other.
        const char *directory = length == 0 ? "." : entry;
        const size_t directoryLength = length == 0 ? 1 : length;
        const size_t slash = directory[directoryLength - 1] == '/' ? 0 : 1;
        if (directoryLength + slash + nameLength < sizeof candidate) {
            memcpy(candidate, directory, directoryLength);
            if (slash != 0) {
                candidate[directoryLength] = '/';
            }
            memcpy(candidate + directoryLength + slash, name, nameLength + 1);
            struct stat info {};
            if (stat(candidate, &info) == 0 && S_ISREG(info.st_mode)) {
                if (access(candidate, X_OK) == 0) {
                    memcpy(found, candidate, sizeof found);
                    haveExecutable = true;
                    break;
                }
                if (!haveFile) {
                    memcpy(found, candidate, sizeof found);
                    haveFile = true;
                }
            }
        }
        if (*end == '\0') {
            break;
        }
        entry = end;
    }
    if (lastPath == nullptr || strcmp(lastPath, path) != 0) {
        free(lastPath);
        // Without memory nothing is remembered: the next command looks again.
        lastPath = strdup(path);
    }
    memcpy(lastName, name, nameLength + 1);
    foundExecutable = haveExecutable;
    return haveExecutable || haveFile ? found : nullptr;
}

// Tells the source of the command in record index that it has started (status 0) or ended.
// Returns the halting the source's ended asks for, FANRUN_HALT_NEVER at a start.
int tellSource(const Run &run, int index, int status, bool ended) {
    if ((ended ? run.source->ended == nullptr : run.source->started == nullptr)) {
        return FANRUN_HALT_NEVER;
    }
    const PROCESS_STRUCT &record = run.records[index];
    FANRUN_EVENT event{index,   record.pid, status, (run.flags[index] & timedOut) != 0 ? 1 : 0,
                       nullptr, nullptr};
    char stdoutPath[PATH_MAX];
    char stderrPath[PATH_MAX];
    if (ended && (run.flags[index] & givenOutput) == 0 && pparams.outputDir != nullptr) {
        // The command has ended, so no later one has taken its pid yet: its use count is its own.
        const int earlier = std::max(pidUses(pidIndex, record.pid) - 1, 0);
        if (outputName(stdoutPath, pparams.outputDir, record.pid, earlier, ".stdout") &&
            outputName(stderrPath, pparams.outputDir, record.pid, earlier, ".stderr")) {
            event.stdoutPath = stdoutPath;
            event.stderrPath = stderrPath;
        }
    }
    if (!ended) {
        run.source->started(run.source->context, &event);
        return FANRUN_HALT_NEVER;
    }
    const int how = run.source->ended(run.source->context, &event);
    return how == FANRUN_HALT_SOON || how == FANRUN_HALT_NOW ? how : FANRUN_HALT_NEVER;
}

// ---- reaping ------------------------------------------------------------------------------------

// Books the reaped child pid: its record, the counters, the outcome of the run, halting.
void recordReap(Run &run, pid_t pid, int status) {
    bool failed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    PROCESS_STRUCT *record = waitingRecord(pid);
    if (record != nullptr) {
        markReaped(record, status);
        if (run.flags != nullptr && (run.flags[record - run.records] & timedOut) != 0) {
            ++lastResult.numTimedOut;
            failed = true;
        }
    }
    if (failed) {
        ++lastResult.numFailed;
    }
    // The record is complete before the counters say so: a report stops after numCompleted.
    tableFence();
    --processControl.numRunning;
    ++processControl.numCompleted;
    tableFence();
    if (failed) {
        halt(run, run.options.halt);
    }
    if (record != nullptr && run.source != nullptr) {
        // The command's entry in the index is still there (its output files' names need its use
        // count): it goes once the outcome is told.
        halt(run, tellSource(run, static_cast<int>(record - run.records), status, true));
    }
    if (record != nullptr) {
        indexForget(pid);
    }
}

// Waits for any child and records it; reports run only inside this wait.
void reapOne(Run &run, const RunSignals &signals) {
    int status = 0;
    if (signals.installed) {
        sigprocmask(SIG_SETMASK, &signals.waitMask, nullptr);
    }
    pid_t pid = 0;
    do {
        pid = wait(&status);
    } while (pid < 0 && errno == EINTR);
    if (signals.installed) {
        sigprocmask(SIG_SETMASK, &signals.runMask, nullptr);
    }
    if (pid <= 0) {
        exit(1);
    }
    recordReap(run, pid, status);
}

// A command in a group of its own that reads from or writes to the terminal is stopped by the
// terminal, and nothing would ever continue it: it is named on standard error and ended.
void endStopped(pid_t pid, int signum) {
    const PROCESS_STRUCT *record = waitingRecord(pid);
    const char *name = sigabbrev_np(signum);
    const bool terminal = signum == SIGTTIN || signum == SIGTTOU;
    fprintf(stderr, "fanrun: command %d stopped by SIG%s%s, ended: %s\n", static_cast<int>(pid),
            name != nullptr ? name : "?", terminal ? " (it wants the terminal; use --tty)" : "",
            record != nullptr ? record->command : "?");
    if (kill(-pid, SIGKILL) != 0) {
        kill(pid, SIGKILL);
    }
}

// Reaps every child that has ended; true if there was one. No child at all is a failed wait.
bool reapReady(Run &run) {
    bool any = false;
    const int flags = run.ownGroup ? WNOHANG | WUNTRACED : WNOHANG;
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, flags);
        if (pid > 0 && WIFSTOPPED(status)) {
            // A command the runner stopped with the rest of the batch waits to be continued.
            if (!run.suspended) {
                endStopped(pid, WSTOPSIG(status));
            }
            any = true;
        } else if (pid > 0) {
            recordReap(run, pid, status);
            any = true;
        } else if (pid < 0 && errno == EINTR) {
            continue;
        } else if (pid < 0 && !any) {
            exit(1);
        } else {
            return any;
        }
    }
}

// ---- the progress line --------------------------------------------------------------------------

void writeAll(int fd, const char *text, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, text, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text += written;
        length -= static_cast<size_t>(written);
    }
}

// "m:ss", or "h:mm:ss" from an hour on.
void formatDuration(char *text, size_t size, int64_t ns) {
    const long long seconds = ns / nsPerSecond;
    if (seconds >= 3600) {
        snprintf(text, size, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    } else {
        snprintf(text, size, "%lld:%02lld", seconds / 60, seconds % 60);
    }
}

// The bar before the figures (FANRUN_OPTIONS.progressBar): "NN% [###   ] ", a third of the
// terminal's width at most 60 cells; asked of the terminal each time, so that it follows a resize.
void writeBar(char *text, size_t size, int done, int count) {
    winsize window{};
    const int columns =
        ioctl(STDERR_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 0 ? window.ws_col : 80;
    const int cells = std::clamp(columns / 3, 1, 60);
    const int percent = count > 0 ? static_cast<int>(100LL * done / count) : 0;
    const int filled =
        count > 0 ? static_cast<int>(static_cast<long long>(cells) * done / count) : 0;
    char cellsText[64];
    for (int i = 0; i < cells; ++i) {
        cellsText[i] = i < filled ? '#' : ' ';
    }
    cellsText[cells] = '\0';
    snprintf(text, size, "%3d%% [%s] ", percent, cellsText);
}

void writeProgress(const Run &run, int64_t now, bool last) {
    const int done = processControl.numCompleted;
    const int64_t elapsed = now - run.startedNs;
    char elapsedText[32];
    char leftText[32] = "?";
    formatDuration(elapsedText, sizeof elapsedText, elapsed);
    if (done >= run.count) {
        formatDuration(leftText, sizeof leftText, 0);
    } else if (done > 0) {
        const double left =
            static_cast<double>(elapsed) * static_cast<double>(run.count - done) / done;
        formatDuration(leftText, sizeof leftText, static_cast<int64_t>(left));
    }
    char bar[128] = "";
    if (run.progressTerminal && run.options.progressBar != 0) {
        writeBar(bar, sizeof bar, done, run.count);
    }
    char line[384];
    int length =
        snprintf(line, sizeof line, "%s%s%d/%d done, %d running, %d failed, %s elapsed, %s left%s",
                 run.progressTerminal ? "\r" : "", bar, done, run.count, processControl.numRunning,
                 lastResult.numFailed, elapsedText, leftText,
                 run.progressTerminal ? (last ? "\033[K\n" : "\033[K") : "\n");
    if (length > 0) {
        writeAll(STDERR_FILENO, line, std::min(static_cast<size_t>(length), sizeof line - 1));
    }
}

// ---- timers and stop ----------------------------------------------------------------------------

// Takes a stop signal that the handler noted: the first goes on to every running command, a
// second SIGINT or SIGTERM ends what still runs with SIGKILL.
void handleStop(Run &run) {
    const int signum = stopReceived;
    if (signum != 0 && lastResult.stopSignal == 0) {
        lastResult.stopSignal = signum;
        signalRunning(run, signum, false);
        enterPhase(run, Phase::stopping);
    }
    if (stopRepeated != 0 && run.phase != Phase::killing) {
        signalRunning(run, SIGKILL, false);
        enterPhase(run, Phase::killing);
    }
}

// Sends signum to the group of every command still running.
void signalEachRunning(const Run &run, int signum) {
    for (int i = run.firstUnreaped; i < run.launched; ++i) {
        if (run.records[i].ifExited == 0) {
            signalCommand(run, i, signum);
        }
    }
}

// Takes a job control signal that the handler noted. SIGTSTP, SIGTTIN or SIGTTOU stop every
// running command (with SIGSTOP, which no command can ignore) and then the runner; once the runner
// is continued, so are the commands, and every deadline moves on by the time the batch stood
// still, so a timeout counts only running time. A SIGCONT alone (the runner was stopped by
// SIGSTOP, which reaches it alone, while its commands ran on) continues the commands too; their
// deadlines stay, since they were not stopped.
void handleSuspend(Run &run) {
    const int signum = suspendReceived;
    if (signum == 0) {
        if (continueReceived != 0) {
            continueReceived = 0;
            signalEachRunning(run, SIGCONT);
        }
        return;
    }
    suspendReceived = 0;
    run.suspended = true;
    const int64_t stoppedAt = clockNs();
    signalEachRunning(run, SIGSTOP);
    // Stops here until continued. SIGSTOP rather than SIGTSTP at its default action: in an
    // orphaned process group the kernel would drop that stop, and the batch would be stopped and
    // continued at once, which races with a command that forks in between.
    kill(getpid(), SIGSTOP);
    const int64_t gap = clockNs() - stoppedAt;
    continueReceived = 0;
    signalEachRunning(run, SIGCONT);
    run.suspended = false;
    if (run.startedAt != nullptr) {
        for (int i = run.timeoutCursor; i < run.launched; ++i) {
            run.startedAt[i] += gap;
        }
    }
    for (int i = run.killHead; i < run.killTail; ++i) {
        run.killQueue[i].at += gap;
    }
}

// Ends the commands whose timeout has come; returns the next timeout's deadline, INT64_MAX: none.
int64_t serviceTimeouts(Run &run, int64_t now) {
    int64_t next = INT64_MAX;
    // With the run's timeout alone commands fall due in record order, so the first not yet due
    // ends the pass; with timeouts of their own every running command is looked at.
    const bool ordered = run.limitNs == nullptr;
    int at = run.timeoutCursor;
    bool prefix = true; // every record from the cursor to here is reaped or being ended
    for (int i = run.timeoutCursor; i < run.launched; ++i) {
        if (run.records[i].ifExited != 0 || (run.flags[i] & termSent) != 0) {
            at = prefix ? i + 1 : at;
            continue;
        }
        const int64_t limit = !ordered && run.limitNs[i] > 0 ? run.limitNs[i] : run.timeoutNs;
        const int64_t due = limit > 0 ? run.startedAt[i] + limit : INT64_MAX;
        if (due > now) {
            next = std::min(next, due);
            prefix = false;
            if (ordered) {
                break;
            }
            continue;
        }
        beginEnding(run, i, now);
        run.flags[i] |= timedOut;
        at = prefix ? i + 1 : at;
    }
    run.timeoutCursor = at;
    return next;
}

// Sends the signals of the term sequences that have come due; returns the next one's deadline.
int64_t serviceKills(Run &run, int64_t now) {
    int64_t next = INT64_MAX;
    for (int i = run.killHead; i < run.killTail; ++i) {
        KillEntry &entry = run.killQueue[i];
        if (entry.step >= 0 && run.records[entry.record].ifExited != 0) {
            entry.step = -1;
        }
        if (entry.step < 0) {
            continue;
        }
        if (entry.at <= now) {
            signalCommand(run, entry.record, run.term.signals[entry.step]);
            if (++entry.step >= run.term.count) {
                entry.step = -1;
                continue;
            }
            entry.at = now + run.term.waitsNs[entry.step - 1];
        }
        next = std::min(next, entry.at);
    }
    while (run.killHead < run.killTail && run.killQueue[run.killHead].step < 0) {
        ++run.killHead;
    }
    return next;
}

// Sends what the timeouts and term sequences call for by now; returns the next deadline.
int64_t serviceTimers(Run &run, int64_t now) {
    int64_t next = INT64_MAX;
    if (run.timeoutNs > 0 || run.limitNs != nullptr) {
        next = serviceTimeouts(run, now);
    }
    if (run.killHead < run.killTail) {
        next = std::min(next, serviceKills(run, now));
    }
    if (run.options.progress) {
        if (now >= run.progressDue) {
            writeProgress(run, now, false);
            run.progressDue = now + (run.progressTerminal ? progressTerminalNs : progressPlainNs);
        }
        next = std::min(next, run.progressDue);
    }
    return next;
}

// ---- waiting ------------------------------------------------------------------------------------

// Sleeps until a child has been reaped or the launching has been stopped, and also until fd (when
// not -1) is readable or has hung up, or until the time until (when not 0) has come, serving
// signals, timeouts and progress meanwhile. Reports run only inside the sleep.
void waitEvents(Run &run, const RunSignals &signals, int fd = -1, int64_t until = 0) {
    const int completed = processControl.numCompleted;
    const Phase phase = run.phase;
    for (;;) {
        // Continued first: a command stopped with the runner must not be taken for one that wants
        // the terminal.
        if (signals.suspends) {
            handleSuspend(run);
        }
        if (processControl.numRunning > 0) {
            reapReady(run);
        }
        handleStop(run);
        const int64_t now = clockNs();
        int64_t next = serviceTimers(run, now);
        run.timerDue = next;
        if (processControl.numCompleted != completed || run.phase != phase ||
            (until > 0 && now >= until)) {
            return;
        }
        if (until > 0) {
            next = std::min(next, until);
        }
        struct timespec limit {};
        if (next != INT64_MAX) {
            const int64_t left = std::max<int64_t>(next - now, 0);
            limit.tv_sec = static_cast<time_t>(left / nsPerSecond);
            limit.tv_nsec = static_cast<long>(left % nsPerSecond);
        }
        struct pollfd input {
            fd, POLLIN, 0
        };
        if (ppoll(fd >= 0 ? &input : nullptr, fd >= 0 ? 1 : 0, next != INT64_MAX ? &limit : nullptr,
                  &signals.sleeping()) > 0) {
            return;
        }
    }
}

// A stop signal that arrived while launching, or was noted before the run, is taken before the
// next launch.
void checkStop(Run &run, const RunSignals &signals) {
    if (signals.suspends) {
        sigset_t pending;
        if (sigpending(&pending) == 0 &&
            (sigismember(&pending, SIGTSTP) == 1 || sigismember(&pending, SIGTTIN) == 1 ||
             sigismember(&pending, SIGTTOU) == 1 || sigismember(&pending, SIGCONT) == 1)) {
            struct timespec zero {};
            ppoll(nullptr, 0, &zero, &signals.sleeping());
        }
        handleSuspend(run);
    }
    if (stopReceived != 0) {
        handleStop(run);
        return;
    }
    sigset_t pending;
    if (sigpending(&pending) != 0) {
        return;
    }
    for (int signum : stopSignals) {
        if (sigismember(&pending, signum) == 1) {
            struct timespec zero {};
            ppoll(nullptr, 0, &zero, &signals.sleeping());
            handleStop(run);
            return;
        }
    }
}

// ---- launching and finishing --------------------------------------------------------------------

// Fills plan.script, the words of plan.direct as bash runs plan.program as a script; false when
// there is no memory for them.
bool scriptWords(Run &run, ChildPlan &plan) {
    size_t count = 1;
    while (plan.direct[count] != nullptr) {
        ++count;
    }
    // "/bin/bash", the program, the arguments after direct[0], NULL.
    if (count + 2 > run.scriptRoom) {
        const size_t room = std::max(count + 2, 2 * run.scriptRoom);
        if (room > SIZE_MAX / sizeof(char *)) {
            return false;
        }
        auto *grown = static_cast<char **>(realloc(run.script, room * sizeof(char *)));
        if (grown == nullptr) {
            return false;
        }
        run.script = grown;
        run.scriptRoom = room;
    }
    run.script[0] = const_cast<char *>("/bin/bash");
    run.script[1] = const_cast<char *>(plan.program);
    memcpy(run.script + 2, plan.direct + 1, count * sizeof(char *));
    plan.script = run.script;
    return true;
}

// What the run does next, as the source (or the parameters) says.
enum class Ask : unsigned char { command, wait, end };

// Asks for the next command, to start as record index, without waiting: Ask::command with *next
// filled, Ask::wait when the source has none yet (*next says what to wait for), Ask::end when
// there are no more.
Ask askNext(Run &run, int index, FANRUN_COMMAND *next) {
    *next = FANRUN_COMMAND{nullptr, nullptr, -1, -1, -1, 0, 0, 0, 0.0};
    if (run.source == nullptr) {
        if (index >= run.count) {
            return Ask::end;
        }
        next->command = createCommand(pparams.commandTemplate, pparams.argumentList[index]);
        return Ask::command;
    }
    const int answer = run.source->next(run.source->context, next);
    if (answer == FANRUN_NEXT_COMMAND && next->command != nullptr) {
        return Ask::command;
    }
    if (answer != FANRUN_NEXT_WAIT ||
        (next->waitFd < 0 && next->waitUntilNs <= 0 && processControl.numRunning == 0)) {
        return Ask::end;
    }
    return Ask::wait;
}

// A timeout in seconds in nanoseconds, 0 for none: capped at about a century, so the deadline
// arithmetic cannot overflow, and at least 1 ns.
int64_t timeoutNsOf(double seconds) {
    if (!(seconds > 0)) {
        return 0;
    }
    const auto ns =
        static_cast<int64_t>(std::min(seconds, 3.0e9) * static_cast<double>(nsPerSecond));
    return std::max<int64_t>(ns, 1);
}

// The per-record arrays a command with a timeout of its own needs, made when the first comes;
// false when memory for them cannot be obtained.
bool makeTimeoutRoom(Run &run) {
    const auto room = static_cast<size_t>(run.capacity);
    if (run.startedAt == nullptr) {
        run.startedAt = static_cast<int64_t *>(calloc(room, sizeof(int64_t)));
    }
    if (run.killQueue == nullptr) {
        run.killQueue = static_cast<KillEntry *>(calloc(room, sizeof(KillEntry)));
    }
    if (run.limitNs == nullptr) {
        run.limitNs = static_cast<int64_t *>(calloc(room, sizeof(int64_t)));
    }
    return run.startedAt != nullptr && run.killQueue != nullptr && run.limitNs != nullptr;
}

// Books the command just started as record index with pid.
void recordStart(Run &run, const FANRUN_COMMAND &next, int index, pid_t pid) {
    PROCESS_STRUCT *record = &run.records[index];
    record->pid = pid;
    record->ifExited = 0;
    record->exitStatus = -1;
    record->status = 0;
    record->command = next.command;
    if (!indexAdd(pid, index)) {
        fail("Error: memory allocation failed\n");
    }
    if (run.source != nullptr) {
        if (next.outFd >= 0 && next.errFd >= 0) {
            run.flags[index] |= givenOutput;
        }
        const int known = index + 1 + std::clamp(next.waiting, 0, INT_MAX - 1 - index);
        run.count = std::max(run.count, known);
        pidIndex.count = run.count;
        tableFence();
        processControl.numProcesses = run.count;
    }
    run.launched = index + 1;
    lastResult.numStarted = run.launched;
    tableFence();
    ++processControl.numRunning;
    tableFence();
    if (run.limitNs != nullptr) {
        run.limitNs[index] = timeoutNsOf(next.timeoutSeconds);
    }
    if (run.startedAt != nullptr) {
        // A burst of launches can outlast a timeout: the deadlines are served between them.
        const int64_t now = clockNs();
        run.startedAt[index] = now;
        if (now >= run.timerDue) {
            run.timerDue = serviceTimers(run, now);
        }
        const int64_t limit =
            run.limitNs != nullptr && run.limitNs[index] > 0 ? run.limitNs[index] : run.timeoutNs;
        if (limit > 0) {
            run.timerDue = std::min(run.timerDue, now + limit);
        }
    }
    if (run.source != nullptr) {
        tellSource(run, index, 0, false);
    }
}

// Gets the command plan starts ready: its record's room, its program.
void prepareCommand(Run &run, ChildPlan &plan, const FANRUN_COMMAND &next, int index) {
    const int known = index + 1 + std::clamp(next.waiting, 0, INT_MAX - 1 - index);
    if (run.source != nullptr && !makeRoom(run, known - 1)) {
        free(next.command);
        fail("Error: memory allocation failed\n");
    }
    plan.direct = next.argv;
    plan.program = next.argv != nullptr ? findProgram(next.argv[0]) : nullptr;
    if (plan.program != nullptr && !scriptWords(run, plan)) {
        free(next.command);
        fail("Error: memory allocation failed\n");
    }
    plan.outFd = next.outFd;
    plan.errFd = next.errFd;
    plan.inFd = next.inFdPlusOne > 0 ? next.inFdPlusOne - 1 : -1;
    if (next.timeoutSeconds > 0 && run.source != nullptr && !makeTimeoutRoom(run)) {
        free(next.command);
        fail("Error: memory allocation failed\n");
    }
}

// Delivers report signals still pending from the run, hands the signals back to the caller's
// dispositions and mask, and only then releases the records.
void finishRun(RunSignals &signals) {
    if (signals.installed) {
        sigprocmask(SIG_SETMASK, &signals.waitMask, nullptr);
        sigprocmask(SIG_SETMASK, &signals.runMask, nullptr);
        sigaction(SIGUSR1, &signals.previousUsr1, nullptr);
        sigaction(SIGUSR2, &signals.previousUsr2, nullptr);
    }
    PROCESS_STRUCT *records = processControl.process;
    int count = processControl.numProcesses;
    processControl.process = nullptr;
    tableFence();
    if (signals.events) {
        sigaction(SIGCHLD, &signals.previousChld, nullptr);
        if (signals.stops) {
            for (size_t i = 0; i < stopSignalCount; ++i) {
                sigaction(stopSignals[i], &signals.previousStop[i], nullptr);
            }
        }
        if (signals.suspends) {
            for (size_t i = 0; i < suspendSignalCount; ++i) {
                sigaction(suspendSignals[i], &signals.previousSuspend[i], nullptr);
            }
            suspendReceived = 0;
            continueReceived = 0;
        }
        // Taken here, a stop signal that came after the last wait cannot end the caller before
        // it has seen the report; it is recorded like one that stopped the run.
        struct timespec zero {};
        for (int signum; (signum = sigtimedwait(&signals.eventSet, nullptr, &zero)) > 0;) {
            if (signum != SIGCHLD && lastResult.stopSignal == 0) {
                lastResult.stopSignal = signum;
            }
        }
        // Opening the mask for the report signals above also delivers a stop signal that came
        // while the final report was written, to the run's own handler.
        if (signals.stops && lastResult.stopSignal == 0) {
            lastResult.stopSignal = stopReceived;
        }
        if (signals.stops) {
            stopReceived = 0;
            stopRepeated = 0;
        }
    } else if (signals.chldChanged) {
        sigaction(SIGCHLD, &signals.previousChld, nullptr);
    }
    sigaction(SIGPIPE, &signals.previousPipe, nullptr);
    if (signals.installed || signals.events) {
        sigprocmask(SIG_SETMASK, &signals.entryMask, nullptr);
    }
    for (int i = 0; i < count; ++i) {
        free(records[i].command);
    }
    free(records);
}

// Ends the process with a message when pparams cannot describe a run, before anything starts.
void checkParams(bool fromSource) {
    errno = EINVAL;
    if (pparams.maxNumRunning < 1) {
        fail("Error: maxNumRunning must be at least 1\n");
    }
    if (fromSource) {
        return;
    }
    if (pparams.outputDir == nullptr) {
        fail("Error: no output directory\n");
    }
    if (pparams.commandTemplate == nullptr) {
        fail("Error: no command template\n");
    }
}

// Ends the process with a message when one of the arguments is missing. Only once the records
// exist: a count the memory cannot hold is reported as such, without reading the list.
void checkArguments() {
    errno = EINVAL;
    if (pparams.argumentListLen > 0 && pparams.argumentList == nullptr) {
        fail("Error: missing argument\n");
    }
    for (int i = 0; i < pparams.argumentListLen; ++i) {
        if (pparams.argumentList[i] == nullptr) {
            fail("Error: missing argument\n");
        }
    }
}

// The records, the pid index and the per-record arrays the run's options need, for the count of
// commands known at the start; false when memory for them cannot be obtained (or the count is
// negative: errno EINVAL).
bool allocateRun(Run &run, bool timers) {
    if (run.count < 0) {
        errno = EINVAL;
        return false;
    }
    // Room for zero records is not a failure; calloc(0) may legally return NULL. A source's
    // table starts small and grows as commands start.
    const size_t room = run.source != nullptr
                            ? std::max(static_cast<size_t>(run.count), size_t{16})
                            : (run.count > 0 ? static_cast<size_t>(run.count) : 1);
    run.capacity = static_cast<int>(room);
    run.records = static_cast<PROCESS_STRUCT *>(calloc(room, sizeof(PROCESS_STRUCT)));
    indexDrop();
    const auto pids = static_cast<size_t>(readPidMax()) + 1;
    if (run.records == nullptr ||
        !indexInit(pidIndex, std::min({room, pids,
                                       static_cast<size_t>(std::max(pparams.maxNumRunning, 1))})) ||
        !indexCountPids(pidIndex, pids)) {
        return false;
    }
    if (timers || run.source != nullptr) {
        run.flags = static_cast<unsigned char *>(calloc(room, 1));
        if (run.flags == nullptr) {
            return false;
        }
    }
    if (timers) {
        run.killQueue = static_cast<KillEntry *>(calloc(room, sizeof(KillEntry)));
        if (run.killQueue == nullptr) {
            return false;
        }
    }
    if (run.options.timeoutSeconds > 0) {
        run.startedAt = static_cast<int64_t *>(calloc(room, sizeof(int64_t)));
        run.timeoutNs = timeoutNsOf(run.options.timeoutSeconds);
        return run.startedAt != nullptr;
    }
    return true;
}

// Everything before the first command: the parameters checked, the output directory, the
// records, the table published for the reports, the child's plan and the run's signals.
void setUpRun(Run &run, ChildPlan &plan, RunSignals &signals) {
    run.options = runOptions;
    run.term = termSequence;
    run.source = haveSource ? &runSource : nullptr;
    const bool fromSource = run.source != nullptr;
    checkParams(fromSource);
    struct stat info {};
    if ((!fromSource || pparams.outputDir != nullptr) && stat(pparams.outputDir, &info) != 0 &&
        mkdir(pparams.outputDir, 0755) != 0) {
        fail("Error: failed to create output directory\n");
    }

    run.count = fromSource ? std::max(run.source->known, 0) : pparams.argumentListLen;
    const bool timers = run.options.timeoutSeconds > 0 || run.options.halt == FANRUN_HALT_NOW;
    if (!allocateRun(run, timers)) {
        fail("Error: memory allocation failed\n");
    }
    if (!fromSource) {
        checkArguments();
    }
    pidIndex.records = run.records;
    pidIndex.count = run.count;

    processControl.numProcesses = run.count;
    processControl.numRunning = 0;
    processControl.maxNumRunning = pparams.maxNumRunning;
    processControl.numCompleted = 0;
    tableFence();
    processControl.process = run.records;
    tableFence();

    plan.outputDir = pparams.outputDir;
    plan.argv[0] = const_cast<char *>("/bin/bash");
    plan.argv[1] = const_cast<char *>("-c");
    plan.argv[3] = nullptr;
    plan.outFd = -1;
    plan.errFd = -1;
    plan.inFd = -1;
    plan.ownGroup = run.options.stopOnSignals != 0 && !terminalMode;
    plan.input = terminalMode ? "/dev/tty" : run.options.nullInput ? "/dev/null" : nullptr;
    run.ownGroup = plan.ownGroup;
    run.timerDue = INT64_MAX;
    const bool events =
        run.options.stopOnSignals != 0 || timers || run.options.progress != 0 || fromSource;
    prepareSignals(signals, plan, events, run.options.stopOnSignals != 0);
    lastResult = FANRUN_RESULT{};
    if (events) {
        run.startedNs = clockNs();
        run.progressTerminal = run.options.progress != 0 && isatty(STDERR_FILENO) == 1;
        run.progressDue = run.startedNs + (run.progressTerminal ? 0 : progressPlainNs);
    }
}

// Everything after the last command has ended: the message of a failed fork (after the report of
// what ran), the last progress line, the final report, the signals given back and the run's
// storage released.
void endRun(Run &run, RunSignals &signals, int forkError) {
    if (forkError != 0) {
        printSummaryFull();
        errno = forkError;
        fail("Error: fork failed\n");
    }
    if (run.options.progress != 0) {
        writeProgress(run, clockNs(), true);
    }
    printSummaryFull();
    if (lastResult.stopSignal != 0) {
        // The caller ends with the signal's status next; nothing of the report may wait for it.
        fflush(stdout);
    }
    finishRun(signals);
    free(run.startedAt);
    free(run.flags);
    free(run.killQueue);
    free(run.limitNs);
    free(run.script);
    indexDrop();
}

} // namespace

char *createCommand(const char *commandTemplate, const char *argument) {
    constexpr std::string_view placeholder = "{}";
    if (commandTemplate == nullptr || argument == nullptr) {
        errno = EINVAL;
        fail(commandTemplate == nullptr ? "Error: no command template\n"
                                        : "Error: missing argument\n");
    }
    const std::string_view pattern(commandTemplate);
    const std::string_view value(argument);

    size_t placeholders = 0;
    for (size_t at = pattern.find(placeholder); at != std::string_view::npos;
         at = pattern.find(placeholder, at + placeholder.size())) {
        ++placeholders;
    }
    // Every placeholder is two bytes of the template, so this part cannot underflow.
    size_t size = pattern.size() - placeholders * placeholder.size() + 1;
    char *result = nullptr;
    if (placeholders == 0 || value.size() <= (SIZE_MAX - size) / placeholders) {
        size += placeholders * value.size();
        result = static_cast<char *>(malloc(size));
    } else {
        errno = ENOMEM;
    }
    if (result == nullptr) {
        fail("Error: memory allocation failed\n");
    }

    char *out = result;
    size_t from = 0;
    for (size_t at = pattern.find(placeholder); at != std::string_view::npos;
         at = pattern.find(placeholder, from)) {
        out = std::copy(pattern.begin() + static_cast<ptrdiff_t>(from),
                        pattern.begin() + static_cast<ptrdiff_t>(at), out);
        out = std::copy(value.begin(), value.end(), out);
        from = at + placeholder.size();
    }
    out = std::copy(pattern.begin() + static_cast<ptrdiff_t>(from), pattern.end(), out);
    *out = '\0';
    return result;
}

void updateStatus(int pid, int status) {
    PROCESS_STRUCT *record = waitingRecord(pid);
    if (record != nullptr) {
        markReaped(record, status);
    }
}

void printSummary(void) {
    printf("%d %d %d\n", processControl.numProcesses, processControl.numCompleted,
           processControl.numRunning);
}

void printSummaryFull(void) {
    printSummary();
    tableFence();
    const PROCESS_STRUCT *records = processControl.process;
    const int total = processControl.numProcesses;
    const int completed = processControl.numCompleted;
    tableFence();
    if (records == nullptr) {
        return;
    }
    int printed = 0;
    for (int i = 0; i < total && printed < completed; ++i) {
        const PROCESS_STRUCT *record = &records[i];
        if (record->ifExited != 0) {
            printf("%d %d %d %s\n", record->pid, record->ifExited, record->exitStatus,
                   record->command);
            ++printed;
        }
    }
}

void handler(int signum) {
    int error = errno;
    if (signum == SIGUSR1) {
        printSummary();
    } else {
        printSummaryFull();
    }
    errno = error;
}

int runParallel(void) {
    Run run{};
    ChildPlan plan{};
    RunSignals signals{};
    setUpRun(run, plan, signals);

    // One loop: each pass serves stops, starts the next command while a slot is free, and
    // otherwise makes the run's one wait, for a command to end, the source's input or deadline,
    // a signal or a timer. A command the system had no process for stays pending until one ends.
    FANRUN_COMMAND next{};
    bool pending = false;
    int forkError = 0;
    for (;;) {
        int waitFd = -1;
        int64_t waitUntil = 0;
        if (run.phase == Phase::launching &&
            processControl.numRunning < processControl.maxNumRunning) {
            if (signals.stops) {
                checkStop(run, signals);
            }
            const Ask ask = run.phase != Phase::launching || pending
                                ? Ask::command
                                : askNext(run, run.launched, &next);
            if (ask == Ask::end) {
                enterPhase(run, Phase::draining);
            } else if (ask == Ask::wait) {
                waitFd = next.waitFd;
                waitUntil = next.waitUntilNs;
            } else if (run.phase == Phase::launching) {
                if (!pending) {
                    prepareCommand(run, plan, next, run.launched);
                    pending = true;
                }
                const pid_t pid = startChild(plan, next.command, signals);
                if (pid >= 0) {
                    pending = false;
                    recordStart(run, next, run.launched, pid);
                    if (!signals.installed) {
                        installHandlers(signals);
                    }
                    continue;
                }
                if (errno != EAGAIN || processControl.numRunning == 0) {
                    // What runs ends first, and the report of what ran is printed.
                    forkError = errno;
                    enterPhase(run, Phase::draining);
                }
            }
        }
        if (pending && run.phase != Phase::launching) {
            free(next.command);
            pending = false;
        }
        if (run.phase != Phase::launching && processControl.numRunning == 0) {
            break;
        }
        if (signals.events) {
            waitEvents(run, signals, waitFd, waitUntil);
        } else {
            reapOne(run, signals);
        }
    }

    endRun(run, signals, forkError);
    return 0;
}

int fanrunIndexTable(void) {
    PROCESS_STRUCT *records = processControl.process;
    const int count = processControl.numProcesses;
    if (records == nullptr || count <= 0) {
        indexDrop();
        return 1;
    }
    PidIndex fresh{};
    if (!indexInit(fresh, static_cast<size_t>(count))) {
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        const int pid = records[i].pid;
        if (pid > 0 && records[i].ifExited == 0) {
            PidEntry &entry = fresh.slots[pidSlot(fresh, pid)];
            if (entry.pid == 0) {
                entry = PidEntry{pid, 1, i};
                ++fresh.used;
            }
        }
    }
    fresh.records = records;
    fresh.count = count;
    indexDrop();
    pidIndex = fresh;
    return 1;
}

void fanrunSetOptions(const FANRUN_OPTIONS *options) {
    runOptions = options != nullptr ? *options : FANRUN_OPTIONS{};
}

int fanrunSetTermSequence(const int *signals, const int *waitsMs, int count) {
    if (signals == nullptr || count == 0) {
        termSequence = defaultTermSequence();
        return 1;
    }
    if (count < 0 || count > FANRUN_TERMSEQ_MAX || (count > 1 && waitsMs == nullptr)) {
        return 0;
    }
    TermSequence sequence{};
    for (int i = 0; i < count; ++i) {
        if (signals[i] < 1 || signals[i] > SIGRTMAX) {
            return 0;
        }
        sequence.signals[i] = signals[i];
        if (i + 1 < count) {
            if (waitsMs[i] < 0) {
                return 0;
            }
            sequence.waitsNs[i] = static_cast<int64_t>(waitsMs[i]) * (nsPerSecond / 1000);
        }
    }
    sequence.count = count;
    termSequence = sequence;
    return 1;
}

void fanrunLastResult(FANRUN_RESULT *result) {
    *result = lastResult;
}

void fanrunSetSource(const FANRUN_SOURCE *source) {
    haveSource = source != nullptr;
    runSource = source != nullptr ? *source : FANRUN_SOURCE{};
}

void fanrunSetTerminal(int terminal) {
    terminalMode = terminal != 0;
}

void fanrunStop(int signum) {
    if (signum != SIGINT && signum != SIGTERM && signum != SIGHUP) {
        return;
    }
    if (stopReceived == 0) {
        stopReceived = signum;
    } else if (signum == SIGINT || signum == SIGTERM) {
        stopRepeated = 1;
    }
}
