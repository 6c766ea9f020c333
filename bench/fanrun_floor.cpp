// The floor for the runner's benchmark: the least a runner can do per job and still do the same
// work. It starts each child the same way (vfork-style clone on a stack of its own), opens the
// two output files named by the child's pid, makes them standard output and error, execs
// "/bin/bash -c true" (or PROGRAM itself, without the shell, with the job's number 1, 2, ... as
// its one argument, as the runner gives it from seq) and reaps, with at most JOBS children at
// once. No table, no templates, no signal handling, no report.
//
// usage: fanrun_floor JOBS OUTPUT_DIR COUNT [PROGRAM]

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char *outputDir;
size_t outputDirLength;
char *const shellArgv[] = {const_cast<char *>("/bin/bash"), const_cast<char *>("-c"),
                           const_cast<char *>("true"), nullptr};
char jobNumber[16];
char *programArgv[] = {nullptr, jobNumber, nullptr};
char *const *childArgv = shellArgv;
alignas(64) unsigned char childStack[64 * 1024];

// "outputDir/pid.suffix" without stdio: the child shares the parent's memory.
void formatName(char *name, int pid, const char *suffix) {
    memcpy(name, outputDir, outputDirLength);
    char *at = name + outputDirLength;
    *at++ = '/';
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + pid % 10);
        pid /= 10;
    } while (pid != 0);
    while (count > 0) {
        *at++ = digits[--count];
    }
    strcpy(at, suffix);
}

int child(void * /*unused*/) {
    char name[PATH_MAX];
    int pid = getpid();
    formatName(name, pid, ".stdout");
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
        _exit(1);
    }
    close(fd);
    formatName(name, pid, ".stderr");
    fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) {
        _exit(1);
    }
    close(fd);
    execv(childArgv[0], childArgv);
    _exit(1);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4 && argc != 5) {
        fputs("usage: fanrun_floor JOBS OUTPUT_DIR COUNT [PROGRAM]\n", stderr);
        return 2;
    }
    if (argc == 5) {
        programArgv[0] = argv[4];
        childArgv = programArgv;
    }
    const int jobs = atoi(argv[1]);
    outputDir = argv[2];
    outputDirLength = strlen(outputDir);
    const int count = atoi(argv[3]);
    if (jobs < 1 || count < 0 || outputDirLength + 32 > PATH_MAX) {
        fputs("fanrun_floor: bad arguments\n", stderr);
        return 2;
    }
    mkdir(outputDir, 0755);
    int running = 0;
    for (int i = 0; i < count; ++i) {
        // Read by the child before its exec, while this process waits for it.
        snprintf(jobNumber, sizeof jobNumber, "%d", i + 1);
        if (clone(child, childStack + sizeof childStack, CLONE_VM | CLONE_VFORK | SIGCHLD,
                  nullptr) < 0) {
            perror("fanrun_floor: clone");
            return 1;
        }
        for (++running; running >= jobs; --running) {
            if (wait(nullptr) < 0) {
                perror("fanrun_floor: wait");
                return 1;
            }
        }
    }
    for (; running > 0; --running) {
        if (wait(nullptr) < 0) {
            perror("fanrun_floor: wait");
            return 1;
        }
    }
    return 0;
}
