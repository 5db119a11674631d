// Tests of the echorange module loaded on the emulated platform.
#ifndef TESTS_USS_MODULE_FIXTURE_H
#define TESTS_USS_MODULE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boards/rangefinder_map.h"
#include "echorange.h"
#include "machine_fifos.h"
#include "rtlinux/machine.h"

namespace uss_test {

using rtlsim::hrtime;
using rtlsim::kMillisecond;
using rtlsim::kMicrosecond;
using rtlsim::kSecond;

// The board's ports, where the lab PC has them.
constexpr unsigned kChannelPort = bench::rangefinder_map::kChannelPort;
constexpr unsigned kControlPort = bench::rangefinder_map::kControlPort;

// A fresh machine per test.  Whatever a test does, the module must break no
// platform rule and an unload must leave nothing behind.
class ModuleTest : public ::testing::Test {
protected:
    rtlsim::Machine m;

    // The reader takes each distance from FIFO 2 as it comes.
    ModuleTest() { test_fifos::start_value_reader(m); }

    void TearDown() override
    {
        if (m.module_loaded())
            m.rmmod();
        EXPECT_EQ(m.violations(), std::vector<std::string>{});
        EXPECT_EQ(m.module_leftovers(), std::vector<std::string>{});
    }

    void load() { ASSERT_EQ(m.insmod(), 0) << m.loader_error(); }

    void write(int command, int number, int period)
    {
        ASSERT_EQ(test_fifos::write_records(m, {{command, number, period}}), 12);
    }

    void write_at(hrtime t, int command, int number, int period)
    {
        m.run_until(t);
        write(command, number, period);
    }

    std::vector<int> values() { return test_fifos::received_values(m); }

    std::vector<hrtime> value_times()
    {
        std::vector<hrtime> t;
        for (const auto &v : m.processes().received())
            t.push_back(v.time);
        return t;
    }

    // The channel bytes of the shots, in order.
    std::vector<unsigned> channels() const
    {
        std::vector<unsigned> c;
        for (const auto &w : m.port_log())
            if (w.port == kChannelPort)
                c.push_back(w.value);
        return c;
    }

    std::vector<hrtime> shot_times() const
    {
        std::vector<hrtime> t;
        for (const auto &w : m.port_log())
            if (w.port == kChannelPort)
                t.push_back(w.time);
        return t;
    }

    template <typename T>
    T *symbol(const char *name)
    {
        void *p = m.module_symbol(name);
        EXPECT_NE(p, nullptr) << name;
        return static_cast<T *>(p);
    }
};

}  // namespace uss_test

#endif
