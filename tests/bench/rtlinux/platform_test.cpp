// The emulated platform itself: the RTLinux and Linux 2.4 behaviour the
// module tests rely on, driven directly (no module loaded).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "machine_fifos.h"
#include "rtlinux/abi/platform_api.h"
#include "rtlinux/abi/platform_binding.h"
#include "rtlinux/machine.h"

namespace {

using rtlsim::hrtime;
using rtlsim::kMillisecond;
using rtlsim::LinuxProcesses;
using rtlsim::Machine;
using rtlsim::PlatformBinding;
namespace api = rtlsim::api;

// The machine whose platform is tested: the handlers and thread bodies
// below look at it (their code runs with its platform bound).
Machine *tested = nullptr;

// The platform operations as the module's code calls them: through the C
// entry points' interface (abi/platform_api.h), with the machine bound as
// while the module runs.
namespace as_module {

int fifo_create(Machine &m, unsigned fifo, int size)
{
    PlatformBinding bound(m);
    return api::fifo_create(fifo, size, nullptr);
}
int fifo_destroy(Machine &m, unsigned fifo)
{
    PlatformBinding bound(m);
    return api::fifo_destroy(fifo);
}
int fifo_set_handler(Machine &m, unsigned fifo, api::FifoHandler handler)
{
    PlatformBinding bound(m);
    return api::fifo_set_handler(fifo, handler);
}
int fifo_get(Machine &m, unsigned fifo, void *buf, int n)
{
    PlatformBinding bound(m);
    return api::fifo_get(fifo, buf, n);
}
int fifo_put(Machine &m, unsigned fifo, const void *buf, int n)
{
    PlatformBinding bound(m);
    return api::fifo_put(fifo, buf, n);
}
int region_check(Machine &m, unsigned long start, unsigned long n)
{
    PlatformBinding bound(m);
    return api::region_check(start, n);
}
void *region_request(Machine &m, unsigned long start, unsigned long n, const char *name)
{
    PlatformBinding bound(m);
    return api::region_request(start, n, name);
}
void region_release(Machine &m, unsigned long start, unsigned long n)
{
    PlatformBinding bound(m);
    api::region_release(start, n);
}
int irq_request(Machine &m, unsigned irq, api::IrqHandler handler)
{
    PlatformBinding bound(m);
    return api::irq_request(irq, handler);
}
int irq_free(Machine &m, unsigned irq)
{
    PlatformBinding bound(m);
    return api::irq_free(irq);
}
void irq_enable(Machine &m, unsigned irq)
{
    PlatformBinding bound(m);
    api::irq_enable(irq);
}
unsigned long irq_save(Machine &m)
{
    PlatformBinding bound(m);
    return api::irq_save();
}
void irq_restore(Machine &m, unsigned long flags)
{
    PlatformBinding bound(m);
    api::irq_restore(flags);
}
void port_out(Machine &m, unsigned port, unsigned value)
{
    PlatformBinding bound(m);
    api::port_out(port, value);
}
int thread_create(Machine &m, rtl_thread_struct **t, rtlsim::ThreadInfo info, api::ThreadBody body, void *arg)
{
    PlatformBinding bound(m);
    return api::thread_create(t, info.stack_size, info.use_fp, info.priority, info.cpu, body, arg, nullptr);
}
int thread_make_periodic(Machine &m, rtl_thread_struct *t, hrtime start, hrtime period)
{
    PlatformBinding bound(m);
    return api::thread_make_periodic(t, start, period);
}
int thread_wakeup(Machine &m, rtl_thread_struct *t)
{
    PlatformBinding bound(m);
    return api::thread_wakeup(t);
}
int thread_suspend(Machine &m, rtl_thread_struct *t)
{
    PlatformBinding bound(m);
    return api::thread_suspend(t);
}
int thread_delete(Machine &m, rtl_thread_struct *t)
{
    PlatformBinding bound(m);
    return api::thread_delete(t);
}

}  // namespace as_module


TEST(EmulatedFifo, PutIsAllOrNothingGetIsPartialHandlerRunsOncePerWrite)
{
    Machine m;
    tested = &m;
    ASSERT_EQ(as_module::fifo_create(m, 2, 10), 0);
    const char data[] = "abcdefgh";
    EXPECT_EQ(as_module::fifo_put(m, 2, data, 8), 8);
    EXPECT_EQ(as_module::fifo_put(m, 2, data, 4), -28);  // 2 bytes free: nothing written
    EXPECT_EQ(m.fifos().used(2), 8u);
    EXPECT_EQ(m.fifos().refused(2), 1);
    char got[16] = {};
    EXPECT_EQ(as_module::fifo_get(m, 2, got, 12), 8);  // what there is
    EXPECT_STREQ(got, "abcdefgh");
    EXPECT_EQ(m.fifos().used(2), 0u);

    static std::vector<size_t> seen;
    seen.clear();
    ASSERT_EQ(as_module::fifo_create(m, 1, 4000), 0);
    ASSERT_EQ(as_module::fifo_set_handler(m, 1, [](unsigned fifo) {
        seen.push_back(tested->fifos().used(fifo));
        return 0;
    }), 0);
    char record[24] = {};
    EXPECT_EQ(m.processes().write(1, record, 24), 24);
    EXPECT_EQ(m.processes().write(1, record, 5), 5);
    EXPECT_EQ(seen, (std::vector<size_t>{24, 29}));  // once per write, all bytes in

    as_module::fifo_destroy(m, 1);
    as_module::fifo_destroy(m, 2);
    EXPECT_EQ(m.processes().write(1, record, 12), -19);
    EXPECT_TRUE(m.violations().empty());
}

// Linux processes on the FIFOs, as rtl_fifo.c has them: one process at a
// time, and a FIFO a process holds open cannot be destroyed.
// The reader process is whatever FIFO and read size its caller chooses: the
// FIFOs carry bytes, and it takes whole chunks only, leaving a short rest.
TEST(EmulatedFifo, ReaderTakesWholeChunksOfTheFifoItIsGiven)
{
    Machine m;
    ASSERT_EQ(as_module::fifo_create(m, 3, 16), 0);
    ASSERT_EQ(as_module::fifo_create(m, 2, 16), 0);
    m.processes().start_reader(3, 2, 7);
    EXPECT_EQ(as_module::fifo_put(m, 2, "zz", 2), 2);  // not its FIFO
    EXPECT_EQ(as_module::fifo_put(m, 3, "abcde", 5), 5);
    run_for(m, kMillisecond);
    const auto &got = m.processes().received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(std::string(got[0].bytes.begin(), got[0].bytes.end()), "ab");
    EXPECT_EQ(std::string(got[1].bytes.begin(), got[1].bytes.end()), "cd");
    EXPECT_EQ(m.fifos().used(3), 1u);  // "e" waits for a whole chunk
    EXPECT_EQ(m.fifos().used(2), 2u);
    EXPECT_EQ(m.fifos().open_count(3), 0);  // open only while reading
    // Held open by another process, the reader gets nothing.
    ASSERT_EQ(m.processes().open(3, 9), 0);
    EXPECT_EQ(as_module::fifo_put(m, 3, "f", 1), 1);
    run_for(m, kMillisecond);
    EXPECT_EQ(got.size(), 2u);
    ASSERT_EQ(m.processes().close(3, 9), 0);
    run_for(m, kMillisecond);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(std::string(got[2].bytes.begin(), got[2].bytes.end()), "ef");
    m.processes().stop_reader();
    EXPECT_EQ(as_module::fifo_put(m, 3, "gh", 2), 2);
    run_for(m, kMillisecond);
    EXPECT_EQ(got.size(), 3u);
    EXPECT_TRUE(m.violations().empty());
}

TEST(EmulatedFifo, OneProcessAtATimeAndNoDestroyWhileOpen)
{
    Machine m;
    ASSERT_EQ(as_module::fifo_create(m, 1, 100), 0);
    EXPECT_EQ(m.processes().open(1, 5), 0);
    EXPECT_EQ(m.processes().open(1, 5), 0);  // the same process again
    EXPECT_EQ(m.fifos().open_count(1), 2);
    EXPECT_EQ(m.processes().open(1, 6), -13);  // EACCES
    char b[4] = {1, 2, 3, 4};
    EXPECT_EQ(m.processes().write(1, b, 4, 6), -13);
    EXPECT_EQ(m.processes().read(1, b, 4, 6), -13);
    EXPECT_EQ(m.fifos().used(1), 0u);
    EXPECT_EQ(m.processes().write(1, b, 4, 5), 4);  // the holder writes
    EXPECT_EQ(m.processes().close(1, 6), -9);        // EBADF: 6 holds nothing

    EXPECT_EQ(as_module::fifo_destroy(m, 1), -22);  // EINVAL while open; it stays
    EXPECT_TRUE(m.fifos().exists(1));
    EXPECT_EQ(m.fifos().used(1), 4u);
    EXPECT_EQ(m.processes().close(1, 5), 0);
    EXPECT_EQ(as_module::fifo_destroy(m, 1), -22);  // still open once
    m.processes().exit(5);
    EXPECT_EQ(m.fifos().open_count(1), 0);
    EXPECT_EQ(m.processes().open(1, 6), 0);  // free again, for anyone
    m.processes().exit(6);
    EXPECT_EQ(as_module::fifo_destroy(m, 1), 0);
    EXPECT_EQ(m.processes().open(1, 6), -19);  // ENODEV: no such FIFO
    EXPECT_EQ(m.processes().module_use_count(), 0);  // FIFOs made by no module take none
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
        tested = &m;
        handled.clear();
        ASSERT_EQ(as_module::fifo_create(m, 1, 10), 0);
        ASSERT_EQ(as_module::fifo_set_handler(m, 1, [](unsigned fifo) {
            handled.push_back(tested->fifos().used(fifo));
            return 0;
        }), 0);
        m.processes().set_write_observer([this](int pid, unsigned fifo, int result) {
            EXPECT_EQ(fifo, 1u);
            done.emplace_back(pid, result);
        });
    }
    std::string take(int n)  // the real-time side reads
    {
        char buf[64] = {};
        int got = as_module::fifo_get(m, 1, buf, n);
        return std::string(buf, static_cast<size_t>(got > 0 ? got : 0));
    }
};
std::vector<size_t> EmulatedFifoWrite::handled;

TEST_F(EmulatedFifoWrite, WaitsForRoomForAllOfIt)
{
    ASSERT_EQ(as_module::fifo_put(m, 1, "abcdef", 6), 6);
    EXPECT_EQ(m.processes().write(1, "ABCDEFGH", 8), LinuxProcesses::kWriteWaits);
    EXPECT_EQ(m.fifos().used(1), 6u);  // nothing of it yet, not even what fits
    EXPECT_EQ(m.fifos().open_count(1), 1);  // the writer is inside write()
    EXPECT_EQ(take(3), "abc");
    run_for(m, kMillisecond);
    EXPECT_EQ(m.fifos().used(1), 3u);  // 7 free: still not enough
    EXPECT_TRUE(handled.empty());
    EXPECT_EQ(take(1), "d");
    run_for(m, kMillisecond);  // the Linux side gets the processor: it goes on
    EXPECT_EQ(handled, std::vector<size_t>{10});
    EXPECT_EQ(done, (std::vector<std::pair<int, int>>{{LinuxProcesses::kWriterPid, 8}}));
    EXPECT_EQ(m.processes().writes_waiting(), 0u);
    EXPECT_EQ(m.fifos().open_count(1), 0);
    EXPECT_EQ(take(20), "efABCDEFGH");
    EXPECT_TRUE(m.violations().empty());
}

TEST_F(EmulatedFifoWrite, LongerThanTheBufferGoesInPiecesHandlerOnceAtTheEnd)
{
    EXPECT_EQ(m.processes().write(1, "0123456789abcdefghijklmno", 25), LinuxProcesses::kWriteWaits);
    EXPECT_EQ(m.fifos().used(1), 10u);  // as much as fits, at once
    // A second write of the same process comes after the first.
    EXPECT_EQ(m.processes().write(1, "XY", 2), LinuxProcesses::kWriteWaits);
    std::string got = take(4);
    run_for(m, kMillisecond);
    got += take(64);
    run_for(m, kMillisecond);
    got += take(64);
    EXPECT_TRUE(handled.empty());  // 1 byte of the first write still out
    run_for(m, kMillisecond);
    EXPECT_EQ(handled, (std::vector<size_t>{1, 3}));  // after its last byte; then the second's
    EXPECT_EQ(got + take(64), "0123456789abcdefghijklmnoXY");
    EXPECT_EQ(done, (std::vector<std::pair<int, int>>{{1, 25}, {1, 2}}));
}

TEST_F(EmulatedFifoWrite, ProcessEndInterruptsAWaitingWriteWithoutTheHandler)
{
    ASSERT_EQ(as_module::fifo_put(m, 1, "0123456789", 10), 10);
    EXPECT_EQ(m.processes().write(1, "abcd", 4, 7), LinuxProcesses::kWriteWaits);
    EXPECT_EQ(m.processes().write(1, "0123456789abc", 13, 8), -13);  // 7 holds it
    m.processes().exit(7);
    EXPECT_EQ(done, (std::vector<std::pair<int, int>>{{7, -4}}));  // EINTR, nothing in
    EXPECT_EQ(m.fifos().open_count(1), 0);
    EXPECT_EQ(take(2), "01");
    EXPECT_EQ(m.processes().write(1, "0123456789abc", 13, 8), LinuxProcesses::kWriteWaits);
    EXPECT_EQ(m.fifos().used(1), 10u);  // 2 bytes in
    m.processes().exit(8);
    EXPECT_EQ(done.back(), std::make_pair(8, 2));
    EXPECT_TRUE(handled.empty());
}

TEST_F(EmulatedFifoWrite, AReadRunsTheHandlerToo)
{
    ASSERT_EQ(as_module::fifo_put(m, 1, "abc", 3), 3);
    char buf[8];
    EXPECT_EQ(m.processes().read(1, buf, 8), 3);
    EXPECT_EQ(m.processes().read(1, buf, 8), 0);  // nothing read: no handler
    EXPECT_EQ(handled, std::vector<size_t>{0});
}

TEST(EmulatedPlatform, RegionsAndInterruptLines)
{
    Machine m;
    m.regions().occupy(0x131, 1, "other");
    EXPECT_EQ(as_module::region_check(m, 0x130, 4), -16);
    EXPECT_EQ(as_module::region_request(m, 0x130, 4, "USS"), nullptr);
    EXPECT_EQ(as_module::region_check(m, 0x134, 4), 0);
    EXPECT_NE(as_module::region_request(m, 0x134, 4, "mine"), nullptr);
    EXPECT_TRUE(m.regions().taken(0x137, 1));
    as_module::region_release(m, 0x134, 4);
    EXPECT_FALSE(m.regions().taken(0x134, 4));

    auto handler = [](unsigned, pt_regs *) -> unsigned { return 0; };
    m.irqs().occupy(5);
    EXPECT_EQ(as_module::irq_request(m, 5, handler), -16);
    EXPECT_EQ(as_module::irq_request(m, 11, handler), 0);
    EXPECT_EQ(as_module::irq_request(m, 11, handler), -16);
    EXPECT_FALSE(m.irqs().enabled(11));  // masked until enabled
    EXPECT_EQ(as_module::irq_free(m, 11), 0);
    EXPECT_TRUE(m.violations().empty());
}

// What the module could do wrong is caught, not crashed on.
TEST(EmulatedPlatform, RuleBreakingIsRecorded)
{
    Machine m;
    as_module::port_out(m, 0x132, 1);  // board port without the region
    char b[4] = {};
    as_module::fifo_put(m, 2, b, 4);     // FIFO that does not exist
    as_module::thread_wakeup(m, nullptr);  // null thread handle
    as_module::irq_enable(m, 11);        // unmasked with no handler
    as_module::region_release(m, 0x130, 4);
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
    for (;;) {
        releases.push_back(tested->now());
        api::thread_wait();
    }
}

class EmulatedThread : public ::testing::Test {
protected:
    Machine m;
    rtl_thread_struct *t = nullptr;
    void SetUp() override
    {
        tested = &m;
        releases.clear();
        ASSERT_EQ(as_module::thread_create(m, &t, {20480, 0, 5, 0}, recorder, nullptr), 0);
        ASSERT_EQ(releases, std::vector<hrtime>{0});  // runs at once, then waits
    }
    void TearDown() override
    {
        as_module::thread_delete(m, t);
        EXPECT_TRUE(m.violations().empty());
    }
};

TEST_F(EmulatedThread, WithoutPeriodWaitsUntilWoken)
{
    m.run_until(1000 * kMillisecond);
    EXPECT_EQ(releases.size(), 1u);
    as_module::thread_wakeup(m, t);
    EXPECT_EQ(releases, (std::vector<hrtime>{0, 1000 * kMillisecond}));
}

TEST_F(EmulatedThread, PeriodicSeriesFromStartTime)
{
    m.run_until(2 * kMillisecond);
    as_module::thread_make_periodic(m, t, 5 * kMillisecond, 10 * kMillisecond);
    m.run_until(30 * kMillisecond);
    EXPECT_EQ(releases, (std::vector<hrtime>{0, 5 * kMillisecond, 15 * kMillisecond, 25 * kMillisecond}));
}

TEST_F(EmulatedThread, WakeupAtTheStartInstantIsOneRelease)
{
    m.run_until(3 * kMillisecond);
    as_module::thread_make_periodic(m, t, m.now(), 10 * kMillisecond);
    as_module::thread_wakeup(m, t);
    m.run_until(24 * kMillisecond);
    EXPECT_EQ(releases, (std::vector<hrtime>{0, 3 * kMillisecond, 13 * kMillisecond, 23 * kMillisecond}));
}

TEST_F(EmulatedThread, PeriodZeroReleasesOnceNegativeIsRefused)
{
    as_module::thread_make_periodic(m, t, 4 * kMillisecond, 0);
    m.run_until(100 * kMillisecond);
    EXPECT_EQ(releases, (std::vector<hrtime>{0, 4 * kMillisecond}));

    as_module::thread_make_periodic(m, t, 100 * kMillisecond, 10 * kMillisecond);
    EXPECT_EQ(as_module::thread_make_periodic(m, t, 100 * kMillisecond, -1), 22);  // EINVAL, series kept
    m.run_until(125 * kMillisecond);
    EXPECT_EQ(releases, (std::vector<hrtime>{0, 4 * kMillisecond, 100 * kMillisecond,
                                             110 * kMillisecond, 120 * kMillisecond}));
}

TEST_F(EmulatedThread, SuspendedThreadSkipsItsSeriesUntilWoken)
{
    as_module::thread_make_periodic(m, t, 10 * kMillisecond, 10 * kMillisecond);
    m.run_until(15 * kMillisecond);
    as_module::thread_suspend(m, t);
    m.run_until(55 * kMillisecond);
    as_module::thread_wakeup(m, t);
    m.run_until(65 * kMillisecond);
    EXPECT_EQ(releases, (std::vector<hrtime>{0, 10 * kMillisecond, 55 * kMillisecond,
                                             60 * kMillisecond}));
}

// ---- interrupts and the board ----

std::vector<hrtime> irqs;

unsigned ack_handler(unsigned, pt_regs *)
{
    api::port_out(0x132, 2);
    irqs.push_back(api::clock());
    api::port_out(0x132, 1);
    return 0;
}

TEST(EmulatedBoard, EchoAfterFlightTimeOnlyWhileTheLineIsUnmasked)
{
    Machine m;
    irqs.clear();
    ASSERT_NE(as_module::region_request(m, 0x130, 4, "USS"), nullptr);
    ASSERT_EQ(as_module::irq_request(m, 11, ack_handler), 0);
    m.pc().board().set_target(2, bench::EchoBoard::flight_for_mm(1000));
    EXPECT_EQ(bench::EchoBoard::flight_for_mm(1000), 5819029);

    as_module::port_out(m, 0x132, 1);
    as_module::port_out(m, 0x130, 2);  // masked: the echo is lost
    m.run_until(10 * kMillisecond);
    EXPECT_TRUE(irqs.empty());
    EXPECT_EQ(m.pc().board().echoes_lost(), 1);

    as_module::irq_enable(m, 11);
    as_module::port_out(m, 0x132, 1);
    as_module::port_out(m, 0x130, 2);
    as_module::port_out(m, 0x132, 1);
    as_module::port_out(m, 0x130, 7);  // no target on channel 7: no echo
    m.run_until(30 * kMillisecond);
    EXPECT_EQ(irqs, std::vector<hrtime>{10 * kMillisecond + 5819029});
    EXPECT_EQ(m.pc().board().shots(2), 2);
    EXPECT_EQ(m.pc().board().shots(7), 1);

    // While the processor's interrupt flag is masked the echo waits.
    as_module::port_out(m, 0x132, 1);
    as_module::port_out(m, 0x130, 2);
    m.run_until(31 * kMillisecond);
    unsigned long flags = as_module::irq_save(m);
    m.run_until(40 * kMillisecond);
    EXPECT_EQ(irqs.size(), 1u);
    as_module::irq_restore(m, flags);
    EXPECT_EQ(irqs.back(), 40 * kMillisecond);
    EXPECT_TRUE(m.violations().empty());

    // The board checks the handshake: every channel byte needs its own
    // arming, an acknowledgement an interrupt.
    as_module::port_out(m, 0x132, 1);
    as_module::port_out(m, 0x130, 2);
    as_module::port_out(m, 0x130, 2);
    as_module::port_out(m, 0x132, 2);
    EXPECT_EQ(m.violations().size(), 2u);
    as_module::irq_free(m, 11);
}

}  // namespace

// ---- more than one machine ----

// Each machine's threads and handlers reach their own machine through the
// platform's entry points, however the two runs interleave; and a module
// loaded on one runs while the other machine exists and runs too.
using Woken = std::vector<std::pair<rtlsim::PlatformOps *, hrtime>>;
Woken woken;

void *note_machine(void *)
{
    for (;;) {
        woken.emplace_back(rtlsim::bound_platform(), api::clock());
        api::thread_wait();
    }
}

// The platform operations a machine binds for its module's code.
rtlsim::PlatformOps *platform_of(Machine &m)
{
    PlatformBinding bound(m);
    return rtlsim::bound_platform();
}

TEST(TwoMachines, EachRunsItsOwnThreadsAndItsOwnModule)
{
    woken.clear();
    Machine a, b;
    rtlsim::PlatformOps *pa = platform_of(a), *pb = platform_of(b);
    ASSERT_NE(pa, pb);
    rtl_thread_struct *ta = nullptr, *tb = nullptr;
    ASSERT_EQ(as_module::thread_create(a, &ta, {20480, 0, 5, 0}, note_machine, nullptr), 0);
    ASSERT_EQ(as_module::thread_create(b, &tb, {20480, 0, 5, 0}, note_machine, nullptr), 0);
    as_module::thread_make_periodic(a, ta, 0, 10 * kMillisecond);
    as_module::thread_make_periodic(b, tb, 0, 7 * kMillisecond);
    woken.clear();
    a.run_until(15 * kMillisecond);
    b.run_until(15 * kMillisecond);
    a.run_until(25 * kMillisecond);
    EXPECT_EQ(woken, (Woken{{pa, 10 * kMillisecond}, {pb, 7 * kMillisecond}, {pb, 14 * kMillisecond},
                            {pa, 20 * kMillisecond}}));
    EXPECT_EQ(rtlsim::bound_platform(), nullptr);  // nothing stays bound between runs
    as_module::thread_delete(a, ta);

    // What the module reads on a machine of its own ...
    std::vector<rtlsim::FifoRead> alone;
    {
        Machine c;
        test_fifos::start_value_reader(c);
        c.pc().board().set_target(0, bench::EchoBoard::flight_for_mm(1000));
        c.run_until(25 * kMillisecond);  // where a's clock is
        ASSERT_EQ(c.insmod(), 0) << c.loader_error();
        ASSERT_EQ(test_fifos::write_records(c, {{2, 1, 10}}), 12);
        c.run_until(70 * kMillisecond);
        alone = c.processes().received();
        ASSERT_EQ(c.rmmod(), 0);
    }
    ASSERT_GE(alone.size(), 4u);
    // ... and on a, while b's thread keeps its own series in between.
    a.pc().board().set_target(0, bench::EchoBoard::flight_for_mm(1000));
    test_fifos::start_value_reader(a);
    test_fifos::start_value_reader(b);
    ASSERT_EQ(a.insmod(), 0) << a.loader_error();
    ASSERT_EQ(test_fifos::write_records(a, {{2, 1, 10}}), 12);
    woken.clear();
    a.run_until(50 * kMillisecond);
    b.run_until(30 * kMillisecond);
    a.run_until(70 * kMillisecond);
    ASSERT_EQ(a.processes().received().size(), alone.size());
    for (size_t i = 0; i < alone.size(); ++i) {
        EXPECT_EQ(a.processes().received()[i].bytes, alone[i].bytes) << i;
        EXPECT_EQ(a.processes().received()[i].time, alone[i].time) << i;
    }
    EXPECT_TRUE(b.processes().received().empty());
    EXPECT_EQ(b.port_log().size(), 0u);
    EXPECT_EQ(woken, (Woken{{pb, 21 * kMillisecond}, {pb, 28 * kMillisecond}}));
    EXPECT_EQ(a.rmmod(), 0);
    as_module::thread_delete(b, tb);
    EXPECT_TRUE(a.violations().empty());
    EXPECT_TRUE(b.violations().empty());
}
