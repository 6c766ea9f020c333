/* A parent project's C program that links two syskit libraries built inside its own build. */
#include <keyshelf.h>
#include <mirrortest.h>

#include <stdio.h>

int main(void) {
    static const char *words[] = {"level", "rotor", "syskit", "", "ab"};
    static int palindromes[] = {1, 1, 0, 1, 0};
    Dict *d = dictNew(0);
    int failures = 0;
    int i;

    if (d == NULL) {
        fputs("embed: dictNew failed\n", stderr);
        return 1;
    }
    for (i = 0; i < 5; i++) {
        if (dictPut(d, words[i], &palindromes[i]) != 1) {
            failures++;
        }
    }
    for (i = 0; i < 5; i++) {
        DictEntry *e = dictGet(d, words[i]);
        if (e == NULL || *(const int *)e->value != isPalindrome(words[i])) {
            fprintf(stderr, "embed: wrong result for \"%s\"\n", words[i]);
            failures++;
        }
    }
    dictFree(d);
    return failures == 0 ? 0 : 1;
}
