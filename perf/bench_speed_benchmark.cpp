// How fast the bench simulates: a whole download of a 3.6-Mbit
// configuration (450000 values, about 11 million port accesses) through the
// simulated port seam, and single accesses to the parallel port.
#include "boards/fpga_bench.h"
#include "bus/io_bus.h"
#include "psload.h"
#include "seams/portio_sim.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr int kValues = 450000;

std::vector<unsigned char> bit_image(int values)
{
    std::vector<unsigned char> image(static_cast<std::size_t>(values) * 8);
    unsigned x = 12345;
    for (auto &b : image) {
        x = x * 1103515245u + 12345u;
        b = (x >> 16) & 1;
    }
    return image;
}

void BM_Download3600kbit(benchmark::State &state)
{
    std::vector<unsigned char> image = bit_image(kValues);
    status = download_status{};
    status.parallel_port_address = 0x378;
    status.dummy_port_address = 0x80;
    status.file_read_mode = FILE_TO_MEMORY;
    status.port_access_mode = DIRECT_ACCESS;
    count_data = kValues;
    parallel_data = image.data();

    bench::FpgaBenchConfig config;
    config.fpga.config_bits = 8ULL * kValues;
    std::uint64_t accesses = 0;
    bench::IoBus io;
    bench::PortioConnection seam(io);
    for (auto _ : state) {
        io.reset();
        bench::FpgaBench fpga_bench(io, config);
        if (download_data() != 0 || !fpga_bench.fpga().user_mode(io.now())) {
            state.SkipWithError("the device did not configure");
            break;
        }
        accesses += io.accesses();
    }
    state.counters["accesses"] = benchmark::Counter(static_cast<double>(accesses), benchmark::Counter::kIsRate);
    state.counters["accesses_per_run"] =
        benchmark::Counter(static_cast<double>(accesses), benchmark::Counter::kAvgIterations);
    parallel_data = nullptr;
}
BENCHMARK(BM_Download3600kbit)->Unit(benchmark::kMillisecond);

void BM_ParallelPortControlWrite(benchmark::State &state)
{
    bench::IoBus io;
    bench::FpgaBenchConfig config;
    config.fpga.config_bits = ~0ULL;
    bench::FpgaBench fpga_bench(io, config);
    io.permission(0x378, 3, 1);
    unsigned char v = 0x05;
    for (auto _ : state) {
        io.out8(0x37A, v);
        v ^= 0x01;
    }
    state.counters["accesses"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParallelPortControlWrite);

} // namespace

BENCHMARK_MAIN();
