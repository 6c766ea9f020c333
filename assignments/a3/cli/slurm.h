// Steps of a Slurm allocation (--slurm): every command runs as a step of the allocation fanrun
// runs in, started by srun on a node fanrun chooses, as the remote dispatcher starts one through
// ssh. The nodes and their CPUs come from the allocation's environment; the command reaches the
// node as words (no quoting layer of its own). The pure parts (the node list and CPU count
// formats, the srun words) need nothing of the rest of the front end, so their tests build them
// alone. Private to the program.
#ifndef FANRUN_CLI_SLURM_H
#define FANRUN_CLI_SLURM_H

#include "remote.h"

#include <string>
#include <string_view>
#include <vector>

namespace fanrun_cli {

// The node names of a Slurm host list ("node[1-3,7],gpu[01-02]x,login"): every bracket expanded
// in order, a range keeping the width of its first number ("01-10" gives 01 .. 10). False, with
// message, for a list Slurm would not write (an unclosed bracket, a range that runs backwards,
// more than a million names).
bool parseNodeList(std::string_view text, std::vector<std::string> &nodes, std::string &message);

// The CPUs of each node from SLURM_JOB_CPUS_PER_NODE ("2(x3),1"), one count per node, for count
// nodes. False, with message, when the text is not of that form or gives another number of nodes.
bool parseCpusPerNode(std::string_view text, size_t count, std::vector<int> &cpus,
                      std::string &message);

// srun's exit status when srun itself failed (the step could not be made, a node of the
// allocation is gone, srun's own error): SLURM_EXIT_ERROR, set for every srun of the run.
constexpr int srunFailed = 255;

// The words that run command (the program and its arguments, as they would be started here) as a
// step of one task with cpus CPUs on node. The step's shell (/bin/sh) starts the command with
// exactly these words and, once it has ended, makes the file marker, so that a step that ended
// without it (its node lost: srun then even exits 0) is told from the command's own end.
std::vector<std::string> stepWords(const std::string &node, int cpus, const std::string &marker,
                                   const std::vector<std::string> &command);

// The allocation: its nodes as hosts with a slot per cpusPerCommand CPUs, and the folder of the
// steps' markers.
struct SlurmRun {
    Hosts nodes;
    int cpusPerCommand = 1;
    int jobs = 0;     // the most commands at once: -j, else SLURM_NTASKS, else the nodes' slots
    std::string dir;  // the markers' folder, in the current directory (shared with the nodes)
    long started = 0; // steps handed out, each with a marker of its own

    SlurmRun() = default;
    ~SlurmRun();
    SlurmRun(const SlurmRun &) = delete;
    SlurmRun &operator=(const SlurmRun &) = delete;

    // Reads the allocation from the environment (SLURM_JOB_ID, SLURM_JOB_NODELIST,
    // SLURM_JOB_CPUS_PER_NODE, SLURM_NTASKS), sets SLURM_EXIT_ERROR for srun, and makes the
    // folder. jobsGiven: -j, or 0. False, with message, outside an allocation, for an allocation
    // fanrun cannot read, when no node has cpusPerCommand CPUs, or when the folder cannot be made
    // (misuse is said as such in misuse).
    bool start(int jobsGiven, int cpus, std::string &message, bool &misuse);

    // The most commands the runner keeps running.
    int maxRunning() const;

    // The marker of a new step.
    std::string nextMarker();

    // A step with marker has ended: true when the command itself ran to its end (its marker is
    // there; it is removed), with status its exit status as the step's shell saw it (128 + N for
    // signal N); false when the step was lost (not placed, its node lost, srun's own failure) and
    // the command may not have run to its end.
    bool commandEnded(const std::string &marker, int &status);

    // After the run: removes the folder and any marker left.
    void finish();
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_SLURM_H
