// The front end's dispatcher: the run's source of commands for the library, which starts, waits
// for and reaps them. It takes the arguments as the source stage gives them, has the command
// builder make each command, starts retries when their delay has passed, gives each command its
// job slot, and hands starts and ends to the sinks (the output mode, the job log). Local starts
// only, so far; another dispatcher (remote hosts) would hand the library other commands from the
// same feed. Private to the program; nothing here is installed.
#ifndef FANRUN_CLI_DISPATCH_H
#define FANRUN_CLI_DISPATCH_H

#include "blocks.h"
#include "builder.h"
#include "fanrun.h"
#include "halting.h"
#include "joblog.h"
#include "options.h"
#include "output.h"
#include "pacing.h"
#include "quote.h"
#include "remote.h"
#include "results.h"
#include "roundrobin.h"
#include "slurm.h"
#include "source.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace fanrun_cli {

// The arguments of one command: one, or up to -n of them, retried together.
struct Group {
    std::vector<Job> jobs;
    long sequence = 0;        // among the commands of the run, from 0; kept by its retries
    long lostConnections = 0; // its attempts whose host's connection failed (ssh exit 255)
    int avoidHost = -1;       // the host whose connection it lost last
    int pinHost = -1;         // --onall, --nonall: the one host it runs on
};

// A command of the run while it runs.
struct Running {
    Group group;
    timespec start{};   // Unix time, for the job log
    int64_t startNs{};  // monotonic
    int slot = 0;       // its job slot, {%}
    int host = -1;      // its host among feed.remote's (or node among feed.slurm's), or -1
    std::string marker; // with --slurm: the file its step makes once the command has ended
    int pid = 0;
    // Ended to give memory back (--memfree): it runs again, neither failed nor retried.
    bool givingWay = false;
    size_t endStep = 0;  // the next signal of the term sequence
    int64_t endNextNs{}; // when it is due
};

// A command's end whose output waits to be written: its end record waits with it.
struct Ended {
    std::vector<Job> jobs;
    timespec start{};
    double seconds = 0;
    int exitCode = 0;
    int signal = 0;
    std::string host; // the job log's host field; empty without hosts
};

// The arguments on their way into commands, for the run and the dry run alike.
struct Gathering {
    Arguments *arguments = nullptr;
    Job first; // read before the run, so that input that fails at once runs nothing
    bool haveFirst = false;
    bool inputEnded = false;
    Group pending;                     // arguments taken, too few yet for a command
    CommandBuilder *builder = nullptr; // with -n above 1: counts what pending takes of exec
    long groups = 0;                   // commands made from arguments so far
};

// What the runner asks for its next command, and hears of starts and ends: the run's source. It
// takes the arguments as they come, retries failed commands when their delay has passed, keeps
// the job log, and hands the commands' output to the output mode.
struct Feed {
    const Settings *settings = nullptr;
    const CommandTemplate *command = nullptr;
    const std::vector<DirectWord> *direct = nullptr; // empty: the command needs the shell
    Gathering *gathering = nullptr;
    Output *output = nullptr;
    fanrun_joblog::JobLog *log = nullptr;                 // null without --joblog
    Results *results = nullptr;                           // null without --results
    const std::vector<std::string> *valueNames = nullptr; // --header's names of a tuple's values
    std::multimap<int64_t, Group> retries;                // by when they are due
    Group staged;                                         // handed to the runner, not yet started
    int stagedSlot = 0;                                   // the job slot staged was made for
    RemoteRun *remote = nullptr; // null: every command runs on this machine
    int stagedHost = -1;         // the host staged goes to
    SlurmRun *slurm = nullptr;   // null: no steps of an allocation
    std::string stagedMarker;    // the marker of staged's step
    std::vector<bool> slotTaken; // by slot - 1: a running command has it
    Group deferred;              // taken, waiting for descriptors to start with
    bool haveDeferred = false;
    std::vector<std::string> words;    // the staged command's words without the shell
    std::vector<char *> argv;          // ... as handed to the runner
    std::map<int, Running> running;    // by record
    std::map<long, Ended> undelivered; // by sequence: ended, their output not yet written
    int handed = 0;                    // commands handed to the runner
    long lastFailures = 0;             // arguments whose last attempt failed
    long refused = 0;                  // arguments never started: exec would refuse them
    bool logFailed = false;
    std::string inputError;  // the input could not be read
    std::string runnerError; // the runner could not hold what a command reads
    std::string outputError;
    Blocks *blocks = nullptr; // --pipe, --pipe-part: commands take blocks instead of arguments
    int stagedInput = -1;     // the block's descriptor for the staged command, until it starts
    // --round-robin: blocks to a few long-lived commands instead, the K-th in job slot K and
    // known as "round-robin slot K" (blocks is then null).
    RoundRobin *roundRobin = nullptr;

    // --onall, --nonall: every command of the input once on every host.
    bool spreadDone = false;   // the input has been read and spread over the hosts
    std::vector<Group> spread; // commands pinned to their hosts, not yet started, by sequence

    // Pacing and stop rules.
    Pacer *pacer = nullptr;       // null: starts bounded by the library's count alone
    HaltRule haltRule;            // decided here, from the commands' last attempts
    long failedCommands = 0;      // commands whose last attempt failed
    long succeededCommands = 0;   // commands whose last attempt succeeded
    bool haltedOnSuccess = false; // a success rule halted the run: it succeeded
    Median runtimes;              // of the commands that succeeded, for --timeout N%
};

// Arguments known to the feed and not yet in a command.
long argumentsWaiting(const Feed &feed);

// Commands that the arguments known make, the last one perhaps with fewer.
int commandsOf(long arguments, int perCommand);

// The next command to start into group: a retry that is due, else the next arguments, as many as
// a command takes or the last ones of the input; FANRUN_NEXT_WAIT fills command's wait fields.
int nextGroup(Feed &feed, Group &group, FANRUN_COMMAND *command);

// The command for group, its replacement strings quoted for where they stand unless --raw;
// malloc'd. Started without the shell, its words go into words. NULL with message set when exec
// would refuse it.
char *commandFor(const Feed &feed, const Group &group, int slot, std::vector<std::string> &words,
                 std::string &message);

// The end records of commands whose output has now been written (see dispatch.cpp).
void logDeliveries(Feed &feed);

// What the results sink keeps of a command at its end (see results.h), as Output's keeper; said
// and false when it could not be kept. host: where it ran (empty: this machine). The keeper owns
// a copy of all it needs, so it may be called after group and event are gone (-k).
Output::Keeper resultsKeeper(const Feed &feed, const Group &group, const FANRUN_EVENT &event,
                             timespec start, double seconds, int exitCode, int signal,
                             std::string_view host = {});

// The library's source over feed (FANRUN_SOURCE's functions), for fanrunSetSource.
FANRUN_SOURCE sourceOf(Feed &feed);

} // namespace fanrun_cli

#endif // FANRUN_CLI_DISPATCH_H
