// fanrun: the command-line front end of the runner. It builds the command template from the
// command line, takes the arguments from the command line or from an input (lines, NUL- or
// delimiter-separated items), quotes each one for bash, fills pparams and the run options and
// hands over to runParallel; the run's outcome becomes the exit status.

#include "fanrun.h"
#include "fanrun_params.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef FANRUN_VERSION
#define FANRUN_VERSION "unknown"
#endif

PARALLEL_PARAMS pparams;

namespace {

constexpr const char *usage = "usage: fanrun [OPTION]... TEMPLATE [ARGUMENT]...\n"
                              "       fanrun [OPTION]... COMMAND WORD... -- [ARGUMENT]...\n";
constexpr const char *defaultOutputDir = "fanrun-out";

// Exit statuses of the program.
constexpr int exitFailed = 123; // a command failed, was ended by a signal or could not be set up
constexpr int exitRunner = 1;   // the runner itself failed
constexpr int exitMisuse = 2;   // bad usage or unreadable input: nothing was run

constexpr const char *help =
    "Runs a shell command (/bin/bash -c) once per ARGUMENT, at most N at a time, and reports\n"
    "every command's exit code.\n"
    "\n"
    "The command: TEMPLATE is shell code in which every {} stands for the argument. Several\n"
    "words before -- (COMMAND WORD...) are taken as words, as xargs takes them: each is\n"
    "quoted for bash, so 'a b' stays one word, and a {} inside a word stands for the argument.\n"
    "A command without {} gets the argument appended as one more word:\n"
    "  fanrun -j 4 gzip -- *.log    runs gzip 'x.log' for every file.\n"
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

// A stop signal that comes after the run has handed the signals back, while the report may still
// wait in the stdio buffer: recorded, so the report is written before the process ends with it.
volatile sig_atomic_t lateStop = 0;

void recordStop(int signum) {
    if (lateStop == 0) {
        lateStop = signum;
    }
}

// One line of error, the usage, exit status 2; nothing has been started yet.
[[noreturn]] __attribute__((format(printf, 1, 2))) void badUsage(const char *format, ...) {
    fputs("fanrun: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
    fputs(usage, stderr);
    exit(exitMisuse);
}

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
    if (text[0] == '\\' && text[1] == 'x' && text[2] != '\0' && text[3] != '\0' &&
        text[4] == '\0') {
        char *end = nullptr;
        long value = strtol(text + 2, &end, 16);
        if (*end == '\0' && text[2] != '-' && text[2] != '+' && text[2] != ' ') {
            return static_cast<int>(value);
        }
    }
    badUsage("-d needs one byte or one of \\n \\t \\r \\v \\f \\a \\b \\0 \\\\ \\xHH, not '%s'",
             text);
}

struct Shard {
    long index = 0;
    long count = 1;
};

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

int defaultJobs() {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1) {
        return 1;
    }
    return online > INT_MAX ? INT_MAX : static_cast<int>(online);
}

// ---- quoting for bash ------------------------------------------------------------------------

// Bytes that are never special to bash anywhere in a word, so a word made only of them may go
// into a command as it is. '=' and '~' are left out: they change meaning at a word's start.
bool plainByte(unsigned char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || strchr("_./,:+@%-", byte) != nullptr;
}

bool controlByte(unsigned char byte) {
    return byte < 32 || byte == 127;
}

// Appends text[0..length) to out so that bash reads it back as exactly those bytes in one word:
// unchanged when every byte is plain, '...' otherwise, and $'...' when a control byte would
// otherwise appear raw (so that the command and its report line stay one line).
void appendQuoted(std::string &out, const char *text, size_t length) {
    bool plain = length > 0;
    bool control = false;
    for (size_t i = 0; i < length; ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        plain = plain && plainByte(byte);
        control = control || controlByte(byte);
    }
    if (plain) {
        out.append(text, length);
        return;
    }
    if (!control) {
        out += '\'';
        for (size_t i = 0; i < length; ++i) {
            if (text[i] == '\'') {
                out += "'\\''";
            } else {
                out += text[i];
            }
        }
        out += '\'';
        return;
    }
    static const char hex[] = "0123456789abcdef";
    out += "$'";
    for (size_t i = 0; i < length; ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\\' || byte == '\'') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (controlByte(byte)) {
            // Always two digits: bash reads at most two, so a following hex digit stays itself.
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += static_cast<char>(byte);
        }
    }
    out += '\'';
}

// The argument as it goes into pparams.argumentList: the argument itself when it needs no
// quoting (no copy), else a malloc'd quoted copy that is added to owned.
char *quotedArgument(char *argument, std::vector<char *> &owned) {
    size_t length = strlen(argument);
    bool plain = length > 0;
    for (size_t i = 0; plain && i < length; ++i) {
        plain = plainByte(static_cast<unsigned char>(argument[i]));
    }
    if (plain) {
        return argument;
    }
    std::string quoted;
    appendQuoted(quoted, argument, length);
    char *copy = strdup(quoted.c_str());
    if (copy == nullptr) {
        throw std::bad_alloc();
    }
    owned.push_back(copy);
    return copy;
}

// The template from the command words: one word is shell code as written; several are quoted
// word by word (each {} left as a placeholder). Without any {} the argument is appended.
std::string buildTemplate(char **words, int count) {
    std::string result;
    if (count == 1) {
        result = words[0];
    } else {
        for (int w = 0; w < count; ++w) {
            if (w > 0) {
                result += ' ';
            }
            const char *word = words[w];
            // Scanned as createCommand scans: a {} is a placeholder, everything else literal.
            const char *piece = word;
            const char *at = word;
            while (*at != '\0') {
                if (at[0] == '{' && at[1] == '}') {
                    if (at != piece) {
                        appendQuoted(result, piece, static_cast<size_t>(at - piece));
                    }
                    result += "{}";
                    at += 2;
                    piece = at;
                } else {
                    ++at;
                }
            }
            if (at != piece || piece == word) {
                appendQuoted(result, piece, static_cast<size_t>(at - piece));
            }
        }
    }
    if (result.find("{}") == std::string::npos) {
        result += " {}";
    }
    return result;
}

// ---- reading the arguments -------------------------------------------------------------------

struct InputForm {
    bool lines = true; // lines: empty ones skipped; otherwise items ending in delimiter
    int delimiter = '\n';
};

// Reads every argument of input; the strings are malloc'd and added to owned. Anything that
// stops the reading before the end of the input is misuse: nothing has run yet.
std::vector<char *> readArguments(FILE *input, const char *name, InputForm form,
                                  std::vector<char *> &owned) {
    std::vector<char *> arguments;
    char *line = nullptr;
    size_t capacity = 0;
    long number = 0;
    const char *unit = form.lines ? "line" : "item";
    for (;;) {
        errno = 0;
        ssize_t length = getdelim(&line, &capacity, form.delimiter, input);
        if (length < 0) {
            int error = errno;
            if (!feof(input) || ferror(input)) {
                badUsage("cannot read the arguments from %s: %s", name,
                         strerror(error != 0 ? error : EIO));
            }
            break;
        }
        ++number;
        if (length > 0 && line[length - 1] == static_cast<char>(form.delimiter)) {
            line[--length] = '\0';
        }
        if (strlen(line) != static_cast<size_t>(length)) {
            badUsage("%s %ld of %s holds a NUL byte", unit, number, name);
        }
        if (length == 0 && form.lines) {
            continue;
        }
        if (arguments.size() >= static_cast<size_t>(INT_MAX)) {
            badUsage("more than %d arguments in %s", INT_MAX, name);
        }
        try {
            owned.push_back(line);
            line = nullptr;
            arguments.push_back(owned.back());
        } catch (const std::bad_alloc &) {
            badUsage("cannot read the arguments from %s: %s", name, strerror(ENOMEM));
        }
        capacity = 0;
    }
    free(line);
    return arguments;
}

// ---- the run ---------------------------------------------------------------------------------

struct Settings {
    int jobs = 0;
    const char *outputDir = nullptr;
    InputForm form;
    const char *argFile = nullptr;
    bool raw = false;
    bool dryRun = false;
    Shard shard;
    bool sharded = false;
    FANRUN_OPTIONS options{};
};

enum LongOnly {
    optRaw = 256,
    optTimeout,
    optHalt,
    optProgress,
    optDryRun,
    optShard,
};

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
    const std::string commandTemplate = buildTemplate(operands, commandWords);

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
        arguments.push_back(settings.raw ? given[i] : quotedArgument(given[i], owned));
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
