// Tests of the front end's lines as they come: --line-buffer and --latest-line (off a terminal
// and through a pseudo-terminal), -v, --tagstring and --bar, each run as a program and its whole
// output compared.

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "fanrun_run.h"

namespace {

using namespace fanrun_run;

Outcome run(const TempDir &dir, const std::vector<std::string> &args) {
    return runFanrun(dir, args, fromInput(""));
}

std::vector<std::string> joined(std::vector<std::string> words,
                                const std::vector<std::string> &more) {
    words.insert(words.end(), more.begin(), more.end());
    return words;
}

// Each line of the output modes that tag, and what the tag of argument is.
struct Mode {
    std::vector<std::string> options;
    std::string (*tag)(const std::string &argument, int position);
};

std::string noTag(const std::string & /*argument*/, int /*position*/) {
    return "";
}
std::string argumentTag(const std::string &argument, int /*position*/) {
    return argument + "\t";
}
std::string positionTag(const std::string &argument, int position) {
    return "<" + std::to_string(position) + " " + argument + ">\t";
}

const std::vector<Mode> &lineModes() {
    static const std::vector<Mode> modes = {
        {{"--line-buffer"}, noTag},
        {{"--lb", "--tag"}, argumentTag},
        {{"--lb", "--tagstring", "<{#} {}>"}, positionTag},
        {{"--latest-line"}, noTag}, // off a terminal: as --lb
        {{"--ll", "--tag"}, argumentTag},
    };
    return modes;
}

// ---- whole lines -------------------------------------------------------------------------------

TEST(FanrunLines, LinesWrittenInPiecesByManyCommandsAtOnceNeverMixAndAreAllTagged) {
    // Each command writes 150 lines of 3000 bytes, every line in three write() calls, far more
    // than a pipe holds; eight run at once.
    const std::string command = "for i in $(seq 150); do printf '%s:%s:' {} $i; "
                                "printf '%01500d' 0; printf '%01500d\\n' 0; done";
    const std::vector<std::string> arguments = {"a", "b", "c", "d", "e", "f", "g", "h"};
    for (const Mode &mode : lineModes()) {
        TempDir dir;
        const std::string shown = ::testing::PrintToString(mode.options);
        Outcome outcome =
            run(dir, joined(joined(mode.options, {"-j", "8", command, "--"}), arguments));
        ASSERT_EQ(outcome.code(), 0) << shown << outcome.err;
        std::map<std::string, int> seen;
        const std::string zeros(3000, '0');
        for (const std::string &line : lines(outcome.out)) {
            bool known = false;
            for (size_t i = 0; i < arguments.size(); ++i) {
                const std::string &argument = arguments[i];
                const std::string head = mode.tag(argument, static_cast<int>(i) + 1) + argument +
                                         ":" + std::to_string(seen[argument] + 1) + ":";
                if (line == head + zeros) {
                    ++seen[argument];
                    known = true;
                    break;
                }
            }
            ASSERT_TRUE(known) << shown << ": a line not written whole by one command, in order: "
                               << line.substr(0, 80);
        }
        for (const std::string &argument : arguments) {
            EXPECT_EQ(seen[argument], 150) << shown << " " << argument;
        }
    }
}

TEST(FanrunLines, TheLastLineWithoutNewlineIsWrittenWhenTheCommandEnds) {
    struct Case {
        std::vector<std::string> options;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--lb"}, "a1\na2b1\nb2", "ea\neb\n"},
        {{"--lb", "--tag"}, "a\ta1\na\ta2b\tb1\nb\tb2", "a\tea\nb\teb\n"},
        {{"--lb", "--tagstring", "[{%}]"},
         "[1]\ta1\n[1]\ta2[1]\tb1\n[1]\tb2",
         "[1]\tea\n[1]\teb\n"},
        {{"--latest-line", "--tag"}, "a\ta1\na\ta2b\tb1\nb\tb2", "a\tea\nb\teb\n"},
    };
    for (const Case &each : cases) {
        TempDir dir;
        const std::string shown = ::testing::PrintToString(each.options);
        Outcome outcome =
            run(dir, joined(each.options, {"-j", "1", "--report", dir / "report",
                                           "printf '{}1\\n{}2'; echo e{} >&2", "--", "a", "b"}));
        EXPECT_EQ(outcome.code(), 0) << shown << outcome.err;
        EXPECT_EQ(outcome.out, each.out) << shown;
        EXPECT_EQ(outcome.err, each.err) << shown;
    }
}

TEST(FanrunLines, EveryByteIsKeptExactlyAndALineLongerThanTheBoundComesWholeInPieces) {
    TempDir dir;
    std::string bytes;
    for (int byte = 0; byte < 256; ++byte) {
        bytes += static_cast<char>(byte);
    }
    bytes += "\xff\xfe not UTF-8 \xc3\x28\n\x80";
    // A line of 3 MiB without a newline inside: beyond what the relay holds of one line.
    const std::string longLine(3 << 20, 'x');
    writeFile(dir / "bytes", bytes);
    writeFile(dir / "long", longLine + "\n");
    for (const char *file : {"bytes", "long"}) {
        const std::string &content = std::string(file) == "bytes" ? bytes : longLine + "\n";
        for (bool tag : {false, true}) {
            std::vector<std::string> args = {"--lb", "cat", dir / file};
            if (tag) {
                args.insert(args.begin() + 1, {"--tagstring", "T"});
            }
            Outcome outcome = run(dir, args);
            EXPECT_EQ(outcome.code(), 0) << file << outcome.err;
            std::string expected = tag ? "T\t" : "";
            for (size_t i = 0; i < content.size(); ++i) {
                expected += content[i];
                if (tag && content[i] == '\n' && i + 1 < content.size()) {
                    expected += "T\t";
                }
            }
            EXPECT_TRUE(outcome.out == expected)
                << file << " tag " << tag << ": " << outcome.out.size() << " bytes, not "
                << expected.size();
        }
    }
}

TEST(FanrunLines, AReaderThatGoesAwayStopsTheRunAndLeavesNoSuccessUnseen) {
    for (const char *mode : {"--lb", "--latest-line"}) {
        TempDir dir;
        const std::string log = dir / "job.log";
        StartOptions options = fromInput("");
        // head reads the first line and goes; every command writes more than the pipes hold.
        options.wrapper = {"bash", "-c", "\"$@\" | head -1; exit \"${PIPESTATUS[0]}\"", "head"};
        std::vector<std::string> args = {
            mode, "-j", "2", "--joblog", log, "echo {}; head -c 300000 /dev/zero", "--"};
        for (int i = 1; i <= 40; ++i) {
            args.push_back(std::to_string(i));
        }
        Outcome outcome = runFanrun(dir, args, options);
        EXPECT_EQ(outcome.code(), 1) << mode << outcome.err;
        EXPECT_NE(outcome.err.find("fanrun: cannot write the commands' output: Broken pipe\n"),
                  std::string::npos)
            << mode << outcome.err;
        int starts = 0;
        int ends = 0;
        for (const std::string &line : lines(readFile(log))) {
            const std::vector<std::string> fields = [&line] {
                std::vector<std::string> split;
                size_t from = 0;
                for (size_t tab = line.find('\t'); tab != std::string::npos;
                     from = tab + 1, tab = line.find('\t', from)) {
                    split.push_back(line.substr(from, tab - from));
                }
                split.push_back(line.substr(from));
                return split;
            }();
            if (fields[0] == "start") {
                ++starts;
            } else if (fields[0] == "end") {
                ++ends;
                EXPECT_EQ(fields[3], "-") << mode << line;
                EXPECT_EQ(fields[4], "13") << mode << line;
            }
        }
        EXPECT_GE(starts, 1) << mode;
        EXPECT_LE(starts, 4) << mode;
        EXPECT_EQ(ends, starts) << mode;
    }
}

TEST(FanrunLines, OutputLostAfterItsCommandEndedMakesItsEndAFailureInTheLog) {
    TempDir dir;
    const std::string log = dir / "job.log";
    StartOptions options = fromInput("");
    // The reader reads nothing and goes: the command has written everything into its pipe and
    // ended well before the relay's write to the reader fails.
    options.wrapper = {"bash", "-c", "\"$@\" | sleep 1; exit \"${PIPESTATUS[0]}\"", "sleeper"};
    Outcome outcome = runFanrun(
        dir, {"--lb", "--joblog", log, "head -c 100000 /dev/zero; echo", "--", "x"}, options);
    EXPECT_EQ(outcome.code(), 1) << outcome.err;
    const std::vector<std::string> records = lines(readFile(log));
    ASSERT_GE(records.size(), 3U) << readFile(log);
    const std::string end = records[2];
    EXPECT_EQ(end.substr(0, 4), "end\t") << end;
    // Exit "-", signal 13: resuming runs it again.
    EXPECT_NE(end.find("\t-\t13\t1\t1\tx"), std::string::npos) << end;
}

// ---- -v, --tagstring and what is refused -------------------------------------------------------

TEST(FanrunLines, VerboseShowsEachCommandBeforeItsOutput) {
    struct Case {
        std::vector<std::string> options;
        std::string out; // with the report in its own file
        std::string err;
    };
    const std::string commands = "echo a\necho b\n";
    const std::vector<Case> cases = {
        {{"-g"}, "echo a\na\necho b\nb\n", ""},
        {{"-k", "-j", "2"}, "echo a\na\necho b\nb\n", ""},
        {{"-u"}, "echo a\na\necho b\nb\n", ""},
        {{"--lb"}, "echo a\na\necho b\nb\n", ""},
        {{"--lb", "--tag"}, "echo a\na\ta\necho b\nb\tb\n", ""},
        {{"-o", "out"}, "", commands}, // standard output carries the report
    };
    for (const Case &each : cases) {
        TempDir dir;
        const std::string shown = ::testing::PrintToString(each.options);
        std::vector<std::string> args = {"-v", "--report", dir / "report"};
        args = joined(joined(args, each.options), {"echo {}", "--", "a", "b"});
        if (each.options.front() != "-k") {
            args.insert(args.begin(), {"-j", "1"});
        }
        Outcome outcome = run(dir, args);
        EXPECT_EQ(outcome.code(), 0) << shown << outcome.err;
        EXPECT_EQ(outcome.out, each.out) << shown;
        EXPECT_EQ(outcome.err, each.err) << shown;
    }
}

TEST(FanrunLines, TagstringExpandsReplacementStringsAsTextInEveryMode) {
    // The argument's own bytes: no quoting, no shell.
    const std::string argument = "dir/x y$(id).txt";
    const std::string tag = "1|1|x y$(id).txt|x y$(id)|dir|dir/x y$(id).txt";
    for (const char *mode : {"-g", "-k", "--lb"}) {
        TempDir dir;
        Outcome outcome = run(dir, {mode, "--tagstring", "{#}|{%}|{/}|{/.}|{//}|{}",
                                    "printf 'o\\np'", "--", argument});
        EXPECT_EQ(outcome.code(), 0) << mode << outcome.err;
        EXPECT_EQ(outcome.out, tag + "\to\n" + tag + "\tp") << mode;
    }
}

TEST(FanrunLines, FormsThatCannotWorkAreRefusedBeforeAnythingRuns) {
    struct Case {
        std::vector<std::string> options;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--lb", "-k"},
         "fanrun: --line-buffer cannot go with -k: use -k alone for output in "
         "input order\n"},
        {{"-k", "--latest-line"},
         "fanrun: --latest-line cannot go with -k: use -k alone for "
         "output in input order\n"},
        {{"--lb", "-o", "out"},
         "fanrun: --line-buffer writes the output as it comes: it cannot "
         "go with -o DIR\n"},
        {{"-u", "--tagstring", "x"},
         "fanrun: --tag and --tagstring need the output grouped or "
         "by lines: they cannot go with -u\n"},
        {{"--semaphore", "--lb"},
         "fanrun: --lb does not go with --semaphore, which runs one "
         "command as it stands\n"},
    };
    for (const Case &each : cases) {
        TempDir dir;
        Outcome outcome = run(dir, joined(each.options, {"touch " + dir / "ran", "--", "a"}));
        EXPECT_EQ(outcome.code(), 2) << ::testing::PrintToString(each.options);
        EXPECT_EQ(outcome.err.substr(0, outcome.err.find("usage:")), each.message);
        EXPECT_FALSE(fs::exists(dir / "ran"));
    }
}

// ---- on a terminal
// -------------------------------------------------------------------------------

// A terminal's screen as far as the runner draws it: carriage return, newline, erase to the end
// of the line (ESC [ K) and of the screen (ESC [ J), cursor up (ESC [ N A).
std::vector<std::string> screenOf(const std::string &bytes) {
    std::vector<std::string> screen(1);
    size_t row = 0;
    size_t column = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            if (++row == screen.size()) {
                screen.emplace_back();
            }
        } else if (c == '\033' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            size_t end = i + 2;
            while (end < bytes.size() && isdigit(static_cast<unsigned char>(bytes[end])) != 0) {
                ++end;
            }
            const int count = end > i + 2 ? std::stoi(bytes.substr(i + 2, end - i - 2)) : 1;
            const char command = end < bytes.size() ? bytes[end] : '\0';
            if (command == 'K') {
                screen[row].resize(std::min(screen[row].size(), column));
            } else if (command == 'J') {
                screen[row].resize(std::min(screen[row].size(), column));
                screen.resize(row + 1);
            } else if (command == 'A') {
                row = row >= static_cast<size_t>(count) ? row - count : 0;
            }
            i = end;
        } else {
            if (screen[row].size() <= column) {
                screen[row].resize(column + 1, ' ');
            }
            screen[row][column++] = c;
        }
    }
    while (!screen.empty() && screen.back().empty()) {
        screen.pop_back();
    }
    return screen;
}

// Runs fanrun with one descriptor (1 or 2; 3: both) on a pseudo-terminal of width columns; the
// bytes the terminal got, and the outcome with the other streams in files.
struct OnTerminal {
    std::string bytes;
    Outcome outcome;
};

OnTerminal onTerminal(const TempDir &dir, const std::vector<std::string> &args, int descriptor,
                      unsigned short columns) {
    int master = -1;
    int slave = -1;
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 24;
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
    StartOptions options = fromInput("");
    if ((descriptor & 1) != 0) {
        options.outFd = slave;
    }
    if ((descriptor & 2) != 0) {
        // Its own descriptor: the child closes each one it has moved into place.
        options.errFd = descriptor == 3 ? dup(slave) : slave;
    }
    Program program = startFanrun(dir, args, options);
    close(slave);
    if (descriptor == 3) {
        close(options.errFd);
    }
    OnTerminal result;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break; // EIO once every holder of the terminal's other side has closed it
        }
        result.bytes.append(buffer, static_cast<size_t>(got));
    }
    close(master);
    result.outcome = program.finish();
    return result;
}

TEST(FanrunLines, LatestLineOnATerminalKeepsARowPerCommandCutToTheWidth) {
    TempDir dir;
    // Each command writes a first line, then (later) its last: a long one, or one with a TAB.
    const std::string command = "echo {} first; sleep 0.3; printf '%s %060d\\n' {} 0; "
                                "[ {} = b ] && printf 'b\\tlast'; true";
    OnTerminal shown =
        onTerminal(dir, {"--latest-line", "-j", "3", command, "--", "a", "b", "c"}, 1, 40);
    EXPECT_EQ(shown.outcome.code(), 0) << shown.outcome.err;
    std::vector<std::string> screen = screenOf(shown.bytes);
    std::sort(screen.begin(), screen.end());
    // Each row is cut after 39 characters, so that the cursor never wraps; a TAB shows as '?'.
    const std::string cut = std::string(37, '0');
    EXPECT_EQ(screen, (std::vector<std::string>{"a " + cut, "b?last", "c " + cut}))
        << ::testing::PrintToString(shown.bytes);
    // The rows were drawn in place, going back up over the live ones.
    EXPECT_NE(shown.bytes.find("\033[3A"), std::string::npos);
}

TEST(FanrunLines, TheReportOnTheSameTerminalComesAfterEveryCommandsLastRow) {
    TempDir dir;
    for (int round = 0; round < 5; ++round) {
        OnTerminal shown = onTerminal(
            dir, {"--latest-line", "-j", "2", "printf '{} first\\n{} last'", "--", "a", "b"}, 3,
            80);
        EXPECT_EQ(shown.outcome.code(), 0);
        const std::vector<std::string> screen = screenOf(shown.bytes);
        ASSERT_EQ(screen.size(), 5U) << ::testing::PrintToString(shown.bytes);
        EXPECT_EQ(std::set<std::string>(screen.begin(), screen.begin() + 2),
                  (std::set<std::string>{"a last", "b last"}));
        EXPECT_EQ(screen[2], "2 2 0");
        for (size_t i = 3; i < 5; ++i) {
            EXPECT_TRUE(std::regex_match(screen[i], std::regex(R"(\d+ 1 0 printf .*)")))
                << screen[i];
        }
    }
}

TEST(FanrunLines, BarDrawsTheProgressFiguresOnATerminalAndIsProgressElsewhere) {
    TempDir dir;
    OnTerminal shown = onTerminal(dir, {"--bar", "-g", "true", "--", "a", "b"}, 2, 60);
    EXPECT_EQ(shown.outcome.code(), 0);
    const std::vector<std::string> screen = screenOf(shown.bytes);
    ASSERT_FALSE(screen.empty()) << ::testing::PrintToString(shown.bytes);
    // A third of 60 columns: 20 cells.
    EXPECT_NE(screen.front().find("100% [" + std::string(20, '#') +
                                  "] 2/2 done, 0 running, 0 "
                                  "failed, 0:00 elapsed, 0:00 left"),
              std::string::npos)
        << screen.front();
    Outcome plain = run(dir, {"--bar", "-g", "true", "--", "a", "b"});
    EXPECT_EQ(plain.code(), 0);
    EXPECT_NE(plain.err.find("2/2 done, 0 running, 0 failed, 0:00 elapsed, 0:00 left\n"),
              std::string::npos)
        << plain.err;
    EXPECT_EQ(plain.err.find('['), std::string::npos) << plain.err;
}

} // namespace
