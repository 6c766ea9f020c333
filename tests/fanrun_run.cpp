#include "fanrun_run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fanrun_run {

const std::string fanrunPath = std::string(SYSKIT_BIN_DIR) + "/fanrun";

std::string readFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readAll(int fd) {
    std::string text;
    char buffer[65536];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return text;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

std::vector<std::string> endExitValues(const std::string &log) {
    std::vector<std::string> values;
    for (const std::string &line : lines(log)) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) {
            fields.push_back(field);
        }
        if (fields.size() > 3 && fields[0] == "end") {
            values.push_back(fields[3]);
        }
    }
    return values;
}

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "fanrun_test.XXXXXX").string();
    path_ = mkdtemp(pattern.data());
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

bool Outcome::exitedWith(int code) const {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

int Outcome::code() const {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

Outcome Program::finish() const {
    Outcome outcome;
    waitpid(pid, &outcome.status, 0);
    if (fs::is_regular_file(outPath)) {
        outcome.out = readFile(outPath);
    }
    outcome.err = readFile(errPath);
    return outcome;
}

StartOptions fromInput(std::string text) {
    StartOptions options;
    options.input = std::move(text);
    return options;
}

Program startFanrun(const TempDir &dir, const std::vector<std::string> &arguments,
                    const StartOptions &options) {
    Program program;
    program.outPath = options.outPath.empty() ? dir / "fanrun.out" : options.outPath;
    program.errPath = dir / "fanrun.err";
    const std::string inPath = options.inputPath.empty() ? dir / "fanrun.in" : options.inputPath;
    if (options.inputPath.empty()) {
        writeFile(inPath, options.input);
    }
    std::vector<char *> argv;
    for (const std::string &word : options.wrapper) {
        argv.push_back(const_cast<char *>(word.c_str()));
    }
    argv.push_back(const_cast<char *>(fanrunPath.c_str()));
    for (const std::string &argument : arguments) {
        argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    program.pid = fork();
    if (program.pid == 0) {
        if (options.ownGroup) {
            setpgid(0, 0);
        }
        int in = open(inPath.c_str(), O_RDONLY);
        int out = open(program.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(program.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        close(in);
        close(out);
        close(err);
        if (options.outFd >= 0) {
            dup2(options.outFd, STDOUT_FILENO);
            close(options.outFd);
        }
        if (options.errFd >= 0) {
            dup2(options.errFd, STDERR_FILENO);
            close(options.errFd);
        }
        if (options.out == Stream::Closed) {
            close(STDOUT_FILENO);
        }
        if (options.err == Stream::Closed) {
            close(STDERR_FILENO);
        }
        if (options.addressSpace != 0) {
            rlimit limit{options.addressSpace, options.addressSpace};
            setrlimit(RLIMIT_AS, &limit);
        }
        for (const std::string &entry : options.environment) {
            putenv(const_cast<char *>(entry.c_str()));
        }
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) {
            _exit(126);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return program;
}

Outcome runFanrun(const TempDir &dir, const std::vector<std::string> &arguments,
                  const StartOptions &options) {
    return startFanrun(dir, arguments, options).finish();
}

std::vector<ReportLine> parseRecords(const std::string &text, std::string *header) {
    std::vector<std::string> all = lines(text);
    std::vector<ReportLine> records;
    if (header != nullptr) {
        *header = all.empty() ? "" : all.front();
    }
    for (size_t i = 1; i < all.size(); ++i) {
        ReportLine record;
        if (!parseReportLine(all[i], &record)) {
            ADD_FAILURE() << "not a report line: " << all[i].substr(0, 200);
            continue;
        }
        records.push_back(record);
    }
    return records;
}

std::string expectedReport(const std::string &header, const std::vector<ReportLine> &records) {
    std::string text = header + "\n";
    for (const ReportLine &record : records) {
        text += std::to_string(record.pid) + " 1 " + std::to_string(record.exitStatus) + " " +
                record.command + "\n";
    }
    return text;
}

bool parseReportLine(const std::string &line, ReportLine *record) {
    // Parsed by hand: a command may be far longer than a regular expression engine's stack.
    std::istringstream fields(line);
    std::string exited;
    if (!(fields >> record->pid >> exited >> record->exitStatus) || exited != "1" ||
        fields.get() != ' ') {
        return false;
    }
    std::getline(fields, record->command);
    return true;
}

std::string commandOutput(const std::string &outputDir, const ReportLine &record) {
    return readFile(fs::path(outputDir) / (std::to_string(record.pid) + ".stdout"));
}

unsigned long long statusMask(pid_t pid, const std::string &field) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoull(line.substr(field.size() + 1), nullptr, 16);
        }
    }
    return 0;
}

unsigned long long signalBit(int signum) {
    return 1ULL << (signum - 1);
}

const unsigned long long reportBits = signalBit(SIGUSR1) | signalBit(SIGUSR2);

bool delivered(pid_t pid, int signum) {
    return eventually([&] {
        return ((statusMask(pid, "ShdPnd") | statusMask(pid, "SigPnd")) & signalBit(signum)) == 0;
    });
}

bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds limit,
                std::chrono::milliseconds poll) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

SmallTmpfs::SmallTmpfs(const std::string &where, const std::string &size) : where_(where) {
    mounted_ =
        mount("tmpfs", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, ("size=" + size).c_str()) == 0;
    error_ = errno;
}

SmallTmpfs::~SmallTmpfs() {
    if (mounted_) {
        umount2(where_.c_str(), MNT_DETACH);
    }
}

SshHosts::SshHosts(std::string script, int count, int salt, std::string refuse)
    : script_(std::move(script)), refuse_(std::move(refuse)),
      port_(20000 + static_cast<int>((getpid() + salt) % 20000)) {
    const std::string start = environment() + " bash " + script_ + " start " +
                              std::to_string(count) + " >" + (dir_ / "start.log") + " 2>&1";
    up_ = std::system(start.c_str()) == 0;
}

SshHosts::~SshHosts() {
    std::system((environment() + " bash " + script_ + " stop").c_str());
}

std::string SshHosts::startLog() const {
    return readFile(dir_ / "start.log");
}

std::string SshHosts::environment() const {
    return "SYSKIT_SSH_DIR=" + dir() + " SYSKIT_SSH_PORT=" + std::to_string(port_) +
           " SYSKIT_SSH_REFUSE='" + refuse_ + "'";
}

void SshHosts::kill(int k) const {
    std::system((environment() + " bash " + script_ + " kill " + std::to_string(k)).c_str());
}

} // namespace fanrun_run
