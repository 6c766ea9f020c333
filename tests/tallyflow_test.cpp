#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "programs_run.h"

// The program's own functions, its main renamed so that the test runner keeps its own.
#define main tallyflow_main
#include "tallyflow.cpp"
#undef main

namespace {

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() {
        int ends[2];
        if (pipe(ends) == 0) {
            read_end = ends[0];
            write_end = ends[1];
        }
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    ~Pipe() {
        close_write();
        if (read_end >= 0) {
            close(read_end);
        }
    }
    void close_write() {
        if (write_end >= 0) {
            close(write_end);
            write_end = -1;
        }
    }
};

std::string bytes_of(const std::vector<int32_t> &values) {
    return {reinterpret_cast<const char *>(values.data()), values.size() * sizeof(int32_t)};
}

// Writes `bytes` in pieces of `piece` bytes with a pause between them, so that the reader sees
// short reads and has to wait for the rest; then closes the write end.
std::thread trickle(Pipe &pipe, std::string bytes, size_t piece) {
    return std::thread([&pipe, bytes = std::move(bytes), piece] {
        for (size_t at = 0; at < bytes.size(); at += piece) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const size_t length = std::min(piece, bytes.size() - at);
            ASSERT_EQ(write(pipe.write_end, bytes.data() + at, length), ssize_t(length));
        }
        pipe.close_write();
    });
}

const std::vector<int32_t> zero_to_nine{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

TEST(Tallyflow, PrintsTheSumWhateverItIsGiven) {
    expect_same_output_whatever_it_is_given("tallyflow", "sum=45\n");
}

TEST(Tallyflow, FailsWhenItsOutputCannotBeWritten) {
    expect_unwritable_output_fails("tallyflow");
}

TEST(Tallyflow, EndsWithStatusOneWhenNoPipeCanBeMade) {
    // Standard input, output and error take three of the four descriptors allowed: enough for the
    // loader to open the libraries one at a time, not for the two ends of a pipe.
    const ProgramRun run = run_program(built_program("tallyflow"),
                                       ProgramSetup().with_stdin_open().with_open_files_limit(4));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "pipe call: Too many open files\n");
    EXPECT_TRUE(exited_with(run, 1)) << run.status;
}

TEST(Tallyflow, ReportsAFailedForkAndEndsWithStatusOne) {
    const ProgramRun run = run_program(SYSKIT_VARIANT_DIR "/tallyflow_failfork",
                                       ProgramSetup().with_env("SYSKIT_FAIL_FORK=11"));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "fork: Resource temporarily unavailable\n");
    EXPECT_TRUE(exited_with(run, 1)) << run.status;
    // Without a failure the test build is the real program.
    const ProgramRun normal = run_program(SYSKIT_VARIANT_DIR "/tallyflow_failfork");
    EXPECT_EQ(normal.out, "sum=45\n");
}

TEST(TallyflowSend, WritesZeroToNineAsNativeFourByteIntegers) {
    Pipe pipe;
    ASSERT_GE(pipe.read_end, 0);
    send_numbers(pipe.write_end);
    pipe.close_write();
    std::string received(100, '\0');
    ASSERT_EQ(read(pipe.read_end, received.data(), received.size()), 40);
    received.resize(40);
    EXPECT_EQ(received, bytes_of(zero_to_nine));
}

TEST(TallyflowReceive, GathersIntegersSplitAcrossShortReads) {
    for (const size_t piece : {1, 3, 5}) {
        Pipe pipe;
        std::thread writer = trickle(pipe, bytes_of(zero_to_nine), piece);
        EXPECT_EQ(receive_sum(pipe.read_end), 45) << piece;
        writer.join();
    }
}

TEST(TallyflowReceive, DropsATrailingFragmentOfAnInteger) {
    for (const size_t extra : {1, 2, 3}) {
        Pipe pipe;
        const std::string whole = bytes_of({10, 20, 30});
        const std::string fragment = bytes_of({1000}).substr(0, extra);
        std::thread writer = trickle(pipe, whole + fragment, 2);
        EXPECT_EQ(receive_sum(pipe.read_end), 60) << extra;
        writer.join();
    }
}

TEST(TallyflowReceive, WrapsRatherThanOverflowing) {
    Pipe pipe;
    std::thread writer = trickle(pipe, bytes_of({INT32_MAX, 1, 5}), 64);
    EXPECT_EQ(receive_sum(pipe.read_end), INT32_MIN + 5);
    writer.join();
}

std::atomic<int> interruptions{0};

extern "C" void count_interruption(int /*signal*/) {
    interruptions++;
}

TEST(TallyflowReceive, ResumesReadingAfterASignal) {
    struct sigaction action {};
    action.sa_handler = count_interruption;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocked read returns EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    interruptions = 0;

    Pipe pipe;
    const pthread_t reader = pthread_self();
    std::thread writer([&pipe, reader] {
        const std::string bytes = bytes_of(zero_to_nine);
        for (size_t at = 0; at < bytes.size(); at += 6) {
            // The reader is blocked by now, waiting for more.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const size_t length = std::min<size_t>(6, bytes.size() - at);
            ASSERT_EQ(write(pipe.write_end, bytes.data() + at, length), ssize_t(length));
        }
        pipe.close_write();
    });
    EXPECT_EQ(receive_sum(pipe.read_end), 45);
    writer.join();
    EXPECT_EQ(interruptions, 7);
    sigaction(SIGUSR1, &previous, nullptr);
}

} // namespace
