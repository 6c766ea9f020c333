// Whole writes to a descriptor, shared by every stage that writes what commands made or what a
// run records. Private to the program; nothing here is installed.
#ifndef FANRUN_CLI_IO_H
#define FANRUN_CLI_IO_H

#include <cstddef>

namespace fanrun_cli {

// Writes all length bytes of data to fd, resuming after interruptions and short writes. True
// once every byte is written; false with errno set (EIO for a write that took nothing) and an
// unknown share written.
bool writeAll(int fd, const char *data, size_t length);

} // namespace fanrun_cli

#endif // FANRUN_CLI_IO_H
