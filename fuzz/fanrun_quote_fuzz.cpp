// Runs fuzzed templates and arguments through the runner's template reading and quoting and reads
// every command back with a small model of how bash reads words: bare text with backslashes,
// '...', "..." and $'...' with its escapes, variables, brace expansion and the operators, once
// byte by byte and once the way Big5, GBK and Shift-JIS read (a lead byte 0x81 to 0xfe takes the
// next byte along when it is 0x40 to 0x7e or 0x80 to 0xfe). The command must read as the template
// with every {} taken as the argument's exact bytes in place; a template the model cannot follow
// is skipped, and a refused template is fine unless it is one the runner must take.
//
// Input: a flags byte (bit 0: the command words form), the template or the words separated by
// spaces, then NUL-separated arguments. In a template the bytes 1 to 4 stand for {}, 0xa5, 0x81
// and $'.

#include "fanrun_cli.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using fanrun_cli::TemplatePiece;

void require(bool ok, const char *what, const std::string &command) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\ncommand: [%s]\n", what, command.c_str());
        std::abort();
    }
}

// The text to read: bytes, with the places where an argument goes in (as exactly its bytes).
struct Item {
    int byte; // -1: the argument
};

enum class Reading { Words, Unsupported, MustRefuse };

// Words as the model reads them: each byte of a word is a pair, L for a literal byte, G for one
// that expansion acts on (globs, braces, =), V for a variable whose name follows up to ';'; the
// operators are words of their own that start with O.
struct Model {
    bool multibyte;
    const std::string &argument;
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    int braces = 0;

    void literal(int byte) {
        word += 'L';
        word += static_cast<char>(byte);
        inWord = true;
    }
    void expanded(char byte) {
        word += 'G';
        word += byte;
        inWord = true;
    }
    void end() {
        if (inWord) {
            words.push_back(word);
        }
        word.clear();
        inWord = false;
        braces = 0;
    }
    void argumentBytes() {
        for (char c : argument) {
            literal(static_cast<unsigned char>(c));
        }
        inWord = true;
    }
};

bool lead(int byte) {
    return byte >= 0x81 && byte <= 0xfe;
}

bool trail(int byte) {
    return (byte >= 0x40 && byte <= 0x7e) || (byte >= 0x80 && byte <= 0xfe);
}

bool nameStart(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool nameByte(int c) {
    return nameStart(c) || (c >= '0' && c <= '9');
}

int hexValue(int c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

Reading readWords(const std::vector<Item> &in, Model &m) {
    enum { Bare, Double, Single, DollarSingle } state = Bare;
    bool backquote = false;
    auto at = [&](size_t i) { return i < in.size() ? in[i].byte : -2; };
    size_t i = 0;
    while (i < in.size()) {
        const int c = in[i].byte;
        const int next = at(i + 1);
        if (c == -1) {
            if (backquote) {
                return Reading::MustRefuse;
            }
            m.argumentBytes();
            ++i;
            continue;
        }
        if (m.multibyte && lead(c) && trail(next)) {
            m.literal(c);
            m.literal(next);
            i += 2;
            continue;
        }
        if (backquote) {
            // Bash finds the end of `...` before it reads what is inside, quotes or not.
            if (c == '`') {
                m.words.emplace_back("O`");
                backquote = false;
            } else if (c == '\\' && next >= 0) {
                m.literal(c);
                m.literal(next);
                ++i;
            } else {
                m.literal(c);
            }
            ++i;
            continue;
        }
        if (state == Single) {
            if (c == '\'') {
                state = Bare;
            } else {
                m.literal(c);
            }
            ++i;
            continue;
        }
        if (state == DollarSingle) {
            if (c == '\'') {
                state = Bare;
                ++i;
                continue;
            }
            if (c != '\\') {
                m.literal(c);
                ++i;
                continue;
            }
            if (next == -1) {
                return Reading::MustRefuse;
            }
            static const char names[] = "ntrabeEfv\\'\"?";
            static const char values[] = "\n\t\r\a\b\x1b\x1b\f\v\\'\"?";
            const char *found = next > 0 ? std::strchr(names, next) : nullptr;
            if (found != nullptr && *found != '\0') {
                m.literal(static_cast<unsigned char>(values[found - names]));
                i += 2;
            } else if (next == 'x') {
                int value = 0;
                size_t digits = 0;
                while (digits < 2 && hexValue(at(i + 2 + digits)) >= 0) {
                    value = value * 16 + hexValue(at(i + 2 + digits));
                    ++digits;
                }
                if (digits == 0) {
                    m.literal('\\');
                    m.literal('x');
                } else if (value == 0) {
                    return Reading::Unsupported;
                } else {
                    m.literal(value);
                }
                i += 2 + digits;
            } else if (next >= '0' && next <= '7') {
                int value = 0;
                size_t digits = 0;
                while (digits < 3 && at(i + 1 + digits) >= '0' && at(i + 1 + digits) <= '7') {
                    value = value * 8 + at(i + 1 + digits) - '0';
                    ++digits;
                }
                if ((value & 0xff) == 0) {
                    return Reading::Unsupported;
                }
                m.literal(value & 0xff);
                i += 1 + digits;
            } else if (next == 'c' || next == 'u' || next == 'U' || next == -2) {
                return Reading::Unsupported;
            } else {
                m.literal('\\');
                ++i;
            }
            continue;
        }
        if (c == '\\') {
            if (next == -1) {
                return Reading::MustRefuse;
            }
            const bool escapes =
                state == Bare || (next >= 0 && std::strchr("$`\"\\\n", next) != nullptr);
            if (next == -2) {
                m.literal('\\');
                ++i;
            } else if (escapes && next == '\n') {
                i += 2;
            } else if (escapes) {
                // A backslash quotes the whole character after it.
                m.literal(next);
                i += 2;
                if (m.multibyte && lead(next) && trail(at(i))) {
                    m.literal(at(i));
                    ++i;
                }
            } else {
                m.literal('\\');
                ++i;
            }
            continue;
        }
        if (c == '$') {
            if (next == -1) {
                if (state == Bare) {
                    return Reading::MustRefuse;
                }
                m.literal('$');
                ++i;
                continue;
            }
            if (nameStart(next)) {
                m.word += "V";
                ++i;
                while (nameByte(at(i))) {
                    m.word += static_cast<char>(at(i));
                    ++i;
                }
                m.word += ';';
                m.inWord = true;
                continue;
            }
            if (next >= 0 && std::strchr("0123456789@*#?$!-", next) != nullptr) {
                m.word += "V";
                m.word += static_cast<char>(next);
                m.word += ';';
                m.inWord = true;
                i += 2;
                continue;
            }
            if (state == Bare && next == '\'') {
                state = DollarSingle;
                m.inWord = true;
                i += 2;
                continue;
            }
            if (next == '{' || next == '[' || next == '(' || (state == Bare && next == '"')) {
                return Reading::Unsupported;
            }
            m.literal('$');
            ++i;
            continue;
        }
        if (c == '`') {
            if (state != Bare) {
                return Reading::Unsupported;
            }
            m.end();
            m.words.emplace_back("O`");
            backquote = !backquote;
            ++i;
            continue;
        }
        if (state == Double) {
            if (c == '"') {
                state = Bare;
            } else {
                m.literal(c);
            }
            ++i;
            continue;
        }
        // Bare.
        if (c == '\'' || c == '"') {
            state = c == '\'' ? Single : Double;
            m.inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            m.end();
        } else if (std::strchr(";|&()<>", c) != nullptr) {
            m.end();
            m.words.push_back(std::string("O") + static_cast<char>(c));
        } else if (c == '#' && !m.inWord) {
            return Reading::Unsupported;
        } else if (c == '{') {
            ++m.braces;
            m.expanded('{');
        } else if (c == '}') {
            m.braces -= m.braces > 0 ? 1 : 0;
            m.expanded('}');
        } else if (c == ',' && m.braces > 0) {
            m.expanded(',');
        } else if (c == '=' || c == '*' || c == '?' || c == '[' || c == '~') {
            m.expanded(static_cast<char>(c));
        } else {
            m.literal(c);
        }
        ++i;
    }
    if (state != Bare || backquote) {
        return Reading::Unsupported;
    }
    m.end();
    return Reading::Words;
}

std::vector<Item> items(const std::string &text, bool placeholders) {
    std::vector<Item> result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (placeholders && text.compare(i, 2, "{}") == 0) {
            result.push_back({-1});
            ++i;
        } else {
            result.push_back({static_cast<unsigned char>(text[i])});
        }
    }
    return result;
}

// Nothing in the template that the runner may refuse: no $, backslash, backquote, comment,
// redirection, parenthesis, tilde or byte above 0x7f.
bool mustBeTaken(const std::string &text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80 || std::strchr("`$\\#<>(){}~", c) != nullptr) {
            if (c != '{' && c != '}') {
                return false;
            }
        }
    }
    return true;
}

} // namespace

// The model knows {} alone: a text holding another replacement string is left to the tests.
bool otherReplacement(const std::string &text) {
    for (const char *other : {"{.}", "{/}", "{//}", "{/.}", "{#}", "{%}"}) {
        if (text.find(other) != std::string::npos) {
            return true;
        }
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const bool wordsForm = (data[0] & 1) != 0;
    std::vector<std::string> parts(1);
    for (size_t i = 1; i < size && parts.size() <= 5; ++i) {
        if (data[i] == 0) {
            parts.emplace_back();
        } else {
            parts.back() += static_cast<char>(data[i]);
        }
    }
    std::string written;
    std::vector<std::string> words;
    if (wordsForm) {
        size_t start = 0;
        for (;;) {
            const size_t space = parts[0].find(' ', start);
            words.push_back(parts[0].substr(start, space - start));
            if (space == std::string::npos) {
                break;
            }
            start = space + 1;
        }
        if (words.size() < 2) {
            return 0;
        }
        std::vector<char *> pointers;
        for (std::string &word : words) {
            pointers.push_back(word.data());
        }
        written = fanrun_cli::buildTemplate(pointers.data(), static_cast<int>(pointers.size()));
    } else {
        static const char *const codes[] = {"", "{}", "\xa5", "\x81", "$'"};
        for (char c : parts[0]) {
            written += static_cast<unsigned char>(c) <= 4 ? codes[static_cast<unsigned char>(c)]
                                                          : std::string(1, c);
        }
    }
    if (otherReplacement(parts[0]) || otherReplacement(written)) {
        return 0;
    }
    std::vector<TemplatePiece> pieces;
    fanrun_cli::TemplateRefusal refusal;
    const bool taken = fanrun_cli::parseTemplate(written, pieces, refusal);
    require(taken || !mustBeTaken(written), "a template of plain words and quotes was refused",
            written);
    require(taken || !wordsForm, "the quoted command words were refused", written);
    if (!taken) {
        return 0;
    }
    const std::vector<Item> templateItems = items(written, true);
    for (size_t a = 1; a < parts.size(); ++a) {
        const std::string &argument = parts[a];
        const std::string command =
            fanrun_cli::expandTemplate(pieces, fanrun_cli::Replacements{argument});
        require(command.find('\n') == std::string::npos || written.find('\n') != std::string::npos,
                "an argument put a raw newline into the command", command);
        std::vector<std::string> expectedByByte;
        for (const bool multibyte : {false, true}) {
            Model expected{multibyte, argument, {}, {}};
            Model got{multibyte, argument, {}, {}};
            const Reading want = readWords(templateItems, expected);
            require(want != Reading::MustRefuse, "a {} that no quoting can keep was taken",
                    command);
            if (wordsForm) {
                // Independent of the template: the words themselves with {} as the argument.
                expected.words.clear();
                bool placed = false;
                for (const std::string &word : words) {
                    std::string encoded;
                    for (size_t i = 0; i < word.size(); ++i) {
                        if (word.compare(i, 2, "{}") == 0) {
                            for (char c : argument) {
                                encoded += 'L';
                                encoded += c;
                            }
                            placed = true;
                            ++i;
                        } else {
                            encoded += 'L';
                            encoded += word[i];
                        }
                    }
                    expected.words.push_back(encoded);
                }
                if (!placed) {
                    std::string encoded;
                    for (char c : argument) {
                        encoded += 'L';
                        encoded += c;
                    }
                    expected.words.push_back(encoded);
                }
            } else if (want == Reading::Unsupported) {
                continue;
            }
            const Reading read = readWords(items(command, false), got);
            require(read == Reading::Words, "the command cannot be read back", command);
            require(got.words == expected.words,
                    multibyte ? "the command reads differently in a multibyte locale"
                              : "the command does not read as the template with the argument",
                    command);
            if (!multibyte) {
                expectedByByte = expected.words;
            } else if (!expectedByByte.empty() || wordsForm) {
                require(expectedByByte == expected.words,
                        "the template reads differently in a multibyte locale", command);
            }
        }
    }
    return 0;
}
