// The range-finder board on its own: echo timing on the shared clock, the
// interrupt line's answers, and the board's own checks of how it is driven.
// The controller here is a stand-in that takes or refuses requests.
#include "devices/rangefinder/echo_board.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

// Offsets in the board's window; the lab PC has it at 0x130, so these are
// the module's BOARD_CHANNEL (0x130) and BOARD_CONTROL (0x132).
constexpr std::uint16_t kBase = 0x130;
constexpr std::uint16_t kChannel = 0;
constexpr std::uint16_t kControl = 2;

struct Controller : bench::IrqLine::Controller {
    bool take = true;
    std::vector<bench::Nanos> raised_at;
    bench::SimClock *clock = nullptr;
    bool irq_raised(bench::IrqLine &) override
    {
        raised_at.push_back(clock->now());
        return take;
    }
};

class EchoBoardTest : public ::testing::Test {
protected:
    bench::SimClock clock;
    bench::EventQueue events;
    bench::IrqLine line{11};
    Controller pic;
    bench::EchoBoard board{clock, events, line};
    std::vector<std::string> complaints;

    void SetUp() override
    {
        pic.clock = &clock;
        line.attach_controller(&pic);
        board.mapped(kBase, "echo_board");  // as a board assembly's map() tells it
        board.set_complaint_sink([this](const std::string &c) { complaints.push_back(c); });
    }

    void run_to(bench::Nanos t)
    {
        for (bench::Nanos next = events.next_due(); next <= t; next = events.next_due()) {
            clock.advance_to(next);
            events.run_due(clock.now());
        }
        clock.advance_to(t);
    }

    void shoot(std::uint8_t channel)
    {
        board.write8(kControl, bench::EchoBoard::kArm, 0);
        board.write8(kChannel, channel, 0);
    }
};

TEST_F(EchoBoardTest, AnEchoRaisesTheLineItsFlightTimeAfterTheBurst)
{
    board.set_target(0, bench::EchoBoard::flight_for_mm(1000));
    clock.advance(250);
    shoot(0);
    EXPECT_EQ(board.echoes_in_flight(), 1u);
    run_to(bench::kSecond);
    ASSERT_EQ(pic.raised_at.size(), 1u);
    EXPECT_EQ(pic.raised_at[0], 250 + 5819029) << "1 m there and back at 343.7 m/s, rounded up";
    EXPECT_TRUE(board.in_service());
    EXPECT_EQ(board.echoes_in_flight(), 0u);
    EXPECT_EQ(board.shots(0), 1);

    shoot(1);  // no target on channel 1: a shot, no echo
    run_to(2 * bench::kSecond);
    EXPECT_EQ(pic.raised_at.size(), 1u);
    EXPECT_EQ(board.shots_total(), 2);
}

// A flight that would end after the clock's last instant sends no echo; one
// that ends just before it still does.
TEST_F(EchoBoardTest, AnEchoPastTheEndOfTimeNeverComes)
{
    clock.advance(1000);
    board.set_target(0, bench::kNever);
    shoot(0);
    board.set_target(0, bench::kNever - 1000);
    shoot(0);
    EXPECT_EQ(board.echoes_in_flight(), 0u);
    board.set_target(0, bench::kNever - 1001);
    shoot(0);
    EXPECT_EQ(board.echoes_in_flight(), 1u);
    EXPECT_EQ(board.shots(0), 3);
}

// The line's level: a pulse is low again at once; a held line stays high
// until the acknowledgement, and echoes meanwhile add nothing.
TEST_F(EchoBoardTest, PulseOrHeldLine)
{
    board.set_target(0, 1000);
    pic.take = false;  // masked
    shoot(0);
    run_to(2000);
    EXPECT_FALSE(line.high());
    EXPECT_EQ(board.echoes_lost(), 1);
    EXPECT_FALSE(board.in_service());

    board.set_line_mode(bench::EchoBoard::LineMode::held);
    shoot(0);
    run_to(4000);
    EXPECT_TRUE(line.high()) << "held while the request waits";
    EXPECT_TRUE(board.in_service());
    EXPECT_EQ(board.echoes_lost(), 1);
    board.raise_at(clock.now());  // a second echo of the burst
    run_to(5000);
    EXPECT_EQ(board.echoes_lost(), 2);
    EXPECT_EQ(pic.raised_at.size(), 2u) << "no new edge on a high line";
    board.write8(kControl, bench::EchoBoard::kAcknowledge, 0);
    EXPECT_FALSE(line.high());
    EXPECT_TRUE(complaints.empty());
}

TEST_F(EchoBoardTest, FlightTimeRoundsUp)
{
    EXPECT_EQ(bench::EchoBoard::flight_for_mm(0), 0);
    EXPECT_EQ(bench::EchoBoard::flight_for_mm(1), 5820);  // 5819.02 ns
    EXPECT_EQ(bench::EchoBoard::flight_for_mm(3437), 20000000);
    // The largest distance whose flight the clock holds, and beyond it none.
    EXPECT_EQ(bench::EchoBoard::flight_for_mm(461168601842LL), 2683553109351179LL);
    EXPECT_EQ(bench::EchoBoard::flight_for_mm(461168601843LL), bench::kNever);
    EXPECT_EQ(bench::EchoBoard::flight_for_mm(999999999999000LL), bench::kNever);
    EXPECT_EQ(bench::EchoBoard::flight_for_mm(LLONG_MAX), bench::kNever);
}

TEST_F(EchoBoardTest, ARequestTheLineDoesNotTakeIsALostEcho)
{
    pic.take = false;
    board.raise_at(100);
    board.raise_at(200);
    run_to(300);
    EXPECT_EQ(board.echoes_lost(), 2);
    EXPECT_FALSE(board.in_service());
    line.attach_controller(nullptr);
    board.raise_at(400);
    run_to(500);
    EXPECT_EQ(board.echoes_lost(), 3) << "nobody on the line";
    EXPECT_TRUE(complaints.empty());
}

TEST_F(EchoBoardTest, AHandlerThatAcknowledgesAndReArmsIsQuiet)
{
    board.raise_at(10);
    run_to(10);
    board.write8(kControl, bench::EchoBoard::kAcknowledge, 0);
    board.write8(kControl, bench::EchoBoard::kArm, 0);
    line.serviced();
    EXPECT_TRUE(complaints.empty());
}

TEST_F(EchoBoardTest, TheBoardSaysWhatItWasDrivenWrong)
{
    board.write8(kChannel, 3, 0);
    board.write8(kControl, bench::EchoBoard::kAcknowledge, 0);
    board.write8(kControl, 7, 0);
    board.write8(1, 0, 0);
    board.write8(3, 0, 0);
    EXPECT_EQ(board.shots_total(), 0) << "a channel byte without arming fires nothing";
    const std::vector<std::string> expected = {
        "channel byte 0x03 to 0x130 without 1 to 0x132 first",
        "acknowledge (2 to 0x132) with no interrupt raised",
        "0x7 to 0x132: the board takes 1 (arm) and 2 (acknowledge)",
        "port 0x131 written: the board does not use it",
        "port 0x133 written: the board does not use it",
    };
    EXPECT_EQ(complaints, expected);
}

TEST_F(EchoBoardTest, TheHandlerMustAcknowledgeThenReArmBeforeItReturns)
{
    board.raise_at(10);
    run_to(10);
    line.serviced();  // returned without a word to the board
    board.raise_at(20);
    run_to(20);
    board.write8(kControl, bench::EchoBoard::kAcknowledge, 0);
    line.serviced();  // acknowledged, not re-armed
    const std::vector<std::string> expected = {
        "IRQ 11 handler returned without acknowledging the board (2 to 0x132)",
        "IRQ 11 handler returned without re-arming the board (1 to 0x132)",
    };
    EXPECT_EQ(complaints, expected);
    EXPECT_FALSE(board.in_service());
}

TEST_F(EchoBoardTest, MaskingTheLineWhileARequestWaitsLosesTheEcho)
{
    board.raise_at(10);
    run_to(10);
    ASSERT_TRUE(board.in_service());
    line.dropped();
    EXPECT_FALSE(board.in_service());
    EXPECT_EQ(board.echoes_lost(), 1);
    board.write8(kControl, bench::EchoBoard::kAcknowledge, 0);
    EXPECT_EQ(complaints, std::vector<std::string>{"acknowledge (2 to 0x132) with no interrupt raised"});
}

// Mapped on a bus elsewhere, the board answers the same offsets and names
// the ports it was put at.
TEST_F(EchoBoardTest, ABoardElsewhereNamesItsOwnPorts)
{
    bench::IrqLine line5{5};
    bench::EchoBoard other(clock, events, line5);
    bench::IoBus bus(clock);
    bus.set_kernel_mode(true);
    bus.set_access_cost(0);
    bus.map(0x300, bench::EchoBoard::kExtent, other, "echo_board");
    std::vector<std::string> said;
    other.set_complaint_sink([&](const std::string &c) { said.push_back(c); });
    bus.out8(0x300, 1);
    line5.attach_controller(&pic);
    other.raise_at(clock.now());
    run_to(clock.now());
    line5.serviced();
    const std::vector<std::string> expected = {
        "channel byte 0x01 to 0x300 without 1 to 0x302 first",
        "IRQ 5 handler returned without acknowledging the board (2 to 0x302)",
    };
    EXPECT_EQ(said, expected);
    EXPECT_EQ(board.echoes_lost(), 0);
}

} // namespace
