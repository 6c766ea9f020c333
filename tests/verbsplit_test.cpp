#include "verbsplit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Parts = std::vector<std::string>; // "(null)" stands for a null entry
const Parts kRejected = {"(null)", "(null)", "(null)", "(null)"};
// Bytes after the line's NUL, colons included to tempt a scan past the end.
const std::string kGuard = ":guard:";

// The bytes a line should hold after a split that cut up to the given number of colons.
std::string cut(std::string line, int colons) {
    for (char &c : line) {
        if (c == ':' && colons-- > 0) {
            c = '\0';
        }
    }
    return line + '\0' + kGuard;
}

// Parses line in a buffer followed by guard bytes, with standard error sent to a file, and
// compares the result, the parts, every byte of the buffer and the diagnostic.
void expectParse(const std::string &line, int result, const Parts &parts,
                 const std::string &diagnostic = "") {
    SCOPED_TRACE(line);
    std::string buffer = line + '\0' + kGuard;
    char junk = 'j';
    char *part[VERBSPLIT_PARTS] = {&junk, &junk, &junk, &junk};

    std::FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    dup2(fileno(file), STDERR_FILENO);
    EXPECT_EQ(parseMessage(buffer.data(), part), result);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string written(64, '\0');
    std::rewind(file);
    written.resize(std::fread(written.data(), 1, written.size(), file));
    std::fclose(file);

    Parts got;
    for (char *p : part) {
        got.emplace_back(p != nullptr ? p : "(null)");
        if (p != nullptr) {
            EXPECT_TRUE(p >= buffer.data() && p <= buffer.data() + line.size()) << "outside line";
        }
    }
    EXPECT_EQ(got, parts);
    EXPECT_EQ(buffer, cut(line, result == 0 ? 3 : result - 1));
    EXPECT_EQ(written, diagnostic);
}

void expectRejected(const std::string &line, const std::string &diagnostic = "") {
    expectParse(line, 0, kRejected, diagnostic);
}

const std::string kName64(VERBSPLIT_NAME_MAX, 'n');
const std::string kName65(VERBSPLIT_NAME_MAX + 1, 'n');

TEST(ParseMessage, RegisterTakesOneNameOfLettersAndDigits) {
    expectParse("register:alice", 2, {"register", "alice", "(null)", "(null)"});
    expectParse("register:Bob42", 2, {"register", "Bob42", "(null)", "(null)"});
    expectParse("register:" + kName64, 2, {"register", kName64, "(null)", "(null)"});
    for (const std::string &bad :
         Parts{"register:" + kName65, "register:", "register:al!ce", "register:al ce",
               "register:al\xc3\xa9", "register", "register:alice:", "register:a:b:c:d"}) {
        expectRejected(bad);
    }
}

TEST(ParseMessage, BareCommandsTakeNoFields) {
    for (const std::string word : {"getMessage", "list", "quit"}) {
        expectParse(word, 1, {word, "(null)", "(null)", "(null)"});
        expectRejected(word + "\n");
        expectRejected(word + "\r\n");
    }
    expectRejected("getMessage:");
    expectRejected("quit:");
    expectRejected("quit:now:or:never:ever");
}

TEST(ParseMessage, ListWithFieldsReportsItsPartCountWithoutLineEnd) {
    expectRejected("list:", "2 parts");
    expectRejected("list:x", "2 parts");
    expectRejected("list::", "3 parts");
    expectRejected("list:a:b:c", "4 parts");
    expectRejected("list:a:b:c:d:e", "4 parts");
}

TEST(ParseMessage, MessageTakesTwoNamesAndATextThatKeepsItsColons) {
    expectParse("message:bob:carol:see you at 10:30", 4,
                {"message", "bob", "carol", "see you at 10:30"});
    expectParse("message::carol:hi", 4, {"message", "", "carol", "hi"});
    expectParse("message:bob::hi", 4, {"message", "bob", "", "hi"});
    expectParse("message:::", 4, {"message", "", "", ""});
    expectParse("message:a:b:::\xff\n", 4, {"message", "a", "b", "::\xff\n"});
    for (const char *bad : {"message:bob:carol", "message:bob", "message", "message:b-b:carol:hi",
                            "message:bob:car ol:hi"}) {
        expectRejected(bad);
    }
}

TEST(ParseMessage, MessageLimitsHoldAtTheirExactBoundaries) {
    const std::string text1024(VERBSPLIT_TEXT_MAX, 't');
    const std::string longest = "message:" + kName64 + ":" + kName64 + ":" + text1024;
    ASSERT_EQ(longest.size(), static_cast<size_t>(VERBSPLIT_LINE_MAX));
    expectParse(longest, 4, {"message", kName64, kName64, text1024});
    const std::string colons(VERBSPLIT_TEXT_MAX, ':');
    expectParse("message:a:b:" + colons, 4, {"message", "a", "b", colons});
    expectRejected("message:a:b:" + text1024 + "t");
    expectRejected("message:" + kName65 + ":b:hi");
    expectRejected("message:a:" + kName65 + ":hi");
}

TEST(ParseMessage, CommandWordsMatchWholeAndCaseSensitive) {
    for (const char *bad : {"", ":", "Register:alice", "registers:alice", "regist:alice", "QUIT",
                            " quit", "Message:a:b:hi", "hello:a:b:c:d"}) {
        expectRejected(bad);
    }
}

TEST(ClearPart, NullsAllFourEntries) {
    char c = 'c';
    char *part[VERBSPLIT_PARTS] = {&c, &c, &c, &c};
    clearPart(part);
    EXPECT_TRUE(part[0] == nullptr && part[1] == nullptr && part[2] == nullptr &&
                part[3] == nullptr);
}

TEST(IsAlphaNumeric, PassesOnlyAsciiLettersAndDigits) {
    std::string passing;
    for (int byte = 1; byte < 256; byte++) {
        const char s[2] = {static_cast<char>(byte), '\0'};
        if (isAlphaNumeric(s) != 0) {
            passing.push_back(static_cast<char>(byte));
        }
    }
    EXPECT_EQ(passing, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(isAlphaNumeric(""), 1);
    EXPECT_EQ(isAlphaNumeric("abcXYZ019"), 1);
    EXPECT_EQ(isAlphaNumeric("abc!"), 0);
    EXPECT_EQ(isAlphaNumeric("caf\xc3\xa9"), 0);
}

} // namespace
