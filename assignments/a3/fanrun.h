/*
 * fanrun: runs one shell command per argument, a bounded number at a time, each child writing
 * into its own pair of files, and reports the run on request through SIGUSR1 and SIGUSR2.
 *
 * The run parameters live in fanrun_params.h; the program that links this library defines and
 * fills `pparams` there before calling runParallel().
 */
#ifndef FANRUN_H
#define FANRUN_H

#ifdef __cplusplus
extern "C" {
#endif

/* One launched command. */
typedef struct {
    int pid;      /* process id of the child that runs the command */
    int ifExited; /* 0 until the child has been reaped, then 1 (whether it exited or was killed) */
    int exitStatus; /* -1 until reaped; then the exit code 0..255, or -1 if a signal ended it */
    int status;     /* raw wait status once reaped, 0 until then */
    char *command;  /* expanded command; owned by the table, released at the end of the run */
} PROCESS_STRUCT;

/* The process table of a run. While a run is in progress numCompleted + numRunning is the number
 * of commands launched so far, and the records with ifExited 1 are exactly the reaped ones. */
typedef struct {
    int numProcesses;        /* commands in the run, one per argument */
    int numRunning;          /* launched and not yet reaped */
    int maxNumRunning;       /* concurrency limit of the run */
    int numCompleted;        /* reaped so far */
    PROCESS_STRUCT *process; /* numProcesses records in launch order; NULL outside a run */
} PROCESS_CONTROL;

/* The module-wide table, zero before the first run. The report handler reads it. After a run the
 * counters keep their final values and `process` is NULL (the records have been released). */
extern PROCESS_CONTROL processControl;

/* Expands every "{}" of commandTemplate into the whole argument, left to right; the argument's own
 * text is not scanned. Returns a malloc'd string that the caller releases with free. Never returns
 * NULL: when memory cannot be obtained it prints "Error: memory allocation failed\n" through
 * perror and ends the process with exit status 1. */
char *createCommand(const char *commandTemplate, const char *argument);

/* Records the raw wait status of the reaped child pid in the first record with that pid: ifExited
 * becomes 1, exitStatus the exit code or -1 if a signal ended the child. A pid that matches no
 * record changes nothing. The counters are left to the caller. Cannot fail. */
void updateStatus(int pid, int status);

/* Writes "numProcesses numCompleted numRunning\n" to standard output (buffered, not flushed).
 * Cannot fail. */
void printSummary(void);

/* Writes the short report, then "pid ifExited exitStatus command\n" for each reaped record in
 * launch order, stopping after numCompleted lines. Buffered, not flushed. Cannot fail. */
void printSummaryFull(void);

/* The report signal handler: SIGUSR1 prints the short report, any other signal the full one.
 * Preserves errno. Cannot fail. */
void handler(int signum);

/* Runs the commands described by pparams: creates pparams.outputDir (last component only) if it
 * cannot be examined, starts "/bin/bash -c COMMAND" for every argument with at most
 * pparams.maxNumRunning children at once, each with standard output and error in
 * outputDir/PID.stdout and outputDir/PID.stderr, reaps them all, prints the full report and
 * releases the run's storage. While it runs, the caller must have no other children; from the end
 * of the first launch on, SIGUSR1 and SIGUSR2 print the short and the full report (the handlers
 * run only while the runner waits for a child, never inside stdio or the allocator). Before
 * returning it restores the dispositions and the signal mask it found.
 * Returns 0 after a complete run. On any failure of the runner itself it prints an "Error: ..."
 * message through perror (none when a wait fails) and ends the process with exit status 1. */
int runParallel(void);

/* ---- Additive operations -----------------------------------------------------------------------
 * A program that never calls fanrunSetOptions() sees exactly the behaviour described above. */

/* What happens after the first command that fails (exits non-zero or is ended by a signal). */
enum {
    FANRUN_HALT_NEVER = 0, /* keep launching */
    FANRUN_HALT_SOON = 1,  /* start no new command; the running ones finish */
    FANRUN_HALT_NOW = 2    /* start no new command and end the running ones as an interrupt does */
};

/* Settings of the following runs. All zero is the default behaviour. */
typedef struct {
    int stopOnSignals;     /* nonzero: SIGINT, SIGTERM and SIGHUP stop the run (see runParallel);
                              every command then runs in a process group of its own */
    int nullInput;         /* nonzero: every command's standard input is /dev/null */
    double timeoutSeconds; /* > 0: a command still running this long after its start gets
                              SIGTERM, and SIGKILL after a short grace period */
    int halt;              /* one of FANRUN_HALT_* */
    int progress;          /* nonzero: a status line on standard error while the run goes on */
} FANRUN_OPTIONS;

/* Copies *options for every following run; NULL restores the defaults (all zero). Cannot fail. */
void fanrunSetOptions(const FANRUN_OPTIONS *options);

/* The outcome of a run, kept after runParallel() returns. */
typedef struct {
    int numStarted;  /* commands started */
    int numFailed;   /* reaped commands that exited non-zero or were ended by a signal */
    int numTimedOut; /* of those, the ones the timeout ended */
    int stopSignal;  /* the signal that stopped the run early, or 0 */
    int halted;      /* nonzero when the halt setting stopped the launching */
} FANRUN_RESULT;

/* Fills *result with the outcome of the last run that returned; all zero before the first.
 * Cannot fail. */
void fanrunLastResult(FANRUN_RESULT *result);

#ifdef __cplusplus
}
#endif

#endif /* FANRUN_H */
