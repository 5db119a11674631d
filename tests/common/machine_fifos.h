// The emulated machine's FIFOs as echorange's tests speak them: command
// records written to FIFO 1, distances read from FIFO 2, in the protocol's
// bytes (fifoproto/uss_records.h).  The machine itself carries bytes only.
#ifndef TESTS_COMMON_MACHINE_FIFOS_H
#define TESTS_COMMON_MACHINE_FIFOS_H

#include <array>
#include <vector>

#include "rtlinux/machine.h"
#include "uss_records.h"

namespace test_fifos {

// The writer's write() of command records (command, number, period) to
// /dev/rtf1, all in one.
inline int write_records(rtlsim::Machine &m, const std::vector<std::array<int, 3>> &records,
                         int pid = rtlsim::LinuxProcesses::kWriterPid)
{
    std::vector<unsigned char> bytes(records.size() * USS_RECORD_SIZE);
    for (size_t i = 0; i < records.size(); ++i)
        uss_record_put(&bytes[i * USS_RECORD_SIZE], records[i][0], records[i][1], records[i][2]);
    return m.processes().write(1, bytes.data(), bytes.size(), pid);
}

// The reader process takes each distance from /dev/rtf2 as it comes.
inline void start_value_reader(rtlsim::Machine &m)
{
    m.processes().start_reader(2, USS_VALUE_SIZE);
}

// The distances the reader got, in order.
inline std::vector<int> received_values(rtlsim::Machine &m)
{
    std::vector<int> v;
    for (const auto &r : m.processes().received())
        v.push_back(uss_value_get(r.bytes.data()));
    return v;
}

}  // namespace test_fifos

#endif
