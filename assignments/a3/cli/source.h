// The front end's source of arguments: the command line's, or the input's read as they arrive in
// the form the options give (lines, NUL- or other delimited items), split into this shard's. A
// later stage may look at each argument as it is read (the job log's resume filter does); the
// source depends on no other stage. Private to the program; nothing here is installed.
#ifndef FANRUN_CLI_SOURCE_H
#define FANRUN_CLI_SOURCE_H

#include "options.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace fanrun_cli {

class Product;

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
    std::string argument; // as read; with several sources or columns their values, space-joined
    std::vector<std::string> values; // with sources (:::, --colsep): each one's value, in order
    std::string key;     // with several values: the job log's key of the tuple (set by its filter)
    long position = 0;   // in the input, from 0
    long occurrence = 0; // among equal arguments of the input, from 1 (with a job log's filter)
    long sequence = 0;   // among the arguments this run takes, from 0
    long attempt = 1;
};

// Told of every argument as it is read, of every shard and in input order, by the source that
// reads it; may number it and leave out one of the run's own shard (a resumed run does).
class ArgumentFilter {
  public:
    virtual ~ArgumentFilter() = default;
    // Every argument read; delimiter is the byte that ended it (NUL for the command line's).
    virtual void read(Job &job, char delimiter) = 0;
    // Whether the run leaves out this argument of its shard.
    virtual bool leavesOut(const Job &job) = 0;
};

// The arguments of the run, from the command line or from the input, one at a time: those of
// this shard that the filter does not leave out. What has been read already is split at once,
// so that the run knows how many commands wait.
class Arguments {
  public:
    using Got = ArgumentReader::Got;

    // given: the command line's arguments (count of them), or reader: the input's.
    Arguments(char **given, size_t count, ArgumentReader *reader, Shard shard);
    // A later stage's look at every argument read; the source keeps no other knowledge of it.
    void useFilter(ArgumentFilter *filter) { filter_ = filter; }
    // Several sources: every value read (or, when the product holds every source, every number
    // up to its count of leads) makes the product's tuples, each one argument of the run.
    void useProduct(const Product *product) { product_ = product; }

    Got next(Job &job, bool mayBlock);
    // Takes what input has arrived, without waiting, until about bytes of arguments are known.
    void readAhead(size_t bytes);
    // Calls visit for every argument known and not yet taken, in order.
    template <typename Visit> void eachWaiting(Visit visit) const {
        for (const Job &job : ready_) {
            visit(job);
        }
        if (reader_ == nullptr && product_ == nullptr) {
            for (long at = read_; at < static_cast<long>(count_); ++at) {
                if (at % shard_.count == shard_.index) {
                    Job job;
                    job.argument = given_[at];
                    job.position = at;
                    visit(job);
                }
            }
        }
    }
    // Arguments known and not yet taken.
    int waiting() const;
    int fd() const { return reader_ != nullptr ? reader_->fd() : -1; }
    const std::string &error() const { return reader_->error(); }
    bool failed() const { return reader_ != nullptr && !reader_->error().empty(); }
    // Arguments read so far, every shard's.
    long read() const { return read_; }

  private:
    Got take(ArgumentReader::Wait wait);
    Got nextLead(std::string &value, ArgumentReader::Wait wait);
    Got nextTuple(Job &job, ArgumentReader::Wait wait);

    char **given_;
    size_t count_;
    ArgumentReader *reader_;
    Shard shard_;
    long read_ = 0;
    long taken_ = 0;
    std::deque<Job> ready_;
    ArgumentFilter *filter_ = nullptr;
    const Product *product_ = nullptr;
    long leads_ = 0; // values of the first source read (without a product, arguments read)
    std::string leadValue_;
    long tuplesLeft_ = 0; // of the lead at hand
    long nextTuple_ = 0;
    bool leadEnded_ = false; // the product takes no more of the first source
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_SOURCE_H
