/* A C caller of the installed palindrome library. */
#include <stdio.h>

#include <mirrortest.h>

int main(void) {
    static const struct {
        const char *text;
        int32_t expected;
    } cases[] = {
        {"", 1},     {"x", 1},     {"abba", 1}, {"racecar", 1},   {"abca", 0},
        {"Abba", 0}, {"a b a", 1}, {"ab a", 0}, {"\xe9t\xe9", 1}, {"\xc1\xe1", 0},
    };
    int failures = 0;
    size_t i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const int32_t got = isPalindrome(cases[i].text);
        if (got != cases[i].expected) {
            fprintf(stderr, "isPalindrome(\"%s\") = %d, expected %d\n", cases[i].text, (int)got,
                    (int)cases[i].expected);
            failures++;
        }
    }
    return failures == 0 ? 0 : 1;
}
