// fanrun: the command-line front end of the runner. It builds the command template from the
// command line, takes the arguments from the command line or from an input (lines, NUL- or
// delimiter-separated items), quotes each one for bash, fills pparams and the run options and
// hands over to runParallel; the run's outcome becomes the exit status. With --failed it runs
// nothing and lists what job logs left undone.

#include "await.h"
#include "blocks.h"
#include "builder.h"
#include "dispatch.h"
#include "exec.h"
#include "fanrun.h"
#include "fanrun_params.h"
#include "joblog.h"
#include "options.h"
#include "output.h"
#include "quote.h"
#include "remote.h"
#include "results.h"
#include "roundrobin.h"
#include "semaphores.h"
#include "slurm.h"
#include "source.h"
#include "sources.h"
#include "transfer.h"

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
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
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
            // ends the wait, and the loop sees it.
            fflush(stdout);
            awaitInput(next.waitFd, -1, &lateStop);
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

// How the sources of a run (or of the input --failed lists) make their tuples.
Product::Settings sweepOf(const Settings &settings) {
    Product::Settings sweep;
    sweep.linkAll = settings.linkAll;
    sweep.columns = settings.columns;
    sweep.trim = settings.trim;
    sweep.header = settings.header;
    sweep.headerPattern = settings.header ? settings.headerPattern : ":";
    return sweep;
}

// Leaves out what any of the logs holds a successful end of, numbering the arguments (or tuples)
// as a run over the same input numbers them for its log.
class LeftOfLogs : public ArgumentFilter {
  public:
    explicit LeftOfLogs(const std::vector<std::unique_ptr<fanrun_joblog::JobLog>> &logs) {
        for (const auto &log : logs) {
            filters_.emplace_back(*log, true, true);
        }
    }
    void read(Job &job, char delimiter) override {
        for (auto &filter : filters_) {
            filter.read(job, delimiter);
        }
    }
    bool leavesOut(const Job &job) override {
        return std::any_of(filters_.begin(), filters_.end(),
                           [&job](auto &filter) { return filter.leavesOut(job); });
    }
    uint64_t digest() const { return filters_.front().digest(); }

  private:
    std::deque<fanrun_joblog::ResumeFilter> filters_;
};

// One item of the list: the argument, or a tuple's values joined by a TAB (which --colsep '\t'
// reads back); false, said, for one a line (or, for a tuple, a TAB) cannot carry.
bool listItem(const Job &job, bool nul) {
    std::string item;
    if (job.values.size() > 1) {
        for (const std::string &value : job.values) {
            if (value.find('\t') != std::string::npos) {
                fputs("fanrun: a value left to run holds a TAB, which the list of tuples cannot "
                      "carry\n",
                      stderr);
                return false;
            }
            item += &value == &job.values.front() ? "" : "\t";
            item += value;
        }
    } else {
        item = job.argument;
    }
    if (!nul && (item.empty() || item.find('\n') != std::string::npos)) {
        fprintf(stderr,
                "fanrun: an argument left to run %s, which a line cannot carry; list them with "
                "--failed -0\n",
                item.empty() ? "is empty" : "holds a newline");
        return false;
    }
    fwrite(item.data(), 1, item.size(), stdout);
    fputc(nul ? '\0' : '\n', stdout);
    return true;
}

// `fanrun --failed -a FILE` and its sweeps (several -a, :::: FILE..., --colsep, --header):
// every argument or tuple of the input (this shard's), by occurrence, that no log has a
// successful end for, in input order; with --header the names first, so that the list reads
// back with --header : --colsep '\t'. sources: the input's, as a run's (empty: -a FILE alone).
int listLeft(const Settings &settings, char **paths, int count, std::vector<SourceSpec> sources) {
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
    const bool tuples = !sources.empty() || settings.columns != nullptr || settings.header ||
                        strcmp(settings.trim, "n") != 0 || settings.linkAll;
    if (tuples && sources.empty()) {
        SourceSpec spec;
        spec.path = settings.argFile;
        sources.push_back(spec);
    }
    std::optional<Product> product;
    char **given = nullptr;
    size_t givenCount = 0;
    const char *path = settings.argFile;
    if (tuples) {
        product.emplace(sources, settings.form, sweepOf(settings));
        const SourceSpec &first = sources.front();
        given = product->holdsAll() ? nullptr : first.words;
        givenCount = product->holdsAll() ? 0 : first.count;
        path = product->holdsAll() ? nullptr : first.path;
    }
    int fd = -1;
    std::string name = "standard input";
    if (path != nullptr) {
        fd = STDIN_FILENO;
        if (strcmp(path, "-") != 0) {
            fd = open(path, O_RDONLY | O_CLOEXEC);
            name = path;
            if (fd < 0) {
                fprintf(stderr, "fanrun: cannot open %s: %s\n", path, strerror(errno));
                return exitMisuse;
            }
        }
    }
    const bool nul = !settings.form.lines && settings.form.delimiter == '\0';
    ArgumentReader reader(fd, name, settings.form);
    signal(SIGPIPE, SIG_IGN);
    if (product && settings.header && !product->holdsAll()) {
        std::string header;
        bool headerGiven = givenCount > 0;
        if (headerGiven) {
            header = *given++;
            --givenCount;
        } else if (fd >= 0) {
            const ArgumentReader::Got got = reader.next(header, ArgumentReader::Wait::block);
            if (got == ArgumentReader::Got::failed) {
                fprintf(stderr, "fanrun: %s\n", reader.error().c_str());
                return exitMisuse;
            }
            headerGiven = got == ArgumentReader::Got::item;
        }
        product->nameFirst(header, headerGiven);
    }
    if (product && settings.header && !product->names().empty()) {
        Job names;
        names.values = product->names();
        names.argument = names.values.front();
        if (!listItem(names, nul)) {
            return exitMisuse;
        }
    }
    Arguments arguments(given, givenCount, fd >= 0 ? &reader : nullptr, settings.shard);
    LeftOfLogs left(logs);
    arguments.useFilter(&left);
    if (product) {
        arguments.useProduct(&*product);
    }
    for (;;) {
        Job job;
        const ArgumentReader::Got got = arguments.next(job, true);
        if (got == ArgumentReader::Got::failed) {
            fprintf(stderr, "fanrun: %s\n", arguments.error().c_str());
            return exitMisuse;
        }
        if (got != ArgumentReader::Got::item) {
            break;
        }
        if (!listItem(job, nul)) {
            return exitMisuse;
        }
    }
    if (fd > STDIN_FILENO) {
        close(fd);
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "fanrun: cannot write the list: %s\n", strerror(errno));
        return exitRunner;
    }
    for (int i = 0; i < count; ++i) {
        if (logs[i]->closed() && (logs[i]->closedArguments() != arguments.read() ||
                                  logs[i]->closedDigest() != left.digest())) {
            fprintf(stderr,
                    "fanrun: the input is not the one the run of the job log %s read (%ld "
                    "arguments); listed what is left of this input\n",
                    paths[i], logs[i]->closedArguments());
        }
    }
    return 0;
}

// The command of the run from the operands: its template, its words where it needs no shell,
// and where its values come from. Bad usage ends the process.
struct CommandLine {
    CommandTemplate parsed;
    std::vector<DirectWord> direct; // empty: the command needs the shell
    Operands operands;
    bool sources = false; // several sources, or one split into columns: a product makes tuples
};

CommandLine splitCommand(const Settings &settings, int argc, char **argv) {
    if (optind >= argc) {
        badUsage("missing TEMPLATE");
    }
    CommandLine line;
    char **operands = argv + optind;
    const int operandCount = argc - optind;
    line.operands = splitOperands(operands, operandCount, settings.argFiles);
    if (settings.pipe.pipe) {
        // Blocks are the input: every operand before a "--" is a word of the command, as GNU
        // parallel takes them.
        if (line.operands.sources) {
            badUsage("--pipe takes its blocks from the input, not sources");
        }
        const int words = line.operands.commandWords;
        if (words >= operandCount || strcmp(operands[words], "--") != 0) {
            line.operands.commandWords = operandCount;
            line.operands.givenCount = 0;
        }
        if (line.operands.givenCount > 0) {
            badUsage("--pipe takes its blocks from the input, not arguments after --");
        }
    }
    if (settings.nonall) {
        // The command runs once per host with no argument: every operand is a word of it.
        const int words = line.operands.commandWords;
        const bool separated = words < operandCount && strcmp(operands[words], "--") == 0;
        if (line.operands.sources || (separated && line.operands.givenCount > 0) ||
            settings.argFile != nullptr) {
            badUsage("--nonall runs the command without arguments: give it none");
        }
        if (!separated) {
            line.operands.commandWords = operandCount;
        }
        line.operands.givenCount = 0;
    }
    line.sources = line.operands.sources || settings.columns != nullptr || settings.header ||
                   strcmp(settings.trim, "n") != 0;
    if (line.operands.givenCount > 0 && settings.argFile != nullptr) {
        badUsage("-a and arguments on the command line exclude each other");
    }
    if (line.sources && line.operands.list.empty()) {
        // The one source of today's forms, split into columns.
        SourceSpec spec;
        if (line.operands.givenCount > 0) {
            spec.words = line.operands.given;
            spec.count = line.operands.givenCount;
        } else {
            spec.path = settings.argFile != nullptr ? settings.argFile : "-";
        }
        line.operands.list.push_back(spec);
    }
    return line;
}

// The template, read once the names of the columns are known. sources: how many values each
// command has (-1: as many as its line's columns).
void readCommand(const Settings &settings, char **operands, int sources, CommandLine &line) {
    const int commandWords = line.operands.commandWords;
    // A block comes on standard input: the command takes no argument unless {} names the
    // block's file or FIFO.
    const bool blockNamed = settings.pipe.cat || settings.pipe.fifo;
    const bool appends = !settings.noArguments && (!settings.pipe.pipe || blockNamed);
    line.parsed = readTemplate(buildTemplate(operands, commandWords, appends), settings.raw);
    if (line.parsed.refusal) {
        badUsage("the template cannot take the argument at byte %zu: %s",
                 line.parsed.refusal->offset + 1, line.parsed.refusal->message.c_str());
    }
    const std::string beyond = firstPositional(line.parsed, std::max(sources, 0));
    if (sources >= 0 && !beyond.empty()) {
        if (sources == 0) {
            badUsage("%s stands for a value, and with -N0 the command has none", beyond.c_str());
        }
        badUsage("%s stands for a source the command line does not give: %d source%s",
                 beyond.c_str(), sources, sources == 1 ? "" : "s");
    }

    std::string refusal;
    if (settings.maxArgs > 1 && line.sources) {
        badUsage("-n, -N and -m take one source, without --colsep");
    }
    if (settings.wordCopies && !acceptsWordCopies(line.parsed, refusal)) {
        badUsage("%s", refusal.c_str());
    }
    if (settings.maxArgs > 1 && !settings.wordCopies && !acceptsSeveral(line.parsed, refusal)) {
        badUsage("%s", refusal.c_str());
    }
    if (!settings.shell && !settings.raw) {
        line.direct = directWords(operands, commandWords, appends);
    }
}

// Before the run: the output folder and the output mode set up, and the library's parameters
// filled; false, said, when the output cannot be opened. outputDir holds the folder's name for the
// run.
bool openOutput(const Settings &settings, Output &output, std::string &outputDir) {
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
    output.configure(settings.verbose, settings.latestLine);
    if (!output.open(settings.output, settings.tag, settings.outputDir != nullptr,
                     settings.reportPath, error)) {
        fprintf(stderr, "fanrun: %s\n", error.c_str());
        return false;
    }
    pparams.maxNumRunning = settings.terminal   ? 1
                            : settings.jobs > 0 ? settings.jobs
                                                : defaultJobs();
    pparams.outputDir = ownFiles ? outputDir.data() : nullptr;
    // Every command comes from the source, which builds it whole.
    pparams.commandTemplate = nullptr;
    pparams.argumentList = nullptr;
    pparams.argumentListLen = 0;
    return true;
}

// Before the run: the --results folder or file made, a file emptied unless the run resumes; false,
// said, when it cannot be.
// values: the most a command has, the columns V1..Vn of a results file.
bool openResults(const Settings &settings, size_t values, Results &results) {
    if (settings.results == nullptr) {
        return true;
    }
    std::string error;
    if (!results.open(settings.results, values, settings.resume || settings.resumeFailed, error)) {
        fprintf(stderr, "fanrun: %s\n", error.c_str());
        return false;
    }
    return true;
}

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
    if (!written || !feed.outputError.empty() || !feed.runnerError.empty() || feed.logFailed) {
        return exitRunner;
    }
    // A success rule that halted the run: what it looked for was found.
    if (feed.haltedOnSuccess) {
        return 0;
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

// Says at the start what -j 0 came to, and bounds the library's starts by the pacer's bound.
void sayPacing(const Settings &settings, const Pacer &pacer) {
    if (settings.jobsForm.machine) {
        std::string why;
        const int most = machineJobs(why);
        fprintf(stderr, "fanrun: -j 0: at most %d commands at once (%s)\n", most, why.c_str());
    }
    if (!settings.terminal) {
        pparams.maxNumRunning = pacer.libraryBound();
    }
}

// After the run: the output written, the job log closed, and the exit status from how the run
// and its commands ended.
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
                              feed.runnerError.empty() && !feed.logFailed &&
                              result.numStarted == feed.handed;
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
    for (const std::string *error : {&feed.inputError, &feed.runnerError}) {
        if (!error->empty()) {
            fprintf(stderr, "fanrun: %s; no further command was started\n", error->c_str());
        }
    }
    return exitStatus(feed, result, written, filter);
}

// The --basefile routes and where they land (the fixed --workdir, else the login directory);
// false, with message, for a name that cannot be moved.
bool remoteBasefiles(const Settings &settings, RemoteRun &remote, std::string &message) {
    const RemoteFiles &files = settings.files;
    if (!freshWorkdir(files.workdir)) {
        char *here = getcwd(nullptr, 0);
        remote.baseDir =
            remoteWorkdir(files.workdir, here != nullptr ? here : "", getenv("HOME"), "");
        free(here);
    }
    remote.cleanup = files.cleanup;
    for (const char *name : files.basefiles) {
        FileRoute route;
        if (!routeOf(name, route, message)) {
            message.insert(0, "--basefile: ");
            return false;
        }
        remote.basefiles.push_back(std::move(route));
    }
    return true;
}

int run(int argc, char **argv) {
    Settings settings = parseOptions(argc, argv);
    if (settings.semaphore) {
        return runSemaphore(settings, argv + optind, argc - optind, &lateStop);
    }
    if (settings.failed && optind < argc) {
        // The logs come first; :::, ::::, several -a or a table make the input a run's sweep.
        const int operands = argc - optind;
        Operands split = splitOperands(argv + optind, operands, settings.argFiles);
        const bool given = split.list.size() > settings.argFiles.size();
        if (settings.argFile != nullptr || given) {
            if (!split.sources) {
                split.list.clear();
            }
            return listLeft(settings, argv + optind, given ? split.commandWords : operands,
                            split.list);
        }
    }
    if (settings.failed && settings.argFile != nullptr) {
        badUsage("--failed needs at least one job log");
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
    if (settings.argumentString != nullptr) {
        renameArgumentString(settings.argumentString);
    }
    CommandLine line = splitCommand(settings, argc, argv);
    char **given = line.operands.given;
    size_t givenCount = line.operands.givenCount;
    const char *inputPath = givenCount == 0 ? settings.argFile : nullptr;
    std::optional<Product> product;
    std::string header; // with --header: the first source's first value
    bool headerGiven = false;
    if (line.sources) {
        product.emplace(line.operands.list, settings.form, sweepOf(settings));
        const SourceSpec &first = line.operands.list.front();
        given = product->holdsAll() ? nullptr : first.words;
        givenCount = product->holdsAll() ? 0 : first.count;
        inputPath = product->holdsAll() || first.path == nullptr ? nullptr : first.path;
        if (settings.header && given != nullptr && givenCount > 0) {
            header = given[0];
            headerGiven = true;
            ++given;
            --givenCount;
        }
    }
    static char nothing[] = "";
    static char *noArgument[] = {nothing};
    if (settings.nonall) {
        given = noArgument; // one command, with -N0 nothing of it
        givenCount = 1;
    }
    int argumentsFd = -1;
    std::string inputName = "standard input";
    if (givenCount == 0 && (!product || inputPath != nullptr)) {
        argumentsFd = STDIN_FILENO;
        if (inputPath != nullptr && strcmp(inputPath, "-") != 0) {
            // Opening a FIFO waits for its writer; a stop interrupts that wait like a read.
            argumentsFd = lateStop == 0 ? open(inputPath, O_RDONLY | O_CLOEXEC) : -1;
            inputName = inputPath;
            if (argumentsFd < 0 && lateStop == 0) {
                badUsage("cannot open %s: %s", inputPath, strerror(errno));
            }
            if (argumentsFd < 0) {
                argumentsFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            }
        }
    }
    ArgumentReader reader(argumentsFd, inputName, settings.form);
    if (settings.header && argumentsFd >= 0) {
        // The names come before anything runs: the template may use them.
        inputFd = argumentsFd;
        const ArgumentReader::Got got = reader.next(header, ArgumentReader::Wait::block);
        if (got == ArgumentReader::Got::failed) {
            badUsage("%s", reader.error().c_str());
        }
        headerGiven = got == ArgumentReader::Got::item;
        inputFd = -1;
    }
    if (product && settings.header && !product->holdsAll()) {
        product->nameFirst(header, headerGiven);
    }
    if (product) {
        nameColumns(product->names());
    }
    const int sources = settings.noArguments          ? 0
                        : settings.columns != nullptr ? -1
                        : product                     ? static_cast<int>(product->sourceCount())
                                                      : 1;
    readCommand(settings, argv + optind, sources, line);
    // Without names (the sources are empty) nothing runs: there is nothing to check.
    if (product && settings.header && !product->names().empty()) {
        const std::string unknown = firstUnknownName(line.parsed);
        if (!unknown.empty()) {
            badUsage("%s names no column: the header does not have it", unknown.c_str());
        }
    }
    const CommandTemplate &parsed = line.parsed;
    const std::vector<DirectWord> &direct = line.direct;
    const bool readsArguments = argumentsFd >= 0 && !settings.pipe.pipe;
    Arguments arguments(given, givenCount, readsArguments ? &reader : nullptr, settings.shard);
    if (product) {
        arguments.useProduct(&*product);
    }
    Blocks blocks;
    const int blockJobs = settings.jobs > 0 ? settings.jobs : defaultJobs();
    if (settings.pipe.pipe) {
        std::string error;
        if (!blocks.open(settings.pipe, argumentsFd, inputName, blockJobs, error)) {
            badUsage("%s", error.c_str());
        }
    }
    RoundRobin roundRobin; // ended before the blocks it writes
    fanrun_joblog::JobLog log;
    std::optional<fanrun_joblog::ResumeFilter> filter;
    if (settings.joblogPath != nullptr) {
        // A dry run shows what the run would run: it reads the log and leaves it as it is.
        if (settings.remote() || settings.slurm) {
            log.withHosts();
        }
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
    feed.blocks = settings.pipe.pipe && !settings.pipe.roundRobin ? &blocks : nullptr;
    feed.roundRobin = settings.pipe.roundRobin ? &roundRobin : nullptr;
    std::optional<CommandBuilder> builder;
    if (settings.maxArgs > 1) {
        feed.gathering->builder = &builder.emplace(parsed, direct, settings.wordCopies);
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
    arguments.eachWaiting(requireRunnable);
    // From here on the input is read only when it is ready, and the report closing the run is
    // written whole.
    inputFd = -1;
    handleSignals(true);

    Pacer pacer;
    std::string pacing;
    // Over hosts, their slots bound the commands at once, not a count of this machine's.
    const bool spread = settings.remote() || settings.slurm;
    const int count = spread && settings.jobsForm.file == nullptr ? INT_MAX / 2
                      : settings.jobs > 0                         ? settings.jobs
                                                                  : defaultJobs();
    if (!pacer.open(settings.jobsForm, count, settings.room, pacing)) {
        fprintf(stderr, "fanrun: %s\n", pacing.c_str());
        return exitMisuse;
    }
    std::string outputDir;
    if (!openOutput(settings, output, outputDir)) {
        return exitRunner;
    }
    Results results;
    // A tuple has a value per source, the columns of --colsep as many as the first has; a wider
    // one later widens the file.
    if (!openResults(settings,
                     product ? std::max({product->sourceCount(), product->names().size(),
                                         feed.gathering->first.values.size()})
                             : static_cast<size_t>(settings.maxArgs),
                     results)) {
        return exitRunner;
    }
    feed.results = settings.results != nullptr ? &results : nullptr;
    feed.valueNames = product ? &product->names() : nullptr;

    sayPacing(settings, pacer);
    feed.pacer = &pacer;

    RemoteRun remote;
    if (settings.remote()) {
        remote.jobs = settings.jobs;
        remote.localSlots = settings.jobs > 0 ? settings.jobs : defaultJobs();
        std::string message;
        if (!remoteBasefiles(settings, remote, message)) {
            badUsage("%s", message.c_str());
        }
        if (!remote.start(settings.sshLogins, settings.sshLoginFile, settings.sshCommand,
                          message)) {
            remote.finish();
            // A list that cannot be read is misuse; hosts that cannot be used, the runner's.
            if (remote.hosts.all().empty()) {
                badUsage("%s", message.c_str());
            }
            fprintf(stderr, "fanrun: %s\n", message.c_str());
            return exitRunner;
        }
        pparams.maxNumRunning = remote.maxRunning();
        feed.remote = &remote;
    }
    SlurmRun slurm;
    if (settings.slurm) {
        std::string message;
        bool misuse = false;
        if (!slurm.start(settings.jobs, settings.cpusPerCommand, message, misuse)) {
            if (misuse) {
                badUsage("%s", message.c_str());
            }
            fprintf(stderr, "fanrun: %s\n", message.c_str());
            return exitRunner;
        }
        pparams.maxNumRunning = slurm.maxRunning();
        feed.slurm = &slurm;
    }

    // Interrupts stop the run with a report; commands never read the runner's input.
    settings.options.stopOnSignals = 1;
    settings.options.nullInput = 1;
    // Halting is the feed's: it knows which failures are the last and counts the successes.
    feed.haltRule = settings.haltRule;
    settings.options.halt = FANRUN_HALT_NEVER;
    fanrunSetOptions(&settings.options);
    if (!settings.termSignals.empty()) {
        fanrunSetTermSequence(settings.termSignals.data(), settings.termWaits.data(),
                              static_cast<int>(settings.termSignals.size()));
    }
    fanrunSetTerminal(settings.terminal ? 1 : 0);
    if (settings.pipe.roundRobin) {
        // Last before the run: nothing ends the process while the writer runs.
        std::string error;
        struct stat status {};
        const int shown = output.commandOutput() >= 0 ? output.commandOutput() : STDOUT_FILENO;
        const bool outputPipe = fstat(shown, &status) == 0 && S_ISFIFO(status.st_mode);
        const long long block = settings.pipe.block > 0 ? settings.pipe.block : 1 << 20;
        // As many as -j says when the run starts (-j FILE: as read then).
        if (!roundRobin.start(blocks, std::min(pacer.count(), pparams.maxNumRunning),
                              static_cast<size_t>(std::min<long long>(block, 1 << 20)),
                              outputPipe ? shown : -1, error)) {
            fprintf(stderr, "fanrun: %s\n", error.c_str());
            return exitRunner;
        }
    }
    const FANRUN_SOURCE source = sourceOf(feed);
    fanrunSetSource(&source);
    runParallel();
    if (settings.pipe.roundRobin) {
        std::string undelivered;
        FANRUN_RESULT ran{};
        fanrunLastResult(&ran);
        if (!roundRobin.finish(undelivered) && ran.stopSignal == 0 && lateStop == 0) {
            // Input that reached no command fails the run, as a failed command does.
            fprintf(stderr, "fanrun: %s\n", undelivered.c_str());
            ++feed.lastFailures;
        }
        gathering.inputEnded = roundRobin.delivered();
        if (feed.inputError.empty()) {
            // Also when it failed after the last command had started.
            feed.inputError = roundRobin.inputError();
        }
    }
    const int status = closeRun(feed, arguments, filter ? &*filter : nullptr, output);
    remote.finish();
    slurm.finish();
    std::string error;
    if (!results.finish(error)) {
        fprintf(stderr, "fanrun: %s\n", error.c_str());
        return status == 0 ? exitRunner : status;
    }
    return status;
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
