// The chat modules side by side with the plain memory work they cannot avoid:
//   parser: parseMessage over a mix of protocol lines, against one memchr pass that only finds the
//           colons in the same bytes (target: at least half its speed);
//   queue:  an enqueue and a dequeue on a queue holding 10 messages, against plain memcpy of the
//           bytes that cycle must move: one slot in, one slot out, 10 slots forward (target:
//           within 1.1x of the copies).

#include "postbox.h"
#include "verbsplit.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Two thousand lines: seven in ten "message" lines with texts of 100 to 1000 bytes (now and then
// a colon, as in "at 10:30"), the rest register, list and quit. All lines are NUL-terminated and
// stored back to back, as a server would keep lines read from its sockets.
struct Lines {
    std::vector<char> bytes;
    std::vector<size_t> starts;
};

std::string name(std::mt19937 &rng) {
    static const char alnum[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string s(std::uniform_int_distribution<size_t>(3, 12)(rng), 'a');
    for (char &c : s) {
        c = alnum[std::uniform_int_distribution<size_t>(0, sizeof alnum - 2)(rng)];
    }
    return s;
}

std::string text(std::mt19937 &rng) {
    std::string s(std::uniform_int_distribution<size_t>(100, 1000)(rng), ' ');
    std::uniform_int_distribution<int> printable(' ', '~');
    std::uniform_int_distribution<int> colon(0, 199);
    for (char &c : s) {
        c = static_cast<char>(printable(rng));
        if (c == ':' || colon(rng) == 0) {
            c = colon(rng) == 0 ? ':' : ' ';
        }
    }
    return s;
}

const Lines &lines() {
    static const Lines made = [] {
        Lines l;
        std::mt19937 rng(20261208);
        for (int i = 0; i < 2000; i++) {
            std::string line;
            switch (i % 10) {
            case 7:
                line = "register:" + name(rng);
                break;
            case 8:
                line = "list";
                break;
            case 9:
                line = "quit";
                break;
            default:
                line = "message:" + name(rng) + ":" + name(rng) + ":" + text(rng);
            }
            l.starts.push_back(l.bytes.size());
            l.bytes.insert(l.bytes.end(), line.begin(), line.end());
            l.bytes.push_back('\0');
        }
        return l;
    }();
    return made;
}

// Both parser benchmarks restore the lines outside the timed part, since parsing cuts them.
void parseMix(benchmark::State &state) {
    const Lines &l = lines();
    std::vector<char> work(l.bytes.size());
    char *part[VERBSPLIT_PARTS];
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data(), l.bytes.data(), work.size());
        state.ResumeTiming();
        int accepted = 0;
        for (const size_t start : l.starts) {
            accepted += parseMessage(work.data() + start, part) != 0 ? 1 : 0;
        }
        benchmark::DoNotOptimize(accepted);
        if (accepted != static_cast<int>(l.starts.size())) {
            state.SkipWithError("a line of the mix was rejected");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(l.bytes.size()));
}

void memchrColons(benchmark::State &state) {
    const Lines &l = lines();
    std::vector<char> work(l.bytes.size());
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data(), l.bytes.data(), work.size());
        state.ResumeTiming();
        size_t colons = 0;
        const char *p = work.data();
        const char *const end = p + work.size();
        while ((p = static_cast<const char *>(std::memchr(p, ':', end - p))) != nullptr) {
            colons++;
            p++;
        }
        benchmark::DoNotOptimize(colons);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(l.bytes.size()));
}

// Ten messages of the mix's lengths stay queued; each cycle adds one and takes the oldest out.
std::vector<std::string> queueMessages() {
    const Lines &l = lines();
    std::vector<std::string> m;
    for (size_t i = 0; i < 16; i++) {
        m.emplace_back(l.bytes.data() + l.starts[i]);
    }
    return m;
}

MessageQueue queue;
char slots[POSTBOX_SLOTS][POSTBOX_SLOT_SIZE];

void queueCycle(benchmark::State &state) {
    const std::vector<std::string> messages = queueMessages();
    initQueue(&queue);
    for (size_t i = 0; i < 10; i++) {
        enqueue(&queue, messages[i].c_str());
    }
    char out[POSTBOX_SLOT_SIZE];
    size_t next = 10;
    for (auto _ : state) {
        enqueue(&queue, messages[next % messages.size()].c_str());
        dequeue(&queue, out);
        benchmark::DoNotOptimize(out);
        next++;
    }
    if (queue.len != 10) {
        state.SkipWithError("queue did not keep 10 messages");
    }
}

// The queue's messages as whole NUL-padded slots, the form a slot copy moves.
std::vector<std::vector<char>> paddedQueueMessages() {
    std::vector<std::vector<char>> padded;
    for (const std::string &m : queueMessages()) {
        padded.emplace_back(POSTBOX_SLOT_SIZE, '\0');
        std::memcpy(padded.back().data(), m.data(), m.size());
    }
    return padded;
}

// The same bytes with one memcpy per slot: the new message's slot in, the oldest slot out, and
// each of the 10 remaining slots one place forward.
void plainCopiesPerSlot(benchmark::State &state) {
    const std::vector<std::vector<char>> padded = paddedQueueMessages();
    char out[POSTBOX_SLOT_SIZE];
    size_t next = 10;
    for (auto _ : state) {
        std::memcpy(slots[10], padded[next % padded.size()].data(), POSTBOX_SLOT_SIZE);
        std::memcpy(out, slots[0], POSTBOX_SLOT_SIZE);
        for (int i = 0; i < 10; i++) {
            std::memcpy(slots[i], slots[i + 1], POSTBOX_SLOT_SIZE);
        }
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
        next++;
    }
}

// The same bytes in three block copies, the cheapest way they can be moved.
void plainBlockCopies(benchmark::State &state) {
    const std::vector<std::vector<char>> padded = paddedQueueMessages();
    char out[POSTBOX_SLOT_SIZE];
    size_t next = 10;
    for (auto _ : state) {
        std::memcpy(slots[10], padded[next % padded.size()].data(), POSTBOX_SLOT_SIZE);
        std::memcpy(out, slots[0], POSTBOX_SLOT_SIZE);
        std::memmove(slots[0], slots[1], 10 * POSTBOX_SLOT_SIZE);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
        next++;
    }
}

} // namespace

BENCHMARK(parseMix)->Name("parser/parseMessage");
BENCHMARK(memchrColons)->Name("parser/memchr_colons");
BENCHMARK(queueCycle)->Name("queue/enqueue_dequeue_10_held");
BENCHMARK(plainCopiesPerSlot)->Name("queue/memcpy_per_slot");
BENCHMARK(plainBlockCopies)->Name("queue/memcpy_blocks");

BENCHMARK_MAIN();
