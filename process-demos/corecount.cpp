// corecount: prints how many processors are online.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

// The number to show for what the system reported, or -1 when it reported failure. No running
// machine has zero processors online, so a zero stands for the one this program runs on.
static long shown_count(long reported) {
    if (reported < 0) {
        return -1;
    }
    return reported == 0 ? 1 : reported;
}

// The count is the program's whole result, so a failed write must show in the exit status.
static int finish_output() {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
        return 0;
    }
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", program_invocation_short_name,
                 std::strerror(errno));
    return 1;
}

int main() {
    const long count = shown_count(sysconf(_SC_NPROCESSORS_ONLN));
    if (count == -1) {
        return 1;
    }
    std::printf("%ld\n", count);
    return finish_output();
}
