// twinnumber: compares a number kept in main's frame with one computed in a frame of its own, a
// program for looking at the call stack in a debugger.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Kept out of line so that an optimised build still has the second frame to look at.
[[gnu::noinline]] static int32_t get_my_number() {
    int32_t c = 1;
    int32_t d = 2;
    int32_t e = 6;
    int32_t my_num = c * d * e;
    return my_num;
}

// The line is the program's whole result, so a failed write must show in the exit status.
static int finish_output() {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
        return 0;
    }
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", program_invocation_short_name,
                 std::strerror(errno));
    return 1;
}

int main() {
    int32_t a = 12;
    int32_t b = get_my_number();
    if (a == b) {
        std::printf("My numbers are the same\n");
    } else {
        std::printf("My numbers are not the same\n");
    }
    return finish_output();
}
