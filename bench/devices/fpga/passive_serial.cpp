#include "devices/fpga/passive_serial.h"

namespace bench {

PassiveSerialFpga::PassiveSerialFpga(const FpgaConfig &config)
{
    power_up(config);
}

void PassiveSerialFpga::power_up(const FpgaConfig &config)
{
    config_ = config;
    const TimingProfile &p = config.timing;
    timing_checked_ = config.check_edges && !p.name.empty();
    // After power-on reset a device with nCONFIG high waits for data (or,
    // from an earlier configuration kept alive, runs the user design).
    state_ = config.start_configured ? State::UserMode : State::Receiving;
    ready_at_ = 0;
    done_at_ = 0;
    rise_ns_ = 0;
    have_rise_ = false;
    conf_done_in_error_ = false;
    pins_known_ = false;
    nconfig_ = true;
    dclk_ = false;
    data0_ = false;
    first_clock_ = true;
    hold_open_ = false;
    last_rise_ = RiseUse::None;
    dclk_rose_ = kUnknown;
    dclk_fell_ = kUnknown;
    data0_changed_ = kUnknown;
    seen_ = TimingSeen();
    bits_ = 0;
    plain_end_ = 0;
    received_.clear();
    mismatch_ = false;
    mismatch_bit_ = 0;
    rising_edges_ = 0;
    nconfig_pulses_ = 0;
    nconfig_fell_ = 0;
    nconfig_low_ = 0;
    init_seen_ = 0;
    refresh();
}

void PassiveSerialFpga::advance(Nanos now)
{
    if (state_ == State::Clearing && config_.fault != FpgaFault::NStatusStuckLow && now >= ready_at_) {
        state_ = State::Receiving;
        refresh();
    } else if (state_ == State::Initializing && init_seen_ >= config_.init_clocks &&
               now - done_at_ >= config_.user_mode_delay) {
        state_ = State::UserMode;
    }
}

// Every change of state here is followed by refresh(): drive() takes bits
// the short way (drive_quiet()) while the state stays Receiving.
void PassiveSerialFpga::take_bit(bool bit, Nanos now)
{
    if (config_.fault == FpgaFault::ErrorAtBit && bits_ == config_.error_bit) {
        state_ = State::Error;
        refresh();
        return;
    }
    if (!mismatch_ && bits_ / 8 < config_.design.size()) {
        const DesignByte &want = config_.design[bits_ / 8];
        if (!want.valid || ((want.value >> (bits_ % 8)) & 1u) != (bit ? 1u : 0u)) {
            mismatch_ = true;
            mismatch_bit_ = bits_;
        }
    }
    store_bit(bit);
    if (mismatch_ && (bits_ % kFrameBits == 0 || bits_ == config_.config_bits)) {
        // The frame's CRC fails: nSTATUS goes low, and nothing more is taken.
        state_ = State::Error;
        refresh();
        return;
    }
    if (bits_ != config_.config_bits) {
        plan_plain_bits();
        return;
    }
    switch (config_.fault) {
    case FpgaFault::ConfDoneNeverRises:
        break;  // goes on taking bits
    case FpgaFault::ConfDoneWithNStatusLow:
        state_ = State::Error;
        conf_done_in_error_ = true;
        break;
    default:
        done_at_ = now;
        seen_.conf_done_seen = true;
        state_ = config_.init_clocks == 0 && config_.user_mode_delay <= 0 ? State::UserMode : State::Initializing;
        break;
    }
    plan_plain_bits();
    refresh();
}

// From the next bit on, how far take_bit() would do nothing but store: while
// no design byte is left to compare with and no mismatch has been seen
// (whose frame's end must fail), up to the failing bit of ErrorAtBit or the
// bit that completes the configuration, whichever comes first.  Such bits
// drive_quiet() stores itself.
void PassiveSerialFpga::plan_plain_bits()
{
    plain_end_ = 0;
    if (mismatch_ || bits_ / 8 < config_.design.size())
        return;
    std::uint64_t end = ~std::uint64_t{0};
    if (config_.config_bits != 0 && config_.config_bits - 1 >= bits_)
        end = config_.config_bits - 1;
    if (config_.fault == FpgaFault::ErrorAtBit && config_.error_bit >= bits_ && config_.error_bit < end)
        end = config_.error_bit;
    plain_end_ = end;
}

// A bit taken at the last rise turns out wrong (its hold or its high time
// was broken after it): its frame fails, at once if it has closed already.
void PassiveSerialFpga::spoil_last_bit()
{
    if (bits_ == 0 || state_ == State::Error)
        return;
    const std::uint64_t bit = bits_ - 1;
    received_[bit / 8] = static_cast<std::uint8_t>(received_[bit / 8] ^ (1u << (bit % 8)));
    if (!mismatch_ || bit < mismatch_bit_) {
        mismatch_ = true;
        mismatch_bit_ = bit;
    }
    plain_end_ = 0;
    if (bits_ % kFrameBits == 0 || bits_ == config_.config_bits) {
        state_ = State::Error;
        conf_done_in_error_ = false;
        refresh();
    }
}

namespace {

// The worst value seen so far of a limit.
inline void keep_worst(Nanos &worst, Nanos given)
{
    if (worst == kUnknown || given < worst)
        worst = given;
}

// What a limit asks at least: the profile's, or where it is unknown 0 (a
// line that has not settled is never right).
inline Nanos floor_of(Nanos limit)
{
    return limit > 0 ? limit : 0;
}

} // namespace

// Checks a DCLK rise at `now` (a write; the edge may reach the device up to
// settle later) that the device takes; false when it breaks a limit.
bool PassiveSerialFpga::rise_in_time(Nanos now, Nanos settle)
{
    const TimingProfile &p = config_.timing;
    bool ok = true;
    if (data0_changed_ != kUnknown) {
        Nanos su = now - (data0_changed_ + settle);
        keep_worst(seen_.tdsu, su);
        if (su < floor_of(p.tdsu_min)) {
            ++seen_.broken_tdsu;
            ok = false;
        }
    }
    if (dclk_fell_ != kUnknown) {
        Nanos cl = now - (dclk_fell_ + settle);
        keep_worst(seen_.tcl, cl);
        if (cl < floor_of(p.tcl_min)) {
            ++seen_.broken_tcl;
            ok = false;
        }
    }
    if (first_clock_) {
        first_clock_ = false;
        Nanos cf = now - rise_ns_;
        keep_worst(seen_.tcf2ck, cf);
        if (p.known(p.tcf2ck_min) && cf < p.tcf2ck_min) {
            ++seen_.broken_tcf2ck;
            ok = false;
        }
        Nanos st = now - ready_at_;
        keep_worst(seen_.tst2ck, st);
        if (p.known(p.tst2ck_min) && st < p.tst2ck_min) {
            ++seen_.broken_tst2ck;
            ok = false;
        }
    } else if (dclk_rose_ != kUnknown) {
        Nanos period = now - (dclk_rose_ + settle);
        keep_worst(seen_.period, period);
        if (p.fmax_hz != 0 && period < p.min_period()) {
            ++seen_.broken_period;
            ok = false;
        }
    }
    return ok;
}

// DCLK falls at `now`: the high time since the last rise.
void PassiveSerialFpga::fall(Nanos now, Nanos settle)
{
    if (last_rise_ == RiseUse::None)
        return;
    Nanos ch = now - (dclk_rose_ + settle);
    keep_worst(seen_.tch, ch);
    if (ch >= floor_of(config_.timing.tch_min))
        return;
    ++seen_.broken_tch;
    undo_last_rise();
}

// DATA0 changes at `now`: the hold after the last rise.
void PassiveSerialFpga::data_change(Nanos now, Nanos settle)
{
    if (!hold_open_)
        return;
    hold_open_ = false;
    Nanos dh = now - (dclk_rose_ + settle);
    keep_worst(seen_.tdh, dh);
    if (dh >= floor_of(config_.timing.tdh_min))
        return;
    ++seen_.broken_tdh;
    undo_last_rise();
}

void PassiveSerialFpga::undo_last_rise()
{
    if (last_rise_ == RiseUse::Bit) {
        spoil_last_bit();
    } else if (last_rise_ == RiseUse::ClosingClock && init_seen_ > 0) {
        --init_seen_;
        seen_.closing_clocks = init_seen_;
        if (state_ == State::UserMode)
            state_ = State::Initializing;
    }
    last_rise_ = RiseUse::None;
}

// Every other pin change: edges of nCONFIG, the closing clocks, and the
// timing checks.
void PassiveSerialFpga::drive_checked(bool nconfig, bool dclk, bool data0, Nanos now, Nanos settle)
{
    drive_pins(nconfig, dclk, data0, now, settle);
    refresh();
}

void PassiveSerialFpga::drive_pins(bool nconfig, bool dclk, bool data0, Nanos now, Nanos settle)
{
    if (!pins_known_) {
        // First sight of the cable: levels only, no edges.
        pins_known_ = true;
        nconfig_ = nconfig;
        dclk_ = dclk;
        data0_ = data0;
        if (!nconfig) {
            state_ = State::Reset;
            nconfig_fell_ = now;
        }
        return;
    }
    advance(now);
    const bool checked = timing_checked_ || settle > 0;
    const bool rising = dclk && !dclk_;
    if (checked) {
        if (data0 != data0_) {
            data_change(now, settle);
            data0_changed_ = now;
        }
        if (!dclk && dclk_) {
            fall(now, settle);
            dclk_fell_ = now;
        }
    }
    dclk_ = dclk;
    data0_ = data0;
    if (!nconfig) {
        if (nconfig_) {
            ++nconfig_pulses_;
            nconfig_fell_ = now;
        }
        nconfig_ = false;
        state_ = State::Reset;
        bits_ = 0;
        plain_end_ = 0;
        received_.clear();
        mismatch_ = false;
        mismatch_bit_ = 0;
        conf_done_in_error_ = false;
        init_seen_ = 0;
        if (rising)
            ++rising_edges_;
        return;
    }
    if (!nconfig_) {
        nconfig_ = true;
        nconfig_low_ = now - nconfig_fell_;
        rise_ns_ = now;
        have_rise_ = true;
        first_clock_ = true;
        last_rise_ = RiseUse::None;
        hold_open_ = false;
        seen_.nstatus_wait = kUnknown;
        seen_.nstatus_found = false;
        seen_.closing_clocks = 0;
        seen_.conf_done_seen = false;
        keep_worst(seen_.tcfg, nconfig_low_);
        const TimingProfile &p = config_.timing;
        if (p.known(p.tcfg_min) && nconfig_low_ < p.tcfg_min) {
            // Too short a pulse need not start a configuration: the device
            // is left half reset, nSTATUS low, taking nothing.
            ++seen_.broken_tcfg;
            state_ = State::Error;
            seen_.nstatus_release = kUnknown;
        } else {
            state_ = State::Clearing;
            const Nanos delay = static_cast<Nanos>(config_.nstatus_delay) * kMicrosecond;
            ready_at_ = now + delay;
            seen_.nstatus_release = delay;
        }
    }
    if (!rising)
        return;
    ++rising_edges_;
    if (state_ == State::Receiving) {
        const bool good = (!checked && !first_clock_) || rise_in_time(now, settle);
        // A bit clocked against the limits is a wrong bit.
        take_bit(good ? data0 : !data0, now);
        if (checked) {
            dclk_rose_ = now;
            last_rise_ = RiseUse::Bit;
            hold_open_ = true;
        }
    } else if (state_ == State::Initializing) {
        const bool good = (!checked && !first_clock_) || rise_in_time(now, settle);
        if (checked) {
            dclk_rose_ = now;
            last_rise_ = good ? RiseUse::ClosingClock : RiseUse::None;
        }
        if (good) {
            ++init_seen_;
            seen_.closing_clocks = init_seen_;
            advance(now);
        }
    } else if (checked) {
        dclk_rose_ = now;
        last_rise_ = RiseUse::None;
    }
}

void PassiveSerialFpga::status_read(Nanos now)
{
    // The poll for nSTATUS after nCONFIG rose: how long the PC looked.
    if (!have_rise_ || !nconfig_ || seen_.nstatus_found)
        return;
    seen_.nstatus_wait = now - rise_ns_;
    seen_.nstatus_found = nstatus_at(now);
}

PassiveSerialFpga::State PassiveSerialFpga::state_at(Nanos now)
{
    advance(now);
    return state_;
}

bool PassiveSerialFpga::nstatus_at(Nanos now)
{
    if (config_.fault == FpgaFault::NStatusStuckLow)
        return false;
    switch (state_at(now)) {
    case State::Reset:
    case State::Clearing:
    case State::Error:
        return false;
    default:
        return true;
    }
}

bool PassiveSerialFpga::conf_done_at(Nanos now)
{
    switch (state_at(now)) {
    case State::Initializing:
    case State::UserMode:
        return true;
    case State::Error:
        return conf_done_in_error_;
    default:
        return false;
    }
}

void PassiveSerialCable::drive(const PortOutputs &lines, Micros now)
{
    if (!device_)
        return;
    const bool data0 = (lines.data & 0x01) != 0;
    // The time is looked up only where the device needs it.
    if (settle_ == 0 && device_->drive_quiet(lines.init, lines.strobe, data0))
        return;
    device_->drive(lines.init, lines.strobe, data0, ns(now), settle_);
}

PortInputs PassiveSerialCable::sense(Micros now)
{
    PortInputs in;  // the lines the cable leaves open float high
    if (device_) {
        const Nanos t = ns(now);
        in.busy = device_->nstatus_at(t);
        in.paper_end = device_->conf_done_at(t);
    }
    return in;
}

void PassiveSerialCable::status_read(Micros now)
{
    if (device_)
        device_->status_read(ns(now));
}

} // namespace bench
