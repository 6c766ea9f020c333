/* keyshelf: a keyed table from text keys to caller-owned pointers.
 *
 * Each row is a sorted, growable array of pairs; the row count changes only by rebuilding the whole
 * table. Keys are compared as bytes over at most their first KEYSHELF_KEY_LIMIT bytes. A table is
 * used by one thread at a time. Nothing here prints except dictPrint. */
#ifndef KEYSHELF_H
#define KEYSHELF_H

#ifdef __cplusplus
extern "C" {
#endif

/* Row count of a table made with 0 rows requested. */
#define KEYSHELF_DEFAULT_ROWS 1024
/* Room each row of a freshly built table has. */
#define KEYSHELF_ROW_CAPACITY 8
/* Rows with at least this many pairs are searched by binary search, shorter ones by a walk. */
#define KEYSHELF_BINARY_SEARCH_MIN 100
/* Keys are copied, compared, stored and placed in their row by their first this many bytes. */
#define KEYSHELF_KEY_LIMIT 1024
/* dictPut doubles the rows only while the doubled count stays at or below
 * max(KEYSHELF_GROWTH_MIN_ROWS, KEYSHELF_GROWTH_ROWS_PER_PAIR * pairs held). */
#define KEYSHELF_GROWTH_MIN_ROWS 65536
#define KEYSHELF_GROWTH_ROWS_PER_PAIR 32

/* One pair. `key` is the table's own copy (at most KEYSHELF_KEY_LIMIT bytes plus a NUL) and must
 * not be changed; `value` belongs to the caller and is never read, copied or released here. */
typedef struct DictEntry {
    char *key;
    void *value;
} DictEntry;

/* One row: slots 0 to numEntries - 1 of `entries` are in use, sorted by key; `entries` has room
 * for `capacity` pairs. */
typedef struct DictRow {
    int numEntries;
    int capacity;
    DictEntry *entries;
} DictRow;

/* The table. numFullRows counts the insertions that left a row with no free slot, numEmptyRows
 * the deletions that left a row with no pairs; both restart at every rebuild and never go down. */
typedef struct Dict {
    int numRows;
    DictRow *rows;
    int numFullRows;
    int numEmptyRows;
} Dict;

/* Makes a table of `initRows` rows (0 means KEYSHELF_DEFAULT_ROWS), each empty with room for
 * KEYSHELF_ROW_CAPACITY pairs. Returns the new table, owned by the caller until dictFree, or NULL
 * when memory ran out (nothing is left allocated then). */
Dict *dictNew(int initRows);

/* Releases every key copy, every row and the table itself; the values are not touched. A NULL
 * table is ignored. Cannot fail. */
void dictFree(Dict *d);

/* Row index from 0 to m - 1 for key `c` and row count `m` (at least 1), from the bytes of `c`
 * before its NUL but at most its first KEYSHELF_KEY_LIMIT bytes: nothing past those is read, so
 * `c` needs no NUL within them, and keys equal in their first KEYSHELF_KEY_LIMIT bytes get the
 * same row. A pair lives in the row dictHash gives for its key. Cannot fail. */
int dictHash(const char *c, int m);

/* Slot of `key` in row `h` (0 to numRows - 1), or -1 when the key is not in that row. */
int dictGetIndex(const Dict *d, const char *key, int h);

/* Pointer to the stored pair of `key`, or NULL when absent. It points into the table and stays
 * valid until the next dictPut, dictDel, grow or dictFree; through it the caller may replace the
 * value but not the key. */
DictEntry *dictGet(Dict *d, const char *key);

/* Inserts the pair, or replaces the value when the key is present (the old value is not
 * released). Keys equal in their first KEYSHELF_KEY_LIMIT bytes are the same key. The key is
 * copied; `value` stays the caller's. Returns 1 on success, 0 when memory ran out, in which case
 * the pairs are as they were.
 *
 * Once numFullRows exceeds 1, inserting a new key rebuilds the table with twice the rows, provided
 * that the doubled row count stays at or below max(KEYSHELF_GROWTH_MIN_ROWS,
 * KEYSHELF_GROWTH_ROWS_PER_PAIR * pairs held after the insertion); past that bound the doubling is
 * skipped, numFullRows keeps counting and the next new key asks again. A doubling that cannot get
 * memory is skipped and leaves the table as it was; the next one is not attempted before the table
 * holds twice as many pairs as it did then (a grow or collapse that succeeds in between lifts that
 * wait). */
int dictPut(Dict *d, const char *key, void *value);

/* Removes the pair of `key`, releasing the table's key copy but not the value. Returns 1 when
 * removed, 0 when the key was not present (nothing changes then). May collapse the table into one
 * row; a collapse that cannot get memory is skipped and leaves the table as it was. */
int dictDel(Dict *d, const char *key);

/* Writes the table's shape to standard output: row count at `level` 1 or more adds one line per
 * row, at 2 or more also its keys. `d` may be NULL. */
void dictPrint(const Dict *d, int level);

/* Rebuilds the table with numRows * factor rows (1 when that is 0 or less), keeping every pair and
 * the caller's handle; the bound on dictPut's doubling does not apply here. When memory runs out,
 * or when the row count would not fit in an int, nothing changes. */
void grow(Dict *d, int factor);

/* Inserts a pair the way a rebuild does: no shrinking, no search for an equal key, no rebuild.
 * The key is copied. Returns 1 on success, 0 when memory ran out (the pairs are as they were). */
int growDictPut(Dict *d, const char *key, void *value);

#ifdef __cplusplus
} /* extern "C" */

#include <memory>

namespace keyshelf {

/* Releases the table when the handle goes out of scope. */
struct DictDeleter {
    void operator()(Dict *d) const noexcept { dictFree(d); }
};
using DictPtr = std::unique_ptr<Dict, DictDeleter>;

/* An owning handle on a new table; empty when memory ran out. */
inline DictPtr makeDict(int initRows = 0) {
    return DictPtr(dictNew(initRows));
}

} // namespace keyshelf
#endif

#endif /* KEYSHELF_H */
