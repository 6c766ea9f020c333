#include "mirrortest.h"

#include <cstddef>
#include <string_view>

int32_t isPalindrome(const char *text) {
    if (text == nullptr) {
        return 0;
    }
    const std::string_view bytes(text);
    // Positions are indices, not pointers, so the empty string never forms one before its start.
    if (bytes.empty()) {
        return 1;
    }
    size_t front = 0;
    size_t back = bytes.size() - 1;
    while (front < back && bytes[front] == bytes[back]) {
        front++;
        back--;
    }
    return front >= back ? 1 : 0;
}
