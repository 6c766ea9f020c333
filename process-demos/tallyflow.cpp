// tallyflow: a child sends the integers 0 to 9 through a pipe, one 4-byte native integer per
// write; the parent adds up every whole integer it receives and prints the sum.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

static constexpr int32_t numbers_sent = 10;

// Writes the whole buffer, resuming after a signal or a partial write. The child runs this
// between fork and _exit, so it calls nothing but write.
static bool write_all(int fd, const void *buffer, size_t length) {
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    while (length > 0) {
        const ssize_t written = write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// The child's half: 0, 1, ..., 9, each as one write of its 4 bytes. A reader that has gone away
// ends the stream early; there is nobody left to tell.
static void send_numbers(int fd) {
    for (int32_t value = 0; value < numbers_sent; value++) {
        if (!write_all(fd, &value, sizeof value)) {
            return;
        }
    }
}

// Reads one whole integer, gathering it across short reads and resuming after a signal. False at
// the end of the stream or on a read error; a trailing fragment shorter than an integer is
// dropped, never added.
static bool read_number(int fd, int32_t *value) {
    unsigned char bytes[sizeof *value];
    size_t have = 0;
    while (have < sizeof bytes) {
        const ssize_t got = read(fd, bytes + have, sizeof bytes - have);
        if (got > 0) {
            have += static_cast<size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    std::memcpy(value, bytes, sizeof bytes);
    return true;
}

// The parent's half: the sum of every whole integer until the writer closes its end. The sum
// wraps instead of overflowing, whatever arrives.
static int32_t receive_sum(int fd) {
    uint32_t sum = 0;
    int32_t value = 0;
    while (read_number(fd, &value)) {
        sum += static_cast<uint32_t>(value);
    }
    return static_cast<int32_t>(sum);
}

static void wait_for(pid_t child) {
    while (waitpid(child, nullptr, 0) == -1 && errno == EINTR) {
    }
}

// The sum is the program's whole result, so a failed write must show in the exit status.
static int finish_output() {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
        return 0;
    }
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", program_invocation_short_name,
                 std::strerror(errno));
    return 1;
}

int main() {
    int ends[2];
    if (pipe(ends) == -1) {
        std::perror("pipe call");
        return 1;
    }
    const pid_t child = fork();
    // Without a child there is no sum to report: say so in the exit status, as for the pipe.
    if (child == -1) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        close(ends[0]);
        send_numbers(ends[1]);
        close(ends[1]);
        // _exit, not exit: stdio buffers copied from the parent are the parent's to flush.
        _exit(0);
    }
    // Our copy of the write end must go first, or the reads below would never see the end.
    close(ends[1]);
    const int32_t sum = receive_sum(ends[0]);
    std::printf("sum=%d\n", sum);
    close(ends[0]);
    wait_for(child);
    return finish_output();
}
