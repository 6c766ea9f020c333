// exec's limits for the front end: whether a command fits the argument list exec takes, and what
// its words cost for the command builder (builder.cpp). What the kernel and bash add to a
// command's own words is counted here, in one place, so that the check and the room never disagree.

#include "exec.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace fanrun_cli {

namespace {

// The environment's strings and pointers as exec copies them.
size_t environmentSize() {
    size_t size = 0;
    for (char **variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
        size += strlen(*variable) + 1 + sizeof(char *);
    }
    return size + sizeof(char *);
}

// What exec takes on this machine with this environment.
struct ExecLimits {
    size_t perArgument = 0; // one argument string, its NUL included (MAX_ARG_STRLEN)
    size_t total = 0;       // every argument string and pointer, beside the environment
    long argMax = 0;        // ARG_MAX; 0 when unknown (no total limit)
};

const ExecLimits &execLimits() {
    static const ExecLimits limits = [] {
        ExecLimits made;
        made.perArgument = 32 * static_cast<size_t>(sysconf(_SC_PAGESIZE));
        made.argMax = std::max(sysconf(_SC_ARG_MAX), 0L);
        const size_t environment = environmentSize();
        made.total = made.argMax == 0 ? SIZE_MAX
                     : static_cast<size_t>(made.argMax) > environment
                         ? static_cast<size_t>(made.argMax) - environment
                         : 0;
        return made;
    }();
    return limits;
}

// What /bin/bash -c COMMAND takes beside COMMAND's own bytes and NUL: the program's path, the
// other two words and the four pointers.
constexpr size_t shellWords =
    sizeof "/bin/bash" + sizeof "-c" + sizeof "/bin/bash" + 4 * sizeof(char *);

// What exec takes beside the words and the environment: the program's path as the kernel copies
// it and, for a script, the script's path once more as a word, and at each of the kernel's four
// levels of interpreters the interpreter line's words and the path of the file they name (a line
// holds at most 256 bytes).
constexpr size_t execPaths = 2 * PATH_MAX + 4 * 2 * 256 + 16 * sizeof(char *);

// What a command without the shell takes beside its words' bytes and pointers: the paths, and the
// pointer that ends the list.
constexpr size_t directFixed = execPaths + sizeof(char *);

// What bash adds to the environment of the program it starts: _ with the program's path, PWD
// with the working directory's where the environment has none or another, SHLVL and the like.
constexpr size_t shellAdds = 2 * PATH_MAX + 2048;

// The blank-separated fields of text.
size_t fieldsOf(std::string_view text) {
    size_t fields = 0;
    bool inField = false;
    for (const char c : text) {
        const bool blank = c == ' ' || c == '\t' || c == '\n';
        fields += !blank && !inField ? 1 : 0;
        inField = !blank;
    }
    return fields;
}

// What one word takes of exec's total.
size_t wordCost(size_t length) {
    return length + 1 + sizeof(char *);
}

} // namespace

bool commandTooLong(size_t length, size_t position, std::string &message) {
    const ExecLimits &limits = execLimits();
    char text[256];
    if (length + 1 > limits.perArgument) {
        snprintf(text, sizeof text,
                 "the command for argument %zu is %zu bytes, more than the %zu bytes that one "
                 "argument of exec may hold",
                 position, length, limits.perArgument - 1);
    } else if (length + 1 + shellWords > limits.total) {
        snprintf(text, sizeof text,
                 "the command for argument %zu is %zu bytes, more than the %zu bytes that exec "
                 "takes (ARG_MAX %ld) with this environment",
                 position, length, std::max(limits.total, shellWords + 1) - shellWords - 1,
                 limits.argMax);
    } else {
        return false;
    }
    message = text;
    return true;
}

bool wordsTooLong(const std::vector<std::string> &words, size_t position, std::string &message) {
    const ExecLimits &limits = execLimits();
    size_t longest = 0;
    size_t total = directFixed;
    for (const std::string &word : words) {
        longest = std::max(longest, word.size());
        total += wordCost(word.size());
    }
    char text[256];
    if (longest + 1 > limits.perArgument) {
        snprintf(text, sizeof text,
                 "the command for argument %zu has a word of %zu bytes, more than the %zu bytes "
                 "that one argument of exec may hold",
                 position, longest, limits.perArgument - 1);
    } else if (total > limits.total) {
        snprintf(text, sizeof text,
                 "the command for argument %zu takes %zu bytes of exec, more than the %zu it has "
                 "(ARG_MAX %ld) with this environment",
                 position, total, limits.total, limits.argMax);
    } else {
        return false;
    }
    message = text;
    return true;
}

size_t execArgumentLimit() {
    return execLimits().perArgument;
}

size_t execTotalLimit() {
    return execLimits().total;
}

size_t execWordCost(size_t length) {
    return wordCost(length);
}

size_t shellTextCost(size_t length) {
    return length + 1 + shellWords;
}

size_t directCost() {
    return directFixed;
}

size_t shellProgramCost(std::string_view text) {
    return text.size() + fieldsOf(text) * (1 + sizeof(char *)) + execPaths + shellAdds;
}

size_t blankFields(std::string_view text) {
    return fieldsOf(text);
}

} // namespace fanrun_cli
