// Ranging on the emulated platform: what a reader of /dev/rtf2 gets for the
// commands written to /dev/rtf1, and what reaches the board.
#include "module_fixture.h"

namespace uss_test {
namespace {

const hrtime k1m = bench::EchoBoard::flight_for_mm(1000);  // 5819029 ns: 1000 mm
const hrtime k1m5 = bench::EchoBoard::flight_for_mm(1500);  // 1500 mm

class Ranging : public ModuleTest {
protected:
    void SetUp() override { load(); }
};

TEST_F(Ranging, EchoedPeriodsGiveNoEchoThenTheDistance)
{
    m.pc().board().set_target(0, k1m);
    write(2, 1, 10);
    m.run_until(35 * kMillisecond);
    EXPECT_EQ(values(), (std::vector<int>{9999, 1000, 9999, 1000, 9999, 1000, 9999}));
    EXPECT_EQ(value_times(), (std::vector<hrtime>{0, k1m, 10 * kMillisecond, 10 * kMillisecond + k1m,
                                                  20 * kMillisecond, 20 * kMillisecond + k1m,
                                                  30 * kMillisecond}));
    EXPECT_EQ(shot_times(), (std::vector<hrtime>{0, 10 * kMillisecond, 20 * kMillisecond, 30 * kMillisecond}));
}

TEST_F(Ranging, SilentSensorGivesOneNoEchoPerPeriod)
{
    write(2, 2, 10);
    m.run_until(45 * kMillisecond);
    EXPECT_EQ(values(), std::vector<int>(5, 9999));
    EXPECT_EQ(channels(), std::vector<unsigned>(5, 1));
}

TEST_F(Ranging, NoNoEchoBeforeTheFirstPeriodicShotAfterTheLoad)
{
    m.pc().board().set_target(0, k1m);
    m.run_until(500 * kMillisecond);
    EXPECT_TRUE(values().empty());
    write(2, 1, 100);
    m.run_until(550 * kMillisecond);
    EXPECT_EQ(values(), (std::vector<int>{9999, 1000}));
    EXPECT_EQ(value_times()[0], 500 * kMillisecond);  // after the shot, not before
}

TEST_F(Ranging, EchoIntervalsAreMeasuredExactly)
{
    const hrtime flights[] = {5820, 20000000, 58190282, 58190283};
    for (hrtime f : flights) {
        m.pc().board().set_target(4, f);
        write(1, 5, 0);
        run_for(m, 100 * kMillisecond);
    }
    EXPECT_EQ(values(), (std::vector<int>{1, 3436, 9999, 10000}));
}

TEST_F(Ranging, SingleShotWithoutEchoLeavesIrq11ArmedForALateInterrupt)
{
    write(1, 1, 0);
    m.run_until(2 * kSecond);
    EXPECT_TRUE(values().empty());
    EXPECT_TRUE(m.irqs().enabled(11));
    m.pc().board().raise_at(3 * kSecond);
    m.run_until(4 * kSecond);
    EXPECT_EQ(values(), std::vector<int>{-369045});
    EXPECT_FALSE(m.irqs().enabled(11));
}

// The sensor of the periodic shots is that of the latest record, whatever
// its command: 0 and 4 do nothing else, 1 also fires a single shot.
TEST_F(Ranging, EveryRecordSetsTheSensorOfLaterPeriodicShots)
{
    m.pc().board().set_target(0, k1m);
    m.pc().board().set_target(1, k1m5);
    m.pc().board().set_target(2, bench::EchoBoard::flight_for_mm(500));
    write(2, 1, 20);
    write_at(15 * kMillisecond, 0, 2, 0);
    write_at(35 * kMillisecond, 4, 1, 0);
    write_at(50 * kMillisecond, 1, 3, 0);
    m.run_until(70 * kMillisecond);
    EXPECT_EQ(channels(), (std::vector<unsigned>{0, 1, 0, 2, 2}));
    EXPECT_EQ(values(), (std::vector<int>{9999, 1000, 9999, 1500, 9999, 1000, 500, 9999, 500}));
}

TEST_F(Ranging, OnlyTheLowEightBitsOfTheChannelReachTheBoard)
{
    write(1, 0, 0);
    write(1, 257, 0);
    write(1, 256, 0);
    write(1, -2147483647 - 1, 0);
    EXPECT_EQ(channels(), (std::vector<unsigned>{0xff, 0, 0xff, 0xff}));
}

TEST_F(Ranging, TwoRecordsInOneWriteBothRunInOrder)
{
    m.pc().board().set_target(0, k1m);
    ASSERT_EQ(test_fifos::write_records(m, {{2, 1, 10}, {3, 0, 0}}), 24);
    m.run_until(kSecond);
    EXPECT_EQ(values(), (std::vector<int>{9999, 1000}));  // started, then suspended
    ASSERT_EQ(test_fifos::write_records(m, {{1, 2, 0}, {1, 1, 0}}), 24);
    EXPECT_EQ(channels(), (std::vector<unsigned>{0, 1, 0}));
}

TEST_F(Ranging, RecordSplitOverTwoWritesIsNotExecuted)
{
    const unsigned char record[12] = {1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(m.processes().write(1, record, 6), 6);
    ASSERT_EQ(m.processes().write(1, record + 6, 6), 6);
    EXPECT_EQ(m.pc().board().shots_total(), 0);
    EXPECT_EQ(m.fifos().used(1), 0u);  // both halves consumed
    write(1, 1, 0);                  // a whole record afterwards works
    EXPECT_EQ(m.pc().board().shots_total(), 1);
}

TEST_F(Ranging, StartWhilePeriodicRestartsTheSeries)
{
    write(2, 1, 10);
    write_at(25 * kMillisecond, 2, 1, 10);
    m.run_until(50 * kMillisecond);
    EXPECT_EQ(shot_times(), (std::vector<hrtime>{0, 10 * kMillisecond, 20 * kMillisecond, 25 * kMillisecond,
                                                 35 * kMillisecond, 45 * kMillisecond}));
}

TEST_F(Ranging, SuspendBeforeAnyStartAndSingleShotsWhileSuspended)
{
    m.pc().board().set_target(0, k1m);
    write(3, 1, 0);
    m.run_until(100 * kMillisecond);
    EXPECT_EQ(m.pc().board().shots_total(), 0);
    write(2, 1, 10);
    write_at(125 * kMillisecond, 3, 1, 0);
    write_at(130 * kMillisecond, 1, 1, 0);
    m.run_until(200 * kMillisecond);
    EXPECT_EQ(shot_times(), (std::vector<hrtime>{100 * kMillisecond, 110 * kMillisecond,
                                                 120 * kMillisecond, 130 * kMillisecond}));
    EXPECT_EQ(values(), (std::vector<int>{9999, 1000, 9999, 1000, 9999, 1000, 1000}));
}

TEST_F(Ranging, LongestPeriodGivesOneShotInAnHour)
{
    m.set_port_log(false);
    write(2, 1, 2147483647);  // 2147483647000000 ns, almost 25 days
    m.run_until(3600 * kSecond);
    EXPECT_EQ(m.pc().board().shots_total(), 1);
    EXPECT_EQ(values(), std::vector<int>{9999});
}

// A period of -1 ms reaches the platform as -1000000 ns, which refuses it;
// the wake-up still fires one shot, and the thread keeps whatever series it
// had.
TEST_F(Ranging, PeriodMinusOneFiresOnceAndKeepsThePreviousSeries)
{
    write(2, 1, -1);
    m.run_until(100 * kMillisecond);
    EXPECT_EQ(shot_times(), std::vector<hrtime>{0});
    write(2, 1, 20);
    write_at(130 * kMillisecond, 2, 1, -1);
    m.run_until(170 * kMillisecond);
    EXPECT_EQ(shot_times(), (std::vector<hrtime>{0, 100 * kMillisecond, 120 * kMillisecond,
                                                 130 * kMillisecond, 140 * kMillisecond,
                                                 160 * kMillisecond}));
}

TEST_F(Ranging, ReaderAwayForAnHourValuesDroppedRangingGoesOnNothingGrows)
{
    m.set_port_log(false);
    m.pc().board().set_target(0, k1m);
    m.processes().stop_reader();
    write(2, 1, 10);
    m.run_until(3600 * kSecond - kMillisecond);
    EXPECT_EQ(m.pc().board().shots_total(), 360000);
    EXPECT_EQ(m.fifos().used(2), 4000u);                  // full, not more
    EXPECT_EQ(m.fifos().refused(2), 2 * 360000 - 1000);  // every later value dropped
    EXPECT_LE(m.pc().board().echoes_in_flight(), 1u);
    EXPECT_EQ(m.kernel_log(), "");
    test_fifos::start_value_reader(m);
    EXPECT_EQ(values().size(), 1000u);  // what waited in the FIFO
    m.run_until(3600 * kSecond + 9 * kMillisecond);
    std::vector<int> v = values();
    EXPECT_EQ(std::vector<int>(v.end() - 2, v.end()), (std::vector<int>{9999, 1000}));
    EXPECT_EQ(value_times().back(), 3600 * kSecond + k1m);
}

// ---- the shot is atomic against the thread and the echo interrupt ----

// Each shot writes 1 to 0x132 and then its channel byte to 0x130; nothing
// may come between the two.
void expect_shots_whole(const rtlsim::Machine &m, const std::string &where)
{
    const auto &log = m.port_log();
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].port != kChannelPort)
            continue;
        ASSERT_GT(i, 0u) << where;
        EXPECT_EQ(log[i - 1].port, kControlPort) << where << ": write " << i;
        EXPECT_EQ(log[i - 1].value, 1u) << where << ": write " << i;
        EXPECT_EQ(log[i - 1].context, log[i].context) << where << ": write " << i;
    }
}

// A single shot from the FIFO handler while the thread's next period falls
// due (each platform call takes 1 us here, so the due instant can land at
// any step of the handler's shot).
TEST(AtomicShot, SingleShotIsNotInterleavedWithAPeriodicShot)
{
    for (hrtime k = 0; k <= 8; ++k) {
        rtlsim::Machine m;
        test_fifos::start_value_reader(m);
        ASSERT_EQ(m.insmod(), 0);
        ASSERT_EQ(test_fifos::write_records(m, {{2, 1, 10}}), 12);
        m.run_until(10 * kMillisecond - k * kMicrosecond - kMicrosecond / 2);
        m.set_call_cost(kMicrosecond);
        ASSERT_EQ(test_fifos::write_records(m, {{1, 2, 0}}), 12);
        m.run_until(15 * kMillisecond);
        expect_shots_whole(m, "period due " + std::to_string(k) + " calls into the write");
        EXPECT_EQ(m.pc().board().shots_total(), 3);
        m.rmmod();
        EXPECT_EQ(m.violations(), std::vector<std::string>{});
    }
}

// An echo interrupt that comes while a shot is being fired waits for the
// shot to end (and so reads its complete time stamp): the handler's port
// writes never fall between the shot's two.
TEST(AtomicShot, EchoDuringAShotWaitsForItsEnd)
{
    for (hrtime k = 0; k <= 8; ++k) {
        rtlsim::Machine m;
        test_fifos::start_value_reader(m);
        m.pc().board().set_target(0, 5 * kMillisecond);
        ASSERT_EQ(m.insmod(), 0);
        ASSERT_EQ(test_fifos::write_records(m, {{1, 1, 0}}), 12);  // echo due at 5 ms
        m.run_until(5 * kMillisecond - k * kMicrosecond - kMicrosecond / 2);
        m.set_call_cost(kMicrosecond);
        ASSERT_EQ(test_fifos::write_records(m, {{1, 2, 0}}), 12);
        m.run_until(20 * kMillisecond);
        expect_shots_whole(m, "echo due " + std::to_string(k) + " calls into the write");
        EXPECT_EQ(m.processes().received().size(), 1u) << "echo due " << k << " calls into the write";
        m.rmmod();
        EXPECT_EQ(m.violations(), std::vector<std::string>{});
    }
}

// An echo that comes right after a periodic shot reaches FIFO 2 after that
// shot's NO_ECHO or instead of it, never before it and never twice.  (One
// that comes before the shot has unmasked IRQ 11 is lost.)
TEST(AtomicShot, VeryEarlyEchoNeverOvertakesOrDuplicates)
{
    int echoed = 0;
    for (hrtime flight = 1; flight <= 12; ++flight) {
        rtlsim::Machine m;
        test_fifos::start_value_reader(m);
        m.pc().board().set_target(0, flight * kMicrosecond);
        ASSERT_EQ(m.insmod(), 0);
        m.set_call_cost(kMicrosecond);
        ASSERT_EQ(test_fifos::write_records(m, {{2, 1, 10}}), 12);
        m.run_until(5 * kMillisecond);
        std::vector<int> v = test_fifos::received_values(m);
        const std::string seen = "flight " + std::to_string(flight) + " us: " + ::testing::PrintToString(v);
        ASSERT_FALSE(v.empty()) << seen;
        EXPECT_LE(v.size(), 2u) << seen;
        if (v.size() == 2) {
            EXPECT_TRUE(v[0] == 9999 && v[1] != 9999) << seen;
        }
        echoed += v.back() != 9999;
        m.rmmod();
        EXPECT_EQ(m.violations(), std::vector<std::string>{});
    }
    EXPECT_GE(echoed, 10);
}

}  // namespace
}  // namespace uss_test
