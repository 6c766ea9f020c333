// countwalk: builds a list of seven integers and prints it while releasing it, stopping after
// a given number of nodes.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct node {
    int32_t data;
    node *next;
};

// The functions are static rather than in an unnamed namespace so that the assertion message
// names create_node plainly, as assert would in a program of one file.

// Stops the program in the words assert(new != NULL) would use. It is not assert itself because
// `new` cannot be an identifier here, and because a missing node must stop the program whatever
// NDEBUG says.
[[noreturn]] static void allocation_failed(const char *file, unsigned line, const char *function) {
    const char *program = program_invocation_short_name;
    std::fprintf(stderr, "%s%s%s:%u: %s: Assertion `new != NULL' failed.\n", program,
                 *program != '\0' ? ": " : "", file, line, function);
    std::abort();
}

static node *create_node(int32_t data) {
    auto *fresh = static_cast<node *>(std::malloc(sizeof(node)));
    if (fresh == nullptr) {
        allocation_failed(__FILE__, __LINE__, __PRETTY_FUNCTION__);
    }
    fresh->data = data;
    fresh->next = nullptr;
    return fresh;
}

// Holds 0, 1, ..., length - 1 in that order; null when length is 0 or less.
static node *create_list(int32_t length) {
    if (length <= 0) {
        return nullptr;
    }
    node *head = create_node(0);
    node *tail = head;
    for (int32_t value = 1; value < length; value++) {
        tail->next = create_node(value);
        tail = tail->next;
    }
    return head;
}

// Takes the list over, prints its first `length` nodes and releases them. A list shorter than
// `length` ends the walk at its last node instead of following a null pointer.
static void print_list(node *list, int32_t length) {
    for (int32_t printed = 0; printed < length && list != nullptr; printed++) {
        std::printf("%d->", list->data);
        node *next = list->next;
        std::free(list);
        list = next;
    }
    std::printf("X\n");
}

// The printed list is the program's whole result, so a failed write (a full disk, a closed
// descriptor) must show in the exit status.
static int finish_output() {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
        return 0;
    }
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", program_invocation_short_name,
                 std::strerror(errno));
    return 1;
}

int main() {
    const int32_t length1 = 7;
    node *list1 = create_list(length1);
    print_list(list1, length1);
    return finish_output();
}
