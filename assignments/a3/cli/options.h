// The front end's settings: the options and the help that explains them, the exit statuses, and
// bad usage. Every stage of the front end reads its part of Settings; nothing here is installed.
#ifndef FANRUN_CLI_OPTIONS_H
#define FANRUN_CLI_OPTIONS_H

#include "fanrun.h"
#include "halting.h"
#include "pacing.h"

#include <cstddef>
#include <vector>

namespace fanrun_cli {

// Exit statuses of the program.
constexpr int exitFailed = 123; // a command failed, was ended by a signal or could not be set up
constexpr int exitRunner = 1;   // the runner itself failed
constexpr int exitMisuse = 2;   // bad usage or unreadable input: nothing was run

constexpr const char *defaultOutputDir = "fanrun-out";

struct Shard {
    long index = 0;
    long count = 1;
};

struct InputForm {
    bool lines = true; // lines: empty ones skipped; otherwise items ending in delimiter
    int delimiter = '\n';
};

// Where the commands' output goes.
enum class OutputMode {
    files,     // outputDir/PID.stdout and .stderr; the report on standard output
    group,     // each command's output whole on the runner's streams when it ends
    keepOrder, // as group, in input order
    ungroup,   // straight to the runner's streams
    lines,     // each line whole as soon as it is complete (--line-buffer, --latest-line)
};

// --pipe and --pipe-part: the input cut into blocks at record ends, one block per command.
struct PipeOptions {
    bool pipe = false;              // standard input's blocks become the commands' input
    bool part = false;              // --pipe-part: the commands read their ranges of -a FILE
    long long block = 0;            // --block; 0: 1M; negative with --pipe-part: parts per job slot
    const char *recend = nullptr;   // null: a newline, or nothing when recstart is given
    const char *recstart = nullptr; // null: nothing
    bool regexp = false;            // recend and recstart are regular expressions
    bool removeSeparators = false;  // --rrs
    long records = 0;               // -N: records per block
    long lines = 0;                 // -L: lines per record
    const char *header = nullptr;   // --header: repeated at the start of every block
    bool roundRobin = false;        // blocks to -j long-lived commands in turn
    bool cat = false;               // the block in a file named {}
    bool fifo = false;              // the block in a FIFO named {}
};

// What goes to and comes back from a remote host around its commands (transfer.h). The file
// names may hold replacement strings; on this machine (':') none of it applies.
struct RemoteFiles {
    std::vector<const char *> transfers; // --transfer-file, --transfer ({})
    std::vector<const char *> returns;   // --return
    std::vector<const char *> basefiles; // --basefile: to every host before its first command
    bool cleanup = false;                // --cleanup: removed there afterwards
    const char *workdir = nullptr;       // --workdir: DIR, "..." or "."; null: the login dir
    std::vector<const char *> env;       // --env: variables and bash functions to pass on
};

struct Settings {
    int jobs = 0;
    const char *outputDir = nullptr;
    InputForm form;
    const char *argFile = nullptr;
    bool raw = false;
    bool dryRun = false;
    Shard shard;
    bool sharded = false;
    bool failed = false;   // --failed: the operands are job logs, and nothing runs
    bool terminal = false; // --tty
    FANRUN_OPTIONS options{};
    OutputMode output = OutputMode::files;
    bool tag = false;
    const char *reportPath = nullptr;
    const char *joblogPath = nullptr;
    bool resume = false;       // leave out what has an end record in the job log
    bool resumeFailed = false; // ... only what ended successfully
    long retries = 0;          // further attempts after a failed one
    double retryDelay = 0;     // seconds before the first retry, doubling with each
    int maxArgs = 1;           // arguments per command (-n)
    bool shell = false;        // always start bash, even where the command needs no shell

    const char *results = nullptr; // --results: a folder, or a .csv, .tsv or .json file

    // The semaphore (--semaphore and its options).
    bool semaphore = false;            // --semaphore: one command, once a place of its id is free
    const char *semaphoreId = nullptr; // --id; null: the default id
    bool foreground = false;           // --fg: wait for the command; its status is fanrun's
    bool waitAll = false;              // --wait: until no command of the id runs
    double semaphoreTimeout = 0;       // seconds to wait for a place at most; 0: no bound
    int heldPlace = -1; // the place a background semaphore invocation was handed (internal)

    // Lines as they come.
    bool lineBuffer = false;         // --line-buffer, or --latest-line
    bool latestLine = false;         // --latest-line: on a terminal, a row per running command
    bool verbose = false;            // -v: each command on standard output as it starts
    const char *tagString = nullptr; // --tagstring: the tag, replacement strings expanded
    // Remote hosts (-S, --sshloginfile, --ssh).
    std::vector<const char *> sshLogins; // every -S value, "[N/]HOST[,...]"
    const char *sshLoginFile = nullptr;  // --sshloginfile: read again while the run goes on
    const char *sshCommand = nullptr;    // --ssh; null: ssh
    bool remote() const { return !sshLogins.empty() || sshLoginFile != nullptr; }
    RemoteFiles files;   // --transfer-file, --return, --basefile, --cleanup, --workdir, --env
    bool onall = false;  // --onall: every command on every host
    bool nonall = false; // --nonall: the command once on every host, without arguments
    // Steps of a Slurm allocation (--slurm, --cpus-per-command).
    bool slurm = false;
    int cpusPerCommand = 1;
    // Several sources and tables (sources.h).
    std::vector<const char *> argFiles;   // every -a FILE, in order: each a source
    bool linkAll = false;                 // --link
    const char *columns = nullptr;        // --colsep REGEX
    const char *trim = "n";               // --trim
    bool header = false;                  // --header : or REGEX
    const char *headerPattern = nullptr;  // --header's REGEX (":": the first value, as it is)
    bool noArguments = false;             // -N0 / -n0: the command gets no argument
    const char *argumentString = nullptr; // -I STR: {} is written STR
    bool wordCopies = false;              // -X: the word around {} repeated for each argument
    PipeOptions pipe;                     // --pipe, --pipe-part and their options
    // Pacing and stop rules (pacing.h, halting.h).
    JobsForm jobsForm;            // -j as given: a count, 0 or a FILE
    Room room;                    // --delay, --load, --memfree, --nice
    HaltRule haltRule;            // --halt in full
    double timeoutShare = 0;      // --timeout N%: N, of the median runtime of the successes
    std::vector<int> termSignals; // --termseq; empty: TERM, 2000 ms, KILL
    std::vector<int> termWaits;   // in milliseconds, one fewer than termSignals
};

// Parses the options of argv; on return optind is the first operand. Help, version and bad usage
// end the process.
Settings parseOptions(int argc, char **argv);

// The default of -j: the online processors, at least 1.
int defaultJobs();

// A whole decimal number from 0 to INT_MAX, all of text up to end: no sign, no spaces, no
// suffix; -1 if it is not one.
long wholeNumber(const char *text, const char *end);

// One line of error, the usage, exit status 2; nothing has been started yet.
[[noreturn]] __attribute__((format(printf, 1, 2))) void badUsage(const char *format, ...);

} // namespace fanrun_cli

#endif // FANRUN_CLI_OPTIONS_H
