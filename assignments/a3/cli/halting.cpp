// The stop rules: see halting.h.

#include "halting.h"
#include "options.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace fanrun_cli {

namespace {

// A whole number from first to last (at most INT_MAX), all of text up to end; -1 if it is not one.
long numberIn(const char *text, const char *end, long first, long last) {
    const long value = wholeNumber(text, end);
    return value < first || value > last ? -1 : value;
}

// A signal by number or by name (TERM, SIGTERM, any case); 0 if it names none.
int signalNamed(const std::string &word) {
    const long number = numberIn(word.data(), word.data() + word.size(), 1, SIGRTMAX);
    if (number > 0) {
        return static_cast<int>(number);
    }
    const char *name = word.c_str();
    if (strncasecmp(name, "SIG", 3) == 0) {
        name += 3;
    }
    for (int signum = 1; signum < SIGRTMIN; ++signum) {
        const char *known = sigabbrev_np(signum);
        if (known != nullptr && *name != '\0' && strcasecmp(known, name) == 0) {
            return signum;
        }
    }
    return 0;
}

} // namespace

bool parseHalt(const char *text, HaltRule &rule, std::string &message) {
    rule = HaltRule{};
    const std::string value(text);
    const size_t comma = value.find(',');
    const std::string when = value.substr(0, comma);
    if (when == "never" && comma == std::string::npos) {
        return true;
    }
    if (when != "soon" && when != "now") {
        message = "--halt needs soon or now, alone or followed by ,fail=N ,success=N or ,done=N "
                  "(N from 1, or N% from 1% to 100%), or never; not '" +
                  value + "'";
        return false;
    }
    rule.how = when == "now" ? FANRUN_HALT_NOW : FANRUN_HALT_SOON;
    if (comma == std::string::npos) {
        return true;
    }
    const std::string what = value.substr(comma + 1);
    const size_t equals = what.find('=');
    const std::string name = what.substr(0, equals);
    if (name == "fail") {
        rule.counts = HaltRule::Counts::failed;
    } else if (name == "success") {
        rule.counts = HaltRule::Counts::succeeded;
    } else if (name == "done") {
        rule.counts = HaltRule::Counts::done;
    } else {
        message =
            "--halt " + when + " needs ,fail=N ,success=N or ,done=N after it, not '," + what + "'";
        return false;
    }
    const std::string number = equals == std::string::npos ? "" : what.substr(equals + 1);
    rule.percent = !number.empty() && number.back() == '%';
    const char *digits = number.c_str();
    const char *end = digits + number.size() - (rule.percent ? 1 : 0);
    rule.number = numberIn(digits, end, 1, rule.percent ? 100 : INT_MAX);
    if (rule.number < 0) {
        message = "--halt " + when + "," + name + "= needs a whole number from 1 to " +
                  std::to_string(INT_MAX) + " or a share from 1% to 100%, not '" + number + "'";
        return false;
    }
    return true;
}

int haltFor(const HaltRule &rule, long failed, long succeeded, long known) {
    if (rule.how == FANRUN_HALT_NEVER) {
        return FANRUN_HALT_NEVER;
    }
    const long count = rule.counts == HaltRule::Counts::failed      ? failed
                       : rule.counts == HaltRule::Counts::succeeded ? succeeded
                                                                    : failed + succeeded;
    // A share is of the commands known so far: all of them once the input has ended.
    const bool reached =
        rule.percent ? static_cast<long double>(count) * 100 >=
                           static_cast<long double>(rule.number) * static_cast<long double>(known)
                     : count >= rule.number;
    return reached && count > 0 ? rule.how : FANRUN_HALT_NEVER;
}

bool parseTermSequence(const char *text, std::vector<int> &signals, std::vector<int> &waits,
                       std::string &message) {
    signals.clear();
    waits.clear();
    const std::string value(text);
    size_t from = 0;
    for (size_t field = 0;; ++field) {
        const size_t comma = value.find(',', from);
        const std::string word = value.substr(from, comma - from);
        if (field % 2 == 0) {
            const int signum = signalNamed(word);
            if (signum == 0) {
                message = "--termseq needs a signal (name or number) where it has '" + word + "'";
                return false;
            }
            signals.push_back(signum);
        } else {
            const long ms = numberIn(word.data(), word.data() + word.size(), 0, INT_MAX);
            if (ms < 0) {
                message = "--termseq needs a wait in milliseconds (a whole number) where it has '" +
                          word + "'";
                return false;
            }
            waits.push_back(static_cast<int>(ms));
        }
        if (comma == std::string::npos) {
            // It ends with a signal: one wait fewer than signals.
            if (field % 2 != 0) {
                message =
                    "--termseq needs SIG,MS,SIG,...,SIG, ending with a signal, not '" + value + "'";
                return false;
            }
            break;
        }
        from = comma + 1;
    }
    if (signals.size() > FANRUN_TERMSEQ_MAX) {
        message = "--termseq takes at most " + std::to_string(FANRUN_TERMSEQ_MAX) + " signals";
        return false;
    }
    return true;
}

void Median::add(double seconds) {
    if (lower_.empty() || seconds <= lower_.top()) {
        lower_.push(seconds);
    } else {
        upper_.push(seconds);
    }
    // The lower half holds the middle one of an odd count.
    if (lower_.size() > upper_.size() + 1) {
        upper_.push(lower_.top());
        lower_.pop();
    } else if (upper_.size() > lower_.size()) {
        lower_.push(upper_.top());
        upper_.pop();
    }
}

double Median::value() const {
    if (lower_.empty()) {
        return 0;
    }
    return lower_.size() > upper_.size() ? lower_.top() : (lower_.top() + upper_.top()) / 2;
}

} // namespace fanrun_cli
