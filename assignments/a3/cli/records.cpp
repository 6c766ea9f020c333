// The record cutter: see records.h.

#include "records.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include <regex.h>

namespace fanrun_cli {

namespace {

constexpr size_t npos = std::string_view::npos;

// A header expression that has not matched in this much of the input never will here, and a
// separator expression's match with this much input after it is taken as it stands: more input
// can still make an expression match longer, or earlier ("a.*z|b" in "ab", then "abz"), so a
// match is only settled by this lookahead or by the end of the input.
constexpr size_t lookahead = size_t{64} << 10;

} // namespace

struct RecordCutter::Expression {
    regex_t compiled{};
    bool ready = false;
    ~Expression() {
        if (ready) {
            regfree(&compiled);
        }
    }
};

RecordCutter::RecordCutter() = default;
RecordCutter::~RecordCutter() = default;

static std::string regexError(int code, const regex_t *compiled, const std::string &pattern) {
    char text[256];
    regerror(code, compiled, text, sizeof text);
    return "the record separator '" + pattern + "' is not a regular expression: " + text;
}

bool RecordCutter::configure(const RecordRules &rules, std::string &error) {
    if (rules.block == 0) {
        error = "--block needs at least 1 byte";
        return false;
    }
    rules_ = rules;
    rules_.lines = std::max(rules_.lines, 1L);
    pattern_ = rules.recend + rules.recstart;
    expression_.reset();
    if (rules.regexp && !pattern_.empty()) {
        auto expression = std::make_unique<Expression>();
        const std::string text = "(" + rules.recend + ")(" + rules.recstart + ")";
        const int code = regcomp(&expression->compiled, text.c_str(), REG_EXTENDED | REG_NEWLINE);
        if (code != 0) {
            error = regexError(code, &expression->compiled, text);
            return false;
        }
        expression->ready = true;
        expression_ = std::move(expression);
    }
    finish(0);
    return true;
}

RecordCutter::Boundary RecordCutter::nextBoundary(std::string_view data, size_t from,
                                                  bool ended) const {
    Boundary boundary;
    while (from <= data.size()) {
        if (!expression_) {
            const size_t found = data.find(pattern_, from);
            if (found == npos) {
                return Boundary{};
            }
            boundary = Boundary{found, found + rules_.recend.size(), rules_.recend.size(),
                                rules_.recstart.size()};
        } else {
            regmatch_t match[3]{};
            match[0].rm_so = static_cast<regoff_t>(from);
            match[0].rm_eo = static_cast<regoff_t>(data.size());
            const int flags = REG_STARTEND | (from > 0 && data[from - 1] != '\n' ? REG_NOTBOL : 0);
            if (regexec(&expression_->compiled, data.data(), 3, match, flags) != 0) {
                return Boundary{};
            }
            const auto start = static_cast<size_t>(match[0].rm_so);
            const auto end = static_cast<size_t>(match[0].rm_eo);
            if (!ended && data.size() - end < lookahead) {
                return Boundary{};
            }
            const auto split = static_cast<size_t>(match[1].rm_eo);
            boundary = Boundary{start, split, split - start, end - split};
        }
        if (boundary.at > 0) {
            return boundary;
        }
        from = boundary.start + 1;
    }
    return Boundary{};
}

size_t RecordCutter::finish(size_t length) {
    scanned_ = 0;
    previous_ = 0;
    found_ = 0;
    records_ = 0;
    lastFit_ = 0;
    return length;
}

// Without any separator every byte ends a record.
size_t RecordCutter::fixedCut(std::string_view data, bool ended) {
    const auto lines = static_cast<size_t>(rules_.lines);
    size_t want = 0;
    if (rules_.records > 0) {
        const auto records = static_cast<size_t>(rules_.records);
        want = records > SIZE_MAX / lines ? SIZE_MAX : records * lines;
    } else {
        want = std::max(rules_.block - rules_.block % lines, lines);
    }
    if (data.size() >= want) {
        return want;
    }
    return ended ? data.size() : npos;
}

size_t RecordCutter::cut(std::string_view data, bool ended) {
    if (data.empty()) {
        return npos;
    }
    if (pattern_.empty()) {
        return fixedCut(data, ended);
    }
    const size_t block = rules_.block;
    if (ended && rules_.records == 0 && data.size() <= block) {
        return finish(data.size());
    }
    if (!expression_ && rules_.lines == 1 && rules_.records == 0) {
        // The common case looks back from the block size only, never at the bytes before the
        // last record end.
        const size_t recend = rules_.recend.size();
        const size_t horizon = block + rules_.recstart.size();
        if (!ended && data.size() < horizon) {
            return npos;
        }
        if (scanned_ == 0 && block >= recend) {
            const size_t found = data.substr(0, horizon).rfind(pattern_, block - recend);
            if (found != npos && found + recend > 0) {
                return finish(found + recend);
            }
        }
        // One record is larger than the block: it ends at the first boundary after it.
        const size_t from = std::max(scanned_, block >= recend ? block - recend + 1 : 0);
        const size_t found = data.find(pattern_, from);
        if (found != npos) {
            return finish(found + recend);
        }
        if (ended) {
            return finish(data.size());
        }
        scanned_ = std::max(from, data.size() >= pattern_.size() ? data.size() - pattern_.size() + 1
                                                                 : size_t{0});
        return npos;
    }
    if (!expression_) {
        return searchCut(data, ended);
    }
    // regexec reads a string up to its NUL, whatever REG_STARTEND bounds it to, under the
    // sanitizers' interception at least: the expression searches a copy that has one. A mapped
    // file comes whole, so the copy is of a window that widens as if the file were arriving:
    // a block costs about its own length, not the rest of the file.
    size_t window = block > (SIZE_MAX - lookahead) / 2 ? SIZE_MAX : 2 * block + lookahead;
    for (;;) {
        const bool whole = window >= data.size();
        const std::string terminated(data.substr(0, window));
        const size_t length = searchCut(terminated, ended && whole);
        if (length != npos || whole) {
            return length;
        }
        window = window > SIZE_MAX / 2 ? SIZE_MAX : 2 * window;
    }
}

// The general search, boundary by boundary, of every rule but the common literal one.
size_t RecordCutter::searchCut(std::string_view data, bool ended) {
    const size_t block = rules_.block;
    for (;;) {
        const Boundary boundary = nextBoundary(data, scanned_, ended);
        if (boundary.at == npos) {
            break;
        }
        scanned_ = boundary.start + 1;
        // Matches that start apart can meet at one boundary ("[0-9]+" in "12y"): it counts once.
        if (boundary.at <= previous_) {
            continue;
        }
        previous_ = boundary.at;
        if (++found_ % rules_.lines != 0) {
            continue;
        }
        if (rules_.records > 0) {
            if (++records_ == rules_.records) {
                return finish(boundary.at);
            }
            continue;
        }
        if (boundary.at <= block) {
            lastFit_ = boundary.at;
            continue;
        }
        return finish(lastFit_ > 0 ? lastFit_ : boundary.at);
    }
    if (!expression_ && data.size() >= pattern_.size()) {
        scanned_ = std::max(scanned_, data.size() - pattern_.size() + 1);
    }
    if (!ended) {
        return npos;
    }
    if (rules_.records == 0 && data.size() > block && lastFit_ > 0) {
        return finish(lastFit_);
    }
    return finish(data.size());
}

std::string RecordCutter::strip(std::string_view block) const {
    std::string out;
    if (pattern_.empty()) {
        out.assign(block);
        return out;
    }
    std::string terminated;
    if (expression_) {
        terminated.assign(block);
        block = terminated;
    }
    size_t from = 0;
    if (!expression_ && !rules_.recstart.empty() && block.starts_with(rules_.recstart)) {
        from = rules_.recstart.size();
    }
    size_t search = 0;
    size_t previous = 0;
    long found = 0;
    for (;;) {
        const Boundary boundary = nextBoundary(block, search, true);
        if (boundary.at == npos) {
            break;
        }
        search = boundary.start + 1;
        if (boundary.at <= previous) {
            continue;
        }
        previous = boundary.at;
        if (++found % rules_.lines != 0 || boundary.at - boundary.recend < from) {
            continue;
        }
        out.append(block.substr(from, boundary.at - boundary.recend - from));
        from = boundary.at + boundary.recstart;
        search = std::max(search, from);
    }
    std::string_view tail = block.substr(std::min(from, block.size()));
    if (!expression_ && !rules_.recend.empty() && tail.ends_with(rules_.recend)) {
        tail.remove_suffix(rules_.recend.size());
    }
    out.append(tail);
    return out;
}

bool RecordCutter::headerLength(std::string_view data, bool ended, const std::string &header,
                                size_t &length, std::string &error) {
    if (data.empty()) {
        length = ended ? 0 : npos;
        return true;
    }
    if (header == ":") {
        const size_t newline = data.find('\n');
        length = newline != npos ? newline + 1 : ended ? data.size() : npos;
        return true;
    }
    regex_t compiled{};
    const int code = regcomp(&compiled, header.c_str(), REG_EXTENDED | REG_NEWLINE);
    if (code != 0) {
        error = regexError(code, &compiled, header);
        error.replace(0, strlen("the record separator"), "the header");
        return false;
    }
    const std::string terminated(data);
    regmatch_t match[1]{};
    match[0].rm_so = 0;
    match[0].rm_eo = static_cast<regoff_t>(terminated.size());
    const bool matched = regexec(&compiled, terminated.c_str(), 1, match, REG_STARTEND) == 0;
    regfree(&compiled);
    const bool final = ended || data.size() >= lookahead;
    if (!matched || match[0].rm_so != 0) {
        length = final ? 0 : npos;
    } else {
        const auto end = static_cast<size_t>(match[0].rm_eo);
        length = end >= data.size() && !final ? npos : end;
    }
    return true;
}

} // namespace fanrun_cli
