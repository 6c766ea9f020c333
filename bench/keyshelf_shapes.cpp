// One fill of one key shape in a fresh process, for the keyed table or for
// std::unordered_map<std::string, void *> looked up through a transparent hash (no std::string
// is built per lookup). Prints one line: impl shape keys rows peak_MiB ns_per_put ns_per_hit
// max_put_us. The peak is the process's peak resident size (VmHWM), keys included; rows is the
// table's row count (the map's bucket count). Puts and hits are timed in processor time of the
// process (page faults included), so that time spent waiting for a shared core does not count;
// the longest put is wall-clock time. bench/keyshelf_shapes.sh runs one process per line.
//
//   keyshelf_shapes keyshelf|map SHAPE KEYS [longest]
//
// SHAPE is a printf format with one %d (e.g. user%d@gmail.com) or "random" (8 to 24
// alphanumerics). With "longest", every put is timed on its own and max_put_us is the longest
// (the rebuild pause); otherwise only the whole fill is timed and max_put_us is 0.
#include "keyshelf.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<std::string> makeKeys(const std::string &shape, long n) {
    std::vector<std::string> keys;
    keys.reserve(static_cast<std::size_t>(n));
    if (shape == "random") {
        static const char alphabet[] =
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        std::mt19937_64 rng(0xfeedULL);
        for (long i = 0; i < n; i++) {
            std::string key(8 + rng() % 17, ' ');
            for (char &ch : key) {
                ch = alphabet[rng() % 62];
            }
            keys.push_back(std::move(key));
        }
        return keys;
    }
    std::vector<char> buf(shape.size() + 32);
    for (long i = 0; i < n; i++) {
        std::snprintf(buf.data(), buf.size(), shape.c_str(), static_cast<int>(i));
        keys.emplace_back(buf.data());
    }
    return keys;
}

long statusKiB(const char *field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
        }
    }
    return -1;
}

struct Shelf {
    Dict *d = dictNew(0);
    bool put(const std::string &k, void *v) const { return dictPut(d, k.c_str(), v) == 1; }
    void *get(const std::string &k) const {
        const DictEntry *e = dictGet(d, k.c_str());
        return e == nullptr ? nullptr : e->value;
    }
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
        m.insert_or_assign(k, v);
        return true;
    }
    void *get(const std::string &k) const {
        const auto it = m.find(std::string_view(k));
        return it == m.end() ? nullptr : it->second;
    }
    long rows() const { return static_cast<long>(m.bucket_count()); }
};

void *valueOf(std::size_t i) {
    return reinterpret_cast<void *>(i + 1);
}

template <typename T> int run(const char *impl, const std::string &shape, long n, bool longest) {
    const auto keys = makeKeys(shape, n);
    std::vector<const std::string *> order;
    order.reserve(keys.size());
    for (const auto &k : keys) {
        order.push_back(&k);
    }
    std::shuffle(order.begin(), order.end(), std::mt19937_64(0xacedULL));
    T t;
    double maxPut = 0;
    const double start = cpuSeconds();
    for (std::size_t i = 0; i < keys.size(); i++) {
        if (longest) {
            const auto before = Clock::now();
            t.put(keys[i], valueOf(i));
            maxPut = std::max(maxPut, std::chrono::duration<double>(Clock::now() - before).count());
        } else if (!t.put(keys[i], valueOf(i))) {
            std::fprintf(stderr, "put failed\n");
            return 1;
        }
    }
    const double fill = cpuSeconds() - start;
    // Enough rounds of shuffled lookups for at least two million of them.
    const long rounds = std::max(1L, 2000000L / n);
    std::size_t wrong = 0;
    const double hitStart = cpuSeconds();
    for (long r = 0; r < rounds; r++) {
        for (const std::string *k : order) {
            wrong += t.get(*k) == valueOf(static_cast<std::size_t>(k - keys.data())) ? 0 : 1;
        }
    }
    const double hits = cpuSeconds() - hitStart;
    if (wrong != 0) {
        std::fprintf(stderr, "%zu lookups gave a wrong value\n", wrong);
        return 1;
    }
    std::printf("%s %s %ld %ld %.1f %.0f %.0f %.0f\n", impl, shape.c_str(), n, t.rows(),
                static_cast<double>(statusKiB("VmHWM:")) / 1024.0,
                fill * 1e9 / static_cast<double>(n), hits * 1e9 / static_cast<double>(n * rounds),
                maxPut * 1e6);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s keyshelf|map SHAPE KEYS [longest]\n", argv[0]);
        return 2;
    }
    const std::string impl = argv[1];
    const long n = std::strtol(argv[3], nullptr, 10);
    const bool longest = argc > 4 && std::strcmp(argv[4], "longest") == 0;
    if (n < 1) {
        return 2;
    }
    if (impl == "keyshelf") {
        return run<Shelf>("keyshelf", argv[2], n, longest);
    }
    if (impl == "map") {
        return run<Map>("map", argv[2], n, longest);
    }
    return 2;
}
