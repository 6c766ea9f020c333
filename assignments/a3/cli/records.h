// The record cutter of --pipe and --pipe-part: where a block of data ends, at the end of a record,
// given the block size and how records end and begin. It only looks at bytes it is handed and
// keeps no more than where it left off, so a stream and a mapped file are cut alike, and the cut
// does not depend on how the data arrived. Private to the program; nothing here is installed.
#ifndef FANRUN_CLI_RECORDS_H
#define FANRUN_CLI_RECORDS_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace fanrun_cli {

// How records are told apart and how many go into a block.
struct RecordRules {
    size_t block = size_t{1} << 20; // bytes a block holds at most, unless one record is larger
    std::string recend = "\n";      // text a record ends with
    std::string recstart;           // text a record begins with
    bool regexp = false;            // recend and recstart are extended regular expressions
    long records = 0;               // > 0: exactly this many records a block (-N); the size is
                                    // then no bound
    long lines = 1;                 // recends that make one record (-L)
};

class RecordCutter {
  public:
    // False, with error set, when the rules cannot cut (a regular expression that does not
    // compile, or a block of 0 bytes).
    bool configure(const RecordRules &rules, std::string &error);
    ~RecordCutter();
    RecordCutter();
    RecordCutter(const RecordCutter &) = delete;
    RecordCutter &operator=(const RecordCutter &) = delete;

    // The length of the block that starts at data's first byte: the last record boundary within
    // the block size, or (a record larger than the block) the first one after it, or with -N
    // the boundary after that many records. Where more data could move it, npos, unless ended
    // says no more comes: then the rest is the last block. data must start where the previous
    // cut ended (or at the start), and hold what the previous call was given for this block.
    // Never 0 for data that is not empty.
    size_t cut(std::string_view data, bool ended);

    // A block as cut with its records' separators removed (--rrs): the recstart that opens each
    // record and the recend that closes it.
    std::string strip(std::string_view block) const;

    // The length of the header at the start of data: with ':' its first line, else the
    // extended regular expression's match at the very start (. not matching a newline); npos
    // while more data could change it, 0 when there is none. False with error set when the
    // expression does not compile.
    static bool headerLength(std::string_view data, bool ended, const std::string &header,
                             size_t &length, std::string &error);

  private:
    struct Boundary {
        size_t start = 0;                   // of the separator's match
        size_t at = std::string_view::npos; // offset of the boundary, npos: none
        size_t recend = 0;                  // length of the recend before it
        size_t recstart = 0;                // length of the recstart after it
    };
    // The first boundary after from whose separators lie wholly within data (and, not ended,
    // could not grow with more data).
    Boundary nextBoundary(std::string_view data, size_t from, bool ended) const;
    size_t finish(size_t length);
    size_t fixedCut(std::string_view data, bool ended);
    size_t searchCut(std::string_view data, bool ended);

    RecordRules rules_;
    struct Expression;
    std::unique_ptr<Expression> expression_;
    std::string pattern_; // recend followed by recstart, the literal rules' whole separator
    // Progress within the block being cut, so that more data is not searched again.
    size_t scanned_ = 0;  // boundaries before this offset are counted
    size_t previous_ = 0; // the last boundary counted
    long found_ = 0;      // recends counted (towards lines) so far
    long records_ = 0;    // records counted so far
    size_t lastFit_ = 0;  // the last record boundary within the block size so far, 0: none
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_RECORDS_H
