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
 * perror and ends the process with exit status 1; so it does, with "Error: no command template\n"
 * or "Error: missing argument\n" (and "Invalid argument"), when either pointer is NULL. */
char *createCommand(const char *commandTemplate, const char *argument);

/* Records the raw wait status of the reaped child pid in the first record with that pid that has
 * not been reaped yet: ifExited becomes 1, exitStatus the exit code or -1 if a signal ended the
 * child. A pid that matches no record changes nothing. The counters are left to the caller. For
 * the table of a run in progress, and after fanrunIndexTable(), the record is found through an
 * index by pid in constant time; any other table is searched from its first record. Cannot fail. */
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
 *
 * Output files. A child opens its files only as regular files, never through a symbolic link
 * and never blocking: a link, FIFO, device, socket or directory of that name fails like any other
 * open (child step 1: "Error: open failed\n" through perror, with "Too many levels of symbolic
 * links" for a link and "No such device or address" for a FIFO, device or socket; step 3: "Error:
 * open failed on PID %d\n"), and the run goes on. The n-th command of one run (n > 1) that gets
 * a pid an earlier command of the same run had writes to outputDir/PID.n.stdout and
 * outputDir/PID.n.stderr instead, so no earlier command's output is touched; a pid new to the run
 * keeps the plain names. Files of earlier runs are truncated as before.
 *
 * Faults the run survives. While the system is out of processes (fork fails with EAGAIN) and
 * commands are running, the runner waits for one to end and tries again. SIGPIPE is ignored while
 * the run goes on (a report written to a closed pipe fails and sets the stream's error flag; the
 * commands themselves start with SIGPIPE at its default action), and a SIGCHLD inherited as
 * ignored is set to its default for the run; both come back before the return.
 *
 * Parameters that describe no run end the process with exit status 1 before any command starts,
 * with a message through perror ("Invalid argument"): before anything is made, "Error:
 * maxNumRunning must be at least 1\n" (also for a run from a source), and for a run from pparams
 * "Error: no output directory\n" (outputDir NULL) or "Error: no command template\n"; once the
 * directory and the records are there, "Error: missing argument\n" (argumentList, or one of its
 * first argumentListLen entries, NULL).
 *
 * Returns 0 after a complete run, and after a run that the options stopped (see
 * fanrunLastResult()). On any failure of the runner itself it prints an "Error: ..." message
 * through perror (none when a wait fails) and ends the process with exit status 1; when the child
 * cannot be created that happens after the running commands have ended and the full report of
 * what ran has been printed. */
int runParallel(void);

/* ---- Additive operations -----------------------------------------------------------------------
 * A program that never calls fanrunSetOptions() sees exactly the behaviour described above. */

/* What happens after the first command that fails (exits non-zero or is ended by a signal). */
enum {
    FANRUN_HALT_NEVER = 0, /* keep launching */
    FANRUN_HALT_SOON = 1,  /* start no new command; the running ones finish */
    FANRUN_HALT_NOW = 2    /* start no new command and end the running ones as an interrupt does */
};

/* Settings of the following runs. All zero is the default behaviour.
 *
 * stopOnSignals: SIGINT, SIGTERM and SIGHUP stop the run. Every command runs in a process group of
 *   its own (so a terminal's interrupt reaches only the runner, which passes it on). On the first
 *   of these signals no further command starts, the same signal goes to the process group of every
 *   running command, and runParallel() reaps them, prints the full report (commands the signal
 *   ended show -1), flushes standard output and returns with the signal in the result's
 *   stopSignal. A SIGINT or SIGTERM after it sends SIGKILL to the groups still running. A stop
 *   signal that arrives after the last command ended, or while the final report is written, is
 *   also returned in stopSignal. A command stopped by a signal (as the terminal stops one in a
 *   background group that reads from it, SIGTTIN, or writes to it with tostop set, SIGTTOU)
 *   would wait forever: the runner writes "fanrun: command PID stopped by SIGTTIN (it wants the
 *   terminal; use --tty), ended: COMMAND\n" to standard error (for another stop signal, its name
 *   without the parenthesis) and sends SIGKILL to its group; it shows -1 in the report and counts
 *   as failed.
 *   Job control (unless fanrunSetTerminal() gave the commands the terminal): SIGTSTP, SIGTTIN and
 *   SIGTTOU stop the whole batch. The runner sends SIGSTOP to the process group of every running
 *   command, then stops itself with SIGSTOP (also in an orphaned process group, where the
 *   kernel would drop a terminal stop: continue it there with SIGCONT); once continued it sends
 *   SIGCONT to every such group,
 *   and every running command's timeout deadline and SIGKILL grace move on by the time the batch
 *   stood still (measured exactly, from before the commands were stopped to after the runner was
 *   continued), so a timeout counts only running time. Commands the runner stopped itself are
 *   never ended as stopped commands. A SIGCONT alone (after a SIGSTOP, which reaches the runner
 *   only and cannot be caught, so the commands ran on and their deadlines stay) also sends
 *   SIGCONT to every running command's group. The handlers only note the signals; the run loop
 *   acts while it waits, and between launches. The previous dispositions come back at the end.
 * nullInput: every command's standard input is /dev/null (opened after the output files; failure:
 *   "Error: open failed on PID %d\n" in the stderr file, exit status 1).
 * timeoutSeconds: a command still running that long after its start gets SIGTERM (to its process
 *   group when it has one), and SIGKILL 2 seconds later if it is still running then. Such a command
 *   counts as failed and as timed out, whatever its exit status. The deadlines are also served
 *   between launches, so a long burst of starts delays no timeout.
 * halt: after the first failed command, FANRUN_HALT_SOON starts no further command;
 *   FANRUN_HALT_NOW also sends SIGTERM to every running command (to its group when it has one),
 *   and SIGKILL 2 seconds later to those still running.
 * progress: a status line on standard error, "D/T done, R running, F failed, E elapsed, L left"
 *   (counts, then durations as m:ss or h:mm:ss; L is "?" before the first command has ended). On
 *   a terminal it is rewritten in place ("\r", the text, then "\033[K") five times a second;
 *   otherwise it is written as a line once a second; a last line follows when all commands have
 *   ended, before the final report. Written with write(2) by the run loop, never by a handler. */
typedef struct {
    int stopOnSignals;     /* nonzero: SIGINT, SIGTERM and SIGHUP stop the run */
    int nullInput;         /* nonzero: every command's standard input is /dev/null */
    double timeoutSeconds; /* > 0: SIGTERM this long after a command's start, SIGKILL 2 s later */
    int halt;              /* one of FANRUN_HALT_* */
    int progress;          /* nonzero: a status line on standard error while the run goes on */
    int progressBar;       /* nonzero, with progress, on a terminal: the line begins with a bar of
                              the commands done out of those known, "NN% [###   ] ", its width a
                              third of the terminal's (at most 60 cells) */
} FANRUN_OPTIONS;

/* Copies *options for every following run; NULL restores the defaults (all zero). Cannot fail. */
void fanrunSetOptions(const FANRUN_OPTIONS *options);

/* The most signals fanrunSetTermSequence() takes. */
#define FANRUN_TERMSEQ_MAX 16

/* Sets how the following runs end a command they end themselves, after its timeout and when
 * halting now (where the text above says SIGTERM, then SIGKILL 2 seconds later): signals[0] goes
 * to the command (to its process group when it has one), and while it still runs waitsMs[i]
 * milliseconds after signals[i], signals[i + 1] follows; the sequence ends with its last signal.
 * count is the number of signals, 1 to FANRUN_TERMSEQ_MAX; waitsMs holds count - 1 waits (it may
 * be NULL when count is 1). A stop signal is still passed on as it came, and a second SIGINT or
 * SIGTERM still sends SIGKILL. signals NULL or count 0 restores the default (SIGTERM, 2000,
 * SIGKILL). Copies the arrays and returns 1; returns 0 and changes nothing for a count outside
 * 0..FANRUN_TERMSEQ_MAX, a signal outside 1..SIGRTMAX, a negative wait, or waitsMs NULL with
 * count above 1. A run takes the sequence set when it starts. */
int fanrunSetTermSequence(const int *signals, const int *waitsMs, int count);

/* The outcome of a run, kept after runParallel() returns. */
typedef struct {
    int numStarted; /* commands started */
    int numFailed;  /* reaped commands that exited non-zero, were ended by a signal, or timed out */
    int numTimedOut; /* of those, the ones the timeout ended */
    int stopSignal;  /* the signal that stopped the run early, or 0 */
    int halted;      /* nonzero when the halt setting cut the run short: a command failed while
                        others were still to start or (FANRUN_HALT_NOW) still running */
} FANRUN_RESULT;

/* Fills *result with the outcome of the last run that returned; all zero before the first.
 * Cannot fail. */
void fanrunLastResult(FANRUN_RESULT *result);

/* Gives the commands of the following runs the terminal (nonzero) or not (0, the default). A
 * command then stays in the runner's own process group (the terminal's foreground group when the
 * runner is in it), even with stopOnSignals, and its standard input is /dev/tty instead of
 * /dev/null or the runner's own (failure to open it: "Error: open failed on PID %d\n" in the
 * stderr file, exit status 1). Stop signals typed at the terminal then reach the command and
 * the runner alike. Meant for one command at a time (maxNumRunning 1). Cannot fail. */
void fanrunSetTerminal(int terminal);

/* Notes the stop signal signum (SIGINT, SIGTERM or SIGHUP; others are ignored) as if it had come
 * during a run with stopOnSignals: the run in progress stops as described there, and a note
 * taken before a run starts stops that run before its first command, so that a program's own
 * handler, in place from the program's start, loses no stop that comes before or while
 * runParallel() sets up. The note is taken by the next run with stopOnSignals and cleared when
 * it returns. Async-signal-safe: meant to be called from a signal handler. */
void fanrunStop(int signum);

/* Indexes the records of processControl by pid for the following updateStatus() calls, as
 * runParallel() does for its own table: each call then finds its record in constant time instead
 * of searching from the first. The index describes the records as they are now: call it again
 * after changing a record's pid. A new run, or a call with processControl.process NULL, drops it.
 * Returns 1, or 0 when memory for it cannot be obtained (updateStatus then keeps searching;
 * nothing changes). */
int fanrunIndexTable(void);

/* ---- Commands from a source ---------------------------------------------------------------------
 * Instead of expanding pparams.commandTemplate for each of pparams.argumentList, a run can take its
 * commands one at a time from a source that the linking program provides: commands then start as
 * soon as they are known (input still being read), each may have its own output descriptors and be
 * started without the shell, and the program hears of every start and end at the moment it
 * happens. The runner stays the one place that starts, waits for and reaps commands. A program that
 * never calls fanrunSetSource() sees none of this. */

/* One command handed to the runner by FANRUN_SOURCE.next. */
typedef struct {
    char *command; /* malloc'd text; the run owns it from here on and shows it in the reports.
                      Unless argv is set, the command runs as "/bin/bash -c command" */
    char *const
        *argv;  /* NULL, or the program and its arguments, NULL-terminated, started directly
                   (no shell): argv[0] is looked up in PATH as the shell would (a program
                   removed since an earlier command is looked up again), and a program
                   that is not found ends with exit code 127, one that cannot be run with 126,
                   each with a one-line message in its standard error. Read only during the
                   call that starts the command; the source keeps it until its next call */
    int outFd;  /* -1: outputDir/PID.stdout as in every run; else this descriptor becomes the
                   command's standard output (the source keeps it open and closes it) */
    int errFd;  /* -1: outputDir/PID.stderr; else this descriptor becomes its standard error */
    int waitFd; /* with FANRUN_NEXT_WAIT: -1, or a descriptor to wait for input on */
    long long waitUntilNs; /* with FANRUN_NEXT_WAIT: 0, or a CLOCK_MONOTONIC time to ask again at */
    int waiting; /* with FANRUN_NEXT_COMMAND: further commands the source already knows of; the
                    table counts them in numProcesses and has zeroed records for them, so that
                    the reports (printSummary's first number) show the run's size as far as it
                    is known, not only what has started */
    /* Standard input of the command, kept last so that a record filled by position or zeroed
       keeps the runner's choice: 0 takes the input the run's options give (the runner's own,
       /dev/null or /dev/tty); n > 0 makes descriptor n - 1 (above 2, open, not necessarily
       open across exec) the command's standard input, instead of those. The source keeps the
       descriptor open and closes it once the command has started (the command holds its own);
       the child shares its file offset, so a source that starts the same data twice hands a
       fresh descriptor each time. */
    int inFdPlusOne;
    /* A timeout of the command's own. */
    double timeoutSeconds; /* with FANRUN_NEXT_COMMAND: > 0, this command's timeout in place of
                              the run's timeoutSeconds: measured from its start, ended with the
                              term sequence, counted as timed out, as for the run's; 0 (or
                              less): the run's timeout, if any */
} FANRUN_COMMAND;

/* The results of FANRUN_SOURCE.next. */
enum {
    FANRUN_NEXT_END = 0,     /* no further command */
    FANRUN_NEXT_COMMAND = 1, /* *command describes the next command */
    FANRUN_NEXT_WAIT = 2     /* none yet: ask again once waitFd is readable (or has hung up),
                                waitUntilNs has come, or a command has ended */
};

/* A command's start or end, as FANRUN_SOURCE hears of it. */
typedef struct {
    int index; /* the command's record in processControl.process: 0 for the first command started */
    int pid;   /* its process id */
    int status;   /* at the end: the raw wait status; 0 at the start */
    int timedOut; /* at the end: nonzero when the run's timeout ended it */
    const char
        *stdoutPath; /* at the end of a command with output files: their names, valid during */
    const char *stderrPath; /* the call only; NULL for a command with given descriptors */
} FANRUN_EVENT;

/* Where a run gets its commands. The functions run in the runner's own flow, never inside a signal
 * handler, with the report signals held back; they may read, write and allocate, but must not
 * start, wait for or reap children, nor change signal dispositions.
 *
 * Job slots (a number per running command, as a front end's "{%}" shows) are the source's own:
 * the runner asks for a command only while fewer than maxNumRunning run, tells of every start
 * before the next question, and of every end before it asks again, so a source that takes the
 * lowest slot free among its started and not yet ended commands in next never hands out one
 * twice nor one above maxNumRunning. A command handed out by next is either started (started
 * follows) or, when the run stops first, released by the runner with no further question. */
typedef struct {
    /* Asked for the next command whenever fewer than maxNumRunning commands run and the run has
     * not been stopped. Fills *command and returns FANRUN_NEXT_*. A FANRUN_NEXT_WAIT with neither
     * waitFd nor waitUntilNs while no command runs ends the run like FANRUN_NEXT_END. */
    int (*next)(void *context, FANRUN_COMMAND *command);
    /* Told of every command right after it has started; may be NULL. */
    void (*started)(void *context, const FANRUN_EVENT *event);
    /* Told of every command right after it has been reaped and recorded; may be NULL. Returns
     * the halting the end calls for: 0 (FANRUN_HALT_NEVER) to go on, or FANRUN_HALT_SOON or
     * FANRUN_HALT_NOW to stop the run as the halt setting does after a failed command (any other
     * value is taken as 0). Halting acts once per run, whether the source or the run's own halt
     * setting asks first; the other is then spent. A source that decides itself which failures
     * count (a command it will retry does not) returns it here and leaves the option at
     * FANRUN_HALT_NEVER. */
    int (*ended)(void *context, const FANRUN_EVENT *event);
    void *context;
    int known; /* commands the source knows of before the run starts: numProcesses starts there
                  and the table has zeroed records for them, so that a report asked for before
                  the first start already shows them (see FANRUN_COMMAND.waiting) */
} FANRUN_SOURCE;

/* Sets the source of the following runs: runParallel() then ignores pparams.commandTemplate,
 * argumentList and argumentListLen, and uses maxNumRunning and outputDir (NULL: no directory is
 * made; then every command must come with both descriptors). The process table grows as commands
 * become known: numProcesses counts the commands started so far and those the source said wait. The
 * run's options apply as to any run; stop signals, a timeout or halting stop asking the source.
 * NULL restores runs from pparams. Copies *source. Cannot fail. */
void fanrunSetSource(const FANRUN_SOURCE *source);

#ifdef __cplusplus
}
#endif

#endif /* FANRUN_H */
