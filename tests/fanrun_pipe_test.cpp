// Tests of the front end's --pipe and --pipe-part as a program: the input cut into blocks at
// record ends, every block the input of one command, and nothing lost or doubled whatever the
// block size, the separators and the records' shape; the block's identity in the job log, its
// retries, its file or FIFO, and commands that leave their block unread; and --round-robin, the
// blocks in turn to a few long-lived commands.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fanrun_run.h"

namespace {

using namespace fanrun_run;
namespace fs = std::filesystem;

// Written after every block by the commands that show where blocks end; no test input holds it.
constexpr char marker = '\x1e';
const std::vector<std::string> showBlock = {"sh", "-c", "cat; printf '\\036'"};

// How the input reaches fanrun.
enum class Feed {
    file,     // --pipe, standard input a regular file: cut where it stands
    pipe,     // --pipe, standard input a pipe: read into blocks
    filePart, // --pipe-part -a FILE
};

const Feed everyFeed[] = {Feed::file, Feed::pipe, Feed::filePart};

const char *feedName(Feed feed) {
    return feed == Feed::file ? "file" : feed == Feed::pipe ? "pipe" : "pipe-part";
}

// fanrun with options (and -k, unless keepOrder is false) before the command words, fed input as
// feed says.
Outcome runPipe(const TempDir &dir, Feed feed, std::vector<std::string> options,
                const std::vector<std::string> &command, const std::string &input,
                bool keepOrder = true, StartOptions start = {}) {
    const std::string path = dir / "input";
    writeFile(path, input);
    std::vector<std::string> arguments;
    if (feed == Feed::filePart) {
        arguments = {"--pipe-part", "-a", path};
    } else {
        arguments = {"--pipe"};
    }
    if (keepOrder) {
        arguments.emplace_back("-k");
    }
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.insert(arguments.end(), command.begin(), command.end());
    start.inputPath = path;
    if (feed == Feed::pipe) {
        start.wrapper = {"sh", "-c", "cat \"$0\" | \"$@\"", path};
    }
    return runFanrun(dir, arguments, start);
}

// The blocks as the commands saw them, from output that ends each with the marker.
std::vector<std::string> blocksOf(const std::string &out) {
    std::vector<std::string> blocks;
    size_t from = 0;
    for (size_t at = out.find(marker); at != std::string::npos; at = out.find(marker, from)) {
        blocks.push_back(out.substr(from, at - from));
        from = at + 1;
    }
    EXPECT_EQ(from, out.size()) << "output after the last block";
    return blocks;
}

std::string randomLines(unsigned seed, size_t bytes, size_t longest) {
    std::mt19937 random(seed);
    std::string text;
    while (text.size() < bytes) {
        const size_t length = random() % (longest + 1);
        for (size_t i = 0; i < length; ++i) {
            text += static_cast<char>('a' + random() % 26);
        }
        text += '\n';
    }
    return text;
}

std::string randomBytes(unsigned seed, size_t bytes) {
    std::mt19937 random(seed);
    std::string text;
    for (size_t i = 0; i < bytes; ++i) {
        text += static_cast<char>(random() % 256);
    }
    return text;
}

std::string repeatedLines(size_t count, size_t length) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += std::string(length, static_cast<char>('a' + i % 26)) + '\n';
    }
    return text;
}

struct Shape {
    const char *name;
    std::string input;
    std::vector<std::string> options;
};

std::vector<Shape> shapes() {
    std::string noFinalNewline = randomLines(3, 20000, 90);
    noFinalNewline += "the last record has no newline";
    return {
        {"random lines, 1 byte blocks", randomLines(1, 400, 40), {"--block", "1"}},
        {"random lines, 7 byte blocks", randomLines(2, 1500, 30), {"--block", "7"}},
        {"random lines, 4k blocks", randomLines(4, 200000, 300), {"--block", "4k"}},
        {"random lines, 64k blocks", randomLines(5, 600000, 2000), {"--block", "64k"}},
        {"random lines, default block", randomLines(6, 3000000, 100), {}},
        {"lines ending at the block's edge", repeatedLines(60, 63), {"--block", "64"}},
        {"lines one past the block's edge", repeatedLines(60, 64), {"--block", "64"}},
        {"no final newline", noFinalNewline, {"--block", "1k"}},
        {"empty input", "", {"--block", "10"}},
        {"a record larger than the block",
         "short\n" + std::string(10000, 'x') + "\nshort again\n" + std::string(5000, 'y'),
         {"--block", "100"}},
        {"binary cut anywhere", randomBytes(7, 300000), {"--recend", "", "--block", "10000"}},
        {"binary with a two-byte separator",
         randomBytes(8, 90000),
         {"--recend", std::string("\r\n"), "--block", "3000"}},
        {"records of three lines", randomLines(9, 20000, 50), {"-L", "3", "--block", "500"}},
        {"five records a block", randomLines(10, 5000, 50), {"-N", "5"}},
        {"FASTA records",
         ">a\nACGT\nAC\n>b\nTT\n>c\n" + randomLines(11, 8000, 60),
         {"--recstart", ">", "--block", "200"}},
        {"regular expression records",
         "x12y345z6" + randomLines(12, 10000, 20),
         {"--regexp", "--recend", "[0-9]+|\n", "--recstart", "[a-z]", "--block", "300"}},
    };
}

// Concatenated in input order, the blocks are the input byte for byte, however it comes.
TEST(FanrunPipe, KeptInOrderTheBlocksReproduceTheInput) {
    for (const Shape &shape : shapes()) {
        for (Feed feed : everyFeed) {
            SCOPED_TRACE(std::string(shape.name) + " via " + feedName(feed));
            TempDir dir;
            const Outcome outcome = runPipe(dir, feed, shape.options, {"cat"}, shape.input);
            EXPECT_EQ(outcome.code(), 0) << outcome.err;
            EXPECT_TRUE(outcome.out == shape.input)
                << "output of " << outcome.out.size() << " bytes for " << shape.input.size();
        }
    }
}

// Every block but the last ends where a record ends, and holds no more than the block size
// unless it is one record alone.
TEST(FanrunPipe, EveryBlockEndsAtARecordEndWithinTheBlockSize) {
    struct Case {
        const char *name;
        std::string input;
        size_t block;
        std::string separator;
    };
    const Case cases[] = {
        {"newlines", randomLines(21, 10000, 80), 256, "\n"},
        {"newlines at every edge", repeatedLines(60, 31), 32, "\n"},
        {"a long record among short ones",
         randomLines(22, 2000, 10) + std::string(3000, 'l') + "\n" + randomLines(23, 2000, 10), 100,
         "\n"},
        {"semicolons", "a;bb;;ccc;dddd;" + std::string(50, 'e') + ";f", 8, ";"},
    };
    for (const Case &test : cases) {
        for (Feed feed : everyFeed) {
            SCOPED_TRACE(std::string(test.name) + " via " + feedName(feed));
            TempDir dir;
            std::vector<std::string> options = {"--block", std::to_string(test.block)};
            if (test.separator != "\n") {
                options.insert(options.end(), {"--recend", test.separator});
            }
            const Outcome outcome = runPipe(dir, feed, options, showBlock, test.input);
            ASSERT_EQ(outcome.code(), 0) << outcome.err;
            const std::vector<std::string> blocks = blocksOf(outcome.out);
            std::string joined;
            for (size_t i = 0; i < blocks.size(); ++i) {
                const std::string &block = blocks[i];
                joined += block;
                ASSERT_FALSE(block.empty()) << "block " << i;
                if (i + 1 < blocks.size()) {
                    EXPECT_TRUE(block.ends_with(test.separator)) << "block " << i << ": " << block;
                }
                const size_t inside = block.find(test.separator);
                const bool oneRecord =
                    inside == std::string::npos || inside + test.separator.size() >= block.size();
                EXPECT_TRUE(block.size() <= test.block || oneRecord)
                    << "block " << i << " of " << block.size() << " bytes";
            }
            EXPECT_TRUE(joined == test.input);
        }
    }
}

// The record options cut these blocks, whole outputs compared; a "|" line follows each block.
TEST(FanrunPipe, RecordOptionsCutTheseBlocks) {
    struct Case {
        const char *name;
        std::vector<std::string> options;
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"-N 2", {"-N", "2"}, "a1\na2\nb1\nb2\nc1\n", "a1\na2\n|\nb1\nb2\n|\nc1\n|\n"},
        {"-L 2",
         {"-L", "2", "--block", "6"},
         "a1\na2\nb1\nb2\nc1\n",
         "a1\na2\n|\nb1\nb2\n|\nc1\n|\n"},
        {"-L 2 -N 1",
         {"-L", "2", "-N", "1"},
         "a1\na2\nb1\nb2\nc1\n",
         "a1\na2\n|\nb1\nb2\n|\nc1\n|\n"},
        {"block size", {"--block", "4"}, "a\nb\nc\nd\n", "a\nb\n|\nc\nd\n|\n"},
        {"--rrs", {"--block", "4", "--rrs"}, "a\nb\nc\nd\n", "ab|\ncd|\n"},
        {"--recstart",
         {"--recstart", ">", "-N", "1"},
         ">x\nAC\n>y\nGT\n",
         ">x\nAC\n|\n>y\nGT\n|\n"},
        {"--recstart by size",
         {"--recstart", ">", "--block", "8"},
         ">x\nAC\n>y\nGT\n>z\nTT\n",
         ">x\nAC\n|\n>y\nGT\n|\n>z\nTT\n|\n"},
        {"--recstart --rrs",
         {"--recstart", ">", "-N", "2", "--rrs"},
         ">x\nAC\n>y\nGT\n>z\nTT\n",
         "x\nAC\ny\nGT\n|\nz\nTT\n|\n"},
        {"--recend and --recstart",
         {"--recend", "\n", "--recstart", ">", "-N", "1"},
         "a\n>b\nc\n>d",
         "a\n|\n>b\nc\n|\n>d|\n"},
        {"--header :",
         {"--header", ":", "-N", "2"},
         "h1\nr1\nr2\nr3\n",
         "h1\nr1\nr2\n|\nh1\nr3\n|\n"},
        {"--header regex",
         {"--header", "h.*\n", "--block", "6"},
         "h1\nr1\nr2\nr3\n",
         "h1\nr1\nr2\n|\nh1\nr3\n|\n"},
        {"--header of two lines",
         {"--header", "(#.*\n)+", "-N", "1"},
         "#a\n#b\nr1\nr2\n",
         "#a\n#b\nr1\n|\n#a\n#b\nr2\n|\n"},
        {"--recend ;", {"--recend", ";", "-N", "1"}, "a;b;;c;d", "a;|\nb;|\n;|\nc;|\nd|\n"},
        {"--recend ; --rrs", {"--recend", ";", "--rrs", "-N", "2"}, "a;b;c;d", "ab|\ncd|\n"},
        {"--regexp",
         {"--regexp", "--recend", "[0-9]+", "--recstart", "[a-z]", "-N", "1"},
         "x12y345z6",
         "x12|\ny345|\nz6|\n"},
        {"--regexp -N 2",
         {"--regexp", "--recend", "[0-9]+", "--recstart", "[a-z]", "-N", "2"},
         "x12y345z6",
         "x12y345|\nz6|\n"},
        {"a record larger than the block",
         {"--block", "3"},
         "aaaaaaaaaa\nb\n",
         "aaaaaaaaaa\n|\nb\n|\n"},
        {"no final newline", {"--block", "2"}, "a\nbc", "a\n|\nbc|\n"},
    };
    for (const Case &test : cases) {
        for (Feed feed : everyFeed) {
            SCOPED_TRACE(std::string(test.name) + " via " + feedName(feed));
            TempDir dir;
            const Outcome outcome =
                runPipe(dir, feed, test.options, {"sh", "-c", "cat; echo '|'"}, test.input);
            EXPECT_EQ(outcome.code(), 0) << outcome.err;
            EXPECT_EQ(outcome.out, test.expected);
        }
    }
}

// More input can make an expression's match longer, so a block is not cut at a match that the
// next bytes could still extend, however the input is split as it arrives.
TEST(FanrunPipe, AnExpressionsMatchIsCutWholeWhenTheInputArrivesInPieces) {
    TempDir dir;
    StartOptions start;
    start.wrapper = {"sh", "-c", "{ printf xaba; sleep 0.3; printf 'by\\n'; } | \"$@\"", "sh"};
    const Outcome outcome = runFanrun(
        dir,
        {"--pipe", "-k", "--regexp", "--recend", "(ab)+", "-N", "1", "sh", "-c", "cat; echo '|'"},
        start);
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(outcome.out, "xabab|\ny\n|\n");
}

// A block that finds no room in $TMPDIR is the runner's failure, not the input's: exit 1, and
// the folder of blocks is gone.
TEST(FanrunPipe, BlocksThatFindNoRoomFailTheRunnerNotTheInput) {
    TempDir dir;
    const std::string small = dir / "small";
    fs::create_directory(small);
    SmallTmpfs space(small, "64k");
    if (!space.mounted()) {
        SKIP_UNLESS_CI("cannot mount a tmpfs: " << strerror(space.error()));
    }
    StartOptions start;
    start.environment = {"TMPDIR=" + small};
    const Outcome outcome = runPipe(dir, Feed::pipe, {"--cat", "--block", "100k", "-j", "1"},
                                    {"wc", "-c", "{}"}, randomLines(13, 400000, 80), true, start);
    EXPECT_TRUE(outcome.exitedWith(1)) << outcome.err;
    EXPECT_NE(outcome.err.find("fanrun: cannot hold a block: No space left on device; no further "
                               "command was started\n"),
              std::string::npos)
        << outcome.err;
    EXPECT_TRUE(fs::is_empty(small));
}

// With a negative --block, -a FILE is cut into that many parts for each job slot.
TEST(FanrunPipe, ANegativeBlockGivesEachJobSlotThatManyParts) {
    TempDir dir;
    const std::string input = repeatedLines(8, 9);
    const Outcome outcome =
        runPipe(dir, Feed::filePart, {"--block", "-2", "-j", "2"}, showBlock, input);
    ASSERT_EQ(outcome.code(), 0) << outcome.err;
    const std::vector<std::string> blocks = blocksOf(outcome.out);
    ASSERT_EQ(blocks.size(), 4U);
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i], input.substr(i * 20, 20));
    }
}

// The job log and --tag name a block by its number and its bytes in the input.
TEST(FanrunPipe, TheJobLogAndTagNameABlockByNumberAndBytes) {
    for (Feed feed : everyFeed) {
        SCOPED_TRACE(feedName(feed));
        TempDir dir;
        const std::string log = dir / "log";
        const Outcome outcome = runPipe(dir, feed, {"--block", "10", "--tag", "--joblog", log},
                                        {"cat"}, "aaaa\nbbbb\ncccc\n");
        ASSERT_EQ(outcome.code(), 0) << outcome.err;
        EXPECT_EQ(outcome.out, "block 1 bytes 0-9\taaaa\nblock 1 bytes 0-9\tbbbb\n"
                               "block 2 bytes 10-14\tcccc\n");
        std::vector<std::string> ends;
        for (const std::string &line : lines(readFile(log))) {
            if (line.rfind("end\t", 0) == 0) {
                ends.push_back(line.substr(line.rfind('\t') + 1));
            }
        }
        std::sort(ends.begin(), ends.end());
        EXPECT_EQ(ends, (std::vector<std::string>{"block 1 bytes 0-9", "block 2 bytes 10-14"}));
    }
}

// A retry reads its block again from the start: the block is kept while a retry may come.
TEST(FanrunPipe, ARetriedCommandReadsItsWholeBlockAgain) {
    for (Feed feed : everyFeed) {
        SCOPED_TRACE(feedName(feed));
        TempDir dir;
        const std::string input = randomLines(31, 30000, 60);
        // Every block's first attempt reads its block, then fails; the second shows it.
        const std::string seen = dir / "seen";
        const std::string keep = "t=" + dir / "block" +
                                 ".$$; cat > $t; n=$(cksum < $t | tr ' ' _); " + "if [ -e " + seen +
                                 ".$n ]; then cat $t; else touch " + seen + ".$n; exit 1; fi";
        const Outcome outcome =
            runPipe(dir, feed, {"--block", "2k", "--retries", "1"}, {"sh", "-c", keep}, input);
        EXPECT_EQ(outcome.code(), 0) << outcome.err;
        EXPECT_TRUE(outcome.out == input);
    }
}

// --cat and --fifo put the block in a file or FIFO named by {}, removed once it is done.
TEST(FanrunPipe, CatAndFifoNameTheBlocksFileAndRemoveIt) {
    for (const char *option : {"--cat", "--fifo"}) {
        for (Feed feed : everyFeed) {
            SCOPED_TRACE(std::string(option) + " via " + feedName(feed));
            TempDir dir;
            const std::string input = randomLines(41, 100000, 70);
            const std::string place = dir / "tmp";
            fs::create_directories(place);
            const std::string path = dir / "input";
            writeFile(path, input);
            std::vector<std::string> arguments = {"-k", option, "--block", "8k"};
            if (feed == Feed::filePart) {
                arguments.insert(arguments.begin(), {"--pipe-part", "-a", path});
            } else {
                arguments.insert(arguments.begin(), "--pipe");
            }
            arguments.insert(arguments.end(), {"sh", "-c", "cat \"$1\"", "sh", "{}"});
            StartOptions start;
            start.inputPath = path;
            start.environment = {"TMPDIR=" + place};
            if (feed == Feed::pipe) {
                start.wrapper = {"sh", "-c", "cat \"$0\" | \"$@\"", path};
            }
            const Outcome outcome = runFanrun(dir, arguments, start);
            EXPECT_EQ(outcome.code(), 0) << outcome.err;
            EXPECT_TRUE(outcome.out == input);
            EXPECT_TRUE(fs::is_empty(place)) << "left in " << place;
        }
    }
}

// A command that leaves its block unread succeeds or fails by its exit status alone, and the
// rest of the block is dropped: the run neither waits for it nor gives it to another command.
TEST(FanrunPipe, ACommandThatLeavesItsBlockUnreadCountsByItsStatus) {
    struct Case {
        const char *name;
        std::vector<std::string> command;
        int code;
        std::string out;
    };
    const std::string input = repeatedLines(4, 200000);
    const Case cases[] = {
        {"exits 0 unread", {"true"}, 0, ""},
        {"fails unread", {"false"}, 123, ""},
        {"reads one byte", {"head", "-c", "1"}, 0, "abcd"},
    };
    for (const Case &test : cases) {
        for (Feed feed : everyFeed) {
            SCOPED_TRACE(std::string(test.name) + " via " + feedName(feed));
            TempDir dir;
            const Outcome outcome = runPipe(dir, feed, {"--block", "100k"}, test.command, input);
            EXPECT_EQ(outcome.code(), test.code) << outcome.err;
            EXPECT_EQ(outcome.out, test.out);
        }
    }
}

// --halt soon starts no block's command after the first one that failed.
TEST(FanrunPipe, HaltingStopsGivingOutBlocks) {
    for (Feed feed : everyFeed) {
        SCOPED_TRACE(feedName(feed));
        TempDir dir;
        const Outcome outcome = runPipe(dir, feed, {"-j", "1", "--block", "4", "--halt", "soon"},
                                        {"sh", "-c", "cat; exit 1"}, "a\nb\nc\nd\ne\nf\n");
        EXPECT_EQ(outcome.code(), 123) << outcome.err;
        EXPECT_EQ(outcome.out, "a\nb\n");
    }
}

// A reader of fanrun's output that goes away stops the run: no further block is cut or started.
TEST(FanrunPipe, AReaderThatLeavesStopsGivingOutBlocks) {
    for (Feed feed : everyFeed) {
        SCOPED_TRACE(feedName(feed));
        TempDir dir;
        const std::string path = dir / "input";
        const std::string log = dir / "log";
        // 100 blocks; each command writes more than a pipe holds.
        writeFile(path, repeatedLines(100, 99));
        std::vector<std::string> arguments = {"--pipe",  "-j",  "2",        "-g",
                                              "--block", "100", "--joblog", log};
        if (feed == Feed::filePart) {
            arguments = {"--pipe-part", "-a",      path,  "-j",       "2",
                         "-g",          "--block", "100", "--joblog", log};
        }
        arguments.insert(arguments.end(), {"sh", "-c", "cat; head -c 300000 /dev/zero"});
        StartOptions start;
        start.inputPath = path;
        const std::string head = "\"$@\" | head -c 1 >/dev/null; exit \"${PIPESTATUS[0]}\"";
        start.wrapper = {"bash", "-c", head, "head"};
        if (feed == Feed::pipe) {
            start.wrapper = {"bash", "-c",
                             "cat \"$0\" | \"$@\" | head -c 1 >/dev/null; exit "
                             "\"${PIPESTATUS[1]}\"",
                             path};
        }
        const Outcome outcome = runFanrun(dir, arguments, start);
        EXPECT_EQ(outcome.code(), 1) << outcome.err;
        long started = 0;
        for (const std::string &line : lines(readFile(log))) {
            started += line.rfind("start\t", 0) == 0 ? 1 : 0;
        }
        EXPECT_GE(started, 1);
        EXPECT_LE(started, 4);
    }
}

// ---- --round-robin: blocks in turn to -j long-lived commands -----------------------------------

// Numbered lines, so that each one's place in the input shows in any command's output.
std::string numberedLines(size_t count, size_t width) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        std::string number = std::to_string(i);
        number.insert(0, 8 - number.size(), '0');
        text += number + std::string(width, static_cast<char>('a' + i % 26)) + '\n';
    }
    return text;
}

size_t lineNumber(const std::string &line) {
    return std::stoul(line.substr(0, 8));
}

// Output of --tag, as each command wrote it: the lines by the command's identity.
std::map<std::string, std::vector<std::string>> byCommand(const std::string &out) {
    std::map<std::string, std::vector<std::string>> commands;
    for (const std::string &line : lines(out)) {
        const size_t tab = line.find('\t');
        EXPECT_NE(tab, std::string::npos) << line;
        if (tab != std::string::npos) {
            commands[line.substr(0, tab)].push_back(line.substr(tab + 1));
        }
    }
    return commands;
}

// The commands' lines put back in input order are the input byte for byte, each command's in the
// order it read them: nothing lost, nothing doubled. Returns how many commands wrote lines.
size_t expectLinesReassemble(const std::string &out, const std::string &input, bool inOrder) {
    std::vector<std::string> all;
    const auto commands = byCommand(out);
    for (const auto &[identity, seen] : commands) {
        for (size_t i = 0; i < seen.size(); ++i) {
            if (inOrder && i > 0) {
                EXPECT_LT(lineNumber(seen[i - 1]), lineNumber(seen[i])) << identity;
            }
            all.push_back(seen[i] + '\n');
        }
    }
    std::sort(all.begin(), all.end());
    std::string joined;
    for (const std::string &line : all) {
        joined += line;
    }
    EXPECT_TRUE(joined == input) << joined.size() << " bytes for " << input.size();
    return commands.size();
}

long startsIn(const std::string &log) {
    long started = 0;
    for (const std::string &line : lines(readFile(log))) {
        started += line.rfind("start\t", 0) == 0 ? 1 : 0;
    }
    return started;
}

// Every block reaches one of the commands, whole, in input order for each, and exactly
// min(-j, blocks) commands start, however the input comes.
TEST(FanrunRoundRobin, EveryBlockReachesOneOfMinJobsBlocksCommands) {
    struct Case {
        const char *name;
        int jobs;
        std::string input;
        std::string block;
        long commands;
    };
    const Case cases[] = {
        {"one job", 1, numberedLines(500, 30), "1k", 1},
        {"two jobs, many blocks", 2, numberedLines(3000, 40), "2k", 2},
        {"four jobs, tiny blocks", 4, numberedLines(400, 3), "12", 4},
        {"four jobs, two blocks", 4, numberedLines(20, 40), "500", 2},
        {"three jobs, three blocks", 3, numberedLines(3, 40), "10", 3},
        {"two jobs, one block", 2, numberedLines(5, 4), "1M", 1},
        {"three jobs, large blocks", 3, numberedLines(60000, 60), "256k", 3},
    };
    for (const Case &test : cases) {
        for (Feed feed : everyFeed) {
            SCOPED_TRACE(std::string(test.name) + " via " + feedName(feed));
            TempDir dir;
            const std::string log = dir / "log";
            const Outcome outcome = runPipe(dir, feed,
                                            {"--round-robin", "-j", std::to_string(test.jobs),
                                             "--block", test.block, "--tag", "--joblog", log},
                                            {"cat"}, test.input);
            EXPECT_EQ(outcome.code(), 0) << outcome.err;
            EXPECT_EQ(expectLinesReassemble(outcome.out, test.input, true),
                      static_cast<size_t>(test.commands));
            EXPECT_EQ(startsIn(log), test.commands);
            for (long k = 1; k <= test.commands; ++k) {
                EXPECT_NE(readFile(log).find("\tround-robin slot " + std::to_string(k) + "\n"),
                          std::string::npos);
            }
        }
    }
}

// Binary blocks of exactly --block bytes: each command's input is whole blocks of the input, and
// together they are every block once.
TEST(FanrunRoundRobin, BinaryBlocksReachTheCommandsByteForByte) {
    constexpr size_t block = 1000;
    const std::string input = randomBytes(51, 97 * block + 123);
    for (Feed feed : everyFeed) {
        SCOPED_TRACE(feedName(feed));
        TempDir dir;
        const Outcome outcome =
            runPipe(dir, feed, {"--round-robin", "-j", "3", "--recend", "", "--block", "1000"},
                    {"sh", "-c", "cat > " + dir / "got.{%}"}, input);
        ASSERT_EQ(outcome.code(), 0) << outcome.err;
        std::vector<int> seen(input.size() / block + 1, 0);
        for (int k = 1; k <= 3; ++k) {
            const std::string got = readFile(dir / ("got." + std::to_string(k)));
            EXPECT_FALSE(got.empty()) << "command " << k;
            size_t last = 0;
            for (size_t at = 0; at < got.size(); at += block) {
                const std::string piece = got.substr(at, block);
                size_t index = 0;
                while (index < seen.size() && input.substr(index * block, block) != piece) {
                    ++index;
                }
                ASSERT_LT(index, seen.size()) << "a block that is not in the input";
                EXPECT_TRUE(at == 0 || index > last) << "out of order in command " << k;
                last = index;
                ++seen[index];
            }
        }
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(seen.size()));
    }
}

// A command that stops reading early (exits after one block, or closes its input and runs on)
// loses nothing: what it had not read whole goes to a command that still reads.
TEST(FanrunRoundRobin, ACommandThatStopsReadingLosesNothing) {
    struct Case {
        const char *name;
        std::string first; // what job slot 1 runs; the others cat
    };
    const Case cases[] = {
        {"exits after one block", "IFS= read -r l; printf '%s\\n' \"$l\""},
        {"closes its input, runs on", "IFS= read -r l; printf '%s\\n' \"$l\"; exec <&-; sleep 0.2"},
        {"reads nothing", "exit 0"},
    };
    const std::string input = numberedLines(2000, 20);
    for (const Case &test : cases) {
        for (Feed feed : everyFeed) {
            SCOPED_TRACE(std::string(test.name) + " via " + feedName(feed));
            TempDir dir;
            const std::string script = "if [ {%} = 1 ]; then " + test.first + "; else cat; fi";
            const Outcome outcome =
                runPipe(dir, feed, {"--round-robin", "-j", "3", "--block", "29", "--tag"},
                        {"sh", "-c", script}, input);
            EXPECT_EQ(outcome.code(), 0) << outcome.err;
            // Blocks given back reach another command after its own: order by input is lost.
            expectLinesReassemble(outcome.out, input, false);
        }
    }
}

// A command that stops reading for a while holds up no other: the blocks go on to the others
// (here one goes on until it has read far more than the stalled command's pipe holds, and only
// then lets the stalled one read on), and nothing is lost.
TEST(FanrunRoundRobin, AStalledReaderHoldsUpNoOther) {
    TempDir dir;
    const std::string input = numberedLines(20000, 91);
    const std::string go = dir / "go";
    const std::string script =
        "if [ {%} = 1 ]; then IFS= read -r l; printf '%s\\n' \"$l\"; i=0; while [ ! -e " + go +
        " ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done; [ -e " + go +
        " ] || echo STALLED; cat; else awk 'NR == 15000 { system(\"touch " + go +
        "\") } { print }'; fi";
    const Outcome outcome =
        runPipe(dir, Feed::pipe, {"--round-robin", "-j", "2", "--block", "1k", "--tag"},
                {"sh", "-c", script}, input);
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(outcome.out.find("STALLED"), std::string::npos);
    expectLinesReassemble(outcome.out, input, true);
}

// Once every command has stopped reading, the rest of the input is said not to have reached a
// command, and the run fails.
TEST(FanrunRoundRobin, InputThatNoCommandReadsFailsTheRun) {
    for (Feed feed : everyFeed) {
        SCOPED_TRACE(feedName(feed));
        TempDir dir;
        const std::string input = numberedLines(100, 10);
        const Outcome outcome =
            runPipe(dir, feed, {"--round-robin", "-j", "2", "--block", "19"},
                    {"sh", "-c", "IFS= read -r l; printf '%s\\n' \"$l\""}, input);
        EXPECT_EQ(outcome.code(), 123) << outcome.err;
        EXPECT_NE(outcome.err.find("did not reach a command"), std::string::npos) << outcome.err;
        const std::vector<std::string> got = lines(outcome.out);
        ASSERT_EQ(got.size(), 2U) << outcome.out;
        EXPECT_EQ(got[0] + '\n', input.substr(0, 19));
        EXPECT_EQ(got[1] + '\n', input.substr(19, 19));
    }
}

// With -k the outputs come in the order the commands started, whichever ended first.
TEST(FanrunRoundRobin, KeepOrderWritesTheCommandsInStartOrder) {
    TempDir dir;
    const std::string input = numberedLines(3000, 10);
    // Slot 1 ends last.
    const Outcome outcome =
        runPipe(dir, Feed::pipe, {"--round-robin", "-j", "3", "--block", "100"},
                {"sh", "-c", "n=$(wc -l); [ {%} = 1 ] && sleep 0.3; echo {%} $n"}, input);
    ASSERT_EQ(outcome.code(), 0) << outcome.err;
    const std::vector<std::string> got = lines(outcome.out);
    ASSERT_EQ(got.size(), 3U) << outcome.out;
    long total = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].substr(0, 2), std::to_string(i + 1) + " ");
        total += std::stol(got[i].substr(2));
    }
    EXPECT_EQ(total, 3000);
}

// Every output mode gives back what the long-lived commands wrote: each line whole, once.
TEST(FanrunRoundRobin, EveryOutputModeGivesBackEveryLine) {
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> command;
    };
    const std::string input = numberedLines(5000, 30);
    std::vector<std::string> sorted = lines(input);
    std::sort(sorted.begin(), sorted.end());
    const Case cases[] = {
        {{"-g"}, {"cat"}},
        {{"--lb"}, {"cat"}},
        {{"--lb", "--tag"}, {"cat"}},
        // Ungrouped writes may meet mid-line: one line per command.
        {{"-u"}, {"sh", "-c", "n=$(wc -l); echo \"$n\""}},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.options.front() + " " + test.command.back());
        TempDir dir;
        std::vector<std::string> options = {"--round-robin", "-j", "3", "--block", "1k"};
        options.insert(options.end(), test.options.begin(), test.options.end());
        const Outcome outcome = runPipe(dir, Feed::pipe, options, test.command, input, false);
        ASSERT_EQ(outcome.code(), 0) << outcome.err;
        std::vector<std::string> got = lines(outcome.out);
        if (test.options.front() == "-u") {
            long total = 0;
            for (const std::string &count : got) {
                total += std::stol(count);
            }
            EXPECT_EQ(got.size(), 3U);
            EXPECT_EQ(total, 5000);
            continue;
        }
        if (test.options.size() > 1) {
            for (std::string &line : got) {
                line = line.substr(line.find('\t') + 1);
            }
        }
        std::sort(got.begin(), got.end());
        EXPECT_TRUE(got == sorted) << got.size() << " lines for " << sorted.size();
    }
}

// --header opens each command's input once, however many blocks it reads.
TEST(FanrunRoundRobin, TheHeaderOpensEachCommandsInputOnce) {
    const std::string rows = numberedLines(500, 10);
    for (Feed feed : everyFeed) {
        SCOPED_TRACE(feedName(feed));
        TempDir dir;
        const Outcome outcome = runPipe(
            dir, feed, {"--round-robin", "-j", "2", "--block", "100", "--header", ":", "--tag"},
            {"cat"}, "name,value\n" + rows);
        ASSERT_EQ(outcome.code(), 0) << outcome.err;
        const auto commands = byCommand(outcome.out);
        ASSERT_EQ(commands.size(), 2U) << outcome.out;
        std::string withoutHeaders;
        for (const auto &[identity, seen] : commands) {
            EXPECT_EQ(seen.front(), "name,value") << identity;
            EXPECT_EQ(std::count(seen.begin(), seen.end(), "name,value"), 1) << identity;
            for (size_t i = 1; i < seen.size(); ++i) {
                withoutHeaders += identity + "\t" + seen[i] + "\n";
            }
        }
        expectLinesReassemble(withoutHeaders, rows, true);
    }
}

// An empty input starts no command.
TEST(FanrunRoundRobin, AnEmptyInputStartsNoCommand) {
    for (Feed feed : everyFeed) {
        SCOPED_TRACE(feedName(feed));
        TempDir dir;
        const std::string log = dir / "log";
        const Outcome outcome =
            runPipe(dir, feed, {"--round-robin", "-j", "3", "--joblog", log}, {"cat"}, "");
        EXPECT_EQ(outcome.code(), 0) << outcome.err;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(startsIn(log), 0);
    }
}

// --halt: after the failure no block goes out, not even what the failed command left unread.
TEST(FanrunRoundRobin, HaltingGivesOutNoFurtherBlock) {
    for (Feed feed : everyFeed) {
        SCOPED_TRACE(feedName(feed));
        TempDir dir;
        const std::string input = numberedLines(200, 10);
        const Outcome outcome =
            runPipe(dir, feed, {"--round-robin", "-j", "2", "--block", "19", "--halt", "soon"},
                    {"sh", "-c", "[ {%} = 1 ] && exit 3; cat"}, input);
        EXPECT_EQ(outcome.code(), 123) << outcome.err;
        EXPECT_EQ(outcome.out.find(input.substr(0, 19)), std::string::npos);
        EXPECT_LT(outcome.out.size(), input.size());
    }
}

// The reader of fanrun's output going away stops giving out blocks: the commands end with what
// their pipes hold.
TEST(FanrunRoundRobin, AReaderThatLeavesStopsGivingOutBlocks) {
    TempDir dir;
    const std::string path = dir / "input";
    // Each line a block; a pipe holds some 64 of them.
    writeFile(path, numberedLines(1000, 992));
    const std::string counts = dir / "counts";
    const std::string slow = "n=0; while IFS= read -r l; do sleep 0.01; n=$((n+1)); done; echo "
                             "$n; echo $n >> " +
                             counts;
    StartOptions start;
    start.inputPath = path;
    // The reader leaves while the commands are still reading (1000 lines take them seconds).
    start.wrapper = {"bash", "-c", "\"$@\" | sleep 0.5; exit \"${PIPESTATUS[0]}\"", "reader"};
    const Outcome outcome = runFanrun(
        dir, {"--pipe", "--round-robin", "-j", "2", "--block", "1000", "sh", "-c", slow}, start);
    EXPECT_EQ(outcome.code(), 1) << outcome.err;
    long read = 0;
    for (const std::string &line : lines(readFile(counts))) {
        read += std::stol(line);
    }
    EXPECT_GT(read, 0);
    EXPECT_LT(read, 1000);
}

// Options that cannot go together are bad usage, and nothing runs.
TEST(FanrunPipe, OptionsThatCannotCutTheInputAreRefused) {
    struct Case {
        std::vector<std::string> arguments;
        const char *message;
    };
    const Case cases[] = {
        {{"--block", "1M", "cat"}, "go with --pipe"},
        {{"-L", "2", "cat"}, "go with --pipe"},
        {{"--pipe", "-N", "0", "cat"}, "-N needs a whole number from 1"},
        {{"--pipe-part", "cat"}, "give it with -a FILE"},
        {{"--pipe", "--block", "-2", "cat"}, "goes with --pipe-part"},
        {{"--pipe", "--block", "0", "cat"}, "--block needs a size"},
        {{"--pipe", "--block", "3X", "cat"}, "--block needs a size"},
        {{"--pipe", "--cat", "--fifo", "cat"}, "exclude each other"},
        {{"--pipe", "-n", "2", "cat"}, "blocks are not arguments"},
        {{"--pipe", "--regexp", "--recend", "(", "cat"}, "not a regular expression"},
        {{"--pipe-part", "-a", "/dev/null", "cat"}, "needs a regular file"},
        {{"--round-robin", "cat"}, "go with --pipe"},
        {{"--pipe", "--round-robin", "--cat", "cat"}, "does not go with"},
        {{"--pipe", "--round-robin", "--retries", "1", "cat"}, "does not go with"},
        {{"--pipe", "--round-robin", "--memfree", "1M", "cat"}, "does not go with"},
        {{"--pipe", "--round-robin", "-S", "host", "cat"}, "does not go with"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.arguments[0] + " " + test.arguments[1]);
        TempDir dir;
        const Outcome outcome = runFanrun(dir, test.arguments, fromInput("a\n"));
        EXPECT_EQ(outcome.code(), 2);
        EXPECT_NE(outcome.err.find(test.message), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.out, "");
    }
}

} // namespace
