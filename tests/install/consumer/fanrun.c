/* A C11 caller of the installed runner: defines pparams, runs three commands into a scratch
 * directory and checks the table and the output files. Exits non-zero on a wrong result. */
#define _POSIX_C_SOURCE 200809L

#include "fanrun.h"
#include "fanrun_params.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
    return 0;
}
