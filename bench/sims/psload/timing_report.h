// The timing section of psload-sim's report: for each limit of the device's
// profile, the worst value the run gave it at the device's pins and the
// margin (negative: broken), the broken ones first; and the smallest -w
// that would have met every limit.
//
// Every DCLK half period of psload is one register write and -w delay
// writes, so each more -w adds one delay write to the setup, hold, high and
// low times and to the time before the first DCLK, and two to the period;
// the nCONFIG pulse (a delay write and an access) and the nSTATUS poll (101
// status reads) are the same whatever -w is.
#ifndef BENCH_SIMS_PSLOAD_TIMING_REPORT_H
#define BENCH_SIMS_PSLOAD_TIMING_REPORT_H

#include "boards/fpga_bench.h"

#include <string>

namespace bench {

// wait_count: psload's -w in the run (below 0 counts as 0).
std::string timing_report(FpgaBench &bench, int wait_count);

} // namespace bench

#endif
