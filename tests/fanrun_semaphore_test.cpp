// Tests of `fanrun --semaphore`: many independent invocations of one id never run more commands
// than it has places, a place comes back when its holder is killed (and only when every process
// of the command has ended, also in a storm of invocations with holders killed at random), the
// timeout, --wait, the background default, and the folder of the places, which is refused when
// it is not plainly the user's own.

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fanrun_run.h"

namespace {

using namespace fanrun_run;
using namespace std::chrono_literals;

// A semaphore invocation with its own files, the places in runtime (its XDG_RUNTIME_DIR).
struct Invocation {
    std::unique_ptr<TempDir> files = std::make_unique<TempDir>();
    Program program;
};

Invocation startSemaphore(const TempDir &runtime, const std::vector<std::string> &arguments) {
    Invocation invocation;
    StartOptions options;
    options.environment = {"XDG_RUNTIME_DIR=" + runtime.path().string()};
    std::vector<std::string> words = {"--semaphore"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    invocation.program = startFanrun(*invocation.files, words, options);
    return invocation;
}

// True once pid has ended (left unreaped for finish()); false if it still runs after limit.
bool endsWithin(pid_t pid, std::chrono::milliseconds limit = 20s) {
    return eventually(
        [pid] {
            siginfo_t info{};
            return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                   info.si_pid == pid;
        },
        limit, 5ms);
}

// An invocation that must end by itself: one still waiting after a generous bound is killed,
// and shows SIGKILL.
Outcome runSemaphore(const TempDir &runtime, const std::vector<std::string> &arguments) {
    Invocation invocation = startSemaphore(runtime, arguments);
    if (!endsWithin(invocation.program.pid)) {
        kill(invocation.program.pid, SIGKILL);
    }
    return invocation.program.finish();
}

// An invocation that holds the id's one place with a command that runs until it is killed and
// writes its process id into state/pid.
Invocation startHolder(const TempDir &runtime, const TempDir &state) {
    return startSemaphore(runtime, {"--fg", "echo $$ >" + (state / "pid") + "; exec sleep 1000"});
}

// The process id the command wrote into path, once it has.
pid_t writtenPid(const std::string &path) {
    pid_t pid = 0;
    eventually([&] {
        const std::string text = readFile(path);
        if (text.empty() || text.back() != '\n') {
            return false;
        }
        pid = std::stoi(text);
        return true;
    });
    return pid;
}

// Every command counts itself in and out of state/count under a lock of its own and records the
// most it saw at once in state/max; the first ones stay until `places` are in (or a few seconds
// went by), so that a semaphore that lets too many in is seen doing it.
std::string countingCommand(const TempDir &state, int places) {
    const std::string lock = state / "lock";
    const std::string count = state / "count";
    const std::string max = state / "max";
    writeFile(count, "0\n");
    writeFile(max, "0\n");
    return "flock " + lock + " bash -c 'n=$(($(cat " + count + ") + 1)); echo $n >" + count +
           "; [ $n -gt $(cat " + max + ") ] && echo $n >" + max + "; true'; " +
           "for i in $(seq 50); do [ $(cat " + max + ") -ge " + std::to_string(places) +
           " ] && break; sleep 0.1; done; sleep 0.05; " + "flock " + lock +
           " bash -c 'echo $(($(cat " + count + ") - 1)) >" + count + "'";
}

TEST(FanrunSemaphore, ConcurrentInvocationsOfOneIdNeverRunMoreThanItsPlaces) {
    struct Case {
        int places;
        int invocations;
        std::vector<std::string> options; // besides -j
    };
    const Case cases[] = {
        {1, 8, {"--fg"}},
        {3, 12, {"--fg"}},
        {3, 12, {"--fg", "--id", "other"}},
        {2, 10, {}}, // in the background, then --wait
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.places);
        TempDir runtime;
        TempDir state;
        const std::string command = countingCommand(state, test.places);
        std::vector<Invocation> invocations;
        for (int i = 0; i < test.invocations; ++i) {
            std::vector<std::string> arguments = {"-j", std::to_string(test.places)};
            arguments.insert(arguments.end(), test.options.begin(), test.options.end());
            arguments.push_back(command + "; echo ran " + std::to_string(i));
            invocations.push_back(startSemaphore(runtime, arguments));
        }
        std::string out;
        for (Invocation &invocation : invocations) {
            if (!endsWithin(invocation.program.pid)) {
                kill(invocation.program.pid, SIGKILL);
            }
            const Outcome outcome = invocation.program.finish();
            EXPECT_EQ(outcome.code(), 0) << outcome.err;
            out += outcome.out;
        }
        const bool background = test.options.empty();
        if (background) {
            const Outcome waited = runSemaphore(runtime, {"--wait"});
            EXPECT_EQ(waited.code(), 0) << waited.err;
            out.clear();
            for (Invocation &invocation : invocations) {
                out += readFile(invocation.program.outPath);
            }
        }
        EXPECT_EQ(readFile(state / "max"), std::to_string(test.places) + "\n");
        EXPECT_EQ(readFile(state / "count"), "0\n");
        for (int i = 0; i < test.invocations; ++i) {
            EXPECT_NE(out.find("ran " + std::to_string(i) + "\n"), std::string::npos) << i;
        }
    }
}

TEST(FanrunSemaphore, AKilledHolderGivesItsPlaceBackOnceNoneOfItsProcessesRuns) {
    struct Case {
        const char *name;
        bool killFanrun;
        bool killCommand;
    };
    const Case cases[] = {
        {"the command killed", false, true},
        {"fanrun and the command killed", true, true},
        {"fanrun killed, the command runs on", true, false},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        TempDir runtime;
        TempDir state;
        Invocation holder = startHolder(runtime, state);
        const pid_t command = writtenPid(state / "pid");
        ASSERT_GT(command, 0);
        if (test.killFanrun) {
            kill(holder.program.pid, SIGKILL);
        }
        if (test.killCommand) {
            kill(command, SIGKILL);
        }
        if (!test.killCommand) {
            // The command still holds the place though fanrun is gone: no one else gets in.
            const Outcome refused = runSemaphore(
                runtime, {"--fg", "--semaphore-timeout", "0.5", "touch " + (state / "in")});
            EXPECT_EQ(refused.code(), 124) << refused.err;
            EXPECT_FALSE(fs::exists(state / "in"));
            kill(command, SIGKILL);
        }
        Invocation waiter = startSemaphore(runtime, {"--fg", "touch " + (state / "in")});
        const bool ended = endsWithin(waiter.program.pid);
        if (!ended) {
            kill(waiter.program.pid, SIGKILL);
        }
        EXPECT_TRUE(ended);
        EXPECT_EQ(waiter.program.finish().code(), 0);
        EXPECT_TRUE(fs::exists(state / "in"));
        holder.program.finish();
    }
}

// The process ids whose commands have come in (the names of the files in folder, each holding its
// process's start time) and still run (not ended, nor ended and waiting to be reaped, nor an id
// the kernel has given to another process since).
std::vector<pid_t> liveEntrants(const std::string &folder) {
    std::vector<pid_t> live;
    for (const auto &entry : fs::directory_iterator(folder)) {
        const pid_t pid = std::stoi(entry.path().filename().string());
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const size_t name = stat.rfind(')');
        if (name == std::string::npos || stat.compare(name, 3, ") Z") == 0) {
            continue;
        }
        // Field 22, the start time: the entrant wrote its own, so an id given again is not it.
        std::istringstream fields(stat.substr(name + 2));
        std::string field;
        for (int i = 3; i <= 22; ++i) {
            fields >> field;
        }
        if (field + "\n" == readFile(entry.path().string())) {
            live.push_back(pid);
        }
    }
    return live;
}

// The parent process id of pid, or 0.
pid_t parentOf(pid_t pid) {
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("\nPPid:\t");
    return at == std::string::npos ? 0 : std::stoi(status.substr(at + 7));
}

TEST(FanrunSemaphore, AStormOfInvocationsWithHoldersKilledNeverRunsMoreThanItsPlaces) {
    TempDir runtime;
    TempDir state;
    const std::string in = state / "in";
    fs::create_directory(in);
    writeFile(state / "max", "0\n");
    // Every command enters under a lock of its own, counts the entrants still alive and keeps
    // the most it saw; then it becomes the sleep, so that killing its process id ends all of it.
    // An entrant is known by its process id and start time (an id the kernel gave again is
    // another process); one killed, exiting (PF_EXITING: its place may be free already) or ended
    // and not yet reaped no longer counts.
    const std::string command =
        "read -r -a me </proc/$$/stat; echo ${me[21]} >" + in + "/$$; flock " + (state / "lock") +
        " bash -c 'n=0; for f in " + in +
        "/*; do read -r -a st </proc/${f##*/}/stat 2>/dev/null && [ ${st[2]} != Z ] && "
        "[ $((st[8] & 4)) = 0 ] && [ ${st[21]} = $(cat $f) ] && n=$((n + 1)); done; "
        "[ $n -gt $(cat " +
        (state / "max") + ") ] && echo $n >" + (state / "max") + "; true'; exec sleep 0.3";
    constexpr int invocations = 50;
    std::vector<Invocation> started;
    for (int i = 0; i < invocations; ++i) {
        started.push_back(startSemaphore(runtime, {"-j", "3", "--fg", command}));
    }
    // Holders killed at random moments: the command alone, or every third time fanrun too.
    std::mt19937 random(27);
    int kills = 0;
    for (int round = 0; round < 400 && kills < 15; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
        std::vector<pid_t> live = liveEntrants(in);
        if (live.empty()) {
            continue;
        }
        const pid_t victim = live[random() % live.size()];
        const pid_t holder = parentOf(victim);
        kill(victim, SIGKILL);
        if (kills % 3 == 0 && holder > 1) {
            kill(holder, SIGKILL);
        }
        ++kills;
    }
    int succeeded = 0;
    for (Invocation &invocation : started) {
        if (!endsWithin(invocation.program.pid, 60s)) {
            kill(invocation.program.pid, SIGKILL);
        }
        const int code = invocation.program.finish().code();
        // 137: the command was killed; 1009: fanrun was.
        EXPECT_TRUE(code == 0 || code == 137 || code == 1009) << code;
        succeeded += code == 0 ? 1 : 0;
    }
    EXPECT_EQ(readFile(state / "max"), "3\n");
    // A kill may come as its victim ends by itself; most of them must have struck.
    EXPECT_GE(kills, 10);
    EXPECT_GE(invocations - succeeded, kills / 2);
    EXPECT_LE(invocations - succeeded, kills);
    // Every invocation ran its command once, the killed ones too.
    EXPECT_EQ(std::distance(fs::directory_iterator(in), fs::directory_iterator()), invocations);
}

TEST(FanrunSemaphore, TimeoutWaitAndTheBackgroundDefault) {
    TempDir runtime;
    TempDir state;
    const std::string go = state / "go";
    // In the background fanrun returns as soon as the command holds its place.
    Invocation holder = startSemaphore(
        runtime, {"--id", "w",
                  "while [ ! -e " + go + " ]; do sleep 0.02; done; touch " + (state / "ended")});
    const bool returned = endsWithin(holder.program.pid);
    EXPECT_TRUE(returned);
    if (!returned) {
        writeFile(go, "");
    }
    EXPECT_EQ(holder.program.finish().code(), 0);

    struct Case {
        std::vector<std::string> arguments;
        int code;
        const char *said;
    };
    const Case cases[] = {
        {{"--fg", "--id", "w", "--semaphore-timeout", "0.3", "touch " + (state / "ran")},
         124,
         "no place came free"},
        // GNU sem's spelling of giving up.
        {{"--fg", "--id", "w", "--semaphore-timeout", "-0.3", "touch " + (state / "ran")},
         124,
         "no place came free"},
        {{"--wait", "--id", "w", "--semaphore-timeout", "0.3"}, 124, "still running"},
        // Another id has places of its own.
        {{"--fg", "--id", "v", "--semaphore-timeout", "0.3", "echo other"}, 0, ""},
        {{"--fg", "--id", "w", "-j", "2", "--semaphore-timeout", "0.3", "echo second"}, 0, ""},
        {{"--wait", "--id", "v", "--semaphore-timeout", "0.3"}, 0, ""},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.arguments.back());
        const Outcome outcome = runSemaphore(runtime, test.arguments);
        EXPECT_EQ(outcome.code(), test.code) << outcome.err;
        EXPECT_NE(outcome.err.find(test.said), std::string::npos) << outcome.err;
    }
    EXPECT_FALSE(fs::exists(state / "ran"));
    writeFile(go, "");
    const Outcome waited = runSemaphore(runtime, {"--wait", "--id", "w"});
    EXPECT_EQ(waited.code(), 0) << waited.err;
    EXPECT_TRUE(fs::exists(state / "ended"));
}

TEST(FanrunSemaphore, AStopSignalEndsTheWaitAndRunsNothing) {
    for (int signum : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signum);
        TempDir runtime;
        TempDir state;
        Invocation holder = startHolder(runtime, state);
        const pid_t command = writtenPid(state / "pid");
        ASSERT_GT(command, 0);
        for (const char *mode : {"--fg", "--wait"}) {
            std::vector<std::string> arguments = {mode};
            if (std::string(mode) == "--fg") {
                arguments.push_back("touch " + (state / "ran"));
            }
            Invocation waiter = startSemaphore(runtime, arguments);
            // Sent once fanrun catches it: before, it would end the process as by default.
            ASSERT_TRUE(eventually([&] {
                return (statusMask(waiter.program.pid, "SigCgt") & signalBit(signum)) != 0;
            }));
            kill(waiter.program.pid, signum);
            const bool ended = endsWithin(waiter.program.pid);
            if (!ended) {
                kill(waiter.program.pid, SIGKILL);
            }
            EXPECT_EQ(waiter.program.finish().code(), 128 + signum) << mode;
        }
        kill(command, SIGKILL);
        holder.program.finish();
        EXPECT_FALSE(fs::exists(state / "ran"));
    }
}

// The shim holds every poll open after a mark, as a loaded machine may between the look at the
// stop note and the wait: a stop that comes then must still end the wait, not be noted while the
// wait blocks on until a place comes free.
TEST(FanrunSemaphore, AStopJustBeforeTheWaitBlocksStillEndsIt) {
    TempDir runtime;
    TempDir state;
    Invocation holder = startHolder(runtime, state);
    const pid_t command = writtenPid(state / "pid");
    ASSERT_GT(command, 0);
    for (const char *mode : {"--fg", "--wait"}) {
        const std::string mark = state / (std::string("polls") + mode);
        Invocation waiter;
        StartOptions options;
        options.environment = {"XDG_RUNTIME_DIR=" + runtime.path().string(),
                               "LD_PRELOAD=" FANRUN_SHIM, "FANRUN_SHIM_POLL=" + mark,
                               "ASAN_OPTIONS=verify_asan_link_order=0"};
        std::vector<std::string> words = {"--semaphore", mode};
        if (std::string(mode) == "--fg") {
            words.push_back("touch " + (state / "ran"));
        }
        waiter.program = startFanrun(*waiter.files, words, options);
        ASSERT_TRUE(eventually([&] { return fs::exists(mark); })) << mode;
        kill(waiter.program.pid, SIGTERM);
        const bool ended = endsWithin(waiter.program.pid, 10s);
        if (!ended) {
            kill(waiter.program.pid, SIGKILL);
        }
        EXPECT_TRUE(ended) << mode;
        EXPECT_EQ(waiter.program.finish().code(), 128 + SIGTERM) << mode;
    }
    kill(command, SIGKILL);
    holder.program.finish();
    EXPECT_FALSE(fs::exists(state / "ran"));
}

TEST(FanrunSemaphore, RefusesAFolderOfPlacesThatIsNotPlainlyTheUsersOwn) {
    struct Case {
        const char *name;
        // False when the folder cannot be planted here.
        std::function<bool(const TempDir &runtime, const TempDir &elsewhere)> plant;
        const char *said;
    };
    const Case cases[] = {
        {"a link in place of the folder",
         [](const TempDir &runtime, const TempDir &elsewhere) {
             fs::create_directory_symlink(elsewhere.path(), runtime.path() / "fanrun");
             return true;
         },
         "is a symbolic link"},
        {"a link in place of the id's folder",
         [](const TempDir &runtime, const TempDir &elsewhere) {
             fs::create_directory(runtime.path() / "fanrun");
             chmod((runtime / "fanrun").c_str(), 0700);
             fs::create_directory_symlink(elsewhere.path(), runtime.path() / "fanrun" / "default");
             return true;
         },
         "is a symbolic link"},
        {"a folder others may write to",
         [](const TempDir &runtime, const TempDir & /*elsewhere*/) {
             fs::create_directory(runtime.path() / "fanrun");
             return chmod((runtime / "fanrun").c_str(), 0777) == 0;
         },
         "open to other users"},
        {"a folder of another user",
         [](const TempDir &runtime, const TempDir & /*elsewhere*/) {
             fs::create_directory(runtime.path() / "fanrun");
             chmod((runtime / "fanrun").c_str(), 0700);
             return chown((runtime / "fanrun").c_str(), geteuid() + 1, getegid()) == 0;
         },
         "belongs to another user"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        TempDir runtime;
        TempDir elsewhere;
        TempDir state;
        if (!test.plant(runtime, elsewhere)) {
            // Only root can give a folder away.
            continue;
        }
        for (const char *mode : {"--fg", "--wait"}) {
            std::vector<std::string> arguments = {mode};
            if (std::string(mode) == "--fg") {
                arguments.push_back("touch " + (state / "ran"));
            }
            const Outcome outcome = runSemaphore(runtime, arguments);
            EXPECT_EQ(outcome.code(), 1) << mode;
            EXPECT_NE(outcome.err.find(test.said), std::string::npos) << outcome.err;
        }
        EXPECT_FALSE(fs::exists(state / "ran"));
        EXPECT_TRUE(fs::is_empty(elsewhere.path()));
    }
}

TEST(FanrunSemaphore, RefusesWhatDescribesNoSemaphoreRun) {
    TempDir runtime;
    const std::vector<std::vector<std::string>> cases = {
        {"--fg"},                        // no command
        {"--wait", "echo", "x"},         // --wait runs nothing
        {"--id", "a/b", "--fg", "true"}, // a name that is a path
        {"--id", "..", "--fg", "true"},
        {"--semaphore-timeout", "soon", "--fg", "true"},
        // Options of a run, which a semaphore would silently drop.
        {"-o", "out", "--fg", "true"},
        {"--fg", "-gk", "true"},
        {"--joblog=log", "--fg", "true"},
        {"--fg", "--dry-run", "true"},
    };
    for (const std::vector<std::string> &arguments : cases) {
        SCOPED_TRACE(arguments.front());
        EXPECT_EQ(runSemaphore(runtime, arguments).code(), 2);
    }
    // The semaphore's options alone do not make a semaphore run.
    for (const char *option : {"--fg", "--wait"}) {
        TempDir dir;
        EXPECT_EQ(runFanrun(dir, {option, "echo", "x"}).code(), 2) << option;
    }
}

} // namespace
