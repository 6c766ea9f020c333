#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "programs_run.h"

// The program's own functions, its main renamed so that the test runner keeps its own.
#define main endwalk_main
#include "endwalk.cpp"
#undef main

extern "C" {
long programs_malloc_calls();
long programs_free_calls();
}

namespace {

const char *const whole_list = "0->1->2->3->4->5->6->X\n";

struct Printed {
    std::string text;
    long released = 0;
};

Printed print(node *list) {
    Printed printed;
    testing::internal::CaptureStdout();
    const long frees_before = programs_free_calls();
    print_list(list);
    printed.released = programs_free_calls() - frees_before;
    std::fflush(stdout);
    printed.text = testing::internal::GetCapturedStdout();
    return printed;
}

TEST(Endwalk, PrintsTheSevenNodeListWhateverItIsGiven) {
    expect_same_output_whatever_it_is_given("endwalk", whole_list);
}

TEST(Endwalk, FailsWhenItsOutputCannotBeWritten) {
    expect_unwritable_output_fails("endwalk");
}

TEST(Endwalk, AbortsWithTheAssertionMessageWhenANodeCannotBeAllocated) {
    expect_node_failures_abort("endwalk", SYSKIT_SOURCE_DIR "/labs/lab06/endwalk.cpp", whole_list);
}

TEST(EndwalkCreateList, GivesNoListForLengthsOfZeroOrLess) {
    const long calls_before = programs_malloc_calls();
    EXPECT_EQ(create_list(0), nullptr);
    EXPECT_EQ(create_list(-3), nullptr);
    EXPECT_EQ(create_list(INT32_MIN), nullptr);
    EXPECT_EQ(programs_malloc_calls(), calls_before);
}

TEST(EndwalkCreateList, OfOneIsASingleZeroNode) {
    node *list = create_list(1);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->data, 0);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(print(list).released, 1);
}

TEST(EndwalkPrintList, PrintsOnlyTheEndForAnEmptyList) {
    const Printed printed = print(nullptr);
    EXPECT_EQ(printed.text, "X\n");
    EXPECT_EQ(printed.released, 0);
}

TEST(EndwalkPrintList, PrintsAndReleasesEveryNode) {
    const Printed seven = print(create_list(7));
    EXPECT_EQ(seven.text, whole_list);
    EXPECT_EQ(seven.released, 7);

    std::string expected;
    for (int32_t value = 0; value < 1000; value++) {
        expected += std::to_string(value) + "->";
    }
    const Printed long_list = print(create_list(1000));
    EXPECT_EQ(long_list.text, expected + "X\n");
    EXPECT_EQ(long_list.released, 1000);
}

} // namespace
