// The front end's templates and quoting (quote.cpp): the template built from the command
// words, read the way bash reads it so that every replacement string is quoted for the place it
// stands in, and the commands without a shell and with several arguments. Private to the program;
// it needs nothing of the rest of the front end, so its tests build it alone.
#ifndef FANRUN_QUOTE_H
#define FANRUN_QUOTE_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fanrun_cli {

// Appends text[0..length) to out so that bash reads it back as exactly those bytes in one word, in
// any locale. Plain text goes in as it is unless quoted is set.
void appendQuoted(std::string &out, const char *text, size_t length, bool quoted = false);

// The template from the command words: one word is shell code as written; several are quoted
// word by word (each {} left as a placeholder). Without any {} the argument is appended.
// With appendArgument false (-N0) nothing is appended.
std::string buildTemplate(char **words, int count, bool appendArgument = true);

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

// Reads the template as bash reads it and finds every replacement string with its context. A
// refusal, and no pieces, where no quoting can make an argument reach its command as exactly its
// bytes in one word (backquotes, arithmetic, ${...}, here-documents, right after $ or \), or where
// a byte above 0x7f would join the next byte into one character in a multibyte locale and change
// how bash reads the rest.
std::optional<TemplateRefusal> parseTemplate(const std::string &text,
                                             std::vector<TemplatePiece> &pieces);

// What the replacement strings of one command stand for.
struct Replacements {
    std::string_view argument; // with several sources, their values joined by a space
    long position = 1;         // {#}: the argument's position in the input, from 1
    int slot = 1;              // {%}: the job slot of the command, from 1
    // {1}..{N}: the value of each source (or column); null: the argument is source 1's value.
    const std::vector<std::string> *values = nullptr;
    // -X: with several arguments the word around {} is repeated for each of them.
    bool repeatWord = false;
};

// The text replacement string which (an index in the table: {} {.} {/} {//} {/.} {#} {%}, then
// the positional {N} {N.} {N/} {N//} {N/.}) stands for: the argument; without its extension (only
// the last component's, and not a leading dot's); its last component; its directory ("." when
// none); the last component without its extension; the position; the slot; and the same parts of
// source N's value (empty beyond the values there are).
std::string replacementText(int which, const Replacements &values);

// -I: from now on {} is written name (a non-empty string); the other strings keep their names.
void renameArgumentString(std::string name);

// --header: {NAME} stands for the value of the column (or source) of that name, as {N} does, and
// {NAME.}, {NAME/}, {NAME//}, {NAME/.} for its parts as {N.} ... do; an empty name stands for
// nothing.
void nameColumns(const std::vector<std::string> &names);

// The highest N of the positional replacement strings ({N}, {N.}, ...) in the command; 0: none.
struct CommandTemplate;
int highestSource(const CommandTemplate &command);
// The first positional replacement string as written whose N is above beyond, else empty.
std::string firstPositional(const CommandTemplate &command, int beyond);
// With --header: the first string of the template shaped as a named one ({NAME}, {NAME.}, ...,
// NAME a letter or _ and then letters, digits, _ and -) that names no column, else empty. ${NAME}
// is the shell's own and never one.
std::string firstUnknownName(const CommandTemplate &command);

// True when text holds a replacement string.
bool holdsReplacement(std::string_view text);

// The command for one argument: the pieces with every replacement string quoted for its place.
std::string expandTemplate(const std::vector<TemplatePiece> &pieces, const Replacements &values);

// With --raw: every replacement string of text, left to right, replaced by its text as it is.
std::string expandRaw(std::string_view text, const Replacements &values);

// The template as the front end builds its commands from it: with --raw the text with each
// replacement string replaced as it is; otherwise the pieces, each replacement quoted for its
// place.
struct CommandTemplate {
    std::string text; // as written (after the words were quoted)
    bool raw = false;
    std::vector<TemplatePiece> pieces;
    std::optional<TemplateRefusal> refusal; // why the template cannot be run: bad usage
};

// The template read for the run, or its refusal.
CommandTemplate readTemplate(std::string text, bool raw);

// A part of a word of a command started without the shell: literal text, or a replacement string.
struct WordPart {
    std::string text;
    int replacement = -1; // index in the table of replacement strings; -1: text
};
using DirectWord = std::vector<WordPart>;

// The words of a command that needs no shell, or none (an empty list) when it needs bash: the
// command words as given (several of them), or a one-word template whose words are plain text and
// replacement strings. Either way the first word is a program, neither a bash builtin or keyword
// nor holding a replacement string. A template without any replacement string gets {} appended,
// as the shell's does.
std::vector<DirectWord> directWords(char **words, int count, bool appendArgument = true);

// The argument vector of one command: every {} that is a word of its own stands for each of the
// arguments as one word; elsewhere a replacement string stands for its text.
void expandWords(const std::vector<DirectWord> &words,
                 const std::vector<std::string_view> &arguments, const Replacements &values,
                 std::vector<std::string> &argv);

// False, with message set, when a template cannot take several arguments per command: a {} that
// is not a word of its own, or another replacement string than {} and {%}.
bool acceptsSeveral(const CommandTemplate &command, std::string &message);

// -X: false, with message set, unless every {} of the template stands bare in a word of plain
// bytes ('=' too) with no other replacement string, which each argument then gets a copy of.
bool acceptsWordCopies(const CommandTemplate &command, std::string &message);
// -X: the bytes of the words around the template's {}, which each argument adds once more.
size_t wordCopyBytes(const CommandTemplate &command);

// The command text for several arguments, each quoted as one word where {} stands (as they are
// with --raw, joined by a space); with values.repeatWord, the word around each {} once for each.
std::string expandSeveral(const CommandTemplate &command,
                          const std::vector<std::string_view> &arguments,
                          const Replacements &values);

// How many {} of the command stand for its arguments, each as one word or more.
size_t argumentBraces(const CommandTemplate &command);

} // namespace fanrun_cli

#endif // FANRUN_QUOTE_H
