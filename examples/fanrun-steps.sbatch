#!/bin/bash
# One batch over an allocation of several nodes, every command a step of it on a node with free
# CPUs (fanrun --slurm):
#   sbatch -N 4 --ntasks-per-node=4 --cpus-per-task=2 examples/fanrun-steps.sbatch
# runs 16 commands at a time (SLURM_NTASKS), each with 2 CPUs. inputs.txt holds one argument per
# line; the job log names each command's node, and a rerun with --resume takes up what a killed
# job left. Run it from a directory the nodes share (fanrun keeps its steps' markers there).
# Replace 'gzip -- {}' with the command to run.
#SBATCH --job-name=fanrun-steps
#SBATCH --output=fanrun-steps-%j.log
#SBATCH --no-kill
exec fanrun --slurm --cpus-per-command "${SLURM_CPUS_PER_TASK:-1}" \
    --joblog steps.log --resume -o out -a inputs.txt 'gzip -- {}'
