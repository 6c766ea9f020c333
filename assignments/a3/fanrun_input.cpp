// The front end's input: the arguments read from standard input or a file, as lines or as items
// ending in a delimiter byte.

#include "fanrun_cli.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace fanrun_cli {

std::vector<char *> readArguments(FILE *input, const char *name, InputForm form,
                                  std::vector<char *> &owned,
                                  const volatile sig_atomic_t &stopped) {
    std::vector<char *> arguments;
    char *line = nullptr;
    size_t capacity = 0;
    long number = 0;
    const char *unit = form.lines ? "line" : "item";
    while (stopped == 0) {
        errno = 0;
        ssize_t length = getdelim(&line, &capacity, form.delimiter, input);
        // An interrupted read may have cut the last item short: it is dropped with the rest.
        if (stopped != 0) {
            break;
        }
        if (length < 0 && errno == EINTR) {
            clearerr(input);
            continue;
        }
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

} // namespace fanrun_cli
