// Remote hosts. In process: the host lists, the quoting for the remote shell against a model of
// how a POSIX shell reads it, ssh's words, and which host a command goes to. End to end: whole
// runs over real sshd hosts, each in namespaces of its own on a loopback address of its own,
// started for these tests by tests/ssh/hosts.sh; their faults (a host killed while its commands
// run, a host that refuses logins) are real ones.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <unistd.h>

#include "fanrun_run.h"
#include "remote.h"

namespace {

using namespace fanrun_cli;
using namespace fanrun_run;

// ---- The pure parts --------------------------------------------------------------------------

std::string shown(const std::vector<Login> &logins) {
    std::string text;
    for (const Login &login : logins) {
        text += (text.empty() ? "" : " ") + std::to_string(login.slots) + "/" + login.host;
    }
    return text;
}

TEST(RemoteLogins, ListsAreReadAsGnuParallelUsersWriteThem) {
    struct Case {
        std::string text;
        std::string logins; // shown(), or "! message"
    };
    const std::vector<Case> cases = {
        {"host2", "0/host2"},
        {"4/host2,:,2/root@host3", "4/host2 0/: 2/root@host3"},
        {" a , ,b,,", "0/a 0/b"},
        {"a,2/a,b", "0/a 0/b"}, // the first entry of a host counts
        {"12/:", "12/:"},
        {"", ""},
        {"0/h", "! a host's job slots must be a whole number from 1, not '0' in '0/h'"},
        {"x/h", "! a host's job slots must be a whole number from 1, not 'x' in 'x/h'"},
        {"/h", "! a host's job slots must be a whole number from 1, not '' in '/h'"},
        {"2/", "! '' is not a host"},
        {"-oProxyCommand=x", "! '-oProxyCommand=x' is not a host"},
        {"a b", "! 'a b' is not a host"},
        {"h'q", "! 'h'q' is not a host"},
        {"2/a/b", "! 'a/b' is not a host"},
    };
    for (const Case &c : cases) {
        std::vector<Login> logins;
        std::string message;
        const bool read = parseLogins(c.text, logins, message);
        EXPECT_EQ(read ? shown(logins) : "! " + message, c.logins) << c.text;
    }
}

TEST(RemoteLogins, AFileHoldsOneListALineWithCommentsAndBlankLines) {
    struct Case {
        std::string contents;
        std::string logins;
    };
    const std::vector<Case> cases = {
        {"host2\n# a comment\n\n  2/host3,host4  \n:\n", "0/host2 2/host3 0/host4 0/:"},
        {"host2", "0/host2"},
        {"host2\nhost2\n", "0/host2"},
        {"a\n\nb c\n", "! line 3: 'b c' is not a host"},
        {"", ""},
    };
    for (const Case &c : cases) {
        std::vector<Login> logins;
        std::string message;
        const bool read = parseLoginFile(c.contents, logins, message);
        EXPECT_EQ(read ? shown(logins) : "! " + message, c.logins) << c.contents;
    }
}

// A POSIX shell's reading of one word made of single-quoted strings, backslash escapes and plain
// bytes: the model of the remote login shell that reads what ssh sends it. False for anything
// that is not one word of these (a blank, an unclosed quote, an operator).
bool readShellWord(const std::string &text, std::string &word) {
    word.clear();
    size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '\'') {
            const size_t end = text.find('\'', at + 1);
            if (end == std::string::npos) {
                return false;
            }
            word.append(text, at + 1, end - at - 1);
            at = end + 1;
        } else if (c == '\\' && at + 1 < text.size() && text[at + 1] != '\n') {
            word += text[at + 1];
            at += 2;
        } else if (std::string_view(" \t\n;&|<>()$`\"*?[#~=%\\").find(c) !=
                   std::string_view::npos) {
            return false;
        } else {
            word += c;
            ++at;
        }
    }
    return !text.empty();
}

TEST(RemoteQuoting, EveryByteComesBackFromTheRemoteShellsReading) {
    std::vector<std::string> texts = {"",   "'",      "''", "a'b", "\\'", "'\\''", "$(x) `y` \"z\"",
                                      "\n", "a\nb'\n"};
    std::string every;
    for (int byte = 1; byte < 256; ++byte) {
        texts.emplace_back(1, static_cast<char>(byte));
        every += static_cast<char>(byte);
    }
    texts.push_back(every);
    texts.emplace_back("\xa5\\'\x81'\xe4\xb8\xad");
    for (const std::string &text : texts) {
        std::string word;
        ASSERT_TRUE(readShellWord(remoteQuote(text), word)) << remoteQuote(text);
        EXPECT_EQ(word, text);
    }
    EXPECT_EQ(remoteQuote(""), "''");
    EXPECT_EQ(remoteQuote("a'b"), "'a'\\''b'");
    EXPECT_EQ(remoteShellCommand("echo 'x' $y"), "exec bash -c 'echo '\\''x'\\'' $y'");
    EXPECT_EQ(remoteWordsCommand({"printf", "%s\\n", "a'b", ""}),
              "exec bash -c 'exec '\\''printf'\\'' '\\''%s\\n'\\'' '\\''a'\\''\\'\\'''\\''b'\\'' "
              "'\\'''\\'''");
}

TEST(RemoteSsh, TheWordsOfACommandAndOfTheClose) {
    struct Case {
        std::string ssh;
        std::vector<std::string> words;
    };
    const std::string path = "ControlPath=/run/d/%C";
    const std::vector<std::string> shared = {"-o", "ControlMaster=auto", "-o", "ControlPersist=yes",
                                             "-o", "BatchMode=yes",      "-o", path};
    const std::vector<Case> cases = {
        {"", {"ssh"}},
        {"  ", {"ssh"}},
        {"ssh -F  conf", {"ssh", "-F", "conf"}},
        {"\tautossh\t-M 0 ", {"autossh", "-M", "0"}},
    };
    for (const Case &c : cases) {
        const std::vector<std::string> ssh = sshCommandWords(c.ssh);
        EXPECT_EQ(ssh, c.words) << c.ssh;
        std::vector<std::string> expected = c.words;
        expected.insert(expected.end(), shared.begin(), shared.end());
        expected.emplace_back("u@h");
        expected.emplace_back("exec bash -c 'true'");
        EXPECT_EQ(sshWords(ssh, "/run/d", "u@h", remoteShellCommand("true")), expected);
        expected = c.words;
        for (const char *word : {"-o", path.c_str(), "-O", "exit", "u@h"}) {
            expected.emplace_back(word);
        }
        EXPECT_EQ(sshExitWords(ssh, "/run/d", "u@h"), expected);
    }
}

TEST(RemoteSsh, TheProcessorCountIsTheLastNumberThePrintedLinesHold) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"8\n", 8}, {"  16  \n", 16}, {"motd\n4\n", 4}, {"4\nbye\n", 4},
        {"", 0},    {"x1\n", 0},      {"1234567\n", 0}, {"2\r\n", 2},
    };
    for (const auto &[output, count] : cases) {
        EXPECT_EQ(processorsIn(output), count) << output;
    }
}

// Hosts in a state: slots, running, connected, left out, listed.
struct HostState {
    int slots;
    int running;
    bool connected;
    bool leftOut = false;
    bool listed = true;
};

Hosts hostsIn(const std::vector<HostState> &states) {
    Hosts hosts;
    for (size_t i = 0; i < states.size(); ++i) {
        hosts.add(Login{"h" + std::to_string(i), states[i].slots}, 0);
        Host &host = hosts.all().back();
        host.running = states[i].running;
        host.connected = states[i].connected;
        host.leftOut = states[i].leftOut;
        host.listed = states[i].listed;
    }
    return hosts;
}

TEST(RemoteHosts, ACommandGoesToTheHostWithTheMostFreeSlots) {
    struct Case {
        std::vector<HostState> hosts;
        int avoid;
        int chosen;
    };
    const std::vector<Case> cases = {
        {{{2, 0, true}, {4, 1, true}}, -1, 1},
        {{{2, 0, true}, {4, 2, true}}, -1, 0}, // a tie: the first
        {{{2, 2, true}, {4, 4, true}}, -1, -1},
        {{{8, 1, false}, {2, 1, true}}, -1, 1},      // one command at a time until connected
        {{{8, 0, false}, {2, 2, true}}, -1, 0},      // ... which may be the first
        {{{8, 0, true, true}, {2, 1, true}}, -1, 1}, // left out
        {{{8, 0, true, false, false}, {2, 1, true}}, -1, 1}, // no longer listed
        {{{8, 0, true}, {2, 1, true}}, 0, 1},                // avoided
        {{{8, 0, true}, {2, 2, true}}, 0, -1},      // avoided while another may take it later
        {{{8, 0, true}, {2, 2, true, true}}, 0, 0}, // ... but the others are left out
        {{{8, 0, true}}, 0, 0},
        {{{8, 8, true}}, 0, -1},
        {{}, -1, -1},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Hosts hosts = hostsIn(cases[i].hosts);
        EXPECT_EQ(hosts.choose(cases[i].avoid), cases[i].chosen) << "case " << i;
    }
}

TEST(RemoteHosts, AHostIsLeftOutAfterThreeConnectionFailuresInARow) {
    Hosts hosts = hostsIn({{2, 0, true}, {2, 0, true}});
    hosts.add(Login{":", 0}, 3);
    const std::vector<std::tuple<int, bool, bool>> steps = {
        // host, lost, left out by it
        {0, true, false}, {0, true, false}, {0, false, false}, // a success starts the count again
        {0, true, false}, {0, true, false}, {1, true, false},
        {0, true, true},  {0, true, false},                   // already out
        {2, true, false}, {2, true, false}, {2, true, false}, // this machine never is
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        const auto &[host, lost, leftOut] = steps[i];
        ++hosts.all()[static_cast<size_t>(host)].running;
        EXPECT_EQ(hosts.ended(host, lost), leftOut) << "step " << i;
    }
    EXPECT_TRUE(hosts.all()[0].leftOut);
    EXPECT_FALSE(hosts.all()[0].connected);
    EXPECT_FALSE(hosts.all()[1].leftOut);
    EXPECT_FALSE(hosts.all()[2].leftOut);
    EXPECT_EQ(hosts.usable(), 2);
    EXPECT_EQ(hosts.slots(), 2 + 3);
    EXPECT_EQ(hosts.all()[2].slots, 3);
}

TEST(RemoteHosts, AReadListLetsHostsJoinLeaveAndComeBack) {
    Hosts hosts = hostsIn({{2, 0, true}, {2, 1, true}});
    std::vector<Login> logins = {{"h1", 0}, {"h2", 0}, {"3/h3", 0}, {":", 0}};
    logins[2] = Login{"h3", 3};
    EXPECT_EQ(hosts.relist(logins, 0, 5), (std::vector<int>{2, 3, 4}));
    ASSERT_EQ(hosts.all().size(), 5U);
    EXPECT_FALSE(hosts.all()[0].listed);
    EXPECT_TRUE(hosts.all()[1].listed);
    EXPECT_EQ(hosts.all()[2].slots, 1); // neither N/ nor -j: one slot
    EXPECT_EQ(hosts.all()[3].slots, 3);
    EXPECT_EQ(hosts.all()[4].slots, 5);
    EXPECT_TRUE(hosts.all()[4].connected); // this machine needs no connection
    EXPECT_EQ(hosts.relist({{"h0", 0}, {"h1", 4}}, 7, 5), std::vector<int>{});
    EXPECT_TRUE(hosts.all()[0].listed);
    EXPECT_EQ(hosts.all()[1].slots, 4);
    EXPECT_FALSE(hosts.all()[2].listed);
    EXPECT_EQ(hosts.slots(), 2 + 4);
}

// ---- Whole runs over real hosts ----------------------------------------------------------------

// Three hosts that take logins (host2, host3, host4) and one that refuses them (host5), started
// once for the suite in a folder and on a port of its own.
class RemoteRuns : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { hosts_ = new SshHosts(FANRUN_HOSTS_SCRIPT, 4, 0, "5"); }

    static void TearDownTestSuite() {
        delete hosts_;
        hosts_ = nullptr;
    }

    void SetUp() override {
        if (!hosts_->up()) {
            SKIP_UNLESS_CI("the ssh hosts could not be started: " + hosts_->startLog());
        }
    }

    static std::string environment() { return hosts_->environment(); }
    static std::string hostsDir() { return hosts_->dir(); }
    static std::string ssh() { return hosts_->ssh(); }
    static void kill(int k) { hosts_->kill(k); }

    // Logins host K has accepted so far.
    static long logins(int k) {
        const std::string log = readFile(hostsDir() + "/host" + std::to_string(k) + ".log");
        long count = 0;
        for (size_t at = log.find("Accepted publickey"); at != std::string::npos;
             at = log.find("Accepted publickey", at + 1)) {
            ++count;
        }
        return count;
    }

    Outcome run(const std::vector<std::string> &options, const std::vector<std::string> &command,
                const std::string &input = "") {
        std::vector<std::string> arguments = {"--ssh", ssh()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.insert(arguments.end(), command.begin(), command.end());
        return runFanrun(scratch_, arguments, fromInput(input));
    }

    static SshHosts *hosts_;
    TempDir scratch_;
};

SshHosts *RemoteRuns::hosts_ = nullptr;

// Lines of text, each with its count.
std::map<std::string, int> counted(const std::string &text) {
    std::map<std::string, int> counts;
    for (const std::string &line : lines(text)) {
        ++counts[line];
    }
    return counts;
}

std::string hex(const std::string &bytes) {
    std::string out;
    char digits[3];
    for (unsigned char byte : bytes) {
        snprintf(digits, sizeof digits, "%02x", byte);
        out += digits;
    }
    return out;
}

// Every byte from 0x01 to 0xff alone, all of them in one argument, and quotes and code.
std::vector<std::string> byteArguments() {
    std::vector<std::string> arguments;
    std::string every;
    for (int byte = 1; byte < 256; ++byte) {
        arguments.emplace_back(1, static_cast<char>(byte));
        every += static_cast<char>(byte);
    }
    arguments.push_back(every);
    for (const char *text : {"it's", "'\\''", "$(touch pwned)", "`touch pwned`", "a b  c",
                             "\xa5\\'", "\x81\\\x01", "-n", "*"}) {
        arguments.emplace_back(text);
    }
    return arguments;
}

std::string nulJoined(const std::vector<std::string> &arguments) {
    std::string input;
    for (const std::string &argument : arguments) {
        input += argument;
        input += '\0';
    }
    return input;
}

// Each argument's bytes as the remote commands got them, in input order, in hex, for commands that
// print each of their arguments followed by a NUL (which no argument holds), however many
// arguments a command takes: their lines joined.
std::string expectedNulHex(const std::vector<std::string> &arguments) {
    std::string out;
    for (const std::string &argument : arguments) {
        out += hex(argument) + "00";
    }
    return out;
}

std::string joinedLines(const std::string &text) {
    std::string joined;
    for (const std::string &line : lines(text)) {
        joined += line;
    }
    return joined;
}

// The arguments whose bytes a remote shell reads apart: its quotes, expansions, separators and
// globs, a blank, a newline and high bytes, each alone, and every byte at once.
std::vector<std::string> specialArguments() {
    std::vector<std::string> arguments;
    for (char byte : std::string("\"$`\\!'\n\t *?[]{}~#&|;<>()=%^\x01\x7f\x80\xa5\xff")) {
        arguments.emplace_back(1, byte);
    }
    const std::vector<std::string> every = byteArguments();
    arguments.insert(arguments.end(), every.begin() + 255, every.end());
    return arguments;
}

// A command of 32 arguments, each quoted by the runner as it stands, goes over every byte alone
// in few remote starts; the other forms take the bytes a shell reads apart.
TEST_F(RemoteRuns, EveryArgumentReachesTheRemoteCommandAsExactlyItsBytes) {
    const std::string toHex = " | od -An -v -tx1 | tr -d ' \\n'; echo";
    struct Form {
        std::string name;
        std::vector<std::string> options;
        std::vector<std::string> command;
        std::vector<std::string> arguments;
    };
    const std::vector<Form> forms = {
        {"shell", {"-n", "32"}, {"printf '%s\\0' {}" + toHex}, byteArguments()},
        {"in double quotes", {}, {"printf '%s\\0' \"{}\"" + toHex}, specialArguments()},
        {"words",
         {},
         {"bash", "-c", "printf '%s\\0' \"$1\"" + toHex, "bash", "{}", "--"},
         specialArguments()},
    };
    for (const Form &form : forms) {
        std::vector<std::string> options = {"-k", "-0", "-S", "2/host2,2/host3"};
        options.insert(options.end(), form.options.begin(), form.options.end());
        const Outcome outcome = run(options, form.command, nulJoined(form.arguments));
        EXPECT_EQ(outcome.code(), 0) << form.name << ": " << outcome.err;
        EXPECT_EQ(joinedLines(outcome.out), expectedNulHex(form.arguments)) << form.name;
        EXPECT_FALSE(fs::exists(scratch_ / "pwned"));
    }
}

TEST_F(RemoteRuns, ArgumentsKeepTheirBytesInAMultibyteLocaleOnBothSides) {
    if (!fs::exists("/usr/share/i18n/charmaps/BIG5.gz")) {
        SKIP_UNLESS_CI("/usr/share/i18n/charmaps/BIG5.gz is missing (package locales)");
    }
    // The locale goes to the hosts too (SendEnv, AcceptEnv): bash there reads in BIG5.
    const std::string make = "localedef --no-warnings=ascii -f BIG5 -i zh_TW " +
                             (scratch_ / "zh_TW.BIG5") + " >/dev/null 2>&1";
    std::system(make.c_str());
    ASSERT_TRUE(fs::exists(scratch_.path() / "zh_TW.BIG5" / "LC_CTYPE"));
    setenv("LOCPATH", scratch_.path().c_str(), 1);
    setenv("LC_ALL", "zh_TW.BIG5", 1);
    std::vector<std::string> arguments = byteArguments();
    for (const char *text : {"x\x01\xa5\\';touch pwned;#", "\xa5\\", "\xa5'", "\xe0\\n\x01\xa5"}) {
        arguments.emplace_back(text);
    }
    const Outcome locale = run({"-S", "host2", "-g"}, {"locale charmap"}, "x\n");
    const Outcome outcome =
        run({"-k", "-0", "-n", "32", "-S", "host2,host3"},
            {"printf '%s\\0' {} | od -An -v -tx1 | tr -d ' \\n'; echo"}, nulJoined(arguments));
    unsetenv("LOCPATH");
    unsetenv("LC_ALL");
    EXPECT_EQ(locale.out, "BIG5\n") << locale.err;
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(joinedLines(outcome.out), expectedNulHex(arguments));
    EXPECT_FALSE(fs::exists(scratch_ / "pwned"));
}

TEST_F(RemoteRuns, CommandsSpreadOverTheHostsOverOneConnectionEach) {
    const long before[] = {logins(2), logins(3), logins(4)};
    std::string input;
    for (int i = 0; i < 30; ++i) {
        input += std::to_string(i) + "\n";
    }
    const Outcome outcome = run({"-g", "-S", "host2,2/host3", "-S", "3/host4", "--joblog",
                                 scratch_ / "log", "--results", scratch_ / "results.tsv"},
                                {"sleep 0.1; echo $(hostname) {%}"}, input);
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    std::map<std::string, int> hosts;
    std::set<std::string> slots;
    for (const auto &[line, count] : counted(outcome.out)) {
        hosts[line.substr(0, line.find(' '))] += count;
        slots.insert(line.substr(line.find(' ') + 1));
    }
    EXPECT_EQ(hosts.size(), 3U) << outcome.out;
    EXPECT_TRUE(hosts.count("host2") == 1 && hosts.count("host3") == 1 && hosts.count("host4") == 1)
        << outcome.out;
    int total = 0;
    for (const auto &[host, count] : hosts) {
        total += count;
    }
    EXPECT_EQ(total, 30);
    // The job log names the host of every record, as the command's own hostname says.
    const std::vector<std::string> log = lines(readFile(scratch_ / "log"));
    ASSERT_EQ(log.size(), 1U + 60U + 1U);
    EXPECT_EQ(log[0], "event\tstart\truntime\texit\tsignal\tattempt\toccurrence\targument\thost");
    std::map<std::string, int> logged;
    for (size_t i = 1; i + 1 < log.size(); ++i) {
        logged[log[i].substr(log[i].rfind('\t') + 1)] += log[i].rfind("end", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(logged, hosts);
    // So do the results' records (Seq, Host, ...), not ':' for this machine.
    std::map<std::string, int> kept;
    for (const std::string &line : lines(readFile(scratch_ / "results.tsv"))) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos && tab > 0 && line.find_first_not_of("0123456789") == tab) {
            kept[line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1)] += 1;
        }
    }
    EXPECT_EQ(kept, hosts);
    // host2 has its processor count, the others 2 and 3: every slot from 1 to the sum, no more.
    const int sum = static_cast<int>(std::thread::hardware_concurrency()) + 5;
    EXPECT_LE(slots.size(), static_cast<size_t>(sum));
    for (const std::string &slot : slots) {
        EXPECT_GE(std::stoi(slot), 1);
        EXPECT_LE(std::stoi(slot), sum);
    }
    // One login per host: the probe's connection carries every command.
    EXPECT_EQ(logins(2) - before[0], 1);
    EXPECT_EQ(logins(3) - before[1], 1);
    EXPECT_EQ(logins(4) - before[2], 1);
    // The connections are closed at the end: no master is left.
    bool master = false;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        if (readFile(entry.path() / "cmdline").find(hostsDir()) != std::string::npos &&
            readFile(entry.path() / "comm") == "ssh\n") {
            master = true;
        }
    }
    EXPECT_FALSE(master);
}

TEST_F(RemoteRuns, ThisMachineIsColonAndRunsItsCommandsWithoutSsh) {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    const Outcome outcome = run({"-k", "-S", "1/:"}, {"hostname; echo {}"}, "a\nb\n");
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(outcome.out, std::string(name) + "\na\n" + name + "\nb\n");
}

TEST_F(RemoteRuns, AHostThatRefusesLoginsIsLeftOutWithAMessage) {
    const Outcome outcome =
        run({"-k", "-S", "host5,1/host2"}, {"echo {} $(hostname)"}, "a\nb\nc\n");
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(outcome.out, "a host2\nb host2\nc host2\n");
    EXPECT_NE(outcome.err.find("fanrun: host host5 left out: it cannot be reached (ssh exit 255): "
                               "root@127.0.0.5: Permission denied (publickey)."),
              std::string::npos)
        << outcome.err;
    // With no host left, nothing runs.
    const Outcome none = run({"-S", "host5"}, {"echo {}"}, "a\n");
    EXPECT_EQ(none.code(), 1);
    EXPECT_NE(none.err.find("fanrun: no host can be reached; nothing was run"), std::string::npos)
        << none.err;
    EXPECT_EQ(none.out, "");
}

TEST_F(RemoteRuns, ABadHostListIsMisuseAndRunsNothing) {
    const Outcome outcome = run({"-S", "0/host2"}, {"touch ran"}, "a\n");
    EXPECT_EQ(outcome.code(), 2);
    EXPECT_EQ(lines(outcome.err).at(0),
              "fanrun: -S: a host's job slots must be a whole number from 1, not '0' in '0/host2'");
    EXPECT_FALSE(fs::exists(scratch_ / "ran"));
}

// The job log's last record for every argument: its exit.
std::map<std::string, std::string> lastEnds(const std::string &log) {
    std::map<std::string, std::string> ends;
    for (const std::string &line : lines(log)) {
        std::vector<std::string> fields;
        size_t at = 0;
        for (size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', at)) {
            fields.push_back(line.substr(at, tab - at));
            at = tab + 1;
        }
        fields.push_back(line.substr(at));
        if (fields.size() == 9 && fields[0] == "end") {
            ends[fields[7]] = fields[3];
        }
    }
    return ends;
}

TEST_F(RemoteRuns, CommandsOfAHostKilledMidRunRunElsewhereAndNoneIsLost) {
    // A host of its own for this test: killing it leaves the suite's others up.
    std::string input;
    for (int i = 0; i < 24; ++i) {
        input += std::to_string(i) + "\n";
    }
    const std::string marks = scratch_ / "marks";
    fs::create_directory(marks);
    const std::vector<std::string> arguments = {"--ssh",
                                                ssh(),
                                                "-g",
                                                "--joblog",
                                                scratch_ / "log",
                                                "-S",
                                                "2/host2,2/host4",
                                                "sleep 0.4; touch " + marks +
                                                    "/$(hostname)-{}; echo {}"};
    Program program = startFanrun(scratch_, arguments, fromInput(input));
    // Once host4 has run some, it dies with its running commands.
    ASSERT_TRUE(eventually([&] {
        return std::count_if(fs::directory_iterator(marks), fs::directory_iterator(),
                             [](const auto &entry) {
                                 return entry.path().filename().string().rfind("host4-", 0) == 0;
                             }) >= 2;
    }));
    kill(4);
    const Outcome outcome = program.finish();
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    std::map<std::string, int> expected;
    for (int i = 0; i < 24; ++i) {
        expected[std::to_string(i)] = 1;
    }
    // Every argument's output once: a lost attempt's output is not shown.
    EXPECT_EQ(counted(outcome.out), expected);
    EXPECT_NE(outcome.err.find("fanrun: host host4 left out after 3 connection failures in a row"),
              std::string::npos)
        << outcome.err;
    // The log ends every argument with a success; some had a lost attempt (255) first.
    const std::string log = readFile(scratch_ / "log");
    const std::map<std::string, std::string> ends = lastEnds(log);
    EXPECT_EQ(ends.size(), 24U);
    for (const auto &[argument, exitCode] : ends) {
        EXPECT_EQ(exitCode, "0") << argument;
    }
    EXPECT_NE(log.find("\t255\t-\t1\t1\t"), std::string::npos) << log;
    // The suite's host4 is gone: start it again for the tests that follow.
    std::system((environment() + " bash " FANRUN_HOSTS_SCRIPT " start 4 >/dev/null 2>&1").c_str());
}

TEST_F(RemoteRuns, ACommandWhoseHostDiesAfterTheInputHasEndedStillRunsAgain) {
    // The last two commands, one per host, and a slot free: the input has ended when host3 dies
    // under its command.
    const std::string marks = scratch_ / "marks";
    fs::create_directory(marks);
    Program program =
        startFanrun(scratch_,
                    {"--ssh", ssh(), "-k", "-S", "1/host2,2/host3", "--joblog", scratch_ / "log",
                     "touch " + marks + "/$(hostname)-{}; sleep 1; echo {} $(hostname)"},
                    fromInput("a\nb\n"));
    ASSERT_TRUE(eventually(
        [&] { return fs::exists(marks + "/host3-a") || fs::exists(marks + "/host3-b"); }));
    const std::string lost = fs::exists(marks + "/host3-a") ? "a" : "b";
    kill(3);
    const Outcome outcome = program.finish();
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(outcome.out, "a host2\nb host2\n") << outcome.err;
    const std::map<std::string, std::string> ends = lastEnds(readFile(scratch_ / "log"));
    EXPECT_EQ(ends, (std::map<std::string, std::string>{{"a", "0"}, {"b", "0"}}));
    std::system((environment() + " bash " FANRUN_HOSTS_SCRIPT " start 4 >/dev/null 2>&1").c_str());
}

TEST_F(RemoteRuns, HostsJoinAndLeaveThroughTheLoginFileWhileTheRunGoesOn) {
    const std::string file = scratch_ / "hosts";
    writeFile(file, "1/host2\n");
    std::string input;
    for (int i = 0; i < 30; ++i) {
        input += std::to_string(i) + "\n";
    }
    const std::string marks = scratch_ / "marks";
    fs::create_directory(marks);
    Program program = startFanrun(scratch_,
                                  {"--ssh", ssh(), "-g", "--sshloginfile", file,
                                   "sleep 0.2; touch " + marks + "/{}; echo $(hostname)"},
                                  fromInput(input));
    ASSERT_TRUE(eventually([&] { return fs::exists(marks + "/2"); }));
    writeFile(file, "# host2 leaves\n2/host3\n");
    const Outcome outcome = program.finish();
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    const std::map<std::string, int> hosts = counted(outcome.out);
    ASSERT_EQ(hosts.size(), 2U) << outcome.out;
    EXPECT_EQ(hosts.at("host2") + hosts.at("host3"), 30);
    EXPECT_GE(hosts.at("host2"), 3);
    EXPECT_GE(hosts.at("host3"), 20);
    EXPECT_NE(outcome.err.find("fanrun: host host3 joins the run\n"), std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find("fanrun: host host2 leaves the run: no new command starts there\n"),
              std::string::npos)
        << outcome.err;
}

} // namespace
