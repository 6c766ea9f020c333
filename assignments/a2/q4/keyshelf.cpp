// keyshelf: the keyed table.
//
// Memory layout. This table's row count grows much faster than its number of pairs (a million
// rows for a hundred thousand keys is normal), so building rows must cost little. A build makes
// two allocations: one for the row table followed by a small-array area, one for a spare 8-pair
// array per row. A rebuild adds one pool holding the arrays of the rows that receive pairs and
// the copies of their keys, each row's first key just before its array, on the same cache line.
// A row whose array lies in the spare block, the small-array area or the pool "borrows" it:
// - a spare array is never written by dictPut: the first insertion into a fresh row shrinks it to
//   4 pairs, which moves it to the next slot of the small-array area, together with the copy of
//   the new key placed just before it; so the spare arrays stay untouched address space and the
//   small arrays lie densely;
// - a small or pool array resized within the room it has stays where it is, as realloc would;
// - any other resize moves the row to an array of its own, realloc'd from then on.
// Key copies in the pool or the small-array area are released with them; the others one by one.
// Every allocation a rebuild needs is made before anything moves, so a rebuild either happens
// completely or leaves the table untouched.
//
// Growth is bounded: keys that share a tail of k bytes or more fall into at most two rows of
// any table of 2^k rows or fewer (each byte is weighed by a multiple of 2^d, d being the bytes
// after it), so doubling more rows cannot spread them, and churn keeps counting full rows.

#include "keyshelf.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// ---- memory scheme ------------------------------------------------------------------------------

constexpr int kDefaultRows = KEYSHELF_DEFAULT_ROWS;
constexpr int kRowCapacity = KEYSHELF_ROW_CAPACITY;
constexpr int kBinarySearchMin = KEYSHELF_BINARY_SEARCH_MIN;
constexpr std::size_t kKeyLimit = KEYSHELF_KEY_LIMIT;
// Rows above this capacity may shrink, so that no row goes below capacity 2.
constexpr int kShrinkAbove = 3;
// How many pairs ahead a rebuild fetches the rows it will touch.
constexpr std::size_t kAhead = 16;
// How many old rows ahead a rebuild fetches the arrays it will read; most rows are empty.
constexpr int kRowsAhead = 64;
// Room of a slot in the small-array area: a fresh row's first insertion shrinks it to this.
constexpr int kSmallRoom = KEYSHELF_ROW_CAPACITY / 2;
// Rows per small-array slot provided by a build, and the bytes of each slot (room for 4 pairs
// and, on average, the key copy placed before them); when the area runs out, rows and keys get
// allocations of their own.
constexpr std::size_t kRowsPerSmallSlot = 4;
constexpr std::size_t kSmallSlotBytes = 128;

// Where the borrowed arrays of the current build lie.
struct Storage {
    void *block = nullptr;       // the allocation holding the row table and the small arrays
    std::size_t blockMapped = 0; // its mapping length, 0 when it came from malloc
    DictEntry *spare = nullptr;  // kRowCapacity pairs per row, in row order
    std::size_t spareLen = 0;    // in pairs
    char *small = nullptr;       // small arrays with their first key copies, handed out in order
    std::size_t smallBytes = 0;
    std::size_t smallUsed = 0;
    char *pool = nullptr; // arrays and key copies from the last rebuild
    std::size_t poolBytes = 0;
    std::size_t poolMapped = 0; // its mapping length, 0 when it came from malloc
    // Rows that moved to an array of their own since the build. Such a row keeps it until the
    // next build, so the arrays to release can be found without looking at every row.
    std::size_t ownArrays = 0;
};

// What the caller's Dict points to. The Dict comes first, so a Dict * converts back to a Shelf *
// and free() of either releases the same allocation.
struct Shelf {
    Dict dict;
    Storage store;
    std::size_t pairs; // in all rows, so that a rebuild need not count them first
    // After a doubling by dictPut failed, the next one is not tried before the table holds this
    // many pairs; 0 once a rebuild has succeeded.
    std::size_t retryAt;
};

Shelf *shelfOf(Dict *d) {
    return reinterpret_cast<Shelf *>(d);
}

bool within(const void *p, const void *start, std::size_t bytes) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const auto lo = reinterpret_cast<std::uintptr_t>(start);
    return start != nullptr && at >= lo && at < lo + bytes;
}

bool within(const DictEntry *p, const DictEntry *start, std::size_t len) {
    return within(static_cast<const void *>(p), static_cast<const void *>(start),
                  len * sizeof(DictEntry));
}

// How many pairs a borrowed array has room for (0 for a spare array, which is not to be written),
// or -1 when the row owns its array.
int borrowedRoom(const Storage &st, const DictEntry *entries) {
    if (within(entries, st.pool, st.poolBytes)) {
        return kRowCapacity;
    }
    if (within(entries, st.small, st.smallBytes)) {
        return kSmallRoom;
    }
    if (within(entries, st.spare, st.spareLen)) {
        return 0;
    }
    return -1;
}

// Key copies made by a rebuild lie in its pool, those of first insertions into fresh rows mostly
// in the small-array area; the others were allocated one by one.
void releaseKey(const Storage &st, char *key) {
    if (!within(key, st.pool, st.poolBytes) && !within(key, st.small, st.smallBytes)) {
        std::free(key);
    }
}

// Pairs are laid out on 16 bytes; a pool segment starts on a cache line.
constexpr std::size_t kPairAlign = 16;
constexpr std::size_t kLine = 64;

std::size_t alignUp(std::size_t n, std::size_t to) {
    return (n + to - 1) / to * to;
}

// Row tables, small-array areas, pools and a rebuild's list of pairs are written densely, and most
// are read at random. From kMapMin (256 KiB) up they are mapped on their own, placed on a huge-page
// boundary and backed with huge pages: on a virtual machine a 4 KiB page fault can cost 10 us
// against 0.15 ms for a whole 2 MiB page, so 256 KiB in small pages already cost four times one
// huge page, and the TLB misses go too. Smaller blocks stay with malloc, so that small tables do
// not take a huge page each. Large blocks are not taken from malloc, which may carve them out of
// its heap, where the advice does not reliably bring huge pages. The extra address space asked
// for the alignment is never touched, so it costs no memory. The advice is a hint whose failure
// changes nothing.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kMapMin = kHugePage / 8;

struct Dense {
    char *start = nullptr;  // what to release; null when the allocation failed
    char *base = nullptr;   // the aligned start to use
    std::size_t mapped = 0; // length of the mapping, or 0 when the block came from malloc
};

Dense allocDense(std::size_t bytes) {
    Dense r;
    if (bytes < kMapMin) {
        r.start = static_cast<char *>(std::malloc(bytes));
        r.base = r.start;
        return r;
    }
    if (bytes > PTRDIFF_MAX - 2 * kHugePage) {
        return r;
    }
    const std::size_t length = alignUp(bytes, kHugePage) + kHugePage;
    void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return r;
    }
    r.start = static_cast<char *>(p);
    r.mapped = length;
    r.base = r.start + (kHugePage - reinterpret_cast<std::uintptr_t>(p) % kHugePage) % kHugePage;
    madvise(r.base, alignUp(bytes, kHugePage), MADV_HUGEPAGE);
    return r;
}

void releaseDense(void *start, std::size_t mapped) {
    if (mapped == 0) {
        std::free(start);
    } else if (start != nullptr) {
        munmap(start, mapped);
    }
}

// A freshly built row table: every row empty with a spare array of kRowCapacity pairs.
struct Build {
    DictRow *rows = nullptr;
    Storage store;
};

bool makeBuild(int numRows, Build *b) {
    const auto n = static_cast<std::size_t>(numRows);
    const std::size_t smallSlots = (n + kRowsPerSmallSlot - 1) / kRowsPerSmallSlot;
    const std::size_t smallBytes = smallSlots * kSmallSlotBytes;
    const std::size_t spareBytes = kRowCapacity * sizeof(DictEntry);
    if (n > (PTRDIFF_MAX - smallBytes) / sizeof(DictRow) || n > PTRDIFF_MAX / spareBytes) {
        return false;
    }
    // The spare arrays get a block of their own: it is large and stays untouched, while the rows
    // and small arrays are written at once and go where dense blocks go.
    const Dense block = allocDense(n * sizeof(DictRow) + smallBytes);
    if (block.start == nullptr) {
        return false;
    }
    auto *spare = static_cast<DictEntry *>(std::malloc(n * spareBytes));
    if (spare == nullptr) {
        releaseDense(block.start, block.mapped);
        return false;
    }
    auto *rows = reinterpret_cast<DictRow *>(block.base);
    auto *small = reinterpret_cast<char *>(rows + n);
    for (std::size_t i = 0; i < n; i++) {
        rows[i].numEntries = 0;
        rows[i].capacity = kRowCapacity;
        rows[i].entries = spare + i * kRowCapacity;
    }
    b->rows = rows;
    b->store.block = block.start;
    b->store.blockMapped = block.mapped;
    b->store.spare = spare;
    b->store.spareLen = n * kRowCapacity;
    b->store.small = small;
    b->store.smallBytes = smallBytes;
    b->store.smallUsed = 0;
    b->store.pool = nullptr;
    b->store.poolBytes = 0;
    b->store.poolMapped = 0;
    return true;
}

// Gives back a build nobody uses.
void dropBuild(const Build &b) {
    releaseDense(b.store.block, b.store.blockMapped);
    std::free(b.store.spare);
}

// Releases the arrays the rows own, and the block and pool. Keys are left alone.
void releaseStorage(Dict *d, const Storage &st) {
    std::size_t left = st.ownArrays;
    for (int i = 0; i < d->numRows && left > 0; i++) {
        if (borrowedRoom(st, d->rows[i].entries) < 0) {
            std::free(d->rows[i].entries);
            left--;
        }
    }
    releaseDense(st.block, st.blockMapped);
    std::free(st.spare);
    releaseDense(st.pool, st.poolMapped);
}

// ---- hashing ------------------------------------------------------------------------------------

int hashBytes(const char *c, std::size_t len, int m) {
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

// The row of a key: by its first kKeyLimit bytes, the part that is stored and compared, so that
// a longer key is found again after a rebuild, which hashes the stored copy.
int hashKey(const char *c, int m) {
    return hashBytes(c, strnlen(c, kKeyLimit), m);
}

// ---- rows ---------------------------------------------------------------------------------------

// Most keys in a row differ in their first byte, which settles the order without a call.
int compareKeys(const char *a, const char *b) {
    const auto x = static_cast<unsigned char>(*a);
    const auto y = static_cast<unsigned char>(*b);
    if (x != y) {
        return x < y ? -1 : 1;
    }
    return x == 0 ? 0 : std::strncmp(a, b, kKeyLimit);
}

// Counters only go up; past INT_MAX they stay there rather than overflow.
void bump(int &counter) {
    if (counter < INT_MAX) {
        ++counter;
    }
}

// Resizes a row's array to newCapacity pairs, keeping the pairs in use. On failure the row is
// unchanged.
bool resizeRow(Storage &st, DictRow *row, int newCapacity) {
    const int room = borrowedRoom(st, row->entries);
    if (room < 0) {
        const std::size_t bytes = static_cast<std::size_t>(newCapacity) * sizeof(DictEntry);
        auto *fresh = static_cast<DictEntry *>(std::realloc(row->entries, bytes));
        if (fresh == nullptr) {
            return false;
        }
        row->entries = fresh;
        row->capacity = newCapacity;
        return true;
    }
    if (newCapacity <= room) {
        row->capacity = newCapacity;
        return true;
    }
    DictEntry *fresh = nullptr;
    constexpr std::size_t smallArray = kSmallRoom * sizeof(DictEntry);
    if (room == 0 && newCapacity <= kSmallRoom && st.smallUsed + smallArray <= st.smallBytes) {
        fresh = reinterpret_cast<DictEntry *>(st.small + st.smallUsed);
        st.smallUsed += smallArray;
    } else {
        fresh = static_cast<DictEntry *>(
            std::malloc(static_cast<std::size_t>(newCapacity) * sizeof(DictEntry)));
        if (fresh == nullptr) {
            return false;
        }
        st.ownArrays++;
    }
    const int keep = std::min(row->numEntries, newCapacity);
    if (keep > 0) {
        std::memcpy(fresh, row->entries, static_cast<std::size_t>(keep) * sizeof(DictEntry));
    }
    row->entries = fresh;
    row->capacity = newCapacity;
    return true;
}

// Doubles a row that has no free slot. False when memory ran out or the capacity would overflow.
bool makeRoom(Storage &st, DictRow *row) {
    if (row->numEntries < row->capacity) {
        return true;
    }
    if (row->capacity > INT_MAX / 2) {
        return false;
    }
    return resizeRow(st, row, row->capacity * 2);
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

// The end of every insertion of a new key into a row with a free slot. A row counts as full once
// an insertion leaves it no free slot. False, with nothing changed, when memory ran out.
bool storeNewPair(Dict *d, DictRow *row, int slot, const char *key, void *value) {
    char *copy = copyKey(key);
    if (copy == nullptr) {
        return false;
    }
    DictEntry *e = row->entries;
    std::memmove(e + slot + 1, e + slot,
                 static_cast<std::size_t>(row->numEntries - slot) * sizeof(DictEntry));
    e[slot].key = copy;
    e[slot].value = value;
    row->numEntries++;
    shelfOf(d)->pairs++;
    if (row->numEntries == row->capacity) {
        bump(d->numFullRows);
    }
    return true;
}

// The first slot of a sorted row whose key does not compare below `key`: where the key is (then
// *found is set), or where it goes. Short rows are walked from slot 0, long ones searched by
// halving.
int lowerBound(const DictRow *row, const char *key, bool *found) {
    const int n = row->numEntries;
    *found = false;
    if (n < kBinarySearchMin) {
        for (int i = 0; i < n; i++) {
            const int c = compareKeys(row->entries[i].key, key);
            if (c >= 0) {
                *found = c == 0;
                return i;
            }
        }
        return n;
    }
    // The slot `high` was last compared with the key, so *found tells whether it holds it.
    int low = 0;
    int high = n;
    while (low < high) {
        const int mid = low + (high - low) / 2;
        const int c = compareKeys(row->entries[mid].key, key);
        if (c < 0) {
            low = mid + 1;
        } else {
            high = mid;
            *found = c == 0;
        }
    }
    return low;
}

int findInRow(const DictRow *row, const char *key) {
    bool found = false;
    const int slot = lowerBound(row, key, &found);
    return found ? slot : -1;
}

// The first insertion into a fresh row, which dictPut would shrink to kSmallRoom pairs and then
// give the new pair: both the array and the key copy come from the small-array area, the key
// just before the array so that one cache line holds both. False, with nothing changed, when the
// area has no room left.
bool firstInsertion(Storage &st, DictRow *row, const char *key, void *value) {
    const std::size_t len = strnlen(key, kKeyLimit);
    const std::size_t head = alignUp(len + 1, kPairAlign);
    const std::size_t bytes = head + kSmallRoom * sizeof(DictEntry);
    if (st.smallUsed + bytes > st.smallBytes) {
        return false;
    }
    char *segment = st.small + st.smallUsed;
    st.smallUsed += bytes;
    auto *entries = reinterpret_cast<DictEntry *>(segment + head);
    char *copy = reinterpret_cast<char *>(entries) - (len + 1);
    std::memcpy(copy, key, len);
    copy[len] = '\0';
    entries[0].key = copy;
    entries[0].value = value;
    row->entries = entries;
    row->capacity = kSmallRoom;
    row->numEntries = 1;
    return true;
}

// ---- rebuild ------------------------------------------------------------------------------------

bool isPowerOfTwo(int k) {
    return std::has_single_bit(static_cast<unsigned>(k));
}

// Capacity of a row that received k pairs during a rebuild: it starts at kRowCapacity and
// doubles on each insertion that finds it full.
int rebuiltCapacity(int k) {
    return k <= kRowCapacity ? kRowCapacity
                             : static_cast<int>(std::bit_ceil(static_cast<unsigned>(k)));
}

// The pool gives each row that receives pairs a segment starting on a cache line: the copy of
// its first key, then its array, so that a lookup of a row's only key reads the key and the pair
// from one line. The other keys follow all the segments. Sizing the pool and filling it both
// take the layout from here, so that the pairs moved always fit the pool allocated.
struct Segment {
    std::size_t array; // offset of the array; the first key copy ends there
    std::size_t bytes; // a multiple of kLine, so that the next segment starts on a cache line
};

// The segment of a row that receives `pairs` pairs, the first with a key copy of `firstKey`
// bytes. Only the array's part depends on `pairs`.
Segment segmentOf(std::size_t firstKey, int pairs) {
    const std::size_t array = alignUp(firstKey, kPairAlign);
    return {array, alignUp(array, kLine) +
                       static_cast<std::size_t>(rebuiltCapacity(pairs)) * sizeof(DictEntry)};
}

// What a rebuild knows of each pair, listed in the order the pairs move: old rows in index
// order, pairs in slot order.
struct Move {
    char *key;
    void *value;
    std::uint32_t row;  // in the new table
    std::uint16_t size; // of the key copy, NUL included
    bool first;         // the first pair its new row receives
};
static_assert(kKeyLimit + 1 <= UINT16_MAX, "a key size must fit in Move::size");

// Lists every pair of d with its row among n and the size of its key. False when the rows do not
// hold `total` pairs (they were changed behind the table's back), in which case nothing moves.
bool listMoves(const Dict *d, std::size_t total, int n, Move *where) {
    // The old arrays lie at random, so those of the rows a little ahead are fetched early.
    std::size_t at = 0;
    for (int i = 0; i < d->numRows; i++) {
        if (i + kRowsAhead < d->numRows && d->rows[i + kRowsAhead].numEntries > 0) {
            __builtin_prefetch(d->rows[i + kRowsAhead].entries);
        }
        const DictRow &row = d->rows[i];
        if (static_cast<std::size_t>(row.numEntries) > total - at) {
            return false;
        }
        for (int j = 0; j < row.numEntries; j++, at++) {
            where[at].key = row.entries[j].key;
            where[at].value = row.entries[j].value;
        }
    }
    if (at != total) {
        return false;
    }
    // The keys are hashed once; they too lie at random.
    for (std::size_t p = 0; p < total; p++) {
        if (p + kAhead < total) {
            __builtin_prefetch(where[p + kAhead].key);
        }
        const std::size_t len = std::strlen(where[p].key);
        where[p].row = static_cast<std::uint32_t>(hashBytes(where[p].key, len, n));
        where[p].size = static_cast<std::uint16_t>(len + 1);
    }
    return true;
}

// How large a rebuild's pool must be, and how often a row becomes exactly full on the way.
struct Plan {
    std::size_t segmentBytes = 0; // one segment per row that receives pairs
    std::size_t keyBytes = 0;     // the other key copies
    std::int64_t fullEvents = 0;

    // The pool's size, with room to start the segments on a cache line wherever it lies.
    std::size_t poolBytes() const { return segmentBytes + keyBytes + kLine; }
};

// Counts in numEntries the pairs each new row receives and marks the first pair of each. The
// rows are touched at random, so the ones a few pairs ahead are fetched early.
Plan countArrivals(DictRow *rows, Move *where, std::size_t total) {
    Plan plan;
    for (std::size_t p = 0; p < total; p++) {
        if (p + kAhead < total) {
            __builtin_prefetch(&rows[where[p + kAhead].row], 1);
        }
        const int k = ++rows[where[p].row].numEntries;
        where[p].first = k == 1;
        if (k == 1) {
            plan.segmentBytes += segmentOf(where[p].size, 1).bytes;
        } else {
            // The row's segment grows by what its array gains; its first key is not known here.
            plan.keyBytes += where[p].size;
            plan.segmentBytes += segmentOf(0, k).bytes - segmentOf(0, k - 1).bytes;
        }
        if (k >= kRowCapacity && isPowerOfTwo(k)) {
            plan.fullEvents++;
        }
    }
    return plan;
}

// Moves the pairs into the counted rows, with fresh key copies from the pool starting at
// `segments`; the old copies are released as they go. A row's segment is laid out when its
// first pair arrives. Cannot fail.
void movePairs(Storage &old, DictRow *rows, const Move *where, std::size_t total, char *segments,
               std::size_t segmentBytes) {
    char *keys = segments + segmentBytes;
    for (std::size_t at = 0; at < total; at++) {
        if (at + 2 * kAhead < total) {
            __builtin_prefetch(&rows[where[at + 2 * kAhead].row]);
        }
        if (at + kAhead < total) {
            if (!where[at + kAhead].first) {
                const DictRow &ahead = rows[where[at + kAhead].row];
                __builtin_prefetch(ahead.entries + ahead.numEntries, 1);
            }
            __builtin_prefetch(where[at + kAhead].key);
        }
        const Move &m = where[at];
        DictRow &to = rows[m.row];
        char *copy = nullptr;
        if (m.first) {
            const Segment seg = segmentOf(m.size, to.numEntries);
            to.capacity = rebuiltCapacity(to.numEntries);
            to.numEntries = 0;
            to.entries = reinterpret_cast<DictEntry *>(segments + seg.array);
            segments += seg.bytes;
            copy = reinterpret_cast<char *>(to.entries) - m.size;
        } else {
            copy = keys;
            keys += m.size;
        }
        std::memcpy(copy, m.key, m.size);
        releaseKey(old, m.key);
        to.entries[to.numEntries].key = copy;
        to.entries[to.numEntries].value = m.value;
        to.numEntries++;
    }
}

// Rebuilds d with numRows * factor rows (1 when that is 0 or less). Every allocation is made
// before anything moves, so a rebuild either happens completely or leaves the table untouched.
// False when it did not happen.
bool rebuild(Dict *d, int factor) {
    Shelf *s = shelfOf(d);
    std::int64_t wanted = static_cast<std::int64_t>(d->numRows) * factor;
    if (wanted <= 0) {
        wanted = 1;
    }
    if (wanted > INT_MAX) {
        return false;
    }
    const int n = static_cast<int>(wanted);
    const std::size_t total = s->pairs;
    Build b;
    Dense moves;
    Dense pool;
    Plan plan;
    Move *where = nullptr;
    bool done = makeBuild(n, &b);
    if (done && total > 0) {
        moves = allocDense(total * sizeof(Move));
        where = reinterpret_cast<Move *>(moves.base);
        done = where != nullptr && listMoves(d, total, n, where);
        if (done) {
            plan = countArrivals(b.rows, where, total);
            pool = allocDense(plan.poolBytes());
            done = pool.start != nullptr;
        }
    }
    if (done) {
        std::size_t poolBytes = 0;
        if (total > 0) {
            char *segments = pool.base;
            segments += (kLine - reinterpret_cast<std::uintptr_t>(segments) % kLine) % kLine;
            poolBytes = plan.poolBytes() + static_cast<std::size_t>(pool.base - pool.start);
            movePairs(s->store, b.rows, where, total, segments, plan.segmentBytes);
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
        releaseStorage(d, s->store);
        d->numRows = n;
        d->rows = b.rows;
        d->numFullRows = static_cast<int>(std::min<std::int64_t>(plan.fullEvents, INT_MAX));
        d->numEmptyRows = 0;
        s->store = b.store;
        s->store.pool = pool.start;
        s->store.poolBytes = poolBytes;
        s->store.poolMapped = pool.mapped;
        s->retryAt = 0;
    } else {
        releaseDense(pool.start, pool.mapped);
        dropBuild(b);
    }
    releaseDense(moves.start, moves.mapped);
    return done;
}

// Step 7 of an insertion: doubles the rows once two rows have filled, as long as the doubled
// count stays within the bound, and not again before the pair count has doubled after a
// doubling failed. Costs only comparisons when it does not rebuild.
void growIfDue(Dict *d) {
    Shelf *s = shelfOf(d);
    if (d->numFullRows <= 1 || s->pairs < s->retryAt) {
        return;
    }
    const std::uint64_t bound = std::max<std::uint64_t>(
        KEYSHELF_GROWTH_MIN_ROWS, std::uint64_t{KEYSHELF_GROWTH_ROWS_PER_PAIR} * s->pairs);
    if (2 * static_cast<std::uint64_t>(d->numRows) > bound) {
        return;
    }
    if (!rebuild(d, 2)) {
        s->retryAt = 2 * s->pairs;
    }
}

} // namespace

extern "C" {

int dictHash(const char *c, int m) {
    return hashKey(c, m);
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
    s->store = b.store;
    s->pairs = 0;
    s->retryAt = 0;
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
            releaseKey(s->store, row.entries[j].key);
        }
    }
    releaseStorage(d, s->store);
    std::free(s);
}

int dictGetIndex(const Dict *d, const char *key, int h) {
    if (h < 0 || h >= d->numRows) {
        return -1;
    }
    return findInRow(&d->rows[h], key);
}

DictEntry *dictGet(Dict *d, const char *key) {
    const int h = hashKey(key, d->numRows);
    const int i = findInRow(&d->rows[h], key);
    return i < 0 ? nullptr : &d->rows[h].entries[i];
}

int dictPut(Dict *d, const char *key, void *value) {
    Storage &st = shelfOf(d)->store;
    DictRow *row = &d->rows[hashKey(key, d->numRows)];
    if (row->numEntries == 0 && row->capacity == kRowCapacity &&
        borrowedRoom(st, row->entries) == 0 && firstInsertion(st, row, key, value)) {
        shelfOf(d)->pairs++;
        // A fresh row cannot hold the key already, and one pair does not fill it.
        growIfDue(d);
        return 1;
    }
    if (!makeRoom(st, row)) {
        return 0;
    }
    // 0.25 * capacity > numEntries, exactly.
    if (row->capacity > kShrinkAbove &&
        static_cast<std::int64_t>(row->capacity) > 4 * static_cast<std::int64_t>(row->numEntries)) {
        if (!resizeRow(st, row, row->capacity / 2)) {
            return 0;
        }
    }
    bool found = false;
    const int slot = lowerBound(row, key, &found);
    if (found) {
        row->entries[slot].value = value;
        return 1;
    }
    if (!storeNewPair(d, row, slot, key, value)) {
        return 0;
    }
    growIfDue(d);
    return 1;
}

int growDictPut(Dict *d, const char *key, void *value) {
    Storage &st = shelfOf(d)->store;
    DictRow *row = &d->rows[hashKey(key, d->numRows)];
    if (!makeRoom(st, row)) {
        return 0;
    }
    bool found = false;
    return storeNewPair(d, row, lowerBound(row, key, &found), key, value) ? 1 : 0;
}

int dictDel(Dict *d, const char *key) {
    const int h = hashKey(key, d->numRows);
    const int i = findInRow(&d->rows[h], key);
    if (i < 0) {
        return 0;
    }
    DictRow *row = &d->rows[h];
    releaseKey(shelfOf(d)->store, row->entries[i].key);
    std::memmove(row->entries + i, row->entries + i + 1,
                 static_cast<std::size_t>(row->numEntries - i - 1) * sizeof(DictEntry));
    row->numEntries--;
    shelfOf(d)->pairs--;
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
    rebuild(d, factor);
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
