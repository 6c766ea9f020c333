// The runner's job log: one line per command start and end, appended as it happens, so that a
// batch outlives the runner that ran it. This unit owns the log's format, its writing and its
// reading, and `fanrun --failed`. Private to the program; nothing here is installed.
//
// A command is known in the log by its key: the argument's bytes and its occurrence number among
// equal arguments of the input (1 for the first), so that repeated arguments stay apart.
#ifndef FANRUN_JOBLOG_H
#define FANRUN_JOBLOG_H

#include "source.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace fanrun_joblog {

// The first line of every log: the names of its columns. A log made by a run over hosts (-S)
// has a last column more, the host a command ran on (":" for this machine), and its records may
// have that field; a run over hosts that appends to a log without the column writes none.
extern const char header[];
extern const char hostHeader[];

enum class Event { Start, End };

struct Record {
    Event event = Event::Start;
    timespec start{};      // when the command started, Unix time
    double runSeconds = 0; // End only
    int exitCode = -1;     // End only: 0 to 255, or -1 when a signal ended it
    int signal = 0;        // End only: the signal that ended it, or 0
    long attempt = 1;      // from 1
    long occurrence = 1;   // from 1
    std::string argument;
    std::string host; // empty: no host field (a run without hosts)

    bool succeeded() const { return event == Event::End && signal == 0 && exitCode == 0; }
};

// The argument as its field holds it: \\, \t, \n, \r and \xHH for every other control byte
// (0 to 31 and 127); every other byte is itself.
std::string escapeArgument(std::string_view argument);
// The exact bytes back from a field; false unless the field is exactly what escapeArgument makes.
bool unescapeArgument(std::string_view field, std::string &argument);

// A tuple's key (several values: several sources, or columns): a NUL byte, which no argument
// holds, then each value escaped, joined by a TAB; its record has a field for each value.
std::string tupleKey(const std::vector<std::string> &values);
// The values back from a key tupleKey made; false for any other key.
bool tupleValues(std::string_view key, std::vector<std::string> &values);

// The record's whole line, '\n' included.
std::string formatRecord(const Record &record);
// A line (without its '\n') that holds every field, each well-formed; false for anything else.
// hosts: the line may have the host field too (a log whose header has the host column).
bool parseRecord(std::string_view line, Record &record, bool hosts = false);

// Where a command stands in a log: its last start decides, by the end of that attempt, or
// Unfinished while that start has no end.
enum class State {
    Unseen,     // no record
    Unfinished, // started, never ended: it was running when its run died
    Succeeded,  // its last end record is an exit 0
    Failed,     // its last end record is a non-zero exit or a signal
};

// Whether a resumed run leaves out a command in this state: --resume leaves out every command
// with an end record, --resume-failed (failedToo) only those whose last end was a success.
bool resumeSkips(State state, bool failedToo);

// A key's 64-bit digest under a key drawn at random once per process: never 0, and no input can
// aim two keys at one digest. prefix keeps apart keys made of the same bytes (an occurrence).
uint64_t keyDigest(uint64_t prefix, std::string_view bytes);

// A value for each of a set of digests, in open addressing with linear probing: a slot is the
// digest and its value (12 or 16 bytes), and the table is at most three quarters full, so that
// an index of n keys takes from 16 to 32 bytes a key (Value 32 bits), never the keys themselves.
// Two keys with one digest would share an entry: among 1e7 keys that happens once in about
// 370,000 runs. Memory comes from calloc, so pages of a new table are touched only when used.
template <typename Value> class DigestTable {
  public:
    // digest's value, or null when it has none.
    const Value *find(uint64_t digest) const;
    // digest's value, added as 0 when it has none; throws std::bad_alloc when the table cannot
    // grow, and is then as it was.
    Value &at(uint64_t digest);
    // Makes room for count entries at once, sparing the copies of growing to it; throws
    // std::bad_alloc, and is then as it was.
    void reserve(size_t count);
    size_t size() const { return size_; }
    size_t bytes() const { return capacity_ * (sizeof(uint64_t) + sizeof(Value)); }
    void clear();
    // Calls visit(value) for every entry, in no particular order.
    template <typename Visit> void forEach(Visit &&visit) const {
        for (size_t i = 0; i < capacity_; ++i) {
            if (digests_[i] != 0) {
                visit(values_[i]);
            }
        }
    }

  private:
    struct Free {
        void operator()(void *memory) const { std::free(memory); }
    };
    size_t slotOf(uint64_t digest) const;
    void grow(size_t capacity);

    std::unique_ptr<uint64_t[], Free> digests_; // 0: a free slot
    std::unique_ptr<Value[], Free> values_;
    size_t capacity_ = 0; // 0 or a power of two
    size_t size_ = 0;
};

// Numbers the arguments of an input as the log keys them: the first of equal arguments is 1.
// Holds a digest and a count for each distinct argument. Throws std::bad_alloc, also for the
// 2^32nd copy of one argument, which its count has no room for.
class Occurrences {
  public:
    long next(std::string_view argument);
    // Room for as many distinct arguments as a log holds commands, say.
    void reserve(size_t arguments) { seen_.reserve(arguments); }

  private:
    DigestTable<uint32_t> seen_;
};

// FNV-1a 64 of an input as a run reads it: every argument followed by its delimiter byte (a
// newline for lines, NUL for -0 and for arguments of the command line), from the offset basis.
constexpr uint64_t digestBasis = 14695981039346656037ULL;
uint64_t digestArgument(uint64_t digest, std::string_view argument, char delimiter);

// The closing record a run appends when every argument of its input has started: how many
// arguments the input held (all shards) and their digest. Its line, '\n' included, and back.
std::string formatClosing(timespec at, long arguments, uint64_t digest);
bool parseClosing(std::string_view line, long &arguments, uint64_t &digest);

// The current time as a record's start.
timespec now();

// The log of a run, open for appending. Every operation that fails has said why on standard
// error (a failed write once per log); the caller decides whether the run goes on.
class JobLog {
  public:
    JobLog() = default;
    ~JobLog();
    JobLog(const JobLog &) = delete;
    JobLog &operator=(const JobLog &) = delete;

    // Creates the log with its header, or reads the whole records of an existing one (which
    // must start with the header) into an index of 16 to 32 bytes a command. Throws
    // std::bad_alloc when memory for the index runs out. A torn last line is ignored and cut before
    // the next append. One run at a time: a log that another run holds open fails. readOnly (a dry
    // run) only reads the index: the file is neither created, locked, cut nor written, and a
    // missing one is empty.
    bool open(const char *path, bool readOnly = false);

    // Where a command stood when the log was opened; the records this run appends go to the file
    // only, so the index does not grow with the run.
    State state(std::string_view argument, long occurrence) const;
    // Commands (distinct keys) the log held when it was opened.
    size_t commands() const { return entries_.size(); }
    // Commands whose last start had no end when the log was opened.
    long unfinished() const { return unfinished_; }
    // Whole lines that are not records (ignored) when the log was opened.
    long ignoredLines() const { return ignored_; }
    // Whether the log ended with a closing record when it was opened (its last run started every
    // argument of its input), and that record's count and digest.
    bool closed() const { return closed_; }
    long closedArguments() const { return closedArguments_; }
    uint64_t closedDigest() const { return closedDigest_; }

    // Each appends one line with a single write and is false when it did not reach the file;
    // the first failure is reported, later ones only returned. A record the log could not read
    // back is refused as a failed write ("Invalid argument"): attempt and occurrence from 1, an
    // exit code from 0 to 255 or a signal from 1 to 127, a start time from 1970 on.
    // A host (not empty) fills the host field.
    bool recordStart(std::string_view argument, long occurrence, long attempt, timespec start,
                     std::string_view host = {});
    bool recordEnd(std::string_view argument, long occurrence, long attempt, timespec start,
                   double runSeconds, int exitCode, int signal, std::string_view host = {});
    // Before open: a log it creates gets the header with the host column.
    void withHosts() { hosts_ = true; }
    // The run started every argument of its input: see formatClosing.
    bool recordClosing(long arguments, uint64_t digest);

    // Syncs and closes; false if any write or sync of the log failed.
    bool finish();

  private:
    void note(const Record &record);
    // record is null for the header.
    bool append(const Record *record, const std::string &line);
    bool syncNew();
    bool fail(int error);

    std::string path_;
    int fd_ = -1;
    off_t whole_ = 0;       // where the last whole line ends
    bool tornTail_ = false; // bytes after whole_ to cut before the next append
    bool failed_ = false;
    bool hosts_ = false;
    bool unsynced_ = false;
    timespec lastSync_{};
    long unfinished_ = 0;
    long ignored_ = 0;
    bool closed_ = false;
    long closedArguments_ = 0;
    uint64_t closedDigest_ = 0;
    // Each key's state (its low two bits) and the attempt of its last start (the rest, at most
    // maxAttempt: later attempts count as that one).
    DigestTable<uint32_t> entries_;
};

// The job log's look at a run's input, as its source reads it: numbers equal arguments as the log
// keys them (counted over the whole input, so that a shard's numbers do not depend on the
// others), digests the input for the closing record, and on resume leaves out what the log says
// has ended (failedToo: only what succeeded). The log must outlive the filter.
class ResumeFilter : public fanrun_cli::ArgumentFilter {
  public:
    // Throws std::bad_alloc.
    ResumeFilter(const JobLog &log, bool resume, bool failedToo);
    void read(fanrun_cli::Job &job, char delimiter) override;
    bool leavesOut(const fanrun_cli::Job &job) override;
    // Left out because their last end in the log was a failure (with resume, not failedToo).
    long skippedFailed() const { return skippedFailed_; }
    // The digest of every argument read (see digestArgument).
    uint64_t digest() const { return digest_; }

  private:
    const JobLog &log_;
    bool resume_;
    bool failedToo_;
    Occurrences occurrences_;
    long skippedFailed_ = 0;
    uint64_t digest_ = digestBasis;
};

// `fanrun --failed` lists what is left for this status when a log does not end with a closing
// record: its run died or stopped before it started every argument, and what it never started
// is not in the log.
constexpr int exitUnknownLeft = 3;

// `fanrun --failed`: writes every argument of the logs that has no successful end, once each, in
// the order first seen, ended by '\n' or (nul) by '\0'. Returns the exit status: 0, 1 when the
// list cannot be written, 2 for a log that cannot be read and for an argument that lines cannot
// carry (a newline, or empty), exitUnknownLeft when a log cannot tell what its run never started.
int printFailed(char *const *logs, int count, bool nul);

} // namespace fanrun_joblog

#endif // FANRUN_JOBLOG_H
