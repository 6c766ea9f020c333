// The front end's input: the arguments read from standard input or a file, as lines or as items
// ending in a delimiter byte, one at a time as they arrive, so that the first command can start
// while the input is still open and the whole input is never held.

#include "fanrun_cli.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <poll.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

// Read in pieces of this size; an item longer than that grows the buffer as far as it needs.
constexpr size_t readSize = size_t{64} << 10;

} // namespace

ArgumentReader::ArgumentReader(int fd, std::string name, InputForm form)
    : fd_(fd), name_(std::move(name)), form_(form) {}

ArgumentReader::Got ArgumentReader::next(std::string &item, Wait wait) {
    for (;;) {
        if (!error_.empty()) {
            return Got::failed;
        }
        const size_t end = buffer_.find(static_cast<char>(form_.delimiter), start_);
        if (end != std::string::npos || (ended_ && start_ < buffer_.size())) {
            const size_t stop = end != std::string::npos ? end : buffer_.size();
            item.assign(buffer_, start_, stop - start_);
            start_ = end != std::string::npos ? stop + 1 : stop;
            ++number_;
            if (form_.lines && item.empty()) {
                continue;
            }
            if (item.find('\0') != std::string::npos) {
                error_ = std::string(form_.lines ? "line " : "item ") + std::to_string(number_) +
                         " of " + name_ + " holds a NUL byte";
                return Got::failed;
            }
            return Got::item;
        }
        if (ended_) {
            return Got::end;
        }
        if (wait == Wait::never) {
            return Got::wait;
        }
        if (wait == Wait::poll) {
            struct pollfd ready {
                fd_, POLLIN, 0
            };
            if (poll(&ready, 1, 0) == 0) {
                return Got::wait;
            }
        }
        fill();
    }
}

// Reads one piece more; the end of the input or a read error ends the reading. A read error is
// never taken for the end of the input.
void ArgumentReader::fill() {
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    const size_t used = buffer_.size();
    try {
        buffer_.resize(used + readSize);
    } catch (const std::bad_alloc &) {
        error_ = "cannot read the arguments from " + name_ + ": " + strerror(ENOMEM);
        return;
    }
    ssize_t got = 0;
    do {
        got = read(fd_, buffer_.data() + used, readSize);
    } while (got < 0 && errno == EINTR);
    buffer_.resize(used + static_cast<size_t>(got > 0 ? got : 0));
    if (got < 0) {
        error_ = "cannot read the arguments from " + name_ + ": " + strerror(errno);
    } else if (got == 0) {
        ended_ = true;
    }
}

} // namespace fanrun_cli
