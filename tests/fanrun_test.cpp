// Tests of the parallel command runner: template expansion and the process table in-process, the
// run loop in a forked child (it ends the process on failure), and the front end as a program,
// including report signals sent while it runs.

#include "fanrun.h"
#include "fanrun_params.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fanrun_run.h"

PARALLEL_PARAMS pparams;

namespace {

using namespace fanrun_run;
using namespace std::chrono_literals;

// Runs body in a forked child whose standard output and error go to files and returns at once, so
// that the test can signal it; with outFd >= 0 that descriptor becomes the child's standard
// output. The child ends with body's result through _exit, so nothing of this process is flushed
// twice.
Program startInChild(const TempDir &dir, const std::function<int()> &body, int outFd = -1) {
    Program program;
    program.outPath = dir / "child.out";
    program.errPath = dir / "child.err";
    fflush(stdout);
    fflush(stderr);
    program.pid = fork();
    if (program.pid == 0) {
        int out =
            outFd >= 0 ? outFd : open(program.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(program.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        close(out);
        close(err);
        int code = body();
        fflush(stdout);
        fflush(stderr);
        _exit(code);
    }
    return program;
}

// Like startInChild, and waits for the child.
Outcome runInChild(const TempDir &dir, const std::function<int()> &body) {
    return startInChild(dir, body).finish();
}

// Fills pparams for an in-process run; the strings must outlive the run.
void setParams(int jobs, const std::string &outputDir, const char *commandTemplate,
               std::vector<std::string> &arguments, std::vector<char *> &pointers) {
    pointers.clear();
    for (std::string &argument : arguments) {
        pointers.push_back(argument.data());
    }
    pparams.maxNumRunning = jobs;
    pparams.outputDir = const_cast<char *>(outputDir.c_str());
    pparams.commandTemplate = const_cast<char *>(commandTemplate);
    pparams.argumentList = pointers.data();
    pparams.argumentListLen = static_cast<int>(arguments.size());
}

// Limits the address space to what is mapped now plus headroom, so that a large allocation fails.
void limitAddressSpace(size_t headroom) {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + headroom;
    setrlimit(RLIMIT_AS, &limit);
}

// ---- template expansion ----------------------------------------------------------------------

std::string expand(const std::string &commandTemplate, const std::string &argument) {
    char *result = createCommand(commandTemplate.c_str(), argument.c_str());
    std::string text = result;
    free(result);
    return text;
}

TEST(CreateCommand, ReplacesEveryPlaceholderLeftToRightAndNothingElse) {
    EXPECT_EQ(expand("wc -l {} > /dev/null", "data.txt"), "wc -l data.txt > /dev/null");
    EXPECT_EQ(expand("echo {} {}", "x"), "echo x x");
    EXPECT_EQ(expand("{}", "just this"), "just this");
    EXPECT_EQ(expand("a{}b{}c", ""), "abc");
    EXPECT_EQ(expand("no placeholder", "x"), "no placeholder");
    EXPECT_EQ(expand("", "x"), "");
    // Lone and overlapping braces: an opening brace before a placeholder and a closing one after
    // it stay; braces in the argument are not expanded again.
    EXPECT_EQ(expand("{{}}", "x"), "{x}");
    EXPECT_EQ(expand("{ } }{ {", "x"), "{ } }{ {");
    EXPECT_EQ(expand("{}{}}{{}", "ab"), "abab}{ab");
    EXPECT_EQ(expand("echo {}", "{}{}"), "echo {}{}");
}

TEST(CreateCommand, ResultHoldsExactlyTheExpansionForLongInputs) {
    // Under AddressSanitizer a write past the computed size fails here.
    for (size_t argumentLength : {0UL, 1UL, 2UL, 3UL, 1000UL, 70000UL}) {
        for (int placeholders : {0, 1, 2, 7}) {
            const std::string argument(argumentLength, 'a');
            std::string commandTemplate = "head";
            std::string expected = "head";
            for (int i = 0; i < placeholders; ++i) {
                commandTemplate += "{}-" + std::string(i * 50, 't');
                expected += argument + "-" + std::string(i * 50, 't');
            }
            char *result = createCommand(commandTemplate.c_str(), argument.c_str());
            ASSERT_EQ(std::string(result), expected);
            free(result);
        }
    }
}

TEST(CreateCommand, EndsTheProcessWhenMemoryRunsOut) {
    if (sanitized) {
        GTEST_SKIP() << "the sanitizer's allocator reports a failed allocation as a finding";
    }
    TempDir dir;
    Outcome outcome = runInChild(dir, [] {
        const std::string argument(8 << 20, 'x');
        const std::string commandTemplate(64, '{');
        std::string placeholders;
        for (int i = 0; i < 64; ++i) {
            placeholders += "{}";
        }
        limitAddressSpace(64 << 20);
        char *result = createCommand(placeholders.c_str(), argument.c_str());
        free(result);
        return 0;
    });
    EXPECT_TRUE(outcome.exitedWith(1));
    EXPECT_EQ(outcome.err, "Error: memory allocation failed\n: Cannot allocate memory\n");
    EXPECT_EQ(outcome.out, "");
}

// ---- the process table and its reports -------------------------------------------------------

class ProcessTable : public ::testing::Test {
  protected:
    void SetUp() override {
        records_[0] = {701, 0, -1, 0, commands_[0].data()};
        records_[1] = {702, 0, -1, 0, commands_[1].data()};
        records_[2] = {703, 0, -1, 0, commands_[2].data()};
        processControl = {3, 3, 3, 0, records_};
    }
    void TearDown() override { processControl = {}; }

    // Reaps pid the way the run loop does.
    static void reap(int pid, int status) {
        updateStatus(pid, status);
        processControl.numRunning -= 1;
        processControl.numCompleted += 1;
    }

    std::string commands_[3] = {"echo a", "ls missing", "sleep 100"};
    PROCESS_STRUCT records_[3]{};
};

TEST_F(ProcessTable, UpdateStatusRecordsExitCodesAndSignalsWithTheRawStatus) {
    updateStatus(702, W_EXITCODE(3, 0));
    updateStatus(703, SIGKILL);
    EXPECT_EQ(records_[1].ifExited, 1);
    EXPECT_EQ(records_[1].exitStatus, 3);
    EXPECT_EQ(records_[1].status, 3 << 8);
    EXPECT_EQ(records_[2].ifExited, 1);
    EXPECT_EQ(records_[2].exitStatus, -1);
    EXPECT_EQ(records_[2].status, SIGKILL);
    EXPECT_EQ(records_[0].ifExited, 0);
    EXPECT_EQ(records_[0].exitStatus, -1);
    EXPECT_EQ(records_[0].status, 0);
}

TEST_F(ProcessTable, UpdateStatusIgnoresUnknownPidsAndUnfilledRecords) {
    records_[2] = {};
    const PROCESS_CONTROL before = processControl;
    updateStatus(999, 0);
    updateStatus(0, W_EXITCODE(4, 0));
    for (const PROCESS_STRUCT &record : records_) {
        EXPECT_EQ(record.ifExited, 0);
        EXPECT_EQ(record.status, 0);
    }
    EXPECT_EQ(records_[2].exitStatus, 0);
    EXPECT_EQ(processControl.numRunning, before.numRunning);
    EXPECT_EQ(processControl.numCompleted, before.numCompleted);
}

TEST_F(ProcessTable, UpdateStatusGivesAReusedPidToTheRecordStillRunning) {
    records_[2].pid = 701;
    updateStatus(701, W_EXITCODE(0, 0));
    updateStatus(701, W_EXITCODE(5, 0));
    EXPECT_EQ(records_[0].exitStatus, 0);
    EXPECT_EQ(records_[2].ifExited, 1);
    EXPECT_EQ(records_[2].exitStatus, 5);
}

TEST_F(ProcessTable, ReportsListReapedCommandsInLaunchOrder) {
    TempDir dir;
    Outcome outcome = runInChild(dir, [] {
        printSummaryFull(); // nothing reaped yet: only the short line
        reap(703, SIGKILL);
        reap(701, 0);
        printSummary();
        printSummaryFull();
        reap(702, W_EXITCODE(2, 0));
        handler(SIGUSR1);
        handler(SIGUSR2);
        return 0;
    });
    EXPECT_TRUE(outcome.exitedWith(0));
    EXPECT_EQ(outcome.out, "3 0 3\n"
                           "3 2 1\n"
                           "3 2 1\n"
                           "701 1 0 echo a\n"
                           "703 1 -1 sleep 100\n"
                           "3 3 0\n"
                           "3 3 0\n"
                           "701 1 0 echo a\n"
                           "702 1 2 ls missing\n"
                           "703 1 -1 sleep 100\n");
}

TEST_F(ProcessTable, FullReportStopsAfterTheCompletedCount) {
    TempDir dir;
    Outcome outcome = runInChild(dir, [this] {
        // Marked but not yet counted: the report must not reach past numCompleted.
        reap(702, 0);
        records_[2].ifExited = 1;
        printSummaryFull();
        processControl.process = nullptr; // a released table: the line only
        printSummaryFull();
        return 0;
    });
    EXPECT_EQ(outcome.out, "3 1 2\n702 1 0 ls missing\n3 1 2\n");
}

TEST_F(ProcessTable, AnIndexedTableRecordsOutcomesAsTheSearchDoes) {
    // Duplicates while running, as a caller may fill them: the first waiting record comes first.
    records_[2].pid = 701;
    ASSERT_EQ(fanrunIndexTable(), 1);
    updateStatus(999, 0);
    updateStatus(702, W_EXITCODE(2, 0));
    updateStatus(701, W_EXITCODE(0, 0));
    updateStatus(701, SIGKILL);
    updateStatus(701, W_EXITCODE(9, 0)); // nothing waits for it any more
    EXPECT_EQ(records_[0].exitStatus, 0);
    EXPECT_EQ(records_[1].exitStatus, 2);
    EXPECT_EQ(records_[2].exitStatus, -1);
    EXPECT_EQ(records_[2].status, SIGKILL);
    processControl.process = nullptr;
    EXPECT_EQ(fanrunIndexTable(), 1);
}

// ---- the run loop, in a forked child ---------------------------------------------------------

TEST(RunParallel, EmptyArgumentListCreatesTheDirectoryAndReportsZero) {
    TempDir dir;
    const std::string out = dir / "out";
    Outcome outcome = runInChild(dir, [&] {
        std::vector<std::string> arguments;
        std::vector<char *> pointers;
        setParams(2, out, "echo {}", arguments, pointers);
        int result = runParallel();
        return result == 0 && processControl.process == nullptr ? 0 : 3;
    });
    EXPECT_TRUE(outcome.exitedWith(0));
    EXPECT_EQ(outcome.out, "0 0 0\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(fs::is_directory(out));
    EXPECT_TRUE(fs::is_empty(out));
}

TEST(RunParallel, CommandsStartWithReportSignalsNeitherBlockedNorCaught) {
    TempDir dir;
    const std::string out = dir / "out";
    Outcome outcome = runInChild(dir, [&] {
        // The caller blocks one report signal and ignores the other; the first command starts
        // before the runner's handlers exist, the second after.
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGUSR1);
        sigprocmask(SIG_BLOCK, &block, nullptr);
        signal(SIGUSR2, SIG_IGN);
        std::vector<std::string> arguments = {"1", "2"};
        std::vector<char *> pointers;
        setParams(1, out, "exec cat /proc/self/status", arguments, pointers);
        return runParallel();
    });
    ASSERT_TRUE(outcome.exitedWith(0));
    std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 2U);
    for (const ReportLine &record : records) {
        std::istringstream status(commandOutput(out, record));
        int seen = 0;
        for (std::string line; std::getline(status, line);) {
            for (const char *field : {"SigBlk:", "SigIgn:", "SigCgt:"}) {
                if (line.rfind(field, 0) == 0) {
                    EXPECT_EQ(std::stoull(line.substr(7), nullptr, 16) & reportBits, 0U) << line;
                    ++seen;
                }
            }
        }
        EXPECT_EQ(seen, 3);
    }
}

TEST(RunParallel, AReportAskedForWhileTheFirstCommandRunsAtTheLimitIsPrinted) {
    struct Case {
        const char *name;
        int signum;
        std::string first; // the report's first line
    };
    const std::vector<Case> cases = {
        {"short", SIGUSR1, "2 0 1"},
        {"full", SIGUSR2, "2 0 1"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        const std::string out = dir / "out";
        // One job at a time: the first command fills the only slot, and asks while it runs.
        const std::string command = "[ {} = b ] || { sleep 0.1; kill -" +
                                    std::string(sigabbrev_np(test.signum)) + " $PPID; sleep 0.2; }";
        Outcome outcome = runInChild(dir, [&] {
            std::vector<std::string> arguments = {"a", "b"};
            std::vector<char *> pointers;
            setParams(1, out, command.c_str(), arguments, pointers);
            return runParallel();
        });
        ASSERT_TRUE(outcome.exitedWith(0)) << "ended with " << outcome.code();
        EXPECT_EQ(lines(outcome.out).at(0), test.first);
        EXPECT_EQ(parseRecords(outcome.out.substr(outcome.out.rfind("2 2 0\n"))).size(), 2U);
    }
}

void countSignal(int /*signum*/) {
    static volatile sig_atomic_t count;
    count = count + 1;
    (void)write(STDOUT_FILENO, "caller's handler\n", 17);
}

TEST(RunParallel, GivesTheCallersSignalStateBackAfterTheRun) {
    TempDir dir;
    const std::string out = dir / "out";
    Outcome outcome = runInChild(dir, [&] {
        signal(SIGUSR1, countSignal);
        sigset_t before;
        sigprocmask(SIG_BLOCK, nullptr, &before);
        std::vector<std::string> arguments = {"a", "b"};
        std::vector<char *> pointers;
        setParams(1, out, "true {}", arguments, pointers);
        runParallel();
        fflush(stdout);
        // The records are gone: a report signal now must reach the caller's handler.
        raise(SIGUSR1);
        struct sigaction action {};
        sigaction(SIGUSR2, nullptr, &action);
        sigset_t after;
        sigprocmask(SIG_BLOCK, nullptr, &after);
        bool sameMask = sigismember(&after, SIGUSR1) == sigismember(&before, SIGUSR1) &&
                        sigismember(&after, SIGUSR2) == sigismember(&before, SIGUSR2);
        return action.sa_handler == SIG_DFL && sameMask && processControl.process == nullptr ? 0
                                                                                             : 3;
    });
    EXPECT_TRUE(outcome.exitedWith(0));
    std::vector<std::string> all = lines(outcome.out);
    ASSERT_EQ(all.size(), 4U);
    EXPECT_EQ(all[0], "2 2 0");
    EXPECT_EQ(all[3], "caller's handler");
}

TEST(RunParallel, ChildrenNeverRepeatTheRunnersBufferedOutput) {
    TempDir dir;
    const std::string file = dir / "file";
    writeFile(file, "");
    Outcome outcome = runInChild(dir, [&] {
        // Pending in this process's buffer while the children start and fail before exec.
        printf("pending\n");
        std::vector<std::string> arguments = {"a", "b", "c"};
        std::vector<char *> pointers;
        setParams(2, file, "true {}", arguments, pointers);
        return runParallel();
    });
    EXPECT_TRUE(outcome.exitedWith(0));
    std::string header;
    std::vector<ReportLine> records = parseRecords(outcome.out.substr(8), &header);
    EXPECT_EQ(outcome.out.substr(0, 8), "pending\n");
    EXPECT_EQ(header, "3 3 0");
    ASSERT_EQ(records.size(), 3U);
    for (ReportLine &record : records) {
        EXPECT_EQ(record.exitStatus, 1);
    }
    std::string failure = "Error: open failed\n: Not a directory\n";
    EXPECT_EQ(outcome.err, failure + failure + failure);
}

TEST(RunParallel, AFailedWaitEndsTheRunWithoutAMessage) {
    TempDir dir;
    const std::string out = dir / "out";
    Outcome outcome = runInChild(dir, [&] {
        // The command is reaped behind the runner's back, so the runner's own wait finds no child.
        struct Source {
            static int next(void *context, FANRUN_COMMAND *command) {
                bool &handed = *static_cast<bool *>(context);
                if (handed) {
                    return FANRUN_NEXT_END;
                }
                handed = true;
                command->command = strdup("true");
                return FANRUN_NEXT_COMMAND;
            }
            static void started(void *, const FANRUN_EVENT *event) {
                int status = 0;
                waitpid(event->pid, &status, 0);
            }
        };
        bool handed = false;
        const FANRUN_SOURCE source{Source::next, Source::started, nullptr, &handed, 0};
        fanrunSetSource(&source);
        pparams.maxNumRunning = 1;
        pparams.outputDir = const_cast<char *>(out.c_str());
        return runParallel();
    });
    EXPECT_TRUE(outcome.exitedWith(1));
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
}

TEST(RunParallel, ParametersThatDescribeNoRunEndItWithAMessageBeforeAnythingRuns) {
    struct Case {
        const char *name;
        int jobs;
        bool outputDir;
        bool commandTemplate;
        bool nullArgument;
        const char *message;
    };
    const Case cases[] = {
        {"no limit", 0, true, true, false, "Error: maxNumRunning must be at least 1\n"},
        {"negative limit", -3, true, true, false, "Error: maxNumRunning must be at least 1\n"},
        {"no directory", 2, false, true, false, "Error: no output directory\n"},
        {"no template", 2, true, false, false, "Error: no command template\n"},
        {"null argument", 2, true, true, true, "Error: missing argument\n"},
    };
    for (const Case &test : cases) {
        TempDir dir;
        const std::string out = dir / "out";
        const std::string marker = dir / "ran";
        Outcome outcome = runInChild(dir, [&] {
            std::vector<std::string> arguments = {marker, marker};
            std::vector<char *> pointers;
            setParams(test.jobs, out, "touch {}", arguments, pointers);
            if (!test.outputDir) {
                pparams.outputDir = nullptr;
            }
            if (!test.commandTemplate) {
                pparams.commandTemplate = nullptr;
            }
            if (test.nullArgument) {
                pointers[1] = nullptr;
            }
            return runParallel();
        });
        EXPECT_TRUE(outcome.exitedWith(1)) << test.name;
        EXPECT_EQ(outcome.err, std::string(test.message) + ": Invalid argument\n") << test.name;
        EXPECT_EQ(outcome.out, "") << test.name;
        EXPECT_FALSE(fs::exists(marker)) << test.name;
        // The list is read only once the records exist, after the directory has been made.
        EXPECT_EQ(fs::exists(out), test.nullArgument) << test.name;
    }
    for (bool noTemplate : {true, false}) {
        TempDir dir;
        Outcome outcome = runInChild(dir, [&] {
            free(createCommand(noTemplate ? nullptr : "echo {}", noTemplate ? "x" : nullptr));
            return 0;
        });
        EXPECT_TRUE(outcome.exitedWith(1)) << noTemplate;
        EXPECT_EQ(outcome.err, std::string(noTemplate ? "Error: no command template\n"
                                                      : "Error: missing argument\n") +
                                   ": Invalid argument\n");
    }
}

TEST(RunParallel, RecordsThatCannotBeAllocatedEndTheRun) {
    TempDir dir;
    const std::string out = dir / "out";
    Outcome negative = runInChild(dir, [&] {
        std::vector<std::string> arguments;
        std::vector<char *> pointers;
        setParams(2, out, "true", arguments, pointers);
        pparams.argumentListLen = -1;
        return runParallel();
    });
    EXPECT_TRUE(negative.exitedWith(1));
    EXPECT_EQ(negative.err, "Error: memory allocation failed\n: Invalid argument\n");
    EXPECT_EQ(negative.out, "");
    if (sanitized) {
        GTEST_SKIP() << "the sanitizer's allocator reports a failed allocation as a finding";
    }
    Outcome huge = runInChild(dir, [&] {
        std::vector<std::string> arguments = {"a"};
        std::vector<char *> pointers;
        setParams(2, out, "true", arguments, pointers);
        pparams.argumentListLen = INT_MAX; // never read: the records come first
        limitAddressSpace(64 << 20);
        return runParallel();
    });
    EXPECT_TRUE(huge.exitedWith(1));
    EXPECT_EQ(huge.err, "Error: memory allocation failed\n: Cannot allocate memory\n");
    EXPECT_EQ(huge.out, "");
}

// ---- faults the run survives, and runs with options, in a forked child -----------------------

// A body that runs the commands with options and keeps the outcome of the run in dir/result.
std::function<int()> optionRun(const TempDir &dir, FANRUN_OPTIONS options, int jobs,
                               std::string commandTemplate, std::vector<std::string> arguments) {
    return [&dir, options, jobs, commandTemplate, arguments]() mutable {
        const std::string out = dir / "out";
        std::vector<char *> pointers;
        fanrunSetOptions(&options);
        setParams(jobs, out, commandTemplate.c_str(), arguments, pointers);
        runParallel();
        FANRUN_RESULT result{};
        fanrunLastResult(&result);
        writeFile(dir / "result",
                  std::to_string(result.numStarted) + " " + std::to_string(result.numFailed) + " " +
                      std::to_string(result.numTimedOut) + " " + std::to_string(result.stopSignal) +
                      " " + std::to_string(result.halted));
        return 0;
    };
}

// "started failed timedOut stopSignal halted" of the run, as written by optionRun.
std::string runResult(const TempDir &dir) {
    return readFile(dir / "result");
}

// True when no live process is left in the process group led by each record's pid. The runner
// reaps each command's shell; what the shell started got the same signal but may still be on its
// way out for a moment after the runner returns, so callers poll this.
bool groupsEmpty(const std::vector<ReportLine> &records) {
    std::set<int> groups;
    for (const ReportLine &record : records) {
        groups.insert(record.pid);
    }
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const std::string stat = readFile(entry.path() / "stat");
        const size_t end = stat.rfind(')');
        if (end == std::string::npos) {
            continue;
        }
        std::istringstream fields(stat.substr(end + 1));
        char state = 0;
        int parent = 0;
        int group = 0;
        fields >> state >> parent >> group;
        if (groups.count(group) != 0 && state != 'Z' && state != 'X') {
            return false;
        }
    }
    return true;
}

// Runs body as pid 1 of a new pid namespace inside runInChild, where nothing else takes pids: its
// children get 2, 3, ... in order. The outcome's status is 77 when no namespace can be made.
Outcome runInPidNamespace(const TempDir &dir, const std::function<int()> &body) {
    return runInChild(dir, [&] {
        if (unshare(CLONE_NEWPID) != 0) {
            return 77;
        }
        pid_t init = fork();
        if (init == 0) {
            int result = body();
            fflush(stdout);
            _exit(result);
        }
        int status = 0;
        waitpid(init, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
    });
}

TEST(RunParallel, OutputFilesAreNeverLinksFifosOrDirectories) {
    struct Case {
        const char *what;
        const char *suffix; // of the planted name
        const char *error;  // on the runner's standard error; PID stands for the child's pid
    };
    const Case cases[] = {
        {"link", ".stdout", "Error: open failed\n: Too many levels of symbolic links\n"},
        {"link", ".stderr", "Error: open failed on PID PID\n"},
        {"dangling", ".stdout", "Error: open failed\n: Too many levels of symbolic links\n"},
        {"fifo", ".stdout", "Error: open failed\n: No such device or address\n"},
        {"fifo", ".stderr", "Error: open failed on PID PID\n"},
        {"directory", ".stdout", "Error: open failed\n: Is a directory\n"},
        // Opened without blocking, these open: only their kind keeps the command off them.
        {"fifo with a reader", ".stdout", "Error: open failed\n: No such device or address\n"},
        {"fifo with a reader", ".stderr", "Error: open failed on PID PID\n"},
        {"device", ".stdout", "Error: open failed\n: No such device or address\n"},
        {"device", ".stderr", "Error: open failed on PID PID\n"},
    };
    for (const Case &test : cases) {
        TempDir dir;
        const fs::path out = dir.path() / "out";
        fs::create_directory(out);
        const std::string victim = dir / "victim";
        const std::string missing = dir / "missing";
        writeFile(victim, "keep\n");
        // The run's only command is the first child of its namespace's pid 1, so it gets pid 2.
        const fs::path name = out / (std::string("2") + test.suffix);
        const std::string kind = test.what;
        const bool fifo = kind.rfind("fifo", 0) == 0;
        // The null device's numbers: writing to it loses the output without a trace.
        if (kind == "device" && mknod(name.c_str(), S_IFCHR | 0644, makedev(1, 3)) != 0) {
            SKIP_UNLESS_CI("no device node can be made: " << strerror(errno));
        }
        ASSERT_EQ(kind == "link"       ? symlink(victim.c_str(), name.c_str())
                  : kind == "dangling" ? symlink(missing.c_str(), name.c_str())
                  : fifo               ? mkfifo(name.c_str(), 0644)
                  : kind == "device"   ? 0
                                       : mkdir(name.c_str(), 0755),
                  0);
        // Held open across the run (the runner inherits it), so the FIFO has a reader.
        const int reader =
            kind == "fifo with a reader" ? open(name.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        Outcome outcome = runInPidNamespace(dir, [&] {
            const std::string outputDir = out.string();
            std::vector<std::string> arguments = {"x"};
            std::vector<char *> pointers;
            setParams(1, outputDir, "echo {}", arguments, pointers);
            return runParallel();
        });
        const std::string label = std::string(test.what) + test.suffix;
        if (outcome.exitedWith(77)) {
            SKIP_UNLESS_CI("no new pid namespace: " << outcome.err);
        }
        ASSERT_TRUE(outcome.exitedWith(0)) << label;
        std::vector<ReportLine> records = parseRecords(outcome.out);
        ASSERT_EQ(records.size(), 1U) << label;
        ASSERT_EQ(records[0].pid, 2) << label;
        std::string error = test.error;
        const size_t at = error.find("PID\n");
        if (at != std::string::npos) {
            error.replace(at, 3, std::to_string(records[0].pid));
        }
        EXPECT_EQ(records[0].exitStatus, 1) << label;
        EXPECT_EQ(outcome.err, error) << label;
        EXPECT_EQ(readFile(victim), "keep\n") << label;
        EXPECT_FALSE(fs::exists(missing)) << label;
        if (reader >= 0) {
            char byte = 0;
            EXPECT_NE(read(reader, &byte, 1), 1) << label << ": the command wrote to the FIFO";
            close(reader);
        }
    }
}

TEST(RunParallel, ARepeatedPidNeverTouchesAnEarlierCommandsFiles) {
    TempDir dir;
    const std::string out = dir / "out";
    // Pid 1 of a new pid namespace runs the loop; each command rewinds the namespace's last pid
    // so that the next command gets the same pid again.
    Outcome outcome = runInPidNamespace(dir, [&] {
        std::vector<std::string> arguments = {"a", "b", "c"};
        std::vector<char *> pointers;
        setParams(1, out,
                  "echo out {}; echo err {} >&2; echo $(($$ - 1)) > "
                  "/proc/sys/kernel/ns_last_pid",
                  arguments, pointers);
        return runParallel();
    });
    if (outcome.exitedWith(77)) {
        SKIP_UNLESS_CI("no new pid namespace: " << outcome.err);
    }
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 3U);
    const std::string pid = std::to_string(records[0].pid);
    if (records[1].pid != records[0].pid || records[2].pid != records[0].pid) {
        SKIP_UNLESS_CI("the namespace's last pid could not be rewound");
    }
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::directory_iterator(out)) {
        files[entry.path().filename().string()] = readFile(entry.path());
    }
    EXPECT_EQ(files, (std::map<std::string, std::string>{{pid + ".stdout", "out a\n"},
                                                         {pid + ".stderr", "err a\n"},
                                                         {pid + ".2.stdout", "out b\n"},
                                                         {pid + ".2.stderr", "err b\n"},
                                                         {pid + ".3.stdout", "out c\n"},
                                                         {pid + ".3.stderr", "err c\n"}}));
}

void liftProcessLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NPROC, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NPROC, &limit);
}

TEST(RunParallel, OutOfProcessesWaitsForARunningCommandAndFailsOnlyWhenNoneRuns) {
    constexpr uid_t nobody = 65534;
    struct Case {
        int room;     // processes of the user beyond the runner
        bool blocker; // once the first command runs, another process takes its place
        int reported; // commands in the report
        int exitCode;
        std::string error;
    };
    const std::string eagain = "Error: fork failed\n: Resource temporarily unavailable\n";
    const Case cases[] = {
        {1, false, 3, 0, ""}, // one command at a time although four may run
        {1, true, 1, 1, eagain},
        {0, false, 0, 1, eagain},
    };
    for (const Case &test : cases) {
        TempDir dir;
        const std::string out = dir / "out";
        const std::string started = dir / "started";
        fs::create_directory(out);
        chmod(dir.path().c_str(), 0777);
        chmod(out.c_str(), 0777);
        // Builtins and exec only: a command takes one process. With a blocker the command waits at
        // a FIFO until the blocker has taken its place, however slow the machine.
        const std::string gate = dir / "gate";
        ASSERT_EQ(mkfifo(gate.c_str(), 0666), 0);
        const std::string command = test.blocker
                                        ? ": > " + started + "; read -r _ < " + gate + " || : # {}"
                                        : ": > " + started + "; exec sleep 1 # {}";
        Program program = startInChild(dir, [&] {
            // The limit counts every process of the user, so it starts from those there are.
            int existing = 0;
            for (const auto &entry : fs::directory_iterator("/proc")) {
                struct stat info {};
                if (std::isdigit(entry.path().filename().string()[0]) != 0 &&
                    stat(entry.path().c_str(), &info) == 0 && info.st_uid == nobody) {
                    ++existing;
                }
            }
            // Only the soft limit: a sanitizer's check at exit needs its thread again.
            rlimit limit{};
            getrlimit(RLIMIT_NPROC, &limit);
            limit.rlim_cur = static_cast<rlim_t>(existing + 1 + test.room);
            atexit(liftProcessLimit);
            if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0 ||
                setrlimit(RLIMIT_NPROC, &limit) != 0) {
                return 77;
            }
            std::vector<std::string> arguments = {"a", "b", "c"};
            std::vector<char *> pointers;
            setParams(4, out, command.c_str(), arguments, pointers);
            return runParallel();
        });
        pid_t blocker = -1;
        if (test.blocker && eventually([&] { return fs::exists(started); })) {
            blocker = fork();
            if (blocker == 0) {
                if (setgid(nobody) == 0 && setuid(nobody) == 0) {
                    pause();
                }
                _exit(0);
            }
            const std::string status = "/proc/" + std::to_string(blocker) + "/status";
            EXPECT_TRUE(eventually(
                [&] { return readFile(status).find("\nUid:\t65534\t") != std::string::npos; }));
            // Opening the gate waits for the command at its other end; closing it lets it end.
            const int open = ::open(gate.c_str(), O_WRONLY | O_CLOEXEC);
            if (open >= 0) {
                close(open);
            }
        }
        Outcome outcome = program.finish();
        if (blocker > 0) {
            kill(blocker, SIGKILL);
            waitpid(blocker, nullptr, 0);
        }
        if (outcome.exitedWith(77)) {
            SKIP_UNLESS_CI("cannot become an unprivileged user");
        }
        EXPECT_TRUE(outcome.exitedWith(test.exitCode)) << test.room << "\n" << outcome.err;
        EXPECT_EQ(outcome.err, test.error) << test.room;
        std::string header;
        std::vector<ReportLine> records = parseRecords(outcome.out, &header);
        EXPECT_EQ(header, "3 " + std::to_string(test.reported) + " 0");
        ASSERT_EQ(records.size(), static_cast<size_t>(test.reported));
        for (const ReportLine &record : records) {
            EXPECT_EQ(record.exitStatus, 0) << record.command;
        }
    }
}

TEST(RunParallel, AClosedStandardOutputFailsReportsButNeverEndsTheRun) {
    TempDir dir;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    // Report lines longer than the stream's buffer, so that every report is written at once.
    const std::string go = dir / "go";
    const std::string command = "while [ ! -e " + go + " ]; do sleep 0.01; done; touch " +
                                (dir / "ran.") + "{} # " + std::string(9000, 'x');
    Program program = startInChild(
        dir,
        [&] {
            const std::string out = dir / "out";
            std::vector<std::string> arguments = {"a", "b", "c"};
            std::vector<char *> pointers;
            setParams(2, out, command.c_str(), arguments, pointers);
            runParallel();
            struct sigaction action {};
            sigaction(SIGPIPE, nullptr, &action);
            signal(SIGPIPE, SIG_IGN);
            fflush(stdout);
            return ferror(stdout) != 0 && action.sa_handler == SIG_DFL ? 0 : 3;
        },
        ends[1]);
    close(ends[1]);
    ASSERT_TRUE(
        eventually([&] { return (statusMask(program.pid, "SigCgt") & reportBits) == reportBits; }));
    for (int i = 0; i < 20; ++i) {
        kill(program.pid, i % 2 == 0 ? SIGUSR2 : SIGUSR1);
        ASSERT_TRUE(delivered(program.pid, i % 2 == 0 ? SIGUSR2 : SIGUSR1));
    }
    writeFile(go, "");
    Outcome outcome = program.finish();
    EXPECT_TRUE(outcome.exitedWith(0)) << outcome.status;
    for (const char *name : {"a", "b", "c"}) {
        EXPECT_TRUE(fs::exists(dir / (std::string("ran.") + name))) << name;
    }
}

TEST(RunParallel, InheritedIgnoredSigchldAndSigpipeChangeNothing) {
    for (int stopOnSignals : {0, 1}) {
        TempDir dir;
        const std::string out = dir / "out";
        Outcome outcome = runInChild(dir, [&] {
            signal(SIGCHLD, SIG_IGN);
            signal(SIGPIPE, SIG_IGN);
            FANRUN_OPTIONS options{};
            options.stopOnSignals = stopOnSignals;
            fanrunSetOptions(&options);
            std::vector<std::string> arguments = {"3", "0"};
            std::vector<char *> pointers;
            setParams(1, out, "grep SigIgn /proc/self/status; exit {}", arguments, pointers);
            runParallel();
            struct sigaction chld {};
            struct sigaction pipe {};
            sigaction(SIGCHLD, nullptr, &chld);
            sigaction(SIGPIPE, nullptr, &pipe);
            return chld.sa_handler == SIG_IGN && pipe.sa_handler == SIG_IGN ? 0 : 3;
        });
        EXPECT_TRUE(outcome.exitedWith(0)) << stopOnSignals;
        EXPECT_EQ(outcome.err, "");
        std::string header;
        std::vector<ReportLine> records = parseRecords(outcome.out, &header);
        ASSERT_EQ(records.size(), 2U) << outcome.out;
        EXPECT_EQ(header, "2 2 0");
        EXPECT_EQ(records[0].exitStatus, 3);
        EXPECT_EQ(records[1].exitStatus, 0);
        const std::string status = commandOutput(out, records[0]);
        EXPECT_EQ(std::stoull(status.substr(7), nullptr, 16) & signalBit(SIGPIPE), 0U) << status;
    }
}

TEST(RunParallel, StopSignalsEndEveryCommandsGroupAndKeepTheWholeReport) {
    struct Case {
        int first;
        int second; // 0: none
        std::string command;
    };
    // The sleeps run in children of the shells, so only a signal to the group ends them.
    const Case cases[] = {
        {SIGINT, 0, "sleep 30; echo late"},
        {SIGTERM, 0, "sleep 30; echo late"},
        {SIGHUP, 0, "sleep 30; echo late"},
        {SIGHUP, SIGTERM, "trap '' HUP TERM; sleep 30; echo late"},
    };
    for (const Case &test : cases) {
        TempDir dir;
        const std::string started = dir / "started.";
        FANRUN_OPTIONS options{};
        options.stopOnSignals = 1;
        Program program =
            startInChild(dir, optionRun(dir, options, 2, "touch " + started + "{}; " + test.command,
                                        {"a", "b", "c"}));
        const std::string label = strsignal(test.first) + std::string(" ") + test.command;
        ASSERT_TRUE(eventually([&] {
            return fs::exists(started + "a") && fs::exists(started + "b") &&
                   (statusMask(program.pid, "SigCgt") & reportBits) == reportBits;
        })) << label;
        // Still in the stream's buffer when the run is stopped: never lost.
        kill(program.pid, SIGUSR2);
        ASSERT_TRUE(delivered(program.pid, SIGUSR2));
        std::this_thread::sleep_for(50ms); // let the shells start their sleeps
        kill(program.pid, test.first);
        if (test.second != 0) {
            ASSERT_TRUE(delivered(program.pid, test.first));
            std::this_thread::sleep_for(100ms);
            kill(program.pid, test.second);
        }
        Outcome outcome = program.finish();
        ASSERT_TRUE(outcome.exitedWith(0)) << label;
        EXPECT_EQ(outcome.err, "") << label;
        ASSERT_EQ(outcome.out.rfind("3 0 2\n", 0), 0U) << label << "\n" << outcome.out;
        std::string header;
        std::vector<ReportLine> records = parseRecords(outcome.out.substr(6), &header);
        EXPECT_EQ(header, "3 2 0") << label;
        ASSERT_EQ(records.size(), 2U) << label;
        for (const ReportLine &record : records) {
            EXPECT_EQ(record.exitStatus, -1) << label;
            EXPECT_EQ(commandOutput(dir / "out", record), "");
        }
        EXPECT_TRUE(eventually([&] { return groupsEmpty(records); }, 2s)) << label;
        EXPECT_FALSE(fs::exists(started + "c")) << label;
        EXPECT_EQ(runResult(dir), "2 2 0 " + std::to_string(test.first) + " 0") << label;
    }
}

TEST(RunParallel, ATimeoutEndsTheCommandAndItsGroupAndCountsAsFailed) {
    TempDir dir;
    FANRUN_OPTIONS options{};
    options.stopOnSignals = 1;
    options.timeoutSeconds = 0.3;
    // "quick" ends in time; "slow" ends on SIGTERM; "stubborn" ignores it until SIGKILL.
    const std::string command = "case {} in quick) exit 4;; slow) sleep 30;; *) trap '' TERM; "
                                "sleep 30;; esac; echo late";
    const auto begin = std::chrono::steady_clock::now();
    Outcome outcome =
        runInChild(dir, optionRun(dir, options, 3, command, {"quick", "slow", "stubborn"}));
    const auto took = std::chrono::steady_clock::now() - begin;
    ASSERT_TRUE(outcome.exitedWith(0));
    std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 3U);
    EXPECT_EQ(records[0].exitStatus, 4);
    EXPECT_EQ(records[1].exitStatus, -1);
    EXPECT_EQ(records[2].exitStatus, -1);
    EXPECT_TRUE(eventually([&] { return groupsEmpty(records); }, 2s));
    EXPECT_EQ(runResult(dir), "3 3 2 0 0");
    EXPECT_LT(took, 20s);
}

TEST(RunParallel, HaltingStopsLaunchingAfterTheFirstFailure) {
    struct Case {
        int halt;
        int slowExit; // of the command running when the first one fails
        bool slowDone;
    };
    const Case cases[] = {{FANRUN_HALT_SOON, 0, true}, {FANRUN_HALT_NOW, -1, false}};
    for (const Case &test : cases) {
        TempDir dir;
        FANRUN_OPTIONS options{};
        options.stopOnSignals = 1;
        options.halt = test.halt;
        const std::string marks = dir / "";
        const std::string command = "touch " + marks +
                                    "{}.ran; case {} in fail) sleep 0.2; exit 5;; "
                                    "slow) sleep 1.5; touch " +
                                    marks + "slow.done;; esac";
        Outcome outcome =
            runInChild(dir, optionRun(dir, options, 2, command, {"slow", "fail", "next", "last"}));
        ASSERT_TRUE(outcome.exitedWith(0)) << test.halt;
        std::string header;
        std::vector<ReportLine> records = parseRecords(outcome.out, &header);
        EXPECT_EQ(header, "4 2 0") << test.halt;
        ASSERT_EQ(records.size(), 2U) << test.halt;
        EXPECT_EQ(records[0].exitStatus, test.slowExit) << test.halt;
        EXPECT_EQ(records[1].exitStatus, 5) << test.halt;
        EXPECT_EQ(fs::exists(marks + "slow.done"), test.slowDone) << test.halt;
        EXPECT_FALSE(fs::exists(marks + "next.ran")) << test.halt;
        EXPECT_EQ(runResult(dir), test.halt == FANRUN_HALT_NOW ? "2 2 0 0 1" : "2 1 0 0 1");
    }
}

TEST(RunParallel, ProgressGoesToStandardErrorAtMostOnceASecondOffATerminal) {
    TempDir dir;
    FANRUN_OPTIONS options{};
    options.progress = 1;
    Outcome outcome =
        runInChild(dir, optionRun(dir, options, 1, "sleep 0.7; exit {}", {"0", "1", "0"}));
    ASSERT_TRUE(outcome.exitedWith(0));
    EXPECT_EQ(parseRecords(outcome.out).size(), 3U);
    std::vector<std::string> progress = lines(outcome.err);
    // About two seconds: one or two lines while it runs, then the last one.
    ASSERT_GE(progress.size(), 2U) << outcome.err;
    EXPECT_LE(progress.size(), 4U) << outcome.err;
    for (const std::string &line : progress) {
        std::istringstream fields(line);
        int done = -1;
        int total = -1;
        char slash = 0;
        std::string rest;
        fields >> done >> slash >> total;
        std::getline(fields, rest);
        EXPECT_TRUE(slash == '/' && total == 3 && done >= 0 && done <= 3) << line;
        EXPECT_NE(rest.find(" done, "), std::string::npos) << line;
    }
    EXPECT_EQ(progress.back().rfind("3/3 done, 0 running, 1 failed, 0:02 elapsed, 0:00 left", 0),
              0U)
        << progress.back();
}

TEST(RunParallel, NullInputKeepsCommandsOffTheRunnersInput) {
    for (int nullInput : {0, 1}) {
        TempDir dir;
        const std::string input = dir / "input";
        writeFile(input, "runner's input\n");
        Outcome outcome = runInChild(dir, [&] {
            int fd = open(input.c_str(), O_RDONLY);
            dup2(fd, STDIN_FILENO);
            close(fd);
            FANRUN_OPTIONS options{};
            options.nullInput = nullInput;
            fanrunSetOptions(&options);
            const std::string out = dir / "out";
            std::vector<std::string> arguments = {"a"};
            std::vector<char *> pointers;
            setParams(1, out, "cat", arguments, pointers);
            return runParallel();
        });
        ASSERT_TRUE(outcome.exitedWith(0));
        std::vector<ReportLine> records = parseRecords(outcome.out);
        ASSERT_EQ(records.size(), 1U);
        EXPECT_EQ(commandOutput(dir / "out", records[0]), nullInput != 0 ? "" : "runner's input\n");
    }
}

TEST(RunParallel, ProgressIsRewrittenInPlaceOnATerminal) {
    TempDir dir;
    int terminal = -1;
    int side = -1;
    ASSERT_EQ(openpty(&terminal, &side, nullptr, nullptr, nullptr), 0);
    FANRUN_OPTIONS options{};
    options.progress = 1;
    const std::function<int()> run = optionRun(dir, options, 1, "sleep 0.3 # {}", {"a", "b"});
    Outcome outcome = runInChild(dir, [&] {
        dup2(side, STDERR_FILENO);
        return run();
    });
    close(side);
    fcntl(terminal, F_SETFL, O_NONBLOCK);
    std::string shown = readAll(terminal);
    ASSERT_TRUE(outcome.exitedWith(0));
    // Each rewrite returns to the start of the line and clears what is left of the last one.
    ASSERT_GE(std::count(shown.begin(), shown.end(), '\r'), 3) << shown;
    EXPECT_EQ(shown.rfind("\r0/2 done, 1 running, 0 failed, 0:00 elapsed, ? left\033[K", 0), 0U)
        << shown;
    const std::string last = "\r2/2 done, 0 running, 0 failed, 0:00 elapsed, 0:00 left\033[K\r\n";
    ASSERT_GE(shown.size(), last.size());
    EXPECT_EQ(shown.substr(shown.size() - last.size()), last) << shown;
}

TEST(RunParallel, AStopNotedBeforeTheRunStartsNoCommandAndOnlyThatRun) {
    struct Case {
        int noted;
        int stopOnSignals;
        std::string first;  // header of the first run's report, then its result
        std::string second; // the result of a second run in the same process
    };
    const Case cases[] = {
        {SIGINT, 1, "3 0 0\n/0 0 0 2 0", "3 0 0 0 0"},
        {SIGTERM, 1, "3 0 0\n/0 0 0 15 0", "3 0 0 0 0"},
        {SIGHUP, 1, "3 0 0\n/0 0 0 1 0", "3 0 0 0 0"},
        // Not a stop signal: nothing is noted.
        {SIGUSR1, 1, "3 3 0\n/3 0 0 0 0", "3 0 0 0 0"},
        // Only a run that stops on signals takes the note; the next such run does.
        {SIGTERM, 0, "3 3 0\n/3 0 0 0 0", "0 0 0 15 0"},
    };
    for (const Case &test : cases) {
        TempDir dir;
        const std::string label =
            std::string(strsignal(test.noted)) + " " + std::to_string(test.stopOnSignals);
        FANRUN_OPTIONS options{};
        options.stopOnSignals = test.stopOnSignals;
        const std::function<int()> first = optionRun(dir, options, 1, "true {}", {"a", "b", "c"});
        FANRUN_OPTIONS stopping{};
        stopping.stopOnSignals = 1;
        const std::function<int()> second = optionRun(dir, stopping, 1, "true {}", {"a", "b", "c"});
        Outcome outcome = runInChild(dir, [&] {
            fanrunStop(test.noted);
            first();
            const std::string result = readFile(dir / "result");
            // The first report is complete; the second one's header tells it apart.
            printf("/%s\n", result.c_str());
            return second();
        });
        ASSERT_TRUE(outcome.exitedWith(0)) << label << outcome.err;
        const std::string header = outcome.out.substr(0, outcome.out.find('\n') + 1);
        const size_t mark = outcome.out.find("\n/");
        ASSERT_NE(mark, std::string::npos) << label << outcome.out;
        const std::string firstResultLine =
            outcome.out.substr(mark + 1, outcome.out.find('\n', mark + 1) - mark - 1);
        EXPECT_EQ(header + firstResultLine, test.first) << label;
        EXPECT_EQ(runResult(dir), test.second) << label;
        EXPECT_EQ(outcome.err, "") << label;
    }
}

TEST(RunParallel, ACommandStoppedBySignalIsNamedOnStandardErrorEndedAndCountedAsFailed) {
    struct Case {
        std::string command;
        std::string why; // after the signal's name in the message
    };
    const Case cases[] = {
        {"kill -TTIN $$", "SIGTTIN (it wants the terminal; use --tty)"},
        {"kill -TTOU $$", "SIGTTOU (it wants the terminal; use --tty)"},
        {"kill -STOP $$", "SIGSTOP"},
        {"kill -TSTP $$", "SIGTSTP"},
    };
    for (const Case &test : cases) {
        TempDir dir;
        FANRUN_OPTIONS options{};
        options.stopOnSignals = 1;
        Outcome outcome = runInChild(
            dir, optionRun(dir, options, 2, "if [ {} = stop ]; then " + test.command + "; fi",
                           {"stop", "go"}));
        ASSERT_TRUE(outcome.exitedWith(0)) << test.command;
        std::string header;
        std::vector<ReportLine> records = parseRecords(outcome.out, &header);
        EXPECT_EQ(header, "2 2 0");
        ASSERT_EQ(records.size(), 2U) << test.command;
        EXPECT_EQ(records[0].exitStatus, -1) << test.command;
        EXPECT_EQ(records[1].exitStatus, 0) << test.command;
        EXPECT_EQ(outcome.err, "fanrun: command " + std::to_string(records[0].pid) +
                                   " stopped by " + test.why + ", ended: " + records[0].command +
                                   "\n");
        EXPECT_EQ(runResult(dir), "2 1 0 0 0") << test.command;
        EXPECT_TRUE(eventually([&] { return groupsEmpty(records); }, 2s)) << test.command;
    }
}

// The state letter of /proc/PID/stat ('T' stopped), or '?' when the process is gone.
char processState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : '?';
}

TEST(RunParallel, AStoppedRunStopsItsCommandsUntilContinuedAndTimesOnlyTheirRunning) {
    TempDir dir;
    FANRUN_OPTIONS options{};
    options.stopOnSignals = 1;
    options.timeoutSeconds = 1;
    const std::string ticks = dir / "ticks";
    const std::string pidFile = dir / "pid";
    const std::function<int()> run =
        optionRun(dir, options, 1,
                  "echo $$ > " + pidFile + "; for i in 1 2 3 4 5 6; do echo $i >> " + ticks +
                      "; sleep 0.1; done",
                  {"a"});
    // A group of its own in the test's session, whatever group the test runs in.
    Program started = startInChild(dir, [&run] {
        setpgid(0, 0);
        return run();
    });
    ASSERT_TRUE(eventually([&] { return fs::exists(ticks) && !readFile(pidFile).empty(); }));
    const pid_t command = static_cast<pid_t>(std::stol(readFile(pidFile)));
    kill(started.pid, SIGTSTP);
    // Not an assertion: the runner must be continued whatever happened.
    EXPECT_TRUE(eventually(
        [&] { return processState(started.pid) == 'T' && processState(command) == 'T'; }, 5s));
    const std::string before = readFile(ticks);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(readFile(ticks), before);
    kill(started.pid, SIGCONT);
    Outcome outcome = started.finish();
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].exitStatus, 0);
    EXPECT_EQ(readFile(ticks), "1\n2\n3\n4\n5\n6\n");
    EXPECT_EQ(runResult(dir), "1 0 0 0 0");
}

TEST(RunParallel, WithTheTerminalACommandStaysInTheRunnersGroupAndReadsTheTerminal) {
    for (int terminal : {0, 1}) {
        TempDir dir;
        FANRUN_OPTIONS options{};
        options.stopOnSignals = 1;
        options.nullInput = 1;
        // The command's process group (the fifth field of its stat) and whether its standard
        // input is a terminal.
        const std::function<int()> run = optionRun(
            dir, options, 1,
            "read -r pid name state parent group rest < /proc/$$/stat; echo $group; [ -t 0 ] {}",
            {"&& echo terminal"});
        Program program = startInChild(dir, [&] {
            // A session of its own whose controlling terminal is a new pseudo-terminal.
            int side = -1;
            int master = -1;
            if (setsid() < 0 || openpty(&master, &side, nullptr, nullptr, nullptr) != 0 ||
                ioctl(side, TIOCSCTTY, 0) != 0) {
                return 99;
            }
            fanrunSetTerminal(terminal);
            return run();
        });
        Outcome outcome = program.finish();
        ASSERT_TRUE(outcome.exitedWith(0)) << terminal;
        std::vector<ReportLine> records = parseRecords(outcome.out);
        ASSERT_EQ(records.size(), 1U);
        const int group = terminal != 0 ? program.pid : records[0].pid;
        EXPECT_EQ(commandOutput(dir / "out", records[0]),
                  std::to_string(group) + "\n" + (terminal != 0 ? "terminal\n" : ""))
            << terminal;
    }
    // Without a controlling terminal there is no /dev/tty to open.
    TempDir dir;
    FANRUN_OPTIONS options{};
    options.stopOnSignals = 1;
    const std::function<int()> run = optionRun(dir, options, 1, "echo {}", {"never"});
    Outcome outcome = runInChild(dir, [&] {
        setsid();
        fanrunSetTerminal(1);
        return run();
    });
    ASSERT_TRUE(outcome.exitedWith(0));
    std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].exitStatus, 1);
    EXPECT_EQ(readFile(fs::path(dir / "out") / (std::to_string(records[0].pid) + ".stderr")),
              "Error: open failed on PID " + std::to_string(records[0].pid) + "\n");
    EXPECT_EQ(commandOutput(dir / "out", records[0]), "");
}

// A source of one command started without the shell: its words, shown as its text.
struct DirectCommand {
    std::vector<std::string> words;
    std::vector<char *> argv;
    bool handed = false;
};

int nextDirect(void *context, FANRUN_COMMAND *command) {
    DirectCommand &source = *static_cast<DirectCommand *>(context);
    if (source.handed) {
        return FANRUN_NEXT_END;
    }
    source.handed = true;
    source.argv.clear();
    for (std::string &word : source.words) {
        source.argv.push_back(word.data());
    }
    source.argv.push_back(nullptr);
    command->command = strdup(source.words[0].c_str());
    command->argv = source.argv.data();
    command->outFd = -1;
    command->errFd = -1;
    return FANRUN_NEXT_COMMAND;
}

TEST(RunParallel, AProgramWithoutTheShellIsLookedUpInThePathOfEachRun) {
    TempDir dir;
    for (const char *place : {"first", "second"}) {
        fs::create_directories(dir / place);
        writeFile(dir / place + "/tool", std::string("#!/bin/sh\necho ") + place + "\n");
        fs::permissions(dir / place + "/tool", fs::perms(0755));
    }
    const std::vector<std::string> places = {"first", "second", "first"};
    Outcome outcome = runInChild(dir, [&] {
        for (size_t i = 0; i < places.size(); ++i) {
            setenv("PATH", (dir / places[i] + ":/usr/bin:/bin").c_str(), 1);
            DirectCommand command{{"tool", "argument"}, {}, false};
            const FANRUN_SOURCE source{nextDirect, nullptr, nullptr, &command, 0};
            fanrunSetSource(&source);
            const std::string out = dir / ("out-" + std::to_string(i));
            pparams.maxNumRunning = 1;
            pparams.outputDir = const_cast<char *>(out.c_str());
            runParallel();
        }
        fanrunSetSource(nullptr);
        return 0;
    });
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    for (size_t i = 0; i < places.size(); ++i) {
        std::string printed;
        for (const auto &entry : fs::directory_iterator(dir / ("out-" + std::to_string(i)))) {
            printed += entry.path().extension() == ".stdout" ? readFile(entry.path()) : "";
        }
        EXPECT_EQ(printed, places[i] + "\n") << i;
    }
}

TEST(RunParallel, AProgramRemovedFromThePathIsLookedUpAgainAndTheNextCopyRuns) {
    TempDir dir;
    // The first copy removes itself, as an uninstall during the run would.
    for (const char *place : {"first", "second"}) {
        fs::create_directories(dir / place);
        writeFile(dir / place + "/tool",
                  std::string("#!/bin/sh\necho ") + place +
                      (std::string(place) == "first" ? "\nrm \"$0\"\n" : "\n"));
        fs::permissions(dir / place + "/tool", fs::perms(0755));
    }
    const std::string out = dir / "out";
    struct Commands {
        int left = 3;
        std::string word = "tool";
        char *argv[2] = {nullptr, nullptr};
        static int next(void *context, FANRUN_COMMAND *command) {
            Commands &source = *static_cast<Commands *>(context);
            if (source.left-- == 0) {
                return FANRUN_NEXT_END;
            }
            source.argv[0] = source.word.data();
            command->command = strdup("tool");
            command->argv = source.argv;
            return FANRUN_NEXT_COMMAND;
        }
    };
    Outcome outcome = runInChild(dir, [&] {
        setenv("PATH", (dir / "first:" + dir / "second:/usr/bin:/bin").c_str(), 1);
        Commands commands;
        const FANRUN_SOURCE source{Commands::next, nullptr, nullptr, &commands, 0};
        fanrunSetSource(&source);
        pparams.maxNumRunning = 1;
        pparams.outputDir = const_cast<char *>(out.c_str());
        runParallel();
        fanrunSetSource(nullptr);
        return 0;
    });
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 3U);
    std::string printed;
    for (const ReportLine &record : records) {
        printed += std::to_string(record.exitStatus) + " " + commandOutput(out, record);
    }
    EXPECT_EQ(printed, "0 first\n0 second\n0 second\n");
}

// ---- the run as a whole --------------------------------------------------------------------

TEST(RunParallel, CommandsTheShellOrExecCannotRunAreRecordedWithTheirExitCodes) {
    TempDir dir;
    const std::string out = dir / "out";
    // A single argument beyond the kernel's limit for one exec string makes the exec fail. The
    // front end refuses such a command before the run, so the library runs it here.
    const std::string tooLong(200000, 'x');
    Outcome outcome = runInChild(dir, [&] {
        std::vector<std::string> arguments = {"no-such-command-for-fanrun", tooLong};
        std::vector<char *> pointers;
        setParams(2, out, "{}", arguments, pointers);
        FANRUN_RESULT result{};
        runParallel();
        fanrunLastResult(&result);
        return result.numFailed == 2 ? 0 : 3;
    });
    EXPECT_TRUE(outcome.exitedWith(0));
    EXPECT_EQ(outcome.err, "");
    std::string header;
    std::vector<ReportLine> records = parseRecords(outcome.out, &header);
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(header, "2 2 0");
    EXPECT_EQ(records[0].exitStatus, 127);
    EXPECT_NE(readFile(out + "/" + std::to_string(records[0].pid) + ".stderr")
                  .find("no-such-command-for-fanrun: command not found"),
              std::string::npos);
    EXPECT_EQ(records[1].exitStatus, 1);
    EXPECT_EQ(records[1].command, tooLong);
    const std::string base = out + "/" + std::to_string(records[1].pid);
    EXPECT_EQ(readFile(base + ".stderr"),
              "Error: exec failed on PID " + std::to_string(records[1].pid) + "\n");
    EXPECT_EQ(readFile(base + ".stdout"), "");
}

// ---- promises of the header ------------------------------------------------------------------

// One step of a scripted source.
struct Step {
    enum Kind { Command, WaitInput, WaitDeadline, WaitEnd, End } kind = Command;
    std::string command;            // the text, also shown in the reports
    std::vector<std::string> words; // not empty: started without the shell
    int waiting = 0;                // further commands the source says it knows of
    bool given = false;             // standard output and error go to the source's file "given"
    int pid = 0;                    // > 1: the pid the command gets, in a pid namespace
};

Step shell(std::string text, int waiting = 0) {
    Step step;
    step.command = std::move(text);
    step.waiting = waiting;
    return step;
}

Step words(std::vector<std::string> words) {
    Step step;
    step.command = words.at(0);
    step.words = std::move(words);
    step.given = true;
    return step;
}

Step pause(Step::Kind kind) {
    Step step;
    step.kind = kind;
    return step;
}

// What the source does when it hears of an event ("started 2", "ended 0"), first waits ("wait")
// or gives the end of its commands ("end"): open gates, signal the runner, and at an end return
// a halting.
struct Reaction {
    std::vector<int> gates;
    int halt = FANRUN_HALT_NEVER;
    int signal = 0; // sent to the runner itself
};

constexpr int gateCount = 6;

// A command that waits until the source opens gate k.
std::string gated(const TempDir &dir, int k, const std::string &then = "") {
    return "read -r _ < " + dir / ("gate" + std::to_string(k)) + then;
}

// A command that rings the source's bell, then waits for gate k.
std::string ringing(const TempDir &dir, int k) {
    return "echo > " + dir / "bell" + "; " + gated(dir, k);
}

// A source that hands out its steps in order and logs every call it gets, with what the table
// says at that moment, so that a whole run compares as one text.
struct ScriptedSource {
    std::string outputDir;
    std::vector<Step> steps;
    std::map<std::string, Reaction> reactions;
    size_t at = 0;
    bool paused = false;
    long long until = 0;
    int bell = -1;
    int given = -1;
    int gates[gateCount] = {};
    std::vector<char *> argv;
    std::string log;
    // Job slots as a source keeps them: the lowest one no started and not yet ended command has.
    std::set<int> slotsTaken;
    std::map<int, int> slotOf; // by record
    int staged = 0;

    int freeSlot() const {
        int slot = 1;
        while (slotsTaken.count(slot) != 0) {
            ++slot;
        }
        return slot;
    }

    std::string table() const {
        return "numProcesses " + std::to_string(processControl.numProcesses) + " running " +
               std::to_string(processControl.numRunning) + " completed " +
               std::to_string(processControl.numCompleted);
    }

    static long long now() {
        timespec time{};
        clock_gettime(CLOCK_MONOTONIC, &time);
        return static_cast<long long>(time.tv_sec) * 1000000000LL + time.tv_nsec;
    }

    int next(FANRUN_COMMAND *command) {
        const int slot = freeSlot();
        for (;;) {
            if (at >= steps.size() || steps[at].kind == Step::End) {
                log += "next " + std::to_string(slot) + " end\n";
                react("end");
                return FANRUN_NEXT_END;
            }
            Step &step = steps[at];
            if (step.kind == Step::Command && step.pid > 1) {
                // In a pid namespace of its own the next child gets the pid after the last one.
                const std::string last = std::to_string(step.pid - 1);
                const int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
                (void)!write(fd, last.data(), last.size());
                close(fd);
            }
            if (step.kind == Step::Command) {
                log += "next " + std::to_string(slot) + " " + table() + "\n";
                command->command = strdup(step.command.c_str());
                command->waiting = step.waiting;
                if (!step.words.empty()) {
                    argv.clear();
                    for (std::string &word : step.words) {
                        argv.push_back(word.data());
                    }
                    argv.push_back(nullptr);
                    command->argv = argv.data();
                }
                if (step.given) {
                    command->outFd = given;
                    command->errFd = given;
                }
                ++at;
                staged = slot;
                return FANRUN_NEXT_COMMAND;
            }
            static const char *const names[] = {"", "input", "a deadline", "an end"};
            if (!paused) {
                paused = true;
                until = now() + 20000000;
                log += std::string("wait for ") + names[step.kind] + "\n";
                react("wait");
            } else {
                char byte = 0;
                const bool woke = step.kind == Step::WaitEnd ||
                                  (step.kind == Step::WaitInput && read(bell, &byte, 1) == 1) ||
                                  (step.kind == Step::WaitDeadline && now() >= until);
                if (woke) {
                    log += std::string("woke on ") + names[step.kind] + " " + table() + "\n";
                    paused = false;
                    ++at;
                    continue;
                }
            }
            command->waitFd = step.kind == Step::WaitInput ? bell : -1;
            command->waitUntilNs = step.kind == Step::WaitDeadline ? until : 0;
            return FANRUN_NEXT_WAIT;
        }
    }

    // Returns the halting the reaction to the event asks for.
    int tell(const char *what, const FANRUN_EVENT *event) {
        const bool ended = strcmp(what, "ended") == 0;
        if (!ended) {
            slotOf[event->index] = staged;
            slotsTaken.insert(staged);
        }
        const int slot = slotOf[event->index];
        if (ended) {
            slotsTaken.erase(slot);
        }
        const PROCESS_STRUCT &record = processControl.process[event->index];
        bool restZero = true;
        for (int i = event->index + 1; i < processControl.numProcesses; ++i) {
            const PROCESS_STRUCT &later = processControl.process[i];
            restZero = restZero && later.pid == 0 && later.ifExited == 0 && later.exitStatus == 0 &&
                       later.status == 0 && later.command == nullptr;
        }
        std::string paths = "no paths";
        const std::string own = outputDir + "/" + std::to_string(event->pid);
        if (event->stdoutPath != nullptr || event->stderrPath != nullptr) {
            paths = event->stdoutPath != nullptr && event->stderrPath != nullptr &&
                            own + ".stdout" == event->stdoutPath &&
                            own + ".stderr" == event->stderrPath
                        ? "own paths"
                        : "paths " + std::string(event->stdoutPath ? event->stdoutPath : "-") +
                              " " + (event->stderrPath ? event->stderrPath : "-");
        }
        const std::string key = what + (" " + std::to_string(event->index));
        log += key + " slot " + std::to_string(slot) + " status " + std::to_string(event->status) +
               " timedOut " + std::to_string(event->timedOut) +
               (record.pid == event->pid && event->pid > 0 ? " its pid" : " another pid") +
               " reaped " + std::to_string(record.ifExited) +
               (restZero ? " rest zero " : " rest filled ") + paths + " " + table() + "\n";
        return react(key);
    }

    // Opens the gates and sends the signal of the reaction to key; returns its halting.
    int react(const std::string &key) {
        const auto found = reactions.find(key);
        if (found == reactions.end()) {
            return FANRUN_HALT_NEVER;
        }
        for (int gate : found->second.gates) {
            (void)!write(gates[gate], "\n", 1);
        }
        if (found->second.signal != 0) {
            kill(getpid(), found->second.signal);
        }
        return found->second.halt;
    }
};

struct SourceRun {
    int jobs = 1;
    std::vector<Step> steps;
    std::map<std::string, Reaction> reactions;
    int known = 0;
    FANRUN_OPTIONS options{};
    bool outputDir = true;     // false: NULL, every command with its own descriptors
    bool pidNamespace = false; // pid 1 of a new pid namespace runs the source (77: none)
};

// Runs a scripted source in a forked child; the source's log goes to dir/log, the outcome of the
// run to dir/result (as optionRun writes it), what given descriptors got to dir/given.
Outcome runFromSource(const TempDir &dir, const SourceRun &plan) {
    const auto run = plan.pidNamespace ? runInPidNamespace : runInChild;
    return run(dir, [&] {
        // A promise broken into a wait that never ends fails the test instead of hanging it.
        alarm(60);
        ScriptedSource source;
        source.outputDir = dir / "out";
        source.steps = plan.steps;
        source.reactions = plan.reactions;
        for (int k = 0; k < gateCount; ++k) {
            const std::string gate = dir / ("gate" + std::to_string(k));
            mkfifo(gate.c_str(), 0600);
            source.gates[k] = open(gate.c_str(), O_RDWR | O_CLOEXEC);
        }
        const std::string bell = dir / "bell";
        mkfifo(bell.c_str(), 0600);
        source.bell = open(bell.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        source.given =
            open((dir / "given").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        FANRUN_SOURCE callbacks{};
        callbacks.next = [](void *context, FANRUN_COMMAND *command) {
            return static_cast<ScriptedSource *>(context)->next(command);
        };
        callbacks.started = [](void *context, const FANRUN_EVENT *event) {
            static_cast<ScriptedSource *>(context)->tell("started", event);
        };
        callbacks.ended = [](void *context, const FANRUN_EVENT *event) {
            return static_cast<ScriptedSource *>(context)->tell("ended", event);
        };
        callbacks.context = &source;
        callbacks.known = plan.known;
        fanrunSetSource(&callbacks);
        // The runner keeps its own copy.
        callbacks = FANRUN_SOURCE{};
        std::vector<std::string> none;
        std::vector<char *> pointers;
        setParams(plan.jobs, source.outputDir, "unused {}", none, pointers);
        if (!plan.outputDir) {
            pparams.outputDir = nullptr;
        }
        fanrunSetOptions(&plan.options);
        const int returned = runParallel();
        writeFile(dir / "log", source.log);
        FANRUN_RESULT result{};
        fanrunLastResult(&result);
        writeFile(dir / "result",
                  std::to_string(result.numStarted) + " " + std::to_string(result.numFailed) + " " +
                      std::to_string(result.numTimedOut) + " " + std::to_string(result.stopSignal) +
                      " " + std::to_string(result.halted));
        return returned;
    });
}

// The report's header and "exitStatus command" of each record, in launch order.
std::string reportShape(const std::string &out) {
    std::string header;
    std::string shape;
    for (const ReportLine &record : parseRecords(out, &header)) {
        shape += std::to_string(record.exitStatus) + " " + record.command + "\n";
    }
    return header + "\n" + shape;
}

TEST(HeaderPromises, ASourceHearsOfEachStartAndEndWithItsRecordSlotStatusAndFiles) {
    TempDir dir;
    SourceRun plan;
    Step given = shell("echo given; echo also >&2");
    given.given = true;
    plan.steps = {shell("echo one"), shell("echo two >&2; exit 3"), shell("kill -9 $$"), given};
    Outcome outcome = runFromSource(dir, plan);
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    std::string expected;
    const char *const statuses[] = {"0", "768", "9", "0"};
    for (int i = 0; i < 4; ++i) {
        const std::string index = std::to_string(i);
        const std::string before = std::to_string(i);
        const std::string after = std::to_string(i + 1);
        expected += "next 1 numProcesses " + before + " running 0 completed " + before + "\n";
        expected += "started " + index + " slot 1 status 0 timedOut 0 its pid reaped 0 rest zero " +
                    "no paths numProcesses " + after + " running 1 completed " + before + "\n";
        expected += "ended " + index + " slot 1 status " + statuses[i] +
                    " timedOut 0 its pid reaped 1 rest zero " + (i < 3 ? "own" : "no") +
                    " paths numProcesses " + after + " running 0 completed " + after + "\n";
    }
    EXPECT_EQ(readFile(dir / "log"), expected + "next 1 end\n");
    EXPECT_EQ(reportShape(outcome.out), "4 4 0\n0 echo one\n3 echo two >&2; exit 3\n-1 kill -9 $$\n"
                                        "0 echo given; echo also >&2\n");
    EXPECT_EQ(runResult(dir), "4 2 0 0 0");
    std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 4U);
    EXPECT_EQ(commandOutput(dir / "out", records[0]), "one\n");
    EXPECT_EQ(readFile(dir / "out/" + std::to_string(records[1].pid) + ".stderr"), "two\n");
    EXPECT_EQ(readFile(dir / "given"), "given\nalso\n");
    EXPECT_FALSE(fs::exists(dir / "out/" + std::to_string(records[3].pid) + ".stdout"));
}

TEST(HeaderPromises, ASourceHearsWhichCommandTheTimeoutEnded) {
    TempDir dir;
    SourceRun plan;
    plan.options.timeoutSeconds = 0.2;
    plan.steps = {shell(gated(dir, 0)), shell("true")};
    Outcome outcome = runFromSource(dir, plan);
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    std::string ends;
    for (const std::string &line : lines(readFile(dir / "log"))) {
        if (line.rfind("ended", 0) == 0) {
            ends += line.substr(0, line.find(" its pid")) + "\n";
        }
    }
    EXPECT_EQ(ends, "ended 0 slot 1 status 15 timedOut 1\nended 1 slot 1 status 0 timedOut 0\n");
    EXPECT_EQ(runResult(dir), "2 1 1 0 0");
}

TEST(HeaderPromises, NullGivesBackRunsFromTheParametersWithDefaultOptions) {
    TempDir dir;
    Outcome outcome = runInChild(dir, [&] {
        FANRUN_OPTIONS soon{};
        soon.halt = FANRUN_HALT_SOON;
        fanrunSetOptions(&soon);
        FANRUN_SOURCE source{};
        source.next = [](void *, FANRUN_COMMAND *command) {
            command->command = strdup("exit 1");
            return static_cast<int>(FANRUN_NEXT_COMMAND);
        };
        fanrunSetSource(&source);
        std::vector<std::string> arguments = {"3", "0"};
        std::vector<char *> pointers;
        const std::string out = dir / "out";
        setParams(1, out, "exit {}", arguments, pointers);
        runParallel(); // halted after its first command
        fanrunSetSource(nullptr);
        fanrunSetOptions(nullptr);
        runParallel();
        FANRUN_RESULT result{};
        fanrunLastResult(&result);
        return result.numStarted == 2 && result.numFailed == 1 && result.halted == 0 ? 0 : 3;
    });
    EXPECT_TRUE(outcome.exitedWith(0)) << outcome.status << outcome.err << outcome.out;
    const std::string second = outcome.out.substr(outcome.out.find("2 2 0\n"));
    EXPECT_EQ(reportShape(second), "2 2 0\n3 exit 3\n0 exit 0\n");
}

TEST_F(ProcessTable, AnIndexDroppedWithTheTableLeavesTheSearchToFindTheFirstWaitingRecord) {
    ASSERT_EQ(fanrunIndexTable(), 1);
    processControl.process = nullptr;
    ASSERT_EQ(fanrunIndexTable(), 1);
    // The same records again, now with 703 twice: the index taken before no longer describes
    // them.
    processControl.process = records_;
    records_[0].pid = 703;
    updateStatus(703, W_EXITCODE(4, 0));
    EXPECT_EQ(records_[0].ifExited, 1);
    EXPECT_EQ(records_[0].exitStatus, 4);
    EXPECT_EQ(records_[2].ifExited, 0);
}

TEST_F(ProcessTable, TheHandlerGivesBackTheErrnoItsFailedWritesSet) {
    TempDir dir;
    Outcome outcome = runInChild(dir, [] {
        // Unbuffered onto a closed descriptor: every report line fails in the handler itself.
        setvbuf(stdout, nullptr, _IONBF, 0);
        close(STDOUT_FILENO);
        int kept = 0;
        for (int signum : {SIGUSR1, SIGUSR2}) {
            errno = EDOM;
            handler(signum);
            kept += errno == EDOM ? 1 : 0;
        }
        return kept == 2 && ferror(stdout) != 0 ? 0 : 3;
    });
    EXPECT_TRUE(outcome.exitedWith(0));
}

// The runner tells of every start and end before it asks again, and asks only below the limit: a
// source that takes the lowest slot its running commands leave free never shares one.
TEST(HeaderPromises, ASourceTakingTheLowestFreeSlotNeverSharesOneNorPassesTheLimit) {
    struct Case {
        const char *name;
        int commands; // each waits for its gate
        std::vector<Step> more;
        std::map<std::string, Reaction> reactions;
        std::string trace; // questions, waits, starts and ends with their slots
        std::string header;
    };
    const std::vector<Case> cases = {
        // Ends come in the order B, A, D, C, E, each while the others still run; C once the
        // source has no more.
        {"one slot free at a time",
         5,
         {},
         {{"started 2", {{1}}},
          {"started 3", {{0}}},
          {"started 4", {{3}}},
          {"end", {{2}}},
          {"ended 2", {{4}}}},
         "next 1\nstarted 0 1\nnext 2\nstarted 1 2\nnext 3\nstarted 2 3\n"
         "ended 1 2\nnext 2\nstarted 3 2\nended 0 1\nnext 1\nstarted 4 1\n"
         "ended 3 2\nnext 2\nended 2 3\nended 4 1\n",
         "5 5 0\n"},
        // C, then B end before the source is asked again: of slots 3 and 2 it gets 2.
        {"two slots free at once",
         3,
         {pause(Step::WaitEnd), shell("")},
         {{"started 2", {{2}}}, {"wait", {{1}}}, {"end", {{0}}}, {"ended 0", {{3}}}},
         "next 1\nstarted 0 1\nnext 2\nstarted 1 2\nnext 3\nstarted 2 3\nended 2 3\nwait\n"
         "ended 1 2\nwoke\nnext 2\nstarted 3 2\nnext 3\nended 0 1\nended 3 2\n",
         "4 4 0\n"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        SourceRun plan;
        plan.jobs = 3;
        for (int k = 0; k < test.commands; ++k) {
            plan.steps.push_back(shell(gated(dir, k)));
        }
        for (const Step &step : test.more) {
            // An empty command waits for the next gate.
            plan.steps.push_back(step.kind == Step::Command && step.command.empty()
                                     ? shell(gated(dir, static_cast<int>(plan.steps.size()) - 1))
                                     : step);
        }
        plan.reactions = test.reactions;
        Outcome outcome = runFromSource(dir, plan);
        ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
        std::string trace;
        for (const std::string &line : lines(readFile(dir / "log"))) {
            std::istringstream words(line);
            std::string what;
            std::string index;
            std::string slot;
            words >> what >> index;
            if (what == "wait" || what == "woke") {
                trace += what + "\n";
            } else if (what == "next") {
                trace += "next " + index + "\n";
            } else {
                words >> slot >> slot;
                trace += what + " " + index + " " + slot + "\n";
            }
        }
        EXPECT_EQ(trace, test.trace);
        EXPECT_EQ(outcome.out.substr(0, outcome.out.find('\n') + 1), test.header);
    }
}

TEST(HeaderPromises, ACommandsEndIsToldWhereItsPidsProbeWrappedAroundTheIndex) {
    struct Case {
        const char *name;
        std::vector<int> pids; // of the commands, each waiting for its gate
        std::map<std::string, Reaction> reactions;
        std::string trace; // starts and ends with their slots
    };
    // In the smallest index pids 8, 21 and 42 hash to its last entry, 29 to the one before and
    // 47 to the first. The first command ends first and leaves a hole in a probe that wraps.
    const std::vector<Case> cases = {
        // 21's entry wrapped to the first one and moves back into the hole.
        {"an entry that moves back across the end",
         {8, 21, 0},
         {{"started 1", {{0}}}, {"started 2", {{1}}}, {"ended 1", {{2}}}},
         "started 0 1\nstarted 1 2\nended 0 1\nstarted 2 1\nended 1 2\nended 2 1\n"},
        // 42 stays in the last entry and 47 in the first, its own.
        {"entries that stay on both sides of the end",
         {29, 42, 47, 0},
         {{"started 2", {{0}}}, {"started 3", {{2}}}, {"ended 2", {{1}}}, {"ended 1", {{3}}}},
         "started 0 1\nstarted 1 2\nstarted 2 3\nended 0 1\nstarted 3 1\nended 2 3\n"
         "ended 1 2\nended 3 1\n"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        SourceRun plan;
        plan.jobs = static_cast<int>(test.pids.size()) - 1;
        plan.pidNamespace = true;
        for (size_t k = 0; k < test.pids.size(); ++k) {
            plan.steps.push_back(shell(gated(dir, static_cast<int>(k))));
            plan.steps.back().pid = test.pids[k];
        }
        plan.reactions = test.reactions;
        Outcome outcome = runFromSource(dir, plan);
        if (outcome.exitedWith(77)) {
            SKIP_UNLESS_CI("no new pid namespace: " << outcome.err);
        }
        ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
        std::vector<ReportLine> records = parseRecords(outcome.out);
        ASSERT_EQ(records.size(), test.pids.size());
        for (size_t k = 0; k + 1 < test.pids.size(); ++k) {
            if (records[k].pid != test.pids[k]) {
                SKIP_UNLESS_CI("the namespace's last pid could not be set");
            }
        }
        std::string trace;
        for (const std::string &line : lines(readFile(dir / "log"))) {
            std::istringstream words(line);
            std::string what;
            std::string index;
            std::string slot;
            words >> what >> index >> slot >> slot;
            if (what == "started" || what == "ended") {
                trace += what + " " + index + " " + slot + "\n";
            }
        }
        // A lost entry would leave its command's end untold, and its slot taken.
        EXPECT_EQ(trace, test.trace);
    }
}

TEST(HeaderPromises, AStopSignalAfterTheLastCommandEndedIsReturnedWithTheWholeReport) {
    struct Case {
        const char *name;
        int signum;
        std::string result; // as runResult gives it
    };
    const std::vector<Case> cases = {
        {"hang-up", SIGHUP, "2 0 0 1 0"},
        {"interrupt", SIGINT, "2 0 0 2 0"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        SourceRun plan;
        plan.jobs = 2;
        plan.options.stopOnSignals = 1;
        // Command 0 ends last: the source sends the signal when it hears of that end, once
        // nothing runs and nothing is left to start.
        plan.steps = {shell(gated(dir, 0)), shell("true")};
        plan.reactions = {{"ended 1", {{0}}}, {"ended 0", {{}, FANRUN_HALT_NEVER, test.signum}}};
        Outcome outcome = runFromSource(dir, plan);
        ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
        EXPECT_EQ(reportShape(outcome.out), "2 2 0\n0 " + gated(dir, 0) + "\n0 true\n");
        EXPECT_EQ(runResult(dir), test.result);
    }
}

TEST(HeaderPromises, WaitingAndKnownCommandsCountInTheTableWithZeroedRecords) {
    TempDir dir;
    SourceRun plan;
    plan.known = 2;
    plan.steps = {shell("true", 3), shell("true", 1), shell("true")};
    Outcome outcome = runFromSource(dir, plan);
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    std::string counts;
    for (const std::string &line : lines(readFile(dir / "log"))) {
        const bool started = line.rfind("started", 0) == 0;
        if (started || (line.rfind("next", 0) == 0 && line.find(" numP") != std::string::npos)) {
            counts += line.substr(0, line.find(' ')) +
                      line.substr(line.find(started ? " rest" : " numP")) + "\n";
        }
    }
    EXPECT_EQ(counts, "next numProcesses 2 running 0 completed 0\n"
                      "started rest zero no paths numProcesses 4 running 1 completed 0\n"
                      "next numProcesses 4 running 0 completed 1\n"
                      "started rest zero no paths numProcesses 4 running 1 completed 1\n"
                      "next numProcesses 4 running 0 completed 2\n"
                      "started rest zero no paths numProcesses 4 running 1 completed 2\n");
    EXPECT_EQ(reportShape(outcome.out), "4 3 0\n0 true\n0 true\n0 true\n");
}

TEST(HeaderPromises, ASourceThatWaitsIsAskedAgainForEachReasonItGave) {
    struct Case {
        const char *name;
        int jobs;
        std::function<std::vector<Step>(const TempDir &)> steps;
        std::map<std::string, Reaction> reactions;
        std::string log; // without the started and ended lines
    };
    const std::vector<Case> cases = {
        {"input while a command runs",
         2,
         [](const TempDir &dir) {
             return std::vector<Step>{shell(ringing(dir, 0)), pause(Step::WaitInput),
                                      shell("true")};
         },
         {{"started 1", {{0}}}},
         "next 1 numProcesses 0 running 0 completed 0\nwait for input\n"
         "woke on input numProcesses 1 running 1 completed 0\n"
         "next 2 numProcesses 1 running 1 completed 0\nnext end\n"},
        {"a deadline with nothing running",
         1,
         [](const TempDir &) {
             return std::vector<Step>{pause(Step::WaitDeadline), shell("true")};
         },
         {},
         "wait for a deadline\nwoke on a deadline numProcesses 0 running 0 completed 0\n"
         "next 1 numProcesses 0 running 0 completed 0\nnext end\n"},
        {"a deadline while a command runs",
         2,
         [](const TempDir &dir) {
             return std::vector<Step>{shell(gated(dir, 0)), pause(Step::WaitDeadline),
                                      shell("true")};
         },
         {{"started 1", {{0}}}},
         "next 1 numProcesses 0 running 0 completed 0\nwait for a deadline\n"
         "woke on a deadline numProcesses 1 running 1 completed 0\n"
         "next 2 numProcesses 1 running 1 completed 0\nnext end\n"},
        {"an end while a command runs",
         2,
         [](const TempDir &) {
             return std::vector<Step>{shell("true"), pause(Step::WaitEnd), shell("true")};
         },
         {},
         "next 1 numProcesses 0 running 0 completed 0\nwait for an end\n"
         "woke on an end numProcesses 1 running 0 completed 1\n"
         "next 1 numProcesses 1 running 0 completed 1\nnext end\n"},
        {"nothing with nothing running ends the run",
         2,
         [](const TempDir &) {
             return std::vector<Step>{pause(Step::WaitEnd), shell("true")};
         },
         {},
         "wait for an end\n"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        SourceRun plan;
        plan.jobs = test.jobs;
        plan.steps = test.steps(dir);
        plan.reactions = test.reactions;
        Outcome outcome = runFromSource(dir, plan);
        ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
        std::string log;
        for (const std::string &line : lines(readFile(dir / "log"))) {
            // Which command ends first after the last start, and so the slot of the last
            // question, is up to the scheduler.
            const bool last = line.rfind("next", 0) == 0 && line.size() > 4 &&
                              line.compare(line.size() - 4, 4, " end") == 0;
            if (last) {
                log += "next end\n";
            } else if (line.rfind("started", 0) != 0 && line.rfind("ended", 0) != 0) {
                log += line + "\n";
            }
        }
        EXPECT_EQ(log, test.log);
    }
}

TEST(HeaderPromises, WordsStartWithoutTheShellAndFailAsTheShellWould) {
    TempDir dir;
    const std::string plain = dir / "plain";
    const std::string script = dir / "script";
    writeFile(plain, "echo never\n");
    writeFile(script, "echo script \"$1\"\n");
    fs::permissions(script, fs::perms::owner_all);
    SourceRun plan;
    plan.outputDir = false;
    plan.steps = {words({"printf", "%s|", "a b", "$HOME"}), words({"fanrun-no-such-program"}),
                  words({plain}), words({script, "x y"})};
    Outcome outcome = runFromSource(dir, plan);
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    EXPECT_EQ(readFile(dir / "given"),
              "a b|$HOME|fanrun: fanrun-no-such-program: command not found\n"
              "fanrun: " +
                  plain + ": Permission denied\nscript x y\n");
    std::string ends;
    for (const std::string &line : lines(readFile(dir / "log"))) {
        if (line.rfind("ended", 0) == 0) {
            ends += line.substr(0, line.find(" its pid")) +
                    line.substr(line.find(" rest zero") + 10, 9) + "\n";
        }
    }
    EXPECT_EQ(ends, "ended 0 slot 1 status 0 timedOut 0 no paths\n"
                    "ended 1 slot 1 status 32512 timedOut 0 no paths\n"
                    "ended 2 slot 1 status 32256 timedOut 0 no paths\n"
                    "ended 3 slot 1 status 0 timedOut 0 no paths\n");
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_EQ(reportShape(outcome.out),
              "4 4 0\n0 printf\n127 fanrun-no-such-program\n126 " + plain + "\n0 " + script + "\n");
}

// What a scripted source's log says: how often the runner asked for a command, and each end as
// "INDEX STATUS", sorted, since commands ended together are reaped in no particular order.
struct SourceLog {
    int nexts = 0;
    std::string ends;
};

SourceLog sourceLog(const TempDir &dir) {
    SourceLog seen;
    std::vector<std::string> ends;
    for (const std::string &line : lines(readFile(dir / "log"))) {
        std::istringstream words(line);
        std::string what;
        std::string index;
        std::string status;
        words >> what >> index >> status >> status >> status >> status;
        seen.nexts += what == "next" ? 1 : 0;
        if (what == "ended") {
            ends.push_back(index + " " + status + "\n");
        }
    }
    std::sort(ends.begin(), ends.end());
    for (const std::string &end : ends) {
        seen.ends += end;
    }
    return seen;
}

TEST(HeaderPromises, HaltingReturnedAtAnEndStopsAskingAndSpendsTheRunsOwnSetting) {
    struct Case {
        const char *name;
        int optionHalt;
        std::map<std::string, Reaction> reactions;
        std::string ends;   // "index status" of each end, by index
        std::string result; // as runResult gives it
    };
    // A waits for gate 0, B for gate 1 and then fails, C ends at once; D is never started.
    const std::vector<Case> cases = {
        {"soon, then a failure under the run's own halting now",
         FANRUN_HALT_NOW,
         {{"ended 2", {{1}, FANRUN_HALT_SOON}}, {"ended 1", {{0}}}},
         "0 0\n1 256\n2 0\n",
         "3 1 0 0 1"},
        {"now",
         FANRUN_HALT_NEVER,
         {{"ended 2", {{}, FANRUN_HALT_NOW}}},
         "0 15\n1 15\n2 0\n",
         "3 2 0 0 1"},
        {"soon twice, then now",
         FANRUN_HALT_NEVER,
         {{"ended 2", {{1}, FANRUN_HALT_SOON}}, {"ended 1", {{0}, FANRUN_HALT_NOW}}},
         "0 0\n1 256\n2 0\n",
         "3 1 0 0 1"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        SourceRun plan;
        plan.jobs = 3;
        plan.options.halt = test.optionHalt;
        // C says D is known, so stopping before D cuts the run short.
        plan.steps = {shell(gated(dir, 0)), shell(gated(dir, 1, "; exit 1")), shell("true", 1),
                      shell("true")};
        plan.reactions = test.reactions;
        Outcome outcome = runFromSource(dir, plan);
        ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
        const SourceLog seen = sourceLog(dir);
        EXPECT_EQ(seen.ends, test.ends);
        EXPECT_EQ(seen.nexts, 3);
        EXPECT_EQ(runResult(dir), test.result);
    }
}

TEST(HeaderPromises, WhatEndedReturnsDecidesTheHalting) {
    struct Case {
        const char *name;
        int jobs;
        std::function<std::vector<Step>(const TempDir &)> steps;
        std::map<std::string, Reaction> reactions;
        std::string ends;   // "index status" of each end, by index
        int nexts;          // questions the source was asked
        std::string result; // as runResult gives it
    };
    const std::vector<Case> cases = {
        {"soon after a success: nothing more starts",
         1,
         [](const TempDir &) {
             return std::vector<Step>{shell("true", 2), shell("true"), shell("true")};
         },
         {{"ended 0", {{}, FANRUN_HALT_SOON}}},
         "0 0\n",
         1,
         "1 0 0 0 1"},
        {"soon: the running command finishes",
         2,
         [](const TempDir &dir) {
             return std::vector<Step>{shell(gated(dir, 0), 1), shell("exit 1", 1), shell("true")};
         },
         {{"ended 1", {{0}, FANRUN_HALT_SOON}}},
         "0 0\n1 256\n",
         2,
         "2 1 0 0 1"},
        {"now: the running command is ended",
         2,
         [](const TempDir &dir) {
             return std::vector<Step>{shell(gated(dir, 0), 1), shell("true", 1), shell("true")};
         },
         {{"ended 1", {{}, FANRUN_HALT_NOW}}},
         "0 15\n1 0\n",
         2,
         "2 1 0 0 1"},
        {"a value that is no halting goes on",
         1,
         [](const TempDir &) {
             return std::vector<Step>{shell("exit 1", 1), shell("true")};
         },
         {{"ended 0", {{}, 7}}},
         "0 256\n1 0\n",
         3,
         "2 1 0 0 0"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        SourceRun plan;
        plan.jobs = test.jobs;
        plan.steps = test.steps(dir);
        plan.reactions = test.reactions;
        Outcome outcome = runFromSource(dir, plan);
        ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
        const SourceLog seen = sourceLog(dir);
        EXPECT_EQ(seen.ends, test.ends);
        EXPECT_EQ(seen.nexts, test.nexts);
        EXPECT_EQ(runResult(dir), test.result);
    }
}

TEST(HeaderPromises, AHaltASourceReturnedEndsWithItsRun) {
    TempDir dir;
    Outcome outcome = runInChild(dir, [&] {
        FANRUN_SOURCE source{};
        source.next = [](void *context, FANRUN_COMMAND *command) {
            int &left = *static_cast<int *>(context);
            if (left == 0) {
                return static_cast<int>(FANRUN_NEXT_END);
            }
            command->waiting = --left;
            command->command = strdup("true");
            return static_cast<int>(FANRUN_NEXT_COMMAND);
        };
        source.ended = [](void *, const FANRUN_EVENT *) {
            return static_cast<int>(FANRUN_HALT_NOW);
        };
        int left = 3;
        source.context = &left;
        fanrunSetSource(&source);
        pparams.maxNumRunning = 1;
        const std::string out = dir / "out";
        pparams.outputDir = const_cast<char *>(out.c_str());
        runParallel(); // halted after its first command
        FANRUN_RESULT halted{};
        fanrunLastResult(&halted);
        fanrunSetSource(nullptr);
        return halted.numStarted == 1 && halted.halted == 1
                   ? optionRun(dir, {}, 1, "true {}", {"a", "b"})()
                   : 3;
    });
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    const std::string second = outcome.out.substr(outcome.out.find("2 2 0\n"));
    EXPECT_EQ(reportShape(second), "2 2 0\n0 true a\n0 true b\n");
    EXPECT_EQ(runResult(dir), "2 0 0 0 0");
}

TEST(HeaderPromises, TheOutcomeCountsTimeoutsAsFailedAndHaltingOnlyWhenItCutsTheRunShort) {
    struct Case {
        const char *name;
        FANRUN_OPTIONS options;
        std::string command;
        std::string result; // as runResult gives it
        int jobs = 1;
    };
    FANRUN_OPTIONS timeout{};
    timeout.timeoutSeconds = 0.2;
    FANRUN_OPTIONS soon{};
    soon.halt = FANRUN_HALT_SOON;
    FANRUN_OPTIONS now{};
    now.halt = FANRUN_HALT_NOW;
    const std::vector<Case> cases = {
        // Nothing is left to start, yet halting ends a command that still runs.
        {"halting now after the last launch", now,
         "[ {} = b ] && exit 1; while :; do sleep 0.05; done", "2 2 0 0 1", 2},
        // Ended by the timeout, yet exiting 0.
        {"a timed-out command that exits 0", timeout,
         "[ {} = b ] || { trap 'exit 0' TERM; while :; do sleep 0.05; done; }", "2 1 1 0 0"},
        {"the last command failing", soon, "[ {} = a ]", "2 1 0 0 0"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        Outcome outcome =
            runInChild(dir, optionRun(dir, test.options, test.jobs, test.command, {"a", "b"}));
        ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
        EXPECT_EQ(runResult(dir), test.result);
    }
}

TEST(HeaderPromises, AStopSignalGoesOnAsItselfAndOnlyARepeatedInterruptOrTerminateKills) {
    TempDir dir;
    const std::string mark = dir / "go";
    const std::string command =
        "trap 'echo got' HUP; echo ready; while [ ! -e " + mark + " ]; do sleep 0.01; done";
    FANRUN_OPTIONS stops{};
    stops.stopOnSignals = 1;
    Program program = startInChild(dir, optionRun(dir, stops, 2, command, {"x"}));
    std::string output;
    auto commandSays = [&](const std::string &text) {
        return eventually([&] {
            std::error_code error;
            for (const auto &entry : fs::directory_iterator(dir / "out", error)) {
                if (entry.path().extension() == ".stdout") {
                    output = readFile(entry.path());
                }
            }
            return output == text;
        });
    };
    ASSERT_TRUE(commandSays("ready\n"));
    kill(program.pid, SIGHUP);
    EXPECT_TRUE(commandSays("ready\ngot\n"));
    kill(program.pid, SIGHUP);
    EXPECT_TRUE(delivered(program.pid, SIGHUP));
    writeFile(mark, "");
    Outcome outcome = program.finish();
    EXPECT_TRUE(outcome.exitedWith(0));
    EXPECT_EQ(output, "ready\ngot\n");
    EXPECT_EQ(reportShape(outcome.out), "1 1 0\n0 " + command + "\n");
    EXPECT_EQ(runResult(dir), "1 0 0 1 0");
}

// Every disposition and the whole mask of the calling process.
std::string signalState() {
    std::string state;
    for (int signum = 1; signum < 32; ++signum) {
        struct sigaction action {};
        sigaction(signum, nullptr, &action);
        state += std::to_string(reinterpret_cast<uintptr_t>(action.sa_handler)) + " ";
    }
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    for (int signum = 1; signum < 32; ++signum) {
        state += sigismember(&mask, signum) == 1 ? "b" : "-";
    }
    return state;
}

TEST(HeaderPromises, EveryRunGivesBackEveryDispositionAndTheMaskItFound) {
    struct Caller {
        const char *name;
        void (*disposition)(int);
        std::vector<int> blocked;
    };
    const std::vector<Caller> callers = {
        {"handlers everywhere", countSignal, {SIGUSR2, SIGHUP, SIGCHLD}},
        {"everything ignored", SIG_IGN, {SIGUSR1, SIGPIPE}},
    };
    struct Kind {
        const char *name;
        FANRUN_OPTIONS options;
        bool source;
    };
    FANRUN_OPTIONS stops{};
    stops.stopOnSignals = 1;
    FANRUN_OPTIONS timeout{};
    timeout.timeoutSeconds = 1000;
    const std::vector<Kind> kinds = {{"plain", {}, false},
                                     {"stop signals", stops, false},
                                     {"timeout", timeout, false},
                                     {"a source", {}, true}};
    for (const Caller &caller : callers) {
        for (const Kind &kind : kinds) {
            SCOPED_TRACE(std::string(caller.name) + ", " + kind.name);
            TempDir dir;
            Outcome outcome = runInChild(dir, [&] {
                for (int signum : {SIGUSR1, SIGUSR2, SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP}) {
                    signal(signum, caller.disposition);
                }
                sigset_t block;
                sigemptyset(&block);
                for (int signum : caller.blocked) {
                    sigaddset(&block, signum);
                }
                sigprocmask(SIG_BLOCK, &block, nullptr);
                const std::string before = signalState();
                std::vector<std::string> arguments = {"a", "b"};
                std::vector<char *> pointers;
                const std::string out = dir / "out";
                setParams(2, out, "true {}", arguments, pointers);
                fanrunSetOptions(&kind.options);
                FANRUN_SOURCE source{};
                source.next = [](void *context, FANRUN_COMMAND *command) {
                    int &left = *static_cast<int *>(context);
                    if (left == 0) {
                        return static_cast<int>(FANRUN_NEXT_END);
                    }
                    --left;
                    command->command = strdup("true");
                    return static_cast<int>(FANRUN_NEXT_COMMAND);
                };
                int left = 2;
                source.context = &left;
                fanrunSetSource(kind.source ? &source : nullptr);
                runParallel();
                fanrunSetSource(nullptr);
                const std::string after = signalState();
                writeFile(dir / "state", before + "\n" + after + "\n");
                return before == after ? 0 : 3;
            });
            EXPECT_TRUE(outcome.exitedWith(0))
                << readFile(dir / "state") << outcome.status << outcome.err << outcome.out;
            EXPECT_EQ(lines(outcome.out).at(0), "2 2 0");
        }
    }
}

TEST(HeaderPromises, ReportSignalsTheCallerBlockedArePrintedWhileTheRunWaits) {
    FANRUN_OPTIONS stops{};
    stops.stopOnSignals = 1;
    FANRUN_OPTIONS timeout{};
    timeout.timeoutSeconds = 1000;
    const std::vector<std::pair<const char *, FANRUN_OPTIONS>> kinds = {
        {"plain", {}}, {"stop signals", stops}, {"timeout", timeout}};
    for (const auto &[name, options] : kinds) {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::string gate = dir / "gate";
        const std::string mark = dir / "mark";
        ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
        const int release = open(gate.c_str(), O_RDWR | O_CLOEXEC);
        const std::string command = "touch " + mark + "; read -r _ < " + gate;
        Program program = startInChild(dir, [&, options = options] {
            sigset_t block;
            sigemptyset(&block);
            sigaddset(&block, SIGUSR1);
            sigaddset(&block, SIGUSR2);
            sigprocmask(SIG_BLOCK, &block, nullptr);
            // Two slots: the handlers are in place once the only command has started.
            return optionRun(dir, options, 2, command, {"x"})();
        });
        ASSERT_TRUE(eventually([&] { return fs::exists(mark); }));
        ASSERT_TRUE(eventually(
            [&] { return (statusMask(program.pid, "SigCgt") & reportBits) == reportBits; }));
        kill(program.pid, SIGUSR1);
        const bool reported = delivered(program.pid, SIGUSR1);
        (void)!write(release, "\n", 1);
        Outcome outcome = program.finish();
        close(release);
        EXPECT_TRUE(reported);
        EXPECT_TRUE(outcome.exitedWith(0));
        std::vector<ReportLine> records =
            parseRecords(outcome.out.substr(outcome.out.find('\n') + 1));
        ASSERT_EQ(records.size(), 1U);
        EXPECT_EQ(outcome.out,
                  "1 0 1\n1 1 0\n" + std::to_string(records[0].pid) + " 1 0 " + command + "\n");
    }
}

// A source's commands read the descriptor it gives as their standard input, in place of the
// one the options choose; a command whose record leaves the field zero reads that one as before.
TEST(RunParallel, ACommandReadsTheInputDescriptorItsSourceGives) {
    struct Given {
        const char *name;
        bool giveInput;
        const char *expected;
    };
    const Given cases[] = {
        {"given descriptor", true, "data for the command\n"},
        {"zeroed field", false, ""},
    };
    for (const Given &given : cases) {
        SCOPED_TRACE(given.name);
        TempDir dir;
        const std::string out = dir / "out";
        writeFile(dir / "data", "data for the command\n");
        Outcome outcome = runInChild(dir, [&] {
            struct Feed {
                int input = -1;
                bool handed = false;
                static int next(void *context, FANRUN_COMMAND *command) {
                    Feed &feed = *static_cast<Feed *>(context);
                    if (feed.handed) {
                        return FANRUN_NEXT_END;
                    }
                    feed.handed = true;
                    command->command = strdup("cat");
                    command->inFdPlusOne = feed.input >= 0 ? feed.input + 1 : 0;
                    return FANRUN_NEXT_COMMAND;
                }
            };
            Feed feed;
            if (given.giveInput) {
                feed.input = open((dir / "data").c_str(), O_RDONLY | O_CLOEXEC);
            }
            FANRUN_OPTIONS options{};
            options.nullInput = 1;
            fanrunSetOptions(&options);
            const FANRUN_SOURCE source{Feed::next, nullptr, nullptr, &feed, 0};
            fanrunSetSource(&source);
            pparams.maxNumRunning = 1;
            pparams.outputDir = const_cast<char *>(out.c_str());
            const int result = runParallel();
            fanrunSetSource(nullptr);
            fanrunSetOptions(nullptr);
            return result;
        });
        ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
        const std::vector<ReportLine> records = parseRecords(outcome.out);
        ASSERT_EQ(records.size(), 1U);
        EXPECT_EQ(records[0].exitStatus, 0);
        EXPECT_EQ(commandOutput(out, records[0]), given.expected);
    }
}

} // namespace

// ---- term sequences and timeouts of a command's own ---------------------------------------------

// The command's traps write each signal that reaches it to dir/signals; it ignores all but KILL.
std::string signalRecorder(const TempDir &dir) {
    const std::string log = dir / "signals";
    return "for s in USR1 USR2 INT TERM HUP; do trap \"echo $s >> " + log +
           "\" $s; done; while :; do sleep 0.02; done";
}

TEST(HeaderPromises, ATermSequenceEndsATimedOutCommandWithItsSignalsInTurn) {
    struct Case {
        std::vector<int> signals;
        std::vector<int> waits;
        std::string received; // what the command's traps wrote before the last signal ended it
        int halt;             // FANRUN_HALT_NOW: a failing second command ends it instead
    };
    const std::vector<Case> cases = {
        {{SIGUSR1, SIGUSR2, SIGKILL}, {150, 150}, "USR1\nUSR2\n", FANRUN_HALT_NEVER},
        {{SIGHUP, SIGKILL}, {150}, "HUP\n", FANRUN_HALT_NOW},
        {{SIGKILL}, {}, "", FANRUN_HALT_NEVER},
        {{}, {}, "TERM\n", FANRUN_HALT_NEVER}, // the default: TERM, 2 s, KILL
    };
    for (const Case &test : cases) {
        TempDir dir;
        FANRUN_OPTIONS options{};
        options.stopOnSignals = 1;
        options.halt = test.halt;
        options.timeoutSeconds = test.halt == FANRUN_HALT_NOW ? 0 : 0.6;
        ASSERT_EQ(fanrunSetTermSequence(test.signals.empty() ? nullptr : test.signals.data(),
                                        test.waits.empty() ? nullptr : test.waits.data(),
                                        static_cast<int>(test.signals.size())),
                  1);
        const std::string command =
            "case {} in fail) sleep 0.3; exit 1;; *) " + signalRecorder(dir) + ";; esac";
        Outcome outcome = runInChild(dir, optionRun(dir, options, 2, command, {"hold", "fail"}));
        fanrunSetTermSequence(nullptr, nullptr, 0);
        const std::string label = test.received + std::to_string(test.halt);
        ASSERT_TRUE(outcome.exitedWith(0)) << label << outcome.err;
        std::vector<ReportLine> records = parseRecords(outcome.out);
        ASSERT_EQ(records.size(), 2U) << label;
        EXPECT_EQ(records[0].exitStatus, -1) << label;
        EXPECT_EQ(readFile(dir / "signals"), test.received) << label;
        EXPECT_TRUE(eventually([&] { return groupsEmpty(records); }, 2s)) << label;
        EXPECT_EQ(runResult(dir), test.halt == FANRUN_HALT_NOW ? "2 2 0 0 1" : "2 2 1 0 0")
            << label;
    }
}

TEST(HeaderPromises, ATermSequenceThatDescribesNoneIsRefusedAndChangesNothing) {
    const int signals[] = {SIGUSR1, SIGKILL, 0, SIGRTMAX + 1};
    const int waits[] = {100, -1};
    struct Case {
        const int *signals;
        const int *waits;
        int count;
    };
    const Case refused[] = {{signals, waits, -1},      {signals, waits, FANRUN_TERMSEQ_MAX + 1},
                            {signals + 1, waits, 2},   {signals + 2, nullptr, 1},
                            {signals + 3, nullptr, 1}, {signals, nullptr, 2},
                            {signals, waits + 1, 2}};
    for (const Case &test : refused) {
        EXPECT_EQ(fanrunSetTermSequence(test.signals, test.waits, test.count), 0) << test.count;
    }
    // Nothing changed: the default still ends a command that ignores SIGTERM with SIGKILL.
    TempDir dir;
    FANRUN_OPTIONS options{};
    options.stopOnSignals = 1;
    options.timeoutSeconds = 0.2;
    Outcome outcome = runInChild(dir, optionRun(dir, options, 1, signalRecorder(dir), {"a"}));
    ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
    EXPECT_EQ(readFile(dir / "signals"), "TERM\n");
    EXPECT_EQ(runResult(dir), "1 1 1 0 0");
}

TEST(HeaderPromises, ACommandsOwnTimeoutTakesThePlaceOfTheRunsForItAlone) {
    struct Case {
        double runTimeout;
        std::vector<double> own; // per command, each "sleep 1"
        std::string statuses;    // the report's exit statuses
        std::string result;
    };
    const std::vector<Case> cases = {
        {0, {0.2, 0, 30}, "-1 0 0 ", "3 1 1 0 0"},
        {0.2, {0, 30, 0.1}, "-1 0 -1 ", "3 2 2 0 0"},
    };
    for (const Case &test : cases) {
        TempDir dir;
        Outcome outcome = runInChild(dir, [&] {
            struct Own {
                std::vector<double> timeouts;
                size_t at = 0;
            } own{test.own};
            FANRUN_SOURCE source{};
            source.next = [](void *context, FANRUN_COMMAND *command) {
                Own &state = *static_cast<Own *>(context);
                if (state.at == state.timeouts.size()) {
                    return static_cast<int>(FANRUN_NEXT_END);
                }
                command->command = strdup("sleep 1");
                command->timeoutSeconds = state.timeouts[state.at++];
                return static_cast<int>(FANRUN_NEXT_COMMAND);
            };
            source.context = &own;
            fanrunSetSource(&source);
            FANRUN_OPTIONS options{};
            options.stopOnSignals = 1;
            options.timeoutSeconds = test.runTimeout;
            return optionRun(dir, options, 3, "unused {}", {})();
        });
        ASSERT_TRUE(outcome.exitedWith(0)) << outcome.err;
        std::string statuses;
        for (const ReportLine &record : parseRecords(outcome.out)) {
            statuses += std::to_string(record.exitStatus) + " ";
        }
        EXPECT_EQ(statuses, test.statuses) << test.runTimeout;
        EXPECT_EQ(runResult(dir), test.result) << test.runTimeout;
    }
}
