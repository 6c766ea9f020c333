// Remote hosts: the hosts of -S and --sshloginfile, their job slots, and how a command is wrapped
// to run on one of them through ssh (one shared connection per host). The pure parts (reading the
// host lists, the quoting for the remote shell, the ssh words of a command) need nothing of the
// rest of the front end, so their tests build them alone. Private to the program.
#ifndef FANRUN_CLI_REMOTE_H
#define FANRUN_CLI_REMOTE_H

#include "transfer.h"

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace fanrun_cli {

// One entry of a host list: "[N/]HOST", or ":" for this machine.
struct Login {
    std::string host; // as ssh takes it ([user@]name); ":" for this machine
    int slots = 0;    // N/, or 0: -j, else the host's processor count
    bool local() const { return host == ":"; }
    bool operator==(const Login &other) const = default;
};

// Appends the entries of "[N/]HOST[,[N/]HOST]..." to logins; empty entries are skipped. False,
// with message, for a bad N/ (not a whole number from 1) or a host with spaces or quotes in it
// (which ssh would read as options or several words).
bool parseLogins(std::string_view text, std::vector<Login> &logins, std::string &message);

// The entries of a --sshloginfile: one list per line as for -S; blank lines and lines starting
// with '#' are skipped. A host given twice keeps its first entry. False, with message naming the
// line, for a bad one.
bool parseLoginFile(std::string_view contents, std::vector<Login> &logins, std::string &message);

// Appends login to logins unless its host is there already (the first entry of a host counts).
void addOnce(std::vector<Login> &logins, Login login);

// text in single quotes for a POSIX shell (sh, dash, bash, zsh, ksh): every byte stands for
// itself, a single quote as '\''. The remote login shell reads what ssh sends it this way.
std::string remoteQuote(std::string_view text);

// What ssh sends the remote login shell so that bash there runs command (shell code) as it
// stands: exec bash -c 'COMMAND'.
std::string remoteShellCommand(std::string_view command);

// The same for a command of words started without the shell here: bash there starts the program
// with exactly these words.
std::string remoteWordsCommand(const std::vector<std::string> &words);

// The bash code that starts the program with exactly these words: exec 'WORD'...
std::string wordsCode(const std::vector<std::string> &words);

// The words of the ssh command: --ssh CMD split at blanks (no quoting), or just "ssh".
std::vector<std::string> sshCommandWords(std::string_view command);

// The words that run remote (from remoteShellCommand) on host over the shared connection whose
// socket lives in controlDir: the ssh words, the options of the shared connection, the host, the
// remote command. The ssh words come first, so that options given in --ssh win.
std::vector<std::string> sshWords(const std::vector<std::string> &ssh,
                                  const std::string &controlDir, const std::string &host,
                                  const std::string &remote);

// The words that close host's shared connection: ssh ... -O exit host.
std::vector<std::string> sshExitWords(const std::vector<std::string> &ssh,
                                      const std::string &controlDir, const std::string &host);

// The processor count from what the probe printed (its last line holding a number); 0 if none.
int processorsIn(std::string_view output);

// The most connections that open at once: sshd's MaxStartups default starts refusing beyond 10
// unauthenticated ones.
constexpr int maxOpening = 10;

// A command's ssh ending with this status lost its connection (or never had one).
constexpr int sshLost = 255;

// A host leaves the run after this many connection failures in a row.
constexpr int hostFailureLimit = 3;

// A command that meets connection failures runs again elsewhere, up to --retries plus this many
// times, without using up --retries.
constexpr int connectionRetries = 3;

// The run's hosts: who has free slots, which one a command goes to, which are left out.
struct Host {
    Login login;
    int slots = 0;
    int running = 0;
    int failuresInRow = 0;
    bool connected = false;     // its shared connection is known to be up
    bool leftOut = false;       // failed too often: never chosen again
    bool listed = true;         // still in the --sshloginfile (or given with -S)
    bool basefilesSent = false; // the --basefile files are there (or there are none)
};

class Hosts {
  public:
    // Adds the host of login with N/ slots, else slots (0: its processor count, asked by
    // Connections::connect).
    void add(const Login &login, int slots);
    std::vector<Host> &all() { return hosts_; }
    const std::vector<Host> &all() const { return hosts_; }

    // The host the next command goes to: the one with the most free slots, a host without its
    // connection up yet taking one command at a time (so that connections do not open by the
    // dozen), other than avoid when another one can take it; -1 when none can.
    int choose(int avoid) const;

    // Whether host index can take a command now (as choose counts its room).
    bool takes(int index) const;

    // Hosts that may still run commands.
    int usable() const;
    // Slots of every usable host.
    int slots() const;

    // A command on host index ended: lost says whether its connection failed. Returns true when
    // this leaves the host out (the caller says so).
    bool ended(int index, bool lost);

    // The login file read again: new hosts join (slots as add), hosts no longer listed take no new
    // command, listed again they come back. Returns the hosts that joined.
    std::vector<int> relist(const std::vector<Login> &logins, int jobs, int localSlots);

  private:
    std::vector<Host> hosts_;
};

// The login file, read again when it has changed.
class LoginFile {
  public:
    explicit LoginFile(std::string path = {}) : path_(std::move(path)) {}
    bool given() const { return !path_.empty(); }
    // Reads it when its modification time or size has changed since the last read (always the
    // first time). Returns true with logins filled when it was read; false with message empty when
    // it has not changed, or with message set when it cannot be read.
    bool reread(std::vector<Login> &logins, std::string &message);

  private:
    std::string path_;
    timespec mtime_{};
    long long size_ = -1;
};

// The shared connections of a run, in a private folder made for it. They are opened before the
// run and closed after it, by ssh processes of their own, started as small runs of the library
// of their own (the one place that starts and reaps processes) that end before the run starts
// and after it has ended (the masters themselves live on in the background, ControlPersist, until
// closed); the commands of the run only ever use them.
class Connections {
  public:
    Connections() = default;
    ~Connections();
    Connections(const Connections &) = delete;
    Connections &operator=(const Connections &) = delete;

    // Makes the folder; false with message when it cannot be made.
    bool open(std::string &message);
    const std::string &dir() const { return dir_; }

    // Connects to every remote host, at most maxOpening at once, and asks each host whose slots
    // are 0 for its processor count. A host that cannot be reached is left out, said on standard
    // error with what ssh said. Then copies base (--basefile) to each host reached, into
    // baseDir there (transfer.h); a host that cannot take them is left out, said so.
    void connect(Hosts &hosts, const std::vector<std::string> &ssh,
                 const std::vector<FileRoute> &base = {}, const std::string &baseDir = {});

    // Removes removals (paths as the remote shell starts from the login directory) on every host
    // that has its base files (--cleanup), closes every host's connection (ssh -O exit) and
    // removes the folder.
    void close(const Hosts &hosts, const std::vector<std::string> &ssh,
               const std::vector<std::string> &removals = {});

  private:
    // Sends base to every host reached (connect's last step).
    void sendBase(std::vector<Host> &all, const std::vector<std::string> &ssh,
                  const std::vector<FileRoute> &base, const std::string &baseDir);
    std::string dir_;
};

// Everything a run over hosts needs: the hosts, the ssh command, the connections, the login file.
struct RemoteRun {
    Hosts hosts;
    std::vector<std::string> ssh;
    Connections connections;
    LoginFile file;
    int jobs = 0;                     // -j, or 0
    int localSlots = 1;               // ':' without N/ or -j
    std::vector<FileRoute> basefiles; // --basefile: sent to each host before its first command
    std::string baseDir;              // where they land there (the fixed --workdir, or home)
    bool cleanup = false;             // --cleanup: the base files are removed at the end

    // Reads the lists (-S values) and the file, makes the connections' folder and connects
    // (before the run). False, with message, for a bad list or file, a folder that cannot be
    // made, or when no host can be used.
    bool start(const std::vector<const char *> &lists, const char *path, const char *sshCommand,
               std::string &message);
    // The most commands the runner keeps running: every slot, and room for hosts that join.
    int maxRunning() const;
    // Reads the login file again when it has changed; says who joined or left on standard error.
    void refresh();
    // After the run: closes the connections.
    void finish();
};

} // namespace fanrun_cli

#endif // FANRUN_CLI_REMOTE_H
