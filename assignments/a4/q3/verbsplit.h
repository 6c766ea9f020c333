/* verbsplit: splits one line of the chat protocol into its colon-separated fields and validates
 * it. The line is cut in place and the parts point into it, so the caller keeps the line alive
 * as long as it uses the parts. Nothing is allocated. */
#ifndef VERBSPLIT_H
#define VERBSPLIT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Limits of a protocol line, in bytes. The longest valid line is a "message" command with two
 * names of the largest size and the largest text; a message queue slot holds exactly that line
 * and its NUL. */
enum {
    VERBSPLIT_PARTS = 4,     /* entries of the part array: the command word and up to 3 fields */
    VERBSPLIT_NAME_MAX = 64, /* a user name: letters and digits only */
    VERBSPLIT_TEXT_MAX = 1024,
    VERBSPLIT_WORD_MAX = 7, /* "message", the longest command word that takes fields */
    VERBSPLIT_LINE_MAX = VERBSPLIT_WORD_MAX + 1 + VERBSPLIT_NAME_MAX + 1 + VERBSPLIT_NAME_MAX + 1 +
                         VERBSPLIT_TEXT_MAX /* 1162 */
};

/* Splits buffer at its first three colons (each becomes a NUL; a fourth part keeps its colons)
 * and checks the command:
 *   register:NAME            NAME of 1 to 64 letters or digits          -> 2
 *   getMessage, list, quit   nothing after the word                     -> 1
 *   message:NAME:NAME:TEXT   names of 0 to 64 letters or digits, TEXT of
 *                            at most 1024 bytes of any kind               -> 4
 * On success returns the number of parts and fills part[0..3] with pointers into buffer (unused
 * entries null). On failure returns 0 with every entry of part null; the buffer stays cut at the
 * colons the split used. A "list" line with fields writes "%d parts" (the part count, no line
 * end) to standard error before it is rejected; nothing else is ever printed.
 * buffer must be a modifiable NUL-terminated string and part an array of 4 pointers; the caller
 * owns both. No byte after the line's NUL is read or written. */
int parseMessage(char *buffer, char *part[VERBSPLIT_PARTS]);

/* Sets all 4 entries of part to null. Cannot fail. */
void clearPart(char *part[VERBSPLIT_PARTS]);

/* Returns 1 when every byte of the NUL-terminated string s is an ASCII letter or digit (the empty
 * string included), else 0. Bytes of 0x80 and above never pass, whatever the locale. Cannot fail.
 */
int isAlphaNumeric(const char *s);

#ifdef __cplusplus
}
#endif

#endif
