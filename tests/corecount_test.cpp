#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "programs_run.h"

namespace {

ProgramRun with_reported_count(const char *count) {
    return run_program(SYSKIT_VARIANT_DIR "/corecount_fakeonline",
                       ProgramSetup().with_env(std::string("SYSKIT_FAKE_ONLINE=") + count));
}

TEST(Corecount, PrintsWhatGetconfSaysWhateverItIsGiven) {
    if (access("/usr/bin/getconf", X_OK) != 0) {
        GTEST_SKIP() << "no /usr/bin/getconf to compare with";
    }
    const ProgramRun getconf =
        run_program("/usr/bin/getconf", ProgramSetup().with_args({"_NPROCESSORS_ONLN"}));
    ASSERT_TRUE(exited_with(getconf, 0));
    ASSERT_NE(getconf.out, "");
    expect_same_output_whatever_it_is_given("corecount", getconf.out);
}

TEST(Corecount, EndsSilentlyWithStatusOneWhenTheQueryFails) {
    const ProgramRun run = with_reported_count("-1");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(exited_with(run, 1)) << run.status;
}

TEST(Corecount, ShowsAReportedZeroAsOne) {
    const ProgramRun run = with_reported_count("0");
    EXPECT_EQ(run.out, "1\n");
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(exited_with(run, 0)) << run.status;
}

TEST(Corecount, PrintsOtherCountsInFull) {
    for (const char *count : {"1", "4096", "5000000000"}) {
        const ProgramRun run = with_reported_count(count);
        EXPECT_EQ(run.out, std::string(count) + "\n");
        EXPECT_TRUE(exited_with(run, 0)) << run.status;
    }
}

TEST(Corecount, FailsWhenItsOutputCannotBeWritten) {
    expect_unwritable_output_fails("corecount");
}

} // namespace
