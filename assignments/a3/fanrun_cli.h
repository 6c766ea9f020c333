// The runner's command-line front end, one unit per concern: the options and the help
// (fanrun_options.cpp), reading the arguments (fanrun_input.cpp), templates and quoting for bash
// (fanrun_quote.cpp), and the run itself with the exit status (fanrun_main.cpp). Private to the
// program; nothing here is installed.
#ifndef FANRUN_CLI_H
#define FANRUN_CLI_H

#include "fanrun.h"

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace fanrun_cli {

// Exit statuses of the program.
constexpr int exitFailed = 123; // a command failed, was ended by a signal or could not be set up
constexpr int exitRunner = 1;   // the runner itself failed
constexpr int exitMisuse = 2;   // bad usage or unreadable input: nothing was run

constexpr const char *defaultOutputDir = "fanrun-out";

// ---- options (fanrun_options.cpp) --------------------------------------------------------------

struct Shard {
    long index = 0;
    long count = 1;
};

struct InputForm {
    bool lines = true; // lines: empty ones skipped; otherwise items ending in delimiter
    int delimiter = '\n';
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
    bool terminal = false; // --tty
    FANRUN_OPTIONS options{};
};

// Parses the options of argv; on return optind is the first operand. Help, version and bad usage
// end the process.
Settings parseOptions(int argc, char **argv);

// The default of -j: the online processors, at least 1.
int defaultJobs();

// One line of error, the usage, exit status 2; nothing has been started yet.
[[noreturn]] __attribute__((format(printf, 1, 2))) void badUsage(const char *format, ...);

// ---- input (fanrun_input.cpp) ------------------------------------------------------------------

// Reads every argument of input; the strings are malloc'd and added to owned. Anything that
// stops the reading before the end of the input is misuse: nothing has run yet. Once stopped
// is nonzero (a stop signal, which also interrupts a blocked read), the reading ends with the
// arguments read whole so far.
std::vector<char *> readArguments(FILE *input, const char *name, InputForm form,
                                  std::vector<char *> &owned, const volatile sig_atomic_t &stopped);

// ---- templates and quoting (fanrun_quote.cpp) --------------------------------------------------

// Appends text[0..length) to out so that bash reads it back as exactly those bytes in one word.
void appendQuoted(std::string &out, const char *text, size_t length);

// The argument as it goes into pparams.argumentList: the argument itself when it needs no
// quoting (no copy), else a malloc'd quoted copy that is added to owned.
char *quotedArgument(char *argument, std::vector<char *> &owned);

// The template from the command words: one word is shell code as written; several are quoted
// word by word (each {} left as a placeholder). Without any {} the argument is appended.
std::string buildTemplate(char **words, int count);

} // namespace fanrun_cli

#endif // FANRUN_CLI_H
