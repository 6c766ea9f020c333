// Runs fuzzed commands and words through the quoting for a remote host: what ssh sends the remote
// login shell must read, with a model of a POSIX shell's word reading (blanks between words,
// '...', a backslash escaping the next byte, plain bytes; any other special byte unquoted is a
// failure), as exactly "exec bash -c COMMAND", and the words form as "exec bash -c TEXT" whose
// TEXT reads as "exec" and the words. The model reads once byte by byte and once as Big5, GBK and
// Shift-JIS do (a lead byte 0x81 to 0xfe takes the next byte along when it is 0x40 to 0x7e or 0x80
// to 0xfe), so that no locale of the remote shell reads other words.
//
// Input: a flags byte (bit 0: the words form), then the command, or NUL-separated words.

#include "remote.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool lead(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xfe;
}

bool trail(unsigned char byte) {
    return (byte >= 0x40 && byte <= 0x7e) || (byte >= 0x80 && byte <= 0xfe);
}

// The words a POSIX shell reads from text; false for text it would read as more than words.
bool readWords(std::string_view text, bool multibyte, std::vector<std::string> &words) {
    words.clear();
    bool inWord = false;
    size_t at = 0;
    while (at < text.size()) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c == ' ' || c == '\t' || c == '\n') {
            inWord = false;
            ++at;
            continue;
        }
        if (!inWord) {
            words.emplace_back();
            inWord = true;
        }
        std::string &word = words.back();
        if (c == '\'') {
            // Inside single quotes every byte is itself up to the next quote; a character of
            // two bytes never ends in one, since a quote is no trail byte.
            size_t end = at + 1;
            while (end < text.size() && text[end] != '\'') {
                const bool pair = multibyte && lead(static_cast<unsigned char>(text[end])) &&
                                  end + 1 < text.size() &&
                                  trail(static_cast<unsigned char>(text[end + 1]));
                end += pair ? 2 : 1;
            }
            if (end >= text.size()) {
                return false;
            }
            word.append(text.substr(at + 1, end - at - 1));
            at = end + 1;
        } else if (c == '\\') {
            if (at + 1 >= text.size() || text[at + 1] == '\n') {
                return false;
            }
            word += text[at + 1];
            at += 2;
        } else if (std::string_view(";&|<>()$`\"*?[#~=%{}!").find(static_cast<char>(c)) !=
                   std::string_view::npos) {
            return false;
        } else if (multibyte && lead(c) && at + 1 < text.size() &&
                   trail(static_cast<unsigned char>(text[at + 1]))) {
            word.append(text.substr(at, 2));
            at += 2;
        } else {
            word += static_cast<char>(c);
            ++at;
        }
    }
    return true;
}

void require(bool ok, const char *what, const std::string &text) {
    if (!ok) {
        fprintf(stderr, "%s: %s\n", what, text.c_str());
        abort();
    }
}

// The remote shell reads remote as exec bash -c TEXT; returns TEXT.
std::string bashText(const std::string &remote, bool multibyte) {
    std::vector<std::string> words;
    require(readWords(remote, multibyte, words), "the remote shell cannot read", remote);
    require(words.size() == 4 && words[0] == "exec" && words[1] == "bash" && words[2] == "-c",
            "the remote shell reads other words", remote);
    return words[3];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const bool wordsForm = (data[0] & 1) != 0;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    for (bool multibyte : {false, true}) {
        if (!wordsForm) {
            require(bashText(fanrun_cli::remoteShellCommand(text), multibyte) == text,
                    "the command changed on its way", text);
            continue;
        }
        std::vector<std::string> words(1);
        for (char c : text) {
            if (c == '\0') {
                words.emplace_back();
            } else {
                words.back() += c;
            }
        }
        const std::string inner = bashText(fanrun_cli::remoteWordsCommand(words), multibyte);
        std::vector<std::string> read;
        require(readWords(inner, multibyte, read), "bash cannot read the words", inner);
        words.insert(words.begin(), "exec");
        require(read == words, "the words changed on their way", inner);
    }
    return 0;
}
