#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "programs_run.h"

namespace {

TEST(Twinnumber, ReportsTheSameNumbersWhateverItIsGiven) {
    expect_same_output_whatever_it_is_given("twinnumber", "My numbers are the same\n");
}

TEST(Twinnumber, FailsWhenItsOutputCannotBeWritten) {
    expect_unwritable_output_fails("twinnumber");
}

} // namespace
