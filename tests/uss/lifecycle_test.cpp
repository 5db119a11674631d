// Loading and unloading the module on the emulated platform: what a load
// holds, failed loads, commands that arrive while loading, and unloading
// while ranging goes on.
#include "module_fixture.h"
#include "rtlinux/abi/platform_api.h"
#include "rtlinux/abi/platform_binding.h"

namespace uss_test {
namespace {

using Lifecycle = ModuleTest;

TEST_F(Lifecycle, LoadHoldsEveryResourceAndWaitsForCommands)
{
    EXPECT_EQ(rtlsim::read_modinfo(rtlsim::default_module_path()),
              std::vector<std::string>{"kernel_version=2.4.18-rtl3.1"});
    load();
    EXPECT_TRUE(m.fifos().exists(1));
    EXPECT_TRUE(m.fifos().has_handler(1));
    EXPECT_TRUE(m.fifos().exists(2));
    EXPECT_FALSE(m.fifos().has_handler(2));
    EXPECT_EQ(m.regions().owner(0x130), "USS");
    EXPECT_EQ(m.regions().owner(0x133), "USS");
    EXPECT_FALSE(m.regions().taken(0x134, 1));
    EXPECT_TRUE(m.irqs().installed(11));
    EXPECT_FALSE(m.irqs().enabled(11));
    ASSERT_EQ(m.scheduler().thread_count(), 1u);
    rtlsim::ThreadInfo info = m.scheduler().thread_info();
    EXPECT_EQ(info.stack_size, 20480);
    EXPECT_EQ(info.use_fp, 0);
    EXPECT_EQ(info.priority, 5);
    EXPECT_EQ(m.scheduler().thread_state(), rtlsim::ThreadState::waiting);
    EXPECT_EQ(*symbol<int>("iflag"), 1);
    EXPECT_NE(*symbol<rtl_thread_struct *>("tasks0"), nullptr);

    // Room for exactly 1000 values on FIFO 2.
    m.processes().stop_reader();
    int v = 0;
    {
        // rtf_put as the module calls it.
        rtlsim::PlatformBinding bound(m);
        for (int i = 0; i < 1000; ++i)
            ASSERT_EQ(rtlsim::api::fifo_put(2, &v, 4), 4);
        EXPECT_EQ(rtlsim::api::fifo_put(2, &v, 4), -28);
    }
    char drain[4000];
    m.processes().read(2, drain, sizeof drain);
    test_fifos::start_value_reader(m);

    // No period yet: nothing happens.
    m.run_until(5 * kSecond);
    EXPECT_EQ(m.pc().board().shots_total(), 0);
    EXPECT_TRUE(values().empty());
    EXPECT_EQ(m.kernel_log(), "");
}

TEST_F(Lifecycle, IoRegionTakenFailsAndLeavesNothing)
{
    m.regions().occupy(0x133, 1, "other driver");
    EXPECT_EQ(m.insmod(), -19);
    EXPECT_EQ(m.kernel_log(), "I/O error.\n");
    EXPECT_EQ(m.module_leftovers(), std::vector<std::string>{});
    EXPECT_FALSE(m.irqs().installed(11));
    EXPECT_FALSE(m.regions().taken(0x130, 3));
    EXPECT_EQ(m.regions().owner(0x133), "other driver");
    EXPECT_EQ(test_fifos::write_records(m, {{1, 1, 0}}), -19);  // no FIFO 1 any more
}

TEST_F(Lifecycle, Irq11TakenFailsReleasesTheRegionAndLeavesNothing)
{
    m.irqs().occupy(11);
    EXPECT_EQ(m.insmod(), -19);
    EXPECT_EQ(m.kernel_log(), "IRQ error.\n");
    EXPECT_EQ(m.module_leftovers(), std::vector<std::string>{});
    EXPECT_FALSE(m.regions().taken(0x130, 4));
    EXPECT_FALSE(m.fifos().exists(1));
    EXPECT_FALSE(m.fifos().exists(2));
    // IRQ 11 is another driver's; a later load gets it once it is free.
    EXPECT_EQ(m.insmod(), -19);
    EXPECT_EQ(m.kernel_log(), "IRQ error.\nIRQ error.\n");
}

// A record can be written to /dev/rtf1 as soon as FIFO 1 exists, at any
// platform call of the load.  It must not act before IRQ 11 and the thread
// exist (TearDown checks: no thread call on a null handle, no unmasking
// without a handler); it runs once the load is complete.
TEST(LoadRace, CommandWrittenAtAnyPointOfTheLoadRunsAfterIt)
{
    std::vector<std::string> calls;
    {
        rtlsim::Machine probe;
        probe.set_call_hook([&](const char *name) { calls.push_back(name); });
        ASSERT_EQ(probe.insmod(), 0);
        probe.set_call_hook(nullptr);
    }
    ASSERT_GT(calls.size(), 8u);
    int written = 0;
    for (size_t k = 0; k < calls.size(); ++k) {
        rtlsim::Machine m;
        test_fifos::start_value_reader(m);
        size_t n = 0;
        bool wrote = false;
        m.set_call_hook([&](const char *) {
            if (n++ == k && m.scheduler().context() == rtlsim::Context::linux_side)
                wrote = test_fifos::write_records(m, {{2, 1, 10}}) == 12;
        });
        ASSERT_EQ(m.insmod(), 0) << "write at call " << k << " (" << calls[k] << ")";
        m.set_call_hook(nullptr);
        EXPECT_EQ(m.pc().board().shots_total(), wrote ? 1 : 0) << "write at call " << k << " (" << calls[k] << ")";
        m.run_until(25 * kMillisecond);
        EXPECT_EQ(m.pc().board().shots_total(), wrote ? 3 : 0) << "write at call " << k;
        m.rmmod();
        EXPECT_EQ(m.violations(), std::vector<std::string>{}) << "write at call " << k << " (" << calls[k] << ")";
        written += wrote;
    }
    EXPECT_GT(written, 5);
}

TEST_F(Lifecycle, UnloadWhileRangingWithAnEchoOnItsWay)
{
    m.pc().board().set_target(0, 30 * kMillisecond);
    load();
    write(2, 1, 100);
    m.run_until(10 * kMillisecond);
    EXPECT_EQ(m.pc().board().echoes_in_flight(), 1u);
    m.rmmod();
    EXPECT_EQ(m.module_leftovers(), std::vector<std::string>{});
    m.run_until(kSecond);  // the echo comes back to a masked line
    EXPECT_EQ(m.pc().board().echoes_lost(), 1);
    EXPECT_EQ(values(), std::vector<int>{9999});
}

// Unloading takes a few platform calls; an echo interrupt or a periodic
// release may fall between any two of them.  Whichever it is, nothing may
// reach a destroyed FIFO or write the board after the region is released.
TEST(Teardown, EventsFallingBetweenAnyTwoStepsOfTheUnload)
{
    const hrtime shot = 10 * kMillisecond, echo = shot + 5 * kMillisecond,
                 release = 20 * kMillisecond;
    for (hrtime due : {echo, release}) {
        for (hrtime k = 0; k <= 10; ++k) {
            rtlsim::Machine m;
            test_fifos::start_value_reader(m);
            m.pc().board().set_target(0, echo - shot);
            ASSERT_EQ(m.insmod(), 0);
            m.run_until(shot);
            ASSERT_EQ(test_fifos::write_records(m, {{2, 1, 10}}), 12);
            m.run_until(due - k * kMicrosecond);
            m.set_call_cost(kMicrosecond);
            m.rmmod();
            m.run_until(50 * kMillisecond);
            EXPECT_EQ(m.violations(), std::vector<std::string>{})
                << (due == echo ? "echo" : "release") << " " << k << " us after the unload began";
            EXPECT_EQ(m.module_leftovers(), std::vector<std::string>{});
        }
    }
}

// A process that holds /dev/rtf1 or /dev/rtf2 open keeps a use count on the
// module: rmmod is refused and the module goes on as before.
TEST_F(Lifecycle, RmmodRefusedWhileEitherFifoIsOpen)
{
    m.pc().board().set_target(0, 3 * kMillisecond);
    load();
    write(2, 1, 10);
    for (unsigned fifo : {1u, 2u}) {
        const int pid = fifo == 1 ? rtlsim::LinuxProcesses::kWriterPid : rtlsim::LinuxProcesses::kReaderPid;
        ASSERT_EQ(m.processes().open(fifo, pid), 0);
        EXPECT_EQ(m.processes().module_use_count(), 1);
        EXPECT_EQ(m.rmmod(), -16);  // EBUSY
        EXPECT_EQ(m.loader_error(), "module in use: /dev/rtf" + std::to_string(fifo) + " open");
        EXPECT_TRUE(m.module_loaded());
        EXPECT_TRUE(m.fifos().has_handler(1));
        EXPECT_TRUE(m.irqs().installed(11));
        long shots = m.pc().board().shots_total();
        run_for(m, 20 * kMillisecond);
        EXPECT_EQ(m.pc().board().shots_total(), shots + 2);  // ranging goes on
        // The holder itself still writes and reads.
        write(1, 1, 0);
        EXPECT_EQ(m.processes().close(fifo, pid), 0);
        EXPECT_EQ(m.processes().module_use_count(), 0);
    }
    EXPECT_EQ(m.rmmod(), 0);
    EXPECT_EQ(m.rmmod(), -2);  // ENOENT: gone
}

// While another process holds /dev/rtf2, the reader's read() is refused:
// the values wait in the FIFO until it is free again.
TEST_F(Lifecycle, AnotherProcessHoldingFifo2KeepsTheReaderOut)
{
    m.pc().board().set_target(0, 3 * kMillisecond);
    load();
    ASSERT_EQ(m.processes().open(2, 9), 0);
    write(1, 1, 0);
    run_for(m, 10 * kMillisecond);
    EXPECT_TRUE(values().empty());
    EXPECT_EQ(m.fifos().used(2), 4u);
    EXPECT_EQ(test_fifos::write_records(m, {{1, 1, 0}}), 12);  // FIFO 1 is not held
    EXPECT_EQ(m.rmmod(), -16);
    m.processes().exit(9);
    run_for(m, 10 * kMillisecond);
    EXPECT_EQ(values(), (std::vector<int>{515, 515}));
}

// Records written while the module loads, before FIFO 1 has its handler,
// fill FIFO 1; a write that then does not fit waits, and goes in whole once
// the module's handler has taken the records.  Its own record runs then,
// once, in its own write().
TEST(LoadRace, AWriteThatDoesNotFitDuringTheLoadWaitsForTheHandler)
{
    rtlsim::Machine m;
    test_fifos::start_value_reader(m);
    std::vector<int> results;
    int first = 0, second = 0;
    m.processes().set_write_observer([&](int, unsigned, int r) { results.push_back(r); });
    m.set_call_hook([&](const char *call) {
        if (std::string(call) != "check_region" || first != 0)
            return;
        std::vector<std::array<int, 3>> idle(333, {0, 1, 0});  // 3996 bytes, no effect
        first = test_fifos::write_records(m, idle);
        second = test_fifos::write_records(m, {{1, 1, 0}});
        EXPECT_EQ(m.fifos().used(1), 3996u);
    });
    ASSERT_EQ(m.insmod(), 0);
    m.set_call_hook(nullptr);
    EXPECT_EQ(first, 3996);
    EXPECT_EQ(second, rtlsim::LinuxProcesses::kWriteWaits);
    EXPECT_EQ(results, std::vector<int>{12});
    EXPECT_EQ(m.processes().writes_waiting(), 0u);
    EXPECT_EQ(m.pc().board().shots_total(), 1);
    EXPECT_EQ(m.fifos().used(1), 0u);
    EXPECT_EQ(m.processes().module_use_count(), 0);
    EXPECT_EQ(m.rmmod(), 0);
    EXPECT_EQ(m.violations(), std::vector<std::string>{});
}

TEST_F(Lifecycle, AReloadStartsFromZero)
{
    m.pc().board().set_target(2, 3 * kMillisecond);
    load();
    write(1, 3, 0);
    m.run_until(10 * kMillisecond);
    EXPECT_EQ(values(), std::vector<int>{515});
    m.rmmod();
    load();
    const uss_msg_struct *msg = symbol<uss_msg_struct>("msg");
    EXPECT_EQ(msg->command, 0);
    EXPECT_EQ(msg->number, 0);
    EXPECT_EQ(*symbol<int>("data"), 0);
    EXPECT_EQ(*symbol<long long>("s_time"), 0);
    EXPECT_EQ(*symbol<long long>("r_time"), 0);
}

}  // namespace
}  // namespace uss_test
