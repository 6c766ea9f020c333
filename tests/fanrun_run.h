// Scratch folders, files, and the runner's front end started as a program, for the runner's test
// binaries.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

// For a test that needs what a developer's machine may lack (root, namespaces): a visible skip
// there, a failure in CI, where every such test must run.
#define SKIP_UNLESS_CI(reason)                                                                     \
    do {                                                                                           \
        if (getenv("CI") != nullptr) {                                                             \
            FAIL() << "cannot run in CI: " << reason;                                              \
        }                                                                                          \
        GTEST_SKIP() << reason;                                                                    \
    } while (0)

namespace fanrun_run {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// The built front end.
extern const std::string fanrunPath;

// The whole file; "" when it cannot be read.
std::string readFile(const fs::path &path);
void writeFile(const fs::path &path, const std::string &text);
// What the descriptor gives until end of file or an error; closes it.
std::string readAll(int fd);
// The text split at newlines, without them.
std::vector<std::string> lines(const std::string &text);
// The exit values (the fourth field) of a job log's end records, in the order they stand.
std::vector<std::string> endExitValues(const std::string &log);

// A scratch folder per test, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const fs::path &path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

struct Outcome {
    int status = -1; // as waitpid reports it
    std::string out;
    std::string err;

    bool exitedWith(int code) const;
    // The exit status, or 1000 plus the signal that ended the process.
    int code() const;
};

// A started child whose standard output and error go to files.
struct Program {
    pid_t pid = -1;
    std::string outPath;
    std::string errPath;

    // Waits for the child and reads its files (standard output only where it is a regular file).
    Outcome finish() const;
};

enum class Stream { File, Closed };

// How the front end is started: standard input from text or from a path, standard output and
// error to files unless a descriptor is given.
struct StartOptions {
    std::string input;         // standard input of the program
    std::string workDir;       // empty: stay here
    Stream out = Stream::File; // Closed: the program starts with descriptor 1 closed
    Stream err = Stream::File; // Closed: the program starts with descriptor 2 closed
    std::string inputPath;     // instead of input: open this path as standard input
    std::string outPath;       // standard output goes here (default: a file in the test's folder)
    int outFd = -1;            // instead of a file: this descriptor becomes standard output
    int errFd = -1;            // instead of a file: this descriptor becomes standard error
    rlim_t addressSpace = 0;   // RLIMIT_AS of the program; 0 leaves it alone
    std::vector<std::string> wrapper; // a program and its words that start fanrun (PATH searched)
    std::vector<std::string> environment; // NAME=VALUE entries added to the program's environment
    // The program leads a process group of its own beside the test's, in the test's session: a
    // group that job control can stop, wherever the test itself runs.
    bool ownGroup = false;
};

StartOptions fromInput(std::string text);

Program startFanrun(const TempDir &dir, const std::vector<std::string> &arguments,
                    const StartOptions &options = {});
Outcome runFanrun(const TempDir &dir, const std::vector<std::string> &arguments,
                  const StartOptions &options = {});

// One line of a final or full report.
struct ReportLine {
    int pid = 0;
    int exitStatus = 0;
    std::string command;
};

// The report a run with these records prints: the header line, then one line per record.
std::string expectedReport(const std::string &header, const std::vector<ReportLine> &records);

// One record line of a report, "pid 1 exit-code command"; false for anything else.
bool parseReportLine(const std::string &line, ReportLine *record);

// Splits a complete final report into its header (kept in *header unless it is null) and its
// record lines; fails the test on a malformed line.
std::vector<ReportLine> parseRecords(const std::string &text, std::string *header = nullptr);

// What the command of a report line wrote to standard output, in the run's output folder.
std::string commandOutput(const std::string &outputDir, const ReportLine &record);

// The mask line of /proc/PID/status, e.g. "SigCgt"; 0 when the process is gone.
unsigned long long statusMask(pid_t pid, const std::string &field);
unsigned long long signalBit(int signum);
// Both report signals' bits.
extern const unsigned long long reportBits;
// Waits until a signal sent to pid is no longer pending there, i.e. it has been delivered.
bool delivered(pid_t pid, int signum);

// Polls until condition holds; false after the deadline.
bool eventually(const std::function<bool()> &condition,
                std::chrono::milliseconds limit = std::chrono::seconds(20),
                std::chrono::milliseconds poll = std::chrono::milliseconds(1));

// A small tmpfs over an existing folder (root only), unmounted again at the end.
class SmallTmpfs {
  public:
    SmallTmpfs(const std::string &where, const std::string &size);
    ~SmallTmpfs();
    SmallTmpfs(const SmallTmpfs &) = delete;
    SmallTmpfs &operator=(const SmallTmpfs &) = delete;
    bool mounted() const { return mounted_; }
    int error() const { return error_; }

  private:
    std::string where_;
    bool mounted_ = false;
    int error_ = 0;
};

// Real ssh hosts of tests/ssh/hosts.sh for a suite: host2 .. host(count+1) in a folder and on a
// port of the suite's own (20000 + (pid + salt) mod 20000), refuse naming the hosts that refuse
// logins ("5", or empty); stopped by pid when it goes.
class SshHosts {
  public:
    SshHosts(std::string script, int count, int salt, std::string refuse = "");
    ~SshHosts();
    SshHosts(const SshHosts &) = delete;
    SshHosts &operator=(const SshHosts &) = delete;
    bool up() const { return up_; }
    // What the start said (why it failed).
    std::string startLog() const;
    // The environment words that name the folder, the port and the refusing hosts to hosts.sh.
    std::string environment() const;
    // The hosts' folder ($SYSKIT_SSH_DIR): keys, configurations, logs, homes.
    std::string dir() const { return dir_ / "hosts"; }
    // The ssh command that reaches them, for --ssh.
    std::string ssh() const { return "ssh -F " + dir() + "/ssh_config"; }
    // Ends host K and every connection it serves.
    void kill(int k) const;

  private:
    std::string script_;
    std::string refuse_;
    TempDir dir_;
    int port_ = 0;
    bool up_ = false;
};

} // namespace fanrun_run
