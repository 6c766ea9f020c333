// Tests of the keyed table. Built twice: keyshelf_test links the library; keyshelf_faults_test
// (KEYSHELF_FAULTS) compiles the module in and wraps malloc/realloc/free at link time to fail a
// chosen allocation and to count what is left allocated.
#include "keyshelf.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

void *tag(std::uintptr_t n) {
    return reinterpret_cast<void *>(n);
}

// The row of a key computed the plain way, one byte at a time, with the sum kept in 64 bits and
// wrapped by hand. Returns the wrapped signed sum through *sumOut.
[[maybe_unused]] int referenceHash(const std::string &key, int m, std::int32_t *sumOut = nullptr) {
    std::int64_t sum = 0;
    for (const char ch : key) {
        const std::int64_t num = static_cast<signed char>(ch);
        sum = (sum + num * 77933 + sum * 119557) % 4294967296LL;
        if (sum < 0) {
            sum += 4294967296LL;
        }
    }
    if (sum >= 2147483648LL) {
        sum -= 4294967296LL;
    }
    if (sumOut != nullptr) {
        *sumOut = static_cast<std::int32_t>(sum);
    }
    return static_cast<int>((sum < 0 ? -sum : sum) % m);
}

// Keys of the form prefix<n> that land in `row` of an m-row table.
std::vector<std::string> keysInRow(int row, int m, int count, const std::string &prefix = "k") {
    std::vector<std::string> keys;
    for (int n = 0; static_cast<int>(keys.size()) < count; n++) {
        std::string key = prefix + std::to_string(n);
        if (dictHash(key.c_str(), m) == row) {
            keys.push_back(key);
        }
    }
    return keys;
}

// One key for each of the rows 0 .. count-1 of an m-row table.
[[maybe_unused]] std::vector<std::string> oneKeyPerRow(int count, int m) {
    std::vector<std::string> keys(static_cast<std::size_t>(count));
    int found = 0;
    for (int n = 0; found < count; n++) {
        std::string key = "r" + std::to_string(n);
        const int h = dictHash(key.c_str(), m);
        if (h < count && keys[static_cast<std::size_t>(h)].empty()) {
            keys[static_cast<std::size_t>(h)] = key;
            found++;
        }
    }
    return keys;
}

// Everything that must hold between operations, including that no two rows' arrays overlap.
testing::AssertionResult wellFormed(const Dict *d) {
    if (d->numRows < 1 || d->rows == nullptr) {
        return testing::AssertionFailure() << "numRows=" << d->numRows;
    }
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>> arrays;
    for (int i = 0; i < d->numRows; i++) {
        const auto start = reinterpret_cast<std::uintptr_t>(d->rows[i].entries);
        arrays.emplace_back(start, start + static_cast<std::uintptr_t>(d->rows[i].capacity) *
                                               sizeof(DictEntry));
    }
    std::sort(arrays.begin(), arrays.end());
    for (std::size_t i = 1; i < arrays.size(); i++) {
        if (arrays[i].first < arrays[i - 1].second) {
            return testing::AssertionFailure() << "two rows share memory";
        }
    }
    for (int i = 0; i < d->numRows; i++) {
        const DictRow &row = d->rows[i];
        if (row.numEntries < 0 || row.numEntries > row.capacity || row.capacity < 2 ||
            (row.capacity & (row.capacity - 1)) != 0 || row.entries == nullptr) {
            return testing::AssertionFailure() << "row " << i << ": numEntries=" << row.numEntries
                                               << " capacity=" << row.capacity;
        }
        for (int j = 0; j < row.numEntries; j++) {
            const char *key = row.entries[j].key;
            if (key == nullptr || std::strlen(key) > KEYSHELF_KEY_LIMIT) {
                return testing::AssertionFailure() << "row " << i << " slot " << j << ": bad key";
            }
            if (dictHash(key, d->numRows) != i) {
                return testing::AssertionFailure() << "key " << key << " in row " << i;
            }
            if (j > 0 && std::strncmp(row.entries[j - 1].key, key, KEYSHELF_KEY_LIMIT) >= 0) {
                return testing::AssertionFailure() << "row " << i << " out of order at " << j;
            }
        }
    }
    return testing::AssertionSuccess();
}

// The table holds exactly the model's pairs.
testing::AssertionResult holds(Dict *d, const std::map<std::string, void *> &model) {
    long total = 0;
    for (int i = 0; i < d->numRows; i++) {
        total += d->rows[i].numEntries;
    }
    if (total != static_cast<long>(model.size())) {
        return testing::AssertionFailure() << total << " pairs, expected " << model.size();
    }
    for (const auto &[key, value] : model) {
        const DictEntry *e = dictGet(d, key.c_str());
        if (e == nullptr || e->value != value || key != e->key) {
            return testing::AssertionFailure() << "pair of " << key << " lost or wrong";
        }
    }
    return testing::AssertionSuccess();
}

// Runs f with standard output going to a file, and returns what it wrote.
template <typename F> std::string captureStdout(F f) {
    std::fflush(stdout);
    FILE *tmp = std::tmpfile();
    if (tmp == nullptr) {
        ADD_FAILURE() << "tmpfile";
        return {};
    }
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(tmp), STDOUT_FILENO);
    f();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    std::rewind(tmp);
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0) {
        out.append(buf, n);
    }
    std::fclose(tmp);
    return out;
}

} // namespace

#ifndef KEYSHELF_FAULTS

TEST(KeyshelfHash, MatchesTheWrittenExamples) {
    EXPECT_EQ(dictHash("", 1024), 0);
    EXPECT_EQ(dictHash("", 7), 0);
    EXPECT_EQ(dictHash("a", 1024), 333);
    EXPECT_EQ(dictHash("abc", 1024), 681);
    EXPECT_EQ(dictHash("ns", 1024), 5);
    EXPECT_EQ(dictHash("lq", 1024), 5);
    EXPECT_EQ(dictHash("abc", 1), 0);
}

TEST(KeyshelfHash, TakesHighBytesAsNegative) {
    // Worked out by hand from the byte rule; reading the bytes as unsigned gives 447 and 255.
    EXPECT_EQ(dictHash("\xff"
                       "a",
                       1024),
              65);
    EXPECT_EQ(dictHash("caf\xc3\xa9", 1024), 513);
    EXPECT_EQ(dictHash("\x80\x80", 1000), 272);
}

TEST(KeyshelfHash, RowCountBelowOneGivesRowZeroInsteadOfDividingByZero) {
    EXPECT_EQ(dictHash("abc", 0), 0);
    EXPECT_EQ(dictHash("abc", -5), 0);
}

TEST(KeyshelfHash, AgreesWithBytewiseArithmeticOnRandomKeys) {
    std::mt19937 rng(7);
    const int sizes[] = {1, 2, 3, 7, 1000, 1024, 65536, 1 << 20, INT_MAX};
    for (int n = 0; n < 20000; n++) {
        std::string key(rng() % 41, ' ');
        for (char &ch : key) {
            ch = static_cast<char>(1 + rng() % 255);
        }
        const int m = sizes[n % std::size(sizes)];
        ASSERT_EQ(dictHash(key.c_str(), m), referenceHash(key, m)) << "length " << key.size();
    }
}

TEST(KeyshelfHash, ReadsNoByteBeyondTheKeyLimit) {
    // The key's first KEYSHELF_KEY_LIMIT bytes end where an unreadable page begins, with no NUL
    // among them: reading one byte more faults.
    const long page = sysconf(_SC_PAGESIZE);
    const auto pageBytes = static_cast<std::size_t>(page);
    const std::size_t span = (KEYSHELF_KEY_LIMIT / pageBytes + 2) * pageBytes;
    void *map = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char *end = static_cast<char *>(map) + span - pageBytes;
    ASSERT_EQ(mprotect(end, pageBytes, PROT_NONE), 0);
    char *key = end - KEYSHELF_KEY_LIMIT;
    for (std::size_t i = 0; i < KEYSHELF_KEY_LIMIT; i++) {
        key[i] = static_cast<char>('a' + i % 26);
    }
    const std::string stored(key, KEYSHELF_KEY_LIMIT);
    for (const int m : {1, 1024, 1000003, INT_MAX}) {
        EXPECT_EQ(dictHash(key, m), referenceHash(stored, m)) << "m=" << m;
        EXPECT_EQ(dictHash((stored + "any tail").c_str(), m), referenceHash(stored, m)) << m;
    }
    munmap(map, span);
}

TEST(KeyshelfHash, GivesRowZeroOrAValidRowForTheMostNegativeSum) {
    // Contributions of a byte are multiplied by 119558^k, k being the bytes after it, and
    // 119558 = 2 * odd; so byte by byte from the end, a or b fixes the next bit of the sum until
    // it is exactly 2^31.
    std::string key;
    std::uint32_t goal = 0x80000000U;
    std::uint32_t weight = 77933U;
    std::string reversed;
    for (int bit = 0; bit < 32; bit++) {
        const std::uint32_t mask = 1U << bit;
        const char pick = ((goal & mask) != ((97U * weight) & mask)) ? 'b' : 'a';
        goal -= static_cast<std::uint32_t>(pick) * weight;
        weight *= 119558U;
        reversed.push_back(pick);
    }
    key.assign(reversed.rbegin(), reversed.rend());
    std::int32_t sum = 0;
    referenceHash(key, 1024, &sum);
    ASSERT_EQ(sum, INT_MIN) << key;
    for (int bits = 0; bits <= 30; bits++) {
        EXPECT_EQ(dictHash(key.c_str(), 1 << bits), 0) << "m=2^" << bits;
    }
    for (const int m : {3, 1000, 1023, INT_MAX}) {
        const int h = dictHash(key.c_str(), m);
        EXPECT_TRUE(h >= 0 && h < m) << "m=" << m << " gave " << h;
    }
}

TEST(KeyshelfNew, BuildsEmptyRowsOfCapacityEight) {
    Dict *d = dictNew(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->numRows, 1024);
    EXPECT_EQ(d->numFullRows, 0);
    EXPECT_EQ(d->numEmptyRows, 0);
    std::set<const DictEntry *> arrays;
    for (int i = 0; i < d->numRows; i++) {
        EXPECT_EQ(d->rows[i].numEntries, 0);
        EXPECT_EQ(d->rows[i].capacity, 8);
        arrays.insert(d->rows[i].entries);
    }
    EXPECT_EQ(arrays.size(), 1024U) << "rows share an array";
    EXPECT_FALSE(arrays.count(nullptr));
    dictFree(d);

    d = dictNew(5);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->numRows, 5);
    dictFree(d);
    EXPECT_EQ(dictNew(-1), nullptr);
    dictFree(nullptr);
}

TEST(KeyshelfNew, OwningHandleReleasesTheTable) {
    keyshelf::DictPtr d = keyshelf::makeDict();
    ASSERT_TRUE(d);
    EXPECT_EQ(dictPut(d.get(), "held", tag(1)), 1);
    ASSERT_NE(dictGet(d.get(), "held"), nullptr);
    EXPECT_EQ(dictGet(d.get(), "held")->value, tag(1));
}

TEST(KeyshelfPut, ShrinksAFreshRowOnItsFirstInsertion) {
    Dict *d = dictNew(0);
    ASSERT_EQ(dictPut(d, "abc", tag(1)), 1);
    const DictRow &row = d->rows[681];
    EXPECT_EQ(row.numEntries, 1);
    EXPECT_EQ(row.capacity, 4);
    EXPECT_STREQ(row.entries[0].key, "abc");
    EXPECT_EQ(row.entries[0].value, tag(1));
    EXPECT_EQ(d->numFullRows, 0);
    dictFree(d);
}

TEST(KeyshelfPut, CopiesTheKeyAndKeepsRowsSorted) {
    Dict *d = dictNew(0);
    char key[] = "ns";
    ASSERT_EQ(dictPut(d, key, tag(1)), 1);
    key[0] = 'x';
    ASSERT_EQ(dictPut(d, "lq", tag(2)), 1);
    const DictRow &row = d->rows[5];
    ASSERT_EQ(row.numEntries, 2);
    EXPECT_STREQ(row.entries[0].key, "lq");
    EXPECT_STREQ(row.entries[1].key, "ns");
    EXPECT_EQ(dictGet(d, "xs"), nullptr);
    ASSERT_NE(dictGet(d, "ns"), nullptr);
    EXPECT_EQ(dictGet(d, "ns")->value, tag(1));
    dictFree(d);
}

TEST(KeyshelfPut, ReplacingAValueStillResizesTheRow) {
    Dict *d = dictNew(0);
    const auto keys = keysInRow(100, 1024, 4);
    for (std::size_t i = 0; i < keys.size(); i++) {
        ASSERT_EQ(dictPut(d, keys[i].c_str(), tag(i + 1)), 1);
    }
    const DictRow &row = d->rows[100];
    EXPECT_EQ(row.numEntries, 4);
    EXPECT_EQ(row.capacity, 4);
    EXPECT_EQ(d->numFullRows, 1);

    EXPECT_EQ(dictPut(d, keys[2].c_str(), tag(99)), 1);
    EXPECT_EQ(row.numEntries, 4);
    EXPECT_EQ(row.capacity, 8);
    EXPECT_EQ(d->numFullRows, 1);
    EXPECT_EQ(d->numRows, 1024);
    EXPECT_EQ(dictGet(d, keys[2].c_str())->value, tag(99));
    // The value may also be replaced through the returned pair.
    dictGet(d, keys[0].c_str())->value = tag(42);
    EXPECT_EQ(dictGet(d, keys[0].c_str())->value, tag(42));
    dictFree(d);
}

TEST(KeyshelfPut, DoublesTheRowsWhenTwoRowsReachTheirFourthPair) {
    Dict *d = dictNew(0);
    const auto first = keysInRow(10, 1024, 4, "a");
    const auto second = keysInRow(20, 1024, 4, "b");
    std::map<std::string, void *> model;
    for (const auto &key : first) {
        ASSERT_EQ(dictPut(d, key.c_str(), tag(model.size() + 1)), 1);
        model[key] = tag(model.size() + 1);
    }
    EXPECT_EQ(d->numFullRows, 1);
    for (std::size_t i = 0; i < 3; i++) {
        ASSERT_EQ(dictPut(d, second[i].c_str(), tag(model.size() + 1)), 1);
        model[second[i]] = tag(model.size() + 1);
    }
    EXPECT_EQ(d->numRows, 1024);
    ASSERT_EQ(dictPut(d, second[3].c_str(), tag(model.size() + 1)), 1);
    model[second[3]] = tag(model.size() + 1);
    EXPECT_EQ(d->numRows, 2048);
    EXPECT_EQ(d->numFullRows, 0);
    EXPECT_EQ(d->numEmptyRows, 0);
    EXPECT_TRUE(wellFormed(d));
    EXPECT_TRUE(holds(d, model));
    // Rows that received pairs in the rebuild start at capacity 8 like every other.
    for (int i = 0; i < d->numRows; i++) {
        EXPECT_EQ(d->rows[i].capacity, 8) << "row " << i;
    }
    dictFree(d);
}

TEST(KeyshelfPut, RowEmptiedByDeletionsShrinksToTwoAndFillsAtItsSecondPair) {
    Dict *d = dictNew(0);
    const auto keys = keysInRow(300, 1024, 2);
    ASSERT_EQ(dictPut(d, keys[0].c_str(), tag(1)), 1);
    ASSERT_EQ(dictDel(d, keys[0].c_str()), 1);
    const DictRow &row = d->rows[300];
    EXPECT_EQ(row.capacity, 4);
    EXPECT_EQ(d->numEmptyRows, 1);
    EXPECT_EQ(row.entries[0].key, nullptr);
    EXPECT_EQ(row.entries[0].value, nullptr);

    ASSERT_EQ(dictPut(d, keys[0].c_str(), tag(1)), 1);
    EXPECT_EQ(row.capacity, 2);
    EXPECT_EQ(d->numFullRows, 0);
    ASSERT_EQ(dictPut(d, keys[1].c_str(), tag(2)), 1);
    EXPECT_EQ(row.capacity, 2);
    EXPECT_EQ(row.numEntries, 2);
    EXPECT_EQ(d->numFullRows, 1);
    dictFree(d);
}

TEST(KeyshelfDel, AbsentKeyChangesNothing) {
    Dict *d = dictNew(0);
    const auto keys = keysInRow(3, 1024, 2);
    ASSERT_EQ(dictPut(d, keys[0].c_str(), tag(1)), 1);
    EXPECT_EQ(dictDel(d, keys[1].c_str()), 0);
    EXPECT_EQ(dictDel(d, "never"), 0);
    EXPECT_EQ(d->numEmptyRows, 0);
    EXPECT_EQ(d->rows[3].numEntries, 1);
    EXPECT_EQ(dictDel(d, keys[0].c_str()), 1);
    EXPECT_EQ(dictDel(d, keys[0].c_str()), 0);
    EXPECT_EQ(d->numEmptyRows, 1);
    dictFree(d);
}

TEST(KeyshelfDel, CollapsesOnThe410thEmptiedRowThenGrowsOnTheNextNewKey) {
    Dict *d = dictNew(0);
    const auto keys = oneKeyPerRow(500, 1024);
    std::map<std::string, void *> model;
    for (std::size_t i = 0; i < keys.size(); i++) {
        ASSERT_EQ(dictPut(d, keys[i].c_str(), tag(i + 1)), 1);
        model[keys[i]] = tag(i + 1);
    }
    ASSERT_EQ(d->numFullRows, 0);
    for (std::size_t i = 0; i < 409; i++) {
        ASSERT_EQ(dictDel(d, keys[i].c_str()), 1);
        model.erase(keys[i]);
    }
    EXPECT_EQ(d->numRows, 1024);
    EXPECT_EQ(d->numEmptyRows, 409);
    ASSERT_EQ(dictDel(d, keys[409].c_str()), 1);
    model.erase(keys[409]);
    ASSERT_EQ(d->numRows, 1);
    EXPECT_EQ(d->numEmptyRows, 0);
    EXPECT_EQ(d->rows[0].numEntries, 90);
    EXPECT_EQ(d->rows[0].capacity, 128);
    EXPECT_EQ(d->numFullRows, 4);
    EXPECT_TRUE(wellFormed(d));
    EXPECT_TRUE(holds(d, model));

    // Replacing a value does not count as an insertion ...
    ASSERT_EQ(dictPut(d, keys[450].c_str(), tag(1000)), 1);
    model[keys[450]] = tag(1000);
    EXPECT_EQ(d->numRows, 1);
    EXPECT_EQ(d->rows[0].capacity, 128);
    // ... a new key does, and four full-row events are more than one.
    ASSERT_EQ(dictPut(d, "newcomer", tag(1001)), 1);
    model["newcomer"] = tag(1001);
    EXPECT_EQ(d->numRows, 2);
    EXPECT_TRUE(wellFormed(d));
    EXPECT_TRUE(holds(d, model));
    dictFree(d);
}

TEST(KeyshelfDel, EmptyingTheSingleRowRebuildsItAsOneRow) {
    Dict *d = dictNew(0);
    std::vector<std::string> keys;
    for (int i = 0; i < 10; i++) {
        keys.push_back("single" + std::to_string(i));
        ASSERT_EQ(dictPut(d, keys.back().c_str(), tag(1)), 1);
    }
    grow(d, 0);
    ASSERT_EQ(d->numRows, 1);
    EXPECT_EQ(d->rows[0].capacity, 16);
    EXPECT_EQ(d->numFullRows, 1);
    for (std::size_t i = 0; i + 1 < keys.size(); i++) {
        ASSERT_EQ(dictDel(d, keys[i].c_str()), 1);
    }
    EXPECT_EQ(d->rows[0].capacity, 16) << "deletions never shrink a row";
    EXPECT_EQ(d->numEmptyRows, 0);
    ASSERT_EQ(dictDel(d, keys.back().c_str()), 1);
    EXPECT_EQ(d->numRows, 1);
    EXPECT_EQ(d->rows[0].numEntries, 0);
    EXPECT_EQ(d->rows[0].capacity, 8);
    EXPECT_EQ(d->numEmptyRows, 0);
    EXPECT_EQ(d->numFullRows, 0);
    dictFree(d);
}

TEST(KeyshelfSearch, RowsOfAHundredPairsUseBinarySearch) {
    Dict *d = dictNew(1);
    std::map<std::string, void *> model;
    for (int i = 0; i < 100; i++) {
        const std::string key = "bin" + std::to_string(i);
        ASSERT_EQ(growDictPut(d, key.c_str(), tag(i + 1)), 1);
        model[key] = tag(i + 1);
    }
    ASSERT_EQ(d->numRows, 1);
    DictRow &row = d->rows[0];
    ASSERT_EQ(row.numEntries, 100);
    EXPECT_EQ(row.capacity, 128);
    EXPECT_EQ(d->numFullRows, 4);
    EXPECT_TRUE(wellFormed(d));
    EXPECT_TRUE(holds(d, model));
    for (int i = 0; i < 100; i++) {
        EXPECT_EQ(dictGetIndex(d, row.entries[i].key, 0), i);
    }
    EXPECT_EQ(dictGetIndex(d, "bin", 0), -1);
    EXPECT_EQ(dictGetIndex(d, "bin99x", 0), -1);
    EXPECT_EQ(dictGetIndex(d, "bin1", 1), -1) << "row out of range";
    EXPECT_EQ(dictGetIndex(d, "bin1", -1), -1) << "row out of range";

    // With a key above every other in slot 0, a walk stops there for any key and misses, and
    // halving, which never reads slot 0 on its way to slot 60, finds the key in slot 60.
    char *const first = row.entries[0].key;
    char largest[] = "~";
    row.entries[0].key = largest;
    EXPECT_EQ(dictGetIndex(d, row.entries[60].key, 0), 60);
    row.entries[0].key = first;
    ASSERT_EQ(dictDel(d, row.entries[50].key), 1);
    ASSERT_EQ(row.numEntries, 99);
    // With the key that halving would look at second made the smallest, a binary search for the
    // key in slot 60 turns away from it, and a walk, which reads slots 0 to 60 only, finds it.
    char *const probed = row.entries[74].key;
    char empty[] = "";
    row.entries[74].key = empty;
    EXPECT_EQ(dictGetIndex(d, row.entries[60].key, 0), 60);
    row.entries[74].key = probed;
    dictFree(d);
}

TEST(KeyshelfSearch, PutIntoARowOfAHundredFindsAndPlacesKeysByBinarySearch) {
    Dict *d = dictNew(1);
    std::map<std::string, void *> model;
    for (int i = 0; i < 120; i += 2) {
        const std::string key = "p" + std::to_string(1000 + i);
        ASSERT_EQ(growDictPut(d, key.c_str(), tag(1)), 1);
        model[key] = tag(1);
    }
    for (int i = 1; i < 80; i += 2) {
        const std::string key = "p" + std::to_string(1000 + i);
        ASSERT_EQ(growDictPut(d, key.c_str(), tag(2)), 1);
        model[key] = tag(2);
    }
    ASSERT_EQ(d->rows[0].numEntries, 100);
    ASSERT_EQ(dictPut(d, "p1010", tag(3)), 1);
    model["p1010"] = tag(3);
    EXPECT_EQ(d->numRows, 1) << "a replacement does not rebuild";
    EXPECT_EQ(d->rows[0].numEntries, 100);
    ASSERT_EQ(dictPut(d, "p1081", tag(4)), 1);
    model["p1081"] = tag(4);
    EXPECT_EQ(d->numRows, 2);
    EXPECT_TRUE(wellFormed(d));
    EXPECT_TRUE(holds(d, model));
    dictFree(d);
}

TEST(KeyshelfGrowPut, NeitherShrinksNorLooksForEqualKeysNorRebuilds) {
    Dict *d = dictNew(2);
    const auto keys = keysInRow(1, 2, 8);
    ASSERT_EQ(growDictPut(d, keys[0].c_str(), tag(1)), 1);
    EXPECT_EQ(d->rows[1].capacity, 8);
    ASSERT_EQ(growDictPut(d, keys[0].c_str(), tag(2)), 1);
    EXPECT_EQ(d->rows[1].numEntries, 2);
    for (std::size_t i = 1; i < 7; i++) {
        ASSERT_EQ(growDictPut(d, keys[i].c_str(), tag(3)), 1);
    }
    EXPECT_EQ(d->rows[1].numEntries, 8);
    EXPECT_EQ(d->numFullRows, 1);
    ASSERT_EQ(growDictPut(d, keys[7].c_str(), tag(3)), 1);
    EXPECT_EQ(d->rows[1].capacity, 16);
    EXPECT_EQ(d->numFullRows, 1) << "only an exactly full row counts";
    const auto more = keysInRow(0, 2, 8);
    for (const auto &key : more) {
        ASSERT_EQ(growDictPut(d, key.c_str(), tag(4)), 1);
    }
    EXPECT_EQ(d->numFullRows, 2);
    EXPECT_EQ(d->numRows, 2) << "growDictPut never rebuilds";
    dictFree(d);
}

TEST(KeyshelfCounters, StayAtTheLargestIntRatherThanWrapAround) {
    Dict *d = dictNew(0);
    ASSERT_NE(d, nullptr);
    d->numFullRows = INT_MAX;
    // growDictPut never rebuilds, so the count is not restarted when the row fills.
    for (const auto &key : keysInRow(5, 1024, 8)) {
        ASSERT_EQ(growDictPut(d, key.c_str(), tag(1)), 1);
    }
    ASSERT_EQ(d->rows[5].numEntries, d->rows[5].capacity);
    EXPECT_EQ(d->numFullRows, INT_MAX);
    dictFree(d);
}

TEST(KeyshelfGrow, KeepsEveryPairForAnyFactor) {
    Dict *d = dictNew(0);
    std::map<std::string, void *> model;
    for (int i = 0; i < 300; i++) {
        const std::string key = "g" + std::to_string(i * 7919);
        ASSERT_EQ(dictPut(d, key.c_str(), tag(i + 1)), 1);
        model[key] = tag(i + 1);
    }
    Dict *const handle = d;
    for (const int factor : {3, 2, 0, 5, -4, 7, 1}) {
        const long before = d->numRows;
        grow(d, factor);
        EXPECT_EQ(d, handle);
        EXPECT_EQ(d->numRows, factor <= 0 ? 1 : before * factor);
        EXPECT_EQ(d->numEmptyRows, 0);
        // The rebuild counts how often a row became exactly full while filling up from 8.
        int events = 0;
        for (int i = 0; i < d->numRows; i++) {
            const int k = d->rows[i].numEntries;
            int capacity = 8;
            for (int c = 8; c <= k; c *= 2) {
                events++;
                capacity = k > c ? 2 * c : c;
            }
            EXPECT_EQ(d->rows[i].capacity, capacity) << "row " << i << " with " << k;
        }
        EXPECT_EQ(d->numFullRows, events) << "factor " << factor;
        ASSERT_TRUE(wellFormed(d)) << "factor " << factor;
        ASSERT_TRUE(holds(d, model)) << "factor " << factor;
    }
    dictFree(d);
}

TEST(KeyshelfGrow, RefusesARowCountBeyondAnInt) {
    Dict *d = dictNew(2);
    ASSERT_EQ(dictPut(d, "kept", tag(1)), 1);
    const DictRow *rows = d->rows;
    grow(d, INT_MAX);
    grow(d, 1 << 30);
    EXPECT_EQ(d->numRows, 2);
    EXPECT_EQ(d->rows, rows);
    ASSERT_NE(dictGet(d, "kept"), nullptr);
    EXPECT_EQ(dictPut(d, "added", tag(2)), 1);
    EXPECT_TRUE(wellFormed(d));
    dictFree(d);
}

TEST(KeyshelfGrow, RefusesARowCountThatWrapsPastAnInt) {
    // Each product exceeds 2^32 by a little: cut to an int, it would be a small row count.
    const struct {
        int rows;
        int factor;
    } cases[] = {{3, 1431655766}, {4, 1073741825}};
    for (const auto &c : cases) {
        Dict *d = dictNew(c.rows);
        ASSERT_NE(d, nullptr);
        ASSERT_EQ(dictPut(d, "kept", tag(1)), 1);
        const auto shape = [d] { return captureStdout([d] { dictPrint(d, 2); }); };
        const std::string before = shape();
        const DictRow *rows = d->rows;
        grow(d, c.factor);
        EXPECT_EQ(d->rows, rows) << c.rows << " rows by " << c.factor;
        EXPECT_EQ(shape(), before) << c.rows << " rows by " << c.factor;
        dictFree(d);
    }
}

TEST(KeyshelfKeys, KeysOfExactly1024BytesSurviveRebuilds) {
    Dict *d = dictNew(0);
    std::map<std::string, void *> model;
    for (int i = 0; i < 40; i++) {
        std::string key(KEYSHELF_KEY_LIMIT, 'k');
        key[0] = static_cast<char>('A' + i % 26);
        key.replace(KEYSHELF_KEY_LIMIT - 3, 3, std::to_string(100 + i));
        ASSERT_EQ(key.size(), 1024U);
        ASSERT_EQ(dictPut(d, key.c_str(), tag(i + 1)), 1);
        model[key] = tag(i + 1);
    }
    EXPECT_TRUE(holds(d, model));
    for (const int factor : {2, 0, 3}) {
        grow(d, factor);
        ASSERT_TRUE(wellFormed(d));
        ASSERT_TRUE(holds(d, model)) << "after grow by " << factor;
    }
    for (const auto &[key, value] : model) {
        EXPECT_EQ(std::strlen(dictGet(d, key.c_str())->key), 1024U);
        EXPECT_EQ(dictDel(d, key.c_str()), 1);
        EXPECT_EQ(dictGet(d, key.c_str()), nullptr);
    }
    dictFree(d);
}

namespace {

std::vector<std::string> randomKeys(std::size_t n, unsigned seed) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::mt19937 rng(seed);
    std::set<std::string> seen;
    std::vector<std::string> keys;
    while (keys.size() < n) {
        std::string key(8 + rng() % 17, ' ');
        for (char &ch : key) {
            ch = alphabet[rng() % 62];
        }
        if (seen.insert(key).second) {
            keys.push_back(key);
        }
    }
    return keys;
}

} // namespace

TEST(KeyshelfGrowth, RandomKeysDoubleWheneverTheWrittenRuleSays) {
    // The bound never holds a doubling back: after every insertion, either the rows doubled or
    // at most one row has filled since the last rebuild.
    for (const std::size_t n : {1000U, 10000U, 100000U}) {
        Dict *d = dictNew(0);
        for (const auto &key : randomKeys(n, static_cast<unsigned>(n))) {
            const int rows = d->numRows;
            ASSERT_EQ(dictPut(d, key.c_str(), tag(1)), 1);
            ASSERT_TRUE(d->numRows == 2 * rows || (d->numRows == rows && d->numFullRows <= 1))
                << n << " keys: " << rows << " rows, then " << d->numRows;
        }
        dictFree(d);
    }
}

TEST(KeyshelfGrowth, DoublesPast65536RowsOnlyWithThirtyTwoRowsPerPair) {
    Dict *d = dictNew(65536);
    for (const int row : {0, 1}) {
        for (const auto &key : keysInRow(row, 65536, 4)) {
            ASSERT_EQ(dictPut(d, key.c_str(), tag(1)), 1);
        }
    }
    ASSERT_GT(d->numFullRows, 1);
    const DictRow *rows = d->rows;
    for (int i = 8; i < 4095; i++) {
        ASSERT_EQ(dictPut(d, ("x" + std::to_string(i)).c_str(), tag(2)), 1);
    }
    EXPECT_EQ(d->numRows, 65536);
    EXPECT_EQ(d->rows, rows) << "a doubling past the bound must not even be attempted";
    ASSERT_EQ(dictPut(d, "the4096th", tag(3)), 1);
    EXPECT_EQ(d->numRows, 131072);
    dictFree(d);
}

TEST(KeyshelfGrowth, KeysSharingALongTailStayWithinTheBound) {
    const char *const shapes[] = {"user%d@mail.example-corporation-holdings.com",
                                  "session:%d:last_seen", "user%d@mail.example-corp.com"};
    for (const char *shape : shapes) {
        for (const int n : {31, 3000}) {
            Dict *d = dictNew(0);
            std::map<std::string, void *> model;
            char key[64];
            for (int i = 0; i < n; i++) {
                std::snprintf(key, sizeof key, shape, i);
                ASSERT_EQ(dictPut(d, key, tag(i + 1)), 1);
                model[key] = tag(i + 1);
            }
            EXPECT_LE(d->numRows, std::max(65536, 32 * n)) << shape << " x " << n;
            EXPECT_TRUE(holds(d, model)) << shape;
            dictFree(d);
        }
    }
}

TEST(KeyshelfGrowth, ChurnOfAFewThousandKeysStaysWithinTheBound) {
    const auto keys = randomKeys(3000, 3);
    Dict *d = dictNew(0);
    for (int cycle = 0; cycle < 30; cycle++) {
        for (const auto &key : keys) {
            ASSERT_EQ(dictPut(d, key.c_str(), tag(1)), 1);
        }
        for (const auto &key : keys) {
            ASSERT_EQ(dictDel(d, key.c_str()), 1);
        }
        ASSERT_LE(d->numRows, 65536) << "cycle " << cycle;
    }
    dictFree(d);
}

namespace {

long statusKiB(const char *field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::stol(line.substr(std::strlen(field)));
        }
    }
    return -1;
}

} // namespace

TEST(KeyshelfGrowth, AFailedDoublingWaitsUntilThePairsHaveDoubled) {
    Dict *d = dictNew(32768);
    const auto first = keysInRow(0, 32768, 4);
    const auto second = keysInRow(1, 32768, 4);
    for (const auto &key : first) {
        ASSERT_EQ(dictPut(d, key.c_str(), tag(1)), 1);
    }
    for (std::size_t i = 0; i < 3; i++) {
        ASSERT_EQ(dictPut(d, second[i].c_str(), tag(1)), 1);
    }
    ASSERT_EQ(d->numFullRows, 1);
    // The next put fills a second row; the doubled table needs megabytes the limit denies.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(statusKiB("VmSize:") + 2048) * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
    void *probe =
        mmap(nullptr, 8 << 20, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    const int put = dictPut(d, second[3].c_str(), tag(1));
    ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
    if (probe != MAP_FAILED) {
        munmap(probe, 8 << 20);
        dictFree(d);
        GTEST_SKIP() << "the address-space limit did not take";
    }
    EXPECT_EQ(put, 1);
    EXPECT_EQ(d->numRows, 32768);
    EXPECT_EQ(d->numFullRows, 2);
    // Memory is back, but the next attempt waits for 16 pairs, twice the 8 held at the failure.
    const DictRow *rows = d->rows;
    for (int i = 9; i < 16; i++) {
        ASSERT_EQ(dictPut(d, ("later" + std::to_string(i)).c_str(), tag(2)), 1);
    }
    EXPECT_EQ(d->numRows, 32768);
    EXPECT_EQ(d->rows, rows);
    ASSERT_EQ(dictPut(d, "the16th", tag(3)), 1);
    EXPECT_EQ(d->numRows, 65536);
    EXPECT_TRUE(wellFormed(d));
    dictFree(d);
}

TEST(KeyshelfKeys, KeysLongerThanTheLimitArePlacedByTheirStoredPart) {
    Dict *d = dictNew(0);
    std::map<std::string, void *> model; // by the first 1024 bytes
    std::vector<std::string> keys;
    for (int i = 0; i < 60; i++) {
        std::string key = "long" + std::to_string(i) + std::string(KEYSHELF_KEY_LIMIT, '-');
        key += std::to_string(i * 7) + std::string(static_cast<std::size_t>(i), '+');
        keys.push_back(key);
        ASSERT_EQ(dictPut(d, key.c_str(), tag(i + 1)), 1);
        model[key.substr(0, KEYSHELF_KEY_LIMIT)] = tag(i + 1);
    }
    // A key equal to another in its first 1024 bytes is the same key.
    const std::string twin = keys[5].substr(0, KEYSHELF_KEY_LIMIT) + "another tail";
    ASSERT_EQ(dictPut(d, twin.c_str(), tag(99)), 1);
    model[twin.substr(0, KEYSHELF_KEY_LIMIT)] = tag(99);
    for (const int factor : {2, 3, 0, 2}) {
        grow(d, factor);
        ASSERT_TRUE(wellFormed(d)) << "after grow by " << factor;
        ASSERT_TRUE(holds(d, model)) << "after grow by " << factor;
        for (std::size_t i = 0; i < keys.size(); i++) {
            const DictEntry *e = dictGet(d, keys[i].c_str());
            ASSERT_NE(e, nullptr) << "key " << i << " after grow by " << factor;
            EXPECT_EQ(e->value, i == 5 ? tag(99) : tag(i + 1));
        }
    }
    for (const auto &key : keys) {
        EXPECT_EQ(dictDel(d, key.c_str()), 1);
    }
    EXPECT_EQ(dictGet(d, twin.c_str()), nullptr);
    dictFree(d);
}

namespace {

// Bytes of the mappings advised for huge pages: the table maps its large blocks that way, and
// nothing else in this process does.
long hugeAdvisedKiB() {
    std::ifstream in("/proc/self/smaps");
    std::string line;
    long size = 0;
    long total = 0;
    while (std::getline(in, line)) {
        if (line.rfind("Size:", 0) == 0) {
            size = std::stol(line.substr(5));
        } else if (line.rfind("VmFlags:", 0) == 0 && line.find(" hg") != std::string::npos) {
            total += size;
        }
    }
    return total;
}

} // namespace

TEST(KeyshelfFree, ReleasesEveryMappedBlock) {
    const long before = hugeAdvisedKiB();
    Dict *d = dictNew(1 << 16);
    long alive = 0;
    for (const auto &key : randomKeys(20000, 9)) {
        ASSERT_EQ(dictPut(d, key.c_str(), tag(1)), 1);
    }
    grow(d, 2);
    grow(d, 3);
    alive = hugeAdvisedKiB();
    dictFree(d);
    if (alive == before) {
        GTEST_SKIP() << "huge-page advice is not shown here";
    }
    EXPECT_EQ(hugeAdvisedKiB(), before)
        << alive - before << " KiB were mapped while the table lived";
}

TEST(KeyshelfPrint, NullTable) {
    EXPECT_EQ(captureStdout([] { dictPrint(nullptr, 2); }), "\tDict==NULL\n");
}

TEST(KeyshelfPrint, LevelsZeroOneAndTwo) {
    Dict *d = dictNew(0);
    ASSERT_EQ(dictPut(d, "ns", tag(1)), 1);
    ASSERT_EQ(dictPut(d, "lq", tag(2)), 1);
    ASSERT_EQ(dictPut(d, "abc", tag(3)), 1);
    const auto expected = [](bool keys) {
        std::string out = "Dict\n\tnumRows=1024\n";
        for (int i = 0; i < 1024; i++) {
            std::string line = "\tDictRow[" + std::to_string(i) + "]: ";
            if (i == 5) {
                line += keys ? "numEntries=2 capacity=4 keys=[lq, ns, ]\n"
                             : "numEntries=2 capacity=4 keys=[]\n";
            } else if (i == 681) {
                line += keys ? "numEntries=1 capacity=4 keys=[abc, ]\n"
                             : "numEntries=1 capacity=4 keys=[]\n";
            } else {
                line += "numEntries=0 capacity=8 keys=[]\n";
            }
            out += line;
        }
        return out;
    };
    EXPECT_EQ(captureStdout([d] { dictPrint(d, 0); }), "Dict\n\tnumRows=1024\n");
    EXPECT_EQ(captureStdout([d] { dictPrint(d, -3); }), "Dict\n\tnumRows=1024\n");
    EXPECT_EQ(captureStdout([d] { dictPrint(d, 1); }), expected(false));
    EXPECT_EQ(captureStdout([d] { dictPrint(d, 2); }), expected(true));
    EXPECT_EQ(captureStdout([d] { dictPrint(d, 9); }), expected(true));
    dictFree(d);
}

TEST(KeyshelfDifferential, AgreesWithAStandardMapOverMixedOperations) {
    std::mt19937 rng(20240601);
    std::vector<std::string> universe;
    for (int i = 0; i < 3000; i++) {
        std::string key = "u" + std::to_string(i);
        if (i % 7 == 0) {
            key += "\xc3\xa9\x80";
        }
        if (i % 11 == 0) {
            key.append(rng() % 60, static_cast<char>('a' + i % 26));
        }
        universe.push_back(key);
    }
    universe.emplace_back("");
    std::map<std::string, void *> model;
    Dict *d = dictNew(0);
    ASSERT_NE(d, nullptr);
    int restarts = 0;
    int maxRows = 0;
    for (int op = 1; op <= 300000; op++) {
        const std::string &key = universe[rng() % universe.size()];
        const unsigned kind = rng() % 1000;
        if (kind < 450) {
            void *value = tag(static_cast<std::uintptr_t>(op));
            ASSERT_EQ(dictPut(d, key.c_str(), value), 1);
            model[key] = value;
        } else if (kind < 750) {
            ASSERT_EQ(dictDel(d, key.c_str()), model.erase(key) == 1 ? 1 : 0) << "op " << op;
        } else if (kind < 998) {
            const DictEntry *e = dictGet(d, key.c_str());
            const auto it = model.find(key);
            ASSERT_EQ(e != nullptr, it != model.end()) << "op " << op << " key " << key;
            if (e != nullptr) {
                ASSERT_EQ(e->value, it->second);
                ASSERT_EQ(key, e->key);
            }
        } else {
            grow(d, static_cast<int>(rng() % 4));
        }
        maxRows = std::max(maxRows, d->numRows);
        if (op % 2000 == 0) {
            ASSERT_TRUE(wellFormed(d)) << "op " << op;
            ASSERT_TRUE(holds(d, model)) << "op " << op;
        }
        if (d->numRows > 65536) {
            ASSERT_TRUE(holds(d, model)) << "op " << op;
            dictFree(d);
            d = dictNew(0);
            ASSERT_NE(d, nullptr);
            model.clear();
            restarts++;
        }
    }
    EXPECT_TRUE(wellFormed(d));
    EXPECT_TRUE(holds(d, model));
    RecordProperty("restarts", restarts);
    EXPECT_GT(maxRows, 1024) << "the run never rebuilt";
    dictFree(d);
}

#else // KEYSHELF_FAULTS

// --- allocation faults ---------------------------------------------------------------------------
// Every malloc/realloc/free of the module (and of this file) goes through these wrappers. While
// `tracking` is on they count allocation calls, fail the one numbered `failAt`, and keep the number
// of blocks still allocated.

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_realloc(void *p, std::size_t size);
void __real_free(void *p);
}

namespace {
bool tracking = false;
long failAt = 0;
long calls = 0;
long live = 0;
bool failed = false;

void startTracking(long n) {
    tracking = true;
    failAt = n;
    calls = 0;
    live = 0;
    failed = false;
}
} // namespace

extern "C" {
void *__wrap_malloc(std::size_t size) {
    if (tracking && ++calls == failAt) {
        failed = true;
        return nullptr;
    }
    void *p = __real_malloc(size);
    if (tracking && p != nullptr) {
        live++;
    }
    return p;
}

void *__wrap_realloc(void *p, std::size_t size) {
    if (tracking && ++calls == failAt) {
        failed = true;
        return nullptr;
    }
    void *q = __real_realloc(p, size);
    if (tracking && q != nullptr && p == nullptr) {
        live++;
    }
    return q;
}

void __wrap_free(void *p) {
    if (tracking && p != nullptr) {
        live--;
    }
    __real_free(p);
}
}

namespace {

std::string dump(const Dict *d) {
    return captureStdout([d] { dictPrint(d, 2); });
}

// A workload that allocates in every way the table does: creation, first-insertion shrink,
// key copies, row doubling by realloc, rows moving out of the rebuild's pool, doubling rebuilds,
// rebuilds by other factors and collapses. Fails allocation number n (0: none) and checks after
// every operation that the table holds what succeeded. Returns false once n was never reached.
bool runWorkload(long n) {
    startTracking(n);
    Dict *d = dictNew(16);
    if (d == nullptr) {
        EXPECT_TRUE(failed);
        tracking = false;
        EXPECT_EQ(live, 0) << "dictNew leaked after failing allocation " << n;
        return true;
    }
    std::map<std::string, void *> model;
    std::vector<std::string> keys;
    for (int i = 0; i < 60; i++) {
        keys.push_back("w" + std::to_string(i * 31));
    }
    keys.emplace_back(KEYSHELF_KEY_LIMIT, 'z');
    std::uintptr_t next = 1;
    const auto put = [&](const std::string &key) {
        const bool before = failed;
        const int result = dictPut(d, key.c_str(), tag(next));
        if (result == 1) {
            model[key] = tag(next);
        } else {
            EXPECT_TRUE(failed && !before) << "dictPut failed without an allocation failing";
        }
        next++;
        EXPECT_TRUE(wellFormed(d));
        EXPECT_TRUE(holds(d, model)) << "after put of " << key << " failing allocation " << n;
    };
    const auto del = [&](const std::string &key) {
        const int result = dictDel(d, key.c_str());
        EXPECT_EQ(result, model.erase(key) == 1 ? 1 : 0);
        EXPECT_TRUE(wellFormed(d));
        EXPECT_TRUE(holds(d, model)) << "after del of " << key << " failing allocation " << n;
    };
    const auto rebuild = [&](int factor) {
        const bool before = failed;
        const std::string shape = dump(d);
        const DictRow *rows = d->rows;
        const int full = d->numFullRows;
        const int empty = d->numEmptyRows;
        grow(d, factor);
        if (failed && !before) {
            EXPECT_EQ(dump(d), shape) << "failed rebuild changed the table";
            EXPECT_EQ(d->rows, rows);
            EXPECT_EQ(d->numFullRows, full);
            EXPECT_EQ(d->numEmptyRows, empty);
        }
        EXPECT_TRUE(wellFormed(d));
        EXPECT_TRUE(holds(d, model)) << "after grow by " << factor << " failing allocation " << n;
    };

    for (const auto &key : keys) {
        put(key);
    }
    if (!failed) {
        EXPECT_GT(d->numRows, 16) << "the puts should have rebuilt the table";
    }
    put(keys[3]);
    rebuild(3);
    for (std::size_t i = 0; i < keys.size(); i += 3) {
        del(keys[i]);
    }
    for (std::size_t i = 0; i + 1 < keys.size(); i += 3) {
        put(keys[i] + "again");
    }
    rebuild(0);
    put("after-collapse");
    for (std::size_t i = 1; i < keys.size(); i += 2) {
        del(keys[i]);
    }
    rebuild(2);
    const bool reached = failed;
    // Whatever failed, the table goes on working.
    failAt = 0;
    for (int i = 0; i < 40; i++) {
        put("late" + std::to_string(i));
    }
    dictFree(d);
    tracking = false;
    EXPECT_EQ(live, 0) << "blocks left after dictFree, failing allocation " << n;
    return reached;
}

} // namespace

TEST(KeyshelfFaults, DictNewReleasesEverythingWhenAnyAllocationFails) {
    for (long n = 1;; n++) {
        startTracking(n);
        Dict *d = dictNew(0);
        tracking = false;
        if (!failed) {
            ASSERT_NE(d, nullptr);
            EXPECT_GE(n, 2) << "dictNew allocates at least the record and its rows";
            dictFree(d);
            break;
        }
        EXPECT_EQ(d, nullptr) << "allocation " << n;
        EXPECT_EQ(live, 0) << "allocation " << n;
    }
}

TEST(KeyshelfFaults, EveryFailedAllocationLeavesAWorkingTableAndNoLeak) {
    long n = 1;
    while (runWorkload(n)) {
        if (HasFailure()) {
            FAIL() << "stopped at allocation " << n;
        }
        n++;
    }
    EXPECT_GT(n, 100) << "the workload should allocate many times";
    RecordProperty("allocations", static_cast<int>(n - 1));
}

TEST(KeyshelfFaults, FailedPutLeavesThePairsAsTheyWere) {
    // Fail each allocation of a put that doubles a full row and copies the key.
    Dict *d = dictNew(0);
    ASSERT_NE(d, nullptr);
    const auto keys = keysInRow(77, 1024, 5);
    for (std::size_t i = 0; i < 4; i++) {
        ASSERT_EQ(dictPut(d, keys[i].c_str(), tag(i + 1)), 1);
    }
    const std::string shape = dump(d);
    for (long n = 1; n <= 2; n++) {
        startTracking(n);
        EXPECT_EQ(dictPut(d, keys[4].c_str(), tag(9)), 0) << "allocation " << n;
        tracking = false;
        EXPECT_EQ(dictGet(d, keys[4].c_str()), nullptr);
        EXPECT_EQ(d->rows[77].numEntries, 4);
        for (std::size_t i = 0; i < 4; i++) {
            ASSERT_NE(dictGet(d, keys[i].c_str()), nullptr);
            EXPECT_EQ(dictGet(d, keys[i].c_str())->value, tag(i + 1));
        }
        if (n == 1) {
            EXPECT_EQ(dump(d), shape) << "a failed doubling leaves the row as it was";
        }
    }
    // A failed key copy may keep the doubled capacity.
    EXPECT_EQ(d->rows[77].capacity, 8);

    // A row emptied by deletions keeps its capacity of 8; shrinking it on the next put needs a
    // realloc, and a failed one leaves the row as it was.
    ASSERT_EQ(dictPut(d, keys[4].c_str(), tag(5)), 1);
    for (const auto &key : keys) {
        ASSERT_EQ(dictDel(d, key.c_str()), 1);
    }
    ASSERT_EQ(d->numRows, 1024);
    ASSERT_EQ(d->rows[77].capacity, 8);
    startTracking(1);
    EXPECT_EQ(dictPut(d, keys[0].c_str(), tag(1)), 0);
    tracking = false;
    EXPECT_EQ(d->rows[77].capacity, 8) << "a failed shrink leaves the row as it was";
    EXPECT_EQ(d->rows[77].numEntries, 0);
    startTracking(2);
    EXPECT_EQ(dictPut(d, keys[0].c_str(), tag(1)), 0);
    tracking = false;
    EXPECT_EQ(d->rows[77].capacity, 4);
    EXPECT_EQ(d->rows[77].numEntries, 0);
    EXPECT_EQ(dictGet(d, keys[0].c_str()), nullptr);

    // A fresh row's first insertion takes its array and key copy from the build's own storage:
    // it allocates nothing, so failing allocations cannot make it fail.
    const auto fresh = keysInRow(78, 1024, 1);
    startTracking(1);
    EXPECT_EQ(dictPut(d, fresh[0].c_str(), tag(1)), 1);
    tracking = false;
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(d->rows[78].numEntries, 1);
    EXPECT_EQ(d->rows[78].capacity, 4);
    ASSERT_NE(dictGet(d, fresh[0].c_str()), nullptr);
    EXPECT_EQ(dictDel(d, fresh[0].c_str()), 1);
    EXPECT_EQ(dictPut(d, keys[0].c_str(), tag(1)), 1);
    EXPECT_TRUE(wellFormed(d));
    dictFree(d);
}

TEST(KeyshelfFaults, AFailedInsertionLeavesThePairsAsTheyWereForLaterRebuilds) {
    // Into a full row, each put allocates twice: the doubled array, then the key copy.
    const struct {
        const char *name;
        int (*put)(Dict *, const char *, void *);
    } inserts[] = {{"dictPut", dictPut}, {"growDictPut", growDictPut}};
    for (const auto &p : inserts) {
        for (long n = 1; n <= 2; n++) {
            SCOPED_TRACE(std::string(p.name) + " failing allocation " + std::to_string(n));
            Dict *d = dictNew(0);
            ASSERT_NE(d, nullptr);
            const auto keys = keysInRow(77, 1024, 5);
            std::map<std::string, void *> model;
            for (std::size_t i = 0; i < 4; i++) {
                ASSERT_EQ(dictPut(d, keys[i].c_str(), tag(i + 1)), 1);
                model[keys[i]] = tag(i + 1);
            }
            const std::string shape = dump(d);
            startTracking(n);
            EXPECT_EQ(p.put(d, keys[4].c_str(), tag(5)), 0);
            tracking = false;
            EXPECT_TRUE(failed);
            if (n == 1) {
                EXPECT_EQ(dump(d), shape);
            }
            EXPECT_TRUE(wellFormed(d));
            EXPECT_TRUE(holds(d, model));
            // A rebuild moves exactly the pairs the table holds, so it sees a miscount.
            grow(d, 2);
            EXPECT_EQ(d->numRows, 2048);
            EXPECT_TRUE(holds(d, model));
            EXPECT_EQ(p.put(d, keys[4].c_str(), tag(5)), 1);
            dictFree(d);
        }
    }
}

TEST(KeyshelfFaults, ASuccessfulGrowLiftsTheWaitAfterAFailedDoubling) {
    Dict *d = dictNew(1);
    ASSERT_NE(d, nullptr);
    std::map<std::string, void *> model;
    // The only row fills at its 4th, 8th and 16th pair, and from the 8th on every new key asks
    // for a doubling. Those at 8 and 16 pairs fail on their first allocation, the put's second
    // after the key copy, which puts the next attempt off until 32 pairs.
    for (int i = 1; i <= 16; i++) {
        std::string key = "k";
        key += std::to_string(i);
        const bool doubling = i == 8 || i == 16;
        startTracking(doubling ? 2 : 0);
        ASSERT_EQ(dictPut(d, key.c_str(), tag(i)), 1) << key;
        tracking = false;
        model[key] = tag(i);
        ASSERT_EQ(failed, doubling) << key;
        ASSERT_EQ(d->numRows, 1) << key;
    }
    grow(d, 1);
    ASSERT_EQ(d->numFullRows, 2) << "the rebuilt row filled at 8 and at 16 pairs";
    ASSERT_EQ(dictPut(d, "k17", tag(17)), 1);
    model["k17"] = tag(17);
    EXPECT_EQ(d->numRows, 2);
    EXPECT_TRUE(wellFormed(d));
    EXPECT_TRUE(holds(d, model));
    dictFree(d);
}

#endif // KEYSHELF_FAULTS
