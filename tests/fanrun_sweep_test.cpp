// The runner's sweeps as a program: several input sources and their product, linked sources,
// positional replacement strings, tables (--colsep, --header, --trim), -I, -m, -N0, and the job
// log, resume and --failed for tuples. Every value holds awkward bytes somewhere; whole outputs
// are compared.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "fanrun_run.h"

using namespace fanrun_run;

namespace {

const std::string usage = "usage: fanrun [OPTION]... TEMPLATE [ARGUMENT]...\n"
                          "       fanrun [OPTION]... COMMAND WORD... -- [ARGUMENT]...\n";

// FILE1 and FILE2 in a row's words name its files; STDIN is its standard input.
struct Row {
    std::vector<std::string> arguments;
    std::string file1;
    std::string file2;
    std::string input;
    std::string out; // the whole standard output
    int code = 0;
    std::string err; // with code 2: the message, without "fanrun: " and the usage

    Row(std::vector<std::string> words, std::string one, std::string two, std::string in,
        std::string shown, int status = 0, std::string message = "")
        : arguments(std::move(words)), file1(std::move(one)), file2(std::move(two)),
          input(std::move(in)), out(std::move(shown)), code(status), err(std::move(message)) {}
};

std::vector<std::string> withFiles(const TempDir &dir, const Row &row) {
    std::vector<std::string> words;
    for (const std::string &word : row.arguments) {
        words.push_back(word == "FILE1" ? dir / "file1" : word == "FILE2" ? dir / "file2" : word);
    }
    return words;
}

void checkRows(const std::vector<Row> &rows) {
    for (const Row &row : rows) {
        TempDir dir;
        writeFile(dir / "file1", row.file1);
        writeFile(dir / "file2", row.file2);
        std::vector<std::string> words = withFiles(dir, row);
        words.insert(words.begin(), "--dry-run");
        const std::string label = ::testing::PrintToString(row.arguments);
        const Outcome outcome = runFanrun(dir, words, fromInput(row.input));
        EXPECT_EQ(outcome.code(), row.code) << label << "\n" << outcome.err;
        EXPECT_EQ(outcome.out, row.out) << label;
        if (row.code == 2) {
            // A message may name the row's file.
            std::string err = row.err;
            const size_t file = err.find("FILE1");
            if (file != std::string::npos) {
                err.replace(file, 5, dir / "file1");
            }
            EXPECT_EQ(outcome.err, "fanrun: " + err + "\n" + usage) << label;
        }
    }
}

std::string joined(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) {
        text += line + "\n";
    }
    return text;
}

} // namespace

TEST(FanrunSweep, TheProductRunsTheLastSourceFastestAndLinkedSourcesPairByPosition) {
    checkRows({
        {{"echo", ":::", "a", "b", ":::", "1", "2", "3"},
         "",
         "",
         "",
         joined({"echo a 1", "echo a 2", "echo a 3", "echo b 1", "echo b 2", "echo b 3"})},
        // Three sources: the middle one varies slower than the last.
        {{"echo {3}{2}{1}", ":::", "a", "b", ":::", "1", "2", ":::", "x", "y"},
         "",
         "",
         "",
         joined({"echo x1a", "echo y1a", "echo x2a", "echo y2a", "echo x1b", "echo y1b", "echo x2b",
                 "echo y2b"})},
        // :::+ pairs with the source before, as many as the shorter has.
        {{"echo", ":::", "a", "b", "c", ":::+", "1", "2"}, "", "", "", "echo a 1\necho b 2\n"},
        {{"echo", ":::", "a", "b", ":::", "1", "2", ":::+", "x", "y", "z"},
         "",
         "",
         "",
         joined({"echo a 1 x", "echo a 2 y", "echo b 1 x", "echo b 2 y"})},
        // --link pairs them all, the shorter ones recycled.
        {{"--link", "echo", ":::", "a", "b", "c", ":::", "1", "2", ":::", "x", "y", "z", "w"},
         "",
         "",
         "",
         joined({"echo a 1 x", "echo b 2 y", "echo c 1 z", "echo a 2 w"})},
        // Files: :::: FILE, ::::+ linked, - standard input, -a more than once, mixed with :::.
        {{"echo", "::::", "FILE1", "::::+", "FILE2"},
         "a\nb\n",
         "1\n2\n3\n",
         "",
         "echo a 1\necho b 2\n"},
        {{"echo", "::::", "-", ":::", "1", "2"},
         "",
         "",
         "a\n\nb\n",
         "echo a 1\necho a 2\necho b 1\necho b 2\n"},
        {{"-a", "FILE1", "-a", "FILE2", "echo"}, "a\n", "1\n2\n", "", "echo a 1\necho a 2\n"},
        {{"-a", "FILE1", "echo", ":::", "x"}, "a\nb\n", "", "", "echo a x\necho b x\n"},
        // With -0 every file source splits at NUL bytes, empty items counted.
        {{"-0", "printf %s/%s {1} {2}", "::::", "FILE1", "::::", "FILE2"},
         std::string("x\ny\0\0", 5),
         std::string("1\0", 2),
         "",
         "printf %s/%s $'x\\ny' 1\nprintf %s/%s '' 1\n"},
        // An empty source makes no tuple.
        {{"echo", ":::", "a", ":::"}, "", "", "", ""},
        // Whichever comes first separates: a -- keeps the arguments as they were.
        {{"echo", "--", "a", ":::", "b"}, "", "", "", "echo a\necho :::\necho b\n"},
        {{"printf", "<%s>", ":::", "a", "--", "b"},
         "",
         "",
         "",
         "printf '<%s>' a\nprintf '<%s>' --\nprintf '<%s>' b\n"},
        // --shard takes the product's positions.
        {{"--shard", "1/2", "echo", ":::", "a", "b", ":::", "1", "2", "3"},
         "",
         "",
         "",
         "echo a 2\necho b 1\necho b 3\n"},
    });
}

TEST(FanrunSweep, PositionalStringsAreQuotedForWhereTheyStand) {
    const std::vector<std::string> sources = {":::", "my dir/a.tar.gz", "it's", ":::", "$(id)", ""};
    auto row = [&sources](const std::string &command, const std::vector<std::string> &lines) {
        std::vector<std::string> words{command};
        words.insert(words.end(), sources.begin(), sources.end());
        return Row{words, "", "", "", joined(lines)};
    };
    checkRows({
        row("echo {1} {2}", {"echo 'my dir/a.tar.gz' '$(id)'", "echo 'my dir/a.tar.gz' ''",
                             "echo 'it'\\''s' '$(id)'", "echo 'it'\\''s' ''"}),
        row("echo \"<{2}>\" '[{1}]'",
            {"echo \"<\"'$(id)'\">\" '[''my dir/a.tar.gz'']'",
             "echo \"<\"''\">\" '[''my dir/a.tar.gz'']'", "echo \"<\"'$(id)'\">\" '[''it'\\''s'']'",
             "echo \"<\"''\">\" '[''it'\\''s'']'"}),
        row("echo {1.} {1/} {1//} {1/.}",
            {"echo 'my dir/a.tar' a.tar.gz 'my dir' a.tar",
             "echo 'my dir/a.tar' a.tar.gz 'my dir' a.tar",
             "echo 'it'\\''s' 'it'\\''s' . 'it'\\''s'", "echo 'it'\\''s' 'it'\\''s' . 'it'\\''s'"}),
        // {} is every value, each quoted, joined by a space; {#} the tuple's position.
        row("echo {#}: {}", {"echo 1: 'my dir/a.tar.gz' '$(id)'", "echo 2: 'my dir/a.tar.gz' ''",
                             "echo 3: 'it'\\''s' '$(id)'", "echo 4: 'it'\\''s' ''"}),
        row("echo \"{}\"",
            {"echo \"\"'my dir/a.tar.gz'\" \"'$(id)'\"\"", "echo \"\"'my dir/a.tar.gz'\" \"''\"\"",
             "echo \"\"'it'\\''s'\" \"'$(id)'\"\"", "echo \"\"'it'\\''s'\" \"''\"\""}),
        // ${1} is the shell's own.
        row("echo ${1}{2}", {"echo ${1}'$(id)'", "echo ${1}''", "echo ${1}'$(id)'", "echo ${1}''"}),
    });
}

TEST(FanrunSweep, TablesHeadersTrimAndTheArgumentForms) {
    checkRows({
        {{"--colsep", ",", "echo {2} {1}", "::::", "FILE1"},
         "a b,$(x)\n,\n",
         "",
         "",
         "echo '$(x)' 'a b'\necho '' ''\n"},
        {{"--colsep", ",+", "echo", "::::", "FILE1", ":::", "z"}, "a,,b\n", "", "", "echo a b z\n"},
        // A regular expression; lines from standard input as well.
        {{"--colsep", "[;:]", "echo {3}"}, "", "", "a;b:c\n", "echo c\n"},
        // Beyond its line's columns a {N} of a table is empty.
        {{"--colsep", ",", "echo {1}-{3}"}, "", "", "a,b\n", "echo a-''\n"},
        {{"--colsep", ",", "--trim", "lr", "echo {1}:{2}"}, "", "", " a ,\tb\t\n", "echo a:b\n"},
        {{"--colsep", ",", "--trim", "l", "echo {1}:{2}"}, "", "", " a , b \n", "echo 'a ':'b '\n"},
        {{"--colsep", ",", "--trim", "r", "echo {1}:{2}"}, "", "", " a , b \n", "echo ' a':' b'\n"},
        {{"--colsep", ",", "--header", ":", "echo {colour} {size}", "::::", "FILE1"},
         "size,colour\n1,red\n2,it's\n",
         "",
         "",
         "echo red 1\necho 'it'\\''s' 2\n"},
        {{"--header", ":", "echo {b}{a}", ":::", "a", "1", "2", ":::", "b", "x"},
         "",
         "",
         "",
         "echo x1\necho x2\n"},
        {{"--header", ":", "--colsep", ",", "echo {n}"}, "", "", "n\nv w\n", "echo 'v w'\n"},
        // -I renames {}; the other strings stay.
        {{"-I", "@@", "echo @@ {} {1}", ":::", "a b"}, "", "", "", "echo 'a b' {} 'a b'\n"},
        {{"-I", "@@", "echo", ":::", "x"}, "", "", "", "echo x\n"},
        // -m fills a command; -N0 and -n0 run once per value with nothing of it.
        {{"-m", "echo", "--", "a", "b c", "d"}, "", "", "", "echo a 'b c' d\n"},
        {{"-N0", "echo hi", ":::", "a", "b"}, "", "", "", "echo hi\necho hi\n"},
        // -X repeats the word around {} for each argument, in both forms.
        {{"-X", "cp --target=out/{} x", "--", "a", "b c", "$(d)"},
         "",
         "",
         "",
         "cp --target=out/a --target=out/'b c' --target=out/'$(d)' x\n"},
        {{"-X", "cp", "-t", "out", "x{}.y", "--", "a", "b c"},
         "",
         "",
         "",
         "cp -t out xa.y x'b c'.y\n"},
        {{"-X", "echo a{}b c{}d"}, "", "", "1\n2\n", "echo a1b a2b c1d c2d\n"},
        {{"-n0", "echo {#}"}, "", "", "a\nb\n", "echo 1\necho 2\n"},
    });
}

TEST(FanrunSweep, RefusalsNameTheStringBeforeAnythingRuns) {
    checkRows({
        {{"echo {3}", ":::", "a", ":::", "b"},
         "",
         "",
         "",
         "",
         2,
         "{3} stands for a source the command line does not give: 2 sources"},
        {{"echo {2/.}"},
         "",
         "",
         "a\n",
         "",
         2,
         "{2/.} stands for a source the command line does not give: 1 source"},
        {{"-N0", "echo {1}", ":::", "a"},
         "",
         "",
         "",
         "",
         2,
         "{1} stands for a value, and with -N0 the command has none"},
        {{"echo", ":::+", "a"},
         "",
         "",
         "",
         "",
         2,
         "':::+' links a source to the one before it, and none comes before"},
        {{"echo", "::::", "-", "::::", "-"},
         "",
         "",
         "",
         "",
         2,
         "standard input (-) is named as more than one source"},
        {{"--colsep", "x*", "echo", ":::", "a"},
         "",
         "",
         "",
         "",
         2,
         "--colsep 'x*' matches the empty text: it would split between every byte"},
        {{"--trim", "both", "--colsep", ",", "echo", ":::", "a"},
         "",
         "",
         "",
         "",
         2,
         "--trim needs n, l, r, lr or rl, not 'both'"},
        {{"--header", "x", "echo", ":::", "a"},
         "",
         "",
         "",
         "",
         2,
         "the first value of source 1 (:::) does not match --header 'x': it would be taken for "
         "the names of its columns"},
        {{"-X", "echo \"{}\""},
         "",
         "",
         "a\n",
         "",
         2,
         "with -X, {} must stand bare in a word of letters, digits, _ . / , : + @ % - and =, "
         "with no other replacement string (the replacement string at byte 7)"},
        {{"-X", "echo {}{#}"},
         "",
         "",
         "a\n",
         "",
         2,
         "with -X, {} must stand bare in a word of letters, digits, _ . / , : + @ % - and =, "
         "with no other replacement string (the replacement string at byte 6)"},
        {{"-n", "2", "echo", ":::", "a", ":::", "b"},
         "",
         "",
         "",
         "",
         2,
         "-n, -N and -m take one source, without --colsep"},
        {{"echo", "::::", "-", ":::", "b"},
         "",
         "",
         std::string("a\0b\n", 4),
         "",
         2,
         "line 1 of standard input holds a NUL byte"},
    });
}

// Every byte from 1 to 255, spaces, quotes, $(...), newlines and empty values reach the commands
// as exactly their bytes, through the shell and without it, from words, files and columns.
TEST(FanrunSweep, EveryValueReachesItsCommandAsExactlyItsBytes) {
    std::string bytes;
    for (int byte = 1; byte < 256; ++byte) {
        bytes += static_cast<char>(byte);
    }
    const std::string noComma = [&bytes] {
        std::string text;
        for (char c : bytes) {
            if (c != ',' && c != '\n') {
                text += c;
            }
        }
        return text;
    }();
    const std::vector<std::string> first = {bytes, "a b", "", "$(touch no)"};
    const std::vector<std::string> second = {"'\"`", "x\ny"};
    std::string file;
    for (const std::string &value : second) {
        file += value + '\0';
    }
    std::string expected;
    for (const std::string &a : first) {
        for (const std::string &b : second) {
            expected += b + '\0' + a + '\0';
        }
    }
    std::string table;
    std::string tableExpected;
    for (const auto &[a, b] : std::vector<std::pair<std::string, std::string>>{
             {noComma, ""}, {"'", "$(touch no)"}, {"", noComma}}) {
        table += a + "," + b + "\n";
        tableExpected += b + '\0' + a + '\0';
    }
    struct Case {
        std::vector<std::string> command;
        bool table;
    };
    const Case cases[] = {
        {{"printf '%s\\0' {2} {1}"}, false},
        {{"printf", "%s\\0", "{2}", "{1}"}, false},
        {{"--shell", "printf", "%s\\0", "{2}", "{1}"}, false},
        {{"printf '%s\\0' {2} {1}"}, true},
        {{"printf", "%s\\0", "{2}", "{1}"}, true},
    };
    for (const Case &c : cases) {
        TempDir dir;
        writeFile(dir / "second", file);
        writeFile(dir / "table", table);
        std::vector<std::string> words{"-k", "-j", "3"};
        if (c.table) {
            words.insert(words.end(), {"--colsep", ","});
        } else {
            words.push_back("-0");
        }
        words.insert(words.end(), c.command.begin(), c.command.end());
        if (c.table) {
            words.insert(words.end(), {"::::", dir / "table"});
        } else {
            words.push_back(":::");
            words.insert(words.end(), first.begin(), first.end());
            words.insert(words.end(), {"::::", dir / "second"});
        }
        StartOptions options;
        options.workDir = dir.path().string();
        const Outcome outcome = runFanrun(dir, words, options);
        const std::string label = ::testing::PrintToString(c.command) + (c.table ? " table" : "");
        EXPECT_EQ(outcome.code(), 0) << label << outcome.err;
        EXPECT_EQ(outcome.out, c.table ? tableExpected : expected) << label;
        EXPECT_FALSE(fs::exists(dir / "no")) << label;
    }
}

// The first source streams: a command runs while it is still open.
TEST(FanrunSweep, TheFirstSourceStreamsWhileTheOthersAreHeld) {
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string marks = dir / "marks";
    fs::create_directory(marks);
    Program program = startFanrun(
        dir, {"-o", dir / "out", "touch " + marks + "/{1}{2}", "::::", fifo, ":::", "1", "2"});
    FILE *writer = fopen(fifo.c_str(), "w");
    ASSERT_NE(writer, nullptr);
    fputs("a\n", writer);
    fflush(writer);
    EXPECT_TRUE(eventually([&] { return fs::exists(marks + "/a2"); }));
    fputs("b\n", writer);
    fclose(writer);
    const Outcome outcome = program.finish();
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    std::vector<std::string> made;
    for (const auto &entry : fs::directory_iterator(marks)) {
        made.push_back(entry.path().filename().string());
    }
    std::sort(made.begin(), made.end());
    EXPECT_EQ(made, (std::vector<std::string>{"a1", "a2", "b1", "b2"}));
}

// The log keys a tuple by its values, a field each, escaped; resume matches tuples by bytes and
// occurrence; --failed lists what is left so that --colsep '\t' reads it back as the same tuples.
TEST(FanrunSweep, ResumeAndFailedTakeTuples) {
    TempDir dir;
    const std::string log = dir / "log";
    const std::vector<std::string> sources = {":::", "a\\b", "c d", "a\\b", ":::", "1", "2"};
    std::vector<std::string> first{"-k", "--joblog", log, "echo {1}/{2}; test {2} = 1"};
    first.insert(first.end(), sources.begin(), sources.end());
    const Outcome ran = runFanrun(dir, first);
    EXPECT_EQ(ran.code(), 123) << ran.err;
    EXPECT_EQ(ran.out, "a\\b/1\na\\b/2\nc d/1\nc d/2\na\\b/1\na\\b/2\n");
    // The tuple's fields: the occurrence, then a value each.
    std::vector<std::string> ends;
    for (const std::string &line : lines(readFile(log))) {
        if (line.rfind("end\t", 0) == 0) {
            ends.push_back(line.substr(line.find('\t', line.find('\t', 0) + 1) + 1));
        }
    }
    std::vector<std::string> fields;
    for (const std::string &end : ends) {
        // Past runtime, exit, signal, attempt.
        size_t at = 0;
        for (int i = 0; i < 4; ++i) {
            at = end.find('\t', at) + 1;
        }
        fields.push_back(end.substr(at));
    }
    std::sort(fields.begin(), fields.end());
    EXPECT_EQ(fields, (std::vector<std::string>{"1\ta\\\\b\t1", "1\ta\\\\b\t2", "1\tc d\t1",
                                                "1\tc d\t2", "2\ta\\\\b\t1", "2\ta\\\\b\t2"}));

    const Outcome left = runFanrun(dir, {"--failed", log});
    EXPECT_EQ(left.code(), 0) << left.err;
    // Once each, as for single arguments.
    EXPECT_EQ(left.out, "a\\b\t2\nc d\t2\n");
    writeFile(dir / "left", left.out);

    // Read back as the same tuples, they are what a resumed run would run.
    std::vector<std::string> resumed{"-k", "--joblog", log, "--resume-failed", "echo {1}/{2}"};
    std::vector<std::string> dry{"--dry-run", "--colsep", "\t"};
    dry.insert(dry.end(), resumed.begin(), resumed.end());
    dry.insert(dry.end(), {"::::", dir / "left"});
    const Outcome shown = runFanrun(dir, dry);
    EXPECT_EQ(shown.code(), 0) << shown.err;
    EXPECT_EQ(shown.out, "echo 'a\\b'/2\necho 'c d'/2\n");

    resumed.insert(resumed.end(), sources.begin(), sources.end());
    const Outcome again = runFanrun(dir, resumed);
    EXPECT_EQ(again.code(), 0) << again.err;
    EXPECT_EQ(again.out, "a\\b/2\nc d/2\na\\b/2\n");
    const Outcome none = runFanrun(dir, {"--failed", log});
    EXPECT_EQ(none.code(), 0) << none.err;
    EXPECT_EQ(none.out, "");
}

// A value with a newline is listed with -0, and read back with -0 --colsep '\t'.
TEST(FanrunSweep, FailedListsTuplesWithNewlinesUnderNul) {
    TempDir dir;
    const std::string log = dir / "log";
    const Outcome ran =
        runFanrun(dir, {"-k", "--joblog", log, "false", ":::", "x\ny", "", ":::", "1"});
    EXPECT_EQ(ran.code(), 123) << ran.err;
    const Outcome lined = runFanrun(dir, {"--failed", log});
    EXPECT_EQ(lined.code(), 2);
    const Outcome left = runFanrun(dir, {"--failed", "-0", log});
    EXPECT_EQ(left.code(), 0) << left.err;
    EXPECT_EQ(left.out, std::string("x\ny\t1\0\t1\0", 9));
    writeFile(dir / "left", left.out);
    const Outcome shown = runFanrun(dir, {"--dry-run", "--joblog", log, "--resume-failed", "-0",
                                          "--colsep", "\t", "echo {1}-{2}", "::::", dir / "left"});
    EXPECT_EQ(shown.code(), 0) << shown.err;
    EXPECT_EQ(shown.out, "echo $'x\\ny'-1\necho ''-1\n");
}

// The names of --header's columns: {NAME} and its parts, each quoted for where it stands exactly
// as {N} and its parts are; a REGEX that each source's first value must match.
TEST(FanrunSweep, NamedColumnsAndTheirPartsAreQuotedAsThePositionalOnes) {
    const std::string table = "file;n\nmy dir/a.tar.gz;1\n$(id).x;\nit's/b.c;3\n";
    checkRows({
        {{"--colsep", ";", "--header", ":", "echo {file.} \"{file/}\" '[{file//}]' x{file/.}y {n}",
          "::::", "FILE1"},
         table,
         "",
         "",
         joined({"echo 'my dir/a.tar' \"a.tar.gz\" '[''my dir'']' xa.tary 1",
                 "echo '$(id)' \"\"'$(id).x'\"\" '[.]' x'$(id)'y ''",
                 "echo 'it'\\''s/b' \"b.c\" '[''it'\\''s'']' xby 3"})},
        // The words form, without the shell: each part a word of its own.
        {{"--colsep", ";", "--header", ":", "printf", "%s|", "{file.}", "{file/}", "{file//}",
          "{file/.}", "{n}", "::::", "FILE1"},
         table,
         "",
         "",
         joined({"printf '%s|' 'my dir/a.tar' a.tar.gz 'my dir' a.tar 1",
                 "printf '%s|' '$(id)' '$(id).x' . '$(id)' ''",
                 "printf '%s|' 'it'\\''s/b' b.c 'it'\\''s' b 3"})},
        // The same parts as {1.} ... give.
        {{"--colsep", ";", "--header", ":",
          "echo {1.}{1/}{1//}{1/.}={file.}{file/}{file//}{file/.}", "::::", "FILE1"},
         "file\na.b/c.d\n",
         "",
         "",
         "echo a.b/cc.da.bc=a.b/cc.da.bc\n"},
        // A newline and a high byte under -0; a name of -, _ and digits; a value named a.
        {{"-0", "--header", ":", "echo {f/.} {f//} {my_f-2/}", "::::", "-", ":::", "my_f-2",
          "x/\xff.y"},
         "",
         "",
         std::string("f\0a\nb/c.d\0", 10),
         "echo c $'a\\nb' '\xff.y'\n"},
        // Of a name and a longer one that ends like a part, the whole name.
        {{"--header", ":", "echo {a.} {a}", ":::", "a", "x.y", ":::", "a.", "z"},
         "",
         "",
         "",
         "echo z x.y\n"},
        // --header REGEX: each first value must match at its start; ':' and '.*' take any.
        {{"--colsep", ",", "--header", "^size,", "echo {colour} {size}", "::::", "FILE1"},
         "size,colour\n1,red\n2,it's\n",
         "",
         "",
         "echo red 1\necho 'it'\\''s' 2\n"},
        {{"--header", "^[a-z]+$", "echo {b}{a}", ":::", "a", "1", "2", ":::", "b", "x y"},
         "",
         "",
         "",
         "echo 'x y'1\necho 'x y'2\n"},
        {{"--colsep", "\t", "--header", ".*", "echo {n}"},
         "",
         "",
         "n\tm\nv w\tx\n",
         "echo 'v w'\n"},
        // ${NAME} is the shell's; a brace group with a blank is no name.
        {{"--header", ":", "echo ${x} {print $1} {y}", ":::", "y", "1"},
         "",
         "",
         "",
         "echo ${x} {print $1} 1\n"},
        // Empty sources have no names and run nothing: nothing to refuse.
        {{"--colsep", ",", "--header", "^x", "echo {x} {nosuch}"}, "", "", "", ""},
    });
}

TEST(FanrunSweep, ANameOrHeaderThatDoesNotFitIsRefusedBeforeAnythingRuns) {
    const std::string table = "file,n\na,1\n";
    auto refused = [&table](std::vector<std::string> words, const std::string &message) {
        return Row{std::move(words), table, "", "", "", 2, message};
    };
    checkRows({
        refused({"--colsep", ",", "--header", ":", "echo {nosuch}", "::::", "FILE1"},
                "{nosuch} names no column: the header does not have it"),
        refused({"--colsep", ",", "--header", ":", "echo {file} \"{nosuch/.}\"", "::::", "FILE1"},
                "{nosuch/.} names no column: the header does not have it"),
        refused({"--colsep", ",", "--header", ":", "--raw", "echo {n.}{fil.}", "::::", "FILE1"},
                "{fil.} names no column: the header does not have it"),
        refused({"--colsep", ",", "--header", ":", "echo", "{File//}", "::::", "FILE1"},
                "{File//} names no column: the header does not have it"),
        refused({"--colsep", ",", "--header", "^n,", "echo {n}", "::::", "FILE1"},
                "the first value of FILE1 does not match --header '^n,': it would be taken for the "
                "names of its "
                "columns"),
        refused({"--header", "^[a-z]$", "echo {a}", ":::", "a", "1", ":::", "B", "2"},
                "the first value of source 2 (:::) does not match --header '^[a-z]$': it would "
                "be taken for the names of its columns"),
        refused({"--colsep", ",", "--header", "(", "echo {n}", "::::", "FILE1"},
                "the header '(' is not a regular expression: Unmatched ( or \\("),
    });
}

// What a sweep over -a files left (failed, or never started when it halted) is listed by
// --failed given the same files, and a rerun from that list runs exactly those tuples again.
TEST(FanrunSweep, FailedGivenTheFilesListsTheTuplesLeftAndItsListRerunsExactlyThem) {
    struct Case {
        std::string label;
        std::vector<std::string> options;    // of the run, --failed and the rerun alike
        std::vector<std::string> rerunForm;  // how the rerun reads the list
        std::string first, second;           // the -a files
        std::vector<std::string> left;       // the tuples the rerun runs, as the command shows them
        std::string listed;                  // the list --failed writes
        std::vector<std::string> runOptions; // of the first run only
    };
    // The command fails for every value 2, and prints its values.
    const std::string command = "printf '<%s|%s>\\n' {1} {2}; test {2} != 2";
    const std::vector<Case> cases = {
        {"lines",
         {},
         {"--colsep", "\t"},
         "a b\nit's\n$(touch no)\n\xff\xfe\n",
         "1\n2\n",
         {"<a b|2>", "<it's|2>", "<$(touch no)|2>", "<\xff\xfe|2>"},
         "a b\t2\nit's\t2\n$(touch no)\t2\n\xff\xfe\t2\n",
         {}},
        // Empty values and newlines go under -0.
        {"nul",
         {"-0"},
         {"-0", "--colsep", "\t"},
         std::string("x\ny\0\0", 5),
         std::string("2\0"
                     "1\0",
                     4),
         {"<x\ny|2>", "<|2>"},
         std::string("x\ny\t2\0\t2\0", 9),
         {}},
        // A run halted at its first failure never started the rest: they are listed too.
        {"halted",
         {},
         {"--colsep", "\t"},
         "p\nq\n",
         "2\n1\n",
         {"<p|2>", "<p|1>", "<q|2>", "<q|1>"},
         "p\t2\np\t1\nq\t2\nq\t1\n",
         {"--halt", "now,fail=1"}},
        // A table with a header: the names come first, for the rerun's --header.
        {"header",
         {"--colsep", ",", "--header", ":"},
         {"--colsep", "\t", "--header", ":"},
         "n,m\nv w,\"q\"\n",
         "k\n1\n2\n",
         {"<v w|\"q\">"},
         "n\tm\tk\nv w\t\"q\"\t2\n",
         {}},
    };
    for (const Case &c : cases) {
        TempDir dir;
        const std::string log = dir / "log";
        writeFile(dir / "first", c.first);
        writeFile(dir / "second", c.second);
        const bool header = c.label == "header";
        // With the header the command names the columns.
        const std::string run = header ? "printf '<%s|%s>\\n' {n} {m}; test {k} != 2" : command;
        std::vector<std::string> words = {"-j", "1", "-k", "--joblog", log};
        words.insert(words.end(), c.runOptions.begin(), c.runOptions.end());
        words.insert(words.end(), c.options.begin(), c.options.end());
        words.insert(words.end(), {"-a", dir / "first", "-a", dir / "second", run});
        StartOptions options;
        options.workDir = dir.path().string();
        const Outcome ran = runFanrun(dir, words, options);
        EXPECT_EQ(ran.code(), 123) << c.label << ran.err;

        std::vector<std::string> failed = {"--failed"};
        failed.insert(failed.end(), c.options.begin(), c.options.end());
        failed.insert(failed.end(), {"-a", dir / "first", "-a", dir / "second", log});
        const Outcome listed = runFanrun(dir, failed);
        EXPECT_EQ(listed.code(), 0) << c.label << listed.err;
        EXPECT_EQ(listed.out, c.listed) << c.label;
        // The same list from the :::: form.
        failed.erase(failed.end() - 5, failed.end());
        failed.insert(failed.end(), {log, "::::", dir / "first", dir / "second"});
        EXPECT_EQ(runFanrun(dir, failed).out, c.listed) << c.label;
        writeFile(dir / "left", listed.out);

        std::vector<std::string> rerun = {"-j", "1", "-k", "--joblog", log, "--resume-failed"};
        rerun.insert(rerun.end(), c.rerunForm.begin(), c.rerunForm.end());
        rerun.insert(rerun.end(), {run, "::::", dir / "left"});
        const Outcome again = runFanrun(dir, rerun, options);
        EXPECT_EQ(again.code(), c.left.empty() ? 0 : 123) << c.label << again.err;
        EXPECT_EQ(again.out, joined(c.left)) << c.label;
        EXPECT_FALSE(fs::exists(dir / "no")) << c.label;
    }
}
