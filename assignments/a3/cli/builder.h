// The command builder of the front end: the arguments of one command with -n, taken one at a
// time, as many as exec takes. The run and the dry run group their arguments through it, so that
// what the dry run shows is what runs. Private to the program; nothing here is installed.
#ifndef FANRUN_BUILDER_H
#define FANRUN_BUILDER_H

#include "exec.h"
#include "quote.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace fanrun_cli {

// Counts in bytes the words of a command without the shell; with the shell, the text bash reads
// (the arguments quoted as the command holds them, joined by a space) and the words bash will
// start its program with. Never less than the command will take, as xargs does.
class CommandBuilder {
  public:
    // wordCopies (-X): every argument adds a copy of the words around {} as well.
    CommandBuilder(const CommandTemplate &command, const std::vector<DirectWord> &direct,
                   bool wordCopies = false);

    enum class Fit {
        fits, // counted into the command
        full, // the command holds an argument already and has no room for this one: taken back
    };
    // A first argument always fits: alone, it fails with its own message when the command is
    // made.
    Fit append(std::string_view argument);
    // The next command starts empty.
    void clear();

  private:
    const CommandTemplate *command_;
    bool direct_;
    size_t braces_ = 0; // the {} that stand for every argument
    size_t copies_ = 0; // -X: the words each argument gets a copy of, and their other bytes
    size_t copyBytes_ = 0;
    size_t baseText_ = 0;  // the text for bash without any argument
    size_t baseWords_ = 0; // the words and what exec takes beside them, without any argument
    size_t text_ = 0;
    size_t words_ = 0;
    size_t taken_ = 0;
    std::string quoted_; // an argument as the command will hold it
};

} // namespace fanrun_cli

#endif // FANRUN_BUILDER_H
