// Files to and from remote hosts around their commands (--transfer-file, --return, --cleanup,
// --basefile), the remote working directory (--workdir) and the variables a command takes along
// (--env). A command with files to move becomes a small bash script here that runs, one after
// another over the host's shared connection: a tar of each file into ssh, the command, a tar of
// each file to return out of ssh, and the removal. tar moves any name (spaces, quotes, newlines,
// leading dashes, high bytes) and keeps the files' modes; every step's failure is said on the
// command's standard error and fails the command. The pure parts build text only, so their
// tests need no host. Private to the program.
#ifndef FANRUN_CLI_TRANSFER_H
#define FANRUN_CLI_TRANSFER_H

#include <string>
#include <string_view>
#include <vector>

namespace fanrun_cli {

// Where a named file lives here and there. A relative name is taken from this working directory
// and lands under the remote working directory with the same relative path; an absolute one
// lands at the same absolute path there; a name with "/./" in it is taken from the folder before
// it and lands under the remote working directory with the path after it (a/./b/c: b/c).
struct FileRoute {
    std::string name;      // as given (after its replacement strings)
    std::string local;     // the folder here the member's path starts from: ".", "/" or the part
                           // before "/./"
    std::string member;    // "./PATH": relative to local, and to the remote folder; "./" keeps tar
                           // from reading a leading dash as an option
    bool absolute = false; // the remote folder is / (otherwise the working directory)
    bool operator==(const FileRoute &other) const = default;
};

// The route of name. False, with message, for an empty name, one with nothing after "/./", or
// one with a ".." component (tar would strip it and write elsewhere than asked).
bool routeOf(std::string_view name, FileRoute &route, std::string &message);

// The remote working directory for --workdir option: empty (null option) for the login
// directory; "..." a fresh one, .fanrun/tmp/UNIQUE under the login directory; "." this
// machine's working directory cwd, below home as the same path below the remote login directory
// (relative), else as it stands; "~/PATH" relative to the login directory; any other as given.
std::string remoteWorkdir(const char *option, const std::string &cwd, const char *home,
                          const std::string &unique);

// The working directory of a command on this machine for --workdir option, as GNU parallel
// takes it there too: empty (none, or ".") for this working directory; "..." a fresh one,
// HOME/.fanrun/tmp/UNIQUE; "~/PATH" below home; any other as given (relative to this working
// directory).
std::string localWorkdir(const char *option, const char *home, const std::string &unique);

// The bash code that runs code (bash code) in workdir on this machine, made if missing; with
// fresh, code runs in a bash of its own and the folder is removed after it, the script exiting
// with code's status. A folder that cannot be made or entered: bash's message, exit 1.
std::string localWorkdirScript(const std::string &workdir, bool fresh, const std::string &code);

// Whether --workdir asks for a fresh folder per command, removed after it.
bool freshWorkdir(const char *option);

// Shell code (POSIX) that makes and enters workdir, then runs code; code alone for an empty one.
std::string inWorkdir(const std::string &workdir, const std::string &code);

// The bash code that defines the variables and functions of names as they are here: an
// exported bash function (BASH_FUNC_NAME%%) as a function exported there, a variable as an
// exported variable with exactly its bytes; a name that is neither is left out.
std::string envCode(const std::vector<const char *> &names);

// A path of route as the remote shell starts from the login directory: absolute, or under
// workdir.
std::string remotePath(const FileRoute &route, const std::string &workdir);

// What one command on a host moves, besides running.
struct HostFiles {
    std::string host;                // for the messages
    std::vector<std::string> ssh;    // ssh's words up to and with the host
    std::string workdir;             // as remoteWorkdir gives it
    bool fresh = false;              // workdir is the command's own: removed at the end
    std::vector<FileRoute> sends;    // base files not yet there, then the transfers
    std::vector<FileRoute> returns;  // fetched back after the command
    std::vector<FileRoute> removals; // removed there at the end (--cleanup)
};

// The bash script that sends files.sends (a failure: said, and the script exits with that
// step's status, the command not run), runs remote (remote shell code) with the script's
// standard streams, fetches files.returns into this machine's folders (a failure is said and
// fails a command that succeeded), and removes files.removals and a fresh workdir. It exits with
// the command's status, or a failed step's; 255 (ssh's lost connection) ends it at once.
std::string transferScript(const HostFiles &files, const std::string &remote);

// Words as bash reads them back: each in single quotes, separated by spaces.
std::string shellWords(const std::vector<std::string> &words);

} // namespace fanrun_cli

#endif // FANRUN_CLI_TRANSFER_H
