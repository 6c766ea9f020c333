// Tests of the runner's command-line front end as a program: arguments reaching their commands
// as single words, the exit statuses, the input forms, dry runs and shards, timeouts, halting,
// progress, interruption, the list of what job logs left undone, every replacement string and the
// job slots, and the manual page and completion that describe its options.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fanrun_run.h"

namespace {

using namespace fanrun_run;
using namespace std::chrono_literals;

const std::string sourceDir = FANRUN_SOURCE_DIR;

// The arguments with how the program is started (declared constructor: not an aggregate, so a
// braced list of words means the arguments).
struct Launch : StartOptions {
    Launch() = default;
    std::vector<std::string> args;
};

Program start(const TempDir &dir, const Launch &launch) {
    return startFanrun(dir, launch.args, launch);
}

Outcome run(const TempDir &dir, const Launch &launch) {
    return start(dir, launch).finish();
}

Outcome run(const TempDir &dir, const std::vector<std::string> &args, std::string input = "") {
    return runFanrun(dir, args, fromInput(std::move(input)));
}

std::vector<int> exitStatuses(const std::vector<ReportLine> &list) {
    std::vector<int> result;
    result.reserve(list.size());
    for (const ReportLine &record : list) {
        result.push_back(record.exitStatus);
    }
    return result;
}

// Processes running exactly "sleep DURATION".
int sleepers(const std::string &duration) {
    const std::string wanted = "sleep" + std::string(1, '\0') + duration + std::string(1, '\0');
    int count = 0;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            readFile(entry.path() / "cmdline") == wanted) {
            ++count;
        }
    }
    return count;
}

std::string uniqueSleep() {
    return "1000." + std::to_string(getpid()) + std::to_string(std::rand() % 1000);
}

// ---- arguments are data ----------------------------------------------------------------------

// Every byte 1..255 alone and inside a word, and the usual troublemakers.
std::vector<std::string> awkwardArguments() {
    std::vector<std::string> result;
    for (int byte = 1; byte < 256; ++byte) {
        result.emplace_back(1, static_cast<char>(byte));
        result.push_back({'a', static_cast<char>(byte), 'b'});
    }
    for (const char *text : {"$(touch pwned)",
                             "`touch pwned`",
                             "; touch pwned",
                             "a b",
                             "it's",
                             "\"q\"",
                             "-n",
                             "--",
                             "*",
                             "~",
                             "a=b",
                             "{}",
                             "$HOME",
                             "\\",
                             "!x",
                             "#x",
                             "line\nbreak",
                             "\x01\x7f",
                             "\\x41",
                             "'\\''",
                             "",
                             "  "}) {
        result.emplace_back(text);
    }
    return result;
}

TEST(FanrunArguments, EveryArgumentReachesItsCommandAsExactlyOneWord) {
    const std::vector<std::string> all = awkwardArguments();
    std::string nulInput;
    std::string lineInput;
    std::vector<std::string> lineArguments;
    for (const std::string &argument : all) {
        nulInput += argument + '\0';
        if (argument.find('\n') == std::string::npos && !argument.empty()) {
            lineInput += argument + '\n';
            lineArguments.push_back(argument);
        }
    }
    struct Form {
        const char *name;
        std::vector<std::string> args; // after -j 4 -o DIR
        bool fromCommandLine;
        std::string input;
        std::vector<std::string> expected;
    };
    const std::vector<Form> forms = {
        {"command line, one template word", {"printf '%s\\0'", "--"}, true, "", all},
        {"command line, words before --", {"printf", "%s\\0", "--"}, true, "", all},
        {"NUL-separated input", {"-0", "printf '%s\\0' {}"}, false, nulInput, all},
        {"lines", {"printf '%s\\0' {}"}, false, lineInput, lineArguments},
    };
    for (const Form &form : forms) {
        TempDir dir;
        const std::string out = dir / "out";
        Launch launch;
        launch.args = {"-j", "4", "-o", out};
        launch.args.insert(launch.args.end(), form.args.begin(), form.args.end());
        if (form.fromCommandLine) {
            launch.args.insert(launch.args.end(), all.begin(), all.end());
        }
        launch.input = form.input;
        launch.workDir = dir.path().string();
        Outcome outcome = run(dir, launch);
        EXPECT_EQ(outcome.code(), 0) << form.name << "\n" << outcome.err;
        EXPECT_EQ(outcome.err, "") << form.name;
        std::string header;
        std::vector<ReportLine> report = parseRecords(outcome.out, &header);
        ASSERT_EQ(report.size(), form.expected.size()) << form.name;
        EXPECT_EQ(header,
                  std::to_string(report.size()) + " " + std::to_string(report.size()) + " 0")
            << form.name;
        // No raw control byte: every record is one line.
        EXPECT_EQ(std::count_if(outcome.out.begin(), outcome.out.end(),
                                [](char c) { return (c >= 0 && c < 32 && c != '\n') || c == 127; }),
                  0)
            << form.name;
        for (size_t i = 0; i < report.size(); ++i) {
            EXPECT_EQ(commandOutput(out, report[i]), form.expected[i] + '\0')
                << form.name << ": argument " << i << ", command " << report[i].command;
        }
        std::vector<std::string> left;
        for (const auto &entry : fs::directory_iterator(dir.path())) {
            left.push_back(entry.path().filename().string());
        }
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::string>{"fanrun.err", "fanrun.in", "fanrun.out", "out"}))
            << form.name;
    }
}

TEST(FanrunArguments, RawArgumentsRunAsShellCodeAndCommandsNeverReadTheRunnersInput) {
    TempDir dir;
    const std::string out = dir / "out";
    Outcome outcome = run(dir, {"--raw", "-j", "1", "-o", out, "echo {}", "$((1 + 2))", "a  b"});
    EXPECT_EQ(outcome.code(), 0);
    std::string header;
    std::vector<ReportLine> report = parseRecords(outcome.out, &header);
    ASSERT_EQ(report.size(), 2U);
    EXPECT_EQ(report[0].command, "echo $((1 + 2))");
    EXPECT_EQ(commandOutput(out, report[0]), "3\n");
    EXPECT_EQ(report[1].command, "echo a  b");
    EXPECT_EQ(commandOutput(out, report[1]), "a b\n");
    // A command never reads the runner's own input, even one the runner leaves unread.
    Outcome cat = run(dir, {"--raw", "-o", out, "{}", "cat"}, "the runner's input\n");
    EXPECT_EQ(cat.code(), 0);
    report = parseRecords(cat.out, &header);
    ASSERT_EQ(report.size(), 1U);
    EXPECT_EQ(commandOutput(out, report[0]), "");
}

// ---- exit statuses ---------------------------------------------------------------------------

TEST(FanrunExitStatus, TellsWhetherEveryCommandRanAndSucceeded) {
    TempDir dir;
    writeFile(dir / "file", "");
    struct Case {
        std::vector<std::string> args;
        std::string outPath;
        int code;
        std::string errFirstLine; // prefix of standard error's first line, "" for none
    };
    const std::string out = dir / "out";
    const std::vector<Case> cases = {
        {{"-o", out, "true", "a", "b"}, "", 0, ""},
        {{"-o", out, "exit {}", "0", "1", "3"}, "", 123, ""},
        {{"-o", out, "--raw", "{}", "true", "kill -9 $$"}, "", 123, ""},
        {{"-o", out, "--timeout", "0.2", "sleep", "30"}, "", 123, ""},
        {{"-o", dir / "file", "true", "a"}, "", 123, "Error: open failed"},
        {{"-o", dir / "missing/out", "true", "a"}, "", 1, "Error: failed to create output"},
        {{"-o", out, "true", "a"}, "/dev/full", 1, "fanrun: cannot write the report: No space"},
        {{"-o", out, "--dry-run", "true", "a"}, "/dev/full", 1, "fanrun: cannot write the"},
        {{"-o", out, "--dry-run", "exit 1", "a"}, "", 0, ""},
        {{"-o", out, "-j", "0x", "true", "a"}, "", 2, "fanrun: -j needs"},
    };
    for (const Case &c : cases) {
        Launch launch;
        launch.args = c.args;
        launch.outPath = c.outPath;
        Outcome outcome = run(dir, launch);
        std::string shown;
        for (const std::string &argument : c.args) {
            shown += " '" + argument + "'";
        }
        EXPECT_EQ(outcome.code(), c.code) << shown << "\n" << outcome.err;
        if (c.errFirstLine.empty()) {
            EXPECT_EQ(outcome.err, "") << shown;
        } else {
            EXPECT_EQ(outcome.err.rfind(c.errFirstLine, 0), 0U) << shown << "\n" << outcome.err;
        }
    }
}

// ---- input forms -----------------------------------------------------------------------------

TEST(FanrunInput, FindPrint0NamesWithSpacesNewlinesAndQuotesReachTheirCommands) {
    TempDir dir;
    const fs::path files = dir.path() / "files";
    fs::create_directory(files);
    const std::vector<std::string> names = {"a b", "new\nline", "it's",  "q\"uote",    "-dash",
                                            "*",   "$(x)",      "tab\t", "back\\slash"};
    for (const std::string &name : names) {
        writeFile(files / name, name);
    }
    const std::string out = dir / "out";
    const std::string command = "find " + files.string() + " -type f -print0 | " + fanrunPath +
                                " -0 -j 3 -o " + out + " cat --";
    Outcome outcome = run(dir, {"--raw", "-o", dir / "outer", "{}", command});
    ASSERT_EQ(outcome.code(), 0) << outcome.err;
    std::string outerHeader;
    std::vector<ReportLine> outer = parseRecords(outcome.out, &outerHeader);
    ASSERT_EQ(outer.size(), 1U);
    std::string header;
    std::vector<ReportLine> report = parseRecords(commandOutput(dir / "outer", outer[0]), &header);
    EXPECT_EQ(header, "9 9 0");
    std::multiset<std::string> seen;
    for (const ReportLine &record : report) {
        EXPECT_EQ(record.exitStatus, 0) << record.command;
        seen.insert(commandOutput(out, record));
    }
    EXPECT_EQ(seen, std::multiset<std::string>(names.begin(), names.end()));
}

TEST(FanrunInput, DelimitersAndArgumentFilesGiveTheseArguments) {
    TempDir dir;
    writeFile(dir / "list", "x\ny\n\nz");
    struct Case {
        std::vector<std::string> options;
        std::string input;
        std::string expected; // the dry run's output for the template "echo {}"
        int code;
    };
    const std::vector<Case> cases = {
        {{}, "a\n\nb\n", "echo a\necho b\n", 0},
        {{"-d", ","}, "a,b,,c,", "echo a\necho b\necho ''\necho c\n", 0},
        {{"-d", "\\n"}, "a\n\nb", "echo a\necho ''\necho b\n", 0},
        {{"-d", "\\t"}, "a b\tc", "echo 'a b'\necho c\n", 0},
        {{"-d", "\\x3b"}, "a;b;", "echo a\necho b\n", 0},
        {{"-d", "\\0"}, std::string("a\0\0b\n", 5), "echo a\necho ''\necho $'b\\n'\n", 0},
        {{"-0"}, std::string("p q\0", 4), "echo 'p q'\n", 0},
        {{"-0"}, "", "", 0},
        {{"-a", dir / "list"}, "ignored\n", "echo x\necho y\necho z\n", 0},
        {{"-a", "-"}, "s\n", "echo s\n", 0},
        {{"-d", "ab"}, "a", "", 2},
        {{"-d", ""}, "a", "", 2},
        {{"-d", "\\q"}, "a", "", 2},
        {{"-d", "\\x4"}, "a", "", 2},
        {{"-d", ","}, std::string("a\0,b", 4), "", 2},
        {{"-a", dir / "missing"}, "", "", 2},
        {{"-a", dir.path().string()}, "", "", 2},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {"--dry-run"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.emplace_back("echo {}");
        Outcome outcome = run(dir, args, c.input);
        const std::string shown = c.options.empty() ? "(no option)" : c.options.back();
        EXPECT_EQ(outcome.code(), c.code) << shown << "\n" << outcome.err;
        EXPECT_EQ(outcome.out, c.expected) << shown;
        EXPECT_EQ(outcome.err.empty(), c.code == 0) << shown << "\n" << outcome.err;
    }
    Outcome both = run(dir, {"-a", dir / "list", "echo {}", "arg"});
    EXPECT_EQ(both.code(), 2);
    EXPECT_EQ(both.out, "");
}

TEST(FanrunInput, AReadErrorOrExhaustedMemoryIsMisuseAndRunsNothing) {
    TempDir dir;
    const std::string marker = "touch " + (dir / "ran");
    Launch fromDirectory;
    fromDirectory.args = {"-o", dir / "out", marker};
    fromDirectory.inputPath = dir.path().string();
    Outcome directory = run(dir, fromDirectory);
    EXPECT_EQ(directory.code(), 2);
    EXPECT_EQ(lines(directory.err).at(0),
              "fanrun: cannot read the arguments from standard input: Is a directory");
    if (!sanitized) {
        // A line longer than the address space allows: getline runs out of memory.
        const std::string longLine(64 << 20, 'x');
        writeFile(dir / "long", longLine + "\nb\n");
        Launch tooLong;
        tooLong.args = {"-o", dir / "out", marker};
        tooLong.inputPath = dir / "long";
        tooLong.addressSpace = 48 << 20;
        Outcome memory = run(dir, tooLong);
        EXPECT_EQ(memory.code(), 2) << memory.err;
        EXPECT_EQ(lines(memory.err).at(0),
                  "fanrun: cannot read the arguments from standard input: Cannot allocate memory");
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_FALSE(fs::exists(dir / "ran"));
}

// ---- dry runs and shards ---------------------------------------------------------------------

TEST(FanrunShard, EachShardTakesEveryNthArgumentAndTheDryRunShowsTheSlice) {
    TempDir dir;
    const std::vector<std::string> args = {"--dry-run", "-d", ",", "--shard"};
    const std::string input = "0,1,2,3,4,5,6,7,8,9";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"0/3", "echo 0\necho 3\necho 6\necho 9\n"},
        {"1/3", "echo 1\necho 4\necho 7\n"},
        {"2/3", "echo 2\necho 5\necho 8\n"},
        {"0/1", "echo 0\necho 1\necho 2\necho 3\necho 4\necho 5\necho 6\necho 7\necho 8\necho 9\n"},
        {"11/12", ""},
    };
    for (const auto &[shard, expected] : cases) {
        std::vector<std::string> all = args;
        all.push_back(shard);
        all.emplace_back("echo");
        all.emplace_back("--");
        Outcome outcome = run(dir, all, input);
        EXPECT_EQ(outcome.code(), 0) << shard;
        EXPECT_EQ(outcome.out, expected) << shard;
    }
    for (const char *bad :
         {"3/3", "1", "a/2", "-1/2", "0/0", "1/", "/2", "0/2x", "0/ 2", "+0/2", "0/99999999999"}) {
        Outcome outcome =
            run(dir, {"--shard", bad, "-o", dir / "out", "touch " + (dir / "ran")}, "a\nb\n");
        EXPECT_EQ(outcome.code(), 2) << bad;
        EXPECT_EQ(outcome.out, "") << bad;
        EXPECT_EQ(outcome.err.rfind("fanrun: --shard needs K/N", 0), 0U) << bad << outcome.err;
    }
    EXPECT_FALSE(fs::exists(dir / "ran"));
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_FALSE(fs::exists(dir / "fanrun-out"));
}

TEST(FanrunShard, AShardsDefaultOutputDirectoryNamesTheShard) {
    TempDir dir;
    for (const char *shard : {"1/2", "0/2"}) {
        Launch launch;
        launch.args = {"--shard", shard, "echo", "--", "a", "b", "c"};
        launch.workDir = dir.path().string();
        Outcome outcome = run(dir, launch);
        ASSERT_EQ(outcome.code(), 0) << outcome.err;
        std::vector<ReportLine> report = parseRecords(outcome.out);
        const std::string sub = std::string("fanrun-out/shard-") + shard[0] + "-of-2/";
        std::string seen;
        for (const ReportLine &record : report) {
            seen += readFile(dir / (sub + std::to_string(record.pid) + ".stdout"));
        }
        EXPECT_EQ(seen, shard[0] == '1' ? "b\n" : "a\nc\n");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "fanrun-out"), fs::directory_iterator()),
              2);
}

// ---- timeouts, halting, progress, interruption -------------------------------------------------

TEST(FanrunTimeout, EndsACommandThatRunsTooLongAndOnlyThatOne) {
    TempDir dir;
    const std::string sleep = uniqueSleep();
    const auto begin = std::chrono::steady_clock::now();
    Outcome outcome =
        run(dir, {"--timeout", "0.3", "-j", "2", "-o", dir / "out", "sleep", "--", sleep, "0.01"});
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(outcome.code(), 123) << outcome.err;
    std::string header;
    std::vector<ReportLine> report = parseRecords(outcome.out, &header);
    EXPECT_EQ(header, "2 2 0");
    EXPECT_EQ(exitStatuses(report), (std::vector<int>{-1, 0}));
    EXPECT_LT(took, 10s);
    EXPECT_EQ(sleepers(sleep), 0);
    for (const char *bad : {"0", "-1", "abc", "1e3", "inf", "nan", "", ".", "1.5s", " 1"}) {
        Outcome misuse = run(dir, {"--timeout", bad, "-o", dir / "bad", "true", "a"});
        EXPECT_EQ(misuse.code(), 2) << bad;
        EXPECT_EQ(misuse.err.rfind("fanrun: --timeout needs", 0), 0U) << bad << misuse.err;
    }
    EXPECT_FALSE(fs::exists(dir / "bad"));
}

TEST(FanrunHalt, StopsLaunchingAfterTheFirstFailureSoonLettingRunningOnesFinish) {
    struct Case {
        const char *mode;
        std::vector<int> expected; // the slow command, then the failing one
    };
    for (const Case &c : {Case{"soon", {0, 1}}, Case{"now", {-1, 1}}}) {
        TempDir dir;
        Outcome outcome =
            run(dir, {"--halt", c.mode, "--raw", "-j", "2", "-o", dir / "out", "{}",
                      "sleep 1.5; exit 0", "sleep 0.2; exit 1", "touch " + (dir / "never")});
        EXPECT_EQ(outcome.code(), 123) << c.mode << "\n" << outcome.err;
        std::string header;
        std::vector<ReportLine> report = parseRecords(outcome.out, &header);
        EXPECT_EQ(header, "3 2 0") << c.mode;
        EXPECT_EQ(exitStatuses(report), c.expected) << c.mode;
        EXPECT_FALSE(fs::exists(dir / "never")) << c.mode;
    }
    TempDir dir;
    EXPECT_EQ(run(dir, {"--halt", "later", "true", "a"}).code(), 2);
}

TEST(FanrunProgress, WritesStatusLinesToStandardErrorOnlyAndAtMostOneASecond) {
    TempDir dir;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    Launch launch;
    launch.args = {"--progress", "-j", "2", "-o", dir / "out", "sleep 0.3; true",
                   "1",          "2",  "3", "4",  "5",         "6",
                   "7",          "8",  "9", "10", "11",        "12"};
    launch.errFd = ends[1];
    const auto begin = std::chrono::steady_clock::now();
    Program started = start(dir, launch);
    close(ends[1]);
    std::string err = readAll(ends[0]);
    Outcome outcome = started.finish();
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin);
    EXPECT_EQ(outcome.code(), 0);
    std::string header;
    EXPECT_EQ(parseRecords(outcome.out, &header).size(), 12U);
    EXPECT_EQ(header, "12 12 0");
    EXPECT_EQ(err.find('\r'), std::string::npos) << err;
    std::vector<std::string> progress = lines(err);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(err.back(), '\n');
    EXPECT_LE(static_cast<double>(progress.size()), seconds.count() + 2) << err;
    const std::regex status(R"(\d+/12 done, \d+ running, \d+ failed, \S+ elapsed, \S+ left)");
    for (const std::string &line : progress) {
        EXPECT_TRUE(std::regex_match(line, status)) << line;
    }
    EXPECT_EQ(progress.back().rfind("12/12 done, 0 running, 0 failed, ", 0), 0U) << err;
}

TEST(FanrunStop, AnInterruptEndsEveryCommandAndWhatItStartedAndKeepsTheReport) {
    struct Case {
        int signum;
        bool stubborn; // the commands ignore the signal: a second one ends them with SIGKILL
    };
    for (const Case &c : {Case{SIGINT, false}, Case{SIGTERM, false}, Case{SIGHUP, false},
                          Case{SIGINT, true}, Case{SIGTERM, true}}) {
        TempDir dir;
        const std::string sleep = uniqueSleep();
        const std::string marks = dir / "marks";
        fs::create_directory(marks);
        std::string command = c.stubborn ? "trap '' INT TERM HUP; " : "";
        command += "touch " + marks + "/{}; sleep " + sleep + "; touch " + marks + "/done";
        Launch launch;
        launch.args = {"-j", "2", "-o", dir / "out", command, "1", "2", "3"};
        Program started = start(dir, launch);
        ASSERT_TRUE(eventually(
            [&] {
                return fs::exists(marks + "/1") && fs::exists(marks + "/2") && sleepers(sleep) == 2;
            },
            20s, 5ms));
        kill(started.pid, c.signum);
        if (c.stubborn) {
            std::this_thread::sleep_for(300ms);
            EXPECT_EQ(sleepers(sleep), 2) << strsignal(c.signum);
            kill(started.pid, c.signum);
        }
        Outcome outcome = started.finish();
        EXPECT_EQ(outcome.code(), 128 + c.signum) << strsignal(c.signum) << "\n" << outcome.err;
        std::string header;
        std::vector<ReportLine> report = parseRecords(outcome.out, &header);
        EXPECT_EQ(header, "3 2 0") << strsignal(c.signum);
        EXPECT_EQ(exitStatuses(report), (std::vector<int>{-1, -1})) << strsignal(c.signum);
        // Signalled with its group, the sleep may still be on its way out.
        EXPECT_TRUE(eventually([&] { return sleepers(sleep) == 0; }, 2s, 5ms))
            << strsignal(c.signum);
        std::this_thread::sleep_for(100ms);
        EXPECT_FALSE(fs::exists(marks + "/3")) << strsignal(c.signum);
        EXPECT_FALSE(fs::exists(marks + "/done")) << strsignal(c.signum);
    }
}

// ---- the list of what job logs left undone ---------------------------------------------------

// A job log as a run that started every argument writes it: the header, then one record per line
// (fields without tabs), then its closing record.
std::string jobLog(const std::vector<std::vector<std::string>> &records, std::string tail = "") {
    std::string text = "event\tstart\truntime\texit\tsignal\tattempt\toccurrence\targument\n";
    for (const std::vector<std::string> &fields : records) {
        for (size_t i = 0; i < fields.size(); ++i) {
            text += fields[i] + (i + 1 < fields.size() ? "\t" : "\n");
        }
    }
    return text + "closed\t1700000000.000001\t-\t-\t-\t-\t0\t0000000000000000\n" + tail;
}

std::vector<std::string> started(const std::string &field, const std::string &attempt = "1",
                                 const std::string &occurrence = "1") {
    return {"start", "1700000000.000001", "-", "-", "-", attempt, occurrence, field};
}

std::vector<std::string> ended(const std::string &field, const std::string &exitCode,
                               const std::string &signal, const std::string &attempt = "1",
                               const std::string &occurrence = "1") {
    return {"end", "1700000000.000001", "2.500000", exitCode, signal, attempt, occurrence, field};
}

// Two shards' logs: what ended well in either is done, whatever else its other entries say.
void writeShardLogs(const TempDir &dir) {
    writeFile(dir / "shard-0.log",
              jobLog({started("a"), ended("a", "0", "-"), started("new\\nline"),
                      ended("new\\nline", "1", "-"), started("tab\\tx"), started("b"),
                      ended("b", "2", "-"), started("b", "2"), ended("b", "0", "-", "2"),
                      started("d"), ended("d", "1", "-")},
                     // Torn while written: its success must not count.
                     "end\t1700000000.000001\t2.500000\t0\t-\t1\t1\ttab\\tx"));
    writeFile(dir / "shard-1.log", jobLog({started("c"), ended("c", "-", "9"),
                                           started("a", "1", "2"), ended("a", "1", "-", "1", "2"),
                                           started("d"), ended("d", "0", "-"), started("x\\\\y")}));
}

TEST(FanrunFailed, ListsEachArgumentThatNoLogEndedWellOnceInTheOrderFirstSeen) {
    TempDir dir;
    writeShardLogs(dir);
    Outcome outcome = run(dir, {"--failed", "-0", dir / "shard-0.log", dir / "shard-1.log"});
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, std::string("new\nline\0tab\tx\0c\0x\\y\0", 21));
    // Ready as the input of the rerun.
    Outcome rerun = run(dir, {"--dry-run", "-0", "echo {}"}, outcome.out);
    EXPECT_EQ(rerun.code(), 0) << rerun.err;
    EXPECT_EQ(rerun.out, "echo $'new\\nline'\necho $'tab\\tx'\necho c\necho 'x\\y'\n");
    // Logs in the other order: the order first seen follows them.
    Outcome swapped = run(dir, {"--failed", "-0", dir / "shard-1.log", dir / "shard-0.log"});
    EXPECT_EQ(swapped.code(), 0) << swapped.err;
    EXPECT_EQ(swapped.out, std::string("c\0x\\y\0new\nline\0tab\tx\0", 21));
}

TEST(FanrunFailed, RefusesWhatALineCannotCarryAndLogsItCannotRead) {
    TempDir dir;
    writeShardLogs(dir);
    writeFile(dir / "plain.log", jobLog({started("p"), ended("p", "3", "-"), started("q"),
                                         ended("q", "0", "-"), started("r\\\\s")}));
    writeFile(dir / "empty-left.log", jobLog({started("")}));
    writeFile(dir / "header-only.log", jobLog({}));
    writeFile(dir / "garbled.log", jobLog({started("p"), {"garbage"}, started("q")}));
    writeFile(dir / "notes", "not a job log\n");
    struct Case {
        std::vector<std::string> args;
        std::string outPath;
        int code;
        std::string out;
        std::string err; // its first line
    };
    const std::vector<Case> cases = {
        {{dir / "plain.log"}, "", 0, "p\nr\\s\n", ""},
        {{dir / "header-only.log"}, "", 0, "", ""},
        {{"-0", dir / "header-only.log", dir / "empty-left.log"}, "", 0, std::string(1, '\0'), ""},
        {{dir / "garbled.log"},
         "",
         0,
         "p\nq\n",
         "fanrun: the job log " + (dir / "garbled.log") +
             " holds 1 lines that are not records; ignored"},
        {{dir / "shard-0.log", dir / "shard-1.log"},
         "",
         2,
         "",
         "fanrun: an argument left to run holds a newline, which a line cannot carry; list them "
         "with --failed -0"},
        {{dir / "empty-left.log"},
         "",
         2,
         "",
         "fanrun: an argument left to run is empty, which a line cannot carry; list them with "
         "--failed -0"},
        {{dir / "plain.log", dir / "missing.log"},
         "",
         2,
         "",
         "fanrun: cannot open the job log " + (dir / "missing.log") +
             ": No such file or directory"},
        {{dir.path().string()},
         "",
         2,
         "",
         "fanrun: cannot read the job log " + dir.path().string() + ": Is a directory"},
        {{dir / "notes"},
         "",
         2,
         "",
         "fanrun: " + (dir / "notes") +
             " is not a job log: it does not start with the job log "
             "header"},
        {{}, "", 2, "", "fanrun: --failed needs at least one job log"},
        {{"-d", ",", dir / "plain.log"},
         "",
         2,
         "",
         "fanrun: --failed ends its items with a newline, or with -0 a NUL byte; not -d"},
        {{dir / "plain.log"}, "/dev/full", 1, "", "fanrun: cannot write the list: No space left"},
    };
    for (const Case &c : cases) {
        Launch launch;
        launch.args = {"--failed"};
        launch.args.insert(launch.args.end(), c.args.begin(), c.args.end());
        launch.outPath = c.outPath;
        Outcome outcome = run(dir, launch);
        const std::string shown = c.args.empty() ? "(no log)" : c.args.back();
        EXPECT_EQ(outcome.code(), c.code) << shown << "\n" << outcome.err;
        if (c.outPath.empty()) {
            EXPECT_EQ(outcome.out, c.out) << shown;
        }
        if (c.err.empty()) {
            EXPECT_EQ(outcome.err, "") << shown;
        } else {
            EXPECT_EQ(lines(outcome.err).at(0).substr(0, c.err.size()), c.err) << shown;
        }
    }
}

// ---- recovery after a killed run ----------------------------------------------------------------

// Starts a run in a pid namespace of its own, waits until the file appears, and kills the
// runner with SIGKILL, taking its commands with it; returns once the runner has let go of the log.
// Shell code for a command's template that waits until the job log holds the start of this
// attempt of its argument: the runner logs a start just after the command has begun, so a file
// the command makes at once can be seen before its start is in the log.
std::string untilStartLogged(const std::string &log, int attempt = 1) {
    return "until grep -q \"^start.*[[:space:]]" + std::to_string(attempt) +
           "[[:space:]][0-9]*[[:space:]]{}\\$\" " + log + "; do sleep 0.02; done; ";
}

void killWhenThere(const TempDir &dir, const std::vector<std::string> &args,
                   const std::string &file, const std::string &log) {
    Launch launch;
    launch.args = args;
    launch.wrapper = {"unshare", "--pid", "--fork", "--kill-child"};
    Program program = start(dir, launch);
    const bool there = eventually([&] { return fs::exists(file); });
    kill(program.pid, SIGKILL);
    Outcome outcome = program.finish();
    if (outcome.exitedWith(1) && outcome.err.find("unshare") != std::string::npos) {
        SKIP_UNLESS_CI("cannot make a pid namespace: " << outcome.err);
    }
    ASSERT_TRUE(there) << outcome.err;
    // The namespace's processes die after the wrapper that was waited for.
    const int fd = open(log.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(eventually([&] { return flock(fd, LOCK_EX | LOCK_NB) == 0; }));
    close(fd);
}

TEST(FanrunRecovery, AnArgumentWhoseRetryRanAtTheKillRunsAgainOnResume) {
    for (const char *resume : {"--resume", "--resume-failed"}) {
        TempDir dir;
        const std::string log = dir / "job.log";
        // "slow"'s first attempt fails, its retry runs until the kill; "quick" ends well, and
        // the retry waits for its end record, which a loaded machine may write late.
        const std::string command = "case {} in slow) if [ -e " + (dir / "tried") +
                                    " ]; then until grep -q '^end.*quick$' " + log +
                                    "; do sleep 0.05; done; " + untilStartLogged(log, 2) +
                                    "touch " + (dir / "retrying") + "; sleep 30; fi; touch " +
                                    (dir / "tried") + "; exit 1;; esac";
        killWhenThere(dir, {"-j", "2", "--joblog", log, "--retries", "3", command, "slow", "quick"},
                      dir / "retrying", log);
        if (testing::Test::IsSkipped()) {
            return;
        }
        Outcome resumed = run(dir, {"-k", "--joblog", log, resume, "echo {}", "slow", "quick"});
        EXPECT_EQ(resumed.code(), 0) << resume << resumed.err;
        EXPECT_EQ(resumed.out, "slow\n") << resume;
        // The report follows on standard error.
        EXPECT_EQ(lines(resumed.err).at(0), "fanrun: 1 command of the job log never ended "
                                            "(running when its run stopped); they run again")
            << resume;
    }
}

TEST(FanrunRecovery, ADryRunResumeShowsExactlyWhatTheResumeRunsAndLeavesTheLogAsItIs) {
    TempDir dir;
    const std::string log = dir / "job.log";
    // a and b end, c runs at the kill, d never starts.
    killWhenThere(dir,
                  {"-j", "1", "--joblog", log,
                   "case {} in c) " + untilStartLogged(log) + "touch " + (dir / "running") +
                       "; sleep 30;; b) exit 4;; esac",
                   "a", "b", "c", "d"},
                  dir / "running", log);
    if (testing::Test::IsSkipped()) {
        return;
    }
    // A torn last line too: a dry run must not cut it.
    writeFile(log, readFile(log) + "end\t17000");
    const std::string before = readFile(log);
    struct Case {
        const char *resume;
        std::string dry; // the dry run's commands
        std::string ran; // what the resumed run then runs
        int code;        // b's failure stays with --resume
    };
    const std::vector<Case> cases = {
        {"--resume", "echo c\necho d\n", "c\nd\n", 123},
        {"--resume-failed", "echo b\necho c\necho d\n", "b\nc\nd\n", 0},
    };
    for (const Case &c : cases) {
        writeFile(log, before);
        Outcome dry =
            run(dir, {"--dry-run", "--joblog", log, c.resume, "echo {}", "a", "b", "c", "d"});
        EXPECT_EQ(dry.code(), 0) << c.resume << dry.err;
        EXPECT_EQ(dry.out, c.dry) << c.resume;
        EXPECT_EQ(readFile(log), before) << c.resume;
        Outcome resumed =
            run(dir, {"-k", "--joblog", log, c.resume, "echo {}", "a", "b", "c", "d"});
        EXPECT_EQ(resumed.code(), c.code) << c.resume << resumed.err;
        EXPECT_EQ(resumed.out, c.ran) << c.resume;
    }
    // Without a log yet, the dry run shows everything and makes none.
    Outcome fresh =
        run(dir, {"--dry-run", "--joblog", dir / "new.log", "--resume", "echo {}", "a"});
    EXPECT_EQ(fresh.code(), 0) << fresh.err;
    EXPECT_EQ(fresh.out, "echo a\n");
    EXPECT_FALSE(fs::exists(dir / "new.log"));
}

TEST(FanrunRecovery, FailedSaysWhenAKilledRunsLogCannotKnowWhatItNeverStartedAndTheInputListsIt) {
    TempDir dir;
    const std::string log = dir / "job.log";
    std::string input;
    for (int i = 1; i <= 40; ++i) {
        input += (i % 10 == 0 ? std::string("same") : std::to_string(i)) + '\n';
    }
    writeFile(dir / "input", input);
    // 1 to 4 end well, 5 fails, 6 and 7 run at the kill, the rest never starts.
    killWhenThere(dir,
                  {"-j", "2", "--joblog", log, "-a", dir / "input",
                   "case {} in 5) exit 1;; 6|7) " + untilStartLogged(log) + "touch " +
                       (dir / "{}") + "; sleep 30;; esac; " + "[ {} -lt 6 ] || sleep 30"},
                  dir / "7", log);
    if (testing::Test::IsSkipped()) {
        return;
    }
    std::string left = "5\n6\n7\n8\n9\nsame\n";
    std::string shard = "6\n8\nsame\n"; // --shard 1/2: every second from the second
    for (int i = 11; i <= 40; ++i) {
        const std::string argument = i % 10 == 0 ? "same" : std::to_string(i);
        left += argument + "\n";
        shard += i % 2 == 0 ? argument + "\n" : "";
    }
    const std::string unknown =
        "fanrun: the run of the job log " + log +
        " did not start every argument of its input (it was stopped or died): what it never "
        "started is not listed; give the input with --failed -a FILE\n";
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--failed", log}, 3, "5\n6\n7\n", unknown},
        {{"--failed", "-a", dir / "input", log}, 0, left, ""},
        {{"--failed", "-a", dir / "input", "--shard", "1/2", log}, 0, shard, ""},
    };
    for (const Case &c : cases) {
        Outcome outcome = run(dir, c.args);
        EXPECT_EQ(outcome.code(), c.code) << c.args.back() << outcome.err;
        EXPECT_EQ(outcome.out, c.out) << c.args.size();
        EXPECT_EQ(outcome.err, c.err) << c.args.size();
    }
    // With -0 from a file of NUL-ended items, the same list.
    std::string items = input;
    std::replace(items.begin(), items.end(), '\n', '\0');
    writeFile(dir / "items", items);
    std::string leftItems = left;
    std::replace(leftItems.begin(), leftItems.end(), '\n', '\0');
    Outcome nul = run(dir, {"--failed", "-0", "-a", dir / "items", log});
    EXPECT_EQ(nul.code(), 0) << nul.err;
    EXPECT_EQ(nul.out, leftItems);
    // The rerun of what is left, resumed into the same log, starts every argument: the log
    // alone then knows that nothing is left, and the input agrees.
    Outcome resumed = run(dir, {"--joblog", log, "--resume-failed", "-a", dir / "input", "true"});
    EXPECT_EQ(resumed.code(), 0) << resumed.err;
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--failed", log},
          std::vector<std::string>{"--failed", "-a", dir / "input", log}}) {
        Outcome outcome = run(dir, args);
        EXPECT_EQ(outcome.code(), 0) << outcome.err;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "");
    }
    // Another input than the run read is said, and what is left of it listed.
    writeFile(dir / "more", input + "41\n");
    Outcome more = run(dir, {"--failed", "-a", dir / "more", log});
    EXPECT_EQ(more.code(), 0) << more.err;
    EXPECT_EQ(more.out, "41\n");
    EXPECT_EQ(more.err, "fanrun: the input is not the one the run of the job log " + log +
                            " read (40 arguments); listed what is left of this input\n");
}

// ---- a stop signal at every moment, early report signals ----------------------------------------

// The moments before and after the commands run, each held open so that a signal lands in it.
enum class Moment { OpeningArgumentFile, ReadingInput, MakingOutputDir, WritingReport };

// The program has its handlers and sleeps in a blocking call.
bool blockedWithHandlers(pid_t pid) {
    const unsigned long long stopBits = signalBit(SIGINT) | signalBit(SIGTERM) | signalBit(SIGHUP);
    return (statusMask(pid, "SigCgt") & stopBits) == stopBits &&
           readFile("/proc/" + std::to_string(pid) + "/status").find("\nState:\tS") !=
               std::string::npos;
}

TEST(FanrunStop, AStopSignalAtAnyMomentStartsNothingAfterItAndEndsWith128PlusN) {
    struct Case {
        Moment moment;
        const char *name;
    };
    const Case cases[] = {{Moment::OpeningArgumentFile, "opening a FIFO as -a file"},
                          {Moment::ReadingInput, "reading the input"},
                          {Moment::MakingOutputDir, "making the output directory"},
                          {Moment::WritingReport, "writing the report to a full pipe"}};
    for (const Case &c : cases) {
        for (int signum : {SIGINT, SIGTERM, SIGHUP}) {
            const std::string label = std::string(c.name) + ", " + strsignal(signum);
            TempDir dir;
            const std::string marks = dir / "marks";
            fs::create_directory(marks);
            Launch launch;
            launch.args = {"-j", "1", "-o", dir / "out", "touch " + marks + "/{}"};
            // Three report lines far longer than the pipe and the stdio buffer together.
            const std::string longName(3000, 'x');
            int report[2] = {-1, -1};
            switch (c.moment) {
            case Moment::OpeningArgumentFile:
                ASSERT_EQ(mkfifo((dir / "input").c_str(), 0600), 0);
                launch.args.insert(launch.args.begin(), {"-a", dir / "input"});
                break;
            case Moment::ReadingInput:
                ASSERT_EQ(mkfifo((dir / "input").c_str(), 0600), 0);
                launch.inputPath = dir / "input";
                break;
            case Moment::MakingOutputDir:
                launch.environment = {"LD_PRELOAD=" FANRUN_SHIM,
                                      "FANRUN_SHIM_MKDIR=" + dir / "inside",
                                      "ASAN_OPTIONS=verify_asan_link_order=0"};
                launch.args.insert(launch.args.end(), {"--", "a", "b", "c"});
                break;
            case Moment::WritingReport:
                ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
                ASSERT_GT(fcntl(report[0], F_SETPIPE_SZ, 4096), 0);
                launch.outFd = report[1];
                launch.args.back() = "true {}";
                launch.args.insert(launch.args.end(),
                                   {"--", "1" + longName, "2" + longName, "3" + longName});
                break;
            }
            Program started = start(dir, launch);
            int writer = -1;
            std::string expected;
            switch (c.moment) {
            case Moment::OpeningArgumentFile:
            case Moment::ReadingInput:
                // Kept silent (and for -a never opened): the runner would wait forever.
                if (c.moment == Moment::ReadingInput) {
                    writer = open((dir / "input").c_str(), O_WRONLY | O_CLOEXEC);
                    ASSERT_GE(writer, 0);
                }
                ASSERT_TRUE(eventually([&] { return blockedWithHandlers(started.pid); })) << label;
                kill(started.pid, signum);
                expected = "0 0 0\n";
                break;
            case Moment::MakingOutputDir:
                ASSERT_TRUE(eventually([&] { return fs::exists(dir / "inside"); })) << label;
                kill(started.pid, signum);
                expected = "3 0 0\n";
                break;
            case Moment::WritingReport: {
                close(report[1]);
                ASSERT_TRUE(eventually([&] {
                    int buffered = 0;
                    return ioctl(report[0], FIONREAD, &buffered) == 0 && buffered >= 4096;
                })) << label;
                kill(started.pid, signum);
                // Pending: the runner is still blocked in the report when the signal comes.
                EXPECT_TRUE(eventually([&] {
                    return (statusMask(started.pid, "ShdPnd") & signalBit(signum)) != 0;
                })) << label;
                Outcome whole;
                whole.out = readAll(report[0]);
                std::string header;
                std::vector<ReportLine> records = parseRecords(whole.out, &header);
                EXPECT_EQ(header, "3 3 0") << label;
                ASSERT_EQ(records.size(), 3U) << label;
                for (size_t i = 0; i < records.size(); ++i) {
                    EXPECT_EQ(records[i].exitStatus, 0) << label;
                    EXPECT_EQ(records[i].command, "true " + std::to_string(i + 1) + longName)
                        << label;
                }
                break;
            }
            }
            Outcome outcome = started.finish();
            if (writer >= 0) {
                close(writer);
            }
            EXPECT_EQ(outcome.code(), 128 + signum) << label << "\n" << outcome.err;
            EXPECT_EQ(outcome.err, "") << label;
            if (c.moment != Moment::WritingReport) {
                EXPECT_EQ(outcome.out, expected) << label;
                EXPECT_TRUE(fs::is_empty(marks)) << label;
            }
        }
    }
}

TEST(FanrunStop, ReportSignalsWhileTheInputIsReadAreIgnored) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "input").c_str(), 0600), 0);
    Launch launch;
    launch.inputPath = dir / "input";
    launch.args = {"-o", dir / "out", "echo"};
    Program started = start(dir, launch);
    const int writer = open((dir / "input").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_TRUE(
        eventually([&] { return (statusMask(started.pid, "SigIgn") & reportBits) == reportBits; }));
    // Before the first argument has come, nothing has started: the requests are ignored.
    for (int signum : {SIGUSR1, SIGUSR2, SIGUSR1, SIGUSR2}) {
        kill(started.pid, signum);
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(write(writer, "a\nb\n", 4), 4);
    close(writer);
    Outcome outcome = started.finish();
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    std::string header;
    std::vector<ReportLine> report = parseRecords(outcome.out, &header);
    EXPECT_EQ(header, "2 2 0");
    ASSERT_EQ(report.size(), 2U);
    EXPECT_EQ(commandOutput(dir / "out", report[0]), "a\n");
    EXPECT_EQ(commandOutput(dir / "out", report[1]), "b\n");
}

// ---- stopping and continuing the batch ----------------------------------------------------------

// The state letter of /proc/PID/stat ('T' stopped, 'Z' ended), or '?' when the process is gone.
char processState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : '?';
}

// The pids the commands wrote, one a line, to the file at path.
std::vector<pid_t> writtenPids(const std::string &path) {
    std::vector<pid_t> pids;
    for (const std::string &line : lines(readFile(path))) {
        pids.push_back(static_cast<pid_t>(std::stol(line)));
    }
    return pids;
}

TEST(FanrunSuspend, AStoppedRunnerStopsItsCommandsAndATimeoutCountsOnlyTheirRunningTime) {
    // Each command ticks six times a tenth of a second apart: well inside its second of timeout
    // while it runs, past it if the time the batch stands still counted.
    for (int signum : {SIGTSTP, SIGTTIN, SIGTTOU}) {
        TempDir dir;
        writeFile(dir / "tick",
                  "echo $$ >> pids\nfor i in 1 2 3 4 5 6; do echo $i >> \"$1\"; sleep 0.1; "
                  "done\necho \"$1\" done\n");
        Launch launch;
        launch.workDir = dir.path().string();
        launch.args = {"--timeout", "1", "-j", "2", "-o", dir / "out", "bash tick {}", "a", "b"};
        // A group of its own in the test's session, whatever group the test runs in.
        launch.ownGroup = true;
        Program started = start(dir, launch);
        ASSERT_TRUE(eventually([&] {
            return fs::exists(dir / "a") && fs::exists(dir / "b") &&
                   writtenPids(dir / "pids").size() == 2;
        }));
        kill(started.pid, signum);
        const std::vector<pid_t> commands = writtenPids(dir / "pids");
        // Not an assertion: the runner must be continued whatever happened.
        EXPECT_TRUE(eventually(
            [&] {
                return processState(started.pid) == 'T' && processState(commands[0]) == 'T' &&
                       processState(commands[1]) == 'T';
            },
            5s))
            << sigabbrev_np(signum);
        const std::string ticksA = readFile(dir / "a");
        const std::string ticksB = readFile(dir / "b");
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(readFile(dir / "a"), ticksA) << sigabbrev_np(signum);
        EXPECT_EQ(readFile(dir / "b"), ticksB) << sigabbrev_np(signum);
        EXPECT_EQ(processState(commands[0]), 'T');
        EXPECT_EQ(processState(commands[1]), 'T');
        kill(started.pid, SIGCONT);
        Outcome outcome = started.finish();
        EXPECT_EQ(outcome.code(), 0) << sigabbrev_np(signum) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        std::vector<ReportLine> report = parseRecords(outcome.out);
        ASSERT_EQ(report.size(), 2U);
        for (const ReportLine &record : report) {
            EXPECT_EQ(record.exitStatus, 0) << record.command;
            const std::string name = record.command.substr(record.command.size() - 1);
            EXPECT_EQ(commandOutput(dir / "out", record), name + " done\n");
            EXPECT_EQ(readFile(dir / name), "1\n2\n3\n4\n5\n6\n");
        }
    }
}

// ---- commands that want the terminal ------------------------------------------------------------

// Runs the front end as the leader of a new session on a pseudo-terminal, its standard output and
// error in files; typed goes to the terminal. Ended with SIGKILL (code 1009) if it hangs.
Outcome runOnTerminal(const TempDir &dir, const std::vector<std::string> &arguments,
                      const std::string &typed) {
    std::vector<char *> argv{const_cast<char *>(fanrunPath.c_str())};
    for (const std::string &argument : arguments) {
        argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const std::string outPath = dir / "fanrun.out";
    const std::string errPath = dir / "fanrun.err";
    fflush(stdout);
    fflush(stderr);
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Outcome outcome;
    if (pid < 0) {
        ADD_FAILURE() << "forkpty: " << strerror(errno);
        return outcome;
    }
    EXPECT_EQ(write(terminal, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    fcntl(terminal, F_SETFL, O_NONBLOCK);
    // The echo is read away so that the terminal never fills.
    const bool ended = eventually(
        [&] {
            char echo[256];
            while (read(terminal, echo, sizeof echo) > 0) {
            }
            return waitpid(pid, &outcome.status, WNOHANG) == pid;
        },
        20s, 5ms);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &outcome.status, 0);
    }
    close(terminal);
    outcome.out = readFile(outPath);
    outcome.err = readFile(errPath);
    return outcome;
}

TEST(FanrunTerminal, ACommandStoppedByTheTerminalIsNamedAndEndedUnlessTtyGivesItTheTerminal) {
    struct Case {
        std::vector<std::string> options;
        std::string command;
        std::vector<std::string> arguments;
        std::string typed;
        int code;
        const char *stopSignal; // "": no command stops
        std::vector<std::string> outputs;
    };
    const Case cases[] = {
        {{}, "read x < /dev/tty; echo got $x {}", {"a"}, "hello\n", 123, "SIGTTIN", {""}},
        {{}, "stty -echo < /dev/tty; echo {}", {"a"}, "", 123, "SIGTTOU", {""}},
        {{"--tty"},
         "read x < /dev/tty; echo got $x {}",
         {"a"},
         "hello\n",
         0,
         "",
         {"got hello a\n"}},
        {{"--tty"}, "read x; echo got $x {}", {"a"}, "hello\n", 0, "", {"got hello a\n"}},
        // One at a time whatever -j says: each command reads its own line, in order.
        {{"--tty", "-j", "4"},
         "read x; echo got $x {}",
         {"a", "b", "c"},
         "one\ntwo\nthree\n",
         0,
         "",
         {"got one a\n", "got two b\n", "got three c\n"}},
    };
    for (const Case &c : cases) {
        TempDir dir;
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-o", dir / "out", c.command, "--"});
        args.insert(args.end(), c.arguments.begin(), c.arguments.end());
        const std::string label = c.command + (c.options.empty() ? "" : " " + c.options[0]);
        Outcome outcome = runOnTerminal(dir, args, c.typed);
        EXPECT_EQ(outcome.code(), c.code) << label << "\n" << outcome.err;
        std::string header;
        std::vector<ReportLine> report = parseRecords(outcome.out, &header);
        ASSERT_EQ(report.size(), c.outputs.size()) << label << "\n" << outcome.out;
        std::string stops;
        for (size_t i = 0; i < report.size(); ++i) {
            EXPECT_EQ(commandOutput(dir / "out", report[i]), c.outputs[i]) << label;
            if (*c.stopSignal != '\0') {
                EXPECT_EQ(report[i].exitStatus, -1) << label;
                stops += "fanrun: command " + std::to_string(report[i].pid) + " stopped by " +
                         c.stopSignal +
                         " (it wants the terminal; use --tty), ended: " + report[i].command + "\n";
            } else {
                EXPECT_EQ(report[i].exitStatus, 0) << label;
            }
        }
        EXPECT_EQ(outcome.err, stops) << label;
    }
}

// ---- timeouts during a burst of starts ----------------------------------------------------------

TEST(FanrunTimeout, EveryCommandOfALongBurstOfStartsEndsSoonAfterItsTimeout) {
    TempDir dir;
    const std::string lifetimes = dir / "lifetimes";
    fs::create_directory(lifetimes);
    const int count = 60;
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        arguments.push_back(std::to_string(i));
    }
    // Each command notes how long it lived when the timeout's SIGTERM comes; every start takes
    // 150 ms longer, so the starts last about nine seconds.
    const std::string command = "start=$(date +%s%N); trap 'echo $(( ($(date +%s%N) - start) / "
                                "1000000 )) > " +
                                lifetimes + "/{}; exit 1' TERM; sleep 30 & wait";
    Launch launch;
    launch.environment = {"LD_PRELOAD=" FANRUN_SHIM, "FANRUN_SHIM_CLONE_MS=150",
                          "ASAN_OPTIONS=verify_asan_link_order=0"};
    launch.args = {"-j", "300", "--timeout", "0.2", "-o", dir / "out", command, "--"};
    launch.args.insert(launch.args.end(), arguments.begin(), arguments.end());
    Outcome outcome = run(dir, launch);
    EXPECT_EQ(outcome.code(), 123) << outcome.err;
    std::string header;
    EXPECT_EQ(parseRecords(outcome.out, &header).size(), static_cast<size_t>(count));
    EXPECT_EQ(header, "60 60 0");
    for (const std::string &argument : arguments) {
        const std::string lifetime = readFile(fs::path(lifetimes) / argument);
        ASSERT_FALSE(lifetime.empty()) << "command " << argument << " never got the SIGTERM";
        // Due after 0.2 s; served only after the burst, the first would live about 9 s. Half the
        // burst leaves room for a loaded machine.
        EXPECT_LT(std::stol(lifetime), 4500) << "command " << argument;
    }
}

// ---- the manual page and the completion ------------------------------------------------------

// Every option the help names, long and short ("--jobs", "-j").
std::set<std::string> helpOptions() {
    TempDir dir;
    Outcome help = run(dir, {"--help"});
    EXPECT_EQ(help.code(), 0);
    std::set<std::string> options;
    const std::regex option(R"((?:^|\n)\s+(-[a-zA-Z0-9], )?(--[a-z-]+))");
    for (auto it = std::sregex_iterator(help.out.begin(), help.out.end(), option);
         it != std::sregex_iterator(); ++it) {
        if ((*it)[1].matched) {
            options.insert((*it)[1].str().substr(0, 2));
        }
        options.insert((*it)[2].str());
    }
    return options;
}

// ---- output modes and streamed input ---------------------------------------------------------

// Commands of mixed output sizes (up to megabytes) and durations, and what running them one after
// another writes to standard output: the result every ordered run must reproduce byte for byte.
struct MixedBatch {
    std::string command;
    std::vector<std::string> arguments;
    std::string serialOut;
    std::string serialErr;
};

MixedBatch mixedBatch() {
    MixedBatch batch;
    // Argument "N:LINES:DELAY": LINES numbered lines on standard output, one line on standard
    // error, a pause of DELAY tenths of a second half way.
    batch.command = "IFS=: read -r n lines delay <<< {}; "
                    "seq -f \"$n-%g\" $((lines / 2)); sleep 0.$delay; "
                    "seq -f \"$n-%g\" $((lines / 2 + 1)) $lines; echo \"err $n\" >&2";
    const int sizes[] = {1, 200000, 0, 3, 50000, 7, 0, 1000, 2, 120000, 5, 9};
    const int delays[] = {3, 0, 2, 0, 1, 4, 0, 0, 2, 1, 0, 3};
    for (int n = 0; n < 12; ++n) {
        batch.arguments.push_back(std::to_string(n) + ":" + std::to_string(sizes[n]) + ":" +
                                  std::to_string(delays[n]));
        for (int line = 1; line <= sizes[n]; ++line) {
            batch.serialOut += std::to_string(n) + "-" + std::to_string(line) + "\n";
        }
        batch.serialErr += "err " + std::to_string(n) + "\n";
    }
    return batch;
}

// Splits output into the runs of lines that each command wrote, by the number before the dash;
// true when no command's lines appear in two separate runs (never interleaved).
bool eachCommandInOnePiece(const std::string &out, std::vector<std::string> *order) {
    std::set<std::string> finished;
    std::string current;
    for (const std::string &line : lines(out)) {
        const std::string owner = line.substr(0, line.find('-'));
        if (owner != current) {
            if (finished.count(owner) != 0) {
                return false;
            }
            if (!current.empty()) {
                finished.insert(current);
            }
            current = owner;
            order->push_back(owner);
        }
    }
    return true;
}

TEST(FanrunOutput, KeepOrderGivesTheSerialOutputByteForByteAndGroupNeverInterleaves) {
    TempDir dir;
    const MixedBatch batch = mixedBatch();
    std::vector<std::string> keep = {"-k", "-j", "6", batch.command, "--"};
    keep.insert(keep.end(), batch.arguments.begin(), batch.arguments.end());
    Outcome ordered = run(dir, keep);
    EXPECT_EQ(ordered.code(), 0) << ordered.err;
    EXPECT_TRUE(ordered.out == batch.serialOut) << "ordered output differs from the serial one";
    // The report went to standard error, after every command's own line there.
    std::vector<std::string> errLines = lines(ordered.err);
    ASSERT_GE(errLines.size(), 13U);
    EXPECT_EQ(std::accumulate(errLines.begin(), errLines.begin() + 12, std::string(),
                              [](std::string all, const std::string &line) {
                                  return std::move(all) + line + "\n";
                              }),
              batch.serialErr);
    EXPECT_EQ(errLines[12], "12 12 0");

    std::vector<std::string> group = keep;
    group[0] = "-g";
    Outcome grouped = run(dir, group);
    EXPECT_EQ(grouped.code(), 0) << grouped.err;
    std::vector<std::string> order;
    EXPECT_TRUE(eachCommandInOnePiece(grouped.out, &order));
    EXPECT_EQ(grouped.out.size(), batch.serialOut.size());
    EXPECT_FALSE(fs::exists(dir.path() / "fanrun-out"));
}

TEST(FanrunOutput, EveryModeSendsOutputAndReportWhereItSays) {
    TempDir dir;
    const std::string command = "echo out {}; echo err {} >&2";
    struct Case {
        std::vector<std::string> options;
        std::string out;    // standard output, sorted by line
        std::string err;    // standard error without its report, sorted by line
        bool reportOnErr;   // else in dir/report or (default mode) on standard output
        bool filesInOutDir; // the per-command files are made in dir/out
    };
    const std::string report = dir / "report";
    const std::string outDir = dir / "out";
    const std::vector<Case> cases = {
        {{"-g"}, "out a\nout b c\n", "err a\nerr b c\n", true, false},
        {{"-k", "--report", report}, "out a\nout b c\n", "err a\nerr b c\n", false, false},
        {{"-u"}, "out a\nout b c\n", "err a\nerr b c\n", true, false},
        {{"--tag"}, "a\tout a\nb c\tout b c\n", "a\terr a\nb c\terr b c\n", true, false},
        {{"-k", "--tag", "-o", outDir},
         "a\tout a\nb c\tout b c\n",
         "a\terr a\nb c\terr b c\n",
         true,
         true},
        {{"-o", outDir, "--report", report}, "", "", false, true},
    };
    for (const Case &c : cases) {
        fs::remove_all(outDir);
        fs::remove(report);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-j", "2", command, "a", "b c"});
        Outcome outcome = run(dir, args);
        const std::string shown = ::testing::PrintToString(c.options);
        EXPECT_EQ(outcome.code(), 0) << shown << outcome.err;
        std::vector<std::string> outLines = lines(outcome.out);
        std::vector<std::string> errLines = lines(outcome.err);
        std::string reportText = c.reportOnErr ? "" : readFile(report);
        if (c.reportOnErr) {
            // The report closes standard error: its header, then one line per command.
            ASSERT_GE(errLines.size(), 3U) << shown;
            for (size_t i = errLines.size() - 3; i < errLines.size(); ++i) {
                reportText += errLines[i] + "\n";
            }
            errLines.resize(errLines.size() - 3);
        }
        std::sort(outLines.begin(), outLines.end());
        std::sort(errLines.begin(), errLines.end());
        std::string sortedOut;
        std::string sortedErr;
        for (const std::string &line : outLines) {
            sortedOut += line + "\n";
        }
        for (const std::string &line : errLines) {
            sortedErr += line + "\n";
        }
        EXPECT_EQ(sortedOut, c.out) << shown;
        EXPECT_EQ(sortedErr, c.err) << shown;
        std::string header;
        std::vector<ReportLine> records = parseRecords(reportText, &header);
        EXPECT_EQ(header, "2 2 0") << shown;
        ASSERT_EQ(records.size(), 2U) << shown;
        EXPECT_EQ(fs::exists(outDir), c.filesInOutDir) << shown;
        if (c.filesInOutDir) {
            EXPECT_EQ(commandOutput(outDir, records[1]), "out b c\n") << shown;
        }
        EXPECT_FALSE(fs::exists(dir.path() / "fanrun-out")) << shown;
    }
}

TEST(FanrunInput, TheFirstCommandStartsWhileTheInputIsStillOpen) {
    TempDir dir;
    const std::string fifo = dir / "input";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::vector<std::string> &options :
         {std::vector<std::string>{"-o", dir / "out"}, std::vector<std::string>{"-k"},
          std::vector<std::string>{"--dry-run"}}) {
        const std::string marks = dir / "marks";
        fs::remove_all(marks);
        fs::create_directory(marks);
        Launch launch;
        launch.args = options;
        launch.args.push_back("touch " + marks + "/{}");
        launch.inputPath = fifo;
        Program program = start(dir, launch);
        const int writer = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(write(writer, "first\n", 6), 6);
        const bool dry = options[0] == "--dry-run";
        // The input stays open until the first command has run (or, in a dry run, been shown).
        EXPECT_TRUE(eventually([&] {
            return dry ? readFile(program.outPath) == "touch " + marks + "/first\n"
                       : fs::exists(marks + "/first");
        })) << options[0];
        ASSERT_EQ(write(writer, "second\n", 7), 7);
        close(writer);
        Outcome outcome = program.finish();
        EXPECT_EQ(outcome.code(), 0) << options[0] << outcome.err;
        EXPECT_EQ(fs::exists(marks + "/second"), !dry) << options[0];
    }
}

// ---- job log, resume and retries --------------------------------------------------------------

// One record of a job log as a run wrote it.
struct LogRecord {
    std::string event;
    double start = 0;
    double runtime = 0;
    std::string exitCode;
    std::string signal;
    long attempt = 0;
    std::string key; // occurrence, a TAB, the argument's field
};

// The whole records of a log (a torn last line is left out).
std::vector<LogRecord> logRecords(const std::string &path) {
    std::vector<LogRecord> records;
    std::vector<std::string> all = lines(readFile(path));
    const std::string text = readFile(path);
    const size_t whole = text.empty() || text.back() == '\n' ? all.size() : all.size() - 1;
    for (size_t i = 1; i < whole && i < all.size(); ++i) {
        std::vector<std::string> fields;
        std::istringstream split(all[i]);
        for (std::string field; std::getline(split, field, '\t');) {
            fields.push_back(field);
        }
        if (fields.size() != 8) {
            ADD_FAILURE() << "malformed record: " << all[i];
            continue;
        }
        if (fields[0] == "closed") {
            continue; // the run started every argument: no command's record
        }
        LogRecord record;
        record.event = fields[0];
        record.start = std::stod(fields[1]);
        record.runtime = fields[2] == "-" ? 0 : std::stod(fields[2]);
        record.exitCode = fields[3];
        record.signal = fields[4];
        record.attempt = std::stol(fields[5]);
        record.key = fields[6] + "\t" + fields[7];
        records.push_back(record);
    }
    return records;
}

TEST(FanrunJoblog, ResumingAfterKillsEndsEveryArgumentAndNeverRerunsOneThatEnded) {
    TempDir dir;
    std::string input;
    for (int i = 0; i < 40; ++i) {
        input += (i % 10 == 9 ? std::string("same") : "arg " + std::to_string(i)) + '\0';
    }
    writeFile(dir / "input", input);
    const std::string log = dir / "job.log";
    std::set<std::string> endedBefore;
    size_t seen = 0; // records of the log from earlier rounds
    std::mt19937 random(2024);
    bool done = false;
    for (int round = 0; round < 40 && !done; ++round) {
        // The runner, its commands and all they started die together, as on a crashed machine:
        // pid 1 of a namespace of their own is the runner.
        Launch launch;
        launch.args = {"-0", "-j",       "3",  "-u",          "--joblog",
                       log,  "--resume", "-a", dir / "input", "sleep 0.0$((RANDOM % 8)); echo {}"};
        launch.wrapper = {"unshare", "--pid", "--fork", "--kill-child"};
        Program program = start(dir, launch);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 250));
        kill(program.pid, SIGKILL);
        Outcome outcome = program.finish();
        if (outcome.exitedWith(1) && outcome.err.find("unshare") != std::string::npos) {
            SKIP_UNLESS_CI("cannot make a pid namespace: " << outcome.err);
        }
        done = outcome.exitedWith(0);
        std::vector<LogRecord> records = logRecords(log);
        for (size_t i = seen; i < records.size(); ++i) {
            if (records[i].event == "start") {
                EXPECT_EQ(endedBefore.count(records[i].key), 0U) << "ran again: " << records[i].key;
            }
        }
        for (; seen < records.size(); ++seen) {
            if (records[seen].event == "end") {
                endedBefore.insert(records[seen].key);
            }
        }
    }
    ASSERT_TRUE(done) << "the batch never finished";
    std::set<std::string> expected;
    for (int i = 0; i < 40; ++i) {
        expected.insert(i % 10 == 9 ? std::to_string(i / 10 + 1) + "\tsame"
                                    : "1\targ " + std::to_string(i));
    }
    EXPECT_EQ(endedBefore, expected);
}

TEST(FanrunJoblog, ArgumentsResumeByTheirBytesAndOccurrenceWhateverTheirOrder) {
    TempDir dir;
    const std::string log = dir / "job.log";
    struct Step {
        std::vector<std::string> options;
        std::string command;
        std::string input;
        int code;
        std::vector<std::string> ran; // the commands' output, sorted
    };
    const std::vector<Step> steps = {
        {{}, "[ {} != bad ] && echo {}", "a\nx\nbad\nx\n", 123, {"a", "x", "x"}},
        // Reordered and appended: the third x and the new one run; bad ended (badly) already.
        {{"--resume"}, "[ {} != bad ] && echo {}", "x\nbad\na\nx\nx\nnew\n", 123, {"new", "x"}},
        // The fixed command on what failed.
        {{"--resume-failed"}, "echo {}", "x\nbad\na\nx\nx\nnew\n", 0, {"bad"}},
        {{"--resume"}, "echo {}", "a\nx\nbad\nx\nx\nnew\n", 0, {}},
    };
    for (const Step &step : steps) {
        std::vector<std::string> args = step.options;
        args.insert(args.end(), {"-g", "-j", "2", "--joblog", log, step.command});
        Outcome outcome = run(dir, args, step.input);
        const std::string shown = ::testing::PrintToString(step.options);
        EXPECT_EQ(outcome.code(), step.code) << shown << outcome.err;
        std::vector<std::string> ran = lines(outcome.out);
        std::sort(ran.begin(), ran.end());
        EXPECT_EQ(ran, step.ran) << shown;
    }
    Outcome left = run(dir, {"--failed", log});
    EXPECT_EQ(left.out, "");
}

// The log's index takes a few tens of bytes a command, so that a resume fits where its run fitted;
// a resume that does run out of memory is the runner's failure (exit 1), never the input's.
TEST(FanrunJoblog, AResumeOfALargeLogFitsInLittleMemoryAndRunningOutOfItExitsOne) {
    if (sanitized) {
        GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
    }
    TempDir dir;
    struct Case {
        int commands;
        int code;
        std::string firstLine;
    };
    const std::vector<Case> cases = {
        {300000, 0, ""},
        {1000000, 1, "fanrun: out of memory"},
    };
    for (const Case &c : cases) {
        std::string log = "event\tstart\truntime\texit\tsignal\tattempt\toccurrence\targument\n";
        std::string input;
        for (int i = 1; i <= c.commands; ++i) {
            const std::string argument = std::to_string(i);
            log += "end\t1800000000.000001\t0.001000\t0\t-\t1\t1\t" + argument + '\n';
            input += argument + '\n';
        }
        writeFile(dir / "log", log);
        writeFile(dir / "input", input);
        log.clear();
        input.clear();
        Launch resume;
        resume.args = {"--resume", "--joblog", dir / "log", "touch " + (dir / "ran")};
        resume.inputPath = dir / "input";
        resume.addressSpace = 32 << 20;
        Outcome outcome = run(dir, resume);
        const std::string shown = std::to_string(c.commands) + " commands";
        EXPECT_EQ(outcome.code(), c.code) << shown << outcome.err;
        EXPECT_EQ(outcome.err.substr(0, c.firstLine.size()), c.firstLine) << shown;
        EXPECT_FALSE(fs::exists(dir / "ran")) << shown;
    }
}

TEST(FanrunJoblog, AFullFileSystemStopsTheRunAndItsResumeRunsExactlyWhatDidNotEnd) {
    TempDir dir;
    const std::string small = dir / "small";
    fs::create_directory(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=16k") != 0) {
        SKIP_UNLESS_CI("cannot mount a tmpfs: " << strerror(errno));
    }
    const std::string filler = small + "/filler";
    writeFile(filler, std::string(8192, 'f'));
    const std::string log = small + "/job.log";
    // Long arguments, so that a record runs over the last free page part way.
    std::vector<std::string> arguments;
    for (int i = 0; i < 60; ++i) {
        arguments.push_back(std::to_string(i) + std::string(300, 'w'));
    }
    std::vector<std::string> args = {"-u", "-j", "1", "--joblog", log, "echo {}", "--"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    Outcome full = run(dir, args);
    EXPECT_EQ(full.code(), 1) << full.err;
    EXPECT_NE(
        full.err.find("fanrun: cannot write the job log " + log + ": No space left on device\n"),
        std::string::npos)
        << full.err;
    const size_t ran = lines(full.out).size();
    EXPECT_LT(ran, arguments.size()) << "no command may start once the log has failed";
    std::set<std::string> ended;
    for (const LogRecord &record : logRecords(log)) {
        if (record.event == "end") {
            ended.insert(record.key.substr(record.key.find('\t') + 1));
        }
    }
    // With room again, a resumed run runs exactly the arguments the log has no end for.
    fs::remove(filler);
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", MS_REMOUNT | MS_NOSUID | MS_NODEV, "size=1m"),
              0)
        << strerror(errno);
    std::vector<std::string> again = args;
    again.insert(again.begin(), "--resume");
    Outcome resumed = run(dir, again);
    EXPECT_EQ(resumed.code(), 0) << resumed.err;
    std::vector<std::string> expected;
    for (const std::string &argument : arguments) {
        if (ended.count(argument) == 0) {
            expected.push_back(argument);
        }
    }
    EXPECT_EQ(lines(resumed.out), expected);
    umount2(small.c_str(), MNT_DETACH);
}

TEST(FanrunJoblog, RetriesRunAFailedCommandAgainAfterDoublingDelays) {
    TempDir dir;
    const std::string log = dir / "job.log";
    // "late" succeeds at its third attempt, "never" never does, "once" at its first.
    const std::string command = "n=$(cat " + (dir / "{}") +
                                " 2>/dev/null || echo 0); n=$((n + 1)); "
                                "echo $n > " +
                                (dir / "{}") +
                                "; echo {} $n; "
                                "case {} in late) [ $n -ge 3 ];; never) false;; esac";
    Outcome outcome = run(dir, {"-k", "-j", "3", "--joblog", log, "--retries", "2", "--retry-delay",
                                "0.2", command, "once", "late", "never"});
    EXPECT_EQ(outcome.code(), 123) << outcome.err;
    // Only each argument's last attempt shows, in input order.
    EXPECT_EQ(outcome.out, "once 1\nlate 3\nnever 3\n");
    std::map<std::string, std::vector<LogRecord>> byKey;
    for (const LogRecord &record : logRecords(log)) {
        byKey[record.key].push_back(record);
    }
    ASSERT_EQ(byKey["1\tonce"].size(), 2U);
    for (const std::string key : {"1\tlate", "1\tnever"}) {
        const std::vector<LogRecord> &records = byKey[key];
        ASSERT_EQ(records.size(), 6U) << key;
        for (size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].event, i % 2 == 0 ? "start" : "end") << key;
            EXPECT_EQ(records[i].attempt, static_cast<long>(i / 2 + 1)) << key;
        }
        // The first retry waits the delay, the second twice as long.
        EXPECT_GE(records[2].start - (records[1].start + records[1].runtime), 0.2 - 0.01) << key;
        EXPECT_GE(records[4].start - (records[3].start + records[3].runtime), 0.4 - 0.01) << key;
        EXPECT_EQ(records[5].exitCode, key == "1\tlate" ? "0" : "1");
    }
    // Halting acts on an argument's last failure only: soon lets "slow" finish, now ends it.
    for (const char *how : {"soon", "now"}) {
        Outcome halted = run(dir, {"-u", "-j", "2", "--retries", "1", "--halt", how,
                                   "case {} in bad) exit 1;; *) sleep 2; echo slow;; esac", "bad",
                                   "slow", "never"});
        EXPECT_EQ(halted.code(), 123) << how << halted.err;
        EXPECT_EQ(halted.out, std::string(how) == "soon" ? "slow\n" : "") << how;
        // The report alone is on standard error: "never" never started.
        std::vector<ReportLine> report = parseRecords(halted.err);
        ASSERT_EQ(report.size(), 3U) << how << halted.err;
        EXPECT_EQ(exitStatuses(report),
                  (std::vector<int>{1, std::string(how) == "soon" ? 0 : -1, 1}))
            << how;
    }
}

// ---- output that never reached its reader -----------------------------------------------------

// The arguments of a log's records of this event, in the log's order (exit: only ends with this
// exit field).
std::vector<std::string> logged(const std::vector<LogRecord> &records, const std::string &event,
                                const char *exit = nullptr) {
    std::vector<std::string> arguments;
    for (const LogRecord &record : records) {
        if (record.event == event && (exit == nullptr || record.exitCode == exit)) {
            arguments.push_back(record.key.substr(record.key.find('\t') + 1));
        }
    }
    return arguments;
}

std::vector<std::string> numbers(int count) {
    std::vector<std::string> all;
    for (int i = 1; i <= count; ++i) {
        all.push_back(std::to_string(i));
    }
    return all;
}

std::string joinedLines(const std::vector<std::string> &items) {
    std::string text;
    for (const std::string &item : items) {
        text += item + '\n';
    }
    return text;
}

TEST(FanrunLostOutput, AReaderThatLeavesStopsTheRunAndNoOutputNobodyReadIsLoggedAsSuccess) {
    // Each command writes more than a pipe holds, so that its output is lost once head has read
    // the first line and gone.
    const std::string command = "echo {}; head -c 300000 /dev/zero";
    const std::vector<std::vector<std::string>> modes = {{"-k"}, {"-g"}, {"-k", "--tag"}, {"-u"}};
    const std::vector<std::string> arguments = numbers(40);
    for (const std::vector<std::string> &mode : modes) {
        TempDir dir;
        const std::string log = dir / "job.log";
        const std::string shown = ::testing::PrintToString(mode);
        Launch launch;
        launch.wrapper = {"bash", "-c", "\"$@\" | head -1; exit \"${PIPESTATUS[0]}\"", "head"};
        launch.args = mode;
        for (const char *word : {"-j", "2", "--joblog"}) {
            launch.args.emplace_back(word);
        }
        launch.args.push_back(log);
        launch.args.push_back(command);
        launch.args.emplace_back("--");
        launch.args.insert(launch.args.end(), arguments.begin(), arguments.end());
        Outcome outcome = run(dir, launch);
        EXPECT_EQ(outcome.code(), 1) << shown << outcome.err;
        EXPECT_NE(outcome.err.find("fanrun: cannot write the commands' output: Broken pipe\n"),
                  std::string::npos)
            << shown << outcome.err;
        const std::vector<LogRecord> records = logRecords(log);
        const std::vector<std::string> started = logged(records, "start");
        // At most the commands running when the loss became known. Under -k the later ones
        // end into the wait behind the first, starting more, for as long as the first runs.
        EXPECT_LE(started.size(), mode.front() == "-k" ? arguments.size() / 2 : 4U) << shown;
        EXPECT_EQ(logged(records, "end", "0"), std::vector<std::string>{}) << shown;
        EXPECT_EQ(logged(records, "end").size(), started.size()) << shown;
        // Captured output that was lost ends by SIGPIPE, as a command ends that wrote it itself.
        if (mode.front() != "-u") {
            for (const LogRecord &record : records) {
                if (record.event == "end") {
                    EXPECT_EQ(record.signal, "13") << shown << record.key;
                }
            }
        }
        Outcome failed = run(dir, {"--failed", log});
        EXPECT_EQ(failed.out, joinedLines(started)) << shown;
        // Resuming runs what never started; with the failures, what was lost.
        std::vector<std::string> left;
        for (const std::string &argument : arguments) {
            if (std::find(started.begin(), started.end(), argument) == started.end()) {
                left.push_back(argument);
            }
        }
        std::vector<std::string> resume = {"-k", "--resume", "--joblog", log, "echo {}", "--"};
        resume.insert(resume.end(), arguments.begin(), arguments.end());
        Outcome resumed = run(dir, resume);
        EXPECT_EQ(resumed.code(), 123) << shown << resumed.err;
        EXPECT_EQ(resumed.out, joinedLines(left)) << shown;
        resume[1] = "--resume-failed";
        Outcome rest = run(dir, resume);
        EXPECT_EQ(rest.code(), 0) << shown << rest.err;
        EXPECT_EQ(rest.out, joinedLines(started)) << shown;
    }
}

TEST(FanrunLostOutput, AFullDiskBehindStandardOutputLeavesSuccessOnlyForOutputWrittenWhole) {
    const std::vector<std::string> arguments = numbers(40);
    for (const char *mode : {"-k", "-g"}) {
        TempDir dir;
        const std::string small = dir / "small";
        fs::create_directory(small);
        if (mount("tmpfs", small.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
            SKIP_UNLESS_CI("cannot mount a tmpfs: " << strerror(errno));
        }
        const std::string log = dir / "job.log";
        std::vector<std::string> args = {mode, "-j", "2", "--joblog", log, "printf '%05000d\\n' {}",
                                         "--"};
        args.insert(args.end(), arguments.begin(), arguments.end());
        Launch launch;
        launch.args = args;
        launch.outPath = small + "/out";
        Outcome outcome = run(dir, launch);
        const std::string written = readFile(small + "/out");
        umount2(small.c_str(), MNT_DETACH);
        EXPECT_EQ(outcome.code(), 1) << mode << outcome.err;
        EXPECT_NE(outcome.err.find(
                      "fanrun: cannot write the commands' output: No space left on device\n"),
                  std::string::npos)
            << mode << outcome.err;
        const std::vector<LogRecord> records = logRecords(log);
        const std::vector<std::string> succeeded = logged(records, "end", "0");
        // What the disk took is the successes' output whole, in the order they are logged, and
        // at most a part of the one that was lost.
        std::string expected;
        char line[16];
        for (const std::string &argument : succeeded) {
            snprintf(line, sizeof line, "%05d", std::stoi(argument));
            expected += std::string(5000 - strlen(line), '0') + line + '\n';
        }
        EXPECT_LT(succeeded.size(), arguments.size()) << mode;
        EXPECT_EQ(written.substr(0, expected.size()), expected) << mode;
        EXPECT_LT(written.size() - std::min(written.size(), expected.size()), 5001U) << mode;
        // Under -k more may have ended into the wait behind an earlier one.
        EXPECT_LE(logged(records, "start").size(),
                  succeeded.size() + (std::string(mode) == "-k" ? 12 : 4))
            << mode;
        // A rerun of the failures, with room, runs exactly what did not reach the disk.
        std::vector<std::string> left;
        for (const std::string &argument : arguments) {
            if (std::find(succeeded.begin(), succeeded.end(), argument) == succeeded.end()) {
                left.push_back(argument);
            }
        }
        std::vector<std::string> resume = {"-k", "--resume-failed", "--joblog",
                                           log,  "echo {}",         "--"};
        resume.insert(resume.end(), arguments.begin(), arguments.end());
        Outcome rest = run(dir, resume);
        EXPECT_EQ(rest.code(), 0) << mode << rest.err;
        EXPECT_EQ(rest.out, joinedLines(left)) << mode;
    }
}

TEST(FanrunLostOutput, ARunnerKilledWhileOutputWaitsLeavesThoseCommandsUnfinished) {
    TempDir dir;
    const std::string log = dir / "job.log";
    const std::string pidFile = dir / "slow.pid";
    // "slow" holds the order; the others end, and their output waits behind it.
    const std::string command =
        "case {} in slow) echo $$ > " + pidFile + "; exec sleep 600;; *) echo {};; esac";
    const std::vector<std::string> arguments = {"slow", "b", "c", "d", "e"};
    Launch launch;
    launch.args = {"-k", "-j", "2", "--joblog", log, command, "--"};
    launch.args.insert(launch.args.end(), arguments.begin(), arguments.end());
    Program runner = start(dir, launch);
    // e starts only once d has ended, d once c has, c once b has.
    const bool waited = eventually([&] {
        const std::vector<std::string> started = logged(logRecords(log), "start");
        return std::find(started.begin(), started.end(), "e") != started.end() &&
               !readFile(pidFile).empty();
    });
    kill(runner.pid, SIGKILL);
    Outcome killed = runner.finish();
    const std::string pid = readFile(pidFile);
    if (!pid.empty()) {
        kill(std::stoi(pid), SIGKILL);
    }
    ASSERT_TRUE(waited);
    EXPECT_EQ(killed.code(), 1000 + SIGKILL);
    EXPECT_EQ(killed.out, "");
    const std::vector<LogRecord> records = logRecords(log);
    EXPECT_EQ(logged(records, "end"), std::vector<std::string>{});
    std::vector<std::string> resume = {"-k", "--resume", "--joblog", log, "echo {}", "--"};
    resume.insert(resume.end(), arguments.begin(), arguments.end());
    Outcome resumed = run(dir, resume);
    EXPECT_EQ(resumed.code(), 0) << resumed.err;
    EXPECT_EQ(resumed.out, joinedLines(arguments));
}

TEST(FanrunManual, RendersWithoutWarningsAndNamesEveryOptionOfTheHelp) {
    TempDir dir;
    const std::string page = sourceDir + "/fanrun.1";
    const std::string check = "groff -man -Tutf8 -ww -z " + page + " 2>" + (dir / "warnings");
    ASSERT_EQ(std::system(check.c_str()), 0);
    EXPECT_EQ(readFile(dir / "warnings"), "");
    // Plain text, wide enough that no option is broken across lines.
    const std::string render =
        "groff -man -Tutf8 -rLL=200n -rHY=0 -P-cbou " + page + " >" + (dir / "page") + " 2>&1";
    ASSERT_EQ(std::system(render.c_str()), 0);
    const std::string text = readFile(dir / "page");
    const std::set<std::string> options = helpOptions();
    EXPECT_GE(options.size(), 20U);
    for (const std::string &option : options) {
        const std::regex word("(^|[^a-z-])" + option + "([^a-z-]|$)");
        EXPECT_TRUE(std::regex_search(text, word)) << option;
    }
    for (const char *section : {"SYNOPSIS", "OPTIONS", "EXIT STATUS", "SIGNALS", "EXAMPLES",
                                "-print0", "SLURM_ARRAY_TASK_ID", "JOB_COMPLETION_INDEX", "123"}) {
        EXPECT_NE(text.find(section), std::string::npos) << section;
    }
}

TEST(FanrunCompletion, OffersEveryOptionOfTheHelpAndTheHaltModes) {
    TempDir dir;
    const std::string script = sourceDir + "/fanrun.bash";
    writeFile(dir / "driver",
              "source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1));\n"
              "_fanrun fanrun \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"\n"
              "printf '%s\\n' \"${COMPREPLY[@]}\"\n");
    auto complete = [&](const std::string &words) {
        const std::string command =
            "bash " + (dir / "driver") + " " + script + " " + words + " >" + (dir / "offered");
        EXPECT_EQ(std::system(command.c_str()), 0) << words;
        std::vector<std::string> offered = lines(readFile(dir / "offered"));
        offered.erase(std::remove(offered.begin(), offered.end(), ""), offered.end());
        return std::set<std::string>(offered.begin(), offered.end());
    };
    std::set<std::string> longOptions;
    for (const std::string &option : helpOptions()) {
        if (option.rfind("--", 0) == 0) {
            longOptions.insert(option);
        }
    }
    EXPECT_EQ(complete("fanrun --"), longOptions);
    EXPECT_EQ(complete("fanrun -j 2 --h"), (std::set<std::string>{"--halt", "--header", "--help"}));
    EXPECT_EQ(complete("fanrun --halt ''"), (std::set<std::string>{"now", "soon"}));
    // Once the command has begun, its words are not fanrun's options.
    EXPECT_EQ(complete("fanrun echo --h"), std::set<std::string>{});
}

// ---- where {} may stand in a template -------------------------------------------------------

// Arguments that break out of quoting placed carelessly around them, and harmless ones that come
// out wrong that way.
std::vector<std::string> templateArguments() {
    return {"plain",
            "a b",
            "$(touch pwned)",
            "`touch pwned`",
            "x;touch pwned",
            "x'; touch pwned; '",
            "x\"; touch pwned; \"",
            "it's",
            "\"q\"",
            "\\",
            "a,b",
            "1..3",
            "~",
            "$HOME",
            "{}",
            "-n",
            "",
            "tab\there",
            "\x01\x7f",
            std::string("\xa5\\x", 3),
            "caf\xc3\xa9"};
}

struct Placement {
    const char *name;
    std::vector<std::string> command; // the operands before the arguments
    std::function<std::string(const std::string &)> output;
};

// Runs every argument through the command and holds each command's output against the expected
// one; nothing an argument holds may run.
void expectPlacements(const std::vector<Placement> &placements,
                      const std::vector<std::string> &arguments) {
    for (const Placement &placement : placements) {
        TempDir dir;
        const std::string out = dir / "out";
        Launch launch;
        launch.args = {"-j", "2", "-o", out};
        launch.args.insert(launch.args.end(), placement.command.begin(), placement.command.end());
        launch.args.insert(launch.args.end(), arguments.begin(), arguments.end());
        launch.workDir = dir.path().string();
        Outcome outcome = run(dir, launch);
        EXPECT_EQ(outcome.code(), 0) << placement.name << "\n" << outcome.err;
        EXPECT_EQ(outcome.err, "") << placement.name;
        std::vector<ReportLine> report = parseRecords(outcome.out);
        ASSERT_EQ(report.size(), arguments.size()) << placement.name;
        for (size_t i = 0; i < report.size(); ++i) {
            EXPECT_EQ(commandOutput(out, report[i]), placement.output(arguments[i]))
                << placement.name << ": argument " << i << ", command " << report[i].command;
        }
        EXPECT_FALSE(fs::exists(dir / "pwned")) << placement.name;
    }
}

std::string nul(const std::string &text) {
    return text + '\0';
}

using Text = const std::string &;

TEST(FanrunTemplates, EveryPlaceABraceCanStandGivesTheArgumentAsExactlyItsBytes) {
    const std::string print = "printf '%s\\0' ";
    const std::vector<Placement> placements = {
        {"bare", {print + "{}"}, [](Text a) { return nul(a); }},
        {"in double quotes", {print + "\"{}\""}, [](Text a) { return nul(a); }},
        {"inside a double-quoted word",
         {print + "\"<{}>\""},
         [](Text a) { return nul("<" + a + ">"); }},
        {"in single quotes", {print + "'[{}]'"}, [](Text a) { return nul("[" + a + "]"); }},
        {"in $'...'", {print + "$'\\t{}\\x4'"}, [](Text a) { return nul("\t" + a + "\x04"); }},
        {"inside a bare word", {print + "x{}y"}, [](Text a) { return nul("x" + a + "y"); }},
        {"in an assignment", {"v={}; " + print + "\"$v\""}, [](Text a) { return nul(a); }},
        {"after a variable",
         {"x=1; " + print + "\"$x{}\" $x{}"},
         [](Text a) { return nul("1" + a) + nul("1" + a); }},
        {"in $(...)", {print + "\"$(printf %s {})\""}, [](Text a) { return nul(a); }},
        {"in quotes in $(...) in quotes",
         {print + "\"$(printf %s \"{}\")\""},
         [](Text a) { return nul(a); }},
        {"after a case pattern in $(...) in quotes",
         {print + "\"$(case a in a) printf %s {};; esac)\" \"{}\""},
         [](Text a) { return nul(a) + nul(a); }},
        {"in a brace expansion", {print + "{p,{}}"}, [](Text a) { return nul("p") + nul(a); }},
        {"after a tilde", {print + "~{}"}, [](Text a) { return nul("~" + a); }},
        {"twice, and in a comment",
         {print + "{} \"{}\" # {}"},
         [](Text a) { return nul(a) + nul(a); }},
        {"in a here-string", {"cat <<< \"{}\""}, [](Text a) { return a + "\n"; }},
        {"in command words",
         {"printf", "%s\\0", "<{}>", "\"{}\"", "'{}'", "--"},
         [](Text a) { return nul("<" + a + ">") + nul("\"" + a + "\"") + nul("'" + a + "'"); }},
    };
    expectPlacements(placements, templateArguments());
}

TEST(FanrunTemplates, PlacesNoQuotingCanKeepAreRefusedBeforeAnythingRuns) {
    const std::string usage = "usage: fanrun [OPTION]... TEMPLATE [ARGUMENT]...\n"
                              "       fanrun [OPTION]... COMMAND WORD... -- [ARGUMENT]...\n";
    const std::string prefix = "fanrun: the template cannot take the argument at byte ";
    const std::string arithmetic = ": {} stands inside arithmetic, where bash evaluates it as an "
                                   "expression; pass it as a word outside, e.g. test \"$(( n ))\" "
                                   "after n={} only for trusted numbers";
    const std::string backquotes = ": {} stands inside backquotes; write $(...) instead of `...`";
    const std::string parameter = ": {} stands inside ${...}; set a variable first: v={}; ... "
                                  "${v...}";
    const std::string backslash = ": {} follows a backslash, which would take its quoting apart; "
                                  "quote the backslash: '\\'{}";
    struct Case {
        std::string command;
        std::string message; // after the prefix
    };
    const std::vector<Case> cases = {
        {"touch ran; echo `{}`", "18" + backquotes},
        {"touch ran; echo \"`cat {}`\"", "23" + backquotes},
        {"touch ran; echo $(({} + 1))", "20" + arithmetic},
        {"touch ran; ((x = {}))", "18" + arithmetic},
        {"touch ran; echo $[{}]", "19" + arithmetic},
        {"touch ran; echo ${x:-{}}", "22" + parameter},
        {"touch ran; echo \"${x:-\"{}\"}\"", "24" + parameter},
        {"touch ran; cat <<END\nx\n{}\nEND",
         "24: {} stands in a here-document, where no quoting applies; use a here-string instead: "
         "<<< {}"},
        {"touch ran; cat <<{}", "18: {} stands in a here-document's delimiter; use a fixed word"},
        {"touch ran; echo ${}", "18: {} follows a $, which would make it a variable or $'...'; "
                                "quote the $: '$'{}"},
        {"touch ran; echo \\{}", "18" + backslash},
        {"touch ran; echo \"\\{}\"", "19" + backslash},
        {"touch ran; echo $'\\{}'", "20" + backslash},
        {"touch ran; echo x\\\n{}", "20: {} follows a backslash-newline, which bash removes, "
                                    "joining {} to what comes before; put it on the next line "
                                    "whole"},
        {"touch ran; echo \"\xa5\\\" {}\"",
         "18: a byte above 0x7f stands right before '\\', which Big5, GBK or Shift-JIS read as one "
         "character with it; put a space or quotes between them"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        Launch launch;
        launch.args = {"-o", dir / "out", c.command, "a"};
        launch.workDir = dir.path().string();
        Outcome outcome = run(dir, launch);
        EXPECT_EQ(outcome.code(), 2) << c.command;
        EXPECT_EQ(outcome.err, prefix + c.message + "\n" + usage) << c.command;
        EXPECT_EQ(outcome.out, "") << c.command;
        EXPECT_FALSE(fs::exists(dir / "ran")) << c.command;
        EXPECT_FALSE(fs::exists(dir / "out")) << c.command;
    }
    // --raw takes every template as it is.
    TempDir dir;
    Outcome raw = run(dir, {"--raw", "--dry-run", "echo `{}` $(({}))", "1"});
    EXPECT_EQ(raw.code(), 0);
    EXPECT_EQ(raw.out, "echo `1` $((1))\n");
}

TEST(FanrunTemplates, TheDryRunShowsTheCommandsThatRun) {
    TempDir dir;
    Outcome outcome = run(dir, {"--dry-run", "echo \"<{}>\" '{}' $'{}' {a,{}} $x{}", "a b", "ok",
                                std::string("\x01\xa5\\", 3)});
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    const std::string odd = "$'\\x01\\xa5\\\\'";
    EXPECT_EQ(outcome.out, "echo \"<\"'a b'\">\" '''a b''' $'''a b'$'' {a,'a b'} $x'a b'\n"
                           "echo \"<ok>\" 'ok' $'''ok'$'' {a,'ok'} $x'ok'\n"
                           "echo \"<\"" +
                               odd + "\">\" ''" + odd + "'' $''" + odd + "$'' {a," + odd + "} $x" +
                               odd + "\n");
}

// The locales the system can have where a byte above 0x7f and a backslash make one character,
// made with localedef into a folder of the test's own.
class MultibyteLocales : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *tool : {"/usr/bin/localedef", "/usr/share/i18n/charmaps/BIG5.gz"}) {
            if (!fs::exists(tool)) {
                SKIP_UNLESS_CI(std::string(tool) + " is missing (packages libc-bin, locales)");
            }
        }
        for (const auto &[name, charmap, source, lead] :
             {std::tuple{"zh_TW.BIG5", "BIG5", "zh_TW", '\xa5'},
              std::tuple{"zh_CN.GBK", "GBK", "zh_CN", '\x81'},
              std::tuple{"ja_JP.SJIS", "SHIFT_JIS", "ja_JP", '\x81'}}) {
            const std::string make = std::string("localedef --no-warnings=ascii -f ") + charmap +
                                     " -i " + source + " " + (dir_ / name) + " >" +
                                     (dir_ / "localedef.log") + " 2>&1";
            // localedef exits 1 for warnings even where it made the locale.
            const int status = std::system(make.c_str());
            ASSERT_TRUE(fs::exists(dir_.path() / name / "LC_CTYPE"))
                << make << " " << status << "\n"
                << readFile(dir_ / "localedef.log");
            locales_.emplace_back(name, lead);
        }
    }

    // LOCPATH and LC_ALL for what this process starts: the runner, and through it bash.
    void use(const std::string &locale) {
        setenv("LOCPATH", dir_.path().c_str(), 1);
        setenv("LC_ALL", locale.c_str(), 1);
    }

    void TearDown() override {
        unsetenv("LOCPATH");
        unsetenv("LC_ALL");
    }

    TempDir dir_;
    std::vector<std::pair<std::string, char>> locales_; // with a byte that joins a backslash
};

TEST_F(MultibyteLocales, ArgumentsReachTheirCommandsAsTheirBytesWhateverTheLocale) {
    std::vector<std::string> arguments = templateArguments();
    for (const char *text :
         {"x\x01\xa5\\';touch pwned;#", "x\x01\x81\\';touch pwned;#", "\x81\\\x01",
          "\x95\\'$(touch pwned)'", "\xa5\\", "\xa5'", "\x01\xfe\\\"", "\xe0\\n\x01\xa5"}) {
        arguments.emplace_back(text);
    }
    const std::string print = "printf '%s\\0' ";
    const std::vector<Placement> placements = {
        {"bare", {print + "{}"}, [](Text a) { return nul(a); }},
        {"in double quotes", {print + "\"<{}>\""}, [](Text a) { return nul("<" + a + ">"); }},
        {"in $'...'", {print + "$'\\x{}'"}, [](Text a) { return nul("\\x" + a); }},
        {"after a lead byte", {print + "\xa5{}"}, [](Text a) { return nul("\xa5" + a); }},
        {"in command words",
         {"printf", "%s\\0", "\xa5{}", "--"},
         [](Text a) { return nul("\xa5" + a); }},
    };
    for (const auto &[locale, lead] : locales_) {
        use(locale);
        // The locale really joins the bytes: quoted with the lead byte raw, as the runner used
        // to, the argument runs as code.
        TempDir probe;
        const std::string old = "cd " + probe.path().string() +
                                " && bash -c \"printf %s \\$'x\\\\x01" + lead +
                                "\\\\\\\\\\\\';touch pwned;#'\" >/dev/null 2>&1";
        EXPECT_EQ(std::system(old.c_str()), 0) << locale;
        ASSERT_TRUE(fs::exists(probe / "pwned")) << locale << ": " << old;
        expectPlacements(placements, arguments);
    }
}

TEST(FanrunTemplates, ACommandTooLongForExecIsRefusedBeforeTheRun) {
    const size_t perArgument = 32 * static_cast<size_t>(sysconf(_SC_PAGESIZE)) - 1;
    const std::string usage = "usage: fanrun [OPTION]... TEMPLATE [ARGUMENT]...\n"
                              "       fanrun [OPTION]... COMMAND WORD... -- [ARGUMENT]...\n";
    const std::string controls(40000, '\x01');
    const size_t quoted = std::string("touch ran; true ").size() + 2 + 4 * controls.size() + 1;
    struct Case {
        std::vector<std::string> args;
        std::string input;
        size_t length; // of the second argument's command
    };
    const std::vector<Case> cases = {
        {{"touch ran; true {}", "a", controls}, "", quoted},
        {{"-a", "-", "touch ran; true {}"}, "a\n" + controls + "\n", quoted},
        {{"--raw", "touch ran; true {}"}, "a\n" + std::string(200000, 'x'), 16 + 200000},
    };
    for (const Case &c : cases) {
        TempDir dir;
        Launch launch;
        launch.args = {"-o", dir / "out"};
        launch.args.insert(launch.args.end(), c.args.begin(), c.args.end());
        launch.input = c.input;
        launch.workDir = dir.path().string();
        Outcome outcome = run(dir, launch);
        EXPECT_EQ(outcome.code(), 2);
        EXPECT_EQ(outcome.err, "fanrun: the command for argument 2 is " + std::to_string(c.length) +
                                   " bytes, more than the " + std::to_string(perArgument) +
                                   " bytes that one argument of exec may hold\n" + usage);
        EXPECT_FALSE(fs::exists(dir / "ran"));
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
    // Under the limit for one argument but, with the environment, over ARG_MAX (a quarter of the
    // stack limit, at least 128 KiB): refused too, where the command alone would fail to start.
    TempDir dir;
    rlimit saved{};
    getrlimit(RLIMIT_STACK, &saved);
    rlimit small = saved;
    small.rlim_cur = 256 * 1024;
    setrlimit(RLIMIT_STACK, &small);
    setenv("FANRUN_TEST_PADDING", std::string(20000, 'p').c_str(), 1);
    Outcome outcome = run(dir, {"-o", dir / "out", "--raw", "true {}"}, std::string(120000, 'y'));
    unsetenv("FANRUN_TEST_PADDING");
    setrlimit(RLIMIT_STACK, &saved);
    EXPECT_EQ(outcome.code(), 2);
    const std::vector<std::string> message = lines(outcome.err);
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(message[0].rfind("fanrun: the command for argument 1 is 120005 bytes, more than "
                               "the ",
                               0),
              0U)
        << outcome.err;
    EXPECT_NE(message[0].find(" bytes that exec takes (ARG_MAX 131072) with this environment"),
              std::string::npos)
        << outcome.err;
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(FanrunTemplates, CommandsTooLongLaterInAStreamFailAloneAndTheRestRunInOrder) {
    TempDir dir;
    const std::string fifo = dir / "input";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // An argument of 140 bytes makes a command of 141,000: more than one argument of exec holds.
    std::string command = ":";
    for (int i = 0; i < 999; ++i) {
        command += " {}";
    }
    command += "; echo {}";
    std::string later;
    std::string shown;
    for (int i = 1; i <= 1000; ++i) {
        const std::string line = 'n' + std::to_string(i) + '\n';
        later += line;
        later.append(140, 'y');
        later += '\n';
        shown += line;
    }
    for (const char *option : {"-k", "--dry-run"}) {
        Launch launch;
        launch.args = {option, "-j", "2", command};
        launch.inputPath = fifo;
        // A small stack for many refusals in a row, and few descriptors for output held back.
        launch.wrapper = {"prlimit", "--stack=262144", "--nofile=200"};
        Program program = start(dir, launch);
        const int writer = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(write(writer, "first\n", 6), 6);
        // Past the arguments checked before the run: the rest arrive while it runs.
        EXPECT_TRUE(eventually([&] {
            return readFile(program.outPath).find("first") != std::string::npos;
        })) << option;
        // A runner that ends early fails the write instead of ending the test.
        void (*const saved)(int) = signal(SIGPIPE, SIG_IGN);
        EXPECT_EQ(write(writer, later.data(), later.size()), static_cast<ssize_t>(later.size()));
        signal(SIGPIPE, saved);
        close(writer);
        Outcome outcome = program.finish();
        EXPECT_EQ(outcome.code(), 123) << option;
        size_t refusals = 0;
        for (const std::string &line : lines(outcome.err)) {
            refusals += line.rfind("fanrun: the command for argument ", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(refusals, 1000U) << option;
        if (std::string(option) == "-k") {
            EXPECT_EQ(outcome.out, "first\n" + shown);
        } else {
            EXPECT_EQ(lines(outcome.out).size(), 1001U);
        }
    }
}

TEST(FanrunInput, AHexDelimiterTakesExactlyTwoHexDigits) {
    struct Case {
        const char *delimiter;
        std::string expected; // the dry run of "echo {}" over "a;b,c"
        int code;
    };
    const std::vector<Case> cases = {
        {"\\x3b", "echo a\necho b,c\n", 0},
        {"\\x2C", "echo 'a;b'\necho c\n", 0},
        {"\\x 1", "", 2},
        {"\\x1", "", 2},
        {"\\x+1", "", 2},
        {"\\x-1", "", 2},
        {"\\x1g", "", 2},
        {"\\xg1", "", 2},
        {"\\x", "", 2},
        {"\\x3b3", "", 2},
    };
    for (const Case &c : cases) {
        TempDir dir;
        Outcome outcome = run(dir, {"--dry-run", "-d", c.delimiter, "echo {}"}, "a;b,c");
        EXPECT_EQ(outcome.code(), c.code) << c.delimiter;
        EXPECT_EQ(outcome.out, c.expected) << c.delimiter;
        const std::vector<std::string> message = lines(outcome.err);
        EXPECT_EQ(message.empty() ? "" : message[0],
                  c.code == 0 ? ""
                              : std::string("fanrun: -d needs one byte or one of \\n \\t \\r \\v "
                                            "\\f \\a \\b \\0 \\\\ \\xHH, not '") +
                                    c.delimiter + "'")
            << c.delimiter;
    }
}

// ---- every replacement string ------------------------------------------------------------------

// An awkward name with what each replacement string stands for, written out by hand.
struct Name {
    std::string argument;  // {}
    std::string stem;      // {.}
    std::string last;      // {/}
    std::string directory; // {//}
    std::string lastStem;  // {/.}
};

std::vector<Name> awkwardNames() {
    return {
        {"plain", "plain", "plain", ".", "plain"},
        {"my dir/a file.txt", "my dir/a file", "a file.txt", "my dir", "a file"},
        {"it's/\"q\".tar.gz", "it's/\"q\".tar", "\"q\".tar.gz", "it's", "\"q\".tar"},
        {"v1.2/src.d/noext", "v1.2/src.d/noext", "noext", "v1.2/src.d", "noext"},
        {"-n.txt", "-n", "-n.txt", ".", "-n"},
        {"line\nbreak/x.c", "line\nbreak/x", "x.c", "line\nbreak", "x"},
        {".bashrc", ".bashrc", ".bashrc", ".", ".bashrc"},
        {"home/.profile", "home/.profile", ".profile", "home", ".profile"},
        {"a.", "a.", "a.", ".", "a."},
        {"trailing/", "trailing/", "", "trailing", ""},
        {"/x", "/x", "x", "/", "x"},
        {"/top.d/f.o", "/top.d/f", "f.o", "/top.d", "f"},
        {"caf\xc3\xa9/\xe2\x82\xac.txt", "caf\xc3\xa9/\xe2\x82\xac", "\xe2\x82\xac.txt",
         "caf\xc3\xa9", "\xe2\x82\xac"},
        {"$(touch pwned)/`touch pwned`.sh", "$(touch pwned)/`touch pwned`", "`touch pwned`.sh",
         "$(touch pwned)", "`touch pwned`"},
        {"x;touch pwned;.a b", "x;touch pwned;", "x;touch pwned;.a b", ".", "x;touch pwned;"},
    };
}

struct Context {
    const char *name;
    std::vector<std::string> command; // the operands before the arguments
    // What one command prints for a name at a position (from 1), with the slot 1.
    std::function<std::string(const Name &, int)> output;
};

TEST(FanrunReplacements, EveryReplacementStringGivesItsTextAsExactlyItsBytesWhereverItStands) {
    const std::string print = "printf '%s\\0' ";
    // One slot, so that {%} is known.
    const std::vector<Context> contexts = {
        {"bare",
         {print + "{} {.} {/} {//} {/.} {#} {%}"},
         [](const Name &n, int at) {
             return nul(n.argument) + nul(n.stem) + nul(n.last) + nul(n.directory) +
                    nul(n.lastStem) + nul(std::to_string(at)) + nul("1");
         }},
        {"in double quotes",
         {print + "\"{}\" \"{.}\" \"{/}\" \"{//}\" \"{/.}\" \"{#}\" \"{%}\""},
         [](const Name &n, int at) {
             return nul(n.argument) + nul(n.stem) + nul(n.last) + nul(n.directory) +
                    nul(n.lastStem) + nul(std::to_string(at)) + nul("1");
         }},
        {"inside words and quotes",
         {print + "a{}z {.}.gz \"x{/}y\" '<{//}>' $'\\t{/.}\\x4' $'\\x4{#}' $x{%}"},
         [](const Name &n, int at) {
             return nul("a" + n.argument + "z") + nul(n.stem + ".gz") + nul("x" + n.last + "y") +
                    nul("<" + n.directory + ">") + nul("\t" + n.lastStem + "\x04") +
                    nul("\x04" + std::to_string(at)) + nul("1");
         }},
        {"in command words",
         {"printf", "%s\\0", "{}", "{.}.gz", "\"{/}\"", "'{//}'", "{/.}", "{#}{%}", "--"},
         [](const Name &n, int at) {
             return nul(n.argument) + nul(n.stem + ".gz") + nul("\"" + n.last + "\"") +
                    nul("'" + n.directory + "'") + nul(n.lastStem) + nul(std::to_string(at) + "1");
         }},
    };
    const std::vector<Name> names = awkwardNames();
    std::vector<std::string> arguments;
    for (const Name &n : names) {
        arguments.push_back(n.argument);
    }
    for (const Context &context : contexts) {
        TempDir dir;
        const std::string out = dir / "out";
        Launch launch;
        launch.args = {"-j", "1", "-o", out};
        launch.args.insert(launch.args.end(), context.command.begin(), context.command.end());
        launch.args.insert(launch.args.end(), arguments.begin(), arguments.end());
        launch.workDir = dir.path().string();
        Outcome outcome = run(dir, launch);
        EXPECT_EQ(outcome.code(), 0) << context.name << "\n" << outcome.err;
        EXPECT_EQ(outcome.err, "") << context.name;
        std::vector<ReportLine> report = parseRecords(outcome.out);
        ASSERT_EQ(report.size(), names.size()) << context.name;
        for (size_t i = 0; i < report.size(); ++i) {
            EXPECT_EQ(commandOutput(out, report[i]),
                      context.output(names[i], static_cast<int>(i) + 1))
                << context.name << ": name " << i << ", command " << report[i].command;
        }
        EXPECT_FALSE(fs::exists(dir / "pwned")) << context.name;
    }
}

TEST(FanrunReplacements, RawSubstitutesEachTextAsItIsLeftToRightAndTheDryRunShowsTheCommands) {
    TempDir dir;
    // Inserted text is never read again: the braces an argument holds stay as they are.
    Outcome raw = run(dir, {"--raw", "--dry-run", "-j", "1", "echo {} {.} {/} {//} {/.} {#} {%}",
                            "dir.d/a.b", "{}", "{}/{#}.x"});
    EXPECT_EQ(raw.code(), 0) << raw.err;
    EXPECT_EQ(raw.out, "echo dir.d/a.b dir.d/a a.b dir.d a 1 1\n"
                       "echo {} {} {} . {} 2 1\n"
                       "echo {}/{#}.x {}/{#} {#}.x {} {#} 3 1\n");
    Outcome ran = run(dir, {"--raw", "-j", "1", "-o", dir / "out", "printf '%s\\0' {/.} {//}",
                            "my dir/a file.txt"});
    EXPECT_EQ(ran.code(), 0) << ran.err;
    std::vector<ReportLine> report = parseRecords(ran.out);
    ASSERT_EQ(report.size(), 1u);
    // Raw, the space splits the words.
    EXPECT_EQ(commandOutput(dir / "out", report[0]),
              nul("a") + nul("file") + nul("my") + nul("dir"));

    // Quoted, the dry run shows each text quoted for where it stands, slots as a run would hand
    // them out when every command takes as long.
    Outcome quoted =
        run(dir, {"--dry-run", "-j", "2", "printf %s {} {.}.gz \"{/}\" '{//}' {/.} {#} {%}",
                  "a b/c.d", "x", "-n.t"});
    EXPECT_EQ(quoted.code(), 0) << quoted.err;
    EXPECT_EQ(quoted.out, "printf %s 'a b/c.d' 'a b/c'.gz \"c.d\" '''a b''' c 1 1\n"
                          "printf %s x x.gz \"x\" '.' x 2 2\n"
                          "printf %s -n.t -n.gz \"-n.t\" '.' -n 3 1\n");
}

TEST(FanrunReplacements, NoTwoRunningCommandsShareAJobSlot) {
    TempDir dir;
    fs::create_directory(dir.path() / "locks");
    fs::create_directory(dir.path() / "log");
    // A command takes its slot's lock file or fails; it records its slot and when it held it.
    const std::string command =
        "set -o noclobber; { : > locks/{%}; } 2>/dev/null || exit 3; s=$EPOCHREALTIME; "
        "sleep {}; e=$EPOCHREALTIME; rm locks/{%} || exit 4; echo {%} $s $e > log/{#}";
    std::mt19937 random(static_cast<unsigned>(getpid()));
    std::vector<std::string> durations;
    for (int i = 0; i < 30; ++i) {
        durations.push_back("0.0" + std::to_string(random() % 6));
    }
    Launch launch;
    launch.args = {"-j", "3", "-o", dir / "out", command};
    launch.args.insert(launch.args.end(), durations.begin(), durations.end());
    launch.workDir = dir.path().string();
    Outcome outcome = run(dir, launch);
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    std::vector<ReportLine> report = parseRecords(outcome.out);
    EXPECT_EQ(exitStatuses(report), std::vector<int>(durations.size(), 0));
    EXPECT_TRUE(fs::is_empty(dir.path() / "locks"));
    struct Hold {
        double start;
        double end;
    };
    std::map<int, std::vector<Hold>> holds;
    for (size_t at = 1; at <= durations.size(); ++at) {
        std::istringstream record(readFile(dir / ("log/" + std::to_string(at))));
        int slot = 0;
        Hold hold{};
        ASSERT_TRUE(record >> slot >> hold.start >> hold.end) << "command " << at;
        EXPECT_GE(slot, 1) << "command " << at;
        EXPECT_LE(slot, 3) << "command " << at;
        if (at == 1) {
            EXPECT_EQ(slot, 1) << "the first command takes the lowest slot";
        }
        holds[slot].push_back(hold);
    }
    for (auto &[slot, list] : holds) {
        std::sort(list.begin(), list.end(),
                  [](const Hold &a, const Hold &b) { return a.start < b.start; });
        for (size_t i = 1; i < list.size(); ++i) {
            EXPECT_LE(list[i - 1].end, list[i].start) << "slot " << slot << " held twice";
        }
    }
}

TEST(FanrunReplacements, ACommandTakesTheLowestSlotNoRunningCommandHas) {
    struct Case {
        const char *name;
        std::vector<std::string> acts; // what command k does after noting its slot
        size_t first;                  // arguments in the input from the start
        std::vector<int> reaped;       // commands whose end comes before the other arguments
        std::string slots;             // "k slot" of each command, by k
    };
    // A command waits for gate k with "stay k" and opens it with "go k"; every end is set off
    // by a later command, so the order of ends, and so of free slots, is fixed.
    const std::vector<Case> cases = {
        {"the middle one frees first",
         {"stay 1", "stay 2", "go 2; stay 3", "go 1; stay 4", "go 3; go 4"},
         5,
         {},
         "1 1\n2 2\n3 3\n4 2\n5 1\n"},
        {"the lowest one frees first, then the highest",
         {"stay 1", "stay 2", "go 1; stay 3", "go 3; stay 4", "go 2; go 4"},
         5,
         {},
         "1 1\n2 2\n3 3\n4 1\n5 3\n"},
        // The fourth argument comes once the second and third commands have both ended.
        {"two free at once",
         {"stay 1", "stay 2", "go 2", "go 1"},
         3,
         {2, 3},
         "1 1\n2 2\n3 3\n4 2\n"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        std::vector<int> gates;
        for (size_t k = 1; k <= test.acts.size(); ++k) {
            const std::string gate = dir / ("gate" + std::to_string(k));
            ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
            // Held open both ways: opening never blocks, and a read waits for a line.
            gates.push_back(open(gate.c_str(), O_RDWR | O_CLOEXEC));
            writeFile(dir / ("act" + std::to_string(k)), test.acts[k - 1] + "\n");
        }
        const std::string input = dir / "input";
        ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
        int feed = open(input.c_str(), O_RDWR | O_CLOEXEC);
        auto give = [&](size_t from, size_t to) {
            std::string text;
            for (size_t k = from; k <= to; ++k) {
                text += std::to_string(k) + "\n";
            }
            ASSERT_EQ(write(feed, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        };
        give(1, test.first);
        const std::string command =
            "stay() { read -r -t 60 _ < gate$1; }; go() { echo > gate$1; }; "
            "echo {} {%} $$ >> slots; . ./act{}";
        Launch launch;
        launch.args = {"-j", "3", "-o", dir / "out", "-a", input, command};
        launch.workDir = dir.path().string();
        Program program = start(dir, launch);
        // "k slot pid" of each command that has started.
        auto started = [&] {
            std::map<int, std::pair<std::string, int>> lines;
            std::istringstream text(readFile(dir / "slots"));
            int k = 0;
            std::string slot;
            int pid = 0;
            while (text >> k >> slot >> pid) {
                lines[k] = {slot, pid};
            }
            return lines;
        };
        // Once a command has started the runner has the input open: the arguments given so far
        // stay in it. A command gone from the process table has been reaped.
        auto until = [](const std::function<bool()> &done) {
            for (int i = 0; i < 12000 && !done(); ++i) {
                std::this_thread::sleep_for(5ms);
            }
            return done();
        };
        EXPECT_TRUE(until([&] { return !started().empty(); }));
        for (int k : test.reaped) {
            EXPECT_TRUE(until([&] {
                const auto lines = started();
                return lines.count(k) != 0 && kill(lines.at(k).second, 0) != 0;
            })) << "command "
                << k;
        }
        give(test.first + 1, test.acts.size());
        close(feed);
        Outcome outcome = program.finish();
        for (int gate : gates) {
            close(gate);
        }
        EXPECT_EQ(outcome.code(), 0) << outcome.err;
        std::string slots;
        for (const auto &[k, line] : started()) {
            slots += std::to_string(k) + " " + line.first + "\n";
        }
        EXPECT_EQ(slots, test.slots);
    }
}

// ---- commands without the shell and several arguments per command ------------------------------

// Bash sets the environment variable _ to the path of the program it starts; a program started
// without the shell keeps the runner's value.
const std::string startedDirectly = "started-without-bash";

// The words of a run: options, the command (a template, or words ending in --), the arguments.
std::vector<std::string> words(std::vector<std::string> first,
                               const std::vector<std::string> &rest) {
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

TEST(FanrunDirect, PlainCommandsStartTheirProgramWithoutTheShellAndOthersWithIt) {
    struct Case {
        std::vector<std::string> command;
        std::string argument;
        bool shell;
        std::string environment{}; // one more NAME=VALUE
    };
    const std::vector<Case> cases = {
        {{"printenv", "--"}, "_", false},
        // A function exported from bash in place of the program.
        {{"printenv", "--"}, "_", true, "BASH_FUNC_printenv%%=() {  command printenv \"$@\"\n}"},
        {{"printenv {}"}, "_", true, "BASH_FUNC_printenv%%=() {  command printenv \"$@\"\n}"},
        {{"printenv {}"}, "_", false},
        {{" printenv \t{} "}, "_", false},
        {{"/usr/bin/printenv {}"}, "_", false},
        {{"env printenv {}"}, "_", false},
        {{"printenv", "{}", "--"}, "_", false},
        {{"env", "-u", "no such", "printenv", "--"}, "_", false},
        {{"--shell", "printenv {}"}, "_", true},
        {{"--shell", "printenv", "--"}, "_", true},
        {{"--raw", "printenv {}"}, "_", true},
        {{"printenv '{}'"}, "_", true},
        {{"printenv \"{}\""}, "_", true},
        {{"printenv {} ;"}, "_", true},
        {{"printenv {} # note"}, "_", true},
        {{"printenv {} 2>/dev/null"}, "_", true},
        {{"printenv {} | cat"}, "_", true},
        {{"A=1 printenv {}"}, "_", true},
        {{"printenv {}\nprintenv NOTHING || true"}, "_", true},
        {{"command printenv {}"}, "_", true},
        {{"time printenv {}"}, "_", true},
        {{"{} _"}, "printenv", true},
        {{"print{} _"}, "env", true},
        {{"{}", "_", "--"}, "printenv", true},
    };
    TempDir dir;
    for (const Case &c : cases) {
        Launch launch;
        launch.args = words(words({"-u", "-j", "1"}, c.command), {c.argument});
        launch.environment = {"_=" + startedDirectly};
        if (!c.environment.empty()) {
            launch.environment.push_back(c.environment);
        }
        const std::string name = ::testing::PrintToString(c.command) + c.environment;
        Outcome outcome = run(dir, launch);
        EXPECT_EQ(outcome.code(), 0) << name << outcome.err;
        if (c.shell) {
            EXPECT_NE(outcome.out, startedDirectly + "\n") << name;
            EXPECT_TRUE(outcome.out.ends_with("/printenv\n") || outcome.out.ends_with("/env\n"))
                << name << ": " << outcome.out;
        } else {
            EXPECT_EQ(outcome.out, startedDirectly + "\n") << name;
        }
    }
}

TEST(FanrunDirect, EveryArgumentReachesTheProgramAsItsBytesAndTheReportIsTheShells) {
    const std::vector<std::string> arguments = awkwardArguments();
    std::string input;
    std::string expected;
    for (const std::string &argument : arguments) {
        input += argument + '\0';
        expected += argument + '\0';
    }
    TempDir dir;
    for (const char *perCommand : {"1", "7"}) {
        std::vector<std::string> commands[2];
        for (int shell = 0; shell < 2; ++shell) {
            Launch launch;
            launch.workDir = dir.path().string();
            launch.args = {"-0", "-k", "-j", "2", "-n", perCommand};
            if (shell == 1) {
                launch.args.push_back("--shell");
            }
            launch.args.insert(launch.args.end(), {"/usr/bin/printf", "%s\\0", "--"});
            launch.input = input;
            Outcome outcome = run(dir, launch);
            const std::string name =
                std::string("-n ") + perCommand + (shell == 1 ? " --shell" : "");
            EXPECT_EQ(outcome.code(), 0) << name << outcome.err;
            EXPECT_EQ(outcome.out, expected) << name;
            for (const ReportLine &line : parseRecords(outcome.err)) {
                commands[shell].push_back(line.command);
            }
        }
        EXPECT_EQ(commands[0].size(),
                  (arguments.size() + std::stoul(perCommand) - 1) / std::stoul(perCommand));
        // Report lines in launch order: the same commands, in order with -j 2 or not.
        std::sort(commands[0].begin(), commands[0].end());
        std::sort(commands[1].begin(), commands[1].end());
        EXPECT_EQ(commands[0], commands[1]) << perCommand;
    }
    EXPECT_FALSE(fs::exists(dir / "pwned"));
}

TEST(FanrunDirect, ProgramsNotFoundEndWith127AndOnesThatCannotRunWith126AsUnderBash) {
    TempDir dir;
    fs::create_directories(dir / "first");
    fs::create_directories(dir / "second");
    fs::create_directories(dir / "folder");
    const std::string script = "echo \"from $0 with $1\"\n";
    writeFile(dir / "script", script);
    fs::permissions(dir / "script", fs::perms(0755));
    writeFile(dir / "locked", script);
    fs::permissions(dir / "locked", fs::perms(0644));
    writeFile(dir / "first/tool", script);
    fs::permissions(dir / "first/tool", fs::perms(0644));
    writeFile(dir / "second/tool", script);
    fs::permissions(dir / "second/tool", fs::perms(0755));
    writeFile(dir / "first/onlyhere", script);
    fs::permissions(dir / "first/onlyhere", fs::perms(0644));
    // A program whose path is 4095 bytes, the longest exec takes.
    fs::path deep = dir.path();
    while (deep.string().size() < 3850) {
        deep /= std::string(200, 'd');
    }
    fs::create_directories(deep);
    const std::string longest(4094 - deep.string().size(), 'p');
    writeFile(deep / longest, script);
    fs::permissions(deep / longest, fs::perms(0755));
    struct Case {
        std::string program;
        int code;
        std::string out;
        std::string err;                   // of the command started without the shell
        std::optional<std::string> path{}; // PATH, if not first:second:/usr/bin:/bin
    };
    const std::vector<Case> cases = {
        {longest, 0, "from " + (deep / longest).string() + " with arg\n", "", deep.string()},
        {"script", 0, "from " + dir / "script" + " with arg\n", "", dir.path().string() + "/"},
        // An empty PATH searches nowhere, an empty entry is the current directory.
        {"folder", 126, "", "fanrun: folder: Permission denied\n", ""},
        {"script", 0, "from script with arg\n", "", ""},
        {"no-such-program", 127, "", "fanrun: no-such-program: No such file or directory\n", ""},
        {"script", 0, "from ./script with arg\n", "", ":"},
        {"folder", 127, "", "fanrun: folder: command not found\n", ":"},
        {"no-such-program", 127, "", "fanrun: no-such-program: command not found\n"},
        {dir / "missing/program", 127, "",
         "fanrun: " + dir / "missing/program" + ": No such file or directory\n"},
        {dir / "locked", 126, "", "fanrun: " + dir / "locked" + ": Permission denied\n"},
        {dir / "folder", 126, "", "fanrun: " + dir / "folder" + ": Permission denied\n"},
        {dir / "script", 0, "from " + dir / "script" + " with arg\n", ""},
        {"tool", 0, "from " + dir / "second/tool" + " with arg\n", ""},
        {"onlyhere", 126, "", "fanrun: onlyhere: Permission denied\n"},
    };
    for (const Case &c : cases) {
        for (const bool shell : {false, true}) {
            const std::string out = dir / "out";
            fs::remove_all(out);
            Launch launch;
            launch.args = {"-j", "1", "-o", out};
            if (shell) {
                launch.args.push_back("--shell");
            }
            launch.args.insert(launch.args.end(), {c.program, "--", "arg"});
            launch.environment = {
                "PATH=" + c.path.value_or(dir / "first" + ":" + dir / "second" + ":/usr/bin:/bin")};
            launch.workDir = dir.path().string();
            Outcome outcome = run(dir, launch);
            const std::string name = c.program.substr(0, 40) + (shell ? " --shell" : "") +
                                     (c.path ? " PATH=" + c.path->substr(0, 40) : "");
            EXPECT_EQ(outcome.code(), c.code == 0 ? 0 : 123) << name << outcome.err;
            const std::vector<ReportLine> records = parseRecords(outcome.out);
            ASSERT_EQ(records.size(), 1U) << name;
            EXPECT_EQ(records[0].exitStatus, c.code) << name;
            EXPECT_EQ(commandOutput(out, records[0]), c.out) << name;
            if (!shell) {
                EXPECT_EQ(readFile(out + "/" + std::to_string(records[0].pid) + ".stderr"), c.err)
                    << name;
            }
        }
    }
}

TEST(FanrunMaxArgs, EveryOutputModeGivesEachCommandItsArgumentsInOrder) {
    TempDir dir;
    // Prints each of its arguments on a line of its own.
    const std::string show = dir / "show";
    writeFile(show, "#!/bin/sh\nfor a; do printf '<%s>\\n' \"$a\"; done\n");
    fs::permissions(show, fs::perms(0755));
    const std::vector<std::string> arguments = {"a", "b c", "d", "", "e", "f", "g'h"};
    std::string byArgument; // what the commands print, in input order
    for (const std::string &argument : arguments) {
        byArgument += "<" + argument + ">\n";
    }
    std::vector<std::string> report = {show + " a 'b c' d", show + " '' e f", show + " 'g'\\''h'"};
    std::sort(report.begin(), report.end());
    const std::string tagged = "a b c d\t<a>\na b c d\t<b c>\na b c d\t<d>\n e f\t<>\n e f\t<e>\n"
                               " e f\t<f>\ng'h\t<g'h>\n";
    struct Case {
        std::vector<std::string> options;
        std::string out; // "": compare the lines in any order with byArgument
    };
    const std::vector<Case> cases = {
        {{}, ""},
        {{"-g"}, ""},
        {{"-u"}, ""},
        {{"-k"}, byArgument},
        {{"-k", "--tag"}, tagged},
        {{"--shell", "-k"}, byArgument},
        {{"--shell", "-k", "--tag"}, tagged},
    };
    for (const Case &c : cases) {
        for (const bool template_ : {false, true}) {
            const std::string out = dir / "out";
            fs::remove_all(out);
            Launch launch;
            launch.args = words({"-0", "-j", "2", "-n", "3", "-o", out}, c.options);
            const std::vector<std::string> command = template_
                                                         ? std::vector<std::string>{show + " {}"}
                                                         : std::vector<std::string>{show, "--"};
            launch.args.insert(launch.args.end(), command.begin(), command.end());
            for (const std::string &argument : arguments) {
                launch.input += argument + '\0';
            }
            const std::string name =
                ::testing::PrintToString(c.options) + (template_ ? " template" : " words");
            Outcome outcome = run(dir, launch);
            EXPECT_EQ(outcome.code(), 0) << name << outcome.err;
            const bool files = c.options.empty();
            std::string printed = files ? "" : outcome.out;
            std::vector<std::string> commands;
            for (const ReportLine &record : parseRecords(files ? outcome.out : outcome.err)) {
                commands.push_back(record.command);
                printed += files ? commandOutput(out, record) : "";
            }
            std::sort(commands.begin(), commands.end());
            EXPECT_EQ(commands, report) << name;
            if (!c.out.empty()) {
                EXPECT_EQ(printed, c.out) << name;
            } else {
                std::vector<std::string> got = lines(printed);
                std::vector<std::string> want = lines(byArgument);
                std::sort(got.begin(), got.end());
                std::sort(want.begin(), want.end());
                EXPECT_EQ(got, want) << name;
            }
        }
    }
}

TEST(FanrunMaxArgs, TheJobLogRecordsEveryArgumentSoResumeAndFailedWorkOneByOne) {
    TempDir dir;
    const std::string log = dir / "job.log";
    // Fails when one of its arguments is "bad".
    const std::string check = dir / "check";
    writeFile(check, "#!/bin/sh\nfor a; do [ \"$a\" != bad ] || exit 3; echo \"$a\"; done\n");
    fs::permissions(check, fs::perms(0755));
    Outcome first = run(
        dir, {"-k", "-j", "2", "-n", "2", "--joblog", log, check, "--", "a", "bad", "c", "d", "e"});
    EXPECT_EQ(first.code(), 123) << first.err;
    EXPECT_EQ(first.out, "a\nc\nd\ne\n");
    std::map<std::string, std::vector<std::string>> events; // by argument
    for (const LogRecord &record : logRecords(log)) {
        events[record.key].push_back(record.event + " " + record.exitCode);
    }
    const std::vector<std::string> failed = {"start -", "end 3"};
    const std::vector<std::string> passed = {"start -", "end 0"};
    EXPECT_EQ(events, (std::map<std::string, std::vector<std::string>>{{"1\ta", failed},
                                                                       {"1\tbad", failed},
                                                                       {"1\tc", passed},
                                                                       {"1\td", passed},
                                                                       {"1\te", passed}}));
    Outcome left = run(dir, {"--failed", log});
    EXPECT_EQ(left.code(), 0) << left.err;
    EXPECT_EQ(left.out, "a\nbad\n");
    // Resumed, the arguments left are grouped anew: a with bad, then the new f and g.
    Outcome resumed = run(dir, {"-k", "-j", "2", "-n", "2", "--joblog", log, "--resume-failed",
                                check, "--", "a", "bad", "c", "d", "e", "f", "g"});
    EXPECT_EQ(resumed.code(), 123) << resumed.err;
    EXPECT_EQ(resumed.out, "a\nf\ng\n");
    std::vector<std::string> commands;
    for (const ReportLine &record : parseRecords(resumed.err)) {
        commands.push_back(record.command);
    }
    EXPECT_EQ(commands, (std::vector<std::string>{check + " a bad", check + " f g"}));
}

TEST(FanrunMaxArgs, ACommandTakesFewerArgumentsWhereMoreWouldNotFitExec) {
    TempDir dir;
    // Prints each of its arguments on a line of its own, then "--"; a copy of it lies where
    // its path is 4005 bytes long, which exec takes twice for a script, and bash twice more
    // (as _, and as PWD when the environment has none).
    const std::string body = "for a; do printf '%s\\n' \"$a\"; done\necho --\n";
    const std::string show = dir / "show";
    writeFile(show, "#!/bin/sh\n" + body);
    fs::permissions(show, fs::perms(0755));
    // The same without #!: bash runs it, with every argument.
    const std::string bare = dir / "bare";
    writeFile(bare, body);
    fs::permissions(bare, fs::perms(0755));
    fs::path deep = dir.path();
    while (deep.string().size() + 251 < 4000) {
        deep /= std::string(250, 'd');
    }
    deep /= std::string(4000 - deep.string().size() - 1, 'd');
    fs::create_directories(deep);
    fs::copy_file(show, deep / "show");
    // Four levels of scripts, each line naming the next with an argument: the kernel adds every
    // level's line, and the path of the first in place of its name.
    std::string interpreter = "/bin/sh";
    for (const char *level : {"4", "3", "2", "nested"}) {
        const std::string file = level == std::string("nested")
                                     ? (deep / level).string()
                                     : dir / (std::string(180, 'i') + level);
        writeFile(file, interpreter == "/bin/sh"
                            ? "#!/bin/sh\nshift 6\n" + body
                            : "#!" + interpreter + " " + std::string(30, 'a') + "\n");
        fs::permissions(file, fs::perms(0755));
        interpreter = file;
    }
    const std::string path = "PATH=" + deep.string() + ":" + getenv("PATH");
    // ARG_MAX is then 128 KiB, as is one argument's limit: the words of a command without the
    // shell fill it as the text bash reads does.
    const std::vector<std::string> smallStack = {"prlimit", "--stack=262144"};
    struct Case {
        std::vector<std::string> command;
        std::string fill;    // "\x01": quoted for bash, an argument takes four times its bytes;
                             // "a ": with --raw, each takes 31 words of bash's exec
        bool inDeep = false; // run in the deep directory, without PWD in the environment
    };
    const std::vector<Case> cases = {
        {{show, "--"}, "\x01"},
        {{"--shell", show, "--"}, "\x01"},
        {{"--shell", show, "--"}, "x"},
        {{show + " {}"}, "x"},
        {{"--raw", show + " {}"}, "x"},
        {{"--raw", show + " {}"}, "a "},
        {{"show", "--"}, "x"},
        {{"--shell", "show", "--"}, "x"},
        {{"--shell", "show", "--"}, "x", true},
        {{bare, "--"}, "x"},
        {{"nested", "--"}, "x"},
    };
    for (const Case &c : cases) {
        const std::string name =
            ::testing::PrintToString(c.command) + c.fill + (c.inDeep ? " without PWD" : "");
        std::string input;
        for (int i = 0; i < 3000; ++i) {
            for (size_t filled = 0; filled < 60; filled += c.fill.size()) {
                input += c.fill;
            }
            input += std::to_string(i) + "\n";
        }
        Launch launch;
        launch.args = words({"-k", "-j", "2", "-n", "100000"}, c.command);
        launch.input = input;
        launch.wrapper = smallStack;
        if (c.inDeep) {
            launch.wrapper.insert(launch.wrapper.begin(), {"env", "-u", "PWD"});
            launch.workDir = deep.string();
        }
        launch.environment = {path};
        Outcome outcome = run(dir, launch);
        EXPECT_EQ(outcome.code(), 0) << name << outcome.err.substr(0, 300);
        // Two to ten commands hold them all (quoted, or as 31 words, they take four times the
        // room); one each would make 3000.
        const std::vector<ReportLine> records = parseRecords(outcome.err);
        EXPECT_GT(records.size(), 1U) << name;
        EXPECT_LE(records.size(), 10U) << name;
        std::string printed;
        size_t ends = 0;
        for (const std::string &line : lines(outcome.out)) {
            ends += line == "--" ? 1 : 0;
            printed += line == "--" ? "" : line + "\n";
        }
        EXPECT_EQ(printed,
                  c.fill == "a " ? std::regex_replace(input, std::regex(" "), "\n") : input)
            << name;
        EXPECT_EQ(ends, records.size()) << name;
        launch.args = words({"--dry-run", "-n", "100000"}, c.command);
        Outcome dry = run(dir, launch);
        EXPECT_EQ(dry.code(), 0) << name;
        EXPECT_EQ(lines(dry.out).size(), records.size()) << name;
    }
    // Without the shell exec is given the words, not the text the report shows: an argument
    // whose quoted text would be too long runs, one longer than exec takes is refused.
    struct Alone {
        std::string argument;
        int code;
        std::string err;
    };
    const size_t perArgument = 32 * static_cast<size_t>(sysconf(_SC_PAGESIZE)) - 1;
    const std::vector<Alone> alone = {
        {std::string(100000, '\x01'), 0, ""},
        {std::string(perArgument + 1, 'x'), 2,
         "fanrun: the command for argument 1 has a word of " + std::to_string(perArgument + 1) +
             " bytes, more than the " + std::to_string(perArgument) +
             " bytes that one argument of exec may hold\n"},
    };
    for (const Alone &a : alone) {
        Outcome outcome = run(dir, {"-k", show, "--"}, a.argument + "\n");
        EXPECT_EQ(outcome.code(), a.code) << a.argument.size();
        EXPECT_EQ(outcome.out, a.code == 0 ? a.argument + "\n--\n" : "") << a.argument.size();
        EXPECT_EQ(outcome.err.substr(0, a.err.size()), a.err) << a.argument.size();
    }
}

// The text bash reads is one argument of exec: a command of two arguments whose text is exactly
// the longest exec takes holds both, one byte more and the second begins the next command, in the
// run as in the dry run, whatever the quoting makes of an argument.
TEST(FanrunMaxArgs, ACommandAtExactlyExecsLimitHoldsBothArgumentsAndOneByteMoreSplitsThem) {
    TempDir dir;
    const size_t longest = 32 * static_cast<size_t>(sysconf(_SC_PAGESIZE)) - 1;
    struct Case {
        std::vector<std::string> options;
        std::string second; // the second argument; the first is x's up to the limit
        size_t over;        // bytes past the limit
        size_t commands;
    };
    const std::vector<Case> cases = {
        {{"--shell"}, "y", 0, 1},
        {{"--shell"}, "y", 1, 2},
        {{"--raw"}, "y", 0, 1},
        {{"--raw"}, "y", 1, 2},
        // Quoted for bash, control bytes and a quote take several times their bytes.
        {{"--shell"}, std::string(300, '\x01') + "it's", 0, 1},
        {{"--shell"}, std::string(300, '\x01') + "it's", 1, 2},
    };
    for (const Case &c : cases) {
        const std::string name = ::testing::PrintToString(c.options) + " over " +
                                 std::to_string(c.over) + " " + std::to_string(c.second.size());
        // The second argument as the command holds it: what the dry run of it alone shows.
        std::vector<std::string> alone = c.options;
        alone.insert(alone.end(), {"--dry-run", "echo {}"});
        const Outcome quoted = run(dir, alone, c.second + "\n");
        ASSERT_EQ(quoted.code(), 0) << name;
        const size_t second = quoted.out.size() - sizeof "echo \n" + 1;
        // "echo ", the first, a space, the second.
        const std::string first(longest + c.over - 5 - 1 - second, 'x');
        const std::string input = first + "\n" + c.second + "\n";
        std::vector<std::string> dry = c.options;
        dry.insert(dry.end(), {"--dry-run", "-n", "2", "echo {}"});
        const Outcome shown = run(dir, dry, input);
        EXPECT_EQ(shown.code(), 0) << name << shown.err.substr(0, 300);
        const std::vector<std::string> commands = lines(shown.out);
        EXPECT_EQ(commands.size(), c.commands) << name;
        size_t widest = 0;
        for (const std::string &command : commands) {
            widest = std::max(widest, command.size());
        }
        EXPECT_EQ(widest, c.commands == 1 ? longest : longest + c.over - 1 - second) << name;
        std::vector<std::string> real = c.options;
        real.insert(real.end(), {"-k", "-n", "2", "echo {}"});
        const Outcome ran = run(dir, real, input);
        EXPECT_EQ(ran.code(), 0) << name << ran.err.substr(0, 300);
        EXPECT_EQ(lines(ran.out).size(), c.commands) << name;
    }
}

TEST(FanrunMaxArgs, BracesMustBeAWordOfTheirOwnAndOtherReplacementsAreRefused) {
    struct Case {
        std::vector<std::string> options;
        std::string shown; // by --dry-run; "": refused
    };
    const std::vector<Case> cases = {
        {{"-n", "2", "echo {} {%}"}, "echo 1 'b c' 1\necho 3 4 2\necho 5 1\n"},
        {{"-n", "2", "echo {}; echo {}>&2"}, ""},
        {{"-n", "2", "(echo {})|cat"}, "(echo 1 'b c')|cat\n(echo 3 4)|cat\n(echo 5)|cat\n"},
        {{"-n", "3", "printf", "-", "{}", "--"}, "printf - 1 'b c' 3\nprintf - 4 5\n"},
        {{"-n", "2", "--raw", "echo {}"}, "echo 1 b c\necho 3 4\necho 5\n"},
        {{"-n", "2", "--shard", "1/2", "echo {}"}, "echo 'b c' 4\n"},
        {{"-n", "1", "echo x{} {#}"},
         "echo x1 1\necho x'b c' 2\necho x3 3\necho x4 4\necho x5 5\n"},
        {{"-n", "2", "echo x{}"}, ""},
        {{"-n", "2", "echo \\ {}"}, ""},
        {{"-n", "2", "echo \\\t{}"}, ""},
        {{"-n", "2", "--raw", "echo \\ {}"}, ""},
        {{"-n", "2", "echo \\\\ {}"}, "echo \\\\ 1 'b c'\necho \\\\ 3 4\necho \\\\ 5\n"},
        {{"-n", "2", "echo \"{}\""}, ""},
        {{"-n", "2", "echo '{}'"}, ""},
        {{"-n", "2", "cat <{}"}, ""},
        {{"-n", "2", "a={} env"}, ""},
        {{"-n", "2", "echo {.}"}, ""},
        {{"-n", "2", "echo {} {#}"}, ""},
        {{"-n", "2", "echo {} {/}"}, ""},
        {{"-n", "2", "echo", "x{}", "--"}, ""},
        {{"-n", "2", "--raw", "echo x{}"}, ""},
        // -n0 (as -N0): once per argument, with nothing of it.
        {{"-n", "0", "echo {}"}, "echo ''\necho ''\necho ''\necho ''\necho ''\n"},
        {{"-n", "0", "echo"}, "echo\necho\necho\necho\necho\n"},
    };
    TempDir dir;
    for (const Case &c : cases) {
        const std::string name = ::testing::PrintToString(c.options);
        Outcome outcome =
            run(dir, words(words({"--dry-run"}, c.options), {"1", "b c", "3", "4", "5"}));
        EXPECT_EQ(outcome.code(), c.shown.empty() ? 2 : 0) << name << outcome.err;
        EXPECT_EQ(outcome.out, c.shown) << name;
    }
}

// ---- the report, the output files, the limit, usage: the run as a whole
// ----------------------------------------------------

TEST(FanrunReport, FinalReportShowsExitCodesAndSignalsInLaunchOrder) {
    TempDir dir;
    Outcome outcome = runFanrun(
        dir, {"--raw", "-j", "3", "-o", dir / "out", "{}", "exit 0", "exit 2", "kill -9 $$"});
    EXPECT_TRUE(outcome.exitedWith(123));
    EXPECT_EQ(outcome.err, "");
    std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 3U);
    EXPECT_EQ(outcome.out, expectedReport("3 3 0", {{records[0].pid, 0, "exit 0"},
                                                    {records[1].pid, 2, "exit 2"},
                                                    {records[2].pid, -1, "kill -9 $$"}}));
}

TEST(FanrunOutputFiles, OutputFilesAreNamedByPidAndReuseAndTruncateEarlierOnes) {
    TempDir dir;
    const fs::path out = dir.path() / "out";
    fs::create_directory(out);
    // The runner is pid 1 of a pid namespace of its own, so its commands get the pids after it
    // whatever else the machine starts: files with those pids already exist, longer than what
    // the commands write, and must be truncated.
    std::set<int> planted;
    for (int pid = 2; pid <= 100; ++pid) {
        planted.insert(pid);
        writeFile(out / (std::to_string(pid) + ".stdout"), std::string(100, '#') + "\n");
        writeFile(out / (std::to_string(pid) + ".stderr"), std::string(100, '#') + "\n");
    }
    Launch launch;
    launch.args = {"-j", "2", "-o", out.string(), "echo out {}; echo err {} >&2", "a", "b", "c"};
    launch.wrapper = {"unshare", "--pid", "--fork", "--kill-child"};
    Outcome outcome = run(dir, launch);
    if (outcome.exitedWith(1) && outcome.err.find("unshare") != std::string::npos) {
        SKIP_UNLESS_CI("cannot make a pid namespace: " << outcome.err);
    }
    EXPECT_TRUE(outcome.exitedWith(0));
    EXPECT_EQ(outcome.err, "");
    std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 3U);
    const char *names[] = {"a", "b", "c"};
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(planted.count(records[i].pid), 1U) << records[i].pid;
        const std::string base = (out / std::to_string(records[i].pid)).string();
        EXPECT_EQ(readFile(base + ".stdout"), std::string("out ") + names[i] + "\n");
        EXPECT_EQ(readFile(base + ".stderr"), std::string("err ") + names[i] + "\n");
        EXPECT_EQ(records[i].exitStatus, 0);
    }
}

TEST(FanrunOutputFiles, LongOutputPathsAreUsedWhole) {
    TempDir dir;
    // Over 255 characters: a name cut short would land in another file or make the two streams
    // share one.
    fs::path out = dir.path();
    while (out.string().size() < 300) {
        out /= std::string(60, 'd');
    }
    fs::create_directories(out);
    Outcome outcome = runFanrun(dir, {"-o", out.string(), "echo out; echo err {} >&2", "x"});
    EXPECT_TRUE(outcome.exitedWith(0));
    std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 1U);
    const std::string base = (out / std::to_string(records[0].pid)).string();
    EXPECT_EQ(readFile(base + ".stdout"), "out\n");
    EXPECT_EQ(readFile(base + ".stderr"), "err x\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2);
}

TEST(FanrunJobs, OneJobAtATimeRunsCommandsStrictlyInOrder) {
    TempDir dir;
    const std::string log = dir / "log";
    Outcome outcome =
        runFanrun(dir, {"-j", "1", "-o", dir / "out",
                        "echo start {} >> " + log + "; sleep 0.02; echo end {} >> " + log, "1", "2",
                        "3", "4", "5"});
    EXPECT_TRUE(outcome.exitedWith(0));
    EXPECT_EQ(readFile(log), "start 1\nend 1\nstart 2\nend 2\nstart 3\nend 3\nstart 4\nend 4\n"
                             "start 5\nend 5\n");
}

TEST(FanrunJobs, NeverRunsMoreCommandsThanTheLimit) {
    TempDir dir;
    const std::string log = dir / "log";
    std::vector<std::string> arguments = {"-j", "3", "-o", dir / "out",
                                          "echo + >> " + log + "; sleep 0.3; echo - >> " + log +
                                              " # {}"};
    for (int i = 0; i < 9; ++i) {
        arguments.push_back(std::to_string(i));
    }
    Outcome outcome = runFanrun(dir, arguments);
    EXPECT_TRUE(outcome.exitedWith(0));
    // A command logs its end before it exits and its start after it has been launched, so the
    // log can only understate how many ran at once.
    int running = 0;
    int peak = 0;
    for (const std::string &line : lines(readFile(log))) {
        running += line == "+" ? 1 : -1;
        peak = std::max(peak, running);
    }
    EXPECT_EQ(running, 0);
    EXPECT_EQ(peak, 3);
}

TEST(FanrunJobs, StartsEveryCommandBeforeTheFirstWaitWhenTheLimitAllows) {
    TempDir dir;
    const std::string marks = dir / "marks";
    fs::create_directory(marks);
    // Each command ends only once all five have started; a runner that waited early would leave
    // them to time out with exit code 1.
    const std::string command = "touch " + marks + "/{}; for i in $(seq 500); do [ $(ls " + marks +
                                " | wc -l) -eq 5 ] && exit 0; sleep 0.02; done; exit 1";
    Outcome outcome =
        runFanrun(dir, {"-j", "8", "-o", dir / "out", command, "1", "2", "3", "4", "5"});
    EXPECT_TRUE(outcome.exitedWith(0));
    std::string header;
    std::vector<ReportLine> records = parseRecords(outcome.out, &header);
    EXPECT_EQ(header, "5 5 0");
    ASSERT_EQ(records.size(), 5U);
    for (const ReportLine &record : records) {
        EXPECT_EQ(record.exitStatus, 0) << record.command;
    }
}

TEST(FanrunOutputFiles, AnOutputPathThatIsAFileFailsEveryCommand) {
    TempDir dir;
    writeFile(dir / "file", "keep\n");
    Outcome outcome = runFanrun(dir, {"-j", "2", "-o", dir / "file", "echo {}", "a", "b", "c"});
    EXPECT_TRUE(outcome.exitedWith(123));
    const std::string failure = "Error: open failed\n: Not a directory\n";
    EXPECT_EQ(outcome.err, failure + failure + failure);
    std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 3U);
    EXPECT_EQ(outcome.out, expectedReport("3 3 0", {{records[0].pid, 1, "echo a"},
                                                    {records[1].pid, 1, "echo b"},
                                                    {records[2].pid, 1, "echo c"}}));
    EXPECT_EQ(readFile(dir / "file"), "keep\n");
}

TEST(FanrunOutputFiles, AMissingParentDirectoryEndsTheRun) {
    TempDir dir;
    Outcome outcome = runFanrun(dir, {"-o", dir / "missing/out", "touch " + (dir / "ran"), "a"});
    EXPECT_TRUE(outcome.exitedWith(1));
    EXPECT_EQ(outcome.err,
              "Error: failed to create output directory\n: No such file or directory\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(fs::exists(dir / "ran"));
}

TEST(FanrunInput, ReadsOneArgumentPerLineIntoTheDefaultDirectory) {
    TempDir dir;
    StartOptions options = fromInput("a\n\nb c\nd");
    options.workDir = dir.path().string();
    Outcome outcome = runFanrun(dir, {"-j", "1", "echo {}"}, options);
    EXPECT_TRUE(outcome.exitedWith(0));
    std::vector<ReportLine> records = parseRecords(outcome.out);
    ASSERT_EQ(records.size(), 3U);
    EXPECT_EQ(outcome.out, expectedReport("3 3 0", {{records[0].pid, 0, "echo a"},
                                                    {records[1].pid, 0, "echo 'b c'"},
                                                    {records[2].pid, 0, "echo d"}}));
    EXPECT_EQ(commandOutput(dir / "fanrun-out", records[1]), "b c\n");
}

TEST(FanrunInput, EmptyInputRunsNothingAndReportsZero) {
    TempDir dir;
    Outcome outcome = runFanrun(dir, {"-o", dir / "out", "echo {}"});
    EXPECT_TRUE(outcome.exitedWith(0));
    EXPECT_EQ(outcome.out, "0 0 0\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(fs::is_directory(dir / "out"));
}

TEST(FanrunOutputFiles, CommandsGetTheirFilesEvenWhenTheRunnersStreamsAreClosed) {
    TempDir dir;
    const std::string command = "echo out; echo err {} >&2";
    StartOptions closedErr;
    closedErr.err = Stream::Closed;
    Outcome noStderr = runFanrun(dir, {"-o", dir / "e", command, "x"}, closedErr);
    EXPECT_TRUE(noStderr.exitedWith(0));
    StartOptions closedOut;
    closedOut.out = Stream::Closed;
    Outcome noStdout = runFanrun(dir, {"-o", dir / "o", command, "x"}, closedOut);
    // The report cannot be written; the command's files must still be whole.
    EXPECT_TRUE(noStdout.exitedWith(1));
    for (const char *sub : {"e", "o"}) {
        std::map<std::string, std::string> files;
        for (const auto &entry : fs::directory_iterator(dir.path() / sub)) {
            files[entry.path().extension().string()] = readFile(entry.path());
        }
        EXPECT_EQ(files, (std::map<std::string, std::string>{{".stdout", "out\n"},
                                                             {".stderr", "err x\n"}}))
            << sub;
    }
}

// Sorted lines of text, for outputs whose order is free.
std::vector<std::string> sortedLines(const std::string &text) {
    std::vector<std::string> all = lines(text);
    std::sort(all.begin(), all.end());
    return all;
}

std::string numberLines(int from, int to) {
    std::string text;
    for (int i = from; i <= to; ++i) {
        text += std::to_string(i) + "\n";
    }
    return text;
}

TEST(FanrunCapture, AProcessLeftBehindNeverWritesIntoALaterCommandsOutput) {
    for (const char *mode : {"-g", "-k"}) {
        TempDir dir;
        const std::string mark = dir / "late-written";
        // The first command leaves a process behind that writes once the second has begun; the
        // second ends only after that write.
        const std::string command =
            "if [ {} = 1 ]; then (setsid sh -c 'sleep 0.2; echo LATE; echo LATEERR >&2; touch " +
            mark + "' &); echo a; else while [ ! -e " + mark +
            " ]; do sleep 0.02; done; echo b; echo berr >&2; fi";
        Outcome outcome =
            run(dir, {mode, "-j", "1", "--report", dir / "report", command, "--", "1", "2"});
        EXPECT_EQ(outcome.code(), 0) << mode << outcome.err;
        EXPECT_EQ(outcome.out, "a\nb\n") << mode;
        EXPECT_EQ(outcome.err, "berr\n") << mode;
    }
}

TEST(FanrunCapture, OutputAFullTemporaryFolderCutShortIsSaidAndFailsItsCommand) {
    TempDir dir;
    const std::string small = dir / "tmp";
    fs::create_directory(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
        SKIP_UNLESS_CI("cannot mount a tmpfs: " << strerror(errno));
    }
    const std::string marks = dir / "marks";
    fs::create_directory(marks);
    // Four commands of 40 KB each, all written before any ends: 64 KiB cannot hold them.
    const std::string command = "head -c 40000 /dev/zero | tr '\\0' x; echo; touch " + marks +
                                "/{}; while [ $(ls " + marks +
                                " | wc -l) -lt 4 ]; do sleep 0.02; done";
    Launch launch;
    launch.args = {"-g",       "--tag",     "-j",    "4",  "--report", dir / "report",
                   "--joblog", dir / "log", command, "--", "1",        "2",
                   "3",        "4"};
    launch.environment = {"TMPDIR=" + small};
    Outcome outcome = run(dir, launch);
    Outcome failed = run(dir, {"--failed", dir / "log"});
    umount2(small.c_str(), MNT_DETACH);
    EXPECT_EQ(outcome.code(), 123) << outcome.err;
    const std::string whole = std::string(40000, 'x');
    std::set<std::string> cutShort = {"1", "2", "3", "4"};
    for (const std::string &line : lines(outcome.out)) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos && line.substr(tab + 1) == whole) {
            cutShort.erase(line.substr(0, tab));
        }
    }
    EXPECT_FALSE(cutShort.empty()) << "the folder held everything";
    const std::regex said("fanrun: the output of command [1-4] \\(([1-4])\\) may be incomplete: "
                          "TMPDIR \\(" +
                          small + "\\) was full; [0-9]+ bytes were kept");
    std::set<std::string> flagged;
    for (const std::string &line : lines(outcome.err)) {
        std::smatch match;
        if (std::regex_match(line, match, said)) {
            flagged.insert(match[1]);
        } else {
            ADD_FAILURE() << "unexpected: " << line;
        }
    }
    EXPECT_TRUE(std::includes(flagged.begin(), flagged.end(), cutShort.begin(), cutShort.end()));
    // The job log has no successful end for exactly the commands said.
    std::string expectedFailed;
    for (const std::string &argument : flagged) {
        expectedFailed += argument + "\n";
    }
    EXPECT_EQ(failed.out, expectedFailed);
}

TEST(FanrunCapture, TooFewDescriptorsRunFewerCommandsAndFinishEveryArgument) {
    for (const char *mode : {"-g", "-k"}) {
        TempDir dir;
        Launch launch;
        launch.wrapper = {"prlimit", "--nofile=24"};
        launch.args = {mode, "-j", "40", "--report", dir / "report", "echo {}", "--"};
        for (int i = 1; i <= 100; ++i) {
            launch.args.push_back(std::to_string(i));
        }
        Outcome outcome = run(dir, launch);
        EXPECT_EQ(outcome.code(), 0) << mode << outcome.err;
        if (std::string(mode) == "-k") {
            EXPECT_EQ(outcome.out, numberLines(1, 100));
        } else {
            EXPECT_EQ(sortedLines(outcome.out), sortedLines(numberLines(1, 100)));
        }
        EXPECT_TRUE(std::regex_match(
            outcome.err,
            std::regex("fanrun: out of descriptors \\(limit 24\\); running [0-9]+ commands at "
                       "once\n(fanrun: [0-9]+ commands?'s? output waits? for command [0-9]+ "
                       "\\([0-9]+\\) to end; no new command starts until it does\n)?")))
            << mode << outcome.err;
    }
}

TEST(FanrunCapture, AKeptOrderBacklogThatStopsNewStartsIsSaid) {
    TempDir dir;
    const std::string go = dir / "go";
    Launch launch;
    launch.wrapper = {"prlimit", "--nofile=40"};
    launch.args = {"-k",
                   "-j",
                   "10",
                   "--report",
                   dir / "report",
                   "if [ {} = 1 ]; then while [ ! -e " + go +
                       " ]; do sleep 0.02; done; fi; echo {}",
                   "--"};
    for (int i = 1; i <= 30; ++i) {
        launch.args.push_back(std::to_string(i));
    }
    Program program = start(dir, launch);
    const bool said =
        eventually([&] { return readFile(program.errPath).find("wait") != std::string::npos; });
    writeFile(go, "");
    Outcome outcome = program.finish();
    EXPECT_TRUE(said);
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(outcome.out, numberLines(1, 30));
    EXPECT_TRUE(std::regex_match(
        outcome.err, std::regex("(fanrun: out of descriptors \\(limit 40\\); running [0-9]+ "
                                "commands at once\n)?fanrun: [0-9]+ commands?'s? output waits? "
                                "for command 1 \\(1\\) to end; no new command starts until it "
                                "does\n")))
        << outcome.err;
}

const std::string usage = "usage: fanrun [OPTION]... TEMPLATE [ARGUMENT]...\n"
                          "       fanrun [OPTION]... COMMAND WORD... -- [ARGUMENT]...\n";

TEST(FanrunUsage, BadUsageExitsWith2AndRunsNothing) {
    TempDir dir;
    const std::string out = dir / "out";
    const std::string marker = "touch " + (dir / "ran");
    const std::vector<std::vector<std::string>> cases = {
        {"-j", "abc", "-o", out, marker, "a"},
        {"-j", "0x", "-o", out, marker, "a"},
        {"-j", "-3x", "-o", out, marker, "a"},
        {"-j", "2x", "-o", out, marker, "a"},
        {"-j", "99999999999999999999", "-o", out, marker, "a"},
        {"-j", "2147483648", "-o", out, marker, "a"},
        {"-j"},
        {"-o", out},
        {"-o", "", marker, "a"},
        {"--no-such-option", "-o", out, marker, "a"},
        {"-x", "-o", out, marker, "a"},
    };
    for (const std::vector<std::string> &arguments : cases) {
        Outcome outcome = runFanrun(dir, arguments);
        std::string shown;
        for (const std::string &argument : arguments) {
            shown += " '" + argument + "'";
        }
        EXPECT_TRUE(outcome.exitedWith(2)) << shown;
        EXPECT_EQ(outcome.out, "") << shown;
        std::vector<std::string> errorLines = lines(outcome.err);
        ASSERT_EQ(errorLines.size(), 3U) << shown << "\n" << outcome.err;
        EXPECT_EQ(errorLines[0].rfind("fanrun: ", 0), 0U) << shown;
        EXPECT_EQ(errorLines[1] + "\n" + errorLines[2] + "\n", usage) << shown;
    }
    // Unreadable input: a directory as standard input, and a NUL byte in a line.
    StartOptions fromDirectory;
    fromDirectory.inputPath = dir.path().string();
    Outcome directory = runFanrun(dir, {"-o", out, marker}, fromDirectory);
    EXPECT_TRUE(directory.exitedWith(2));
    EXPECT_EQ(lines(directory.err).size(), 3U);
    Outcome nul = runFanrun(dir, {"-o", out, marker}, fromInput(std::string("a\n\0b\n", 5)));
    EXPECT_TRUE(nul.exitedWith(2));
    EXPECT_EQ(nul.err, "fanrun: line 2 of standard input holds a NUL byte\n" + usage);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(dir / "ran"));
}

TEST(FanrunUsage, HelpAndVersionGoToStandardOutput) {
    TempDir dir;
    Outcome help = runFanrun(dir, {"--help"});
    EXPECT_TRUE(help.exitedWith(0));
    EXPECT_EQ(help.out.rfind(usage, 0), 0U);
    EXPECT_NE(help.out.find("--jobs"), std::string::npos);
    EXPECT_EQ(help.err, "");
    Outcome version = runFanrun(dir, {"--version"});
    EXPECT_TRUE(version.exitedWith(0));
    const std::string number = version.out.substr(std::min<size_t>(7, version.out.size()));
    EXPECT_EQ(version.out.rfind("fanrun ", 0), 0U) << version.out;
    EXPECT_EQ(std::count(number.begin(), number.end(), '.'), 2) << version.out;
    EXPECT_EQ(number.find_first_not_of("0123456789.\n"), std::string::npos) << version.out;
    EXPECT_EQ(number.back(), '\n');
}

TEST(FanrunUsage, SpellingsOfGnuParallelRunAsThereOrAreRefusedWithTheReason) {
    struct Case {
        std::vector<std::string> arguments; // MARK: a command that leaves a mark when it runs
        std::string message;
    };
    const std::string oneSource = " stands for a source the command line does not give: 1 source";
    const Case cases[] = {
        {{"MARK", ":::", "a", "b"}, ""},
        {{"sh", "-c", "MARK", "x", "--", "a"}, ""},
        {{"MARK; echo {}", ":::", "a"}, ""},
        {{"MARK", ":::+", "a"},
         "':::+' links a source to the one before it, and none comes before"},
        {{"MARK", "::::", "list"}, ""},
        {{"MARK", "::::"}, "'::::' needs a file (- for standard input)"},
        {{"MARK", "::::+", "list"},
         "'::::+' links a source to the one before it, and none comes before"},
        {{"-a", "list", "-a", "list", "MARK"}, ""},
        {{"MARK; echo {1}", "a"}, ""},
        {{"sh", "-c", "MARK", "x{2.}", "--", "a"}, "{2.}" + oneSource},
        {{"MARK; echo {1/}", "a"}, ""},
        {{"MARK; echo {10//}", "a"}, "{10//}" + oneSource},
        {{"MARK; echo {1/.}", "a"}, ""},
        {{"--raw", "MARK; echo {3}", "a"}, "{3}" + oneSource},
        {{"MARK; echo {3}", ":::", "a", ":::", "b"},
         "{3} stands for a source the command line does not give: 2 sources"},
        {{"-N0", "MARK; echo {1}", "a"},
         "{1} stands for a value, and with -N0 the command has none"},
        // The shell's own ${1}, brace ranges and awk's braces are not GNU parallel's.
        {{"MARK; set -- {}; echo ${1} {1..2} | awk '{print $1}'", "a"}, ""},
    };
    for (const Case &c : cases) {
        TempDir dir;
        writeFile(dir / "list", "a\n");
        const std::string mark = "touch " + (dir / "ran");
        std::vector<std::string> args{"-o", dir / "out"};
        std::string label;
        for (const std::string &argument : c.arguments) {
            const size_t at = argument.find("MARK");
            args.push_back(at == std::string::npos ? argument
                                                   : std::string(argument).replace(at, 4, mark));
            label += " '" + argument + "'";
        }
        // A misread word would become a file name of the command: it stays in the test's folder.
        StartOptions options;
        options.workDir = dir.path().string();
        Outcome outcome = runFanrun(dir, args, options);
        if (c.message.empty()) {
            EXPECT_EQ(outcome.code(), 0) << label << "\n" << outcome.err;
            EXPECT_TRUE(fs::exists(dir / "ran")) << label;
            continue;
        }
        EXPECT_EQ(outcome.code(), 2) << label;
        EXPECT_EQ(outcome.out, "") << label;
        EXPECT_EQ(outcome.err, "fanrun: " + c.message + "\n" + usage) << label;
        EXPECT_FALSE(fs::exists(dir / "ran")) << label;
        EXPECT_FALSE(fs::exists(dir / "out")) << label;
    }
}

TEST(FanrunUsage, ARefusedOptionIsNamedAsWrittenEvenWithTextAttached) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-Q2", "echo"}, "unknown option '-Q'"},
        {{"-gQ", "echo"}, "unknown option '-Q'"},
        {{"-gQ2", "echo"}, "unknown option '-Q'"},
        {{"-Q", "echo"}, "unknown option '-Q'"},
        {{"-g", "-xy", "echo"}, "unknown option '-x'"},
        {{"--raw", "-Q2", "echo"}, "unknown option '-Q'"},
        {{"--nope=3", "echo"}, "unknown option '--nope'"},
        {{"--nope", "echo"}, "unknown option '--nope'"},
        {{"-g", "-j"}, "option '-j' needs a value"},
        {{"-gj"}, "option '-j' needs a value"},
        {{"--jobs"}, "option '--jobs' needs a value"},
    };
    for (const auto &[arguments, message] : cases) {
        TempDir dir;
        Outcome outcome = runFanrun(dir, arguments);
        EXPECT_EQ(outcome.code(), 2) << arguments[0];
        EXPECT_EQ(outcome.err, "fanrun: " + message + "\n" + usage) << arguments[0];
    }
}

TEST(FanrunReport, ReportSignalsDuringTheRunAddExactlyTheirLines) {
    TempDir dir;
    const std::string out = dir / "out";
    const std::string go = dir / "go";
    const std::string pidFile = dir / "a.pid";
    // Command a ends at once; b and c wait for the go file.
    const std::string command = "if [ {} = a ]; then echo $$ > " + pidFile + ".tmp; mv " + pidFile +
                                ".tmp " + pidFile + "; else while [ ! -e " + go +
                                " ]; do sleep 0.01; done; fi";
    Program program = startFanrun(dir, {"-j", "3", "-o", out, command, "a", "b", "c"});
    // a has been reaped once its process is gone; by then b and c have been launched too, since
    // the runner first waits when all three run.
    ASSERT_TRUE(eventually([&] { return fs::exists(pidFile); }));
    const std::string pidA = lines(readFile(pidFile)).at(0);
    ASSERT_TRUE(eventually([&] { return !fs::exists("/proc/" + pidA); }));
    ASSERT_TRUE(
        eventually([&] { return (statusMask(program.pid, "SigCgt") & reportBits) == reportBits; }));
    kill(program.pid, SIGUSR1);
    ASSERT_TRUE(delivered(program.pid, SIGUSR1));
    kill(program.pid, SIGUSR2);
    ASSERT_TRUE(delivered(program.pid, SIGUSR2));
    writeFile(go, "");
    Outcome outcome = program.finish();
    EXPECT_TRUE(outcome.exitedWith(0));
    EXPECT_EQ(outcome.err, "");
    std::vector<std::string> all = lines(outcome.out);
    ASSERT_EQ(all.size(), 7U) << outcome.out;
    std::string header;
    std::vector<ReportLine> records =
        parseRecords(outcome.out.substr(outcome.out.find("3 3 0\n")), &header);
    ASSERT_EQ(records.size(), 3U);
    ASSERT_EQ(std::to_string(records[0].pid), pidA);
    auto expand = [&](const char *argument) {
        std::string text = command;
        for (size_t at = text.find("{}"); at != std::string::npos; at = text.find("{}", at)) {
            text.replace(at, 2, argument);
        }
        return text;
    };
    const std::string lineA = pidA + " 1 0 " + expand("a") + "\n";
    EXPECT_EQ(outcome.out, "3 1 2\n"
                           "3 1 2\n" +
                               lineA + "3 3 0\n" + lineA + std::to_string(records[1].pid) +
                               " 1 0 " + expand("b") + "\n" + std::to_string(records[2].pid) +
                               " 1 0 " + expand("c") + "\n");
}

TEST(FanrunReport, OneAtATimeTheFirstCommandsReportSignalIsAnsweredAsEveryLaters) {
    // Each command asks its parent, the runner, for the report line once the runner catches the
    // request, and ends once it has been taken: the line shows that command running. The first
    // command runs while the runner waits for it before any second start, which is where a
    // request used to be dropped.
    char bit[32];
    snprintf(bit, sizeof bit, "0x%llx", signalBit(SIGUSR1));
    const std::string script =
        std::string("mask() { awk -v f=\"$1:\" '$1 == f { print $2 }' /proc/$PPID/status; }\n") +
        "for i in $(seq 1000); do (( 0x$(mask SigCgt) & " + bit +
        " )) && break; sleep 0.01; done\n"
        "kill -USR1 $PPID\n"
        "for i in $(seq 1000); do (( (0x$(mask ShdPnd) | 0x$(mask SigPnd)) & " +
        bit + " )) || break; sleep 0.01; done\necho $1\n";
    struct Case {
        std::vector<std::string> options;
        bool terminal; // --tty needs one
    };
    const Case cases[] = {
        {{"-j", "1"}, false},
        {{"--tty", "-j", "4"}, true},
    };
    for (const Case &c : cases) {
        TempDir dir;
        writeFile(dir / "ask", script);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-o", dir / "out", "bash", dir / "ask", "--", "a", "b"});
        const std::string label = c.options[0];
        Outcome outcome = c.terminal ? runOnTerminal(dir, args, "") : runFanrun(dir, args);
        EXPECT_EQ(outcome.code(), 0) << label << "\n" << outcome.err;
        EXPECT_EQ(outcome.err, "") << label;
        const size_t final = outcome.out.find("2 2 0\n");
        ASSERT_NE(final, std::string::npos) << label << "\n" << outcome.out;
        EXPECT_EQ(outcome.out.substr(0, final), "2 0 1\n2 1 1\n") << label;
        const std::vector<ReportLine> records = parseRecords(outcome.out.substr(final));
        ASSERT_EQ(records.size(), 2U) << label;
        EXPECT_EQ(commandOutput(dir / "out", records[0]), "a\n") << label;
        EXPECT_EQ(commandOutput(dir / "out", records[1]), "b\n") << label;
    }
}

TEST(FanrunReport, ReportSignalsWaitWhileTheRunnerWritesItsOwnReport) {
    TempDir dir;
    // A final report larger than a pipe holds: the runner blocks inside stdio writing it, since
    // nobody reads yet.
    constexpr int jobs = 100;
    std::string input;
    for (int i = 0; i < jobs; ++i) {
        input += std::to_string(i) + std::string(1000, 'x') + "\n";
    }
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    StartOptions options = fromInput(input);
    options.outFd = pipeEnds[1];
    Program program = startFanrun(dir, {"-j", "4", "-o", dir / "out", "true {}"}, options);
    close(pipeEnds[1]);
    const std::string syscallPath = "/proc/" + std::to_string(program.pid) + "/syscall";
    const bool writing = eventually([&] {
        std::istringstream fields(readFile(syscallPath));
        long number = -1;
        fields >> number;
        return number == SYS_write;
    });
    // Both requests stay pending as long as the runner is inside its write.
    bool heldBack = false;
    if (writing) {
        kill(program.pid, SIGUSR1);
        kill(program.pid, SIGUSR2);
        std::this_thread::sleep_for(100ms);
        heldBack = ((statusMask(program.pid, "ShdPnd") | statusMask(program.pid, "SigPnd")) &
                    reportBits) == reportBits;
    }
    std::string output = readAll(pipeEnds[0]);
    Outcome outcome = program.finish();
    ASSERT_TRUE(writing);
    EXPECT_TRUE(heldBack);
    EXPECT_TRUE(outcome.exitedWith(0));
    EXPECT_EQ(outcome.err, "");
    // Then they are answered after it, whole: the short line, then the full report.
    const std::string header = std::to_string(jobs) + " " + std::to_string(jobs) + " 0\n";
    const size_t second = output.find(header, 1);
    ASSERT_NE(second, std::string::npos);
    const std::string finalReport = output.substr(0, second);
    std::string ignored;
    EXPECT_EQ(parseRecords(finalReport, &ignored).size(), static_cast<size_t>(jobs));
    EXPECT_EQ(output, finalReport + header + finalReport);
}

// The numbers of a line of space-separated decimal integers; empty if it is anything else.
std::vector<long> numbers(const std::string &line) {
    std::vector<long> result;
    size_t at = 0;
    while (at <= line.size()) {
        size_t end = line.find(' ', at);
        if (end == std::string::npos) {
            end = line.size();
        }
        const std::string field = line.substr(at, end - at);
        const size_t digits = field.rfind('-', 0) == 0 ? 1 : 0;
        if (field.size() == digits ||
            field.find_first_not_of("0123456789", digits) != std::string::npos) {
            return {};
        }
        result.push_back(std::stol(field));
        at = end + 1;
    }
    return result;
}

// "pid 1 exit true index" from the storm's commands: {pid, 1, exit, index}.
bool parseStormRecord(const std::string &line, std::vector<long> *record) {
    ReportLine parsed;
    if (!parseReportLine(line, &parsed) || parsed.command.rfind("true ", 0) != 0) {
        return false;
    }
    const std::vector<long> index = numbers(parsed.command.substr(5));
    if (index.size() != 1) {
        return false;
    }
    *record = {parsed.pid, 1, parsed.exitStatus, index[0]};
    return true;
}

TEST(FanrunReport, AStormOfReportSignalsLosesNoCommandAndGarblesNoLine) {
    TempDir dir;
    constexpr int jobs = 300;
    std::string input;
    for (int i = 0; i < jobs; ++i) {
        input += std::to_string(i) + "\n";
    }
    Program program = startFanrun(dir, {"-j", "4", "-o", dir / "out", "true {}"}, fromInput(input));
    // Until the front end has taken the report signals over, they would end it.
    ASSERT_TRUE(eventually([&] {
        return ((statusMask(program.pid, "SigIgn") | statusMask(program.pid, "SigCgt")) &
                reportBits) == reportBits;
    }));
    std::mt19937 random(12345);
    int sent = 0;
    int status = 0;
    pid_t done = 0;
    // Bursts with pauses between them, until the runner has ended (or a generous cap), so that
    // the storm also covers the drain, the final report and the release.
    while (sent < 50000 && (done = waitpid(program.pid, &status, WNOHANG)) == 0) {
        kill(program.pid, random() % 2 != 0 ? SIGUSR1 : SIGUSR2);
        ++sent;
        if (random() % 4 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
        }
    }
    Outcome outcome;
    if (done == 0) {
        waitpid(program.pid, &status, 0);
    }
    outcome.status = status;
    outcome.out = readFile(program.outPath);
    outcome.err = readFile(program.errPath);
    ASSERT_TRUE(outcome.exitedWith(0)) << "status " << outcome.status;
    EXPECT_EQ(outcome.err, "");
    EXPECT_GE(sent, 1000);
    std::printf("%d report signals, %zu report lines\n", sent, lines(outcome.out).size());

    // The final report is the first full report that lists every command, once each and in
    // launch order. Report requests still pending when it is written are answered after it.
    std::vector<std::string> all = lines(outcome.out);
    const std::string finalHeader = std::to_string(jobs) + " " + std::to_string(jobs) + " 0";
    std::vector<long> record;
    size_t finalStart = 0;
    while (finalStart + jobs < all.size() &&
           !(all[finalStart] == finalHeader && parseStormRecord(all[finalStart + 1], &record))) {
        ++finalStart;
    }
    ASSERT_LT(finalStart + jobs, all.size()) << "no final report";
    std::map<int, int> launchIndex;
    for (int i = 0; i < jobs; ++i) {
        ASSERT_TRUE(parseStormRecord(all[finalStart + 1 + i], &record)) << all[finalStart + 1 + i];
        EXPECT_EQ(record[2], 0);
        EXPECT_EQ(record[3], i);
        launchIndex[static_cast<int>(record[0])] = i;
    }
    EXPECT_EQ(launchIndex.size(), static_cast<size_t>(jobs));

    // Every report, the final one included: short and full reports, each well-formed and whole.
    // A full report lists exactly as many records as its line says have completed, in launch order.
    size_t i = 0;
    int reports = 0;
    while (i < all.size()) {
        std::vector<long> summary = numbers(all[i]);
        ASSERT_EQ(summary.size(), 3U) << "line " << i << ": " << all[i];
        const long completed = summary[1];
        const long running = summary[2];
        EXPECT_EQ(summary[0], jobs);
        EXPECT_LE(running, 4);
        EXPECT_LE(completed + running, jobs);
        ++i;
        ++reports;
        long listed = 0;
        int previous = -1;
        while (i < all.size() && parseStormRecord(all[i], &record)) {
            const auto found = launchIndex.find(static_cast<int>(record[0]));
            ASSERT_NE(found, launchIndex.end()) << all[i];
            EXPECT_EQ(record[3], found->second);
            EXPECT_GT(found->second, previous);
            previous = found->second;
            ++listed;
            ++i;
        }
        EXPECT_TRUE(listed == 0 || listed == completed) << "report at line " << i;
    }
    EXPECT_GT(reports, 1);
}

// ---- the files the runner opens -----------------------------------------------------------------

// The report with the pid of every record line put as PID.
std::string withoutPids(const std::string &text) {
    static const std::regex pid("(^|\n)[0-9]+ (-?[0-9]+ -?[0-9]+ echo)");
    return std::regex_replace(text, pid, "$1PID $2");
}

TEST(FanrunOpening, AClosedStandardDescriptorNeverReceivesAFileTheRunnerOpens) {
    const std::string report = "1 1 0\nPID 1 0 echo a; echo b x >&2\n";
    const std::string badReport = "fanrun: cannot write the report: Bad file descriptor\n";
    const std::string badOutput =
        "fanrun: cannot write the commands' output: Bad file descriptor\n";
    struct Case {
        std::vector<std::string> options; // R: the report file, J: the job log
        Stream closed;                    // Closed: standard output closed; File: standard error
        int code;
        std::string shown; // what the stream left open gets
        std::string reportFile;
    };
    const Case cases[] = {
        {{}, Stream::Closed, 1, badReport, ""},
        {{}, Stream::File, 0, report, ""},
        {{"-g"}, Stream::Closed, 1, "b x\n" + report + badOutput, ""},
        {{"-g"}, Stream::File, 1, "a\n", ""},
        {{"-k"}, Stream::Closed, 1, "b x\n" + report + badOutput, ""},
        {{"-k"}, Stream::File, 1, "a\n", ""},
        {{"-u"}, Stream::Closed, 1, "b x\n" + report + badOutput, ""},
        {{"-u"}, Stream::File, 1, "a\n", ""},
        {{"--report", "R"}, Stream::Closed, 0, "", report},
        {{"--report", "R"}, Stream::File, 0, "", report},
        {{"-g", "--report", "R"}, Stream::Closed, 1, "b x\n" + badOutput, report},
        {{"-g", "--report", "R"}, Stream::File, 1, "a\n", report},
        {{"--joblog", "J"}, Stream::Closed, 1, badReport, ""},
        {{"--joblog", "J"}, Stream::File, 0, report, ""},
        {{"-g", "--joblog", "J"}, Stream::Closed, 1, "b x\n" + report + badOutput, ""},
        {{"-g", "--joblog", "J"}, Stream::File, 1, "a\n", ""},
    };
    for (const Case &c : cases) {
        TempDir dir;
        std::vector<std::string> args;
        std::string label;
        for (const std::string &option : c.options) {
            args.push_back(option == "R" ? dir / "report" : option == "J" ? dir / "log" : option);
            label += option + " ";
        }
        args.insert(args.end(), {"echo a; echo b {} >&2", "x"});
        StartOptions options;
        options.workDir = dir.path().string();
        const bool outClosed = c.closed == Stream::Closed;
        (outClosed ? options.out : options.err) = Stream::Closed;
        label += outClosed ? ">&-" : "2>&-";
        Outcome outcome = runFanrun(dir, args, options);
        EXPECT_EQ(outcome.code(), c.code) << label << "\n" << outcome.err;
        EXPECT_EQ(withoutPids(outClosed ? outcome.err : outcome.out), c.shown) << label;
        EXPECT_EQ(withoutPids(readFile(dir / "report")), c.reportFile) << label;
        if (std::find(c.options.begin(), c.options.end(), "J") != c.options.end()) {
            const std::vector<std::string> log = lines(readFile(dir / "log"));
            // The header, the command's start and end, and the closing record of a run that
            // started every argument.
            ASSERT_EQ(log.size(), 4U) << label << "\n" << readFile(dir / "log");
            EXPECT_EQ(log[1].rfind("start\t", 0), 0U) << label;
            EXPECT_EQ(log[2].rfind("end\t", 0), 0U) << label;
            EXPECT_EQ(log[3].rfind("closed\t", 0), 0U) << label;
        }
    }
}

TEST(FanrunOpening, TheReportFileAndTheJobLogAreNeverALinkOrAFileThatIsNotRegular) {
    struct Case {
        const char *option;
        const char *planted; // link, fifo or directory
        const char *why;
    };
    const Case cases[] = {
        {"--report", "link", "a symbolic link"},
        {"--report", "dangling link", "a symbolic link"},
        {"--report", "fifo", "not a regular file"},
        {"--report", "directory", "Is a directory"},
        {"--joblog", "link", "a symbolic link"},
        {"--joblog", "dangling link", "a symbolic link"},
        {"--joblog", "fifo", "not a regular file"},
        {"--joblog", "directory", "Is a directory"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        const std::string target = dir / "target";
        const std::string planted = dir / "planted";
        const std::string planting = c.planted;
        if (planting == "link") {
            writeFile(target, "kept\n");
            fs::create_symlink(target, planted);
        } else if (planting == "dangling link") {
            fs::create_symlink(target, planted);
        } else if (planting == "fifo") {
            ASSERT_EQ(mkfifo(planted.c_str(), 0644), 0);
        } else {
            fs::create_directory(planted);
        }
        const std::string label = std::string(c.option) + " " + planting;
        StartOptions options;
        // A FIFO without a reader must not hold the runner.
        options.wrapper = {"timeout", "-s", "KILL", "20"};
        Outcome outcome = runFanrun(
            dir, {c.option, planted, "-o", dir / "out", "touch " + (dir / "ran")}, options);
        EXPECT_EQ(outcome.code(), 1) << label;
        const std::string what =
            std::string(c.option) == "--report" ? "the report file " : "the job log ";
        EXPECT_EQ(outcome.err, "fanrun: cannot open " + what + planted + ": " + c.why + "\n")
            << label;
        EXPECT_EQ(outcome.out, "") << label;
        EXPECT_FALSE(fs::exists(dir / "ran")) << label;
        if (planting == "link") {
            EXPECT_EQ(readFile(target), "kept\n") << label;
        } else {
            EXPECT_FALSE(fs::exists(target)) << label;
        }
    }
}

TEST(FanrunOpening, ALinkPlantedByAnotherUserInASharedDirectoryIsRefused) {
    if (geteuid() != 0 || system("command -v setpriv > /dev/null") != 0) {
        SKIP_UNLESS_CI("needs root and setpriv");
    }
    TempDir dir;
    const std::string shared = dir / "shared";
    fs::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    // Root's file, named by a link that nobody plants beside the runner's report and job log.
    const std::string target = dir / "precious";
    writeFile(target, "kept\n");
    for (const char *option : {"--report", "--joblog"}) {
        const std::string planted = shared + "/" + (option + 2);
        const std::string plant =
            "setpriv --reuid=nobody --regid=nogroup --clear-groups ln -s " + target + " " + planted;
        ASSERT_EQ(system(plant.c_str()), 0) << plant;
        Outcome outcome = runFanrun(dir, {option, planted, "-o", dir / "out", "echo", "a"});
        EXPECT_EQ(outcome.code(), 1) << option;
        EXPECT_EQ(outcome.out, "") << option;
        EXPECT_NE(outcome.err.find(planted + ": "), std::string::npos) << option << outcome.err;
        EXPECT_EQ(readFile(target), "kept\n") << option;
    }
}

TEST(FanrunOpening, TheReportSaysWhyItsWriteFailed) {
    TempDir dir;
    // A record longer than stdio's buffer goes past it; its reader is gone by then.
    const std::string argument(10000, 'x');
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    close(pipeEnds[0]);
    StartOptions options;
    options.outFd = pipeEnds[1];
    Outcome outcome = runFanrun(dir, {"-o", dir / "out", "true", argument}, options);
    close(pipeEnds[1]);
    EXPECT_EQ(outcome.code(), 1);
    EXPECT_EQ(outcome.err, "fanrun: cannot write the report: Broken pipe\n");
}

TEST(FanrunOpening, TtyCommandsWriteToTheRunnersOwnStreamsUnlessOutputFilesAreAsked) {
    struct Case {
        bool outputDir;      // -o DIR given
        std::string out;     // fanrun's standard output, the report's pid as PID
        std::string err;     // its standard error
        std::string outFile; // the command's standard output file, with -o DIR
    };
    const std::string report = "1 1 0\nPID 1 0 echo got a; echo e >&2\n";
    const Case cases[] = {
        {false, "got a\n", "e\n" + report, ""},
        {true, report, "", "got a\n"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        std::vector<std::string> args{"--tty"};
        if (c.outputDir) {
            args.insert(args.end(), {"-o", dir / "out"});
        }
        args.insert(args.end(), {"echo got {}; echo e >&2", "a"});
        Outcome outcome = runOnTerminal(dir, args, "");
        const char *label = c.outputDir ? "-o DIR" : "no -o";
        EXPECT_EQ(outcome.code(), 0) << label << "\n" << outcome.err;
        EXPECT_EQ(withoutPids(outcome.out), c.out) << label;
        EXPECT_EQ(withoutPids(outcome.err), c.err) << label;
        if (c.outputDir) {
            const std::vector<ReportLine> records = parseRecords(outcome.out);
            ASSERT_EQ(records.size(), 1U) << label;
            EXPECT_EQ(commandOutput(dir / "out", records[0]), c.outFile) << label;
        } else {
            EXPECT_FALSE(fs::exists(dir / "fanrun-out")) << label;
        }
    }
}

// ---- job counts, pacing and stop rules
// ------------------------------------------------------------

// Files named NAME.* in folder.
int markers(const std::string &folder, const std::string &prefix = "") {
    int count = 0;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(folder, error)) {
        count += entry.path().filename().string().rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

// A command that marks its start as marks/ARG.started and holds until marks/ARG.go or marks/go
// exists, then marks its end.
std::string heldCommand(const TempDir &dir) {
    const std::string marks = dir / "marks";
    fs::create_directories(marks);
    return "touch " + marks + "/{}.started; until [ -e " + marks + "/{}.go ] || [ -e " + marks +
           "/go ]; do sleep 0.02; done; touch " + marks + "/{}.ended";
}

long processors() {
    return std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
}

// The highest job slot that an -u run's commands printed, one per line.
int highestSlot(const std::string &out) {
    int highest = 0;
    for (const std::string &line : lines(out)) {
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
            highest = std::max(highest, std::stoi(line));
        }
    }
    return highest;
}

TEST(FanrunCounts, EveryFormOfMinusJRunsAtMostItsCountAndFillsIt) {
    const long cpus = processors();
    struct Case {
        std::string form;
        long count;
    };
    const std::vector<Case> cases = {
        {"3", 3},
        {"50%", std::max(1L, cpus / 2)},
        {"100%", cpus},
        {"250%", std::max(1L, cpus * 250 / 100)},
        {"+2", cpus + 2},
        {"-1", std::max(1L, cpus - 1)},
        {"-" + std::to_string(cpus + 5), 1},
    };
    for (const Case &c : cases) {
        TempDir dir;
        // Every command holds until all the count's have started, so the slots fill up.
        std::vector<std::string> args = {
            "-j", c.form, "-u", "-o", dir / "out", "sleep 0.6; echo {%}", "--"};
        for (long i = 0; i < c.count + 2; ++i) {
            args.push_back(std::to_string(i));
        }
        Outcome outcome = run(dir, args);
        EXPECT_EQ(outcome.code(), 0) << c.form << outcome.err;
        EXPECT_EQ(highestSlot(outcome.out), c.count) << c.form;
        EXPECT_EQ(lines(outcome.out).size(), static_cast<size_t>(c.count + 2)) << c.form;
    }
}

TEST(FanrunCounts, ZeroRunsAsManyAsTheLimitsAllowAndSaysHowMany) {
    struct Case {
        int files;
        int expected; // (files - 32) / 2, unless the process limit is lower
    };
    rlimit processes{};
    ASSERT_EQ(getrlimit(RLIMIT_NPROC, &processes), 0);
    const std::string processText =
        processes.rlim_cur == RLIM_INFINITY ? "unlimited" : std::to_string(processes.rlim_cur);
    for (const Case &c : {Case{40, 4}, Case{100, 34}}) {
        TempDir dir;
        Launch launch;
        launch.wrapper = {"bash", "-c", "ulimit -n " + std::to_string(c.files) + "; exec \"$@\"",
                          "bash"};
        launch.args = {"-j", "0", "-u", "sleep 0.5; echo {%}", "--"};
        for (int i = 0; i < c.expected + 3; ++i) {
            launch.args.push_back(std::to_string(i));
        }
        int expected = c.expected;
        if (processes.rlim_cur != RLIM_INFINITY) {
            expected = std::min<long>(expected, static_cast<long>(processes.rlim_cur) - 1);
        }
        Outcome outcome = run(dir, launch);
        EXPECT_EQ(outcome.code(), 0) << outcome.err;
        EXPECT_EQ(lines(outcome.err).at(0), "fanrun: -j 0: at most " + std::to_string(expected) +
                                                " commands at once (process limit " + processText +
                                                ", descriptor limit " + std::to_string(c.files) +
                                                ")");
        EXPECT_EQ(highestSlot(outcome.out), expected) << c.files;
    }
}

TEST(FanrunCounts, AJobsFileWidensNarrowsAndDrainsARunningBatch) {
    TempDir dir;
    const std::string jobs = dir / "jobs";
    const std::string marks = dir / "marks";
    writeFile(jobs, "2\n");
    Launch launch;
    launch.args = {"-j", jobs, "-o", dir / "out", heldCommand(dir), "a", "b", "c", "d", "e", "f"};
    Program running = start(dir, launch);
    auto started = [&] { return markers(marks, "") - 2 * markers(marks, "z"); };
    auto count = [&](const std::string &suffix) {
        int n = 0;
        for (const char *name : {"a", "b", "c", "d", "e", "f"}) {
            n += fs::exists(marks + "/" + name + suffix) ? 1 : 0;
        }
        return n;
    };
    auto release = [&](const std::string &name) {
        writeFile(marks + "/" + name + ".go", "");
        return eventually([&] { return fs::exists(marks + "/" + name + ".ended"); });
    };
    (void)started;
    ASSERT_TRUE(eventually([&] { return count(".started") == 2; }));
    // Widened while nothing ends: the change of the file is seen at once.
    writeFile(jobs, "3\n");
    ASSERT_TRUE(eventually([&] { return count(".started") == 3; })) << readFile(running.errPath);
    // Narrowed to 1: an end starts nothing while two still run.
    writeFile(jobs, "1\n");
    ASSERT_TRUE(release("a"));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(count(".started"), 3);
    // Drained: the running ones finish and nothing new starts, and the run waits.
    writeFile(jobs, "0\n");
    ASSERT_TRUE(release("b"));
    ASSERT_TRUE(release("c"));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(count(".started"), 3);
    EXPECT_EQ(waitpid(running.pid, nullptr, WNOHANG), 0);
    // A bad count keeps the one in force, said once.
    writeFile(jobs, "lots\n");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count(".started"), 3);
    writeFile(jobs, "2\n");
    ASSERT_TRUE(eventually([&] { return count(".started") == 5; }));
    writeFile(marks + "/go", "");
    Outcome outcome = running.finish();
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(count(".ended"), 6);
    EXPECT_EQ(outcome.err, "fanrun: -j " + jobs + " holds no count ('lots'); keeping 0\n");
    EXPECT_EQ(parseRecords(outcome.out).size(), 6U);
}

TEST(FanrunCounts, BadFormsOfTheNewOptionsAreRefusedBeforeAnythingRuns) {
    struct Case {
        std::vector<std::string> options;
        std::string message; // the start of the first line of standard error
    };
    TempDir dir;
    writeFile(dir / "nocount", "many\n");
    const std::vector<Case> cases = {
        {{"-j", "12%x"}, "fanrun: -j needs N, N% or +N/-N"},
        {{"-j", "0%"}, "fanrun: -j needs N, N% or +N/-N"},
        {{"-j", "+x"}, "fanrun: -j needs N, N% or +N/-N"},
        {{"-j", "-"}, "fanrun: -j needs N, N% or +N/-N"},
        {{"-j", dir / "missing"}, "fanrun: -j needs N, N% or +N/-N"},
        {{"-j", dir / "nocount"}, "fanrun: -j " + (dir / "nocount") + ": the file holds no count"},
        {{"--halt", "fail=0"}, "fanrun: --halt needs soon or now"},
        {{"--halt", "fail=1"}, "fanrun: --halt needs soon or now"},
        {{"--halt", "now,fail=0"}, "fanrun: --halt now,fail= needs a whole number"},
        {{"--halt", "soon,success=101%"}, "fanrun: --halt soon,success= needs a whole number"},
        {{"--halt", "now,done=0%"}, "fanrun: --halt now,done= needs a whole number"},
        {{"--halt", "now,success"}, "fanrun: --halt now,success= needs a whole number"},
        {{"--halt", "now,wins=1"}, "fanrun: --halt now needs ,fail=N"},
        {{"--termseq", "TERM,100"}, "fanrun: --termseq needs SIG,MS,SIG"},
        {{"--termseq", "TERM,100,NOPE"}, "fanrun: --termseq needs a signal"},
        {{"--termseq", "TERM,soon,KILL"}, "fanrun: --termseq needs a wait"},
        {{"--termseq", ""}, "fanrun: --termseq needs a signal"},
        {{"--delay", "-1"}, "fanrun: --delay needs a number of seconds"},
        {{"--load", "0"}, "fanrun: --load needs a load average"},
        {{"--load", "x%"}, "fanrun: --load needs a load average"},
        {{"--memfree", "12Q"}, "fanrun: --memfree needs a size"},
        {{"--memfree", "0"}, "fanrun: --memfree needs a size"},
        {{"--nice", "20"}, "fanrun: --nice needs a niceness"},
        {{"--nice", "-21"}, "fanrun: --nice needs a niceness"},
        {{"--timeout", "0%"}, "fanrun: --timeout needs a number of seconds"},
        {{"--timeout", "%"}, "fanrun: --timeout needs a number of seconds"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-o", dir / "out", "touch " + (dir / "ran"), "a"});
        Outcome outcome = run(dir, args);
        const std::string label = c.options[0] + " " + c.options[1];
        EXPECT_EQ(outcome.code(), 2) << label;
        EXPECT_EQ(outcome.err.rfind(c.message, 0), 0U) << label << "\n" << outcome.err;
        EXPECT_EQ(outcome.out, "") << label;
    }
    EXPECT_FALSE(fs::exists(dir / "ran"));
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(FanrunStopRules, EveryHaltFormStopsWhereGnuParallelStopsWithItsExitStatus) {
    struct Case {
        std::string halt;
        std::vector<std::string> exits; // one command each, run one at a time in this order
        std::string ran;                // what the commands that started printed
        int status;
    };
    // Checked against GNU parallel -j1 --halt FORM 'echo {}; exit {}' ::: EXITS (where its status
    // differs, fanrun keeps its own: 123 for any failure).
    const std::vector<Case> cases = {
        {"never", {"1", "0", "2"}, "1\n0\n2\n", 123},
        {"soon", {"0", "3", "0"}, "0\n3\n", 123},
        {"now,fail=1", {"0", "3", "0"}, "0\n3\n", 123},
        {"soon,fail=2", {"1", "0", "3", "0", "5"}, "1\n0\n3\n", 123},
        {"now,fail=3", {"1", "2"}, "1\n2\n", 123},
        {"soon,fail=50%", {"1", "0", "2", "0"}, "1\n0\n2\n", 123},
        {"now,fail=50%", {"0", "0", "1", "2", "0", "0"}, "0\n0\n1\n2\n0\n0\n", 123},
        {"now,success=1", {"1", "2", "0", "3"}, "1\n2\n0\n", 0},
        {"now,success=1", {"1", "2", "3"}, "1\n2\n3\n", 123},
        {"soon,success=2", {"0", "1", "0", "3"}, "0\n1\n0\n", 0},
        {"now,success=50%", {"0", "1", "0", "2"}, "0\n1\n0\n", 0},
        {"now,done=2", {"0", "4", "0"}, "0\n4\n", 123},
        {"soon,done=2", {"0", "0", "4"}, "0\n0\n", 0},
        {"now,done=50%", {"3", "0", "0", "0"}, "3\n0\n", 123},
        {"soon,done=100%", {"0", "0"}, "0\n0\n", 0},
    };
    for (const Case &c : cases) {
        TempDir dir;
        std::vector<std::string> args = {"-j",   "1",        "-u",           "--halt",
                                         c.halt, "--report", dir / "report", "echo {}; exit {}"};
        args.insert(args.end(), c.exits.begin(), c.exits.end());
        Outcome outcome = run(dir, args);
        std::string label = c.halt;
        for (const std::string &exit : c.exits) {
            label += " " + exit;
        }
        EXPECT_EQ(outcome.out, c.ran) << label;
        EXPECT_EQ(outcome.code(), c.status) << label << "\n" << outcome.err;
    }
}

TEST(FanrunStopRules, ASearchEndsAtItsFirstHitAndTheSignalsOfTermseqEndTheRest) {
    TempDir dir;
    const std::string log = dir / "signals";
    // "hit" succeeds at once; the others wait, recording each signal, and leave only on SIGKILL.
    const std::string command = "case {} in hit) sleep 0.3; exit 0;; *) for s in USR1 USR2 TERM; "
                                "do trap \"echo $s >> " +
                                log + ".{}\" $s; done; while :; do sleep 0.02; done;; esac";
    Outcome outcome =
        run(dir, {"-j", "3", "--halt", "now,success=1", "--termseq", "USR1,200,SIGUSR2,200,9", "-o",
                  dir / "out", command, "miss1", "hit", "miss2", "never"});
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    std::vector<ReportLine> report = parseRecords(outcome.out);
    EXPECT_EQ(exitStatuses(report), (std::vector<int>{-1, 0, -1}));
    EXPECT_EQ(readFile(log + ".miss1"), "USR1\nUSR2\n");
    EXPECT_EQ(readFile(log + ".miss2"), "USR1\nUSR2\n");
    EXPECT_FALSE(fs::exists(log + ".never"));
}

TEST(FanrunStopRules, ATimeoutShareOfTheMedianEndsOnlyWhatRunsLongerThanIt) {
    struct Case {
        std::string share;
        std::vector<std::string> sleeps; // one at a time, in order
        std::vector<int> statuses;
        int code;
    };
    const std::vector<Case> cases = {
        // The median of 0.1 s successes makes 300% about 0.3 s: the 20 s one is ended.
        {"300%", {"0.1", "0.1", "0.1", "20", "0.1"}, {0, 0, 0, -1, 0}, 123},
        // Before any success there is no timeout.
        {"10%", {"1"}, {0}, 0},
        // Only successes count: the failures' 1 s runtimes would make the median 1 s and let
        // the last one finish.
        {"500%", {"fail", "fail", "0.1", "1"}, {1, 1, 0, -1}, 123},
    };
    for (const Case &c : cases) {
        TempDir dir;
        std::vector<std::string> args = {"-j",
                                         "1",
                                         "--timeout",
                                         c.share,
                                         "-o",
                                         dir / "out",
                                         "if [ {} = fail ]; then sleep 1; exit 1; fi; sleep {}"};
        args.insert(args.end(), c.sleeps.begin(), c.sleeps.end());
        Outcome outcome = run(dir, args);
        EXPECT_EQ(outcome.code(), c.code) << c.share << outcome.err;
        EXPECT_EQ(exitStatuses(parseRecords(outcome.out)), c.statuses) << c.share;
    }
}

// A stand-in for /proc/meminfo that says this much is available.
void writeMemInfo(const std::string &path, long kilobytes) {
    writeFile(path + ".new", "MemTotal: 8000000 kB\nMemFree: 1 kB\nMemAvailable: " +
                                 std::to_string(kilobytes) + " kB\n");
    fs::rename(path + ".new", path);
}

TEST(FanrunRoom, BelowMemfreeNothingStartsAndBelowHalfTheYoungestGivesWayAndRunsAgain) {
    TempDir dir;
    const std::string meminfo = dir / "meminfo";
    const std::string marks = dir / "marks";
    writeMemInfo(meminfo, 100);
    Launch launch;
    launch.environment = {"FANRUN_MEMINFO=" + meminfo};
    // -j 3: the input's end is read while both run, and a command may still give way after it.
    // The youngest ignores SIGTERM: the termseq's KILL ends it, after the memory is back.
    const std::string command = "[ {} = b ] && trap '' TERM; " + heldCommand(dir);
    launch.args = {"-j",        "3",
                   "--memfree", "1M",
                   "--termseq", "TERM,1500,KILL",
                   "-k",        command + "; echo done {}",
                   "a",         "b"};
    Program running = start(dir, launch);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(markers(marks), 0);
    writeMemInfo(meminfo, 4096);
    ASSERT_TRUE(eventually([&] { return markers(marks, "b.started") == 1; }));
    ASSERT_TRUE(eventually([&] { return markers(marks, "a.started") == 1; }));
    fs::remove(marks + "/b.started");
    writeMemInfo(meminfo, 400); // below half of 1M
    ASSERT_TRUE(eventually([&] {
        return readFile(running.errPath).find("ending the youngest") != std::string::npos;
    }));
    writeMemInfo(meminfo, 4096);
    // b, killed, starts again; a went on running.
    ASSERT_TRUE(eventually([&] { return markers(marks, "b.started") == 1; }));
    EXPECT_EQ(markers(marks, "a.ended"), 0);
    writeFile(marks + "/go", "");
    Outcome outcome = running.finish();
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(outcome.out, "done a\ndone b\n");
    const std::vector<std::string> err = lines(outcome.err);
    ASSERT_GE(err.size(), 1U);
    EXPECT_EQ(std::count_if(err.begin(), err.end(),
                            [](const std::string &line) {
                                return line.find("ending the youngest") != std::string::npos;
                            }),
              1);
    EXPECT_NE(err[0].find(": [ b = b ]"), std::string::npos) << err[0];
    std::vector<ReportLine> report = parseRecords(outcome.err.substr(outcome.err.find('\n') + 1));
    EXPECT_EQ(exitStatuses(report), (std::vector<int>{0, -1, 0}));
}

TEST(FanrunRoom, AboveTheLoadLimitNothingStartsUntilTheLoadFalls) {
    TempDir dir;
    const std::string loadavg = dir / "loadavg";
    const std::string marks = dir / "marks";
    writeFile(loadavg, "9.50 1.00 1.00 1/100 1000\n");
    Launch launch;
    launch.environment = {"FANRUN_LOADAVG=" + loadavg};
    launch.args = {"--load", "100%", "-o", dir / "out", heldCommand(dir), "a"};
    writeFile(marks + "/go", "");
    if (processors() >= 9) {
        GTEST_SKIP() << "9.5 is below 100% of this machine's processors";
    }
    Program running = start(dir, launch);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(markers(marks, "a."), 0);
    writeFile(loadavg + ".new", "0.10 1.00 1.00 1/100 1000\n");
    fs::rename(loadavg + ".new", loadavg);
    Outcome outcome = running.finish();
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(markers(marks, "a.ended"), 1);
}

// The one-minute load average of this machine.
double loadNow() {
    return std::stod(readFile("/proc/loadavg"));
}

// Real load: busy loops, pinned to one processor and at the lowest priority so that the other
// tests hardly notice them, raise the load average above a limit; while it stays there a run
// with that limit starts nothing. The load falls far too slowly to wait for: a stop ends the run.
TEST(FanrunRoom, RealBusyLoopsHoldTheStartsBackWhileTheLoadIsAboveTheLimit) {
    TempDir dir;
    const std::string marks = dir / "marks";
    fs::create_directory(marks);
    const double before = loadNow();
    std::vector<pid_t> loops;
    for (int i = 0; i < 16; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            execlp("nice", "nice", "-n", "19", "taskset", "-c", "0", "sh", "-c",
                   "while :; do :; done", static_cast<char *>(nullptr));
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        loops.push_back(pid);
    }
    const double limit = before + 0.5;
    const bool raised = eventually([&] { return loadNow() >= limit + 1; }, 40s, 100ms);
    Launch launch;
    launch.args = {
        "--load", std::to_string(limit), "-o", dir / "out", "touch " + marks + "/{}", "a", "b"};
    std::optional<Program> running;
    if (raised) {
        running.emplace(start(dir, launch));
        std::this_thread::sleep_for(2s);
        EXPECT_GE(loadNow(), limit);
        kill(running->pid, SIGTERM);
    }
    for (pid_t pid : loops) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    ASSERT_TRUE(raised) << "the load average stayed below " << limit + 1;
    const Outcome outcome = running->finish();
    EXPECT_EQ(outcome.code(), 128 + SIGTERM) << outcome.err;
    EXPECT_TRUE(fs::is_empty(marks));
}

TEST(FanrunRoom, DelaySpacesTheStartsAndNiceSetsTheCommandsNiceness) {
    TempDir dir;
    // The starts as the runner logs them: the commands' own clocks would add their start-up.
    Outcome delayed = run(dir, {"--delay", "0.3", "-j", "3", "--joblog", dir / "log", "-o",
                                dir / "out", "true {}", "1", "2", "3"});
    EXPECT_EQ(delayed.code(), 0) << delayed.err;
    std::vector<double> starts;
    for (const std::string &line : lines(readFile(dir / "log"))) {
        if (line.rfind("start\t", 0) == 0) {
            starts.push_back(std::stod(line.substr(6)));
        }
    }
    ASSERT_EQ(starts.size(), 3U) << readFile(dir / "log");
    for (size_t i = 1; i < starts.size(); ++i) {
        EXPECT_GE(starts[i] - starts[i - 1], 0.299) << readFile(dir / "log");
    }
    errno = 0;
    const int base = getpriority(PRIO_PROCESS, 0);
    if (base > 7) {
        GTEST_SKIP() << "running at niceness " << base;
    }
    Outcome niced = run(dir, {"--nice", "7", "-u", "nice; : {}", "a"});
    EXPECT_EQ(niced.code(), 0) << niced.err;
    EXPECT_EQ(niced.out, "7\n");
}

} // namespace
