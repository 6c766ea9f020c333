// Runs fuzzed templates and arguments through everything that builds a command: the template
// reading and quoting of every replacement string, the command words form, --raw, and the library's
// createCommand. Each quoted command is read back with a small model of how bash reads words: bare
// text with backslashes, '...', "..." and $'...' with its escapes, variables, $(...) (a command
// level of its own, in bare text or in "..."), brace expansion, tilde prefixes, here-strings,
// here-documents (their bodies read line by line, a replacement string there one no quoting can
// keep) and the operators, once byte by byte and once the way Big5, GBK and Shift-JIS read (a lead
// byte 0x81 to 0xfe takes the next byte along when it is 0x40 to 0x7e or 0x80 to 0xfe). The command
// must read as the template with every replacement string taken as exactly the bytes of its text in
// place; those texts are made here from the argument, a position and a slot, apart from the
// runner's own code. A template the model cannot follow is skipped, and a refused template is fine
// unless it is one the runner must take. With --raw and in createCommand the replacement is plain
// substitution, left to right, the inserted text never scanned again.
//
// Input: a flags byte (bit 0: the command words form; bits 1 to 3 choose the slot, bits 4 to 7 the
// position), the template or the words separated by spaces, then NUL-separated arguments. In a
// template the bytes 1 to 4 stand for {}, 0xa5, 0x81 and $', and 0x0e to 0x13 for {.} {/} {//}
// {/.} {#} {%}.

#include "fanrun.h"
#include "fanrun_params.h"
#include "options.h"
#include "quote.h"
#include "sources.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The library reads its parameters from the program that links it; createCommand needs none.
PARALLEL_PARAMS pparams;

namespace {

using fanrun_cli::TemplatePiece;

void require(bool ok, const char *what, const std::string &command) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\ncommand: [%s]\n", what, command.c_str());
        std::abort();
    }
}

// The replacement strings, in the runner's order.
const char *const names[] = {"{}", "{.}", "{/}", "{//}", "{/.}", "{#}", "{%}"};
constexpr int nameCount = sizeof names / sizeof names[0];
// Then the positional ones, {N} {N.} {N/} {N//} {N/.}: the texts of source 1's and source 2's
// parts, and one for every N above 2, which stands for nothing here. Each index is the runner's.
constexpr int positionalEnd = nameCount + 10;
constexpr int textCount = positionalEnd + 1;
const char *const endings[] = {"}", ".}", "/}", "//}", "/.}"};

// The replacement string that starts at text[at]: its index in the texts, or -1; length gets its
// length. A positional one right after a $ is the shell's own (${1}).
int nameAt(const std::string &text, size_t at, size_t *length = nullptr) {
    for (int n = 0; n < nameCount; ++n) {
        if (text.compare(at, std::strlen(names[n]), names[n]) == 0) {
            if (length != nullptr) {
                *length = std::strlen(names[n]);
            }
            return n;
        }
    }
    if (at >= text.size() || text[at] != '{' || (at > 0 && text[at - 1] == '$')) {
        return -1;
    }
    size_t end = at + 1;
    while (end < text.size() && end - at <= 6 && text[end] >= '0' && text[end] <= '9') {
        ++end;
    }
    if (end == at + 1 || end - at > 7 || text[at + 1] == '0') {
        return -1;
    }
    const long source = std::stol(text.substr(at + 1, end - at - 1));
    for (int part = 0; part < 5; ++part) {
        if (text.compare(end, std::strlen(endings[part]), endings[part]) == 0) {
            if (length != nullptr) {
                *length = end - at + std::strlen(endings[part]);
            }
            return source > 2 ? positionalEnd : nameCount + static_cast<int>(source - 1) * 5 + part;
        }
    }
    return -1;
}

// What each replacement string stands for, made from the argument by splitting it at its last
// slash by hand. An extension starts at the last dot of the last component, unless that dot is the
// component's first or last byte.
std::vector<std::string> replacementTexts(const std::string &argument, long position, int slot) {
    size_t slashes = 0;
    size_t lastSlash = 0;
    for (size_t i = 0; i < argument.size(); ++i) {
        if (argument[i] == '/') {
            ++slashes;
            lastSlash = i;
        }
    }
    const std::string base = slashes == 0 ? argument : argument.substr(lastSlash + 1);
    std::string directory = ".";
    if (slashes > 0) {
        directory = lastSlash == 0 ? "/" : argument.substr(0, lastSlash);
    }
    std::string stem = base;
    const size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot != 0 && dot + 1 != base.size()) {
        stem = base.substr(0, dot);
    }
    const std::string withoutExtension =
        argument.substr(0, argument.size() - (base.size() - stem.size()));
    return {argument,
            withoutExtension,
            base,
            directory,
            stem,
            std::to_string(position),
            std::to_string(slot)};
}

// The text to read: bytes, with the places where a replacement string's text goes in (as exactly
// its bytes).
struct Item {
    int byte;            // -1: a replacement string's text
    int replacement = 0; // which one
};

enum class Reading { Words, Unsupported, MustRefuse };

// Words as the model reads them: each byte of a word is a pair, L for a literal byte, G for one
// that expansion acts on (globs, braces, =), V for a variable whose name follows up to ';'; the
// operators are words of their own that start with O.
struct Model {
    bool multibyte;
    const std::vector<std::string> &texts;
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    int braces = 0;
    // After an unquoted ~ and up to a /: bare bytes there are a user's name to bash, written T.
    bool tilde = false;

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
        tilde = false;
    }
    void argumentBytes(int which) {
        tilde = false;
        for (char c : texts[static_cast<size_t>(which)]) {
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

struct HereDocument {
    std::string delimiter;
    bool stripTabs;
};

// The delimiter word after << (and -) from in[i]: plain bytes, '...', "..." and backslashes.
Reading hereDelimiter(const std::vector<Item> &in, size_t &i, HereDocument &document) {
    if (i < in.size() && in[i].byte == '-') {
        document.stripTabs = true;
        ++i;
    }
    while (i < in.size() && (in[i].byte == ' ' || in[i].byte == '\t')) {
        ++i;
    }
    int quote = 0;
    for (; i < in.size(); ++i) {
        const int c = in[i].byte;
        if (c == -1) {
            return Reading::MustRefuse;
        }
        if (c == '$' || c == '`' || c >= 0x80) {
            return Reading::Unsupported;
        }
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                document.delimiter += static_cast<char>(c);
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '\\') {
            if (i + 1 >= in.size() || in[i + 1].byte < 0 || in[i + 1].byte == '\n') {
                return i + 1 < in.size() && in[i + 1].byte == -1 ? Reading::MustRefuse
                                                                 : Reading::Unsupported;
            }
            document.delimiter += static_cast<char>(in[++i].byte);
        } else if (std::strchr(" \t\n;&|()<>", c) != nullptr) {
            break;
        } else {
            document.delimiter += static_cast<char>(c);
        }
    }
    return quote != 0 || document.delimiter.empty() ? Reading::Unsupported : Reading::Words;
}

// The bodies of the pending here-documents from in[i], just after the newline that ends their
// line; each a word of its own, H and its bytes. A replacement string in a body cannot be quoted.
Reading hereBodies(const std::vector<Item> &in, size_t &i, std::vector<HereDocument> &pending,
                   Model &m) {
    m.end();
    for (const HereDocument &document : pending) {
        std::string body = "H";
        for (bool ended = false; !ended;) {
            if (i >= in.size()) {
                return Reading::Unsupported;
            }
            std::string line;
            for (; i < in.size() && in[i].byte != '\n'; ++i) {
                if (in[i].byte == -1) {
                    return Reading::MustRefuse;
                }
                line += static_cast<char>(in[i].byte);
            }
            i += i < in.size() ? 1 : 0;
            const size_t start = document.stripTabs ? line.find_first_not_of('\t') : 0;
            const std::string bare = start == std::string::npos ? "" : line.substr(start);
            ended = bare == document.delimiter;
            if (!ended) {
                body += bare + "\n";
            }
        }
        m.words.push_back(body);
    }
    pending.clear();
    return Reading::Words;
}

Reading readWords(const std::vector<Item> &in, Model &m) {
    std::vector<HereDocument> pending;
    enum State { Bare, Double, Single, DollarSingle } state = Bare;
    bool backquote = false;
    // The command substitutions $(...) open around this point, each with the state it returns
    // to; parentheses opened inside the innermost one and not yet closed.
    std::vector<State> outer;
    int depth = 0;
    std::vector<int> depths;
    auto at = [&](size_t i) { return i < in.size() ? in[i].byte : -2; };
    size_t i = 0;
    while (i < in.size()) {
        const int c = in[i].byte;
        const int next = at(i + 1);
        if (c == -1) {
            if (backquote) {
                return Reading::MustRefuse;
            }
            m.argumentBytes(in[i].replacement);
            ++i;
            continue;
        }
        if (m.multibyte && lead(c) && trail(next) && state == Bare && m.tilde) {
            // One character of the name, as its two bytes are one by one.
            m.word += 'T';
            m.word += static_cast<char>(c);
            m.word += 'T';
            m.word += static_cast<char>(next);
            m.inWord = true;
            i += 2;
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
            m.tilde = false;
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
            m.tilde = false;
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
            if (next == '(' && at(i + 2) != '(') {
                m.end();
                m.words.emplace_back("O$(");
                outer.push_back(state);
                depths.push_back(depth);
                state = Bare;
                depth = 0;
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
        if (c == '\n' && !pending.empty() && outer.empty()) {
            ++i;
            const Reading bodies = hereBodies(in, i, pending, m);
            if (bodies != Reading::Words) {
                return bodies;
            }
            continue;
        }
        if (c == '~') {
            m.tilde = true;
        } else if (c == '/' || c == '\'' || c == '"') {
            m.tilde = false;
        }
        if (c == '\'' || c == '"') {
            state = c == '\'' ? Single : Double;
            m.inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            m.end();
        } else if (c == '<' && next == '<' && at(i + 2) == '<') {
            m.end();
            m.words.emplace_back("O<<<");
            i += 3;
            continue;
        } else if (c == '<' && next == '<') {
            // A here-document's body is read line by line after the command's line.
            m.end();
            m.words.emplace_back("O<<");
            i += 2;
            HereDocument document{"", false};
            const Reading delimiter = hereDelimiter(in, i, document);
            if (delimiter != Reading::Words || !outer.empty()) {
                return delimiter == Reading::Words ? Reading::Unsupported : delimiter;
            }
            pending.push_back(document);
            continue;
        } else if (c == ')' && !outer.empty() && depth == 0) {
            m.end();
            m.words.emplace_back("O$)");
            state = outer.back();
            depth = depths.back();
            outer.pop_back();
            depths.pop_back();
        } else if (!outer.empty() && !m.inWord && c == 'c' && next == 'a' && at(i + 2) == 's' &&
                   at(i + 3) == 'e' && (at(i + 4) < 0 || !nameByte(at(i + 4)))) {
            // A case pattern ends in a ) that closes nothing.
            return Reading::Unsupported;
        } else if (std::strchr(";|&()<>", c) != nullptr) {
            depth += c == '(' ? 1 : (c == ')' && depth > 0 ? -1 : 0);
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
        } else if (m.tilde && c != '/' && c != '~') {
            m.word += 'T';
            m.word += static_cast<char>(c);
            m.inWord = true;
        } else {
            m.literal(c);
        }
        ++i;
    }
    if (state != Bare || backquote || !outer.empty() || !pending.empty()) {
        return Reading::Unsupported;
    }
    m.end();
    return Reading::Words;
}

std::vector<Item> items(const std::string &text, bool placeholders) {
    std::vector<Item> result;
    for (size_t i = 0; i < text.size();) {
        size_t length = 0;
        const int which = placeholders ? nameAt(text, i, &length) : -1;
        if (which >= 0) {
            result.push_back({-1, which});
            i += length;
        } else {
            result.push_back({static_cast<unsigned char>(text[i])});
            ++i;
        }
    }
    return result;
}

// Nothing in the template besides its replacement strings that the runner may refuse: no $,
// backslash, backquote, comment, redirection, parenthesis, tilde or byte above 0x7f.
bool mustBeTaken(const std::vector<Item> &text) {
    for (const Item &item : text) {
        if (item.byte >= 0x80 ||
            (item.byte > 0 && std::strchr("`$\\#<>()~", item.byte) != nullptr)) {
            return false;
        }
    }
    return true;
}

bool holdsName(const std::string &text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (nameAt(text, i) >= 0) {
            return true;
        }
    }
    return false;
}

// Whether text holds a {} (which stands for every value of a tuple).
bool holdsArgument(const std::string &text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (nameAt(text, i) == 0) {
            return true;
        }
    }
    return false;
}

// Every replacement string of text, left to right, replaced by its text; what was put in is
// never read again.
std::string substituted(const std::string &text, const std::vector<std::string> &texts) {
    std::string result;
    for (size_t i = 0; i < text.size();) {
        size_t length = 0;
        const int which = nameAt(text, i, &length);
        if (which >= 0) {
            result += texts[static_cast<size_t>(which)];
            i += length;
        } else {
            result += text[i];
            ++i;
        }
    }
    return result;
}

// The library's createCommand: only {} is replaced. Its length must be exactly the template's less
// two bytes per {} plus the argument's length per {}, and its bytes those of a plain expansion.
void checkCreateCommand(const std::string &commandTemplate, const std::string &argument) {
    size_t placeholders = 0;
    std::string expected;
    for (size_t i = 0; i < commandTemplate.size();) {
        if (commandTemplate.compare(i, 2, "{}") == 0) {
            ++placeholders;
            expected += argument;
            i += 2;
        } else {
            expected += commandTemplate[i];
            ++i;
        }
    }
    char *made = createCommand(commandTemplate.c_str(), argument.c_str());
    const std::string got(made);
    std::free(made);
    require(got.size() ==
                commandTemplate.size() - 2 * placeholders + placeholders * argument.size(),
            "createCommand made a command of the wrong length", got);
    require(got == expected, "createCommand did not replace every {} by the argument", got);
}

// --colsep with a one-byte separator: the columns are the text between the separators, every
// byte kept, none holding the separator.
void checkColumns(const std::string &value, int choice) {
    static const char *const separators[] = {",", ";", "\t", ":", " ", "x", "\\|", "\\."};
    static const char literal[] = {',', ';', '\t', ':', ' ', 'x', '|', '.'};
    fanrun_cli::Product::Settings settings;
    settings.columns = separators[choice];
    const fanrun_cli::Product product({}, fanrun_cli::InputForm{}, settings);
    std::vector<std::string> columns;
    product.columnsOf(value, columns);
    std::string joined;
    for (const std::string &column : columns) {
        require(column.find(literal[choice]) == std::string::npos, "a column holds its separator",
                value);
        joined += (&column == &columns.front() ? "" : std::string(1, literal[choice])) + column;
    }
    require(joined == value, "the columns do not make the value back", value);
    require(columns.size() ==
                static_cast<size_t>(std::count(value.begin(), value.end(), literal[choice])) + 1,
            "a value split into the wrong number of columns", value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const bool wordsForm = (data[0] & 1) != 0;
    const int slotChoice = (data[0] >> 1) & 7;
    const int positionChoice = data[0] >> 4;
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
        static const char *const codes[] = {
            "",      "{}",    "\xa5",  "\x81",  "$'",  "{1}", "{2}",  "{2.}", "{2/}", "{1//}",
            nullptr, nullptr, nullptr, nullptr, "{.}", "{/}", "{//}", "{/.}", "{#}",  "{%}"};
        for (char c : parts[0]) {
            const auto byte = static_cast<unsigned char>(c);
            written += byte < 20 && codes[byte] != nullptr ? codes[byte] : std::string(1, c);
        }
    }
    const std::vector<Item> templateItems = items(written, true);
    std::vector<TemplatePiece> pieces;
    const bool taken = !fanrun_cli::parseTemplate(written, pieces);
    require(taken || !mustBeTaken(templateItems),
            "a template of plain words, quotes and replacement strings was refused", written);
    require(taken || !wordsForm, "the quoted command words were refused", written);
    for (size_t a = 1; a < parts.size(); ++a) {
        const std::string &argument = parts[a];
        const long position = positionChoice == 15 ? LONG_MAX - 5 + static_cast<long>(a)
                                                   : positionChoice * 1000L + static_cast<long>(a);
        const int slot = slotChoice == 7 ? INT_MAX : 1 + slotChoice * 10 + static_cast<int>(a);
        checkColumns(argument, slotChoice);
        std::vector<std::string> texts = replacementTexts(argument, position, slot);
        // Without {} a command takes a tuple: this argument and the next as source 2 (with {},
        // which is then all of them, one source).
        const bool tuple = !holdsArgument(written);
        const std::vector<std::string> tupleValues{argument, parts[a % (parts.size() - 1) + 1]};
        // Source 1's parts are the argument's; source 2's those of its value, or nothing.
        const std::vector<std::string> second =
            replacementTexts(tuple ? tupleValues[1] : std::string(), position, slot);
        const std::vector<std::string> first(texts.begin(), texts.begin() + 5);
        texts.insert(texts.end(), first.begin(), first.end());
        for (size_t part = 0; part < 5; ++part) {
            texts.push_back(tuple ? second[part] : std::string());
        }
        texts.emplace_back();
        fanrun_cli::Replacements values{argument, position, slot};
        if (tuple) {
            values.values = &tupleValues;
        }
        for (int which = 0; which < textCount; ++which) {
            require(fanrun_cli::replacementText(which, values) == texts[static_cast<size_t>(which)],
                    "a replacement string stands for the wrong text",
                    std::to_string(which) + " " + argument);
        }
        require(fanrun_cli::expandRaw(written, values) == substituted(written, texts),
                "--raw is not plain substitution left to right", written);
        checkCreateCommand(written, argument);
        if (!taken) {
            continue;
        }
        const std::string command = fanrun_cli::expandTemplate(pieces, values);
        checkCreateCommand("{}", command);
        require(command.find('\n') == std::string::npos || written.find('\n') != std::string::npos,
                "an argument put a raw newline into the command", command);
        std::vector<std::string> expectedByByte;
        for (const bool multibyte : {false, true}) {
            Model expected{multibyte, texts, {}, {}};
            Model got{multibyte, texts, {}, {}};
            const Reading want = readWords(templateItems, expected);
            require(want != Reading::MustRefuse,
                    "a replacement string no quoting can keep was taken", command);
            if (wordsForm) {
                // Independent of the template: the words themselves with every replacement string
                // taken as its text, and the argument as a word of its own when there is none.
                expected.words.clear();
                bool placed = false;
                for (const std::string &word : words) {
                    placed = placed || holdsName(word);
                    std::string encoded;
                    for (char c : substituted(word, texts)) {
                        encoded += 'L';
                        encoded += c;
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
