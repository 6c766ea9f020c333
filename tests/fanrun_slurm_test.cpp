// The pure parts of --slurm: the allocation's node list and CPU counts as Slurm writes them, and
// the words of a step. Whole runs on a real cluster are tests/slurm/steps_test.sh.
#include "fanrun_run.h"
#include "slurm.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using fanrun_cli::parseCpusPerNode;
using fanrun_cli::parseNodeList;
using fanrun_cli::stepWords;
using Names = std::vector<std::string>;

struct ListCase {
    const char *text;
    Names nodes; // empty: refused
};

TEST(SlurmNodeList, ExpandsAsSlurmWritesIt) {
    const ListCase cases[] = {
        {"node1", {"node1"}},
        {"node[1-3]", {"node1", "node2", "node3"}},
        {"node[1-2,7],login", {"node1", "node2", "node7", "login"}},
        {"gpu[08-11]", {"gpu08", "gpu09", "gpu10", "gpu11"}},
        {"r[1-2]n[1-2]", {"r1n1", "r1n2", "r2n1", "r2n2"}},
        {"a[1]-ib,b", {"a1-ib", "b"}},
        {"x[9-10]", {"x9", "x10"}},
        {"node[3-1]", {}},
        {"node[1-3", {}},
        {"node1]", {}},
        {"node[]", {}},
        {"node[a-b]", {}},
        {"", {}},
        {"node[0-999999],x[0-1]", {}},
    };
    for (const ListCase &c : cases) {
        Names nodes;
        std::string message;
        const bool parsed = parseNodeList(c.text, nodes, message);
        EXPECT_EQ(parsed, !c.nodes.empty()) << c.text << ": " << message;
        if (parsed) {
            EXPECT_EQ(nodes, c.nodes) << c.text;
        } else {
            EXPECT_FALSE(message.empty()) << c.text;
        }
    }
}

struct CpusCase {
    const char *text;
    size_t count;
    std::vector<int> cpus; // empty: refused
};

TEST(SlurmCpusPerNode, OneCountPerNode) {
    const CpusCase cases[] = {
        {"2(x3)", 3, {2, 2, 2}}, {"4,2(x2),1", 4, {4, 2, 2, 1}},
        {"16", 1, {16}},         {"2(x3)", 2, {}},
        {"2(x2)", 3, {}},        {"2(x)", 2, {}},
        {"(x2)", 2, {}},         {"2,,2", 2, {}},
        {"two", 1, {}},          {"2(x99999999999)", 2, {}},
    };
    for (const CpusCase &c : cases) {
        std::vector<int> cpus;
        std::string message;
        const bool parsed = parseCpusPerNode(c.text, c.count, cpus, message);
        EXPECT_EQ(parsed, !c.cpus.empty()) << c.text << " for " << c.count;
        if (parsed) {
            EXPECT_EQ(cpus, c.cpus) << c.text;
        } else {
            EXPECT_FALSE(message.empty()) << c.text;
        }
    }
}

TEST(SlurmStepWords, SrunThenTheCommandAsWords) {
    const Names words = stepWords("node2", 4, "/shared/.m/7", {"/bin/bash", "-c", "echo {}"});
    const Names expected = {"srun",
                            "-QQ",
                            "--nodes=1",
                            "--ntasks=1",
                            "--cpus-per-task=4",
                            "--exact",
                            "--overlap",
                            "--nodelist=node2",
                            "--",
                            "/bin/sh",
                            "-c",
                            "m=$1; shift; exec 3>&2 2>/dev/null; (exec \"$@\" 2>&3 3>&-); s=$?; "
                            "echo $s >\"$m.t\" && mv -f \"$m.t\" \"$m\"; exit $s",
                            "sh",
                            "/shared/.m/7",
                            "/bin/bash",
                            "-c",
                            "echo {}"};
    EXPECT_EQ(words, expected);
}

std::string contents(const std::string &path) {
    std::string got;
    if (FILE *file = fopen(path.c_str(), "r")) {
        int ch = 0;
        while ((ch = fgetc(file)) != EOF) {
            got += static_cast<char>(ch);
        }
        fclose(file);
    }
    return got;
}

// The step's shell itself, run here in place of srun's node: the command gets exactly its words,
// its exit status comes back, and the marker is made only once the command has ended, with that
// status in it.
TEST(SlurmStepWords, TheStepsShellRunsTheWordsAndMarksTheEnd) {
    char dir[] = "/tmp/fanrun-slurm-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string marker = std::string(dir) + "/m";
    const std::string out = std::string(dir) + "/out";
    const std::string err = std::string(dir) + "/err";
    struct Case {
        Names command;
        int status;
        std::string output;
        std::string errors;
    };
    const std::string awkward = "a 'b' \"c\" $d `e` \\f\n*";
    const Case cases[] = {
        {{"printf", "%s|", awkward, "-", ""}, 0, awkward + "|-||", ""},
        {{"/bin/bash", "-c", "printf %s \"$0\" >&2; exit 7", awkward}, 7, "", awkward},
        {{"/bin/bash", "-c", "kill -9 $$"}, 137, "", ""},
    };
    for (const Case &c : cases) {
        unlink(marker.c_str());
        Names words = stepWords("n", 1, marker, c.command);
        // From the step's shell on: what the node runs.
        words.erase(words.begin(), words.begin() + 9);
        std::vector<char *> argv;
        for (std::string &word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (freopen(out.c_str(), "w", stdout) == nullptr ||
                freopen(err.c_str(), "w", stderr) == nullptr) {
                _exit(99);
            }
            execv(argv[0], argv.data());
            _exit(98);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status) << c.command.back();
        EXPECT_EQ(contents(out), c.output);
        EXPECT_EQ(contents(err), c.errors);
        // The marker holds the status the command ended with, which srun may not tell.
        EXPECT_EQ(contents(marker), std::to_string(c.status) + "\n") << c.command.back();
    }
    unlink(marker.c_str());
    unlink(out.c_str());
    unlink(err.c_str());
    rmdir(dir);
}

// srun, its node gone, says 0 though the step's command was killed there: the step's shell saw the
// kill, so the step counts as lost and runs again, and the job log holds no success that did not
// happen. srun here is a stand-in that runs the step's words and says 0 whatever they did.
TEST(SlurmRuns, ACommandKilledUnderSrunsSuccessRunsAgain) {
    using namespace fanrun_run;
    TempDir dir;
    const std::string bin = dir / "bin";
    std::filesystem::create_directory(bin);
    writeFile(bin + "/srun",
              "#!/bin/sh\nwhile [ \"$1\" != -- ]; do shift; done\nshift\n\"$@\"\nexit 0\n");
    ASSERT_EQ(chmod((bin + "/srun").c_str(), 0755), 0);
    StartOptions start;
    start.workDir = dir.path().string();
    const char *path = getenv("PATH");
    start.environment = {"PATH=" + bin + ":" + (path != nullptr ? path : "/usr/bin:/bin"),
                         "SLURM_JOB_ID=1", "SLURM_JOB_NODELIST=node[1-2]",
                         "SLURM_JOB_CPUS_PER_NODE=1(x2)", "SLURM_NTASKS=2"};
    const Outcome outcome =
        runFanrun(dir,
                  {"--slurm", "-k", "-j", "1", "--joblog", dir / "log",
                   "[ -e once ] || { : >once; kill -9 $$; }; echo ran {}", "--", "a"},
                  start);
    EXPECT_TRUE(outcome.exitedWith(0)) << outcome.err;
    EXPECT_EQ(outcome.out, "ran a\n");
    EXPECT_NE(outcome.err.find("fanrun: the step of command 1 on node node1 was lost (srun exit 0, "
                               "its command ended by signal 9 there)\n"),
              std::string::npos)
        << outcome.err;
    // The end records' exit values: the lost attempt's 255, then the success.
    const std::vector<std::string> ends = endExitValues(readFile(dir / "log"));
    EXPECT_EQ(ends, (std::vector<std::string>{"255", "0"}));
}

} // namespace
