// The range-finder board behind QEMU's UART (bench/seams/qemu_board): the
// model on a clock the test sets, the command line, and the program itself
// with a peer that connects to its socket as QEMU does.  The program's tests
// check counts, order and byte values; of the host's timing only a lower
// bound (no echo leaves before its flight time).
#include "board_options.h"
#include "serial_board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "run.h"

namespace {

using bench::EchoBoard;
using bench::kMillisecond;
using bench::kNever;
using bench::Nanos;
using bench::SerialBoardSetup;
using bench::SerialEchoBoard;

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

// The log's event lines: the stamp in microseconds and the text, without
// the note of an echo the host sent late (which depends on how busy it is).
std::vector<std::pair<long, std::string>> stamped(const std::string &log)
{
    std::vector<std::pair<long, std::string>> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::size_t dot = line.find('.');
        std::size_t blank = line.find(' ');
        if (dot == 0 || dot == std::string::npos || blank != dot + 4 ||
            line.find_first_not_of("0123456789") != dot || line.substr(dot + 1, 3).find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string text = line.substr(blank + 1);
        std::size_t note = text.rfind(" (sent ");
        if (note != std::string::npos && text.size() > 9 && text.compare(text.size() - 9, 9, " ms late)") == 0)
            text.erase(note);
        out.emplace_back(std::stol(line.substr(0, dot)) * 1000 + std::stol(line.substr(dot + 1, 3)), text);
    }
    return out;
}

std::vector<std::string> events(const std::string &log)
{
    std::vector<std::string> out;
    for (const auto &l : stamped(log))
        out.push_back(l.second);
    return out;
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
    SerialBoardSetup s = targets({{0, 500}});
    std::string err;
    ASSERT_TRUE(bench::parse_target_word("3:700", s, err));
    ASSERT_TRUE(bench::parse_target_word("3:none", s, err));  // the last word counts
    Rig r(s);
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

// The command line.
int parse(std::vector<std::string> words, bench::BoardOptions &o, std::string &err)
{
    words.insert(words.begin(), "rangefinder-board");
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(&w[0]);
    return bench::parse_board_options(static_cast<int>(argv.size()), argv.data(), o, err);
}

TEST(BoardOptions, GoodAndBadWords)
{
    bench::BoardOptions o;
    std::string err;
    ASSERT_EQ(parse({"--socket", "/tmp/a b", "--target", "1:1000", "--target", "256:0", "--target", "2:10000000",
                     "--stray", "5", "--log", "L", "--ready", "R", "--accept-timeout", "30"},
                    o, err),
              0)
        << err;
    EXPECT_EQ(o.socket_path, "/tmp/a b");
    EXPECT_EQ(o.setup.targets_mm, (std::map<int, long long>{{0, 1000}, {1, 10000000}, {255, 0}}));
    EXPECT_EQ(o.setup.strays, std::vector<Nanos>{5 * kMillisecond});
    EXPECT_EQ(o.log_path, "L");
    EXPECT_EQ(o.ready_path, "R");
    EXPECT_EQ(o.accept_timeout_s, 30);
    EXPECT_EQ(parse({"--socket", "s", "-h"}, o, err), 1);

    const std::vector<std::vector<std::string>> bad = {
        {},                                            // no socket
        {"--socket"},                                  // no value
        {"--socket", "s", "--target", "0:100"},        // sensors count from 1
        {"--socket", "s", "--target", "257:100"},
        {"--socket", "s", "--target", "1:"},
        {"--socket", "s", "--target", "1:-5"},
        {"--socket", "s", "--target", "1:1.5"},
        {"--socket", "s", "--target", "1:10000001"},
        {"--socket", "s", "--target", "1"},
        {"--socket", "s", "--target", ":100"},
        {"--socket", "s", "--target", "x:none"},
        {"--socket", "s", "--stray", "soon"},
        {"--socket", "s", "--accept-timeout", "0"},
        {"--socket", "s", "--speed", "1"},
    };
    for (const auto &words : bad) {
        err.clear();
        EXPECT_EQ(parse(words, o, err), -1) << ::testing::PrintToString(words);
        EXPECT_FALSE(err.empty());
    }
}

// The program, with a peer in QEMU's place.
class BoardProgram : public ::testing::Test {
protected:
    void start(const std::vector<std::string> &extra)
    {
        socket_ = dir_.path() + "/board socket";  // blanks in paths are fine
        log_ = dir_.path() + "/board log";
        ready_ = dir_.path() + "/ready";
        std::vector<std::string> args = {RANGEFINDER_BOARD, "--socket", socket_, "--log", log_, "--ready", ready_,
                                         "--accept-timeout", "120"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(RANGEFINDER_BOARD, argv.data());
            _exit(127);
        }
        // The board says when it listens; wait for that (not for a time).
        struct stat st;
        for (int i = 0; i < 60000 && stat(ready_.c_str(), &st) != 0; ++i) {
            int status = 0;
            ASSERT_EQ(waitpid(pid_, &status, WNOHANG), 0) << "the board ended before listening";
            usleep(1000);
        }
        ASSERT_EQ(stat(ready_.c_str(), &st), 0);
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, socket_.c_str(), sizeof a.sun_path - 1);
        ASSERT_EQ(connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << std::strerror(errno);
    }
    void send_bytes(std::vector<unsigned char> bytes)
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // One byte back (a generous limit: only a hung board fails it).
    int receive()
    {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 60000) != 1)
            return -1;
        unsigned char b = 0;
        return read(fd_, &b, 1) == 1 ? b : -1;
    }
    // The guest goes; the board's exit status.
    int finish()
    {
        close(fd_);
        fd_ = -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void TearDown() override
    {
        if (fd_ >= 0)
            close(fd_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    testutil::TempDir dir_;
    std::string socket_, log_, ready_;
    pid_t pid_ = -1;
    int fd_ = -1;
};

TEST_F(BoardProgram, OneByteBackPerShotOnATargetNoneWithout)
{
    start({"--target", "1:1000", "--target", "2:3000", "--target", "3:none"});
    const auto t0 = std::chrono::steady_clock::now();
    send_bytes({0});
    EXPECT_EQ(receive(), 0);
    const auto waited = std::chrono::steady_clock::now() - t0;
    // Never before the echo's flight time (5.819 ms for 1 m).
    EXPECT_GE(std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count(), EchoBoard::flight_for_mm(1000));

    // Sensor 3 (no target), then 2 (3 m), then 1 (1 m): the two echoes
    // come back nearest first, and sensor 3's never.
    send_bytes({2, 1, 0});
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(receive(), 1);
    ASSERT_EQ(finish(), 0);

    const std::string log = testutil::read_file(log_);
    EXPECT_EQ(events(log), (std::vector<std::string>{"connected", "fire on channel 0", "echo on channel 0",
                                                     "fire on channel 2 (no target)", "fire on channel 1",
                                                     "fire on channel 0", "echo on channel 0", "echo on channel 1",
                                                     "closed: 4 fires, 3 echoes, 0 stray, 0 in flight dropped"}))
        << log;
    // Each echo's stamp lies its flight time after its shot's.
    std::vector<long> us;
    for (const auto &l : stamped(log))
        if (l.second == "fire on channel 0" || l.second == "echo on channel 0")
            us.push_back(l.first);
    ASSERT_EQ(us.size(), 4u);
    EXPECT_GE(us[1] - us[0], 5818);
    EXPECT_LE(us[1] - us[0], 5820);
    EXPECT_GE(us[3] - us[2], 5818);
    EXPECT_LE(us[3] - us[2], 5820);
    // The socket is gone with the board.
    struct stat st;
    EXPECT_NE(stat(socket_.c_str(), &st), 0);
}

TEST_F(BoardProgram, GuestGoingWithEchoesInFlightEndsCleanly)
{
    // A target 10 km away: its echo is 58 s out when the guest goes.
    start({"--target", "1:10000000"});
    send_bytes({0, 0});
    // The board has taken the shots once its log says so.
    std::string log;
    for (int i = 0; i < 60000 && events(log).size() < 3; ++i) {
        usleep(1000);
        log = testutil::read_file(log_);
    }
    ASSERT_EQ(finish(), 0);
    log = testutil::read_file(log_);
    auto e = events(log);
    ASSERT_FALSE(e.empty()) << log;
    EXPECT_EQ(e.back(), "closed: 2 fires, 0 echoes, 0 stray, 2 in flight dropped");
}

TEST_F(BoardProgram, TermSignalEndsItCleanlyWithItsLastLine)
{
    start({"--target", "1:10000000"});
    send_bytes({0});
    std::string log;
    for (int i = 0; i < 60000 && events(log).size() < 2; ++i) {
        usleep(1000);
        log = testutil::read_file(log_);
    }
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid_, &status, 0), pid_);
    pid_ = -1;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto e = events(testutil::read_file(log_));
    ASSERT_FALSE(e.empty());
    EXPECT_EQ(e.back(), "closed: 1 fire, 0 echoes, 0 stray, 1 in flight dropped");
}

TEST(BoardProgramCommandLine, UsageErrorsAndHelp)
{
    auto r = testutil::run_program(RANGEFINDER_BOARD, {"rangefinder-board", "--socket", "s", "--target", "0:100"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind("rangefinder-board: not SENSOR:MM or SENSOR:none with SENSOR 1-256: 0:100\n", 0), 0u)
        << r.err;
    r = testutil::run_program(RANGEFINDER_BOARD, {"rangefinder-board", "-h"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("usage: rangefinder-board --socket PATH", 0), 0u);
    // A path that is there and no socket is not replaced.
    testutil::TempDir d;
    std::string file = d.write("not-a-socket", "keep me");
    r = testutil::run_program(RANGEFINDER_BOARD, {"rangefinder-board", "--socket", file});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(testutil::read_file(file), "keep me");
    // Nobody comes.
    r = testutil::run_program(RANGEFINDER_BOARD,
                              {"rangefinder-board", "--socket", d.path() + "/s", "--accept-timeout", "1"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.err.find("no guest connected"), std::string::npos) << r.err;
}

} // namespace
