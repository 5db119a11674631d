// The bench's FPGA behind QEMU's parallel port.
//
// QEMU's ISA parallel port can pass the guest's register accesses through to
// a host parallel port, through the Linux ppdev interface: with
//     -chardev parallel,id=pp0,path=NODE -parallel chardev:pp0
// it opens NODE, claims it (PPCLAIM), reads the status once (PPRSTATUS: the
// answer is what puts the port into pass-through), and from then on turns
// every guest access to the data, status and control registers into one
// ioctl: PPWDATA, PPRDATA, PPWCONTROL, PPRSTATUS.  It keeps its own copy of
// the data and control registers and passes a write on only when the value
// changes; that copy starts at data 0xFF and control 0xCC, so the port here
// starts with the same values, or the guest's first write of 0xFF (or 0xCC)
// would never arrive.  A control write comes with the guest's value; QEMU
// clears bit 0 of every status value (the EPP timeout bit) itself.
//
// This class answers those ioctls with the bench's parallel port, the
// passive-serial cable and the FPGA that checks its design, as psload-sim
// uses them.  The device is set up with psload-sim's own bench options
// (--sim-design=, --sim-bits=, --sim-fault=, --sim-report=, ...).
//
// Sessions.  A guest can run several downloads in one boot, each against a
// device set up anew: a run of N + 1 reads of the data register in a row
// (N >= 1), with some other access before it, ends the current session and
// starts session N, with a freshly powered device, the options given for
// session N, and counters and clock from zero.  psload never reads the data
// register, so nothing it does looks like that; the bridge answers those
// reads from the port's latch and leaves them out of the session's record.
// (A guest marks a session with a status read and then the data reads: the
// status read keeps them apart from an earlier data read, such as the one
// the kernel's probe of the port makes at boot.)  The port's registers go on
// from one session to the next (QEMU's copy of them does too).
//
// Time.  On the bench every port access is one ISA bus cycle of about 1 us.
// Here the guest's accesses come at whatever pace the emulation runs, and
// QEMU answers the delay port (0x80) itself, so the device never sees those
// writes.  The device's clock therefore advances by 1 us per access that
// reaches it, and never runs behind the host's real time since the session
// began: a wait in the guest that the bridge does not see (delay writes, a
// sleep) still counts, and a fast emulation still cannot poll a device
// faster than an ISA bus could.
#ifndef BENCH_QEMU_BRIDGE_PPDEV_BRIDGE_H
#define BENCH_QEMU_BRIDGE_PPDEV_BRIDGE_H

#include "boards/fpga_bench.h"
#include "bus/io_bus.h"
#include "devices/fpga/passive_serial.h"
#include "sims/psload/sim_options.h"
#include "sims/psload/sim_recorder.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace bench {

// The options of each session: session 0 runs from power-on to the first
// marker; a session without options of its own takes the default ones.
struct BridgeSettings {
    SimOptions defaults;
    std::map<unsigned, SimOptions> sessions;
};

// Environment variables the bridge reads.
constexpr const char *kBridgeOptionsVar = "LABTOOLS_PPBRIDGE_OPTIONS";        // every session
constexpr const char *kBridgeSessionVarPrefix = "LABTOOLS_PPBRIDGE_OPTIONS_";  // + N: session N

// Parses the options of one session: psload-sim's --sim-... words,
// separated by blanks.  Options that only a simulated process can have
// (--sim-unprivileged, --sim-refuse, --sim-signal, --sim-help) are refused:
// the guest's kernel decides those.  Returns false with a message in error.
bool parse_bridge_options(const std::string &words, SimOptions &options, std::string &error);

// Reads kBridgeOptionsVar and kBridgeSessionVarPrefix + N (N from 1 to 255)
// through lookup (getenv, or a map in the tests).
bool bridge_settings_from(const std::function<const char *(const char *)> &lookup, BridgeSettings &settings,
                          std::string &error);

// The device's clock: 1 us per access, and never behind real time.
class BridgeClock {
public:
    using RealMicros = std::function<Micros()>;  // microseconds from any fixed point
    explicit BridgeClock(RealMicros real = steady_micros) : real_(std::move(real)) {}
    void restart() { start_ = real_(); }
    Micros real_elapsed() const { return real_() - start_; }
    static Micros steady_micros();

private:
    RealMicros real_;
    Micros start_ = 0;
};

class PpdevBridge {
public:
    // QEMU's copy of the registers at power-on.
    static constexpr std::uint8_t kPowerOnData = 0xFF;
    static constexpr std::uint8_t kPowerOnControl = 0xCC;

    explicit PpdevBridge(BridgeSettings settings, BridgeClock clock = BridgeClock());
    ~PpdevBridge();
    PpdevBridge(const PpdevBridge &) = delete;
    PpdevBridge &operator=(const PpdevBridge &) = delete;

    // One ioctl on the port's node: 0, or -1 with the error number in err
    // (ENOTTY for a request ppdev does not have, ENXIO for transfer modes the
    // port does not offer, EINVAL for a request made before PPCLAIM).
    int ioctl(unsigned long request, void *arg, int &err);

    // The node is closed: the session ends and its records are written.
    void close();

    // Writes the current session's report and received bytes (again).
    void finish();

    unsigned session() const { return session_number_; }
    FpgaBench &bench() { return *bench_; }
    IoBus &bus() { return io_; }

    // The session's report: psload-sim's, with the lines the bridge cannot
    // know marked "not-seen": delay_writes (QEMU answers port 0x80 itself),
    // ports_held and violations (the guest's kernel grants the ports).
    std::string report() const;

private:
    void start_session(unsigned number);
    void end_session();
    std::uint8_t in(unsigned offset);
    void out(unsigned offset, std::uint8_t value);
    void settle_marker();

    std::mutex lock_;
    BridgeSettings settings_;
    BridgeClock clock_;
    IoBus io_;
    std::unique_ptr<FpgaBench> bench_;
    PassiveSerialCable cable_;
    std::unique_ptr<SimRecorder> recorder_;
    SimOptions options_;
    unsigned session_number_ = 0;
    bool claimed_ = false;
    bool reverse_ = false;               // PPDATADIR: data lines as inputs
    std::uint8_t data_ = kPowerOnData;   // the registers, as QEMU holds them
    std::uint8_t control_ = kPowerOnControl;
    unsigned data_reads_ = 0;            // data-register reads in a row
};

} // namespace bench

#endif
