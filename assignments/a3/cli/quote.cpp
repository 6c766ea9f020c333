// The front end's templates and quoting: the template built from the command words, read the way
// bash reads it so that every replacement string is quoted for the place it stands in; the
// commands without a shell and with several arguments.

#include "quote.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

namespace fanrun_cli {

namespace {

// The replacement strings a template may hold, found wherever they stand, in the order of
// Replacement; each stands for a text made from the argument, its position or its job slot. The
// first may be renamed (-I), so that a fanrun inside another's command keeps its own {}.
const char *replacements[] = {"{}", "{.}", "{/}", "{//}", "{/.}", "{#}", "{%}"};
constexpr size_t replacementCount = sizeof replacements / sizeof replacements[0];
std::string argumentString = "{}";
// --header: each column's name, so that {NAME} stands for that value as {N} does (empty: a name
// that cannot be one).
std::vector<std::string> columnNames;

// After the table come the positional strings {N} {N.} {N/} {N//} {N/.}, five for each source:
// positionalBase + (N - 1) * 5 + the part. N has at most this many digits and no leading zero.
constexpr int positionalBase = static_cast<int>(replacementCount);
constexpr const char *positionalEndings[] = {"}", ".}", "/}", "//}", "/.}"};
constexpr size_t positionalDigits = 6;
// {NAME} {NAME.} {NAME/} {NAME//} {NAME/.} of the i-th column (--header) are namedBase + i * 5 +
// the part, as the positional strings of source i + 1.
constexpr int namedBase = 1 << 24;

// Of a positional or named string: the source it takes (from 0) and the part.
bool positional(int which, size_t &source, int &part) {
    if (which >= namedBase) {
        source = static_cast<size_t>((which - namedBase) / 5);
        part = (which - namedBase) % 5;
        return true;
    }
    if (which < positionalBase) {
        return false;
    }
    source = static_cast<size_t>((which - positionalBase) / 5);
    part = (which - positionalBase) % 5;
    return true;
}

// The replacement string at text + at, or -1.
int replacementIn(std::string_view text, size_t at) {
    if (at >= text.size()) {
        return -1;
    }
    if (text.compare(at, argumentString.size(), argumentString) == 0) {
        return 0;
    }
    if (text[at] != '{') {
        return -1;
    }
    for (size_t i = 1; i < replacementCount; ++i) {
        if (text.compare(at, strlen(replacements[i]), replacements[i]) == 0) {
            return static_cast<int>(i);
        }
    }
    // ${1} and ${name} are the shell's own.
    if (at > 0 && text[at - 1] == '$') {
        return -1;
    }
    // The longest name that fits; of a name and a shorter one with a part ({a.} where both a.
    // and a are names), the whole name.
    int named = -1;
    size_t longest = 0;
    for (size_t i = 0; i < columnNames.size(); ++i) {
        const std::string &name = columnNames[i];
        if (name.empty() || text.compare(at + 1, name.size(), name) != 0) {
            continue;
        }
        for (int part = 0; part < 5; ++part) {
            const size_t length = 1 + name.size() + strlen(positionalEndings[part]);
            if ((length > longest || (length == longest && part == 0)) &&
                text.compare(at + 1 + name.size(), length - 1 - name.size(),
                             positionalEndings[part]) == 0) {
                named = namedBase + static_cast<int>(i) * 5 + part;
                longest = length;
            }
        }
    }
    if (named >= 0) {
        return named;
    }
    size_t end = at + 1;
    while (end < text.size() && end - at <= positionalDigits && text[end] >= '0' &&
           text[end] <= '9') {
        ++end;
    }
    const size_t digits = end - at - 1;
    if (digits == 0 || digits > positionalDigits || text[at + 1] == '0') {
        return -1;
    }
    for (int part = 0; part < 5; ++part) {
        if (text.compare(end, strlen(positionalEndings[part]), positionalEndings[part]) == 0) {
            const int source = std::stoi(std::string(text.substr(at + 1, digits)));
            return positionalBase + (source - 1) * 5 + part;
        }
    }
    return -1;
}

// Where a replacement string may start in text at from or after, or npos.
size_t nextCandidate(std::string_view text, size_t from) {
    if (argumentString[0] == '{') {
        return text.find('{', from);
    }
    const char starts[] = {'{', argumentString[0], '\0'};
    return text.find_first_of(std::string_view(starts, 2), from);
}

// The replacement string which as written.
std::string replacementName(int which) {
    if (which == 0) {
        return argumentString;
    }
    if (which < positionalBase) {
        return replacements[which];
    }
    if (which >= namedBase) {
        return "{" + columnNames[static_cast<size_t>((which - namedBase) / 5)] +
               positionalEndings[(which - namedBase) % 5];
    }
    return "{" + std::to_string((which - positionalBase) / 5 + 1) +
           positionalEndings[(which - positionalBase) % 5];
}

// Where the last component of path starts.
size_t lastComponent(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

// path without the extension of its last component: from the last dot on, unless that dot starts
// the component (.bashrc) or ends it (a.).
std::string_view withoutExtension(std::string_view path) {
    const size_t start = lastComponent(path);
    const size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot <= start || dot + 1 == path.size()) {
        return path;
    }
    return path.substr(0, dot);
}

// Bytes that are never special to bash anywhere in a word, so a word made only of them may go
// into a command as it is. '=' and '~' are left out: they change meaning at a word's start.
bool plainByte(unsigned char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || strchr("_./,:+@%-", byte) != nullptr;
}

bool controlByte(unsigned char byte) {
    return byte < 32 || byte == 127;
}

bool plainText(const char *text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (!plainByte(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return length > 0;
}

constexpr bool nameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

constexpr bool nameByte(char c) {
    return nameStart(c) || (c >= '0' && c <= '9');
}

// Bytes that a multibyte locale may read as the second half of a character after a byte above
// 0x7f (Big5, GBK and Shift-JIS all take 0x40 to 0x7e there) and that bash gives a meaning to.
bool joinableSyntax(char c) {
    return c != '\0' && strchr("@[\\]^`{|}~", c) != nullptr;
}

// Where the lexer is: bash's command level (the template itself, $(...), <(...) and >(...)) or
// inside one of the constructs below. Only the first four and comments may hold a replacement
// string. The order is that of the tables in scopeTables.
enum class Scope : unsigned char {
    Command,
    Double,
    Single,
    DollarSingle,
    Backquote,
    Arithmetic, // $((...)) and ((...)), closed by "))"
    Bracket,    // $[...]
    Parameter,  // ${...}
    Comment,    // from a # that starts a word up to the newline
};

// What one byte does where it stands. Each scope has a table from byte to action, as a shell's
// reader keeps character classes, so that a rule is one entry a test row can name; the few
// actions that look at the bytes around (what a $ or a ( opens, << against <<<) say so below.
enum class Act : unsigned char {
    Text,           // part of the word and nothing more
    High,           // above 0x7f: text, unless it would join a special byte after it
    Escape,         // a backslash: the byte after it is text
    EscapeSome,     // a backslash in "...": only before the bytes of escapedInDouble
    Single,         // opens '...'
    Double,         // opens "..."
    Backquote,      // opens `...`
    Close,          // ends the scope
    Leave,          // ends the scope and is read again outside it: the newline after a comment
    Dollar,         // what it opens depends on the byte after it (afterDollar)
    DollarInDouble, // likewise, in "..." (afterDollarInDouble)
    Deeper,         // opens a nesting the scope's closer waits for: { in ${...}, ( in $((...))
    Shallower,      // closes one, or the scope when none is open: } in ${...}
    EndArithmetic,  // likewise, ) in $((...)); the second ) of )) is read with the first
    // The command level alone.
    Keyword,    // c and e: case and esac count, at a word's start, the ) that close nothing
    Hash,       // a comment at a word's start
    Less,       // <<< a here-string, << a here-document, else an operator
    Newline,    // the bodies of the here-documents of the line start after it
    Paren,      // (( arithmetic at a word's start, <( >( a command level in the word, else ( ... )
    CloseParen, // ends a command level inside a word, unless a ( or a case pattern is open
    Blank,      // blanks and operators end the word
    Brace,      // a brace expansion opens: a comma in a plain argument would split it
    CloseBrace, // and closes
    Tilde,      // a tilde prefix starts: a plain argument would name a user
    Slash,      // and ends
    // Not from a table: a replacement string is found before its first byte's class, anywhere.
    Replacement,
};

using Table = std::array<Act, 256>;

struct Rule {
    std::string_view bytes;
    Act act;
};

// A scope's table: the bytes of each rule get its action, bytes above 0x7f high, all else text.
template <size_t N> constexpr Table scopeTable(Act high, const Rule (&rules)[N]) {
    Table table{};
    for (size_t byte = 0x80; byte < table.size(); ++byte) {
        table[byte] = high;
    }
    for (const Rule &rule : rules) {
        for (const char byte : rule.bytes) {
            table[static_cast<unsigned char>(byte)] = rule.act;
        }
    }
    return table;
}

// Templates come from argv and hold no NUL; one would end the word, as the end of the text does.
constexpr std::string_view blanks{" \t;&|>\0", 7};

constexpr Rule commandRules[] = {
    {"\\", Act::Escape},  {"'", Act::Single},     {"\"", Act::Double},    {"`", Act::Backquote},
    {"$", Act::Dollar},   {"ce", Act::Keyword},   {"#", Act::Hash},       {"<", Act::Less},
    {"\n", Act::Newline}, {"(", Act::Paren},      {")", Act::CloseParen}, {blanks, Act::Blank},
    {"{", Act::Brace},    {"}", Act::CloseBrace}, {"~", Act::Tilde},      {"/", Act::Slash},
};
constexpr Rule doubleRules[] = {
    {"\\", Act::EscapeSome},
    {"\"", Act::Close},
    {"$", Act::DollarInDouble},
    {"`", Act::Backquote},
};
constexpr Rule singleRules[] = {{"'", Act::Close}};
constexpr Rule dollarSingleRules[] = {{"\\", Act::Escape}, {"'", Act::Close}};
constexpr Rule backquoteRules[] = {{"\\", Act::Escape}, {"`", Act::Close}};
// Quotes and $ inside arithmetic and ${...} are read as outside, so their closers are found.
constexpr Rule arithmeticRules[] = {
    {"\\", Act::Escape}, {"'", Act::Single}, {"\"", Act::Double},       {"`", Act::Backquote},
    {"$", Act::Dollar},  {"(", Act::Deeper}, {")", Act::EndArithmetic},
};
constexpr Rule bracketRules[] = {
    {"\\", Act::Escape},   {"'", Act::Single}, {"\"", Act::Double},
    {"`", Act::Backquote}, {"$", Act::Dollar}, {"]", Act::Close},
};
constexpr Rule parameterRules[] = {
    {"\\", Act::Escape}, {"'", Act::Single}, {"\"", Act::Double},   {"`", Act::Backquote},
    {"$", Act::Dollar},  {"{", Act::Deeper}, {"}", Act::Shallower},
};
// Nothing is special in a comment, nor checked: bash reads no further than its newline.
constexpr Rule commentRules[] = {{"\n", Act::Leave}};

constexpr Table scopeTables[] = {
    scopeTable(Act::High, commandRules),   scopeTable(Act::High, doubleRules),
    scopeTable(Act::Text, singleRules),    scopeTable(Act::High, dollarSingleRules),
    scopeTable(Act::High, backquoteRules), scopeTable(Act::High, arithmeticRules),
    scopeTable(Act::High, bracketRules),   scopeTable(Act::High, parameterRules),
    scopeTable(Act::Text, commentRules),
};
static_assert(std::size(scopeTables) == static_cast<size_t>(Scope::Comment) + 1);

// The bytes a backslash escapes inside "...": before any other it stays a backslash.
constexpr std::array<bool, 256> escapedInDouble = [] {
    std::array<bool, 256> escaped{};
    for (const char byte : std::string_view("$`\"\\\n")) {
        escaped[static_cast<unsigned char>(byte)] = true;
    }
    return escaped;
}();

// What a $ opens, by the byte after it.
enum class Opens : unsigned char {
    Nothing,      // a lone $; $"...", $1, $@ and the like read the same as one before "... or text
    DollarSingle, // $'...'
    Substitution, // $(...), or $((...)) arithmetic
    Bracket,      // $[...]
    Parameter,    // ${...}
    Pid,          // $$: the second $ opens nothing
    Name,         // $NAME: as many name bytes as follow, so a name goes on into plain text
};

// Inside "..." a $' is a $ and a quote: bash reads no $'...' there.
constexpr std::array<Opens, 256> dollarTable(bool inDouble) {
    std::array<Opens, 256> table{};
    for (size_t byte = 0; byte < table.size(); ++byte) {
        table[byte] = nameStart(static_cast<char>(byte)) ? Opens::Name : Opens::Nothing;
    }
    table['('] = Opens::Substitution;
    table['['] = Opens::Bracket;
    table['{'] = Opens::Parameter;
    table['$'] = Opens::Pid;
    table['\''] = inDouble ? Opens::Nothing : Opens::DollarSingle;
    return table;
}
constexpr std::array<Opens, 256> afterDollar = dollarTable(false);
constexpr std::array<Opens, 256> afterDollarInDouble = dollarTable(true);

// What the bytes just read leave for a replacement string right after them.
enum class After : unsigned char {
    Nothing,
    Name,         // $NAME: the name would go on into a plain argument
    Dollar,       // a $ in "...": it would make a plain argument a variable
    Continuation, // a backslash-newline, which bash removes, joining what stands before
};

// The word being read at a command level: $(...) and <(...) start a word of their own inside it,
// and the outer word goes on after their ), as bash joins a$(b)c into one word.
struct Word {
    bool start = true;  // nothing of the word read yet: a # here starts a comment
    int braces = 0;     // unquoted { of a brace expansion open
    bool tilde = false; // an unquoted ~ with no / after it: a plain argument would name a user
    After after = After::Nothing; // of the last byte (or bytes) read, for the next one alone
};

struct Frame {
    Scope scope;
    int depth;     // parentheses (or braces in ${...}) opened inside and not yet closed
    int cases = 0; // case commands open: their patterns end in a ) that closes nothing
    Word outer{};  // of a command level inside a word: that word, taken up again after the )
};

struct HereDocument {
    std::string delimiter;
    bool stripTabs;
};

const char *refusedScope(Scope scope) {
    switch (scope) {
    case Scope::Backquote:
        return "inside backquotes; write $(...) instead of `...`";
    case Scope::Arithmetic:
    case Scope::Bracket:
        return "inside arithmetic, where bash evaluates it as an expression; pass it as a word "
               "outside, e.g. test \"$(( n ))\" after n={} only for trusted numbers";
    case Scope::Parameter:
        return "inside ${...}; set a variable first: v={}; ... ${v...}";
    default:
        return nullptr;
    }
}

// Reads a template as bash does, as far as deciding the context of every replacement string.
class Lexer {
  public:
    Lexer(const std::string &text, std::vector<TemplatePiece> &pieces, TemplateRefusal &refusal)
        : text_(text), pieces_(pieces), refusal_(refusal) {}

    bool run();

  private:
    char byteAt(size_t at) const { return at < text_.size() ? text_[at] : '\0'; }
    int replacementAt(size_t at) const;
    bool refuse(size_t at, const std::string &message);
    bool separate(size_t at);
    bool keywordAt(const char *word) const {
        const size_t end = at_ + strlen(word);
        return text_.compare(at_, strlen(word), word) == 0 &&
               (end >= text_.size() || !nameByte(text_[end]));
    }
    bool perform(Act act, const Word &before);
    bool placeholder(After after);
    bool escape(bool escapes, bool wordStart);
    bool dollar(bool inDouble);
    void enter(Scope scope) { stack_.push_back({scope, 0}); }
    // A command level inside the word: the word goes on after its ).
    void enterCommand() {
        stack_.push_back({Scope::Command, 0, 0, word_});
        endWord();
    }
    bool hereDocument();
    bool hereDocumentBodies();
    void endWord() { word_ = Word{}; }

    const std::string &text_;
    std::vector<TemplatePiece> &pieces_;
    TemplateRefusal &refusal_;
    std::vector<Frame> stack_{{Scope::Command, 0}};
    std::vector<HereDocument> pending_;
    size_t at_ = 0;
    size_t pieceStart_ = 0;
    Word word_;
};

int Lexer::replacementAt(size_t at) const {
    return replacementIn(text_, at);
}

bool Lexer::refuse(size_t at, const std::string &message) {
    refusal_.offset = at;
    refusal_.message = message;
    return false;
}

bool Lexer::separate(size_t at) {
    const char next = at + 1 < text_.size() ? text_[at + 1] : '\0';
    if (static_cast<unsigned char>(text_[at]) >= 0x80 && joinableSyntax(next) &&
        replacementAt(at + 1) < 0) {
        return refuse(at, std::string("a byte above 0x7f stands right before '") + next +
                              "', which Big5, GBK or Shift-JIS read as one character with it; "
                              "put a space or quotes between them");
    }
    return true;
}

bool Lexer::placeholder(After after) {
    const size_t at = at_;
    const int which = replacementAt(at);
    const std::string name = replacementName(which);
    for (const Frame &frame : stack_) {
        const char *why = refusedScope(frame.scope);
        if (why != nullptr) {
            return refuse(at, name + " stands " + why);
        }
    }
    if (after == After::Continuation) {
        return refuse(at, name + " follows a backslash-newline, which bash removes, joining " +
                              name + " to what comes before; put it on the next line whole");
    }
    TemplatePiece piece;
    piece.text = text_.substr(pieceStart_, at - pieceStart_);
    piece.replacement = which;
    piece.quoted = after == After::Name || after == After::Dollar || word_.braces > 0;
    switch (stack_.back().scope) {
    case Scope::Double:
        piece.context = Context::Double;
        break;
    case Scope::Single:
        piece.context = Context::Single;
        break;
    case Scope::DollarSingle:
        piece.context = Context::DollarSingle;
        break;
    default:
        piece.context = Context::Bare;
        piece.quoted = piece.quoted || word_.tilde;
        break;
    }
    pieces_.push_back(std::move(piece));
    at_ = at + name.size();
    pieceStart_ = at_;
    return true;
}

// A backslash, outside '...': escapes says whether it takes the byte after it along.
bool Lexer::escape(bool escapes, bool wordStart) {
    const char next = byteAt(at_ + 1);
    const int which = replacementAt(at_ + 1);
    if (which >= 0) {
        return refuse(at_ + 1, replacementName(which) +
                                   " follows a backslash, which would take its quoting apart; "
                                   "quote the backslash: '\\'" +
                                   replacementName(which));
    }
    // A byte above 0x7f is read on its own next: it may join the byte after it.
    at_ += escapes && next != '\0' && static_cast<unsigned char>(next) < 0x80 ? 2 : 1;
    if (escapes && next == '\n') {
        // Removed by bash: the word is where it was.
        word_.start = wordStart;
        word_.after = After::Continuation;
    }
    return true;
}

// A $ in the command level or in "...": what it opens, if anything.
bool Lexer::dollar(bool inDouble) {
    const size_t at = at_;
    const int which = replacementAt(at + 1);
    if (which >= 0) {
        if (!inDouble) {
            return refuse(at + 1, replacementName(which) +
                                      " follows a $, which would make it a variable or $'...'; "
                                      "quote the $: '$'" +
                                      replacementName(which));
        }
        word_.after = After::Dollar;
        at_ = at + 1;
        return true;
    }
    const auto next = static_cast<unsigned char>(byteAt(at + 1));
    at_ = at + 2;
    switch ((inDouble ? afterDollarInDouble : afterDollar)[next]) {
    case Opens::Nothing:
        at_ = at + 1;
        break;
    case Opens::DollarSingle:
        enter(Scope::DollarSingle);
        break;
    case Opens::Substitution:
        if (byteAt(at + 2) == '(') {
            enter(Scope::Arithmetic);
            ++at_;
        } else {
            enterCommand();
        }
        break;
    case Opens::Bracket:
        enter(Scope::Bracket);
        break;
    case Opens::Parameter:
        enter(Scope::Parameter);
        break;
    case Opens::Pid:
        break;
    case Opens::Name:
        while (at_ < text_.size() && nameByte(text_[at_])) {
            ++at_;
        }
        word_.after = After::Name;
        break;
    }
    return true;
}

// A << that is not <<<: the delimiter word, read now; its body comes after the line.
bool Lexer::hereDocument() {
    at_ += 2;
    HereDocument document{"", false};
    if (at_ < text_.size() && text_[at_] == '-') {
        document.stripTabs = true;
        ++at_;
    }
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t')) {
        ++at_;
    }
    char quote = '\0';
    for (; at_ < text_.size(); ++at_) {
        const char c = text_[at_];
        if (!separate(at_)) {
            return false;
        }
        const size_t word = c == '\\' ? at_ + 1 : at_;
        if (replacementAt(word) >= 0) {
            return refuse(word, replacementName(replacementAt(word)) +
                                    " stands in a here-document's delimiter; use a fixed word");
        }
        if (c == '`' || (c == '$' && quote != '\'')) {
            return refuse(at_, "a here-document's delimiter holds $ or `, which bash reads as "
                               "more than a word; use a plain word");
        }
        if (quote != '\0') {
            if (c == quote) {
                quote = '\0';
            } else {
                document.delimiter += c;
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '\\' && at_ + 1 < text_.size() &&
                   static_cast<unsigned char>(text_[at_ + 1]) < 0x80) {
            document.delimiter += text_[++at_];
        } else if (c == '\\') {
            continue;
        } else if (strchr(" \t\n;&|()<>", c) != nullptr) {
            break;
        } else {
            document.delimiter += c;
        }
    }
    pending_.push_back(std::move(document));
    word_.start = false;
    return true;
}

// At the newline that ends the line of one or more <<: their bodies, line by line, each up to its
// delimiter line. Nothing in a body can be quoted for bash.
bool Lexer::hereDocumentBodies() {
    ++at_;
    for (const HereDocument &document : pending_) {
        while (at_ < text_.size()) {
            size_t end = text_.find('\n', at_);
            if (end == std::string::npos) {
                end = text_.size();
            }
            for (size_t i = at_; i < end; ++i) {
                if (!separate(i)) {
                    return false;
                }
                if (replacementAt(i) >= 0) {
                    return refuse(i, replacementName(replacementAt(i)) +
                                         " stands in a here-document, where no quoting applies; "
                                         "use a here-string instead: <<< {}");
                }
            }
            size_t start = at_;
            while (document.stripTabs && start < end && text_[start] == '\t') {
                ++start;
            }
            const bool last = text_.compare(start, end - start, document.delimiter) == 0;
            at_ = end < text_.size() ? end + 1 : end;
            if (last) {
                break;
            }
        }
    }
    pending_.clear();
    endWord();
    return true;
}

// One byte (or the bytes it starts) read by the action its scope's table gives it. before is the
// word as the bytes before left it; its start and after hold for this byte alone.
bool Lexer::perform(Act act, const Word &before) {
    Frame &frame = stack_.back();
    const char next = byteAt(at_ + 1);
    switch (act) {
    case Act::Replacement:
        return placeholder(before.after);
    case Act::High:
        if (!separate(at_)) {
            return false;
        }
        break;
    case Act::Text:
        break;
    case Act::Escape:
    case Act::EscapeSome:
        return escape(act == Act::Escape || escapedInDouble[static_cast<unsigned char>(next)],
                      before.start);
    case Act::Single:
        enter(Scope::Single);
        break;
    case Act::Double:
        enter(Scope::Double);
        break;
    case Act::Backquote:
        enter(Scope::Backquote);
        break;
    case Act::Close:
        stack_.pop_back();
        break;
    case Act::Leave:
        stack_.pop_back();
        return true;
    case Act::Dollar:
    case Act::DollarInDouble:
        return dollar(act == Act::DollarInDouble);
    case Act::Deeper:
        ++frame.depth;
        break;
    case Act::Shallower:
    case Act::EndArithmetic:
        if (frame.depth-- == 0) {
            at_ += act == Act::EndArithmetic && next == ')' ? 1 : 0;
            stack_.pop_back();
        }
        break;
    case Act::Keyword:
        if (before.start && keywordAt("case")) {
            ++frame.cases;
        } else if (before.start && keywordAt("esac") && frame.cases > 0) {
            --frame.cases;
        }
        break;
    case Act::Hash:
        if (before.start) {
            // A {} here keeps the argument from being appended; quoted, it cannot end the line.
            enter(Scope::Comment);
        }
        break;
    case Act::Less:
        if (next == '<' && byteAt(at_ + 2) == '<') {
            at_ += 2;
        } else if (next == '<') {
            return hereDocument();
        }
        endWord();
        break;
    case Act::Newline:
        if (!pending_.empty()) {
            return hereDocumentBodies();
        }
        endWord();
        break;
    case Act::Paren:
        if (next == '(' && before.start) {
            enter(Scope::Arithmetic);
            ++at_;
        } else if (at_ > 0 && (text_[at_ - 1] == '<' || text_[at_ - 1] == '>')) {
            enterCommand();
        } else {
            ++frame.depth;
            endWord();
        }
        break;
    case Act::CloseParen:
        if (frame.depth == 0 && frame.cases == 0 && stack_.size() > 1) {
            word_ = frame.outer;
            stack_.pop_back();
        } else {
            frame.depth -= frame.depth > 0 ? 1 : 0;
            endWord();
        }
        break;
    case Act::Blank:
        endWord();
        break;
    case Act::Brace:
        ++word_.braces;
        break;
    case Act::CloseBrace:
        word_.braces -= word_.braces > 0 ? 1 : 0;
        break;
    case Act::Tilde:
        word_.tilde = true;
        break;
    case Act::Slash:
        word_.tilde = false;
        break;
    }
    ++at_;
    return true;
}

bool Lexer::run() {
    while (at_ < text_.size()) {
        const Word before = word_;
        word_.start = false;
        word_.after = After::Nothing;
        const Act act = replacementAt(at_) >= 0
                            ? Act::Replacement
                            : scopeTables[static_cast<size_t>(stack_.back().scope)]
                                         [static_cast<unsigned char>(text_[at_])];
        if (!perform(act, before)) {
            return false;
        }
    }
    TemplatePiece tail;
    tail.text = text_.substr(pieceStart_);
    pieces_.push_back(std::move(tail));
    return true;
}

} // namespace

// Plain text goes in unchanged (unless quoted is set); text without control bytes as '...'; text
// with them as $'...', so that the command and its report line stay one line. Inside $'...' every
// byte above 0x7f is written \xHH: raw, it could join the backslash after it into one character in
// a multibyte locale and end the quoting early.
void appendQuoted(std::string &out, const char *text, size_t length, bool quoted) {
    if (!quoted && plainText(text, length)) {
        out.append(text, length);
        return;
    }
    bool control = false;
    for (size_t i = 0; i < length; ++i) {
        control = control || controlByte(static_cast<unsigned char>(text[i]));
    }
    if (!control) {
        out += '\'';
        for (size_t i = 0; i < length; ++i) {
            if (text[i] == '\'') {
                out += "'\\''";
            } else {
                out += text[i];
            }
        }
        out += '\'';
        return;
    }
    static const char hex[] = "0123456789abcdef";
    out += "$'";
    for (size_t i = 0; i < length; ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\\' || byte == '\'') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (controlByte(byte) || byte >= 0x80) {
            // Always two digits: bash reads at most two, so a following hex digit stays itself.
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += static_cast<char>(byte);
        }
    }
    out += '\'';
}

std::string buildTemplate(char **words, int count, bool appendArgument) {
    std::string result;
    if (count == 1) {
        result = words[0];
    } else {
        for (int w = 0; w < count; ++w) {
            if (w > 0) {
                result += ' ';
            }
            const char *word = words[w];
            // Scanned left to right: a replacement string stays one, everything else is literal.
            const char *piece = word;
            const char *at = word;
            while (*at != '\0') {
                // The whole word, so that a ${1} in it stays text.
                const int which = replacementIn(word, static_cast<size_t>(at - word));
                if (which >= 0) {
                    if (at != piece) {
                        appendQuoted(result, piece, static_cast<size_t>(at - piece));
                    }
                    const std::string name = replacementName(which);
                    result += name;
                    at += name.size();
                    piece = at;
                } else {
                    ++at;
                }
            }
            if (at != piece || piece == word) {
                appendQuoted(result, piece, static_cast<size_t>(at - piece));
            }
        }
    }
    if (appendArgument && !holdsReplacement(result)) {
        result += ' ';
        result += argumentString;
    }
    return result;
}

bool holdsReplacement(std::string_view text) {
    for (size_t at = nextCandidate(text, 0); at != std::string_view::npos;
         at = nextCandidate(text, at + 1)) {
        if (replacementIn(text, at) >= 0) {
            return true;
        }
    }
    return false;
}

namespace {

// The part of value that replacement string which (one of the first five, or a positional one's
// part) stands for.
std::string partOf(int part, std::string_view value) {
    switch (part) {
    case 1:
        return std::string(withoutExtension(value));
    case 2:
        return std::string(value.substr(lastComponent(value)));
    case 3: {
        const size_t start = lastComponent(value);
        return start == 0 ? "." : start == 1 ? "/" : std::string(value.substr(0, start - 1));
    }
    case 4:
        return std::string(withoutExtension(value.substr(lastComponent(value))));
    default:
        return std::string(value);
    }
}

} // namespace

std::string replacementText(int which, const Replacements &values) {
    size_t source = 0;
    int part = 0;
    if (positional(which, source, part)) {
        if (values.values == nullptr) {
            return source == 0 ? partOf(part, values.argument) : std::string();
        }
        return source < values.values->size() ? partOf(part, (*values.values)[source])
                                              : std::string();
    }
    switch (which) {
    case 5:
        return std::to_string(values.position);
    case 6:
        return std::to_string(values.slot);
    default:
        return partOf(which, values.argument);
    }
}

void renameArgumentString(std::string name) {
    argumentString = std::move(name);
}

void nameColumns(const std::vector<std::string> &names) {
    columnNames.clear();
    for (const std::string &name : names) {
        // An empty or long one keeps the others at their numbers.
        columnNames.push_back(!name.empty() && name.size() <= 256 ? name : std::string());
    }
}

int highestSource(const CommandTemplate &command) {
    int highest = 0;
    auto note = [&highest](int which) {
        size_t source = 0;
        int part = 0;
        if (positional(which, source, part)) {
            highest = std::max(highest, static_cast<int>(source) + 1);
        }
    };
    if (command.raw) {
        for (size_t at = nextCandidate(command.text, 0); at != std::string::npos;
             at = nextCandidate(command.text, at + 1)) {
            note(replacementIn(command.text, at));
        }
    } else {
        for (const TemplatePiece &piece : command.pieces) {
            note(piece.replacement);
        }
    }
    return highest;
}

std::string firstPositional(const CommandTemplate &command, int beyond) {
    auto past = [beyond](int which) {
        size_t source = 0;
        int part = 0;
        return positional(which, source, part) && static_cast<int>(source) + 1 > beyond;
    };
    if (command.raw) {
        for (size_t at = nextCandidate(command.text, 0); at != std::string::npos;
             at = nextCandidate(command.text, at + 1)) {
            if (past(replacementIn(command.text, at))) {
                return replacementName(replacementIn(command.text, at));
            }
        }
        return {};
    }
    for (const TemplatePiece &piece : command.pieces) {
        if (past(piece.replacement)) {
            return replacementName(piece.replacement);
        }
    }
    return {};
}

std::string firstUnknownName(const CommandTemplate &command) {
    const std::string &text = command.text;
    auto nameByte = [](char c, bool first) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
               (!first && ((c >= '0' && c <= '9') || c == '-'));
    };
    for (size_t at = text.find('{'); at != std::string::npos; at = text.find('{', at + 1)) {
        if ((at > 0 && text[at - 1] == '$') || replacementIn(text, at) >= 0) {
            continue;
        }
        size_t end = at + 1;
        while (end < text.size() && nameByte(text[end], end == at + 1)) {
            ++end;
        }
        if (end == at + 1) {
            continue;
        }
        for (const char *ending : positionalEndings) {
            if (text.compare(end, strlen(ending), ending) == 0) {
                return text.substr(at, end - at + strlen(ending));
            }
        }
    }
    return {};
}

std::string expandRaw(std::string_view text, const Replacements &values) {
    std::string command;
    size_t from = 0;
    for (size_t at = nextCandidate(text, 0); at != std::string_view::npos;
         at = nextCandidate(text, at)) {
        const int which = replacementIn(text, at);
        if (which < 0) {
            ++at;
            continue;
        }
        command.append(text.substr(from, at - from));
        command += replacementText(which, values);
        at += replacementName(which).size();
        from = at;
    }
    command.append(text.substr(from));
    return command;
}

std::optional<TemplateRefusal> parseTemplate(const std::string &text,
                                             std::vector<TemplatePiece> &pieces) {
    pieces.clear();
    TemplateRefusal refusal;
    Lexer lexer(text, pieces, refusal);
    if (lexer.run()) {
        return std::nullopt;
    }
    pieces.clear();
    return refusal;
}

namespace {

// Where plain text would read the same, it goes in without quotes; elsewhere the quotes around
// the replacement are closed, the argument is quoted on its own, and the quotes are opened again.
void appendReplacement(std::string &command, const TemplatePiece &piece, std::string_view text) {
    const char *argument = text.data();
    const size_t length = text.size();
    const bool plain = !piece.quoted && plainText(argument, length);
    switch (piece.context) {
    case Context::Bare:
        appendQuoted(command, argument, length, piece.quoted);
        break;
    case Context::Double:
    case Context::Single:
        if (plain) {
            command.append(argument, length);
        } else {
            const char quote = piece.context == Context::Double ? '"' : '\'';
            command += quote;
            appendQuoted(command, argument, length, true);
            command += quote;
        }
        break;
    case Context::DollarSingle:
        // A plain argument could still finish an escape left open before it (\x4 then 1).
        command += '\'';
        appendQuoted(command, argument, length, true);
        command += "$'";
        break;
    }
}

// The names bash runs itself rather than as a program (compgen -b and compgen -k), as far as
// they can stand as a plain first word.
constexpr const char *shellNames[] = {
    ".",       ":",         "alias",    "bg",       "bind",    "break",    "builtin", "caller",
    "cd",      "command",   "compgen",  "complete", "compopt", "continue", "declare", "dirs",
    "disown",  "echo",      "enable",   "eval",     "exec",    "exit",     "export",  "false",
    "fc",      "fg",        "getopts",  "hash",     "help",    "history",  "jobs",    "kill",
    "let",     "local",     "logout",   "mapfile",  "popd",    "printf",   "pushd",   "pwd",
    "read",    "readarray", "readonly", "return",   "set",     "shift",    "shopt",   "source",
    "suspend", "test",      "times",    "trap",     "true",    "type",     "typeset", "ulimit",
    "umask",   "unalias",   "unset",    "wait",     "if",      "then",     "else",    "elif",
    "fi",      "case",      "esac",     "for",      "select",  "while",    "until",   "do",
    "done",    "in",        "function", "time",     "coproc",
};

bool shellName(const std::string &word) {
    for (const char *name : shellNames) {
        if (word == name) {
            return true;
        }
    }
    // A function exported from bash (export -f) runs in place of a program of its name.
    return getenv(("BASH_FUNC_" + word + "%%").c_str()) != nullptr;
}

// word split at its replacement strings; every other byte must be plain unless anyByte.
bool splitWord(std::string_view word, bool anyByte, DirectWord &parts) {
    std::string text;
    for (size_t at = 0; at < word.size();) {
        const int which = replacementIn(word, at);
        if (which < 0) {
            if (!anyByte && !plainByte(static_cast<unsigned char>(word[at]))) {
                return false;
            }
            text += word[at++];
            continue;
        }
        if (!text.empty()) {
            parts.push_back(WordPart{std::move(text), -1});
            text.clear();
        }
        parts.push_back(WordPart{std::string(), which});
        at += replacementName(which).size();
    }
    if (!text.empty() || parts.empty()) {
        parts.push_back(WordPart{std::move(text), -1});
    }
    return true;
}

bool wordStart(const std::string &text, size_t at) {
    if (at == 0) {
        return true;
    }
    if (strchr(" \t\n;&|(", text[at - 1]) == nullptr) {
        return false;
    }
    // A backslash escapes the blank or operator into the word, unless it is escaped itself.
    size_t backslashes = 0;
    while (at >= 2 + backslashes && text[at - 2 - backslashes] == '\\') {
        ++backslashes;
    }
    return backslashes % 2 == 0;
}

bool wordEnd(const std::string &text, size_t at) {
    return at == text.size() || strchr(" \t\n;&|)", text[at]) != nullptr;
}

} // namespace

std::string expandTemplate(const std::vector<TemplatePiece> &pieces, const Replacements &values) {
    std::string command;
    for (const TemplatePiece &piece : pieces) {
        command += piece.text;
        if (piece.replacement == 0 && values.values != nullptr && values.values->size() > 1) {
            // Every value of the tuple, each quoted on its own, joined by a space.
            for (const std::string &value : *values.values) {
                if (&value != &values.values->front()) {
                    command += ' ';
                }
                appendReplacement(command, piece, value);
            }
        } else if (piece.replacement >= 0) {
            size_t source = 0;
            int part = 0;
            // A value as it is needs no copy of its own.
            if (values.values != nullptr && positional(piece.replacement, source, part) &&
                part == 0 && source < values.values->size()) {
                appendReplacement(command, piece, (*values.values)[source]);
            } else {
                appendReplacement(command, piece, replacementText(piece.replacement, values));
            }
        }
    }
    return command;
}

std::vector<DirectWord> directWords(char **words, int count, bool appendArgument) {
    std::vector<DirectWord> result;
    bool replaced = false;
    if (count > 1) {
        for (int w = 0; w < count; ++w) {
            result.emplace_back();
            splitWord(words[w], true, result.back());
        }
    } else {
        const std::string_view text = words[0];
        for (size_t at = text.find_first_not_of(" \t"); at != std::string_view::npos;) {
            const size_t end = std::min(text.find_first_of(" \t", at), text.size());
            result.emplace_back();
            if (!splitWord(text.substr(at, end - at), false, result.back())) {
                return {};
            }
            at = text.find_first_not_of(" \t", end);
        }
    }
    for (const DirectWord &word : result) {
        for (const WordPart &part : word) {
            replaced = replaced || part.replacement >= 0;
        }
    }
    if (result.empty() || result[0].size() != 1 || result[0][0].replacement >= 0 ||
        shellName(result[0][0].text)) {
        return {};
    }
    if (!replaced && appendArgument) {
        result.push_back(DirectWord{WordPart{std::string(), 0}});
    }
    return result;
}

void expandWords(const std::vector<DirectWord> &words,
                 const std::vector<std::string_view> &arguments, const Replacements &values,
                 std::vector<std::string> &argv) {
    argv.clear();
    for (const DirectWord &word : words) {
        if (word.size() == 1 && word[0].replacement == 0) {
            argv.insert(argv.end(), arguments.begin(), arguments.end());
            continue;
        }
        const bool copies = values.repeatWord &&
                            std::any_of(word.begin(), word.end(),
                                        [](const WordPart &part) { return part.replacement == 0; });
        if (copies) {
            // -X: the word once for each argument, the argument in place of {}.
            for (const std::string_view argument : arguments) {
                std::string text;
                for (const WordPart &part : word) {
                    text += part.replacement == 0  ? std::string(argument)
                            : part.replacement < 0 ? part.text
                                                   : replacementText(part.replacement, values);
                }
                argv.push_back(std::move(text));
            }
            continue;
        }
        std::string text;
        for (const WordPart &part : word) {
            text += part.replacement < 0 ? part.text : replacementText(part.replacement, values);
        }
        argv.push_back(std::move(text));
    }
}

bool acceptsSeveral(const CommandTemplate &command, std::string &message) {
    auto refuse = [&message](size_t offset, const char *why) {
        message = "with -n above 1 ";
        message += why;
        message += " (the replacement string at byte " + std::to_string(offset + 1) + ")";
        return false;
    };
    size_t offset = 0;
    std::string text; // the template up to the replacement string at hand
    auto check = [&](int which, size_t at, bool ownWord) {
        if (which != 0 && which != 6) {
            return refuse(at, "only {} and {%} have a meaning: {} stands for all the arguments");
        }
        if (which == 0 && !ownWord) {
            return refuse(at, "{} must be a word of its own: it stands for each argument as one "
                              "word");
        }
        return true;
    };
    if (command.raw) {
        const std::string &raw = command.text;
        for (size_t at = nextCandidate(raw, 0); at != std::string::npos;
             at = nextCandidate(raw, at + 1)) {
            const int which = replacementIn(raw, at);
            if (which >= 0 &&
                !check(which, at,
                       wordStart(raw, at) && wordEnd(raw, at + replacementName(which).size()))) {
                return false;
            }
        }
        return true;
    }
    const std::vector<TemplatePiece> &pieces = command.pieces;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const TemplatePiece &piece = pieces[i];
        text += piece.text;
        offset += piece.text.size();
        if (piece.replacement < 0) {
            continue;
        }
        const bool startsWord = piece.text.empty() ? i == 0 : wordStart(text, text.size());
        const TemplatePiece &after = pieces[i + 1];
        const bool endsWord = after.text.empty() ? after.replacement < 0 : wordEnd(after.text, 0);
        if (!check(piece.replacement, offset,
                   piece.context == Context::Bare && !piece.quoted && startsWord && endsWord)) {
            return false;
        }
        text += replacementName(piece.replacement);
        offset += replacementName(piece.replacement).size();
    }
    return true;
}

namespace {

bool copyByte(char c) {
    return plainByte(static_cast<unsigned char>(c)) || c == '=';
}

// The word around the {} of piece i: how many bytes of its text come before it and of the next
// piece's after it; false unless that word is plain and holds no other replacement string.
bool wordAround(const std::vector<TemplatePiece> &pieces, size_t i, size_t &before, size_t &after) {
    const std::string &text = pieces[i].text;
    size_t start = text.size();
    while (start > 0 && copyByte(text[start - 1])) {
        --start;
    }
    // The word must begin in this piece: after a blank, or at the template's start.
    if (start == 0 && i > 0) {
        return false;
    }
    if (start > 0 && strchr(" \t\n", text[start - 1]) == nullptr) {
        return false;
    }
    const std::string &next = pieces[i + 1].text;
    size_t end = 0;
    while (end < next.size() && copyByte(next[end])) {
        ++end;
    }
    if (end == next.size() ? pieces[i + 1].replacement >= 0
                           : strchr(" \t\n;&|)", next[end]) == nullptr) {
        return false;
    }
    before = text.size() - start;
    after = end;
    return true;
}

} // namespace

bool acceptsWordCopies(const CommandTemplate &command, std::string &message) {
    if (command.raw) {
        message = "-X does not go with --raw";
        return false;
    }
    size_t offset = 0;
    for (size_t i = 0; i < command.pieces.size(); ++i) {
        const TemplatePiece &piece = command.pieces[i];
        offset += piece.text.size();
        size_t before = 0;
        size_t after = 0;
        if (piece.replacement == 0 && (piece.context != Context::Bare || piece.quoted ||
                                       !wordAround(command.pieces, i, before, after))) {
            message = "with -X, {} must stand bare in a word of letters, digits, _ . / , : + @ "
                      "% - and =, with no other replacement string (the replacement string at "
                      "byte " +
                      std::to_string(offset + 1) + ")";
            return false;
        }
        if (piece.replacement >= 0) {
            offset += replacementName(piece.replacement).size();
        }
    }
    return true;
}

size_t wordCopyBytes(const CommandTemplate &command) {
    size_t bytes = 0;
    for (size_t i = 0; i < command.pieces.size(); ++i) {
        size_t before = 0;
        size_t after = 0;
        if (command.pieces[i].replacement == 0 && wordAround(command.pieces, i, before, after)) {
            bytes += before + after;
        }
    }
    return bytes;
}

std::string expandSeveral(const CommandTemplate &command,
                          const std::vector<std::string_view> &arguments,
                          const Replacements &values) {
    std::string result;
    if (command.raw) {
        std::string joined;
        for (size_t j = 0; j < arguments.size(); ++j) {
            if (j > 0) {
                joined += ' ';
            }
            joined.append(arguments[j]);
        }
        Replacements all = values;
        all.argument = joined;
        return expandRaw(command.text, all);
    }
    size_t skip = 0; // bytes of this piece's text that a copied word took already
    for (size_t i = 0; i < command.pieces.size(); ++i) {
        const TemplatePiece &piece = command.pieces[i];
        size_t before = 0;
        size_t after = 0;
        if (values.repeatWord && piece.replacement == 0 &&
            wordAround(command.pieces, i, before, after)) {
            const std::string_view text(piece.text);
            result.append(text.substr(skip, text.size() - before - skip));
            const std::string_view head = text.substr(text.size() - before);
            const std::string_view tail =
                std::string_view(command.pieces[i + 1].text).substr(0, after);
            for (size_t j = 0; j < arguments.size(); ++j) {
                if (j > 0) {
                    result += ' ';
                }
                result.append(head);
                appendQuoted(result, arguments[j].data(), arguments[j].size(), false);
                result.append(tail);
            }
            skip = after;
            continue;
        }
        result.append(piece.text, skip);
        skip = 0;
        if (piece.replacement == 0) {
            for (size_t j = 0; j < arguments.size(); ++j) {
                if (j > 0) {
                    result += ' ';
                }
                appendQuoted(result, arguments[j].data(), arguments[j].size(), piece.quoted);
            }
        } else if (piece.replacement >= 0) {
            appendReplacement(result, piece, replacementText(piece.replacement, values));
        }
    }
    return result;
}

size_t argumentBraces(const CommandTemplate &command) {
    size_t braces = 0;
    if (command.raw) {
        for (size_t at = nextCandidate(command.text, 0); at != std::string::npos;
             at = nextCandidate(command.text, at + 1)) {
            braces += replacementIn(command.text, at) == 0 ? 1 : 0;
        }
    } else {
        for (const TemplatePiece &piece : command.pieces) {
            braces += piece.replacement == 0 ? 1 : 0;
        }
    }
    return braces;
}

CommandTemplate readTemplate(std::string text, bool raw) {
    CommandTemplate command;
    command.text = std::move(text);
    command.raw = raw;
    if (raw) {
        return command;
    }
    command.refusal = parseTemplate(command.text, command.pieces);
    return command;
}

} // namespace fanrun_cli
