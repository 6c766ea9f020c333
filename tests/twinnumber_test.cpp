#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "programs_run.h"

namespace {

TEST(Twinnumber, ReportsTheSameNumbersWhateverItIsGiven) {
    const std::vector<ProgramSetup> setups{
        {},
        ProgramSetup().with_args({"12", "13", "--help"}),
        ProgramSetup().with_args({"more"}).with_stdin_open(),
    };
    for (const ProgramSetup &setup : setups) {
        const ProgramRun run = run_program(built_program("twinnumber"), setup);
        EXPECT_EQ(run.out, "My numbers are the same\n");
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(exited_with(run, 0)) << run.status;
    }
}

TEST(Twinnumber, FailsWhenItsOutputCannotBeWritten) {
    const ProgramRun run =
        run_program(built_program("twinnumber"), ProgramSetup().with_stdout_to("/dev/full"));
    EXPECT_EQ(run.err, "twinnumber: cannot write standard output: No space left on device\n");
    EXPECT_TRUE(exited_with(run, 1)) << run.status;
}

} // namespace
