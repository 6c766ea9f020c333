// The front end's several input sources: the operands after the command split into sources
// (::: words, :::: files, each -a FILE), and the product of their values that a run takes, one
// tuple per command. The first source streams through the source stage (source.h); the later
// ones are read whole before the run and held, so they should be small. Private to the program;
// nothing here is installed.
#ifndef FANRUN_CLI_SOURCES_H
#define FANRUN_CLI_SOURCES_H

#include "options.h"

#include <cstddef>
#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace fanrun_cli {

// One source as the command line names it.
struct SourceSpec {
    char **words = nullptr; // ::: WORD...: count of them
    size_t count = 0;
    const char *path = nullptr; // :::: FILE or -a FILE ("-": standard input); null for words
    bool linked = false;        // :::+ or ::::+: paired with the source before by position
};

// The operands after the options, split. Whichever comes first after the command's first word
// decides: a "--" keeps the words form and its arguments (a later ":::" is an argument); a ":::",
// ":::+", "::::" or "::::+" starts the sources (a later "--" is a value).
struct Operands {
    int commandWords = 1;
    bool sources = false;         // the run takes sources: ::: and its kin, or several -a
    std::vector<SourceSpec> list; // with sources: the -a files first, then the operands'
    char **given = nullptr;       // without: the arguments on the command line
    size_t givenCount = 0;
};

// Bad usage (an empty ::: or :::: without a file, :::+ first) ends the process.
Operands splitOperands(char **operands, int count, const std::vector<const char *> &argFiles);

// How the values of every source combine into the run's tuples, the last source varying fastest;
// linked sources (:::+) pair by position, as many as the shortest has, and with --link every
// source is linked, the shorter ones recycled as many times as the longest needs. The first
// source's values come from the source stage one at a time ("leads"); the held ones are here.
class Product {
  public:
    struct Settings {
        bool linkAll = false;            // --link
        const char *columns = nullptr;   // --colsep REGEX
        const char *trim = "n";          // --trim: n, l, r, lr or rl
        bool header = false;             // --header: the first value of each source names it
        const char *headerPattern = ":"; // --header REGEX: each such value must match it
    };

    // Reads every source but the first (and with linkAll the first as well: its values must be
    // known to recycle it). Bad usage (an unreadable file, a NUL byte, standard input named
    // twice) ends the process.
    Product(const std::vector<SourceSpec> &sources, const InputForm &form,
            const Settings &settings);

    // Whether the first source is held too: the run's leads are then numbers only.
    bool holdsAll() const { return holdsAll_; }
    // With holdsAll, how many leads there are.
    long leads() const { return leads_; }
    // Tuples a lead makes; -1 when the first source ends before this lead (a linked source is
    // shorter).
    long tuplesOf(long lead) const;
    // The k-th tuple of lead (its value, when the first streams) into values.
    void tuple(std::string_view leadValue, long lead, long k,
               std::vector<std::string> &values) const;
    // Splits a value into its columns (--colsep), each trimmed (--trim); one column without.
    void columnsOf(std::string_view value, std::vector<std::string> &columns) const;
    // With --header: the names of the tuple's values in order (the first source's, given to
    // nameFirst, then the held ones'); empty otherwise. A first value that --header's REGEX does
    // not match at its start (a newline after it) is bad usage and ends the process: a source
    // without its header line would lose a value to the names.
    // given: false when the first source is empty (it has no header to check).
    void nameFirst(std::string_view header, bool given = true);
    const std::vector<std::string> &names() const { return names_; }
    // Values a tuple holds at least (the first source's columns counted as one).
    size_t sourceCount() const { return sourceCount_; }

  private:
    struct Group {
        std::vector<std::vector<std::vector<std::string>>> sources; // entries, each its columns
        long length = 0;
    };

    Settings settings_;
    std::unique_ptr<std::regex> separator_;
    bool holdsAll_ = false;
    long leads_ = 0;
    long leadLimit_ = -1;       // with partners linked to the first: the shortest of them
    Group partners_;            // held sources linked to the first, by the lead's number
    std::vector<Group> groups_; // the rest, the last varying fastest
    long perLead_ = 1;
    std::vector<std::string> names_;
    std::vector<std::string> heldNames_;
    std::string firstSource_; // how messages name the first source
    void requireHeader(std::string_view value, const std::string &source) const;
    size_t sourceCount_ = 1;
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_SOURCES_H
