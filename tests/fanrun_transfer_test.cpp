// Files to and from remote hosts, their working directories and variables, --onall and
// --nonall. In process: where a named file goes (its route) and the remote working directory.
// End to end: whole runs over real sshd hosts started by tests/ssh/hosts.sh, each with a home of
// its own (a mount namespace: /root there is a folder of the test's), the files' bytes read back
// from those homes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "fanrun_run.h"
#include "remote.h"
#include "transfer.h"

namespace {

using namespace fanrun_cli;
using namespace fanrun_run;

// ---- The pure parts --------------------------------------------------------------------------

TEST(TransferRoutes, ANameLandsWhereGnuParallelUsersExpectIt) {
    struct Case {
        std::string name;
        std::string route; // local|member|absolute, or "! message"
    };
    const std::vector<Case> cases = {
        {"a", ".|./a|0"},
        {"-n", ".|./-n|0"},
        {"sub/dir/f x", ".|./sub/dir/f x|0"},
        {"/tmp/d/f", "/|./tmp/d/f|1"},
        {"//tmp/f", "/|./tmp/f|1"},
        {"in/./out/f", "in|./out/f|0"},
        {"/abs/./rel", "/abs|./rel|0"},
        {"/./x", "/|./x|0"},
        {"a\nb'c\xff", ".|./a\nb'c\xff|0"},
        {"..x/y..", ".|./..x/y..|0"},
        {"", "! an empty file name cannot be moved to a host"},
        {"../up", "! '../up' cannot be moved to a host: a '..' in it would land elsewhere there"},
        {"a/../b", "! 'a/../b' cannot be moved to a host: a '..' in it would land elsewhere there"},
        {"x/./", "! 'x/./' cannot be moved to a host: it names no file"},
        {"/", "! '/' cannot be moved to a host: it names no file"},
    };
    for (const Case &c : cases) {
        FileRoute route;
        std::string message;
        const bool routed = routeOf(c.name, route, message);
        EXPECT_EQ(routed ? route.local + "|" + route.member + "|" + (route.absolute ? "1" : "0")
                         : "! " + message,
                  c.route)
            << c.name;
    }
}

TEST(TransferRoutes, TheRemoteWorkingDirectoryFollowsTheOption) {
    struct Case {
        const char *option;
        std::string cwd;
        const char *home;
        std::string workdir;
    };
    const std::vector<Case> cases = {
        {nullptr, "/root/x", "/root", ""},
        {"...", "/root/x", "/root", ".fanrun/tmp/u-1"},
        {".", "/root/x/y", "/root", "x/y"},
        {".", "/root", "/root", ""},
        {".", "/rootless/x", "/root", "/rootless/x"}, // not below home
        {".", "/srv/x", nullptr, "/srv/x"},
        {".", "/srv/x", "/", "/srv/x"},
        {"~/w d", "/", "/root", "w d"},
        {"~", "/", "/root", ""},
        {"/abs", "/", "/root", "/abs"},
        {"rel/d", "/", "/root", "rel/d"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(remoteWorkdir(c.option, c.cwd, c.home, "u-1"), c.workdir)
            << (c.option != nullptr ? c.option : "(none)") << " in " << c.cwd;
    }
    FileRoute route;
    std::string message;
    ASSERT_TRUE(routeOf("d/f", route, message));
    EXPECT_EQ(remotePath(route, ""), "./d/f");
    EXPECT_EQ(remotePath(route, "w"), "w/d/f");
    ASSERT_TRUE(routeOf("/t/f", route, message));
    EXPECT_EQ(remotePath(route, "w"), "/t/f");
    EXPECT_EQ(inWorkdir("", "true"), "true");
    EXPECT_EQ(inWorkdir("a'b", "true"), "mkdir -p -- 'a'\\''b' && cd -- 'a'\\''b' && true");
}

TEST(TransferUsage, MisusedOptionsRunNothing) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message; // the first line of standard error
    };
    const std::vector<Case> cases = {
        {{"--env", "1x", "echo"},
         "fanrun: --env takes the name of a variable or function, not '1x'"},
        {{"--env", "A-B", "echo"},
         "fanrun: --env takes the name of a variable or function, not 'A-B'"},
        {{"--tf", "", "echo"}, "fanrun: --transfer-file needs a file name"},
        {{"--nonall", "echo", "--", "x"},
         "fanrun: --nonall runs the command without arguments: give it none"},
        {{"--nonall", "echo", ":::", "x"},
         "fanrun: --nonall runs the command without arguments: give it none"},
        {{"--onall", "--nonall", "echo"}, "fanrun: --onall and --nonall exclude each other"},
        {{"--onall", "--pipe", "cat"},
         "fanrun: --onall and --nonall do not go with --pipe, --resume, --resume-failed or "
         "--shard"},
        {{"-S", "host2", "--bf", "../up", "echo"},
         "fanrun: --basefile: '../up' cannot be moved to a host: a '..' in it would land "
         "elsewhere there"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        const Outcome outcome = runFanrun(dir, c.arguments);
        EXPECT_EQ(outcome.code(), 2) << c.message;
        EXPECT_EQ(lines(outcome.err).front(), c.message);
        EXPECT_EQ(outcome.out, "") << c.message;
    }
}

// ---- Whole runs over real hosts ----------------------------------------------------------------

// Two hosts that take logins (host2, host3), started once for the suite in a folder and on a
// port of its own; each case starts with their homes empty.
class TransferRuns : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { hosts_ = new SshHosts(FANRUN_HOSTS_SCRIPT, 2, 7919); }

    static void TearDownTestSuite() {
        delete hosts_;
        hosts_ = nullptr;
    }

    void SetUp() override {
        if (!hosts_->up()) {
            SKIP_UNLESS_CI("the ssh hosts could not be started: " + hosts_->startLog());
        }
    }

    // Host K's home, /root as its commands see it.
    static fs::path home(int k) { return fs::path(hosts_->dir()) / ("home" + std::to_string(k)); }

    static void emptyHomes() {
        for (int k : {2, 3}) {
            for (const auto &entry : fs::directory_iterator(home(k))) {
                fs::remove_all(entry.path());
            }
        }
    }

    // Every file below host K's home (or this machine's folder): its path there and its bytes;
    // a folder as "/".
    static std::map<std::string, std::string> filesIn(const fs::path &top) {
        std::map<std::string, std::string> files;
        for (const auto &entry : fs::recursive_directory_iterator(top)) {
            const std::string path = fs::relative(entry.path(), top).string();
            files[path] = entry.is_directory() ? "/" : readFile(entry.path());
        }
        return files;
    }

    // fanrun in scratch's folder over the hosts, the files given written there first.
    Outcome run(const std::map<std::string, std::string> &local,
                const std::vector<std::string> &arguments,
                const std::vector<std::string> &environment = {}) {
        for (const auto &[name, bytes] : local) {
            fs::create_directories((scratch_.path() / name).parent_path());
            writeFile(scratch_.path() / name, bytes);
        }
        std::vector<std::string> words = {"--ssh", hosts_->ssh()};
        words.insert(words.end(), arguments.begin(), arguments.end());
        StartOptions options;
        options.workDir = scratch_.path().string();
        options.environment = environment;
        return runFanrun(scratch_, words, options);
    }

    static SshHosts *hosts_;
    TempDir scratch_;
};

SshHosts *TransferRuns::hosts_ = nullptr;

// Names that a shell, tar or ssh would read apart.
const std::vector<std::string> awkwardNames = {
    "sp ace", "q'uo\"te", "new\nline", "-dash", "\xff\xfe high", "sub/dir/$(x) *",
};

std::map<std::string, std::string> eachFile(const std::string &suffix,
                                            const std::string &(*bytes)(const std::string &)) {
    std::map<std::string, std::string> files;
    for (const std::string &name : awkwardNames) {
        files[name + suffix] = bytes(name);
    }
    return files;
}

const std::string &same(const std::string &name) {
    return name;
}

std::map<std::string, std::string> inFolder(const std::map<std::string, std::string> &files,
                                            const std::string &folder) {
    std::map<std::string, std::string> moved;
    for (const auto &[name, bytes] : files) {
        moved[folder + name] = bytes;
    }
    return moved;
}

// The folders of the awkward names, as filesIn shows them.
std::map<std::string, std::string> withFolders(std::map<std::string, std::string> files,
                                               const std::string &below = "") {
    files[below + "sub"] = "/";
    files[below + "sub/dir"] = "/";
    if (!below.empty()) {
        files[below.substr(0, below.size() - 1)] = "/";
    }
    return files;
}

TEST_F(TransferRuns, EachOptionLeavesExactlyItsFilesOnTheHostAndHere) {
    const std::map<std::string, std::string> sent = eachFile("", same);
    std::map<std::string, std::string> upper;
    for (const auto &[name, bytes] : sent) {
        std::string shouted = bytes;
        for (char &c : shouted) {
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        }
        upper[name + ".out"] = shouted;
    }
    std::map<std::string, std::string> both = sent;
    both.insert(upper.begin(), upper.end());
    const std::string shout = "tr a-z A-Z < {} > {}.out";
    struct Case {
        std::string name;
        std::vector<std::string> options;
        std::string command;
        std::map<std::string, std::string> there; // below host2's home afterwards
        std::map<std::string, std::string> here;  // in this machine's folder afterwards
    };
    const std::string host2 = "-S2/host2";
    const std::vector<Case> cases = {
        {"transfer",
         {host2, "--transfer"},
         "cat -- {} >/dev/null",
         withFolders(sent),
         withFolders(sent)},
        {"transfer-file",
         {host2, "--tf", "{}"},
         "cat -- {} >/dev/null",
         withFolders(sent),
         withFolders(sent)},
        {"return",
         {host2, "--transfer", "--return", "{}.out"},
         shout,
         withFolders(both),
         withFolders(both)},
        {"trc", {host2, "--trc", "{}.out"}, shout, withFolders({}), withFolders(both)},
        {"cleanup after the command",
         {host2, "--tf", "{}", "--cleanup"},
         "cat -- {} >/dev/null",
         withFolders({}),
         withFolders(sent)},
        {"fixed workdir",
         {host2, "--transfer", "--workdir", "w d"},
         "cat -- {} >/dev/null",
         withFolders(inFolder(sent, "w d/"), "w d/"),
         withFolders(sent)},
        {"fresh workdir",
         {host2, "--transfer", "--return", "{}.out", "--wd", "..."},
         shout,
         {{".fanrun", "/"}, {".fanrun/tmp", "/"}},
         withFolders(both)},
        {"this machine", {"-S", ":", "--trc", "{}.out"}, shout, {}, withFolders(both)},
    };
    for (const Case &c : cases) {
        emptyHomes();
        fs::remove_all(scratch_.path());
        fs::create_directories(scratch_.path());
        std::vector<std::string> arguments = {"-k", "-0"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back(c.command);
        arguments.push_back("--");
        for (const std::string &name : awkwardNames) {
            arguments.push_back(name);
        }
        const Outcome outcome = run(sent, arguments);
        EXPECT_EQ(outcome.code(), 0) << c.name << ": " << outcome.err;
        EXPECT_EQ(filesIn(home(2)), c.there) << c.name;
        std::map<std::string, std::string> here = filesIn(scratch_.path());
        for (auto it = here.begin(); it != here.end();) {
            // The run's own files: its report and streams.
            it = it->first.rfind("fanrun", 0) == 0 ? here.erase(it) : std::next(it);
        }
        EXPECT_EQ(here, c.here) << c.name;
    }
}

TEST_F(TransferRuns, BaseFilesReachEveryHostOnceAndGoWithCleanup) {
    for (bool cleanup : {false, true}) {
        emptyHomes();
        std::vector<std::string> arguments = {"-k",   "-S",   "1/host2,1/host3", "--bf", "b'ase",
                                              "--bf", "lib/x"};
        if (cleanup) {
            arguments.emplace_back("--cleanup");
        }
        for (const char *word : {"cat \"b'ase\" lib/x; echo {}", "1", "2", "3", "4"}) {
            arguments.emplace_back(word);
        }
        const Outcome outcome = run({{"b'ase", "B\n"}, {"lib/x", "X\n"}}, arguments);
        EXPECT_EQ(outcome.code(), 0) << outcome.err;
        EXPECT_EQ(outcome.out, "B\nX\n1\nB\nX\n2\nB\nX\n3\nB\nX\n4\n");
        const std::map<std::string, std::string> kept =
            cleanup ? std::map<std::string, std::string>{{"lib", "/"}} // folders stay
                    : std::map<std::string, std::string>{
                          {"b'ase", "B\n"}, {"lib", "/"}, {"lib/x", "X\n"}};
        EXPECT_EQ(filesIn(home(2)), kept) << cleanup;
        EXPECT_EQ(filesIn(home(3)), kept) << cleanup;
    }
}

// A host that joins through the login file (the first command, on host2, adds host3 to it: this
// machine's /tmp is theirs too) gets the base files with its first commands.
TEST_F(TransferRuns, AHostThatJoinsGetsTheBaseFilesWithItsFirstCommands) {
    emptyHomes();
    const std::string hostFile = scratch_ / "hosts";
    writeFile(hostFile, "1/host2\n");
    const Outcome outcome =
        run({{"b", "B\n"}}, {"-k", "--slf", hostFile, "--bf", "b",
                             "if [ {} = 1 ]; then echo 1/host3 >> " + remoteQuote(hostFile) +
                                 "; fi; cat b; hostname",
                             "--", "1", "2", "3", "4"});
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    std::map<std::string, int> ran;
    const std::vector<std::string> out = lines(outcome.out);
    ASSERT_EQ(out.size(), 8U) << outcome.out;
    for (size_t i = 0; i < out.size(); i += 2) {
        EXPECT_EQ(out[i], "B") << outcome.out;
        ++ran[out[i + 1]];
    }
    EXPECT_GE(ran["host3"], 1) << outcome.out;
    EXPECT_EQ(ran["host2"] + ran["host3"], 4) << outcome.out;
    EXPECT_EQ(filesIn(home(3)), (std::map<std::string, std::string>{{"b", "B\n"}}));
}

TEST_F(TransferRuns, AFailedTransferFailsItsCommandAndSaysSo) {
    struct Case {
        std::string name;
        std::vector<std::string> options;
        std::string out;       // whole
        std::string message;   // a line of standard error
        std::string exitValue; // in the job log
    };
    const std::vector<Case> cases = {
        {"missing file", {"--tf", "{}.in"}, "", "fanrun: cannot copy a.in to host2 (exit 2)", "2"},
        {"missing return",
         {"--return", "{}.none"},
         "ran a\n",
         "fanrun: cannot fetch a.none from host2 (exit 2)",
         "2"},
        {"a name that climbs",
         {"--tf", "../{}"},
         "",
         "fanrun: '../a' cannot be moved to a host: a '..' in it would land elsewhere there",
         "never started"},
        {"a workdir that cannot be made", {"--wd", "/proc/none"}, "", "mkdir", "1"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> arguments = {"-k", "-S", "host2", "--joblog", "log"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.emplace_back("echo ran {}");
        arguments.emplace_back("a");
        fs::remove(scratch_ / "log");
        const Outcome outcome = run({}, arguments);
        EXPECT_EQ(outcome.code(), 123) << c.name << ": " << outcome.err;
        EXPECT_EQ(outcome.out, c.out) << c.name;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << c.name << ": " << outcome.err;
        const std::vector<std::string> ends = endExitValues(readFile(scratch_ / "log"));
        EXPECT_EQ(ends.empty() ? "never started" : ends.back(), c.exitValue) << c.name;
    }
}

TEST_F(TransferRuns, VariablesAndFunctionsGoAlongWithEnv) {
    const Outcome outcome =
        run({},
            {"-k", "-S", "host2", "--env", "VALUE", "--env", "greet", "--env", "UNSET_HERE",
             "printf '%s|' \"$VALUE\" \"${UNSET_HERE-unset}\"; greet {}", "x"},
            {"VALUE=a'b $c\n\"d\xff", "BASH_FUNC_greet%%=() {  echo \"hi $1\"\n}"});
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(outcome.out, "a'b $c\n\"d\xff|unset|hi x\n");
}

TEST_F(TransferRuns, OnallAndNonallRunOnEveryHost) {
    struct Case {
        std::vector<std::string> arguments;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"--nonall", "hostname"}, "host2\nhost3\n"},
        {{"--nonall", "echo $(hostname) x"}, "host2 x\nhost3 x\n"},
        {{"--nonall", "echo", "$(hostname)", "x"}, "$(hostname) x\n$(hostname) x\n"}, // words
        {{"--onall", "echo {} $(hostname)", ":::", "a", "b c"},
         "a host2\nb c host2\na host3\nb c host3\n"},
        {{"--onall", "--wd", "...", "--tf", "{}", "cat {}; hostname", ":::", "f"},
         "F\nhost2\nF\nhost3\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> arguments = {"-k", "-S", "host2,host3"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const Outcome outcome = run({{"f", "F\n"}}, arguments);
        EXPECT_EQ(outcome.code(), 0) << c.arguments[1] << ": " << outcome.err;
        EXPECT_EQ(outcome.out, c.out) << c.arguments[1];
    }
}

// On this machine --workdir applies as GNU parallel has it, the files being there already.
TEST_F(TransferRuns, OnThisMachineTheWorkdirAppliesAndAFreshOneGoes) {
    const std::string here = scratch_.path().string();
    struct Case {
        std::vector<std::string> options;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"--wd", "w d"}, here + "/w d\n"},
        {{"--wd", "~/h"}, here + "/h\n"},
        {{"--wd", "."}, here + "\n"},
        {{"-S", ":", "--wd", "..."}, here + "/.fanrun/tmp/\n"},
        {{"--wd", "...", "--tf", "{}"}, here + "/.fanrun/tmp/\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> arguments = {"-k"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        // A fresh folder's name ends in this machine's name, the pid and a count: left out.
        arguments.emplace_back("pwd | sed 's#/[^/]*-[0-9]*-[0-9]*$#/#'; test ! -e {}");
        arguments.emplace_back("f");
        const Outcome outcome = run({}, arguments, {"HOME=" + here});
        EXPECT_EQ(outcome.code(), 0) << c.options[1] << ": " << outcome.err;
        EXPECT_EQ(outcome.out, c.out) << c.options[1];
    }
    EXPECT_EQ(filesIn(scratch_.path() / ".fanrun/tmp"), (std::map<std::string, std::string>{}));
    EXPECT_TRUE(fs::is_directory(scratch_.path() / "w d"));
}

// The connections' own processes (the probe, the base files, their removal, the close) run as
// small runs of the library: none of their reports reaches fanrun's, which is the run's alone.
TEST_F(TransferRuns, TheConnectionsOwnRunsLeaveTheReportToTheRun) {
    emptyHomes();
    const Outcome outcome = run({{"b", "B\n"}}, {"-S", "host2,host3", "--bf", "b", "--cleanup",
                                                 "test -s b && echo {}", "x"});
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    const std::vector<std::string> report = lines(outcome.out);
    ASSERT_EQ(report.size(), 2U) << outcome.out;
    EXPECT_EQ(report[0], "1 1 0");
    EXPECT_EQ(report[1].substr(report[1].find(' ')), " 1 0 test -s b && echo x");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(filesIn(home(2)), (std::map<std::string, std::string>{}));
    EXPECT_EQ(filesIn(home(3)), (std::map<std::string, std::string>{}));
}

} // namespace
