// fanrun: the command-line front end of the runner. It fills pparams from the command line (and
// from standard input when no argument follows the template) and hands over to runParallel.

#include "fanrun.h"
#include "fanrun_params.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <getopt.h>
#include <unistd.h>

#ifndef FANRUN_VERSION
#define FANRUN_VERSION "unknown"
#endif

PARALLEL_PARAMS pparams;

namespace {

constexpr const char *usage = "usage: fanrun [-j N] [-o DIR] TEMPLATE [ARGUMENT...]\n";
constexpr const char *defaultOutputDir = "fanrun-out";

constexpr const char *help =
    "Runs TEMPLATE with /bin/bash -c once per ARGUMENT, every {} replaced by the argument, at\n"
    "most N commands at a time. Without ARGUMENTs it reads one argument per line from standard\n"
    "input (empty lines are skipped). Each command's standard output and error go to\n"
    "DIR/PID.stdout and DIR/PID.stderr. The run closes with a report on standard output: the\n"
    "line \"commands completed running\", then \"pid 1 exit-code command\" per command in launch\n"
    "order (exit code -1: ended by a signal). While the commands run, SIGUSR1 prints the first\n"
    "line of the report and SIGUSR2 the whole report so far; before the first command has started\n"
    "and after the run they are ignored.\n"
    "\n"
    "  -j, --jobs N            run at most N commands at once (default: online processors)\n"
    "  -o, --output-dir DIR    directory for the output files, created if missing (its parent\n"
    "                          must exist; default: fanrun-out)\n"
    "  -h, --help              show this help and exit\n"
    "  -V, --version           show the version and exit\n"
    "\n"
    "Exit status: 0 after a complete run, whatever the commands' exit codes; 1 if the runner\n"
    "itself fails; 2 on bad usage or unreadable input (nothing is run).\n";

// One line of error, the usage, exit status 2; nothing has been started yet.
[[noreturn]] __attribute__((format(printf, 1, 2))) void badUsage(const char *format, ...) {
    fputs("fanrun: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
    fputs(usage, stderr);
    exit(2);
}

// A job count is a plain decimal number from 1 to INT_MAX: no sign, no spaces, no suffix.
int parseJobs(const char *text) {
    if (text[0] < '0' || text[0] > '9') {
        badUsage("-j needs a whole number from 1 to %d, not '%s'", INT_MAX, text);
    }
    errno = 0;
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || value < 1 || value > INT_MAX) {
        badUsage("-j needs a whole number from 1 to %d, not '%s'", INT_MAX, text);
    }
    return static_cast<int>(value);
}

int defaultJobs() {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1) {
        return 1;
    }
    return online > INT_MAX ? INT_MAX : static_cast<int>(online);
}

// Reads one argument per line; the lines are malloc'd and owned by the caller.
std::vector<char *> readArguments(FILE *input) {
    std::vector<char *> arguments;
    char *line = nullptr;
    size_t capacity = 0;
    long number = 0;
    ssize_t length = 0;
    while ((length = getline(&line, &capacity, input)) >= 0) {
        ++number;
        if (length > 0 && line[length - 1] == '\n') {
            line[--length] = '\0';
        }
        if (strlen(line) != static_cast<size_t>(length)) {
            badUsage("line %ld of standard input holds a NUL byte", number);
        }
        if (length == 0) {
            continue;
        }
        if (arguments.size() >= static_cast<size_t>(INT_MAX)) {
            badUsage("more than %d arguments on standard input", INT_MAX);
        }
        arguments.push_back(line);
        line = nullptr;
        capacity = 0;
    }
    if (ferror(input)) {
        badUsage("cannot read the arguments from standard input: %s", strerror(errno));
    }
    free(line);
    return arguments;
}

int run(int argc, char **argv) {
    static const option options[] = {
        {"jobs", required_argument, nullptr, 'j'},
        {"output-dir", required_argument, nullptr, 'o'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    int jobs = 0;
    const char *outputDir = defaultOutputDir;
    opterr = 0;
    int option = 0;
    // '+': the first operand ends the options, so the template and its arguments may start with
    // '-'.
    while ((option = getopt_long(argc, argv, "+j:o:hV", options, nullptr)) != -1) {
        switch (option) {
        case 'j':
            jobs = parseJobs(optarg);
            break;
        case 'o':
            if (optarg[0] == '\0') {
                badUsage("-o needs a directory name");
            }
            outputDir = optarg;
            break;
        case 'h':
            fputs(usage, stdout);
            fputs(help, stdout);
            return 0;
        case 'V':
            puts("fanrun " FANRUN_VERSION);
            return 0;
        case ':':
        case '?':
        default:
            if (optopt == 'j' || optopt == 'o') {
                badUsage("option -%c needs a value", optopt);
            }
            badUsage("unknown option '%s'", argv[optind - 1]);
        }
    }
    if (optind >= argc) {
        badUsage("missing TEMPLATE");
    }
    if (jobs == 0) {
        jobs = defaultJobs();
    }

    std::vector<char *> fromInput;
    char **arguments = argv + optind + 1;
    int argumentCount = argc - optind - 1;
    if (argumentCount == 0) {
        fromInput = readArguments(stdin);
        arguments = fromInput.data();
        argumentCount = static_cast<int>(fromInput.size());
    }

    pparams.maxNumRunning = jobs;
    pparams.outputDir = const_cast<char *>(outputDir);
    pparams.commandTemplate = argv[optind];
    pparams.argumentList = arguments;
    pparams.argumentListLen = argumentCount;

    // A report request that comes before the first command has started or after the run is
    // ignored instead of ending the process.
    signal(SIGUSR1, SIG_IGN);
    signal(SIGUSR2, SIG_IGN);
    runParallel();

    for (char *argument : fromInput) {
        free(argument);
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "fanrun: cannot write the report: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        fputs("fanrun: out of memory\n", stderr);
        return 1;
    }
}
