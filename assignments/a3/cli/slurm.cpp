// Steps of a Slurm allocation: see slurm.h.

#include "slurm.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

constexpr size_t maxNodes = 1000000;

bool digits(std::string_view text) {
    return !text.empty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

long numberOf(std::string_view text) {
    long value = 0;
    for (char c : text) {
        value = value * 10 + (c - '0');
    }
    return value;
}

// The names of one entry of a host list (no comma outside brackets): the first bracket expanded,
// the rest of the entry expanded for each of its values in turn.
bool expandEntry(const std::string &prefix, std::string_view rest, std::vector<std::string> &nodes,
                 std::string &message) {
    const size_t open = rest.find('[');
    if (open == std::string_view::npos) {
        if (rest.find(']') != std::string_view::npos) {
            message = "a ']' without its '['";
            return false;
        }
        if (nodes.size() >= maxNodes) {
            message = "more than a million nodes";
            return false;
        }
        nodes.push_back(prefix + std::string(rest));
        return true;
    }
    const size_t close = rest.find(']', open);
    if (close == std::string_view::npos) {
        message = "a '[' without its ']'";
        return false;
    }
    const std::string head = prefix + std::string(rest.substr(0, open));
    std::string_view ranges = rest.substr(open + 1, close - open - 1);
    const std::string_view tail = rest.substr(close + 1);
    if (ranges.empty()) {
        message = "an empty '[]'";
        return false;
    }
    while (!ranges.empty()) {
        const size_t comma = ranges.find(',');
        const std::string_view range = ranges.substr(0, comma);
        ranges.remove_prefix(comma == std::string_view::npos ? ranges.size() : comma + 1);
        const size_t dash = range.find('-');
        const std::string_view first = range.substr(0, dash);
        const std::string_view last =
            dash == std::string_view::npos ? first : range.substr(dash + 1);
        if (!digits(first) || !digits(last) || numberOf(last) < numberOf(first)) {
            message = "'" + std::string(range) + "' is not a range of node numbers";
            return false;
        }
        for (long value = numberOf(first); value <= numberOf(last); ++value) {
            std::string number = std::to_string(value);
            if (number.size() < first.size()) {
                number.insert(0, first.size() - number.size(), '0');
            }
            if (!expandEntry(head + number, tail, nodes, message)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

bool parseNodeList(std::string_view text, std::vector<std::string> &nodes, std::string &message) {
    nodes.clear();
    while (!text.empty()) {
        // A comma inside brackets separates ranges, not entries.
        size_t end = 0;
        int depth = 0;
        while (end < text.size() && (text[end] != ',' || depth > 0)) {
            depth += text[end] == '[' ? 1 : text[end] == ']' ? -1 : 0;
            ++end;
        }
        const std::string_view entry = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (entry.empty()) {
            continue;
        }
        if (!expandEntry({}, entry, nodes, message)) {
            message.insert(0, "the node list '" + std::string(entry) + "': ");
            return false;
        }
    }
    if (nodes.empty()) {
        message = "the node list is empty";
        return false;
    }
    return true;
}

bool parseCpusPerNode(std::string_view text, size_t count, std::vector<int> &cpus,
                      std::string &message) {
    cpus.clear();
    const std::string given(text);
    while (!text.empty()) {
        const size_t comma = text.find(',');
        std::string_view entry = text.substr(0, comma);
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
        long repeat = 1;
        const size_t paren = entry.find("(x");
        if (paren != std::string_view::npos) {
            const std::string_view times = entry.substr(paren + 2);
            if (times.empty() || times.back() != ')' ||
                !digits(times.substr(0, times.size() - 1))) {
                cpus.clear();
                break;
            }
            repeat = numberOf(times.substr(0, times.size() - 1));
            entry = entry.substr(0, paren);
        }
        if (!digits(entry) || repeat < 1 ||
            static_cast<size_t>(repeat) > count - std::min(cpus.size(), count)) {
            cpus.clear();
            break;
        }
        cpus.insert(cpus.end(), static_cast<size_t>(repeat),
                    static_cast<int>(std::min<long>(numberOf(entry), INT_MAX)));
    }
    if (cpus.size() != count) {
        message = "SLURM_JOB_CPUS_PER_NODE '" + given + "' does not give the CPUs of " +
                  std::to_string(count) + " node" + (count == 1 ? "" : "s");
        return false;
    }
    return true;
}

std::vector<std::string> stepWords(const std::string &node, int cpus, const std::string &marker,
                                   const std::vector<std::string> &command) {
    // --exact: the step has its CPUs only. --overlap: the runner counts each node's CPUs itself,
    // and Slurm 22.05 loses the cores of steps that end after a node of the allocation was lost
    // ("unable to update job's core use information due to job resizing"), so that no further
    // step could be made anywhere. -QQ: srun says nothing of its own (not even a command's non-zero
    // exit), so the command's standard error is the command's alone. The step's shell takes the
    // marker and the command as its arguments: they are data, never read as shell code. Its own
    // standard error is /dev/null, so that its word on a command a signal ended ("Killed") is not
    // taken for the command's; the command, exec'd in a subshell, gets the step's standard error
    // back. The marker takes its name only once the status is written in it.
    static const char *const stepShell =
        "m=$1; shift; exec 3>&2 2>/dev/null; (exec \"$@\" 2>&3 3>&-); s=$?; "
        "echo $s >\"$m.t\" && mv -f \"$m.t\" \"$m\"; exit $s";
    std::vector<std::string> words = {"srun",
                                      "-QQ",
                                      "--nodes=1",
                                      "--ntasks=1",
                                      "--cpus-per-task=" + std::to_string(cpus),
                                      "--exact",
                                      "--overlap",
                                      "--nodelist=" + node,
                                      "--",
                                      "/bin/sh",
                                      "-c",
                                      stepShell,
                                      "sh",
                                      marker};
    words.insert(words.end(), command.begin(), command.end());
    return words;
}

SlurmRun::~SlurmRun() {
    finish();
}

bool SlurmRun::start(int jobsGiven, int cpus, std::string &message, bool &misuse) {
    misuse = true;
    cpusPerCommand = cpus;
    const char *job = getenv("SLURM_JOB_ID");
    if (job == nullptr || job[0] == '\0') {
        message = "--slurm runs the commands as steps of a Slurm allocation, and there is none "
                  "(SLURM_JOB_ID is not set): run fanrun inside salloc or sbatch";
        return false;
    }
    const char *list = getenv("SLURM_JOB_NODELIST");
    const char *perNode = getenv("SLURM_JOB_CPUS_PER_NODE");
    std::vector<std::string> names;
    std::vector<int> counts;
    if (list == nullptr || perNode == nullptr) {
        message = "the allocation's SLURM_JOB_NODELIST or SLURM_JOB_CPUS_PER_NODE is not set";
        return false;
    }
    if (!parseNodeList(list, names, message) ||
        !parseCpusPerNode(perNode, names.size(), counts, message)) {
        return false;
    }
    int slots = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        Login login;
        login.host = names[i];
        login.slots = counts[i] / cpusPerCommand;
        if (login.slots == 0) {
            continue; // too small for one command
        }
        nodes.add(login, login.slots);
        nodes.all().back().connected = true; // nothing to open: srun reaches it
        slots += std::min(login.slots, INT_MAX / 2 - slots);
    }
    if (slots == 0) {
        message = "no node of the allocation has " + std::to_string(cpusPerCommand) +
                  " CPUs for a command (--cpus-per-command)";
        return false;
    }
    const char *tasks = getenv("SLURM_NTASKS");
    jobs = jobsGiven > 0 ? jobsGiven
           : tasks != nullptr && digits(tasks) && numberOf(tasks) > 0
               ? static_cast<int>(numberOf(tasks))
               : slots;
    misuse = false;
    // srun's own failures end with this status, so that they are told from a step that ran.
    setenv("SLURM_EXIT_ERROR", std::to_string(srunFailed).c_str(), 1);
    std::string path = ".fanrun-steps-XXXXXX";
    if (mkdtemp(path.data()) == nullptr) {
        message = "cannot make the steps' folder in the current directory: " +
                  std::string(strerror(errno));
        return false;
    }
    char *absolute = realpath(path.c_str(), nullptr);
    if (absolute == nullptr) {
        message = "cannot find the steps' folder " + path + ": " + strerror(errno);
        rmdir(path.c_str());
        return false;
    }
    dir = absolute;
    free(absolute);
    return true;
}

int SlurmRun::maxRunning() const {
    return std::max(std::min(jobs, nodes.slots()), 1);
}

std::string SlurmRun::nextMarker() {
    return dir + "/" + std::to_string(++started);
}

bool SlurmRun::commandEnded(const std::string &marker, int &status) {
    // The step's shell names the marker only once its status is in it, so a marker is whole.
    char text[16] = {};
    FILE *file = fopen(marker.c_str(), "re");
    if (file == nullptr) {
        return false;
    }
    const size_t got = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    unlink(marker.c_str());
    int value = 0;
    size_t at = 0;
    for (; at < got && text[at] >= '0' && text[at] <= '9' && value <= 255; ++at) {
        value = value * 10 + (text[at] - '0');
    }
    if (at == 0 || at >= got || text[at] != '\n' || value > 255) {
        return false;
    }
    status = value;
    return true;
}

void SlurmRun::finish() {
    if (dir.empty()) {
        return;
    }
    // Markers of steps whose end the run never heard (it was stopped) go with the folder.
    if (DIR *folder = opendir(dir.c_str())) {
        while (const dirent *entry = readdir(folder)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
                unlinkat(dirfd(folder), entry->d_name, 0);
            }
        }
        closedir(folder);
    }
    rmdir(dir.c_str());
    dir.clear();
}

} // namespace fanrun_cli
