// The keyed table side by side with std::unordered_map<std::string, void *>, looked up through a
// transparent hash (by std::string_view, so that no std::string is built per lookup), doing the
// same work:
// insert every key into a fresh table, look every key up, look up keys that are absent, delete
// every key. Keys are "user:%08d" (shape 0) or random alphanumerics of 8 to 24 bytes (shape 1).
//
// Lookups visit the keys in a fixed shuffled order, as callers seldom look keys up in the order
// they were inserted; LookupHitInOrder shows the insertion order too, which favours the map, whose
// nodes lie in insertion order.
//
// Counters: ns_per_op (CPU time per key), rows (the table's final row count; bucket count for the
// map), and, on the insert runs, peak_MiB and final_MiB: the resident memory the filled table
// added, measured in a forked child that builds it once (peak over the whole build, rebuilds
// included, and what remained at the end).
#include "keyshelf.h"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace {

enum Shape { kUser = 0, kRandom = 1 };

std::vector<std::string> makeKeys(int shape, long n, bool absent) {
    std::vector<std::string> keys;
    keys.reserve(static_cast<std::size_t>(n));
    if (shape == kUser) {
        char buf[32];
        for (long i = 0; i < n; i++) {
            std::snprintf(buf, sizeof buf, "user:%08ld", absent ? n + i : i);
            keys.emplace_back(buf);
        }
        return keys;
    }
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::mt19937_64 rng(absent ? 0x5eedULL + static_cast<unsigned long>(n) : 0xfeedULL);
    for (long i = 0; i < n; i++) {
        std::string key(8 + rng() % 17, ' ');
        for (char &ch : key) {
            ch = alphabet[rng() % 62];
        }
        keys.push_back(std::move(key));
    }
    return keys;
}

// Key sets are made once and shared by both tables.
const std::vector<std::string> &keySet(int shape, long n, bool absent) {
    static std::map<std::tuple<int, long, bool>, std::vector<std::string>> cache;
    auto &keys = cache[{shape, n, absent}];
    if (keys.empty()) {
        keys = makeKeys(shape, n, absent);
    }
    return keys;
}

struct Shelf {
    Dict *d = dictNew(0);
    Shelf() = default;
    Shelf(const Shelf &) = delete;
    Shelf &operator=(const Shelf &) = delete;
    ~Shelf() { dictFree(d); }
    bool put(const std::string &k, void *v) { return dictPut(d, k.c_str(), v) == 1; }
    void *get(const std::string &k) {
        DictEntry *e = dictGet(d, k.c_str());
        return e == nullptr ? nullptr : e->value;
    }
    bool del(const std::string &k) { return dictDel(d, k.c_str()) == 1; }
    long rows() const { return d->numRows; }
};

struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};

struct Map {
    std::unordered_map<std::string, void *, Hash, std::equal_to<>> m;
    bool put(const std::string &k, void *v) {
        m[k] = v;
        return true;
    }
    void *get(const std::string &k) {
        auto it = m.find(std::string_view(k));
        return it == m.end() ? nullptr : it->second;
    }
    bool del(const std::string &k) {
        const auto it = m.find(std::string_view(k));
        if (it == m.end()) {
            return false;
        }
        m.erase(it);
        return true;
    }
    long rows() const { return static_cast<long>(m.bucket_count()); }
};

void *valueOf(std::size_t i) {
    return reinterpret_cast<void *>(i + 1);
}

template <typename T> void fill(T &t, const std::vector<std::string> &keys) {
    for (std::size_t i = 0; i < keys.size(); i++) {
        t.put(keys[i], valueOf(i));
    }
}

long statusKiB(const char *field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t len = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, len, field) == 0) {
            return std::strtol(line.c_str() + len, nullptr, 10);
        }
    }
    return -1;
}

struct Memory {
    double peakMiB = -1;
    double finalMiB = -1;
};

// Builds the table once in a child process and reports what it added to resident memory.
template <typename T> Memory measureMemory(const std::vector<std::string> &keys) {
    int fds[2];
    if (pipe(fds) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        malloc_trim(0);
        {
            std::ofstream reset("/proc/self/clear_refs");
            reset << "5"; // restart the peak at the current size
        }
        const long base = statusKiB("VmRSS:");
        auto *t = new T;
        fill(*t, keys);
        long out[2] = {statusKiB("VmHWM:") - base, statusKiB("VmRSS:") - base};
        const ssize_t w = write(fds[1], out, sizeof out);
        _exit(w == static_cast<ssize_t>(sizeof out) ? 0 : 1);
    }
    close(fds[1]);
    long in[2] = {-1024, -1024};
    const ssize_t r = read(fds[0], in, sizeof in);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (r != static_cast<ssize_t>(sizeof in)) {
        return {};
    }
    return {static_cast<double>(in[0]) / 1024.0, static_cast<double>(in[1]) / 1024.0};
}

void perKey(benchmark::State &state, std::size_t n) {
    state.counters["ns_per_op"] = benchmark::Counter(static_cast<double>(n) * 1e-9,
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

template <typename T> void Insert(benchmark::State &state) {
    const auto &keys = keySet(static_cast<int>(state.range(0)), state.range(1), false);
    long rows = 0;
    for (auto _ : state) {
        auto *t = new T;
        fill(*t, keys);
        state.PauseTiming();
        rows = t->rows();
        delete t;
        state.ResumeTiming();
    }
    perKey(state, keys.size());
    state.counters["rows"] = static_cast<double>(rows);
    static std::map<std::pair<int, long>, Memory> measured;
    auto &mem = measured[{static_cast<int>(state.range(0)), state.range(1)}];
    if (mem.peakMiB < 0) {
        mem = measureMemory<T>(keys);
    }
    state.counters["peak_MiB"] = mem.peakMiB;
    state.counters["final_MiB"] = mem.finalMiB;
}

// The keys of a set in a fixed shuffled order.
std::vector<const std::string *> shuffled(const std::vector<std::string> &keys) {
    std::vector<const std::string *> order;
    order.reserve(keys.size());
    for (const auto &k : keys) {
        order.push_back(&k);
    }
    std::shuffle(order.begin(), order.end(), std::mt19937_64(0xacedULL));
    return order;
}

template <typename T> void LookupHit(benchmark::State &state) {
    const auto &keys = keySet(static_cast<int>(state.range(0)), state.range(1), false);
    const auto order = shuffled(keys);
    T t;
    fill(t, keys);
    for (auto _ : state) {
        for (const std::string *k : order) {
            benchmark::DoNotOptimize(t.get(*k));
        }
    }
    for (std::size_t i = 0; i < keys.size(); i++) {
        if (t.get(keys[i]) != valueOf(i)) {
            state.SkipWithError("lookup gave a wrong value");
            break;
        }
    }
    perKey(state, keys.size());
    state.counters["rows"] = static_cast<double>(t.rows());
}

template <typename T> void LookupHitInOrder(benchmark::State &state) {
    const auto &keys = keySet(static_cast<int>(state.range(0)), state.range(1), false);
    T t;
    fill(t, keys);
    for (auto _ : state) {
        for (const auto &k : keys) {
            benchmark::DoNotOptimize(t.get(k));
        }
    }
    perKey(state, keys.size());
    state.counters["rows"] = static_cast<double>(t.rows());
}

template <typename T> void LookupMiss(benchmark::State &state) {
    const auto &keys = keySet(static_cast<int>(state.range(0)), state.range(1), false);
    const auto &absent = keySet(static_cast<int>(state.range(0)), state.range(1), true);
    const auto order = shuffled(absent);
    T t;
    fill(t, keys);
    long found = 0;
    for (auto _ : state) {
        for (const std::string *k : order) {
            found += t.get(*k) != nullptr ? 1 : 0;
        }
    }
    benchmark::DoNotOptimize(found);
    if (found != 0) {
        state.SkipWithError("an absent key was found");
    }
    perKey(state, absent.size());
    state.counters["rows"] = static_cast<double>(t.rows());
}

template <typename T> void DeleteAll(benchmark::State &state) {
    const auto &keys = keySet(static_cast<int>(state.range(0)), state.range(1), false);
    long rows = 0;
    long missed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto *t = new T;
        fill(*t, keys);
        state.ResumeTiming();
        for (const auto &k : keys) {
            missed += t->del(k) ? 0 : 1;
        }
        state.PauseTiming();
        rows = t->rows();
        delete t;
        state.ResumeTiming();
    }
    if (missed != 0) {
        state.SkipWithError("a delete missed");
    }
    perKey(state, keys.size());
    state.counters["rows"] = static_cast<double>(rows);
}

} // namespace

// Each case runs for the table and the map one after the other, so that the two figures come
// from the same moment of the same run. Fixed iteration counts keep the large cases to a single
// pass: filling a table with a million keys takes seconds.
int main(int argc, char **argv) {
    using Fn = void (*)(benchmark::State &);
    struct Op {
        const char *name;
        Fn shelf;
        Fn map;
        long work; // keys handled per case, spread over the iterations
    };
    const Op ops[] = {
        {"Insert", Insert<Shelf>, Insert<Map>, 1000000},
        {"LookupHit", LookupHit<Shelf>, LookupHit<Map>, 5000000},
        {"LookupHitInOrder", LookupHitInOrder<Shelf>, LookupHitInOrder<Map>, 5000000},
        {"LookupMiss", LookupMiss<Shelf>, LookupMiss<Map>, 5000000},
        {"DeleteAll", DeleteAll<Shelf>, DeleteAll<Map>, 1000000},
    };
    for (const long n : {1000L, 10000L, 100000L, 1000000L}) {
        for (const int shape : {kUser, kRandom}) {
            for (const Op &op : ops) {
                if (std::strcmp(op.name, "LookupHitInOrder") == 0 && n != 100000) {
                    continue;
                }
                for (const bool shelf : {true, false}) {
                    const std::string name =
                        std::string(op.name) + (shelf ? "<keyshelf>" : "<unordered_map>");
                    benchmark::RegisterBenchmark(name.c_str(), shelf ? op.shelf : op.map)
                        ->Args({shape, n})
                        ->ArgNames({"shape", "keys"})
                        ->Iterations(std::max(1L, op.work / n))
                        ->Unit(benchmark::kMillisecond);
                }
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
