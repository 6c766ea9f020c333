// Parses arbitrary bytes and holds the result against a plain model of the protocol rules: the
// result and parts, the exact bytes of the buffer afterwards (cut at the first three colons of the
// line and untouched past its NUL) and the exact diagnostic on standard error.
//
// The input up to its first NUL is the line; whatever follows stays in the buffer after the line's
// NUL, so the fuzzer can place colons there to tempt a scan that overruns.

#include "verbsplit.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void require(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool isModelAlnum(const std::string &s) {
    for (const char c : s) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !(c >= '0' && c <= '9')) {
            return false;
        }
    }
    return true;
}

bool isModelName(const std::string &s, bool mayBeEmpty) {
    return s.size() <= 64 && (mayBeEmpty || !s.empty()) && isModelAlnum(s);
}

struct Model {
    std::vector<std::string> parts;
    std::vector<size_t> starts; // offset of each part in the line
    std::vector<size_t> cuts;   // offsets of the colons the split turns into NULs
    int result = 0;
    std::string diagnostic;
};

Model model(const std::string &line) {
    Model m;
    m.starts.push_back(0);
    for (size_t i = 0; i < line.size() && m.cuts.size() < 3; i++) {
        if (line[i] == ':') {
            m.cuts.push_back(i);
            m.starts.push_back(i + 1);
        }
    }
    for (size_t k = 0; k < m.starts.size(); k++) {
        const size_t end = k + 1 < m.starts.size() ? m.cuts[k] : line.size();
        m.parts.push_back(line.substr(m.starts[k], end - m.starts[k]));
    }
    const int n = static_cast<int>(m.parts.size());
    const std::string &word = m.parts[0];
    bool valid = false;
    if (word == "register") {
        valid = n == 2 && isModelName(m.parts[1], false);
    } else if (word == "getMessage" || word == "quit") {
        valid = n == 1;
    } else if (word == "list") {
        valid = n == 1;
        if (n != 1) {
            m.diagnostic = std::to_string(n) + " parts";
        }
    } else if (word == "message") {
        valid = n == 4 && isModelName(m.parts[1], true) && isModelName(m.parts[2], true) &&
                m.parts[3].size() <= 1024;
    }
    m.result = valid ? n : 0;
    return m;
}

// The diagnostic goes to a memory stream for the length of one call; glibc lets stderr be
// assigned, and libFuzzer keeps its own handle to the real stream.
char captured[256];
FILE *const captureStream = fmemopen(captured, sizeof captured, "w");

std::string parseCapturingStderr(char *buffer, char **part, int *result) {
    std::rewind(captureStream);
    FILE *const real = stderr;
    stderr = captureStream;
    *result = parseMessage(buffer, part);
    stderr = real;
    std::fflush(captureStream);
    const long written = std::ftell(captureStream);
    return std::string(captured, static_cast<size_t>(written));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *bytes = reinterpret_cast<const char *>(data);
    const std::string line(bytes, strnlen(bytes, size));
    const Model m = model(line);
    require(isAlphaNumeric(line.c_str()) == (isModelAlnum(line) ? 1 : 0), "letter-or-digit test");

    // line, its NUL, then the rest of the input and a few colons as the caller's other bytes.
    std::vector<char> original(bytes, bytes + size);
    if (line.size() == size) {
        original.push_back('\0');
    }
    original.insert(original.end(), {':', ':', ':', 'x'});
    std::vector<char> buffer = original;

    char junk = 'j';
    char *part[VERBSPLIT_PARTS] = {&junk, &junk, &junk, &junk};
    int result = -1;
    const std::string diagnostic = parseCapturingStderr(buffer.data(), part, &result);

    require(result == 0 || result == 1 || result == 2 || result == 4, "result is 0, 1, 2 or 4");
    require(result == m.result, "result agrees with the rules");
    require(diagnostic == m.diagnostic, "diagnostic is exactly the list part count");

    std::vector<char> expected = original;
    for (const size_t cut : m.cuts) {
        expected[cut] = '\0';
    }
    require(buffer == expected, "buffer cut at the split's colons and untouched elsewhere");

    if (result == 0) {
        for (char *p : part) {
            require(p == nullptr, "rejected line leaves every part null");
        }
        return 0;
    }
    for (size_t k = 0; k < VERBSPLIT_PARTS; k++) {
        if (k < m.parts.size()) {
            require(part[k] == buffer.data() + m.starts[k], "part points into the line");
            require(std::string(part[k]) == m.parts[k], "part holds its field");
        } else {
            require(part[k] == nullptr, "parts beyond the count are null");
        }
    }
    return 0;
}
