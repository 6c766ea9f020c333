// The front end's stop rules: when a run stops starting commands (--halt and its full form), how
// long a command may run when --timeout is a share of the median runtime, and the signals that
// end a command (--termseq). The dispatcher counts the ends and asks here; nothing is installed.
#ifndef FANRUN_CLI_HALTING_H
#define FANRUN_CLI_HALTING_H

#include "fanrun.h"

#include <functional>
#include <queue>
#include <string>
#include <vector>

namespace fanrun_cli {

// --halt WHEN,WHAT=N: after N (or N% of the run's) commands whose last attempt failed,
// succeeded, or ended either way, halt soon or now. Plain soon and now are fail=1.
struct HaltRule {
    enum class Counts { failed, succeeded, done };
    int how = FANRUN_HALT_NEVER;
    Counts counts = Counts::failed;
    long number = 1;      // a count from 1, or a percentage from 1 to 100
    bool percent = false; // number is a share of the commands of the run known so far
};

// The rule of a --halt value; false for one that describes none (message says why).
bool parseHalt(const char *text, HaltRule &rule, std::string &message);

// What the ends so far call for under rule: FANRUN_HALT_NEVER, or the rule's halting. known is the
// number of commands of the run known so far (started, and waiting to start).
int haltFor(const HaltRule &rule, long failed, long succeeded, long known);

// The signals and the waits in milliseconds between them of a --termseq value, SIG,MS,SIG,...
// (names with or without SIG, or numbers); false for one that describes none.
bool parseTermSequence(const char *text, std::vector<int> &signals, std::vector<int> &waits,
                       std::string &message);

// The median of the runtimes added so far, kept in two heaps: each addition costs a logarithm of
// the count, and the median is at hand.
class Median {
  public:
    void add(double seconds);
    bool empty() const { return lower_.empty(); }
    double value() const; // 0 while empty

  private:
    std::priority_queue<double> lower_; // the smaller half, its top the largest
    std::priority_queue<double, std::vector<double>, std::greater<>> upper_;
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_HALTING_H
