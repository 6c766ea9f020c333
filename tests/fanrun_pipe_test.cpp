// Tests of the front end's --pipe and --pipe-part as a program: the input cut into blocks at
// record ends, every block the input of one command, and nothing lost or doubled whatever the
// block size, the separators and the records' shape; the block's identity in the job log, its
// retries, its file or FIFO, and commands that leave their block unread.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
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

// fanrun with options (and -k) before the command words, fed input as feed says.
Outcome runPipe(const TempDir &dir, Feed feed, std::vector<std::string> options,
                const std::vector<std::string> &command, const std::string &input,
                StartOptions start = {}) {
    const std::string path = dir / "input";
    writeFile(path, input);
    std::vector<std::string> arguments;
    if (feed == Feed::filePart) {
        arguments = {"--pipe-part", "-a", path};
    } else {
        arguments = {"--pipe"};
    }
    arguments.emplace_back("-k");
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
                                    {"wc", "-c", "{}"}, randomLines(13, 400000, 80), start);
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
