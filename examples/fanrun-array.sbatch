#!/bin/bash
# A Slurm job array that runs one batch in N slices, one per task:
#   sbatch --array=0-$((N - 1)) examples/fanrun-array.sbatch
# Every task reads the same inputs.txt (one argument per line) and runs the arguments whose
# position i has i mod N = its index; the indices must run from 0 to N-1 without gaps. Each task
# writes its own directory out/task-K, since process ids repeat across machines, and its report
# into fanrun-JOB_TASK.log. Collect the tasks' exit statuses (0, 123 when a command failed) with
#   sacct -j JOB -X --format=JobID,State,ExitCode
# Replace 'gzip -- {}' with the command to run.
#SBATCH --job-name=fanrun
#SBATCH --output=fanrun-%A_%a.log
#SBATCH --cpus-per-task=4
exec fanrun -j "${SLURM_CPUS_PER_TASK:-1}" \
    --shard "$SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT" \
    -o "out/task-$SLURM_ARRAY_TASK_ID" -a inputs.txt 'gzip -- {}'
