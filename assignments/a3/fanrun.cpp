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
// Children. A child is started vfork-style (shared memory, parent suspended until exec) on a
// stack of its own: the parent's memory and its stdio buffers are left untouched, the child runs
// with every signal blocked until just before exec, and it uses only async-signal-safe calls and
// _exit, so buffered output of the parent is never written twice.

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
#include <string_view>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

PROCESS_CONTROL processControl;

namespace {
FANRUN_OPTIONS runOptions;
FANRUN_RESULT lastResult;
} // namespace

// Code that runs in the child shares the parent's memory, including the sanitizers' bookkeeping,
// so it must not be instrumented.
#define FANRUN_CHILD_CODE __attribute__((no_sanitize("address"), no_sanitize("undefined")))

namespace {

// The report handler may interrupt the run between any two table updates; this keeps the
// compiler from caching or reordering them across the points the handler relies on.
inline void tableFence() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

[[noreturn]] void fail(const char *message) {
    perror(message);
    exit(1);
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
    sigset_t resetSignals; // caught (or report) signals to turn back to the default action
    sigset_t execMask;     // the mask the command starts with
    struct sigaction defaultAction;
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

// Opens "outputDir/pid.suffix" write-only, created 0644, truncated. A name longer than the system
// accepts fails with ENAMETOOLONG instead of being cut to a different file's name.
FANRUN_CHILD_CODE int openOutput(const char *outputDir, int pid, const char *suffix) {
    char name[PATH_MAX];
    ChildText path{name, sizeof name - 1, 0, false};
    path.add(outputDir);
    path.add("/");
    path.add(pid);
    path.add(suffix);
    if (path.overflow) {
        errno = ENAMETOOLONG;
        return -1;
    }
    name[path.length] = '\0';
    return open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

FANRUN_CHILD_CODE int childMain(void *argument) {
    const ChildPlan *plan = static_cast<const ChildPlan *>(argument);
    int pid = getpid();

    int fd = openOutput(plan->outputDir, pid, ".stdout");
    if (fd < 0) {
        childPerror("Error: open failed\n");
    }
    if (dup2(fd, STDOUT_FILENO) < 0) {
        childPerror("Error: dup2 failed\n");
    }
    // With the runner's standard output closed, the file may already be descriptor 1.
    if (fd != STDOUT_FILENO) {
        close(fd);
    }

    fd = openOutput(plan->outputDir, pid, ".stderr");
    if (fd < 0) {
        childReport("Error: open failed on PID ", pid);
    }
    if (dup2(fd, STDERR_FILENO) < 0) {
        childReport("Error: dup2 failed on PID ", pid);
    }
    if (fd != STDERR_FILENO) {
        close(fd);
    }

    // The command starts with the report signals neither blocked nor caught, and no handler of
    // the parent may run here on the shared memory between unblocking and exec.
    for (int signum = 1; signum < NSIG; ++signum) {
        if (sigismember(&plan->resetSignals, signum) == 1) {
            sigaction(signum, &plan->defaultAction, nullptr);
        }
    }
    sigprocmask(SIG_SETMASK, &plan->execMask, nullptr);
    execve("/bin/bash", plan->argv, environ);
    childReport("Error: exec failed on PID ", pid);
}

// Only one child exists in the shared address space at a time (the parent is suspended until it
// has exec'd or exited), so one stack serves every child.
alignas(64) unsigned char childStack[128 * 1024];

// ---- parent side ---------------------------------------------------------------------------

// Signal state of one run.
struct RunSignals {
    sigset_t entryMask; // mask the caller had; restored at the end
    sigset_t runMask;   // entry mask plus both report signals: the main flow outside waits
    sigset_t waitMask;  // entry mask less both report signals: while blocked in wait
    sigset_t allMask;   // while a child shares the parent's memory
    struct sigaction previousUsr1;
    struct sigaction previousUsr2;
    bool installed;

    const sigset_t &current() const { return installed ? runMask : entryMask; }
};

void prepareSignals(RunSignals &signals, ChildPlan &plan) {
    sigprocmask(SIG_BLOCK, nullptr, &signals.entryMask);
    signals.runMask = signals.entryMask;
    sigaddset(&signals.runMask, SIGUSR1);
    sigaddset(&signals.runMask, SIGUSR2);
    signals.waitMask = signals.entryMask;
    sigdelset(&signals.waitMask, SIGUSR1);
    sigdelset(&signals.waitMask, SIGUSR2);
    sigfillset(&signals.allMask);
    signals.installed = false;

    plan.execMask = signals.waitMask;
    sigemptyset(&plan.resetSignals);
    sigaddset(&plan.resetSignals, SIGUSR1);
    sigaddset(&plan.resetSignals, SIGUSR2);
    for (int signum = 1; signum < NSIG; ++signum) {
        struct sigaction action {};
        if (sigaction(signum, nullptr, &action) == 0 && action.sa_handler != SIG_DFL &&
            action.sa_handler != SIG_IGN) {
            sigaddset(&plan.resetSignals, signum);
        }
    }
    plan.defaultAction = {};
    plan.defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&plan.defaultAction.sa_mask);
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

// Waits for any child and records it; reports run only inside this wait.
void reapOne(const RunSignals &signals) {
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
    updateStatus(pid, status);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        lastResult.numFailed = lastResult.numFailed + 1;
    }
    tableFence();
    processControl.numRunning = processControl.numRunning - 1;
    processControl.numCompleted = processControl.numCompleted + 1;
    tableFence();
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
    if (signals.installed) {
        sigprocmask(SIG_SETMASK, &signals.entryMask, nullptr);
    }
    for (int i = 0; i < count; ++i) {
        free(records[i].command);
    }
    free(records);
}

} // namespace

char *createCommand(const char *commandTemplate, const char *argument) {
    constexpr std::string_view placeholder = "{}";
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
    PROCESS_STRUCT *records = processControl.process;
    // Unfilled records hold pid 0, and no reaped child has a pid below 1.
    if (records == nullptr || pid <= 0) {
        return;
    }
    for (int i = 0; i < processControl.numProcesses; ++i) {
        PROCESS_STRUCT *record = &records[i];
        // A reaped child's pid may be handed to a later child of the same run: the outcome belongs
        // to the record still waiting for it.
        if (record->pid != pid || record->ifExited != 0) {
            continue;
        }
        record->status = status;
        record->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        tableFence();
        record->ifExited = 1;
        tableFence();
        return;
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
    struct stat info {};
    if (stat(pparams.outputDir, &info) != 0 && mkdir(pparams.outputDir, 0755) != 0) {
        fail("Error: failed to create output directory\n");
    }

    const int count = pparams.argumentListLen;
    PROCESS_STRUCT *records = nullptr;
    if (count >= 0) {
        // Room for zero records is not a failure; calloc(0) may legally return NULL.
        records = static_cast<PROCESS_STRUCT *>(
            calloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof *records));
    } else {
        errno = EINVAL;
    }
    if (records == nullptr) {
        fail("Error: memory allocation failed\n");
    }

    processControl.numProcesses = count;
    processControl.numRunning = 0;
    processControl.maxNumRunning = pparams.maxNumRunning;
    processControl.numCompleted = 0;
    tableFence();
    processControl.process = records;
    tableFence();

    ChildPlan plan{};
    plan.outputDir = pparams.outputDir;
    plan.argv[0] = const_cast<char *>("/bin/bash");
    plan.argv[1] = const_cast<char *>("-c");
    plan.argv[3] = nullptr;
    RunSignals signals{};
    prepareSignals(signals, plan);
    lastResult = FANRUN_RESULT{};

    for (int i = 0; i < count; ++i) {
        char *command = createCommand(pparams.commandTemplate, pparams.argumentList[i]);
        pid_t pid = startChild(plan, command, signals);
        if (pid < 0) {
            free(command);
            fail("Error: fork failed\n");
        }
        lastResult.numStarted = lastResult.numStarted + 1;
        PROCESS_STRUCT *record = &records[i];
        record->pid = pid;
        record->ifExited = 0;
        record->exitStatus = -1;
        record->status = 0;
        record->command = command;
        tableFence();
        processControl.numRunning = processControl.numRunning + 1;
        tableFence();

        while (processControl.numRunning >= processControl.maxNumRunning) {
            reapOne(signals);
        }
        if (!signals.installed) {
            installHandlers(signals);
        }
    }
    while (processControl.numCompleted < processControl.numProcesses) {
        reapOne(signals);
    }

    printSummaryFull();
    finishRun(signals);
    return 0;
}

void fanrunSetOptions(const FANRUN_OPTIONS *options) {
    runOptions = options != nullptr ? *options : FANRUN_OPTIONS{};
}

void fanrunLastResult(FANRUN_RESULT *result) {
    *result = lastResult;
}
