// The results sink (--results): each command's output and outcome kept by its values, so that a
// sweep's output is found by its parameters. A folder target keeps DIR/NAME1/VALUE1/NAME2/VALUE2/
// .../{stdout,stderr,seq}; a target ending in .csv, .tsv or .json gets one record per command.
// Private to the program; nothing here is installed.
//
// The seam: the sink takes a command's values as a list, each with the name of the source it came
// from. Without names the folders are numbered by source, 1, 2, ...; values that come from one
// source (-n N takes N arguments from the one input) all carry that source's name, so that
// `-n 2` keeps DIR/1/a/1/b. A front end with several sources or header names hands their names in
// CommandValues::names; nothing else changes.
#ifndef FANRUN_CLI_RESULTS_H
#define FANRUN_CLI_RESULTS_H

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace fanrun_cli {

// The values of one command, in order, and their names.
struct CommandValues {
    std::vector<std::string_view> values;
    // Empty: value i is named i + 1. Otherwise one name per value (a source's number or its
    // header name), escaped for the folder as the values are.
    std::vector<std::string_view> names;
};

// What the sink records of a command besides its output.
struct CommandOutcome {
    long seq = 0;       // the command's number, from 1 (as {#} shows it)
    timespec start{};   // Unix time
    double seconds = 0; // its run time
    int exitCode = 0;   // 0..255, or -1 when a signal ended it
    int signal = 0;     // the signal that ended it, or 0
    std::string_view command;
    std::string_view host; // the host or node it ran on; empty: this machine (":")
};

// The folder name for value: the value itself where it can be one, otherwise escaped (see
// results.cpp and docs/fanrun.md); distinct values never share a name. A name longer than a
// folder name can be continues in further folders: the result may hold '/' between its parts.
std::string folderName(std::string_view value);

// The value of a folder name made by folderName (its parts joined with '/'); false for a name
// folderName never makes.
bool valueOfFolder(std::string_view name, std::string &value);

class Results {
  public:
    enum class Form { folder, csv, tsv, json };

    Results() = default;
    Results(const Results &) = delete;
    Results &operator=(const Results &) = delete;
    ~Results();

    // The form a target names: by its ending, else a folder.
    static Form formOf(std::string_view target);

    // Opens target before the run; valueColumns: the most values a command has (the CSV and TSV
    // header's V1..Vn; shorter records are padded with empty fields). resumed: a resumed run
    // keeps the records already there (a file is appended to, its header written once); otherwise
    // a file is emptied. False with error set when the target cannot be made or opened.
    bool open(const std::string &target, size_t valueColumns, bool resumed, std::string &error);

    // Keeps the command's output, read from out and err from their start (-1: none), whole or
    // not at all: false with error set when it could not be written, and then nothing of it is
    // left (a partial record is cut off, partial files removed).
    bool keep(const CommandValues &values, const CommandOutcome &outcome, int out, int err,
              std::string &error);

    // Closes the target; false with error set when its last writes failed.
    bool finish(std::string &error);

  private:
    bool keepInFolder(const CommandValues &values, const CommandOutcome &outcome, int out, int err,
                      std::string &error);
    bool keepRecord(const CommandValues &values, const CommandOutcome &outcome, int out, int err,
                    std::string &error);

    Form form_ = Form::folder;
    std::string target_;
    size_t valueColumns_ = 0;
    int fd_ = -1; // the record file
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_RESULTS_H
