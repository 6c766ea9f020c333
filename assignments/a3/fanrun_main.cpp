// fanrun: the command-line front end of the runner. It builds the command template from the
// command line, takes the arguments from the command line or from an input (lines, NUL- or
// delimiter-separated items), quotes each one for bash, fills pparams and the run options and
// hands over to runParallel; the run's outcome becomes the exit status. With --failed it runs
// nothing and lists what job logs left undone.

#include "fanrun.h"
#include "fanrun_cli.h"
#include "fanrun_joblog.h"
#include "fanrun_params.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

PARALLEL_PARAMS pparams;

namespace {

using namespace fanrun_cli;

// A stop signal that comes after the run has handed the signals back, while the report may still
// wait in the stdio buffer: recorded, so the report is written before the process ends with it.
volatile sig_atomic_t lateStop = 0;

void recordStop(int signum) {
    if (lateStop == 0) {
        lateStop = signum;
    }
}

// The report (or the dry run's list) has been written whole: otherwise a one-line message.
bool outputWritten() {
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "fanrun: cannot write the report: %s\n", strerror(errno));
        return false;
    }
    return true;
}

// The arguments of the run, from the command line or from the input, one at a time: those of
// this shard, each with its position in the input from 0. What has been read already is split at
// once, so that the run knows how many commands wait.
class Arguments {
  public:
    using Got = ArgumentReader::Got;

    Arguments(char **given, size_t count, ArgumentReader *reader, Shard shard)
        : given_(given), count_(count), reader_(reader), shard_(shard) {}

    Got next(std::string &item, long &position, bool mayBlock) {
        if (ready_.empty()) {
            const Got got =
                take(mayBlock ? ArgumentReader::Wait::block : ArgumentReader::Wait::poll);
            if (got != Got::item) {
                return got;
            }
        }
        item.swap(ready_.front().text);
        position = ready_.front().position;
        ready_.pop_front();
        if (reader_ != nullptr) {
            while (take(ArgumentReader::Wait::never) == Got::item) {
            }
        }
        return Got::item;
    }

    // Arguments known and not yet taken.
    int waiting() const {
        if (reader_ != nullptr) {
            return static_cast<int>(std::min<size_t>(ready_.size(), INT_MAX));
        }
        const long left = static_cast<long>(count_) - read_;
        long count = 0;
        if (left > 0) {
            const long first = (shard_.index - read_ % shard_.count + shard_.count) % shard_.count;
            count = first < left ? (left - first - 1) / shard_.count + 1 : 0;
        }
        return static_cast<int>(std::min<long>(count + static_cast<long>(ready_.size()), INT_MAX));
    }
    int fd() const { return reader_ != nullptr ? reader_->fd() : -1; }
    const std::string &error() const { return reader_->error(); }
    bool failed() const { return reader_ != nullptr && !reader_->error().empty(); }

  private:
    struct Ready {
        std::string text;
        long position;
    };

    // Adds the next argument of this shard to ready_.
    Got take(ArgumentReader::Wait wait) {
        std::string text;
        for (;;) {
            Got got = Got::end;
            if (reader_ != nullptr) {
                got = reader_->next(text, wait);
            } else if (static_cast<size_t>(read_) < count_) {
                text = given_[read_];
                got = Got::item;
            }
            if (got != Got::item) {
                return got;
            }
            const long position = read_++;
            if (position % shard_.count == shard_.index) {
                ready_.push_back(Ready{std::move(text), position});
                return got;
            }
        }
    }

    char **given_;
    size_t count_;
    ArgumentReader *reader_;
    Shard shard_;
    long read_ = 0;
    std::deque<Ready> ready_;
};

// What the runner asks for its next command, and hears of starts and ends: the run's source.
struct Feed {
    const Settings *settings;
    const std::string *commandTemplate;
    Arguments *arguments;
    Output *output;
    std::string first; // read before the run, so that input that fails at once runs nothing
    bool haveFirst = false;
    long firstPosition = 0;
    int handed = 0; // commands handed to the runner
    std::string inputError;
    std::string outputError;
};

// The command for argument, quoted unless --raw; malloc'd.
char *commandFor(const Feed &feed, std::string &argument) {
    if (feed.settings->raw) {
        return createCommand(feed.commandTemplate->c_str(), argument.c_str());
    }
    std::string quoted;
    appendQuoted(quoted, argument.data(), argument.size());
    return createCommand(feed.commandTemplate->c_str(), quoted.c_str());
}

int feedNext(void *context, int /*slot*/, FANRUN_COMMAND *command) {
    Feed &feed = *static_cast<Feed *>(context);
    try {
        if (feed.output->backlogFull()) {
            return FANRUN_NEXT_WAIT; // until a command ends
        }
        std::string argument;
        long position = 0;
        if (feed.haveFirst) {
            argument.swap(feed.first);
            position = feed.firstPosition;
            feed.haveFirst = false;
        } else {
            switch (feed.arguments->next(argument, position, false)) {
            case ArgumentReader::Got::item:
                break;
            case ArgumentReader::Got::wait:
                command->waitFd = feed.arguments->fd();
                return FANRUN_NEXT_WAIT;
            case ArgumentReader::Got::failed:
                feed.inputError = feed.arguments->error();
                return FANRUN_NEXT_END;
            case ArgumentReader::Got::end:
                return FANRUN_NEXT_END;
            }
        }
        std::string error;
        if (!feed.output->prepare(*command, argument, error)) {
            feed.outputError = error;
            return FANRUN_NEXT_END;
        }
        command->command = commandFor(feed, argument);
        command->waiting = (feed.haveFirst ? 1 : 0) + feed.arguments->waiting();
        ++feed.handed;
        return FANRUN_NEXT_COMMAND;
    } catch (const std::bad_alloc &) {
        feed.inputError = "out of memory";
        return FANRUN_NEXT_END;
    }
}

void feedStarted(void *context, const FANRUN_EVENT *event) {
    static_cast<Feed *>(context)->output->started(*event);
}

void feedEnded(void *context, const FANRUN_EVENT *event) {
    Feed &feed = *static_cast<Feed *>(context);
    try {
        feed.output->ended(*event);
    } catch (const std::bad_alloc &) {
        feed.outputError = "out of memory";
    }
}

// Prints every command as its argument arrives; nothing runs, so nothing can fail but the
// reading and the writing (a closed pipe is reported, not fatal).
int dryRun(Feed &feed) {
    signal(SIGPIPE, SIG_IGN);
    std::string argument;
    long position = 0;
    bool more = feed.haveFirst;
    if (more) {
        argument.swap(feed.first);
    }
    while (more) {
        char *command = commandFor(feed, argument);
        fputs(command, stdout);
        fputc('\n', stdout);
        free(command);
        ArgumentReader::Got got = feed.arguments->next(argument, position, false);
        if (got == ArgumentReader::Got::wait) {
            // Shown as they come: nothing waits in the buffer while the input is quiet.
            fflush(stdout);
            got = feed.arguments->next(argument, position, true);
        }
        if (got == ArgumentReader::Got::failed) {
            outputWritten();
            fprintf(stderr, "fanrun: %s\n", feed.arguments->error().c_str());
            return exitMisuse;
        }
        more = got == ArgumentReader::Got::item;
    }
    return outputWritten() ? 0 : exitRunner;
}

int run(int argc, char **argv) {
    Settings settings = parseOptions(argc, argv);
    if (settings.failed) {
        if (!settings.form.lines && settings.form.delimiter != '\0') {
            badUsage("--failed ends its items with a newline, or with -0 a NUL byte; not -d");
        }
        if (optind >= argc) {
            badUsage("--failed needs at least one job log");
        }
        return fanrun_joblog::printFailed(argv + optind, argc - optind, !settings.form.lines);
    }
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
    const std::string commandTemplate = buildTemplate(operands, commandWords);

    char **given = operands + firstArgument;
    const auto givenCount = static_cast<size_t>(operandCount - firstArgument);
    if (givenCount > 0 && settings.argFile != nullptr) {
        badUsage("-a and arguments on the command line exclude each other");
    }
    int inputFd = -1;
    std::string inputName = "standard input";
    if (givenCount == 0) {
        inputFd = STDIN_FILENO;
        if (settings.argFile != nullptr && strcmp(settings.argFile, "-") != 0) {
            inputFd = open(settings.argFile, O_RDONLY | O_CLOEXEC);
            inputName = settings.argFile;
            if (inputFd < 0) {
                badUsage("cannot open %s: %s", settings.argFile, strerror(errno));
            }
        }
    }
    ArgumentReader reader(inputFd, inputName, settings.form);
    Arguments arguments(given, givenCount, givenCount == 0 ? &reader : nullptr, settings.shard);
    Output output;
    Feed feed{&settings, &commandTemplate, &arguments, &output, {}, false, 0, 0, {}, {}};

    // Input that cannot be read from its start is misuse: nothing has run yet.
    switch (arguments.next(feed.first, feed.firstPosition, true)) {
    case ArgumentReader::Got::item:
        feed.haveFirst = true;
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
        return dryRun(feed);
    }

    std::string outputDir = settings.outputDir != nullptr ? settings.outputDir : "";
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
        return exitRunner;
    }
    pparams.maxNumRunning = settings.jobs > 0 ? settings.jobs : defaultJobs();
    pparams.outputDir = ownFiles ? outputDir.data() : nullptr;
    pparams.commandTemplate = const_cast<char *>(commandTemplate.c_str());
    pparams.argumentList = nullptr;
    pparams.argumentListLen = 0;

    // Interrupts stop the run with a report; commands never read the runner's input.
    settings.options.stopOnSignals = 1;
    settings.options.nullInput = 1;
    fanrunSetOptions(&settings.options);
    const FANRUN_SOURCE source{feedNext, feedStarted, feedEnded, &feed};
    fanrunSetSource(&source);
    // A report request that comes before the first command has started or after the run is
    // ignored instead of ending the process.
    signal(SIGUSR1, SIG_IGN);
    signal(SIGUSR2, SIG_IGN);
    struct sigaction record {};
    record.sa_handler = recordStop;
    record.sa_flags = SA_RESTART;
    sigemptyset(&record.sa_mask);
    for (int signum : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signum, &record, nullptr);
    }
    runParallel();
    // The library has given back the dispositions it found; the last writes of the report
    // must fail with a message rather than end the process.
    signal(SIGPIPE, SIG_IGN);

    FANRUN_RESULT result{};
    fanrunLastResult(&result);
    const bool outputShown = output.finish(error);
    if (!outputShown) {
        feed.outputError = error;
    }
    const bool written = outputWritten();
    if (result.stopSignal == 0) {
        result.stopSignal = lateStop;
    }
    if (!feed.outputError.empty()) {
        fprintf(stderr, "fanrun: %s\n", feed.outputError.c_str());
    }
    if (!feed.inputError.empty()) {
        fprintf(stderr, "fanrun: %s; no further command was started\n", feed.inputError.c_str());
    }
    if (result.stopSignal > 0) {
        return 128 + result.stopSignal;
    }
    if (!feed.inputError.empty()) {
        return exitMisuse;
    }
    if (!written || !feed.outputError.empty()) {
        return exitRunner;
    }
    if (result.numFailed > 0) {
        return exitFailed;
    }
    if (result.numStarted != feed.handed) {
        fprintf(stderr, "fanrun: %d of %d commands were not started\n",
                feed.handed - result.numStarted, feed.handed);
        return exitRunner;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        fputs("fanrun: out of memory\n", stderr);
        return exitRunner;
    }
}
