// Tests of the runner's job log unit, in process: the argument field's escaping, the strict
// reading of records, logs cut at any byte, where each command stands after retries, one run per
// log, and a log on a full file system.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <sys/mount.h>
#include <unistd.h>

#include "fanrun_run.h"
#include "joblog.h"

namespace {

using namespace fanrun_joblog;
using namespace fanrun_run;

const std::string headerLine = std::string(header) + "\n";

timespec at(long seconds, long micros) {
    return timespec{seconds, micros * 1000};
}

// ---- the format ------------------------------------------------------------------------------

TEST(JobLogFormat, EveryByteValueRoundTripsAndOnlyBytesThatBreakALineAreEscaped) {
    for (int value = 0; value < 256; ++value) {
        const char byte = static_cast<char>(value);
        for (const std::string &argument :
             {std::string(1, byte), std::string{'a', byte, 'b'}, std::string(3, byte)}) {
            const std::string field = escapeArgument(argument);
            for (char c : field) {
                const auto u = static_cast<unsigned char>(c);
                EXPECT_FALSE(u < 32 || u == 127) << "byte " << value;
            }
            const bool plain = value >= 32 && value != 127 && value != '\\';
            EXPECT_EQ(field == argument, plain) << "byte " << value;
            std::string back;
            ASSERT_TRUE(unescapeArgument(field, back)) << "byte " << value << ": " << field;
            EXPECT_EQ(back, argument) << "byte " << value;
        }
    }
    const std::vector<std::pair<std::string, std::string>> spelled = {
        {"a\tb", "a\\tb"},
        {"a\nb", "a\\nb"},
        {"a\rb", "a\\rb"},
        {"a\\b", "a\\\\b"},
        {"\x01\x7f", "\\x01\\x7f"},
        {std::string(1, '\0'), "\\x00"},
        {"caf\xc3\xa9 $x 'q'", "caf\xc3\xa9 $x 'q'"},
        {"", ""}};
    for (const auto &[argument, field] : spelled) {
        EXPECT_EQ(escapeArgument(argument), field);
    }
}

TEST(JobLogFormat, AFieldReadsBackOnlyInTheOneSpellingTheLogWrites) {
    std::string ignored;
    for (const char *field : {"a\tb", "\x01", "\\", "a\\", "\\q", "\\x4", "\\x4g", "\\X41", "\\x09",
                              "\\x0A", "\\x41", "\\x5c", "\\x0a"}) {
        EXPECT_FALSE(unescapeArgument(field, ignored)) << field;
    }
}

TEST(JobLogFormat, RecordsReadBackExactlyAndEveryMalformedLineIsRefused) {
    Record start;
    start.start = at(1700000000, 5);
    start.attempt = 2;
    start.occurrence = 3;
    start.argument = "x\ty\n\\";
    Record exited = start;
    exited.event = Event::End;
    exited.runSeconds = 1.25;
    exited.exitCode = 7;
    Record signalled = exited;
    signalled.exitCode = -1;
    signalled.signal = 9;
    const std::vector<std::pair<Record, std::string>> cases = {
        {start, "start\t1700000000.000005\t-\t-\t-\t2\t3\tx\\ty\\n\\\\\n"},
        {exited, "end\t1700000000.000005\t1.250000\t7\t-\t2\t3\tx\\ty\\n\\\\\n"},
        {signalled, "end\t1700000000.000005\t1.250000\t-\t9\t2\t3\tx\\ty\\n\\\\\n"},
    };
    for (const auto &[record, line] : cases) {
        EXPECT_EQ(formatRecord(record), line);
        Record back;
        ASSERT_TRUE(parseRecord(line.substr(0, line.size() - 1), back)) << line;
        EXPECT_EQ(formatRecord(back), line);
        EXPECT_EQ(back.argument, record.argument);
        EXPECT_EQ(back.succeeded(), false);
    }
    const std::string good = "end\t1.000000\t0.500000\t0\t-\t1\t1\targ";
    Record ok;
    ASSERT_TRUE(parseRecord(good, ok));
    EXPECT_TRUE(ok.succeeded());
    for (const char *bad : {
             "",
             "end\t1.000000\t0.500000\t0\t-\t1\t1",            // a field short
             "end\t1.000000\t0.500000\t0\t-\t1\t1\targ\tm\ve", // a tuple's raw control byte
             "ended\t1.000000\t0.500000\t0\t-\t1\t1\targ",     // the event
             "end\t1.00000\t0.500000\t0\t-\t1\t1\targ",        // five digits of fraction
             "end\t1\t0.500000\t0\t-\t1\t1\targ",              // no fraction
             "end\t01.000000\t0.500000\t0\t-\t1\t1\targ",      // a leading zero
             "end\t1.000000\t-\t0\t-\t1\t1\targ",              // an end without run time
             "end\t1.000000\t0.500000\t-\t-\t1\t1\targ",       // neither exit nor signal
             "end\t1.000000\t0.500000\t0\t9\t1\t1\targ",       // both
             "end\t1.000000\t0.500000\t256\t-\t1\t1\targ",     // no such exit code
             "end\t1.000000\t0.500000\t-\t0\t1\t1\targ",       // no such signal
             "end\t1.000000\t0.500000\t0\t-\t0\t1\targ",       // attempt 0
             "end\t1.000000\t0.500000\t0\t-\t1\t-1\targ",      // a sign
             "end\t1.000000\t0.500000\t0\t-\t1\t1 \targ",      // a space
             "start\t1.000000\t0.500000\t-\t-\t1\t1\targ",     // a start with a run time
             "start\t1.000000\t-\t0\t-\t1\t1\targ",            // a start with an exit code
             "start\t1.000000\t-\t-\t-\t1\t1\targ\r",          // a raw carriage return
             "start\t1.000000\t-\t-\t-\t1\t1\targ\\",          // a cut escape
             "start\t1.000000\t-\t-\t-\t1\t1\targ\\x0",        // a cut escape
         }) {
        Record ignored;
        EXPECT_FALSE(parseRecord(bad, ignored)) << bad;
    }
}

TEST(JobLogFormat, EveryRecordOfALogWithTheHostColumnEndsWithItsHost) {
    Record record;
    record.event = Event::End;
    record.start = timespec{1, 0};
    record.runSeconds = 0.5;
    record.exitCode = 255;
    record.argument = "a\tb";
    record.host = "root@host2";
    const std::string line = formatRecord(record);
    EXPECT_EQ(line, "end\t1.000000\t0.500000\t255\t-\t1\t1\ta\\tb\troot@host2\n");
    Record back;
    ASSERT_TRUE(parseRecord(line.substr(0, line.size() - 1), back, true));
    EXPECT_EQ(back.host, "root@host2");
    EXPECT_EQ(back.argument, "a\tb");
    // Where the header has no host column, the field is a tuple's second value.
    ASSERT_TRUE(parseRecord(line.substr(0, line.size() - 1), back, false));
    EXPECT_EQ(back.host, "");
    // A tuple's values come before the host.
    record.argument = std::string(1, '\0') + "x\ty";
    const std::string tuple = formatRecord(record);
    EXPECT_EQ(tuple, "end\t1.000000\t0.500000\t255\t-\t1\t1\tx\ty\troot@host2\n");
    ASSERT_TRUE(parseRecord(tuple.substr(0, tuple.size() - 1), back, true));
    EXPECT_EQ(back.host, "root@host2");
    EXPECT_EQ(back.argument, record.argument);
    for (const char *bad : {
             "end\t1.000000\t0.500000\t0\t-\t1\t1\targ\t",    // an empty host
             "end\t1.000000\t0.500000\t0\t-\t1\t1\targ",      // no host at all
             "end\t1.000000\t0.500000\t0\t-\t1\t1\targ\th\\", // a cut escape
         }) {
        EXPECT_FALSE(parseRecord(bad, back, true)) << bad;
    }
}

TEST(JobLog, ARunOverHostsLogsTheHostsAndAppendsToAnOldLogWithoutThem) {
    TempDir dir;
    const std::string fresh = dir / "fresh";
    {
        JobLog log;
        log.withHosts();
        ASSERT_TRUE(log.open(fresh.c_str()));
        ASSERT_TRUE(log.recordStart("x", 1, 1, timespec{1, 0}, "host2"));
        ASSERT_TRUE(log.recordEnd("x", 1, 1, timespec{1, 0}, 0.5, 0, 0, ":"));
        ASSERT_TRUE(log.finish());
    }
    EXPECT_EQ(readFile(fresh), std::string(hostHeader) +
                                   "\nstart\t1.000000\t-\t-\t-\t1\t1\tx\thost2\n"
                                   "end\t1.000000\t0.500000\t0\t-\t1\t1\tx\t:\n");
    const std::string old = dir / "old";
    writeFile(old, std::string(header) + "\n");
    {
        JobLog log;
        log.withHosts();
        ASSERT_TRUE(log.open(old.c_str()));
        ASSERT_TRUE(log.recordStart("y", 1, 1, timespec{1, 0}, "host2"));
        ASSERT_TRUE(log.finish());
    }
    EXPECT_EQ(readFile(old), std::string(header) + "\nstart\t1.000000\t-\t-\t-\t1\t1\ty\n");
    // Read back, each log knows its command's state.
    JobLog again;
    ASSERT_TRUE(again.open(fresh.c_str(), true));
    EXPECT_EQ(again.state("x", 1), State::Succeeded);
    EXPECT_EQ(again.ignoredLines(), 0);
}

// ---- a log of a run ----------------------------------------------------------------------------

struct Step {
    bool end;
    const char *argument;
    long occurrence;
    long attempt;
    int exitCode;
    int signal;
};

// Appends the steps as a run would; true if every one reached the file.
bool record(JobLog &log, const std::vector<Step> &steps) {
    bool all = true;
    for (const Step &step : steps) {
        all = (step.end ? log.recordEnd(step.argument, step.occurrence, step.attempt,
                                        at(1700000000, 1), 0.5, step.exitCode, step.signal)
                        : log.recordStart(step.argument, step.occurrence, step.attempt,
                                          at(1700000000, 1))) &&
              all;
    }
    return all;
}

TEST(JobLog, ANewLogHasOnlyItsHeaderAndAHeaderOnlyLogHoldsNothing) {
    TempDir dir;
    const std::string path = dir / "log";
    {
        JobLog log;
        ASSERT_TRUE(log.open(path.c_str()));
        EXPECT_TRUE(log.finish());
    }
    EXPECT_EQ(readFile(path), headerLine);
    JobLog log;
    ASSERT_TRUE(log.open(path.c_str()));
    EXPECT_EQ(log.state("a", 1), State::Unseen);
    EXPECT_EQ(log.unfinished(), 0);
    EXPECT_EQ(log.ignoredLines(), 0);
    EXPECT_TRUE(log.finish());
    EXPECT_EQ(readFile(path), headerLine);
    // Torn while it was created: made whole.
    writeFile(path, std::string(header).substr(0, 9));
    JobLog torn;
    ASSERT_TRUE(torn.open(path.c_str()));
    EXPECT_TRUE(torn.finish());
    EXPECT_EQ(readFile(path), headerLine);
}

TEST(JobLog, AFileThatIsNotAJobLogIsNeverOpenedNorChanged) {
    TempDir dir;
    const std::vector<std::string> texts = {"hello\n", "notes", headerLine.substr(1),
                                            std::string(header) + "\textra\n"};
    for (const std::string &text : texts) {
        writeFile(dir / "other", text);
        JobLog log;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(log.open((dir / "other").c_str())) << text;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "fanrun: " + (dir / "other") +
                      " is not a job log: it does not start with the job log header\n");
        EXPECT_EQ(readFile(dir / "other"), text);
    }
    JobLog directory;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(directory.open(dir.path().c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fanrun: cannot open the job log " + dir.path().string() + ": Is a directory\n");
}

TEST(JobLog, TheLastEndOfACommandDecidesAndUnendedStartsAreCounted) {
    TempDir dir;
    const std::string path = dir / "log";
    {
        JobLog log;
        ASSERT_TRUE(log.open(path.c_str()));
        EXPECT_TRUE(record(log, {
                                    {false, "ok", 1, 1, 0, 0},
                                    {true, "ok", 1, 1, 0, 0},
                                    {false, "retried", 1, 1, 0, 0},
                                    {true, "retried", 1, 1, 1, 0},
                                    {false, "retried", 1, 2, 0, 0},
                                    {true, "retried", 1, 2, 0, 0},
                                    {false, "broke", 1, 1, 0, 0},
                                    {true, "broke", 1, 1, 0, 0},
                                    {false, "broke", 1, 2, 0, 0},
                                    {true, "broke", 1, 2, -1, 9},
                                    {false, "dup", 1, 1, 0, 0},
                                    {true, "dup", 1, 1, 0, 0},
                                    {false, "dup", 2, 1, 0, 0},
                                    {false, "again", 1, 1, 0, 0},
                                    {true, "again", 1, 1, 2, 0},
                                    {false, "again", 1, 2, 0, 0},
                                }));
        // The index is what the log held when it was opened: a run never asks about an argument
        // it has taken already, so its own records do not grow it.
        EXPECT_EQ(log.state("retried", 1), State::Unseen);
        EXPECT_TRUE(log.finish());
    }
    JobLog log;
    ASSERT_TRUE(log.open(path.c_str()));
    const std::vector<std::tuple<const char *, long, State>> expected = {
        {"ok", 1, State::Succeeded},     {"retried", 1, State::Succeeded},
        {"broke", 1, State::Failed},     {"dup", 1, State::Succeeded},
        {"dup", 2, State::Unfinished},   {"dup", 3, State::Unseen},
        {"again", 1, State::Unfinished}, {"never", 1, State::Unseen},
    };
    for (const auto &[argument, occurrence, state] : expected) {
        EXPECT_EQ(log.state(argument, occurrence), state) << argument << " " << occurrence;
    }
    EXPECT_EQ(log.unfinished(), 2); // dup 2, and again's second attempt
    EXPECT_TRUE(log.finish());
}

TEST(JobLog, AStartWithoutAnEndRunsAgainOnResumeWhateverEndedBeforeIt) {
    struct Case {
        const char *name;
        std::vector<Step> steps; // all of argument "x", occurrence 1
        State state;
    };
    const std::vector<Case> cases = {
        {"a retry running at the kill",
         {{false, "x", 1, 1, 0, 0}, {true, "x", 1, 1, 1, 0}, {false, "x", 1, 2, 0, 0}},
         State::Unfinished},
        {"a signalled retry running at the kill",
         {{false, "x", 1, 1, 0, 0}, {true, "x", 1, 1, -1, 15}, {false, "x", 1, 2, 0, 0}},
         State::Unfinished},
        {"a later run's start after a success",
         {{false, "x", 1, 1, 0, 0}, {true, "x", 1, 1, 0, 0}, {false, "x", 1, 1, 0, 0}},
         State::Unfinished},
        {"an earlier attempt's end after the retry's start",
         {{false, "x", 1, 1, 0, 0}, {false, "x", 1, 2, 0, 0}, {true, "x", 1, 1, 1, 0}},
         State::Unfinished},
        {"the retry ended",
         {{false, "x", 1, 1, 0, 0},
          {true, "x", 1, 1, 1, 0},
          {false, "x", 1, 2, 0, 0},
          {true, "x", 1, 2, 3, 0}},
         State::Failed},
    };
    TempDir dir;
    for (const Case &c : cases) {
        const std::string path = dir / "log";
        fs::remove(path);
        {
            JobLog log;
            ASSERT_TRUE(log.open(path.c_str()));
            EXPECT_TRUE(record(log, c.steps));
            EXPECT_TRUE(log.finish());
        }
        JobLog log;
        ASSERT_TRUE(log.open(path.c_str()));
        EXPECT_EQ(log.state("x", 1), c.state) << c.name;
        EXPECT_EQ(log.unfinished(), c.state == State::Unfinished ? 1 : 0) << c.name;
        // Neither --resume nor --resume-failed leaves out a command that was running.
        EXPECT_EQ(resumeSkips(log.state("x", 1), false), c.state != State::Unfinished) << c.name;
        EXPECT_FALSE(resumeSkips(log.state("x", 1), true) && c.state == State::Unfinished)
            << c.name;
        EXPECT_TRUE(log.finish());
    }
}

TEST(JobLog, OnlyALogWhoseLastLineIsAClosingRecordShowsThatItsRunStartedEveryArgument) {
    // FNV-1a 64 of the input as read, delimiters included.
    EXPECT_EQ(digestArgument(digestBasis, "", 'a'), 0xaf63dc4c8601ec8cULL); // FNV-1a 64 of "a"
    EXPECT_NE(digestArgument(digestBasis, "a", '\n'), digestArgument(digestBasis, "a", '\0'));
    EXPECT_NE(digestArgument(digestBasis, "ab", '\n'),
              digestArgument(digestArgument(digestBasis, "a", '\n'), "b", '\n'));
    const std::string closing = formatClosing(at(1700000000, 5), 192, 0x0123456789abcdefULL);
    EXPECT_EQ(closing, "closed\t1700000000.000005\t-\t-\t-\t-\t192\t0123456789abcdef\n");
    long arguments = 0;
    uint64_t digest = 0;
    EXPECT_TRUE(
        parseClosing(std::string_view(closing).substr(0, closing.size() - 1), arguments, digest));
    EXPECT_EQ(arguments, 192);
    EXPECT_EQ(digest, 0x0123456789abcdefULL);
    for (const char *bad : {"closed\t1700000000.000005\t-\t-\t-\t-\t192\t0123456789abcde",
                            "closed\t1700000000.000005\t-\t-\t-\t-\t192\t0123456789ABCDEF",
                            "closed\t1700000000.000005\t-\t-\t-\t-\t0192\t0123456789abcdef",
                            "closed\t1700000000.000005\t-\t-\t-\t-\t192\t0123456789abcdef\t",
                            "closed\t1700000000\t-\t-\t-\t-\t192\t0123456789abcdef",
                            "closed\t1700000000.000005\t-\t-\t-\t192\t0123456789abcdef"}) {
        EXPECT_FALSE(parseClosing(bad, arguments, digest)) << bad;
    }
    struct Case {
        const char *name;
        std::string body; // after the header
        bool closed;
    };
    const std::string start = "start\t1700000000.000001\t-\t-\t-\t1\t1\tx\n";
    const std::vector<Case> cases = {
        {"no record", "", false},
        {"a killed run", start, false},
        {"a run that started everything", start + closing, true},
        {"a resumed run killed after it", start + closing + start, false},
        {"a torn record after it", start + closing + "end\t17", true},
        {"a finished resume", start + closing + start + closing, true},
    };
    TempDir dir;
    for (const Case &c : cases) {
        writeFile(dir / "log", headerLine + c.body);
        JobLog log;
        ASSERT_TRUE(log.open((dir / "log").c_str(), true)) << c.name;
        EXPECT_EQ(log.closed(), c.closed) << c.name;
        EXPECT_EQ(log.closedArguments(), c.closed ? 192 : 0) << c.name;
        EXPECT_EQ(log.ignoredLines(), 0) << c.name;
        EXPECT_EQ(readFile(dir / "log"), headerLine + c.body) << c.name;
    }
}

TEST(JobLog, ATornTailIsCutWithAMessageAndALineLongerThanAnyRecordIsNeverHeld) {
    const std::string start = "start\t1700000000.000001\t-\t-\t-\t1\t1\tx\n";
    const std::string huge(size_t{5} << 20, 'y'); // longer than any record
    struct Case {
        const char *name;
        std::string body; // after the header
        std::string kept; // what stays before the next record
        long ignored;
        std::string err; // beyond the path
    };
    const std::vector<Case> cases = {
        {"whole", start, start, 0, ""},
        {"a torn record", start + "end\t1700", start, 0, " ends in a torn line of 8 bytes"},
        {"a torn line longer than any record", start + huge, start, 0,
         " ends in a torn line of 5242880 bytes"},
        {"a whole line longer than any record", start + huge + "\n" + start,
         start + huge + "\n" + start, 1, " holds 1 lines that are not records; ignored"},
    };
    TempDir dir;
    const std::string path = dir / "log";
    for (const Case &c : cases) {
        writeFile(path, headerLine + c.body);
        JobLog log;
        testing::internal::CaptureStderr();
        ASSERT_TRUE(log.open(path.c_str())) << c.name;
        const std::string err = testing::internal::GetCapturedStderr();
        if (c.err.empty()) {
            EXPECT_EQ(err, "") << c.name;
        } else if (c.ignored > 0) {
            EXPECT_EQ(err, "fanrun: the job log " + path + c.err + "\n") << c.name;
        } else {
            EXPECT_EQ(err, "fanrun: the job log " + path + c.err +
                               " (a run died while writing it); it is cut\n")
                << c.name;
        }
        EXPECT_EQ(log.state("x", 1), State::Unfinished) << c.name;
        EXPECT_EQ(log.ignoredLines(), c.ignored) << c.name;
        ASSERT_TRUE(log.recordStart("z", 1, 1, at(1700000001, 0))) << c.name;
        ASSERT_TRUE(log.finish()) << c.name;
        EXPECT_EQ(readFile(path),
                  headerLine + c.kept + "start\t1700000001.000000\t-\t-\t-\t1\t1\tz\n")
            << c.name;
    }
}

TEST(JobLog, AResumedRunLeavesOutWhatEndedOrWithFailedTooOnlyWhatSucceeded) {
    struct Case {
        State state;
        bool resume;       // --resume
        bool resumeFailed; // --resume-failed
    };
    const std::vector<Case> cases = {
        {State::Unseen, false, false},
        {State::Unfinished, false, false},
        {State::Failed, true, false},
        {State::Succeeded, true, true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(resumeSkips(c.state, false), c.resume) << static_cast<int>(c.state);
        EXPECT_EQ(resumeSkips(c.state, true), c.resumeFailed) << static_cast<int>(c.state);
    }
}

TEST(JobLog, EqualArgumentsOfAnInputAreNumberedFromOneEach) {
    Occurrences occurrences;
    std::vector<long> numbers;
    for (const char *argument : {"a", "b", "a", "", "a\tb", "", "a", "b"}) {
        numbers.push_back(occurrences.next(argument));
    }
    EXPECT_EQ(numbers, (std::vector<long>{1, 1, 2, 1, 1, 2, 3, 2}));
}

// The index keeps its entries by digest: whatever slots the digests aim at, every entry is found
// with its own value across growth, and no digest it never took is found.
TEST(JobLog, ADigestTableFindsEveryEntryWhereverItsDigestsFallAndNothingElse) {
    struct Pattern {
        const char *name;
        uint64_t (*digest)(uint64_t i);
        uint64_t count;
        size_t reserve;
    };
    const std::vector<Pattern> patterns = {
        {"consecutive", [](uint64_t i) { return i + 1; }, 5000, 0},
        // One start slot for all in the first table: the probe runs off its end and wraps.
        {"one slot, wrapping", [](uint64_t i) { return (i << 20) | 1023; }, 700, 0},
        {"high bits only", [](uint64_t i) { return (i + 1) << 40; }, 3000, 0},
        {"hashed", [](uint64_t i) { return keyDigest(i, "x"); }, 20000, 0},
        {"hashed, reserved", [](uint64_t i) { return keyDigest(i, "x"); }, 20000, 20000},
    };
    for (const Pattern &p : patterns) {
        DigestTable<uint32_t> table;
        table.reserve(p.reserve);
        const size_t reserved = table.bytes();
        for (uint64_t i = 0; i < p.count; ++i) {
            table.at(p.digest(i)) = static_cast<uint32_t>(i * 7 + 1);
        }
        EXPECT_EQ(table.size(), p.count) << p.name;
        if (p.reserve >= p.count) {
            EXPECT_EQ(table.bytes(), reserved) << p.name << ": grew though reserved";
        }
        size_t wrong = 0;
        for (uint64_t i = 0; i < p.count; ++i) {
            const uint32_t *value = table.find(p.digest(i));
            wrong += value == nullptr || *value != i * 7 + 1 ? 1 : 0;
            wrong += table.find(p.digest(i + p.count)) != nullptr ? 1 : 0;
        }
        EXPECT_EQ(wrong, 0U) << p.name;
        uint64_t sum = 0;
        table.forEach([&](uint32_t value) { sum += value; });
        EXPECT_EQ(sum, 7 * p.count * (p.count - 1) / 2 + p.count) << p.name;
        // At most three quarters full, never more than twice the room it needs.
        EXPECT_LE(table.bytes(), std::max<size_t>(12 * 1024, 12 * p.count * 8 / 3)) << p.name;
    }
}

// Digests are the keys of the index: equal bytes agree, and a differing prefix or byte, the
// length or an empty key tell keys apart.
TEST(JobLog, KeyDigestsAgreeOnEqualKeysAndDifferOnEveryOtherByte) {
    const std::string base = "0123456789abcdefXYZ";
    EXPECT_EQ(keyDigest(1, base), keyDigest(1, std::string(base)));
    std::vector<uint64_t> seen = {keyDigest(1, base),
                                  keyDigest(2, base),
                                  keyDigest(0, ""),
                                  keyDigest(1, ""),
                                  keyDigest(1, base + '\0'),
                                  keyDigest(1, base.substr(0, 16)),
                                  keyDigest(1, base.substr(0, 8))};
    for (size_t i = 0; i < base.size(); ++i) {
        std::string changed = base;
        changed[i] ^= 1;
        seen.push_back(keyDigest(1, changed));
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 0U), 0);
}

TEST(JobLog, ACutAtAnyByteOfTheLastRecordsNeverCountsThemAndIsCutBeforeTheNextRecord) {
    TempDir dir;
    const std::string full = dir / "full";
    {
        JobLog log;
        ASSERT_TRUE(log.open(full.c_str()));
        ASSERT_TRUE(record(log, {
                                    {false, "a", 1, 1, 0, 0},
                                    {true, "a", 1, 1, 0, 0},
                                    {false, "b\tc", 1, 1, 0, 0},
                                    {true, "b\tc", 1, 1, 3, 0},
                                    {false, "b", 1, 1, 0, 0},
                                    {true, "b", 1, 1, 0, 0},
                                    {false, "a", 2, 1, 0, 0},
                                    {true, "a", 2, 1, -1, 15},
                                }));
        ASSERT_TRUE(log.finish());
    }
    const std::string text = readFile(full);
    std::vector<size_t> ends; // where each line ends, its '\n' included
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        ends.push_back(at + 1);
    }
    ASSERT_EQ(ends.size(), 9U);
    // The states after each number of whole records, from four of the eight on.
    struct Whole {
        State bc, b, a2;
        long unfinished;
    };
    const std::vector<Whole> byWhole = {
        {State::Failed, State::Unseen, State::Unseen, 0},
        {State::Failed, State::Unfinished, State::Unseen, 1},
        {State::Failed, State::Succeeded, State::Unseen, 0},
        {State::Failed, State::Succeeded, State::Unfinished, 1},
        {State::Failed, State::Succeeded, State::Failed, 0},
    };
    Record appended;
    appended.start = at(1700000001, 0);
    appended.argument = "z";
    for (size_t cut = ends[4]; cut <= text.size(); ++cut) {
        const size_t whole =
            static_cast<size_t>(std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin() - 1);
        const Whole &expected = byWhole.at(whole - 4);
        const std::string path = dir / "cut";
        writeFile(path, text.substr(0, cut));
        JobLog log;
        ASSERT_TRUE(log.open(path.c_str())) << cut;
        EXPECT_EQ(log.state("a", 1), State::Succeeded) << cut;
        EXPECT_EQ(log.state("b\tc", 1), expected.bc) << cut;
        EXPECT_EQ(log.state("b", 1), expected.b) << cut;
        EXPECT_EQ(log.state("a", 2), expected.a2) << cut;
        EXPECT_EQ(log.unfinished(), expected.unfinished) << cut;
        EXPECT_EQ(log.ignoredLines(), 0) << cut;
        for (const char *other : {"", "b\\", "b\\t", "a\tb", "c"}) {
            EXPECT_EQ(log.state(other, 1), State::Unseen) << cut << " " << other;
        }
        ASSERT_TRUE(log.recordStart("z", 1, 1, appended.start)) << cut;
        ASSERT_TRUE(log.finish()) << cut;
        EXPECT_EQ(readFile(path), text.substr(0, ends[whole]) + formatRecord(appended)) << cut;
    }
}

TEST(JobLog, ARecordThatWouldNotReadBackIsNeverWrittenAndFailsTheLog) {
    TempDir dir;
    const std::string path = dir / "log";
    JobLog log;
    ASSERT_TRUE(log.open(path.c_str()));
    testing::internal::CaptureStderr();
    struct Bad {
        const char *what;
        bool written;
    };
    const std::vector<Bad> cases = {
        {"attempt 0", log.recordStart("a", 1, 0, at(1, 0))},
        {"occurrence 0", log.recordStart("a", 0, 1, at(1, 0))},
        {"a start before 1970", log.recordStart("a", 1, 1, at(-5, 0))},
        {"exit code 256", log.recordEnd("a", 1, 1, at(1, 0), 1, 256, 0)},
        {"exit code -1 without a signal", log.recordEnd("a", 1, 1, at(1, 0), 1, -1, 0)},
        {"signal 200", log.recordEnd("a", 1, 1, at(1, 0), 1, 0, 200)},
    };
    for (const Bad &bad : cases) {
        EXPECT_FALSE(bad.written) << bad.what;
    }
    EXPECT_TRUE(log.recordStart("a", 1, 1, at(1, 0)));
    EXPECT_FALSE(log.finish());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fanrun: cannot write the job log " + path + ": Invalid argument\n");
    EXPECT_EQ(readFile(path), headerLine + "start\t1.000000\t-\t-\t-\t1\t1\ta\n");
}

TEST(JobLog, OneRunAtATimeHoldsALog) {
    TempDir dir;
    const std::string path = dir / "log";
    JobLog first;
    ASSERT_TRUE(first.open(path.c_str()));
    JobLog second;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(second.open(path.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fanrun: cannot open the job log " + path + ": another run is using it\n");
    EXPECT_TRUE(first.finish());
    EXPECT_TRUE(second.open(path.c_str()));
    EXPECT_TRUE(second.finish());
}

// A small tmpfs over a scratch folder, unmounted again at the end.
class SmallFileSystem {
  public:
    explicit SmallFileSystem(const std::string &where) : where_(where) {
        mounted_ = mount("tmpfs", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=16k") == 0;
        error_ = errno;
    }
    ~SmallFileSystem() {
        if (mounted_) {
            umount2(where_.c_str(), MNT_DETACH);
        }
    }
    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;
    bool mounted() const { return mounted_; }
    int error() const { return error_; }

  private:
    std::string where_;
    bool mounted_ = false;
    int error_ = 0;
};

TEST(JobLog, AFullFileSystemFailsTheWriteSaysSoOnceAndLeavesOnlyWholeRecords) {
    TempDir dir;
    const std::string small = dir / "small";
    fs::create_directory(small);
    SmallFileSystem space(small);
    if (!space.mounted()) {
        SKIP_UNLESS_CI("cannot mount a tmpfs: " << strerror(space.error()));
    }
    const std::string filler = small + "/filler";
    writeFile(filler, std::string(8192, 'f'));
    const std::string path = small + "/log";
    // Records longer than a line of text, so that one runs over the last free page.
    const std::string wide(400, 'w');
    std::vector<std::string> written;
    std::string expected = headerLine;
    std::string err;
    {
        JobLog log;
        ASSERT_TRUE(log.open(path.c_str()));
        testing::internal::CaptureStderr();
        int failures = 0;
        for (int i = 0; i < 100 && failures < 3; ++i) {
            const std::string argument = std::to_string(i) + wide;
            if (log.recordStart(argument, 1, 1, at(1700000000, i))) {
                EXPECT_EQ(failures, 0) << i;
                written.push_back(argument);
                Record start;
                start.start = at(1700000000, i);
                start.argument = argument;
                expected += formatRecord(start);
            } else {
                ++failures;
            }
        }
        EXPECT_FALSE(log.finish());
        err = testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(err, "fanrun: cannot write the job log " + path + ": No space left on device\n");
    ASSERT_GE(written.size(), 3U);
    EXPECT_EQ(readFile(path), expected);

    // With room again, the log goes on from its last whole record.
    fs::remove(filler);
    JobLog log;
    ASSERT_TRUE(log.open(path.c_str()));
    EXPECT_EQ(log.unfinished(), static_cast<long>(written.size()));
    EXPECT_EQ(log.state(written.back(), 1), State::Unfinished);
    EXPECT_EQ(log.state(std::to_string(written.size()) + wide, 1), State::Unseen);
    EXPECT_TRUE(log.recordEnd(written.back(), 1, 1, at(1700000000, 0), 1, 0, 0));
    EXPECT_TRUE(log.finish());
    EXPECT_EQ(readFile(path).substr(0, expected.size()), expected);
}

} // namespace

// A tuple's record holds a field per value, each escaped; it reads back as the same key, and a
// single argument holding a TAB never reads as a tuple.
TEST(JobLogFormat, ATupleHasAFieldPerValueAndReadsBackAsItsKey) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"a", "1"}, "a\t1"},
        {{"x\ty", "", "\\"}, "x\\ty\t\t\\\\"},
        {{"\n", "\x01\xff"}, "\\n\t\\x01\xff"},
    };
    for (const auto &[values, fields] : cases) {
        Record record;
        record.start = at(1700000000, 5);
        record.argument = tupleKey(values);
        const std::string line = formatRecord(record);
        EXPECT_EQ(line, "start\t1700000000.000005\t-\t-\t-\t1\t1\t" + fields + "\n");
        Record back;
        ASSERT_TRUE(parseRecord(line.substr(0, line.size() - 1), back)) << line;
        EXPECT_EQ(back.argument, record.argument);
        std::vector<std::string> got;
        ASSERT_TRUE(tupleValues(back.argument, got));
        EXPECT_EQ(got, values);
    }
    Record single;
    single.argument = "a\tb";
    Record back;
    ASSERT_TRUE(parseRecord(formatRecord(single).substr(0, formatRecord(single).size() - 1), back));
    EXPECT_EQ(back.argument, "a\tb");
    std::vector<std::string> none;
    EXPECT_FALSE(tupleValues(back.argument, none));
    // Every value field must be one the log writes.
    for (const char *bad :
         {"start\t1.000000\t-\t-\t-\t1\t1\ta\t\x01", "start\t1.000000\t-\t-\t-\t1\t1\ta\t\\x41",
          "start\t1.000000\t-\t-\t-\t1\t1\ta\t\\"}) {
        Record ignored;
        EXPECT_FALSE(parseRecord(bad, ignored)) << bad;
    }
}
