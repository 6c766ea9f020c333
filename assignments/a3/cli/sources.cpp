// The several input sources of a run and the product of their values: see sources.h.

#include "sources.h"

#include "records.h"
#include "source.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

enum class Word { other, words, wordsLinked, files, filesLinked };

Word kindOf(const char *word) {
    if (strcmp(word, ":::") == 0) {
        return Word::words;
    }
    if (strcmp(word, ":::+") == 0) {
        return Word::wordsLinked;
    }
    if (strcmp(word, "::::") == 0) {
        return Word::files;
    }
    if (strcmp(word, "::::+") == 0) {
        return Word::filesLinked;
    }
    return Word::other;
}

// How messages name source i (from 0).
std::string describe(const SourceSpec &spec, size_t i) {
    if (spec.path == nullptr) {
        return "source " + std::to_string(i + 1) + " (:::)";
    }
    return strcmp(spec.path, "-") == 0 ? std::string("standard input") : std::string(spec.path);
}

// Every value of a file source, read whole; bad usage ends the process.
std::vector<std::string> readSource(const char *path, const InputForm &form) {
    const bool standardInput = strcmp(path, "-") == 0;
    const int fd = standardInput ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        badUsage("cannot open %s: %s", path, strerror(errno));
    }
    ArgumentReader reader(fd, standardInput ? "standard input" : path, form);
    std::vector<std::string> values;
    std::string value;
    ArgumentReader::Got got = ArgumentReader::Got::item;
    while ((got = reader.next(value, ArgumentReader::Wait::block)) == ArgumentReader::Got::item) {
        values.push_back(value);
    }
    if (!standardInput) {
        close(fd);
    }
    if (got == ArgumentReader::Got::failed) {
        badUsage("%s", reader.error().c_str());
    }
    return values;
}

} // namespace

Operands splitOperands(char **operands, int count, const std::vector<const char *> &argFiles) {
    Operands result;
    int separator = count;
    for (int i = 1; i < count; ++i) {
        if (strcmp(operands[i], "--") == 0 || kindOf(operands[i]) != Word::other) {
            separator = i;
            break;
        }
    }
    const bool dashes = separator < count && strcmp(operands[separator], "--") == 0;
    result.commandWords = separator < count ? separator : 1;
    result.sources = (separator < count && !dashes) || argFiles.size() > 1;
    if (!result.sources || dashes || separator == count) {
        const int first = dashes ? separator + 1 : 1;
        result.given = operands + first;
        result.givenCount = static_cast<size_t>(count - first);
    }
    if (!result.sources) {
        return result;
    }
    for (const char *path : argFiles) {
        SourceSpec spec;
        spec.path = path;
        result.list.push_back(spec);
    }
    for (int i = separator; i < count && !dashes && i < count;) {
        const Word kind = kindOf(operands[i]);
        int end = i + 1;
        while (end < count && kindOf(operands[end]) == Word::other) {
            ++end;
        }
        const bool linked = kind == Word::wordsLinked || kind == Word::filesLinked;
        if (linked && result.list.empty()) {
            badUsage("'%s' links a source to the one before it, and none comes before",
                     operands[i]);
        }
        if (kind == Word::words || kind == Word::wordsLinked) {
            SourceSpec spec;
            spec.words = operands + i + 1;
            spec.count = static_cast<size_t>(end - i - 1);
            spec.linked = linked;
            result.list.push_back(spec);
        } else {
            if (end == i + 1) {
                badUsage("'%s' needs a file (- for standard input)", operands[i]);
            }
            for (int f = i + 1; f < end; ++f) {
                SourceSpec spec;
                spec.path = operands[f];
                spec.linked = linked && f == i + 1;
                result.list.push_back(spec);
            }
        }
        i = end;
    }
    return result;
}

Product::Product(const std::vector<SourceSpec> &sources, const InputForm &form,
                 const Settings &settings)
    : settings_(settings), holdsAll_(settings.linkAll) {
    if (settings.header && strcmp(settings.headerPattern, ":") != 0) {
        // A pattern that cannot be read is refused whether or not a source has a first value.
        size_t length = 0;
        std::string error;
        if (!RecordCutter::headerLength("\n", true, settings.headerPattern, length, error)) {
            badUsage("%s", error.c_str());
        }
    }
    if (settings.columns != nullptr) {
        try {
            separator_ = std::make_unique<std::regex>(settings.columns, std::regex::ECMAScript);
        } catch (const std::regex_error &error) {
            badUsage("--colsep '%s' is not a regular expression: %s", settings.columns,
                     error.what());
        }
        if (std::regex_match("", *separator_)) {
            badUsage("--colsep '%s' matches the empty text: it would split between every byte",
                     settings.columns);
        }
    }
    const char *trim = settings.trim;
    if (strcmp(trim, "n") != 0 && strcmp(trim, "l") != 0 && strcmp(trim, "r") != 0 &&
        strcmp(trim, "lr") != 0 && strcmp(trim, "rl") != 0) {
        badUsage("--trim needs n, l, r, lr or rl, not '%s'", trim);
    }
    int standardInputs = 0;
    for (const SourceSpec &spec : sources) {
        standardInputs += spec.path != nullptr && strcmp(spec.path, "-") == 0 ? 1 : 0;
    }
    if (standardInputs > 1) {
        badUsage("standard input (-) is named as more than one source");
    }
    sourceCount_ = sources.size();
    if (!sources.empty()) {
        firstSource_ = describe(sources.front(), 0);
    }
    Group *group = nullptr;
    for (size_t i = holdsAll_ ? 0 : 1; i < sources.size(); ++i) {
        const SourceSpec &spec = sources[i];
        std::vector<std::string> values;
        if (spec.path != nullptr) {
            values = readSource(spec.path, form);
        } else {
            values.assign(spec.words, spec.words + spec.count);
        }
        std::vector<std::vector<std::string>> entries;
        entries.reserve(values.size());
        for (const std::string &value : values) {
            entries.emplace_back();
            columnsOf(value, entries.back());
        }
        if (settings.header && !values.empty()) {
            requireHeader(values.front(), describe(spec, i));
        }
        if (settings.header && !entries.empty()) {
            heldNames_.insert(heldNames_.end(), entries.front().begin(), entries.front().end());
            entries.erase(entries.begin());
        }
        const auto length = static_cast<long>(entries.size());
        if (holdsAll_) {
            group = &partners_;
            leads_ = std::max(leads_, length);
        } else if (spec.linked && group == nullptr) {
            group = &partners_;
            leadLimit_ = length;
        } else if (spec.linked && group == &partners_) {
            leadLimit_ = std::min(leadLimit_, length);
        } else if (!spec.linked) {
            groups_.emplace_back();
            group = &groups_.back();
            group->length = length;
        }
        if (spec.linked && group != &partners_) {
            group->length = std::min(group->length, length);
        }
        group->sources.push_back(std::move(entries));
    }
    if (holdsAll_ && std::any_of(partners_.sources.begin(), partners_.sources.end(),
                                 [](const auto &source) { return source.empty(); })) {
        leads_ = 0;
    }
    for (const Group &each : groups_) {
        if (each.length != 0 && perLead_ > LONG_MAX / each.length) {
            badUsage("the sources make more than %ld commands for each value of the first",
                     LONG_MAX);
        }
        perLead_ *= each.length;
    }
    if (holdsAll_ && settings.header) {
        names_ = heldNames_;
    }
}

long Product::tuplesOf(long lead) const {
    if (holdsAll_) {
        return lead < leads_ ? 1 : -1;
    }
    if ((leadLimit_ >= 0 && lead >= leadLimit_) || perLead_ == 0) {
        return -1;
    }
    return perLead_;
}

void Product::tuple(std::string_view leadValue, long lead, long k,
                    std::vector<std::string> &values) const {
    values.clear();
    if (!holdsAll_) {
        columnsOf(leadValue, values);
    }
    for (const auto &source : partners_.sources) {
        const auto &entry = source[static_cast<size_t>(lead) % source.size()];
        values.insert(values.end(), entry.begin(), entry.end());
    }
    // The last group varies fastest: k in mixed radix, its last digit the last group's.
    long divisor = perLead_;
    for (const Group &group : groups_) {
        divisor /= group.length;
        const auto index = static_cast<size_t>((k / divisor) % group.length);
        for (const auto &source : group.sources) {
            const auto &entry = source[index];
            values.insert(values.end(), entry.begin(), entry.end());
        }
    }
}

void Product::columnsOf(std::string_view value, std::vector<std::string> &columns) const {
    const size_t first = columns.size();
    if (separator_ == nullptr) {
        columns.emplace_back(value);
    } else {
        const char *from = value.data();
        const char *end = value.data() + value.size();
        for (std::cregex_iterator match(from, end, *separator_), none; match != none; ++match) {
            const char *at = value.data() + match->position(0);
            columns.emplace_back(from, static_cast<size_t>(at - from));
            from = at + match->length(0);
        }
        columns.emplace_back(from, static_cast<size_t>(end - from));
    }
    const bool left = strchr(settings_.trim, 'l') != nullptr;
    const bool right = strchr(settings_.trim, 'r') != nullptr;
    for (size_t i = first; i < columns.size(); ++i) {
        std::string &column = columns[i];
        if (right) {
            column.erase(column.find_last_not_of(" \t") + 1);
        }
        if (left) {
            column.erase(0, std::min(column.find_first_not_of(" \t"), column.size()));
        }
    }
}

void Product::requireHeader(std::string_view value, const std::string &source) const {
    const std::string pattern = settings_.headerPattern;
    if (pattern == ":") {
        return;
    }
    size_t length = 0;
    std::string error;
    if (!RecordCutter::headerLength(std::string(value) + '\n', true, pattern, length, error)) {
        badUsage("%s", error.c_str());
    }
    if (length == 0) {
        badUsage("the first value of %s does not match --header '%s': it would be taken for the "
                 "names of its columns",
                 source.c_str(), pattern.c_str());
    }
}

void Product::nameFirst(std::string_view header, bool given) {
    if (!given) {
        // Nothing runs: there are no names to give.
        return;
    }
    requireHeader(header, firstSource_);
    columnsOf(header, names_);
    names_.insert(names_.end(), heldNames_.begin(), heldNames_.end());
}

} // namespace fanrun_cli
