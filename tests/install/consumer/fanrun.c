/* A C11 caller of the installed runner: defines pparams, runs three commands into a scratch
 * directory and checks the table and the output files, then runs commands from a source of its
 * own that keeps the job slots and halts on the first failure. Exits non-zero on a wrong result. */
#define _POSIX_C_SOURCE 200809L

#include "fanrun.h"
#include "fanrun_params.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

PARALLEL_PARAMS pparams;

static int fail(const char *what) {
    fprintf(stderr, "fanrun consumer: %s\n", what);
    return 1;
}

/* Reads a small file whole into buffer; returns its length or -1. */
static long readSmall(const char *path, char *buffer, size_t capacity) {
    FILE *file = fopen(path, "r");
    if (file == NULL) {
        return -1;
    }
    size_t length = fread(buffer, 1, capacity - 1, file);
    buffer[length] = '\0';
    fclose(file);
    return (long)length;
}

/* A source of three commands, the second of which fails; its end halts the run. */
typedef struct {
    int handed;
    int sink;       /* /dev/null: standard output and error of every command */
    int taken[2];   /* by slot - 1: a running command has it */
    int slotOf[3];  /* by record */
    int stagedSlot; /* the slot of the command next() handed out last */
    int endsTold;
    int wrongSlots;
} Source;

static int sourceNext(void *context, FANRUN_COMMAND *command) {
    static const char *const texts[] = {"true", "exit 3", "true"};
    Source *source = context;
    if (source->handed == 3) {
        return FANRUN_NEXT_END;
    }
    int slot = 1;
    while (slot <= 2 && source->taken[slot - 1]) {
        ++slot;
    }
    source->stagedSlot = slot;
    command->command = strdup(texts[source->handed]);
    command->outFd = source->sink;
    command->errFd = source->sink;
    command->waiting = 2 - source->handed;
    ++source->handed;
    return command->command != NULL ? FANRUN_NEXT_COMMAND : FANRUN_NEXT_END;
}

static void sourceStarted(void *context, const FANRUN_EVENT *event) {
    Source *source = context;
    /* One command at a time: every command gets the lowest slot. */
    source->wrongSlots |= source->stagedSlot != 1 || event->index < 0 || event->index > 2;
    if (source->stagedSlot <= 2 && event->index >= 0 && event->index <= 2) {
        source->taken[source->stagedSlot - 1] = 1;
        source->slotOf[event->index] = source->stagedSlot;
    }
}

static int sourceEnded(void *context, const FANRUN_EVENT *event) {
    Source *source = context;
    ++source->endsTold;
    if (event->index >= 0 && event->index <= 2) {
        source->taken[source->slotOf[event->index] - 1] = 0;
    }
    int failed = !WIFEXITED(event->status) || WEXITSTATUS(event->status) != 0;
    return failed ? FANRUN_HALT_SOON : 0;
}

static int runFromSource(void) {
    Source source = {0};
    source.sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (source.sink < 0) {
        return fail("cannot open /dev/null");
    }
    FANRUN_SOURCE callbacks = {sourceNext, sourceStarted, sourceEnded, &source, 0};
    fanrunSetSource(&callbacks);
    pparams.maxNumRunning = 1;
    pparams.outputDir = NULL;
    int returned = runParallel();
    fflush(stdout);
    fanrunSetSource(NULL);
    close(source.sink);
    FANRUN_RESULT result;
    fanrunLastResult(&result);
    if (returned != 0 || result.numStarted != 2 || result.numFailed != 1 || result.halted != 1 ||
        source.endsTold != 2 || source.handed != 2) {
        return fail("the halt that ended returned did not stop the run after the failed command");
    }
    if (source.wrongSlots || source.taken[0] || source.taken[1]) {
        return fail("the source's slots do not follow the starts and ends");
    }
    return 0;
}

int main(void) {
    char *expanded = createCommand("wc -l {} > /dev/null", "data.txt");
    int wrongExpansion = strcmp(expanded, "wc -l data.txt > /dev/null") != 0;
    free(expanded);
    if (wrongExpansion) {
        return fail("createCommand gave a wrong expansion");
    }

    char scratch[] = "/tmp/fanrun_consumer.XXXXXX";
    if (mkdtemp(scratch) == NULL) {
        return fail("cannot make a scratch directory");
    }
    char outputDir[64];
    snprintf(outputDir, sizeof outputDir, "%s/out", scratch);
    char one[] = "one", two[] = "two", three[] = "three";
    char *arguments[] = {one, two, three};
    char commandTemplate[] = "echo {}";
    pparams.maxNumRunning = 2;
    pparams.outputDir = outputDir;
    pparams.commandTemplate = commandTemplate;
    pparams.argumentList = arguments;
    pparams.argumentListLen = 3;

    if (runParallel() != 0) {
        return fail("runParallel did not return 0");
    }
    fflush(stdout);
    if (processControl.numProcesses != 3 || processControl.numCompleted != 3 ||
        processControl.numRunning != 0 || processControl.process != NULL) {
        return fail("the table does not show a finished run of three commands");
    }

    /* Each command's output is in its own PID.stdout; every PID.stderr is empty. */
    int seen[3] = {0, 0, 0};
    int stdoutFiles = 0, stderrFiles = 0, wrong = 0;
    DIR *dir = opendir(outputDir);
    if (dir == NULL) {
        return fail("the output directory is missing");
    }
    struct dirent *entry;
    while ((entry = readdir(dir)) != NULL) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        char path[512];
        char content[64];
        snprintf(path, sizeof path, "%s/%s", outputDir, entry->d_name);
        long length = readSmall(path, content, sizeof content);
        if (strstr(entry->d_name, ".stdout") != NULL) {
            ++stdoutFiles;
            int matched = 0;
            for (int i = 0; i < 3; ++i) {
                char line[16];
                snprintf(line, sizeof line, "%s\n", arguments[i]);
                if (strcmp(content, line) == 0) {
                    ++seen[i];
                    matched = 1;
                }
            }
            wrong |= !matched;
        } else if (strstr(entry->d_name, ".stderr") != NULL) {
            ++stderrFiles;
            wrong |= length != 0;
        } else {
            wrong = 1;
        }
        unlink(path);
    }
    closedir(dir);
    rmdir(outputDir);
    rmdir(scratch);
    if (wrong || stdoutFiles != 3 || stderrFiles != 3 || seen[0] != 1 || seen[1] != 1 ||
        seen[2] != 1) {
        return fail("the output files do not hold one command's output each");
    }
    return runFromSource();
}
