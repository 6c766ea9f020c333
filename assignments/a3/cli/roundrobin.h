// --pipe --round-robin: the blocks of the input handed in turn to a few long-lived commands, each
// reading them from a pipe as its standard input until the input ends. A writer thread of its
// own cuts the input (Blocks) and writes the blocks without ever waiting on one command: the next
// block goes to a command that has all it was given in its pipe, and a command whose pipe is full
// holds up no other. A block counts as delivered once its command has read it whole from the
// pipe; what a command leaves unread (it closed its input or ended) goes whole to another
// command that still reads. The run's flow (the dispatcher) starts the commands through the
// library and tells of their starts and ends here; nothing here starts, waits for or reaps a
// process. Private to the program; nothing here is installed.
#ifndef FANRUN_CLI_ROUNDROBIN_H
#define FANRUN_CLI_ROUNDROBIN_H

#include "blocks.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace fanrun_cli {

class RoundRobin {
  public:
    RoundRobin();
    RoundRobin(const RoundRobin &) = delete;
    RoundRobin &operator=(const RoundRobin &) = delete;
    // Ends the writer as finish() does, if it runs.
    ~RoundRobin();

    // Starts the writer over blocks, opened (from here until finish() the writer alone uses
    // it), for at most commands commands, each pipe holding about pipeBytes (64 KiB to 1 MiB).
    // watchFd: -1, or standard output when it is a pipe, whose reader going away stops giving
    // out blocks. False with error set when the thread or its wake-ups cannot be made; nothing
    // runs then.
    bool start(Blocks &blocks, int commands, size_t pipeBytes, int watchFd, std::string &error);

    // The run's flow, one command at a time: offer says whether a command is to start now for
    // the block cut for it (the first min(commands, blocks) blocks each start one), none yet
    // (wait: ask again once waitFd is readable), or no further one (end: commands have been
    // offered, the input has ended or failed, or blocks are no longer given out).
    enum class Offer { command, wait, end };
    Offer offer(int &waitFd);
    // The command offered will not start (exec refused it): the next offer is its block again.
    void refused();
    // A pipe for the command offered: its read end, to be the command's standard input (the
    // caller closes it once the command has started), or -1 with error set. The write end stays
    // here for started().
    int input(std::string &error);
    // The command offered has started as the slot-th (from 1): the writer gives it its blocks.
    void started(int slot);
    // The command of slot has ended: what it left unread goes to another command.
    void ended(int slot);
    // No further block is given out (halting, the output lost): each command gets the end of its
    // input once the block being written to it is out. What is left counts as not delivered,
    // and finish() does not call that a failure.
    void stop();
    // The input could not be read (said once, as the message to give); empty otherwise.
    std::string inputError() const;

    // After the run, every command ended: ends the writer. False with message set when input
    // was not delivered and blocks were still being given out: no command was left to read it.
    bool finish(std::string &message);
    // After finish(): every block was read whole by a command, and the input was cut to its end.
    bool delivered() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_ROUNDROBIN_H
