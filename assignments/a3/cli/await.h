// The front end's one way to sleep until a descriptor is readable, a time has come or a stop
// signal has been noted, without losing a stop that comes just before the sleep. Private to the
// program; nothing here is installed.
#ifndef FANRUN_CLI_AWAIT_H
#define FANRUN_CLI_AWAIT_H

#include <csignal>
#include <cstdint>

namespace fanrun_cli {

// How a wait ended.
enum class Awaited { ready, timedOut, stopped };

// Sleeps until fd (none when negative) is readable or has hung up, timeoutMs has passed (none
// when negative), or *stop is nonzero. SIGINT, SIGTERM and SIGHUP are held back from the look at
// *stop until the sleep lets them in, so that one whose handler sets *stop in between ends the
// sleep at once. stopped wins over the others; an interruption by any other signal is ready, for
// the caller to look again. Cannot fail.
Awaited awaitInput(int fd, int64_t timeoutMs, const volatile sig_atomic_t *stop);

} // namespace fanrun_cli

#endif // FANRUN_CLI_AWAIT_H
