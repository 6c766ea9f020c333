// Linked into a test build of tallyflow with -Wl,--wrap=fork. A process running as root cannot be
// kept from forking by a resource limit, so SYSKIT_FAIL_FORK=errno-number makes fork fail here.
#include <cerrno>
#include <cstdlib>
#include <sys/types.h>

extern "C" {
pid_t __real_fork();
pid_t __wrap_fork();
}

pid_t __wrap_fork() {
    const char *setting = std::getenv("SYSKIT_FAIL_FORK");
    if (setting != nullptr) {
        errno = static_cast<int>(std::strtol(setting, nullptr, 10));
        return -1;
    }
    return __real_fork();
}
