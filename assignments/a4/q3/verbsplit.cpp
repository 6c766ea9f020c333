// The chat-line parser. The split cuts at most three colons; everything after the third belongs
// to the message text, which may contain colons of its own.

#include "verbsplit.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// The letter-or-digit test of the C locale, as a table: a name means the same to every peer
// whatever locale the calling program runs in, a byte of 0x80 or above can never reach a
// character-class function as a negative int, and a name costs no library call per byte.
constexpr std::array<bool, 256> nameBytes = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; c++) {
        table[c] = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    }
    return table;
}();

bool isNameByte(char c) {
    return nameBytes[static_cast<unsigned char>(c)];
}

bool isNameBytes(std::string_view s) {
    for (const char c : s) {
        if (!isNameByte(c)) {
            return false;
        }
    }
    return true;
}

bool isValidName(std::string_view name, bool mayBeEmpty) {
    return (mayBeEmpty || !name.empty()) && name.size() <= VERBSPLIT_NAME_MAX && isNameBytes(name);
}

// The text ends at its NUL; looking one byte past the limit is enough to know it is too long,
// and keeps the scan short on an oversized line.
bool isValidText(const char *text) {
    return strnlen(text, VERBSPLIT_TEXT_MAX + 1) <= VERBSPLIT_TEXT_MAX;
}

bool isValid(const std::string_view (&parts)[VERBSPLIT_PARTS], int numParts, const char *text) {
    const std::string_view word = parts[0];
    if (word == "register") {
        return numParts == 2 && isValidName(parts[1], false);
    }
    if (word == "getMessage") {
        return numParts == 1;
    }
    if (word == "list") {
        if (numParts != 1) {
            std::fprintf(stderr, "%d parts", numParts);
            return false;
        }
        return true;
    }
    if (word == "quit") {
        return numParts == 1;
    }
    if (word == "message") {
        return numParts == 4 && isValidName(parts[1], true) && isValidName(parts[2], true) &&
               isValidText(text);
    }
    return false;
}

} // namespace

extern "C" {

void clearPart(char *part[VERBSPLIT_PARTS]) {
    std::fill_n(part, VERBSPLIT_PARTS, nullptr);
}

int isAlphaNumeric(const char *s) {
    return isNameBytes(s) ? 1 : 0;
}

int parseMessage(char *buffer, char *part[VERBSPLIT_PARTS]) {
    clearPart(part);
    part[0] = buffer;
    int numParts = 1;
    // The lengths of the first three parts fall out of the split; the last part, the text, is
    // never scanned by it.
    std::string_view parts[VERBSPLIT_PARTS];
    char *p = buffer;
    for (;;) {
        char *end = strchrnul(p, ':');
        parts[numParts - 1] = std::string_view(p, static_cast<size_t>(end - p));
        if (*end == '\0') {
            break;
        }
        *end = '\0';
        p = end + 1;
        part[numParts++] = p;
        if (numParts == VERBSPLIT_PARTS) {
            break;
        }
    }

    if (!isValid(parts, numParts, part[VERBSPLIT_PARTS - 1])) {
        clearPart(part);
        return 0;
    }
    return numParts;
}

} // extern "C"
