/*
 * The run parameters of fanrun, shared between the library and the program that links it. The
 * library only declares and reads `pparams`; the linking program defines it, fills it before
 * calling runParallel() and leaves it unchanged during the run.
 */
#ifndef FANRUN_PARAMS_H
#define FANRUN_PARAMS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    int maxNumRunning;     /* most children running at once; at least 1 */
    char *outputDir;       /* directory that receives PID.stdout and PID.stderr */
    char *commandTemplate; /* shell command with "{}" where the argument goes */
    char **argumentList;   /* argumentListLen arguments, in launch order */
    int argumentListLen;   /* number of arguments, hence of commands */
} PARALLEL_PARAMS;

/* Defined by the program that links the library (for instance `PARALLEL_PARAMS pparams;`). */
extern PARALLEL_PARAMS pparams;

#ifdef __cplusplus
}
#endif

#endif /* FANRUN_PARAMS_H */
