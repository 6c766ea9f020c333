// The front end's options: the usage and help texts, the option values' parsers and getopt.

#include "fanrun_cli.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>
#include <unistd.h>

#ifndef FANRUN_VERSION
#define FANRUN_VERSION "unknown"
#endif

namespace fanrun_cli {

namespace {

constexpr const char *usage = "usage: fanrun [OPTION]... TEMPLATE [ARGUMENT]...\n"
                              "       fanrun [OPTION]... COMMAND WORD... -- [ARGUMENT]...\n";

constexpr const char *help =
    "Runs a shell command (/bin/bash -c) once per ARGUMENT, at most N at a time, and reports\n"
    "every command's exit code.\n"
    "\n"
    "The command: TEMPLATE is shell code in which every {} stands for the argument. Several\n"
    "words before -- (COMMAND WORD...) are taken as words, as xargs takes them: each is\n"
    "quoted for bash, so 'a b' stays one word, and a {} inside a word stands for the argument.\n"
    "A command without {} gets the argument appended as one more word:\n"
    "  fanrun -j 4 gzip -- *.log    runs gzip 'x.log' for every file.\n"
    "A {} is quoted for where it stands: bare, inside a word, in an assignment, inside\n"
    "\"...\", '...' or $'...' (the quotes are closed around it and opened again), inside\n"
    "$(...), after <<<; so 'echo \"{}\"' prints the argument as it is. A template with {}\n"
    "inside backquotes, arithmetic ($((...)), ((...)), $[...]), ${...} or a here-document,\n"
    "or right after $ or \\, is refused (exit status 2, nothing runs) with a line that says\n"
    "what to write instead; so is a command too long for exec.\n"
    "\n"
    "The arguments: those after TEMPLATE or after -- (only the first -- separates; later ones\n"
    "are arguments). Without any, they are read from standard input (or -a FILE), one per\n"
    "line, empty lines skipped. Each argument reaches its command as exactly one word,\n"
    "whatever it holds (spaces, quotes, $(...), globs, newlines): it is quoted for bash\n"
    "('...', or $'...' when it holds control characters), and the report shows it so.\n"
    "Arguments made only of letters, digits and _ . / , : + @ % - are used as they are.\n"
    "Keep this default for file names and any data; use --raw only when the arguments are\n"
    "themselves shell code to run (a list of commands).\n"
    "\n"
    "  -j, --jobs N            run at most N commands at once (default: online processors)\n"
    "  -o, --output-dir DIR    directory for the output files, created if missing (its parent\n"
    "                          must exist; default: fanrun-out, with --shard\n"
    "                          fanrun-out/shard-K-of-N)\n"
    "  -0, --null              input items end with a NUL byte (find -print0, git ls-files -z)\n"
    "  -d, --delimiter C       input items end with the byte C; C may be \\n \\t \\r \\v \\f \\a\n"
    "                          \\b \\0 \\\\ or \\xHH (with -0 or -d every item counts, empty\n"
    "                          ones too; a last delimiter at the end is optional)\n"
    "  -a, --arg-file FILE     read the arguments from FILE instead of standard input ('-' is\n"
    "                          standard input)\n"
    "      --raw               put arguments into the command as they are, as shell code\n"
    "      --timeout DURATION  end a command still running DURATION seconds (fractions allowed)\n"
    "                          after its start: SIGTERM, then SIGKILL 2 seconds later; it\n"
    "                          counts as failed (-1 in the report)\n"
    "      --halt soon|now     after the first failed command start no new one; soon: let the\n"
    "                          running ones finish; now: end them as an interrupt does\n"
    "      --progress          a status line on standard error while the run goes on (rewritten\n"
    "                          in place on a terminal, else at most one line a second)\n"
    "      --dry-run           print every command exactly as it would run, one per line, and\n"
    "                          run nothing\n"
    "      --shard K/N         run only the arguments at positions i (from 0, input order) with\n"
    "                          i mod N = K, for one of N machines or job array tasks\n"
    "  -h, --help              show this help and exit\n"
    "  -V, --version           show the version and exit\n"
    "\n"
    "Every command's standard input is /dev/null; its standard output and error go to\n"
    "DIR/PID.stdout and DIR/PID.stderr (shards on one shared file system need one -o DIR each).\n"
    "The run closes with a report on standard output: the line \"commands completed running\",\n"
    "then \"pid 1 exit-code command\" per command in launch order (exit code -1: ended by a\n"
    "signal). While the commands run, SIGUSR1 prints the first line of the report and SIGUSR2\n"
    "the whole report so far (both are ignored before the first command has started and after\n"
    "the run). SIGINT, SIGTERM or SIGHUP stop the run: no new command starts,\n"
    "the running ones get the same signal (their whole process group), the report of what was\n"
    "started is printed; a second SIGINT or SIGTERM ends what still runs with SIGKILL.\n"
    "\n"
    "Exit status:\n"
    "  0      every command ran and exited 0 (and --dry-run, --help, --version)\n"
    "  123    at least one command exited non-zero, was ended by a signal or a timeout, or\n"
    "         could not be set up\n"
    "  1      the runner itself failed (output directory, memory, processes, or the report\n"
    "         could not be written)\n"
    "  2      bad usage or unreadable input; nothing was run\n"
    "  128+N  the run was stopped by signal N (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP)\n";

// A whole decimal number from 0 to INT_MAX: no sign, no spaces, no suffix; -1 if it is not one.
long wholeNumber(const char *text, const char *end) {
    if (text == end || end - text > 10) {
        return -1;
    }
    long value = 0;
    for (const char *at = text; at != end; ++at) {
        if (*at < '0' || *at > '9') {
            return -1;
        }
        value = value * 10 + (*at - '0');
    }
    return value > INT_MAX ? -1 : value;
}

int parseJobs(const char *text) {
    long value = wholeNumber(text, text + strlen(text));
    if (value < 1) {
        badUsage("-j needs a whole number from 1 to %d, not '%s'", INT_MAX, text);
    }
    return static_cast<int>(value);
}

// Seconds: digits with an optional fraction, more than 0 and at most INT_MAX.
double parseDuration(const char *text) {
    const char *at = text;
    size_t digits = strspn(at, "0123456789");
    at += digits;
    if (*at == '.') {
        size_t fraction = strspn(at + 1, "0123456789");
        digits += fraction;
        at += 1 + fraction;
    }
    double value = digits > 0 && *at == '\0' ? strtod(text, nullptr) : 0;
    if (!(value > 0) || value > INT_MAX) {
        badUsage("--timeout needs a number of seconds above 0 (fractions allowed, at most %d), "
                 "not '%s'",
                 INT_MAX, text);
    }
    return value;
}

// One byte, or one of the escapes the help names.
int parseDelimiter(const char *text) {
    if (text[0] != '\0' && text[1] == '\0') {
        return static_cast<unsigned char>(text[0]);
    }
    if (text[0] == '\\' && text[1] != '\0' && text[2] == '\0') {
        static const char names[] = "0abfnrtv\\";
        static const char bytes[] = {'\0', '\a', '\b', '\f', '\n', '\r', '\t', '\v', '\\'};
        const char *found = strchr(names, text[1]);
        if (found != nullptr) {
            return bytes[found - names];
        }
    }
    if (text[0] == '\\' && text[1] == 'x' && isxdigit(static_cast<unsigned char>(text[2])) != 0 &&
        isxdigit(static_cast<unsigned char>(text[3])) != 0 && text[4] == '\0') {
        return static_cast<int>(strtol(text + 2, nullptr, 16));
    }
    badUsage("-d needs one byte or one of \\n \\t \\r \\v \\f \\a \\b \\0 \\\\ \\xHH, not '%s'",
             text);
}

Shard parseShard(const char *text) {
    const char *slash = strchr(text, '/');
    Shard shard;
    if (slash != nullptr) {
        shard.index = wholeNumber(text, slash);
        shard.count = wholeNumber(slash + 1, slash + strlen(slash));
    }
    if (slash == nullptr || shard.index < 0 || shard.count < 1 || shard.index >= shard.count) {
        badUsage("--shard needs K/N with whole numbers 0 <= K < N, not '%s'", text);
    }
    return shard;
}

enum LongOnly {
    optRaw = 256,
    optTimeout,
    optHalt,
    optProgress,
    optDryRun,
    optShard,
};

} // namespace

void badUsage(const char *format, ...) {
    fputs("fanrun: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
    fputs(usage, stderr);
    exit(exitMisuse);
}

int defaultJobs() {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1) {
        return 1;
    }
    return online > INT_MAX ? INT_MAX : static_cast<int>(online);
}

Settings parseOptions(int argc, char **argv) {
    static const option options[] = {
        {"jobs", required_argument, nullptr, 'j'},
        {"output-dir", required_argument, nullptr, 'o'},
        {"null", no_argument, nullptr, '0'},
        {"delimiter", required_argument, nullptr, 'd'},
        {"arg-file", required_argument, nullptr, 'a'},
        {"raw", no_argument, nullptr, optRaw},
        {"timeout", required_argument, nullptr, optTimeout},
        {"halt", required_argument, nullptr, optHalt},
        {"progress", no_argument, nullptr, optProgress},
        {"dry-run", no_argument, nullptr, optDryRun},
        {"shard", required_argument, nullptr, optShard},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Settings settings;
    opterr = 0;
    int option = 0;
    // '+': the first operand ends the options, so the template and its arguments may start with
    // '-'. ':' first: a missing value is told apart from an unknown option.
    while ((option = getopt_long(argc, argv, "+:j:o:0d:a:hV", options, nullptr)) != -1) {
        switch (option) {
        case 'j':
            settings.jobs = parseJobs(optarg);
            break;
        case 'o':
            if (optarg[0] == '\0') {
                badUsage("-o needs a directory name");
            }
            settings.outputDir = optarg;
            break;
        case '0':
            settings.form = InputForm{false, '\0'};
            break;
        case 'd':
            settings.form = InputForm{false, parseDelimiter(optarg)};
            break;
        case 'a':
            if (optarg[0] == '\0') {
                badUsage("-a needs a file name");
            }
            settings.argFile = optarg;
            break;
        case optRaw:
            settings.raw = true;
            break;
        case optTimeout:
            settings.options.timeoutSeconds = parseDuration(optarg);
            break;
        case optHalt:
            if (strcmp(optarg, "soon") == 0) {
                settings.options.halt = FANRUN_HALT_SOON;
            } else if (strcmp(optarg, "now") == 0) {
                settings.options.halt = FANRUN_HALT_NOW;
            } else {
                badUsage("--halt needs soon or now, not '%s'", optarg);
            }
            break;
        case optProgress:
            settings.options.progress = 1;
            break;
        case optDryRun:
            settings.dryRun = true;
            break;
        case optShard:
            settings.shard = parseShard(optarg);
            settings.sharded = true;
            break;
        case 'h':
            fputs(usage, stdout);
            fputs(help, stdout);
            exit(fflush(stdout) == 0 && ferror(stdout) == 0 ? 0 : exitRunner);
        case 'V':
            puts("fanrun " FANRUN_VERSION);
            exit(fflush(stdout) == 0 && ferror(stdout) == 0 ? 0 : exitRunner);
        case ':':
            badUsage("option '%s' needs a value", argv[optind - 1]);
        case '?':
        default:
            badUsage("unknown option '%s'", argv[optind - 1]);
        }
    }
    return settings;
}

} // namespace fanrun_cli
