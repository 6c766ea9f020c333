// The blocks of --pipe and --pipe-part: see blocks.h.

#include "blocks.h"
#include "io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

constexpr size_t npos = std::string_view::npos;
constexpr size_t readSlack = size_t{64} << 10;

std::string failure(const std::string &what, int error) {
    return what + ": " + strerror(error);
}

struct Piece {
    int64_t offset = 0;
    int64_t length = 0;
};

// Moves the pieces of from into to without passing through user space where the kernel can
// (splice from the page cache into the pipe), else through a small buffer. A reader that has
// gone ends it.
void copyPieces(int from, const std::vector<Piece> &pieces, int to) {
    bool spliceWorks = true;
    for (const Piece &piece : pieces) {
        loff_t offset = piece.offset;
        int64_t left = piece.length;
        while (left > 0) {
            ssize_t moved = -1;
            const auto want = static_cast<size_t>(std::min<int64_t>(left, int64_t{1} << 30));
            if (spliceWorks) {
                moved = splice(from, &offset, to, nullptr, want, SPLICE_F_MOVE);
                if (moved < 0 && errno == EINVAL) {
                    spliceWorks = false;
                    continue;
                }
            } else {
                char buffer[1 << 16];
                moved = pread(from, buffer, std::min(want, sizeof buffer), offset);
                if (moved > 0 && !writeAll(to, buffer, static_cast<size_t>(moved))) {
                    return;
                }
                offset += moved > 0 ? moved : 0;
            }
            if (moved < 0 && errno == EINTR) {
                continue;
            }
            if (moved <= 0) {
                return;
            }
            left -= moved;
        }
    }
}

// A feeder: the pieces of from into to (or into the FIFO path once its reader has opened it),
// then both closed. It runs with every signal held back, so that a reader that has gone makes
// the write fail instead of raising SIGPIPE, and no handler of the runner runs in it.
void feed(int from, const std::vector<Piece> &pieces, int to, const std::string &path) {
    if (to < 0) {
        to = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    }
    if (to >= 0) {
        copyPieces(from, pieces, to);
        close(to);
    }
    close(from);
}

bool startFeeder(int from, std::vector<Piece> pieces, int to, std::string path,
                 std::string &error) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool started = true;
    try {
        std::thread(feed, from, std::move(pieces), to, std::move(path)).detach();
    } catch (const std::system_error &failed) {
        error = std::string("cannot start a feeder thread: ") + failed.what();
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

} // namespace

Blocks::~Blocks() {
    for (auto &[sequence, block] : blocks_) {
        release(block);
    }
    if (haveAhead_) {
        release(ahead_);
    }
    if (map_ != nullptr) {
        munmap(const_cast<char *>(map_), mapLength_);
    }
    if (!folder_.empty()) {
        rmdir(folder_.c_str());
    }
}

bool Blocks::open(const PipeOptions &options, int fd, std::string name, int jobs,
                  std::string &error) {
    options_ = options;
    fd_ = fd;
    name_ = std::move(name);
    file_ = options.part;
    RecordRules rules;
    rules.recend = options.recend != nullptr     ? options.recend
                   : options.recstart != nullptr ? ""
                                                 : "\n";
    rules.recstart = options.recstart != nullptr ? options.recstart : "";
    rules.regexp = options.regexp;
    rules.records = options.records;
    rules.lines = options.lines > 0 ? options.lines : 1;
    if (options.block > 0) {
        rules.block = static_cast<size_t>(options.block);
    }
    struct stat status {};
    const bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (file_ && !regular) {
        error = "--pipe-part needs a regular file (-a FILE): " + name_ + " is not one";
        return false;
    }
    if (!file_ && regular) {
        // A regular file is cut where it stands, from where its reading has come to, as
        // --pipe-part cuts it: no byte is copied through the runner.
        const off_t at = lseek(fd, 0, SEEK_CUR);
        if (at >= 0 && at <= status.st_size) {
            file_ = true;
            base_ = static_cast<size_t>(at);
        }
    }
    if (file_) {
        mapLength_ = static_cast<size_t>(status.st_size);
        if (mapLength_ > 0) {
            void *map = mmap(nullptr, mapLength_, PROT_READ, MAP_SHARED, fd, 0);
            if (map == MAP_FAILED) {
                error = failure("cannot map " + name_, errno);
                return false;
            }
            map_ = static_cast<const char *>(map);
        }
        if (options.header != nullptr) {
            size_t length = 0;
            if (!RecordCutter::headerLength(view(), true, options.header, length, error)) {
                return false;
            }
            header_.assign(view().substr(0, length));
            position_ = length;
        }
        if (options.block < 0) {
            // Each job slot gets that many parts of what follows the header.
            const auto parts = static_cast<size_t>(-options.block) * static_cast<size_t>(jobs);
            rules.block = std::max<size_t>((view().size() + parts - 1) / parts, 1);
        }
    } else {
        capacity_ = std::min(rules.block, size_t{1} << 30) + readSlack;
        buffer_ = std::make_unique<char[]>(capacity_);
    }
    haveHeader_ = file_ || options.header == nullptr;
    if (options.cat || options.fifo) {
        const char *tmp = getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/fanrun-blocks.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            error = failure("cannot make a folder for the blocks", errno);
            return false;
        }
        folder_ = pattern;
    }
    return cutter_.configure(rules, error);
}

bool Blocks::fillStream(int &waitFd, bool &ready) {
    ready = false;
    if (start_ > 0 && (end_ == capacity_ || start_ >= capacity_ / 2)) {
        memmove(buffer_.get(), buffer_.get() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    if (end_ == capacity_) {
        // A record larger than the block: its block grows.
        if (capacity_ > SIZE_MAX / 2) {
            error_ = "a record of " + name_ + " is too large to hold";
            ownFault_ = true;
            return false;
        }
        auto larger = std::make_unique<char[]>(capacity_ * 2);
        memcpy(larger.get(), buffer_.get(), end_);
        buffer_ = std::move(larger);
        capacity_ *= 2;
    }
    pollfd readable{fd_, POLLIN, 0};
    int polled = 0;
    do {
        polled = poll(&readable, 1, 0);
    } while (polled < 0 && errno == EINTR);
    if (polled == 0) {
        waitFd = fd_;
        return true;
    }
    for (;;) {
        const ssize_t got = read(fd_, buffer_.get() + end_, capacity_ - end_);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && errno == EAGAIN) {
            waitFd = fd_;
            return true;
        }
        if (got < 0) {
            error_ = failure("cannot read " + name_, errno);
            return false;
        }
        ended_ = got == 0;
        end_ += static_cast<size_t>(got);
        ready = true;
        return true;
    }
}

bool Blocks::makeNamed(Block &block) {
    std::string path = folder_ + "/block-" + std::to_string(count_);
    if (options_.cat) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            error_ = failure("cannot make " + path, errno);
            ownFault_ = true;
            return false;
        }
        block.fd = fd;
    } else if (mkfifo(path.c_str(), 0600) != 0) {
        error_ = failure("cannot make the FIFO " + path, errno);
        ownFault_ = true;
        return false;
    }
    block.path = std::move(path);
    return true;
}

// The block's bytes (and the header before them) into a file of its own.
bool Blocks::storeStream(size_t length, Block &block) {
    const std::string_view bytes =
        file_ ? view().substr(0, length) : std::string_view(buffer_.get() + start_, length);
    std::string stripped;
    if (options_.removeSeparators) {
        stripped = cutter_.strip(bytes);
    }
    const std::string_view content = options_.removeSeparators ? stripped : bytes;
    if (!options_.cat) {
        block.fd = memfd_create("fanrun-block", MFD_CLOEXEC);
        if (block.fd < 0) {
            error_ = failure("cannot make a memory file for a block", errno);
            ownFault_ = true;
            return false;
        }
    }
    block.owned = true;
    block.length = static_cast<int64_t>(header_.size() + content.size());
    if (!writeAll(block.fd, header_.data(), header_.size()) ||
        !writeAll(block.fd, content.data(), content.size())) {
        error_ = failure("cannot hold a block", errno);
        ownFault_ = true;
        return false;
    }
    return true;
}

Blocks::Got Blocks::next(long sequence, std::string &identity, int &waitFd) {
    if (!error_.empty()) {
        return Got::failed; // cutting ahead failed
    }
    if (haveAhead_) {
        haveAhead_ = false;
        identity = std::move(aheadIdentity_);
        blocks_[sequence] = std::move(ahead_);
        return Got::block;
    }
    Block block;
    const Got got = cut(block, identity, waitFd);
    if (got == Got::block) {
        blocks_[sequence] = std::move(block);
    }
    return got;
}

void Blocks::prepare() {
    if (haveAhead_ || !error_.empty()) {
        return;
    }
    int waitFd = -1;
    ahead_ = Block{};
    haveAhead_ = cut(ahead_, aheadIdentity_, waitFd) == Got::block;
}

// The length of the next block, once the input holds it whole.
Blocks::Got Blocks::find(size_t &length, int &waitFd) {
    for (;;) {
        const std::string_view data =
            file_ ? view() : std::string_view(buffer_.get() + start_, end_ - start_);
        const bool ended = file_ || ended_;
        if (!haveHeader_) {
            size_t header = 0;
            if (!RecordCutter::headerLength(data, ended, options_.header, header, error_)) {
                return Got::failed;
            }
            if (header != npos) {
                header_.assign(data.substr(0, header));
                start_ += header;
                position_ += header;
                haveHeader_ = true;
                continue;
            }
        } else {
            length = cutter_.cut(data, ended);
            if (length != npos) {
                return Got::block;
            }
            if (ended) {
                return Got::end;
            }
        }
        bool ready = false;
        if (!fillStream(waitFd, ready)) {
            return Got::failed;
        }
        if (!ready) {
            return Got::wait;
        }
    }
}

Blocks::Got Blocks::cut(Block &block, std::string &identity, int &waitFd) {
    size_t length = npos;
    const Got got = find(length, waitFd);
    if (got != Got::block) {
        return got;
    }
    ++count_;
    if ((options_.cat || options_.fifo) && !makeNamed(block)) {
        release(block);
        return Got::failed;
    }
    if (!file_ || options_.removeSeparators || options_.cat) {
        if (!storeStream(length, block)) {
            release(block);
            return Got::failed;
        }
    } else {
        block.fd = fd_;
        block.offset = static_cast<int64_t>(base_ + position_);
        block.length = static_cast<int64_t>(length);
    }
    identity = "block " + std::to_string(count_) + " bytes " + std::to_string(position_) + "-" +
               std::to_string(position_ + length - 1);
    position_ += length;
    start_ += file_ ? 0 : length;
    return Got::block;
}

Blocks::Got Blocks::take(Bytes &bytes, int &waitFd) {
    size_t length = npos;
    const Got got = find(length, waitFd);
    if (got != Got::block) {
        return got;
    }
    bytes.number = ++count_;
    bytes.offset = static_cast<int64_t>(position_);
    bytes.header = header_;
    const std::string_view data =
        file_ ? view().substr(0, length) : std::string_view(buffer_.get() + start_, length);
    bytes.mapped = nullptr;
    bytes.length = 0;
    if (options_.removeSeparators) {
        bytes.own = cutter_.strip(data);
    } else if (file_) {
        // The mapping outlives every writer: no byte is copied here.
        bytes.own.clear();
        bytes.mapped = data.data();
        bytes.length = data.size();
    } else {
        bytes.own.assign(data);
    }
    position_ += length;
    start_ += file_ ? 0 : length;
    return Got::block;
}

std::string Blocks::name(long sequence) const {
    const auto found = blocks_.find(sequence);
    return found != blocks_.end() ? found->second.path : std::string();
}

int Blocks::input(long sequence, std::string &error) {
    const auto found = blocks_.find(sequence);
    if (found == blocks_.end()) {
        error = "a block went missing";
        return -1;
    }
    const Block &block = found->second;
    if (options_.cat) {
        return -1;
    }
    if (block.owned && !options_.fifo) {
        // A description of its own, at the block's start, for every attempt.
        const std::string self = "/proc/self/fd/" + std::to_string(block.fd);
        const int fd = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = failure("cannot open a block", errno);
        }
        return fd;
    }
    std::vector<Piece> pieces;
    if (block.owned) {
        pieces.push_back(Piece{0, block.length});
    } else {
        pieces.push_back(Piece{static_cast<int64_t>(base_), static_cast<int64_t>(header_.size())});
        pieces.push_back(Piece{block.offset, block.length});
    }
    const int from = fcntl(block.fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (from < 0) {
        error = failure("cannot share a block", errno);
        return -1;
    }
    if (options_.fifo) {
        // Its reader opens it by name; the feeder waits for that.
        startFeeder(from, std::move(pieces), -1, block.path, error);
        return -1;
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = failure("cannot make a pipe for a block", errno);
        close(from);
        return -1;
    }
    // A larger pipe lets the feeder and the command trade fewer, longer turns; the system's
    // limit for the user stands where it is lower.
    const int64_t total = block.length + (block.owned ? 0 : static_cast<int64_t>(header_.size()));
    fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(std::min<int64_t>(total, int64_t{1} << 20)));
    if (!startFeeder(from, std::move(pieces), ends[1], std::string(), error)) {
        close(from);
        close(ends[0]);
        close(ends[1]);
        return -1;
    }
    return ends[0];
}

void Blocks::release(Block &block) {
    if (block.owned && block.fd >= 0) {
        close(block.fd);
    }
    block.fd = -1;
    if (!block.path.empty()) {
        unlink(block.path.c_str());
        block.path.clear();
    }
}

void Blocks::ended(long sequence, bool again) {
    if (again) {
        return;
    }
    const auto found = blocks_.find(sequence);
    if (found != blocks_.end()) {
        release(found->second);
        blocks_.erase(found);
    }
}

} // namespace fanrun_cli
