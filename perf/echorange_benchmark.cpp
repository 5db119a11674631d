// Speed of the emulation: simulated time per second of wall time for 10 ms
// periodic ranging on one sensor with an echo every period (two values per
// period on FIFO 2, a reader taking them).  The goal is one simulated hour in
// under ten seconds, i.e. at least 360 simulated seconds per second.
#include <benchmark/benchmark.h>

#include "rtlinux/machine.h"
#include "uss_records.h"

namespace {

void BM_PeriodicRanging10ms(benchmark::State &state)
{
    const rtlsim::hrtime span = state.range(0) * rtlsim::kSecond;
    long values = 0;
    double simulated = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            rtlsim::Machine m;
            m.set_port_log(false);
            m.processes().start_reader(2, USS_VALUE_SIZE);
            m.processes().set_reader_sink([&](rtlsim::hrtime, const unsigned char *, size_t) { ++values; });
            m.pc().board().set_target(0, bench::EchoBoard::flight_for_mm(1000));
            if (m.insmod() != 0) {
                state.SkipWithError(m.loader_error().c_str());
                return;
            }
            unsigned char record[USS_RECORD_SIZE];
            uss_record_put(record, 2, 1, 10);
            m.processes().write(1, record, sizeof record);
            state.ResumeTiming();
            rtlsim::run_for(m, span);
            state.PauseTiming();
        }
        simulated += static_cast<double>(span) / rtlsim::kSecond;
        state.ResumeTiming();
    }
    state.counters["sim_s_per_s"] = benchmark::Counter(simulated, benchmark::Counter::kIsRate);
    state.counters["values"] = static_cast<double>(values);
}

// Simulated seconds per iteration: a minute, and a whole hour.
BENCHMARK(BM_PeriodicRanging10ms)->Arg(60)->Arg(3600)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
