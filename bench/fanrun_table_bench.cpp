// The runner's table bookkeeping at 1e3 to 1e6 records: recording an outcome (updateStatus) through
// the pid index a run keeps for its own table, side by side with the search from the first record
// that a table without an index gets, and the full report written to /dev/null.
//
// Outcomes are recorded in a fixed shuffled order of the pids (commands end in any order); when
// every record has one, the records are reset off the clock and the round starts again.
// Counters: ns_per_op (CPU time per outcome or per report line).
#include "fanrun.h"
#include "fanrun_params.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

PARALLEL_PARAMS pparams;

namespace {

// A table of n running commands with distinct pids, installed as processControl.
class Table {
  public:
    explicit Table(int n) : records_(static_cast<size_t>(n)), commands_(static_cast<size_t>(n)) {
        for (int i = 0; i < n; ++i) {
            commands_[i] = "true " + std::to_string(i);
            records_[i] = {300 + i, 0, -1, 0, commands_[i].data()};
            order_.push_back(300 + i);
        }
        std::shuffle(order_.begin(), order_.end(), std::mt19937(42));
        processControl = {n, n, n, 0, records_.data()};
    }
    ~Table() {
        processControl = {};
        fanrunIndexTable(); // drops the index
    }
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;

    void rewind() {
        for (PROCESS_STRUCT &record : records_) {
            record.ifExited = 0;
            record.exitStatus = -1;
            record.status = 0;
        }
    }
    void finishAll() {
        for (PROCESS_STRUCT &record : records_) {
            record.ifExited = 1;
            record.exitStatus = 0;
        }
        processControl.numRunning = 0;
        processControl.numCompleted = processControl.numProcesses;
    }
    const std::vector<int> &order() const { return order_; }

  private:
    std::vector<PROCESS_STRUCT> records_;
    std::vector<std::string> commands_;
    std::vector<int> order_;
};

// CPU time per item, with items per iteration.
void perItem(benchmark::State &state, int64_t items) {
    state.counters["ns_per_op"] = benchmark::Counter(static_cast<double>(items) * 1e-9,
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void recordOutcomes(benchmark::State &state, bool indexed) {
    Table table(static_cast<int>(state.range(0)));
    if (indexed && fanrunIndexTable() != 1) {
        state.SkipWithError("no memory for the index");
        return;
    }
    const std::vector<int> &order = table.order();
    size_t next = 0;
    for (auto _ : state) {
        if (next == order.size()) {
            state.PauseTiming();
            table.rewind();
            next = 0;
            state.ResumeTiming();
        }
        updateStatus(order[next++], 0);
    }
    perItem(state, 1);
}

void BM_UpdateStatusIndexed(benchmark::State &state) {
    recordOutcomes(state, true);
}
void BM_UpdateStatusSearched(benchmark::State &state) {
    recordOutcomes(state, false);
}

void BM_FullReportToDevNull(benchmark::State &state) {
    Table table(static_cast<int>(state.range(0)));
    table.finishAll();
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    close(devNull);
    for (auto _ : state) {
        printSummaryFull();
    }
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    perItem(state, state.range(0));
}

} // namespace

BENCHMARK(BM_UpdateStatusIndexed)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(BM_UpdateStatusSearched)->RangeMultiplier(10)->Range(1000, 100000);
BENCHMARK(BM_FullReportToDevNull)->RangeMultiplier(10)->Range(1000, 1000000);

BENCHMARK_MAIN();
