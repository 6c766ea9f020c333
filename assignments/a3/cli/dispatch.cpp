// The dispatcher: see dispatch.h. Every function the library calls runs in the runner's flow with
// the report signals held back, and catches what it throws: no exception crosses into the library.

#include "dispatch.h"

#include "exec.h"
#include "transfer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <unistd.h>

namespace fanrun_cli {

static int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

static std::vector<std::string_view> argumentsOf(const Group &group) {
    std::vector<std::string_view> arguments;
    arguments.reserve(group.jobs.size());
    for (const Job &job : group.jobs) {
        arguments.emplace_back(job.argument);
    }
    return arguments;
}

// The command for group, its replacement strings quoted for where they stand unless --raw;
// malloc'd. Started without the shell, its words go into words. NULL with message set when exec
// would refuse it.
char *commandFor(const Feed &feed, const Group &group, int slot, std::vector<std::string> &words,
                 std::string &message) {
    const CommandTemplate &command = *feed.command;
    const Job &job = group.jobs.front();
    static const std::vector<std::string> none;
    // -N0: the command takes nothing of its argument. A block's command names its file or FIFO,
    // if any, where an argument would stand.
    const bool nothing = feed.settings->noArguments;
    const bool blockInput = feed.blocks != nullptr || feed.roundRobin != nullptr;
    const std::string blockName =
        feed.blocks != nullptr ? feed.blocks->name(group.sequence) : std::string();
    const std::vector<std::string_view> arguments =
        blockInput ? std::vector<std::string_view>{blockName} : argumentsOf(group);
    Replacements values{blockInput ? arguments.front()
                        : nothing  ? std::string_view()
                                   : std::string_view(job.argument),
                        job.position + 1, slot,
                        nothing                            ? &none
                        : blockInput || job.values.empty() ? nullptr
                                                           : &job.values};
    values.repeatWord = feed.settings->wordCopies;
    std::string text;
    if (feed.settings->maxArgs > 1) {
        text = expandSeveral(command, arguments, values);
    } else {
        text =
            command.raw ? expandRaw(command.text, values) : expandTemplate(command.pieces, values);
    }
    const auto position = static_cast<size_t>(job.position) + 1;
    bool refused = false;
    if (feed.direct->empty()) {
        refused = commandTooLong(text.size(), position, message);
    } else {
        std::vector<std::string_view> given = arguments;
        if (values.values != nullptr) {
            given.assign(values.values->begin(), values.values->end());
        }
        expandWords(*feed.direct, given, values, words);
        refused = wordsTooLong(words, position, message);
    }
    if (refused) {
        return nullptr;
    }
    // The command is complete already: one copy into storage the run can free.
    char *result = static_cast<char *>(malloc(text.size() + 1));
    if (result == nullptr) {
        throw std::bad_alloc();
    }
    memcpy(result, text.c_str(), text.size() + 1);
    return result;
}

// Arguments known to the feed and not yet in a command.
long argumentsWaiting(const Feed &feed) {
    return static_cast<long>(feed.gathering->pending.jobs.size()) +
           (feed.gathering->haveFirst ? 1 : 0) + feed.gathering->arguments->waiting();
}

// Commands that the arguments known make, the last one perhaps with fewer.
int commandsOf(long arguments, int perCommand) {
    return static_cast<int>(std::min<long>((arguments + perCommand - 1) / perCommand, INT_MAX / 2));
}

// The command after retries when the input is cut into blocks: the next block, one a command.
static int nextBlock(Feed &feed, Group &group, FANRUN_COMMAND *command) {
    Gathering &gathering = *feed.gathering;
    if (!gathering.inputEnded) {
        Job job;
        int waitFd = -1;
        switch (feed.blocks->next(gathering.groups, job.argument, waitFd)) {
        case Blocks::Got::block:
            job.position = gathering.groups;
            job.sequence = gathering.groups;
            job.occurrence = 1; // every block's identity is its own
            group.jobs.push_back(std::move(job));
            group.sequence = gathering.groups++;
            return FANRUN_NEXT_COMMAND;
        case Blocks::Got::wait:
            command->waitFd = waitFd;
            if (!feed.retries.empty()) {
                command->waitUntilNs = feed.retries.begin()->first;
            }
            return FANRUN_NEXT_WAIT;
        case Blocks::Got::failed:
            (feed.blocks->ownFault() ? feed.runnerError : feed.inputError) = feed.blocks->error();
            return FANRUN_NEXT_END;
        case Blocks::Got::end:
            gathering.inputEnded = true;
            break;
        }
    }
    if (!feed.retries.empty()) {
        command->waitUntilNs = feed.retries.begin()->first;
        return FANRUN_NEXT_WAIT;
    }
    const bool mayRetry = feed.settings->retries > 0 && !feed.running.empty();
    return mayRetry ? FANRUN_NEXT_WAIT : FANRUN_NEXT_END;
}

// With --round-robin: the next long-lived command, once the writer has cut the block it starts
// with.
static int nextRoundRobin(Feed &feed, Group &group, FANRUN_COMMAND *command) {
    Gathering &gathering = *feed.gathering;
    int waitFd = -1;
    switch (feed.roundRobin->offer(waitFd)) {
    case RoundRobin::Offer::command: {
        Job job;
        job.argument = "round-robin slot " + std::to_string(gathering.groups + 1);
        job.position = gathering.groups;
        job.sequence = gathering.groups;
        job.occurrence = 1;
        group.jobs.push_back(std::move(job));
        group.sequence = gathering.groups++;
        return FANRUN_NEXT_COMMAND;
    }
    case RoundRobin::Offer::wait:
        command->waitFd = waitFd;
        return FANRUN_NEXT_WAIT;
    case RoundRobin::Offer::end:
        break;
    }
    feed.inputError = feed.roundRobin->inputError();
    return FANRUN_NEXT_END;
}

// The next command to start into group: a retry that is due, else the next arguments, as many as
// a command takes or the last ones of the input; FANRUN_NEXT_WAIT fills command's wait fields.
int nextGroup(Feed &feed, Group &group, FANRUN_COMMAND *command) {
    if (feed.haveDeferred) {
        group = std::move(feed.deferred);
        feed.haveDeferred = false;
        return FANRUN_NEXT_COMMAND;
    }
    const int64_t now = monotonicNs();
    if (!feed.retries.empty() && feed.retries.begin()->first <= now) {
        group = std::move(feed.retries.begin()->second);
        feed.retries.erase(feed.retries.begin());
        return FANRUN_NEXT_COMMAND;
    }
    if (feed.roundRobin != nullptr) {
        return nextRoundRobin(feed, group, command);
    }
    if (feed.blocks != nullptr) {
        return nextBlock(feed, group, command);
    }
    const auto perCommand = static_cast<size_t>(feed.settings->maxArgs);
    std::vector<Job> &pending = feed.gathering->pending.jobs;
    bool full = false; // exec has no room for one more argument
    while (!full && pending.size() < perCommand) {
        Job job;
        if (feed.gathering->haveFirst) {
            job = std::move(feed.gathering->first);
            feed.gathering->haveFirst = false;
        } else if (feed.gathering->inputEnded) {
            break;
        } else {
            const ArgumentReader::Got got = feed.gathering->arguments->next(job, false);
            if (got == ArgumentReader::Got::wait) {
                command->waitFd = feed.gathering->arguments->fd();
                break;
            }
            if (got == ArgumentReader::Got::failed) {
                feed.inputError = feed.gathering->arguments->error();
                return FANRUN_NEXT_END;
            }
            if (got == ArgumentReader::Got::end) {
                feed.gathering->inputEnded = true;
                break;
            }
        }
        if (feed.gathering->builder != nullptr &&
            feed.gathering->builder->append(job.argument) == CommandBuilder::Fit::full) {
            // The next command begins with it.
            feed.gathering->first = std::move(job);
            feed.gathering->haveFirst = true;
            full = true;
            break;
        }
        pending.push_back(std::move(job));
    }
    if (pending.size() == perCommand || full || (feed.gathering->inputEnded && !pending.empty())) {
        group.jobs = std::move(pending);
        pending.clear();
        group.sequence = feed.gathering->groups++;
        if (feed.gathering->builder != nullptr) {
            feed.gathering->builder->clear();
        }
        return FANRUN_NEXT_COMMAND;
    }
    if (!feed.retries.empty()) {
        command->waitUntilNs = feed.retries.begin()->first;
        return FANRUN_NEXT_WAIT;
    }
    // A running command may still fail, or lose its host's connection, and come back as a retry;
    // the run asks again when one has ended, and ends when none runs.
    const bool mayRetry =
        (feed.settings->retries > 0 || feed.remote != nullptr || feed.slurm != nullptr) &&
        !feed.running.empty();
    return feed.gathering->inputEnded && !mayRetry ? FANRUN_NEXT_END : FANRUN_NEXT_WAIT;
}

// The hosts of the run: the remote hosts, or the allocation's nodes.
static Hosts &hostsOf(const Feed &feed) {
    return feed.slurm != nullptr ? feed.slurm->nodes : feed.remote->hosts;
}

// With --onall and --nonall: the input read whole (asking again while it comes), then every
// command of it once on every host that can be used, host after host, their sequence in that
// order; then the first of them whose host has room, retries as nextGroup gives them, a wait
// while every host with commands left is full.
static int nextSpread(Feed &feed, Group &group, FANRUN_COMMAND *command) {
    if (!feed.spreadDone) {
        std::vector<Group> read;
        for (;;) {
            Group next;
            const int answer = nextGroup(feed, next, command);
            if (answer == FANRUN_NEXT_COMMAND) {
                read.push_back(std::move(next));
                continue;
            }
            if (answer == FANRUN_NEXT_WAIT && !feed.gathering->inputEnded) {
                feed.spread.insert(feed.spread.end(), std::make_move_iterator(read.begin()),
                                   std::make_move_iterator(read.end()));
                return answer; // the groups read so far wait in spread, unpinned
            }
            break;
        }
        read.insert(read.begin(), std::make_move_iterator(feed.spread.begin()),
                    std::make_move_iterator(feed.spread.end()));
        feed.spread.clear();
        const std::vector<Host> &hosts = hostsOf(feed).all();
        long sequence = 0;
        for (size_t host = 0; host < hosts.size(); ++host) {
            if (hosts[host].leftOut || !hosts[host].listed) {
                continue;
            }
            for (const Group &each : read) {
                Group pinned = each;
                pinned.sequence = sequence++;
                pinned.pinHost = static_cast<int>(host);
                feed.spread.push_back(std::move(pinned));
            }
        }
        feed.gathering->groups = sequence;
        feed.spreadDone = true;
    }
    const int64_t now = monotonicNs();
    if (feed.haveDeferred || (!feed.retries.empty() && feed.retries.begin()->first <= now) ||
        feed.spread.empty()) {
        return nextGroup(feed, group, command);
    }
    for (auto it = feed.spread.begin(); it != feed.spread.end(); ++it) {
        if (hostsOf(feed).all()[static_cast<size_t>(it->pinHost)].leftOut ||
            hostsOf(feed).takes(it->pinHost)) {
            group = std::move(*it);
            feed.spread.erase(it);
            return FANRUN_NEXT_COMMAND;
        }
    }
    if (!feed.retries.empty()) {
        command->waitUntilNs = feed.retries.begin()->first;
    }
    return FANRUN_NEXT_WAIT; // until a command ends and gives its host room
}

// The arguments of a command joined by a space, as --tag shows them.
static std::string tagOf(const Group &group) {
    std::string tag;
    for (const Job &job : group.jobs) {
        if (&job != &group.jobs.front()) {
            tag += ' ';
        }
        tag += job.argument;
    }
    return tag;
}

// The argument vector of the command's words without the shell (feed.words), kept in feed until
// the runner asks again.
static void stageWords(Feed &feed, FANRUN_COMMAND *command) {
    feed.argv.clear();
    for (std::string &word : feed.words) {
        feed.argv.push_back(word.data());
    }
    feed.argv.push_back(nullptr);
    command->argv = feed.argv.data();
}

// The host field of the job log for a command on host (-1: none).
static std::string_view hostName(const Feed &feed, int host) {
    return host < 0 ? std::string_view{}
                    : std::string_view(hostsOf(feed).all()[static_cast<size_t>(host)].login.host);
}

// Appends the end record of every job; false stops the run from starting commands.
static void recordEnds(Feed &feed, const std::vector<Job> &jobs, timespec start, double seconds,
                       int exitCode, int signum, std::string_view host) {
    for (const Job &job : jobs) {
        if (feed.log != nullptr &&
            !feed.log->recordEnd(job.key.empty() ? job.argument : job.key, job.occurrence,
                                 job.attempt, start, seconds, exitCode, signum, host)) {
            feed.logFailed = true;
        }
    }
}

// The end records of commands whose output has now been written. Output that did not reach the
// runner's streams makes its command's end a failure by SIGPIPE (a command that failed keeps its
// own failure), so that resuming runs it again.
void logDeliveries(Feed &feed) {
    for (const Output::Delivery &delivery : feed.output->takeDeliveries()) {
        auto found = feed.undelivered.find(delivery.sequence);
        if (found == feed.undelivered.end()) {
            continue;
        }
        Ended &ended = found->second;
        if (!delivery.kept && ended.exitCode == 0 && ended.signal == 0) {
            // Its results could not be kept, found only now under -k: a failure after all.
            ended.exitCode = exitFailed;
            feed.lastFailures += static_cast<long>(ended.jobs.size());
            ++feed.failedCommands;
            --feed.succeededCommands;
        }
        const bool succeeded = ended.exitCode == 0 && ended.signal == 0;
        if (delivery.delivered || !succeeded) {
            recordEnds(feed, ended.jobs, ended.start, ended.seconds, ended.exitCode, ended.signal,
                       ended.host);
        } else {
            recordEnds(feed, ended.jobs, ended.start, ended.seconds, -1, SIGPIPE, ended.host);
        }
        feed.undelivered.erase(found);
    }
}

// The job slot of the next command: the lowest one no running command has. The runner asks for a
// command only while fewer than -j run, so it is never above -j.
static int freeSlot(Feed &feed) {
    const auto free = std::find(feed.slotTaken.begin(), feed.slotTaken.end(), false);
    if (free == feed.slotTaken.end()) {
        feed.slotTaken.push_back(false);
        return static_cast<int>(feed.slotTaken.size());
    }
    return static_cast<int>(free - feed.slotTaken.begin()) + 1;
}

static bool onRemoteHost(const Feed &feed, int host) {
    return host >= 0 && !hostsOf(feed).all()[static_cast<size_t>(host)].login.local();
}

// The host group runs on: false when none can take it now (group waits, deferred; the runner asks
// again when a command ends, or soon when the login file may bring hosts), or never (outputError
// set: every host was left out).
static bool chooseHost(Feed &feed, Group &group, FANRUN_COMMAND *command, int &host) {
    const bool file = feed.remote != nullptr && feed.remote->file.given();
    if (feed.remote != nullptr) {
        feed.remote->refresh();
    }
    Hosts &hosts = hostsOf(feed);
    host = group.pinHost < 0            ? hosts.choose(group.avoidHost)
           : hosts.takes(group.pinHost) ? group.pinHost
                                        : -1;
    if (host >= 0) {
        return true;
    }
    feed.deferred = std::move(group);
    feed.haveDeferred = true;
    if (hosts.usable() == 0 && !file && feed.running.empty()) {
        feed.outputError = feed.slurm != nullptr
                               ? "every node was left out; no further command was started"
                               : "every host was left out; no further command was started";
        return false;
    }
    if (file || feed.running.empty()) {
        constexpr int64_t pollNs = 250000000;
        command->waitUntilNs = monotonicNs() + pollNs;
    }
    return false;
}

// Sends signum to the command's process group, or to it alone when it has none (--tty).
static void signalRunning(const Running &running, int signum) {
    if (kill(-running.pid, signum) != 0) {
        kill(running.pid, signum);
    }
}

// With --memfree: below half of it the youngest command is ended, with the term sequence, to run
// again later; one at a time, so that the memory it gives back is seen before another goes.
// Returns when to look again for the signals still due, 0 for none.
static int64_t giveWay(Feed &feed) {
    static const std::vector<int> defaultSignals = {SIGTERM, SIGKILL};
    static const std::vector<int> defaultWaits = {2000};
    const bool given = !feed.settings->termSignals.empty();
    const std::vector<int> &signals = given ? feed.settings->termSignals : defaultSignals;
    const std::vector<int> &waits = given ? feed.settings->termWaits : defaultWaits;
    const int64_t now = monotonicNs();
    int64_t due = 0;
    Running *youngest = nullptr;
    int youngestIndex = 0;
    bool ending = false;
    for (auto &[index, running] : feed.running) {
        if (!running.givingWay) {
            if (youngest == nullptr || running.startNs > youngest->startNs) {
                youngest = &running;
                youngestIndex = index;
            }
            continue;
        }
        ending = true;
        if (running.endStep < signals.size() && running.endNextNs <= now) {
            signalRunning(running, signals[running.endStep]);
            running.endNextNs = running.endStep < waits.size()
                                    ? now + int64_t{waits[running.endStep]} * 1000000
                                    : 0;
            ++running.endStep;
        }
        if (running.endStep < signals.size()) {
            due = due == 0 ? running.endNextNs : std::min(due, running.endNextNs);
        }
    }
    if (ending || youngest == nullptr || !feed.pacer->memoryShort()) {
        return due;
    }
    const char *text = processControl.process[youngestIndex].command;
    fprintf(stderr,
            "fanrun: less than half of --memfree is available: ending the youngest command (pid "
            "%d) to run it again later: %s\n",
            youngest->pid, text != nullptr ? text : "");
    youngest->givingWay = true;
    signalRunning(*youngest, signals[0]);
    youngest->endStep = 1;
    youngest->endNextNs = waits.empty() ? 0 : now + int64_t{waits[0]} * 1000000;
    return signals.size() > 1 ? youngest->endNextNs : 0;
}

// The pacer's answer: true when a command may start; otherwise command's wait fields are set.
static bool roomToStart(Feed &feed, FANRUN_COMMAND *command) {
    if (feed.pacer == nullptr) {
        return true;
    }
    const int64_t due = feed.pacer->givesWay() ? giveWay(feed) : 0;
    if (feed.pacer->mayStart(static_cast<int>(feed.running.size()), command)) {
        return true;
    }
    if (due != 0) {
        command->waitUntilNs =
            command->waitUntilNs == 0 ? due : std::min<long long>(command->waitUntilNs, due);
    }
    return false;
}

// The routes of files (templates with replacement strings) for group's arguments, each name
// once, appended to routes. False, with message, for a name that cannot be moved.
static bool routesFor(const Group &group, int slot, const std::vector<const char *> &files,
                      std::vector<FileRoute> &routes, std::string &message) {
    for (const char *file : files) {
        for (const Job &job : group.jobs) {
            const Replacements values{job.argument, job.position + 1, slot,
                                      job.values.empty() ? nullptr : &job.values};
            FileRoute route;
            if (!routeOf(expandRaw(file, values), route, message)) {
                return false;
            }
            if (std::find(routes.begin(), routes.end(), route) == routes.end()) {
                routes.push_back(std::move(route));
            }
        }
    }
    return true;
}

// This machine's working directory, for --workdir .; empty when it cannot be told.
static std::string workingDirectory() {
    std::string path(4096, '\0');
    while (getcwd(path.data(), path.size()) == nullptr) {
        if (errno != ERANGE || path.size() > (size_t{1} << 20)) {
            return {};
        }
        path.resize(path.size() * 2);
    }
    path.resize(strlen(path.c_str()));
    return path;
}

// A name no other command of any run has: this machine's name, the runner's pid, a count.
static std::string uniqueName() {
    static long count = 0;
    char name[256] = "localhost";
    gethostname(name, sizeof name - 1);
    name[sizeof name - 1] = '\0';
    for (char *c = name; *c != '\0'; ++c) {
        if (*c == '/') {
            *c = '_';
        }
    }
    return std::string(name) + "-" + std::to_string(getpid()) + "-" + std::to_string(++count);
}

// On a remote host the command becomes ssh's words (into feed.words), the command or its words
// quoted once more for the remote shell, in its working directory with its variables; with files
// to move (or a fresh working directory) the words of bash running the transfer script around
// it. text stays what the reports show. False, with message, when exec would refuse them or a
// file cannot be moved.
static bool wrapForHost(Feed &feed, int host, const Group &group, int slot, const char *text,
                        std::string &message) {
    const RemoteFiles &files = feed.settings->files;
    if (!onRemoteHost(feed, host)) {
        // On this machine the files are there already; only --workdir applies.
        const bool fresh = freshWorkdir(files.workdir);
        const std::string workdir =
            localWorkdir(files.workdir, getenv("HOME"), fresh ? uniqueName() : std::string());
        if (!workdir.empty()) {
            const std::string code =
                feed.direct->empty() ? std::string(text) : wordsCode(feed.words);
            feed.words = {"/bin/bash", "-c", localWorkdirScript(workdir, fresh, code)};
            return !wordsTooLong(feed.words, static_cast<size_t>(group.jobs.front().position) + 1,
                                 message);
        }
        return true;
    }
    if (feed.slurm != nullptr) {
        // The step runs the command as it would start here: bash with the text, or its words.
        SlurmRun &slurm = *feed.slurm;
        std::vector<std::string> local = feed.direct->empty()
                                             ? std::vector<std::string>{"/bin/bash", "-c", text}
                                             : std::move(feed.words);
        feed.stagedMarker = slurm.nextMarker();
        feed.words = stepWords(slurm.nodes.all()[static_cast<size_t>(host)].login.host,
                               slurm.cpusPerCommand, feed.stagedMarker, local);
        return !wordsTooLong(feed.words, static_cast<size_t>(group.jobs.front().position) + 1,
                             message);
    }
    RemoteRun &remote = *feed.remote;
    const Host &target = remote.hosts.all()[static_cast<size_t>(host)];
    const std::string code = feed.direct->empty() ? std::string(text) : wordsCode(feed.words);
    HostFiles moves;
    moves.host = target.login.host;
    moves.fresh = freshWorkdir(files.workdir);
    const std::string here = workingDirectory();
    if (here.empty() && files.workdir != nullptr && strcmp(files.workdir, ".") == 0) {
        message = std::string("--workdir .: this machine's working directory cannot be told: ") +
                  strerror(errno);
        return false;
    }
    moves.workdir = remoteWorkdir(files.workdir, here, getenv("HOME"),
                                  moves.fresh ? uniqueName() : std::string());
    if (!target.basefilesSent) {
        moves.sends = remote.basefiles; // a host that joined: its first commands bring them
    }
    if (!routesFor(group, slot, files.transfers, moves.sends, message) ||
        !routesFor(group, slot, files.returns, moves.returns, message)) {
        return false;
    }
    if (files.cleanup) {
        moves.removals = moves.sends;
        for (const FileRoute &route : moves.returns) {
            if (std::find(moves.removals.begin(), moves.removals.end(), route) ==
                moves.removals.end()) {
                moves.removals.push_back(route);
            }
        }
        if (!target.basefilesSent) {
            // The base files stay until the end of the run.
            moves.removals.erase(moves.removals.begin(),
                                 moves.removals.begin() +
                                     static_cast<long>(remote.basefiles.size()));
        }
    }
    const std::string wrapped =
        inWorkdir(moves.workdir, remoteShellCommand(envCode(files.env) + code));
    feed.words = sshWords(remote.ssh, remote.connections.dir(), target.login.host, wrapped);
    if (!moves.sends.empty() || !moves.returns.empty() || !moves.removals.empty() || moves.fresh) {
        feed.words.pop_back();
        moves.ssh = std::move(feed.words);
        feed.words = {"/bin/bash", "-c", transferScript(moves, wrapped)};
    }
    return !wordsTooLong(feed.words, static_cast<size_t>(group.jobs.front().position) + 1, message);
}

static int feedNext(void *context, FANRUN_COMMAND *command) {
    Feed &feed = *static_cast<Feed *>(context);
    try {
        if (feed.output->lost()) {
            return FANRUN_NEXT_END; // what a further command writes would be lost too
        }
        if (feed.output->backlogFull()) {
            return FANRUN_NEXT_WAIT; // until a command ends
        }
        if (feed.logFailed) {
            return FANRUN_NEXT_END;
        }
        if (!roomToStart(feed, command)) {
            // The input may have ended with nothing left to start: the run ends as before.
            if (feed.running.empty() && !feed.haveDeferred && feed.retries.empty() &&
                feed.gathering->inputEnded && !feed.gathering->haveFirst &&
                feed.gathering->pending.jobs.empty()) {
                return FANRUN_NEXT_END;
            }
            return FANRUN_NEXT_WAIT;
        }
        Group group;
        int slot = freeSlot(feed);
        int host = -1;
        for (;;) {
            const bool spreads = feed.settings->onall || feed.settings->nonall;
            const int answer =
                spreads ? nextSpread(feed, group, command) : nextGroup(feed, group, command);
            if (answer == FANRUN_NEXT_END && feed.pacer != nullptr && feed.pacer->givesWay() &&
                !feed.running.empty()) {
                // A running command may still give way to memory and come back: the run goes on
                // looking at the memory until none runs.
                command->waitUntilNs = feed.pacer->nextLook();
                return FANRUN_NEXT_WAIT;
            }
            if (answer != FANRUN_NEXT_COMMAND) {
                return answer;
            }
            if (feed.roundRobin != nullptr) {
                // A long-lived command keeps its slot, by when it started, even after another
                // has ended early.
                slot = static_cast<int>(group.sequence) + 1;
                if (feed.slotTaken.size() < static_cast<size_t>(slot)) {
                    feed.slotTaken.resize(static_cast<size_t>(slot), false);
                }
            }
            std::string tooLong;
            if (group.pinHost >= 0 &&
                hostsOf(feed).all()[static_cast<size_t>(group.pinHost)].leftOut) {
                // Its one host has gone: it fails, said, and the others go on.
                tooLong = "host " +
                          hostsOf(feed).all()[static_cast<size_t>(group.pinHost)].login.host +
                          " was left out: command " + std::to_string(group.sequence + 1) +
                          " did not run there";
                command->command = nullptr;
            } else if ((feed.remote != nullptr || feed.slurm != nullptr) &&
                       !chooseHost(feed, group, command, host)) {
                return feed.outputError.empty() ? FANRUN_NEXT_WAIT : FANRUN_NEXT_END;
            } else {
                command->command = commandFor(feed, group, slot, feed.words, tooLong);
            }
            if (command->command != nullptr &&
                !wrapForHost(feed, host, group, slot, command->command, tooLong)) {
                free(command->command);
                command->command = nullptr;
            }
            if (command->command != nullptr) {
                break;
            }
            // Said before it starts, and counted as failed; its turn in the output passes and the
            // rest of the batch goes on.
            fprintf(stderr, "fanrun: %s\n", tooLong.c_str());
            feed.lastFailures += static_cast<long>(group.jobs.size());
            feed.refused += static_cast<long>(group.jobs.size());
            feed.output->skip(group.sequence);
            if (feed.roundRobin != nullptr) {
                feed.roundRobin->refused();
            }
        }
        std::string error;
        std::string tag = tagOf(group);
        if (feed.settings->tagString != nullptr) {
            // As text: the tag is written, never run.
            const Replacements values{tag, group.jobs.front().position + 1, slot};
            tag = expandRaw(feed.settings->tagString, values);
        }
        const Output::Prepared prepared =
            feed.output->prepare(*command, group.sequence, std::move(tag), error);
        if (prepared != Output::Prepared::ready) {
            free(command->command);
            command->command = nullptr;
            if (prepared == Output::Prepared::later) {
                // Asked again once a command has ended and let its descriptors go.
                feed.deferred = std::move(group);
                feed.haveDeferred = true;
                return FANRUN_NEXT_WAIT;
            }
            feed.outputError = error;
            return FANRUN_NEXT_END;
        }
        if (!feed.direct->empty() || onRemoteHost(feed, host) ||
            !localWorkdir(feed.settings->files.workdir, "/", "-").empty()) {
            stageWords(feed, command);
        }
        if (feed.blocks != nullptr || feed.roundRobin != nullptr) {
            if (feed.stagedInput >= 0) {
                close(feed.stagedInput); // of a command the run never started
            }
            std::string blockError;
            feed.stagedInput = feed.roundRobin != nullptr
                                   ? feed.roundRobin->input(blockError)
                                   : feed.blocks->input(group.sequence, blockError);
            if (!blockError.empty()) {
                free(command->command);
                command->command = nullptr;
                feed.outputError = blockError;
                return FANRUN_NEXT_END;
            }
            command->inFdPlusOne = feed.stagedInput >= 0 ? feed.stagedInput + 1 : 0;
        }
        command->waiting = commandsOf(argumentsWaiting(feed), feed.settings->maxArgs) +
                           static_cast<int>(std::min<size_t>(feed.retries.size(), INT_MAX / 2));
        if (feed.settings->timeoutShare > 0 && !feed.runtimes.empty()) {
            command->timeoutSeconds =
                std::max(feed.runtimes.value() * feed.settings->timeoutShare / 100, 1e-6);
        }
        feed.staged = std::move(group);
        feed.stagedSlot = slot;
        feed.stagedHost = host;
        ++feed.handed;
        return FANRUN_NEXT_COMMAND;
    } catch (const std::bad_alloc &) {
        // The runner's own failure, not the input's: exit 1 as for any other.
        feed.outputError = "out of memory; no further command was started";
        return FANRUN_NEXT_END;
    }
}

static void feedStarted(void *context, const FANRUN_EVENT *event) {
    Feed &feed = *static_cast<Feed *>(context);
    try {
        feed.output->started(*event);
        if (feed.stagedInput >= 0) {
            close(feed.stagedInput); // the command holds its own
            feed.stagedInput = -1;
        }
        Running &running = feed.running[event->index];
        running.group = std::move(feed.staged);
        running.slot = feed.stagedSlot;
        running.host = feed.stagedHost;
        running.marker = std::move(feed.stagedMarker);
        feed.stagedMarker.clear();
        if (running.host >= 0) {
            ++hostsOf(feed).all()[static_cast<size_t>(running.host)].running;
        }
        feed.slotTaken[static_cast<size_t>(running.slot) - 1] = true;
        running.start = fanrun_joblog::now();
        running.startNs = monotonicNs();
        running.pid = event->pid;
        if (feed.pacer != nullptr) {
            feed.pacer->started();
        }
        for (const Job &job : running.group.jobs) {
            if (feed.log != nullptr &&
                !feed.log->recordStart(job.key.empty() ? job.argument : job.key, job.occurrence,
                                       job.attempt, running.start, hostName(feed, running.host))) {
                feed.logFailed = true;
            }
        }
        if (feed.blocks != nullptr) {
            // The next block is cut while this one's command runs.
            feed.blocks->prepare();
        }
        if (feed.roundRobin != nullptr) {
            feed.roundRobin->started(running.slot);
        }
    } catch (const std::bad_alloc &) {
        feed.outputError = "out of memory";
    }
}

// A command on host ended (exit status 255 from ssh: lost); true when its connection failed. A
// host that has failed too often in a row is left out, and said so.
static bool hostEnded(Feed &feed, int host, bool lost) {
    if (host < 0) {
        return false;
    }
    lost = lost && onRemoteHost(feed, host);
    Hosts &hosts = hostsOf(feed);
    if (hosts.ended(host, lost)) {
        fprintf(stderr,
                feed.slurm != nullptr ? "fanrun: node %s left out after %d lost steps in a row\n"
                                      : "fanrun: host %s left out after %d connection failures "
                                        "in a row\n",
                hosts.all()[static_cast<size_t>(host)].login.host.c_str(), hostFailureLimit);
    }
    return lost;
}

// A step of an allocation ended: true when it was lost (the command did not run to its end: not
// placed, its node lost), said on standard error. A step its timeout ended is the command's. The
// step's shell saw the command end where srun, its node gone, may say 0: its status is the one
// kept, unless the command was killed under srun's success, as its node's going does.
static bool stepLost(Feed &feed, const Running &running, int &exitCode, int signum, bool timedOut) {
    int status = 0;
    const bool ended = feed.slurm->commandEnded(running.marker, status);
    if (timedOut) {
        return false;
    }
    const bool killed = ended && status > 128 && signum == 0 && exitCode != status;
    if (ended && !killed) {
        if (signum == 0) {
            exitCode = status;
        }
        return false;
    }
    std::string said =
        signum != 0 ? "signal " + std::to_string(signum) : "exit " + std::to_string(exitCode);
    if (killed) {
        said += ", its command ended by signal " + std::to_string(status - 128) + " there";
    } else if (signum == 0 && exitCode == 0) {
        // Its node went, or the node cannot see the folder where the step marks its end.
        said += ", without the step's mark in " + feed.slurm->dir +
                ": its node was lost, or does not share this folder";
    }
    fprintf(stderr, "fanrun: the step of command %ld on node %s was lost (srun %s)\n",
            running.group.sequence + 1, std::string(hostName(feed, running.host)).c_str(),
            said.c_str());
    return true;
}

static int feedEnded(void *context, const FANRUN_EVENT *event) {
    Feed &feed = *static_cast<Feed *>(context);
    try {
        auto found = feed.running.find(event->index);
        if (found == feed.running.end()) {
            return FANRUN_HALT_NEVER;
        }
        Running running = std::move(found->second);
        feed.running.erase(found);
        feed.slotTaken[static_cast<size_t>(running.slot) - 1] = false;
        if (running.givingWay) {
            // Its output goes as a retry's does; it runs again as soon as there is room, as the
            // same attempt, and its start without an end in the job log says so meanwhile.
            feed.output->ended(*event, false);
            feed.retries.emplace(monotonicNs(), std::move(running.group));
            return FANRUN_HALT_NEVER;
        }
        const int status = event->status;
        int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        int signum = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        if (event->timedOut != 0 && signum == 0) {
            // Ended by its timeout however it exited: the log shows the signal that ended it.
            exitCode = -1;
            signum = SIGTERM;
        }
        bool lost = exitCode == sshLost && event->timedOut == 0;
        if (feed.slurm != nullptr) {
            lost = stepLost(feed, running, exitCode, signum, event->timedOut != 0);
            if (lost && exitCode == 0) {
                exitCode = srunFailed; // never a success in the log: the command did not end
            }
        }
        bool failed = exitCode != 0;
        if (running.host >= 0 && exitCode == 0) {
            // Its command brought the base files, if they were not there yet.
            hostsOf(feed).all()[static_cast<size_t>(running.host)].basefilesSent = true;
        }
        std::vector<Job> &jobs = running.group.jobs;
        const long attempt = jobs.front().attempt;
        const bool reconnect =
            hostEnded(feed, running.host, lost) &&
            running.group.lostConnections < feed.settings->retries + connectionRetries;
        const bool again = reconnect || (failed && attempt <= feed.settings->retries);
        const double seconds = static_cast<double>(monotonicNs() - running.startNs) / 1e9;
        const OutputMode mode = feed.settings->output;
        const Output::Keeper keep =
            again ? Output::Keeper{}
                  : resultsKeeper(feed, running.group, *event, running.start, seconds, exitCode,
                                  signum, hostName(feed, running.host));
        if (!again && (mode == OutputMode::group || mode == OutputMode::keepOrder ||
                       mode == OutputMode::lines)) {
            // Ended only once its output is out: a runner killed while the output waits leaves
            // the command unfinished in the log, not a success nobody saw.
            Ended &ended = feed.undelivered[running.group.sequence];
            ended = Ended{jobs,     running.start, seconds,
                          exitCode, signum,        std::string(hostName(feed, running.host))};
            if (!feed.output->ended(*event, true, keep)) {
                // Output that may not have been held whole fails the command; the log says so
                // with the run's failure status when the command itself exited 0.
                failed = true;
                if (ended.exitCode == 0) {
                    ended.exitCode = exitFailed;
                }
            }
            logDeliveries(feed);
        } else {
            if (!feed.output->ended(*event, !again, keep) && !again) {
                // Output that could not be kept fails the command, as above.
                failed = true;
                if (exitCode == 0) {
                    exitCode = exitFailed;
                }
            }
            recordEnds(feed, jobs, running.start, seconds, exitCode, signum,
                       hostName(feed, running.host));
        }
        if (feed.blocks != nullptr) {
            feed.blocks->ended(running.group.sequence, again || reconnect);
        }
        if (reconnect) {
            // Not the command's failure: at once, elsewhere if it can, its attempt kept.
            ++running.group.lostConnections;
            running.group.avoidHost = running.host;
            feed.retries.emplace(monotonicNs(), std::move(running.group));
        } else if (again) {
            const double delay = feed.settings->retryDelay *
                                 std::ldexp(1.0, static_cast<int>(std::min<long>(attempt - 1, 60)));
            const int64_t due = monotonicNs() + static_cast<int64_t>(std::min(delay, 3.0e9) * 1e9);
            for (Job &job : jobs) {
                ++job.attempt;
            }
            feed.retries.emplace(due, std::move(running.group));
        } else {
            if (failed) {
                feed.lastFailures += static_cast<long>(jobs.size());
                ++feed.failedCommands;
            } else {
                ++feed.succeededCommands;
                feed.runtimes.add(seconds);
            }
            // The library cannot tell which failures are the last (retries) nor count the rest:
            // halting is ours.
            const long known =
                feed.gathering->groups + commandsOf(argumentsWaiting(feed), feed.settings->maxArgs);
            const int how =
                haltFor(feed.haltRule, feed.failedCommands, feed.succeededCommands, known);
            if (how != FANRUN_HALT_NEVER && feed.haltRule.counts == HaltRule::Counts::succeeded) {
                feed.haltedOnSuccess = true;
            }
            if (feed.roundRobin != nullptr) {
                if (how != FANRUN_HALT_NEVER || feed.output->lost()) {
                    // Before its blocks could go to another: the commands that run take no
                    // further block, and end with their input.
                    feed.roundRobin->stop();
                }
                feed.roundRobin->ended(running.slot);
            }
            return how;
        }
    } catch (const std::bad_alloc &) {
        feed.outputError = "out of memory";
    }
    return FANRUN_HALT_NEVER;
}

Output::Keeper resultsKeeper(const Feed &feed, const Group &group, const FANRUN_EVENT &event,
                             timespec start, double seconds, int exitCode, int signal,
                             std::string_view host) {
    if (feed.results == nullptr) {
        return {};
    }
    // Everything the record needs is copied: under -k it is kept only when the output's turn
    // comes, after the group and the event are gone.
    struct Kept {
        std::vector<std::string> values;
        std::vector<std::string> names;
        std::string command;
        std::string host;
        CommandOutcome outcome;
    };
    auto kept = std::make_shared<Kept>();
    // A tuple's values (a command has one tuple) are named by --header, else numbered by their
    // source; the arguments of one input (with -n, several a command) are each named 1.
    const std::vector<std::string> *names = feed.valueNames;
    for (const Job &job : group.jobs) {
        if (job.values.empty()) {
            kept->values.push_back(job.argument);
            kept->names.emplace_back("1");
            continue;
        }
        kept->values = job.values;
        kept->names.clear();
        if (names != nullptr && names->size() == job.values.size()) {
            kept->names = *names;
        }
    }
    CommandOutcome &outcome = kept->outcome;
    // As {#} shows it with one argument a command; with several, the command's number.
    outcome.seq =
        feed.settings->maxArgs == 1 ? group.jobs.front().position + 1 : group.sequence + 1;
    outcome.start = start;
    outcome.seconds = seconds;
    outcome.exitCode = signal > 0 ? -1 : exitCode;
    outcome.signal = signal > 0 ? signal : 0;
    const PROCESS_STRUCT &record = processControl.process[event.index];
    kept->command = record.command != nullptr ? record.command : "";
    kept->host = host.empty() ? ":" : std::string(host);
    Results *results = feed.results;
    return [kept, results](int out, int err) {
        CommandValues values;
        values.values.assign(kept->values.begin(), kept->values.end());
        values.names.assign(kept->names.begin(), kept->names.end());
        CommandOutcome outcome = kept->outcome;
        outcome.command = kept->command;
        outcome.host = kept->host;
        std::string error;
        if (!results->keep(values, outcome, out, err, error)) {
            fprintf(stderr, "fanrun: command %ld failed: %s\n", outcome.seq, error.c_str());
            return false;
        }
        return true;
    };
}

FANRUN_SOURCE sourceOf(Feed &feed) {
    return FANRUN_SOURCE{feedNext, feedStarted, feedEnded, &feed,
                         commandsOf(argumentsWaiting(feed), feed.settings->maxArgs)};
}

} // namespace fanrun_cli
