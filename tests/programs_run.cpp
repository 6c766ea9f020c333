#include "programs_run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {
        if (fd_ < 0) {
            throw std::runtime_error("cannot open a capture file");
        }
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() { close(fd_); }
    int get() const { return fd_; }

  private:
    int fd_;
};

std::string read_back(int fd) {
    std::string text;
    char chunk[4096];
    off_t offset = 0;
    for (;;) {
        const ssize_t got = pread(fd, chunk, sizeof chunk, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return text;
        }
        text.append(chunk, static_cast<size_t>(got));
        offset += got;
    }
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> list;
    for (std::string &s : strings) {
        list.push_back(s.data());
    }
    list.push_back(nullptr);
    return list;
}

} // namespace

ProgramRun run_program(const std::string &path, const ProgramSetup &setup) {
    std::vector<std::string> argv_text{path};
    argv_text.insert(argv_text.end(), setup.args.begin(), setup.args.end());
    std::vector<std::string> env_text;
    for (char **entry = environ; *entry != nullptr; entry++) {
        env_text.emplace_back(*entry);
    }
    env_text.insert(env_text.end(), setup.env.begin(), setup.env.end());
    std::vector<char *> argv = pointers(argv_text);
    std::vector<char *> envp = pointers(env_text);

    const Descriptor out(memfd_create("stdout", MFD_CLOEXEC));
    const Descriptor err(memfd_create("stderr", MFD_CLOEXEC));
    const Descriptor target(setup.stdout_path != nullptr
                                ? open(setup.stdout_path, O_WRONLY | O_CLOEXEC)
                                : fcntl(out.get(), F_DUPFD_CLOEXEC, 0));
    const Descriptor null_input(open("/dev/null", O_RDONLY | O_CLOEXEC));

    const pid_t child = fork();
    if (child == -1) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        // Only async-signal-safe calls from here to exec.
        if (dup2(target.get(), 1) == -1 || dup2(err.get(), 2) == -1) {
            _exit(126);
        }
        if (setup.stdin_closed) {
            close(0);
        } else if (dup2(null_input.get(), 0) == -1) {
            _exit(126);
        }
        // Whatever this process inherited stays out of the program's way (and its count).
        close_range(3, ~0U, 0);
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        if (setup.open_files_limit >= 0) {
            const auto limit = static_cast<rlim_t>(setup.open_files_limit);
            const rlimit files{limit, limit};
            if (setrlimit(RLIMIT_NOFILE, &files) == -1) {
                _exit(126);
            }
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ProgramRun run;
    while (waitpid(child, &run.status, 0) == -1) {
        if (errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
    }
    run.out = read_back(out.get());
    run.err = read_back(err.get());
    return run;
}

std::string built_program(const char *name) {
    return std::string(SYSKIT_BIN_DIR "/") + name;
}

bool exited_with(const ProgramRun &run, int code) {
    return WIFEXITED(run.status) && WEXITSTATUS(run.status) == code;
}

void expect_same_output_whatever_it_is_given(const char *name, const std::string &out) {
    const std::vector<ProgramSetup> setups{
        {},
        ProgramSetup().with_args({"extra", "--help", "-", "7"}),
        ProgramSetup().with_args({"more"}).with_stdin_open(),
    };
    for (const ProgramSetup &setup : setups) {
        const ProgramRun run = run_program(built_program(name), setup);
        EXPECT_EQ(run.out, out) << name;
        EXPECT_EQ(run.err, "") << name;
        EXPECT_TRUE(exited_with(run, 0)) << name << ": " << run.status;
    }
}

void expect_unwritable_output_fails(const char *name) {
    const ProgramRun run =
        run_program(built_program(name), ProgramSetup().with_stdout_to("/dev/full"));
    EXPECT_EQ(run.err,
              std::string(name) + ": cannot write standard output: No space left on device\n");
    EXPECT_TRUE(exited_with(run, 1)) << name << ": " << run.status;
}

bool killed_by(const ProgramRun &run, int signal) {
    return WIFSIGNALED(run.status) && WTERMSIG(run.status) == signal;
}

static std::string node_assertion_message(const char *program, const char *source) {
    std::ifstream file(source);
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        number++;
        if (line.find("allocation_failed(__FILE__, __LINE__") != std::string::npos) {
            break;
        }
    }
    if (!file) {
        throw std::runtime_error("no allocation failure report in the source");
    }
#ifdef __clang__
    const char *signature = "node *create_node(int32_t)";
#else
    const char *signature = "node* create_node(int32_t)";
#endif
    return std::string(program) + ": " + source + ":" + std::to_string(number) + ": " + signature +
           ": Assertion `new != NULL' failed.\n";
}

void expect_node_failures_abort(const char *program, const char *source,
                                const std::string &whole_list) {
    const std::string variant = std::string(SYSKIT_VARIANT_DIR "/") + program + "_failalloc";
    const std::string expected =
        node_assertion_message((std::string(program) + "_failalloc").c_str(), source);
    for (const char *failing : {"1", "4", "7"}) {
        const ProgramRun run = run_program(
            variant, ProgramSetup().with_env(std::string("SYSKIT_FAIL_MALLOC_AT=") + failing));
        EXPECT_EQ(run.out, "") << failing;
        EXPECT_EQ(run.err, expected) << failing;
        EXPECT_TRUE(killed_by(run, SIGABRT)) << failing << ": " << run.status;
    }
    const ProgramRun run = run_program(variant);
    EXPECT_EQ(run.out, whole_list);
    EXPECT_TRUE(exited_with(run, 0)) << run.status;
}
