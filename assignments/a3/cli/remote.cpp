// Remote hosts: see remote.h.

#include "remote.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
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

} // namespace

void addOnce(std::vector<Login> &logins, Login login) {
    if (std::none_of(logins.begin(), logins.end(),
                     [&](const Login &known) { return known.host == login.host; })) {
        logins.push_back(std::move(login));
    }
}

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

} // namespace fanrun_cli
