// fanrun: the command-line front end of the runner. It builds the command template from the
// command line, takes the arguments from the command line or from an input (lines, NUL- or
// delimiter-separated items), quotes each one for bash, fills pparams and the run options and
// hands over to runParallel; the run's outcome becomes the exit status. With --failed it runs
// nothing and lists what job logs left undone.

#include "builder.h"
#include "exec.h"
#include "fanrun.h"
#include "fanrun_params.h"
#include "joblog.h"
#include "options.h"
#include "output.h"
#include "quote.h"
#include "semaphores.h"
#include "source.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

PARALLEL_PARAMS pparams;

namespace {

using namespace fanrun_cli;

// The first stop signal that reached the front end's own handler: before the run (the library
// takes it too, and starts no command), or after the run has handed the signals back, while the
// report may still wait in the stdio buffer; the report is written before the process ends with
// it.
volatile sig_atomic_t lateStop = 0;

// The descriptor the arguments are read from while they are, else -1.
volatile sig_atomic_t inputFd = -1;

void recordStop(int signum) {
    if (lateStop == 0) {
        lateStop = signum;
    }
    fanrunStop(signum);
    // A read already blocked is interrupted; one about to block would wait for more input, so
    // the input is made to end here.
    const int fd = inputFd;
    if (fd >= 0) {
        const int error = errno;
        const int empty = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (empty >= 0) {
            dup2(empty, fd);
            close(empty);
        }
        errno = error;
    }
}

// From the first instruction on, a stop signal is noted and a report request is ignored. While
// the input is read the stop interrupts a blocked read (no restart); the report that closes the
// run is written whole.
void handleSignals(bool restart) {
    struct sigaction record {};
    record.sa_handler = recordStop;
    record.sa_flags = restart ? SA_RESTART : 0;
    sigemptyset(&record.sa_mask);
    for (int signum : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signum, &record, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGUSR1, &ignore, nullptr);
    sigaction(SIGUSR2, &ignore, nullptr);
}

// The first error of a write to standard output through stdio. A write that fails inside a long
// line goes past the buffer and leaves only the stream's error flag: errno is long gone by the
// time the report is checked.
int standardOutputError = 0;

ssize_t writeStandardOutput(void * /*cookie*/, const char *data, size_t size) {
    for (;;) {
        const ssize_t written = write(STDOUT_FILENO, data, size);
        if (written >= 0 || errno != EINTR) {
            if (written < 0 && standardOutputError == 0) {
                standardOutputError = errno;
            }
            return written;
        }
    }
}

// Standard output's stream writes descriptor 1 as before, buffered as before, and keeps the
// reason a write failed; without the stream the old one stays.
void keepStandardOutputErrors() {
    const cookie_io_functions_t functions{nullptr, writeStandardOutput, nullptr, nullptr};
    FILE *stream = fopencookie(nullptr, "w", functions);
    if (stream == nullptr) {
        return;
    }
    if (setvbuf(stream, nullptr, isatty(STDOUT_FILENO) != 0 ? _IOLBF : _IOFBF, BUFSIZ) != 0) {
        fclose(stream);
        return;
    }
    stdout = stream;
}

// The report (or the dry run's list) has been written whole: otherwise a one-line message.
bool outputWritten() {
    errno = 0;
    const bool flushed = fflush(stdout) == 0;
    const int error = errno;
    if (!flushed || ferror(stdout)) {
        const int reason = standardOutputError != 0 ? standardOutputError
                           : error != 0             ? error
                                                    : EIO;
        fprintf(stderr, "fanrun: cannot write the report: %s\n", strerror(reason));
        return false;
    }
    return true;
}

// Input that has arrived with the first argument is checked before anything runs, up to this
// much; beyond it the input streams.
constexpr size_t readAheadBytes = size_t{1} << 20;

// The arguments of one command: one, or up to -n of them, retried together.
struct Group {
    std::vector<Job> jobs;
    long sequence = 0; // among the commands of the run, from 0; kept by its retries
};

// A command of the run while it runs.
struct Running {
    Group group;
    timespec start{};  // Unix time, for the job log
    int64_t startNs{}; // monotonic
};

// A command's end whose output waits to be written: its end record waits with it.
struct Ended {
    std::vector<Job> jobs;
    timespec start{};
    double seconds = 0;
    int exitCode = 0;
    int signal = 0;
};

// The arguments on their way into commands, for the run and the dry run alike.
struct Gathering {
    Arguments *arguments = nullptr;
    Job first; // read before the run, so that input that fails at once runs nothing
    bool haveFirst = false;
    bool inputEnded = false;
    Group pending;                     // arguments taken, too few yet for a command
    CommandBuilder *builder = nullptr; // with -n above 1: counts what pending takes of exec
    long groups = 0;                   // commands made from arguments so far
};

// What the runner asks for its next command, and hears of starts and ends: the run's source. It
// takes the arguments as they come, retries failed commands when their delay has passed, keeps
// the job log, and hands the commands' output to the output mode.
struct Feed {
    const Settings *settings = nullptr;
    const CommandTemplate *command = nullptr;
    const std::vector<DirectWord> *direct = nullptr; // empty: the command needs the shell
    Gathering *gathering = nullptr;
    Output *output = nullptr;
    fanrun_joblog::JobLog *log = nullptr;  // null without --joblog
    std::multimap<int64_t, Group> retries; // by when they are due
    Group staged;                          // handed to the runner, not yet started
    Group deferred;                        // taken, waiting for descriptors to start with
    bool haveDeferred = false;
    std::vector<std::string> words;    // the staged command's words without the shell
    std::vector<char *> argv;          // ... as handed to the runner
    std::map<int, Running> running;    // by record
    std::map<long, Ended> undelivered; // by sequence: ended, their output not yet written
    int handed = 0;                    // commands handed to the runner
    long lastFailures = 0;             // arguments whose last attempt failed
    long refused = 0;                  // arguments never started: exec would refuse them
    int halt = FANRUN_HALT_NEVER;      // the halt setting, when retries make it ours
    bool logFailed = false;
    std::string inputError;
    std::string outputError;
};

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::vector<std::string_view> argumentsOf(const Group &group) {
    std::vector<std::string_view> arguments;
    arguments.reserve(group.jobs.size());
    for (const Job &job : group.jobs) {
        arguments.emplace_back(job.argument);
    }
    return arguments;
}

// The command for group, its replacement strings quoted for where they stand unless --raw;
// malloc'd. Started without the shell, its words go into words. NULL with message set when exec
// would refuse it.
char *commandFor(const Feed &feed, const Group &group, int slot, std::vector<std::string> &words,
                 std::string &message) {
    const CommandTemplate &command = *feed.command;
    const Job &job = group.jobs.front();
    const Replacements values{job.argument, job.position + 1, slot};
    std::string text;
    if (feed.settings->maxArgs > 1) {
        text = expandSeveral(command, argumentsOf(group), values);
    } else {
        text =
            command.raw ? expandRaw(command.text, values) : expandTemplate(command.pieces, values);
    }
    const auto position = static_cast<size_t>(job.position) + 1;
    bool refused = false;
    if (feed.direct->empty()) {
        refused = commandTooLong(text.size(), position, message);
    } else {
        expandWords(*feed.direct, argumentsOf(group), values, words);
        refused = wordsTooLong(words, position, message);
    }
    if (refused) {
        return nullptr;
    }
    // The command is complete already: one copy into storage the run can free.
    char *result = static_cast<char *>(malloc(text.size() + 1));
    if (result == nullptr) {
        throw std::bad_alloc();
    }
    memcpy(result, text.c_str(), text.size() + 1);
    return result;
}

// Arguments known to the feed and not yet in a command.
long argumentsWaiting(const Feed &feed) {
    return static_cast<long>(feed.gathering->pending.jobs.size()) +
           (feed.gathering->haveFirst ? 1 : 0) + feed.gathering->arguments->waiting();
}

// Commands that the arguments known make, the last one perhaps with fewer.
int commandsOf(long arguments, int perCommand) {
    return static_cast<int>(std::min<long>((arguments + perCommand - 1) / perCommand, INT_MAX / 2));
}

// The next command to start into group: a retry that is due, else the next arguments, as many as
// a command takes or the last ones of the input; FANRUN_NEXT_WAIT fills command's wait fields.
int nextGroup(Feed &feed, Group &group, FANRUN_COMMAND *command) {
    if (feed.haveDeferred) {
        group = std::move(feed.deferred);
        feed.haveDeferred = false;
        return FANRUN_NEXT_COMMAND;
    }
    const int64_t now = monotonicNs();
    if (!feed.retries.empty() && feed.retries.begin()->first <= now) {
        group = std::move(feed.retries.begin()->second);
        feed.retries.erase(feed.retries.begin());
        return FANRUN_NEXT_COMMAND;
    }
    const auto perCommand = static_cast<size_t>(feed.settings->maxArgs);
    std::vector<Job> &pending = feed.gathering->pending.jobs;
    bool full = false; // exec has no room for one more argument
    while (!full && pending.size() < perCommand) {
        Job job;
        if (feed.gathering->haveFirst) {
            job = std::move(feed.gathering->first);
            feed.gathering->haveFirst = false;
        } else if (feed.gathering->inputEnded) {
            break;
        } else {
            const ArgumentReader::Got got = feed.gathering->arguments->next(job, false);
            if (got == ArgumentReader::Got::wait) {
                command->waitFd = feed.gathering->arguments->fd();
                break;
            }
            if (got == ArgumentReader::Got::failed) {
                feed.inputError = feed.gathering->arguments->error();
                return FANRUN_NEXT_END;
            }
            if (got == ArgumentReader::Got::end) {
                feed.gathering->inputEnded = true;
                break;
            }
        }
        if (feed.gathering->builder != nullptr &&
            feed.gathering->builder->append(job.argument) == CommandBuilder::Fit::full) {
            // The next command begins with it.
            feed.gathering->first = std::move(job);
            feed.gathering->haveFirst = true;
            full = true;
            break;
        }
        pending.push_back(std::move(job));
    }
    if (pending.size() == perCommand || full || (feed.gathering->inputEnded && !pending.empty())) {
        group.jobs = std::move(pending);
        pending.clear();
        group.sequence = feed.gathering->groups++;
        if (feed.gathering->builder != nullptr) {
            feed.gathering->builder->clear();
        }
        return FANRUN_NEXT_COMMAND;
    }
    if (!feed.retries.empty()) {
        command->waitUntilNs = feed.retries.begin()->first;
        return FANRUN_NEXT_WAIT;
    }
    // A running command may still fail and come back as a retry; the run asks again when one
    // has ended, and ends when none runs.
    const bool mayRetry = feed.settings->retries > 0 && !feed.running.empty();
    return feed.gathering->inputEnded && !mayRetry ? FANRUN_NEXT_END : FANRUN_NEXT_WAIT;
}

// The arguments of a command joined by a space, as --tag shows them.
std::string tagOf(const Group &group) {
    std::string tag;
    for (const Job &job : group.jobs) {
        if (&job != &group.jobs.front()) {
            tag += ' ';
        }
        tag += job.argument;
    }
    return tag;
}

// The argument vector of the command's words without the shell (feed.words), kept in feed until
// the runner asks again.
void stageWords(Feed &feed, FANRUN_COMMAND *command) {
    feed.argv.clear();
    for (std::string &word : feed.words) {
        feed.argv.push_back(word.data());
    }
    feed.argv.push_back(nullptr);
    command->argv = feed.argv.data();
}

// Appends the end record of every job; false stops the run from starting commands.
void recordEnds(Feed &feed, const std::vector<Job> &jobs, timespec start, double seconds,
                int exitCode, int signum) {
    for (const Job &job : jobs) {
        if (feed.log != nullptr && !feed.log->recordEnd(job.argument, job.occurrence, job.attempt,
                                                        start, seconds, exitCode, signum)) {
            feed.logFailed = true;
        }
    }
}

// The end records of commands whose output has now been written. Output that did not reach the
// runner's streams makes its command's end a failure by SIGPIPE (a command that failed keeps its
// own failure), so that resuming runs it again.
void logDeliveries(Feed &feed) {
    for (const Output::Delivery &delivery : feed.output->takeDeliveries()) {
        auto found = feed.undelivered.find(delivery.sequence);
        if (found == feed.undelivered.end()) {
            continue;
        }
        const Ended &ended = found->second;
        const bool succeeded = ended.exitCode == 0 && ended.signal == 0;
        if (delivery.delivered || !succeeded) {
            recordEnds(feed, ended.jobs, ended.start, ended.seconds, ended.exitCode, ended.signal);
        } else {
            recordEnds(feed, ended.jobs, ended.start, ended.seconds, -1, SIGPIPE);
        }
        feed.undelivered.erase(found);
    }
}

int feedNext(void *context, int slot, FANRUN_COMMAND *command) {
    Feed &feed = *static_cast<Feed *>(context);
    try {
        if (feed.output->lost()) {
            return FANRUN_NEXT_END; // what a further command writes would be lost too
        }
        if (feed.output->backlogFull()) {
            return FANRUN_NEXT_WAIT; // until a command ends
        }
        if (feed.logFailed) {
            return FANRUN_NEXT_END;
        }
        Group group;
        for (;;) {
            const int answer = nextGroup(feed, group, command);
            if (answer != FANRUN_NEXT_COMMAND) {
                return answer;
            }
            std::string tooLong;
            command->command = commandFor(feed, group, slot, feed.words, tooLong);
            if (command->command != nullptr) {
                break;
            }
            // Said before it starts, and counted as failed; its turn in the output passes and the
            // rest of the batch goes on.
            fprintf(stderr, "fanrun: %s\n", tooLong.c_str());
            feed.lastFailures += static_cast<long>(group.jobs.size());
            feed.refused += static_cast<long>(group.jobs.size());
            feed.output->skip(group.sequence);
        }
        std::string error;
        const Output::Prepared prepared =
            feed.output->prepare(*command, group.sequence, tagOf(group), error);
        if (prepared != Output::Prepared::ready) {
            free(command->command);
            command->command = nullptr;
            if (prepared == Output::Prepared::later) {
                // Asked again once a command has ended and let its descriptors go.
                feed.deferred = std::move(group);
                feed.haveDeferred = true;
                return FANRUN_NEXT_WAIT;
            }
            feed.outputError = error;
            return FANRUN_NEXT_END;
        }
        if (!feed.direct->empty()) {
            stageWords(feed, command);
        }
        command->waiting = commandsOf(argumentsWaiting(feed), feed.settings->maxArgs) +
                           static_cast<int>(std::min<size_t>(feed.retries.size(), INT_MAX / 2));
        feed.staged = std::move(group);
        ++feed.handed;
        return FANRUN_NEXT_COMMAND;
    } catch (const std::bad_alloc &) {
        // The runner's own failure, not the input's: exit 1 as for any other.
        feed.outputError = "out of memory; no further command was started";
        return FANRUN_NEXT_END;
    }
}

void feedStarted(void *context, const FANRUN_EVENT *event) {
    Feed &feed = *static_cast<Feed *>(context);
    try {
        feed.output->started(*event);
        Running &running = feed.running[event->index];
        running.group = std::move(feed.staged);
        running.start = fanrun_joblog::now();
        running.startNs = monotonicNs();
        for (const Job &job : running.group.jobs) {
            if (feed.log != nullptr &&
                !feed.log->recordStart(job.argument, job.occurrence, job.attempt, running.start)) {
                feed.logFailed = true;
            }
        }
    } catch (const std::bad_alloc &) {
        feed.outputError = "out of memory";
    }
}

void feedEnded(void *context, const FANRUN_EVENT *event) {
    Feed &feed = *static_cast<Feed *>(context);
    try {
        auto found = feed.running.find(event->index);
        if (found == feed.running.end()) {
            return;
        }
        Running running = std::move(found->second);
        feed.running.erase(found);
        const int status = event->status;
        int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        int signum = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        if (event->timedOut != 0 && signum == 0) {
            // Ended by its timeout however it exited: the log shows the signal that ended it.
            exitCode = -1;
            signum = SIGTERM;
        }
        bool failed = exitCode != 0;
        std::vector<Job> &jobs = running.group.jobs;
        const long attempt = jobs.front().attempt;
        const bool again = failed && attempt <= feed.settings->retries;
        const double seconds = static_cast<double>(monotonicNs() - running.startNs) / 1e9;
        const OutputMode mode = feed.settings->output;
        if (!again && (mode == OutputMode::group || mode == OutputMode::keepOrder)) {
            // Ended only once its output is out: a runner killed while the output waits leaves
            // the command unfinished in the log, not a success nobody saw.
            Ended &ended = feed.undelivered[running.group.sequence];
            ended = Ended{jobs, running.start, seconds, exitCode, signum};
            if (!feed.output->ended(*event, true)) {
                // Output that may not have been held whole fails the command; the log says so
                // with the run's failure status when the command itself exited 0.
                failed = true;
                if (ended.exitCode == 0) {
                    ended.exitCode = exitFailed;
                }
            }
            logDeliveries(feed);
        } else {
            feed.output->ended(*event, !again);
            recordEnds(feed, jobs, running.start, seconds, exitCode, signum);
        }
        if (again) {
            const double delay = feed.settings->retryDelay *
                                 std::ldexp(1.0, static_cast<int>(std::min<long>(attempt - 1, 60)));
            const int64_t due = monotonicNs() + static_cast<int64_t>(std::min(delay, 3.0e9) * 1e9);
            for (Job &job : jobs) {
                ++job.attempt;
            }
            feed.retries.emplace(due, std::move(running.group));
        } else if (failed) {
            feed.lastFailures += static_cast<long>(jobs.size());
            // With retries the library cannot tell which failures are the last: halting is ours.
            fanrunHalt(feed.halt);
        }
    } catch (const std::bad_alloc &) {
        feed.outputError = "out of memory";
    }
}

// Prints every command as its arguments arrive; nothing runs, so nothing can fail but the
// reading and the writing (a closed pipe is reported, not fatal). A command exec would refuse is
// said in its place, as a run says it, and the dry run goes on.
int dryRun(Feed &feed, int jobs) {
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> words;
    bool refused = false;
    long shown = 0;
    // A command is shown once it has all its arguments, or the input has ended: the feed groups
    // them as for the run.
    while (lateStop == 0) {
        FANRUN_COMMAND next{};
        next.waitFd = -1;
        Group group;
        const int answer = nextGroup(feed, group, &next);
        if (answer == FANRUN_NEXT_END) {
            break;
        }
        if (answer == FANRUN_NEXT_WAIT) {
            if (next.waitFd < 0) {
                break;
            }
            // Shown as they come: nothing waits in the buffer while the input is quiet. A stop
            // interrupts the wait, and the loop sees it.
            fflush(stdout);
            pollfd ready{next.waitFd, POLLIN, 0};
            poll(&ready, 1, -1);
            continue;
        }
        if (lateStop != 0) {
            break;
        }
        std::string tooLong;
        // Slots as a run would hand them out if every command took as long as the others.
        const int slot = static_cast<int>(shown % jobs) + 1;
        char *command = commandFor(feed, group, slot, words, tooLong);
        if (command == nullptr) {
            fflush(stdout);
            fprintf(stderr, "fanrun: %s\n", tooLong.c_str());
            refused = true;
        } else {
            fputs(command, stdout);
            fputc('\n', stdout);
            free(command);
            ++shown;
        }
    }
    if (!feed.inputError.empty()) {
        outputWritten();
        fprintf(stderr, "fanrun: %s\n", feed.inputError.c_str());
        return exitMisuse;
    }
    const bool written = outputWritten();
    if (lateStop != 0) {
        return 128 + lateStop;
    }
    return !written ? exitRunner : refused ? exitFailed : 0;
}

// The first positional replacement string of GNU parallel in text ({1}, {2.}, {1/}, {1//},
// {1/.}), else empty. ${1} is the shell's own and is left alone.
std::string positionalIn(const char *text) {
    for (const char *at = strchr(text, '{'); at != nullptr; at = strchr(at + 1, '{')) {
        if (at != text && at[-1] == '$') {
            continue;
        }
        const size_t digits = strspn(at + 1, "0123456789");
        if (digits == 0) {
            continue;
        }
        const char *rest = at + 1 + digits;
        for (const char *ending : {"}", ".}", "/}", "//}", "/.}"}) {
            if (strncmp(rest, ending, strlen(ending)) == 0) {
                return std::string(at, rest + strlen(ending));
            }
        }
    }
    return {};
}

// Spellings a GNU parallel user may bring that would mean something else here (an argument, a
// literal word of the command) are refused before anything runs, with what to write instead.
// Only the words before the first "--" are looked at: after it every word is an argument.
void refuseParallelSpellings(char *const *operands, int count, int commandWords) {
    for (int i = 0; i < count; ++i) {
        const char *word = operands[i];
        if (strcmp(word, ":::") == 0 || strcmp(word, ":::+") == 0) {
            badUsage("'%s' separates input sources in GNU parallel; fanrun takes its arguments "
                     "after '--' (or from -a FILE)",
                     word);
        }
        if (strcmp(word, "::::") == 0 || strcmp(word, "::::+") == 0) {
            badUsage("'%s' names input files in GNU parallel; fanrun reads its arguments from "
                     "one file with -a FILE (or from standard input)",
                     word);
        }
    }
    for (int i = 0; i < commandWords; ++i) {
        const std::string positional = positionalIn(operands[i]);
        if (!positional.empty()) {
            badUsage("'%s' is a positional replacement string of GNU parallel; fanrun has one "
                     "input: use {} (with -n, several arguments: set -- {} inside the command)",
                     positional.c_str());
        }
    }
}

// `fanrun --failed -a FILE`: every argument of the input (this shard's), by occurrence, that no
// log has a successful end for, in input order.
int listLeft(const Settings &settings, char **paths, int count) {
    std::vector<std::unique_ptr<fanrun_joblog::JobLog>> logs;
    for (int i = 0; i < count; ++i) {
        struct stat status {};
        if (stat(paths[i], &status) != 0) {
            fprintf(stderr, "fanrun: cannot open the job log %s: %s\n", paths[i], strerror(errno));
            return exitMisuse;
        }
        logs.push_back(std::make_unique<fanrun_joblog::JobLog>());
        if (!logs.back()->open(paths[i], true)) {
            return exitMisuse;
        }
    }
    int fd = STDIN_FILENO;
    std::string name = "standard input";
    if (strcmp(settings.argFile, "-") != 0) {
        fd = open(settings.argFile, O_RDONLY | O_CLOEXEC);
        name = settings.argFile;
        if (fd < 0) {
            fprintf(stderr, "fanrun: cannot open %s: %s\n", settings.argFile, strerror(errno));
            return exitMisuse;
        }
    }
    const bool nul = !settings.form.lines && settings.form.delimiter == '\0';
    ArgumentReader reader(fd, name, settings.form);
    fanrun_joblog::Occurrences occurrences;
    uint64_t digest = fanrun_joblog::digestBasis;
    long position = 0;
    std::string argument;
    signal(SIGPIPE, SIG_IGN);
    for (;;) {
        const ArgumentReader::Got got = reader.next(argument, ArgumentReader::Wait::block);
        if (got == ArgumentReader::Got::failed) {
            fprintf(stderr, "fanrun: %s\n", reader.error().c_str());
            return exitMisuse;
        }
        if (got != ArgumentReader::Got::item) {
            break;
        }
        digest = fanrun_joblog::digestArgument(digest, argument, reader.delimiter());
        const long occurrence = occurrences.next(argument);
        if (position++ % settings.shard.count != settings.shard.index ||
            std::any_of(logs.begin(), logs.end(), [&](const auto &log) {
                return log->state(argument, occurrence) == fanrun_joblog::State::Succeeded;
            })) {
            continue;
        }
        if (!nul && (argument.empty() || argument.find('\n') != std::string::npos)) {
            fprintf(stderr,
                    "fanrun: an argument left to run %s, which a line cannot carry; list them "
                    "with --failed -0\n",
                    argument.empty() ? "is empty" : "holds a newline");
            return exitMisuse;
        }
        fwrite(argument.data(), 1, argument.size(), stdout);
        fputc(nul ? '\0' : '\n', stdout);
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "fanrun: cannot write the list: %s\n", strerror(errno));
        return exitRunner;
    }
    for (int i = 0; i < count; ++i) {
        if (logs[i]->closed() &&
            (logs[i]->closedArguments() != position || logs[i]->closedDigest() != digest)) {
            fprintf(stderr,
                    "fanrun: the input is not the one the run of the job log %s read (%ld "
                    "arguments); listed what is left of this input\n",
                    paths[i], logs[i]->closedArguments());
        }
    }
    return 0;
}

// The command of the run from the operands: its template, its words where it needs no shell,
// and the arguments given on the command line. Bad usage ends the process.
struct CommandLine {
    CommandTemplate parsed;
    std::vector<DirectWord> direct; // empty: the command needs the shell
    char **given = nullptr;
    size_t givenCount = 0;
};

CommandLine gatherCommand(const Settings &settings, int argc, char **argv) {
    if (optind >= argc) {
        badUsage("missing TEMPLATE");
    }
    char **operands = argv + optind;
    const int operandCount = argc - optind;
    // Command words end at the first "--" after the first word; without one, the first word is
    // the template and the rest are arguments, as before.
    int commandWords = 1;
    int firstArgument = 1;
    for (int i = 1; i < operandCount; ++i) {
        if (strcmp(operands[i], "--") == 0) {
            commandWords = i;
            firstArgument = i + 1;
            break;
        }
    }
    refuseParallelSpellings(operands, firstArgument == 1 ? operandCount : firstArgument - 1,
                            commandWords);
    CommandLine line;
    line.parsed = readTemplate(buildTemplate(operands, commandWords), settings.raw);
    if (line.parsed.refusal) {
        badUsage("the template cannot take the argument at byte %zu: %s",
                 line.parsed.refusal->offset + 1, line.parsed.refusal->message.c_str());
    }
    std::string refusal;
    if (settings.maxArgs > 1 && !acceptsSeveral(line.parsed, refusal)) {
        badUsage("%s", refusal.c_str());
    }
    if (!settings.shell && !settings.raw) {
        line.direct = directWords(operands, commandWords);
    }

    line.given = operands + firstArgument;
    line.givenCount = static_cast<size_t>(operandCount - firstArgument);
    if (line.givenCount > 0 && settings.argFile != nullptr) {
        badUsage("-a and arguments on the command line exclude each other");
    }
    return line;
}

// Before the run: the output folder and the output mode set up, and the library's parameters
// filled; false, said, when the output cannot be opened. outputDir holds the folder's name for the
// run.
bool openOutput(const Settings &settings, const std::string &commandTemplate, Output &output,
                std::string &outputDir) {
    outputDir = settings.outputDir != nullptr ? settings.outputDir : "";
    const bool ownFiles = settings.output == OutputMode::files || settings.outputDir != nullptr;
    if (settings.outputDir == nullptr && settings.sharded && ownFiles) {
        // The library creates only the last component of the path.
        if (mkdir(defaultOutputDir, 0755) != 0 && errno != EEXIST) {
            perror("Error: failed to create output directory\n");
            exit(exitRunner);
        }
        outputDir = std::string(defaultOutputDir) + "/shard-" +
                    std::to_string(settings.shard.index) + "-of-" +
                    std::to_string(settings.shard.count);
    } else if (settings.outputDir == nullptr) {
        outputDir = defaultOutputDir;
    }
    std::string error;
    if (!output.open(settings.output, settings.tag, settings.outputDir != nullptr,
                     settings.reportPath, error)) {
        fprintf(stderr, "fanrun: %s\n", error.c_str());
        return false;
    }
    pparams.maxNumRunning = settings.terminal   ? 1
                            : settings.jobs > 0 ? settings.jobs
                                                : defaultJobs();
    pparams.outputDir = ownFiles ? outputDir.data() : nullptr;
    pparams.commandTemplate = const_cast<char *>(commandTemplate.c_str());
    pparams.argumentList = nullptr;
    pparams.argumentListLen = 0;
    return true;
}

// After the run: the output written, the job log closed, and the exit status from how the run
// and its commands ended.
// The run's exit status, from the most serious of what happened: a stop signal, unreadable input,
// the runner's own failure, a failed argument, then success.
int exitStatus(const Feed &feed, const FANRUN_RESULT &result, bool written,
               const fanrun_joblog::ResumeFilter *filter) {
    if (result.stopSignal > 0) {
        return 128 + result.stopSignal;
    }
    if (!feed.inputError.empty()) {
        return exitMisuse;
    }
    if (!written || !feed.outputError.empty() || feed.logFailed) {
        return exitRunner;
    }
    // Retries that never got their turn (the run halted) leave their arguments failed.
    if (feed.lastFailures > 0 || !feed.retries.empty() ||
        (filter != nullptr && filter->skippedFailed() > 0)) {
        return exitFailed;
    }
    if (result.numStarted != feed.handed) {
        fprintf(stderr, "fanrun: %d of %d commands were not started\n",
                feed.handed - result.numStarted, feed.handed);
        return exitRunner;
    }
    return 0;
}

int closeRun(Feed &feed, const Arguments &arguments, const fanrun_joblog::ResumeFilter *filter,
             Output &output) {
    std::string error;
    // The library has given back the dispositions it found; the last writes of the report
    // must fail with a message rather than end the process.
    signal(SIGPIPE, SIG_IGN);

    FANRUN_RESULT result{};
    fanrunLastResult(&result);
    const bool outputShown = output.finish(error);
    if (!outputShown) {
        feed.outputError = error;
    }
    logDeliveries(feed);
    const bool written = outputWritten();
    // Only a run that started every argument of its input says so: --failed can then tell from
    // the log alone what is left.
    const bool everyStarted = feed.gathering->inputEnded && !feed.gathering->haveFirst &&
                              feed.gathering->pending.jobs.empty() && feed.retries.empty() &&
                              !feed.haveDeferred && feed.undelivered.empty() && feed.refused == 0 &&
                              result.stopSignal == 0 && lateStop == 0 && feed.inputError.empty() &&
                              !feed.logFailed && result.numStarted == feed.handed;
    if (feed.log != nullptr && everyStarted &&
        !feed.log->recordClosing(arguments.read(), filter->digest())) {
        feed.logFailed = true;
    }
    if (feed.log != nullptr && !feed.log->finish()) {
        feed.logFailed = true;
    }
    if (result.stopSignal == 0) {
        result.stopSignal = lateStop;
    }
    if (!feed.outputError.empty()) {
        fprintf(stderr, "fanrun: %s\n", feed.outputError.c_str());
    }
    if (!feed.inputError.empty()) {
        fprintf(stderr, "fanrun: %s; no further command was started\n", feed.inputError.c_str());
    }
    return exitStatus(feed, result, written, filter);
}

int run(int argc, char **argv) {
    Settings settings = parseOptions(argc, argv);
    if (settings.semaphore) {
        return runSemaphore(settings, argv + optind, argc - optind, &lateStop);
    }
    if (settings.failed && settings.argFile != nullptr) {
        if (optind >= argc) {
            badUsage("--failed needs at least one job log");
        }
        return listLeft(settings, argv + optind, argc - optind);
    }
    if (settings.failed) {
        if (!settings.form.lines && settings.form.delimiter != '\0') {
            badUsage("--failed ends its items with a newline, or with -0 a NUL byte; not -d");
        }
        if (optind >= argc) {
            badUsage("--failed needs at least one job log");
        }
        return fanrun_joblog::printFailed(argv + optind, argc - optind, !settings.form.lines);
    }
    const CommandLine line = gatherCommand(settings, argc, argv);
    const CommandTemplate &parsed = line.parsed;
    const std::string &commandTemplate = parsed.libraryTemplate;
    const std::vector<DirectWord> &direct = line.direct;
    char **given = line.given;
    const size_t givenCount = line.givenCount;
    int argumentsFd = -1;
    std::string inputName = "standard input";
    if (givenCount == 0) {
        argumentsFd = STDIN_FILENO;
        if (settings.argFile != nullptr && strcmp(settings.argFile, "-") != 0) {
            // Opening a FIFO waits for its writer; a stop interrupts that wait like a read.
            argumentsFd = lateStop == 0 ? open(settings.argFile, O_RDONLY | O_CLOEXEC) : -1;
            inputName = settings.argFile;
            if (argumentsFd < 0 && lateStop == 0) {
                badUsage("cannot open %s: %s", settings.argFile, strerror(errno));
            }
            if (argumentsFd < 0) {
                argumentsFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            }
        }
    }
    ArgumentReader reader(argumentsFd, inputName, settings.form);
    Arguments arguments(given, givenCount, givenCount == 0 ? &reader : nullptr, settings.shard);
    fanrun_joblog::JobLog log;
    std::optional<fanrun_joblog::ResumeFilter> filter;
    if (settings.joblogPath != nullptr) {
        // A dry run shows what the run would run: it reads the log and leaves it as it is.
        if (!log.open(settings.joblogPath, settings.dryRun)) {
            return exitRunner;
        }
        filter.emplace(log, settings.resume || settings.resumeFailed, settings.resumeFailed);
        arguments.useFilter(&*filter);
        if ((settings.resume || settings.resumeFailed) && log.unfinished() > 0) {
            fprintf(stderr,
                    "fanrun: %ld command%s of the job log never ended (running when its run "
                    "stopped); they run again\n",
                    log.unfinished(), log.unfinished() == 1 ? "" : "s");
        }
    }
    Output output;
    Gathering gathering;
    gathering.arguments = &arguments;
    Feed feed;
    feed.settings = &settings;
    feed.command = &parsed;
    feed.direct = &direct;
    feed.gathering = &gathering;
    feed.output = &output;
    feed.log = settings.joblogPath != nullptr && !settings.dryRun ? &log : nullptr;
    std::optional<CommandBuilder> builder;
    if (settings.maxArgs > 1) {
        feed.gathering->builder = &builder.emplace(parsed, direct);
    }

    // Input that cannot be read from its start is misuse: nothing has run yet. A stop while it
    // is read ends the input, and the run then starts nothing.
    inputFd = argumentsFd;
    switch (arguments.next(feed.gathering->first, true)) {
    case ArgumentReader::Got::item:
        feed.gathering->haveFirst = true;
        break;
    case ArgumentReader::Got::failed:
        badUsage("%s", arguments.error().c_str());
    default:
        break;
    }
    // So is a fault in what has already arrived with the first argument.
    if (arguments.failed()) {
        badUsage("%s", arguments.error().c_str());
    }
    if (settings.dryRun) {
        return dryRun(feed, settings.terminal   ? 1
                            : settings.jobs > 0 ? settings.jobs
                                                : defaultJobs());
    }
    // A command too long for exec among those that have arrived with the first is misuse:
    // nothing has run yet. One that comes later in a stream is said when it comes, and fails
    // alone.
    arguments.readAhead(readAheadBytes);
    auto requireRunnable = [&feed](const Job &job) {
        std::string tooLong;
        Group alone;
        alone.jobs.push_back(job);
        std::vector<std::string> words;
        char *command = commandFor(feed, alone, 1, words, tooLong);
        if (command == nullptr) {
            badUsage("%s", tooLong.c_str());
        }
        free(command);
    };
    if (feed.gathering->haveFirst) {
        requireRunnable(feed.gathering->first);
    }
    arguments.eachWaiting([&](const std::string &argument, long position) {
        Job job;
        job.argument = argument;
        job.position = position;
        requireRunnable(job);
    });
    // From here on the input is read only when it is ready, and the report closing the run is
    // written whole.
    inputFd = -1;
    handleSignals(true);

    std::string outputDir;
    if (!openOutput(settings, commandTemplate, output, outputDir)) {
        return exitRunner;
    }

    // Interrupts stop the run with a report; commands never read the runner's input.
    settings.options.stopOnSignals = 1;
    settings.options.nullInput = 1;
    if (settings.retries > 0) {
        feed.halt = settings.options.halt;
        settings.options.halt = FANRUN_HALT_NEVER;
    }
    fanrunSetOptions(&settings.options);
    fanrunSetTerminal(settings.terminal ? 1 : 0);
    const FANRUN_SOURCE source{feedNext, feedStarted, feedEnded, &feed,
                               commandsOf(argumentsWaiting(feed), settings.maxArgs)};
    fanrunSetSource(&source);
    runParallel();
    return closeRun(feed, arguments, filter ? &*filter : nullptr, output);
}

// A closed standard descriptor would be taken by the first file the runner opens (the job log,
// the report file): the report or the commands' output would land in it. Each one closed is held
// by /dev/null opened the other way, so that using it fails with EBADF as it would closed.
void holdClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // The lower ones are open by now: the lowest free descriptor is this one.
        const int held = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (held != fd) {
            _exit(exitRunner);
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    holdClosedStandardDescriptors();
    keepStandardOutputErrors();
    handleSignals(false);
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        fputs("fanrun: out of memory\n", stderr);
        return exitRunner;
    }
}
