#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "programs_run.h"

// The program's own functions, its main renamed so that the test runner keeps its own.
#define main countwalk_main
#include "countwalk.cpp"
#undef main

extern "C" {
void programs_fail_malloc_at(long call);
long programs_malloc_calls();
long programs_free_calls();
}

namespace {

const char *const whole_list = "0->1->2->3->4->5->6->X\n";

struct Printed {
    std::string text;
    long released = 0;
};

Printed print(node *list, int32_t length) {
    Printed printed;
    testing::internal::CaptureStdout();
    const long frees_before = programs_free_calls();
    print_list(list, length);
    printed.released = programs_free_calls() - frees_before;
    std::fflush(stdout);
    printed.text = testing::internal::GetCapturedStdout();
    return printed;
}

TEST(Countwalk, PrintsTheSevenNodeListWhateverItIsGiven) {
    expect_same_output_whatever_it_is_given("countwalk", whole_list);
}

TEST(Countwalk, FailsWhenItsOutputCannotBeWritten) {
    expect_unwritable_output_fails("countwalk");
}

TEST(Countwalk, AbortsWithTheAssertionMessageWhenANodeCannotBeAllocated) {
    expect_node_failures_abort("countwalk", SYSKIT_SOURCE_DIR "/labs/lab06/countwalk.cpp",
                               whole_list);
}

TEST(CountwalkCreateList, GivesNoListForLengthsOfZeroOrLess) {
    const long calls_before = programs_malloc_calls();
    EXPECT_EQ(create_list(0), nullptr);
    EXPECT_EQ(create_list(-3), nullptr);
    EXPECT_EQ(create_list(INT32_MIN), nullptr);
    EXPECT_EQ(programs_malloc_calls(), calls_before);
}

TEST(CountwalkCreateList, HoldsZeroUpToLengthMinusOneInOrder) {
    for (const int32_t length : {1, 2, 7, 100}) {
        const long calls_before = programs_malloc_calls();
        node *list = create_list(length);
        EXPECT_EQ(programs_malloc_calls() - calls_before, length);
        int32_t expected = 0;
        for (const node *at = list; at != nullptr; at = at->next) {
            EXPECT_EQ(at->data, expected);
            expected++;
        }
        EXPECT_EQ(expected, length);
        EXPECT_EQ(print(list, length).released, length);
    }
}

TEST(CountwalkPrintList, PrintsOnlyTheEndForNoNodes) {
    EXPECT_EQ(print(nullptr, 0).text, "X\n");
    EXPECT_EQ(print(nullptr, -2).text, "X\n");
    node *list = create_list(2);
    const Printed nothing = print(list, 0);
    EXPECT_EQ(nothing.text, "X\n");
    EXPECT_EQ(nothing.released, 0);
    EXPECT_EQ(print(list, 2).text, "0->1->X\n");
}

TEST(CountwalkPrintList, ReleasesExactlyTheNodesItPrints) {
    const Printed all = print(create_list(7), 7);
    EXPECT_EQ(all.text, whole_list);
    EXPECT_EQ(all.released, 7);

    node *list = create_list(7);
    node *rest = list->next->next->next;
    const Printed first = print(list, 3);
    EXPECT_EQ(first.text, "0->1->2->X\n");
    EXPECT_EQ(first.released, 3);
    const Printed second = print(rest, 4);
    EXPECT_EQ(second.text, "3->4->5->6->X\n");
    EXPECT_EQ(second.released, 4);
}

TEST(CountwalkPrintList, StopsAtTheEndOfAListShorterThanAskedFor) {
    const Printed printed = print(create_list(3), 5);
    EXPECT_EQ(printed.text, "0->1->2->X\n");
    EXPECT_EQ(printed.released, 3);
}

} // namespace
