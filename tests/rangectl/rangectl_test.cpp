// rangectl, run as a user would, against the echorange module served by
// echorange-sim --serve (simulated time 20 times as fast as the wall clock,
// so that a 100 ms period takes 5 ms; 5 times for values in single bytes), and the server's log of what reached
// the module.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "run.h"

namespace {

using testutil::RunResult;

const char kScenario[] =
    "target 1 1m\n"
    "target 2 0.5m\n"
    "target 3 none\n"
    // Its echo comes 3 s after the shot: beyond the 2^31 ns the module times.
    "target 4 3000000000ns\n"
    // A bound on the service should a test never stop it: 90 s of wall time.
    "duration 30min\n";

// In a forked child: becomes argv[0] with argv, or ends with status 127.
[[noreturn]] void exec_or_die(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        lines.push_back(l);
    return lines;
}

// The records that reached the module, in order: "2 1 100", ... from the
// log's "# write ..." lines.  One line may carry several records ("write
// 3 1 0 ; 3 3 0": two clients' writes taken in by one read of the pipe).
std::vector<std::string> writes_in(const std::string &log)
{
    std::vector<std::string> w;
    std::regex re(R"(^\d+\.\d{9} # write (.*)$)");
    for (const auto &l : lines_of(log)) {
        std::smatch m;
        if (!std::regex_match(l, m, re))
            continue;
        std::string records = m[1];
        for (size_t from = 0;;) {
            size_t semi = records.find(" ; ", from);
            w.push_back(records.substr(from, semi == std::string::npos ? std::string::npos : semi - from));
            if (semi == std::string::npos)
                break;
            from = semi + 3;
        }
    }
    return w;
}

// A program started in the background with its standard output on a pipe.
struct Background {
    pid_t pid = -1;
    int out = -1;  // read end of its standard output
    std::string text;

    // With err_file, its standard error goes there.
    void start(const std::vector<std::string> &argv, const std::string &err_file = "")
    {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (!err_file.empty()) {
                int e = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                dup2(e, 2);
            }
            dup2(p[1], 1);
            close(p[0]);
            close(p[1]);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            exec_or_die(argv);
        }
        close(p[1]);
        out = p[0];
    }

    // Reads its output until it holds `n` lines (or 10 s pass).
    bool wait_lines(size_t n)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (lines_of(text).size() < n || (!text.empty() && text.back() != '\n')) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buf[512];
                ssize_t r = read(out, buf, sizeof buf);
                if (r <= 0)
                    return false;
                text.append(buf, static_cast<size_t>(r));
            }
        }
        return true;
    }

    // Waits for it to end (10 s at most, then kills it); the wait status.
    int finish()
    {
        int status = 0;
        for (int i = 0; i < 1000; ++i) {
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            pid = -1;
            ADD_FAILURE() << "it did not end; killed";
        }
        if (out >= 0)
            close(out);
        out = -1;
        return status;
    }

    ~Background()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
    }
};

// Waits until the process waits in a write on a full pipe, as the kernel
// names it in /proc/PID/wchan (up to 5 s); false where it does not say.
bool waiting_in_pipe_write(pid_t pid)
{
    for (int i = 0; i < 500; ++i) {
        std::string wchan = testutil::read_file("/proc/" + std::to_string(pid) + "/wchan");
        if (wchan.find("pipe_write") != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Waits until the process has path open (up to 10 s).
bool has_open(pid_t pid, const std::string &path)
{
    std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
    for (int i = 0; i < 1000; ++i) {
        for (int fd = 3; fd < 16; ++fd) {
            char target[4096];
            ssize_t n = readlink((fds + std::to_string(fd)).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == path)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// echorange-sim --serve on a scenario, in the background.
class Served : public ::testing::Test {
protected:
    void SetUp() override { serve("20", {}); }

    void serve(const std::string &speed, const std::vector<std::string> &extra)
    {
        dir_ = tmp_.path() + "/rf";
        log_ = tmp_.path() + "/serve.log";
        std::string scenario = tmp_.write("served.scenario", kScenario);
        unlink(log_.c_str());  // a second server's start is not read from the first one's log
        std::vector<std::string> argv{ECHORANGE_SIM, "--serve", dir_, "--speed", speed};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(scenario);
        server_ = fork();
        ASSERT_GE(server_, 0);
        if (server_ == 0) {
            // A process group of its own: tests stop the server (SIGSTOP),
            // and a stopped process in a group that becomes orphaned (the
            // shell that started ctest in the background has gone) gets
            // SIGHUP and SIGCONT from the kernel.
            setpgid(0, 0);
            int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            exec_or_die(argv);
        }
        for (int i = 0; i < 1000; ++i) {
            if (log().find("# serving") != std::string::npos)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FAIL() << "the server did not start; log:\n" << log();
    }

    void TearDown() override
    {
        if (server_ > 0) {
            kill(server_, SIGKILL);
            waitpid(server_, nullptr, 0);
        }
    }

    // Stops the server as a user would (SIGTERM); its exit status.
    int stop_server()
    {
        kill(server_, SIGTERM);
        int status = 0;
        waitpid(server_, &status, 0);
        server_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string log() const { return testutil::read_file(log_); }

    // Fills DIR/rtf1 with records that do nothing (command 0), until a
    // write of a record would wait.
    void fill_command_pipe()
    {
        int fd = open((dir_ + "/rtf1").c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        const unsigned char nothing[12] = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
        while (write(fd, nothing, sizeof nothing) == static_cast<ssize_t>(sizeof nothing)) {
        }
        EXPECT_EQ(errno, EAGAIN);
        close(fd);
    }

    // The records that reached the module, once there are at least n (a
    // client's last write is taken in by the server shortly after).
    std::vector<std::string> writes(size_t n)
    {
        for (int i = 0; i < 500 && writes_in(log()).size() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return writes_in(log());
    }

    RunResult rangectl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"rangectl", "--fifo-dir", dir_});
        return testutil::run_program(RANGECTL, args);
    }

    // rangectl with its standard output redirected by the shell: ">/dev/full"
    // or ">&-" (closed).
    RunResult rangectl_output_to(const std::string &redirection, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"sh", "-c", "exec \"$0\" \"$@\" " + redirection, RANGECTL, "--fifo-dir", dir_});
        return testutil::run_program("/bin/sh", args);
    }

    std::vector<std::string> rangectl_argv(std::vector<std::string> args)
    {
        args.insert(args.begin(), {RANGECTL, "--fifo-dir", dir_});
        return args;
    }

    testutil::TempDir tmp_;
    std::string dir_, log_;
    pid_t server_ = -1;
};

const std::regex kWatchLine(R"(^\d+\.\d{3} (\d+) (.*)$)");

// What start and watch say on standard error for a period under the flight
// to 10 m (58.19 ms), naming the distance whose echo takes one period.
std::string period_warning(int period_ms, int covered_mm)
{
    return "rangectl: warning: a period of " + std::to_string(period_ms) +
           " ms is shorter than the flight to the farthest range (10 m, 58.2 ms there and back): a target "
           "beyond " +
           std::to_string(covered_mm) + " mm is timed from a later shot and reads short, or as no echo\n";
}

// The distance column of each watch line, checking the line's form and sensor.
std::vector<std::string> watch_values(const std::string &out, int sensor)
{
    std::vector<std::string> v;
    for (const auto &l : lines_of(out)) {
        std::smatch m;
        if (!std::regex_match(l, m, kWatchLine) || m[1] != std::to_string(sensor)) {
            ADD_FAILURE() << "not a watch line for sensor " << sensor << ": " << l;
            continue;
        }
        v.push_back(m[2]);
    }
    return v;
}

TEST_F(Served, ShotPrintsTheDistanceOrNoEcho)
{
    RunResult r = rangectl({"shot", "1", "-t", "2000"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "1000\n");
    EXPECT_EQ(r.err, "");
    r = rangectl({"shot", "2", "-t", "2000"});
    EXPECT_EQ(r.out, "500\n");

    r = rangectl({"shot", "3", "-t", "100"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "no echo\n");
    r = rangectl({"--raw", "shot", "3", "-t", "100"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "9999\n");

    EXPECT_EQ(writes(4), (std::vector<std::string>{"1 1 0", "1 2 0", "1 3 0", "1 3 0"}));
    EXPECT_EQ(stop_server(), 0);
}

TEST_F(Served, ShotRefusesWhileRangingRuns)
{
    // Sensor 1's target is at 1 m.  Ranging every 20 ms on sensor 2
    // (0.5 m) or 3 (no echo) keeps values coming, which a shot cannot tell
    // from its own.
    const std::string refusal = "rangectl: " + dir_ +
                                "/rtf2: values keep arriving: periodic ranging is running; stop it (rangectl "
                                "stop) or use watch\n";
    for (const char *sensor : {"2", "3"}) {
        SCOPED_TRACE(std::string("ranging on sensor ") + sensor);
        ASSERT_EQ(rangectl({"start", sensor, "20"}).exit_code, 0);
        RunResult r = rangectl({"shot", "1"});
        EXPECT_EQ(r.exit_code, 7);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, refusal);
        ASSERT_EQ(rangectl({"stop", sensor}).exit_code, 0);
    }
    RunResult r = rangectl({"shot", "1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "1000\n");

    // With a period of 300 ms of wall time a shot may find a quiet moment,
    // or not; what it prints is its own distance, or nothing.  (The shot
    // moves the periodic shots to its sensor: each round starts on 2 again.)
    int own = 0;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(rangectl({"start", "2", "6000"}).exit_code, 0);
        r = rangectl({"shot", "1", "-t", "2000"});
        if (r.exit_code == 0) {
            EXPECT_EQ(r.out, "1000\n");
            ++own;
        } else {
            EXPECT_EQ(r.exit_code, 7) << r.out << r.err;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, refusal);
        }
    }
    ASSERT_EQ(rangectl({"stop", "2"}).exit_code, 0);
    RecordProperty("shots_answered_of_6", own);
}

TEST_F(Served, ShotDropsWhatEarlierRangingLeft)
{
    // Ranging on sensor 2 leaves 9999s and 500s unread in FIFO 2.
    ASSERT_EQ(rangectl({"start", "2", "20"}).exit_code, 0);
    ASSERT_EQ(rangectl({"read", "-n", "6", "-t", "2000"}).exit_code, 0);
    ASSERT_EQ(rangectl({"stop", "2"}).exit_code, 0);
    RunResult r = rangectl({"shot", "1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "1000\n");
}

TEST_F(Served, DefaultTimeouts)
{
    using clock = std::chrono::steady_clock;
    // shot: after 100 ms without values it fires, then waits 200 ms for
    // the echo.  The server is stopped, so nothing can come sooner or later;
    // the time can only be longer on a busy machine.
    kill(server_, SIGSTOP);
    auto t0 = clock::now();
    RunResult r = rangectl({"shot", "1"});
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - t0).count();
    kill(server_, SIGCONT);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, "no echo\n");
    EXPECT_GE(took, 300);

    // watch: 3 periods and 200 ms without a value is no answer.
    for (const std::string period : {"100", "40"}) {
        SCOPED_TRACE("period " + period);
        Background w;
        std::string err = tmp_.path() + "/watch.err";
        w.start(rangectl_argv({"watch", "1", period}), err);
        ASSERT_TRUE(w.wait_lines(2)) << w.text;
        kill(server_, SIGSTOP);
        int st = w.finish();
        kill(server_, SIGCONT);
        long expect = 3 * std::stol(period) + 200;
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 5) << "wait status " << st;
        EXPECT_EQ(testutil::read_file(err),
                  (period == "40" ? period_warning(40, 6873) : "") + "rangectl: " + dir_ + "/rtf2: no value for " +
                      std::to_string(expect) + " ms: is ranging running?\n");
    }
}

TEST_F(Served, ShotAmidFastRangingSendsNoRecord)
{
    // Values every 50 ms never leave the 100 ms of quiet a shot waits for:
    // it gives up before it sends its record, so the periodic shots stay on
    // sensor 2 (0.5 m).
    ASSERT_EQ(rangectl({"start", "2", "50"}).exit_code, 0);
    RunResult r = rangectl({"shot", "1"});
    EXPECT_EQ(r.exit_code, 7) << r.err;
    EXPECT_EQ(r.out, "");
    r = rangectl({"read", "-n", "6", "-t", "2000"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    for (const auto &l : lines_of(r.out))
        EXPECT_TRUE(l == "9999" || l == "500") << l;
    ASSERT_EQ(rangectl({"stop", "2"}).exit_code, 0);
    EXPECT_EQ(writes(2), (std::vector<std::string>{"2 2 50", "3 2 0"}));
}

TEST_F(Served, IntervalBeyond32BitsIsOutOfRangeNotADistance)
{
    // Sensor 4's echo comes after 3 s: the module puts -369045.
    RunResult r = rangectl({"shot", "4", "-t", "5000"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, "out of range\n");
    EXPECT_EQ(r.err, "");
    r = rangectl({"--raw", "shot", "4", "-t", "5000"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, "-369045\n");

    // A period of 5 s: each echo is timed from its own shot.
    r = rangectl({"watch", "4", "5000", "-n", "2"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(watch_values(r.out, 4), std::vector<std::string>(2, "out of range"));
    r = rangectl({"watch", "4", "5000", "-n", "1", "--raw"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(watch_values(r.out, 4), std::vector<std::string>{"-369045"});
}

TEST_F(Served, PeriodShorterThanTheFarthestFlightIsWarnedOf)
{
    // 500 mm at 1 ms: the echo comes 2.9 ms after its shot, and is timed
    // from the shot two periods later: 500 - 2 * 171.85 mm.  The module does
    // as it is told; rangectl says what that period covers.
    RunResult r = rangectl({"watch", "2", "1", "-n", "6"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, period_warning(1, 171));
    std::vector<std::string> v = watch_values(r.out, 2);
    EXPECT_NE(std::find(v.begin(), v.end(), "156"), v.end()) << r.out;
    EXPECT_EQ(std::find(v.begin(), v.end(), "500"), v.end()) << r.out;

    r = rangectl({"start", "2", "58"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, period_warning(58, 9967));
    r = rangectl({"start", "2", "59"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(rangectl({"stop", "2"}).exit_code, 0);
}

TEST_F(Served, WatchTimeoutOfTheLongestPeriodsOnBothBuilds)
{
    // Three periods and 200 ms pass 2^31 ms from a period of 715827816 on:
    // the default timeout must not wrap (a 32-bit long on the lab PC).  The
    // first period's echo comes 5.8 ms after the start, well inside it.
    std::vector<std::pair<std::string, std::string>> builds{{"rangectl", RANGECTL}};
    std::string why = testutil::i386_skip_reason(RANGECTL32);
    if (why.empty())
        builds.emplace_back("rangectl32", RANGECTL32);
    for (const auto &b : builds) {
        for (const char *period : {"715827816", "1431655766", "2147483647"}) {
            SCOPED_TRACE(b.first + " watch 1 " + period);
            std::vector<std::string> args{b.first, "--fifo-dir", dir_, "watch", "1", period, "-n", "1"};
            RunResult r = b.first == "rangectl" ? testutil::run_program(b.second, args)
                                                : testutil::run_i386(b.second, args);
            EXPECT_EQ(r.exit_code, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(watch_values(r.out, 1), std::vector<std::string>{"1000"});
        }
    }
    if (!why.empty())
        GTEST_SKIP() << "the 32-bit build: " << why;
}

TEST_F(Served, SensorNumbersUpTo256)
{
    // 256 is the last sensor whose channel (sensor - 1) fits the board's
    // channel byte; no targets there: no echo.
    for (const char *sensor : {"255", "256"}) {
        RunResult r = rangectl({"shot", sensor, "-t", "20"});
        EXPECT_EQ(r.exit_code, 1) << sensor << r.err;
    }
    RunResult r = rangectl({"start", "257", "100"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("not a sensor number (1-256): 257"), std::string::npos) << r.err;
    ASSERT_EQ(rangectl({"stop", "256"}).exit_code, 0);
    EXPECT_EQ(writes(3), (std::vector<std::string>{"1 255 0", "1 256 0", "3 256 0"}));
}

TEST_F(Served, StartAndStopEachSendOneRecord)
{
    RunResult r = rangectl({"start", "2", "100"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");

    // Every period: the 9999 of the check right after the shot, then 500.
    r = rangectl({"read", "-n", "6", "-t", "2000"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "9999\n500\n9999\n500\n9999\n500\n");

    r = rangectl({"stop", "2"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(writes(2), (std::vector<std::string>{"2 2 100", "3 2 0"}));

    // What was put before the stop is still there, and read -t takes it
    // out: the timeout ends a read without -n as done.  Then nothing comes;
    // a read that wanted -n values and got fewer has no answer.
    r = rangectl({"read", "-t", "300"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const auto &l : lines_of(r.out))
        EXPECT_TRUE(l == "9999" || l == "500") << l;
    r = rangectl({"read", "-t", "300"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    r = rangectl({"read", "-t", "300", "-n", "1"});
    EXPECT_EQ(r.exit_code, 5);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("rtf2: no value for 300 ms"), std::string::npos) << r.err;

    EXPECT_EQ(stop_server(), 0);
    EXPECT_NE(log().find("# ranging thread: suspended"), std::string::npos) << log();
}

TEST_F(Served, WatchPrintsCountPeriodsThenSuspends)
{
    RunResult r = rangectl({"watch", "1", "100", "-n", "5"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(watch_values(r.out, 1), std::vector<std::string>(5, "1000"));

    r = rangectl({"watch", "3", "100", "-n", "3"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(watch_values(r.out, 3), std::vector<std::string>(3, "no echo"));
    r = rangectl({"watch", "3", "100", "-n", "2", "--raw"});
    EXPECT_EQ(watch_values(r.out, 3), std::vector<std::string>(2, "9999"));
    // --raw is the form for column tools: three numbers a line, always.
    const std::regex three_numbers(R"(^\d+\.\d{3} \d+ -?\d+$)");
    for (const auto &l : lines_of(r.out))
        EXPECT_TRUE(std::regex_match(l, three_numbers)) << l;

    // Each watch suspends whatever runs, starts its own, suspends it.
    EXPECT_EQ(writes(9), (std::vector<std::string>{"3 1 0", "2 1 100", "3 1 0", "3 3 0", "2 3 100",
                                                   "3 3 0", "3 3 0", "2 3 100", "3 3 0"}));
    EXPECT_EQ(stop_server(), 0);
    EXPECT_NE(log().find("# ranging thread: suspended"), std::string::npos) << log();
}

TEST_F(Served, WatchIgnoresValuesLeftFromEarlier)
{
    // Ranging on the silent sensor, left running: its 9999s pile up.
    ASSERT_EQ(rangectl({"start", "3", "20"}).exit_code, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    RunResult r = rangectl({"watch", "1", "100", "-n", "3"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(watch_values(r.out, 1), std::vector<std::string>(3, "1000"));
}

TEST_F(Served, WatchEndedBySignalSuspendsRanging)
{
    size_t watches = 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        Background w;
        w.start(rangectl_argv({"watch", "2", "100"}));
        ASSERT_TRUE(w.wait_lines(3)) << w.text;
        kill(w.pid, sig);
        int st = w.finish();
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == sig) << "wait status " << st;
        EXPECT_EQ(watch_values(w.text, 2).front(), "500");
        auto sent = writes(++watches * 3);
        ASSERT_EQ(sent.size(), watches * 3);
        EXPECT_EQ(std::vector<std::string>(sent.end() - 2, sent.end()), (std::vector<std::string>{"2 2 100", "3 2 0"}));
    }
    EXPECT_EQ(stop_server(), 0);
    EXPECT_NE(log().find("# ranging thread: suspended"), std::string::npos) << log();
}

TEST_F(Served, WatchWithClosedOutputSuspendsRanging)
{
    Background w;
    w.start(rangectl_argv({"watch", "1", "100"}));
    ASSERT_TRUE(w.wait_lines(1)) << w.text;
    close(w.out);
    w.out = -1;
    int st = w.finish();
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGPIPE) << "wait status " << st;
    EXPECT_EQ(writes(3), (std::vector<std::string>{"3 1 0", "2 1 100", "3 1 0"}));
}

TEST_F(Served, OutputThatCannotBeWrittenIsAnError)
{
    size_t sent = 0;
    for (const std::string redirection : {">/dev/full", ">&-"}) {
        SCOPED_TRACE(redirection);
        const std::string why = redirection == ">&-" ? "Bad file descriptor" : "No space left on device";
        RunResult r = rangectl_output_to(redirection, {"shot", "1", "-t", "2000"});
        EXPECT_EQ(r.exit_code, 8) << r.err;
        EXPECT_EQ(r.err, "rangectl: writing the output: " + why + "\n");
        r = rangectl_output_to(redirection, {"shot", "3", "-t", "50"});  // "no echo"
        EXPECT_EQ(r.exit_code, 8) << r.err;
        EXPECT_EQ(r.err, "rangectl: writing the output: " + why + "\n");
        sent += 2;

        // watch suspends ranging on the way out, as always.
        r = rangectl_output_to(redirection, {"watch", "2", "100", "-n", "5"});
        EXPECT_EQ(r.exit_code, 8) << r.err;
        EXPECT_EQ(r.err, "rangectl: writing the output: " + why + "\n");
        auto w = writes(sent += 3);
        ASSERT_EQ(w.size(), sent);
        EXPECT_EQ(std::vector<std::string>(w.end() - 3, w.end()), (std::vector<std::string>{"3 2 0", "2 2 100", "3 2 0"}));

        ASSERT_EQ(rangectl({"start", "2", "100"}).exit_code, 0);
        r = rangectl_output_to(redirection, {"read", "-n", "3"});
        EXPECT_EQ(r.exit_code, 8) << r.err;
        EXPECT_EQ(r.err, "rangectl: writing the output: " + why + "\n");
        ASSERT_EQ(rangectl({"stop", "2"}).exit_code, 0);
        sent += 2;

        r = rangectl_output_to(redirection, {"--version"});
        EXPECT_EQ(r.exit_code, 8) << r.err;
    }
}

TEST_F(Served, ServerGoneDuringWatchIsNoAnswer)
{
    Background w;
    std::string err = tmp_.path() + "/watch.err";
    w.start(rangectl_argv({"watch", "1", "100"}), err);
    ASSERT_TRUE(w.wait_lines(2)) << w.text;
    kill(server_, SIGKILL);
    waitpid(server_, nullptr, 0);
    server_ = -1;
    int st = w.finish();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 5) << "wait status " << st;
    EXPECT_EQ(testutil::read_file(err), "rangectl: " + dir_ + "/rtf2: closed at the other end\n");
}

TEST_F(Served, PipesOfAKilledServer)
{
    // A reader that was there when the server was killed sees the end.
    ASSERT_EQ(rangectl({"shot", "2", "-t", "2000"}).out, "500\n");
    Background before;
    std::string err = tmp_.path() + "/before.err";
    before.start(rangectl_argv({"read"}), err);
    ASSERT_TRUE(has_open(before.pid, dir_ + "/rtf2"));
    kill(server_, SIGKILL);
    waitpid(server_, nullptr, 0);
    server_ = -1;
    int st = before.finish();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 5) << "wait status " << st << ": " << testutil::read_file(err);

    // The pipes it left: nobody serves them; a read that came later does
    // not wait for ever on them.
    struct stat sb;
    ASSERT_EQ(stat((dir_ + "/rtf2").c_str(), &sb), 0);
    Background after;
    after.start(rangectl_argv({"read"}), err);
    st = after.finish();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 3) << "wait status " << st;
    EXPECT_EQ(testutil::read_file(err), "rangectl: " + dir_ +
                                            "/rtf2: nobody serves this FIFO (no module or server at its other end)\n");

    // A new server on the same place serves again.
    serve("20", {});
    ASSERT_EQ(rangectl({"start", "2", "100"}).exit_code, 0);
    RunResult r = rangectl({"read", "-n", "2", "-t", "2000"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "9999\n500\n");
}

TEST_F(Served, CommandWaitingForRoomEndsBySignal)
{
    // The server stopped, its command pipe filled with records that do
    // nothing (command 0): a command write waits for room.
    kill(server_, SIGSTOP);
    fill_command_pipe();

    const std::vector<std::string> actions[] = {{"start", "1", "100"}, {"stop"}, {"shot", "1"}, {"watch", "1", "100"}};
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        for (const auto &action : actions) {
            SCOPED_TRACE(std::string(strsignal(sig)) + " " + action[0]);
            Background b;
            b.start(rangectl_argv(action));
            // The signal comes while the write waits (where the kernel tells;
            // otherwise after a while, and it must end the program as well).
            waiting_in_pipe_write(b.pid);
            kill(b.pid, sig);
            int st = b.finish();
            EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == sig) << "wait status " << st;
        }
    }
    kill(server_, SIGCONT);
    if (HasFailure())
        ADD_FAILURE() << "server log:\n" << log();

    // A watch ended by a signal sends its closing suspend; when that finds
    // no room, it waits for a while, not for ever.
    Background w;
    std::string err = tmp_.path() + "/watch.err";
    w.start(rangectl_argv({"watch", "2", "100"}), err);
    ASSERT_TRUE(w.wait_lines(2)) << w.text;
    kill(server_, SIGSTOP);
    fill_command_pipe();
    kill(w.pid, SIGTERM);
    int st = w.finish();
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) << "wait status " << st;
    EXPECT_NE(testutil::read_file(err).find("rtf1: no room for command 3"), std::string::npos)
        << testutil::read_file(err);
    kill(server_, SIGCONT);
}

// Takes n bytes from DIR/rtf2 and leaves, as a reader that gave up in the
// middle of a value (dd bs=1 count=2, a client killed).
//
// With `waiting` it then stays until that many bytes wait in the pipe.  A
// served pipe cannot tell a cut value from the first bytes of a value that
// --bytewise hands on, so the next reader skips the cut piece only when more
// than a value waits (otherwise a piece followed by the next value can read
// as a plausible distance: 00 | F4 01 00 is 128000).  On the lab PC an
// RT-FIFO holds whole values only, and the piece is always told.
void bytes_taken(const std::string &fifo, size_t n, int waiting = 0)
{
    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 5000), 0);
        unsigned char b;
        if (read(fd, &b, 1) == 1)
            ++got;
    }
    int queued = 0;
    for (int i = 0; i < 2000 && ioctl(fd, FIONREAD, &queued) == 0 && queued < waiting; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    close(fd);
    ASSERT_GE(queued, waiting) << "the server sent no further value within 10 s";
}

TEST_F(Served, ReadFindsWholeValuesAfterACutOne)
{
    for (size_t cut : {2u, 1u, 3u}) {
        SCOPED_TRACE("bytes taken: " + std::to_string(cut));
        ASSERT_EQ(rangectl({"start", "2", "20"}).exit_code, 0);
        bytes_taken(dir_ + "/rtf2", 8 + cut, 4);
        // Ranging goes on while the reader resynchronises, so the four
        // values come however late this process gets the processor.
        RunResult r = rangectl({"read", "-n", "4", "-t", "10000"});
        ASSERT_EQ(rangectl({"stop", "2"}).exit_code, 0);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.err.find("rtf2: out of step"), std::string::npos) << r.err;
        auto values = lines_of(r.out);
        EXPECT_EQ(values.size(), 4u);
        for (const auto &v : values)
            EXPECT_TRUE(v == "9999" || v == "500") << v;
        // What the stop left behind, for the next cut to start clean.
        rangectl({"read", "-t", "300"});
    }
}

TEST_F(Served, PieceOfARecordIsTakenAsOnTheLabPc)
{
    // A piece shorter than a record reaches the module as the write it
    // was; the module's rtf_get takes it and ignores it, as on the lab PC,
    // and the records after it stay whole: the stop stops, and a read finds
    // no more values.  (Glued to later records, it turned the stop into
    // ranging on sensor 16777216, and every later shot found no echo.)
    ASSERT_EQ(rangectl({"start", "1", "100"}).exit_code, 0);
    ASSERT_EQ(writes(1), std::vector<std::string>{"2 1 100"});
    int fd = open((dir_ + "/rtf1").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(write(fd, "\003\000\000", 3), 3);
    close(fd);
    ASSERT_EQ(writes(2), (std::vector<std::string>{"2 1 100", "3 bytes"})) << log();
    ASSERT_EQ(rangectl({"stop"}).exit_code, 0);
    EXPECT_EQ(writes(3), (std::vector<std::string>{"2 1 100", "3 bytes", "3 1 0"})) << log();
    RunResult r = rangectl({"shot", "2", "-t", "2000"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "500\n");
    EXPECT_EQ(writes(4), (std::vector<std::string>{"2 1 100", "3 bytes", "3 1 0", "1 2 0"})) << log();
    EXPECT_EQ(stop_server(), 0);
    EXPECT_NE(log().find("# ranging thread: suspended"), std::string::npos) << log();
}

TEST_F(Served, LabPcBuildDrivesTheModule)
{
    // The static i386 build, as copied to the lab PC.
    std::string why = testutil::i386_skip_reason(RANGECTL32);
    if (!why.empty())
        GTEST_SKIP() << why;
    RunResult r = testutil::run_i386(RANGECTL32, {"rangectl32", "--fifo-dir", dir_, "shot", "2", "-t", "5000"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "500\n");
    r = testutil::run_i386(RANGECTL32, {"rangectl32", "--fifo-dir", dir_, "watch", "1", "100", "-n", "3", "-t", "5000"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(watch_values(r.out, 1), std::vector<std::string>(3, "1000"));
    EXPECT_EQ(writes(4), (std::vector<std::string>{"1 2 0", "3 1 0", "2 1 100", "3 1 0"}));
}

class ServedBytewise : public Served {
protected:
    // A byte about every millisecond: at a fifth of the speed, so that the
    // two values of a 100 ms period (20 ms) do not queue up.
    void SetUp() override { serve("5", {"--bytewise"}); }
};

TEST_F(ServedBytewise, ValuesComingInSingleBytesAreReassembled)
{
    RunResult r = rangectl({"shot", "2", "-t", "1000"});
    EXPECT_EQ(r.out, "500\n");
    r = rangectl({"watch", "1", "100", "-n", "3"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(watch_values(r.out, 1), std::vector<std::string>(3, "1000"));

    // The service does hand on single bytes.
    ASSERT_EQ(rangectl({"start", "2", "100"}).exit_code, 0);
    int fd = open((dir_ + "/rtf2").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    size_t bytes = 0, reads = 0;
    while (bytes < 8) {
        pollfd p{fd, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 2000), 0);
        unsigned char buf[64];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            bytes += static_cast<size_t>(n);
            ++reads;
        }
    }
    close(fd);
    EXPECT_EQ(reads, bytes) << "values came whole; the test would prove nothing";
    EXPECT_EQ(rangectl({"stop"}).exit_code, 0);
}

TEST_F(ServedBytewise, ReadFindsWholeValuesAfterACutOne)
{
    ASSERT_EQ(rangectl({"start", "2", "100"}).exit_code, 0);
    bytes_taken(dir_ + "/rtf2", 2);
    RunResult r = rangectl({"read", "-n", "4", "-t", "2000"});
    EXPECT_EQ(rangectl({"stop"}).exit_code, 0);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("rtf2: out of step"), std::string::npos) << r.err;
    auto values = lines_of(r.out);
    EXPECT_EQ(values.size(), 4u);
    for (const auto &v : values)
        EXPECT_TRUE(v == "9999" || v == "500") << v;
}

// ---- without a server

RunResult rangectl_plain(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{"rangectl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::run_program(RANGECTL, argv);
}

TEST(RangectlFifos, MissingFifoIsNamed)
{
    testutil::TempDir tmp;
    std::string dir = tmp.path() + "/none";
    for (std::vector<std::string> action : {std::vector<std::string>{"shot", "1"}, {"start", "1", "100"},
                                            {"stop"}, {"watch", "1", "100"}, {"read"}}) {
        std::vector<std::string> args{"--fifo-dir", dir};
        args.insert(args.end(), action.begin(), action.end());
        RunResult r = rangectl_plain(args);
        EXPECT_EQ(r.exit_code, 3) << action[0];
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("rtf"), std::string::npos);
        EXPECT_NE(r.err.find(": no such FIFO"), std::string::npos) << r.err;
    }
}

TEST(RangectlFifos, NotAFifoIsLeftAlone)
{
    testutil::TempDir tmp;
    std::string file = tmp.write("rtf1", "keep me");
    RunResult r = rangectl_plain({"--cmd-fifo", file, "stop"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.err.find(file + ": not a FIFO"), std::string::npos) << r.err;
    EXPECT_EQ(testutil::read_file(file), "keep me");
}

TEST(RangectlFifos, FifoNobodyServes)
{
    testutil::TempDir tmp;
    ASSERT_EQ(mkfifo((tmp.path() + "/rtf1").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((tmp.path() + "/rtf2").c_str(), 0600), 0);
    RunResult r = rangectl_plain({"--fifo-dir", tmp.path(), "start", "1", "100"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.err.find("nobody serves"), std::string::npos) << r.err;
    // read has no command to write, and waits for values with no timeout:
    // it must find out by itself that nobody will ever write.
    for (std::vector<std::string> timeout : {std::vector<std::string>{}, {"-t", "50"}}) {
        Background b;
        std::string err = tmp.path() + "/read.err";
        std::vector<std::string> argv{RANGECTL, "--fifo-dir", tmp.path(), "read"};
        argv.insert(argv.end(), timeout.begin(), timeout.end());
        b.start(argv, err);
        int st = b.finish();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 3) << "wait status " << st;
        EXPECT_NE(testutil::read_file(err).find("rtf2: nobody serves this FIFO"), std::string::npos)
            << testutil::read_file(err);
    }
}

TEST(RangectlFifos, AccessRefused)
{
    // EACCES, as for an RT-FIFO that another process has open: a FIFO this
    // user may not open.
    testutil::TempDir tmp;
    std::string fifo = tmp.path() + "/rtf1";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(chmod(fifo.c_str(), 0), 0);
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(p[1], 2);
        // root opens anything: run it as nobody
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(77);
        execl(RANGECTL, "rangectl", "--cmd-fifo", fifo.c_str(), "stop", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(p[1]);
    std::string err;
    char buf[512];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0)
        err.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    if (WIFEXITED(st) && WEXITSTATUS(st) == 77)
        GTEST_SKIP() << "cannot change to user nobody here";
    if (WIFEXITED(st) && WEXITSTATUS(st) == 127)
        GTEST_SKIP() << "user nobody cannot run " << RANGECTL;
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 4) << "wait status " << st << ": " << err;
    EXPECT_NE(err.find("access refused: another process has the FIFO open"), std::string::npos) << err;
}

TEST(RangectlCommandLine, RefusalsAndHelp)
{
    const std::vector<std::string> bad[] = {
        {},
        {"fire", "1"},
        {"shot"},
        {"shot", "0"},
        {"shot", "257"},
        {"shot", "1x"},
        {"watch", "1", "0"},
        {"watch", "1", "-5"},
        {"start", "1"},
        {"shot", "1", "-n", "3"},
        {"stop", "-t", "5"},
        {"read", "-n", "0"},
        {"read", "--fast"},
        {"read", "-t"},
    };
    for (const auto &args : bad) {
        RunResult r = rangectl_plain(args);
        EXPECT_EQ(r.exit_code, 2) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: rangectl"), std::string::npos);
    }
    RunResult r = rangectl_plain({"-h"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("usage: rangectl", 0), 0u);
    EXPECT_EQ(r.err, "");
}

TEST(RangectlCommandLine, VersionNamesTheReleaseAndTheCommit)
{
    RunResult r = rangectl_plain({"--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, std::regex(R"(rangectl (\S+) \(commit (\S+)\)\n)"))) << r.out;
    EXPECT_EQ(m[1], PROJECT_VERSION);
    EXPECT_EQ(m[2], SOURCE_COMMIT);
    // From a checkout: what git says, not "unknown".
    if (std::string(SOURCE_COMMIT) != "unknown") {
        EXPECT_TRUE(std::regex_match(m[2].str(), std::regex(R"(([\w.-]+-g)?[0-9a-f]{7,}(-dirty)?)"))) << m[2];
    }
    // Wherever it stands on the command line, and before any check of it.
    EXPECT_EQ(rangectl_plain({"shot", "999", "--version"}).out, r.out);
}

}  // namespace
