/* A C11 caller of the installed chat parser: parses a few protocol lines and checks the parts. */
#include <verbsplit.h>

#include <stdio.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "wrong: %s\n", what);
        failures++;
    }
}

int main(void) {
    char line[VERBSPLIT_LINE_MAX + 1];
    char *part[VERBSPLIT_PARTS];

    strcpy(line, "message:bob:carol:see you at 10:30");
    check(parseMessage(line, part) == 4, "message gives 4 parts");
    check(part[1] != NULL && strcmp(part[1], "bob") == 0, "first name");
    check(part[2] != NULL && strcmp(part[2], "carol") == 0, "second name");
    check(part[3] != NULL && strcmp(part[3], "see you at 10:30") == 0, "text keeps its colons");

    strcpy(line, "register:al!ce");
    check(parseMessage(line, part) == 0, "bad name is rejected");
    check(part[0] == NULL && part[1] == NULL && part[2] == NULL && part[3] == NULL,
          "rejected line leaves no parts");

    strcpy(line, "quit");
    check(parseMessage(line, part) == 1 && strcmp(part[0], "quit") == 0, "quit gives 1 part");

    check(isAlphaNumeric("abc123") == 1 && isAlphaNumeric("a b") == 0, "letter-or-digit test");
    clearPart(part);
    check(part[0] == NULL, "clearPart");
    return failures == 0 ? 0 : 1;
}
