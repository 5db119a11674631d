// The range-finder board behind QEMU's UART as a board assembly
// (bench/boards/serial_board.*), on a clock the test sets: what it sends
// back and when, and what it logs.
#include "boards/serial_board.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <vector>

#include "board_log.h"

namespace {

using bench::EchoBoard;
using bench::kMillisecond;
using bench::kNever;
using bench::Nanos;
using bench::SerialBoardSetup;
using bench::SerialEchoBoard;
using board_log::events;
using board_log::stamped;

// The model with everything it sends and logs.
struct Rig {
    explicit Rig(SerialBoardSetup setup) : board(setup, log, [this](std::uint8_t b) { sent.push_back(b); }) {}
    std::ostringstream log;
    std::vector<std::uint8_t> sent;
    SerialEchoBoard board;
};

SerialBoardSetup targets(std::map<int, long long> mm)
{
    SerialBoardSetup s;
    s.targets_mm = std::move(mm);
    return s;
}

TEST(SerialBoardModel, EchoLeavesAtTheTargetsFlightTimeAndNotBefore)
{
    Rig r(targets({{0, 1000}}));
    const Nanos flight = EchoBoard::flight_for_mm(1000);
    ASSERT_EQ(flight, 5819029);  // 2 m at 343.7 m/s, rounded up
    r.board.connected();
    r.board.byte_from_guest(0, 2 * kMillisecond);
    EXPECT_EQ(r.board.next_due(), 2 * kMillisecond + flight);
    r.board.advance_to(2 * kMillisecond + flight - 1);
    EXPECT_TRUE(r.sent.empty());
    r.board.advance_to(2 * kMillisecond + flight);
    ASSERT_EQ(r.sent, std::vector<std::uint8_t>{0});
    EXPECT_EQ(r.board.next_due(), kNever);
    EXPECT_EQ(r.board.board().shots(0), 1);
    // The echo's line carries its due time: 2 ms + 5.819029 ms.
    EXPECT_NE(r.log.str().find("\n7.819 echo on channel 0\n"), std::string::npos) << r.log.str();
    EXPECT_EQ(events(r.log.str()), (std::vector<std::string>{"connected", "fire on channel 0", "echo on channel 0"}));
}

TEST(SerialBoardModel, ChannelWithoutTargetNeverAnswers)
{
    Rig r(targets({{0, 500}}));
    r.board.byte_from_guest(2, 0);
    r.board.byte_from_guest(0xFF, 0);  // sensor 0's byte: channel 255, no target
    EXPECT_EQ(r.board.next_due(), kNever);
    r.board.advance_to(100 * bench::kSecond);
    EXPECT_TRUE(r.sent.empty());
    EXPECT_EQ(r.board.fires(), 2);
    EXPECT_EQ(r.board.echoes(), 0);
    EXPECT_EQ(r.board.board().shots(2), 1);
    EXPECT_EQ(r.board.board().shots(255), 1);
    EXPECT_EQ(events(r.log.str()),
              (std::vector<std::string>{"fire on channel 2 (no target)", "fire on channel 255 (no target)"}));
}

TEST(SerialBoardModel, EchoesComeBackInFlightOrderOneBytePerShot)
{
    // Sensor 2 at 3 m, sensor 1 at 1 m, fired in that order at once: the
    // near one answers first.  Two shots on sensor 1 give two echoes.
    Rig r(targets({{0, 1000}, {1, 3000}}));
    r.board.byte_from_guest(1, 0);
    r.board.byte_from_guest(0, 0);
    r.board.byte_from_guest(0, kMillisecond);
    EXPECT_EQ(r.board.in_flight(), 3u);
    r.board.advance_to(bench::kSecond);
    EXPECT_EQ(r.sent, (std::vector<std::uint8_t>{0, 0, 1}));
    EXPECT_EQ(r.board.echoes(), 3);
    EXPECT_EQ(r.board.in_flight(), 0u);
    EXPECT_EQ(events(r.log.str()),
              (std::vector<std::string>{"fire on channel 1", "fire on channel 0", "fire on channel 0",
                                        "echo on channel 0", "echo on channel 0", "echo on channel 1"}));
}

TEST(SerialBoardModel, EchoesDueBeforeAByteGoFirstAndLateOnesSaySo)
{
    Rig r(targets({{0, 1000}}));
    const Nanos flight = EchoBoard::flight_for_mm(1000);
    r.board.byte_from_guest(0, 0);
    // The host runs the board 3 ms after the echo was due, with a new shot.
    r.board.byte_from_guest(0, flight + 3 * kMillisecond);
    ASSERT_EQ(r.sent.size(), 1u);
    auto e = events(r.log.str());
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0], "fire on channel 0");
    EXPECT_EQ(e[1], "echo on channel 0");
    EXPECT_NE(r.log.str().find("\n5.819 echo on channel 0 (sent 3.000 ms late)\n"), std::string::npos) << r.log.str();
    EXPECT_EQ(e[2], "fire on channel 0");
}

TEST(SerialBoardModel, StrayRequestsAndTheEnd)
{
    SerialBoardSetup s = targets({{0, 1000}});
    s.strays = {10 * kMillisecond};
    Rig r(s);
    r.board.connected();
    r.board.advance_to(10 * kMillisecond);
    EXPECT_EQ(r.sent, std::vector<std::uint8_t>{SerialEchoBoard::kStrayByte});
    // A shot whose echo is still in flight when the guest goes: dropped.
    r.board.byte_from_guest(0, 20 * kMillisecond);
    r.board.closed(21 * kMillisecond);
    r.board.advance_to(bench::kSecond);
    EXPECT_EQ(r.sent.size(), 1u);
    auto e = events(r.log.str());
    ASSERT_FALSE(e.empty());
    EXPECT_EQ(e.back(), "closed: 1 fire, 0 echoes, 1 stray, 1 in flight dropped");
    // The board's own checks found nothing wrong with how it was driven.
    EXPECT_EQ(r.log.str().find("board:"), std::string::npos) << r.log.str();
}

TEST(SerialBoardModel, TargetTableIsLogged)
{
    Rig r(targets({{0, 1000}, {2, 3000}}));
    const std::string log = r.log.str();
    EXPECT_NE(log.find("# channel 0: target at 1000 mm, echo 5819029 ns after the shot\n"), std::string::npos);
    EXPECT_NE(log.find("# channel 2: target at 3000 mm, echo 17457085 ns after the shot\n"), std::string::npos);
}

}  // namespace
