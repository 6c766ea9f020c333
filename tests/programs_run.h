// Runs a built program as a child process and collects what it did, for the program tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct ProgramRun {
    std::string out;
    std::string err;
    int status = -1; // as waitpid reports it
};

struct ProgramSetup {
    std::vector<std::string> args;     // after the program's own name
    std::vector<std::string> env;      // NAME=value, added to this process's environment
    bool stdin_closed = true;          // otherwise standard input is /dev/null
    const char *stdout_path = nullptr; // write standard output here instead of capturing it
    long open_files_limit = -1;        // RLIMIT_NOFILE for the child; -1 leaves it alone

    ProgramSetup &with_args(std::vector<std::string> list) {
        args = std::move(list);
        return *this;
    }
    ProgramSetup &with_env(std::string setting) {
        env.push_back(std::move(setting));
        return *this;
    }
    ProgramSetup &with_stdin_open() {
        stdin_closed = false;
        return *this;
    }
    ProgramSetup &with_stdout_to(const char *path) {
        stdout_path = path;
        return *this;
    }
    ProgramSetup &with_open_files_limit(long limit) {
        open_files_limit = limit;
        return *this;
    }
};

// Core dumps are off in the child, so a program that aborts on purpose leaves nothing behind.
ProgramRun run_program(const std::string &path, const ProgramSetup &setup = {});

// <build>/bin/<name>, where the installed programs are built.
std::string built_program(const char *name);

// Wait statuses in words, for readable assertions.
bool exited_with(const ProgramRun &run, int code);
bool killed_by(const ProgramRun &run, int signal);

// Runs <build>/bin/<name> three ways (no arguments, stray arguments, standard input open) and
// expects exactly `out` on standard output, nothing on standard error and exit status 0 each time:
// the programs take no arguments and read no input.
void expect_same_output_whatever_it_is_given(const char *name, const std::string &out);

// Runs <build>/bin/<name> with standard output on /dev/full and expects exit status 1 with the
// one-line complaint naming the program on standard error.
void expect_unwritable_output_fails(const char *name);

// Runs the list program's test build <variants>/<program>_failalloc once with its 1st, 4th and
// 7th allocation failing (the head, a middle node, the last node) and expects the standard
// assertion line naming `source` and create_node, nothing on standard output and an abort each
// time; then once with every allocation granted, where it must print `whole_list` like the
// real program.
void expect_node_failures_abort(const char *program, const char *source,
                                const std::string &whole_list);
