// The blocks of --pipe and --pipe-part: the run's input cut at record ends (records.h), each
// block the input of one command instead of an argument. A block of standard input is held in
// a memory file that its command reads as its standard input (so nothing has to be written to
// the command while the runner waits for commands); a block of --pipe-part is a range of the
// file that a feeder thread splices into the command's standard input, never copied through the
// runner. With --cat the block is a file named by {}, with --fifo a FIFO named by {}. A block is
// kept while a retry of it may come. Private to the program; nothing here is installed.
#ifndef FANRUN_CLI_BLOCKS_H
#define FANRUN_CLI_BLOCKS_H

#include "options.h"
#include "records.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace fanrun_cli {

class Blocks {
  public:
    Blocks() = default;
    Blocks(const Blocks &) = delete;
    Blocks &operator=(const Blocks &) = delete;
    ~Blocks();

    // Cuts fd (kept open by the caller; name is what messages call it) as options say, for a
    // run of jobs slots. False with error set when the options cannot cut it (a --pipe-part
    // input that is not a regular file, a bad expression).
    bool open(const PipeOptions &options, int fd, std::string name, int jobs, std::string &error);

    enum class Got { block, wait, end, failed };
    // The next block, as command sequence: its identity in the job log ("block N bytes A-B").
    // wait: fd has nothing yet (waitFd is it). failed: error() says why.
    Got next(long sequence, std::string &identity, int &waitFd);
    // Cuts the block after the ones handed out, as far as the input allows without waiting, so
    // that it is ready when a command may start: called while the commands run.
    void prepare();
    // What {} stands for in the command of block sequence: the name of its file or FIFO with
    // --cat or --fifo, else nothing.
    std::string name(long sequence) const;
    // A descriptor for the start of block sequence to read as its standard input, or -1 when
    // the command reads no standard input from the block (--cat, --fifo) or it cannot be made
    // (error set). The caller closes it once the command has started.
    int input(long sequence, std::string &error);
    // The command of block sequence has ended; again: a retry follows, so the block stays.
    void ended(long sequence, bool again);
    const std::string &error() const { return error_; }
    // Whether the failure is the runner's own (no memory or room to hold a block, its file or
    // FIFO) rather than the input's.
    bool ownFault() const { return ownFault_; }

    // A block's bytes for a writer of its own (--round-robin) instead of a descriptor: the
    // header (the same for every block), then the body, which points into the mapped input or
    // into own. Valid while the Blocks lives.
    struct Bytes {
        long number = 0;    // from 1
        int64_t offset = 0; // of the body in the input
        std::string_view header;
        std::string own;
        const char *mapped = nullptr; // the body in the mapped input, else own holds it
        size_t length = 0;
        std::string_view body() const {
            return mapped != nullptr ? std::string_view(mapped, length) : std::string_view(own);
        }
        size_t size() const { return header.size() + body().size(); }
    };
    // The next block as bytes, in place of next(); the results as next()'s. Only one of the two
    // is used in a run.
    Got take(Bytes &bytes, int &waitFd);
    // Bytes of the input cut into blocks so far (the header included): where the next block
    // begins.
    int64_t position() const { return static_cast<int64_t>(position_); }

  private:
    struct Block {
        int fd = -1;        // what the block is read from: its memory file, or the input file
        bool owned = false; // fd holds the header and the block alone, and is the block's
        int64_t offset = 0; // where in fd the block begins (after the header)
        int64_t length = 0; // the block's bytes (as delivered, after --rrs)
        std::string path;   // with --cat or --fifo
    };
    Got find(size_t &length, int &waitFd);
    Got cut(Block &block, std::string &identity, int &waitFd);
    bool fillStream(int &waitFd, bool &ready);
    bool storeStream(size_t length, Block &block);
    bool makeNamed(Block &block);
    void release(Block &block);

    PipeOptions options_;
    RecordCutter cutter_;
    int fd_ = -1;
    std::string name_;
    bool file_ = false; // --pipe-part: fd_ is the file, blocks are its ranges
    // The stream's bytes not yet in a block.
    std::unique_ptr<char[]> buffer_;
    size_t capacity_ = 0;
    size_t start_ = 0;
    size_t end_ = 0;
    bool ended_ = false;
    // The mapped file of --pipe-part, cut where it stands.
    const char *map_ = nullptr;
    size_t mapLength_ = 0;
    size_t base_ = 0;     // where in the mapped file the input begins
    size_t position_ = 0; // where in the input the next block begins
    std::string_view view() const {
        return {map_ + base_ + position_, mapLength_ - base_ - position_};
    }
    std::string header_;
    bool haveHeader_ = false;
    std::string folder_; // of --cat and --fifo files
    long count_ = 0;     // blocks cut
    std::map<long, Block> blocks_;
    Block ahead_; // cut by prepare(), not yet handed out
    std::string aheadIdentity_;
    bool haveAhead_ = false;
    std::string error_;
    bool ownFault_ = false;
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_BLOCKS_H
