// The runner's command-line front end, one unit per concern: the options and the help
// (fanrun_options.cpp), reading the arguments (fanrun_input.cpp), templates and quoting for bash
// (fanrun_quote.cpp, its own header fanrun_quote.h), exec's limits (fanrun_exec.cpp), the command
// builder of -n (its own header fanrun_builder.h), the job log (fanrun_joblog.cpp, its own header
// fanrun_joblog.h), and the run itself with the exit status (fanrun_main.cpp). Private to the
// program; nothing here is installed.
#ifndef FANRUN_CLI_H
#define FANRUN_CLI_H

#include "fanrun.h"
#include "fanrun_joblog.h"
#include "fanrun_quote.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <sys/resource.h>

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

// Where the commands' output goes.
enum class OutputMode {
    files,     // outputDir/PID.stdout and .stderr; the report on standard output
    group,     // each command's output whole on the runner's streams when it ends
    keepOrder, // as group, in input order
    ungroup,   // straight to the runner's streams
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
};

// Parses the options of argv; on return optind is the first operand. Help, version and bad usage
// end the process.
Settings parseOptions(int argc, char **argv);

// The default of -j: the online processors, at least 1.
int defaultJobs();

// One line of error, the usage, exit status 2; nothing has been started yet.
[[noreturn]] __attribute__((format(printf, 1, 2))) void badUsage(const char *format, ...);

// ---- input (fanrun_input.cpp) ------------------------------------------------------------------

// The arguments of a descriptor, one at a time as they arrive.
class ArgumentReader {
  public:
    enum class Got {
        item,   // the next argument
        wait,   // none can be had without blocking yet (only when blocking was not allowed)
        end,    // the input has ended
        failed, // a read error or a NUL byte in a line: error() says which
    };

    // How far next() may go for an argument.
    enum class Wait {
        block, // reads until there is one
        poll,  // reads only what has arrived
        never, // takes only what has been read
    };

    // Reads fd, which the caller keeps open; name is what messages call it.
    ArgumentReader(int fd, std::string name, InputForm form);

    // The next argument into item.
    Got next(std::string &item, Wait wait);
    int fd() const { return fd_; }
    const std::string &error() const { return error_; }
    char delimiter() const { return static_cast<char>(form_.delimiter); }

  private:
    void fill();

    int fd_;
    std::string name_;
    InputForm form_;
    std::string buffer_;
    size_t start_ = 0; // the unread part of buffer_ begins here
    bool ended_ = false;
    long number_ = 0; // lines or items taken so far
    std::string error_;
};

// One argument of the run, through its attempts.
struct Job {
    std::string argument; // as read
    long position = 0;    // in the input, from 0
    long occurrence = 0;  // among equal arguments of the input, from 1 (with a job log)
    long sequence = 0;    // among the arguments this run takes, from 0
    long attempt = 1;
};

// The arguments of the run, from the command line or from the input, one at a time: those of
// this shard that a resumed run does not leave out. What has been read already is split at once,
// so that the run knows how many commands wait.
class Arguments {
  public:
    using Got = ArgumentReader::Got;

    // given: the command line's arguments (count of them), or reader: the input's.
    Arguments(char **given, size_t count, ArgumentReader *reader, Shard shard);
    // With a job log: arguments are numbered by occurrence, and with resume those the log says
    // are done (failedToo: only those that succeeded) are left out.
    void useLog(const fanrun_joblog::JobLog *log, bool resume, bool failedToo);

    Got next(Job &job, bool mayBlock);
    // Takes what input has arrived, without waiting, until about bytes of arguments are known.
    void readAhead(size_t bytes);
    // Calls visit for every argument known and not yet taken, in order, with its position.
    template <typename Visit> void eachWaiting(Visit visit) const {
        for (const Job &job : ready_) {
            visit(job.argument, job.position);
        }
        if (reader_ == nullptr) {
            for (long at = read_; at < static_cast<long>(count_); ++at) {
                if (at % shard_.count == shard_.index) {
                    visit(std::string(given_[at]), at);
                }
            }
        }
    }
    // Arguments known and not yet taken.
    int waiting() const;
    int fd() const { return reader_ != nullptr ? reader_->fd() : -1; }
    const std::string &error() const { return reader_->error(); }
    bool failed() const { return reader_ != nullptr && !reader_->error().empty(); }
    // Left out by resuming, and of those the ones whose last end in the log was a failure.
    long skipped() const { return skipped_; }
    long skippedFailed() const { return skippedFailed_; }
    // Arguments read so far (every shard's) and their digest (fanrun_joblog::digestArgument).
    long read() const { return read_; }
    uint64_t digest() const { return digest_; }

  private:
    Got take(ArgumentReader::Wait wait);

    char **given_;
    size_t count_;
    ArgumentReader *reader_;
    Shard shard_;
    long read_ = 0;
    long taken_ = 0;
    std::deque<Job> ready_;
    const fanrun_joblog::JobLog *log_ = nullptr;
    bool resume_ = false;
    bool failedToo_ = false;
    fanrun_joblog::Occurrences occurrences_;
    long skipped_ = 0;
    long skippedFailed_ = 0;
    uint64_t digest_ = fanrun_joblog::digestBasis;
};

// ---- exec's limits (fanrun_exec.cpp) -----------------------------------------------------------

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

// ---- output (fanrun_output.cpp) ----------------------------------------------------------------

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
    // last: false for an attempt that will be retried, whose output is dropped. False when the
    // command's output may not have been held whole (the temporary folder was full; said), which
    // makes the command a failure.
    bool ended(const FANRUN_EVENT &event, bool last);
    // The command of this sequence will not start (exec would refuse it): its turn passes.
    void skip(long sequence);
    // Writes what still waits; false with a message when any of the output could not be written.
    bool finish(std::string &error);

    // Whether a command's output reached the runner's streams, once it has been written (or
    // dropped): the feed writes the job log's end record then, as delivery decides.
    struct Delivery {
        long sequence = 0;
        bool delivered = true;
    };
    // The deliveries since the last call, in the order they happened.
    std::vector<Delivery> takeDeliveries();
    // True once output of the commands is known lost: a write to the runner's streams failed,
    // or standard output is a pipe whose reader has gone. No further command should start.
    bool lost();

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
    };
    using Captured = std::map<long, Capture>;

    int temporaryFile();
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
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_H
