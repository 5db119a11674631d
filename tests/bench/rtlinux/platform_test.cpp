// The emulated platform itself: the RTLinux and Linux 2.4 behaviour the
// module tests rely on, driven directly (no module loaded).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rtlinux/abi/machine_binding.h"
#include "rtlinux/machine.h"

namespace {

using rtlsim::hrtime;
using rtlsim::kMillisecond;
using rtlsim::Machine;


TEST(EmulatedFifo, PutIsAllOrNothingGetIsPartialHandlerRunsOncePerWrite)
{
    Machine m;
    ASSERT_EQ(m.fifo_create(2, 10), 0);
    const char data[] = "abcdefgh";
    EXPECT_EQ(m.fifo_put(2, data, 8), 8);
    EXPECT_EQ(m.fifo_put(2, data, 4), -28);  // 2 bytes free: nothing written
    EXPECT_EQ(m.fifos().used(2), 8u);
    EXPECT_EQ(m.fifos().refused(2), 1);
    char got[16] = {};
    EXPECT_EQ(m.fifo_get(2, got, 12), 8);  // what there is
    EXPECT_STREQ(got, "abcdefgh");
    EXPECT_EQ(m.fifos().used(2), 0u);

    static std::vector<size_t> seen;
    seen.clear();
    ASSERT_EQ(m.fifo_create(1, 4000), 0);
    ASSERT_EQ(m.fifo_set_handler(1, [](unsigned fifo) {
        seen.push_back(rtlsim::bound_machine()->fifos().used(fifo));
        return 0;
    }), 0);
    char record[24] = {};
    EXPECT_EQ(m.linux_write(1, record, 24), 24);
    EXPECT_EQ(m.linux_write(1, record, 5), 5);
    EXPECT_EQ(seen, (std::vector<size_t>{24, 29}));  // once per write, all bytes in

    m.fifo_destroy(1);
    m.fifo_destroy(2);
    EXPECT_EQ(m.linux_write(1, record, 12), -19);
    EXPECT_TRUE(m.violations().empty());
}

// Linux processes on the FIFOs, as rtl_fifo.c has them: one process at a
// time, and a FIFO a process holds open cannot be destroyed.
TEST(EmulatedFifo, OneProcessAtATimeAndNoDestroyWhileOpen)
{
    Machine m;
    ASSERT_EQ(m.fifo_create(1, 100), 0);
    EXPECT_EQ(m.linux_open(1, 5), 0);
    EXPECT_EQ(m.linux_open(1, 5), 0);  // the same process again
    EXPECT_EQ(m.fifos().open_count(1), 2);
    EXPECT_EQ(m.linux_open(1, 6), -13);  // EACCES
    char b[4] = {1, 2, 3, 4};
    EXPECT_EQ(m.linux_write(1, b, 4, 6), -13);
    EXPECT_EQ(m.linux_read(1, b, 4, 6), -13);
    EXPECT_EQ(m.fifos().used(1), 0u);
    EXPECT_EQ(m.linux_write(1, b, 4, 5), 4);  // the holder writes
    EXPECT_EQ(m.linux_close(1, 6), -9);        // EBADF: 6 holds nothing

    EXPECT_EQ(m.fifo_destroy(1), -22);  // EINVAL while open; it stays
    EXPECT_TRUE(m.fifos().exists(1));
    EXPECT_EQ(m.fifos().used(1), 4u);
    EXPECT_EQ(m.linux_close(1, 5), 0);
    EXPECT_EQ(m.fifo_destroy(1), -22);  // still open once
    m.linux_exit(5);
    EXPECT_EQ(m.fifos().open_count(1), 0);
    EXPECT_EQ(m.linux_open(1, 6), 0);  // free again, for anyone
    m.linux_exit(6);
    EXPECT_EQ(m.fifo_destroy(1), 0);
    EXPECT_EQ(m.linux_open(1, 6), -19);  // ENODEV: no such FIFO
    EXPECT_EQ(m.module_use_count(), 0);  // FIFOs made by no module take none
    EXPECT_TRUE(m.violations().empty());
}

// A write of at most the buffer's size waits until all of it fits; the
// handler runs once, after the last byte is in.
class EmulatedFifoWrite : public ::testing::Test {
protected:
    Machine m;
    static std::vector<size_t> handled;  // bytes in the FIFO at each handler call
    std::vector<std::pair<int, int>> done;  // (pid, result) of writes that waited

    void SetUp() override
    {
        handled.clear();
        ASSERT_EQ(m.fifo_create(1, 10), 0);
        ASSERT_EQ(m.fifo_set_handler(1, [](unsigned fifo) {
            handled.push_back(rtlsim::bound_machine()->fifos().used(fifo));
            return 0;
        }), 0);
        m.set_write_observer([this](int pid, unsigned fifo, int result) {
            EXPECT_EQ(fifo, 1u);
            done.emplace_back(pid, result);
        });
    }
    std::string take(int n)  // the real-time side reads
    {
        char buf[64] = {};
        int got = m.fifo_get(1, buf, n);
        return std::string(buf, static_cast<size_t>(got > 0 ? got : 0));
    }
};
std::vector<size_t> EmulatedFifoWrite::handled;

TEST_F(EmulatedFifoWrite, WaitsForRoomForAllOfIt)
{
    ASSERT_EQ(m.fifo_put(1, "abcdef", 6), 6);
    EXPECT_EQ(m.linux_write(1, "ABCDEFGH", 8), Machine::kWriteWaits);
    EXPECT_EQ(m.fifos().used(1), 6u);  // nothing of it yet, not even what fits
    EXPECT_EQ(m.fifos().open_count(1), 1);  // the writer is inside write()
    EXPECT_EQ(take(3), "abc");
    m.run_for(kMillisecond);
    EXPECT_EQ(m.fifos().used(1), 3u);  // 7 free: still not enough
    EXPECT_TRUE(handled.empty());
    EXPECT_EQ(take(1), "d");
    m.run_for(kMillisecond);  // the Linux side gets the processor: it goes on
    EXPECT_EQ(handled, std::vector<size_t>{10});
    EXPECT_EQ(done, (std::vector<std::pair<int, int>>{{Machine::kWriterPid, 8}}));
    EXPECT_EQ(m.writes_waiting(), 0u);
    EXPECT_EQ(m.fifos().open_count(1), 0);
    EXPECT_EQ(take(20), "efABCDEFGH");
    EXPECT_TRUE(m.violations().empty());
}

TEST_F(EmulatedFifoWrite, LongerThanTheBufferGoesInPiecesHandlerOnceAtTheEnd)
{
    EXPECT_EQ(m.linux_write(1, "0123456789abcdefghijklmno", 25), Machine::kWriteWaits);
    EXPECT_EQ(m.fifos().used(1), 10u);  // as much as fits, at once
    // A second write of the same process comes after the first.
    EXPECT_EQ(m.linux_write(1, "XY", 2), Machine::kWriteWaits);
    std::string got = take(4);
    m.run_for(kMillisecond);
    got += take(64);
    m.run_for(kMillisecond);
    got += take(64);
    EXPECT_TRUE(handled.empty());  // 1 byte of the first write still out
    m.run_for(kMillisecond);
    EXPECT_EQ(handled, (std::vector<size_t>{1, 3}));  // after its last byte; then the second's
    EXPECT_EQ(got + take(64), "0123456789abcdefghijklmnoXY");
    EXPECT_EQ(done, (std::vector<std::pair<int, int>>{{1, 25}, {1, 2}}));
}

TEST_F(EmulatedFifoWrite, ProcessEndInterruptsAWaitingWriteWithoutTheHandler)
{
    ASSERT_EQ(m.fifo_put(1, "0123456789", 10), 10);
    EXPECT_EQ(m.linux_write(1, "abcd", 4, 7), Machine::kWriteWaits);
    EXPECT_EQ(m.linux_write(1, "0123456789abc", 13, 8), -13);  // 7 holds it
    m.linux_exit(7);
    EXPECT_EQ(done, (std::vector<std::pair<int, int>>{{7, -4}}));  // EINTR, nothing in
    EXPECT_EQ(m.fifos().open_count(1), 0);
    EXPECT_EQ(take(2), "01");
    EXPECT_EQ(m.linux_write(1, "0123456789abc", 13, 8), Machine::kWriteWaits);
    EXPECT_EQ(m.fifos().used(1), 10u);  // 2 bytes in
    m.linux_exit(8);
    EXPECT_EQ(done.back(), std::make_pair(8, 2));
    EXPECT_TRUE(handled.empty());
}

TEST_F(EmulatedFifoWrite, AReadRunsTheHandlerToo)
{
    ASSERT_EQ(m.fifo_put(1, "abc", 3), 3);
    char buf[8];
    EXPECT_EQ(m.linux_read(1, buf, 8), 3);
    EXPECT_EQ(m.linux_read(1, buf, 8), 0);  // nothing read: no handler
    EXPECT_EQ(handled, std::vector<size_t>{0});
}

TEST(EmulatedPlatform, RegionsAndInterruptLines)
{
    Machine m;
    m.regions().occupy(0x131, 1, "other");
    EXPECT_EQ(m.region_check(0x130, 4), -16);
    EXPECT_EQ(m.region_request(0x130, 4, "USS"), nullptr);
    EXPECT_EQ(m.region_check(0x134, 4), 0);
    EXPECT_NE(m.region_request(0x134, 4, "mine"), nullptr);
    EXPECT_TRUE(m.regions().taken(0x137, 1));
    m.region_release(0x134, 4);
    EXPECT_FALSE(m.regions().taken(0x134, 4));

    auto handler = [](unsigned, pt_regs *) -> unsigned { return 0; };
    m.irqs().occupy(5);
    EXPECT_EQ(m.irq_request(5, handler), -16);
    EXPECT_EQ(m.irq_request(11, handler), 0);
    EXPECT_EQ(m.irq_request(11, handler), -16);
    EXPECT_FALSE(m.irqs().enabled(11));  // masked until enabled
    EXPECT_EQ(m.irq_free(11), 0);
    EXPECT_TRUE(m.violations().empty());
}

// What the module could do wrong is caught, not crashed on.
TEST(EmulatedPlatform, RuleBreakingIsRecorded)
{
    Machine m;
    m.port_out(0x132, 1);  // board port without the region
    char b[4] = {};
    m.fifo_put(2, b, 4);     // FIFO that does not exist
    m.thread_wakeup(nullptr);  // null thread handle
    m.irq_enable(11);        // unmasked with no handler
    m.region_release(0x130, 4);
    ASSERT_EQ(m.violations().size(), 5u);
    EXPECT_NE(m.violations()[0].find("without the I/O region"), std::string::npos);
    EXPECT_NE(m.violations()[1].find("does not exist"), std::string::npos);
    EXPECT_NE(m.violations()[2].find("null thread handle"), std::string::npos);
    EXPECT_NE(m.violations()[3].find("no handler"), std::string::npos);
    EXPECT_NE(m.violations()[4].find("no such region"), std::string::npos);
}

// ---- threads ----

std::vector<hrtime> releases;

void *recorder(void *)
{
    Machine &m = *rtlsim::bound_machine();  // the machine running this code
    for (;;) {
        releases.push_back(m.clock());
        m.thread_wait();
    }
}

class EmulatedThread : public ::testing::Test {
protected:
    Machine m;
    rtl_thread_struct *t = nullptr;
    void SetUp() override
    {
        releases.clear();
        ASSERT_EQ(m.thread_create(&t, {20480, 0, 5, 0}, recorder, nullptr), 0);
        ASSERT_EQ(releases, std::vector<hrtime>{0});  // runs at once, then waits
    }
    void TearDown() override
    {
        m.thread_delete(t);
        EXPECT_TRUE(m.violations().empty());
    }
};

TEST_F(EmulatedThread, WithoutPeriodWaitsUntilWoken)
{
    m.run_until(1000 * kMillisecond);
    EXPECT_EQ(releases.size(), 1u);
    m.thread_wakeup(t);
    EXPECT_EQ(releases, (std::vector<hrtime>{0, 1000 * kMillisecond}));
}

TEST_F(EmulatedThread, PeriodicSeriesFromStartTime)
{
    m.run_until(2 * kMillisecond);
    m.thread_make_periodic(t, 5 * kMillisecond, 10 * kMillisecond);
    m.run_until(30 * kMillisecond);
    EXPECT_EQ(releases, (std::vector<hrtime>{0, 5 * kMillisecond, 15 * kMillisecond, 25 * kMillisecond}));
}

TEST_F(EmulatedThread, WakeupAtTheStartInstantIsOneRelease)
{
    m.run_until(3 * kMillisecond);
    m.thread_make_periodic(t, m.now(), 10 * kMillisecond);
    m.thread_wakeup(t);
    m.run_until(24 * kMillisecond);
    EXPECT_EQ(releases, (std::vector<hrtime>{0, 3 * kMillisecond, 13 * kMillisecond, 23 * kMillisecond}));
}

TEST_F(EmulatedThread, PeriodZeroReleasesOnceNegativeIsRefused)
{
    m.thread_make_periodic(t, 4 * kMillisecond, 0);
    m.run_until(100 * kMillisecond);
    EXPECT_EQ(releases, (std::vector<hrtime>{0, 4 * kMillisecond}));

    m.thread_make_periodic(t, 100 * kMillisecond, 10 * kMillisecond);
    EXPECT_EQ(m.thread_make_periodic(t, 100 * kMillisecond, -1), 22);  // EINVAL, series kept
    m.run_until(125 * kMillisecond);
    EXPECT_EQ(releases, (std::vector<hrtime>{0, 4 * kMillisecond, 100 * kMillisecond,
                                             110 * kMillisecond, 120 * kMillisecond}));
}

TEST_F(EmulatedThread, SuspendedThreadSkipsItsSeriesUntilWoken)
{
    m.thread_make_periodic(t, 10 * kMillisecond, 10 * kMillisecond);
    m.run_until(15 * kMillisecond);
    m.thread_suspend(t);
    m.run_until(55 * kMillisecond);
    m.thread_wakeup(t);
    m.run_until(65 * kMillisecond);
    EXPECT_EQ(releases, (std::vector<hrtime>{0, 10 * kMillisecond, 55 * kMillisecond,
                                             60 * kMillisecond}));
}

// ---- interrupts and the board ----

std::vector<hrtime> irqs;

unsigned ack_handler(unsigned, pt_regs *)
{
    Machine &m = *rtlsim::bound_machine();  // the machine running this code
    m.port_out(0x132, 2);
    irqs.push_back(m.clock());
    m.port_out(0x132, 1);
    return 0;
}

TEST(EmulatedBoard, EchoAfterFlightTimeOnlyWhileTheLineIsUnmasked)
{
    Machine m;
    irqs.clear();
    ASSERT_NE(m.region_request(0x130, 4, "USS"), nullptr);
    ASSERT_EQ(m.irq_request(11, ack_handler), 0);
    m.board().set_target(2, bench::EchoBoard::flight_for_mm(1000));
    EXPECT_EQ(bench::EchoBoard::flight_for_mm(1000), 5819029);

    m.port_out(0x132, 1);
    m.port_out(0x130, 2);  // masked: the echo is lost
    m.run_until(10 * kMillisecond);
    EXPECT_TRUE(irqs.empty());
    EXPECT_EQ(m.board().echoes_lost(), 1);

    m.irq_enable(11);
    m.port_out(0x132, 1);
    m.port_out(0x130, 2);
    m.port_out(0x132, 1);
    m.port_out(0x130, 7);  // no target on channel 7: no echo
    m.run_until(30 * kMillisecond);
    EXPECT_EQ(irqs, std::vector<hrtime>{10 * kMillisecond + 5819029});
    EXPECT_EQ(m.board().shots(2), 2);
    EXPECT_EQ(m.board().shots(7), 1);

    // While the processor's interrupt flag is masked the echo waits.
    m.port_out(0x132, 1);
    m.port_out(0x130, 2);
    m.run_until(31 * kMillisecond);
    unsigned long flags = m.irq_save();
    m.run_until(40 * kMillisecond);
    EXPECT_EQ(irqs.size(), 1u);
    m.irq_restore(flags);
    EXPECT_EQ(irqs.back(), 40 * kMillisecond);
    EXPECT_TRUE(m.violations().empty());

    // The board checks the handshake: every channel byte needs its own
    // arming, an acknowledgement an interrupt.
    m.port_out(0x132, 1);
    m.port_out(0x130, 2);
    m.port_out(0x130, 2);
    m.port_out(0x132, 2);
    EXPECT_EQ(m.violations().size(), 2u);
    m.irq_free(11);
}

}  // namespace

// ---- more than one machine ----

// Each machine's threads and handlers reach their own machine through the
// platform's entry points, however the two runs interleave; and a module
// loaded on one runs while the other machine exists and runs too.
std::vector<std::pair<Machine *, hrtime>> woken;

void *note_machine(void *)
{
    for (;;) {
        Machine *self = rtlsim::bound_machine();
        woken.emplace_back(self, self->clock());
        self->thread_wait();
    }
}

TEST(TwoMachines, EachRunsItsOwnThreadsAndItsOwnModule)
{
    woken.clear();
    Machine a, b;
    rtl_thread_struct *ta = nullptr, *tb = nullptr;
    ASSERT_EQ(a.thread_create(&ta, {20480, 0, 5, 0}, note_machine, nullptr), 0);
    ASSERT_EQ(b.thread_create(&tb, {20480, 0, 5, 0}, note_machine, nullptr), 0);
    a.thread_make_periodic(ta, 0, 10 * kMillisecond);
    b.thread_make_periodic(tb, 0, 7 * kMillisecond);
    woken.clear();
    a.run_until(15 * kMillisecond);
    b.run_until(15 * kMillisecond);
    a.run_until(25 * kMillisecond);
    EXPECT_EQ(woken, (std::vector<std::pair<Machine *, hrtime>>{
                         {&a, 10 * kMillisecond}, {&b, 7 * kMillisecond}, {&b, 14 * kMillisecond},
                         {&a, 20 * kMillisecond}}));
    EXPECT_EQ(rtlsim::bound_machine(), nullptr);  // nothing stays bound between runs
    a.thread_delete(ta);

    // What the module reads on a machine of its own ...
    std::vector<rtlsim::FifoValue> alone;
    {
        Machine c;
        c.board().set_target(0, bench::EchoBoard::flight_for_mm(1000));
        c.run_until(25 * kMillisecond);  // where a's clock is
        ASSERT_EQ(c.insmod(), 0) << c.loader_error();
        ASSERT_EQ(c.linux_write_records({{2, 1, 10}}), 12);
        c.run_until(70 * kMillisecond);
        alone = c.received();
        ASSERT_EQ(c.rmmod(), 0);
    }
    ASSERT_GE(alone.size(), 4u);
    // ... and on a, while b's thread keeps its own series in between.
    a.board().set_target(0, bench::EchoBoard::flight_for_mm(1000));
    ASSERT_EQ(a.insmod(), 0) << a.loader_error();
    ASSERT_EQ(a.linux_write_records({{2, 1, 10}}), 12);
    woken.clear();
    a.run_until(50 * kMillisecond);
    b.run_until(30 * kMillisecond);
    a.run_until(70 * kMillisecond);
    ASSERT_EQ(a.received().size(), alone.size());
    for (size_t i = 0; i < alone.size(); ++i) {
        EXPECT_EQ(a.received()[i].value, alone[i].value) << i;
        EXPECT_EQ(a.received()[i].time, alone[i].time) << i;
    }
    EXPECT_TRUE(b.received().empty());
    EXPECT_EQ(b.port_log().size(), 0u);
    EXPECT_EQ(woken, (std::vector<std::pair<Machine *, hrtime>>{{&b, 21 * kMillisecond}, {&b, 28 * kMillisecond}}));
    EXPECT_EQ(a.rmmod(), 0);
    b.thread_delete(tb);
    EXPECT_TRUE(a.violations().empty());
    EXPECT_TRUE(b.violations().empty());
}
