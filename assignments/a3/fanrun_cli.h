// The runner's command-line front end, one unit per concern: the options and the help
// (fanrun_options.cpp), reading the arguments (fanrun_input.cpp), templates and quoting for bash
// (fanrun_quote.cpp), and the run itself with the exit status (fanrun_main.cpp). Private to the
// program; nothing here is installed.
#ifndef FANRUN_CLI_H
#define FANRUN_CLI_H

#include "fanrun.h"

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
// stops the reading before the end of the input is misuse: nothing has run yet.
std::vector<char *> readArguments(FILE *input, const char *name, InputForm form,
                                  std::vector<char *> &owned);

// ---- templates and quoting (fanrun_quote.cpp) --------------------------------------------------

// Appends text[0..length) to out so that bash reads it back as exactly those bytes in one word, in
// any locale. Plain text goes in as it is unless quoted is set.
void appendQuoted(std::string &out, const char *text, size_t length, bool quoted = false);

// The template from the command words: one word is shell code as written; several are quoted
// word by word (each {} left as a placeholder). Without any {} the argument is appended.
std::string buildTemplate(char **words, int count);

// Where a replacement string stands in bash's reading of the template, which decides how the
// argument is quoted there.
enum class Context : unsigned char {
    Bare,         // outside any quotes
    Double,       // inside "..."
    Single,       // inside '...'
    DollarSingle, // inside $'...'
};

// Template text up to a replacement string, and how that replacement goes in. The last piece of
// a template has no replacement.
struct TemplatePiece {
    std::string text;
    int replacement = -1; // index in the table of replacement strings; -1: none
    Context context = Context::Bare;
    bool quoted = false; // plain text would join what stands before it: always quote
};

struct TemplateRefusal {
    size_t offset = 0;   // of the replacement string (or the byte) in the template
    std::string message; // where it stands and what to write instead
};

// Reads the template as bash reads it and finds every replacement string with its context. False,
// with refusal set, where no quoting can make an argument reach its command as exactly its bytes
// in one word (backquotes, arithmetic, ${...}, here-documents, right after $ or \), or
// where a byte above 0x7f would join the next byte into one character in a multibyte locale and
// change how bash reads the rest.
bool parseTemplate(const std::string &text, std::vector<TemplatePiece> &pieces,
                   TemplateRefusal &refusal);

// The command for one argument: the pieces with every replacement string quoted for its place.
std::string expandTemplate(const std::vector<TemplatePiece> &pieces, const char *argument,
                           size_t length);

// The command as the front end hands it over: with --raw the template and each argument go to
// the library as they are; otherwise the library gets the template "{}" and, per argument, the
// whole command.
struct CommandTemplate {
    std::string text; // as written (after the words were quoted)
    bool raw = false;
    std::vector<TemplatePiece> pieces;
    std::string libraryTemplate; // what pparams.commandTemplate gets
};

// The template read for the run; a refused template is bad usage.
CommandTemplate readTemplate(std::string text, bool raw);

// What pparams.argumentList gets for the argument at position (from 1, in input order): the
// argument itself with --raw, else its command, malloc'd and added to owned. A command too long
// for exec is bad usage.
char *commandArgument(const CommandTemplate &command, char *argument, size_t position,
                      std::vector<char *> &owned);

// Ends the process as bad usage when a command of length bytes, run as /bin/bash -c COMMAND with
// this environment, is more than exec takes: one argument at most MAX_ARG_STRLEN bytes, and all
// arguments with the environment at most ARG_MAX.
void requireExecutable(size_t length, size_t position);

} // namespace fanrun_cli

#endif // FANRUN_CLI_H
