// Tests of the front end's template reader, in process: a template goes in, and out come its
// pieces, each replacement string with the context it stands in and whether a plain argument must
// be quoted there, or the refusal with the byte it names. A second table runs bash on a few
// expansions and checks the argument came out as its bytes, never as code.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "quote.h"

namespace {

using namespace fanrun_cli;

const char *const names[] = {"{}", "{.}", "{/}", "{//}", "{/.}", "{#}", "{%}"};

// The pieces in one line: literal text as it is, each replacement string as <NAME CONTEXT>, with
// " q" when a plain argument is quoted too. Contexts: B bare, D "...", S '...', $ $'...'.
std::string rendered(const std::vector<TemplatePiece> &pieces) {
    std::string out;
    for (const TemplatePiece &piece : pieces) {
        out += piece.text;
        if (piece.replacement < 0) {
            continue;
        }
        out += '<';
        out += names[piece.replacement];
        out += ' ';
        switch (piece.context) {
        case Context::Bare:
            out += 'B';
            break;
        case Context::Double:
            out += 'D';
            break;
        case Context::Single:
            out += 'S';
            break;
        case Context::DollarSingle:
            out += '$';
            break;
        }
        out += piece.quoted ? " q>" : ">";
    }
    return out;
}

// What the reader makes of a template: its rendered pieces, or "refused at N: " and the message.
std::string reading(const std::string &text) {
    std::vector<TemplatePiece> pieces;
    const std::optional<TemplateRefusal> refusal = parseTemplate(text, pieces);
    if (refusal) {
        return "refused at " + std::to_string(refusal->offset) + ": " + refusal->message;
    }
    return rendered(pieces);
}

struct Row {
    const char *text;
    const char *expected; // the rendering, or "refused at N" and the start of the message
};

void check(const std::vector<Row> &rows) {
    for (const Row &row : rows) {
        const std::string got = reading(row.text);
        const std::string expected = row.expected;
        if (expected.rfind("refused", 0) == 0) {
            EXPECT_EQ(got.substr(0, expected.size()), expected) << "template [" << row.text << "]";
        } else {
            EXPECT_EQ(got, expected) << "template [" << row.text << "]";
        }
    }
}

TEST(FanrunQuoteReader, BareWordsDollarsTildesAndBraces) {
    check({
        {"echo {}", "echo <{} B>"},
        {"echo a{}b {.} {/} {//} {/.} {#} {%}",
         "echo a<{} B>b <{.} B> <{/} B> <{//} B> <{/.} B> <{#} B> <{%} B>"},
        {"x={} y", "x=<{} B> y"},
        // A name goes on into plain text; a special parameter does not.
        {"echo $HOME{}", "echo $HOME<{} B q>"},
        {"echo $a_1{}", "echo $a_1<{} B q>"},
        {"echo $1{} $@{}", "echo $1<{} B> $@<{} B>"},
        {"echo ${HOME}{}", "echo ${HOME}<{} B>"},
        {"echo ${}", "refused at 6: {} follows a $"},
        {"echo a$/{}", "echo a$/<{} B>"},
        // A tilde prefix would take a plain argument as a user's name.
        {"echo ~{}", "echo ~<{} B q>"},
        {"x=~{} y=a:~{}", "x=~<{} B q> y=a:~<{} B q>"},
        {"echo ~/{}", "echo ~/<{} B>"},
        {"echo ~ro{} ~ro/{}", "echo ~ro<{} B q> ~ro/<{} B>"},
        {"echo \"~{}\"", "echo \"~<{} D>\""},
        // Inside a brace expansion a plain argument holding a comma would split it.
        {"echo {a,{}}", "echo {a,<{} B q>}"},
        {"echo {a,b} {}", "echo {a,b} <{} B>"},
        {"echo {a,b}{}", "echo {a,b}<{} B>"},
        {"echo {a,$(echo),{}}", "echo {a,$(echo),<{} B q>}"},
        // Backslashes: one before {} would escape the quote that opens the argument.
        {"echo \\{}", "refused at 6: {} follows a backslash"},
        {"echo \\\\{}", "echo \\\\<{} B>"},
        {"echo a\\\n{}", "refused at 8: {} follows a backslash-newline"},
        {"echo a\\\nb{}", "echo a\\\nb<{} B>"},
        // Every blank and operator ends the word, and with it the tilde prefix; $$ is one
        // parameter, so the $ before {} opens nothing.
        {"echo ~\t{} ~;{} ~&{} ~|{} ~>{}", "echo ~\t<{} B> ~;<{} B> ~&<{} B> ~|<{} B> ~><{} B>"},
        {"echo $${}", "echo $$<{} B>"},
    });
}

TEST(FanrunQuoteReader, QuotesAndTheEscapesInsideThem) {
    check({
        {"echo '{}'", "echo '<{} S>'"},
        {"echo '\\'{}", "echo '\\'<{} B>"},
        {"echo '\"'{}", "echo '\"'<{} B>"},
        {"echo \"{}\"", "echo \"<{} D>\""},
        // Inside "..." a backslash escapes $ ` " \ and newline, and nothing else.
        {"echo \"\\\"{}\"", "echo \"\\\"<{} D>\""},
        {"echo \"\\\\\"{}", "echo \"\\\\\"<{} B>"},
        {"echo \"\\$\"{}", "echo \"\\$\"<{} B>"},
        {"echo \"\\`\"{}", "echo \"\\`\"<{} B>"},
        {"echo \"\\a\"{}", "echo \"\\a\"<{} B>"},
        {"echo \"'\"{}", "echo \"'\"<{} B>"},
        {"echo \"$HOME{}\"", "echo \"$HOME<{} D q>\""},
        {"echo \"${}\"", "echo \"$<{} D q>\""},
        {"echo \"`{}`\"", "refused at 7: {} stands inside backquotes"},
        {"echo $\"{}\"", "echo $\"<{} D>\""},
        {"echo $'{}'", "echo $'<{} $>'"},
        {"echo $'\\'{}'", "echo $'\\'<{} $>'"},
        {"echo $'\\x4{}'", "echo $'\\x4<{} $>'"},
        {"echo $'a'{}", "echo $'a'<{} B>"},
        {"echo \"$'\"{}\"'\"", "echo \"$'\"<{} B>\"'\""},
        {"echo '{}'\"{}\"{}", "echo '<{} S>'\"<{} D>\"<{} B>"},
        {"echo \"\\${}\"", "echo \"\\$<{} D>\""},
        {"echo \"a\\\n{}\"", "refused at 9: {} follows a backslash-newline"},
    });
}

TEST(FanrunQuoteReader, SubstitutionsArithmeticAndParameters) {
    check({
        {"echo $(cat {})", "echo $(cat <{} B>)"},
        {"echo \"$(cat {})\"", "echo \"$(cat <{} B>)\""},
        {"echo \"$(cat \"{}\")\"", "echo \"$(cat \"<{} D>\")\""},
        {"echo \"$( (echo) ) {}\"", "echo \"$( (echo) ) <{} D>\""},
        {"echo \"$(echo ')') {}\"", "echo \"$(echo ')') <{} D>\""},
        {"echo \"$(case a in a) echo;; esac) {}\"", "echo \"$(case a in a) echo;; esac) <{} D>\""},
        {"echo \"$(case a in a) echo \"{}\";; esac)\"",
         "echo \"$(case a in a) echo \"<{} D>\";; esac)\""},
        {"echo <(cat {})", "echo <(cat <{} B>)"},
        // The word goes on after the ): a # there starts no comment.
        {"echo $(echo)#'{}'", "echo $(echo)#'<{} S>'"},
        {"echo <(true)#'{}'", "echo <(true)#'<{} S>'"},
        {"echo $(echo) #'{}'", "echo $(echo) #'<{} B>'"},
        {"echo `{}`", "refused at 6: {} stands inside backquotes"},
        {"echo `echo` {}", "echo `echo` <{} B>"},
        {"echo `echo \\`` {}", "echo `echo \\`` <{} B>"},
        {"echo $((1+{}))", "refused at 10: {} stands inside arithmetic"},
        {"((x={}))", "refused at 4: {} stands inside arithmetic"},
        {"echo $(( (1) )) {}", "echo $(( (1) )) <{} B>"},
        {"echo $(( \")\" )) {}", "echo $(( \")\" )) <{} B>"},
        {"echo $[{}]", "refused at 7: {} stands inside arithmetic"},
        {"echo $[1] {}", "echo $[1] <{} B>"},
        {"echo ${x:-{}}", "refused at 10: {} stands inside ${...}"},
        {"echo \"${x:-{}}\"", "refused at 11: {} stands inside ${...}"},
        {"echo ${x:-{a\\}}} {}", "echo ${x:-{a\\}}} <{} B>"},
        {"echo ${x:-{a}{}}", "refused at 13: {} stands inside ${...}"},
        {"echo ${x:-'}'} {}", "echo ${x:-'}'} <{} B>"},
        // Inside arithmetic and ${...} quotes, $ and backslashes hide their closers, and
        // parentheses nest.
        {"echo $(( (1) {} ))", "refused at 13: {} stands inside arithmetic"},
        {"echo $((\\) {}))", "refused at 11: {} stands inside arithmetic"},
        {"echo $(( ')' {} ))", "refused at 13: {} stands inside arithmetic"},
        {"echo $(( `)` {} ))", "refused at 13: {} stands inside arithmetic"},
        {"echo $(( ${x:-)} {} ))", "refused at 17: {} stands inside arithmetic"},
        {"echo $[\\] {}]", "refused at 10: {} stands inside arithmetic"},
        {"echo $[ ']' {} ]", "refused at 12: {} stands inside arithmetic"},
        {"echo $[ \"]\" {} ]", "refused at 12: {} stands inside arithmetic"},
        {"echo $[ `]` {} ]", "refused at 12: {} stands inside arithmetic"},
        {"echo $[ ${x:-]} {} ]", "refused at 16: {} stands inside arithmetic"},
        {"echo ${x:-\\} {}}", "refused at 13: {} stands inside ${...}"},
        {"echo ${x:-\"}\" {}}", "refused at 14: {} stands inside ${...}"},
        {"echo ${x:-`}` {}}", "refused at 14: {} stands inside ${...}"},
        {"echo ${x:-$(}) {}}", "refused at 15: {} stands inside ${...}"},
    });
}

TEST(FanrunQuoteReader, CommentsAndHereDocuments) {
    check({
        {"echo a # {} b", "echo a # <{} B> b"},
        {"echo a #\necho {}", "echo a #\necho <{} B>"},
        {"echo a #\necho ~{}", "echo a #\necho ~<{} B q>"},
        {"echo a#{}", "echo a#<{} B>"},
        {"cat <<<{}", "cat <<<<{} B>"},
        {"cat <<EOF\n{}\nEOF", "refused at 10: {} stands in a here-document"},
        {"cat <<'EOF'\n{}\nEOF", "refused at 12: {} stands in a here-document"},
        {"cat <<EOF\nx\nEOF\necho {}", "cat <<EOF\nx\nEOF\necho <{} B>"},
        {"cat <<EOF; echo {}\nx\nEOF", "cat <<EOF; echo <{} B>\nx\nEOF"},
        // Only <<- strips the tabs before the delimiter line.
        {"cat <<-EOF\n\tEOF\necho {}", "cat <<-EOF\n\tEOF\necho <{} B>"},
        {"cat <<EOF\n\tEOF\n{}\nEOF", "refused at 15: {} stands in a here-document"},
        {"cat <<EOF\nEOFx\n{}\nEOF", "refused at 15: {} stands in a here-document"},
        {"cat <<\"E F\"\nE F\necho {}", "cat <<\"E F\"\nE F\necho <{} B>"},
        {"cat <<\\EOF\nEOF\necho {}", "cat <<\\EOF\nEOF\necho <{} B>"},
        {"cat <<A <<B\nA\n{}\nB", "refused at 14: {} stands in a here-document"},
        {"cat <<A <<B\nA\nB\necho {}", "cat <<A <<B\nA\nB\necho <{} B>"},
        {"cat <<E{}", "refused at 7: {} stands in a here-document's delimiter"},
        {"cat <<$x", "refused at 6: a here-document's delimiter holds $"},
    });
}

TEST(FanrunQuoteReader, BytesThatJoinTheNextInAMultibyteLocale) {
    check({
        {"echo \xa5| {}", "refused at 5: a byte above 0x7f stands right before '|'"},
        {"echo \xa5{}", "echo \xa5<{} B>"},
        {"echo '\xa5|' {}", "echo '\xa5|' <{} B>"},
        {"echo \"\xa5`\" {}", "refused at 6: a byte above 0x7f stands right before '`'"},
        {"echo \\\xa5\\ {}", "refused at 6: a byte above 0x7f stands right before '\\'"},
        {"echo $'\xa5|' {}", "refused at 7: a byte above 0x7f stands right before '|'"},
        {"echo `\xa5|` {}", "refused at 6: a byte above 0x7f stands right before '|'"},
        {"echo $((\xa5|)) {}", "refused at 8: a byte above 0x7f stands right before '|'"},
        {"echo $[\xa5|] {}", "refused at 7: a byte above 0x7f stands right before '|'"},
        {"echo ${x:-\xa5|} {}", "refused at 10: a byte above 0x7f stands right before '|'"},
    });
}

// The command bash is given for the template and argument, and what it prints.
std::string bashPrints(const std::string &text, const std::string &argument) {
    std::vector<TemplatePiece> pieces;
    if (parseTemplate(text, pieces)) {
        return "refused";
    }
    const std::string command = expandTemplate(pieces, Replacements{argument, 1, 1});
    setenv("FANRUN_QUOTE_COMMAND", command.c_str(), 1);
    FILE *bash = popen("cd / && HOME=/home/nobody bash -c \"$FANRUN_QUOTE_COMMAND\" 2>&1", "r");
    std::string out;
    char buffer[256];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, bash)) > 0;) {
        out.append(buffer, got);
    }
    const int status = pclose(bash);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << out;
    return out;
}

TEST(FanrunQuoteReader, ArgumentsReachBashAsData) {
    struct Run {
        const char *text;
        const char *argument;
        const char *prints;
    };
    const std::vector<Run> runs = {
        {"printf %s {}", "$(echo ran)", "$(echo ran)"},
        {"printf %s \"\\\"{}\"", "$(echo ran)", "\"$(echo ran)"},
        {"printf %s \"\\\\\"{}", "$(echo ran)", "\\$(echo ran)"},
        {"printf %s ~{}", "root", "~root"},
        {"printf %s x=~{}", "root", "x=~root"},
        {"printf %s ~ro{}", "ot", "~root"},
        {"printf %s $(echo)#'{}'", "$(echo ran)", "#$(echo ran)"},
        {"printf %s {a,$(echo),{}}", "b,c", "ab,c"},
        {"printf %s {a,{}}", "b,c", "ab,c"},
        {"printf %s $'\\x4{}'", "1",
         "\x04"
         "1"},
        {"printf %s \"$HOME{}\"", "x", "/home/nobodyx"},
        {"cat <<-EOF\n\tEOF\nprintf %s {}", "$(echo ran)", "$(echo ran)"},
        {"printf %s '[{}]'", "a'b", "[a'b]"},
    };
    for (const Run &run : runs) {
        EXPECT_EQ(bashPrints(run.text, run.argument), run.prints)
            << "template [" << run.text << "]";
    }
}

TEST(FanrunQuoteReader, ARefusedTemplateIsReturnedNotFatal) {
    const CommandTemplate refused = readTemplate("echo `{}`", false);
    ASSERT_TRUE(refused.refusal.has_value());
    EXPECT_EQ(refused.refusal->offset, 6U);
    EXPECT_TRUE(refused.pieces.empty());
    const CommandTemplate taken = readTemplate("echo {}", false);
    EXPECT_FALSE(taken.refusal.has_value());
    EXPECT_FALSE(taken.pieces.empty());
    const CommandTemplate raw = readTemplate("echo `{}`", true);
    EXPECT_FALSE(raw.refusal.has_value());
    EXPECT_EQ(raw.text, "echo `{}`");
}

} // namespace
