// The front end's templates and quoting: the template built from the command words, and every
// argument quoted so that bash reads it back as exactly its bytes in one word.

#include "fanrun_cli.h"

#include <cstring>
#include <new>

namespace fanrun_cli {

namespace {

// Bytes that are never special to bash anywhere in a word, so a word made only of them may go
// into a command as it is. '=' and '~' are left out: they change meaning at a word's start.
bool plainByte(unsigned char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || strchr("_./,:+@%-", byte) != nullptr;
}

bool controlByte(unsigned char byte) {
    return byte < 32 || byte == 127;
}

} // namespace

// Appends text[0..length) to out so that bash reads it back as exactly those bytes in one word:
// unchanged when every byte is plain, '...' otherwise, and $'...' when a control byte would
// otherwise appear raw (so that the command and its report line stay one line).
void appendQuoted(std::string &out, const char *text, size_t length) {
    bool plain = length > 0;
    bool control = false;
    for (size_t i = 0; i < length; ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        plain = plain && plainByte(byte);
        control = control || controlByte(byte);
    }
    if (plain) {
        out.append(text, length);
        return;
    }
    if (!control) {
        out += '\'';
        for (size_t i = 0; i < length; ++i) {
            if (text[i] == '\'') {
                out += "'\\''";
            } else {
                out += text[i];
            }
        }
        out += '\'';
        return;
    }
    static const char hex[] = "0123456789abcdef";
    out += "$'";
    for (size_t i = 0; i < length; ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\\' || byte == '\'') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (controlByte(byte)) {
            // Always two digits: bash reads at most two, so a following hex digit stays itself.
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += static_cast<char>(byte);
        }
    }
    out += '\'';
}

// The argument as it goes into pparams.argumentList: the argument itself when it needs no
// quoting (no copy), else a malloc'd quoted copy that is added to owned.
char *quotedArgument(char *argument, std::vector<char *> &owned) {
    size_t length = strlen(argument);
    bool plain = length > 0;
    for (size_t i = 0; plain && i < length; ++i) {
        plain = plainByte(static_cast<unsigned char>(argument[i]));
    }
    if (plain) {
        return argument;
    }
    std::string quoted;
    appendQuoted(quoted, argument, length);
    char *copy = strdup(quoted.c_str());
    if (copy == nullptr) {
        throw std::bad_alloc();
    }
    owned.push_back(copy);
    return copy;
}

// The template from the command words: one word is shell code as written; several are quoted
// word by word (each {} left as a placeholder). Without any {} the argument is appended.
std::string buildTemplate(char **words, int count) {
    std::string result;
    if (count == 1) {
        result = words[0];
    } else {
        for (int w = 0; w < count; ++w) {
            if (w > 0) {
                result += ' ';
            }
            const char *word = words[w];
            // Scanned as createCommand scans: a {} is a placeholder, everything else literal.
            const char *piece = word;
            const char *at = word;
            while (*at != '\0') {
                if (at[0] == '{' && at[1] == '}') {
                    if (at != piece) {
                        appendQuoted(result, piece, static_cast<size_t>(at - piece));
                    }
                    result += "{}";
                    at += 2;
                    piece = at;
                } else {
                    ++at;
                }
            }
            if (at != piece || piece == word) {
                appendQuoted(result, piece, static_cast<size_t>(at - piece));
            }
        }
    }
    if (result.find("{}") == std::string::npos) {
        result += " {}";
    }
    return result;
}

} // namespace fanrun_cli
