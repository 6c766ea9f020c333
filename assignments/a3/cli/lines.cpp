// The line relay: see lines.h.

#include "lines.h"
#include "io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

// How often the rows of --latest-line are drawn at most: the screen follows without a write per
// line a command writes.
constexpr long long redrawNs = 100000000;

constexpr size_t readSize = size_t{64} * 1024;

long long monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A row's text as a terminal shows it on one line of width columns: control bytes (which would
// move the cursor) become '?', and the text is cut after width - 1 characters (UTF-8 sequences
// kept whole), so that the cursor never wraps.
std::string fitted(const std::string &text, int width) {
    std::string shown;
    int columns = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool continuation = (byte & 0xC0) == 0x80;
        if (!continuation && ++columns >= width) {
            break;
        }
        shown += byte < 0x20 || byte == 0x7F ? '?' : c;
    }
    return shown;
}

} // namespace

LineRelay::~LineRelay() {
    finish();
    for (int &fd : wake_) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    for (Stream &stream : incoming_) {
        closeStream(stream);
    }
}

bool LineRelay::start(int out, int err, bool latest, std::string &error) {
    out_ = out;
    err_ = err;
    latest_ = latest;
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot make the line relay's pipe: ") + strerror(errno);
        return false;
    }
    // Signals are the run loop's: the thread takes none, and a write to a closed pipe fails
    // there with EPIPE instead of raising SIGPIPE.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    bool started = true;
    try {
        thread_ = std::thread(&LineRelay::loop, this);
    } catch (const std::system_error &failure) {
        error = std::string("cannot start the line relay: ") + failure.what();
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

void LineRelay::add(long key, int outRead, int errRead, bool tagging, const std::string &tag) {
    std::lock_guard<std::mutex> hold(mutex_);
    const long row = nextRow_++;
    if (outRead < 0 && errRead < 0) {
        done_.emplace_back(key, !lost_.load());
        return;
    }
    for (const int fd : {outRead, errRead}) {
        if (fd < 0) {
            continue;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        Stream stream;
        stream.fd = fd;
        stream.error = fd == errRead;
        stream.to = stream.error ? err_ : out_;
        stream.tagging = tagging;
        stream.tag = tag;
        stream.row = row;
        stream.key = key;
        incoming_.push_back(std::move(stream));
    }
    wake();
}

std::vector<std::pair<long, bool>> LineRelay::done() {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<std::pair<long, bool>> taken;
    taken.swap(done_);
    return taken;
}

void LineRelay::settle(long key) {
    if (!thread_.joinable()) {
        return;
    }
    std::unique_lock<std::mutex> hold(mutex_);
    doneChanged_.wait_for(hold, std::chrono::milliseconds(100), [&] {
        return std::any_of(done_.begin(), done_.end(),
                           [key](const std::pair<long, bool> &done) { return done.first == key; });
    });
}

// The stream has reached its end (or was closed): its command is done once all of its are.
void LineRelay::ended(const Stream &stream) {
    auto found = open_.find(stream.row);
    if (found == open_.end() || --found->second.second > 0) {
        return;
    }
    const long key = found->second.first;
    open_.erase(found);
    if (latest_) {
        // Its row goes up for good now, before the runner writes anything after the command.
        for (auto row = rows_.begin(); row != rows_.end(); ++row) {
            if (row->id == stream.row) {
                if (!row->text.empty()) {
                    finished_ += "\r" + fitted(row->text, width()) + "\033[K\n";
                }
                rows_.erase(row);
                break;
            }
        }
        redraw();
    }
    std::lock_guard<std::mutex> hold(mutex_);
    done_.emplace_back(key, !lost_.load());
    doneChanged_.notify_all();
}

void LineRelay::say(std::string line) {
    std::lock_guard<std::mutex> hold(mutex_);
    said_.push_back(std::move(line));
    wake();
}

void LineRelay::finish() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        closing_ = true;
        wake();
    }
    thread_.join();
}

void LineRelay::wake() {
    const char byte = 0;
    // A full pipe already wakes the thread.
    const ssize_t written = write(wake_[1], &byte, 1);
    static_cast<void>(written);
}

void LineRelay::closeStream(Stream &stream) {
    if (stream.fd >= 0) {
        close(stream.fd);
        stream.fd = -1;
    }
}

void LineRelay::emit(int to, const std::string &text) {
    if (text.empty() || lost_.load()) {
        return;
    }
    const int error = writeAll(to, text.data(), text.size()) ? 0 : errno;
    if (error == 0) {
        return;
    }
    int none = 0;
    writeError_.compare_exchange_strong(none, error);
    lost_.store(true);
}

// In the rows of --latest-line: the stream's command shows text.
void LineRelay::showLatest(Stream &stream, const std::string &text) {
    for (Row &row : rows_) {
        if (row.id == stream.row) {
            row.text = stream.tagging ? stream.tag + '\t' + text : text;
            dirty_ = true;
            return;
        }
    }
}

// Writes (or, with --latest-line, shows) a piece of the stream's output: whole, a line with its
// newline; else the last line without one, or a piece of a line too long to hold.
void LineRelay::lineOut(Stream &stream, const char *data, size_t size, bool whole) {
    if (latest_ && !stream.error) {
        std::string text(data, size);
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        showLatest(stream, text);
        return;
    }
    std::string text;
    if (!stream.midLine && stream.tagging) {
        text = stream.tag;
        text += '\t';
    }
    text.append(data, size);
    stream.midLine = !whole;
    emit(stream.to, text);
}

// Reads what the stream has and writes its complete lines; false once the pipe has reached its
// end (the last unterminated line has then been written too).
bool LineRelay::readStream(Stream &stream) {
    char buffer[readSize];
    ssize_t got = 0;
    do {
        got = read(stream.fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return true;
    }
    if (got <= 0) {
        if (!stream.partial.empty()) {
            lineOut(stream, stream.partial.data(), stream.partial.size(), false);
            stream.partial.clear();
        }
        return false;
    }
    // Whole lines of this read go out in one write each, so no other line comes inside one.
    const char *at = buffer;
    const char *end = buffer + got;
    std::string lines;
    while (at < end) {
        const char *newline = static_cast<const char *>(memchr(at, '\n', end - at));
        if (newline == nullptr) {
            break;
        }
        const size_t length = static_cast<size_t>(newline - at) + 1;
        if (latest_ && !stream.error) {
            stream.partial.append(at, length);
            lineOut(stream, stream.partial.data(), stream.partial.size(), true);
            stream.partial.clear();
        } else {
            if (!stream.midLine && stream.tagging) {
                lines += stream.tag;
                lines += '\t';
            }
            stream.midLine = false;
            lines += stream.partial;
            lines.append(at, length);
            stream.partial.clear();
        }
        at = newline + 1;
    }
    emit(stream.to, lines);
    stream.partial.append(at, static_cast<size_t>(end - at));
    if (stream.partial.size() >= longestLine) {
        lineOut(stream, stream.partial.data(), stream.partial.size(), false);
        stream.partial.clear();
    } else if (latest_ && !stream.error && !stream.partial.empty()) {
        showLatest(stream, stream.partial);
    }
    return true;
}

// The terminal's width, asked each time so that the rows follow a resize.
int LineRelay::width() const {
    winsize size{};
    return ioctl(out_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col : 80;
}

// Draws the rows of --latest-line: the cursor goes back up over the live rows, the rows of
// commands that have ended since are written for good, then the live rows, then what the
// screen had below them is cleared.
void LineRelay::redraw() {
    const int columns = width();
    std::string screen;
    if (drawn_ > 0) {
        screen += "\033[" + std::to_string(drawn_) + "A";
    }
    screen += finished_;
    finished_.clear();
    for (const Row &row : rows_) {
        screen += '\r';
        screen += fitted(row.text, columns);
        screen += "\033[K\n";
    }
    screen += "\033[J";
    drawn_ = rows_.size();
    dirty_ = false;
    drawnAtNs_ = monotonicNs();
    emit(out_, screen);
}

void LineRelay::loop() {
    bool closing = false;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            for (Stream &stream : incoming_) {
                auto &counted = open_[stream.row];
                counted.first = stream.key;
                ++counted.second;
                const auto row = std::find_if(rows_.begin(), rows_.end(),
                                              [&](const Row &r) { return r.id == stream.row; });
                if (latest_ && !stream.error && row == rows_.end()) {
                    rows_.push_back(Row{stream.row, {}});
                }
                streams_.push_back(std::move(stream));
            }
            incoming_.clear();
            for (const std::string &line : said_) {
                if (latest_) {
                    finished_ += '\r';
                    finished_.append(line, 0,
                                     line.size() - (!line.empty() && line.back() == '\n' ? 1 : 0));
                    finished_ += "\033[K\n";
                    dirty_ = true;
                } else {
                    emit(out_, line);
                }
            }
            said_.clear();
            closing = closing_;
        }
        if (lost_.load()) {
            // Nothing reaches the streams any more: the commands' writes fail as they would to
            // a closed standard output.
            for (Stream &stream : streams_) {
                closeStream(stream);
                ended(stream);
            }
            streams_.clear();
            rows_.clear();
        }
        if (closing && streams_.empty()) {
            if (latest_ && (dirty_ || drawn_ > 0)) {
                redraw();
            }
            return;
        }
        std::vector<pollfd> watched;
        watched.push_back(pollfd{wake_[0], POLLIN, 0});
        for (const Stream &stream : streams_) {
            watched.push_back(pollfd{stream.fd, POLLIN, 0});
        }
        int timeout = -1;
        if (latest_ && dirty_) {
            const long long left = drawnAtNs_ + redrawNs - monotonicNs();
            timeout = left > 0 ? static_cast<int>(left / 1000000) + 1 : 0;
        }
        if (poll(watched.data(), watched.size(), timeout) < 0 && errno != EINTR) {
            // Cannot happen with valid descriptors; a pause keeps a fault from spinning.
            usleep(10000);
        }
        if (watched[0].revents != 0) {
            char drained[256];
            while (read(wake_[0], drained, sizeof drained) > 0) {
            }
        }
        for (size_t i = streams_.size(); i-- > 0;) {
            if (watched[i + 1].revents == 0) {
                continue;
            }
            Stream &stream = streams_[i];
            if (readStream(stream)) {
                continue;
            }
            closeStream(stream);
            ended(stream);
            streams_.erase(streams_.begin() + static_cast<long>(i));
        }
        if (latest_ && dirty_ && monotonicNs() - drawnAtNs_ >= redrawNs) {
            redraw();
        }
    }
}

} // namespace fanrun_cli
