// The command builder: how many arguments of -n one command has room for, from what exec takes
// of the bytes the command holds (exec.cpp counts what the kernel and bash add).

#include "builder.h"

#include <climits>

namespace fanrun_cli {

CommandBuilder::CommandBuilder(const CommandTemplate &command,
                               const std::vector<DirectWord> &direct, bool wordCopies)
    : command_(&command), direct_(!direct.empty()) {
    // The widest job slot, so that a retry in another slot still fits.
    const Replacements widest{std::string_view(), 1, INT_MAX};
    if (direct_) {
        for (const DirectWord &word : direct) {
            braces_ += word.size() == 1 && word[0].replacement == 0 ? 1 : 0;
            if (wordCopies && word.size() > 1) {
                for (const WordPart &part : word) {
                    copies_ += part.replacement == 0 ? 1 : 0;
                    copyBytes_ += part.text.size();
                }
            }
        }
        std::vector<std::string> words;
        expandWords(direct, {}, widest, words);
        baseWords_ = directCost();
        for (const std::string &word : words) {
            baseWords_ += execWordCost(word.size());
        }
    } else {
        braces_ = argumentBraces(command);
        copyBytes_ = wordCopies ? wordCopyBytes(command) : 0;
        const std::string text = expandSeveral(command, {}, widest);
        baseText_ = text.size();
        // The words bash starts its program with, counted by the text's blank-separated fields
        // (never fewer than bash makes of them), and what exec and bash add.
        baseWords_ = shellProgramCost(text);
    }
    clear();
}

CommandBuilder::Fit CommandBuilder::append(std::string_view argument) {
    size_t words = braces_ * execWordCost(argument.size()) +
                   copies_ * execWordCost(argument.size()) + copyBytes_;
    if (command_->raw) {
        // Shell code: bash makes a word of every blank-separated field.
        const size_t fields = blankFields(argument);
        words += braces_ * sizeof(char *) * (fields > 1 ? fields - 1 : 0);
    }
    size_t text = 0;
    if (!direct_) {
        size_t length = argument.size();
        if (!command_->raw) {
            quoted_.clear();
            appendQuoted(quoted_, argument.data(), argument.size(), false);
            length = quoted_.size();
        }
        // Each {} gets the arguments joined by a space: one before every argument but the first.
        text = braces_ * (length + (taken_ > 0 ? 1 : 0)) + copyBytes_;
    }
    const bool textFits = direct_ || (text_ + text + 1 <= execArgumentLimit() &&
                                      shellTextCost(text_ + text) <= execTotalLimit());
    const bool fits = textFits && argument.size() + 1 <= execArgumentLimit() &&
                      words_ + words <= execTotalLimit();
    if (taken_ > 0 && !fits) {
        return Fit::full;
    }
    text_ += text;
    words_ += words;
    ++taken_;
    return Fit::fits;
}

void CommandBuilder::clear() {
    text_ = baseText_;
    words_ = baseWords_;
    taken_ = 0;
}

} // namespace fanrun_cli
