// Drives a table with operations decoded from the input (puts, deletes, lookups, row searches,
// direct rebuilds by any small factor, rebuild insertions of new keys) against a std::map keyed
// by the first KEYSHELF_KEY_LIMIT bytes, and checks every result and, every few steps and at the
// end, the whole table: pair count, sorted rows, each pair in its dictHash row.

#include "keyshelf.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

void require(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Direct rebuilds are kept to this many rows, so that one input stays fast.
constexpr long kMaxGrowRows = 1L << 17;

// Keys from a small alphabet collide often; long ones reach past the limit by a few bytes and
// share their first bytes, so that some are equal as far as the table looks.
std::string makeKey(FuzzedDataProvider &in) {
    const std::uint8_t shape = in.ConsumeIntegral<std::uint8_t>();
    std::string key;
    if (shape < 200) {
        const std::size_t len = in.ConsumeIntegralInRange<std::size_t>(0, 12);
        for (std::size_t i = 0; i < len; i++) {
            key.push_back(static_cast<char>("ab\x80z"[in.ConsumeIntegral<std::uint8_t>() % 4]));
        }
        if (shape % 4 == 0) {
            key += "@mail.example-corporation-holdings.com"; // a shared 38-byte tail
        }
        return key;
    }
    key.assign(KEYSHELF_KEY_LIMIT - 4 + shape % 8, 'L');
    key[0] = static_cast<char>('A' + shape % 3);
    for (int i = 0; i < 3; i++) {
        key.push_back(static_cast<char>('0' + in.ConsumeIntegral<std::uint8_t>() % 3));
    }
    return key;
}

std::string stored(const std::string &key) {
    return key.substr(0, KEYSHELF_KEY_LIMIT);
}

void checkAll(Dict *d, const std::map<std::string, void *> &model) {
    std::size_t total = 0;
    for (int i = 0; i < d->numRows; i++) {
        const DictRow &row = d->rows[i];
        require(row.numEntries >= 0 && row.numEntries <= row.capacity, "row counts");
        for (int j = 0; j < row.numEntries; j++) {
            const char *key = row.entries[j].key;
            require(std::strlen(key) <= KEYSHELF_KEY_LIMIT, "stored key length");
            require(dictHash(key, d->numRows) == i, "pair in its row");
            require(j == 0 || std::strcmp(row.entries[j - 1].key, key) < 0, "row sorted");
            const auto it = model.find(key);
            require(it != model.end() && it->second == row.entries[j].value, "pair known");
        }
        total += static_cast<std::size_t>(row.numEntries);
    }
    require(total == model.size(), "pair count");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Dict *d = dictNew(in.ConsumeIntegralInRange<int>(0, 64));
    require(d != nullptr, "dictNew");
    std::map<std::string, void *> model;
    std::uintptr_t next = 1;
    for (int step = 1; in.remaining_bytes() > 0; step++) {
        const std::uint8_t op = in.ConsumeIntegral<std::uint8_t>() % 8;
        if (op == 6) {
            const int factor = in.ConsumeIntegralInRange<int>(-1, 4);
            if (static_cast<long>(d->numRows) * factor <= kMaxGrowRows) {
                const int before = d->numRows;
                grow(d, factor);
                require(d->numRows == (factor <= 0 ? 1 : before * factor), "grow row count");
                require(d->numEmptyRows == 0, "grow restarts numEmptyRows");
            }
            continue;
        }
        const std::string key = makeKey(in);
        const auto it = model.find(stored(key));
        auto *value = reinterpret_cast<void *>(next++);
        if (op <= 2) {
            require(dictPut(d, key.c_str(), value) == 1, "dictPut");
            model[stored(key)] = value;
        } else if (op == 3) {
            require(dictDel(d, key.c_str()) == (it != model.end() ? 1 : 0), "dictDel");
            if (it != model.end()) {
                model.erase(it);
            }
        } else if (op == 4) {
            const DictEntry *e = dictGet(d, key.c_str());
            require((e != nullptr) == (it != model.end()), "dictGet presence");
            require(e == nullptr || (e->value == it->second && stored(key) == e->key),
                    "dictGet pair");
        } else if (op == 5) {
            const std::string s = stored(key);
            const int h = dictHash(s.c_str(), d->numRows);
            const int slot = dictGetIndex(d, s.c_str(), h);
            require((slot >= 0) == (it != model.end()), "dictGetIndex");
            require(slot < 0 || d->rows[h].entries[slot].key == s, "dictGetIndex slot");
        } else if (it == model.end()) {
            require(growDictPut(d, key.c_str(), value) == 1, "growDictPut");
            model[stored(key)] = value;
        }
        if (step % 16 == 0) {
            checkAll(d, model);
        }
    }
    checkAll(d, model);
    dictFree(d);
    return 0;
}
