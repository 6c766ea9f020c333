// keyshelf: the keyed table.
//
// Memory layout. This table's row count grows much faster than its number of pairs (a million
// rows for a hundred thousand keys is normal), so building rows must cost little. A build
// therefore allocates one block holding the row table followed by an 8-pair array for every row,
// and a rebuild adds one pool holding the arrays of the rows that receive pairs. A row whose array
// lies in the block or the pool "borrows" it; the first resize moves the row to an array of its
// own, which is then realloc'd like any other. dictPut never writes a spare array (its first
// insertion into a fresh empty row shrinks the row, which moves it) and a rebuild places its pairs
// in the pool, so the kernel seldom has to back the spare arrays with memory. Key copies are handed
// over by a rebuild instead of copied again, and every allocation a rebuild needs is made before
// anything moves, so a rebuild either happens completely or leaves the table untouched.

#include "keyshelf.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kDefaultRows = KEYSHELF_DEFAULT_ROWS;
constexpr int kRowCapacity = KEYSHELF_ROW_CAPACITY;
constexpr int kBinarySearchMin = KEYSHELF_BINARY_SEARCH_MIN;
constexpr std::size_t kKeyLimit = KEYSHELF_KEY_LIMIT;
// Rows above this capacity may shrink, so that no row goes below capacity 2.
constexpr int kShrinkAbove = 3;

// What the caller's Dict points to. The Dict comes first, so a Dict * converts back to a Shelf *
// and free() of either releases the same allocation.
struct Shelf {
    Dict dict;
    DictEntry *spare;     // the block's spare arrays, kRowCapacity per row
    std::size_t spareLen; // in pairs
    DictEntry *pool;      // arrays handed out by the last rebuild, or null
    std::size_t poolLen;  // in pairs
};

Shelf *shelfOf(Dict *d) {
    return reinterpret_cast<Shelf *>(d);
}

bool within(const DictEntry *p, const DictEntry *start, std::size_t len) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const auto lo = reinterpret_cast<std::uintptr_t>(start);
    return start != nullptr && at >= lo && at < lo + len * sizeof(DictEntry);
}

// True when the array belongs to the block or the pool rather than to the row alone.
bool borrowed(const Shelf *s, const DictEntry *entries) {
    return within(entries, s->spare, s->spareLen) || within(entries, s->pool, s->poolLen);
}

int compareKeys(const char *a, const char *b) {
    return std::strncmp(a, b, kKeyLimit);
}

// Counters only go up; past INT_MAX they stay there rather than overflow.
void bump(int &counter) {
    if (counter < INT_MAX) {
        ++counter;
    }
}

// Resizes a row's array to newCapacity pairs, keeping the pairs in use. On failure the row is
// unchanged.
bool resizeRow(Shelf *s, DictRow *row, int newCapacity) {
    const std::size_t bytes = static_cast<std::size_t>(newCapacity) * sizeof(DictEntry);
    DictEntry *fresh = nullptr;
    if (borrowed(s, row->entries)) {
        fresh = static_cast<DictEntry *>(std::malloc(bytes));
        if (fresh == nullptr) {
            return false;
        }
        const int keep = std::min(row->numEntries, newCapacity);
        if (keep > 0) {
            std::memcpy(fresh, row->entries, static_cast<std::size_t>(keep) * sizeof(DictEntry));
        }
    } else {
        fresh = static_cast<DictEntry *>(std::realloc(row->entries, bytes));
        if (fresh == nullptr) {
            return false;
        }
    }
    row->entries = fresh;
    row->capacity = newCapacity;
    return true;
}

// Doubles a row that has no free slot. False when memory ran out or the capacity would overflow.
bool makeRoom(Shelf *s, DictRow *row) {
    if (row->numEntries < row->capacity) {
        return true;
    }
    if (row->capacity > INT_MAX / 2) {
        return false;
    }
    return resizeRow(s, row, row->capacity * 2);
}

char *copyKey(const char *key) {
    const std::size_t len = strnlen(key, kKeyLimit);
    auto *copy = static_cast<char *>(std::malloc(len + 1));
    if (copy != nullptr) {
        std::memcpy(copy, key, len);
        copy[len] = '\0';
    }
    return copy;
}

void insertAt(DictRow *row, int slot, char *key, void *value) {
    DictEntry *e = row->entries;
    std::memmove(e + slot + 1, e + slot,
                 static_cast<std::size_t>(row->numEntries - slot) * sizeof(DictEntry));
    e[slot].key = key;
    e[slot].value = value;
    row->numEntries++;
}

// Binary search over a sorted row: the slot of the key, or -1 with *low at the insertion point.
int binarySearch(const DictRow *row, const char *key, int *lowOut) {
    int low = 0;
    int high = row->numEntries - 1;
    while (low <= high) {
        const int mid = low + (high - low) / 2;
        const int c = compareKeys(row->entries[mid].key, key);
        if (c == 0) {
            *lowOut = low;
            return mid;
        }
        if (c < 0) {
            low = mid + 1;
        } else {
            high = mid - 1;
        }
    }
    *lowOut = low;
    return -1;
}

// A freshly built row table: every row empty with a spare array of kRowCapacity pairs.
struct Build {
    DictRow *rows = nullptr;
    DictEntry *spare = nullptr;
    std::size_t spareLen = 0;
};

bool makeBuild(int numRows, Build *b) {
    const auto n = static_cast<std::size_t>(numRows);
    const std::size_t perRow = sizeof(DictRow) + kRowCapacity * sizeof(DictEntry);
    if (n > PTRDIFF_MAX / perRow) {
        return false;
    }
    void *block = std::malloc(n * perRow);
    if (block == nullptr) {
        return false;
    }
    auto *rows = static_cast<DictRow *>(block);
    auto *spare = reinterpret_cast<DictEntry *>(rows + n);
    for (std::size_t i = 0; i < n; i++) {
        rows[i].numEntries = 0;
        rows[i].capacity = kRowCapacity;
        rows[i].entries = spare + i * kRowCapacity;
    }
    b->rows = rows;
    b->spare = spare;
    b->spareLen = n * kRowCapacity;
    return true;
}

// Releases the arrays a row owns, and the block and pool. Keys are left alone.
void releaseStorage(Shelf *s) {
    Dict *d = &s->dict;
    for (int i = 0; i < d->numRows; i++) {
        if (!borrowed(s, d->rows[i].entries)) {
            std::free(d->rows[i].entries);
        }
    }
    std::free(d->rows);
    std::free(s->pool);
}

bool isPowerOfTwo(int k) {
    return std::has_single_bit(static_cast<unsigned>(k));
}

// Capacity of a row that received k pairs during a rebuild: it starts at kRowCapacity and
// doubles on each insertion that finds it full.
int rebuiltCapacity(int k) {
    return k <= kRowCapacity ? kRowCapacity
                             : static_cast<int>(std::bit_ceil(static_cast<unsigned>(k)));
}

} // namespace

extern "C" {

int dictHash(const char *c, int m) {
    if (m < 1) {
        return 0; // no row to give; avoids a division by zero
    }
    // sum = sum * 119558 + byte * 77933 per byte, in wrapping 32-bit arithmetic. Four bytes fold
    // into one step with the same result, as the multiplications are independent of one another.
    constexpr std::uint32_t a = 119558U; // 1 + 119557
    constexpr std::uint32_t b = 77933U;
    constexpr std::uint32_t a2 = a * a;
    constexpr std::uint32_t a4 = a2 * a2;
    constexpr std::uint32_t ba = b * a;
    constexpr std::uint32_t ba2 = b * a2;
    constexpr std::uint32_t ba3 = ba2 * a;
    // Bytes count as signed 8-bit values whatever the signedness of char.
    const auto num = [](const char *p) {
        return static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(*p)));
    };
    const std::size_t len = std::strlen(c);
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        sum = sum * a4 + num(c + i) * ba3 + num(c + i + 1) * ba2 + num(c + i + 2) * ba +
              num(c + i + 3) * b;
    }
    for (; i < len; i++) {
        sum = sum * a + num(c + i) * b;
    }
    // The magnitude of the signed sum; for the most negative sum that is 2^31, which gives 0 for
    // every power-of-two row count.
    const std::uint32_t magnitude = (sum & 0x80000000U) != 0 ? 0U - sum : sum;
    return static_cast<int>(magnitude % static_cast<std::uint32_t>(m));
}

Dict *dictNew(int initRows) {
    if (initRows == 0) {
        initRows = kDefaultRows;
    }
    if (initRows < 0) {
        return nullptr;
    }
    auto *s = static_cast<Shelf *>(std::malloc(sizeof(Shelf)));
    if (s == nullptr) {
        return nullptr;
    }
    Build b;
    if (!makeBuild(initRows, &b)) {
        std::free(s);
        return nullptr;
    }
    s->dict.numRows = initRows;
    s->dict.rows = b.rows;
    s->dict.numFullRows = 0;
    s->dict.numEmptyRows = 0;
    s->spare = b.spare;
    s->spareLen = b.spareLen;
    s->pool = nullptr;
    s->poolLen = 0;
    return &s->dict;
}

void dictFree(Dict *d) {
    if (d == nullptr) {
        return;
    }
    Shelf *s = shelfOf(d);
    for (int i = 0; i < d->numRows; i++) {
        const DictRow &row = d->rows[i];
        for (int j = 0; j < row.numEntries; j++) {
            std::free(row.entries[j].key);
        }
    }
    releaseStorage(s);
    std::free(s);
}

int dictGetIndex(const Dict *d, const char *key, int h) {
    if (h < 0 || h >= d->numRows) {
        return -1;
    }
    const DictRow *row = &d->rows[h];
    if (row->numEntries >= kBinarySearchMin) {
        int low = 0;
        return binarySearch(row, key, &low);
    }
    for (int i = 0; i < row->numEntries; i++) {
        if (compareKeys(row->entries[i].key, key) == 0) {
            return i;
        }
    }
    return -1;
}

DictEntry *dictGet(Dict *d, const char *key) {
    const int h = dictHash(key, d->numRows);
    const int i = dictGetIndex(d, key, h);
    return i < 0 ? nullptr : &d->rows[h].entries[i];
}

int dictPut(Dict *d, const char *key, void *value) {
    Shelf *s = shelfOf(d);
    DictRow *row = &d->rows[dictHash(key, d->numRows)];
    if (!makeRoom(s, row)) {
        return 0;
    }
    // 0.25 * capacity > numEntries, exactly.
    if (row->capacity > kShrinkAbove &&
        static_cast<std::int64_t>(row->capacity) > 4 * static_cast<std::int64_t>(row->numEntries)) {
        if (!resizeRow(s, row, row->capacity / 2)) {
            return 0;
        }
    }
    int slot = row->numEntries;
    if (row->numEntries < kBinarySearchMin) {
        for (int i = 0; i < row->numEntries; i++) {
            const int c = compareKeys(row->entries[i].key, key);
            if (c == 0) {
                row->entries[i].value = value;
                return 1;
            }
            if (c > 0) {
                slot = i;
                break;
            }
        }
    } else {
        const int hit = binarySearch(row, key, &slot);
        if (hit >= 0) {
            row->entries[hit].value = value;
            return 1;
        }
    }
    char *copy = copyKey(key);
    if (copy == nullptr) {
        return 0;
    }
    insertAt(row, slot, copy, value);
    if (row->numEntries >= row->capacity) {
        bump(d->numFullRows);
    }
    if (d->numFullRows > 1) {
        grow(d, 2);
    }
    return 1;
}

int growDictPut(Dict *d, const char *key, void *value) {
    Shelf *s = shelfOf(d);
    DictRow *row = &d->rows[dictHash(key, d->numRows)];
    if (!makeRoom(s, row)) {
        return 0;
    }
    int slot = row->numEntries;
    if (row->numEntries < kBinarySearchMin) {
        for (int i = 0; i < row->numEntries; i++) {
            if (compareKeys(row->entries[i].key, key) > 0) {
                slot = i;
                break;
            }
        }
    } else {
        int low = 0;
        int high = row->numEntries - 1;
        while (low <= high) {
            const int mid = low + (high - low) / 2;
            if (compareKeys(row->entries[mid].key, key) < 0) {
                low = mid + 1;
            } else {
                high = mid - 1;
            }
        }
        slot = low;
    }
    char *copy = copyKey(key);
    if (copy == nullptr) {
        return 0;
    }
    insertAt(row, slot, copy, value);
    if (row->numEntries == row->capacity) {
        bump(d->numFullRows);
    }
    return 1;
}

int dictDel(Dict *d, const char *key) {
    const int h = dictHash(key, d->numRows);
    const int i = dictGetIndex(d, key, h);
    if (i < 0) {
        return 0;
    }
    DictRow *row = &d->rows[h];
    std::free(row->entries[i].key);
    std::memmove(row->entries + i, row->entries + i + 1,
                 static_cast<std::size_t>(row->numEntries - i - 1) * sizeof(DictEntry));
    row->numEntries--;
    row->entries[row->numEntries].key = nullptr;
    row->entries[row->numEntries].value = nullptr;
    if (row->numEntries == 0) {
        bump(d->numEmptyRows);
    }
    // numEmptyRows > 0.4 * numRows, exactly.
    if (5 * static_cast<std::int64_t>(d->numEmptyRows) >
        2 * static_cast<std::int64_t>(d->numRows)) {
        grow(d, 0);
    }
    return 1;
}

void grow(Dict *d, int factor) {
    Shelf *s = shelfOf(d);
    std::int64_t wanted = static_cast<std::int64_t>(d->numRows) * factor;
    if (wanted <= 0) {
        wanted = 1;
    }
    if (wanted > INT_MAX) {
        return;
    }
    const int n = static_cast<int>(wanted);

    Build b;
    if (!makeBuild(n, &b)) {
        return;
    }
    // First pass: count the pairs each new row receives (in numEntries, reset below), how much
    // pool that takes, and how often a row becomes exactly full on the way.
    std::size_t poolLen = 0;
    std::int64_t fullEvents = 0;
    for (int i = 0; i < d->numRows; i++) {
        const DictRow &row = d->rows[i];
        for (int j = 0; j < row.numEntries; j++) {
            const int k = ++b.rows[dictHash(row.entries[j].key, n)].numEntries;
            if (k == 1) {
                poolLen += kRowCapacity;
            } else if (k > kRowCapacity && isPowerOfTwo(k - 1)) {
                poolLen += static_cast<std::size_t>(k - 1);
            }
            if (k >= kRowCapacity && isPowerOfTwo(k)) {
                fullEvents++;
            }
        }
    }
    DictEntry *pool = nullptr;
    if (poolLen > 0) {
        if (poolLen > PTRDIFF_MAX / sizeof(DictEntry)) {
            std::free(b.rows);
            return;
        }
        pool = static_cast<DictEntry *>(std::malloc(poolLen * sizeof(DictEntry)));
        if (pool == nullptr) {
            std::free(b.rows);
            return;
        }
    }
    // Nothing can fail from here on.
    std::size_t used = 0;
    for (int i = 0; i < n; i++) {
        DictRow &row = b.rows[i];
        if (row.numEntries > 0) {
            row.capacity = rebuiltCapacity(row.numEntries);
            row.entries = pool + used;
            used += static_cast<std::size_t>(row.capacity);
            row.numEntries = 0;
        }
    }
    for (int i = 0; i < d->numRows; i++) {
        const DictRow &row = d->rows[i];
        for (int j = 0; j < row.numEntries; j++) {
            DictRow &to = b.rows[dictHash(row.entries[j].key, n)];
            to.entries[to.numEntries++] = row.entries[j];
        }
    }
    // When the new count is a multiple of the old one, each new row receives the pairs of a
    // single old row, in that row's sorted order. Otherwise rows are put in order here.
    if (n % d->numRows != 0) {
        for (int i = 0; i < n; i++) {
            DictRow &row = b.rows[i];
            if (row.numEntries > 1) {
                std::stable_sort(row.entries, row.entries + row.numEntries,
                                 [](const DictEntry &x, const DictEntry &y) {
                                     return compareKeys(x.key, y.key) < 0;
                                 });
            }
        }
    }
    releaseStorage(s);
    d->numRows = n;
    d->rows = b.rows;
    d->numFullRows = static_cast<int>(std::min<std::int64_t>(fullEvents, INT_MAX));
    d->numEmptyRows = 0;
    s->spare = b.spare;
    s->spareLen = b.spareLen;
    s->pool = pool;
    s->poolLen = poolLen;
}

void dictPrint(const Dict *d, int level) {
    if (d == nullptr) {
        std::fputs("\tDict==NULL\n", stdout);
        return;
    }
    std::printf("Dict\n\tnumRows=%d\n", d->numRows);
    if (level <= 0) {
        return;
    }
    for (int i = 0; i < d->numRows; i++) {
        const DictRow &row = d->rows[i];
        std::printf("\tDictRow[%d]: numEntries=%d capacity=%d keys=[", i, row.numEntries,
                    row.capacity);
        if (level > 1) {
            for (int j = 0; j < row.numEntries; j++) {
                std::printf("%s, ", row.entries[j].key);
            }
        }
        std::fputs("]\n", stdout);
    }
}

} // extern "C"
