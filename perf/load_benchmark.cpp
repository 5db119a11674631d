// Load phase in memory mode (count, allocate, decode, close, release) on a
// generated 1.8 MB TTF file of 450,000 values, as text throughput.
#include "psload.h"
#include "run.h"
#include "ttf_writer.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

static void BM_LoadToMemory(benchmark::State &state)
{
    testutil::TempDir dir;
    ttfgen::Layout layout;
    layout.count = state.range(0);
    layout.per_line = 92;
    const std::string text = ttfgen::text(layout);
    const std::string path = dir.write("bench.ttf", text);

    initialize_defaults();
    std::snprintf(status.input_file_name, sizeof status.input_file_name, "%s", path.c_str());
    for (auto _ : state) {
        if (file_read() != 0) {
            state.SkipWithError("load failed");
            break;
        }
        benchmark::DoNotOptimize(parallel_data);
        settle_all();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["values"] = static_cast<double>(layout.count);
}
BENCHMARK(BM_LoadToMemory)->Arg(450000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
