// Whole writes: see io.h.

#include "io.h"

#include <cerrno>

#include <unistd.h>

namespace fanrun_cli {

bool writeAll(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

} // namespace fanrun_cli
