#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "mirrortest.h"

namespace {

struct Case {
    const char *text;
    int32_t expected;
};

const std::vector<Case> cases{
    {"", 1},
    {"a", 1},
    {"\xff", 1},
    {"aa", 1},
    {"ab", 0},
    {"abba", 1},
    {"racecar", 1},
    {"abca", 0},
    {"abcba", 1},
    {"abcca", 0},
    {"abccba", 1},
    {"abcdba", 0},
    // Case, spaces and punctuation are bytes like any other.
    {"Abba", 0},
    {"aBbA", 0},
    {"a b a", 1},
    {"ab a", 0},
    {"a ,a", 0},
    {"!?!", 1},
    // Bytes above 0x7f: neither folded nor masked to seven bits.
    {"\xe9t\xe9", 1},
    {"\xc1\xe1", 0},
    {"a\xe1", 0},
    {"\x80\xff\x80", 1},
    {"\x7f\xff", 0},
    {"\xc3\xa9\xc3\xa9", 0},
};

TEST(IsPalindrome, ComparesBytesExactly) {
    for (const Case &c : cases) {
        EXPECT_EQ(isPalindrome(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(IsPalindrome, NoticesAnySingleByteOutOfPlace) {
    // Every mirrored string of up to nine bytes, and each of its bytes changed in turn: only a
    // change to the middle byte of an odd length keeps it a palindrome.
    for (size_t length = 1; length <= 9; length++) {
        std::string text(length, '\0');
        for (size_t i = 0; i < length; i++) {
            text[i] = text[length - 1 - i] = static_cast<char>('a' + std::min(i, length - 1 - i));
        }
        ASSERT_EQ(isPalindrome(text.c_str()), 1) << text;
        for (size_t i = 0; i < length; i++) {
            std::string changed = text;
            changed[i] = 'Z';
            const bool middle = length % 2 == 1 && i == length / 2;
            EXPECT_EQ(isPalindrome(changed.c_str()), middle ? 1 : 0) << changed;
        }
    }
}

TEST(IsPalindrome, GivesZeroForNoString) {
    EXPECT_EQ(isPalindrome(nullptr), 0);
}

// Three pages, the outer two inaccessible: a read before the string's start or past its NUL
// faults instead of passing unnoticed.
class Fenced {
  public:
    Fenced() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        void *area = mmap(nullptr, 3 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area != MAP_FAILED) {
            area_ = static_cast<char *>(area);
            if (mprotect(area_ + page_, page_, PROT_READ | PROT_WRITE) != 0) {
                munmap(area_, 3 * page_);
                area_ = nullptr;
            }
        }
    }
    Fenced(const Fenced &) = delete;
    Fenced &operator=(const Fenced &) = delete;
    ~Fenced() {
        if (area_ != nullptr) {
            munmap(area_, 3 * page_);
        }
    }
    bool ready() const { return area_ != nullptr; }
    const char *at_start(const char *text) {
        std::memcpy(area_ + page_, text, std::strlen(text) + 1);
        return area_ + page_;
    }
    const char *at_end(const char *text) {
        const size_t size = std::strlen(text) + 1;
        char *place = area_ + 2 * page_ - size;
        std::memcpy(place, text, size);
        return place;
    }

  private:
    size_t page_;
    char *area_ = nullptr;
};

TEST(IsPalindrome, ReadsNothingOutsideTheString) {
    Fenced fenced;
    ASSERT_TRUE(fenced.ready());
    for (const Case &c : cases) {
        EXPECT_EQ(isPalindrome(fenced.at_start(c.text)), c.expected) << '"' << c.text << '"';
        EXPECT_EQ(isPalindrome(fenced.at_end(c.text)), c.expected) << '"' << c.text << '"';
    }
}

} // namespace
