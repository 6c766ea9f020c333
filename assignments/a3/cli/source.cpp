// The front end's input: the arguments read from standard input or a file, as lines or as items
// ending in a delimiter byte, one at a time as they arrive, so that the first command can start
// while the input is still open and the whole input is never held.

#include "source.h"

#include "sources.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include <poll.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

// Arguments split ahead of their commands, at most: the memory of a run does not grow with its
// input.
constexpr size_t readyLimit = 1024;

// Read in pieces of this size; an item longer than that grows the buffer as far as it needs.
constexpr size_t readSize = size_t{64} << 10;
// The longest single argument Linux's exec takes (MAX_ARG_STRLEN).
constexpr size_t longestArgument = size_t{128} << 10;

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
        // A line longer than exec takes an argument is the input's fault; short of that the
        // runner itself is out of memory.
        if (used - start_ <= longestArgument) {
            throw;
        }
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

Arguments::Arguments(char **given, size_t count, ArgumentReader *reader, Shard shard)
    : given_(given), count_(count), reader_(reader), shard_(shard) {}

Arguments::Got Arguments::next(Job &job, bool mayBlock) {
    if (ready_.empty()) {
        const Got got = take(mayBlock ? ArgumentReader::Wait::block : ArgumentReader::Wait::poll);
        if (got != Got::item) {
            return got;
        }
    }
    job = std::move(ready_.front());
    ready_.pop_front();
    job.sequence = taken_++;
    // What has been read already is split, so that the run knows how many commands wait, as far
    // as a bounded queue goes.
    while (reader_ != nullptr && ready_.size() < readyLimit &&
           take(ArgumentReader::Wait::never) == Got::item) {
    }
    return Got::item;
}

void Arguments::readAhead(size_t bytes) {
    size_t known = 0;
    for (const Job &job : ready_) {
        known += job.argument.size();
    }
    while (reader_ != nullptr && known < bytes && ready_.size() < readyLimit &&
           take(ArgumentReader::Wait::poll) == Got::item) {
        known += ready_.back().argument.size();
    }
}

int Arguments::waiting() const {
    long count = static_cast<long>(ready_.size());
    if (product_ != nullptr) {
        count += tuplesLeft_ / shard_.count;
    } else if (reader_ == nullptr && filter_ == nullptr) {
        // The shard's share of the command line's arguments not yet read.
        const long left = static_cast<long>(count_) - read_;
        const long first = (shard_.index - read_ % shard_.count + shard_.count) % shard_.count;
        count += left > first ? (left - first - 1) / shard_.count + 1 : 0;
    }
    return static_cast<int>(std::min<long>(count, INT_MAX));
}

// The next value of the first source: the input's, the command line's, or with a product that
// holds every source only its number.
Arguments::Got Arguments::nextLead(std::string &value, ArgumentReader::Wait wait) {
    if (reader_ != nullptr) {
        const Got got = reader_->next(value, wait);
        leads_ += got == Got::item ? 1 : 0;
        return got;
    }
    const bool more = given_ != nullptr ? static_cast<size_t>(leads_) < count_
                                        : product_ != nullptr && leads_ < product_->leads();
    if (!more) {
        return Got::end;
    }
    if (given_ != nullptr) {
        value = given_[leads_];
    } else {
        value.clear();
    }
    ++leads_;
    return Got::item;
}

// The product's next tuple, reading the first source's next value when the last one's are done.
Arguments::Got Arguments::nextTuple(Job &job, ArgumentReader::Wait wait) {
    while (tuplesLeft_ == 0) {
        if (leadEnded_) {
            return Got::end;
        }
        const Got got = nextLead(leadValue_, wait);
        if (got != Got::item) {
            return got;
        }
        const long tuples = product_->tuplesOf(leads_ - 1);
        if (tuples < 0) {
            leadEnded_ = true;
            return Got::end;
        }
        tuplesLeft_ = tuples;
        nextTuple_ = 0;
    }
    product_->tuple(leadValue_, leads_ - 1, nextTuple_++, job.values);
    --tuplesLeft_;
    job.argument.clear();
    for (const std::string &value : job.values) {
        if (&value != &job.values.front()) {
            job.argument += ' ';
        }
        job.argument += value;
    }
    return Got::item;
}

// Adds the next argument this run takes to ready_.
Arguments::Got Arguments::take(ArgumentReader::Wait wait) {
    Job job;
    for (;;) {
        const Got got = product_ != nullptr ? nextTuple(job, wait) : nextLead(job.argument, wait);
        if (got != Got::item) {
            return got;
        }
        job.position = read_++;
        if (filter_ != nullptr) {
            filter_->read(job, reader_ != nullptr ? reader_->delimiter() : '\0');
        }
        if (job.position % shard_.count != shard_.index ||
            (filter_ != nullptr && filter_->leavesOut(job))) {
            continue;
        }
        ready_.push_back(std::move(job));
        return got;
    }
}

} // namespace fanrun_cli
