// What exec takes: the limits of one command's words and of all of them with the environment,
// counted in one place for the checks and the command builder. Private to the program.
#ifndef FANRUN_CLI_EXEC_H
#define FANRUN_CLI_EXEC_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace fanrun_cli {

// True, with message saying why, when a command of length bytes, run as /bin/bash -c COMMAND with
// this environment, is more than exec takes: one argument at most MAX_ARG_STRLEN bytes, and all
// arguments with the environment at most ARG_MAX.
bool commandTooLong(size_t length, size_t position, std::string &message);

// The same for the words of a command started without the shell: none longer than
// MAX_ARG_STRLEN, and all of them with the program's path and the environment at most ARG_MAX.
bool wordsTooLong(const std::vector<std::string> &words, size_t position, std::string &message);

// What exec takes, in bytes of its argument list beside the environment, counted in one place so
// that the check above and the command builder never disagree.
size_t execArgumentLimit();                     // one word, its NUL included (MAX_ARG_STRLEN)
size_t execTotalLimit();                        // every word and pointer
size_t execWordCost(size_t length);             // one word: its bytes, NUL and pointer
size_t shellTextCost(size_t length);            // /bin/bash -c TEXT of this length, whole
size_t directCost();                            // a command without the shell, beside its words
size_t shellProgramCost(std::string_view text); // bash's exec of the program, beside the arguments
size_t blankFields(std::string_view text);      // the words bash makes of text, at most

} // namespace fanrun_cli

#endif // FANRUN_CLI_EXEC_H
