// The emulated RTLinux platform's services on their own: the interrupt
// controller between a line and its handler, the I/O-region registry and
// the FIFOs' module side.  The module's use of them is tested in tests/uss.
#include "rtlinux/kernel/io_regions.h"
#include "rtlinux/kernel/rtl_fifo.h"
#include "rtlinux/kernel/rtl_irq.h"
#include "rtlinux/machine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int kEbusy = 16;   // Linux's EBUSY
constexpr int kEinval = 22;  // EINVAL
constexpr int kEnodev = 19;  // ENODEV
constexpr int kEnospc = 28;  // ENOSPC

unsigned handler(unsigned, struct pt_regs *) { return 0; }
int fifo_handler(unsigned) { return 0; }

// A device on a line: counts how its requests ended.
struct Source : bench::IrqLine::Source {
    int serviced = 0, dropped = 0;
    void irq_serviced(bench::IrqLine &) override { ++serviced; }
    void irq_dropped(bench::IrqLine &) override { ++dropped; }
};

class InterruptControllerTest : public ::testing::Test {
protected:
    rtlsim::InterruptController pic;
    std::vector<std::string> complaints;
    Source source;
    void SetUp() override
    {
        pic.set_complaint_sink([this](const std::string &c) { complaints.push_back(c); });
        pic.line(11).attach_source(&source);
    }
};

TEST_F(InterruptControllerTest, ARequestIsLatchedOnlyOnAnUnmaskedHandledLine)
{
    EXPECT_EQ(pic.line(11).number(), 11u);
    EXPECT_FALSE(pic.line(11).raise()) << "masked, no handler: lost, quietly";
    ASSERT_EQ(pic.request(11, handler), 0);
    EXPECT_FALSE(pic.line(11).raise()) << "a new handler's line starts masked";
    pic.enable(11);
    EXPECT_TRUE(pic.line(11).raise());
    EXPECT_TRUE(pic.pending(11));
    EXPECT_EQ(pic.take(11), &handler);
    EXPECT_FALSE(pic.pending(11));
    EXPECT_TRUE(complaints.empty());

    ASSERT_EQ(pic.free(11), 0);
    EXPECT_TRUE(pic.enabled(11)) << "freeing does not mask";
    EXPECT_FALSE(pic.line(11).raise());
    EXPECT_EQ(complaints, std::vector<std::string>{"IRQ 11 raised while unmasked with no handler installed"});
}

// As the PC's 8259: a request latched on an unmasked line and then masked
// before delivery is lost when the line is low again (a pulse), and waits
// for the unmask while the line stays high.
TEST_F(InterruptControllerTest, MaskingDropsALatchedRequestOnlyWhenTheLineIsLow)
{
    ASSERT_EQ(pic.request(11, handler), 0);
    pic.enable(11);
    ASSERT_TRUE(pic.line(11).raise());
    pic.line(11).lower();
    EXPECT_TRUE(pic.pending(11)) << "latched: the pulse ending does not take it back";
    pic.disable(11);
    EXPECT_FALSE(pic.pending(11));
    EXPECT_EQ(source.dropped, 1);
    pic.disable(11);  // nothing waits any more
    EXPECT_EQ(source.dropped, 1);
    pic.enable(11);
    EXPECT_FALSE(pic.pending(11));

    ASSERT_TRUE(pic.line(11).raise());  // held high
    pic.disable(11);
    EXPECT_FALSE(pic.pending(11));
    EXPECT_TRUE(pic.waiting(11));
    EXPECT_EQ(source.dropped, 1);
    pic.enable(11);
    EXPECT_TRUE(pic.pending(11)) << "delivered at the unmask";
    EXPECT_EQ(pic.take(11), &handler);
    pic.line(11).lower();
    EXPECT_EQ(source.dropped, 1);
}

TEST_F(InterruptControllerTest, ARequestOnAMaskedLineWaitsWhileTheLineIsHigh)
{
    std::vector<std::pair<unsigned, rtlsim::MachineObserver::Irq>> events;
    pic.set_event_sink([&](unsigned irq, rtlsim::MachineObserver::Irq what) { events.push_back({irq, what}); });
    using Irq = rtlsim::MachineObserver::Irq;
    ASSERT_EQ(pic.request(11, handler), 0);
    EXPECT_FALSE(pic.line(11).raise());
    EXPECT_TRUE(pic.waiting(11));
    pic.line(11).lower();  // gone before the unmask
    EXPECT_FALSE(pic.waiting(11));
    pic.enable(11);
    EXPECT_FALSE(pic.pending(11));
    pic.disable(11);
    EXPECT_FALSE(pic.line(11).raise());
    pic.enable(11);
    EXPECT_TRUE(pic.pending(11));
    EXPECT_EQ(pic.take(11), &handler);
    const std::vector<std::pair<unsigned, Irq>> want = {
        {11, Irq::raised},  {11, Irq::lowered}, {11, Irq::lost},     {11, Irq::unmasked},
        {11, Irq::masked},  {11, Irq::raised},  {11, Irq::unmasked},
    };
    EXPECT_EQ(events, want);
}

TEST_F(InterruptControllerTest, RequestsFreesAndTheModulesLeftovers)
{
    EXPECT_EQ(pic.request(16, handler), -kEinval);
    EXPECT_EQ(pic.request(3, nullptr), -kEinval);
    pic.occupy(5);
    EXPECT_EQ(pic.request(5, handler), -kEbusy) << "another driver holds it";
    ASSERT_EQ(pic.request(11, handler), 0);
    EXPECT_EQ(pic.request(11, handler), -kEbusy);
    pic.enable(11);
    pic.enable(7);
    EXPECT_EQ(pic.free(3), -kEinval);
    const std::vector<std::string> said = {
        "rtl_hard_enable_irq(7) with no handler installed",
        "rtl_free_global_irq(3): no handler installed",
    };
    EXPECT_EQ(complaints, said);
    const std::vector<std::string> left = {"IRQ 7 unmasked", "handler of IRQ 11", "IRQ 11 unmasked"};
    EXPECT_EQ(pic.module_leftovers(), left);
    pic.remove_module_handlers();
    EXPECT_TRUE(pic.module_leftovers().empty());
    EXPECT_EQ(pic.request(5, handler), -kEbusy) << "the other driver's line stays its";
}

// The machine asks only whether any line has a request before it looks at
// each: that answer follows every way a request is latched and taken away.
TEST_F(InterruptControllerTest, AnyPendingFollowsEveryLine)
{
    EXPECT_FALSE(pic.any_pending());
    ASSERT_EQ(pic.request(3, handler), 0);
    ASSERT_EQ(pic.request(11, handler), 0);
    pic.enable(3);
    pic.enable(11);
    ASSERT_TRUE(pic.line(3).raise());
    ASSERT_TRUE(pic.line(11).raise());
    EXPECT_TRUE(pic.any_pending());
    EXPECT_EQ(pic.take(3), &handler);
    EXPECT_TRUE(pic.any_pending()) << "line 11 still waits";
    EXPECT_FALSE(pic.pending(3));
    EXPECT_TRUE(pic.pending(11));
    pic.disable(11);  // held high: back to waiting, not pending
    EXPECT_FALSE(pic.any_pending());
    pic.enable(11);
    EXPECT_TRUE(pic.any_pending()) << "delivered at the unmask";
    ASSERT_EQ(pic.free(11), 0);
    EXPECT_FALSE(pic.any_pending()) << "freeing the handler takes the request";
    pic.line(3).lower();
    ASSERT_TRUE(pic.line(3).raise());
    EXPECT_TRUE(pic.any_pending());
    pic.remove_module_handlers();
    EXPECT_FALSE(pic.any_pending());
    EXPECT_FALSE(pic.pending(3));
    ASSERT_EQ(pic.request(3, handler), 0);
    EXPECT_FALSE(pic.pending(3)) << "a new handler starts with nothing latched";
}

TEST(IoRegions, OverlapsAreRefusedAndOnlyTheModulesRegionsGo)
{
    rtlsim::IoRegions r;
    r.occupy(0x131, 1, "other driver");
    EXPECT_EQ(r.request(0x130, 4, "echorange"), nullptr);
    EXPECT_EQ(r.owner(0x131), "other driver");
    EXPECT_FALSE(r.held_by_module(0x131));
    void *token = r.request(0x132, 2, "echorange");
    ASSERT_NE(token, nullptr);
    EXPECT_TRUE(r.held_by_module(0x133));
    EXPECT_FALSE(r.held_by_module(0x134));
    EXPECT_TRUE(r.taken(0x100, 0x33));
    EXPECT_FALSE(r.taken(0x100, 0x31));
    EXPECT_FALSE(r.release(0x132, 1)) << "only the whole region as requested";
    EXPECT_FALSE(r.release(0x131, 1)) << "never another driver's";
    EXPECT_EQ(r.module_leftovers(), std::vector<std::string>{"I/O region 0x132+2 \"echorange\""});
    r.remove_module_regions();
    EXPECT_TRUE(r.module_leftovers().empty());
    EXPECT_EQ(r.owner(0x131), "other driver");
    EXPECT_NE(r.request(0x132, 2, "echorange"), nullptr);
    EXPECT_TRUE(r.release(0x132, 2));
}

TEST(RtFifos, TheModulesSideFollowsRtlFifo)
{
    rtlsim::RtFifos f;
    std::vector<std::string> said;
    f.set_complaint_sink([&](const std::string &c) { said.push_back(c); });
    EXPECT_EQ(f.create(64, 16, nullptr), -kEnodev);
    EXPECT_EQ(f.create(2, 0, nullptr), -kEinval);
    ASSERT_EQ(f.create(2, 8, nullptr), 0);
    EXPECT_EQ(f.create(2, 8, nullptr), -kEbusy);

    const unsigned char in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(f.put(2, in, 6, "real-time thread"), 6);
    EXPECT_EQ(f.put(2, in, 4, "real-time thread"), -kEnospc) << "all or nothing";
    EXPECT_EQ(f.refused(2), 1);
    unsigned char out[8] = {};
    EXPECT_EQ(f.get(2, out, 4), 4);
    EXPECT_EQ(f.put(2, in + 4, 4, "real-time thread"), 4) << "wraps around the ring";
    EXPECT_EQ(f.get(2, out, 8), 6);
    const std::vector<unsigned char> got(out, out + 6), want = {5, 6, 5, 6, 7, 8};
    EXPECT_EQ(got, want);

    f.at(2).open_count = 1;  // a Linux process holds it open
    f.at(2).opener = 7;
    EXPECT_EQ(f.destroy(2), -kEinval);
    EXPECT_EQ(f.module_leftovers(),
              std::vector<std::string>{"RT-FIFO 2 (open by process 7: rtf_destroy refused)"});
    f.at(2).open_count = 0;
    EXPECT_EQ(f.destroy(2), 0);
    EXPECT_EQ(f.refused(2), 1) << "kept across destroy";

    EXPECT_EQ(f.put(3, in, 1, "interrupt handler"), -kEinval);
    EXPECT_EQ(f.get(64, out, 1), -kEnodev);
    EXPECT_EQ(f.set_handler(3, fifo_handler), -kEinval);
    EXPECT_EQ(f.destroy(3), -kEinval);
    const std::vector<std::string> complaints = {
        "rtf_put(3) from the interrupt handler on a FIFO that does not exist",
        "rtf_get(64) on a FIFO that does not exist",
        "rtf_create_handler(3): no such FIFO or no handler",
        "rtf_destroy(3): no such FIFO",
    };
    EXPECT_EQ(said, complaints);
}

TEST(RangefinderPc, TheBoardSitsOnTheBusAtItsPortsAndLine)
{
    rtlsim::Machine m;
    EXPECT_EQ(m.pc().bus().describe(0x130), "echo_board+0");
    EXPECT_EQ(m.pc().bus().describe(0x133), "echo_board+3");
    EXPECT_EQ(m.pc().bus().describe(0x134), "0x134");
    // A stray request with nothing installed on IRQ 11 is lost at the
    // controller, and the board counts it.
    m.pc().board().raise_at(5 * rtlsim::kMicrosecond);
    EXPECT_EQ(m.pc().board().echoes_in_flight(), 1u);
    run_for(m, rtlsim::kMillisecond);
    EXPECT_EQ(m.pc().board().echoes_in_flight(), 0u);
    EXPECT_EQ(m.pc().board().echoes_lost(), 1);
    EXPECT_EQ(m.now(), rtlsim::kMillisecond);
    EXPECT_TRUE(m.violations().empty());
}

} // namespace
