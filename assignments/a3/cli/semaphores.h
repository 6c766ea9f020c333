// The semaphore (the unit's name is plural so as not to hide the system's <semaphore.h>, which
// the C++ library includes): `fanrun --semaphore` runs one command once a place of its id is free,
// counted across independent invocations of the same user. Each place is a file in a folder of the
// user's own, held with flock by the command that has it, so that the kernel gives a place back
// however its holder ends, SIGKILL included.
#ifndef FANRUN_CLI_SEMAPHORES_H
#define FANRUN_CLI_SEMAPHORES_H

#include "options.h"

#include <csignal>

namespace fanrun_cli {

// What an invocation that found no place within --semaphore-timeout ends with.
constexpr int exitNoPlace = 124;

// Runs the semaphore invocation of settings: words (count of them) are the command, joined by
// spaces into the line bash runs, as sem joins them. stop is the front end's note of a stop
// signal, which ends a wait. Returns the exit status.
int runSemaphore(const Settings &settings, char **words, int count,
                 const volatile sig_atomic_t *stop);

} // namespace fanrun_cli

#endif // FANRUN_CLI_SEMAPHORES_H
