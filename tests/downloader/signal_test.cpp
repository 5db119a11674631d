// A download stopped by SIGINT, SIGTERM or SIGHUP leaves the cable idle and
// the ports given back, and the process still ends by that signal.
#include "download_fixture.h"

#include <csignal>
#include <cstring>

namespace {

void (*handler_of(int sig))(int)
{
    struct sigaction now;
    sigaction(sig, nullptr, &now);
    return now.sa_handler;
}

void set_handler(int sig, void (*h)(int))
{
    struct sigaction a;
    std::memset(&a, 0, sizeof a);
    a.sa_handler = h;
    sigemptyset(&a.sa_mask);
    sigaction(sig, &a, nullptr);
}

void own_handler(int) {}

struct Seen {
    void (*during[3])(int) = {};
    bool taken = false;
};

void look_at_handlers(std::uint64_t accesses, void *ctx)
{
    auto *s = static_cast<Seen *>(ctx);
    if (accesses != 20)
        return;
    s->during[0] = handler_of(SIGINT);
    s->during[1] = handler_of(SIGTERM);
    s->during[2] = handler_of(SIGHUP);
    s->taken = true;
}

TEST_F(DownloadTest, HandlersOnlyWhilePortAccessIsHeldAndIgnoredSignalsStayIgnored)
{
    bench::FpgaBenchConfig cfg;
    cfg.fpga.config_bits = 32;
    make_bench(cfg);
    set_image({1, 2, 3, 4});
    set_handler(SIGINT, SIG_DFL);
    set_handler(SIGTERM, own_handler);
    set_handler(SIGHUP, SIG_IGN);
    Seen seen;
    io().set_access_hook(look_at_handlers, &seen);

    EXPECT_EQ(run_download(), 0);

    ASSERT_TRUE(seen.taken);
    EXPECT_NE(seen.during[0], SIG_DFL);
    EXPECT_NE(seen.during[1], own_handler);
    EXPECT_EQ(seen.during[0], seen.during[1]);
    EXPECT_EQ(seen.during[2], SIG_IGN);
    EXPECT_EQ(handler_of(SIGINT), SIG_DFL);
    EXPECT_EQ(handler_of(SIGTERM), own_handler);
    EXPECT_EQ(handler_of(SIGHUP), SIG_IGN);
    set_handler(SIGTERM, SIG_DFL);
    set_handler(SIGHUP, SIG_DFL);
}

TEST_F(DownloadTest, NoHandlerWhenThePortIsRefused)
{
    make_bench();
    set_image({1});
    set_handler(SIGINT, own_handler);
    io().permissions().set_privileged(false, EPERM);
    struct Probe : bench::Observer {
        void (*at_release)(int) = nullptr;
        void on_permission(const bench::PermissionCall &c) override
        {
            if (!c.turn_on)
                at_release = handler_of(SIGINT);
        }
    } probe;
    io().set_observer(&probe);
    run_download();
    EXPECT_EQ(probe.at_release, own_handler);
    set_handler(SIGINT, SIG_DFL);
}

// Writes every access and permission call to stderr, where the death test
// can see them after the process has died.
struct StderrLog : bench::Observer {
    void on_access(const bench::Access &a) override
    {
        std::fprintf(stderr, "%s 0x%X 0x%X\n", a.dir == bench::Dir::In ? "in" : "out", a.port, a.value);
    }
    void on_permission(const bench::PermissionCall &c) override
    {
        std::fprintf(stderr, "ioperm 0x%lX %lu %d\n", c.from, c.num, c.turn_on);
    }
};

struct Stop {
    int sig;
    std::uint64_t at;
};

void stop_with(std::uint64_t accesses, void *ctx)
{
    auto *s = static_cast<Stop *>(ctx);
    if (accesses == s->at)
        std::raise(s->sig);
}

class StoppedDownload : public DownloadTest, public testing::WithParamInterface<int> {
protected:
    // Runs in the death test's child: stopped in the middle of the data,
    // right after a control write that set DCLK high.
    void download_stopped_by(int sig)
    {
        bench::FpgaBenchConfig cfg;
        cfg.fpga.config_bits = 800;
        cfg.fpga.nstatus_delay = 1;  // 12 accesses before the first clock
        make_bench(cfg);
        set_image(std::vector<int>(100, 0xFF));
        StderrLog log;
        io().set_observer(&log);
        Stop stop{sig, 12 + 3 * 96};
        io().set_access_hook(stop_with, &stop);
        download_data();
        std::fprintf(stderr, "download returned\n");
        std::exit(0);
    }
};

TEST_P(StoppedDownload, EndsBySignalWithPortIdleAndReleased)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(download_stopped_by(GetParam()), testing::KilledBySignal(GetParam()),
                "out 0x37A 0x4\nout 0x378 0x0\nout 0x37A 0x5\nioperm 0x378 3 0\nioperm 0x80 1 0\n$");
}

INSTANTIATE_TEST_SUITE_P(Signals, StoppedDownload, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int> &i) {
                             return std::string(i.param == SIGINT    ? "SIGINT"
                                                : i.param == SIGTERM ? "SIGTERM"
                                                                     : "SIGHUP");
                         });

} // namespace
