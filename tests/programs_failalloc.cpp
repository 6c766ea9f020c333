// Linked into test builds of the list programs with -Wl,--wrap=malloc -Wl,--wrap=free: the
// program's own allocations pass through here, so a test can count them and make one fail.
// SYSKIT_FAIL_MALLOC_AT=N in the environment makes the Nth allocation and every later one fail.
#include <cstddef>
#include <cstdlib>

extern "C" {
void *__real_malloc(size_t size);
void __real_free(void *pointer);
void *__wrap_malloc(size_t size);
void __wrap_free(void *pointer);
void programs_fail_malloc_at(long call);
long programs_malloc_calls();
long programs_free_calls();
}

namespace {
long malloc_calls = 0;
long free_calls = 0;
long fail_at = -1; // -1: not read from the environment yet; 0: never fail

long failing_call() {
    if (fail_at == -1) {
        const char *setting = std::getenv("SYSKIT_FAIL_MALLOC_AT");
        fail_at = setting != nullptr ? std::strtol(setting, nullptr, 10) : 0;
    }
    return fail_at;
}
} // namespace

void *__wrap_malloc(size_t size) {
    malloc_calls++;
    const long at = failing_call();
    if (at > 0 && malloc_calls >= at) {
        return nullptr;
    }
    return __real_malloc(size);
}

void __wrap_free(void *pointer) {
    if (pointer != nullptr) {
        free_calls++;
    }
    __real_free(pointer);
}

void programs_fail_malloc_at(long call) {
    fail_at = call;
}
long programs_malloc_calls() {
    return malloc_calls;
}
long programs_free_calls() {
    return free_calls;
}
