// The range-finder board behind QEMU's UART (bench/sims/qemu_board): the
// command line, and the program itself with a peer that connects to its
// socket as QEMU does (the board assembly's own tests are in
// tests/bench/boards).  The program's tests
// check counts, order and byte values; of the host's timing only a lower
// bound (no echo leaves before its flight time).
#include "board_options.h"
#include "boards/serial_board.h"

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

#include "board_log.h"
#include "run.h"

namespace {

using bench::EchoBoard;
using bench::kMillisecond;
using bench::kNever;
using bench::Nanos;
using bench::SerialBoardSetup;
using bench::SerialEchoBoard;
using board_log::events;
using board_log::stamped;

// The command line.
int parse(std::vector<std::string> words, bench::BoardOptions &o, std::string &err)
{
    words.insert(words.begin(), "rangefinder-board");
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(&w[0]);
    return bench::parse_board_options(static_cast<int>(argv.size()), argv.data(), o, err);
}

TEST(BoardOptions, TheLastTargetWordForASensorCounts)
{
    SerialBoardSetup s;
    s.targets_mm = {{0, 500}};
    std::string err;
    ASSERT_TRUE(bench::parse_target_word("3:700", s, err));
    EXPECT_EQ(s.targets_mm, (std::map<int, long long>{{0, 500}, {2, 700}}));
    ASSERT_TRUE(bench::parse_target_word("3:none", s, err));
    EXPECT_EQ(s.targets_mm, (std::map<int, long long>{{0, 500}}));
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
