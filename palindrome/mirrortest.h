/* mirrortest: whether a byte string reads the same forwards and backwards. */
#ifndef MIRRORTEST_H
#define MIRRORTEST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when the NUL-terminated string `text` reads the same forwards and backwards, the empty
 * string included; 0 otherwise, and 0 for a null `text`. Bytes are compared exactly: case,
 * spaces, punctuation and bytes above 0x7f count like any other byte. Cannot fail. Reads `text`
 * up to its NUL and nothing else; the caller keeps it. Allocates and prints nothing. */
int32_t isPalindrome(const char *text);

#ifdef __cplusplus
}
#endif

#endif
