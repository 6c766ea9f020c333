// fanrun: the command-line front end of the runner. It builds the command template from the
// command line, takes the arguments from the command line or from an input (lines, NUL- or
// delimiter-separated items), quotes each one for bash, fills pparams and the run options and
// hands over to runParallel; the run's outcome becomes the exit status.

#include "fanrun.h"
#include "fanrun_cli.h"
#include "fanrun_params.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

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

int run(int argc, char **argv) {
    Settings settings = parseOptions(argc, argv);
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
    const CommandTemplate parsed =
        readTemplate(buildTemplate(operands, commandWords), settings.raw);
    const std::string &commandTemplate = parsed.libraryTemplate;

    std::vector<char *> owned;
    std::vector<char *> given(operands + firstArgument, operands + operandCount);
    if (!given.empty() && settings.argFile != nullptr) {
        badUsage("-a and arguments on the command line exclude each other");
    }
    if (given.empty()) {
        FILE *input = stdin;
        std::string name = "standard input";
        if (settings.argFile != nullptr && strcmp(settings.argFile, "-") != 0) {
            input = fopen(settings.argFile, "re");
            name = settings.argFile;
            if (input == nullptr) {
                badUsage("cannot open %s: %s", settings.argFile, strerror(errno));
            }
        }
        given = readArguments(input, name.c_str(), settings.form, owned);
        if (input != stdin) {
            fclose(input);
        }
    }

    std::vector<char *> arguments;
    arguments.reserve(given.size() / static_cast<size_t>(settings.shard.count) + 1);
    for (size_t i = static_cast<size_t>(settings.shard.index); i < given.size();
         i += static_cast<size_t>(settings.shard.count)) {
        arguments.push_back(commandArgument(parsed, given[i], i + 1, owned));
    }

    int status = 0;
    if (settings.dryRun) {
        // Nothing runs, so nothing can fail but the writing; a closed pipe is reported, not fatal.
        signal(SIGPIPE, SIG_IGN);
        for (char *argument : arguments) {
            char *command = createCommand(commandTemplate.c_str(), argument);
            fputs(command, stdout);
            fputc('\n', stdout);
            free(command);
        }
        status = outputWritten() ? 0 : exitRunner;
    } else {
        std::string outputDir = settings.outputDir != nullptr ? settings.outputDir : "";
        if (settings.outputDir == nullptr && settings.sharded) {
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
        pparams.maxNumRunning = settings.jobs > 0 ? settings.jobs : defaultJobs();
        pparams.outputDir = outputDir.data();
        pparams.commandTemplate = const_cast<char *>(commandTemplate.c_str());
        pparams.argumentList = arguments.data();
        pparams.argumentListLen = static_cast<int>(arguments.size());

        // Interrupts stop the run with a report; commands never read the runner's input.
        settings.options.stopOnSignals = 1;
        settings.options.nullInput = 1;
        fanrunSetOptions(&settings.options);
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
        const bool written = outputWritten();
        if (result.stopSignal == 0) {
            result.stopSignal = lateStop;
        }
        if (result.stopSignal > 0) {
            status = 128 + result.stopSignal;
        } else if (!written) {
            status = exitRunner;
        } else if (result.numFailed > 0) {
            status = exitFailed;
        } else if (result.numStarted != pparams.argumentListLen) {
            fprintf(stderr, "fanrun: %d of %d commands were not started\n",
                    pparams.argumentListLen - result.numStarted, pparams.argumentListLen);
            status = exitRunner;
        }
    }
    for (char *text : owned) {
        free(text);
    }
    return status;
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
