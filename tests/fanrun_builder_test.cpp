// Tests of the front end's command builder, in process: arguments are appended one at a time, and
// every verdict is held against the command actually built of them and the check the run makes
// before it starts one. A command the builder lets grow must be one exec takes; where the builder
// counts exactly, a command it closes must be one exec would refuse with the argument added.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "builder.h"
#include "exec.h"
#include "quote.h"

namespace {

using namespace fanrun_cli;

struct Command {
    CommandTemplate parsed;
    std::vector<DirectWord> direct;
};

// The template as the front end reads it: shell text, --raw text, or command words.
enum class Form { shell, raw, words };

Command commandOf(Form form, std::vector<std::string> words) {
    Command command;
    std::string text;
    for (const std::string &word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    command.parsed = readTemplate(text, form == Form::raw);
    if (form == Form::words) {
        std::vector<char *> argv;
        argv.reserve(words.size());
        for (std::string &word : words) {
            argv.push_back(word.data());
        }
        command.direct = directWords(argv.data(), static_cast<int>(argv.size()));
    }
    return command;
}

// Whether the run would start the command of these arguments: the same expansion and check.
bool execTakes(const Command &command, const std::vector<std::string> &arguments) {
    std::vector<std::string_view> views(arguments.begin(), arguments.end());
    const Replacements values{views.front(), 1, 1};
    std::string message;
    if (command.direct.empty()) {
        const std::string text = expandSeveral(command.parsed, views, values);
        return !commandTooLong(text.size(), 1, message);
    }
    std::vector<std::string> words;
    expandWords(command.direct, views, values, words);
    return !wordsTooLong(words, 1, message);
}

struct Row {
    const char *name;
    Form form;
    std::vector<std::string> words;
    char fill;    // the arguments' byte
    size_t first; // the first argument's size; the second's is swept around where it stops fitting
    bool exact;   // the builder counts this form exactly, not only never too little
};

TEST(CommandBuilder, EveryCommandItGrowsIsOneExecTakesAndWhereItCountsExactlyNoneItCloses) {
    const size_t limit = execArgumentLimit();
    const std::vector<Row> rows = {
        {"shell, one {}", Form::shell, {"echo {}"}, 'a', limit / 2, true},
        {"shell, two {}", Form::shell, {"echo {} -- {}"}, 'a', limit / 4, true},
        {"shell, quoting grows the argument", Form::shell, {"echo {}"}, '\'', limit / 8, true},
        {"shell, control bytes", Form::shell, {"echo {}"}, '\001', limit / 8, true},
        {"raw", Form::raw, {"echo {}"}, 'a', limit / 2, true},
        {"raw with blanks", Form::raw, {"echo {}"}, ' ', limit / 2, false},
        {"words", Form::words, {"cat", "--", "{}"}, 'a', limit - 64, true},
    };
    for (const Row &row : rows) {
        const Command command = commandOf(row.form, row.words);
        ASSERT_FALSE(command.parsed.refusal) << row.name;
        ASSERT_EQ(command.direct.empty(), row.form != Form::words) << row.name;
        const std::string first(row.first, row.fill);
        size_t fitted = 0;
        size_t closed = 0;
        for (size_t size = 1; size < limit + 2048; size = size < 4096 ? size * 2 : size + 997) {
            CommandBuilder builder(command.parsed, command.direct);
            ASSERT_EQ(builder.append(first), CommandBuilder::Fit::fits) << row.name;
            const std::string second(size, row.fill);
            const bool fits = builder.append(second) == CommandBuilder::Fit::fits;
            const bool takes = execTakes(command, {first, second});
            EXPECT_TRUE(!fits || takes) << row.name << ": grown past exec at " << size;
            if (row.exact) {
                EXPECT_TRUE(fits || !takes) << row.name << ": closed though exec takes " << size;
            }
            fitted += fits ? 1 : 0;
            closed += fits ? 0 : 1;
        }
        // The sweep saw both verdicts, or it tested nothing.
        EXPECT_GT(fitted, 0U) << row.name;
        EXPECT_GT(closed, 0U) << row.name;
    }
}

// Around the boundary byte by byte: the last size that fits and the first that does not are one
// apart, and they are where the built command stops being one exec takes.
TEST(CommandBuilder, TheBoundaryIsTheByteWhereTheBuiltCommandStopsFitting) {
    const size_t limit = execArgumentLimit();
    for (Form form : {Form::shell, Form::raw}) {
        const Command command = commandOf(form, {"echo {}"});
        const std::string first(limit / 2, 'x');
        size_t last = 0;
        for (size_t size = limit / 2 - 64; size < limit / 2 + 64; ++size) {
            CommandBuilder builder(command.parsed, command.direct);
            builder.append(first);
            const std::string second(size, 'x');
            const bool fits = builder.append(second) == CommandBuilder::Fit::fits;
            EXPECT_EQ(fits, execTakes(command, {first, second})) << size;
            last = fits ? size : last;
        }
        EXPECT_GT(last, limit / 2 - 64) << "no size fitted";
        EXPECT_LT(last, limit / 2 + 63) << "every size fitted";
    }
}

// A command taken back starts again from the template alone: after clear, what fitted as the first
// argument of a command fits again, and a full command refuses what it refused before.
TEST(CommandBuilder, ClearingStartsTheNextCommandFromTheTemplateAlone) {
    const size_t limit = execArgumentLimit();
    const Command command = commandOf(Form::shell, {"echo {}"});
    CommandBuilder builder(command.parsed, command.direct);
    const std::string big(limit / 2 + 16, 'b');
    EXPECT_EQ(builder.append(big), CommandBuilder::Fit::fits);
    EXPECT_EQ(builder.append(big), CommandBuilder::Fit::full);
    // Taken back: the command still holds only the first, so a small one fits.
    EXPECT_EQ(builder.append("small"), CommandBuilder::Fit::fits);
    builder.clear();
    EXPECT_EQ(builder.append(big), CommandBuilder::Fit::fits);
    EXPECT_EQ(builder.append(big), CommandBuilder::Fit::full);
}

} // namespace
