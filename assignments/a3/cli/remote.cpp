// Remote hosts: see remote.h.

#include "remote.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fanrun_cli {

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// One entry, trimmed and not empty.
bool parseLogin(std::string_view entry, Login &login, std::string &message) {
    login = Login{};
    const size_t slash = entry.find('/');
    if (slash != std::string_view::npos) {
        const std::string_view count = entry.substr(0, slash);
        long value = 0;
        bool whole = !count.empty() && count.size() <= 9;
        for (char c : count) {
            whole = whole && c >= '0' && c <= '9';
            value = value * 10 + (c - '0');
        }
        if (!whole || value < 1) {
            message = "a host's job slots must be a whole number from 1, not '" +
                      std::string(count) + "' in '" + std::string(entry) + "'";
            return false;
        }
        login.slots = static_cast<int>(value);
        entry.remove_prefix(slash + 1);
    }
    if (entry.empty() || entry.front() == '-' ||
        std::any_of(entry.begin(), entry.end(), [](char c) {
            return blank(c) || c == '\'' || c == '"' || c == '\\' || c == '/';
        })) {
        message = "'" + std::string(entry) + "' is not a host";
        return false;
    }
    login.host = std::string(entry);
    return true;
}

void addOnce(std::vector<Login> &logins, Login login) {
    if (std::none_of(logins.begin(), logins.end(),
                     [&](const Login &known) { return known.host == login.host; })) {
        logins.push_back(std::move(login));
    }
}

} // namespace

bool parseLogins(std::string_view text, std::vector<Login> &logins, std::string &message) {
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view entry = trimmed(text.substr(0, comma));
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
        if (entry.empty()) {
            continue;
        }
        Login login;
        if (!parseLogin(entry, login, message)) {
            return false;
        }
        addOnce(logins, std::move(login));
    }
    return true;
}

bool parseLoginFile(std::string_view contents, std::vector<Login> &logins, std::string &message) {
    long line = 0;
    while (!contents.empty()) {
        ++line;
        const size_t end = contents.find('\n');
        const std::string_view text = trimmed(contents.substr(0, end));
        contents.remove_prefix(end == std::string_view::npos ? contents.size() : end + 1);
        if (text.empty() || text.front() == '#') {
            continue;
        }
        if (!parseLogins(text, logins, message)) {
            message.insert(0, "line " + std::to_string(line) + ": ");
            return false;
        }
    }
    return true;
}

std::string remoteQuote(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string remoteShellCommand(std::string_view command) {
    return "exec bash -c " + remoteQuote(command);
}

std::string wordsCode(const std::vector<std::string> &words) {
    // bash there sees the words quoted as words, and starts the program with them as they are.
    std::string command = "exec";
    for (const std::string &word : words) {
        command += ' ';
        command += remoteQuote(word);
    }
    return command;
}

std::string remoteWordsCommand(const std::vector<std::string> &words) {
    return remoteShellCommand(wordsCode(words));
}

std::vector<std::string> sshCommandWords(std::string_view command) {
    std::vector<std::string> words;
    while (!command.empty()) {
        const auto start = std::find_if_not(command.begin(), command.end(), blank);
        const auto end = std::find_if(start, command.end(), blank);
        if (start != end) {
            words.emplace_back(start, end);
        }
        command.remove_prefix(static_cast<size_t>(end - command.begin()));
    }
    if (words.empty()) {
        words.emplace_back("ssh");
    }
    return words;
}

static void addShared(std::vector<std::string> &words, const std::string &controlDir) {
    // The first command (or the probe before the run) becomes the master and stays in the
    // background; every later one rides on it. BatchMode: a password prompt would only hang.
    for (const char *option : {"ControlMaster=auto", "ControlPersist=yes", "BatchMode=yes"}) {
        words.emplace_back("-o");
        words.emplace_back(option);
    }
    words.emplace_back("-o");
    words.emplace_back("ControlPath=" + controlDir + "/%C");
}

std::vector<std::string> sshWords(const std::vector<std::string> &ssh,
                                  const std::string &controlDir, const std::string &host,
                                  const std::string &remote) {
    std::vector<std::string> words = ssh;
    addShared(words, controlDir);
    words.push_back(host);
    words.push_back(remote);
    return words;
}

std::vector<std::string> sshExitWords(const std::vector<std::string> &ssh,
                                      const std::string &controlDir, const std::string &host) {
    std::vector<std::string> words = ssh;
    words.emplace_back("-o");
    words.emplace_back("ControlPath=" + controlDir + "/%C");
    words.emplace_back("-O");
    words.emplace_back("exit");
    words.push_back(host);
    return words;
}

int processorsIn(std::string_view output) {
    int found = 0;
    while (!output.empty()) {
        const size_t end = output.find('\n');
        const std::string_view line = trimmed(output.substr(0, end));
        output.remove_prefix(end == std::string_view::npos ? output.size() : end + 1);
        if (line.empty() || line.size() > 6 ||
            !std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        found = std::atoi(std::string(line).c_str());
    }
    return found;
}

void Hosts::add(const Login &login, int slots) {
    Host host;
    host.login = login;
    host.slots = login.slots > 0 ? login.slots : std::max(slots, 0);
    host.connected = login.local();
    hosts_.push_back(std::move(host));
}

int Hosts::choose(int avoid) const {
    int best = -1;
    int bestFree = 0;
    bool othersLeft = false; // another host may take it later
    for (size_t i = 0; i < hosts_.size(); ++i) {
        const Host &host = hosts_[i];
        if (host.leftOut || !host.listed) {
            continue;
        }
        const int room = host.connected ? host.slots : 1;
        const int free = room - host.running;
        if (static_cast<int>(i) == avoid) {
            continue;
        }
        othersLeft = true;
        if (free > bestFree) {
            best = static_cast<int>(i);
            bestFree = free;
        }
    }
    if (best >= 0 || othersLeft || avoid < 0) {
        return best;
    }
    // The host to avoid takes it only when no other host is left to run it.
    const Host &host = hosts_[static_cast<size_t>(avoid)];
    const int room = host.connected ? host.slots : 1;
    return !host.leftOut && host.listed && room > host.running ? avoid : -1;
}

bool Hosts::takes(int index) const {
    const Host &host = hosts_[static_cast<size_t>(index)];
    const int room = host.connected ? host.slots : 1;
    return !host.leftOut && host.listed && room > host.running;
}

int Hosts::usable() const {
    return static_cast<int>(std::count_if(hosts_.begin(), hosts_.end(), [](const Host &host) {
        return !host.leftOut && host.listed;
    }));
}

int Hosts::slots() const {
    int total = 0;
    for (const Host &host : hosts_) {
        if (!host.leftOut && host.listed) {
            total += std::min(host.slots, INT_MAX / 2 - total);
        }
    }
    return total;
}

bool Hosts::ended(int index, bool lost) {
    Host &host = hosts_[static_cast<size_t>(index)];
    --host.running;
    if (host.login.local()) {
        return false;
    }
    if (!lost) {
        host.failuresInRow = 0;
        host.connected = true;
        return false;
    }
    host.connected = false;
    if (!host.leftOut && ++host.failuresInRow >= hostFailureLimit) {
        host.leftOut = true;
        return true;
    }
    return false;
}

std::vector<int> Hosts::relist(const std::vector<Login> &logins, int jobs, int localSlots) {
    std::vector<int> joined;
    for (Host &host : hosts_) {
        host.listed = false;
    }
    for (const Login &login : logins) {
        auto found = std::find_if(hosts_.begin(), hosts_.end(),
                                  [&](const Host &host) { return host.login.host == login.host; });
        if (found != hosts_.end()) {
            found->listed = true;
            if (login.slots > 0) {
                found->slots = login.slots;
            }
            continue;
        }
        // A processor count cannot be asked while the run goes on: N/, -j, or one slot.
        add(login, login.local() ? localSlots : jobs > 0 ? jobs : 1);
        joined.push_back(static_cast<int>(hosts_.size()) - 1);
    }
    return joined;
}

bool LoginFile::reread(std::vector<Login> &logins, std::string &message) {
    message.clear();
    struct stat status {};
    if (stat(path_.c_str(), &status) != 0) {
        message = "cannot read the host file " + path_ + ": " + strerror(errno);
        return false;
    }
    if (size_ == static_cast<long long>(status.st_size) && mtime_.tv_sec == status.st_mtim.tv_sec &&
        mtime_.tv_nsec == status.st_mtim.tv_nsec) {
        return false;
    }
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    std::string contents;
    bool read = fd >= 0;
    char buffer[4096];
    while (read) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            read = got == 0;
            break;
        }
        contents.append(buffer, static_cast<size_t>(got));
    }
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!read) {
        message = "cannot read the host file " + path_ + ": " + strerror(error);
        return false;
    }
    std::vector<Login> parsed;
    if (!parseLoginFile(contents, parsed, message)) {
        message.insert(0, path_ + ": ");
        return false;
    }
    size_ = static_cast<long long>(status.st_size);
    mtime_ = status.st_mtim;
    logins = std::move(parsed);
    return true;
}

namespace {

// A process of the connections' own (never during the run): its output and errors in an unlinked
// file of the folder, read back once it has ended.
struct Helper {
    pid_t pid = -1;
    int file = -1;
    size_t host = 0;
};

bool startHelper(const std::vector<std::string> &words, const std::string &dir, Helper &helper) {
    std::string path = dir + "/out-XXXXXX";
    helper.file = mkostemp(path.data(), O_CLOEXEC);
    if (helper.file < 0) {
        return false;
    }
    unlink(path.c_str());
    std::vector<char *> argv;
    argv.reserve(words.size() + 1);
    for (const std::string &word : words) {
        argv.push_back(const_cast<char *>(word.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, helper.file, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, helper.file, STDERR_FILENO);
    const int error = posix_spawnp(&helper.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        helper.pid = -1;
        const std::string note = std::string(argv[0]) + ": " + strerror(error) + "\n";
        (void)!write(helper.file, note.data(), note.size());
    }
    return true;
}

// Waits for the helper and reads what it wrote; its exit status, or -1.
int finishHelper(Helper &helper, std::string &output) {
    int status = 0;
    bool waited = false;
    if (helper.pid > 0) {
        while (!(waited = waitpid(helper.pid, &status, 0) == helper.pid) && errno == EINTR) {
        }
    }
    output.clear();
    char buffer[4096];
    ssize_t got = 0;
    while ((got = pread(helper.file, buffer, sizeof buffer, static_cast<off_t>(output.size()))) >
               0 ||
           (got < 0 && errno == EINTR)) {
        if (got > 0 && output.size() < 65536) {
            output.append(buffer, static_cast<size_t>(got));
        } else if (got > 0) {
            break;
        }
    }
    close(helper.file);
    helper.file = -1;
    return waited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string firstLine(std::string_view text) {
    text = trimmed(text);
    return std::string(text.substr(0, text.find('\n')));
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
    std::vector<Helper> opening;
    size_t next = 0;
    std::vector<Host> &all = hosts.all();
    while (next < all.size() || !opening.empty()) {
        while (next < all.size() && static_cast<int>(opening.size()) < maxOpening) {
            const size_t index = next++;
            if (all[index].login.local()) {
                continue;
            }
            Helper helper;
            helper.host = index;
            if (!startHelper(sshWords(ssh, dir_, all[index].login.host, probe), dir_, helper)) {
                fprintf(stderr, "fanrun: host %s left out: cannot start ssh: %s\n",
                        all[index].login.host.c_str(), strerror(errno));
                all[index].leftOut = true;
                continue;
            }
            opening.push_back(helper);
        }
        if (opening.empty()) {
            continue;
        }
        Helper helper = opening.front();
        opening.erase(opening.begin());
        std::string output;
        const int status = finishHelper(helper, output);
        Host &host = all[helper.host];
        const int processors = processorsIn(output);
        if (status != 0 || processors == 0) {
            fprintf(stderr, "fanrun: host %s left out: it cannot be reached (ssh exit %d): %s\n",
                    host.login.host.c_str(), status, firstLine(output).c_str());
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
        Helper helper;
        helper.host = index;
        if (!startHelper({"bash", "-c", transferScript(files, "")}, dir_, helper)) {
            fprintf(stderr, "fanrun: host %s left out: cannot start bash: %s\n",
                    host.login.host.c_str(), strerror(errno));
            host.leftOut = true;
            continue;
        }
        sending.push_back(helper);
    }
    for (Helper &helper : sending) {
        std::string output;
        const int status = finishHelper(helper, output);
        Host &host = all[helper.host];
        if (status != 0) {
            fprintf(stderr, "fanrun: host %s left out: its base files could not be sent: %s\n",
                    host.login.host.c_str(), firstLine(output).c_str());
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
    for (const Host &host : hosts.all()) {
        if (host.login.local()) {
            continue;
        }
        if (!removals.empty() && host.basefilesSent && !host.leftOut) {
            Helper helper;
            if (startHelper(
                    sshWords(ssh, dir_, host.login.host, "rm -rf -- " + shellWords(removals)), dir_,
                    helper)) {
                std::string output;
                if (finishHelper(helper, output) != 0) {
                    fprintf(stderr, "fanrun: cannot remove the base files on %s: %s\n",
                            host.login.host.c_str(), firstLine(output).c_str());
                }
            }
        }
        // A host whose connection never came up has no master to close: ssh says so, quietly.
        Helper helper;
        if (startHelper(sshExitWords(ssh, dir_, host.login.host), dir_, helper)) {
            std::string output;
            finishHelper(helper, output);
        }
    }
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
