#include "verbsplit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Standard error redirected into a temporary file for the life of the object, so that the
// diagnostic's exact bytes can be compared.
class StderrCapture {
  public:
    StderrCapture() : file_(std::tmpfile()), saved_(dup(STDERR_FILENO)) {
        std::fflush(stderr);
        dup2(fileno(file_), STDERR_FILENO);
    }
    ~StderrCapture() {
        restore();
        std::fclose(file_);
    }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    std::string text() {
        restore();
        std::string out;
        std::rewind(file_);
        for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_)) {
            out.push_back(static_cast<char>(c));
        }
        return out;
    }

  private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    std::FILE *file_;
    int saved_;
};

// One parse of a line held in a buffer with guard bytes after its NUL, so that a write past the
// line shows up in the buffer's bytes. Guards hold colons to tempt a scan that overruns the NUL.
struct Parsed {
    int result = -1;
    std::vector<std::string> parts; // "(null)" for a null entry
    std::string buffer;             // the line's bytes after the call, guards included
    std::string diagnostic;
};

const std::string kGuard = ":guard:";

Parsed parse(const std::string &line) {
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    buffer.insert(buffer.end(), kGuard.begin(), kGuard.end());
    char sentinel[] = "x";
    char *part[VERBSPLIT_PARTS] = {sentinel, sentinel, sentinel, sentinel};
    Parsed out;
    {
        StderrCapture capture;
        out.result = parseMessage(buffer.data(), part);
        out.diagnostic = capture.text();
    }
    for (char *p : part) {
        if (p != nullptr) {
            EXPECT_GE(p, buffer.data());
            EXPECT_LE(p, buffer.data() + line.size());
        }
        out.parts.emplace_back(p != nullptr ? p : "(null)");
    }
    out.buffer.assign(buffer.begin(), buffer.end());
    return out;
}

// The bytes a line should hold after a split that cut the given number of colons.
std::string cut(std::string line, int colons) {
    for (size_t i = 0; colons > 0 && i < line.size(); i++) {
        if (line[i] == ':') {
            line[i] = '\0';
            colons--;
        }
    }
    return line + '\0' + kGuard;
}

using Parts = std::vector<std::string>;
const Parts kRejected = {"(null)", "(null)", "(null)", "(null)"};

void expectAccepted(const std::string &line, int count, const Parts &parts) {
    SCOPED_TRACE(line);
    const Parsed p = parse(line);
    EXPECT_EQ(p.result, count);
    EXPECT_EQ(p.parts, parts);
    EXPECT_EQ(p.buffer, cut(line, count - 1));
    EXPECT_EQ(p.diagnostic, "");
}

void expectRejected(const std::string &line, const std::string &diagnostic = "") {
    SCOPED_TRACE(line);
    const Parsed p = parse(line);
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.parts, kRejected);
    EXPECT_EQ(p.buffer, cut(line, 3));
    EXPECT_EQ(p.diagnostic, diagnostic);
}

const std::string kName64(VERBSPLIT_NAME_MAX, 'n');
const std::string kName65(VERBSPLIT_NAME_MAX + 1, 'n');

TEST(ParseMessage, RegisterTakesOneNameOfLettersAndDigits) {
    expectAccepted("register:alice", 2, {"register", "alice", "(null)", "(null)"});
    expectAccepted("register:Bob42", 2, {"register", "Bob42", "(null)", "(null)"});
    expectAccepted("register:" + kName64, 2, {"register", kName64, "(null)", "(null)"});
    expectRejected("register:" + kName65);
    expectRejected("register:");
    expectRejected("register:al!ce");
    expectRejected("register:al ce");
    expectRejected("register:al\xc3\xa9");
    expectRejected("register");
    expectRejected("register:alice:");
    expectRejected("register:a:b:c:d");
}

TEST(ParseMessage, BareCommandsTakeNoFields) {
    for (const std::string word : {"getMessage", "list", "quit"}) {
        expectAccepted(word, 1, {word, "(null)", "(null)", "(null)"});
        expectRejected(word + "\n", "");
        expectRejected(word + "\r\n", "");
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
    expectAccepted("message:bob:carol:see you at 10:30", 4,
                   {"message", "bob", "carol", "see you at 10:30"});
    expectAccepted("message::carol:hi", 4, {"message", "", "carol", "hi"});
    expectAccepted("message:bob::hi", 4, {"message", "bob", "", "hi"});
    expectAccepted("message:::", 4, {"message", "", "", ""});
    expectAccepted("message:a:b:::\xff\n", 4, {"message", "a", "b", "::\xff\n"});
    expectRejected("message:bob:carol");
    expectRejected("message:bob");
    expectRejected("message");
    expectRejected("message:b-b:carol:hi");
    expectRejected("message:bob:car ol:hi");
}

TEST(ParseMessage, MessageLimitsHoldAtTheirExactBoundaries) {
    const std::string text1024(VERBSPLIT_TEXT_MAX, 't');
    const std::string longest = "message:" + kName64 + ":" + kName64 + ":" + text1024;
    ASSERT_EQ(longest.size(), static_cast<size_t>(VERBSPLIT_LINE_MAX));
    expectAccepted(longest, 4, {"message", kName64, kName64, text1024});
    expectAccepted("message:a:b:" + std::string(VERBSPLIT_TEXT_MAX, ':'), 4,
                   {"message", "a", "b", std::string(VERBSPLIT_TEXT_MAX, ':')});
    expectRejected("message:a:b:" + text1024 + "t");
    expectRejected("message:" + kName65 + ":b:hi");
    expectRejected("message:a:" + kName65 + ":hi");
}

TEST(ParseMessage, CommandWordsMatchWholeAndCaseSensitive) {
    expectRejected("");
    expectRejected(":");
    expectRejected("Register:alice");
    expectRejected("registers:alice");
    expectRejected("regist:alice");
    expectRejected("QUIT");
    expectRejected("Message:a:b:hi");
    expectRejected("hello:a:b:c:d");
    expectRejected(" quit");
}

TEST(ParseMessage, StopsAtTheLineEndEvenWithColonsBeyondIt) {
    // parse() already puts colons after the NUL; a line with an embedded NUL makes it plainer.
    std::string buffer("register:bob\0:x:y:z", 19);
    char *part[VERBSPLIT_PARTS];
    EXPECT_EQ(parseMessage(buffer.data(), part), 2);
    EXPECT_EQ(buffer, std::string("register\0bob\0:x:y:z", 19));
}

TEST(ClearPart, NullsAllFourEntries) {
    char c = 'c';
    char *part[VERBSPLIT_PARTS] = {&c, &c, &c, &c};
    clearPart(part);
    for (char *p : part) {
        EXPECT_EQ(p, nullptr);
    }
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
