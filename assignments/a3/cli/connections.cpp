// The shared connections and the run over hosts: see remote.h. Their ssh processes (the probe,
// the base files, the removal and the close) run as small runs of the library, their output
// collected in files, the library's closing report of each sent to /dev/null.

#include "remote.h"

#include "fanrun.h"
#include "fanrun_params.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

// A process of the connections' own (never during the run): its words, its output and errors
// in an unlinked file of the folder, read back once it has ended.
struct Helper {
    std::vector<std::string> words;
    size_t host = 0;
    int file = -1;
    int status = -1; // its exit status; -1 when it did not exit, or never started
    std::string output;
};

Helper helperOf(std::vector<std::string> words, size_t host) {
    Helper helper;
    helper.words = std::move(words);
    helper.host = host;
    return helper;
}

// The source of a run of helpers: each in turn, its record's index telling which one ended.
struct HelperBatch {
    std::vector<Helper> *helpers = nullptr;
    size_t next = 0;
    std::vector<size_t> started; // by record index
    std::vector<char *> argv;    // of the helper last handed out
};

int helperNext(void *context, FANRUN_COMMAND *command) {
    HelperBatch &batch = *static_cast<HelperBatch *>(context);
    std::vector<Helper> &helpers = *batch.helpers;
    while (batch.next < helpers.size() && helpers[batch.next].file < 0) {
        ++batch.next; // no file for its output: said already, never started
    }
    if (batch.next >= helpers.size()) {
        return FANRUN_NEXT_END;
    }
    Helper &helper = helpers[batch.next];
    command->command = strdup(helper.words.front().c_str());
    if (command->command == nullptr) {
        return FANRUN_NEXT_END; // the rest keep status -1
    }
    ++batch.next;
    batch.argv.clear();
    for (std::string &word : helper.words) {
        batch.argv.push_back(word.data());
    }
    batch.argv.push_back(nullptr);
    command->argv = batch.argv.data();
    command->outFd = helper.file;
    command->errFd = helper.file;
    return FANRUN_NEXT_COMMAND;
}

void helperStarted(void *context, const FANRUN_EVENT *event) {
    HelperBatch &batch = *static_cast<HelperBatch *>(context);
    batch.started.resize(std::max(batch.started.size(), static_cast<size_t>(event->index) + 1));
    batch.started[static_cast<size_t>(event->index)] = batch.next - 1;
}

int helperEnded(void *context, const FANRUN_EVENT *event) {
    HelperBatch &batch = *static_cast<HelperBatch *>(context);
    Helper &helper = (*batch.helpers)[batch.started[static_cast<size_t>(event->index)]];
    helper.status = WIFEXITED(event->status) ? WEXITSTATUS(event->status) : -1;
    return FANRUN_HALT_NEVER;
}

// What the helper wrote, up to 64 KiB; closes its file.
void readHelper(Helper &helper) {
    char buffer[4096];
    ssize_t got = 0;
    while (helper.output.size() < 65536 &&
           ((got = pread(helper.file, buffer, sizeof buffer,
                         static_cast<off_t>(helper.output.size()))) > 0 ||
            (got < 0 && errno == EINTR))) {
        if (got > 0) {
            helper.output.append(buffer, static_cast<size_t>(got));
        }
    }
    close(helper.file);
    helper.file = -1;
}

// Runs every helper through the library, at most atOnce at a time, and fills in their statuses
// and outputs. A helper that cannot be started says why in its output, with status -1 (or 127
// from the library for a program not found). The library's closing report goes to /dev/null:
// standard output is flushed first and given back after.
void runHelpers(std::vector<Helper> &helpers, const std::string &dir, int atOnce) {
    for (Helper &helper : helpers) {
        std::string path = dir + "/out-XXXXXX";
        helper.file = mkostemp(path.data(), O_CLOEXEC);
        if (helper.file < 0) {
            helper.output = std::string("cannot make a file for ssh's output: ") + strerror(errno);
            continue;
        }
        unlink(path.c_str());
    }
    fflush(stdout);
    const int saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int empty = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const bool quiet = saved >= 0 && empty >= 0 && dup2(empty, STDOUT_FILENO) == STDOUT_FILENO;
    const int error = errno;
    if (empty >= 0) {
        close(empty);
    }
    if (quiet) {
        const PARALLEL_PARAMS kept = pparams;
        pparams.maxNumRunning = std::max(atOnce, 1);
        pparams.outputDir = nullptr;
        FANRUN_OPTIONS options{};
        options.nullInput = 1;
        fanrunSetOptions(&options);
        HelperBatch batch;
        batch.helpers = &helpers;
        const FANRUN_SOURCE source{helperNext, helperStarted, helperEnded, &batch,
                                   static_cast<int>(helpers.size())};
        fanrunSetSource(&source);
        runParallel();
        fanrunSetSource(nullptr);
        fanrunSetOptions(nullptr);
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        pparams = kept;
    }
    if (saved >= 0) {
        close(saved);
    }
    for (Helper &helper : helpers) {
        if (helper.file < 0) {
            continue;
        }
        if (!quiet) {
            helper.output = std::string("cannot start ssh: ") + strerror(error);
        }
        readHelper(helper);
    }
}

// The first line of text that is not blank, without its blanks around.
std::string firstLine(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n\v\f";
    const size_t start = text.find_first_not_of(blanks);
    if (start == std::string_view::npos) {
        return {};
    }
    text.remove_prefix(start);
    text = text.substr(0, text.find('\n'));
    return std::string(text.substr(0, text.find_last_not_of(blanks) + 1));
}

} // namespace

Connections::~Connections() {
    if (!dir_.empty()) {
        rmdir(dir_.c_str());
    }
}

bool Connections::open(std::string &message) {
    // A socket's path must fit sun_path: a long TMPDIR gives way to /tmp.
    const char *tmp = getenv("TMPDIR");
    std::string base = tmp != nullptr && tmp[0] == '/' && strlen(tmp) < 40 ? tmp : "/tmp";
    std::string path = base + "/fanrun-ssh-XXXXXX";
    if (mkdtemp(path.data()) == nullptr) {
        message =
            "cannot make a folder for the ssh connections in " + base + ": " + strerror(errno);
        return false;
    }
    dir_ = path;
    return true;
}

void Connections::connect(Hosts &hosts, const std::vector<std::string> &ssh,
                          const std::vector<FileRoute> &base, const std::string &baseDir) {
    // The probe prints the processor count; it also leaves the shared connection up.
    const std::string probe =
        remoteShellCommand("nproc 2>/dev/null || getconf _NPROCESSORS_ONLN 2>/dev/null || echo 1");
    std::vector<Host> &all = hosts.all();
    std::vector<Helper> probes;
    for (size_t index = 0; index < all.size(); ++index) {
        if (!all[index].login.local()) {
            probes.push_back(helperOf(sshWords(ssh, dir_, all[index].login.host, probe), index));
        }
    }
    runHelpers(probes, dir_, maxOpening);
    for (const Helper &helper : probes) {
        Host &host = all[helper.host];
        const int processors = processorsIn(helper.output);
        if (helper.status != 0 || processors == 0) {
            fprintf(stderr, "fanrun: host %s left out: it cannot be reached (ssh exit %d): %s\n",
                    host.login.host.c_str(), helper.status, firstLine(helper.output).c_str());
            host.leftOut = true;
            continue;
        }
        host.connected = true;
        if (host.slots == 0) {
            host.slots = processors;
        }
    }
    sendBase(all, ssh, base, baseDir);
}

void Connections::sendBase(std::vector<Host> &all, const std::vector<std::string> &ssh,
                           const std::vector<FileRoute> &base, const std::string &baseDir) {
    std::vector<Helper> sending;
    for (size_t index = 0; index < all.size(); ++index) {
        Host &host = all[index];
        host.basefilesSent = base.empty() || host.login.local();
        if (host.basefilesSent || host.leftOut) {
            continue;
        }
        HostFiles files;
        files.host = host.login.host;
        files.ssh = sshWords(ssh, dir_, host.login.host, "");
        files.ssh.pop_back();
        files.workdir = baseDir;
        files.sends = base;
        sending.push_back(helperOf({"bash", "-c", transferScript(files, "")}, index));
    }
    runHelpers(sending, dir_, maxOpening);
    for (const Helper &helper : sending) {
        Host &host = all[helper.host];
        if (helper.status != 0) {
            fprintf(stderr, "fanrun: host %s left out: its base files could not be sent: %s\n",
                    host.login.host.c_str(), firstLine(helper.output).c_str());
            host.leftOut = true;
            continue;
        }
        host.basefilesSent = true;
    }
}

void Connections::close(const Hosts &hosts, const std::vector<std::string> &ssh,
                        const std::vector<std::string> &removals) {
    if (dir_.empty()) {
        return;
    }
    std::vector<Helper> removing;
    std::vector<Helper> closing;
    for (size_t index = 0; index < hosts.all().size(); ++index) {
        const Host &host = hosts.all()[index];
        if (host.login.local()) {
            continue;
        }
        if (!removals.empty() && host.basefilesSent && !host.leftOut) {
            removing.push_back(helperOf(
                sshWords(ssh, dir_, host.login.host, "rm -rf -- " + shellWords(removals)), index));
        }
        // A host whose connection never came up has no master to close: ssh says so, quietly.
        closing.push_back(helperOf(sshExitWords(ssh, dir_, host.login.host), index));
    }
    runHelpers(removing, dir_, maxOpening);
    for (const Helper &helper : removing) {
        if (helper.status != 0) {
            fprintf(stderr, "fanrun: cannot remove the base files on %s: %s\n",
                    hosts.all()[helper.host].login.host.c_str(), firstLine(helper.output).c_str());
        }
    }
    runHelpers(closing, dir_, maxOpening);
    // Sockets of masters that could not be told remain; the folder goes with what is left.
    rmdir(dir_.c_str());
    dir_.clear();
}

bool RemoteRun::start(const std::vector<const char *> &lists, const char *path,
                      const char *sshCommand, std::string &message) {
    std::vector<Login> logins;
    for (const char *list : lists) {
        if (!parseLogins(list, logins, message)) {
            message.insert(0, "-S: ");
            return false;
        }
    }
    if (path != nullptr) {
        file = LoginFile(path);
        std::vector<Login> listed;
        if (!file.reread(listed, message)) {
            return false;
        }
        for (Login &login : listed) {
            addOnce(logins, std::move(login));
        }
    }
    if (logins.empty()) {
        message = "no host to run the commands on: the host list is empty";
        return false;
    }
    ssh = sshCommandWords(sshCommand != nullptr ? sshCommand : "ssh");
    for (const Login &login : logins) {
        hosts.add(login, login.local() ? localSlots : jobs);
    }
    if (!connections.open(message)) {
        return false;
    }
    connections.connect(hosts, ssh, basefiles, baseDir);
    if (hosts.usable() == 0 && !file.given()) {
        message = "no host can be reached; nothing was run";
        return false;
    }
    return true;
}

int RemoteRun::maxRunning() const {
    // Hosts that join later need room the runner keeps from the start.
    constexpr int roomToJoin = 1024;
    return std::max(hosts.slots() + (file.given() ? roomToJoin : 0), 1);
}

void RemoteRun::refresh() {
    if (!file.given()) {
        return;
    }
    std::vector<Login> logins;
    std::string message;
    if (!file.reread(logins, message)) {
        if (!message.empty()) {
            fprintf(stderr, "fanrun: %s; the hosts stay as they were\n", message.c_str());
        }
        return;
    }
    std::vector<bool> before;
    for (const Host &host : hosts.all()) {
        before.push_back(host.listed);
    }
    for (int index : hosts.relist(logins, jobs, localSlots)) {
        fprintf(stderr, "fanrun: host %s joins the run\n",
                hosts.all()[static_cast<size_t>(index)].login.host.c_str());
    }
    for (size_t i = 0; i < before.size(); ++i) {
        Host &host = hosts.all()[i];
        if (before[i] && !host.listed && !host.leftOut) {
            fprintf(stderr, "fanrun: host %s leaves the run: no new command starts there\n",
                    host.login.host.c_str());
        } else if (!before[i] && host.listed) {
            // Listed again: a fresh start, its failures forgotten.
            host.leftOut = false;
            host.failuresInRow = 0;
            fprintf(stderr, "fanrun: host %s joins the run again\n", host.login.host.c_str());
        }
    }
}

void RemoteRun::finish() {
    std::vector<std::string> removals;
    if (cleanup) {
        for (const FileRoute &route : basefiles) {
            removals.push_back(remotePath(route, baseDir));
        }
    }
    connections.close(hosts, ssh, removals);
}
} // namespace fanrun_cli
