// echorange-sim --serve as a program: command records handed on from the
// pipe as a real FIFO takes them, and the service's ownership of DIR and
// its pipes.  The server runs in its own process group, so that stopping it
// (SIGSTOP) concerns nobody else and no job control of the test's own group
// reaches it.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <sstream>
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
    // A bound should a test never stop it: 90 s of wall time at speed 20.
    "duration 30min\n";

std::string record(int command, int number, int period)
{
    std::string r;
    for (int v : {command, number, period})
        for (int b = 0; b < 4; ++b)
            r += static_cast<char>(static_cast<uint32_t>(v) >> (8 * b));
    return r;
}

// The records that reached the module, in order ("3 1 0", ...), from the
// log's "# write C N P" lines; any other form of write line is kept whole,
// so that it shows in a failure.
std::vector<std::string> records_in(const std::string &log)
{
    std::vector<std::string> w;
    std::regex re(R"(^\d+\.\d{9} # write (.*)$)");
    std::istringstream in(log);
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (std::regex_match(l, m, re))
            w.push_back(m[1]);
    }
    return w;
}

// One echorange-sim --serve in the background, in its own process group.
class Server {
public:
    Server(const std::string &dir, const std::string &scenario, const std::string &log_dir,
           const std::string &name)
        : log_(log_dir + "/" + name + ".log"), err_(log_dir + "/" + name + ".err")
    {
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            execl(ECHORANGE_SIM, "echorange-sim", "--serve", dir.c_str(), "--speed", "20", scenario.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        if (pid_ > 0)
            setpgid(pid_, pid_);  // whichever of the two runs first
    }

    ~Server()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Waits until it serves (true), or has ended (false; see status()).
    bool serving()
    {
        for (int i = 0; i < 1000; ++i) {
            if (log().find("# serving") != std::string::npos)
                return true;
            if (reap(false))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void signal(int sig) { kill(pid_, sig); }

    // Stops it as a user would (SIGTERM, or Ctrl-C's SIGINT); its exit
    // status, or -1.
    int stop(int sig = SIGTERM)
    {
        kill(pid_, SIGCONT);
        kill(pid_, sig);
        reap(true);
        return status();
    }

    void kill_now()
    {
        kill(pid_, SIGKILL);
        reap(true);
    }

    int status() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
    std::string log() const { return testutil::read_file(log_); }
    std::string err() const { return testutil::read_file(err_); }

    // The records logged, once there are at least n (or 10 s have passed).
    std::vector<std::string> records(size_t n) const
    {
        for (int i = 0; i < 1000 && records_in(log()).size() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return records_in(log());
    }

private:
    bool reap(bool wait)
    {
        if (pid_ <= 0)
            return true;
        if (waitpid(pid_, &status_, wait ? 0 : WNOHANG) != pid_)
            return false;
        pid_ = -1;
        return true;
    }

    std::string log_, err_;
    pid_t pid_ = -1;
    int status_ = 0;
};

struct inode {
    dev_t dev;
    ino_t ino;
    bool operator==(const inode &o) const { return dev == o.dev && ino == o.ino; }
};

inode inode_of(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return {0, 0};
    return {st.st_dev, st.st_ino};
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class ServeTest : public ::testing::Test {
protected:
    testutil::TempDir tmp_;
    std::string dir_ = tmp_.path() + "/rf";
    std::string scenario_ = tmp_.write("served.scenario", kScenario);
};

// ---- command records

TEST_F(ServeTest, ManyRecordsInOneWriteReachTheModuleWhole)
{
    // 3000 suspends, 36000 bytes: more than one read of the pipe and more
    // than RT-FIFO 1 holds.  Split at a non-record boundary, the tails of
    // the pieces would turn later suspends into other commands (shots).
    Server s(dir_, scenario_, tmp_.path(), "server");
    ASSERT_TRUE(s.serving()) << s.err();
    std::string all;
    for (int i = 0; i < 3000; ++i)
        all += record(3, 1, 0);
    int fd = open((dir_ + "/rtf1").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(write(fd, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    close(fd);

    EXPECT_EQ(s.records(3000), std::vector<std::string>(3000, "3 1 0"));
    EXPECT_EQ(s.stop(), 0) << s.err();
    std::smatch m;
    std::string log = s.log();
    ASSERT_TRUE(std::regex_search(log, m, std::regex(R"(, (\d+) shots, )"))) << log;
    EXPECT_EQ(m[1], "0");
    EXPECT_NE(log.find("# ranging thread: suspended"), std::string::npos);
}

TEST_F(ServeTest, RecordsQueuedWhileStoppedKeepTheirBoundaries)
{
    // 335 records wait in the pipe while the server is stopped, as written
    // by 335 clients: the first read cannot take them all, and whatever it
    // takes must end on a record boundary.  The user's last word is a stop.
    Server s(dir_, scenario_, tmp_.path(), "server");
    ASSERT_TRUE(s.serving()) << s.err();
    s.signal(SIGSTOP);
    int fd = open((dir_ + "/rtf1").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    std::vector<std::string> sent(333, "3 1 0");
    sent.push_back("2 2 50");
    sent.push_back("3 2 0");
    for (const auto &r : sent) {
        int c, n, p;
        ASSERT_EQ(std::sscanf(r.c_str(), "%d %d %d", &c, &n, &p), 3);
        std::string rec = record(c, n, p);
        ASSERT_EQ(write(fd, rec.data(), rec.size()), 12) << std::strerror(errno);
    }
    close(fd);
    s.signal(SIGCONT);

    EXPECT_EQ(s.records(sent.size()), sent);
    EXPECT_EQ(s.stop(), 0) << s.err();
    EXPECT_NE(s.log().find("# ranging thread: suspended"), std::string::npos) << s.log();
}

// A piece of a record reaches the module as it came, as on the lab PC: the
// module's rtf_get takes the short piece, and the records after it stay
// whole.  (Glued to the next record, it made every later record another
// one: a stop became ranging on sensor 16777216.)
TEST_F(ServeTest, RecordPiecesReachTheModuleAsTheyCome)
{
    Server s(dir_, scenario_, tmp_.path(), "server");
    ASSERT_TRUE(s.serving()) << s.err();
    int fd = open((dir_ + "/rtf1").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    auto send = [&](const std::string &bytes, const std::string &logged) {
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        // Each write is taken before the next is made, so that no read of
        // the pipe joins two of them.
        for (int i = 0; i < 1000 && s.log().find("# " + logged + "\n") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_NE(s.log().find("# " + logged + "\n"), std::string::npos) << s.log();
    };
    send(record(2, 1, 100), "write 2 1 100");
    send(std::string("\003\000\000", 3), "write 3 bytes");
    send(record(3, 1, 0), "write 3 1 0");
    send(record(1, 2, 0).substr(0, 5), "write 5 bytes");
    send(record(1, 2, 0), "write 1 2 0");
    close(fd);
    std::regex shot(R"(\n\d+\.\d{9} 500\n)");
    for (int i = 0; i < 1000 && !std::regex_search(s.log(), shot); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(s.stop(), 0) << s.err();
    std::string log = s.log();
    // The stop stopped, and the shot of sensor 2 (500 mm) was taken.
    EXPECT_NE(log.find("# ranging thread: suspended"), std::string::npos) << log;
    EXPECT_TRUE(std::regex_search(log, shot)) << log;
    EXPECT_EQ(records_in(log),
              (std::vector<std::string>{"2 1 100", "3 bytes", "3 1 0", "5 bytes", "1 2 0"}));
}

// ---- DIR and its pipes

TEST_F(ServeTest, ForeignFileAtAPipesPlaceSurvives)
{
    Server s(dir_, scenario_, tmp_.path(), "server");
    ASSERT_TRUE(s.serving()) << s.err();
    ASSERT_EQ(unlink((dir_ + "/rtf2").c_str()), 0);
    tmp_.write("rf/rtf2", "keep me");
    EXPECT_EQ(s.stop(), 0) << s.err();
    EXPECT_EQ(testutil::read_file(dir_ + "/rtf2"), "keep me");
    EXPECT_FALSE(exists(dir_ + "/rtf1")) << "its own pipe is still there";
    EXPECT_NE(s.log().find(dir_ + "/rtf2 is no longer the pipe made here: left in place"), std::string::npos)
        << s.log();
}

TEST_F(ServeTest, SecondServerOnTheSameDirIsRefused)
{
    Server first(dir_, scenario_, tmp_.path(), "first");
    ASSERT_TRUE(first.serving()) << first.err();
    inode rtf1 = inode_of(dir_ + "/rtf1"), rtf2 = inode_of(dir_ + "/rtf2");

    // Bounded in case it is not refused: 1 s at speed 20.
    std::string brief = tmp_.write("brief.scenario", "target 1 1m\nduration 20s\n");
    Server second(dir_, brief, tmp_.path(), "second");
    EXPECT_FALSE(second.serving());
    EXPECT_EQ(second.status(), 2);
    EXPECT_EQ(second.err(), "echorange-sim: " + dir_ + " is served by another echorange-sim\n");
    EXPECT_EQ(second.log(), "") << "it went on to load the module";
    EXPECT_TRUE(inode_of(dir_ + "/rtf1") == rtf1);
    EXPECT_TRUE(inode_of(dir_ + "/rtf2") == rtf2);

    // The first still serves through them, and removes them at its end.
    int fd = open((dir_ + "/rtf1").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    std::string shot = record(1, 1, 0);
    ASSERT_EQ(write(fd, shot.data(), shot.size()), 12);
    close(fd);
    EXPECT_EQ(first.records(1), std::vector<std::string>{"1 1 0"});
    EXPECT_EQ(first.stop(), 0) << first.err();
    EXPECT_FALSE(exists(dir_ + "/rtf1"));
    EXPECT_FALSE(exists(dir_ + "/rtf2"));
}

// A thread whose every period's work is longer than its period (1 ms
// periods, 90 us per platform call) never lets the Linux side run; the
// service still ends on a signal, and removes its pipes.
TEST_F(ServeTest, OverrunningThreadStillStopsOnASignal)
{
    for (int sig : {SIGTERM, SIGINT}) {
        std::string dir = dir_ + std::to_string(sig);
        std::string sc = tmp_.write("overrun.scenario", "call-cost 90us\ntarget 1 1m\nat 0 write 2 1 1\n");
        Server s(dir, sc, tmp_.path(), "overrun" + std::to_string(sig));
        ASSERT_TRUE(s.serving()) << s.err();
        std::regex value(R"(\n\d+\.\d{9} (9999|\d+)\n)");
        for (int i = 0; i < 1000 && !std::regex_search(s.log(), value); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(std::regex_search(s.log(), value)) << s.log();
        EXPECT_EQ(s.stop(sig), 0) << s.err();
        std::string log = s.log();
        EXPECT_NE(log.find(std::string("# stopped by ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT")), std::string::npos)
            << log;
        EXPECT_NE(log.find(" of the thread came while its work on the last one went on (overruns)\n"),
                  std::string::npos)
            << log;
        EXPECT_FALSE(exists(dir + "/rtf1"));
        EXPECT_FALSE(exists(dir + "/rtf2"));
    }
}

// An RT-FIFO takes one process at a time (another gets EACCES); a named
// pipe cannot refuse an open, so the service says when two processes hold
// one, where they would share its values.  The same process opening it
// twice is allowed on the lab PC too, and is not told.
TEST_F(ServeTest, SecondProcessOnAPipeIsTold)
{
    Server s(dir_, scenario_, tmp_.path(), "server");
    ASSERT_TRUE(s.serving()) << s.err();
    const std::string rtf2 = dir_ + "/rtf2";
    const std::string told = rtf2 + ": held by 2 processes at once; the lab PC refuses all but the first (EACCES), "
                                    "here they share it\n";
    int a = open(rtf2.c_str(), O_RDONLY | O_NONBLOCK);
    int b = open(rtf2.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(a, 0) << std::strerror(errno);
    ASSERT_GE(b, 0) << std::strerror(errno);
    // A write after the opens: its line comes after anything the opens gave.
    int w = open((dir_ + "/rtf1").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(w, 0) << std::strerror(errno);
    std::string suspend = record(3, 1, 0);
    ASSERT_EQ(write(w, suspend.data(), suspend.size()), 12);
    close(w);
    ASSERT_EQ(s.records(1), std::vector<std::string>{"3 1 0"}) << s.log();
    EXPECT_EQ(s.log().find(told), std::string::npos) << s.log();

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(rtf2.c_str(), O_RDONLY | O_NONBLOCK);
        char c = fd >= 0 ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    EXPECT_EQ(c, 'y');
    for (int i = 0; i < 1000 && s.log().find(told) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(s.log().find(told), std::string::npos) << s.log();
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(a);
    close(b);
    EXPECT_EQ(s.stop(), 0) << s.err();
}

TEST_F(ServeTest, KilledServerLeavesNoLockBehind)
{
    // A killed server leaves its pipes; the next one takes DIR and replaces them.
    Server first(dir_, scenario_, tmp_.path(), "first");
    ASSERT_TRUE(first.serving()) << first.err();
    first.kill_now();
    ASSERT_TRUE(exists(dir_ + "/rtf1"));

    Server next(dir_, scenario_, tmp_.path(), "next");
    ASSERT_TRUE(next.serving()) << next.err();
    EXPECT_EQ(next.stop(), 0) << next.err();
    EXPECT_FALSE(exists(dir_ + "/rtf1"));
    EXPECT_FALSE(exists(dir_ + "/rtf2"));
}

}  // namespace
