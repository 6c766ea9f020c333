// The front end's sink for the commands' output: the output modes (files, grouped, kept in input
// order, ungrouped), the descriptors each command gets, and the report's place. Private to the
// program; nothing here is installed.
#ifndef FANRUN_CLI_OUTPUT_H
#define FANRUN_CLI_OUTPUT_H

#include "fanrun.h"
#include "lines.h"
#include "options.h"

#include <cstddef>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace fanrun_cli {

// The commands' output in the mode of the run, and the report's place.
class Output {
  public:
    Output() = default;
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    ~Output();

    // Sets the mode up before the run: outside the default mode (or with a report file) standard
    // output keeps the commands' output and the library's report goes to reportPath or standard
    // error. keepFiles: the output files are made as in the default mode, and copied from.
    bool open(OutputMode mode, bool tag, bool keepFiles, const char *reportPath,
              std::string &error);
    // Before open: verbose writes each command as it starts on standard output (-v), before its
    // output (with -g and -k as the first line of its group; in the default mode, where standard
    // output carries the report, on standard error); latest shows the lines of OutputMode::lines
    // as --latest-line does when standard output is a terminal.
    void configure(bool verbose, bool latest);
    // Gives the command about to start its descriptors; tagText goes before each of its lines.
    // In keep-order mode, outputs are written by sequence: 0, 1, 2, ... each once, and the
    // attempts of a retried argument share one.
    // later: too few descriptors are free while commands run (said once); the command waits
    // until one has ended. failed: error says why.
    enum class Prepared { ready, later, failed };
    Prepared prepare(FANRUN_COMMAND &command, long sequence, std::string tagText,
                     std::string &error);
    // True while so much output waits for its turn that no further command should start (said
    // once).
    bool backlogFull();
    void started(const FANRUN_EVENT &event);
    // Given a command's whole output at the end of its last attempt, before it is written
    // anywhere: its stdout and stderr, each readable from its start (-1: none), valid during the
    // call. False: the output could not be kept (said), which makes the command a failure.
    using Keeper = std::function<bool(int out, int err)>;
    // last: false for an attempt that will be retried, whose output is dropped. False when the
    // command's output may not have been held whole (the temporary folder was full; said), or
    // keep returned false, which makes the command a failure. In keep-order mode keep is held
    // with the output and called when the output is written, in input order, so that what it
    // keeps comes in that order too; its result is then the Delivery's kept.
    bool ended(const FANRUN_EVENT &event, bool last, const Keeper &keep = {});
    // The command of this sequence will not start (exec would refuse it): its turn passes.
    void skip(long sequence);
    // Writes what still waits; false with a message when any of the output could not be written.
    bool finish(std::string &error);

    // Whether a command's output reached the runner's streams, once it has been written (or
    // dropped): the feed writes the job log's end record then, as delivery decides.
    struct Delivery {
        long sequence = 0;
        bool delivered = true;
        bool kept = true; // false: keep, called only now in keep-order mode, failed (said)
    };
    // The deliveries since the last call, in the order they happened.
    std::vector<Delivery> takeDeliveries();
    // True once output of the commands is known lost: a write to the runner's streams failed,
    // or standard output is a pipe whose reader has gone. No further command should start.
    bool lost();
    // Where the commands' output reaches the runner's standard output, or -1 in the default mode
    // (standard output carries the report); for watching its reader.
    int commandOutput() const { return mode_ == OutputMode::files ? -1 : commandOut_; }

  private:
    struct Capture {
        int out = -1;
        int err = -1;
        bool files = false;      // copied from the output files once the command has ended
        bool incomplete = false; // the temporary folder was full while it ran
        bool shared = false;     // the command writes through out and err themselves
        int commandOut = -1;     // the command's own descriptors of out and err, until it starts
        int commandErr = -1;
        long sequence = 0;
        std::string tag;
        std::string command; // shown before the output with -v
        Keeper keep;         // keep-order mode: called when the output is written
    };
    using Captured = std::map<long, Capture>;

    Prepared preparePipes(FANRUN_COMMAND &command, std::string &error);
    int temporaryFile();
    static bool keepOwnFiles(const FANRUN_EVENT &event, const Keeper &keep);
    static int commandsOwn(int fd);
    void recycle(int &fd, bool shared);
    void checkRoom(int fd);
    void sayBacklog();
    void deliver(Capture &capture);
    void emit(Capture &capture);
    void release(Capture &capture);
    bool copy(int from, int to, const std::string &tag);
    void noteWriteError(int error);

    OutputMode mode_ = OutputMode::files;
    bool tag_ = false;
    bool keepFiles_ = false;
    int commandOut_ = -1; // the runner's standard output, for the commands
    int writeError_ = 0;
    bool discarding_ = false; // standard output was closed: what goes to it is lost
    bool lost_ = false;
    std::vector<Delivery> deliveries_;
    Capture staged_;       // the command being started
    Captured running_;     // by record
    Captured waiting_;     // ended, by sequence, waiting for the ones before them
    long nextInOrder_ = 0; // the sequence whose output is due next
    size_t maxWaiting_ = SIZE_MAX;
    rlim_t descriptorLimit_ = RLIM_INFINITY;
    bool saidDescriptors_ = false;
    bool saidBacklog_ = false;
    std::string folder_;    // of the temporary files
    std::vector<int> pool_; // emptied temporary files that no process holds
    bool verbose_ = false;
    bool latest_ = false;
    LineRelay relay_;                 // OutputMode::lines
    std::map<long, long> linesEnded_; // by record: ended, the sequence (-1: a retried attempt)
    std::map<long, bool> linesDone_;  // by record: its pipes ended, whether all was written
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_OUTPUT_H
