// Linked into a test build of corecount with -Wl,--wrap=sysconf: SYSKIT_FAKE_ONLINE=N makes the
// online processor query report N, so the failed and the zero answers can be seen without
// changing the machine.
#include <cstdlib>
#include <unistd.h>

extern "C" {
long __real_sysconf(int name);
long __wrap_sysconf(int name);
}

long __wrap_sysconf(int name) {
    const char *setting = std::getenv("SYSKIT_FAKE_ONLINE");
    if (name == _SC_NPROCESSORS_ONLN && setting != nullptr) {
        return std::strtol(setting, nullptr, 10);
    }
    return __real_sysconf(name);
}
