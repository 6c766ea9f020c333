// Cuts fuzzed data into the blocks of --pipe with the record cutter, once with the data whole and
// once as it would arrive through a pipe, a few bytes at a time. The blocks must concatenate to
// the data, none may be empty, each but the last must end at a record end (literal separators:
// the block ends with recend and the rest begins with recstart), no block may exceed the block
// size unless no record end lies within it, and the cuts must not depend on how the data arrived.
// Separators removed (--rrs) never make a block longer, and the header is a prefix of the data.
//
// Input: a rules byte (bits 0 to 2 choose recend, 3 and 4 recstart, 5 regular expressions, 6 -N,
// 7 -L), a byte of block size and one of -N or -L count, a byte of arrival chunk size, then the
// data.

#include "records.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using fanrun_cli::RecordCutter;
using fanrun_cli::RecordRules;

namespace {

constexpr size_t npos = std::string_view::npos;

void require(bool condition) {
    if (!condition) {
        abort();
    }
}

// The lengths of the blocks data is cut into when it arrives chunk bytes at a time (0: whole).
std::vector<size_t> cutAll(RecordCutter &cutter, std::string_view data, size_t chunk) {
    std::vector<size_t> lengths;
    size_t start = 0;
    size_t arrived = chunk == 0 ? data.size() : std::min(chunk, data.size());
    for (;;) {
        const bool ended = arrived == data.size();
        const std::string_view view = data.substr(start, arrived - start);
        const size_t length = cutter.cut(view, ended);
        if (length != npos) {
            require(length > 0 && length <= view.size());
            lengths.push_back(length);
            start += length;
            continue;
        }
        if (ended) {
            require(view.empty());
            return lengths;
        }
        arrived = std::min(arrived + chunk, data.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    if (size < 4) {
        return 0;
    }
    static const char *const recends[] = {"\n", ";", "ab", "", "\r\n", "aa", "\n", "x"};
    static const char *const recstarts[] = {"", ">", "b", "a"};
    static const char *const expressions[] = {"[0-9]+", "\n+",   "a|b", "",
                                              ";",      "(ab)+", "\n",  "x*y"};
    const uint8_t flags = bytes[0];
    RecordRules rules;
    rules.regexp = (flags & 0x20) != 0;
    rules.recend = rules.regexp ? expressions[flags & 7] : recends[flags & 7];
    rules.recstart = recstarts[(flags >> 3) & 3];
    rules.block = bytes[1] % 64 + 1;
    if ((flags & 0x40) != 0) {
        rules.records = bytes[2] % 5 + 1;
    }
    if ((flags & 0x80) != 0) {
        rules.lines = bytes[2] % 3 + 1;
    }
    const size_t chunk = bytes[3] % 17 + 1;
    const std::string_view data(reinterpret_cast<const char *>(bytes) + 4, size - 4);

    RecordCutter cutter;
    std::string error;
    require(cutter.configure(rules, error));
    const std::vector<size_t> whole = cutAll(cutter, data, 0);
    const std::vector<size_t> arriving = cutAll(cutter, data, chunk);
    require(whole == arriving);

    const std::string pattern = rules.recend + rules.recstart;
    size_t start = 0;
    for (size_t i = 0; i < whole.size(); ++i) {
        const std::string_view block = data.substr(start, whole[i]);
        const bool last = i + 1 == whole.size();
        if (!rules.regexp && !pattern.empty() && !last) {
            require(block.ends_with(rules.recend));
            require(data.substr(start + block.size()).starts_with(rules.recstart));
        }
        if (!rules.regexp && !pattern.empty() && rules.lines == 1 && rules.records == 0 &&
            block.size() > rules.block) {
            // Grown past the block size only for want of a record end within it.
            const std::string_view window = data.substr(start, rules.block + rules.recstart.size());
            for (size_t at = window.find(pattern); at != npos; at = window.find(pattern, at + 1)) {
                require(at + rules.recend.size() == 0 || at + rules.recend.size() > rules.block);
            }
        }
        require(cutter.strip(block).size() <= block.size());
        start += block.size();
    }
    require(start == data.size());

    size_t header = 0;
    if (RecordCutter::headerLength(data, true, (flags & 1) != 0 ? ":" : "h.*\n", header, error)) {
        require(header == npos || header <= data.size());
    }
    return 0;
}
