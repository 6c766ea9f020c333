/* A C11 caller of the installed keyed table: every result is checked, any wrong one fails. */
#include <keyshelf.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "keyshelf consumer: %s\n", what);
        failures++;
    }
}

int main(void) {
    static int values[400];
    char key[32];
    Dict *d = dictNew(0);
    int i;
    long pairs = 0;

    check(d != NULL, "dictNew(0) gave NULL");
    if (d == NULL) {
        return 1;
    }
    check(d->numRows == KEYSHELF_DEFAULT_ROWS, "default row count");
    check(dictHash("", 1024) == 0 && dictHash("a", 1024) == 333 && dictHash("abc", 1024) == 681,
          "hash examples");

    for (i = 0; i < 400; i++) {
        snprintf(key, sizeof key, "user:%08d", i);
        check(dictPut(d, key, &values[i]) == 1, "dictPut");
    }
    for (i = 0; i < d->numRows; i++) {
        pairs += d->rows[i].numEntries;
    }
    check(pairs == 400, "pair count");
    for (i = 0; i < 400; i++) {
        DictEntry *e;
        snprintf(key, sizeof key, "user:%08d", i);
        e = dictGet(d, key);
        check(e != NULL && e->value == &values[i] && strcmp(e->key, key) == 0, "dictGet");
    }
    check(dictGet(d, "user:absent") == NULL, "absent key found");
    check(dictPut(d, "user:00000007", &values[0]) == 1, "replace");
    check(dictGet(d, "user:00000007")->value == &values[0], "replaced value");
    check(dictGetIndex(d, "user:00000007", dictHash("user:00000007", d->numRows)) >= 0,
          "dictGetIndex");

    grow(d, 0);
    check(d->numRows == 1 && d->rows[0].numEntries == 400, "collapse into one row");
    check(growDictPut(d, "extra", &values[1]) == 1, "growDictPut");
    for (i = 0; i < 400; i += 2) {
        snprintf(key, sizeof key, "user:%08d", i);
        check(dictDel(d, key) == 1, "dictDel");
    }
    check(dictDel(d, "user:00000000") == 0, "second dictDel");
    check(dictGet(d, "user:00000001")->value == &values[1], "survivor");

    dictPrint(d, 0);
    dictPrint(NULL, 0);
    dictFree(d);
    return failures == 0 ? 0 : 1;
}
