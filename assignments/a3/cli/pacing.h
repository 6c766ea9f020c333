// The front end's pacing of starts: how many commands may run at once (-j N, N%, +N, -N, 0 or a
// FILE read again as commands end), how long at least between two starts (--delay), and whether
// the machine has room for one more (--load, --memfree), at what niceness commands run (--nice).
// The dispatcher asks before every start; waiting for room is a wait the library makes (a
// deadline or a descriptor), never a loop. Nothing here is installed.
#ifndef FANRUN_CLI_PACING_H
#define FANRUN_CLI_PACING_H

#include "fanrun.h"

#include <cstdint>
#include <string>

namespace fanrun_cli {

// The form -j was given in.
struct JobsForm {
    int count = 0;              // resolved: N, N% or +N/-N of the processors; 0: not given
    bool machine = false;       // -j 0: as many as the process and descriptor limits allow
    const char *file = nullptr; // -j FILE: the count is read from FILE
};

// The form of -j TEXT; false (message set) for a text that is no count and names no file.
bool parseJobsForm(const char *text, JobsForm &form, std::string &message);

// A count as -j and a -j FILE take it: N, N%, +N or -N of the online processors (at least 1);
// zeroAllowed takes 0 as itself. -1 for text that is none.
long jobsCount(const std::string &text, bool zeroAllowed);

// The most commands the machine allows at once (at least 1); why says which limit bounds it.
int machineJobs(std::string &why);

// What bounds the starts besides the count: --delay, --load, --memfree.
struct Room {
    double delay = 0;      // seconds between two starts at least; 0: none
    double load = 0;       // start only while the one-minute load average is below; 0: none
    long long memFree = 0; // bytes available at least to start; 0: none
    bool niced = false;    // --nice given
    int niceness = 0;      // --nice N
};

// --load MAX: a number (fractions allowed) or N% of the online processors; -1 for none.
double parseLoad(const char *text);
// --memfree SIZE: bytes, or with k, M, G or T (powers of 1024); -1 for none.
long long parseSize(const char *text);

// The one-minute load average (from $FANRUN_LOADAVG, else /proc/loadavg); -1 when unreadable.
double loadAverage();
// MemAvailable in bytes (from $FANRUN_MEMINFO, else /proc/meminfo); -1 when unreadable.
long long memoryAvailable();

// Asked before every start of a run: whether one more command may start now.
class Pacer {
  public:
    Pacer() = default;
    ~Pacer();
    Pacer(const Pacer &) = delete;
    Pacer &operator=(const Pacer &) = delete;

    // For a run with count fixed, or read from form.file; false with message when the file
    // cannot be read or holds no count, or the niceness cannot be set.
    bool open(const JobsForm &form, int count, const Room &room, std::string &message);
    // The bound the library is given: the feed decides below it. With any pacing one above the
    // count, so that the library asks (and the feed can check the room) while count run.
    int libraryBound() const;
    // Whether one more command may start while running run; otherwise FANRUN_NEXT_WAIT's fields
    // of command say what to wait for.
    bool mayStart(int running, FANRUN_COMMAND *command);
    // A command has started (for --delay).
    void started();
    // With --memfree: less than half of it is available, and a running command should give way.
    bool memoryShort() const;
    // --memfree was given: running commands may have to give way.
    bool givesWay() const { return room_.memFree > 0; }
    // The CLOCK_MONOTONIC time to look at the room again while commands run.
    int64_t nextLook() const;
    // The count in force (with -j FILE the one last read).
    int count() const { return count_; }

  private:
    void readFile();

    JobsForm form_;
    Room room_;
    int count_ = 1;
    int bound_ = 1;       // the most the file may ask for: the machine's limit
    int watch_ = -1;      // inotify descriptor on the file's folder, -1: none
    std::string badText_; // what the file held when last it held no count
    int64_t lastStart_ = 0;
    bool paced_ = false; // anything bounds the starts beside a fixed count
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_PACING_H
