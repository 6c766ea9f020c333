// --pipe --round-robin: see roundrobin.h. The writer thread runs with every signal held back, so
// that a command that has gone makes a write fail with EPIPE instead of raising SIGPIPE, and no
// handler of the runner runs in it. It and the run's flow share only the fields under the lock,
// and wake each other through two eventfds: the library's wait for a command to start is the
// wait on one of them.

#include "roundrobin.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

// A block given to a command.
struct Given {
    Blocks::Bytes bytes;
    int64_t end = 0; // in the command's stream of input: the offset just after the block
};

// A command of the run, as its input is written.
struct Slot {
    int number = 0;         // from 1
    int fd = -1;            // its pipe's write end, non-blocking; -1 once closed
    std::deque<Given> held; // given, and not yet known read whole, in order
    size_t next = 0;        // held[next] is the first block not written whole
    size_t partial = 0;     // bytes of held[next] written
    int64_t given = 0;      // bytes given in all
    int64_t written = 0;    // bytes written in all
    long blocksRead = 0;    // blocks read whole
    int64_t bytesRead = 0;
    bool idle() const { return fd >= 0 && next == held.size(); }
};

// Once the input has ended, a pipe is closed only when every command has read all it was given
// (a command that goes meanwhile leaves its blocks to another); nothing tells when a pipe
// empties, so it is looked at after these waits, doubling.
constexpr int64_t settleFirstNs = 500000;
constexpr int64_t settleLongestNs = 50000000;

void signalEvent(int fd) {
    const uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void drainEvent(int fd) {
    uint64_t count = 0;
    while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

// One line on standard error in a single write, beside the run's other messages.
void say(const std::string &line) {
    const std::string text = "fanrun: " + line + "\n";
    while (write(STDERR_FILENO, text.data(), text.size()) < 0 && errno == EINTR) {
    }
}

std::string plural(long count, const char *word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

} // namespace

struct RoundRobin::State {
    Blocks *blocks = nullptr;
    int commands = 0;
    int pipeBytes = 0;
    int watchFd = -1;
    int wake = -1;   // the run's flow wakes the writer
    int notify = -1; // the writer wakes the run's flow
    std::thread writer;
    bool running = false;

    // Shared, under lock.
    std::mutex lock;
    std::vector<std::pair<int, int>> startedSlots; // slot, its pipe's write end
    std::vector<int> endedSlots;
    bool stopAsked = false;
    bool finishAsked = false;
    bool startsOver = false; // the run's flow offers no further command
    bool offerReady = false; // a block waits for a command to start; the offer takes it
    bool noMore = false;     // no further block will wait for a command to start
    std::string error;       // the input could not be read

    // The run's flow alone.
    int offered = 0;
    int stagedWrite = -1;
    bool delivered = false;

    // The writer alone, then finish() once it has ended.
    std::vector<Slot> slots;
    std::optional<Given> offer;     // cut for the next command to start
    std::map<long, Given> returned; // left unread by commands that have gone, by number
    bool allStarted = false;        // no further command will start
    bool inputEnded = false;        // cut to its end, or failed
    bool stopping = false;
    bool saidStop = false;
    int inputWait = -1; // the input has nothing yet: wait for this
    bool settling = false;
    int64_t settleNs = settleFirstNs;
    size_t turn = 0;

    void run();
    void loop();
    bool takeInbox();
    void tell(const std::string &failure);
    bool cut(Given &block);
    void give(Slot &slot, Given block);
    Slot *idleSlot();
    void serve();
    void closeFinished();
    static bool writeOut(Slot &slot);
    static void settle(Slot &slot);
    static void closeInput(Slot &slot);
    void gone(Slot &slot, bool quiet);
};

// What the run's flow sent: started and ended commands, a stop; false once finish is asked.
bool RoundRobin::State::takeInbox() {
    std::vector<std::pair<int, int>> started;
    std::vector<int> ended;
    bool finish = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        started.swap(startedSlots);
        ended.swap(endedSlots);
        stopping = stopping || stopAsked;
        allStarted = allStarted || startsOver;
        finish = finishAsked;
    }
    for (const auto &[number, fd] : started) {
        Slot slot;
        slot.number = number;
        slot.fd = fd;
        if (offer) {
            give(slot, std::move(*offer));
            offer.reset();
        }
        slots.push_back(std::move(slot));
    }
    for (int number : ended) {
        for (Slot &slot : slots) {
            if (slot.number == number) {
                gone(slot, false);
            }
        }
    }
    return !finish;
}

// No further block waits for a command to start; failure: the input could not be read.
void RoundRobin::State::tell(const std::string &failure) {
    {
        std::lock_guard<std::mutex> guard(lock);
        noMore = true;
        if (error.empty()) {
            error = failure;
        }
    }
    signalEvent(notify);
}

bool RoundRobin::State::cut(Given &block) {
    int waitFd = -1;
    switch (blocks->take(block.bytes, waitFd)) {
    case Blocks::Got::block:
        return true;
    case Blocks::Got::wait:
        inputWait = waitFd;
        return false;
    case Blocks::Got::end:
        inputEnded = true;
        tell("");
        return false;
    case Blocks::Got::failed:
        inputEnded = true;
        tell(blocks->error());
        return false;
    }
    return false;
}

// A long-lived command reads one stream: the header (--header) opens it once, not every block.
void RoundRobin::State::give(Slot &slot, Given block) {
    if (slot.given > 0) {
        block.bytes.header = {};
    }
    slot.given += static_cast<int64_t>(block.bytes.size());
    block.end = slot.given;
    slot.held.push_back(std::move(block));
}

// The next command after the last one served that has all it was given in its pipe.
Slot *RoundRobin::State::idleSlot() {
    for (size_t i = 0; i < slots.size(); ++i) {
        const size_t at = (turn + i) % slots.size();
        if (slots[at].idle()) {
            turn = at + 1;
            settle(slots[at]);
            return &slots[at];
        }
    }
    return nullptr;
}

// Writes what slot was given, as far as its pipe takes it without waiting; false once its
// reader has gone.
bool RoundRobin::State::writeOut(Slot &slot) {
    constexpr size_t most = 16;
    while (slot.next < slot.held.size()) {
        iovec pieces[most];
        size_t count = 0;
        size_t skip = slot.partial;
        for (size_t i = slot.next; i < slot.held.size() && count + 2 <= most; ++i) {
            const Blocks::Bytes &bytes = slot.held[i].bytes;
            for (const std::string_view piece : {bytes.header, bytes.body()}) {
                const size_t from = std::min(skip, piece.size());
                skip -= from;
                if (from < piece.size()) {
                    pieces[count++] =
                        iovec{const_cast<char *>(piece.data() + from), piece.size() - from};
                }
            }
        }
        if (count == 0) {
            // Empty blocks only (an empty header and body cannot be cut, but stay safe).
            slot.next = slot.held.size();
            slot.partial = 0;
            break;
        }
        const ssize_t written = writev(slot.fd, pieces, static_cast<int>(count));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno == EAGAIN) {
            return true;
        }
        if (written <= 0) {
            return false;
        }
        slot.written += written;
        auto left = static_cast<size_t>(written);
        while (left > 0) {
            const size_t rest = slot.held[slot.next].bytes.size() - slot.partial;
            if (left < rest) {
                slot.partial += left;
                break;
            }
            left -= rest;
            slot.partial = 0;
            ++slot.next;
        }
    }
    return true;
}

// Drops the blocks its command has read whole: everything written but what is still in the pipe.
void RoundRobin::State::settle(Slot &slot) {
    int unread = 0;
    if (slot.fd < 0 || ioctl(slot.fd, FIONREAD, &unread) != 0 || unread < 0) {
        return;
    }
    const int64_t read = slot.written - unread;
    while (!slot.held.empty() && slot.held.front().end <= read) {
        ++slot.blocksRead;
        slot.bytesRead += static_cast<int64_t>(slot.held.front().bytes.size());
        slot.held.pop_front();
        --slot.next;
    }
}

// The command of slot reads no more (it closed its input): its pipe is closed, and what it has
// not read stays with it until its end has been heard of, so that a --halt its end calls for
// comes first.
void RoundRobin::State::closeInput(Slot &slot) {
    if (slot.fd >= 0) {
        settle(slot);
        close(slot.fd);
        slot.fd = -1;
    }
}

// The command of slot has ended: what it has not read whole goes to another command.
void RoundRobin::State::gone(Slot &slot, bool quiet) {
    closeInput(slot);
    const long unread = static_cast<long>(slot.held.size());
    for (Given &block : slot.held) {
        const long number = block.bytes.number;
        returned.emplace(number, std::move(block));
    }
    slot.held.clear();
    slot.next = 0;
    slot.partial = 0;
    if (unread > 0 && !quiet && !stopping) {
        say("round-robin slot " + std::to_string(slot.number) + " stopped reading after " +
            plural(slot.blocksRead, "block") + " (" + std::to_string(slot.bytesRead) +
            " bytes); what it had not read whole (" + plural(unread, "block") +
            ") goes to another command");
    }
}

// Hands out blocks and writes them, as far as can be without waiting.
void RoundRobin::State::serve() {
    inputWait = -1;
    if (stopping && !saidStop) {
        // A command that would start now would get no block: the run's flow starts none.
        saidStop = true;
        tell("");
    }
    bool moved = true;
    while (moved) {
        moved = false;
        // The first blocks each start a command of their own.
        if (!stopping && !inputEnded && !allStarted && !offer &&
            slots.size() < static_cast<size_t>(commands) && inputWait < 0) {
            Given block;
            if (cut(block)) {
                offer = std::move(block);
                {
                    std::lock_guard<std::mutex> guard(lock);
                    offerReady = true;
                }
                signalEvent(notify);
                moved = true;
            }
        }
        Slot *slot = stopping ? nullptr : idleSlot();
        if (slot != nullptr && !returned.empty()) {
            give(*slot, std::move(returned.begin()->second));
            returned.erase(returned.begin());
            moved = true;
        } else if (slot != nullptr && !inputEnded && inputWait < 0 &&
                   (allStarted || slots.size() >= static_cast<size_t>(commands))) {
            Given block;
            if (cut(block)) {
                give(*slot, std::move(block));
                moved = true;
            }
        }
        for (Slot &each : slots) {
            if (each.fd < 0 || each.idle()) {
                continue;
            }
            if (!writeOut(each)) {
                closeInput(each);
            }
            // Written out, it may take the next block.
            moved = moved || each.idle();
        }
    }
    closeFinished();
}

// The end of the input for the commands: once stopping, as soon as the block being written is
// out; otherwise once the input has ended and every command has read all it was given, so that
// one that goes at the last moment still has others to take its blocks.
void RoundRobin::State::closeFinished() {
    const bool wasSettling = settling;
    settling = false;
    if (stopping) {
        for (Slot &slot : slots) {
            if (slot.idle()) {
                settle(slot);
                close(slot.fd);
                slot.fd = -1;
            }
        }
        return;
    }
    const bool waitsForAnEnd = std::any_of(slots.begin(), slots.end(), [](const Slot &slot) {
        return slot.fd < 0 && !slot.held.empty();
    });
    if (!inputEnded || !returned.empty() || waitsForAnEnd) {
        return;
    }
    bool allRead = true;
    for (Slot &slot : slots) {
        if (slot.fd < 0) {
            continue;
        }
        if (!slot.idle()) {
            allRead = false;
            continue;
        }
        settle(slot);
        if (!slot.held.empty()) {
            allRead = false;
            settling = true;
        }
    }
    if (allRead) {
        for (Slot &slot : slots) {
            if (slot.fd >= 0) {
                close(slot.fd);
                slot.fd = -1;
            }
        }
    }
    settleNs = !settling     ? settleFirstNs
               : wasSettling ? std::min(settleNs * 2, settleLongestNs)
                             : settleFirstNs;
}

void RoundRobin::State::loop() {
    std::vector<pollfd> waits;
    std::vector<Slot *> waited; // by waits' index, from 1
    while (takeInbox()) {
        serve();
        waits.assign(1, pollfd{wake, POLLIN, 0});
        waited.assign(1, nullptr);
        if (inputWait >= 0) {
            waits.push_back(pollfd{inputWait, POLLIN, 0});
            waited.push_back(nullptr);
        }
        for (Slot &slot : slots) {
            if (slot.fd >= 0) {
                // An idle one is watched for its reader going away (an error without a write).
                waits.push_back(pollfd{slot.fd, static_cast<short>(slot.idle() ? 0 : POLLOUT), 0});
                waited.push_back(&slot);
            }
        }
        const size_t watchAt = waits.size();
        if (watchFd >= 0 && !stopping) {
            waits.push_back(pollfd{watchFd, 0, 0});
            waited.push_back(nullptr);
        }
        const timespec settle{0, static_cast<long>(settleNs)};
        if (ppoll(waits.data(), waits.size(), settling ? &settle : nullptr, nullptr) < 0) {
            continue; // EINTR cannot come with every signal held; anything else: look again
        }
        for (size_t i = 1; i < waits.size(); ++i) {
            const bool failed = (waits[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
            if (failed && waited[i] != nullptr && waited[i]->idle()) {
                closeInput(*waited[i]);
            } else if (failed && i == watchAt) {
                stopping = true; // the output is lost: what further blocks make would be too
            }
        }
        if ((waits[0].revents & POLLIN) != 0) {
            drainEvent(wake);
        }
    }
}

void RoundRobin::State::run() {
    try {
        loop();
        return;
    } catch (const std::bad_alloc &) {
        // Every command gets the end of its input, and what it has not read is not delivered.
        stopping = true;
        for (Slot &slot : slots) {
            if (slot.fd >= 0) {
                close(slot.fd);
                slot.fd = -1;
            }
        }
        tell("out of memory");
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (finishAsked) {
                return;
            }
        }
        pollfd woken{wake, POLLIN, 0};
        poll(&woken, 1, -1);
        drainEvent(wake);
    }
}

RoundRobin::RoundRobin() : state_(std::make_unique<State>()) {}

RoundRobin::~RoundRobin() {
    std::string message;
    finish(message);
    for (int fd : {state_->wake, state_->notify}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool RoundRobin::start(Blocks &blocks, int commands, size_t pipeBytes, int watchFd,
                       std::string &error) {
    State &state = *state_;
    state.blocks = &blocks;
    state.commands = std::max(commands, 1);
    state.pipeBytes = static_cast<int>(std::clamp<size_t>(pipeBytes, 1 << 16, 1 << 20));
    state.watchFd = watchFd;
    state.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    state.notify = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state.wake < 0 || state.notify < 0) {
        error = std::string("cannot make the writer's wake-ups: ") + strerror(errno);
        return false;
    }
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        state.writer = std::thread(&State::run, &state);
        state.running = true;
    } catch (const std::system_error &failed) {
        error = std::string("cannot start the writer thread: ") + failed.what();
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return state.running;
}

RoundRobin::Offer RoundRobin::offer(int &waitFd) {
    State &state = *state_;
    // Drained first: a change after it wakes the run's flow again.
    drainEvent(state.notify);
    Offer answer = Offer::wait;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.offered < state.commands && state.offerReady) {
            state.offerReady = false;
            ++state.offered;
            answer = Offer::command;
        } else if (state.offered >= state.commands || state.noMore) {
            state.startsOver = true;
            answer = Offer::end;
        }
    }
    if (answer == Offer::end) {
        signalEvent(state.wake);
    }
    waitFd = state.notify;
    return answer;
}

void RoundRobin::refused() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->offerReady = true;
}

int RoundRobin::input(std::string &error) {
    State &state = *state_;
    if (state.stagedWrite >= 0) {
        close(state.stagedWrite); // of a command the run never started
        state.stagedWrite = -1;
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe for a command: ") + strerror(errno);
        return -1;
    }
    // Only the writer's end is non-blocking: the command reads as from any pipe.
    const int flags = fcntl(ends[1], F_GETFL);
    if (flags < 0 || fcntl(ends[1], F_SETFL, flags | O_NONBLOCK) != 0) {
        error = std::string("cannot make a pipe for a command: ") + strerror(errno);
        close(ends[0]);
        close(ends[1]);
        return -1;
    }
    // A larger pipe lets the writer and the command trade fewer, longer turns; the system's
    // limit for the user stands where it is lower.
    fcntl(ends[1], F_SETPIPE_SZ, state.pipeBytes);
    state.stagedWrite = ends[1];
    return ends[0];
}

void RoundRobin::started(int slot) {
    State &state = *state_;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.startedSlots.emplace_back(slot, state.stagedWrite);
    }
    state.stagedWrite = -1;
    signalEvent(state.wake);
}

void RoundRobin::ended(int slot) {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->endedSlots.push_back(slot);
    }
    signalEvent(state_->wake);
}

void RoundRobin::stop() {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->stopAsked = true;
    }
    signalEvent(state_->wake);
}

std::string RoundRobin::inputError() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->error;
}

bool RoundRobin::finish(std::string &message) {
    State &state = *state_;
    if (!state.running) {
        return true;
    }
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.finishAsked = true;
    }
    signalEvent(state.wake);
    state.writer.join();
    state.running = false;
    if (state.stagedWrite >= 0) {
        close(state.stagedWrite);
        state.stagedWrite = -1;
    }
    // Every command has ended: what any of them left unread stays so.
    for (Slot &slot : state.slots) {
        state.gone(slot, true);
    }
    long blocks = static_cast<long>(state.returned.size());
    int64_t bytes = 0;
    for (const auto &[number, block] : state.returned) {
        bytes += static_cast<int64_t>(block.bytes.size());
    }
    if (state.offer) {
        ++blocks;
        bytes += static_cast<int64_t>(state.offer->bytes.size());
    }
    state.delivered = blocks == 0 && state.inputEnded && state.error.empty();
    if (state.delivered || state.stopping || !state.error.empty()) {
        return true;
    }
    message = "no command was left to read the input: ";
    if (blocks > 0) {
        message += plural(blocks, "block") + " (" + std::to_string(bytes) + " bytes) given out";
    }
    if (!state.inputEnded) {
        message += std::string(blocks > 0 ? " and " : "") + "the input from byte " +
                   std::to_string(state.blocks->position()) + " on";
    }
    message += " did not reach a command";
    return false;
}

bool RoundRobin::delivered() const {
    return state_->delivered;
}

} // namespace fanrun_cli
